// Prints, per sequence of column replacements on real simplex bases, what
// the library gives: the results, ranks and matchings of the factorizations,
// and after every replacement its result (replaced, refused, failed) and the
// bits of a dense forward and backward solve.  A sequence starts from one
// basis of a problem (its crash basis or an intermediate one, appended as the
// file lists it) and puts the columns of the problem's optimal basis in
// place of its own where they differ, refactorizing the current basis
// (appended row by row) after every 40 replacements.
//
// Built against the fast shared library, where a replacement is
// zk_replace_column, and against the static twin of ZelkorD, where it is the
// update routine called as zk_replace_column calls it (replace_column
// below); the test update_builds_agree compares the two outputs.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "fnv.h"
#include "mtx.h"
#include "zelkor_simplex.h"
#ifdef ZELKOR_DIAG
#include <climits>

#include "lp_sm_lu.h"
#include "lp_ve.h"
#endif

namespace {

#ifdef ZELKOR_DIAG
lpvect2 new_column{};

// zk_replace_column (library/zk_simplex.cpp) with ZelkorD's routines, for a
// handle of full rank and a column of finite values: the pivot row of column
// j (kept by every update), the new column with its duplicates summed, the
// update with the interface's stability test and accuracy check (its scratch
// vector zk_row) and no limit on the R etas, and the interface's results.  Keep in step with zk_replace_column.
int replace_column(lu_handle* h, int j, int nz, const int* rows, const double* vals) {
  if (lpvect2_alloc(&new_column, h->sz, nullptr) != 0 ||
      lpvect2_alloc(&h->zk_row, h->sz, nullptr) != 0)
    return -2;
  int r = h->lu->col_k_head[j];
  lpvect2_newmark(&new_column);
  for (int k = 0; k < nz; ++k)
    if (vals[k] != 0.0)
      lpvect2_add(&new_column, rows[k], 1.0, vals[k]);
  h->upd_rel_tol = ZK_UPDATE_REL_TOL;
  h->upd_agree_tol = ZK_UPDATE_AGREE_TOL;
  h->upd_growth_max = ZK_UPDATE_GROWTH_MAX;
  h->max_br = INT32_MAX;
  int rc = lu_pivotting(h, r, &new_column);
  if (rc == 0)
    return 1;
  if (rc < 0)
    return rc == -2 || h->fact_state == -2 ? -2 : -1;
  return 0;
}

// The verification of every solve and update against the matrix copy only
// reads the results; off, so that a replacement costs no 2n verified solves.
void new_handle_settings() { basis_check = 0; }
void release_scratch() { lpvect2_free(&new_column); }
#else
int replace_column(lu_handle* h, int j, int nz, const int* rows, const double* vals) {
  return zk_replace_column(h, j, nz, rows, vals);
}
void new_handle_settings() {}
void release_scratch() {}
#endif

// Instrumented builds run 10-50x slower; the larger bases add no new paths.
#if defined(__SANITIZE_ADDRESS__)
const int LARGEST_ORDER = 3000;
#else
const int LARGEST_ORDER = 1 << 30;
#endif
const int MAX_REPLACEMENTS = 150;
const int REFACTOR_EVERY = 40;

using column = std::vector<std::pair<int, double>>;

std::vector<column> columns(const mtx_matrix& m) {
  std::vector<column> c(m.n);
  for (const mtx_entry& e : m.entries)
    c[e.col].push_back({e.row, e.v});
  return c;
}

struct sequence {
  uint64_t hash = FNV_START;
  std::string steps;  // per replacement: a replaced, r refused, x failed; F a refactorization

  void add(const void* p, size_t size) { hash = fnv(hash, p, size); }
  // A factorization's result, rank and matching; false unless of full rank.
  bool factorized(int rc, int rank, const int* q, const int* r, int n) {
    add(&rc, sizeof rc);
    add(&rank, sizeof rank);
    if (rc == 0) {
      add(q, sizeof(int) * (size_t)n);
      add(r, sizeof(int) * (size_t)n);
    }
    return rc == 0 && rank == n;
  }
};

// One sequence from basis start towards basis target.
void run(const std::string& label, const mtx_matrix& start, const mtx_matrix& target) {
  const int n = start.n;
  std::vector<column> cur = columns(start);
  std::vector<column> want = columns(target);
  sequence s;
  lu_handle* h = lu_new();
  new_handle_settings();
  lu_resize(h, n);
  for (const mtx_entry& e : start.entries)
    lu_append(h, e.row, e.col, e.v);
  int rank = 0;
  int* q = nullptr;
  int* r = nullptr;
  int rc = lu_factoring(h, 1, &rank, &q, &r);
  bool ok = s.factorized(rc, rank, q, r, n);
  std::vector<double> b(n), c(n), x(n), y(n);
  for (int i = 0; i < n; ++i) {
    b[i] = 1.0 + (double)(i % 7) / 7.0;
    c[i] = 1.0 - (double)(i % 5) / 5.0;
  }
  int tried = 0, replaced = 0;
  for (int j = 0; ok && j < n && tried < MAX_REPLACEMENTS; ++j) {
    if (cur[j] == want[j])
      continue;
    ++tried;
    std::vector<int> rows;
    std::vector<double> vals;
    for (auto [i, v] : want[j]) {
      rows.push_back(i);
      vals.push_back(v);
    }
    rc = replace_column(h, j, (int)rows.size(), rows.data(), vals.data());
    s.add(&rc, sizeof rc);
    s.steps += rc == 0 ? 'a' : rc == 1 ? 'r' : 'x';
    if (rc < 0)
      break;
    if (rc == 0)
      cur[j] = want[j];
    int rx = lu_ftran(h, x.data(), b.data());
    int ry = lu_btran(h, y.data(), c.data());
    s.add(&rx, sizeof rx);
    s.add(&ry, sizeof ry);
    s.add(x.data(), sizeof(double) * (size_t)n);
    s.add(y.data(), sizeof(double) * (size_t)n);
    if (rc == 0 && ++replaced % REFACTOR_EVERY == 0) {
      s.steps += 'F';
      lu_resize(h, n);
      std::vector<std::vector<std::pair<int, double>>> by_row(n);
      for (int col = 0; col < n; ++col)
        for (auto [i, v] : cur[col])
          by_row[i].push_back({col, v});
      for (int i = 0; i < n; ++i)
        for (auto [col, v] : by_row[i])
          lu_append(h, i, col, v);
      rc = lu_factoring(h, 1, &rank, &q, &r);
      ok = s.factorized(rc, rank, q, r, n);
    }
  }
  std::printf("%s %016llx %s\n", label.c_str(), (unsigned long long)s.hash, s.steps.c_str());
  lu_delete(h);
}

}  // namespace

// The arguments: Matrix Market files.  Those named PROBLEM_crash,
// PROBLEM_itNNNNNN and PROBLEM_opt form the problems; every one but the
// optimal basis starts a sequence towards it.
int main(int argc, char** argv) {
  std::regex basis_name(R"(^(.*/)?([^/]+)_(crash|it[0-9]+|opt)\.mtx$)");
  std::map<std::string, std::string> optimal;  // problem -> path
  std::vector<std::pair<std::string, std::string>> starts;  // problem, path
  for (int a = 1; a < argc; ++a) {
    std::cmatch m;
    if (!std::regex_match(argv[a], m, basis_name))
      continue;
    if (m[3] == "opt")
      optimal[m[2]] = argv[a];
    else
      starts.push_back({m[2], argv[a]});
  }
  int sequences = 0;
  for (const auto& [problem, path] : starts) {
    auto opt = optimal.find(problem);
    if (opt == optimal.end())
      continue;
    mtx_matrix start, target;
    if (!read_mtx(path, start) || !read_mtx(opt->second, target) || start.n != target.n) {
      std::printf("%s unreadable\n", path.c_str());
      return 1;
    }
    if (start.n > LARGEST_ORDER)
      continue;
    const char* name = std::strrchr(path.c_str(), '/');
    run(name ? name + 1 : path, start, target);
    ++sequences;
  }
  release_scratch();
  if (sequences == 0) {
    std::printf("no sequences: no PROBLEM_opt with a start basis among the files\n");
    return 1;
  }
  return 0;
}
