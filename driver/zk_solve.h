// zk_solve: the solve step of the console program: factorize, solve, check
// the solution against the program's own triplets and write the results.
#ifndef ZELKOR_ZK_SOLVE_H
#define ZELKOR_ZK_SOLVE_H

#include <cstdint>
#include <vector>

#include "zelkor.h"
#include "zk_compiler.h"
#include "zk_input.h"

// The program's console messages, which are Shift_JIS: console_printf prints
// fmt with its arguments to standard output, the format's text converted
// from UTF-8 (lp_text.h), the arguments (file names, numbers) as they are;
// console_write prints a whole text converted.  Messages with Japanese text
// go through these, never through printf itself.  console_printf returns
// what printf returns, console_write the bytes written.
int console_printf(const char* fmt, ...) ZK_PRINTF_LIKE(1, 2);
int console_write(const char* text);

struct solve_files {
  const char* x_name;  // solution, one "%g" line per component
  const char* e_name;  // residual report, one line per equation
};

// What became of a solved system (result 0 of solve_step).
struct solve_report {
  bool written = false;    // both files were written completely
  int32_t not_finite = 0;  // components of x that are infinite or NaN
};

// Hands the sorted, de-duplicated triplets (ascending (i, j)) to the library,
// factorizes, solves A·x = b and writes both files.  0 when the system was
// solved (*report tells whether both files were written and how many
// components of x are not finite; when any are, "解ｘの有限でない成分　size =
// %d, count = %d" is printed and the files are written all the same);
// sz - rank (> 0) for a rank-deficient matrix; the negative result of
// lu_resize when sizing failed.  No file is written unless the result is 0.
int solve_step(lu_handle* h, const std::vector<triplet>& list, int32_t sz,
               const std::vector<double>& b, const solve_files& files, solve_report* report);

#endif
