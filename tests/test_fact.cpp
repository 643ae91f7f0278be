// The factorization from inside: pivot choices on small cases worked out by
// hand, the eta files, reciprocal pivots and matching it leaves, a rebuild of
// L·D·U from the eta files compared with the appended matrix (random matrices,
// exact cancellation, real basis matrices), the guards of lu_factoring, and
// behaviour under injected allocation failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "lp_kesh.h"
#include "lp_lumx.h"
#include "lp_sm_lu.h"
#include "mtx.h"
#include "test_diag.h"
#include "test_matrix.h"
#include "test_support.h"
#include "zelkor.h"

namespace {

// "**** lu_fact: ピボットが見つからない。サイズ(%d)ランク(%d)\n" in code page 932,
// written out byte by byte.
std::string no_pivot_message(int sz, int rank) {
  const std::string pivot = "\x83\x73\x83\x7b\x83\x62\x83\x67";  // ピボット
  const std::string not_found =                                  // が見つからない。
      "\x82\xaa\x8c\xa9\x82\xc2\x82\xa9\x82\xe7\x82\xc8\x82\xa2\x81\x42";
  const std::string size = "\x83\x54\x83\x43\x83\x59";  // サイズ
  const std::string rank_w = "\x83\x89\x83\x93\x83\x4e";  // ランク
  return "**** lu_fact: " + pivot + not_found + size + "(" + std::to_string(sz) + ")" + rank_w +
         "(" + std::to_string(rank) + ")\n";
}

// ---- matrices --------------------------------------------------------------------------

struct trip {
  int r;
  int c;
  double v;
};
using Triplets = std::vector<trip>;

Triplets dense(const std::vector<std::vector<double>>& a) {
  Triplets t;
  for (int i = 0; i < (int)a.size(); ++i)
    for (int j = 0; j < (int)a[i].size(); ++j)
      if (a[i][j] != 0.0)
        t.push_back({i, j, a[i][j]});
  return t;
}

// A structurally nonsingular random matrix of order n: a full diagonal plus
// about per_col further entries per column, within `band` of the diagonal
// (band 0: anywhere), rows and columns then permuted at random.  Magnitudes
// are 10^U(-spread, spread) with random signs, the diagonal's scaled by diag.
Triplets random_matrix(int n, int per_col, int band, double spread, double diag,
                       std::mt19937& rng) {
  std::uniform_real_distribution<double> u01(0.0, 1.0);
  auto value = [&]() {
    double m = std::pow(10.0, spread * (2.0 * u01(rng) - 1.0));
    return u01(rng) < 0.5 ? -m : m;
  };
  std::vector<int> pr = random_permutation(n, rng);
  std::vector<int> pc = random_permutation(n, rng);
  Triplets t;
  for (int j = 0; j < n; ++j) {
    std::set<int> rows{j};
    t.push_back({pr[j], pc[j], diag * value()});
    int lo = band > 0 ? std::max(0, j - band) : 0;
    int hi = band > 0 ? std::min(n - 1, j + band) : n - 1;
    std::uniform_int_distribution<int> pick(lo, hi);
    for (int k = 0; k < per_col && (int)rows.size() < hi - lo + 1; ++k) {
      int i = pick(rng);
      if (rows.insert(i).second)
        t.push_back({pr[i], pc[j], value()});
    }
  }
  std::shuffle(t.begin(), t.end(), rng);
  return t;
}

// The non-zero entries of a matrix read from the data folder.
Triplets nonzero_triplets(const mtx_matrix& m) {
  Triplets t;
  for (const mtx_entry& e : m.entries)
    if (e.v != 0.0)
      t.push_back({e.row, e.col, e.v});
  return t;
}

// Five-point grid operator on nx × ny points with a convection term, so
// that it is unsymmetric: 4 + shift on the diagonal, -1 ± conv beside it.
Triplets grid(int nx, int ny, double conv) {
  Triplets t;
  auto id = [&](int x, int y) { return y * nx + x; };
  for (int y = 0; y < ny; ++y)
    for (int x = 0; x < nx; ++x) {
      int i = id(x, y);
      t.push_back({i, i, 4.1});
      if (x > 0)
        t.push_back({i, id(x - 1, y), -1.0 - conv});
      if (x + 1 < nx)
        t.push_back({i, id(x + 1, y), -1.0 + conv});
      if (y > 0)
        t.push_back({i, id(x, y - 1), -1.0 - 0.5 * conv});
      if (y + 1 < ny)
        t.push_back({i, id(x, y + 1), -1.0 + 0.5 * conv});
    }
  return t;
}

// B = P·L0·U0·Q with sparse L0 (unit lower) and U0 (upper, ±1 diagonal)
// holding entries ±1: small integers with many coinciding patterns, so that
// updates of the elimination often cancel to exactly 0.
Triplets integer_product(int n, int per_col, std::mt19937& rng) {
  std::uniform_int_distribution<int> pick(0, n - 1);
  std::uniform_int_distribution<int> sign(0, 1);
  std::vector<std::map<int, double>> lcol(n), urow(n);
  for (int j = 0; j < n; ++j) {
    lcol[j][j] = 1.0;
    urow[j][j] = sign(rng) ? 1.0 : -1.0;
    for (int k = 0; k < per_col; ++k) {
      int i = pick(rng);
      if (i > j)
        lcol[j][i] = sign(rng) ? 1.0 : -1.0;
      int c = pick(rng);
      if (c > j)
        urow[j][c] = sign(rng) ? 1.0 : -1.0;
    }
  }
  std::map<std::pair<int, int>, double> b;
  for (int k = 0; k < n; ++k)
    for (auto [i, l] : lcol[k])
      for (auto [c, u] : urow[k])
        b[{i, c}] += l * u;
  std::vector<int> pr = random_permutation(n, rng);
  std::vector<int> pc = random_permutation(n, rng);
  Triplets t;
  for (auto [pos, v] : b)
    if (v != 0.0)
      t.push_back({pr[pos.first], pc[pos.second], v});
  std::shuffle(t.begin(), t.end(), rng);
  return t;
}

// ---- the factor as the handle holds it ------------------------------------------------

struct Pivots {
  int rank = 0;
  std::vector<int> row;          // r(s)
  std::vector<int> col;          // c(s)
  std::vector<int> step_of_row;  // -1 for a row without pivot
};

// The pivot sequence from the handle's own ips1 (column per pivot row) and
// ips2 (step per pivot row), so that it can be read after another handle
// has overwritten the shared lplu.mt.
Pivots pivots_of(const b_rec* b) {
  Pivots p;
  int sz = b->sz;
  p.step_of_row.assign(sz, -1);
  for (int r = 0; r < sz; ++r)
    if (b->ips2[r] >= 0)
      ++p.rank;
  p.row.assign(p.rank, -1);
  p.col.assign(p.rank, -1);
  for (int r = 0; r < sz; ++r) {
    int s = b->ips2[r];
    if (s < 0) {
      EXPECT_EQ(b->ips1[r], -1) << "row " << r;
      continue;
    }
    EXPECT_LT(s, p.rank) << "row " << r;
    if (s >= p.rank)
      continue;
    EXPECT_EQ(p.row[s], -1) << "step " << s << " twice";
    p.row[s] = r;
    p.col[s] = b->ips1[r];
    p.step_of_row[r] = s;
  }
  return p;
}

// What two factorizations of one matrix must share: the pivot sequence, the
// numbers of eta entries and the reciprocal pivots.
auto signature(const b_rec* b) {
  Pivots p = pivots_of(b);
  return std::tuple(p.row, p.col, b->n_lw, b->n_up,
                    std::vector<double>(b->diag_v, b->diag_v + b->sz));
}

struct Outcome {
  int rc;
  int rank;
  int32_t* q;
  int32_t* r;
};

Outcome factor(b_rec* b, int accept) {
  Outcome o{0, -7, nullptr, nullptr};
  o.rc = lu_factoring(b, accept, &o.rank, &o.q, &o.r);
  return o;
}

// Right after a factorization: the matching handed back, ips1/ips2 and
// lplu.mt describe the same pivots; lines without a pivot are -1.
void expect_matching(const b_rec* b, const Outcome& o) {
  int sz = b->sz;
  Pivots p = pivots_of(b);
  ASSERT_EQ(p.rank, o.rank);
  ASSERT_EQ(o.q, b->lu->row_k_head);
  ASSERT_EQ(o.r, b->lu->col_k_head);
  std::vector<int> row_of_col(sz, -1);
  for (int s = 0; s < p.rank; ++s) {
    EXPECT_EQ(lplu.mt[s].row, p.row[s]) << "step " << s;
    EXPECT_EQ(lplu.mt[s].col, p.col[s]) << "step " << s;
    ASSERT_TRUE(p.col[s] >= 0 && p.col[s] < sz);
    EXPECT_EQ(row_of_col[p.col[s]], -1) << "column " << p.col[s] << " matched twice";
    row_of_col[p.col[s]] = p.row[s];
  }
  for (int s = p.rank; s < sz; ++s) {
    EXPECT_EQ(lplu.mt[s].row, -1);
    EXPECT_EQ(lplu.mt[s].col, -1);
  }
  for (int i = 0; i < sz; ++i) {
    int s = p.step_of_row[i];
    EXPECT_EQ(o.q[i], s < 0 ? -1 : p.col[s]) << "row " << i;
    EXPECT_EQ(o.r[i], row_of_col[i]) << "column " << i;
  }
}

// The list structure of one eta file: the step list runs through the pivot
// rows in step order (both ways), the non-empty list through the steps with
// entries, -2 links elsewhere; the row list through the pivot rows with
// entries; each row chain aux[E] holds exactly the entries applying to E.
void expect_eta_lists(const b_rec* b, const eta_file& f, const Pivots& p, int entries) {
  const lumx* lu = b->lu;
  std::vector<int> steps, back, nz, rows;
  for (int r = f.head; r >= 0 && (int)steps.size() <= p.rank; r = f.pfv[r].next)
    steps.push_back(r);
  for (int r = f.tail; r >= 0 && (int)back.size() <= p.rank; r = f.pfv[r].prev)
    back.insert(back.begin(), r);
  EXPECT_EQ(steps, p.row);
  EXPECT_EQ(back, p.row);
  std::vector<int> want_nz, want_rows;
  for (int r : p.row) {
    EXPECT_EQ(f.pfv[r].row, r);
    if (f.pfv[r].first >= 0) {
      want_nz.push_back(r);
    } else {
      EXPECT_EQ(f.pfv[r].nz_next, -2);
      EXPECT_EQ(f.pfv[r].nz_prev, -2);
    }
    if (f.aux[r].first >= 0) {
      want_rows.push_back(r);
    } else {
      EXPECT_EQ(f.aux[r].aux_next, -2);
      EXPECT_EQ(f.aux[r].aux_prev, -2);
    }
  }
  for (int r = f.nz_head; r >= 0 && (int)nz.size() <= p.rank; r = f.pfv[r].nz_next)
    nz.push_back(r);
  for (int r = f.aux_head; r >= 0 && (int)rows.size() <= p.rank; r = f.aux[r].aux_next)
    rows.push_back(r);
  EXPECT_EQ(nz, want_nz);
  EXPECT_EQ(f.nz_tail, want_nz.empty() ? -1 : want_nz.back());
  EXPECT_EQ(rows, want_rows);
  EXPECT_EQ(f.aux_tail, want_rows.empty() ? -1 : want_rows.back());
  int chained = 0;
  for (int e = 0; e < b->sz; ++e)
    for (int k = f.aux[e].first; k >= 0 && chained <= entries; k = lu->av.nextj[k], ++chained)
      EXPECT_EQ(lu->av.i[k], e) << "entry " << k << " on the row chain of " << e;
  EXPECT_EQ(chained, entries);
}

struct Factors {
  // Per step s: the entries (row E, factor value) of column s of L below the
  // diagonal and of column s of U above it.
  std::vector<std::vector<std::pair<int, double>>> l, u;
  std::vector<double> d;  // pivot p(s), recovered from diag_v
};

// Reads the L and U eta files back into factor columns, checking that each
// entry lies strictly on its side of the diagonal and is non-zero.
Factors read_factors(const b_rec* b, const Pivots& p) {
  const lumx* lu = b->lu;
  Factors f;
  f.l.resize(p.rank);
  f.u.resize(p.rank);
  f.d.resize(p.rank);
  int n_l = 0, n_u = 0;
  for (int s = 0; s < p.rank; ++s) {
    int r = p.row[s];
    double dv = b->diag_v[r];
    EXPECT_TRUE(std::isfinite(dv) && dv != 0.0) << "diag_v[" << r << "] = " << dv;
    f.d[s] = 1.0 / dv;
    for (int k = b->lw.pfv[r].first; k >= 0 && n_l <= b->n_lw; k = lu->av.nexti[k], ++n_l) {
      int e = lu->av.i[k];
      EXPECT_EQ(lu->av.j[k], r);
      EXPECT_NE(lu->av.v[k], 0.0);
      int t = p.step_of_row[e];
      EXPECT_TRUE(t > s || t < 0) << "L entry of step " << s << " on row " << e << " (step " << t
                                  << ")";
      f.l[s].push_back({e, -lu->av.v[k]});
    }
    for (int k = b->up.pfv[r].first; k >= 0 && n_u <= b->n_up; k = lu->av.nexti[k], ++n_u) {
      int e = lu->av.i[k];
      EXPECT_EQ(lu->av.j[k], r);
      EXPECT_NE(lu->av.v[k], 0.0);
      int t = p.step_of_row[e];
      EXPECT_TRUE(t >= 0 && t < s) << "U entry of step " << s << " on row " << e << " (step " << t
                                   << ")";
      f.u[s].push_back({e, -lu->av.v[k]});
    }
  }
  EXPECT_EQ(n_l, b->n_lw);
  EXPECT_EQ(n_u, b->n_up);
  expect_eta_lists(b, b->lw, p, b->n_lw);
  expect_eta_lists(b, b->up, p, b->n_up);
  return f;
}

// Rebuilds B' = L·D·U column by column and compares every pivoted column c(s)
// with the appended matrix (duplicates summed), row by row.
//
// Bound: entry (E, c(s)) of the product is a sum of nt terms l·p·u.  In the
// factors each term carries a few roundings (1/p, the scaling of l and of u,
// the updates of the element it came from, 1/diag_v here) and the sum adds one
// per term, so to first order |B' - B| <= (nt + 10)·(eps/2)·Σ|l||p||u|.  The
// test allows (2·nt + 16)·eps·Σ|l||p||u|, four times that: tight enough that a
// wrong or missing entry of any size fails, since the bound is relative to
// the terms themselves, not to |B| or a norm.
void expect_rebuilds(const b_rec* b, const Triplets& t) {
  int sz = b->sz;
  Pivots p = pivots_of(b);
  Factors f = read_factors(b, p);
  std::vector<std::map<int, double>> bcol(sz);
  for (const trip& e : t)
    bcol[e.c][e.r] += e.v;
  std::vector<double> acc(sz), bound(sz);
  std::vector<int> terms(sz), seen(sz, -1);
  int bad = 0;
  for (int s = 0; s < p.rank; ++s) {
    std::vector<int> touched;
    auto add = [&](int e, double x) {
      if (seen[e] != s) {
        seen[e] = s;
        acc[e] = bound[e] = 0.0;
        terms[e] = 0;
        touched.push_back(e);
      }
      acc[e] += x;
      bound[e] += std::fabs(x);
      terms[e] += 1;
    };
    auto column_of_step = [&](int k, double u) {  // u·p(k)·(column k of L, unit diagonal)
      double du = f.d[k] * u;
      add(p.row[k], du);
      for (auto [e, l] : f.l[k])
        add(e, l * du);
    };
    column_of_step(s, 1.0);
    for (auto [e, u] : f.u[s])
      column_of_step(p.step_of_row[e], u);
    for (auto [e, v] : bcol[p.col[s]])
      if (seen[e] != s)
        add(e, 0.0);
    for (int e : touched) {
      auto it = bcol[p.col[s]].find(e);
      double want = it == bcol[p.col[s]].end() ? 0.0 : it->second;
      double tol = (2.0 * terms[e] + 16.0) * DBL_EPSILON * bound[e];
      if (!(std::fabs(acc[e] - want) <= tol) && ++bad <= 5)
        ADD_FAILURE() << "B'(" << e << ", " << p.col[s] << ") = " << acc[e] << ", B = " << want
                      << ", bound " << tol;
    }
  }
  EXPECT_EQ(bad, 0) << "entries of L·D·U that differ from B";
}

// ---- fixture -----------------------------------------------------------------------------

class Fact : public HandleTest {
 protected:
  // A handle of order sz holding t, appended in order.
  b_rec* load(int sz, const Triplets& t) {
    b_rec* b = fresh();
    reload(b, sz, t);
    return b;
  }
  static void reload(b_rec* b, int sz, const Triplets& t) {
    ASSERT_EQ(lumx_renew(b, sz, 0, 0.01), 0);
    for (const trip& e : t)
      ASSERT_GT(lumx_append(b->lu, e.r, e.c, e.v), -1);
  }
  // Factorizes a matrix that must have full rank, without any report, and
  // checks the matching and the rebuild.
  void expect_clean_factor(b_rec* b, const Triplets& t) {
    int before = chk_fail_n;
    Outcome o = factor(b, 0);
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(o.rank, b->sz);
    EXPECT_EQ(b->fact_state, 0);
    EXPECT_EQ(chk_fail_n, before);
    EXPECT_EQ(log.take(), "");
    expect_matching(b, o);
    expect_rebuilds(b, t);
  }
};

// ---- small cases worked by hand ------------------------------------------------------------

TEST_F(Fact, TwoByTwoPivotsOnTheLargestElementOfTheLastFiledRow) {
  // Slots 0..3: (0,0)=1, (0,1)=2, (1,0)=3, (1,1)=4.
  Triplets t = dense({{1, 2}, {3, 4}});
  b_rec* b = load(2, t);
  Outcome o = factor(b, 0);
  ASSERT_EQ(o.rc, 0);
  EXPECT_EQ(o.rank, 2);
  EXPECT_EQ(b->fact_state, 0);
  // Step 0 on (1,1) = 4, step 1 on (0,0) = 1 - 3·2/4 = -0.5.
  EXPECT_EQ(lplu.mt[0].row, 1);
  EXPECT_EQ(lplu.mt[0].col, 1);
  EXPECT_EQ(lplu.mt[1].row, 0);
  EXPECT_EQ(lplu.mt[1].col, 0);
  EXPECT_EQ(b->diag_v[0], -2.0);
  EXPECT_EQ(b->diag_v[1], 0.25);
  EXPECT_EQ(b->n_lw, 1);
  EXPECT_EQ(b->n_up, 1);
  // L: multiplier of row 0 at step 0 is 2/4; U: (1,0)/4 above step 1.
  ASSERT_EQ(b->lw.pfv[1].first, 1);
  EXPECT_EQ(b->lu->av.i[1], 0);
  EXPECT_EQ(b->lu->av.j[1], 1);
  EXPECT_EQ(b->lu->av.v[1], -0.5);
  ASSERT_EQ(b->up.pfv[0].first, 2);
  EXPECT_EQ(b->lu->av.i[2], 1);
  EXPECT_EQ(b->lu->av.j[2], 0);
  EXPECT_EQ(b->lu->av.v[2], -0.75);
  EXPECT_EQ(b->lw.pfv[0].first, -1);
  EXPECT_EQ(b->up.pfv[1].first, -1);
  // The pivots stay in the pool unscaled.
  EXPECT_EQ(b->lu->av.v[3], 4.0);
  EXPECT_EQ(b->lu->av.v[0], -0.5);
  // Per pivot row: its column and its step; the matching is the identity.
  EXPECT_EQ(b->ips1[0], 0);
  EXPECT_EQ(b->ips1[1], 1);
  EXPECT_EQ(b->ips2[0], 1);
  EXPECT_EQ(b->ips2[1], 0);
  EXPECT_EQ(o.q[0], 0);
  EXPECT_EQ(o.q[1], 1);
  EXPECT_EQ(o.r[0], 0);
  EXPECT_EQ(o.r[1], 1);
  // Lists: steps {1, 0}; L non-empty at row 1, applying to row 0; U the other way.
  EXPECT_EQ(b->lw.head, 1);
  EXPECT_EQ(b->lw.tail, 0);
  EXPECT_EQ(b->lw.nz_head, 1);
  EXPECT_EQ(b->lw.nz_tail, 1);
  EXPECT_EQ(b->lw.aux[0].first, 1);
  EXPECT_EQ(b->lw.aux_head, 0);
  EXPECT_EQ(b->up.nz_head, 0);
  EXPECT_EQ(b->up.aux[1].first, 2);
  EXPECT_EQ(b->up.aux_head, 1);
  expect_matching(b, o);
  expect_rebuilds(b, t);
}

TEST_F(Fact, SingletonMatricesNeedNoUpdateAndNoFill) {
  {
    SCOPED_TRACE("1x1");
    b_rec* b = load(1, {{0, 0, 8.0}});
    expect_clean_factor(b, {{0, 0, 8.0}});
    EXPECT_EQ(lplu.mt[0].row, 0);
    EXPECT_EQ(lplu.mt[0].col, 0);
    EXPECT_EQ(b->diag_v[0], 0.125);
    EXPECT_EQ(b->n_lw + b->n_up, 0);
    for (const eta_file* f : {&b->lw, &b->up}) {
      EXPECT_EQ(f->head, 0);
      EXPECT_EQ(f->tail, 0);
      EXPECT_EQ(f->pfv[0].first, -1);
      EXPECT_EQ(f->nz_head, -1);
    }
  }
  {
    SCOPED_TRACE("identity of order 3");
    Triplets t = dense({{1, 0, 0}, {0, 1, 0}, {0, 0, 1}});
    b_rec* b = load(3, t);
    expect_clean_factor(b, t);
    for (int r = 0; r < 3; ++r) {
      EXPECT_EQ(b->ips1[r], r);
      EXPECT_EQ(b->ips2[r], 2 - r);  // the last row filed is taken first
      EXPECT_EQ(b->diag_v[r], 1.0);
      for (const eta_file* f : {&b->lw, &b->up}) {
        EXPECT_EQ(f->pfv[r].first, -1);
        EXPECT_EQ(f->pfv[r].nz_next, -2);
        EXPECT_EQ(f->pfv[r].nz_prev, -2);
      }
    }
    EXPECT_EQ(b->n_lw + b->n_up, 0);
    EXPECT_EQ(b->lw.nz_head, -1);
    EXPECT_EQ(b->up.nz_tail, -1);
  }
  {
    SCOPED_TRACE("diagonal of order 6");
    Triplets t;
    for (int i = 0; i < 6; ++i)
      t.push_back({i, i, i % 2 ? -(i + 1.0) : i + 1.0});
    b_rec* b = load(6, t);
    expect_clean_factor(b, t);
    EXPECT_EQ(b->lu->n_av, 6);  // no fill-in
    for (int s = 0; s < 6; ++s) {
      EXPECT_EQ(lplu.mt[s].row, 5 - s);
      EXPECT_EQ(lplu.mt[s].col, 5 - s);
      EXPECT_EQ(b->diag_v[s], 1.0 / t[s].v);
    }
    EXPECT_EQ(b->n_lw + b->n_up, 0);
  }
}

TEST_F(Fact, TriangularMatricesPutEveryOffDiagonalIntoTheLEtas) {
  const int n = 6;
  for (bool upper : {false, true}) {
    SCOPED_TRACE(upper ? "upper" : "lower");
    Triplets t;
    std::map<std::pair<int, int>, double> a;
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j)
        if (i == j || (upper ? j > i : j < i)) {
          double v = i == j ? 2.0 + i : 1.0 + i + 3.0 * j;
          t.push_back({i, j, v});
          a[{i, j}] = v;
        }
    b_rec* b = load(n, t);
    expect_clean_factor(b, t);
    EXPECT_EQ(b->lu->n_av, (int)t.size());  // no fill-in
    EXPECT_EQ(b->n_up, 0);
    EXPECT_EQ(b->n_lw, n * (n - 1) / 2);
    for (int s = 0; s < n; ++s) {
      // One singleton at a time: the diagonal from the lone end inwards.
      int c = upper ? n - 1 - s : s;
      EXPECT_EQ(lplu.mt[s].row, c);
      EXPECT_EQ(lplu.mt[s].col, c);
      double pivot = a[{c, c}];
      EXPECT_EQ(b->diag_v[c], 1.0 / pivot);
      // The eta of column c: each off-diagonal divided by the pivot, negated.
      std::map<int, double> got;
      for (int k = b->lw.pfv[c].first; k >= 0; k = b->lu->av.nexti[k])
        got[b->lu->av.i[k]] = b->lu->av.v[k];
      std::map<int, double> want;
      for (auto [pos, v] : a)
        if (pos.second == c && pos.first != c)
          want[pos.first] = -v / pivot;
      ASSERT_EQ(got.size(), want.size());
      for (auto [row, v] : want)
        EXPECT_DOUBLE_EQ(got[row], v) << "row " << row << " of the eta of column " << c;
    }
  }
}

TEST_F(Fact, ThresholdRulesOutElementsNotAboveOneHundredthOfTheLineMaximum) {
  // Row 2 = {1000, x} is examined first (the last filed row of the smallest
  // count).  (2,1) would be the cheapest pivot, cost 1, but is a candidate
  // only if x > 0.01·1000; (2,0) costs 2, so the search goes on to row 1
  // and settles on (1,2), also of cost 1.
  for (double x : {5.0, 10.0, 11.0}) {
    SCOPED_TRACE(x);
    Triplets t = dense({{1, 1, 1}, {1, 0, 1}, {1000, x, 0}});
    b_rec* b = load(3, t);
    expect_clean_factor(b, t);
    if (x > 10.0) {
      EXPECT_EQ(lplu.mt[0].row, 2);
      EXPECT_EQ(lplu.mt[0].col, 1);
    } else {
      EXPECT_EQ(lplu.mt[0].row, 1);
      EXPECT_EQ(lplu.mt[0].col, 2);
    }
  }
}

TEST_F(Fact, OrderZeroFactorizesToRankZero) {
  b_rec* b = load(0, {});
  int rank = -7;
  EXPECT_EQ(lu_fact(b, 0, &rank), 0);
  EXPECT_EQ(rank, 0);
  EXPECT_EQ(lplu.pxh_c, nullptr);  // the heaps were not touched
  EXPECT_EQ(lplu.pxh_r, nullptr);
  Outcome o = factor(b, 0);
  EXPECT_EQ(o.rc, 0);
  EXPECT_EQ(o.rank, 0);
  EXPECT_EQ(b->fact_state, 0);
  // The copy reports its dimensions 0 outside 1 .. capacity.
  std::string copy_range = chk('B', "lp_sm_lu.cpp", "1", "0", "1");
  EXPECT_TRUE(matches(log.take(), copy_range + copy_range));
}

// ---- singular matrices --------------------------------------------------------------------

TEST_F(Fact, SingularMatrixFailsWithTheMessageAndTheDumps) {
  // The handle held a factor before: the dump must not show its pivots.
  b_rec* b = load(2, dense({{1, 2}, {3, 4}}));
  ASSERT_EQ(factor(b, 0).rc, 0);
  // Column 1 empty.  Step 0 takes the singleton row 1 on (1,0) = 2; row 0
  // is then empty and no pivot is left.
  reload(b, 2, dense({{1, 0}, {2, 0}}));
  log.take();
  int32_t sentinel[1] = {99};
  Outcome o{0, -7, sentinel, sentinel};
  o.rc = lu_factoring(b, 0, &o.rank, &o.q, &o.r);
  EXPECT_EQ(o.rc, -1);
  EXPECT_EQ(o.rank, 1);
  EXPECT_EQ(b->fact_state, -1);
  EXPECT_EQ(o.q, sentinel);  // left as they were
  EXPECT_EQ(o.r, sentinel);
  // Reports of the elimination (the row whose count fell to 0, the search
  // that found nothing), the message, then the dumps: the pivot pairs, the
  // steps of rows and columns (3 = not pivoted), the reciprocal pivots (none
  // set), empty eta files; last the status check of lu_factoring.
  std::string want = "(" + any_chk('A', "lp_sm_lu.cpp") + "|" + any_chk('B', "lp_sm_lu.cpp") +
                     ")+" + re_escape(no_pivot_message(2, 1)) +
                     re_escape(sj("ＬＵ分解後のマッチング\n(1 0) (-1 -1)\n")) +
                     re_escape(sj("b->ips1[]＝\t 3 0\n")) + re_escape(sj("b->ips2[]＝\t 0 3\n")) +
                     re_escape(sj("対角[]＝\t 0 0\n")) + re_escape(sj("Ｌ行列 sz(2) \n")) +
                     re_escape(sj("Ｕ行列 sz(2) \n")) + chk('B', "zelkor_cc.cpp", "0", "-1", "0");
  std::string text = log.take();
  EXPECT_TRUE(matches(text, want)) << text;
  EXPECT_NE(text.find(std::string("\x83\x73\x83\x7b\x83\x62\x83\x67")), std::string::npos);
}

TEST_F(Fact, RankDeficientFactorIsAcceptedWithUnmatchedLinesMarked) {
  // Row 2 is empty: rank 3 of 4.
  Triplets t = dense({{2, 1, 1, 0}, {0, 3, 0, 1}, {0, 0, 0, 0}, {0, 0, 4, 1}});
  {
    SCOPED_TRACE("accept 0");
    b_rec* b = load(4, t);
    Outcome o = factor(b, 0);
    EXPECT_EQ(o.rc, -1);
    EXPECT_EQ(o.rank, 3);
    EXPECT_EQ(b->fact_state, -1);
    EXPECT_NE(log.take().find(no_pivot_message(4, 3)), std::string::npos);
  }
  {
    SCOPED_TRACE("accept 1");
    b_rec* b = load(4, t);
    for (int i = 0; i < lplu.max_sz; ++i)
      ASSERT_EQ(lplu.aibo[i], 0) << "no row is marked to be skipped";
    Outcome o = factor(b, 1);
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.rank, 3);
    EXPECT_EQ(b->fact_state, 1);
    EXPECT_EQ(log.take().find("lu_fact:"), std::string::npos);
    expect_matching(b, o);
    EXPECT_EQ(o.q[2], -1);
    EXPECT_EQ(b->ips1[2], -1);
    EXPECT_EQ(b->ips2[2], -1);
    int unmatched = 0;
    for (int c = 0; c < 4; ++c)
      unmatched += o.r[c] == -1;
    EXPECT_EQ(unmatched, 1);
    expect_rebuilds(b, t);  // every pivoted column, all rows
  }
}

TEST_F(Fact, CopyKeepsTheMatrixWhileTheWorkingMatrixHoldsTheFactors) {
  std::mt19937 rng(7);
  Triplets t = random_matrix(40, 4, 0, 1.0, 3.0, rng);
  trip twice = t[5];
  t.push_back(twice);  // a duplicate stays a duplicate in the copy
  b_rec* b = load(40, t);
  expect_clean_factor(b, t);
  auto triplets_of = [](const lumx* a) {
    std::multiset<std::tuple<int, int, double>> s;
    for (int c = 0; c < a->n; ++c)
      for (int k = a->col_head[c]; k >= 0 && (int)s.size() <= a->n_av; k = a->av.nexti[k])
        s.insert({a->av.i[k], a->av.j[k], a->av.v[k]});
    return s;
  };
  std::multiset<std::tuple<int, int, double>> want;
  for (const trip& e : t)
    want.insert({e.r, e.c, e.v});
  EXPECT_EQ(triplets_of(b->bs), want);
  EXPECT_NE(triplets_of(b->lu), want);
}

// ---- rebuilding L·D·U ----------------------------------------------------------------------

TEST_F(Fact, ExactCancellationIsDroppedWithoutBeingChosen) {
  {
    // The only row of count 2 is row 0; its pivot (value 1) makes the
    // multiplier of row 1 exactly 2, and the update of the other column of
    // row 0 turns (1, ·) = 2 into 2 - 1·2 = 0.
    SCOPED_TRACE("4x4");
    Triplets t = dense({{1, 1, 0, 0}, {2, 2, 1, 0}, {0, 1, 1, 1}, {1, 0, 1, 1}});
    b_rec* b = load(4, t);
    expect_clean_factor(b, t);
    EXPECT_EQ(lplu.mt[0].row, 0);
    // Every slot is an eta entry or a pivot but the one that cancelled.
    EXPECT_EQ(b->lu->n_av - (b->n_lw + b->n_up + 4), 1);
  }
  std::mt19937 rng(11);
  int cancelled = 0;
  for (int n : {20, 60, 150, 400}) {
    SCOPED_TRACE(n);
    Triplets t = integer_product(n, 2, rng);
    b_rec* b = load(n, t);
    expect_clean_factor(b, t);
    cancelled += b->lu->n_av - (b->n_lw + b->n_up + n);
  }
  EXPECT_GT(cancelled, 0) << "the integer products exercised no cancellation";
}

TEST_F(Fact, RandomSparseMatricesRebuildFromTheirEtaFiles) {
  std::mt19937 rng(20240601);
  struct Case {
    int n, per_col, band;
    double spread, diag;
  };
  const Case cases[] = {
      {2, 1, 0, 0.5, 1.0},     {5, 2, 0, 1.0, 1.0},     {12, 3, 0, 2.0, 1.0},
      {30, 2, 0, 3.0, 1.0},    {60, 6, 0, 3.0, 1.0},    {120, 24, 0, 0.5, 1.0},  // moderately dense
      {200, 40, 0, 1.0, 2.0},  {500, 50, 0, 1.0, 1.0},  {300, 1, 0, 2.0, 1.0},   // very sparse
      {800, 2, 0, 1.0, 1.0},   {2000, 3, 0, 1.0, 1.0},  {1500, 3, 12, 1.0, 1.0},
      {3000, 3, 6, 2.0, 1.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "order " << c.n << ", " << c.per_col << " per column");
    Triplets t = random_matrix(c.n, c.per_col, c.band, c.spread, c.diag, rng);
    b_rec* b = load(c.n, t);
    expect_clean_factor(b, t);
  }
}

TEST_F(Fact, RealBasisMatricesRebuildFromTheirEtaFiles) {
  std::vector<matrix_index_row> index;
  ASSERT_TRUE(read_matrix_index(index));
  int done = 0;
  for (const matrix_index_row& row : index) {
    SCOPED_TRACE(row.name);
    mtx_matrix m;
    ASSERT_TRUE(read_mtx(test_matrix_path(row.name), m));
    Triplets t = nonzero_triplets(m);
    b_rec* b = load(m.n, t);
    if (!row.singular) {
      expect_clean_factor(b, t);
    } else {
      Outcome o = factor(b, 1);
      ASSERT_EQ(o.rc, 0);
      std::smatch sm;
      ASSERT_TRUE(std::regex_search(row.line, sm, std::regex("sprank (\\d+)")));
      EXPECT_LE(o.rank, std::stoi(sm[1]));
      EXPECT_EQ(b->fact_state, m.n - o.rank);
      expect_matching(b, o);
      expect_rebuilds(b, t);
      log.take();
    }
    ++done;
  }
  EXPECT_GE(done, 40);
}

// The eta files entry by entry, in the order the transforms apply them: per
// file, per pivot row in step order, the chain of (row, value bits), then the
// reciprocal pivots' bits.  Equal signatures mean bit-identical transforms.
std::vector<int64_t> eta_entries(const b_rec* b) {
  std::vector<int64_t> out;
  const lumx* lu = b->lu;
  for (const eta_file* f : {&b->lw, &b->up})
    for (int r = f->head; r >= 0; r = f->pfv[r].next) {
      out.push_back(-1 - r);
      for (int k = f->pfv[r].first; k >= 0; k = lu->av.nexti[k]) {
        int64_t bits;
        std::memcpy(&bits, &lu->av.v[k], sizeof bits);
        out.push_back(lu->av.i[k]);
        out.push_back(bits);
      }
    }
  for (int r = 0; r < b->sz; ++r) {
    int64_t bits;
    std::memcpy(&bits, &b->diag_v[r], sizeof bits);
    out.push_back(bits);
  }
  return out;
}

// An arrow: a dense last row and column over a diagonal, every step updating
// the last column again.  Random values so that the pivots of the diagonal
// are met in an order unrelated to the chains.
Triplets arrow(int n, std::mt19937& rng) {
  std::uniform_real_distribution<double> u(0.5, 1.5);
  Triplets t;
  for (int i = 0; i + 1 < n; ++i) {
    t.push_back({i, i, 4.0 * u(rng)});
    t.push_back({i, n - 1, u(rng)});
    t.push_back({n - 1, i, u(rng)});
  }
  t.push_back({n - 1, n - 1, 2.0 * n});
  std::shuffle(t.begin(), t.end(), rng);
  return t;
}

// The column map of the Schur update skips walking a column again; the
// elements it retires must reach the finished chains exactly when and where
// the walk of every update would retire them, so that every eta holds its
// entries in the same order.
TEST_F(Fact, ColumnMapGivesTheEtaFilesOfTheWalkAtEveryUpdate) {
  std::vector<std::pair<std::string, Triplets>> cases;
  std::vector<matrix_index_row> index;
  ASSERT_TRUE(read_matrix_index(index));
  for (const matrix_index_row& row : index) {
    mtx_matrix m;
    ASSERT_TRUE(read_mtx(test_matrix_path(row.name), m));
    cases.push_back({row.name, nonzero_triplets(m)});
  }
  std::mt19937 rng(11);
  cases.push_back({"arrow", arrow(400, rng)});
  cases.push_back({"random", random_matrix(600, 5, 0, 2.0, 1.0, rng)});
  cases.push_back({"integer", integer_product(300, 3, rng)});
  for (auto& [name, t] : cases) {
    SCOPED_TRACE(name);
    int n = 0;
    for (const trip& e : t)
      n = std::max({n, e.r + 1, e.c + 1});
    lu_fact_rewalk = true;
    b_rec* walked = load(n, t);
    Outcome ow = factor(walked, 1);
    lu_fact_rewalk = false;
    ASSERT_EQ(ow.rc, 0);
    b_rec* mapped = load(n, t);
    Outcome om = factor(mapped, 1);
    ASSERT_EQ(om.rc, 0);
    EXPECT_EQ(om.rank, ow.rank);
    EXPECT_EQ(eta_entries(mapped), eta_entries(walked));
    log.take();
  }
}

// ---- determinism and handles ---------------------------------------------------------------

TEST_F(Fact, SameMatrixInTheSameOrderGivesTheSamePivotSequence) {
  std::mt19937 rng(5);
  Triplets t = random_matrix(300, 4, 0, 2.0, 1.0, rng);
  b_rec* a = load(300, t);
  ASSERT_EQ(factor(a, 0).rc, 0);
  auto first = signature(a);
  reload(a, 300, t);  // the same handle again
  ASSERT_EQ(factor(a, 0).rc, 0);
  EXPECT_EQ(signature(a), first);
  b_rec* b = load(300, t);  // another handle
  ASSERT_EQ(factor(b, 0).rc, 0);
  EXPECT_EQ(signature(b), first);
  for (int round = 0; round < 2; ++round) {  // through the exports, freeing everything between
    lu_handle* h = lu_new();
    ASSERT_EQ(lu_resize(h, 300), 0);
    for (const trip& e : t)
      ASSERT_GT(lu_append(h, e.r, e.c, e.v), -1);
    ASSERT_EQ(factor(h, 0).rc, 0);
    EXPECT_EQ(signature(h), first);
    lu_delete(h);
  }
}

TEST_F(Fact, TwoHandlesShareTheWorkRecordAtTheLargerOrder) {
  std::mt19937 rng(3);
  Triplets t5 = random_matrix(5, 2, 0, 1.0, 1.0, rng);
  Triplets t50 = random_matrix(50, 4, 0, 1.0, 1.0, rng);
  b_rec* a = load(5, t5);
  b_rec* b = load(50, t50);
  EXPECT_EQ(lplu.max_sz, 51);
  expect_clean_factor(a, t5);
  expect_clean_factor(b, t50);
  expect_rebuilds(a, t5);  // still intact after b used the shared record
  reload(a, 5, t5);
  EXPECT_EQ(lplu.max_sz, 51);
  expect_clean_factor(a, t5);
  expect_rebuilds(b, t50);
  EXPECT_EQ(lplu.max_sz, 51);
}

// ---- guards of lu_factoring ----------------------------------------------------------------

TEST_F(Fact, FactoringRefusesNullUnsizedAndUncoveredHandles) {
  const std::string refused = any_chk('B', "zelkor_cc.cpp");
  Outcome o{0, -7, nullptr, nullptr};
  EXPECT_EQ(lu_factoring(nullptr, 0, &o.rank, &o.q, &o.r), -1);
  EXPECT_TRUE(matches(log.take(), refused));

  lu_handle* unsized = lu_new();
  EXPECT_EQ(lu_factoring(unsized, 0, &o.rank, &o.q, &o.r), -1);
  EXPECT_TRUE(matches(log.take(), refused));
  lu_delete(unsized);

  std::mt19937 rng(9);
  Triplets t = random_matrix(30, 3, 0, 1.0, 1.0, rng);
  lu_handle* a = lu_new();
  ASSERT_EQ(lu_resize(a, 30), 0);
  for (const trip& e : t)
    ASSERT_GT(lu_append(a, e.r, e.c, e.v), -1);
  lu_handle* other = lu_new();
  ASSERT_EQ(lu_resize(other, 10), 0);
  lu_delete(other);  // frees the shared work record
  EXPECT_EQ(lu_factoring(a, 0, &o.rank, &o.q, &o.r), -1);
  EXPECT_TRUE(matches(log.take(), refused));
  lu_handle* small = lu_new();
  ASSERT_EQ(lu_resize(small, 5), 0);  // sized again, but for order 5 only
  EXPECT_EQ(lu_factoring(a, 0, &o.rank, &o.q, &o.r), -1);
  EXPECT_TRUE(matches(log.take(), refused));
  EXPECT_EQ(a->fact_state, 0);

  ASSERT_EQ(lu_resize(a, 30), 0);
  for (const trip& e : t)
    ASSERT_GT(lu_append(a, e.r, e.c, e.v), -1);
  o = factor(a, 0);
  EXPECT_EQ(o.rc, 0);
  expect_rebuilds(a, t);
  lu_delete(small);
  lu_delete(a);
}

TEST_F(Fact, SecondFactoringIsRefusedUntilResized) {
  std::mt19937 rng(13);
  Triplets t = random_matrix(40, 3, 0, 1.0, 1.0, rng);
  b_rec* b = load(40, t);
  expect_clean_factor(b, t);
  int n_lw = b->n_lw;
  std::vector<double> diag(b->diag_v, b->diag_v + 40);
  Outcome o = factor(b, 0);
  EXPECT_EQ(o.rc, -1);
  EXPECT_TRUE(matches(log.take(), any_chk('B', "zelkor_cc.cpp")));
  EXPECT_EQ(b->fact_state, 0);
  EXPECT_EQ(b->n_lw, n_lw);
  EXPECT_EQ(std::vector<double>(b->diag_v, b->diag_v + 40), diag);
  expect_rebuilds(b, t);  // the factors are untouched
  reload(b, 40, t);
  expect_clean_factor(b, t);
}

TEST_F(Fact, DuplicatesAreSummedBeforeTheElimination) {
  {
    // Split entries into two parts that sum exactly; the later part stands
    // where the entry stood, so the result must equal that of the summed
    // matrix bit for bit.
    SCOPED_TRACE("split entries");
    std::mt19937 rng(17);
    Triplets summed = random_matrix(80, 4, 0, 0.0, 1.0, rng);
    std::uniform_int_distribution<int> small(-8, 8);
    Triplets split;
    for (size_t i = 0; i < summed.size(); ++i) {
      summed[i].v = small(rng);
      if (summed[i].v == 0.0)
        summed[i].v = 9.0;
      if (i % 3 == 0) {
        double part;
        do
          part = small(rng);
        while (part == 0.0 || part == summed[i].v);
        split.insert(split.begin() + split.size() / 2, {summed[i].r, summed[i].c, part});
        split.push_back({summed[i].r, summed[i].c, summed[i].v - part});
      } else {
        split.push_back(summed[i]);
      }
    }
    b_rec* x = load(80, summed);
    b_rec* y = load(80, split);
    expect_clean_factor(x, summed);
    expect_clean_factor(y, summed);
    EXPECT_EQ(signature(x), signature(y));
  }
  {
    SCOPED_TRACE("the survivor");
    // Slots 0..3: (0,0)=1, (1,1)=2, (2,2)=1, (1,1)=3.  The one first in its
    // column's list (slot 3) holds the sum and is the pivot, unscaled.
    Triplets t = {{0, 0, 1}, {1, 1, 2}, {2, 2, 1}, {1, 1, 3}};
    b_rec* b = load(3, t);
    expect_clean_factor(b, t);
    EXPECT_EQ(b->diag_v[1], 1.0 / 5.0);
    EXPECT_EQ(b->lu->av.v[3], 5.0);
    EXPECT_EQ(b->n_lw + b->n_up, 0);
  }
  {
    SCOPED_TRACE("a pair that cancels");
    Triplets t = dense({{1, 0, 0}, {0, 1, 0}, {0, 0, 1}});
    t.insert(t.begin() + 1, {0, 2, 7.0});
    t.push_back({0, 2, -7.0});
    b_rec* b = load(3, t);
    expect_clean_factor(b, t);  // as the identity: singletons, no etas
    for (int r = 0; r < 3; ++r)
      EXPECT_EQ(b->ips2[r], 2 - r);
    EXPECT_EQ(b->n_lw + b->n_up, 0);
  }
  {
    SCOPED_TRACE("a pair that cancels the only element of a line");
    Triplets t = {{0, 0, 1.0}, {1, 0, 1.0}, {1, 1, 4.0}, {1, 1, -4.0}};
    b_rec* b = load(2, t);
    Outcome o = factor(b, 0);
    EXPECT_EQ(o.rc, -1);
    EXPECT_EQ(o.rank, 1);
    EXPECT_NE(log.take().find(no_pivot_message(2, 1)), std::string::npos);
  }
}

// A handle sized again for an order it already had, and factorizing a matrix
// no larger than before, allocates nothing: the arrays, the pools, the heaps
// and the packed eta files are all kept.
TEST_F(Fact, RefactorizingAtTheSameOrderAllocatesNothing) {
  mtx_matrix m;
  ASSERT_TRUE(read_mtx(test_matrix_path("bandm_opt"), m));
  lu_handle* h = lu_new();
  for (int round = 0; round < 3; ++round) {
    long before = mem_alloc_calls;
    ASSERT_EQ(lu_resize(h, m.n), 0);
    for (const mtx_entry& e : m.entries)
      ASSERT_GT(lu_append(h, e.row, e.col, e.v), -1);
    Outcome o = factor(h, 0);
    ASSERT_EQ(o.rc, 0);
    if (round > 0) {
      EXPECT_EQ(mem_alloc_calls, before) << "round " << round;
    }
  }
  lu_delete(h);
}

// ---- allocation failures -------------------------------------------------------------------

TEST_F(Fact, AllocationFailuresDuringTheFactorization) {
  // A grid matrix has unavoidable fill-in; its pool holds exactly the
  // appended elements, so the fill makes it grow.  The heaps of the count
  // buckets come first: two heaps of a record and two arrays each.
  const int n = 64;
  Triplets t = grid(8, 8, 0.3);
  const double density = (t.size() + 0.5) / (2.0 * n * n);
  auto prepare = [&](lu_handle* h) {
    ASSERT_EQ(lumx_renew(h, n, 0, density), 0);
    EXPECT_GE(h->lu->max_av, (int)t.size());
    for (const trip& e : t)
      ASSERT_GT(lu_append(h, e.r, e.c, e.v), -1);
  };
  long total = 0;
  {
    lu_handle* h = lu_new();
    prepare(h);
    long before = mem_alloc_calls;
    ASSERT_EQ(factor(h, 0).rc, 0);
    total = mem_alloc_calls - before;
    expect_rebuilds(h, t);
    lu_delete(h);
  }
  ASSERT_GE(total, 6 + 5) << "the heaps and at least one growth of the five pool arrays";
  log.take();
  for (long fail_at = 0; fail_at < total; ++fail_at) {
    SCOPED_TRACE(fail_at);
    lu_handle* h = lu_new();
    prepare(h);
    log.take();
    mem_fail_countdown = fail_at;
    Outcome o = factor(h, 0);
    mem_fail_countdown = -1;
    EXPECT_EQ(o.rc, -2);
    EXPECT_EQ(h->fact_state, -2);
    std::string text = log.take();
    // The heaps, the pool's growth during the elimination, or the packed
    // eta files once it is done.
    bool named = fail_at < 6 ? text.find("**** b_renew: cannot malloc\n") != std::string::npos
                             : text.find("**** lumx_new_av: cannot malloc\n") != std::string::npos ||
                                   text.find("**** lu_fact: cannot malloc\n") != std::string::npos ||
                                   text.find("**** lu_make_eta: cannot malloc\n") != std::string::npos;
    EXPECT_TRUE(named) << text;
    EXPECT_EQ(text.find("cannot malloc"), text.rfind("cannot malloc"));
    EXPECT_NE(text.find(sj("ＬＵ分解後のマッチング")), std::string::npos);
    EXPECT_TRUE(matches(text.substr(text.rfind("*** CHKB")), chk('B', "zelkor_cc.cpp", "0", "-2", "0")));
    if (fail_at % 2 == 1) {  // the handle recovers with a new sizing
      prepare(h);
      Outcome again = factor(h, 0);
      EXPECT_EQ(again.rc, 0);
      expect_rebuilds(h, t);
    }
    lu_delete(h);
  }
}

}  // namespace
