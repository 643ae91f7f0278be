// Solving through the exported interface of the shared library: residuals of
// lu_ftran and lu_btran on random and real matrices, the library's own
// verification staying silent on them, lu_kakunin, the products after a
// factorization, edge cases and the refusals of handles that cannot solve.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "mtx.h"
#include "test_matrix.h"
#include "test_support.h"
#include "zelkor.h"

namespace {

const char* const LOG = "Zelkordbg.txt";

// Residual bound, in units of the rounding error eps of doubles:
//
//   |B x - b|_inf <= C eps (|B|_inf |x|_inf + |b|_inf)
//
// (and the same for y B - c with the norms of the transpose): a normwise
// backward error of at most C eps, which does not depend on the condition of
// B.  Solving with computed factors gives (B + E) x = b with
// |E| <= 3k eps |L||D||U| to first order, k the longest line of the factors
// (tens here), so C must cover 3k times the growth |L||D||U| / |B|.  The pivot
// rule bounds a pivot only against the line it was found in, which lets the
// factors grow without limit on some matrices (random ones of order 1000 with
// three or more entries per row reach 10^3 to 10^7; the internal solve tests
// check those against the factors themselves).  The matrices here keep the
// growth small: the worst ratio seen is 16 (random) and 15.5 (real, badly
// conditioned ones included).  256 leaves a margin of 16, and a wrong entry,
// permutation or eta gives ratios near 1/eps, so the margin costs nothing.
const double RESID_C = 256.0;

// Worst ratios seen by the current test, for its report.
double g_worst_ftran = 0.0;
double g_worst_btran = 0.0;

void record_worst() {
  char prop[64];
  std::snprintf(prop, sizeof prop, "%.3g %.3g", g_worst_ftran, g_worst_btran);
  testing::Test::RecordProperty("worst_residual_ratio", prop);
  g_worst_ftran = g_worst_btran = 0.0;
}

// What the log gains from now on (the file may hold lines of earlier tests
// of the process: the first lu_new truncates, later ones append).
FileTail log_tail() {
  FileTail t(LOG);
  t.mark();
  return t;
}

// One integer check report from `file`, with its x, y and z; any line number.
std::string chkb(const std::string& file, long x, long y, long z) {
  return chk('B', file, std::to_string(x), std::to_string(y), std::to_string(z));
}

// Every report line of any kind.
int report_lines(const std::string& text) { return count_matches(text, "\\*\\*\\* CHK[ABXY] error"); }

// A handle that is deleted at the end of the scope (unless dropped before).
struct Handle {
  lu_handle* h = lu_new();
  ~Handle() {
    if (h != nullptr)
      lu_delete(h);
  }
  void drop() {
    lu_delete(h);
    h = nullptr;
  }
};

// Sizes h and appends the non-zero entries of a.
void load(lu_handle* h, const mtx_matrix& a) {
  ASSERT_EQ(lu_resize(h, a.n), 0);
  for (const mtx_entry& e : a.entries) {
    if (e.v == 0.0)
      continue;
    ASSERT_GE(lu_append(h, e.row, e.col, e.v), 0) << e.row << "," << e.col;
  }
}

// Loads and factorizes a (expected nonsingular); checks the matching handed back.
void factorize(lu_handle* h, const mtx_matrix& a) {
  ASSERT_NO_FATAL_FAILURE(load(h, a));
  int rank = -5;
  int* q = nullptr;
  int* r = nullptr;
  ASSERT_EQ(lu_factoring(h, 0, &rank, &q, &r), 0);
  ASSERT_EQ(rank, a.n);
  if (a.n == 0)
    return;
  ASSERT_NE(q, nullptr);
  ASSERT_NE(r, nullptr);
  for (int i = 0; i < a.n; ++i) {
    ASSERT_TRUE(q[i] >= 0 && q[i] < a.n);
    ASSERT_EQ(r[q[i]], i);
  }
}

// |A|_inf (by_rows) or |A^T|_inf (by columns); entries at one position add
// their magnitudes, an upper bound where duplicates cancel.
double norm_inf(const mtx_matrix& a, bool by_rows) {
  std::vector<double> line(a.n, 0.0);
  for (const mtx_entry& e : a.entries)
    line[by_rows ? e.row : e.col] += std::fabs(e.v);
  double m = 0.0;
  for (double v : line)
    m = std::max(m, v);
  return m;
}

// The backward error of a solution in units of eps: |got - want| over
// eps (norm_a |sol| + |want|).
double residual_ratio(const std::vector<double>& got, const std::vector<double>& want,
                      double norm_a, const std::vector<double>& sol) {
  double r = 0.0;
  for (size_t i = 0; i < got.size(); ++i) {
    if (!std::isfinite(got[i]))
      return INFINITY;
    r = std::max(r, std::fabs(got[i] - want[i]));
  }
  double scale = DBL_EPSILON * (norm_a * max_abs(sol) + max_abs(want));
  if (scale == 0.0)
    return r == 0.0 ? 0.0 : INFINITY;
  return r / scale;
}

std::vector<double> random_vector(int n, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> v(n);
  for (double& x : v)
    x = u(rng);
  return v;
}

struct SolveStats {
  double ftran = 0.0;
  double btran = 0.0;
};

// Several forward and backward solves on a factorized handle: each returns 0,
// has a small backward error, and the library's verification writes nothing.
// Right-hand sides are products with known vectors so that the solutions stay
// of the size of the data, and one is a unit vector.
SolveStats check_solves(lu_handle* h, const mtx_matrix& a, std::mt19937_64& rng, int rounds) {
  SolveStats st;
  int n = a.n;
  double na = norm_inf(a, true);
  double nat = norm_inf(a, false);
  for (int k = 0; k < rounds; ++k) {
    std::vector<double> want = random_vector(n, rng);
    if (k == rounds - 1 && n > 0) {
      std::fill(want.begin(), want.end(), 0.0);
      want[std::uniform_int_distribution<int>(0, n - 1)(rng)] = 1.0;
    }
    std::vector<double> b = k == rounds - 1 ? want : mul(a, want);
    std::vector<double> x(n, NAN);
    FileTail tail = log_tail();
    EXPECT_EQ(lu_ftran(h, x.data(), b.data()), 0);
    EXPECT_EQ(tail.take(), "");
    double rf = residual_ratio(mul(a, x), b, na, x);
    EXPECT_LE(rf, RESID_C) << "forward, order " << n << ", round " << k;
    st.ftran = std::max(st.ftran, rf);

    std::vector<double> c = k == rounds - 1 ? want : mul_left(a, want);
    std::vector<double> y(n, NAN);
    tail.mark();
    EXPECT_EQ(lu_btran(h, y.data(), c.data()), 0);
    EXPECT_EQ(tail.take(), "");
    double rb = residual_ratio(mul_left(a, y), c, nat, y);
    EXPECT_LE(rb, RESID_C) << "backward, order " << n << ", round " << k;
    st.btran = std::max(st.btran, rb);
  }
  g_worst_ftran = std::max(g_worst_ftran, st.ftran);
  g_worst_btran = std::max(g_worst_btran, st.btran);
  return st;
}

// lu_kakunin on a correct factorization: 0 and not a line in the log.
void check_kakunin_silent(lu_handle* h) {
  FileTail tail = log_tail();
  EXPECT_EQ(lu_kakunin(h), 0);
  EXPECT_EQ(tail.take(), "");
}

// ---- matrix generators ------------------------------------------------------------

// Rows and columns renumbered by random permutations.
mtx_matrix permuted(const mtx_matrix& a, std::mt19937_64& rng) {
  std::vector<int> pr = random_permutation(a.n, rng);
  std::vector<int> pc = random_permutation(a.n, rng);
  mtx_matrix out;
  out.n = a.n;
  for (const mtx_entry& e : a.entries)
    out.entries.push_back({pr[e.row], pc[e.col], e.v});
  return out;
}

// Strictly diagonally dominant by rows (so nonsingular) with `per_row` other
// entries per row, then rows and columns scaled by random powers of two (exact,
// keeps it nonsingular but no longer dominant) and permuted.  The scales are
// drawn before the matrix and the permutations after it: that order fixes
// the matrices the tests see.
mtx_matrix random_dominant(int n, int per_row, int max_exp, std::mt19937_64& rng) {
  std::uniform_int_distribution<int> ex(-max_exp, max_exp);
  std::vector<double> rs(n), cs(n);
  for (int i = 0; i < n; ++i) {
    rs[i] = std::ldexp(1.0, ex(rng));
    cs[i] = std::ldexp(1.0, ex(rng));
  }
  mtx_matrix a = row_dominant(n, per_row, rng);
  for (mtx_entry& e : a.entries)
    e.v = e.v * rs[e.row] * cs[e.col];
  return permuted(a, rng);
}

// Triangular (upper or lower) with a non-zero diagonal and `per_col` other
// entries per column, permuted: nonsingular, solved by singletons alone.
mtx_matrix random_triangular(int n, int per_col, bool upper, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  mtx_matrix a;
  a.n = n;
  for (int j = 0; j < n; ++j) {
    a.entries.push_back({j, j, (1.0 + std::fabs(u(rng))) * (u(rng) < 0 ? -1.0 : 1.0)});
    int span = upper ? j : n - 1 - j;
    std::set<int> rows;
    int want = std::min(per_col, span);
    std::uniform_int_distribution<int> pick(0, std::max(span - 1, 0));
    while ((int)rows.size() < want) {
      int t = pick(rng);
      rows.insert(upper ? t : j + 1 + t);
    }
    for (int i : rows)
      a.entries.push_back({i, j, u(rng)});
  }
  return permuted(a, rng);
}

// `per_row` entries per row (one on the diagonal before permuting, so the
// matrix is structurally nonsingular) of magnitudes 1 to 2 and random signs:
// nonsingular with probability 1, and nothing for the pivot threshold to reject
// at the start.
mtx_matrix random_even(int n, int per_row, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> u(1.0, 2.0);
  std::uniform_int_distribution<int> col(0, n - 1);
  mtx_matrix a;
  a.n = n;
  for (int i = 0; i < n; ++i) {
    std::set<int> cols{i};
    while ((int)cols.size() < std::min(per_row, n))
      cols.insert(col(rng));
    for (int j : cols)
      a.entries.push_back({i, j, u(rng) * (rng() % 2 ? -1.0 : 1.0)});
  }
  return permuted(a, rng);
}

// A scaled permutation matrix.
mtx_matrix permuted_identity(int n, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> u(0.25, 4.0);
  mtx_matrix a;
  a.n = n;
  for (int i = 0; i < n; ++i)
    a.entries.push_back({i, i, u(rng) * (i % 2 ? -1.0 : 1.0)});
  return permuted(a, rng);
}

// A = L U with sparse unit triangular L and U of small integers: nonsingular
// (determinant 1), integer entries, and its elimination produces exact zeros
// (an updated entry that comes out exactly 0) all the time.  Plus copies of
// the block [[1,1,0],[1,1,1],[0,1,1]], where whichever cheapest pivot the
// elimination takes, the update of the centre is 1 - 1 = 0.
mtx_matrix cancelling(int n, std::mt19937_64& rng) {
  std::uniform_int_distribution<int> val(-2, 2);
  std::vector<std::vector<double>> dense_l(n, std::vector<double>(n, 0.0));
  std::vector<std::vector<double>> dense_u(n, std::vector<double>(n, 0.0));
  for (int i = 0; i < n; ++i) {
    dense_l[i][i] = 1.0;
    dense_u[i][i] = 1.0;
    for (int k = 0; k < 2 && i + 1 + k < n; ++k) {
      int t = i + 1 + (int)(rng() % (uint64_t)(n - i - 1));
      dense_l[t][i] = val(rng);
      int t2 = i + 1 + (int)(rng() % (uint64_t)(n - i - 1));
      dense_u[i][t2] = val(rng);
    }
  }
  mtx_matrix a;
  a.n = n + 3 * 4;
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      double s = 0.0;
      for (int k = 0; k <= std::min(i, j); ++k)
        s += dense_l[i][k] * dense_u[k][j];
      if (s != 0.0)
        a.entries.push_back({i, j, s});
    }
  const double block[3][3] = {{1, 1, 0}, {1, 1, 1}, {0, 1, 1}};
  for (int c = 0; c < 4; ++c)
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        if (block[i][j] != 0.0)
          a.entries.push_back({n + 3 * c + i, n + 3 * c + j, block[i][j]});
  return permuted(a, rng);
}

void solve_random(const mtx_matrix& a, std::mt19937_64& rng, bool kakunin) {
  Handle h;
  ASSERT_NO_FATAL_FAILURE(factorize(h.h, a));
  check_solves(h.h, a, rng, 3);
  if (kakunin)
    check_kakunin_silent(h.h);
}

}  // namespace

// ---- correct solves ----------------------------------------------------------------

TEST(ApiSolve, RandomSparseMatricesOfManyOrders) {
  std::mt19937_64 rng(20240611);
  for (int n : {1, 2, 3, 4, 5, 8, 20, 21, 64, 200, 1000, 3000}) {
    SCOPED_TRACE("order " + std::to_string(n));
    bool kak = n <= 200;
    ASSERT_NO_FATAL_FAILURE(solve_random(random_even(n, 2, rng), rng, kak));
    if (n <= 200) {
      ASSERT_NO_FATAL_FAILURE(solve_random(random_even(n, 3, rng), rng, kak));
    }
    if (n <= 64) {
      ASSERT_NO_FATAL_FAILURE(solve_random(random_even(n, 5, rng), rng, kak));
    }
    if (n <= 21) {
      ASSERT_NO_FATAL_FAILURE(solve_random(random_dominant(n, 3, 0, rng), rng, kak));
    }
    // Rows and columns scaled by up to 2^±12.  (Not checked by lu_kakunin:
    // its absolute bound 1e-7 on B·B⁻¹eᵢ - eᵢ is below the rounding of
    // products of entries up to 2^24 with inverse entries up to 2^24.)
    if (n <= 1000) {
      ASSERT_NO_FATAL_FAILURE(solve_random(random_dominant(n, 4, 12, rng), rng, false));
    }
  }
  record_worst();
}

TEST(ApiSolve, TriangularAndPermutedIdentity) {
  std::mt19937_64 rng(77);
  for (int n : {1, 2, 7, 50, 400, 2500}) {
    SCOPED_TRACE("order " + std::to_string(n));
    ASSERT_NO_FATAL_FAILURE(solve_random(random_triangular(n, 3, true, rng), rng, n <= 50));
    ASSERT_NO_FATAL_FAILURE(solve_random(random_triangular(n, 3, false, rng), rng, n <= 50));
    ASSERT_NO_FATAL_FAILURE(solve_random(permuted_identity(n, rng), rng, n <= 400));
  }
  record_worst();
}

TEST(ApiSolve, ExactCancellationDuringElimination) {
  std::mt19937_64 rng(5);
  for (int n : {0, 3, 12, 40}) {
    SCOPED_TRACE("order " + std::to_string(n));
    for (int rep = 0; rep < 4; ++rep)
      ASSERT_NO_FATAL_FAILURE(solve_random(cancelling(n, rng), rng, true));
  }
  record_worst();
}

TEST(ApiSolve, DuplicateEntriesAddUpAndMayCancel) {
  std::mt19937_64 rng(9);
  mtx_matrix a = random_dominant(30, 3, 0, rng);
  // Split some entries in two halves, and add pairs that cancel exactly at
  // positions that are otherwise empty.
  mtx_matrix b;
  b.n = a.n;
  std::set<std::pair<int, int>> used;
  for (const mtx_entry& e : a.entries)
    used.insert({e.row, e.col});
  for (size_t k = 0; k < a.entries.size(); ++k) {
    const mtx_entry& e = a.entries[k];
    if (k % 3 == 0) {
      b.entries.push_back({e.row, e.col, e.v * 0.5});
      b.entries.push_back({e.row, e.col, e.v * 0.5});
    } else {
      b.entries.push_back(e);
    }
  }
  int added = 0;
  for (int i = 0; i < b.n && added < 10; ++i) {
    int j = (i * 7 + 3) % b.n;
    if (used.count({i, j}))
      continue;
    b.entries.push_back({i, j, 0.75});
    b.entries.push_back({i, j, -0.75});
    ++added;
  }
  ASSERT_EQ(added, 10);
  ASSERT_NO_FATAL_FAILURE(solve_random(b, rng, true));
  record_worst();
}

// The real matrices: simplex bases and general sparse matrices, among them
// badly conditioned and badly scaled ones.  The structurally singular ones
// are used by the refusal tests below.
TEST(ApiSolve, RealMatrices) {
  std::vector<matrix_index_row> index;
  ASSERT_TRUE(read_matrix_index(index));
  int solved = 0;
  std::mt19937_64 rng(4242);
  for (const matrix_index_row& row : index) {
    if (row.singular)
      continue;
    SCOPED_TRACE(row.name);
    mtx_matrix a;
    ASSERT_TRUE(read_mtx(test_matrix_path(row.name), a));
    Handle h;
    ASSERT_NO_FATAL_FAILURE(factorize(h.h, a));
    SolveStats st = check_solves(h.h, a, rng, 3);
    char prop[64];
    std::snprintf(prop, sizeof prop, "%.3g %.3g", st.ftran, st.btran);
    RecordProperty(row.name, prop);
    // The check compares B times each column of the inverse with a unit
    // vector to 1e-7 absolutely; with a condition number near 1/eps those
    // columns are so large that rounding alone exceeds that.
    EXPECT_GT(row.cond, 0.0);
    if (a.n <= 600 && row.cond < 1e12)
      check_kakunin_silent(h.h);
    ++solved;
  }
  EXPECT_GE(solved, 30);
  record_worst();
}

// ---- small cases with known answers -------------------------------------------------

TEST(ApiSolve, OrderZero) {
  Handle h;
  mtx_matrix a;
  ASSERT_NO_FATAL_FAILURE(factorize(h.h, a));
  FileTail tail = log_tail();
  double x = 7.0, b = 3.0;
  EXPECT_EQ(lu_ftran(h.h, &x, &b), 0);
  EXPECT_EQ(lu_btran(h.h, &x, &b), 0);
  EXPECT_EQ(x, 7.0);
  EXPECT_EQ(lu_kakunin(h.h), 0);
  EXPECT_EQ(tail.take(), "");
}

TEST(ApiSolve, OneByOneAndZeroRightHandSide) {
  Handle h;
  mtx_matrix a;
  a.n = 1;
  a.entries.push_back({0, 0, 4.0});
  ASSERT_NO_FATAL_FAILURE(factorize(h.h, a));
  double x = 0, y = 0, b = 3.0, c = -10.0;
  EXPECT_EQ(lu_ftran(h.h, &x, &b), 0);
  EXPECT_EQ(x, 0.75);
  EXPECT_EQ(lu_btran(h.h, &y, &c), 0);
  EXPECT_EQ(y, -2.5);

  std::mt19937_64 rng(3);
  mtx_matrix m = random_dominant(50, 4, 3, rng);
  ASSERT_NO_FATAL_FAILURE(factorize(h.h, m));
  std::vector<double> zero(50, 0.0), out(50, 1.0);
  EXPECT_EQ(lu_ftran(h.h, out.data(), zero.data()), 0);
  EXPECT_EQ(out, zero);
  out.assign(50, 1.0);
  EXPECT_EQ(lu_btran(h.h, out.data(), zero.data()), 0);
  EXPECT_EQ(out, zero);
}

TEST(ApiSolve, AntiDiagonalSwapsComponents) {
  Handle h;
  mtx_matrix a;
  a.n = 2;
  a.entries = {{0, 1, 1.0}, {1, 0, 1.0}};
  ASSERT_NO_FATAL_FAILURE(factorize(h.h, a));
  FileTail tail = log_tail();
  double b[2] = {5.0, -3.0};
  double x[2] = {0, 0};
  EXPECT_EQ(lu_ftran(h.h, x, b), 0);
  EXPECT_EQ(x[0], -3.0);
  EXPECT_EQ(x[1], 5.0);
  EXPECT_EQ(lu_btran(h.h, x, b), 0);
  EXPECT_EQ(x[0], -3.0);
  EXPECT_EQ(x[1], 5.0);
  // A non-symmetric permuted case: rows (0,1,2) hold columns (2,0,1).
  mtx_matrix p;
  p.n = 3;
  p.entries = {{0, 2, 2.0}, {1, 0, 4.0}, {2, 1, -1.0}};
  ASSERT_NO_FATAL_FAILURE(factorize(h.h, p));
  double b3[3] = {2.0, 8.0, 3.0};
  double x3[3];
  EXPECT_EQ(lu_ftran(h.h, x3, b3), 0);
  EXPECT_EQ(x3[0], 2.0);   // 4 x0 = 8
  EXPECT_EQ(x3[1], -3.0);  // -x1 = 3
  EXPECT_EQ(x3[2], 1.0);   // 2 x2 = 2
  EXPECT_EQ(lu_btran(h.h, x3, b3), 0);
  EXPECT_EQ(x3[1], 0.5);   // 4 y1 = c0
  EXPECT_EQ(x3[2], -8.0);  // -y2 = c1
  EXPECT_EQ(x3[0], 1.5);   // 2 y0 = c2
  EXPECT_EQ(tail.take(), "");
}

TEST(ApiSolve, ProductsUseTheCopyAfterFactoring) {
  std::mt19937_64 rng(11);
  mtx_matrix a = random_dominant(40, 4, 2, rng);
  Handle h;
  ASSERT_NO_FATAL_FAILURE(factorize(h.h, a));
  std::vector<double> v = random_vector(40, rng);
  std::vector<double> out(40, NAN);
  ASSERT_EQ(lu_mult_mx_d(h.h, out.data(), v.data()), 0);
  std::vector<double> want = mul(a, v);
  for (int i = 0; i < 40; ++i)
    EXPECT_NEAR(out[i], want[i], 1e-13 * (1.0 + std::fabs(want[i]))) << i;
  ASSERT_EQ(lu_mult_d_mx(h.h, out.data(), v.data()), 0);
  want = mul_left(a, v);
  for (int i = 0; i < 40; ++i)
    EXPECT_NEAR(out[i], want[i], 1e-13 * (1.0 + std::fabs(want[i]))) << i;
  // And the solves invert them.
  std::vector<double> x(40);
  ASSERT_EQ(lu_mult_mx_d(h.h, out.data(), v.data()), 0);
  ASSERT_EQ(lu_ftran(h.h, x.data(), out.data()), 0);
  for (int i = 0; i < 40; ++i)
    EXPECT_NEAR(x[i], v[i], 1e-12);
}

// ---- failed factorizations and refusals ----------------------------------------------

// A matrix of order 3 whose third row and column are empty.
mtx_matrix rank_two() {
  mtx_matrix a;
  a.n = 3;
  a.entries = {{0, 0, 2.0}, {0, 1, 1.0}, {1, 1, 3.0}};
  return a;
}

TEST(ApiSolve, RankDeficientFactorizationRefusesBothStages) {
  for (int accept : {1, 0}) {
    SCOPED_TRACE("accept " + std::to_string(accept));
    Handle h;
    ASSERT_NO_FATAL_FAILURE(load(h.h, rank_two()));
    int rank = -5;
    int* q = nullptr;
    int* r = nullptr;
    int rc = lu_factoring(h.h, accept, &rank, &q, &r);
    EXPECT_EQ(rank, 2);
    // Accepted: fact_state = sz - rank = 1; failed: fact_state = -1.
    int state = accept ? 1 : -1;
    EXPECT_EQ(rc, accept ? 0 : -1);
    if (!accept) {
      EXPECT_EQ(q, nullptr);
      EXPECT_EQ(r, nullptr);
    }
    double b[3] = {1.0, 2.0, 3.0};
    double x[3] = {9.0, 9.0, 9.0};
    FileTail tail = log_tail();
    EXPECT_EQ(lu_ftran(h.h, x, b), -1);
    std::string log = tail.take();
    EXPECT_EQ(count_matches(log, chkb("lp_sm_lu.cpp", 0, state, 0)), 2) << log;
    EXPECT_EQ(report_lines(log), 2) << log;
    EXPECT_EQ(x[0], 1.0);
    EXPECT_EQ(x[1], 2.0);
    EXPECT_EQ(x[2], 3.0);

    double y[3] = {9.0, 9.0, 9.0};
    tail.mark();
    EXPECT_EQ(lu_btran(h.h, y, b), -1);
    log = tail.take();
    EXPECT_EQ(count_matches(log, chkb("lp_sm_lu.cpp", 0, state, 0)), 2) << log;
    EXPECT_EQ(report_lines(log), 2) << log;
    EXPECT_EQ(y[0], 1.0);
    EXPECT_EQ(y[1], 2.0);
    EXPECT_EQ(y[2], 3.0);

    // The check: 4 x 3 stage reports, then its own report of the result.
    tail.mark();
    EXPECT_EQ(lu_kakunin(h.h), -1);
    log = tail.take();
    EXPECT_EQ(count_matches(log, chkb("lp_sm_lu.cpp", 0, state, 0)), 12) << log;
    EXPECT_EQ(count_matches(log, chkb("zelkor_cc.cpp", 0, -1, 0)), 1) << log;
    EXPECT_EQ(report_lines(log), 13) << log;
    EXPECT_TRUE(std::regex_search(log, std::regex(chkb("zelkor_cc.cpp", 0, -1, 0) + "$")));

    // Sizing again and loading a good matrix makes the handle usable.
    mtx_matrix good = rank_two();
    good.entries.push_back({2, 2, 4.0});
    ASSERT_NO_FATAL_FAILURE(factorize(h.h, good));
    EXPECT_EQ(lu_ftran(h.h, x, b), 0);
    EXPECT_EQ(x[2], 0.75);
  }
}

TEST(ApiSolve, StructurallySingularRealMatrix) {
  mtx_matrix a;
  ASSERT_TRUE(read_mtx(test_matrix_path("GD97_b"), a));
  Handle h;
  ASSERT_NO_FATAL_FAILURE(load(h.h, a));
  int rank = -5;
  int* q = nullptr;
  int* r = nullptr;
  ASSERT_EQ(lu_factoring(h.h, 1, &rank, &q, &r), 0);
  EXPECT_GT(rank, 0);
  EXPECT_LT(rank, a.n);
  std::mt19937_64 rng(1);
  std::vector<double> b = random_vector(a.n, rng);
  std::vector<double> x(a.n, 0.0);
  FileTail tail = log_tail();
  EXPECT_EQ(lu_ftran(h.h, x.data(), b.data()), -1);
  std::string log = tail.take();
  EXPECT_EQ(count_matches(log, chkb("lp_sm_lu.cpp", 0, a.n - rank, 0)), 2) << log;
  EXPECT_EQ(x, b);
}

// Handles that cannot solve: one report from the export, -1, and the output
// array as it came (not even the copy of the input is made).
void expect_refused(lu_handle* h, int n) {
  std::vector<double> in(std::max(n, 1), 1.5);
  std::vector<double> out(std::max(n, 1), -7.0);
  std::vector<double> untouched = out;
  FileTail tail = log_tail();
  EXPECT_EQ(lu_ftran(h, out.data(), in.data()), -1);
  std::string log = tail.take();
  EXPECT_EQ(report_lines(log), 1) << log;
  EXPECT_EQ(count_matches(log, "zelkor_cc\\.cpp"), 1) << log;
  EXPECT_EQ(out, untouched);

  tail.mark();
  EXPECT_EQ(lu_btran(h, out.data(), in.data()), -1);
  log = tail.take();
  EXPECT_EQ(report_lines(log), 1) << log;
  EXPECT_EQ(count_matches(log, "zelkor_cc\\.cpp"), 1) << log;
  EXPECT_EQ(out, untouched);

  tail.mark();
  EXPECT_EQ(lu_kakunin(h), -1);
  log = tail.take();
  EXPECT_EQ(report_lines(log), 1) << log;
}

TEST(ApiSolve, RefusesNullUnsizedAndUnfactorizedHandles) {
  Handle h;  // opens the log
  {
    SCOPED_TRACE("null handle");
    expect_refused(nullptr, 1);
  }
  {
    SCOPED_TRACE("never sized");
    expect_refused(h.h, 1);
  }
  std::mt19937_64 rng(1);
  mtx_matrix a = random_dominant(6, 2, 0, rng);
  {
    SCOPED_TRACE("sized and loaded, not factorized");
    ASSERT_NO_FATAL_FAILURE(load(h.h, a));
    expect_refused(h.h, 6);
  }
  {
    SCOPED_TRACE("sized again after a factorization");
    ASSERT_NO_FATAL_FAILURE(factorize(h.h, a));
    ASSERT_EQ(lu_resize(h.h, 6), 0);
    expect_refused(h.h, 6);
  }
}

TEST(ApiSolve, SharedWorkRecordFreedOrShrunkByAnotherHandle) {
  std::mt19937_64 rng(2);
  mtx_matrix big = random_dominant(60, 3, 0, rng);
  mtx_matrix small = random_dominant(5, 2, 0, rng);
  Handle a, b;
  ASSERT_NO_FATAL_FAILURE(factorize(a.h, big));
  ASSERT_NO_FATAL_FAILURE(factorize(b.h, small));
  // Both solve while the work record covers the larger order.
  check_solves(a.h, big, rng, 1);
  check_solves(b.h, small, rng, 1);
  {
    // Another handle of a larger order grows the record: still fine.
    Handle c;
    mtx_matrix bigger = random_dominant(90, 3, 0, rng);
    ASSERT_NO_FATAL_FAILURE(factorize(c.h, bigger));
    check_solves(a.h, big, rng, 1);
    check_solves(c.h, bigger, rng, 1);
    c.drop();  // frees the shared record
  }
  {
    SCOPED_TRACE("record freed by another handle");
    expect_refused(a.h, 60);
    expect_refused(b.h, 5);
  }
  // b is sized again for its order 5: the record is back, but for 5 only.
  ASSERT_NO_FATAL_FAILURE(factorize(b.h, small));
  check_solves(b.h, small, rng, 1);
  {
    SCOPED_TRACE("record re-sized for a smaller order");
    expect_refused(a.h, 60);
  }
  // a works again once sized and factorized anew.
  ASSERT_NO_FATAL_FAILURE(factorize(a.h, big));
  check_solves(a.h, big, rng, 1);
  check_solves(b.h, small, rng, 1);
}
