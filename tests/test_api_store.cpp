// The shared library seen from outside, through its C header only: handles,
// sizing, loading and the products, with what they write to "Zelkordbg.txt".
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>

#include "test_support.h"
#include "zelkor.h"

namespace {

const char* const kLog = "Zelkordbg.txt";

// The text a call appended to the log.  The first lu_new of a process
// truncates the file, later ones append; each test runs in its own directory,
// so only the growth since the last look is compared.
struct LogTail : FileTail {
  LogTail() : FileTail(kLog) {}
};

std::string store(char kind, const std::string& x, const std::string& y, const std::string& z) {
  return chk(kind, "lp_lumx.cpp", x, y, z);
}
std::string api(char kind, const std::string& x, const std::string& y, const std::string& z) {
  return chk(kind, "zelkor_cc.cpp", x, y, z);
}

// A new handle with the log open, and the point from which output is new.
lu_handle* open_handle(LogTail& log) {
  lu_handle* h = lu_new();
  EXPECT_NE(h, nullptr);
  EXPECT_TRUE(file_exists(kLog));
  log.mark();
  return h;
}

}  // namespace

TEST(ApiHandle, NewThenDeleteWritesNothingAndReleasesEverything) {
  LogTail log;
  lu_handle* h = lu_new();
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(file_exists(kLog));  // created in the current directory
  log.mark();
  lu_delete(h);
  EXPECT_EQ(log.take(), "");

  // A second handle appends to the same log; its own lifetime is silent too.
  lu_handle* g = lu_new();
  ASSERT_EQ(lu_resize(g, 3), 0);
  lu_delete(g);
  EXPECT_EQ(log.take(), "");
}

TEST(ApiAppend, ZeroValuesStoreNothing) {
  LogTail log;
  lu_handle* h = open_handle(log);
  ASSERT_EQ(lu_resize(h, 3), 0);
  EXPECT_EQ(log.take(), "");

  // On the empty matrix the 0 is not a slot yet: the export's check fails too.
  EXPECT_EQ(lu_append(h, 0, 0, 0.0), 0);
  EXPECT_TRUE(matches(log.take(), store('X', "0", "0", "0") + api('A', "0", "0", "0")));
  EXPECT_EQ(lu_append(h, 1, 2, -0.0), 0);
  EXPECT_TRUE(matches(log.take(), store('X', "0", "0", "-0") + api('A', "0", "0", "0")));

  EXPECT_EQ(lu_append(h, 1, 2, 5.0), 0);  // slot 0: nothing was stored before
  EXPECT_EQ(log.take(), "");
  EXPECT_EQ(lu_append(h, 2, 2, 0.0), 0);
  EXPECT_TRUE(matches(log.take(), store('X', "0", "0", "0")));
  EXPECT_EQ(lu_append(h, 2, 1, 6.0), 1);
  EXPECT_EQ(log.take(), "");
  lu_delete(h);
}

TEST(ApiAppend, OutOfRangeIndicesAreRefusedWithTwoReports) {
  LogTail log;
  lu_handle* h = open_handle(log);
  ASSERT_EQ(lu_resize(h, 3), 0);
  EXPECT_EQ(lu_append(h, 3, 0, 1.0), -1);
  EXPECT_TRUE(matches(log.take(), store('A', "0", "3", "3") + api('A', "0", "-1", "0")));
  EXPECT_EQ(lu_append(h, 0, -1, 1.0), -1);
  EXPECT_TRUE(matches(log.take(), store('A', "0", "-1", "3") + api('A', "0", "-1", "0")));

  ASSERT_EQ(lu_append(h, 2, 2, 1.0), 0);
  ASSERT_EQ(lu_append(h, 0, 1, 1.0), 1);
  EXPECT_EQ(lu_append(h, -1, 1, 1.0), -1);
  EXPECT_TRUE(matches(log.take(), store('A', "0", "-1", "3") + api('A', "0", "-1", "2")));
  EXPECT_EQ(lu_append(h, 1, 3, 1.0), -1);
  EXPECT_TRUE(matches(log.take(), store('A', "0", "3", "3") + api('A', "0", "-1", "2")));
  EXPECT_EQ(lu_append(h, INT_MAX, INT_MIN, 1.0), -1);
  EXPECT_TRUE(matches(log.take(), store('A', "0", "2147483647", "3") + api('A', "0", "-1", "2")));
  // No slot was used up by the refusals.
  EXPECT_EQ(lu_append(h, 1, 1, 1.0), 2);
  EXPECT_EQ(log.take(), "");
  lu_delete(h);
}

TEST(ApiAppend, HugeValuesAreStoredWithReportsAndNaNSilently) {
  LogTail log;
  lu_handle* h = open_handle(log);
  ASSERT_EQ(lu_resize(h, 4), 0);
  EXPECT_EQ(lu_append(h, 2, 1, 2e30), 0);
  EXPECT_TRUE(matches(log.take(),
                      store('A', "2", "1", "0") + store('Y', "-1e+30", "2e+30", "1e+30")));
  EXPECT_EQ(lu_append(h, 0, 3, -3.5e30), 1);
  EXPECT_TRUE(matches(log.take(),
                      store('A', "0", "3", "0") + store('Y', "-1e+30", "-3.5e+30", "1e+30")));
  EXPECT_EQ(lu_append(h, 1, 1, 1e30), 2);
  EXPECT_EQ(lu_append(h, 3, 0, -1e30), 3);
  EXPECT_EQ(lu_append(h, 3, 3, NAN), 4);
  EXPECT_EQ(log.take(), "");
  lu_delete(h);
}

TEST(ApiProducts, BeforeAnyFactorizationTheCopyIsEmpty) {
  LogTail log;
  lu_handle* h = open_handle(log);
  ASSERT_EQ(lu_resize(h, 4), 0);
  for (int k = 0; k < 4; ++k)
    ASSERT_EQ(lu_append(h, k, 3 - k, k + 1.0), k);
  const double in[4] = {1, 2, 3, 4};
  double out[5] = {7, 7, 7, 7, 7};
  EXPECT_EQ(lu_mult_mx_d(h, out, in), 0);
  for (int k = 0; k < 4; ++k)
    EXPECT_EQ(out[k], 0.0);
  EXPECT_EQ(out[4], 7.0);
  for (int k = 0; k < 4; ++k)
    out[k] = 7;
  EXPECT_EQ(lu_mult_d_mx(h, out, in), 0);
  for (int k = 0; k < 4; ++k)
    EXPECT_EQ(out[k], 0.0);
  EXPECT_EQ(out[4], 7.0);
  EXPECT_EQ(log.take(), "");
  lu_delete(h);
}

TEST(ApiResize, TwiceWithOneOrderActsAsOnce) {
  LogTail log;
  lu_handle* once = open_handle(log);
  lu_handle* twice = lu_new();
  log.mark();
  ASSERT_EQ(lu_resize(once, 5), 0);
  ASSERT_EQ(lu_resize(twice, 5), 0);
  for (int k = 0; k < 3; ++k)
    ASSERT_EQ(lu_append(twice, k, k, 9.0), k);
  ASSERT_EQ(lu_resize(twice, 5), 0);
  EXPECT_EQ(log.take(), "");

  // The elements are gone: numbering starts afresh, the order is still 5.
  for (lu_handle* h : {once, twice}) {
    EXPECT_EQ(lu_append(h, 4, 0, 1.0), 0);
    EXPECT_EQ(lu_append(h, 0, 4, 2.0), 1);
    EXPECT_EQ(lu_append(h, 5, 0, 1.0), -1);
    EXPECT_TRUE(matches(log.take(), store('A', "0", "5", "5") + api('A', "0", "-1", "2")));
    const double in[5] = {1, 1, 1, 1, 1};
    double out[5] = {3, 3, 3, 3, 3};
    EXPECT_EQ(lu_mult_mx_d(h, out, in), 0);
    for (double x : out)
      EXPECT_EQ(x, 0.0);
  }
  EXPECT_EQ(log.take(), "");
  lu_delete(once);
  lu_delete(twice);
}

TEST(ApiResize, NegativeOrderIsRefusedAndChangesNothing) {
  LogTail log;
  lu_handle* h = open_handle(log);
  ASSERT_EQ(lu_resize(h, 3), 0);
  ASSERT_EQ(lu_append(h, 0, 0, 1.0), 0);
  ASSERT_EQ(lu_append(h, 1, 2, 1.0), 1);
  EXPECT_EQ(lu_resize(h, -1), -1);
  EXPECT_TRUE(matches(log.take(), api('B', "0", "0", "-1")));
  EXPECT_EQ(lu_resize(h, -100), -1);
  EXPECT_TRUE(matches(log.take(), api('B', "0", "0", "-100")));
  // Same order, elements kept: the next slot follows the two stored.
  EXPECT_EQ(lu_append(h, 2, 2, 1.0), 2);
  EXPECT_EQ(lu_append(h, 3, 0, 1.0), -1);
  EXPECT_TRUE(matches(log.take(), store('A', "0", "3", "3") + api('A', "0", "-1", "3")));

  // Never sized: the same refusal, and the handle stays unsized.
  lu_handle* fresh = lu_new();
  EXPECT_EQ(lu_resize(fresh, -5), -1);
  EXPECT_TRUE(matches(log.take(), api('B', "0", "0", "-5")));
  EXPECT_EQ(lu_append(fresh, 0, 0, 1.0), -1);
  EXPECT_TRUE(matches(log.take(), api('B', "1", "0", "1")));
  lu_delete(fresh);
  lu_delete(h);
}

TEST(ApiGuards, NullHandleIsRefusedByEveryExport) {
  LogTail log;
  lu_handle* h = open_handle(log);  // opens the log
  const std::string refused = api('B', "1", "0", "1");
  double in[2] = {1, 2}, out[2] = {5, 5};
  int rank = 77;
  int* q = nullptr;
  int* r = nullptr;

  EXPECT_EQ(lu_resize(nullptr, 2), -1);
  EXPECT_TRUE(matches(log.take(), refused));
  EXPECT_EQ(lu_append(nullptr, 0, 0, 1.0), -1);
  EXPECT_TRUE(matches(log.take(), refused));
  EXPECT_EQ(lu_mult_mx_d(nullptr, out, in), -1);
  EXPECT_TRUE(matches(log.take(), refused));
  EXPECT_EQ(lu_mult_d_mx(nullptr, out, in), -1);
  EXPECT_TRUE(matches(log.take(), refused));
  EXPECT_EQ(lu_factoring(nullptr, 0, &rank, &q, &r), -1);
  EXPECT_TRUE(matches(log.take(), refused));
  EXPECT_EQ(lu_kakunin(nullptr), -1);
  EXPECT_TRUE(matches(log.take(), refused));
  EXPECT_EQ(lu_ftran(nullptr, out, in), -1);
  EXPECT_TRUE(matches(log.take(), refused));
  EXPECT_EQ(lu_btran(nullptr, out, in), -1);
  EXPECT_TRUE(matches(log.take(), refused));
  lu_delete(nullptr);
  EXPECT_TRUE(matches(log.take(), refused));
  EXPECT_EQ(out[0], 5.0);
  EXPECT_EQ(out[1], 5.0);
  EXPECT_EQ(rank, 77);
  EXPECT_EQ(q, nullptr);
  lu_delete(h);
}

TEST(ApiGuards, NeverSizedHandleDoesNotCrash) {
  LogTail log;
  lu_handle* h = open_handle(log);
  EXPECT_EQ(lu_append(h, 0, 0, 1.0), -1);
  EXPECT_TRUE(matches(log.take(), api('B', "1", "0", "1")));
  // No copy: result 1, and order 0 means no value to zero.
  const double in[1] = {1};
  double out[1] = {4};
  EXPECT_EQ(lu_mult_mx_d(h, out, in), 1);
  EXPECT_EQ(lu_mult_d_mx(h, out, in), 1);
  EXPECT_EQ(out[0], 4.0);
  EXPECT_EQ(log.take(), "");
  lu_delete(h);
  EXPECT_EQ(log.take(), "");
}
