// zelkor: the console program that exercises the library on one system
// A·x = b read from text files.
//
//   zelkor [-afile1] [-bfile2] [-xfile3] [-efile4]
//
// Exit status: 0 when the system was solved, every component of the
// solution is finite and both output files were written; 2 after a parameter
// error; 1 after any other failure (an input file that cannot be read or
// holds a bad line, no elements, an order too large for the machine's
// memory, a rank-deficient matrix, a failed sizing, a solution that is not
// finite, an output file that cannot be written, memory exhausted).
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <new>
#include <vector>

#include "zelkor.h"
#include "zk_input.h"
#include "zk_solve.h"

namespace {

const char USAGE[] =
    "usage: zelkor.exe [-afile1] [-bfile2] [-xfile3] [-efile4]\n"
    "-a (入力)係数のファイル名。  省略値：aij.txt\n"
    "-b (入力)右辺値のファイル名。省略値：b.txt\n"
    "-x (出力)解ｘファイル名。    省略値：x.txt\n"
    "-e (出力)誤差のファイル名。  省略値：err.txt\n";

enum { EXIT_SOLVED = 0, EXIT_FAILED = 1, EXIT_PARAMETER = 2 };

struct run_names {
  const char* a = "aij.txt";  // coefficients (input)
  const char* b = "b.txt";    // right-hand side (input)
  const char* x = "x.txt";    // solution (output)
  const char* e = "err.txt";  // residual report (output)
};

// Each argument is '-' or '/', a lower-case option letter and the file name
// attached to it (possibly empty).  false on anything else.
bool parse_args(int argc, char** argv, run_names& names) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] != '-' && arg[0] != '/')
      return false;
    const char* name = arg[0] != '\0' && arg[1] != '\0' ? arg + 2 : nullptr;
    switch (arg[1]) {
      case 'a': names.a = name; break;
      case 'b': names.b = name; break;
      case 'x': names.x = name; break;
      case 'e': names.e = name; break;
      default: return false;
    }
  }
  return true;
}

// Bytes a run takes per unit of the order, however few the elements: the
// program's b, x and A·x (24) and the library's arrays sized by the order.
// Measured as the growth of the peak resident set of the program between
// runs on two-element matrices of orders 1,000,000 and 16,000,000 (213868
// and 3377948 KiB; rank deficient, so the solve itself is not reached):
// 216 bytes.  The elements only add to it.
constexpr uint64_t bytes_per_order = 216;

// Whether the order needs more than the machine's physical memory.  On Linux
// such allocations usually succeed and the run thrashes until the kernel
// kills it, instead of failing cleanly; so the order is refused before
// anything of its size is allocated.  false when the memory size is unknown.
bool order_exceeds_memory(int32_t sz) {
  long pages = sysconf(_SC_PHYS_PAGES);
  long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0)
    return false;
  return (uint64_t)sz * bytes_per_order > (uint64_t)pages * (uint64_t)page_size;
}

// A clock that counts milliseconds and is never set: the summary's elapsed
// time must not jump with the system clock.
long long clock_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Reads, de-duplicates, solves and prints the summary line.
int run(lu_handle* h, const run_names& names) {
  std::vector<triplet> list;
  std::vector<double> b;
  int32_t count = 0;
  int32_t sz = 0;
  if (read_coef_file(names.a, list, &count, &sz) != 0)
    return EXIT_FAILED;
  if (sz == 0) {
    console_printf("no elements in file(%s)\n", names.a);
    return EXIT_FAILED;
  }
  if (order_exceeds_memory(sz)) {
    console_printf("out of memory\n");
    return EXIT_FAILED;
  }
  if (read_rhs_file(names.b, sz, b) != 0)
    return EXIT_FAILED;
  int32_t nz = sort_dedup(list);
  if (count != nz)
    console_printf("same %d (i,j)'s are rejected.\n", count - nz);
  long long t0 = clock_ms();
  solve_report report;
  int rc = solve_step(h, list, sz, b, solve_files{names.x, names.e}, &report);
  long long t1 = clock_ms();
  console_printf("sz = %d nz = %d rc = %d clock = %.2f\n", sz, nz, rc, (double)(t1 - t0) / 1000.0);
  return rc == 0 && report.written && report.not_finite == 0 ? EXIT_SOLVED : EXIT_FAILED;
}

}  // namespace

int main(int argc, char** argv) {
  run_names names;
  if (!parse_args(argc, argv, names)) {
    console_printf("parameter error\n");
    console_write(USAGE);
    return EXIT_PARAMETER;
  }
  lu_handle* h = nullptr;
  int status;
  try {
    h = lu_new();
    status = run(h, names);
  } catch (const std::bad_alloc&) {
    console_printf("out of memory\n");
    status = EXIT_FAILED;
  }
  lu_delete(h);
  return status;
}
