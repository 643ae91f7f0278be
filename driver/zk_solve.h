// zk_solve: the solve step of the console program: factorize, solve, check
// the solution against the program's own triplets and write the results.
#ifndef ZELKOR_ZK_SOLVE_H
#define ZELKOR_ZK_SOLVE_H

#include <cstdint>
#include <vector>

#include "zelkor.h"
#include "zk_input.h"

struct solve_files {
  const char* x_name;  // solution, one "%g" line per component
  const char* e_name;  // residual report, one line per equation
};

// Hands the sorted, de-duplicated triplets (ascending (i, j)) to the library,
// factorizes, solves A·x = b and writes both files.  0 when the system was
// solved (*written tells whether both files were written completely);
// sz - rank (> 0) for a rank-deficient matrix; the negative result of
// lu_resize when sizing failed.  No file is written unless the result is 0.
int solve_step(lu_handle* h, const std::vector<triplet>& list, int32_t sz,
               const std::vector<double>& b, const solve_files& files, bool* written);

#endif
