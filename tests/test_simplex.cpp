// The simplex interface of the fast library (zelkor_simplex.h), seen from
// outside through the static twin of libzelkor: column replacement on real
// simplex bases, sparse solves against the dense ones, rank repair of the
// singular matrices, the condition estimate against the exact condition
// number, and two threads at once.
//
// Matrices: the team's matrix folder when it is there (ZELKOR_SHARED_MATRICES,
// every matrix of its index), else the tests' own copies (tests/data).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mtx.h"
#include "test_matrix.h"
#include "test_support.h"
#include "zelkor_simplex.h"

namespace {

// ---- matrices --------------------------------------------------------------------------------

// One matrix of a folder's INDEX.tsv.
struct entry {
  std::string path;
  std::string name;
  int n = 0;
  bool singular = false;  // structurally or numerically
};

std::vector<entry> read_index(const std::string& folder) {
  std::vector<entry> out;
  std::ifstream in(folder + "/INDEX.tsv");
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::stringstream fields(line);
    entry e;
    std::string file, n;
    std::getline(fields, file, '\t');
    std::getline(fields, n, '\t');
    e.path = folder + "/" + file;
    e.name = file.substr(0, file.size() - 4);
    e.n = std::stoi(n);
    e.singular = line.find("SINGULAR") != std::string::npos;
    out.push_back(e);
  }
  return out;
}

// Every matrix the tests use: the shared folder's, else the local copies
// (tests/data/matrices and the singular ones of tests/data/singular).
const std::vector<entry>& catalog() {
  static const std::vector<entry> all = [] {
    std::string shared = ZELKOR_SHARED_MATRICES;
    if (std::filesystem::exists(shared + "/INDEX.tsv"))
      return read_index(shared);
    std::vector<entry> local = read_index(std::string(ZELKOR_TEST_DATA) + "/matrices");
    for (const entry& e : read_index(std::string(ZELKOR_TEST_DATA) + "/singular"))
      local.push_back(e);
    return local;
  }();
  return all;
}

const entry* find_entry(const std::string& name) {
  for (const entry& e : catalog())
    if (e.name == name)
      return &e;
  return nullptr;
}

// Under the sanitizers the tests keep to the smaller matrices: instrumented
// code runs 10-50x slower, and the larger ones add time but no new paths.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const int LARGE_ORDER = 3000;
#else
const int LARGE_ORDER = 1 << 30;
#endif

// A basis held by columns: per column its (row, value) entries, one per row,
// none zero.
using column = std::vector<std::pair<int, double>>;
struct basis {
  int n = 0;
  std::vector<column> cols;
};

basis basis_of(const mtx_matrix& m) {
  basis b;
  b.n = m.n;
  std::vector<std::map<int, double>> by_col(m.n);
  for (const mtx_entry& e : m.entries)
    by_col[e.col][e.row] += e.v;
  b.cols.resize(m.n);
  for (int c = 0; c < m.n; ++c)
    for (auto [r, v] : by_col[c])
      if (v != 0.0)
        b.cols[c].push_back({r, v});
  return b;
}

basis load_basis(const entry& e) {
  mtx_matrix m;
  EXPECT_TRUE(read_mtx(e.path, m)) << e.path;
  return basis_of(m);
}

// B·x and Bᵀ·y.
std::vector<double> mul(const basis& b, const std::vector<double>& x) {
  std::vector<double> out(b.n, 0.0);
  for (int c = 0; c < b.n; ++c)
    for (auto [r, v] : b.cols[c])
      out[r] += v * x[c];
  return out;
}
std::vector<double> mul_t(const basis& b, const std::vector<double>& y) {
  std::vector<double> out(b.n, 0.0);
  for (int c = 0; c < b.n; ++c)
    for (auto [r, v] : b.cols[c])
      out[c] += v * y[r];
  return out;
}

// ||B||_inf (largest row sum of |B|) and ||B||_1 (largest column sum).
double norm_inf(const basis& b) {
  std::vector<double> rows(b.n, 0.0);
  for (const column& c : b.cols)
    for (auto [r, v] : c)
      rows[r] += std::fabs(v);
  return max_abs(rows);
}
double norm_1(const basis& b) {
  double m = 0.0;
  for (const column& c : b.cols) {
    double s = 0.0;
    for (auto [r, v] : c)
      s += std::fabs(v);
    m = std::max(m, s);
  }
  return m;
}

// ---- handles -------------------------------------------------------------------------------

struct handle {
  lu_handle* h = lu_new();
  ~handle() { lu_delete(h); }
};

// Loads b into h and factorizes it (accept a rank-deficient result or not).
int factorize(lu_handle* h, const basis& b, int accept = 0) {
  if (lu_resize(h, b.n) != 0)
    return -100;
  for (int c = 0; c < b.n; ++c)
    for (auto [r, v] : b.cols[c])
      if (lu_append(h, r, c, v) < 0)
        return -101;
  int rank;
  int* q;
  int* r;
  return lu_factoring(h, accept, &rank, &q, &r);
}

int replace(lu_handle* h, int j, const column& c) {
  std::vector<int> rows;
  std::vector<double> vals;
  for (auto [r, v] : c) {
    rows.push_back(r);
    vals.push_back(v);
  }
  return zk_replace_column(h, j, (int)c.size(), rows.data(), vals.data());
}

// ---- residuals -----------------------------------------------------------------------------
//
// Normwise backward errors, the scale of what a backward stable solve leaves:
//   FTRAN  ||B·x - b||_inf / (||B||_inf ||x||_inf + ||b||_inf)
//   BTRAN  ||Bᵀ·y - c||_inf / (||B||_1 ||y||_inf + ||c||_inf)

double ftran_residual(const basis& b, const std::vector<double>& x, const std::vector<double>& rhs) {
  std::vector<double> r = mul(b, x);
  for (int i = 0; i < b.n; ++i)
    r[i] -= rhs[i];
  return max_abs(r) / (norm_inf(b) * max_abs(x) + max_abs(rhs));
}
double btran_residual(const basis& b, const std::vector<double>& y, const std::vector<double>& rhs) {
  std::vector<double> r = mul_t(b, y);
  for (int i = 0; i < b.n; ++i)
    r[i] -= rhs[i];
  return max_abs(r) / (norm_1(b) * max_abs(y) + max_abs(rhs));
}

const double RESIDUAL_BOUND = 1e-9;

// A sparse solve of the right-hand side v (dense, its non-zeros listed in
// order): the result, after checking that idx lists exactly its non-zeros.
std::vector<double> sparse_solve(lu_handle* h, const std::vector<double>& v, bool forward) {
  int n = (int)v.size();
  std::vector<double> x = v;
  std::vector<int> idx(n + 1, -7);  // one beyond n: must stay untouched
  int nz = 0;
  for (int i = 0; i < n; ++i)
    if (v[i] != 0.0)
      idx[nz++] = i;
  int rc = forward ? zk_ftran_sparse(h, x.data(), idx.data(), &nz) : zk_btran_sparse(h, x.data(), idx.data(), &nz);
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(nz >= 0 && nz <= n);
  EXPECT_EQ(idx[n], -7);
  std::vector<char> listed(n, 0);
  for (int k = 0; k < nz && k < n; ++k) {
    EXPECT_TRUE(idx[k] >= 0 && idx[k] < n && !listed[idx[k]]) << "idx[" << k << "] " << idx[k];
    if (idx[k] >= 0 && idx[k] < n)
      listed[idx[k]] = 1;
  }
  for (int i = 0; i < n; ++i) {
    if (!listed[i])
      EXPECT_EQ(x[i], 0.0) << "position " << i << " not listed";
    else
      EXPECT_NE(x[i], 0.0) << "position " << i << " listed as a non-zero";
  }
  return x;
}

std::vector<double> dense_solve(lu_handle* h, const std::vector<double>& v, bool forward) {
  std::vector<double> x(v.size());
  EXPECT_EQ(forward ? lu_ftran(h, x.data(), v.data()) : lu_btran(h, x.data(), v.data()), 0);
  return x;
}

// Sparse and dense results agree to rounding.  FTRAN applies the same etas
// to the same positions in the same order, so its results are equal; BTRAN
// gathers the terms of one position in another order, and two backward
// stable solves may differ by a few eps times the condition number:
//   |sparse - dense|_inf <= (1e-12 + 16 eps kappa) |dense|_inf,
// kappa from the library's estimate (pilot_opt, kappa near 1e9, differs by
// 4e-8: 0.4 eps kappa).
struct agreement {
  double allowed = 1e-12;  // relative difference allowed for the current basis
  double worst = 0.0;      // largest relative difference / allowed seen
  long long compared = 0;
  long long identical = 0;  // solves equal position by position
  void set_basis(lu_handle* h) {
    double rcond = zk_rcond_estimate(h);
    EXPECT_GT(rcond, 0.0);
    allowed = 1e-12 + 16.0 * 2.220446049250313e-16 / rcond;
  }
  void add(const std::vector<double>& s, const std::vector<double>& d, bool forward) {
    if (forward) {
      EXPECT_TRUE(s == d) << "sparse and dense FTRAN differ";
    }
    double diff = 0.0;
    for (size_t i = 0; i < s.size(); ++i)
      diff = std::max(diff, std::fabs(s[i] - d[i]));
    double ratio = diff / (std::max(max_abs(d), 1e-300) * allowed);
    EXPECT_LE(ratio, 1.0) << "sparse and dense differ by " << diff;
    worst = std::max(worst, ratio);
    ++compared;
    identical += s == d;
  }
};

// A sparse solve with one right-hand side solves B (or Bᵀ) to the residual
// bound.
void check_sparse(lu_handle* h, const basis& b, const std::vector<double>& rhs, bool forward) {
  std::vector<double> s = sparse_solve(h, rhs, forward);
  double res = forward ? ftran_residual(b, s, rhs) : btran_residual(b, s, rhs);
  EXPECT_LT(res, RESIDUAL_BOUND) << (forward ? "ftran" : "btran");
}

// Both kinds of solve with one right-hand side: the sparse result agrees
// with the dense one, and solves B (or Bᵀ) to the residual bound.
void check_solve(lu_handle* h, const basis& b, const std::vector<double>& rhs, bool forward,
                 agreement& agree) {
  std::vector<double> s = sparse_solve(h, rhs, forward);
  std::vector<double> d = dense_solve(h, rhs, forward);
  agree.add(s, d, forward);
  double res = forward ? ftran_residual(b, s, rhs) : btran_residual(b, s, rhs);
  EXPECT_LT(res, RESIDUAL_BOUND) << (forward ? "ftran" : "btran");
}

std::vector<double> unit(int n, int i) {
  std::vector<double> e(n, 0.0);
  e[i] = 1.0;
  return e;
}

std::vector<double> dense_column(int n, const column& c) {
  std::vector<double> a(n, 0.0);
  for (auto [r, v] : c)
    a[r] = v;
  return a;
}

// The handle solves basis b: dense FTRAN and BTRAN of random right-hand
// sides, sparse ones of column j, of unit vectors at j (by row and by
// column).
void check_basis(lu_handle* h, const basis& b, int j, std::mt19937_64& rng, agreement& agree) {
  agree.set_basis(h);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> rhs(b.n);
  for (double& v : rhs)
    v = u(rng);
  std::vector<double> x = dense_solve(h, rhs, true);
  EXPECT_LT(ftran_residual(b, x, rhs), RESIDUAL_BOUND) << "dense ftran";
  std::vector<double> y = dense_solve(h, rhs, false);
  EXPECT_LT(btran_residual(b, y, rhs), RESIDUAL_BOUND) << "dense btran";
  check_solve(h, b, dense_column(b.n, b.cols[j]), true, agree);
  check_solve(h, b, unit(b.n, j), true, agree);
  check_solve(h, b, unit(b.n, j), false, agree);
}

// The _crash / _opt pairs of the catalog, by problem name.
std::vector<std::pair<const entry*, const entry*>> crash_opt_pairs() {
  std::vector<std::pair<const entry*, const entry*>> out;
  for (const entry& e : catalog()) {
    size_t at = e.name.rfind("_crash");
    if (at == std::string::npos || at + 6 != e.name.size())
      continue;
    const entry* opt = find_entry(e.name.substr(0, at) + "_opt");
    if (opt != nullptr)
      out.push_back({&e, opt});
  }
  return out;
}

}  // namespace

// ---- a simplex-like run on real bases --------------------------------------------------------

// The simplex's own pivot rule: column a enters in place of column j only
// when its transformed entry there is among the large ones, |x_j| >= 0.01
// ||x||_inf (the relative threshold of the factorization's pivot choice), as
// a ratio test choosing among candidates would ensure.  Replacing columns by
// position alone ensures nothing: over hundreds of replacements the condition
// number compounds (with 1e-7 here, pilot's basis reaches 1e16, singular to
// working precision), and no solve of such a basis meets a residual bound.
// The update's own test (ZK_UPDATE_REL_TOL) guards the factors, not that.
const double SIMPLEX_PIVOT_TOL = 1e-2;

// A dense array kept zero between sparse solves, and its position list.
struct sparse_work {
  std::vector<double> x;
  std::vector<int> idx;
  explicit sparse_work(int n) : x(n, 0.0), idx(n) {}
};

// The ratio test's check of column a entering in place of column j: x = B^-1 a
// by a sparse solve, |x_j| against ||x||_inf.  Costs what the solve reaches.
bool pivot_acceptable(lu_handle* h, const column& a, int j, sparse_work& w) {
  int nz = 0;
  for (auto [r, v] : a) {
    w.x[r] = v;
    w.idx[nz++] = r;
  }
  EXPECT_EQ(zk_ftran_sparse(h, w.x.data(), w.idx.data(), &nz), 0);
  double largest = 0.0;
  for (int k = 0; k < nz; ++k)
    largest = std::max(largest, std::fabs(w.x[w.idx[k]]));
  bool ok = std::fabs(w.x[j]) >= SIMPLEX_PIVOT_TOL * largest;
  for (int k = 0; k < nz; ++k)
    w.x[w.idx[k]] = 0.0;
  return ok;
}

// From each crash basis, column j is replaced by column j of the optimal
// basis of the same problem, j = 0, 1, ..., in up to three passes; columns
// the pivot tolerance rules out are skipped, as are the replacements the
// library refuses.  After every replacement, and after every refusal, the
// handle solves the current basis (dense and sparse, residuals below 1e-9,
// sparse agreeing with dense); on the advice it is factorized afresh from the
// current basis, as a simplex code would.
TEST(Simplex, ReplacingCrashColumnsByOptimalOnesKeepsSolving) {
  auto pairs = crash_opt_pairs();
  ASSERT_GE(pairs.size(), 8u);
  std::mt19937_64 rng(14);
  agreement agree;
  int problems = 0;
  for (auto [crash_e, opt_e] : pairs) {
    if (crash_e->n > LARGE_ORDER)
      continue;
    SCOPED_TRACE(crash_e->name);
    basis cur = load_basis(*crash_e);
    basis opt = load_basis(*opt_e);
    ASSERT_EQ(cur.n, opt.n);
    handle h;
    ASSERT_EQ(factorize(h.h, cur), 0);
    // Large bases: the dense solves and the estimate (O(n) each) after every
    // 8th update only, the sparse solves after every one, and 600
    // replacements (six refactorizations) in all.
    bool large = cur.n > 3000;
    int dense_every = large ? 8 : 1;
    int most = large ? 600 : cur.n * 3;
    int replaced = 0, refused = 0, skipped = 0, refactored = 0;
    sparse_work work(cur.n);
    for (int pass = 0; pass < 3 && replaced < most; ++pass) {
      int before = replaced;
      for (int j = 0; j < cur.n && replaced < most; ++j) {
        if (cur.cols[j] == opt.cols[j])
          continue;
        if (!pivot_acceptable(h.h, opt.cols[j], j, work)) {
          ++skipped;
          continue;
        }
        int rc = replace(h.h, j, opt.cols[j]);
        ASSERT_TRUE(rc == 0 || rc == 1) << "column " << j << " rc " << rc;
        if (rc == 0)
          cur.cols[j] = opt.cols[j];
        (rc == 0 ? replaced : refused) += 1;
        if (rc == 1 || (replaced + refused) % dense_every == 0) {
          check_basis(h.h, cur, j, rng, agree);
        } else {
          check_sparse(h.h, cur, dense_column(cur.n, cur.cols[j]), true);
          check_sparse(h.h, cur, unit(cur.n, j), false);
        }
        // Now and then a column that is already in the basis elsewhere: B
        // would be singular, the library refuses, the old basis stays.
        if (replaced % 16 == 1) {
          int k = (j + 1) % cur.n;
          EXPECT_EQ(replace(h.h, j, cur.cols[k]), 1) << "column " << j << " := column " << k;
          ++refused;
          check_basis(h.h, cur, j, rng, agree);
        }
        if (zk_refactor_advice(h.h, nullptr, nullptr, nullptr) == 1) {
          ASSERT_EQ(factorize(h.h, cur), 0);
          ++refactored;
        }
        if (HasFailure())
          return;
      }
      if (replaced == before)
        break;
    }
    RecordProperty(crash_e->name, std::to_string(replaced) + " replaced, " +
                                      std::to_string(refused) + " refused, " +
                                      std::to_string(skipped) + " skipped, " +
                                      std::to_string(refactored) + " refactorizations");
    EXPECT_GT(replaced, 0);
    ++problems;
  }
  EXPECT_GE(problems, 8);
  RecordProperty("sparse_dense_identical",
                 std::to_string(agree.identical) + " of " + std::to_string(agree.compared));
}

// ---- sparse solves against the dense ones -------------------------------------------------------

// On every nonsingular matrix of the catalog: unit vectors by row and by
// column, and single basis columns, solved sparse and dense.  The sparse
// results list exactly their non-zeros and agree with the dense ones to
// rounding; most are bit for bit the same.
TEST(Simplex, SparseSolvesAgreeWithDenseOnEveryRealBasis) {
  std::mt19937_64 rng(1414);
  agreement agree;
  int matrices = 0;
  for (const entry& e : catalog()) {
    if (e.singular || e.n > LARGE_ORDER)
      continue;
    SCOPED_TRACE(e.name);
    basis b = load_basis(e);
    handle h;
    ASSERT_EQ(factorize(h.h, b), 0);
    agree.set_basis(h.h);
    std::uniform_int_distribution<int> pos(0, b.n - 1);
    for (int t = 0; t < 12; ++t) {
      int j = t < 2 ? (t == 0 ? 0 : b.n - 1) : pos(rng);
      std::vector<double> ej = unit(b.n, j);
      agree.add(sparse_solve(h.h, ej, true), dense_solve(h.h, ej, true), true);
      agree.add(sparse_solve(h.h, ej, false), dense_solve(h.h, ej, false), false);
      std::vector<double> aj = dense_column(b.n, b.cols[j]);
      std::vector<double> x = sparse_solve(h.h, aj, true);
      agree.add(x, dense_solve(h.h, aj, true), true);
      // B^-1 a_j is the unit vector e_j, to rounding.
      x[j] -= 1.0;
      EXPECT_LT(max_abs(x), 1e-9) << "column " << j;
    }
    ++matrices;
  }
  EXPECT_GE(matrices, 35);
  RecordProperty("identical", std::to_string(agree.identical) + " of " + std::to_string(agree.compared));
}

// Listed positions may hold explicit zeros and may repeat; the dense array
// outside them must be zero and is zero again outside the result's list.
TEST(Simplex, SparseSolvesTakeZerosAndRepeatsInTheList) {
  const entry* e = find_entry("bandm_opt");
  ASSERT_NE(e, nullptr);
  basis b = load_basis(*e);
  handle h;
  ASSERT_EQ(factorize(h.h, b), 0);
  for (bool forward : {true, false}) {
    std::vector<double> rhs(b.n, 0.0);
    rhs[3] = 1.5;
    rhs[40] = -2.0;
    std::vector<double> x = rhs;
    std::vector<int> idx(b.n, -1);
    idx[0] = 40;
    idx[1] = 7;  // an explicit zero
    idx[2] = 3;
    idx[3] = 40;  // listed twice
    int nz = 4;
    ASSERT_EQ(forward ? zk_ftran_sparse(h.h, x.data(), idx.data(), &nz)
                      : zk_btran_sparse(h.h, x.data(), idx.data(), &nz),
              0);
    agreement agree;
    agree.set_basis(h.h);
    agree.add(x, dense_solve(h.h, rhs, forward), forward);
    int nonzero = 0;
    for (double v : x)
      nonzero += v != 0.0;
    EXPECT_EQ(nz, nonzero);
    for (int k = 0; k < nz; ++k)
      EXPECT_NE(x[idx[k]], 0.0);
  }
}

// ---- the replacement --------------------------------------------------------------------------------

namespace {

basis diagonal(int n, double v) {
  basis b;
  b.n = n;
  b.cols.resize(n);
  for (int i = 0; i < n; ++i)
    b.cols[i] = {{i, v}};
  return b;
}

int replace_raw(lu_handle* h, int j, std::vector<int> rows, std::vector<double> vals) {
  return zk_replace_column(h, j, (int)rows.size(), rows.data(), vals.data());
}

}  // namespace

// On the identity the transformed new column is the column itself and its
// pivot its entry at j: the relative test refuses a pivot below 1e-9 times the
// column's largest entry (which the absolute 1e-12 alone would take) and takes
// one above; x[j] is then the coefficient of the new column.
TEST(Simplex, ReplacementAppliesTheRelativePivotTest) {
  handle h;
  basis b = diagonal(3, 1.0);
  ASSERT_EQ(factorize(h.h, b), 0);
  EXPECT_EQ(replace_raw(h.h, 0, {0, 1}, {5e-10, 1.0}), 1);
  EXPECT_EQ(replace_raw(h.h, 0, {0, 1}, {5e-10, 0.1}), 0);
  // B = [[5e-10, 0, 0], [0.1, 1, 0], [0, 0, 1]]: B·(2e9, -2e8, 0) = (1, 0, 0).
  std::vector<double> x(3);
  std::vector<double> e0 = unit(3, 0);
  ASSERT_EQ(lu_ftran(h.h, x.data(), e0.data()), 0);
  EXPECT_DOUBLE_EQ(x[0], 2e9);
  EXPECT_DOUBLE_EQ(x[1], -2e8);
  EXPECT_EQ(x[2], 0.0);
  // The new column solves to the unit vector of its position.
  ASSERT_EQ(replace_raw(h.h, 2, {2, 1}, {4.0, 3.0}), 0);
  std::vector<double> a2 = {0.0, 3.0, 4.0};
  ASSERT_EQ(lu_ftran(h.h, x.data(), a2.data()), 0);
  EXPECT_EQ(x, (std::vector<double>{0.0, 0.0, 1.0}));
}

// Entries listed twice are summed, zero values store nothing, and the order
// of the entries does not matter: the solves come out bit for bit as with
// the plain column.  A zero column, or one whose entries cancel, is refused.
TEST(Simplex, ReplacementSumsDuplicatesAndRefusesSingularColumns) {
  const entry* e = find_entry("adlittle_opt");
  ASSERT_NE(e, nullptr);
  basis b = load_basis(*e);
  handle plain, listed;
  ASSERT_EQ(factorize(plain.h, b), 0);
  ASSERT_EQ(factorize(listed.h, b), 0);
  // Column j doubled: three entries, listed out of order, two of them in
  // parts, with a zero.
  int j = 13;
  ASSERT_EQ(b.cols[j].size(), 3u);
  column a = b.cols[j];
  for (auto& [r, v] : a)
    v *= 2.0;
  ASSERT_EQ(replace(plain.h, j, a), 0);
  auto [r0, v0] = a[0];
  auto [r1, v1] = a[1];
  auto [r2, v2] = a[2];
  int zero_row = (r2 + 1) % b.n;
  ASSERT_EQ(replace_raw(listed.h, j, {r2, r0, zero_row, r1, r2, r0},
                        {v2 * 0.5, v0 * 0.5, 0.0, v1, v2 * 0.5, v0 * 0.5}),
            0);
  b.cols[j] = a;
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> rhs(b.n);
  for (double& v : rhs)
    v = u(rng);
  for (bool forward : {true, false}) {
    std::vector<double> x1 = dense_solve(plain.h, rhs, forward);
    std::vector<double> x2 = dense_solve(listed.h, rhs, forward);
    EXPECT_EQ(std::memcmp(x1.data(), x2.data(), x1.size() * sizeof(double)), 0);
    EXPECT_LT(forward ? ftran_residual(b, x2, rhs) : btran_residual(b, x2, rhs), RESIDUAL_BOUND);
  }
  EXPECT_EQ(replace_raw(listed.h, 3, {}, {}), 1);
  EXPECT_EQ(replace_raw(listed.h, 3, {4, 4}, {2.0, -2.0}), 1);
  std::vector<double> x = dense_solve(listed.h, rhs, true);
  EXPECT_LT(ftran_residual(b, x, rhs), RESIDUAL_BOUND);
}

// ---- loading whole columns ------------------------------------------------------------------

namespace {

// A matrix held by columns as zk_load_columns takes it.
struct packed {
  std::vector<int> start = {0}, rows;
  std::vector<double> vals;
  int load(lu_handle* h) const {
    return zk_load_columns(h, (int)start.size() - 1, start.data(), rows.data(), vals.data());
  }
  int append(lu_handle* h) const {
    int n = (int)start.size() - 1;
    if (lu_resize(h, n) != 0)
      return -100;
    for (int c = 0; c < n; ++c)
      for (int p = start[c]; p < start[c + 1]; ++p)
        if (lu_append(h, rows[p], c, vals[p]) < 0)
          return -101;
    return 0;
  }
};

// The columns of b in an order the appends would not sort out for the
// factorization: every fifth column's entries reversed, every eleventh's
// first entry split into two halves at one position and, with `zeros`, an
// explicit zero in every seventh.
packed packed_of(const basis& b, bool zeros) {
  packed m;
  for (int c = 0; c < b.n; ++c) {
    column col = b.cols[c];
    if (c % 5 == 1)
      std::reverse(col.begin(), col.end());
    if (zeros && c % 7 == 3)
      col.insert(col.begin(), {(c + 1) % b.n, 0.0});
    if (c % 11 == 5 && !col.empty()) {
      col[0].second *= 0.5;
      col.push_back(col[0]);
    }
    for (auto [r, v] : col) {
      m.rows.push_back(r);
      m.vals.push_back(v);
    }
    m.start.push_back((int)m.rows.size());
  }
  return m;
}

// What a factorization hands out and what its solves give, bit for bit.
struct outcome {
  int rc = 0, rank = -1;
  std::vector<int> q, r;
  std::vector<std::vector<double>> solves;
  long long lu_entries = -1;
  bool operator==(const outcome& o) const {
    if (rc != o.rc || rank != o.rank || q != o.q || r != o.r || lu_entries != o.lu_entries ||
        solves.size() != o.solves.size())
      return false;
    for (size_t k = 0; k < solves.size(); ++k)
      if (solves[k].size() != o.solves[k].size() ||
          std::memcmp(solves[k].data(), o.solves[k].data(), solves[k].size() * sizeof(double)) != 0)
        return false;
    return true;
  }
};

// The entries of L and U and four solves of the factorized handle into o.
void observe(lu_handle* h, int n, int j, outcome& o) {
  zk_refactor_advice(h, nullptr, nullptr, &o.lu_entries);
  std::vector<double> rhs(n);
  for (int i = 0; i < n; ++i)
    rhs[i] = 1.0 + (i % 7) * 0.25;
  o.solves.push_back(dense_solve(h, rhs, true));
  o.solves.push_back(dense_solve(h, rhs, false));
  o.solves.push_back(sparse_solve(h, unit(n, j), true));
  o.solves.push_back(sparse_solve(h, unit(n, j), false));
}

outcome factorize_and_solve(lu_handle* h, int n, int j) {
  outcome o;
  int *q, *r;
  o.rc = lu_factoring(h, 0, &o.rank, &q, &r);
  if (o.rc != 0)
    return o;
  o.q.assign(q, q + n);
  o.r.assign(r, r + n);
  observe(h, n, j, o);
  return o;
}

}  // namespace

// On every nonsingular basis of the catalog, loading by columns gives the
// factorization of the appends of the same entries in the same order: the
// same pivots, L and U entries, and dense and sparse solves bit for bit.
// Every other matrix holds explicit zeros (another way through the load).
// The handle is reloaded each way in turn, as a solver reuses it.
TEST(Simplex, LoadingColumnsFactorizesAsTheAppendsBitForBit) {
  int matrices = 0;
  handle h;
  for (const entry& e : catalog()) {
    if (e.singular || e.n > LARGE_ORDER)
      continue;
    SCOPED_TRACE(e.name);
    basis b = load_basis(e);
    packed m = packed_of(b, matrices % 2 == 0);
    ASSERT_EQ(m.append(h.h), 0);
    outcome appended = factorize_and_solve(h.h, b.n, b.n / 2);
    ASSERT_EQ(appended.rc, 0);
    ASSERT_EQ(m.load(h.h), 0);
    outcome loaded = factorize_and_solve(h.h, b.n, b.n / 2);
    EXPECT_TRUE(loaded == appended);
    ++matrices;
  }
  EXPECT_GE(matrices, 35);
}

// A refused load leaves the handle as it was: here a factorized basis, which
// still solves as before.  Order 0 and values beyond 1e30 load as appends
// would.
TEST(Simplex, LoadingColumnsRefusesBadArgumentsLoadingNothing) {
  basis b = diagonal(3, 2.0);
  packed good = packed_of(b, true);
  handle h;
  ASSERT_EQ(good.load(h.h), 0);
  outcome before = factorize_and_solve(h.h, 3, 1);
  ASSERT_EQ(before.rc, 0);
  const int* s = good.start.data();
  const int* r = good.rows.data();
  const double* v = good.vals.data();
  EXPECT_EQ(zk_load_columns(nullptr, 3, s, r, v), -1);
  EXPECT_EQ(zk_load_columns(h.h, -1, s, r, v), -1);
  EXPECT_EQ(zk_load_columns(h.h, 3, nullptr, r, v), -1);
  EXPECT_EQ(zk_load_columns(h.h, 3, s, nullptr, v), -1);
  EXPECT_EQ(zk_load_columns(h.h, 3, s, r, nullptr), -1);
  struct bad {
    std::vector<int> start, rows;
    std::vector<double> vals;
  };
  const bad cases[] = {
      {{1, 2, 3, 3}, {0, 1, 2}, {1, 1, 1}},     // starts not at 0
      {{0, 2, 1, 3}, {0, 1, 2}, {1, 1, 1}},     // a start below the one before
      {{0, 1, 2, 3}, {0, 3, 2}, {1, 1, 1}},     // a row beyond the order
      {{0, 1, 2, 3}, {0, -1, 2}, {1, 1, 1}},    // a negative row
      {{0, 1, 2, 3}, {0, 1, 2}, {1, NAN, 1}},   // not finite
      {{0, 1, 2, 3}, {0, 1, 2}, {1, 1, -INFINITY}},
  };
  for (const bad& c : cases)
    EXPECT_EQ(zk_load_columns(h.h, 3, c.start.data(), c.rows.data(), c.vals.data()), -1);
  outcome after = before;
  after.solves.clear();
  observe(h.h, 3, 1, after);
  EXPECT_TRUE(after == before);

  int zero_start = 0;
  EXPECT_EQ(zk_load_columns(h.h, 0, &zero_start, nullptr, nullptr), 0);
  int rank = -1, *q, *rr;
  EXPECT_EQ(lu_factoring(h.h, 0, &rank, &q, &rr), 0);
  EXPECT_EQ(rank, 0);
  packed huge;
  huge.start = {0, 1};
  huge.rows = {0};
  huge.vals = {4e300};
  ASSERT_EQ(huge.load(h.h), 0);
  std::vector<double> x = factorize_and_solve(h.h, 1, 0).solves.at(0);
  EXPECT_EQ(x[0], 1.0 / 4e300);
}

// Every refusal for a bad argument or state leaves the handle, and the
// caller's arrays, as they were.
TEST(Simplex, BadArgumentsAndStatesAreRefused) {
  EXPECT_EQ(zk_replace_column(nullptr, 0, 0, nullptr, nullptr), -1);
  double x[4] = {1, 0, 0, 0};
  int idx[4] = {0, 0, 0, 0};
  int nz = 1;
  EXPECT_EQ(zk_ftran_sparse(nullptr, x, idx, &nz), -1);
  EXPECT_EQ(zk_btran_sparse(nullptr, x, idx, &nz), -1);
  EXPECT_EQ(zk_refactor_advice(nullptr, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(zk_singular_pairs(nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(zk_rcond_estimate(nullptr), -1.0);

  handle h;  // never sized, then sized but not factorized
  for (int sized = 0; sized < 2; ++sized) {
    if (sized) {
      ASSERT_EQ(lu_resize(h.h, 4), 0);
    }
    int r = 0;
    double v = 1.0;
    EXPECT_EQ(zk_replace_column(h.h, 0, 1, &r, &v), -1);
    EXPECT_EQ(zk_ftran_sparse(h.h, x, idx, &nz), -1);
    EXPECT_EQ(zk_btran_sparse(h.h, x, idx, &nz), -1);
    EXPECT_EQ(zk_refactor_advice(h.h, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(zk_singular_pairs(h.h, nullptr, nullptr), -1);
    EXPECT_EQ(zk_rcond_estimate(h.h), -1.0);
  }

  basis b = diagonal(4, 2.0);
  ASSERT_EQ(factorize(h.h, b), 0);
  std::vector<double> rhs = {1.0, 2.0, 3.0, 4.0};
  std::vector<double> before = dense_solve(h.h, rhs, true);
  const double inf = INFINITY;
  EXPECT_EQ(replace_raw(h.h, -1, {0}, {1.0}), -1);
  EXPECT_EQ(replace_raw(h.h, 4, {0}, {1.0}), -1);
  EXPECT_EQ(zk_replace_column(h.h, 0, -1, nullptr, nullptr), -1);
  EXPECT_EQ(zk_replace_column(h.h, 0, 1, nullptr, nullptr), -1);
  EXPECT_EQ(replace_raw(h.h, 0, {4}, {1.0}), -1);
  EXPECT_EQ(replace_raw(h.h, 0, {-1}, {1.0}), -1);
  EXPECT_EQ(replace_raw(h.h, 0, {0, 1}, {1.0, NAN}), -1);
  EXPECT_EQ(replace_raw(h.h, 0, {0, 1}, {1.0, inf}), -1);
  EXPECT_EQ(replace_raw(h.h, 0, {1, 1}, {1e308, 1e308}), -1);  // sums to infinity
  int n_updates = -1;
  EXPECT_EQ(zk_refactor_advice(h.h, &n_updates, nullptr, nullptr), 0);
  EXPECT_EQ(n_updates, 0);
  std::vector<double> after = dense_solve(h.h, rhs, true);
  EXPECT_EQ(before, after);

  for (bool forward : {true, false}) {
    auto solve = [&](double* xs, int* is, int* n) {
      return forward ? zk_ftran_sparse(h.h, xs, is, n) : zk_btran_sparse(h.h, xs, is, n);
    };
    double xs[4] = {1.0, 0.0, 0.0, 0.0};
    int is[4] = {0, 9, 9, 9};
    int n = 5;
    EXPECT_EQ(solve(xs, is, &n), -1);  // more than the order
    n = -1;
    EXPECT_EQ(solve(xs, is, &n), -1);
    n = 2;  // position 9 outside
    EXPECT_EQ(solve(xs, is, &n), -1);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(xs[0], 1.0);
    EXPECT_EQ(is[1], 9);
    n = 1;
    EXPECT_EQ(solve(nullptr, is, &n), -1);
    EXPECT_EQ(solve(xs, nullptr, &n), -1);
    EXPECT_EQ(solve(xs, is, nullptr), -1);
    EXPECT_EQ(solve(xs, is, &n), 0);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(xs[0], 0.5);
  }
  int cols[4], rows[4];
  EXPECT_EQ(zk_singular_pairs(h.h, cols, nullptr), -1);
  EXPECT_EQ(zk_singular_pairs(h.h, cols, rows), 0);

  // lu_delete of another handle of this thread leaves the work record that
  // this one needs.
  lu_handle* other = lu_new();
  ASSERT_EQ(lu_resize(other, 8), 0);
  lu_delete(other);
  EXPECT_EQ(zk_ftran_sparse(h.h, x, idx, &nz), 0);
  EXPECT_GT(zk_rcond_estimate(h.h), 0.0);
}

// A factorization accepted with a rank deficiency offers the repair pairs and
// advises refactoring; the replacement, the solves and the estimate refuse.
// A failed one offers nothing.
TEST(Simplex, RankDeficientFactorizationIsOnlyForRepair) {
  basis b = diagonal(5, 1.0);
  b.cols[2] = {{0, 1.0}, {1, 1.0}};  // rows 2 empty, columns 0 1 2 dependent
  handle h;
  ASSERT_EQ(factorize(h.h, b, 1), 0);
  EXPECT_EQ(replace_raw(h.h, 2, {2}, {1.0}), -1);
  double x[5] = {0, 0, 1, 0, 0};
  int idx[5] = {2};
  int nz = 1;
  EXPECT_EQ(zk_ftran_sparse(h.h, x, idx, &nz), -1);
  EXPECT_EQ(zk_btran_sparse(h.h, x, idx, &nz), -1);
  EXPECT_EQ(zk_rcond_estimate(h.h), -1.0);
  EXPECT_EQ(zk_refactor_advice(h.h, nullptr, nullptr, nullptr), 1);
  int cols[5], rows[5];
  ASSERT_EQ(zk_singular_pairs(h.h, cols, rows), 1);
  EXPECT_EQ(rows[0], 2);
  EXPECT_TRUE(cols[0] == 0 || cols[0] == 1 || cols[0] == 2);
  ASSERT_EQ(factorize(h.h, b, 0), -1);
  EXPECT_EQ(zk_singular_pairs(h.h, cols, rows), -1);
}

// ---- accuracy of long replacement sequences ----------------------------------------------------

namespace {

// The problems of the catalog with their bases (crash, iterations, optimal),
// by problem name.
std::map<std::string, std::vector<const entry*>> bases_by_problem() {
  std::map<std::string, std::vector<const entry*>> out;
  for (const entry& e : catalog()) {
    size_t at = e.name.rfind('_');
    if (at == std::string::npos || e.singular)
      continue;
    std::string tail = e.name.substr(at + 1);
    if (tail == "crash" || tail == "opt" || tail.rfind("it", 0) == 0)
      out[e.name.substr(0, at)].push_back(&e);
  }
  return out;
}

// max over FTRAN and BTRAN of one random right-hand side of the normwise
// backward error.
double solve_error(lu_handle* h, const basis& b, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> rhs(b.n);
  for (double& v : rhs)
    v = u(rng);
  std::vector<double> x(b.n), y(b.n);
  if (lu_ftran(h, x.data(), rhs.data()) != 0 || lu_btran(h, y.data(), rhs.data()) != 0)
    return INFINITY;
  return std::max(ftran_residual(b, x, rhs), btran_residual(b, y, rhs));
}

// What one replacement sequence met.
struct sequence_counts {
  int accepted = 0, refused = 0, dependent_refused = 0, refactored = 0;
  int advised_early = 0;  // advice on accuracy, before the count and the R entries call for it
  double worst = 0.0;     // the largest backward error of the updated solves
};

// Entering column: a random column of the problem's bases (the ratio test's
// leaving column taken, 60% of the time, among the small |x_j| down to 1e-9
// ||x||_inf, else among the large ones), or a current basis column exactly or
// scaled, put in place of another column (B would be singular: must be
// refused).  After every accepted replacement a fresh factorization of the
// true basis has full rank and the updated solves' backward errors stay
// below 1e-10 (1e-8 when the library advises refactoring); after every
// refusal the handle still solves the old basis.
// On advice or refusal the basis is factorized afresh, as a simplex would.
void run_sequence(const std::vector<basis>& bases, int steps, unsigned seed, sequence_counts& c) {
  std::vector<const column*> pool;
  for (const basis& b : bases)
    for (const column& col : b.cols)
      pool.push_back(&col);
  basis cur = bases[0];
  const int n = cur.n;
  std::mt19937_64 rng(seed);
  auto pick = [&rng](int count) { return std::uniform_int_distribution<int>(0, count - 1)(rng); };
  handle h, fresh;
  ASSERT_EQ(factorize(h.h, cur), 0);
  sparse_work w(n);
  for (int step = 0; step < steps && !::testing::Test::HasFailure(); ++step) {
    int kind = pick(10);  // 0-7 a random column, 8 a duplicate, 9 a scaled one
    int k = pick(n), j;
    column a = kind < 8 ? *pool[pick((int)pool.size())] : cur.cols[k];
    double scale = std::pow(10.0, std::uniform_real_distribution<double>(-3.0, 3.0)(rng));
    if (kind == 9)
      for (auto& [r, v] : a)
        v *= scale;
    if (kind < 8) {
      int nz = 0;
      for (auto [r, v] : a) {
        w.x[r] = v;
        w.idx[nz++] = r;
      }
      ASSERT_EQ(zk_ftran_sparse(h.h, w.x.data(), w.idx.data(), &nz), 0);
      double largest = 0.0;
      for (int t = 0; t < nz; ++t)
        largest = std::max(largest, std::fabs(w.x[w.idx[t]]));
      std::vector<int> big, small;
      for (int t = 0; t < nz; ++t) {
        double v = std::fabs(w.x[w.idx[t]]);
        if (v >= 1e-2 * largest)
          big.push_back(w.idx[t]);
        else if (v >= 1e-9 * largest)
          small.push_back(w.idx[t]);
        w.x[w.idx[t]] = 0.0;
      }
      // By position: the solve lists its non-zeros in no particular order.
      std::sort(big.begin(), big.end());
      std::sort(small.begin(), small.end());
      bool tiny = !small.empty() && pick(10) < 6;
      j = tiny ? small[pick((int)small.size())] : big.empty() ? pick(n) : big[pick((int)big.size())];
    } else {
      j = n > 1 ? (k + 1 + pick(n - 1)) % n : k;
    }
    int rc = replace(h.h, j, a);
    ASSERT_TRUE(rc == 0 || rc == 1) << "step " << step << " rc " << rc;
    if (rc == 0) {
      ++c.accepted;
      EXPECT_LT(kind, 8) << "step " << step << ": a dependent column accepted";
      cur.cols[j] = a;
      double err = solve_error(h.h, cur, rng);
      c.worst = std::max(c.worst, err);
      // A replacement that degraded the accuracy is accepted with the advice
      // to factorize afresh, which the next iteration follows.
      bool advised = zk_refactor_advice(h.h, nullptr, nullptr, nullptr) == 1;
      EXPECT_LE(err, advised ? 1e-8 : 1e-10) << "step " << step;
      int rank;
      int *q, *r;
      ASSERT_EQ(lu_resize(fresh.h, n), 0);
      for (int col = 0; col < n; ++col)
        for (auto [row, v] : cur.cols[col])
          lu_append(fresh.h, row, col, v);
      lu_factoring(fresh.h, 1, &rank, &q, &r);
      EXPECT_EQ(rank, n) << "step " << step << ": the true basis is singular";
      if (c.accepted % 100 == 0) {
        // The repair never calls a basis nonsingular that its estimate says is not.
        double rcond = zk_rcond_estimate(h.h);
        if (!(rcond >= ZK_SINGULAR_RCOND)) {
          EXPECT_EQ(zk_singular_pairs(h.h, nullptr, nullptr), 1) << "step " << step;
        }
      }
      int updates;
      long long r_entries, lu_entries;
      if (zk_refactor_advice(h.h, &updates, &r_entries, &lu_entries) == 1) {
        c.advised_early += updates < ZK_REFACTOR_UPDATES && r_entries <= lu_entries;
        ASSERT_EQ(factorize(h.h, cur), 0);
        ++c.refactored;
      }
    } else {
      ++c.refused;
      c.dependent_refused += kind >= 8;
      EXPECT_LE(solve_error(h.h, cur, rng), 1e-10) << "step " << step << ": after a refusal";
      if (kind < 8) {
        ASSERT_EQ(factorize(h.h, cur), 0);
        ++c.refactored;
      }
    }
  }
}

}  // namespace

// Sequences of 1000 replacements on the bases of eight LP problems (or of
// those the tests' own data holds), the entering columns as described at
// run_sequence.  Exact and scaled duplicates of basis columns are refused
// every time, however far the updates have drifted the factors; the advice
// comes on accuracy before the count of updates calls for it.
TEST(Simplex, ReplacementSequencesKeepTheBasisNonsingularAndAccurate) {
  const char* problems[] = {"bandm", "degen2", "e226", "adlittle", "blend", "israel",
                            "woodw",  "perold", "25fv47", "shell"};
  auto by_problem = bases_by_problem();
  int runs = 0;
  sequence_counts all;
  for (const char* name : problems) {
    auto found = by_problem.find(name);
    if (found == by_problem.end() || found->second[0]->n > LARGE_ORDER)
      continue;
    SCOPED_TRACE(name);
    std::vector<basis> bases;
    for (const entry* e : found->second)
      bases.push_back(load_basis(*e));
    sequence_counts c;
    run_sequence(bases, 1000, 7 + runs, c);
    char worst[32];
    std::snprintf(worst, sizeof worst, "%.2g", c.worst);
    RecordProperty(name, std::to_string(c.accepted) + " accepted, " + std::to_string(c.refused) +
                             " refused, worst backward error " + worst);
    all.accepted += c.accepted;
    all.refused += c.refused;
    all.advised_early += c.advised_early;
    all.worst = std::max(all.worst, c.worst);
    EXPECT_GT(c.accepted, 500);
    EXPECT_GT(c.dependent_refused, 100);
    ++runs;
    if (HasFailure())
      return;
  }
  EXPECT_GE(runs, 8);
  EXPECT_GT(all.advised_early, 0);
  char worst[32];
  std::snprintf(worst, sizeof worst, "%.2g", all.worst);
  RecordProperty("all", std::to_string(all.accepted) + " accepted, " + std::to_string(all.refused) +
                            " refused, worst backward error " + worst);
}

// A finite column whose 1-norm overflows is an argument like any other: the
// replacement takes it, or refuses it with 1 and still solves the old basis,
// and the estimate stays a number.
TEST(Simplex, HugeFiniteColumnsAreReplacedOrRefused) {
  handle h;
  ASSERT_EQ(factorize(h.h, diagonal(3, 1.0)), 0);
  for (std::vector<double> vals : {std::vector<double>{1e308, 1e308}, {1e300, 1e300}}) {
    int rc = replace_raw(h.h, 0, {0, 1}, vals);
    ASSERT_TRUE(rc == 0 || rc == 1) << rc;
    double rcond = zk_rcond_estimate(h.h);
    EXPECT_TRUE(rcond >= 0.0 && rcond <= 1.0) << rcond;
    std::vector<double> rhs = {vals[0], vals[1], 1.0};
    std::vector<double> x = dense_solve(h.h, rhs, true);
    std::vector<double> expected = rc == 0 ? std::vector<double>{1.0, 0.0, 1.0} : rhs;
    EXPECT_EQ(x, expected) << vals[0];
    ASSERT_EQ(factorize(h.h, diagonal(3, 1.0)), 0);
  }
}

// ---- settings ---------------------------------------------------------------------------------------

// Every setting starts at its default, takes the values of its range and
// nothing else (a refused value leaves the old one), and is kept across
// sizings and factorizations.
TEST(Simplex, SettingsAreCheckedAndKept) {
  EXPECT_EQ(zk_set_param(nullptr, ZK_PARAM_PIVOT_THRESHOLD, 0.1), -1);
  EXPECT_TRUE(std::isnan(zk_get_param(nullptr, ZK_PARAM_PIVOT_THRESHOLD)));
  handle h;
  const int which[] = {ZK_PARAM_PIVOT_THRESHOLD, ZK_PARAM_SEARCH_LIMIT, ZK_PARAM_UPDATE_REL_TOL,
                       ZK_PARAM_REFACTOR_UPDATES};
  const double defaults[] = {0.01, 5.0, 1e-9, 100.0};
  const double good[] = {1.0, 1.0, 0.0, 2.147483647e9};
  const std::vector<double> bad[] = {{0.0, -0.1, 1.0000001, NAN, INFINITY},
                                     {0.0, 2.5, -1.0, 2.147483648e9, NAN},
                                     {-1e-9, 1.0, NAN, -INFINITY},
                                     {0.0, 1.5, -3.0, INFINITY}};
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(which[i]);
    EXPECT_EQ(zk_get_param(h.h, which[i]), defaults[i]);
    for (double v : bad[i])
      EXPECT_EQ(zk_set_param(h.h, which[i], v), -1) << v;
    EXPECT_EQ(zk_get_param(h.h, which[i]), defaults[i]);
    EXPECT_EQ(zk_set_param(h.h, which[i], good[i]), 0);
  }
  EXPECT_EQ(zk_set_param(h.h, 4, 1.0), -1);
  EXPECT_EQ(zk_set_param(h.h, -1, 1.0), -1);
  EXPECT_TRUE(std::isnan(zk_get_param(h.h, 4)));
  ASSERT_EQ(factorize(h.h, diagonal(3, 2.0)), 0);
  ASSERT_EQ(lu_resize(h.h, 5), 0);
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(zk_get_param(h.h, which[i]), good[i]);
}

// What the settings do: no relative pivot test lets the replacement take a
// pivot of 5e-10 against a column of 1; the advice comes at the chosen count
// of updates; a threshold of 1 pivots on the largest magnitudes and still
// solves.
TEST(Simplex, SettingsTakeEffect) {
  handle h;
  basis b = diagonal(3, 1.0);
  ASSERT_EQ(factorize(h.h, b), 0);
  EXPECT_EQ(replace_raw(h.h, 0, {0, 1}, {5e-10, 1.0}), 1);
  ASSERT_EQ(zk_set_param(h.h, ZK_PARAM_UPDATE_REL_TOL, 0.0), 0);
  EXPECT_EQ(replace_raw(h.h, 0, {0, 1}, {5e-10, 1.0}), 0);
  ASSERT_EQ(zk_set_param(h.h, ZK_PARAM_REFACTOR_UPDATES, 3.0), 0);
  ASSERT_EQ(factorize(h.h, diagonal(5, 2.0)), 0);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(zk_refactor_advice(h.h, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(replace_raw(h.h, k, {k, k + 1}, {3.0, 1.0}), 0);
  }
  EXPECT_EQ(zk_refactor_advice(h.h, nullptr, nullptr, nullptr), 1);
  const entry* e = find_entry("bandm_opt");
  ASSERT_NE(e, nullptr);
  basis real = load_basis(*e);
  ASSERT_EQ(zk_set_param(h.h, ZK_PARAM_PIVOT_THRESHOLD, 1.0), 0);
  ASSERT_EQ(zk_set_param(h.h, ZK_PARAM_SEARCH_LIMIT, 1.0), 0);
  ASSERT_EQ(factorize(h.h, real), 0);
  std::mt19937_64 rng(5);
  EXPECT_LE(solve_error(h.h, real, rng), 1e-14);
}

namespace {

// A random strictly column diagonally dominant matrix of order n, about 2%
// of its entries off the diagonal, the diagonal 0.5 above the column's other
// magnitudes with a random sign.
basis dominant(int n, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> u(-1.0, 1.0), p(0.0, 1.0);
  basis b;
  b.n = n;
  b.cols.resize(n);
  for (int c = 0; c < n; ++c) {
    double sum = 0.0;
    for (int r = 0; r < n; ++r)
      if (r != c && p(rng) < 0.02) {
        b.cols[c].push_back({r, u(rng)});
        sum += std::fabs(b.cols[c].back().second);
      }
    b.cols[c].push_back({c, (sum + 0.5) * (p(rng) < 0.5 ? 1.0 : -1.0)});
  }
  return b;
}

}  // namespace

// With the pivot threshold at 0.1 both dense solves are backward stable to
// 1e-13 on diagonally dominant matrices, fresh and after 100 replacements
// that keep them dominant, and on every nonsingular real basis.
TEST(Simplex, ThresholdOfOneTenthGivesBackwardStableSolves) {
  std::mt19937_64 rng(21);
  for (int m = 0; m < 5; ++m) {
    basis b = dominant(300, rng);
    handle h;
    ASSERT_EQ(zk_set_param(h.h, ZK_PARAM_PIVOT_THRESHOLD, 0.1), 0);
    ASSERT_EQ(factorize(h.h, b), 0);
    EXPECT_LE(solve_error(h.h, b, rng), 1e-13) << "matrix " << m;
    for (int k = 0; k < 100; ++k) {
      int j = std::uniform_int_distribution<int>(0, b.n - 1)(rng);
      basis one = dominant(b.n, rng);
      column a;  // column j of another dominant matrix: still dominant at j
      for (auto [r, v] : one.cols[j])
        a.push_back({r, v});
      ASSERT_EQ(replace(h.h, j, a), 0);
      b.cols[j] = a;
    }
    EXPECT_LE(solve_error(h.h, b, rng), 1e-13) << "matrix " << m << " after the replacements";
  }
  int bases = 0;
  for (const entry& e : catalog()) {
    if (e.singular || e.n > LARGE_ORDER || bases_by_problem().count(e.name.substr(0, e.name.rfind('_'))) == 0)
      continue;
    SCOPED_TRACE(e.name);
    basis b = load_basis(e);
    handle h;
    ASSERT_EQ(zk_set_param(h.h, ZK_PARAM_PIVOT_THRESHOLD, 0.1), 0);
    ASSERT_EQ(factorize(h.h, b), 0);
    EXPECT_LE(solve_error(h.h, b, rng), 1e-13);
    ++bases;
  }
  EXPECT_GE(bases, 20);
}

// A replacement takes over what the sparse solves just before it computed
// for its column and its row (the spike of the entering column, the row of
// U^-1 of a unit BTRAN): a handle that solved first gives bit for bit the
// results of one that did not, whatever it solved, and refusals alike.
TEST(Simplex, ReplacementAfterSolvesGivesTheBitsOfOneWithout) {
  for (const char* name : {"bandm_opt", "israel_opt", "woodw_opt", "adlittle_opt"}) {
    const entry* e = find_entry(name);
    if (e == nullptr)
      continue;
    SCOPED_TRACE(name);
    basis b = load_basis(*e);
    const int n = b.n;
    handle solved, plain;
    ASSERT_EQ(factorize(solved.h, b), 0);
    ASSERT_EQ(factorize(plain.h, b), 0);
    std::mt19937_64 rng(31);
    auto pick = [&rng](int count) { return std::uniform_int_distribution<int>(0, count - 1)(rng); };
    sparse_work w(n);
    std::vector<double> rhs(n);
    for (double& v : rhs)
      v = std::uniform_real_distribution<double>(-1.0, 1.0)(rng);
    for (int step = 0; step < 150; ++step) {
      int j = pick(n);
      column a = b.cols[pick(n)];
      for (auto& [r, v] : a)
        v *= 1.0 + 0.01 * pick(7);
      // The solves a simplex makes: the entering column forward (or another
      // one), e_j backward (or another unit vector, or two entries).
      const column& forward = pick(5) == 0 ? b.cols[pick(n)] : a;
      int nz = 0;
      for (auto [r, v] : forward) {
        w.x[r] = v;
        w.idx[nz++] = r;
      }
      ASSERT_EQ(zk_ftran_sparse(solved.h, w.x.data(), w.idx.data(), &nz), 0);
      for (int k = 0; k < nz; ++k)
        w.x[w.idx[k]] = 0.0;
      int kind = pick(4);  // 0 another unit vector, 1 2·e_j, 2 e_j, 3 e_j and another entry
      int t = kind == 0 ? pick(n) : j;
      w.x[t] = kind == 1 ? 2.0 : 1.0;
      w.idx[0] = t;
      nz = 1;
      if (kind == 3 && n > 1) {
        w.idx[nz++] = (j + 1) % n;
        w.x[(j + 1) % n] = 0.5;
      }
      ASSERT_EQ(zk_btran_sparse(solved.h, w.x.data(), w.idx.data(), &nz), 0);
      for (int k = 0; k < nz; ++k)
        w.x[w.idx[k]] = 0.0;
      int rc = replace(solved.h, j, a);
      ASSERT_EQ(replace(plain.h, j, a), rc) << "step " << step;
      for (bool fwd : {true, false}) {
        std::vector<double> x1 = dense_solve(solved.h, rhs, fwd), x2 = dense_solve(plain.h, rhs, fwd);
        ASSERT_EQ(std::memcmp(x1.data(), x2.data(), n * sizeof(double)), 0) << "step " << step;
      }
      if (rc == 0)
        b.cols[j] = a;
      if (zk_refactor_advice(plain.h, nullptr, nullptr, nullptr) == 1) {
        ASSERT_EQ(factorize(solved.h, b), 0);
        ASSERT_EQ(factorize(plain.h, b), 0);
      }
    }
  }
}

// ---- refactorization advice --------------------------------------------------------------------

// The counts: no update and the L and U entries (pivots once) after the
// factorization; one more update per accepted replacement and never fewer R
// entries than updates.  The advice comes at the 100th update of a basis
// whose R etas stay short, long before it where they are long, and the
// counts start again with the next factorization.
TEST(Simplex, RefactorAdviceCountsUpdatesAndEntries) {
  // A diagonal basis: L and U hold the pivots only; each replacement by a
  // column with one entry below its diagonal keeps the R etas at one entry.
  const int n = 300;
  handle h;
  basis b = diagonal(n, 2.0);
  ASSERT_EQ(factorize(h.h, b), 0);
  int updates = -1;
  long long r_entries = -1, lu_entries = -1;
  EXPECT_EQ(zk_refactor_advice(h.h, &updates, &r_entries, &lu_entries), 0);
  EXPECT_EQ(updates, 0);
  EXPECT_EQ(r_entries, 0);
  EXPECT_EQ(lu_entries, n);
  for (int k = 0; k < ZK_REFACTOR_UPDATES; ++k) {
    ASSERT_EQ(replace_raw(h.h, k, {k, k + 1}, {3.0, 1.0}), 0);
    EXPECT_EQ(zk_refactor_advice(h.h, &updates, &r_entries, &lu_entries), k + 1 >= ZK_REFACTOR_UPDATES);
    EXPECT_EQ(updates, k + 1);
    EXPECT_GE(r_entries, updates);
    EXPECT_LE(r_entries, lu_entries);
  }
  // An upper bidiagonal basis: no fill, so 2n-1 entries with the pivots.
  basis u;
  u.n = 50;
  u.cols.resize(u.n);
  for (int c = 0; c < u.n; ++c) {
    u.cols[c] = {{c, 1.0}};
    if (c > 0)
      u.cols[c].insert(u.cols[c].begin(), {c - 1, -1.0});
  }
  ASSERT_EQ(factorize(h.h, u), 0);
  EXPECT_EQ(zk_refactor_advice(h.h, &updates, &r_entries, &lu_entries), 0);
  EXPECT_EQ(updates, 0);
  EXPECT_EQ(r_entries, 0);
  EXPECT_EQ(lu_entries, 2 * u.n - 1);
  // A real basis whose rows of U^-1 are long: doubling its columns one by
  // one, the R etas outgrow L and U before the 100th update, and the advice
  // comes with the update that makes them.
  const entry* e = find_entry("israel_opt");
  ASSERT_NE(e, nullptr);
  basis b2 = load_basis(*e);
  ASSERT_EQ(factorize(h.h, b2), 0);
  int advised_at = 0;
  for (int k = 0; k < ZK_REFACTOR_UPDATES && advised_at == 0; ++k) {
    column a = b2.cols[k];
    for (auto& [r, v] : a)
      v *= 2.0;
    ASSERT_EQ(replace(h.h, k, a), 0);
    int advice = zk_refactor_advice(h.h, &updates, &r_entries, &lu_entries);
    EXPECT_EQ(advice, r_entries > lu_entries ? 1 : 0) << "update " << updates;
    if (advice == 1)
      advised_at = updates;
  }
  EXPECT_GT(advised_at, 0);
  EXPECT_LT(advised_at, ZK_REFACTOR_UPDATES);
}

// ---- rank repair -----------------------------------------------------------------------------------

// Every structurally or numerically singular matrix of the catalog becomes
// nonsingular through the repair loop of zelkor_simplex.h.  Where lines are
// left without a pivot the pairs name exactly those lines of lu_factoring's
// arrays, in increasing order; where all are pivoted but the basis is
// singular to working precision, one pair per round.  At the end a
// factorization that accepts no deficiency succeeds, the estimate is above
// ZK_SINGULAR_RCOND, and the solves meet the residual bound.
TEST(Simplex, RepairLoopMakesEverySingularMatrixNonsingular) {
  std::mt19937_64 rng(99);
  int repaired = 0;
  for (const entry& e : catalog()) {
    if (!e.singular)
      continue;
    SCOPED_TRACE(e.name);
    basis b = load_basis(e);
    handle h;
    int rounds = 0, pairs_total = 0;
    for (;;) {
      ASSERT_EQ(lu_resize(h.h, b.n), 0);
      for (int c = 0; c < b.n; ++c)
        for (auto [r, v] : b.cols[c])
          ASSERT_GE(lu_append(h.h, r, c, v), 0);
      int rank;
      int* q;
      int* r;
      ASSERT_EQ(lu_factoring(h.h, 1, &rank, &q, &r), 0);
      int k = zk_singular_pairs(h.h, nullptr, nullptr);
      ASSERT_GE(k, 0);
      if (k == 0)
        break;
      std::vector<int> cols(k, -9), rows(k, -9);
      ASSERT_EQ(zk_singular_pairs(h.h, cols.data(), rows.data()), k);
      if (rank < b.n) {
        ASSERT_EQ(k, b.n - rank);
        std::vector<int> want_cols, want_rows;
        for (int i = 0; i < b.n; ++i) {
          if (r[i] == -1)
            want_cols.push_back(i);
          if (q[i] == -1)
            want_rows.push_back(i);
        }
        EXPECT_EQ(cols, want_cols);
        EXPECT_EQ(rows, want_rows);
      } else {
        ASSERT_EQ(k, 1);
        ASSERT_TRUE(cols[0] >= 0 && cols[0] < b.n && rows[0] >= 0 && rows[0] < b.n);
        EXPECT_LT(zk_rcond_estimate(h.h), ZK_SINGULAR_RCOND);
      }
      for (int i = 0; i < k; ++i)
        b.cols[cols[i]] = {{rows[i], 1.0}};
      pairs_total += k;
      ASSERT_LT(++rounds, 200);
    }
    EXPECT_GT(rounds, 0);
    ASSERT_EQ(factorize(h.h, b, 0), 0);
    EXPECT_GE(zk_rcond_estimate(h.h), ZK_SINGULAR_RCOND);
    std::vector<double> rhs(b.n);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (double& v : rhs)
      v = u(rng);
    EXPECT_LT(ftran_residual(b, dense_solve(h.h, rhs, true), rhs), RESIDUAL_BOUND);
    EXPECT_LT(btran_residual(b, dense_solve(h.h, rhs, false), rhs), RESIDUAL_BOUND);
    RecordProperty(e.name, std::to_string(pairs_total) + " columns replaced in " +
                               std::to_string(rounds) + " rounds");
    ++repaired;
  }
  EXPECT_GE(repaired, 6);
}

// ---- the condition estimate -------------------------------------------------------------------

namespace {

// ||B^-1||_1, the largest column sum of B^-1, from n FTRANs.
double exact_inverse_norm1(lu_handle* h, int n) {
  std::vector<double> e(n, 0.0), x(n);
  double best = 0.0;
  for (int j = 0; j < n; ++j) {
    e[j] = 1.0;
    EXPECT_EQ(lu_ftran(h, x.data(), e.data()), 0);
    e[j] = 0.0;
    double s = 0.0;
    for (double v : x)
      s += std::fabs(v);
    best = std::max(best, s);
  }
  return best;
}

// The estimate against the exact ||B^-1||_1 of basis b: never above it (a
// lower bound, up to the rounding of the solves), at most 10 times below.
// The estimate's ||B||_1 is checked through its product: rcond·||B||_1·est
// == 1 needs the handle's ||B||_1 to be b's.
void check_estimate(lu_handle* h, const basis& b, double& worst_factor) {
  double rcond = zk_rcond_estimate(h);
  ASSERT_GT(rcond, 0.0);
  double est = 1.0 / (rcond * norm_1(b));  // the estimate of ||B^-1||_1
  double exact = exact_inverse_norm1(h, b.n);
  EXPECT_LE(est, exact * (1.0 + 1e-12));
  EXPECT_GE(est * 10.0, exact);
  worst_factor = std::max(worst_factor, exact / est);
}

}  // namespace

// On every nonsingular matrix of order up to 2000, and after replacements
// that change ||B||_1 (a column scaled up, then down), the estimate is
// within a factor 10 of the exact ||B^-1||_1 and never above it, so the
// reciprocal never falls below the true reciprocal condition number.
TEST(Simplex, ConditionEstimateWithinTenOfExact) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  const int most = 700;  // n FTRANs each: quadratic in the order
#else
  const int most = 2000;
#endif
  double worst_factor = 1.0;
  int matrices = 0;
  for (const entry& e : catalog()) {
    if (e.singular || e.n > most)
      continue;
    SCOPED_TRACE(e.name);
    basis b = load_basis(e);
    handle h;
    ASSERT_EQ(factorize(h.h, b), 0);
    ASSERT_NO_FATAL_FAILURE(check_estimate(h.h, b, worst_factor));
    if (e.n <= 600) {
      // Column 0 scaled by 1000 (||B||_1 grows), then by 1e-3 (it falls back).
      for (double scale : {1000.0, 1e-3}) {
        column a = b.cols[0];
        for (auto& [r, v] : a)
          v *= scale;
        ASSERT_EQ(replace(h.h, 0, a), 0);
        b.cols[0] = a;
        ASSERT_NO_FATAL_FAILURE(check_estimate(h.h, b, worst_factor));
      }
    }
    ++matrices;
  }
  EXPECT_GE(matrices, 30);
  RecordProperty("worst_factor", std::to_string(worst_factor));
}

// ---- threads ----------------------------------------------------------------------------------------

namespace {

// Everything one run produces, in order: results, counts and solution values.
using trace = std::vector<double>;

// A sparse solve without assertions (threads leave those to the main
// thread): the result's count, positions and values onto the trace.
void traced_sparse_solve(lu_handle* h, const std::vector<double>& rhs, bool forward, trace& out) {
  std::vector<double> x = rhs;
  std::vector<int> idx(rhs.size());
  int nz = 0;
  for (size_t i = 0; i < rhs.size(); ++i)
    if (rhs[i] != 0.0)
      idx[nz++] = (int)i;
  int rc = forward ? zk_ftran_sparse(h, x.data(), idx.data(), &nz) : zk_btran_sparse(h, x.data(), idx.data(), &nz);
  out.push_back(rc);
  out.push_back(nz);
  for (int k = 0; k < nz; ++k) {
    out.push_back(idx[k]);
    out.push_back(x[idx[k]]);
  }
}

// One problem as a simplex code would run it, in whatever thread calls it:
// its own handle, the crash basis factorized, columns replaced by the
// optimal basis' ones under the pivot rule of the simplex test (refactorized
// on the advice), and after each replacement dense and sparse solves, the
// estimate, and a refused call that writes a check report to the log.
// after(k) runs after the k-th accepted replacement.
trace run_problem_on(lu_handle* h, const basis& crash, const basis& opt, int replacements,
                     const std::function<void(int)>& after = nullptr) {
  trace out;
  basis cur = crash;
  out.push_back(factorize(h, cur));
  sparse_work work(cur.n);
  std::vector<double> rhs(cur.n);
  for (int i = 0; i < cur.n; ++i)
    rhs[i] = 1.0 + (double)(i % 7) / 7.0;
  std::vector<double> x(cur.n);
  int done = 0;
  for (int j = 0; j < cur.n && done < replacements; ++j) {
    if (cur.cols[j] == opt.cols[j] || !pivot_acceptable(h, opt.cols[j], j, work))
      continue;
    int rc = replace(h, j, opt.cols[j]);
    out.push_back(rc);
    if (rc == 0) {
      cur.cols[j] = opt.cols[j];
      ++done;
      if (after)
        after(done);
    }
    out.push_back(lu_ftran(h, x.data(), rhs.data()));
    out.insert(out.end(), x.begin(), x.end());
    out.push_back(lu_btran(h, x.data(), rhs.data()));
    out.insert(out.end(), x.begin(), x.end());
    traced_sparse_solve(h, dense_column(cur.n, cur.cols[j]), true, out);
    traced_sparse_solve(h, unit(cur.n, j), false, out);
    out.push_back(zk_rcond_estimate(h));
    out.push_back(zk_replace_column(h, -1, 0, nullptr, nullptr));
    if (zk_refactor_advice(h, nullptr, nullptr, nullptr) == 1)
      out.push_back(factorize(h, cur));
  }
  return out;
}

// The same on a new handle, deleted at the end (with the thread's work
// record when no other handle of the thread needs it).
trace run_problem(const basis& crash, const basis& opt, int replacements) {
  lu_handle* h = lu_new();
  trace out = run_problem_on(h, crash, opt, replacements);
  lu_delete(h);
  return out;
}

bool same_bits(const trace& a, const trace& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

}  // namespace

// Two threads, each with its own handle and problem, factorize, replace and
// solve at the same time (released together), and produce bit for bit what
// the same runs produce one after the other in the main thread.  The thread
// sanitizer build runs this test.
TEST(SimplexThreads, TwoThreadsGiveTheSingleThreadedResults) {
  const entry* names[4] = {find_entry("degen2_crash"), find_entry("degen2_opt"),
                           find_entry("bandm_crash"), find_entry("bandm_opt")};
  for (const entry* e : names)
    ASSERT_NE(e, nullptr);
  basis crash1 = load_basis(*names[0]), opt1 = load_basis(*names[1]);
  basis crash2 = load_basis(*names[2]), opt2 = load_basis(*names[3]);
  const int replacements = 150;
  trace want1 = run_problem(crash1, opt1, replacements);
  trace want2 = run_problem(crash2, opt2, replacements);
  ASSERT_GT(want1.size(), 1000u);
  ASSERT_GT(want2.size(), 1000u);
  for (int round = 0; round < 3; ++round) {
    trace got1, got2;
    std::atomic<int> waiting{2};
    auto start_together = [&waiting] {
      --waiting;
      while (waiting.load() > 0)
        std::this_thread::yield();
    };
    std::thread t1([&] {
      start_together();
      got1 = run_problem(crash1, opt1, replacements);
    });
    std::thread t2([&] {
      start_together();
      got2 = run_problem(crash2, opt2, replacements);
    });
    t1.join();
    t2.join();
    EXPECT_TRUE(same_bits(got1, want1)) << "round " << round;
    EXPECT_TRUE(same_bits(got2, want2)) << "round " << round;
  }
}

// A handle belongs to the work record of the thread that sized it: in a
// thread whose record does not cover its order it refuses, and works again
// there once that thread has sized a handle of the order.
TEST(SimplexThreads, AnotherThreadNeedsItsOwnWorkRecord) {
  basis b = diagonal(20, 2.0);
  handle h;
  ASSERT_EQ(factorize(h.h, b), 0);
  int refused = 0, after_sizing = -9;
  std::thread t([&] {
    double x[20] = {1.0};
    int idx[20] = {0};
    int nz = 1;
    refused = zk_ftran_sparse(h.h, x, idx, &nz);
    lu_handle* own = lu_new();
    lu_resize(own, 20);
    after_sizing = zk_ftran_sparse(h.h, x, idx, &nz);
    lu_delete(own);
  });
  t.join();
  EXPECT_EQ(refused, -1);
  EXPECT_EQ(after_sizing, 0);
}

// Two handles of one thread, as a simplex and its copy: deleting the copy
// (order 444, the larger: the thread's work record was sized for it) in the
// middle of the other's run leaves that run bit for bit what it is alone.
TEST(SimplexThreads, DeletingOneHandleLeavesTheThreadsOthersWorking) {
  const entry* names[3] = {find_entry("bandm_crash"), find_entry("bandm_opt"),
                           find_entry("degen2_crash")};
  for (const entry* e : names)
    ASSERT_NE(e, nullptr);
  basis crash = load_basis(*names[0]), opt = load_basis(*names[1]);
  basis larger = load_basis(*names[2]);
  const int replacements = 60;
  trace want = run_problem(crash, opt, replacements);
  ASSERT_GT(want.size(), 1000u);

  lu_handle* copy = lu_new();
  ASSERT_EQ(factorize(copy, larger), 0);
  lu_handle* h = lu_new();
  int deleted_after = 0;
  trace got = run_problem_on(h, crash, opt, replacements, [&](int done) {
    if (done == 20) {
      lu_delete(copy);
      deleted_after = done;
    }
  });
  lu_delete(h);
  EXPECT_EQ(deleted_after, 20);
  EXPECT_TRUE(same_bits(got, want));
}

// Handles outlive each other across threads and outlive the thread that
// sized them: a worker sizes two handles; the main thread deletes the first
// while the worker runs a problem on the second (bit for bit the lone run);
// the worker ends without lu_delete, and the main thread deletes the second
// afterwards.  Nothing is left (LeakSanitizer in the asan preset), and the
// thread sanitizer build sees no race on what the threads share.
TEST(SimplexThreads, HandlesOutliveEachOtherAndTheirThread) {
  const entry* names[3] = {find_entry("degen2_crash"), find_entry("degen2_opt"),
                           find_entry("bandm_crash")};
  for (const entry* e : names)
    ASSERT_NE(e, nullptr);
  basis crash = load_basis(*names[0]), opt = load_basis(*names[1]);
  basis other = load_basis(*names[2]);
  const int replacements = 60;
  trace want = run_problem(crash, opt, replacements);

  lu_handle* first = nullptr;
  lu_handle* second = nullptr;
  int first_rc = -9;
  std::atomic<bool> first_ready{false};
  trace got;
  std::thread worker([&] {
    first = lu_new();
    first_rc = factorize(first, other);
    first_ready = true;
    second = lu_new();
    got = run_problem_on(second, crash, opt, replacements);
  });
  while (!first_ready.load())
    std::this_thread::yield();
  lu_delete(first);  // while the worker runs
  worker.join();
  EXPECT_EQ(first_rc, 0);
  EXPECT_TRUE(same_bits(got, want));
  lu_delete(second);
}
