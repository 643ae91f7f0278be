// Dumps of matrices, eta files, pivot sequences, vectors and row lists:
// exact bytes in the log, including the runaway guards on damaged lists.
#include <gtest/gtest.h>

#include <initializer_list>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "lp_dump.h"
#include "lp_kesh.h"
#include "test_diag.h"
#include "test_support.h"

namespace {

// A matrix whose pool arrays live in vectors.  put() files an element at the
// front of its column and row lists; chain() fills slots as an eta file
// holds them (row E in av.i, the eta's row in av.j, linked through av.nexti
// in the order given).
struct hand_mx {
  std::vector<int32_t> i, j, nexti, nextj, col_head, row_head;
  std::vector<double> v;
  lumx a{};

  hand_mx(int m, int n, int slots)
      : i(slots), j(slots), nexti(slots, -1), nextj(slots, -1), col_head(n + 1, -1),
        row_head(m + 1, -1), v(slots) {
    a.av = {i.data(), j.data(), nexti.data(), nextj.data(), v.data()};
    a.m = m;
    a.n = n;
    a.max_av = slots;
    a.max_col = n + 1;
    a.max_row = m + 1;
    a.col_head = col_head.data();
    a.row_head = row_head.data();
  }
  hand_mx(const hand_mx&) = delete;

  int slot(int row, int col, double x) {
    int k = a.n_av++;
    i[k] = row;
    j[k] = col;
    v[k] = x;
    return k;
  }
  void put(int row, int col, double x) {
    int k = slot(row, col, x);
    nexti[k] = col_head[col];
    col_head[col] = k;
    nextj[k] = row_head[row];
    row_head[row] = k;
    ++a.n_nz;
  }
  int chain(int eta_row, std::initializer_list<std::pair<int, double>> entries) {
    int first = -1, last = -1;
    for (auto [row, x] : entries) {
      int k = slot(row, eta_row, x);
      (last < 0 ? first : nexti[last]) = k;
      last = k;
    }
    return first;
  }
};

// A factor record of order sz over a hand-built matrix, with empty eta files.
struct hand_b {
  hand_mx mx;
  std::vector<eta_pfv> lw, up, br;
  b_rec b{};

  hand_b(int sz, int slots) : mx(sz, sz, slots), lw(sz + 1), up(sz + 1), br(BR_FIRST_CAP) {
    b.lu = &mx.a;
    b.sz = sz;
    b.lw.pfv = lw.data();
    b.up.pfv = up.data();
    b.br.pfv = br.data();
    for (eta_file* f : {&b.lw, &b.up, &b.br})
      f->head = f->tail = f->nz_head = f->nz_tail = f->aux_head = f->aux_tail = -1;
  }
  // Files the etas of `steps` (pivot rows in step order) on the step list.
  static void link_steps(eta_file* f, std::initializer_list<int> steps) {
    int prev = -1;
    for (int s : steps) {
      (prev < 0 ? f->head : f->pfv[prev].next) = s;
      f->pfv[s].prev = prev;
      f->pfv[s].next = -1;
      prev = s;
    }
    f->tail = prev;
  }
};

class Dump : public testing::Test {
 protected:
  void SetUp() override {
    log_reset();
    log_open("log.txt");
    fails_before = chk_fail_count();
  }
  // The log with the line numbers of check reports replaced by "N", after
  // making sure each report carries one.
  static std::string log() {
    return std::regex_replace(read_file("log.txt"), std::regex("lp_dump\\.cpp\\([1-9][0-9]*\\)"),
                              "lp_dump.cpp(N)");
  }
  int new_fails() const { return chk_fail_count() - fails_before; }

  int fails_before = 0;
};

TEST_F(Dump, MatrixColumnsInListOrder) {
  hand_mx id(2, 2, 4);
  id.put(0, 0, 1.0);
  id.put(1, 1, 1.0);
  EXPECT_EQ(dump_lumx(&id.a, "分解前基底行列"), 0);  // a UTF-8 title, as the library's
  EXPECT_EQ(log(), sj("分解前基底行列 m(2)n(2)n_av(2) \n"
                      "列(0) \n"
                      "    av[0] 列(0)行(0)値(1)\n"
                      "列(1) \n"
                      "    av[1] 列(1)行(1)値(1)\n"));
}

TEST_F(Dump, MatrixEmptyColumnAndNoColumns) {
  hand_mx mx(3, 3, 4);
  mx.put(2, 0, 2.5);
  mx.put(0, 0, -0.125);
  mx.put(1, 2, 1e-12);
  hand_mx none(0, 0, 1);
  dump_lumx(&mx.a, "A");
  dump_lumx_col(&mx.a, 1);
  dump_lumx(&none.a, "B");
  EXPECT_EQ(log(), sj("A m(3)n(3)n_av(3) \n"
                      "列(0) \n"
                      "    av[1] 列(0)行(0)値(-0.125)\n"
                      "    av[0] 列(0)行(2)値(2.5)\n"
                      "列(1) \n"
                      "列(2) \n"
                      "    av[2] 列(2)行(1)値(1e-12)\n"
                      "列(1) \n"
                      "B m(0)n(0)n_av(0) \n"));
}

TEST_F(Dump, ChainBothForms) {
  hand_mx mx(4, 4, 4);
  int k0 = mx.chain(3, {{1, 1.0 / 3}, {0, -2.0}, {2, 1e-9}});
  dump_av_chain(&mx.a, -1, 4);
  dump_av_chain(&mx.a, -1, -1);
  dump_av_chain(&mx.a, k0, 3);
  dump_av_chain(&mx.a, k0, -1);
  EXPECT_EQ(log(), sj(" η番号(4) av[]の先頭(-1)\n"
                      " av[]の先頭\n"
                      " η番号(3) av[]の先頭(0)\n"
                      "    av[0] 列(3)行(1)値(0.3333333) \n"
                      "    av[1] 列(3)行(0)値(-2) \n"
                      "    av[2] 列(3)行(2)値(1e-09) \n"
                      " av[]の先頭\n"
                      "    av[0] 行(1)値(0.3333333) \n"
                      "    av[1] 行(0)値(-2) \n"
                      "    av[2] 行(2)値(1e-09) \n"));
  EXPECT_EQ(new_fails(), 0);
}

// A chain of m elements is legal; one that loops stops after m with one report.
TEST_F(Dump, ChainGuard) {
  hand_mx mx(3, 3, 6);
  int full = mx.chain(0, {{1, 1}, {2, 2}, {0, 3}});
  int loop = mx.chain(1, {{2, 4}, {0, 5}});
  mx.nexti[loop + 1] = loop;
  dump_av_chain(&mx.a, full, 0);
  EXPECT_EQ(new_fails(), 0);
  dump_av_chain(&mx.a, loop, -1);
  EXPECT_EQ(new_fails(), 1);
  EXPECT_EQ(log(), sj(" η番号(0) av[]の先頭(0)\n"
                      "    av[0] 列(0)行(1)値(1) \n"
                      "    av[1] 列(0)行(2)値(2) \n"
                      "    av[2] 列(0)行(0)値(3) \n"
                      " av[]の先頭\n"
                      "    av[3] 行(2)値(4) \n"
                      "    av[4] 行(0)値(5) \n"
                      "    av[3] 行(2)値(4) \n"
                      "*** CHKB error <== lp_dump.cpp(N) x(0) y(4) z(3)\n"));
}

// Steps are printed in step order, not index order; each eta under its row.
TEST_F(Dump, LowerAndUpperFilesInStepOrder) {
  hand_b h(2, 4);
  h.lw[1] = {1, h.mx.chain(1, {{0, -0.5}}), -1, -1, -1, -1};
  h.lw[0] = {0, -1, -1, -1, -2, -2};
  hand_b::link_steps(&h.b.lw, {1, 0});
  h.up[0] = {0, h.mx.chain(0, {{1, 0.25}}), -1, -1, -1, -1};
  hand_b::link_steps(&h.b.up, {0});
  dump_lw(&h.b);
  dump_up(&h.b);
  EXPECT_EQ(log(), sj("Ｌ行列 sz(2) \n"
                      " η番号(1) av[]の先頭(0)\n"
                      "    av[0] 列(1)行(0)値(-0.5) \n"
                      " η番号(0) av[]の先頭(-1)\n"
                      "Ｕ行列 sz(2) \n"
                      " η番号(0) av[]の先頭(1)\n"
                      "    av[1] 列(0)行(1)値(0.25) \n"));
  EXPECT_EQ(new_fails(), 0);
}

TEST_F(Dump, EtaFiledUnderWrongRowIsReportedAndPrinted) {
  hand_b h(3, 2);
  h.lw[2] = {1, h.mx.chain(2, {{0, 7}}), -1, -1, -1, -1};
  hand_b::link_steps(&h.b.lw, {2});
  dump_lw(&h.b);
  EXPECT_EQ(new_fails(), 1);
  EXPECT_EQ(log(), sj("Ｌ行列 sz(3) \n"
                      "*** CHKB error <== lp_dump.cpp(N) x(2) y(1) z(2)\n"
                      " η番号(2) av[]の先頭(0)\n"
                      "    av[0] 列(2)行(0)値(7) \n"));
}

TEST_F(Dump, LoopingStepListStopsAfterSzEtas) {
  hand_b h(2, 1);
  h.up[0] = {0, -1, 1, 1, -2, -2};
  h.up[1] = {1, -1, 0, 0, -2, -2};
  h.b.up.head = 0;
  dump_up(&h.b);
  EXPECT_EQ(new_fails(), 1);
  EXPECT_EQ(log(), sj("Ｕ行列 sz(2) \n"
                      " η番号(0) av[]の先頭(-1)\n"
                      " η番号(1) av[]の先頭(-1)\n"
                      "*** CHKB error <== lp_dump.cpp(N) x(0) y(3) z(2)\n"));
}

// R etas print in creation order under their rows; a negative row gives the
// bare form.
TEST_F(Dump, RowEtaFile) {
  hand_b h(3, 3);
  dump_br(&h.b);
  h.br[0] = {2, h.mx.chain(2, {{0, 1.5}, {1, -1}}), 0, 0, 0, 0};
  h.br[1] = {0, -1, 0, 0, 0, 0};
  h.br[2] = {-1, h.mx.chain(-1, {{1, 4}}), 0, 0, 0, 0};
  h.b.n_br = 3;
  dump_br(&h.b);
  EXPECT_EQ(log(), sj("Ｒ補η変換子 b->n_br(0) \n"
                      "Ｒ補η変換子 b->n_br(3) \n"
                      " η番号(2) av[]の先頭(0)\n"
                      "    av[0] 列(2)行(0)値(1.5) \n"
                      "    av[1] 列(2)行(1)値(-1) \n"
                      " η番号(0) av[]の先頭(-1)\n"
                      " av[]の先頭\n"
                      "    av[2] 行(1)値(4) \n"));
}

TEST_F(Dump, PairsTenToALine) {
  std::vector<lu_pair> mt;
  for (int s = 0; s < 12; ++s)
    mt.push_back({s, 11 - s});
  std::string title = sj("ＬＵ分解後のマッチング");
  dump_pairs(mt.data(), 12, title.c_str());
  dump_pairs(mt.data(), 10, "ten");
  dump_pairs(mt.data(), 0, "none");
  EXPECT_EQ(log(), sj("ＬＵ分解後のマッチング\n"
                      "(0 11) (1 10) (2 9) (3 8) (4 7) (5 6) (6 5) (7 4) (8 3) (9 2)\n"
                      "(10 1) (11 0)\n"
                      "ten\n"
                      "(0 11) (1 10) (2 9) (3 8) (4 7) (5 6) (6 5) (7 4) (8 3) (9 2)\n"
                      "none\n"));
}

// Lists `count` positions of a 12-entry vector, last index first, value
// p + 0.5; `next` and `va` are what the dump reads.
struct hand_list {
  std::vector<int32_t> next = std::vector<int32_t>(12, -2);
  std::vector<double> va = std::vector<double>(12, 99);
  int32_t head = -1;
  explicit hand_list(int count) {
    for (int p = 0; p < count; ++p) {
      next[p] = head;
      head = p;
      va[p] = p + 0.5;
    }
  }
};

TEST_F(Dump, VectorTenToALine) {
  const char* ten = "(9:9.5)(8:8.5)(7:7.5)(6:6.5)(5:5.5)(4:4.5)(3:3.5)(2:2.5)(1:1.5)(0:0.5)";
  for (int count : {10, 11, 0, 3}) {
    hand_list l(count);
    lpvect2 v2{};
    v2.head = l.head;
    v2.next = l.next.data();
    v2.va = l.va.data();
    dump_vect("v2:", &v2);
    lpvect1 v1{l.head, l.next.data(), l.va.data(), 12, 11};
    dump_vect("v1:", &v1);
  }
  std::string ten_out = std::string(ten) + "\n          ";
  std::string eleven_out = "(10:10.5)(9:9.5)(8:8.5)(7:7.5)(6:6.5)(5:5.5)(4:4.5)(3:3.5)(2:2.5)(1:1.5)\n"
                           "          (0:0.5)\n";
  std::string three_out = "(2:2.5)(1:1.5)(0:0.5)\n";
  EXPECT_EQ(log(), "v2:" + ten_out + "v1:" + ten_out + "v2:" + eleven_out + "v1:" + eleven_out +
                       "v2:v1:" + "v2:" + three_out + "v1:" + three_out);
}

TEST_F(Dump, RowList) {
  std::vector<dump_row_rec> recs(3);
  recs[2] = {1.5, 0, 0, 0, 5};
  recs[0] = {-3.0, 1, 1, -1, 1};
  recs[1] = {8.0, 2, 2, 0, 9};  // not on the list
  std::string title = sj("行リスト");
  dump_row_list(title.c_str(), recs.data(), 2);
  dump_row_list("empty", recs.data(), -1);
  EXPECT_EQ(log(), sj("行リスト \n"
                      "    行[2] (5) 1.5\n"
                      "    行[0] (1) -3\n"
                      "empty \n"));
}

}  // namespace
