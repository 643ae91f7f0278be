// Prints, per Matrix Market file and per order of the appends (the file's,
// then row by row as simplex codes and the peer harness append), what a
// factorization gives through the exported interface: result, rank, and
// digests of the row matching and of the bits of a forward and a backward
// dense transform.  Built once against
// the library with diagnostics and once against the program's library
// without them; the test digest_builds_agree compares the two outputs, so that
// the storage and walks of the build without diagnostics are held to the
// same pivots and the same result bits.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fnv.h"
#include "mtx.h"
#include "zelkor.h"

// One factorization of m appended in the given order, and its line.
void digest(const char* name, const mtx_matrix& m, const std::vector<mtx_entry>& order,
            const char* label) {
  int n = m.n;
  lu_handle* h = lu_new();
  lu_resize(h, n);
  for (const mtx_entry& e : order)
    lu_append(h, e.row, e.col, e.v);
  int rank = 0;
  int* q = nullptr;
  int* r = nullptr;
  int rc = lu_factoring(h, 1, &rank, &q, &r);
  uint64_t hq = FNV_START, hx = FNV_START, hy = FNV_START;
  if (rc == 0) {
    hq = fnv(hq, q, sizeof(int) * (size_t)n);
    hq = fnv(hq, r, sizeof(int) * (size_t)n);
  }
  if (rc == 0 && rank == n) {
    std::vector<double> b(n, 0.0), c(n, 0.0), x(n), y(n);
    for (const mtx_entry& e : m.entries) {
      b[e.row] += e.v;
      c[e.col] += e.v * (1 + e.row % 3);
    }
    lu_ftran(h, x.data(), b.data());
    lu_btran(h, y.data(), c.data());
    hx = fnv(hx, x.data(), sizeof(double) * (size_t)n);
    hy = fnv(hy, y.data(), sizeof(double) * (size_t)n);
  }
  std::printf("%s %s %d %d %016llx %016llx %016llx\n", name, label, rc, rank,
              (unsigned long long)hq, (unsigned long long)hx, (unsigned long long)hy);
  lu_delete(h);
}

int main(int argc, char** argv) {
  for (int a = 1; a < argc; ++a) {
    mtx_matrix m;
    if (!read_mtx(argv[a], m)) {
      std::printf("%s unreadable\n", argv[a]);
      return 1;
    }
    const char* name = std::strrchr(argv[a], '/');
    name = name ? name + 1 : argv[a];
    std::vector<mtx_entry> by_row = m.entries;
    std::stable_sort(by_row.begin(), by_row.end(), [](const mtx_entry& x, const mtx_entry& y) {
      return x.row < y.row || (x.row == y.row && x.col < y.col);
    });
    digest(name, m, m.entries, "file");
    digest(name, m, by_row, "rows");
  }
  return 0;
}
