// zk_set_log: the fast library's log routed to the caller's file, in UTF-8
// or Shift_JIS, or nowhere; a failed call that changes nothing; threads
// reporting while the route changes.  The route is process-wide, so every
// test sets its own first, and the one that needs a process where it was
// never set runs in a child process.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <stdlib.h>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "test_api.h"
#include "test_support.h"
#include "zelkor_simplex.h"

namespace {

const std::string PIVOT_MSG = "**** lu_fact: ピボットが見つからない。サイズ(3)ランク(2)\n";

// A refused singular factorization: check reports and the missing pivot.
void report_singular() {
  lu_handle* h = lu_new();
  ASSERT_NO_FATAL_FAILURE(load_order3(h, 0.0));
  int rank = 0, *q = nullptr, *r = nullptr;
  EXPECT_EQ(lu_factoring(h, 0, &rank, &q, &r), -1);
  lu_delete(h);
}

}  // namespace

TEST(LogRoute, NullWritesNoFileAtAll) {
  ASSERT_EQ(zk_set_log(nullptr, 0), 0);
  ASSERT_NO_FATAL_FAILURE(report_singular());
  EXPECT_EQ(listing(), std::vector<std::string>{});
}

// A path: appended (what was there stays), in UTF-8 or Shift_JIS as asked;
// a new route takes the reports from the call on.
TEST(LogRoute, ReportsGoToThePathInTheEncodingAsked) {
  std::filesystem::create_directory("logs");
  write_file("logs/u.txt", "kept\n");
  ASSERT_EQ(zk_set_log("logs/u.txt", 1), 0);
  ASSERT_NO_FATAL_FAILURE(report_singular());
  std::string u = read_file("logs/u.txt");
  EXPECT_EQ(u.rfind("kept\n*** CHK", 0), 0u) << u;
  EXPECT_EQ(count_matches(u, re_escape(PIVOT_MSG)), 1) << u;

  ASSERT_EQ(zk_set_log("s.txt", 0), 0);  // created
  ASSERT_NO_FATAL_FAILURE(report_singular());
  EXPECT_EQ(read_file("logs/u.txt"), u);
  std::string s = read_file("s.txt");
  EXPECT_EQ(count_matches(s, re_escape(sj(PIVOT_MSG))), 1) << s;
  EXPECT_EQ(listing(), (std::vector<std::string>{"logs", "s.txt"}));  // no Zelkordbg.txt
}

// A path that cannot be opened: -1, a line on stderr, and the route and its
// encoding as they were.
TEST(LogRoute, AFailedCallChangesNothing) {
  ASSERT_EQ(zk_set_log("a.txt", 1), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(zk_set_log("no/such/dir/b.txt", 0), -1);
  EXPECT_EQ(zk_set_log(".", 0), -1);  // a directory
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(count_matches(err, "zk_set_log: cannot open file\\(no/such/dir/b.txt\\)\n"), 1) << err;
  EXPECT_EQ(count_matches(err, "zk_set_log: cannot open file\\(\\.\\)\n"), 1) << err;
  ASSERT_NO_FATAL_FAILURE(report_singular());
  EXPECT_EQ(count_matches(read_file("a.txt"), re_escape(PIVOT_MSG)), 1);
  EXPECT_EQ(listing(), std::vector<std::string>{"a.txt"});
}

// Before any successful call the log is Zelkordbg.txt, in Shift_JIS, also
// after a failed one.  In a fresh process (earlier tests set routes), which
// starts in the directory the tests were started in, without the test
// directory: it makes a temporary directory of its own.
TEST(LogRoute, WithoutACallTheLogIsZelkordbg) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::string dir = (std::filesystem::temp_directory_path() / "zelkor-child-XXXXXX").string();
        bool ok = mkdtemp(dir.data()) != nullptr;
        std::filesystem::current_path(dir);
        testing::internal::CaptureStderr();
        ok = ok && zk_set_log("no/such/dir/b.txt", 1) == -1;
        testing::internal::GetCapturedStderr();
        report_singular();
        ok = ok && count_matches(read_file("Zelkordbg.txt"), re_escape(sj(PIVOT_MSG))) == 1;
        ok = ok && listing() == std::vector<std::string>{"Zelkordbg.txt"};
        std::filesystem::remove_all(dir);
        std::exit(ok && !testing::Test::HasFailure() ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

// Two threads report while the main thread moves the route back and forth:
// every report lands whole in one of the two files.
TEST(LogRouteThreads, ReportsStayWholeWhileTheRouteChanges) {
  ASSERT_EQ(zk_set_log("r0.txt", 1), 0);
  const int per_thread = 400;
  std::atomic<int> running{2};
  auto reporter = [&] {
    lu_handle* h = lu_new();
    load_order3(h, 4.0);
    for (int k = 0; k < per_thread; ++k)
      EXPECT_EQ(lu_kakunin(h), -1);  // loaded, not factorized: one check report
    lu_delete(h);
    --running;
  };
  std::thread a(reporter), b(reporter);
  for (int k = 0; running > 0; ++k)
    ASSERT_EQ(zk_set_log(k % 2 ? "r0.txt" : "r1.txt", k % 2), 0);
  a.join();
  b.join();
  ASSERT_EQ(zk_set_log(nullptr, 0), 0);
  std::string all = read_file("r0.txt") + read_file("r1.txt");
  std::string line = chk('B', "zelkor_cc.cpp", "1", "0", "1");
  EXPECT_EQ(count_matches(all, line), 2 * per_thread);
  EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 2 * per_thread);  // nothing else
}
