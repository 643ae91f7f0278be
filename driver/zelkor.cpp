// zelkor: the console program that exercises the library on one system
// A·x = b read from text files.
//
//   zelkor [-afile1] [-bfile2] [-xfile3] [-efile4]
//
// Exit status: 0 when the system was solved and both output files were
// written; 2 after a parameter error; 1 after any other failure (an input
// file that cannot be read or holds a bad line, no elements, a
// rank-deficient matrix, a failed sizing, an output file that cannot be
// written, memory exhausted).
#include <cstdio>
#include <ctime>
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

// A clock that counts milliseconds.  (<chrono> cannot be used here: its
// literals do not convert to the program's Shift_JIS execution charset.)
long long clock_ms() {
  std::timespec ts;
  std::timespec_get(&ts, TIME_UTC);
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
    std::printf("no elements in file(%s)\n", names.a);
    return EXIT_FAILED;
  }
  if (read_rhs_file(names.b, sz, b) != 0)
    return EXIT_FAILED;
  int32_t nz = sort_dedup(list);
  if (count != nz)
    std::printf("same %d (i,j)'s are rejected.\n", count - nz);
  long long t0 = clock_ms();
  bool written = false;
  int rc = solve_step(h, list, sz, b, solve_files{names.x, names.e}, &written);
  long long t1 = clock_ms();
  std::printf("sz = %d nz = %d rc = %d clock = %.2f\n", sz, nz, rc, (double)(t1 - t0) / 1000.0);
  return rc == 0 && written ? EXIT_SOLVED : EXIT_FAILED;
}

}  // namespace

int main(int argc, char** argv) {
  run_names names;
  if (!parse_args(argc, argv, names)) {
    std::printf("parameter error\n");
    std::printf("%s", USAGE);
    return EXIT_PARAMETER;
  }
  lu_handle* h = nullptr;
  int status;
  try {
    h = lu_new();
    status = run(h, names);
  } catch (const std::bad_alloc&) {
    std::printf("out of memory\n");
    status = EXIT_FAILED;
  }
  lu_delete(h);
  return status;
}
