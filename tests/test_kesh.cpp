// Checks, trace heads, the log stream, memory helpers and print routines.
#include <gtest/gtest.h>

#include <cstdint>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "lp_kesh.h"
#include "test_diag.h"
#include "test_support.h"

TEST(LogStream, FirstOpenTruncatesLaterMessagesAppendAndClose) {
  log_reset();
  write_file("log.txt", "old contents\n");
  ASSERT_EQ(log_open("log.txt"), 0);
  EXPECT_EQ(read_file("log.txt"), "");  // "w" on the first open of the process
  EXPECT_EQ(log_printf("one %d\n", 1), 6);
  // Every message closes the file: the text is on disk at once.
  EXPECT_EQ(read_file("log.txt"), "one 1\n");
  log_error("**** x: cannot malloc\n");
  EXPECT_EQ(read_file("log.txt"), "one 1\n**** x: cannot malloc\n");

  // A second open (even with another name) keeps the first name and appends.
  ASSERT_EQ(log_open("other.txt"), 0);
  log_printf("two\n");
  EXPECT_FALSE(file_exists("other.txt"));
  EXPECT_EQ(read_file("log.txt"), "one 1\n**** x: cannot malloc\ntwo\n");
}

TEST(LogStream, StandardOutputBeforeAnyOpenStaysAfterwards) {
  log_reset();
  testing::internal::CaptureStdout();
  log_printf("early %s\n", "line");
  EXPECT_EQ(log_open("log.txt"), 0);  // a stream is already open: nothing is opened
  log_printf("late\n");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "early line\nlate\n");
  EXPECT_FALSE(file_exists("log.txt"));
  log_forget_stdout();
}

TEST(LogStream, FailedOpenFallsBackToStandardOutput) {
  log_reset();
  testing::internal::CaptureStdout();
  EXPECT_EQ(log_open("no/such/dir/log.txt"), -1);
  log_printf("after failure\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "after failure\n");
  log_forget_stdout();

  // log_restart makes the next open truncate again.
  log_reset();
  ASSERT_EQ(log_open("log.txt"), 0);
  log_printf("a\n");
  log_restart();
  ASSERT_EQ(log_open("log.txt"), 0);
  log_printf("b\n");
  EXPECT_EQ(read_file("log.txt"), "b\n");
}

TEST(Checks, ReportBytesAndCounting) {
  log_to_file();
  int before = chk_fail_count();
  int line = __LINE__ + 1;
  EXPECT_EQ(CHKA(0, 5, 5), 1);
  EXPECT_EQ(chk_fail_count(), before + 1);
  EXPECT_EQ(CHKB(0, 6, 5), 1);
  EXPECT_EQ(CHKX(0.0, 0.0, 2.5e-3), 0);
  EXPECT_EQ(CHKX(0.0, 2.5e-3, 2.5e-3), 1);
  EXPECT_EQ(CHKY(-1e30, 2e30, 1e30), 1);
  EXPECT_EQ(chk_fail_count(), before + 4);
  char expect[400];
  snprintf(expect, sizeof expect,
           "*** CHKA error <== test_kesh.cpp(%d) x(0) y(5) z(5)\n"
           "*** CHKB error <== test_kesh.cpp(%d) x(0) y(6) z(5)\n"
           "*** CHKX error <== test_kesh.cpp(%d) x(0) y(0.0025) z(0.0025)\n"
           "*** CHKY error <== test_kesh.cpp(%d) x(-1e+30) y(2e+30) z(1e+30)\n",
           line, line + 2, line + 4, line + 5);
  EXPECT_EQ(read_file("log.txt"), expect);
  // The count stops at its largest value instead of overflowing.
  chk_set_fail_count(INT32_MAX);
  EXPECT_EQ(CHKA(0, 5, 5), 1);
  EXPECT_EQ(CHKX(0.0, 1.0, 0.5), 1);
  EXPECT_EQ(chk_fail_count(), INT32_MAX);
  chk_set_fail_count(before + 4);
}

TEST(Checks, BoundsOfEachKind) {
  log_to_file();
  int before = chk_fail_count();
  // Closed kinds accept value == lo == hi; half-open kinds reject value == hi.
  EXPECT_EQ(CHKB(3, 3, 3), 0);
  EXPECT_EQ(CHKY(0.0, 0.0, 0.0), 0);
  EXPECT_EQ(CHKA(0, 0, 1), 0);
  EXPECT_EQ(CHKX(-1.0, 0.5, 1.0), 0);
  EXPECT_EQ(chk_fail_count(), before);
  EXPECT_EQ(read_file("log.txt"), "");
  EXPECT_EQ(CHKA(0, -1, 1), 1);  // below lo
  EXPECT_EQ(CHKY(0.0, std::nan(""), 0.0), 1);  // NaN is never in range
  EXPECT_EQ(chk_fail_count(), before + 2);
  chk_set_fail_count(before);
  EXPECT_EQ(chk_fail_count(), before);
}

TEST(Checks, FileTailPadding) {
  log_to_file();
  EXPECT_EQ(chk_int(1, -1, 7, 9, "C:\\src\\lib\\ab.c", 12, "x", "y", "z"), 1);
  EXPECT_EQ(chk_real(0, 1, 2, 3, "/home/x/lp_lumx.cpp", 345, "x", "y", "z"), 1);
  EXPECT_EQ(read_file("log.txt"),
            "*** CHKB error <==     ab.c(12) x(-1) y(7) z(9)\n"
            "*** CHKX error <== lp_lumx.cpp(345) x(1) y(2) z(3)\n");
  EXPECT_STREQ(path_tail("a\\b/c\\d.cpp"), "d.cpp");
  EXPECT_STREQ(path_tail("plain.c"), "plain.c");
  EXPECT_STREQ(path_tail("dir/"), "");
}

TEST(Trace, HeadFormat) {
  log_to_file();
  trace_mark(TRACE_ENTRY, "lib/ab.c", 7, 0);
  log_printf("lumx_renew sz(%d) \n", 3);
  trace_mark(TRACE_MIDDLE, "x\\lp_sm_lu.cpp", 1234, 1);
  trace_mark(TRACE_EXIT, "zz.c", 56, 0);
  log_printf("lumx_renew rc(%d) \n", 0);
  EXPECT_EQ(read_file("log.txt"),
            " ==> ab.c    (  7)  lumx_renew sz(3) \n"
            " --  lp_sm_lu.cpp(1234) \n"
            "<==  zz.c    ( 56)  lumx_renew rc(0) \n");
}

TEST(Memory, ReallocKeepsOldBlockOnFailureAndFreeIsIdempotent) {
  int* p = nullptr;
  ASSERT_NE(mem_grow(&p, 4), nullptr);
  for (int i = 0; i < 4; ++i)
    p[i] = i + 10;
  int* old = p;
  mem_fail_countdown = 0;
  EXPECT_EQ(mem_grow(&p, 1000), nullptr);
  mem_fail_countdown = -1;
  EXPECT_EQ(p, old);
  EXPECT_EQ(p[3], 13);
  ASSERT_NE(mem_grow(&p, 1000), nullptr);
  EXPECT_EQ(p[0], 10);
  EXPECT_EQ(p[3], 13);
  EXPECT_EQ(mem_grow(&p, -1), nullptr);  // a negative count never allocates
  EXPECT_EQ(MEM_FREE(p, "t->p"), 0);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(MEM_FREE(p, "t->p"), 0);
}

TEST(Print, RowsOfTwenty) {
  log_to_file();
  std::vector<double> v(45);
  for (int i = 0; i < 45; ++i)
    v[i] = i * 0.5;
  print_dvec(v.data(), 45, "lbl", 0);
  std::string log = read_file("log.txt");
  std::vector<std::string> rows;
  size_t at = 0;
  for (size_t nl; (nl = log.find('\n', at)) != std::string::npos; at = nl + 1)
    rows.push_back(log.substr(at, nl - at));
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].rfind("lbl\t 0 0.5 1 1.5", 0), 0u);
  EXPECT_EQ(std::count(rows[0].begin(), rows[0].end(), ' '), 20);
  EXPECT_EQ(std::count(rows[1].begin(), rows[1].end(), ' '), 20);
  EXPECT_EQ(rows[2], "lbl\t 20 20.5 21 21.5 22");
}

TEST(Print, KindsAndEmptyArrays) {
  log_to_file();
  const double d[3] = {1.5, -2, 1e-9};
  const int32_t iv[2] = {-1, 7};
  const signed char cv[3] = {-2, 0, 127};
  print_dvec(d, 0, "none", 0);
  print_dvec_neg(d, 3, "neg", -1);
  print_dvec_neg(d, 3, "pos", 1);
  print_ivec(iv, 2, "iv", 5);
  print_cvec(cv, 3, "cv", 0);
  EXPECT_EQ(read_file("log.txt"),
            "neg\t -1.5 2 -1e-09\n"
            "pos\t 1.5 -2 1e-09\n"
            "iv\t -1 7\n"
            "cv\t -2 0 127\n");
}

TEST(ShiftJis, ConversionHelperProducesCodePage932Bytes) {
  // Independent of iconv: the code table gives these bytes.
  EXPECT_EQ(sj("ランク不足　"), "\x83\x89\x83\x93\x83\x4e\x95\x73\x91\xab\x81\x40");
  EXPECT_EQ(sj("列(3) "), "\x97\xf1(3) ");
}
