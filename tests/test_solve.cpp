// The dense transforms and the factorization check from inside: the
// comparison routines and their log lines, the verification of each
// transform pair, refusals of single stages, the consistency reports of the
// stages, and the accuracy of solves measured against the factors themselves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "lp_kesh.h"
#include "lp_lumx.h"
#include "lp_sm_lu.h"
#include "lp_ve.h"
#include "mtx.h"
#include "test_diag.h"
#include "test_matrix.h"
#include "test_support.h"
#include "zelkor.h"

namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  size_t from = 0;
  while (from < text.size()) {
    size_t nl = text.find('\n', from);
    size_t end = nl == std::string::npos ? text.size() : nl + 1;
    out.push_back(text.substr(from, end - from));
    from = end;
  }
  return out;
}

// One check report of kind B or Y from lp_sm_lu.cpp, any line number.
bool is_report(const std::string& line, char kind, const std::string& x, const std::string& y,
               const std::string& z) {
  return matches(line, chk(kind, "lp_sm_lu.cpp", x, y, z));
}

// The mismatch line, built from the format of the comparison with the
// values the caller expects.
std::string mismatch_line(int j, const char* lx, double x, const char* ly, double y, double diff,
                          double ratio) {
  char nums[4][64];
  std::snprintf(nums[0], 64, "%.9g", x);
  std::snprintf(nums[1], 64, "%.9g", y);
  std::snprintf(nums[2], 64, "%e", diff);
  std::snprintf(nums[3], 64, "%e", ratio);
  return sj("★誤差 [") + std::to_string(j) + "]" + sj(lx) + "(" + nums[0] + ") " + sj(ly) + "(" +
         nums[1] + ") " + sj("差") + "(" + nums[2] + ") " + sj("比-1") + "(" + nums[3] + ")\n";
}

std::string dvec_row(const char* label, const std::vector<double>& v) {
  std::string s = sj(label) + "\t";
  char buf[64];
  for (double x : v) {
    std::snprintf(buf, sizeof buf, " %g", x);
    s += buf;
  }
  return s + "\n";
}

// The labels of the transforms, in UTF-8 as the library passes them (the
// log converts them to code page 932).
const char* const F_X = "元(LU_ftrand)";
const char* const F_Y = "後(ＢＢ^α)";
const char* const B_X = "元(LU_btrand)";
const char* const B_Y = "後(πＢ^Ｂ)";

// Loads and factorizes a matrix of order n through the library's entry
// points, keeping the copy for the verification.
b_rec* factorized(int n, const std::vector<mtx_entry>& es) {
  b_rec* b = lu_new();
  basis_check = 2;
  EXPECT_EQ(lu_resize(b, n), 0);
  for (const mtx_entry& e : es)
    EXPECT_GE(lu_append(b, e.row, e.col, e.v), 0);
  int rank = -1;
  int* q = nullptr;
  int* r = nullptr;
  EXPECT_EQ(lu_factoring(b, 0, &rank, &q, &r), 0);
  EXPECT_EQ(rank, n);
  return b;
}

// A permuted lower triangle with power-of-two values: row 0 = 2 at column 1;
// row 1 = 1 at column 1, 4 at column 2; row 2 = 1 at column 2, 8 at column 0.
// Every transform on small integers is exact, it has L etas, and it needs
// the column permutation.
const std::vector<mtx_entry> TRI3 = {{0, 1, 2.0}, {1, 1, 1.0}, {1, 2, 4.0}, {2, 2, 1.0}, {2, 0, 8.0}};

// Rows (-4, 8, 0), (4, 8, 0), (1, 0, 2): no row singleton, so the column
// singleton goes first and leaves a U part; whichever pivots follow, they are
// powers of two (8, then -8 or 8), so the factors and every transform of
// small integers are exact.  It has L and U etas and needs both permutations.
const std::vector<mtx_entry> M3 = {{0, 0, -4.0}, {0, 1, 8.0}, {1, 0, 4.0},
                                   {1, 1, 8.0},  {2, 2, 2.0}, {2, 0, 1.0}};

std::vector<double> ftran(b_rec* b, std::vector<double> x, int* rc = nullptr) {
  lu_ftran_d1(b, x.data());
  int r = lu_ftran_d2(b, x.data());
  if (rc)
    *rc = r;
  return x;
}
std::vector<double> btran(b_rec* b, std::vector<double> y, int unit = -1, int* rc = nullptr) {
  EXPECT_EQ(lu_btran_d1(b, y.data(), unit), 1);
  int r = lu_btran_d2(b, y.data());
  if (rc)
    *rc = r;
  return y;
}

// Every test here looks at what it writes to the log.
using BBCheck = LogTest;
using TransformVerification = LogTest;
using TransformStages = LogTest;
using SolveAccuracy = LogTest;

}  // namespace

// ---- the comparison -------------------------------------------------------------------

TEST_F(BBCheck, EmptyComparisonSaysNothing) {
  EXPECT_EQ(b_BB_check_d(0, nullptr, nullptr, F_X, F_Y), 0);
  double x[2] = {1.0, 2.0};
  EXPECT_EQ(b_BB_check_d(2, x, x, F_X, F_Y), 0);
  EXPECT_EQ(log.take(), "");
}

TEST_F(BBCheck, ToleranceExamplesAndTheirLines) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // Agreeing: 0 / 5e-8 (absolute), 1000 / 1000.00005 (relative 1e-4),
  // 1000 / 1000.0005 and -1000 / -1000.0005 (ratio within 1e-6).
  // Disagreeing: 0 / 2e-7, 0.5 / 0.5000002, 1000 / 1000.002, 2 / 0, 1 / NaN,
  // and 1 / 1.0000002 (the ratio test needs |x| above 1).
  std::vector<double> x = {0, 0, 0.5, 1000, 1000, 1000, 2, 1, -1000, 1};
  std::vector<double> y = {5e-8, 2e-7, 0.5000002, 1000.00005, 1000.0005, 1000.002, 0, nan,
                           -1000.0005, 1.0000002};
  EXPECT_EQ(b_BB_check_d(10, x.data(), y.data(), F_X, F_Y), 6);
  std::vector<std::string> got = lines_of(log.take());
  ASSERT_EQ(got.size(), 8u);
  EXPECT_EQ(got[0], sj("★誤差 [1]元(LU_ftrand)(0) 後(ＢＢ^α)(2e-07) 差(-2.000000e-07) 比-1(2.000000e-07)\n"));
  EXPECT_EQ(got[1], sj("★誤差 [2]元(LU_ftrand)(0.5) 後(ＢＢ^α)(0.5000002) 差(-2.000000e-07) 比-1(4.000000e-07)\n"));
  EXPECT_EQ(got[2], sj("★誤差 [5]元(LU_ftrand)(1000) 後(ＢＢ^α)(1000.002) 差(-2.000000e-03) 比-1(2.000000e-06)\n"));
  EXPECT_EQ(got[3], sj("★誤差 [6]元(LU_ftrand)(2) 後(ＢＢ^α)(0) 差(2.000000e+00) 比-1(inf)\n"));
  EXPECT_EQ(got[4], sj("★誤差 [7]元(LU_ftrand)(1) 後(ＢＢ^α)(nan) 差(nan) 比-1(nan)\n"));
  EXPECT_EQ(got[5], sj("★誤差 [9]元(LU_ftrand)(1) 後(ＢＢ^α)(1.0000002) 差(-2.000000e-07) 比-1(2.000000e-07)\n"));
  EXPECT_TRUE(is_report(got[6], 'B', "0", "6", "0")) << got[6];
  EXPECT_EQ(got[7], "b_BB_check_d num(10) cnt(6)\n");

  // The same first line in code page 932 bytes, written out: ★ 81 9A, 誤差
  // 8C EB 8D B7, 元 8C B3, 後 8C E3, Ｂ 82 61, α 83 BF, 差 8D B7, 比 94 E4.
  EXPECT_EQ(got[0],
            "\x81\x9A\x8C\xEB\x8D\xB7 [1]\x8C\xB3(LU_ftrand)(0) "
            "\x8C\xE3(\x82\x61\x82\x61^\x83\xBF)(2e-07) \x8D\xB7(-2.000000e-07) "
            "\x94\xE4-1(2.000000e-07)\n");
}

TEST_F(BBCheck, NinePrintedLinesOfTwelveMismatches) {
  // Positions 3, 7 and 11 agree; the twelve others disagree.
  std::vector<double> x(15, 0.0), y(15, 1.0);
  y[3] = y[7] = y[11] = 0.0;
  EXPECT_EQ(b_BB_check_d(15, x.data(), y.data(), B_X, B_Y), 12);
  std::vector<std::string> got = lines_of(log.take());
  ASSERT_EQ(got.size(), 11u);
  const int printed[9] = {0, 1, 2, 4, 5, 6, 8, 9, 10};
  for (int i = 0; i < 9; ++i)
    EXPECT_EQ(got[i], mismatch_line(printed[i], B_X, 0.0, B_Y, 1.0, -1.0, 1.0));
  EXPECT_TRUE(is_report(got[9], 'B', "0", "12", "0")) << got[9];
  EXPECT_EQ(got[10], "b_BB_check_d num(15) cnt(12)\n");
}

TEST_F(BBCheck, WorkVectorsCountUnmarkedPositionsAsZero) {
  lpvect2 xv{}, yv{};
  ASSERT_EQ(lpvect2_alloc(&xv, 6, nullptr), 0);
  ASSERT_EQ(lpvect2_alloc(&yv, 6, nullptr), 0);
  lpvect2_newmark(&xv);
  lpvect2_newmark(&yv);
  lpvect2_set(&yv, 5, 2.0);  // in use in this generation only
  lpvect2_newmark(&yv);
  lpvect2_set(&xv, 0, 1.0);
  lpvect2_set(&xv, 2, 0.5);
  lpvect2_set(&xv, 5, 2.0);
  xv.va[3] = 99.0;  // not in use: counts as 0
  lpvect2_set(&yv, 0, 1.0);
  lpvect2_set(&yv, 1, 2e-7);
  lpvect2_set(&yv, 2, 0.5000002);
  lpvect2_set(&yv, 4, 0.0);
  yv.va[3] = -5.0;
  // 0: 1/1 agrees; 1: 0/2e-7; 2: 0.5/0.5000002; 3: 0/0; 4: 0/0; 5: 2/0 (the 2 of
  // the old generation no longer counts).
  EXPECT_EQ(b_BB_check_v2(6, &xv, &yv, F_X, F_Y), 3);
  std::vector<std::string> got = lines_of(log.take());
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[0], mismatch_line(1, F_X, 0.0, F_Y, 2e-7, -2e-7, 2e-7));
  EXPECT_EQ(got[1], sj("★誤差 [2]元(LU_ftrand)(0.5) 後(ＢＢ^α)(0.5000002) 差(-2.000000e-07) 比-1(4.000000e-07)\n"));
  EXPECT_EQ(got[2], sj("★誤差 [5]元(LU_ftrand)(2) 後(ＢＢ^α)(0) 差(2.000000e+00) 比-1(inf)\n"));
  EXPECT_TRUE(is_report(got[3], 'B', "0", "3", "0")) << got[3];
  EXPECT_EQ(got[4], "b_BB_check_v2 num(6) cnt(3)\n");

  EXPECT_EQ(b_BB_check_v2(0, &xv, &yv, F_X, F_Y), 0);
  EXPECT_EQ(log.take(), "");
  lpvect2_free(&xv);
  lpvect2_free(&yv);
}

// ---- verification inside the transforms -----------------------------------------------

TEST_F(TransformVerification, ExactFactorsPassSilently) {
  b_rec* b = factorized(3, M3);
  basis_check = 2;
  check_print = 2;
  log.take();
  int rc = -5;
  std::vector<double> x = ftran(b, {2.0, 9.0, 17.0}, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(mul(M3, x), (std::vector<double>{2.0, 9.0, 17.0}));
  std::vector<double> y = btran(b, {8.0, 3.0, 5.0}, -1, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(mul_left(M3, y), (std::vector<double>{8.0, 3.0, 5.0}));
  EXPECT_EQ(lu_kakunin_d(b), 0);
  EXPECT_EQ(log.take(), "");
  lu_delete(b);
}

TEST_F(TransformVerification, PerturbedPivotIsReportedWithVectors) {
  b_rec* b = factorized(3, M3);
  basis_check = 2;
  check_print = 2;
  // Halve one reciprocal pivot: exact arithmetic stays exact, answers change.
  int r = b->lw.head;  // the pivot row of step 0
  ASSERT_GE(r, 0);
  b->diag_v[r] *= 0.5;
  log.take();

  for (bool forward : {true, false}) {
    SCOPED_TRACE(forward ? "forward" : "backward");
    std::vector<double> in = {1.0, 2.0, 3.0};
    int rc = -5;
    std::vector<double> out = forward ? ftran(b, in, &rc) : btran(b, in, -1, &rc);
    std::vector<double> check = forward ? mul(M3, out) : mul_left(M3, out);
    std::vector<std::string> expect;
    for (int j = 0; j < 3; ++j) {
      if (check[j] == in[j])
        continue;
      double q = std::fabs(in[j] / check[j]);
      q = (q < 1.0 ? 1.0 / q : q) - 1.0;
      expect.push_back(mismatch_line(j, forward ? F_X : B_X, in[j], forward ? F_Y : B_Y, check[j],
                                     in[j] - check[j], q));
    }
    int cnt = (int)expect.size();
    ASSERT_GT(cnt, 0);
    EXPECT_EQ(rc, cnt);
    std::vector<std::string> got = lines_of(log.take());
    ASSERT_EQ(got.size(), expect.size() + 5);
    for (int i = 0; i < cnt; ++i)
      EXPECT_EQ(got[i], expect[i]);
    EXPECT_TRUE(is_report(got[cnt], 'B', "0", std::to_string(cnt), "0")) << got[cnt];
    EXPECT_EQ(got[cnt + 1], "b_BB_check_d num(3) cnt(" + std::to_string(cnt) + ")\n");
    EXPECT_EQ(got[cnt + 2], dvec_row(forward ? "入力ｘ" : "入力ｙ", in));
    EXPECT_EQ(got[cnt + 3], dvec_row(forward ? "Ｂ^ｘ " : "ｙＢ^ ", out));
    EXPECT_EQ(got[cnt + 4], dvec_row("検算後", check));
  }

  // check_print 1: the comparison's lines only.
  check_print = 1;
  int rc = -5;
  ftran(b, {1.0, 2.0, 3.0}, &rc);
  std::string text = log.take();
  EXPECT_GT(rc, 0);
  EXPECT_EQ((int)lines_of(text).size(), rc + 2) << text;
  EXPECT_EQ(text.find(sj("検算後")), std::string::npos);

  // Without verification the same transforms say nothing and return 0.
  basis_check = 0;
  ftran(b, {1.0, 2.0, 3.0}, &rc);
  EXPECT_EQ(rc, 0);
  btran(b, {1.0, 2.0, 3.0}, -1, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(lu_kakunin_d(b), 0);
  EXPECT_EQ(log.take(), "");
  lu_delete(b);
}

TEST_F(TransformVerification, CheckOfEveryUnitVectorWithDoubledInverse) {
  b_rec* b = factorized(3, M3);
  basis_check = 2;
  check_print = 0;
  // Halving every pivot doubles B⁻¹: each transform of eᵢ comes back as 2eᵢ,
  // one mismatch at position i, both ways.
  for (int i = 0; i < 3; ++i)
    b->diag_v[i] *= 2.0;
  log.take();
  EXPECT_EQ(lu_kakunin_d(b), 1);
  std::vector<std::string> got = lines_of(log.take());
  ASSERT_EQ(got.size(), 18u);
  for (int t = 0; t < 6; ++t) {
    int i = t % 3;
    bool fw = t < 3;
    EXPECT_EQ(got[3 * t], mismatch_line(i, fw ? F_X : B_X, 1.0, fw ? F_Y : B_Y, 2.0, -1.0, 1.0));
    EXPECT_TRUE(is_report(got[3 * t + 1], 'B', "0", "1", "0")) << got[3 * t + 1];
    EXPECT_EQ(got[3 * t + 2], "b_BB_check_d num(3) cnt(1)\n");
  }
  lu_delete(b);
}

TEST_F(TransformVerification, CheckReturnsTheCountOfItsLastBackwardTransform) {
  // Halve the pivot of each step in turn; the transforms of the unit vectors
  // then fail at different positions, and only the last backward count is
  // the check's result.
  bool discriminating = false;
  for (int step = 0; step < 3; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    b_rec* b = factorized(3, M3);
    basis_check = 2;
    check_print = 0;
    int r = b->lw.head;
    for (int k = 0; k < step; ++k)
      r = b->lw.pfv[r].next;
    b->diag_v[r] *= 0.5;
    std::vector<int> counts;
    for (int i = 0; i < 3; ++i) {
      std::vector<double> e(3, 0.0);
      e[i] = 1.0;
      int rc = -5;
      btran(b, e, i, &rc);
      counts.push_back(rc);
    }
    discriminating |= counts[2] != *std::max_element(counts.begin(), counts.end());
    log.take();
    EXPECT_EQ(lu_kakunin_d(b), counts[2]);
    lu_delete(b);
  }
  EXPECT_TRUE(discriminating);
}

// ---- the stages one by one ---------------------------------------------------------------

TEST_F(TransformStages, BackwardFirstStageReturnsOneWhateverTheUnitPosition) {
  std::mt19937_64 rng(8);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<mtx_entry> es;
  const int n = 12;
  for (int i = 0; i < n; ++i) {
    es.push_back({i, (i * 5) % n, 4.0 + u(rng)});
    es.push_back({i, (i * 5 + 3) % n, u(rng)});
    es.push_back({(i + 4) % n, (i * 7) % n, u(rng)});
  }
  // Merge the positions that coincide.
  std::sort(es.begin(), es.end(), [](const mtx_entry& a, const mtx_entry& c) {
    return a.row != c.row ? a.row < c.row : a.col < c.col;
  });
  std::vector<mtx_entry> uniq;
  for (const mtx_entry& e : es) {
    if (!uniq.empty() && uniq.back().row == e.row && uniq.back().col == e.col)
      uniq.back().v += e.v;
    else
      uniq.push_back(e);
  }
  b_rec* b = factorized(n, uniq);
  basis_check = 2;
  check_print = 2;
  log.take();
  for (int i = 0; i < n; ++i) {
    std::vector<double> e(n, 0.0);
    e[i] = 1.0;
    int rc1 = -5, rc2 = -5;
    std::vector<double> y1 = btran(b, e, i, &rc1);
    std::vector<double> y2 = btran(b, e, -1, &rc2);
    EXPECT_EQ(rc1, 0);
    EXPECT_EQ(rc2, 0);
    EXPECT_EQ(y1, y2) << i;
    std::vector<double> back = mul_left(uniq, y1);
    for (int j = 0; j < n; ++j)
      EXPECT_NEAR(back[j], e[j], 1e-13) << i << "," << j;
  }
  EXPECT_EQ(log.take(), "");
  lu_delete(b);
}

TEST_F(TransformStages, EachStageRefusesAFailedFactorization) {
  b_rec* b = factorized(3, M3);
  basis_check = 2;
  check_print = 2;
  log.take();
  for (int state : {2, -1}) {
    b->fact_state = state;
    std::string y = std::to_string(state);
    const std::vector<double> in = {1.0, -2.0, 3.5};
    for (int stage = 0; stage < 4; ++stage) {
      SCOPED_TRACE("stage " + std::to_string(stage) + " state " + y);
      std::vector<double> v = in;
      int rc = stage == 0   ? lu_ftran_d1(b, v.data())
               : stage == 1 ? lu_ftran_d2(b, v.data())
               : stage == 2 ? lu_btran_d1(b, v.data(), -1)
                            : lu_btran_d2(b, v.data());
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(v, in);
      std::vector<std::string> got = lines_of(log.take());
      ASSERT_EQ(got.size(), 1u);
      EXPECT_TRUE(is_report(got[0], 'B', "0", y, "0")) << got[0];
    }
  }
  b->fact_state = 0;
  lu_delete(b);
}

TEST_F(TransformStages, WrongEtaKindIsReportedByBackwardStagesOnly) {
  b_rec* b = factorized(3, M3);
  basis_check = 2;
  check_print = 2;
  const std::vector<double> in = {8.0, 3.0, 5.0};
  std::vector<double> want_y = btran(b, in);
  std::vector<double> want_x = ftran(b, in);
  log.take();

  b->lw.kind = 5;
  int rc = -5;
  EXPECT_EQ(lu_btran_d1(b, std::vector<double>(in).data(), -1), 1);
  std::vector<std::string> got = lines_of(log.take());
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(is_report(got[0], 'B', "1", "5", "1")) << got[0];

  std::vector<double> y = btran(b, in, -1, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(y, want_y);
  got = lines_of(log.take());
  ASSERT_EQ(got.size(), 2u);  // one per stage
  for (const std::string& l : got)
    EXPECT_TRUE(is_report(l, 'B', "1", "5", "1")) << l;

  b->up.kind = 2;
  y = btran(b, in, -1, &rc);
  EXPECT_EQ(y, want_y);
  got = lines_of(log.take());
  ASSERT_EQ(got.size(), 4u);
  EXPECT_TRUE(is_report(got[0], 'B', "1", "5", "1")) << got[0];
  EXPECT_TRUE(is_report(got[1], 'B', "1", "2", "1")) << got[1];
  EXPECT_TRUE(is_report(got[2], 'B', "1", "5", "1")) << got[2];
  EXPECT_TRUE(is_report(got[3], 'B', "1", "2", "1")) << got[3];

  // The forward stages do not look at the kinds.
  EXPECT_EQ(ftran(b, in, &rc), want_x);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(log.take(), "");
  b->lw.kind = b->up.kind = 1;
  lu_delete(b);
}

TEST_F(TransformStages, LEtaEntryForItsOwnRowIsReported) {
  b_rec* b = factorized(3, TRI3);
  basis_check = 0;
  check_print = 2;
  // Point the first entry of the first non-empty L eta at the eta's own row.
  int s = b->lw.nz_head;
  ASSERT_GE(s, 0);
  int k = b->lw.pfv[s].first;
  ASSERT_GE(k, 0);
  int target = b->lu->av.i[k];
  ASSERT_NE(target, s);
  b->lu->av.i[k] = s;
  double v = b->lu->av.v[k];
  log.take();

  std::vector<double> x = {0.0, 0.0, 0.0};
  x[s] = 3.0;
  lu_chain_walk = true;  // the altered chain, not the packed file
  EXPECT_EQ(lu_ftran_d1(b, x.data()), 0);
  lu_chain_walk = false;
  std::vector<std::string> got = lines_of(log.take());
  ASSERT_EQ(got.size(), 1u);
  char val[32];
  std::snprintf(val, sizeof val, "%g", 3.0 * v);
  EXPECT_TRUE(is_report(got[0], 'Y', "0", val, "0")) << got[0];
  // The position keeps its value from before the eta (then scaled by its
  // pivot); the entry no longer reaches the row it was meant for.
  EXPECT_EQ(x[s], 3.0 * b->diag_v[s]);
  EXPECT_EQ(x[target], 0.0);
  b->lu->av.i[k] = target;
  lu_delete(b);
}

TEST_F(TransformStages, ScatterAndGatherAreInversePermutations) {
  b_rec* b = factorized(3, TRI3);
  // Pivot rows 0, 1, 2 are matched with columns 1, 2, 0 whatever the order
  // of the steps: the triangle has one transversal.
  EXPECT_EQ(b->ips1[0], 1);
  EXPECT_EQ(b->ips1[1], 2);
  EXPECT_EQ(b->ips1[2], 0);
  std::vector<double> v = {10.0, 20.0, 30.0};
  lu_scatter_ips1(b, v.data());
  EXPECT_EQ(v, (std::vector<double>{30.0, 10.0, 20.0}));
  lu_gather_ips1(b, v.data());
  EXPECT_EQ(v, (std::vector<double>{10.0, 20.0, 30.0}));
  lu_delete(b);
}

// ---- accuracy against the factors ------------------------------------------------------------

namespace {

// Norms of |L||D||U| (B' = L·D·U, the factors read back from the eta files):
// the largest row sum and the largest column sum, and the longest line of
// L + U (entries in one eta or applying to one row, plus the diagonal).
struct FactorNorms {
  double rows = 0.0;
  double cols = 0.0;
  int longest = 0;
};

FactorNorms factor_norms(const b_rec* b) {
  int n = b->sz;
  const lumx* lu = b->lu;
  std::vector<double> d(n), urow(n, 1.0), lcol(n, 1.0);
  std::vector<int> lrow_n(n, 1), urow_n(n, 1);
  FactorNorms fn;
  for (int r = 0; r < n; ++r) {
    d[r] = std::fabs(1.0 / b->diag_v[r]);
    int in_l = 1, in_u = 1;
    for (int k = b->lw.pfv[r].first; k >= 0; k = lu->av.nexti[k]) {
      lcol[r] += std::fabs(lu->av.v[k]);
      ++lrow_n[lu->av.i[k]];
      ++in_l;
    }
    for (int k = b->up.pfv[r].first; k >= 0; k = lu->av.nexti[k]) {
      urow[lu->av.i[k]] += std::fabs(lu->av.v[k]);
      ++urow_n[lu->av.i[k]];
      ++in_u;
    }
    fn.longest = std::max({fn.longest, in_l, in_u});
  }
  std::vector<double> w(n), c(n);
  for (int r = 0; r < n; ++r) {
    w[r] = d[r] * urow[r];  // (|D||U|·1) of this row; |L| adds the rows below
    c[r] = d[r] * lcol[r];  // (1ᵀ|L||D|) of this column; |U| adds the columns right
    fn.longest = std::max({fn.longest, lrow_n[r], urow_n[r]});
  }
  std::vector<double> rows = w, cols = c;
  for (int r = 0; r < n; ++r) {
    for (int k = b->lw.pfv[r].first; k >= 0; k = lu->av.nexti[k])
      rows[lu->av.i[k]] += std::fabs(lu->av.v[k]) * w[r];
    for (int k = b->up.pfv[r].first; k >= 0; k = lu->av.nexti[k])
      cols[r] += c[lu->av.i[k]] * std::fabs(lu->av.v[k]);
  }
  for (int r = 0; r < n; ++r) {
    fn.rows = std::max(fn.rows, rows[r]);
    fn.cols = std::max(fn.cols, cols[r]);
  }
  return fn;
}

// Strictly diagonally dominant by rows, permuted: nonsingular, and the pivot
// rule (which bounds a pivot only against the line it was found in) lets
// the factors grow far beyond the matrix on it.  The permutations are drawn
// before the matrix: that order fixes the matrices the test sees.
std::vector<mtx_entry> dominant(int n, int per_row, std::mt19937_64& rng) {
  std::vector<int> pr = random_permutation(n, rng);
  std::vector<int> pc = random_permutation(n, rng);
  std::vector<mtx_entry> es;
  for (const mtx_entry& e : row_dominant(n, per_row, rng).entries)
    es.push_back({pr[e.row], pc[e.col], e.v});
  return es;
}

}  // namespace

// The computed x satisfies (B + E) x = b with |E| <= γ(3k) |L||D||U| to first
// order, k the longest line of the factors (the classical bound for solving
// with computed triangular factors, with inner products of at most k terms;
// the reciprocal pivots add one rounding each).  So
//   |Bx - b|_inf <= (3k + 3) eps |L||D||U|_inf |x|_inf,
// whatever the growth of the factors.  Checked on matrices where that growth
// is large, so the test tells a solve that is wrong from a pivot sequence
// that is merely unstable.
TEST_F(SolveAccuracy, ResidualWithinTheFactorsBackwardError) {
  std::mt19937_64 rng(31);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int n : {200, 1000, 3000}) {
    SCOPED_TRACE("order " + std::to_string(n));
    std::vector<mtx_entry> es = dominant(n, 3, rng);
    b_rec* b = lu_new();
    basis_check = 0;  // the verification's fixed bounds would report the growth
    ASSERT_EQ(lu_resize(b, n), 0);
    for (const mtx_entry& e : es)
      ASSERT_GE(lu_append(b, e.row, e.col, e.v), 0);
    int rank = 0;
    int* q;
    int* r;
    ASSERT_EQ(lu_factoring(b, 0, &rank, &q, &r), 0);
    FactorNorms fn = factor_norms(b);
    double c = 3.0 * fn.longest + 3.0;
    double worst = 0.0;
    for (int round = 0; round < 3; ++round) {
      std::vector<double> rhs(n);
      for (double& v : rhs)
        v = u(rng);
      std::vector<double> x(n);
      ASSERT_EQ(lu_ftran(b, x.data(), rhs.data()), 0);
      std::vector<double> res = mul(es, x);
      for (int i = 0; i < n; ++i)
        res[i] -= rhs[i];
      double ratio = max_abs(res) / (DBL_EPSILON * fn.rows * max_abs(x));
      EXPECT_LE(ratio, c);
      worst = std::max(worst, ratio);

      std::vector<double> y(n);
      ASSERT_EQ(lu_btran(b, y.data(), rhs.data()), 0);
      res = mul_left(es, y);
      for (int i = 0; i < n; ++i)
        res[i] -= rhs[i];
      ratio = max_abs(res) / (DBL_EPSILON * fn.cols * max_abs(y));
      EXPECT_LE(ratio, c);
      worst = std::max(worst, ratio);
    }
    char prop[96];
    std::snprintf(prop, sizeof prop, "ratio %.3g bound %.3g rows %.3g cols %.3g", worst, c,
                  fn.rows, fn.cols);
    RecordProperty("order_" + std::to_string(n), prop);
    lu_delete(b);
  }
  EXPECT_EQ(log.take(), "");
}
