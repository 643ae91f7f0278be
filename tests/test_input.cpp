// Reading the coefficient and right-hand-side files, sorting and removing
// repeated positions.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"
#include "zk_input.h"

namespace {

struct coef_read {
  int rc;
  std::vector<triplet> list;
  int32_t count;
  int32_t sz;
  std::string out;  // standard output of the read
};

// Writes text as "aij.txt" and reads it back.
coef_read read_coef(const std::string& text) {
  write_file("aij.txt", text);
  coef_read r{0, {{9, 9, 9.0}}, -7, -7, ""};  // stale values the read must reset
  testing::internal::CaptureStdout();
  r.rc = read_coef_file("aij.txt", r.list, &r.count, &r.sz);
  r.out = testing::internal::GetCapturedStdout();
  return r;
}

struct rhs_read {
  int rc;
  std::vector<double> b;
  std::string out;
};

// Writes text as "b.txt" and reads it for order sz.
rhs_read read_rhs(const std::string& text, int32_t sz) {
  write_file("b.txt", text);
  rhs_read r{0, {7.0, 7.0, 7.0, 7.0, 7.0, 7.0}, ""};
  testing::internal::CaptureStdout();
  r.rc = read_rhs_file("b.txt", sz, r.b);
  r.out = testing::internal::GetCapturedStdout();
  return r;
}

std::vector<std::pair<int32_t, int32_t>> positions(const std::vector<triplet>& list) {
  std::vector<std::pair<int32_t, int32_t>> p;
  for (const triplet& t : list)
    p.emplace_back(t.i, t.j);
  return p;
}

std::vector<double> values(const std::vector<triplet>& list) {
  std::vector<double> v;
  for (const triplet& t : list)
    v.push_back(t.v);
  return v;
}

using pos = std::vector<std::pair<int32_t, int32_t>>;

}  // namespace

TEST(CoefFile, ReadsNonZeroElementsInFileOrderAndTheOrderFromAllDataLines) {
  coef_read r = read_coef(
      "# comment 1,1,1\n"
      "\n"
      " 1, 2,  -2.5 words after the value\n"
      "0,0,1\n"
      "3,4,0\n"           // zero: no element, but the order is at least 5
      "6,0,-0.0\n"        // -0.0 is zero too
      "+2,1,0x1p-2\n"     // sign on the index, hex value
      "0,1,1e-310\n"      // subnormal: a non-zero value
      "-0,8,1e-400\n"     // underflows to zero: counts for the order only
      "\t2,\t2,3e-4");    // last line without a newline
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(positions(r.list), (pos{{1, 2}, {0, 0}, {2, 1}, {0, 1}, {2, 2}}));
  EXPECT_EQ(values(r.list), (std::vector<double>{-2.5, 1.0, 0.25, 1e-310, 3e-4}));
  EXPECT_EQ(r.count, 5);
  EXPECT_EQ(r.sz, 9);

  r = read_coef("# nothing but comments\n\n");
  EXPECT_EQ(r.rc, 0);
  EXPECT_TRUE(r.list.empty());
  EXPECT_EQ(r.count, 0);
  EXPECT_EQ(r.sz, 0);
}

TEST(CoefFile, IndicesUpToTheLargestOrderAreAccepted) {
  coef_read r = read_coef("2147483646,0,1\n0,0002147483646,0\n");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(positions(r.list), (pos{{2147483646, 0}}));
  EXPECT_EQ(r.count, 1);
  EXPECT_EQ(r.sz, 2147483647);
}

TEST(CoefFile, BadLineIsReportedWithItsNumberAndEndsTheRead) {
  const char* bad[] = {
      "1 ,2,3", "1,2 ,3", "   ", "\t", " \r\n", "1,2", "1,2,", "1,2,x", "a,1,2", "1;2;3",
      "- 1,2,3", "+,2,3", "0x1,2,3", "-1,0,1", "0,-1,1",
      // values that are not finite
      "0,0,nan", "0,0,NaN(1)", "0,0,inf", "0,0,-inf", "0,0,INFINITY", "0,0,-Infinity",
      "0,0,1e400", "0,0,-1e400", "0,0,0x1p99999",
      // indices whose order would not fit in 32 bits
      "2147483647,0,1", "0,2147483647,1", "99999999999,0,1", "0,99999999999999999999999,1",
      "-99999999999,0,1"};
  for (const char* line : bad) {
    SCOPED_TRACE(line);
    // The line after the bad one is bad too: a second message would show it was read.
    coef_read r = read_coef(std::string("# one\n# two\n") + line + "\n0,0,1\nnot data\n");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.out, "error data. file(aij.txt) seq(3)\n");
  }
}

TEST(CoefFile, LongLinesAreOneLineEach) {
  std::string text = "#" + std::string(10000, ' ') + "5,5,5\n"  // a comment
                     + std::string(297, ' ') + "1,2,3\n"        // one element
                     + "0,0,1" + std::string(10000, ' ') + "7,7,7\n"  // the tail is ignored
                     + std::string(9990, ' ') + "4, 3, 2\n";
  coef_read r = read_coef(text);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(positions(r.list), (pos{{1, 2}, {0, 0}, {4, 3}}));
  EXPECT_EQ(r.sz, 5);

  // Line numbers count physical lines however long they are.
  r = read_coef("#" + std::string(600, 'x') + "\n" + std::string(600, ' ') + "0,0,1\nbad\n");
  EXPECT_EQ(r.out, "error data. file(aij.txt) seq(3)\n");

  // A NUL byte ends what is parsed of its line but does not hide the newline.
  r = read_coef(std::string("1,1,1\0tail\n2,2,2\n", 17));
  EXPECT_EQ(positions(r.list), (pos{{1, 1}, {2, 2}}));
  EXPECT_EQ(values(r.list), (std::vector<double>{1.0, 2.0}));
}

TEST(CoefFile, CrAndCrLfLineEndsAreNewlines) {
  coef_read r = read_coef("# c\r\n\r\n0,0,1\r\n1,1,2\r\n");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(positions(r.list), (pos{{0, 0}, {1, 1}}));
  EXPECT_EQ(values(r.list), (std::vector<double>{1.0, 2.0}));

  // A bare carriage return ends a line as well, and a line of it alone is
  // empty; "\r\r\n" is two line ends.  Mixed endings count line by line.
  r = read_coef("# c\r\r0,0,1\r1,1,2\r\r\n2,2,3\n3,3,4\r");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(positions(r.list), (pos{{0, 0}, {1, 1}, {2, 2}, {3, 3}}));
  EXPECT_EQ(r.sz, 4);
  r = read_coef("0,0,1\r\r\n\rbad\r0,0,2\r");
  EXPECT_EQ(r.out, "error data. file(aij.txt) seq(4)\n");
}

TEST(InputFiles, MissingFilesAreReportedByName) {
  std::vector<triplet> list{{1, 1, 1.0}};
  int32_t count = 5, sz = 5;
  testing::internal::CaptureStdout();
  EXPECT_EQ(read_coef_file("missing.txt", list, &count, &sz), -1);
  EXPECT_EQ(read_coef_file("", list, &count, &sz), -1);
  std::vector<double> b;
  EXPECT_EQ(read_rhs_file("nob.txt", 3, b), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "cannot open file(missing.txt)\ncannot open file()\ncannot open file(nob.txt)\n");
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(count, 0);
  EXPECT_EQ(sz, 0);
}

TEST(InputFiles, ReadErrorIsNotTheEndOfAFile) {
  // A directory opens for reading on this system, but reading it fails.
  ASSERT_EQ(mkdir("adir", 0755), 0);
  std::vector<triplet> list;
  int32_t count, sz;
  std::vector<double> b;
  testing::internal::CaptureStdout();
  EXPECT_EQ(read_coef_file("adir", list, &count, &sz), -1);
  EXPECT_EQ(read_rhs_file("adir", 2, b), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "cannot read file(adir)\ncannot read file(adir)\n");
}

TEST(RhsFile, ReadsComponentsIntoZeroedVector) {
  rhs_read r = read_rhs(
      "# comment\n"
      "\n"
      " 3, 1.5 tail\n"
      "0,2\r\n"
      "0,-1\n"      // replaces the 2
      "1,7\n"
      "1,0\n"       // zero is stored like any value
      "2,4,5\n",    // "%d,%le": the third number is ignored
      5);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.b, (std::vector<double>{-1.0, 0.0, 4.0, 1.5, 0.0}));

  r = read_rhs("# no data\n\n", 3);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.b, (std::vector<double>{0.0, 0.0, 0.0}));

  r = read_rhs(std::string(5000, ' ') + "3,1\n", 4);
  EXPECT_EQ(r.b, (std::vector<double>{0.0, 0.0, 0.0, 1.0}));

  // Bare carriage returns end lines as "\n" and "\r\n" do.
  r = read_rhs("# c\r\r0,1\r1,2\r\n2,3\r", 4);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.b, (std::vector<double>{1.0, 2.0, 3.0, 0.0}));
  r = read_rhs("0,1\r4,1\r", 4);
  EXPECT_EQ(r.out, "error data. file(b.txt) seq(2)\n");
}

TEST(RhsFile, IndexMustBeBelowTheOrder) {
  rhs_read r = read_rhs("0,1\n# c\n3,1\n", 4);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.b, (std::vector<double>{1.0, 0.0, 0.0, 1.0}));

  const char* bad[] = {"4,1", "-1,1", "2147483647,1", "1 ,1", "1,inf", "1,nan", "1", "   "};
  for (const char* line : bad) {
    SCOPED_TRACE(line);
    r = read_rhs(std::string("0,1\n# c\n") + line + "\nbad\n", 4);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.out, "error data. file(b.txt) seq(3)\n");
  }
  r = read_rhs("0,1\n", 0);  // no equations: every index is out of range
  EXPECT_EQ(r.out, "error data. file(b.txt) seq(1)\n");
}

TEST(SortDedup, KeepsTheFirstInFileOrderOfEveryPosition) {
  coef_read r = read_coef("0,0,1\n1,1,2\n0,0,5\n");
  ASSERT_EQ(r.count, 3);
  EXPECT_EQ(sort_dedup(r.list), 2);
  EXPECT_EQ(positions(r.list), (pos{{0, 0}, {1, 1}}));
  EXPECT_EQ(values(r.list), (std::vector<double>{1.0, 2.0}));

  // Many duplicates in shuffled order; the value tells the place in the file.
  std::mt19937 gen(12345);
  std::vector<triplet> list;
  std::map<std::pair<int32_t, int32_t>, double> first;
  for (int n = 0; n < 2000; ++n) {
    triplet t{static_cast<int32_t>(gen() % 7), static_cast<int32_t>(gen() % 9), n + 1.0};
    list.push_back(t);
    first.emplace(std::make_pair(t.i, t.j), t.v);  // keeps the earliest
  }
  EXPECT_EQ(sort_dedup(list), static_cast<int32_t>(first.size()));
  std::vector<triplet> expected;
  for (const auto& [p, v] : first)
    expected.push_back({p.first, p.second, v});
  EXPECT_EQ(positions(list), positions(expected));
  EXPECT_EQ(values(list), values(expected));

  list.clear();
  EXPECT_EQ(sort_dedup(list), 0);
}
