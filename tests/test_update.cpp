// The sparse transforms and the basis column replacement from inside: the
// sparse pairs against the dense pairs, their edge cases, single updates and
// long sequences of column replacements checked against independent solves of
// the updated basis, and the refusals and failures of the update.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "lp_kesh.h"
#include "lp_lumx.h"
#include "lp_sm_lu.h"
#include "lp_ve.h"
#include "mtx.h"
#include "test_diag.h"
#include "test_matrix.h"
#include "test_support.h"

namespace {

// Pattern of one integer check report from lp_sm_lu, any line number; unlike
// chk() it lets the file name carry padding or a directory.
std::string chk_re(char kind, long x, long y, long z) {
  return "\\*\\*\\* CHK" + std::string(1, kind) + " error <== *\\S*lp_sm_lu\\.cpp\\(\\d+\\) x\\(" +
         std::to_string(x) + "\\) y\\(" + std::to_string(y) + "\\) z\\(" + std::to_string(z) +
         "\\)\n";
}

// ---- matrices ---------------------------------------------------------------------------

using Entries = std::vector<std::pair<int, double>>;

// A square matrix by columns: (row, value) pairs.
using Mat = column_matrix;

Mat load_mtx(const std::string& name) {
  mtx_matrix m;
  EXPECT_TRUE(read_mtx(test_matrix_path(name), m)) << name;
  return columns_of(m);
}

// A sparse matrix whose transpose is strictly diagonally dominant (so it is
// nonsingular and moderately conditioned), with its rows and columns permuted
// at random: the factorization's matching is far from the identity.
Mat random_matrix(int n, int per_col, std::mt19937& rng) {
  std::vector<int> prow = random_permutation(n, rng);
  std::vector<int> pcol = random_permutation(n, rng);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::uniform_int_distribution<int> row(0, n - 1);
  Mat a;
  a.n = n;
  a.cols.resize(n);
  for (int j = 0; j < n; ++j) {
    std::set<int> used{j};
    double sum = 0.0;
    Entries col;
    for (int t = 0; t < per_col; ++t) {
      int i = row(rng);
      if (!used.insert(i).second)
        continue;
      double v = u(rng);
      sum += std::fabs(v);
      col.push_back({prow[i], v});
    }
    double d = sum + 0.5 + std::fabs(u(rng));
    col.push_back({prow[j], u(rng) < 0 ? -d : d});
    a.cols[pcol[j]] = col;
  }
  return a;
}

std::vector<double> dense_of(const Entries& e, int n) {
  std::vector<double> v(n, 0.0);
  for (auto [i, x] : e)
    v[i] += x;
  return v;
}

// Normwise residuals of A·x = rhs and yᵀ·A = cᵀ (see normwise_residual).
double ftran_residual(const Mat& a, const std::vector<double>& x, const std::vector<double>& rhs) {
  return normwise_residual(a, x, rhs, true);
}
double btran_residual(const Mat& a, const std::vector<double>& y, const std::vector<double>& c) {
  return normwise_residual(a, y, c, false);
}

// Independent dense LU with partial pivoting in long double.
struct DenseLU {
  int n = 0;
  std::vector<long double> a;  // row-major; L below, U on and above the diagonal
  std::vector<int> perm;       // row i of the factor is row perm[i] of A

  bool factor(const Mat& m) {
    n = m.n;
    a.assign((size_t)n * n, 0.0L);
    for (int j = 0; j < n; ++j)
      for (auto [i, v] : m.cols[j])
        a[(size_t)i * n + j] += v;
    perm.resize(n);
    std::iota(perm.begin(), perm.end(), 0);
    for (int k = 0; k < n; ++k) {
      int p = k;
      for (int i = k + 1; i < n; ++i)
        if (std::fabs(a[(size_t)i * n + k]) > std::fabs(a[(size_t)p * n + k]))
          p = i;
      if (a[(size_t)p * n + k] == 0.0L)
        return false;
      if (p != k) {
        std::swap_ranges(a.begin() + (size_t)p * n, a.begin() + (size_t)p * n + n,
                         a.begin() + (size_t)k * n);
        std::swap(perm[p], perm[k]);
      }
      const long double* rk = &a[(size_t)k * n];
      for (int i = k + 1; i < n; ++i) {
        long double* ri = &a[(size_t)i * n];
        if (ri[k] == 0.0L)
          continue;
        long double l = ri[k] /= rk[k];
        for (int j = k + 1; j < n; ++j)
          ri[j] -= l * rk[j];
      }
    }
    return true;
  }
  std::vector<double> solve(const std::vector<double>& rhs) const {
    std::vector<long double> y(n);
    for (int i = 0; i < n; ++i)
      y[i] = rhs[perm[i]];
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < i; ++j)
        y[i] -= a[(size_t)i * n + j] * y[j];
    for (int i = n - 1; i >= 0; --i) {
      for (int j = i + 1; j < n; ++j)
        y[i] -= a[(size_t)i * n + j] * y[j];
      y[i] /= a[(size_t)i * n + i];
    }
    return std::vector<double>(y.begin(), y.end());
  }
  std::vector<double> solve_t(const std::vector<double>& c) const {
    std::vector<long double> z(c.begin(), c.end());
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < i; ++j)
        z[i] -= a[(size_t)j * n + i] * z[j];
      z[i] /= a[(size_t)i * n + i];
    }
    for (int i = n - 1; i >= 0; --i)
      for (int j = i + 1; j < n; ++j)
        z[i] -= a[(size_t)j * n + i] * z[j];
    std::vector<double> y(n);
    for (int i = 0; i < n; ++i)
      y[perm[i]] = (double)z[i];
    return y;
  }
};

// ---- the library's side ---------------------------------------------------------------------

// Sizes b for A (max_br R etas before the capacity report), appends A and
// factorizes it.  The factorization's result.
int factor(b_rec* b, const Mat& a, int max_br, int accept = 0) {
  int rc = lumx_renew(b, a.n, max_br, 0.01);
  if (rc != 0)
    return rc;
  for (int j = 0; j < a.n; ++j)
    for (auto [i, v] : a.cols[j])
      if (lumx_append(b->lu, i, j, v) < 0)
        return -100;
  int rank;
  int32_t* q;
  int32_t* r;
  return lu_factorization(b, accept, &rank, &q, &r);
}

std::vector<double> ftran_dense(b_rec* b, std::vector<double> x) {
  EXPECT_EQ(lu_ftran_d1(b, x.data()), 0);
  EXPECT_EQ(lu_ftran_d2(b, x.data()), 0);
  return x;
}

std::vector<double> btran_dense(b_rec* b, std::vector<double> y) {
  EXPECT_EQ(lu_btran_d1(b, y.data(), -1), 1);
  EXPECT_EQ(lu_btran_d2(b, y.data()), 0);
  return y;
}

void load(lpvect2* v, const Entries& e) {
  lpvect2_newmark(v);
  for (auto [p, x] : e)
    lpvect2_set(v, p, x);
}

double at(const lpvect2* v, int p) { return v->usef[p] == v->mark ? v->va[p] : 0.0; }

std::vector<int> listed(const lpvect2* v) {
  std::vector<int> out;
  for (int p = v->head; p >= 0 && (int)out.size() <= v->max_n; p = v->next[p])
    out.push_back(p);
  return out;
}

std::vector<double> values(const lpvect2* v, int n) {
  std::vector<double> out(n);
  for (int p = 0; p < n; ++p)
    out[p] = at(v, p);
  return out;
}

// The list of used positions is exactly the set of positions in use.
testing::AssertionResult well_formed(const lpvect2* v, int n) {
  std::vector<int> l = listed(v);
  std::set<int> seen;
  for (int p : l) {
    if (p < 0 || p >= n)
      return testing::AssertionFailure() << "listed position " << p << " out of range";
    if (!seen.insert(p).second)
      return testing::AssertionFailure() << "position " << p << " listed twice";
    if (v->usef[p] != v->mark)
      return testing::AssertionFailure() << "listed position " << p << " not in use";
  }
  for (int p = 0; p < n; ++p)
    if (v->usef[p] == v->mark && !seen.count(p))
      return testing::AssertionFailure() << "position " << p << " in use but not listed";
  return testing::AssertionSuccess();
}

// U after updates: every eta once on the step list; its entries belong to it
// and apply to rows of earlier steps (triangular in the current step order)
// and lie on their row's chain; the non-empty list and the row list hold
// exactly the etas and rows with entries, in step order.
testing::AssertionResult u_consistent(const b_rec* b) {
  const eta_file& f = b->up;
  const lumx* lu = b->lu;
  const int n = b->sz;
  const int limit = lu->n_av + 1;
  std::vector<int> order(n, -1), steps;
  int prev = -1;
  for (int s = f.head; s >= 0; s = f.pfv[s].next) {
    if (s >= n || order[s] >= 0)
      return testing::AssertionFailure() << "step list broken at " << s;
    if (f.pfv[s].prev != prev)
      return testing::AssertionFailure() << "step list prev of " << s;
    order[s] = (int)steps.size();
    steps.push_back(s);
    prev = s;
  }
  if ((int)steps.size() != n || f.tail != prev)
    return testing::AssertionFailure() << "step list holds " << steps.size() << " of " << n;
  std::vector<std::vector<int>> by_row(n);
  std::vector<int> nz, rows;
  for (int s : steps) {
    int cnt = 0;
    for (int k = f.pfv[s].first; k >= 0; k = lu->av.nexti[k]) {
      if (++cnt > limit)
        return testing::AssertionFailure() << "eta " << s << " loops";
      int e = lu->av.i[k];
      if (lu->av.j[k] != s)
        return testing::AssertionFailure() << "entry " << k << " of eta " << s << " names "
                                           << lu->av.j[k];
      if (e < 0 || e >= n || order[e] >= order[s])
        return testing::AssertionFailure() << "eta " << s << " applies to row " << e
                                           << " of a later step";
      by_row[e].push_back(k);
    }
    if (cnt > 0)
      nz.push_back(s);
    else if (f.pfv[s].nz_next != -2 || f.pfv[s].nz_prev != -2)
      return testing::AssertionFailure() << "empty eta " << s << " on the non-empty list";
  }
  for (int s : steps) {
    std::vector<int> chain;
    for (int k = f.aux[s].first; k >= 0 && (int)chain.size() <= limit; k = lu->av.nextj[k])
      chain.push_back(k);
    std::sort(chain.begin(), chain.end());
    std::sort(by_row[s].begin(), by_row[s].end());
    if (chain != by_row[s])
      return testing::AssertionFailure() << "row chain of " << s << " disagrees with the etas";
    if (!chain.empty())
      rows.push_back(s);
    else if (f.aux[s].aux_next != -2)
      return testing::AssertionFailure() << "row " << s << " without entries on the row list";
  }
  std::vector<int> walk;
  prev = -1;
  for (int s = f.nz_head; s >= 0 && (int)walk.size() <= n; s = f.pfv[s].nz_next) {
    if (f.pfv[s].nz_prev != prev)
      return testing::AssertionFailure() << "non-empty list prev of " << s;
    walk.push_back(s);
    prev = s;
  }
  if (walk != nz || f.nz_tail != prev)
    return testing::AssertionFailure() << "non-empty list differs";
  walk.clear();
  prev = -1;
  for (int s = f.aux_head; s >= 0 && (int)walk.size() <= n; s = f.aux[s].aux_next) {
    if (f.aux[s].aux_prev != prev)
      return testing::AssertionFailure() << "row list prev of " << s;
    walk.push_back(s);
    prev = s;
  }
  if (walk != rows || f.aux_tail != prev)
    return testing::AssertionFailure() << "row list differs";
  return testing::AssertionSuccess();
}

// Column j of the copy bs, as a dense vector.
std::vector<double> bs_column(const b_rec* b, int j) {
  std::vector<double> c(b->sz, 0.0);
  for (int k = b->bs->col_head[j]; k >= 0; k = b->bs->av.nexti[k])
    c[b->bs->av.i[k]] += b->bs->av.v[k];
  return c;
}

// The value of R eta e's entry for position k (0 when it has none).
double r_entry(const b_rec* b, int e, int k) {
  for (int s = b->br.pfv[e].first; s >= 0; s = b->lu->av.nexti[s])
    if (b->lu->av.i[s] == k)
      return b->lu->av.v[s];
  return 0.0;
}

// Row id matched to each basis column.
std::vector<int> row_of_column(const b_rec* b) {
  std::vector<int> pos(b->sz, -1);
  for (int r = 0; r < b->sz; ++r)
    pos[b->ips1[r]] = r;
  return pos;
}

bool identity_matching(const b_rec* b) {
  for (int r = 0; r < b->sz; ++r)
    if (b->ips1[r] != r)
      return false;
  return true;
}

// ---- worst values seen, printed by the tests that gather them ----------------------------------

struct Worst {
  double residual = 0;   // normwise residual of the updated factor's solves
  double diff = 0;       // solution difference from the independent solve, relative
  double alpha = 0;      // pivot of the update against the independent B⁻¹a_s, relative
  double backward = 0;   // sparse against dense backward pair, relative
  void merge(const Worst& o) {
    residual = std::max(residual, o.residual);
    diff = std::max(diff, o.diff);
    alpha = std::max(alpha, o.alpha);
    backward = std::max(backward, o.backward);
  }
};

// Bounds.  Residuals are normwise, relative to |B||x| + |b|.  A fresh
// factorization already leaves up to a few 1e-11 on the permuted random matrices
// (threshold pivoting with a relative threshold of 0.01 admits element
// growth); every update adds one row eta with entries p_k/α, and the entering
// columns are accepted only with |α| at least half the largest entry of
// B⁻¹a_s, so the product form adds a modest factor.  The runs stay below
// 1e-10 over 80 updates; 1e-9 (about 1e7·eps) leaves a margin of more than
// ten and still fails on any wrong entry, which gives errors of order one.
// The difference from the independent solution is a forward error and scales
// with the condition of the basis (up to ~1e7 for the LP bases here): 1e-6.
// The pivot α of an update equals (B⁻¹a_s)_j of the old basis: compared
// relative to the largest entry of B⁻¹a_s.  The sparse and dense backward
// pairs add the same terms in different orders: they agree to rounding.
const double RESIDUAL_BOUND = 1e-9;
const double DIFF_BOUND = 1e-6;
const double ALPHA_BOUND = 1e-8;
const double BACKWARD_BOUND = 1e-10;

// Sparse pairs against dense pairs on one sparse vector in both directions:
// forward results must agree exactly (the same operations in the same order),
// backward results to rounding.  Intermediate stages are compared as well.
void compare_pairs(b_rec* b, lpvect2* v, const Entries& e, Worst& w) {
  const int n = b->sz;
  std::vector<double> d = dense_of(e, n);
  // forward: the input is indexed by row in both
  load(v, e);
  ASSERT_EQ(lu_ftran_v21(b, v), 0);
  ASSERT_TRUE(well_formed(v, n));
  std::vector<double> mid_s = values(v, n);
  ASSERT_EQ(lu_ftran_v22(b, v), 0);
  ASSERT_TRUE(well_formed(v, n));
  std::vector<double> out_s = values(v, n);
  std::vector<double> x = d;
  ASSERT_EQ(lu_ftran_d1(b, x.data()), 0);
  for (int r = 0; r < n; ++r)
    ASSERT_EQ(mid_s[r], x[r]) << "after the first forward stage, row id " << r;
  ASSERT_EQ(lu_ftran_d2(b, x.data()), 0);
  for (int r = 0; r < n; ++r)
    ASSERT_EQ(out_s[r], x[b->ips1[r]]) << "forward result, row id " << r;
  // backward: the same vector read as a cost vector by column; the sparse
  // input at row id r carries the value of column ips1[r]
  std::vector<int> row_of = row_of_column(b);
  Entries eb;
  for (auto [c, val] : e)
    eb.push_back({row_of[c], val});
  load(v, eb);
  int rc = lu_btran_v21(b, v);
  ASSERT_EQ(rc, v->head >= 0 ? 1 : 0);
  ASSERT_TRUE(well_formed(v, n));
  mid_s = values(v, n);
  ASSERT_EQ(lu_btran_v22(b, v), 0);
  ASSERT_TRUE(well_formed(v, n));
  out_s = values(v, n);
  std::vector<double> y = d;
  ASSERT_EQ(lu_btran_d1(b, y.data(), -1), 1);
  double scale = std::max(1.0, max_abs(y));
  for (int r = 0; r < n; ++r) {
    ASSERT_NEAR(mid_s[r], y[r], BACKWARD_BOUND * scale) << "after the first backward stage " << r;
    w.backward = std::max(w.backward, std::fabs(mid_s[r] - y[r]) / scale);
  }
  ASSERT_EQ(lu_btran_d2(b, y.data()), 0);
  scale = std::max(1.0, max_abs(y));
  for (int r = 0; r < n; ++r) {
    ASSERT_NEAR(out_s[r], y[r], BACKWARD_BOUND * scale) << "backward result, row " << r;
    w.backward = std::max(w.backward, std::fabs(out_s[r] - y[r]) / scale);
  }
}

// Every unit vector (a sample of 150 for larger orders), random sparse vectors
// and one full vector through compare_pairs.
void compare_all(b_rec* b, lpvect2* v, std::mt19937& rng, Worst& w) {
  const int n = b->sz;
  std::vector<int> units(n);
  std::iota(units.begin(), units.end(), 0);
  if (n > 150) {
    std::shuffle(units.begin(), units.end(), rng);
    units.resize(150);
  }
  for (int p : units) {
    SCOPED_TRACE("unit vector " + std::to_string(p));
    compare_pairs(b, v, {{p, 1.0}}, w);
    if (testing::Test::HasFatalFailure())
      return;
  }
  std::uniform_int_distribution<int> pos(0, n - 1), cnt(2, 8);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int t = 0; t < 40; ++t) {
    Entries e;
    std::set<int> used;
    for (int k = cnt(rng); k > 0; --k)
      if (int p = pos(rng); used.insert(p).second)
        e.push_back({p, u(rng)});
    SCOPED_TRACE("random sparse vector " + std::to_string(t));
    compare_pairs(b, v, e, w);
    if (testing::Test::HasFatalFailure())
      return;
  }
  Entries full;
  for (int p = 0; p < n; ++p)
    full.push_back({p, u(rng)});
  SCOPED_TRACE("full vector");
  compare_pairs(b, v, full, w);
}

// ---- sequences of replacements ------------------------------------------------------------

// The independent solver of the current basis: long double dense LU for small
// orders, a fresh factorization in a handle of its own otherwise.  The fresh
// handle works without the copy and its verification: it is the yardstick,
// not the subject (and it also solves with candidate columns that are never
// accepted).
struct Reference {
  DenseLU dense;
  b_rec* fresh = nullptr;

  struct Quiet {
    signed char saved = basis_check;
    Quiet() { basis_check = 0; }
    ~Quiet() { basis_check = saved; }
  };
  bool factor(const Mat& a) {
    if (fresh == nullptr)
      return dense.factor(a);
    Quiet q;
    return ::factor(fresh, a, 0) == 0 && fresh->fact_state == 0;
  }
  std::vector<double> solve(const std::vector<double>& rhs) {
    if (fresh == nullptr)
      return dense.solve(rhs);
    Quiet q;
    return ftran_dense(fresh, rhs);
  }
  std::vector<double> solve_t(const std::vector<double>& c) {
    if (fresh == nullptr)
      return dense.solve_t(c);
    Quiet q;
    return btran_dense(fresh, c);
  }
};

// Replaces basis columns one after the other in the handle b and in its own
// copy of the basis, choosing entering columns that keep the basis well
// conditioned: a candidate a (a perturbed copy of a basis column, a random
// sparse column with one strong entry, or a column of a related basis) is
// solved with the reference, and the leaving column j is drawn among those
// whose |(B⁻¹a)_j| is at least half the largest entry.
struct Replacer {
  Mat a;
  b_rec* b = nullptr;
  lpvect2* as = nullptr;
  lpvect2* work = nullptr;
  Reference ref;
  const Mat* related = nullptr;
  std::mt19937 rng{7};
  Worst worst;
  int self_fallbacks = 0;

  Entries candidate(int kind) {
    std::uniform_int_distribution<int> pos(0, a.n - 1);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    Entries e;
    if (kind == 0) {  // a perturbed copy of a basis column
      const Entries& c = a.cols[pos(rng)];
      double s = (1.0 + std::fabs(u(rng))) * (u(rng) < 0 ? -1 : 1), m = 0;
      for (auto [i, v] : c) {
        e.push_back({i, v * s});
        m = std::max(m, std::fabs(v));
      }
      int i = pos(rng);
      if (std::none_of(c.begin(), c.end(), [&](auto& p) { return p.first == i; }))
        e.push_back({i, 0.1 * m * u(rng)});
    } else if (kind == 1 || related == nullptr) {  // random sparse, one strong entry
      std::set<int> used;
      for (int k = 1 + (int)(rng() % 4); k > 0; --k)
        if (int i = pos(rng); used.insert(i).second)
          e.push_back({i, u(rng)});
      int i = pos(rng);
      if (used.insert(i).second)
        e.push_back({i, (u(rng) < 0 ? -1 : 1) * (2.0 + 2.0 * std::fabs(u(rng)))});
    } else {  // a column of the related basis
      e = related->cols[pos(rng)];
    }
    return e;
  }

  // One replacement, checked; the lu_pivotting result.
  int step() {
    const int n = a.n;
    Entries e;
    std::vector<double> w;
    int j = -1;
    for (int attempt = 0; attempt < 40 && j < 0; ++attempt) {
      e = candidate((int)(rng() % 3));
      w = ref.solve(dense_of(e, n));
      double wmax = max_abs(w);
      if (!(wmax >= 1e-2 && wmax <= 1e2))
        continue;
      std::vector<int> ok;
      for (int c = 0; c < n; ++c)
        if (std::fabs(w[c]) >= 0.5 * wmax)
          ok.push_back(c);
      j = ok[rng() % ok.size()];
    }
    if (j < 0) {  // no acceptable candidate: a column replaces itself
      ++self_fallbacks;
      j = (int)(rng() % n);
      e = a.cols[j];
      w.assign(n, 0.0);
      w[j] = 1.0;
    }
    const int r = row_of_column(b)[j];
    const int before = b->n_br;
    load(as, e);
    int rc = lu_pivotting(b, r, as);
    EXPECT_EQ(rc, before + 1) << "leaving row id " << r;
    if (rc != before + 1)
      return rc;
    EXPECT_EQ(at(as, r), 1.0);
    EXPECT_EQ(b->br.pfv[before].row, r);
    // The R eta's entry for r is p_r/α with p_r = 1: α = (B⁻¹a)_j.
    double alpha = 1.0 / r_entry(b, before, r);
    double da = std::fabs(alpha - w[j]) / max_abs(w);
    worst.alpha = std::max(worst.alpha, da);
    EXPECT_LE(da, ALPHA_BOUND) << "pivot " << alpha << " against " << w[j];
    EXPECT_TRUE(u_consistent(b));
    a.cols[j] = e;
    EXPECT_TRUE(ref.factor(a)) << "the new basis is singular";
    return rc;
  }

  // Solves with the updated factor against the reference and the basis.
  void check() {
    const int n = a.n;
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::uniform_int_distribution<int> pos(0, n - 1);
    std::vector<double> full(n);
    for (double& x : full)
      x = u(rng);
    Entries sp;
    std::set<int> used;
    for (int k = 0; k < 3; ++k)
      if (int p = pos(rng); used.insert(p).second)
        sp.push_back({p, u(rng)});
    for (const std::vector<double>& rhs : {full, dense_of(sp, n)}) {
      std::vector<double> x = ftran_dense(b, rhs), xr = ref.solve(rhs);
      std::vector<double> y = btran_dense(b, rhs), yr = ref.solve_t(rhs);
      double res = std::max(ftran_residual(a, x, rhs), btran_residual(a, y, rhs));
      double dx = 0, dy = 0;
      for (int i = 0; i < n; ++i) {
        dx = std::max(dx, std::fabs(x[i] - xr[i]));
        dy = std::max(dy, std::fabs(y[i] - yr[i]));
      }
      double diff =
          std::max(dx / std::max(max_abs(xr), 1e-300), dy / std::max(max_abs(yr), 1e-300));
      worst.residual = std::max(worst.residual, res);
      worst.diff = std::max(worst.diff, diff);
      EXPECT_LE(res, RESIDUAL_BOUND);
      EXPECT_LE(diff, DIFF_BOUND);
    }
    compare_pairs(b, work, sp, worst);
  }
};

// ---- the fixture ---------------------------------------------------------------------------

class Update : public HandleTest {
 protected:
  std::vector<lpvect2*> vecs;

  void TearDown() override {
    mem_fail_countdown = -1;
    for (lpvect2* v : vecs) {
      lpvect2_free(v);
      delete v;
    }
    HandleTest::TearDown();
  }
  lpvect2* vec(int n) {
    vecs.push_back(new lpvect2());
    EXPECT_EQ(lpvect2_alloc(vecs.back(), n, nullptr), 0);
    lpvect2_newmark(vecs.back());
    return vecs.back();
  }
  // A factorized handle with its update vector, ready for replacements.
  Replacer replacer(const Mat& a, int max_br, bool fresh_reference) {
    Replacer rp;
    rp.a = a;
    rp.b = fresh();
    EXPECT_EQ(factor(rp.b, a, max_br), 0);
    EXPECT_EQ(rp.b->fact_state, 0);
    rp.as = vec(a.n);
    rp.work = vec(a.n);
    if (fresh_reference)
      rp.ref.fresh = fresh();
    EXPECT_TRUE(rp.ref.factor(a));
    return rp;
  }
};

// ---- sparse pairs against dense pairs --------------------------------------------------------

TEST_F(Update, SparsePairsMatchDensePairsBeforeAndAfterUpdates) {
  basis_check = 1;  // every second stage verifies against the copy
  check_print = 0;
  std::mt19937 rng(11);
  struct Case {
    std::string name;
    Mat a;
  };
  std::vector<Case> cases = {{"random permuted 60", random_matrix(60, 3, rng)}};
  for (const char* name : {"afiro_opt", "adlittle_opt", "blend_opt", "israel_opt", "e226_opt"})
    cases.push_back({name, load_mtx(name)});
  Worst all;
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    Replacer rp = replacer(c.a, 1000, false);
    if (c.name.rfind("random", 0) == 0) {
      EXPECT_FALSE(identity_matching(rp.b));
    }
    compare_all(rp.b, rp.work, rng, rp.worst);
    ASSERT_FALSE(HasFatalFailure());
    for (int k = 0; k < 12; ++k)
      ASSERT_EQ(rp.step(), k + 1);
    compare_all(rp.b, rp.work, rng, rp.worst);
    ASSERT_FALSE(HasFatalFailure());
    all.merge(rp.worst);
  }
  std::printf("[ worst    ] sparse vs dense backward %.3g, update pivot %.3g\n", all.backward,
              all.alpha);
  // No verification (dense or sparse, whatever the matching) found a mismatch.
  EXPECT_EQ(log.take(), "");
}

// ---- packed eta files against the chains ----------------------------------------------------

// The bits of each value, so that -0.0 and 0.0 (and NaNs) are told apart.
std::vector<uint64_t> bits(const std::vector<double>& v) {
  std::vector<uint64_t> out(v.size());
  std::memcpy(out.data(), v.data(), v.size() * sizeof(double));
  return out;
}

// Every stage of both directions, dense and sparse, on one vector: the walk
// over the packed files gives bit for bit what the walk over the chains gives.
void expect_packed_as_chains(b_rec* b, lpvect2* v, const Entries& e) {
  const int n = b->sz;
  std::vector<int> row_of = row_of_column(b);
  Entries eb;
  for (auto [c, val] : e)
    eb.push_back({row_of[c], val});
  auto run = [&](bool chains) {
    lu_chain_walk = chains;
    std::vector<std::vector<double>> out;
    std::vector<double> x = dense_of(e, n);
    EXPECT_EQ(lu_ftran_d1(b, x.data()), 0);
    out.push_back(x);
    EXPECT_EQ(lu_ftran_d2(b, x.data()), 0);
    out.push_back(x);
    std::vector<double> y = dense_of(e, n);
    EXPECT_EQ(lu_btran_d1(b, y.data(), -1), 1);
    out.push_back(y);
    EXPECT_EQ(lu_btran_d2(b, y.data()), 0);
    out.push_back(y);
    load(v, e);
    EXPECT_EQ(lu_ftran_v21(b, v), 0);
    out.push_back(values(v, n));
    EXPECT_EQ(lu_ftran_v22(b, v), 0);
    out.push_back(values(v, n));
    std::vector<int> fl = listed(v);
    out.push_back(std::vector<double>(fl.begin(), fl.end()));
    load(v, eb);
    lu_btran_v21(b, v);
    EXPECT_EQ(lu_btran_v22(b, v), 0);
    out.push_back(values(v, n));
    std::vector<int> bl = listed(v);
    out.push_back(std::vector<double>(bl.begin(), bl.end()));
    lu_chain_walk = false;
    return out;
  };
  std::vector<std::vector<double>> chains = run(true), packed = run(false);
  for (size_t i = 0; i < chains.size(); ++i)
    EXPECT_EQ(bits(packed[i]), bits(chains[i])) << "result " << i;
  // The last stages for a caller that reads no list order (they may walk
  // plain values): the same values, a zero's sign aside, and the list well
  // formed over exactly the non-zeros.
  auto signless = [](std::vector<double> x) {
    for (double& t : x)
      t = t == 0.0 ? 0.0 : t;
    return bits(x);
  };
  for (solve_use use : {SOLVE_VALUES, SOLVE_VALUES_DENSE}) {
    load(v, e);
    EXPECT_EQ(lu_ftran_v21(b, v), 0);
    EXPECT_EQ(lu_ftran_v22(b, v, use), 0);
    EXPECT_EQ(signless(values(v, n)), signless(chains[5])) << "use " << use;
    EXPECT_TRUE(well_formed(v, n));
    load(v, eb);
    lu_btran_v21(b, v);
    EXPECT_EQ(lu_btran_v22(b, v, use), 0);
    EXPECT_EQ(signless(values(v, n)), signless(chains[7])) << "use " << use;
    EXPECT_TRUE(well_formed(v, n));
  }
}

TEST_F(Update, PackedFilesGiveTheChainWalkBitForBitThroughUpdates) {
  basis_check = 0;  // the comparison, not the verification, is the subject
  check_print = 0;
  std::mt19937 rng(17);
  int compactions = 0;
  for (const char* name : {"afiro_opt", "israel_opt", "e226_opt", "perold_opt", "woodw_opt"}) {
    SCOPED_TRACE(name);
    Mat a = load_mtx(name);
    const int n = a.n;
    Replacer rp = replacer(a, 1000, n > 300);
    std::uniform_int_distribution<int> pos(0, n - 1);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    auto compare = [&]() {
      for (int t = 0; t < 12; ++t)
        expect_packed_as_chains(rp.b, rp.work, {{pos(rng), 1.0}});
      for (int t = 0; t < 6; ++t)
        expect_packed_as_chains(rp.b, rp.work, {{pos(rng), u(rng)}, {pos(rng), u(rng)}});
      Entries full;
      for (int p = 0; p < n; ++p)
        full.push_back({p, u(rng)});
      expect_packed_as_chains(rp.b, rp.work, full);
    };
    compare();
    // Past the first hundred R etas, and long enough for U to be packed again.
    for (int k = 1; k <= 110; ++k) {
      int dead = rp.b->upp.dead;
      ASSERT_EQ(rp.step(), k);
      compactions += rp.b->upp.dead < dead;
      if (k % 27 == 0 || k <= 2 || k == 101)
        compare();
      ASSERT_FALSE(HasFatalFailure());
    }
  }
  EXPECT_GT(compactions, 0) << "no sequence packed U again";
  EXPECT_EQ(log.take(), "");
}

// The build without diagnostics builds the chains only when a stage needs
// them: the same chains, lists and results as built with the factorization.
TEST_F(Update, ChainsBuiltLaterAreTheChainsBuiltWithTheFactorization) {
  basis_check = 0;
  check_print = 0;
  auto chain_state = [](const b_rec* b) {
    std::vector<int64_t> out;
    const lumx* lu = b->lu;
    for (const eta_file* f : {&b->lw, &b->up}) {
      out.insert(out.end(), {f->head, f->tail, f->nz_head, f->nz_tail, f->aux_head, f->aux_tail});
      for (int r = f->head; r >= 0; r = f->pfv[r].next) {
        const eta_pfv& h = f->pfv[r];
        out.insert(out.end(), {r, h.prev, h.nz_next, h.nz_prev, f->aux[r].aux_next,
                               f->aux[r].aux_prev});
        for (int k = h.first; k >= 0; k = lu->av.nexti[k]) {
          int64_t v;
          std::memcpy(&v, &lu->av.v[k], sizeof v);
          out.insert(out.end(), {lu->av.i[k], lu->av.j[k], v});
        }
        for (int k = f->aux[r].first; k >= 0; k = lu->av.nextj[k])
          out.insert(out.end(), {lu->av.i[k], lu->av.j[k]});
      }
    }
    out.insert(out.end(), {b->n_lw, b->n_up});
    return out;
  };
  std::mt19937 rng(23);
  for (const char* name : {"adlittle_opt", "israel_opt", "perold_opt", "bandm_opt"}) {
    SCOPED_TRACE(name);
    Mat a = load_mtx(name);
    b_rec* now = fresh();
    ASSERT_EQ(factor(now, a, 1000), 0);
    lu_defer_chains = true;
    b_rec* later = fresh();
    int rc = factor(later, a, 1000);
    lu_defer_chains = false;
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(later->chains_ready, 0);
    // Dense transforms need no chain.
    std::vector<double> rhs(a.n);
    for (double& x : rhs)
      x = std::sin(x + rng());
    EXPECT_EQ(bits(ftran_dense(later, rhs)), bits(ftran_dense(now, rhs)));
    EXPECT_EQ(later->chains_ready, 0);
    // A sparse backward stage builds them.
    lpvect2* v = vec(a.n);
    load(v, {{0, 1.0}});
    EXPECT_EQ(lu_btran_v21(later, v), 1);
    EXPECT_EQ(later->chains_ready, 1);
    EXPECT_EQ(chain_state(later), chain_state(now));
    // Both handles then go through the same updates alike.
    lpvect2* as = vec(a.n);
    for (int k = 0; k < 20; ++k) {
      int r = (int)(rng() % a.n);
      for (b_rec* b : {now, later}) {
        load(as, a.cols[b->ips1[r]]);
        EXPECT_EQ(lu_pivotting(b, r, as), k + 1);
      }
    }
    EXPECT_EQ(chain_state(later), chain_state(now));
    EXPECT_EQ(bits(btran_dense(later, rhs)), bits(btran_dense(now, rhs)));
  }
  EXPECT_EQ(log.take(), "");
}

// ---- edge cases of the sparse transforms ------------------------------------------------------

TEST_F(Update, EmptyVectorPassesEveryStageEvenOnARefusedFactor) {
  basis_check = 2;
  check_print = 0;
  Mat a;  // rank 2: the second row is twice the first
  a.n = 3;
  a.cols = {{{0, 1.0}, {1, 2.0}}, {{0, 2.0}, {1, 4.0}}, {{2, 1.0}}};
  b_rec* b = fresh();
  ASSERT_EQ(factor(b, a, 10, 1), 0);
  ASSERT_GT(b->fact_state, 0);
  log.take();  // the factorization's own reports of the missing pivot
  lpvect2* v = vec(3);
  lpvect2_newmark(v);
  EXPECT_EQ(lu_ftran_v21(b, v), 0);
  EXPECT_EQ(lu_ftran_v22(b, v), 0);
  EXPECT_EQ(lu_btran_v21(b, v), 0);
  EXPECT_EQ(lu_btran_v22(b, v), 0);
  EXPECT_EQ(v->head, -1);
  EXPECT_EQ(log.take(), "");
  // A non-empty vector is refused with one report per stage, unchanged.
  load(v, {{1, 5.0}});
  EXPECT_EQ(lu_ftran_v21(b, v), -1);
  EXPECT_EQ(lu_ftran_v22(b, v), -1);
  EXPECT_EQ(lu_btran_v21(b, v), -1);
  // The second backward stage refuses too: its verification maps positions
  // through ips1, which holds -1 for the row without a pivot.
  EXPECT_EQ(lu_btran_v22(b, v), -1);
  EXPECT_EQ(listed(v), std::vector<int>{1});
  EXPECT_EQ(v->va[1], 5.0);
  std::string got = log.take();
  EXPECT_EQ(count_matches(got, chk_re('B', 0, b->fact_state, 0)), 4) << got;
  // After a failed factorization ips1 holds sz + 1 for the rows never pivoted.
  b_rec* failed = fresh();
  ASSERT_EQ(factor(failed, a, 10, 0), -1);
  log.take();
  load(v, {{1, 5.0}});
  EXPECT_EQ(lu_btran_v22(failed, v), -1);
  EXPECT_EQ(listed(v), std::vector<int>{1});
  EXPECT_EQ(v->va[1], 5.0);
  got = log.take();
  EXPECT_EQ(count_matches(got, chk_re('B', 0, failed->fact_state, 0)), 1) << got;
}

TEST_F(Update, UnitVectorsAndCancellationInTheSparseStages) {
  basis_check = 2;
  check_print = 0;
  Mat a = load_mtx("israel_opt");
  b_rec* b = fresh();
  ASSERT_EQ(factor(b, a, 10), 0);
  const int n = a.n;
  lpvect2* v = vec(n);

  // A unit vector at a row whose L eta is empty: no L eta applies, the value
  // is the reciprocal pivot, and nothing else is listed.
  int empty_l = -1, full_l = -1;
  for (int s = b->lw.head; s >= 0; s = b->lw.pfv[s].next) {
    if (b->lw.pfv[s].first < 0 && empty_l < 0)
      empty_l = s;
    if (b->lw.pfv[s].first >= 0 && full_l < 0)
      full_l = s;
  }
  ASSERT_GE(empty_l, 0);
  ASSERT_GE(full_l, 0);
  load(v, {{empty_l, 1.0}});
  ASSERT_EQ(lu_ftran_v21(b, v), 0);
  EXPECT_EQ(listed(v), std::vector<int>{empty_l});
  EXPECT_EQ(v->va[empty_l], b->diag_v[empty_l]);

  // Values that cancel to exactly 0 during L are unlinked and unmarked: the
  // input e_s - L(E,s) e_E makes row E exactly 0 after eta s.
  int k = b->lw.pfv[full_l].first;
  int e_row = b->lu->av.i[k];
  load(v, {{full_l, 1.0}, {e_row, -b->lu->av.v[k]}});
  ASSERT_EQ(lu_ftran_v21(b, v), 0);
  EXPECT_NE(v->usef[e_row], v->mark);
  std::vector<int> l = listed(v);
  EXPECT_EQ(std::count(l.begin(), l.end(), e_row), 0);
  EXPECT_TRUE(well_formed(v, n));
  std::vector<double> x(n, 0.0);
  x[full_l] = 1.0;
  x[e_row] = -b->lu->av.v[k];
  ASSERT_EQ(lu_ftran_d1(b, x.data()), 0);
  EXPECT_EQ(x[e_row], 0.0);
  for (int r = 0; r < n; ++r)
    EXPECT_EQ(at(v, r), x[r]) << r;

  // lu_btran_v21 on e_r for a row without U entries (the last step's pivot
  // row has none) gives e_r and 1; on a row with entries it spreads.
  int last = b->up.tail;
  ASSERT_EQ(b->up.aux[last].first, -1);
  load(v, {{last, 1.0}});
  EXPECT_EQ(lu_btran_v21(b, v), 1);
  EXPECT_EQ(listed(v), std::vector<int>{last});
  EXPECT_EQ(v->va[last], 1.0);
  int with_u = b->up.aux_head;
  ASSERT_GE(with_u, 0);
  load(v, {{with_u, 1.0}});
  EXPECT_EQ(lu_btran_v21(b, v), 1);
  EXPECT_GT(listed(v).size(), 1u);
  EXPECT_EQ(log.take(), "");
}

TEST_F(Update, BackwardFirstStageTrimsLeadingZerosOnly) {
  basis_check = 0;
  check_print = 0;
  Mat a = load_mtx("adlittle_opt");
  b_rec* b = fresh();
  ASSERT_EQ(factor(b, a, 10), 0);
  const int n = a.n;
  // A row s with a single U entry, in eta t: the input e_s - U(s,t) e_t
  // makes position t exactly 0.
  int s = -1;
  for (int p = b->up.aux_head; p >= 0 && s < 0; p = b->up.aux[p].aux_next)
    if (b->lu->av.nextj[b->up.aux[p].first] < 0)
      s = p;
  ASSERT_GE(s, 0);
  int k = b->up.aux[s].first;
  int t = b->lu->av.j[k];
  double cancel = -b->lu->av.v[k];
  lpvect2* v = vec(n);
  // t at the front of the list: trimmed, and only s is left.
  load(v, {{s, 1.0}, {t, cancel}});
  EXPECT_EQ(lu_btran_v21(b, v), 1);
  EXPECT_EQ(listed(v), std::vector<int>{s});
  EXPECT_NE(v->usef[t], v->mark);
  EXPECT_EQ(v->va[s], 1.0);
  // t behind s: a zero further down the list stays listed.
  load(v, {{t, cancel}, {s, 1.0}});
  EXPECT_EQ(lu_btran_v21(b, v), 1);
  EXPECT_EQ(listed(v), (std::vector<int>{s, t}));
  EXPECT_EQ(at(v, t), 0.0);
  EXPECT_EQ(log.take(), "");
}

TEST_F(Update, ListedPositionOutOfRangeIsRefused) {
  check_print = 0;
  Mat a = load_mtx("afiro_opt");
  const int n = a.n;
  for (int level : {0, 2}) {
    basis_check = (signed char)level;
    SCOPED_TRACE("basis_check " + std::to_string(level));
    b_rec* b = fresh();
    ASSERT_EQ(factor(b, a, 10), 0);
    lpvect2* v = vec(n + 5);  // room for positions past the order
    load(v, {{2, 1.5}, {n + 3, 4.0}, {0, -1.0}});
    std::vector<int> before = listed(v);
    EXPECT_EQ(lu_ftran_v21(b, v), -1);
    EXPECT_EQ(listed(v), before);
    EXPECT_EQ(lu_btran_v21(b, v), -1);
    EXPECT_EQ(listed(v), before);
    EXPECT_EQ(v->va[2], 1.5);
    EXPECT_EQ(v->va[n + 3], 4.0);
    EXPECT_EQ(v->va[0], -1.0);
    std::string got = log.take();
    EXPECT_EQ(count_matches(got, chk_re('A', 0, n + 3, n)), 2) << got;
  }
}

// ---- single updates ------------------------------------------------------------------------

TEST_F(Update, ColumnReplacedByItself) {
  basis_check = 2;  // the full check runs after the update
  check_print = 0;
  Mat a = load_mtx("adlittle_opt");
  const int n = a.n;
  b_rec* b = fresh();
  ASSERT_EQ(factor(b, a, 1000), 0);
  EXPECT_FALSE(identity_matching(b));
  // A position with both a U column and a U row to remove.
  int r = -1;
  for (int s = b->up.head; s >= 0 && r < 0; s = b->up.pfv[s].next)
    if (b->up.pfv[s].first >= 0 && b->up.aux[s].first >= 0)
      r = s;
  ASSERT_GE(r, 0);
  const int j = b->ips1[r];
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<std::vector<double>> rhs(5, std::vector<double>(n));
  for (auto& v : rhs)
    for (double& x : v)
      x = u(rng);
  std::vector<std::vector<double>> xs, ys;
  for (auto& v : rhs) {
    xs.push_back(ftran_dense(b, v));
    ys.push_back(btran_dense(b, v));
  }
  // The spike of the column matched to r is U's column r: -entry of eta r.
  std::vector<double> spike(n, 0.0);
  spike[r] = 1.0;
  for (int k = b->up.pfv[r].first; k >= 0; k = b->lu->av.nexti[k])
    spike[b->lu->av.i[k]] = -b->lu->av.v[k];

  lpvect2* as = vec(n);
  load(as, a.cols[j]);
  ASSERT_EQ(lu_pivotting(b, r, as), 1);
  EXPECT_EQ(b->n_br, 1);
  EXPECT_EQ(b->br.pfv[0].row, r);
  EXPECT_NEAR(1.0 / r_entry(b, 0, r), 1.0, 1e-12);  // α
  for (int k = 0; k < n; ++k)
    EXPECT_NEAR(at(as, k), spike[k], 1e-12 * (1 + std::fabs(spike[k]))) << k;
  // Eta r is the last step and holds -spike off r; row r is empty.
  EXPECT_EQ(b->up.tail, r);
  EXPECT_EQ(b->up.aux[r].first, -1);
  for (int k = b->up.pfv[r].first; k >= 0; k = b->lu->av.nexti[k])
    EXPECT_EQ(b->lu->av.v[k], -at(as, b->lu->av.i[k]));
  EXPECT_TRUE(u_consistent(b));
  // The copy still equals the basis.
  for (int c = 0; c < n; ++c)
    EXPECT_EQ(bs_column(b, c), dense_of(a.cols[c], n)) << c;
  for (size_t t = 0; t < rhs.size(); ++t) {
    std::vector<double> x = ftran_dense(b, rhs[t]), y = btran_dense(b, rhs[t]);
    for (int i = 0; i < n; ++i) {
      EXPECT_NEAR(x[i], xs[t][i], 1e-11 * (1 + max_abs(xs[t])));
      EXPECT_NEAR(y[i], ys[t][i], 1e-11 * (1 + max_abs(ys[t])));
    }
  }
  EXPECT_EQ(log.take(), "");  // neither the check after the update nor any solve
}

TEST_F(Update, DependentEnteringColumnIsRefusedAndChangesNothing) {
  basis_check = 2;
  check_print = 0;
  Mat a = load_mtx("blend_opt");
  const int n = a.n;
  b_rec* b = fresh();
  ASSERT_EQ(factor(b, a, 1000), 0);
  lpvect2* as = vec(n);
  // One good update first, so that R etas are present.
  int r0 = b->up.tail;
  load(as, a.cols[b->ips1[r0]]);
  ASSERT_EQ(lu_pivotting(b, r0, as), 1);
  log.take();

  struct Snapshot {
    int n_br, n_av, bs_n_av;
    std::vector<eta_pfv> up;
    std::vector<eta_aux> aux;
    std::vector<int32_t> bs_heads, nexti, nextj;
    std::vector<double> v;
  };
  auto snap = [&] {
    Snapshot s{b->n_br, b->lu->n_av, b->bs->n_av, {}, {}, {}, {}, {}, {}};
    s.up.assign(b->up.pfv, b->up.pfv + n);
    s.aux.assign(b->up.aux, b->up.aux + n);
    s.bs_heads.assign(b->bs->col_head, b->bs->col_head + n);
    s.nexti.assign(b->lu->av.nexti, b->lu->av.nexti + b->lu->n_av);
    s.nextj.assign(b->lu->av.nextj, b->lu->av.nextj + b->lu->n_av);
    s.v.assign(b->lu->av.v, b->lu->av.v + b->lu->n_av);
    return s;
  };
  Snapshot before = snap();
  std::vector<double> rhs(n);
  for (int i = 0; i < n; ++i)
    rhs[i] = std::sin(i + 1.0);
  std::vector<double> x0 = ftran_dense(b, rhs), y0 = btran_dense(b, rhs);

  // Three times the column matched to another row id: B⁻¹a has no entry at
  // the leaving column, so α vanishes; with 1e-13 times the leaving column
  // added, α is about 1e-13, still at or below the pivot tolerance.
  int r = b->up.head, other = b->up.pfv[r].next;
  for (double part : {0.0, 1e-13}) {
    SCOPED_TRACE("part of the leaving column " + std::to_string(part));
    std::vector<double> d(n, 0.0);
    for (auto [i, v] : a.cols[b->ips1[other]])
      d[i] += 3.0 * v;
    for (auto [i, v] : a.cols[b->ips1[r]])
      d[i] += part * v;
    Entries e;
    for (int i = 0; i < n; ++i)
      if (d[i] != 0.0)
        e.push_back({i, d[i]});
    load(as, e);
    EXPECT_EQ(lu_pivotting(b, r, as), 0);
    EXPECT_EQ(at(as, r), 1.0);  // the spike is handed back all the same
    Snapshot after = snap();
    EXPECT_EQ(after.n_br, before.n_br);
    EXPECT_EQ(after.n_av, before.n_av);
    EXPECT_EQ(after.bs_heads, before.bs_heads);
    EXPECT_EQ(after.nexti, before.nexti);
    EXPECT_EQ(after.nextj, before.nextj);
    EXPECT_EQ(after.v, before.v);
    for (int s = 0; s < n; ++s) {
      EXPECT_EQ(after.up[s].first, before.up[s].first);
      EXPECT_EQ(after.up[s].next, before.up[s].next);
      EXPECT_EQ(after.up[s].nz_next, before.up[s].nz_next);
      EXPECT_EQ(after.aux[s].first, before.aux[s].first);
      EXPECT_EQ(after.aux[s].aux_next, before.aux[s].aux_next);
    }
  }
  // Later solves give the same results, and their verifications against the
  // copy (whose column was put back) find nothing.
  EXPECT_EQ(ftran_dense(b, rhs), x0);
  EXPECT_EQ(btran_dense(b, rhs), y0);
  Worst w;
  compare_pairs(b, vec(n), {{0, 1.0}, {n - 1, 2.0}}, w);
  EXPECT_EQ(log.take(), "");
}

TEST_F(Update, TwoUpdatesApplyTheirRowEtasInOrder) {
  basis_check = 2;
  check_print = 0;
  std::mt19937 rng(5);
  Mat a = random_matrix(40, 3, rng);
  const int n = a.n;
  b_rec* b = fresh();
  ASSERT_EQ(factor(b, a, 1000), 0);
  lpvect2* as = vec(n);
  auto column_plus = [&](int j, int i, double add) {
    Entries e = a.cols[j];
    for (auto& [k, v] : e)
      v *= 1.5;
    e.push_back({i, add});
    return e;
  };
  // First update: a scaled column with an extra entry; its spike is listed.
  int r1 = b->up.tail;
  Entries e1 = column_plus(b->ips1[r1], b->up.head, 0.25);
  load(as, e1);
  ASSERT_EQ(lu_pivotting(b, r1, as), 1);
  a.cols[b->ips1[r1]] = e1;
  // Second update at a row id where the first spike has an entry, so that R
  // eta 1 reads the position that R eta 0 writes: their order matters.
  int r2 = -1;
  for (int p : listed(as))
    if (p != r1 && std::fabs(as->va[p]) > 1e-3)
      r2 = p;
  ASSERT_GE(r2, 0);
  Entries e2 = column_plus(b->ips1[r2], r1, -0.5);
  load(as, e2);
  ASSERT_EQ(lu_pivotting(b, r2, as), 2);
  a.cols[b->ips1[r2]] = e2;
  EXPECT_EQ(b->br.pfv[0].row, r1);
  EXPECT_EQ(b->br.pfv[1].row, r2);
  EXPECT_NE(r_entry(b, 1, r1), 0.0);
  EXPECT_TRUE(u_consistent(b));

  DenseLU ref;
  ASSERT_TRUE(ref.factor(a));
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int t = 0; t < 5; ++t) {
    std::vector<double> rhs(n);
    for (double& x : rhs)
      x = u(rng);
    std::vector<double> x = ftran_dense(b, rhs), xr = ref.solve(rhs);
    std::vector<double> y = btran_dense(b, rhs), yr = ref.solve_t(rhs);
    for (int i = 0; i < n; ++i) {
      EXPECT_NEAR(x[i], xr[i], 1e-12 * max_abs(xr)) << i;
      EXPECT_NEAR(y[i], yr[i], 1e-12 * max_abs(yr)) << i;
    }
  }
  // With the two R etas swapped the forward transform no longer solves.
  std::swap(b->br.pfv[0], b->br.pfv[1]);
  std::swap(b->brp.seg[0], b->brp.seg[1]);
  std::vector<double> rhs(n, 1.0);
  basis_check = 0;
  std::vector<double> x = ftran_dense(b, rhs);
  std::swap(b->br.pfv[0], b->br.pfv[1]);
  std::swap(b->brp.seg[0], b->brp.seg[1]);
  EXPECT_GT(ftran_residual(a, x, rhs), 1e-6);
  EXPECT_EQ(log.take(), "");
}

TEST_F(Update, NegligibleSpikeEntriesAreNotStoredInU) {
  basis_check = 2;
  check_print = 0;
  Mat a = load_mtx("israel_opt");
  const int n = a.n;
  b_rec* b = fresh();
  ASSERT_EQ(factor(b, a, 1000), 0);
  int r = -1;
  for (int s = b->up.head; s >= 0 && r < 0; s = b->up.pfv[s].next)
    if (b->up.pfv[s].first >= 0)
      r = s;
  ASSERT_GE(r, 0);
  const int j = b->ips1[r];
  // Rows that no L eta touches, whose own L eta is empty and that are neither
  // in column j nor in U's column r: an entry put there reaches the spike as
  // exactly entry·diag_v.
  std::set<int> in_col, in_u;
  for (auto [i, v] : a.cols[j])
    in_col.insert(i);
  for (int k = b->up.pfv[r].first; k >= 0; k = b->lu->av.nexti[k])
    in_u.insert(b->lu->av.i[k]);
  std::vector<int> quiet;
  for (int k = 0; k < n; ++k)
    if (k != r && b->lw.pfv[k].first < 0 && b->lw.aux[k].first < 0 && !in_col.count(k) &&
        !in_u.count(k))
      quiet.push_back(k);
  ASSERT_GE(quiet.size(), 2u);
  const int tiny_row = quiet[0], small_row = quiet[1];
  Entries e = a.cols[j];
  double tiny = 0.5e-30 / std::fabs(b->diag_v[tiny_row]);
  double small = 1e-20 / std::fabs(b->diag_v[small_row]);
  e.push_back({tiny_row, tiny});
  e.push_back({small_row, small});
  lpvect2* as = vec(n);
  load(as, e);
  ASSERT_EQ(lu_pivotting(b, r, as), 1);
  EXPECT_EQ(at(as, tiny_row), tiny * b->diag_v[tiny_row]);
  EXPECT_NE(at(as, tiny_row), 0.0);
  EXPECT_EQ(at(as, small_row), small * b->diag_v[small_row]);
  bool tiny_stored = false, small_stored = false;
  for (int k = b->up.pfv[r].first; k >= 0; k = b->lu->av.nexti[k]) {
    tiny_stored |= b->lu->av.i[k] == tiny_row;
    small_stored |= b->lu->av.i[k] == small_row;
  }
  EXPECT_FALSE(tiny_stored);
  EXPECT_TRUE(small_stored);
  EXPECT_TRUE(u_consistent(b));
  EXPECT_EQ(log.take(), "");
}

TEST_F(Update, MakeB1ReplacesOrEmptiesOneColumnOfTheCopy) {
  basis_check = 2;
  check_print = 0;
  Mat a = load_mtx("afiro_opt");
  const int n = a.n;
  b_rec* b = fresh();
  ASSERT_EQ(factor(b, a, 10), 0);
  lpvect2* v = vec(n);
  load(v, {{3, 2.0}, {7, 0.0}, {5, -1.0}});
  int rc = lu_make_B_1(b->bs, v, 4);
  EXPECT_EQ(rc, b->bs->n_av - 1);  // the slot of the last element appended
  EXPECT_EQ(bs_column(b, 4), dense_of({{3, 2.0}, {5, -1.0}}, n));
  load(v, {{1, 0.0}, {2, 0.0}});
  EXPECT_EQ(lu_make_B_1(b->bs, v, 6), 0);
  EXPECT_EQ(b->bs->col_head[6], -1);
  for (int c = 0; c < n; ++c)
    if (c != 4 && c != 6) {
      EXPECT_EQ(bs_column(b, c), dense_of(a.cols[c], n)) << c;
    }
  EXPECT_EQ(log.take(), "");
}

// ---- sequences of replacements ------------------------------------------------------------

struct SeqCase {
  const char* name;
  const char* related;  // another basis of the same LP, or null
  int steps;
};

TEST_F(Update, LongSequencesOnLpBasesMatchIndependentSolves) {
  basis_check = 1;  // every solve verified against the copy kept by the updates
  check_print = 0;
  const std::vector<SeqCase> cases = {
      {"afiro_opt", "afiro_crash", 60},      {"adlittle_opt", "adlittle_it000028", 60},
      {"blend_opt", "blend_crash", 60},      {"israel_opt", "israel_crash", 60},
      {"israel_crash", nullptr, 60},         {"e226_opt", "e226_it000108", 60},
      {"bandm_opt", "bandm_crash", 60},      {"shell_opt", "shell_crash", 60},
      {"25fv47_opt", nullptr, 60},
  };
  Worst all;
  for (const SeqCase& c : cases) {
    SCOPED_TRACE(c.name);
    Mat a = load_mtx(c.name);
    Mat related;
    if (c.related != nullptr)
      related = load_mtx(c.related);
    Replacer rp = replacer(a, 1000, a.n > 250);
    bool identity = identity_matching(rp.b);
    if (c.related != nullptr)
      rp.related = &related;
    for (int k = 0; k < c.steps; ++k) {
      ASSERT_EQ(rp.step(), k + 1) << "update " << k;
      rp.check();
      ASSERT_FALSE(HasFatalFailure()) << "update " << k;
    }
    std::printf("[ worst    ] %-13s n %4d %s: residual %.3g, difference %.3g, pivot %.3g, "
                "backward %.3g, self %d\n",
                c.name, a.n, identity ? "identity" : "permuted", rp.worst.residual, rp.worst.diff,
                rp.worst.alpha, rp.worst.backward, rp.self_fallbacks);
    all.merge(rp.worst);
  }
  std::printf("[ worst    ] all: residual %.3g, difference %.3g\n", all.residual, all.diff);
  EXPECT_EQ(log.take(), "");
}

TEST_F(Update, LongSequencesOnPermutedRandomMatrices) {
  basis_check = 1;
  check_print = 0;
  std::mt19937 rng(21);
  for (int n : {30, 120}) {
    SCOPED_TRACE("order " + std::to_string(n));
    Replacer rp = replacer(random_matrix(n, 4, rng), 1000, false);
    EXPECT_FALSE(identity_matching(rp.b));
    for (int k = 0; k < 80; ++k) {
      ASSERT_EQ(rp.step(), k + 1);
      rp.check();
      ASSERT_FALSE(HasFatalFailure()) << "update " << k;
    }
    std::printf("[ worst    ] random %d: residual %.3g, difference %.3g, pivot %.3g\n", n,
                rp.worst.residual, rp.worst.diff, rp.worst.alpha);
  }
  EXPECT_EQ(log.take(), "");
}

TEST_F(Update, FullCheckAfterEachUpdatePrintsNothing) {
  basis_check = 2;  // lu_kakunin_d after every update
  check_print = 0;
  std::mt19937 rng(8);
  std::vector<std::pair<std::string, Mat>> cases = {{"random 50", random_matrix(50, 3, rng)},
                                                    {"afiro_opt", load_mtx("afiro_opt")},
                                                    {"blend_opt", load_mtx("blend_opt")},
                                                    {"israel_crash", load_mtx("israel_crash")}};
  for (auto& [name, a] : cases) {
    SCOPED_TRACE(name);
    Replacer rp = replacer(a, 1000, false);
    EXPECT_EQ(identity_matching(rp.b), name == "israel_crash");
    for (int k = 0; k < 50; ++k)
      ASSERT_EQ(rp.step(), k + 1);
    rp.check();
  }
  EXPECT_EQ(log.take(), "");
  // The check does run: with one value of the copy made wrong, an update at
  // level 1 reports nothing, and at level 2 its check reports the transforms
  // that meet the wrong value.
  const Mat& a = cases[0].second;
  b_rec* b = fresh();
  ASSERT_EQ(factor(b, a, 1000), 0);
  lpvect2* as = vec(a.n);
  int wrong = b->up.head, r = b->up.tail;
  b->bs->av.v[b->bs->col_head[b->ips1[wrong]]] *= 1.5;
  basis_check = 1;
  load(as, a.cols[b->ips1[r]]);
  ASSERT_EQ(lu_pivotting(b, r, as), 1);
  EXPECT_EQ(log.take(), "");
  basis_check = 2;
  load(as, a.cols[b->ips1[r]]);
  ASSERT_EQ(lu_pivotting(b, r, as), 2);
  EXPECT_GE(count_matches(log.take(), "b_BB_check_d num\\(50\\) cnt\\(\\d+\\)\n"), 1);
}

// ---- growth of the R-eta file and its capacity report ------------------------------------------

TEST_F(Update, RowEtaFileGrowsPastItsFirstHundredEntries) {
  basis_check = 1;
  check_print = 0;
  Replacer rp = replacer(load_mtx("afiro_opt"), 120, false);
  ASSERT_EQ(rp.b->cap_br, 100);
  for (int k = 0; k < 150; ++k) {
    ASSERT_EQ(rp.step(), k + 1);
    if (k % 10 == 9 || k >= 98)
      rp.check();
    ASSERT_FALSE(HasFatalFailure()) << "update " << k;
  }
  EXPECT_EQ(rp.b->n_br, 150);
  EXPECT_GE(rp.b->cap_br, 150);
  // The capacity report against max_br (120) stays: one per update from R
  // eta 120 on, and nothing else.
  std::string got = log.take();
  int reports = 0;
  for (int e = 120; e < 150; ++e)
    reports += count_matches(got, chk_re('A', 0, e, 120));
  EXPECT_EQ(reports, 30);
  EXPECT_EQ(count_matches(got, "\n"), 30) << got;
  // Sized as the export sizes (max_br 0), every update is reported.
  Replacer small = replacer(load_mtx("afiro_opt"), 0, false);
  for (int k = 0; k < 3; ++k)
    ASSERT_EQ(small.step(), k + 1);
  got = log.take();
  for (int e = 0; e < 3; ++e)
    EXPECT_EQ(count_matches(got, chk_re('A', 0, e, 0)), 1) << got;
}

// ---- refusals ------------------------------------------------------------------------------

TEST_F(Update, LeavingPositionOutOfRangeIsRefused) {
  basis_check = 2;
  check_print = 0;
  Mat a = load_mtx("afiro_opt");
  const int n = a.n;
  b_rec* b = fresh();
  ASSERT_EQ(factor(b, a, 10), 0);
  lpvect2* as = vec(n);
  std::vector<int32_t> heads(b->bs->col_head, b->bs->col_head + n);
  for (int r : {-1, n, n + 7}) {
    load(as, {{0, 1.0}, {3, 2.0}});
    EXPECT_EQ(lu_pivotting(b, r, as), -1);
    EXPECT_EQ(b->n_br, 0);
    EXPECT_EQ(listed(as), (std::vector<int>{3, 0}));
    EXPECT_EQ(std::vector<int32_t>(b->bs->col_head, b->bs->col_head + n), heads);
    std::string got = log.take();
    EXPECT_EQ(count_matches(got, chk_re('A', 0, r, n)), 1) << got;
    EXPECT_EQ(count_matches(got, "\n"), 1) << got;
  }
}

TEST_F(Update, RankDeficientFactorRefusesTheUpdateWithoutTouchingTheCopy) {
  basis_check = 2;
  check_print = 0;
  Mat a;
  a.n = 3;
  a.cols = {{{0, 1.0}, {1, 2.0}}, {{0, 2.0}, {1, 4.0}}, {{2, 1.0}}};
  b_rec* b = fresh();
  ASSERT_EQ(factor(b, a, 10, 1), 0);
  ASSERT_GT(b->fact_state, 0);
  log.take();
  std::vector<int32_t> heads(b->bs->col_head, b->bs->col_head + 3);
  int bs_n_av = b->bs->n_av;
  lpvect2* as = vec(3);
  load(as, {{1, 1.0}});
  int r = b->up.head >= 0 ? b->up.head : 0;
  EXPECT_EQ(lu_pivotting(b, r, as), 0);
  EXPECT_EQ(b->n_br, 0);
  EXPECT_EQ(std::vector<int32_t>(b->bs->col_head, b->bs->col_head + 3), heads);
  EXPECT_EQ(b->bs->n_av, bs_n_av);
  EXPECT_EQ(listed(as), std::vector<int>{1});
  std::string got = log.take();
  EXPECT_EQ(count_matches(got, chk_re('B', 0, b->fact_state, 0)), 1) << got;
}

// ---- pool exhaustion -----------------------------------------------------------------------

// Takes idle slots until exactly `room` free slots are left in the pool
// (growing it once when it has fewer).
void leave_room(lumx* lu, int room) {
  while (lu->max_av - lu->n_av != room)
    ASSERT_GE(lumx_new_av(lu), 0);
}

// Entries the R eta of a self-replacement at r will store: the non-negligible
// entries of row r of U⁻¹.
int r_eta_size(b_rec* b, lpvect2* v, int r) {
  load(v, {{r, 1.0}});
  EXPECT_EQ(lu_btran_v21(b, v), 1);
  int cnt = 0;
  for (int p : listed(v))
    cnt += std::fabs(v->va[p]) > 1e-30;
  return cnt;
}

TEST_F(Update, PoolExhaustedInTheNewUColumnInvalidatesTheFactor) {
  basis_check = 0;  // no copy, so that the only allocation is the pool's
  check_print = 0;
  Mat a = load_mtx("adlittle_opt");
  const int n = a.n;
  b_rec* b = fresh();
  ASSERT_EQ(factor(b, a, 1000), 0);
  lpvect2* as = vec(n);
  int r = -1;
  for (int s = b->up.head; s >= 0 && r < 0; s = b->up.pfv[s].next)
    if (b->up.pfv[s].first >= 0)
      r = s;
  ASSERT_GE(r, 0);
  leave_room(b->lu, r_eta_size(b, as, r));  // the R eta fits, the spike does not
  load(as, a.cols[b->ips1[r]]);
  mem_fail_countdown = 0;
  EXPECT_EQ(lu_pivotting(b, r, as), -2);
  mem_fail_countdown = -1;
  EXPECT_EQ(b->fact_state, -2);
  std::string got = log.take();
  EXPECT_NE(got.find("**** lumx_new_av: cannot malloc\n"), std::string::npos) << got;
  // Every transform and the update now refuse.
  std::vector<double> x(n, 1.0);
  EXPECT_EQ(lu_ftran_d1(b, x.data()), -1);
  EXPECT_EQ(lu_btran_d1(b, x.data(), -1), -1);
  load(as, {{0, 1.0}, {1, 1.0}});
  EXPECT_EQ(lu_ftran_v21(b, as), -1);
  EXPECT_EQ(lu_ftran_v22(b, as), -1);
  EXPECT_EQ(lu_btran_v21(b, as), -1);
  EXPECT_EQ(lu_pivotting(b, r, as), -2);
  got = log.take();
  EXPECT_EQ(count_matches(got, chk_re('B', 0, -2, 0)), 6) << got;
}

TEST_F(Update, PoolExhaustedInTheRowEtaLeavesTheFactorUsable) {
  basis_check = 2;
  check_print = 0;
  Mat a = load_mtx("adlittle_opt");
  const int n = a.n;
  b_rec* b = fresh();
  ASSERT_EQ(factor(b, a, 1000), 0);
  lpvect2* as = vec(n);
  int r = -1;
  for (int s = b->up.head; s >= 0 && r < 0; s = b->up.pfv[s].next)
    if (r_eta_size(b, as, s) >= 2)
      r = s;
  ASSERT_GE(r, 0);
  // A perturbed column, so that a wrongly kept copy would be noticed.
  Entries e = a.cols[b->ips1[r]];
  for (auto& [i, v] : e)
    v *= 2.0;
  // Room in the copy for the new column, and one slot too few for the R eta.
  while (b->bs->max_av - b->bs->n_av < (int)e.size())
    ASSERT_GE(lumx_new_av(b->bs), 0);
  leave_room(b->lu, r_eta_size(b, as, r) - 1);
  std::vector<double> rhs(n);
  for (int i = 0; i < n; ++i)
    rhs[i] = std::cos(i + 0.5);
  std::vector<double> x0 = ftran_dense(b, rhs);
  log.take();
  load(as, e);
  mem_fail_countdown = 0;
  EXPECT_EQ(lu_pivotting(b, r, as), -2);
  mem_fail_countdown = -1;
  EXPECT_EQ(b->n_br, 0);
  EXPECT_EQ(b->fact_state, 0);
  std::string got = log.take();
  EXPECT_EQ(got, "**** lumx_new_av: cannot malloc\n");
  // The factor and the copy are the old basis: solves agree and verify.
  EXPECT_EQ(ftran_dense(b, rhs), x0);
  EXPECT_TRUE(u_consistent(b));
  // The same update succeeds once memory is there.
  load(as, e);
  EXPECT_EQ(lu_pivotting(b, r, as), 1);
  a.cols[b->ips1[r]] = e;
  std::vector<double> x = ftran_dense(b, rhs);
  EXPECT_LE(ftran_residual(a, x, rhs), RESIDUAL_BOUND);
  EXPECT_EQ(log.take(), "");
}

}  // namespace
