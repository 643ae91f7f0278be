// The sparse solves of the simplex interface (zelkor_simplex.h) against the
// dense solves, through the fast library's exports, on the matrices of order
// at least 10,000 of a matrix folder:
//
//   bench_simplex FOLDER [MIN_ORDER]   (MIN_ORDER default 10000)
//
// Per matrix, averaged over 400 positions j spread over the order (each kind
// of solve in a batch, after a batch that warms the caches): lu_ftran
// of e_j (by row) against zk_ftran_sparse of it, lu_btran of e_j (by column)
// against zk_btran_sparse, and lu_ftran of basis column j against
// zk_ftran_sparse of it (what a simplex code does with the entering
// column), with the average number of non-zeros of the sparse results.  The
// sparse solves are charged what the caller does around them: setting the
// right-hand side in the dense array and clearing the result again.
//
// The first sparse solve after a factorization also builds the chained form
// of the etas that the sparse transforms walk (once per factorization); it is
// timed apart (first_us) and left out of the averages.
//
// One TSV row per matrix and kind of right-hand side; the last column is the
// speed-up dense / sparse.  Exit status 0, or 2 after a usage error, for a
// FOLDER that is not a folder, or when a file or call failed.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_common.h"
#include "zelkor_simplex.h"

namespace {

struct timing {
  double dense_us = 0, sparse_us = 0, reach = 0;
};

// The three kinds of right-hand side at position j: 0 e_j forward, 1 e_j
// backward, 2 column j forward.
const char* const KIND[3] = {"unit ftran", "unit btran", "column ftran"};

// The right-hand side of `kind` at sample s: its entries.
column rhs_of(const std::vector<column>& cols, int kind, int s, int samples) {
  int n = (int)cols.size();
  int j = (int)((long long)s * (n - 1) / (samples - 1));
  return kind == 2 ? cols[j] : column{{j, 1.0}};
}

// Each kind of solve over all samples in a batch, once to warm the caches
// and once timed.
bool measure(lu_handle* h, const std::vector<column>& cols, int kind, timing& t) {
  const int n = (int)cols.size();
  const int samples = 400;
  std::vector<double> rhs(n, 0.0), x(n), work(n, 0.0);
  std::vector<int> idx(n);
  bool forward = kind != 1;
  bool ok = true;
  for (int pass = 0; pass < 2; ++pass) {
    t = timing{};
    auto t0 = clock_type::now();
    for (int s = 0; s < samples; ++s) {
      column entries = rhs_of(cols, kind, s, samples);
      for (auto [r, v] : entries)
        rhs[r] = v;
      int rc = forward ? lu_ftran(h, x.data(), rhs.data()) : lu_btran(h, x.data(), rhs.data());
      for (auto [r, v] : entries)
        rhs[r] = 0.0;
      ok = ok && rc == 0;
    }
    t.dense_us = us_since(t0) / samples;
    t0 = clock_type::now();
    for (int s = 0; s < samples; ++s) {
      column entries = rhs_of(cols, kind, s, samples);
      int nz = 0;
      for (auto [r, v] : entries) {
        work[r] = v;
        idx[nz++] = r;
      }
      int rc = forward ? zk_ftran_sparse(h, work.data(), idx.data(), &nz)
                       : zk_btran_sparse(h, work.data(), idx.data(), &nz);
      ok = ok && rc == 0;
      for (int k = 0; rc == 0 && k < nz; ++k)
        work[idx[k]] = 0.0;
      t.reach += nz;
    }
    t.sparse_us = us_since(t0) / samples;
    t.reach /= samples;
  }
  return ok;
}

const char* const USAGE =
    "usage: bench_simplex FOLDER [MIN_ORDER]\n"
    "  FOLDER     a folder of Matrix Market files\n"
    "  MIN_ORDER  the smallest order measured (default 10000)\n"
    "Per matrix and kind of right-hand side (unit FTRAN, unit BTRAN, column FTRAN):\n"
    "dense and sparse solve times in microseconds, the sparse result's non-zeros and\n"
    "the speed-up; first_us is the first sparse solve after the factorization.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && is_help(argv[1])) {
    std::fputs(USAGE, stdout);
    return 0;
  }
  char* end = nullptr;
  int min_order = argc > 2 ? (int)std::strtol(argv[2], &end, 10) : 10000;
  if (argc < 2 || argc > 3 || argv[1][0] == '-' || (argc > 2 && (*end != '\0' || min_order < 1))) {
    std::fputs(USAGE, stderr);
    return 2;
  }
  std::string folder = argv[1];
  if (!is_folder("bench_simplex", folder))
    return 2;
  std::vector<std::string> files = mtx_files(folder);
  std::printf("matrix\tn\tnnz\tfirst_us\tkind\tdense_us\tsparse_us\tsparse_nz\tspeedup\n");
  int status = 0;
  for (const std::string& path : files) {
    mtx_matrix m;
    std::vector<column> cols;
    if (!read_mtx(path, m) || (m.n >= min_order && !columns_of(m, cols))) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      status = 2;
      continue;
    }
    if (m.n < min_order)
      continue;
    lu_handle* h = lu_new();
    bool ok = lu_resize(h, m.n) == 0;
    for (int c = 0; ok && c < m.n; ++c)
      for (auto [r, v] : cols[c])
        ok = ok && lu_append(h, r, c, v) >= 0;
    int rank, *q, *r;
    ok = ok && lu_factoring(h, 0, &rank, &q, &r) == 0;
    std::vector<double> x(m.n, 0.0);
    std::vector<int> idx(m.n, 0);
    int nz = 1;
    x[0] = 1.0;
    auto t0 = clock_type::now();
    ok = ok && zk_ftran_sparse(h, x.data(), idx.data(), &nz) == 0;
    double first_us = us_since(t0);
    std::string name = std::filesystem::path(path).stem().string();
    for (int kind = 0; ok && kind < 3; ++kind) {
      timing t;
      ok = measure(h, cols, kind, t);
      if (ok)
        std::printf("%s\t%d\t%zu\t%.0f\t%s\t%.2f\t%.2f\t%.1f\t%.1f\n", name.c_str(), m.n,
                    m.entries.size(), first_us, KIND[kind], t.dense_us, t.sparse_us, t.reach,
                    t.dense_us / t.sparse_us);
    }
    if (!ok) {
      std::fprintf(stderr, "%s: a call failed\n", name.c_str());
      status = 2;
    }
    lu_delete(h);
  }
  return status;
}
