// Helpers for the tests that call the library through its exported interface
// (zelkor.h), whichever build of it they link.  Header only: the common test
// library links no build of the library.
#ifndef ZELKOR_TEST_API_H
#define ZELKOR_TEST_API_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "test_matrix.h"
#include "zelkor.h"

// Sizes h for order 3 and appends [2 1 0; 0 4 0; 0 0 d] (d = 0: rank 2).
inline void load_order3(lu_handle* h, double d) {
  ASSERT_EQ(lu_resize(h, 3), 0);
  ASSERT_GE(lu_append(h, 0, 0, 2.0), 0);
  ASSERT_GE(lu_append(h, 0, 1, 1.0), 0);
  ASSERT_GE(lu_append(h, 1, 1, 4.0), 0);
  ASSERT_GE(lu_append(h, 2, 2, d), 0);
}

// Dense solves both ways on h of a factorization of a, right-hand side
// cos(0.7 i + 0.3): the worse normwise residual, or -1 when a solve did not
// return 0 (a refusal, or a failed verification against the copy).
inline double solve_both(lu_handle* h, const column_matrix& a) {
  std::vector<double> rhs(a.n), x(a.n, 0.0), y(a.n, 0.0);
  for (int i = 0; i < a.n; ++i)
    rhs[i] = std::cos(0.7 * i + 0.3);
  if (lu_ftran(h, x.data(), rhs.data()) != 0 || lu_btran(h, y.data(), rhs.data()) != 0)
    return -1.0;
  return std::max(normwise_residual(a, x, rhs, true), normwise_residual(a, y, rhs, false));
}

#endif
