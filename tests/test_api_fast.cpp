// The fast shared library libzelkor.so seen through its exports, where it
// differs from ZelkorD: without the matrix copy, lu_kakunin can only confirm
// that a valid factorization is held, and the products have no matrix to use.
// (Its solves are those of the program build, tested there and by the
// installed consumer example.)
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "test_api.h"
#include "test_support.h"
#include "zelkor_simplex.h"

namespace {

const char* const LOG = "Zelkordbg.txt";

// One integer check report from zelkor_cc.cpp with its x, y and z.
std::string report(long x, long y, long z) {
  return chk('B', "zelkor_cc.cpp", std::to_string(x), std::to_string(y), std::to_string(z));
}

int report_lines(const std::string& text) { return count_matches(text, "\\*\\*\\* CHK[ABXY] error"); }

TEST(ApiFast, CheckConfirmsOnlyAValidFactorization) {
  lu_handle* h = lu_new();
  FileTail log(LOG);
  int rank = 0;
  int* q = nullptr;
  int* r = nullptr;

  // Loaded, not factorized: refused as by the solves.
  ASSERT_NO_FATAL_FAILURE(load_order3(h, 4.0));
  log.mark();
  EXPECT_EQ(lu_kakunin(h), -1);
  std::string text = log.take();
  EXPECT_EQ(count_matches(text, report(1, 0, 1)), 1) << text;
  EXPECT_EQ(report_lines(text), 1) << text;

  // Accepted rank-deficient (state 1) and refused (state -1): no valid factors.
  for (int accept : {1, 0}) {
    SCOPED_TRACE("accept " + std::to_string(accept));
    ASSERT_NO_FATAL_FAILURE(load_order3(h, 0.0));
    EXPECT_EQ(lu_factoring(h, accept, &rank, &q, &r), accept ? 0 : -1);
    EXPECT_EQ(rank, 2);
    log.mark();
    EXPECT_EQ(lu_kakunin(h), -1);
    text = log.take();
    EXPECT_EQ(count_matches(text, report(0, accept ? 1 : -1, 0)), 1) << text;
    EXPECT_EQ(report_lines(text), 1) << text;
  }

  // A valid factorization: 0, silently; the products have no copy to use.
  ASSERT_NO_FATAL_FAILURE(load_order3(h, 4.0));
  ASSERT_EQ(lu_factoring(h, 0, &rank, &q, &r), 0);
  log.mark();
  EXPECT_EQ(lu_kakunin(h), 0);
  double in[3] = {1.0, 1.0, 1.0};
  double out[3] = {7.0, 7.0, 7.0};
  EXPECT_EQ(lu_mult_mx_d(h, out, in), 1);
  EXPECT_EQ(out[0] + out[1] + out[2], 0.0);
  out[0] = out[1] = out[2] = 7.0;
  EXPECT_EQ(lu_mult_d_mx(h, out, in), 1);
  EXPECT_EQ(out[0] + out[1] + out[2], 0.0);
  double b[3] = {3.0, 4.0, 2.0};
  double x[3];
  EXPECT_EQ(lu_ftran(h, x, b), 0);
  EXPECT_EQ(x[0], 1.0);  // all pivots powers of 2: exact
  EXPECT_EQ(x[1], 1.0);
  EXPECT_EQ(x[2], 0.5);
  text = log.take();
  EXPECT_EQ(text, "");
  lu_delete(h);
}

// The library running reports the version of the header it was built with.
TEST(ApiFast, VersionIsTheHeaders) {
  std::string header = std::to_string(ZELKOR_VERSION_MAJOR) + "." +
                       std::to_string(ZELKOR_VERSION_MINOR) + "." +
                       std::to_string(ZELKOR_VERSION_PATCH);
  ASSERT_NE(zk_version(), nullptr);
  EXPECT_EQ(std::string(zk_version()), header);
}

// The append's common case is decided on the value's bits: every non-zero
// value still takes the next slot, however tiny, huge or not a number, and
// no zero of either sign takes one (the first pool of order 100 has room for
// all of them).
TEST(ApiFast, AppendStoresEveryNonZeroAndNoZero) {
  lu_handle* h = lu_new();
  ASSERT_EQ(lu_resize(h, 100), 0);
  const double values[] = {1.0,  0.0,   -0.0, 4.9e-324,  -4.9e-324, 0.0, 1e30,
                           -1e30, 2e30, -0.0, -INFINITY, NAN,       -0.5};
  int slot = 0;
  for (double v : values)
    EXPECT_EQ(lu_append(h, 1, 2, v), v == 0.0 ? 0 : slot++) << v;
  EXPECT_EQ(slot, 9);
  lu_delete(h);
}

}  // namespace
