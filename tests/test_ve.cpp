// Work vectors: the marked vector lpvect2, the plain vectors lpvect1 /
// lpvect1c and the growable array vobject.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "lp_kesh.h"
#include "lp_ve.h"
#include "test_diag.h"
#include "test_support.h"

namespace {

// The list of a vector as positions in list order (bounded against cycles).
template <class V>
std::vector<int> list_of(const V& v) {
  std::vector<int> out;
  for (int p = v.head; p >= 0 && out.size() <= (size_t)v.max_n; p = v.next[p])
    out.push_back(p);
  return out;
}

}  // namespace

// ---- lpvect2 ---------------------------------------------------------------------------

TEST(Lpvect2, AllocOnZeroRecordThenSmallerOrderChangesOnlyN) {
  lpvect2 v{};
  ASSERT_EQ(lpvect2_alloc(&v, 5, nullptr), 0);
  EXPECT_EQ(v.max_n, 6);
  EXPECT_EQ(v.n, 5);
  EXPECT_EQ(v.own_va, 1);
  EXPECT_EQ(v.mark, 0);
  EXPECT_EQ(v.vp, v.va);
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(v.usef[i], 0) << i;

  lpvect2_newmark(&v);
  v.usef[2] = v.mark;
  int32_t* next = v.next;
  double* va = v.va;
  ASSERT_EQ(lpvect2_alloc(&v, 3, nullptr), 0);
  EXPECT_EQ(v.n, 3);
  EXPECT_EQ(v.max_n, 6);
  EXPECT_EQ(v.mark, 1);
  EXPECT_EQ(v.usef[2], 1);
  EXPECT_EQ(v.next, next);
  EXPECT_EQ(v.va, va);
  lpvect2_free(&v);
  EXPECT_EQ(v.max_n, 0);
  EXPECT_EQ(v.n, 0);
  EXPECT_EQ(v.next, nullptr);
  EXPECT_EQ(v.usef, nullptr);
}

TEST(Lpvect2, GrowthKeepsOldMarksAndValuesAndZeroesNewMarks) {
  lpvect2 v{};
  ASSERT_EQ(lpvect2_alloc(&v, 5, nullptr), 0);
  lpvect2_newmark(&v);
  lpvect2_newmark(&v);
  for (int i = 0; i <= 5; ++i) {
    v.usef[i] = 100 + i;
    v.va[i] = 0.5 * i;
  }
  ASSERT_EQ(lpvect2_alloc(&v, 9, nullptr), 0);
  EXPECT_EQ(v.max_n, 10);
  EXPECT_EQ(v.mark, 2);  // only a first allocation resets the stamp
  EXPECT_EQ(v.vp, v.va);
  for (int i = 0; i <= 5; ++i) {
    EXPECT_EQ(v.usef[i], 100 + i) << i;
    EXPECT_EQ(v.va[i], 0.5 * i) << i;
  }
  for (int i = 6; i <= 9; ++i)
    EXPECT_EQ(v.usef[i], 0) << i;
  lpvect2_free(&v);
}

TEST(Lpvect2, NewmarkEmptiesAndWrapsAfterTheLastStamp) {
  lpvect2 v{};
  ASSERT_EQ(lpvect2_alloc(&v, 4, nullptr), 0);
  EXPECT_EQ(lpvect2_newmark(&v), 1);
  lpvect2_set(&v, 3, 7.0);
  EXPECT_TRUE(lpvect2_in_use(&v, 3));
  EXPECT_EQ(lpvect2_newmark(&v), 2);
  EXPECT_EQ(v.head, -1);
  EXPECT_FALSE(lpvect2_in_use(&v, 3));

  v.mark = 999999999;  // the last generation before the wrap is still a plain step
  for (int i = 0; i < v.max_n; ++i)
    v.usef[i] = 5;
  EXPECT_EQ(lpvect2_newmark(&v), 1000000000);
  EXPECT_EQ(v.usef[0], 5);

  for (int i = 0; i < v.max_n; ++i)
    v.usef[i] = i % 2 == 0 ? 1 : 1000000000;  // stale stamps, including the new one
  EXPECT_EQ(lpvect2_newmark(&v), 1);
  for (int i = 0; i < v.max_n; ++i)
    EXPECT_EQ(v.usef[i], 0) << i;
  EXPECT_EQ(v.head, -1);
  lpvect2_free(&v);
}

TEST(Lpvect2, FromDenseSqueezeAndCopy) {
  lpvect2 v{};
  ASSERT_EQ(lpvect2_alloc(&v, 4, nullptr), 0);
  lpvect2_newmark(&v);
  const double dense[4] = {0.0, 3.0, 0.0, 5.0};
  for (int i = 0; i < 4; ++i)
    v.va[i] = dense[i];
  v.usef[0] = v.mark;  // a stale mark on a zero is removed
  EXPECT_EQ(lpvect2_from_dense(&v), 2);
  EXPECT_EQ(list_of(v), (std::vector<int>{3, 1}));
  EXPECT_EQ(v.usef[0], 0);
  EXPECT_EQ(v.usef[2], 0);
  EXPECT_TRUE(lpvect2_in_use(&v, 1));
  EXPECT_TRUE(lpvect2_in_use(&v, 3));

  // A squeeze drops zeros anywhere in the list, -0.0 at the head included,
  // and keeps the order of the rest.
  lpvect2 w{};
  ASSERT_EQ(lpvect2_alloc(&w, 6, nullptr), 0);
  lpvect2_newmark(&w);
  lpvect2_set(&w, 0, 1.5);
  lpvect2_set(&w, 4, 0.0);
  lpvect2_set(&w, 2, 2.5);
  lpvect2_set(&w, 5, -0.0);  // list: 5 2 4 0
  EXPECT_EQ(lpvect2_squeeze(&w), 2);
  EXPECT_EQ(list_of(w), (std::vector<int>{2, 0}));
  EXPECT_EQ(w.usef[5], 0);
  EXPECT_EQ(w.usef[4], 0);
  EXPECT_EQ(lpvect2_squeeze(&w), 0);

  // All zero: the list becomes empty.
  w.va[2] = 0.0;
  w.va[0] = 0.0;
  EXPECT_EQ(lpvect2_squeeze(&w), 2);
  EXPECT_EQ(w.head, -1);
  lpvect2_free(&w);

  // Copy into a vector of the same order with a different stamp.
  lpvect2 d{};
  ASSERT_EQ(lpvect2_alloc(&d, 4, nullptr), 0);
  for (int k = 0; k < 5; ++k)
    lpvect2_newmark(&d);
  int before = chk_fail_count();
  EXPECT_EQ(lpvect2_copy(&d, &v), 0);
  EXPECT_EQ(chk_fail_count(), before);
  EXPECT_EQ(d.mark, 6);
  EXPECT_EQ(list_of(d), (std::vector<int>{3, 1}));
  EXPECT_EQ(d.va[3], 5.0);
  EXPECT_EQ(d.va[1], 3.0);
  EXPECT_TRUE(lpvect2_in_use(&d, 1));
  EXPECT_TRUE(lpvect2_in_use(&d, 3));
  EXPECT_FALSE(lpvect2_in_use(&d, 0));
  EXPECT_FALSE(lpvect2_in_use(&d, 2));
  lpvect2_free(&d);
  lpvect2_free(&v);
}

TEST(Lpvect2, CopyOfDifferentOrderIsReportedAndStillCopies) {
  log_to_file();
  lpvect2 s{}, d{};
  ASSERT_EQ(lpvect2_alloc(&s, 3, nullptr), 0);
  ASSERT_EQ(lpvect2_alloc(&d, 5, nullptr), 0);
  lpvect2_newmark(&s);
  lpvect2_set(&s, 2, 4.0);
  int before = chk_fail_count();
  EXPECT_EQ(lpvect2_copy(&d, &s), 0);
  EXPECT_EQ(chk_fail_count(), before + 1);
  std::string log = read_file("log.txt");
  EXPECT_EQ(log.rfind("*** CHKB error <== lp_ve.cpp(", 0), 0u) << log;
  EXPECT_NE(log.find(") x(3) y(5) z(3)\n"), std::string::npos) << log;
  EXPECT_EQ(list_of(d), (std::vector<int>{2}));
  EXPECT_EQ(d.va[2], 4.0);
  lpvect2_free(&s);
  lpvect2_free(&d);
}

TEST(Lpvect2, PrintRowsOfTwentyEntries) {
  log_to_file();
  lpvect2 v{};
  ASSERT_EQ(lpvect2_alloc(&v, 25, nullptr), 0);
  lpvect2_newmark(&v);
  EXPECT_EQ(lpvect2_print(&v, 0, "empty", 0), 0);
  EXPECT_EQ(read_file("log.txt"), "empty\n");

  log_to_file();
  lpvect2_set(&v, 7, -1.25);
  lpvect2_set(&v, 0, 3.0);
  lpvect2_print(&v, 0, "two", 0);
  EXPECT_EQ(read_file("log.txt"), "two\t[0]3[7]-1.25\n");

  log_to_file();
  for (int i = 0; i < 25; ++i)
    v.va[i] = i + 1;
  ASSERT_EQ(lpvect2_from_dense(&v), 25);  // list 24 .. 0
  lpvect2_print(&v, 0, "col", 0);
  std::string row1 = "col\t", row2 = "col\t";
  for (int p = 24; p >= 5; --p)
    row1 += "[" + std::to_string(p) + "]" + std::to_string(p + 1);
  for (int p = 4; p >= 0; --p)
    row2 += "[" + std::to_string(p) + "]" + std::to_string(p + 1);
  EXPECT_EQ(read_file("log.txt"), row1 + "\n" + row2 + "\n");

  // The dense form prints unlisted positions as 0 in rows of " %g".
  log_to_file();
  lpvect2_newmark(&v);
  lpvect2_set(&v, 1, 2.5);
  lpvect2_print_dense(&v, 3, "d");
  EXPECT_EQ(read_file("log.txt"), "d\t 0 2.5 0\n");
  lpvect2_free(&v);
}

// A caller-supplied value array is never freed or re-allocated by the vector
// (under the sanitizer build a wrong free is an immediate error).
TEST(Lpvect2, ExternalValueArrayStaysTheCallers) {
  std::vector<double> ext(6, 1.0);
  lpvect2 v{};
  ASSERT_EQ(lpvect2_alloc(&v, 5, nullptr), 0);  // owns its array first
  ASSERT_EQ(lpvect2_alloc(&v, 5, ext.data()), 0);
  EXPECT_EQ(v.own_va, 0);
  EXPECT_EQ(v.va, ext.data());
  EXPECT_EQ(v.vp, ext.data());
  lpvect2_free(&v);  // must leave ext alone
  EXPECT_EQ(v.max_n, 0);
  EXPECT_EQ(ext[5], 1.0);

  // On a zero record; then growth without an array takes a fresh owned one
  // holding the old values.
  lpvect2 w{};
  ASSERT_EQ(lpvect2_alloc(&w, 5, ext.data()), 0);
  EXPECT_EQ(w.own_va, 0);
  EXPECT_EQ(w.va, ext.data());
  ext[4] = 9.0;
  ASSERT_EQ(lpvect2_alloc(&w, 8, nullptr), 0);
  EXPECT_EQ(w.own_va, 1);
  EXPECT_NE(w.va, ext.data());
  EXPECT_EQ(w.vp, w.va);
  EXPECT_EQ(w.va[4], 9.0);
  // Growth with an array while owning one: the owned one is released.
  std::vector<double> big(12, 0.0);
  ASSERT_EQ(lpvect2_alloc(&w, 11, big.data()), 0);
  EXPECT_EQ(w.max_n, 12);
  EXPECT_EQ(w.own_va, 0);
  EXPECT_EQ(w.va, big.data());
  lpvect2_free(&w);

  // An array for a small order on a vector sized larger before: growing
  // again reads only that order's entries of it.
  std::vector<double> small(4, 6.0);
  lpvect2 u{};
  ASSERT_EQ(lpvect2_alloc(&u, 10, nullptr), 0);
  ASSERT_EQ(lpvect2_alloc(&u, 3, small.data()), 0);
  EXPECT_EQ(u.max_n, 11);
  ASSERT_EQ(lpvect2_alloc(&u, 20, nullptr), 0);
  EXPECT_EQ(u.own_va, 1);
  EXPECT_EQ(u.va[3], 6.0);
  lpvect2_free(&u);
}

TEST(Lpvect2, AllocationFailureKeepsSizeAndValueArray) {
  FailHookGuard guard;
  log_to_file();
  lpvect2 v{};
  mem_fail_countdown = 0;
  EXPECT_EQ(lpvect2_alloc(&v, 4, nullptr), -2);
  EXPECT_LE(v.max_n, 0);
  EXPECT_EQ(read_file("log.txt"), "**** lpvect2_alloc: cannot malloc\n");

  std::vector<double> ext(5, 2.0);
  mem_fail_countdown = -1;
  ASSERT_EQ(lpvect2_alloc(&v, 4, ext.data()), 0);
  mem_fail_countdown = 2;  // next and usef grow, the value array fails
  EXPECT_EQ(lpvect2_alloc(&v, 9, nullptr), -2);
  EXPECT_EQ(v.max_n, 5);
  EXPECT_EQ(v.va, ext.data());
  EXPECT_EQ(v.own_va, 0);
  mem_fail_countdown = -1;
  ASSERT_EQ(lpvect2_alloc(&v, 9, nullptr), 0);  // a later call tries again
  EXPECT_EQ(v.max_n, 10);
  EXPECT_EQ(v.own_va, 1);
  EXPECT_EQ(v.va[4], 2.0);
  lpvect2_free(&v);
  EXPECT_EQ(lpvect2_free(nullptr), 0);
}

// ---- lpvect1 / lpvect1c --------------------------------------------------------------

TEST(Lpvect1, LinkNonzerosInAscendingOrder) {
  lpvect1 v{};
  ASSERT_EQ(lpvect1_alloc(&v, 3), 0);
  const double dense[4] = {0.0, 3.0, 0.0, 5.0};
  for (int i = 0; i < 4; ++i)
    v.va[i] = dense[i];
  EXPECT_EQ(lpvect_link_nonzeros(&v, 4), 2);
  EXPECT_EQ(v.head, 1);
  EXPECT_EQ(v.next[1], 3);
  EXPECT_EQ(v.next[3], -1);
  EXPECT_EQ(v.next[0], -2);  // zero positions stay off the list
  EXPECT_EQ(v.next[2], -2);
  // Only the first `count` positions are looked at; none linked gives -1.
  EXPECT_EQ(lpvect_link_nonzeros(&v, 1), 0);
  EXPECT_EQ(v.head, -1);
  lpvect1_free(&v);

  lpvect1c c{};
  ASSERT_EQ(lpvect1c_alloc(&c, 4), 0);
  lpvect1c_clear(&c);
  c.va[0] = -1;
  c.va[4] = 7;
  EXPECT_EQ(lpvect_link_nonzeros(&c, 5), 2);
  EXPECT_EQ(list_of(c), (std::vector<int>{0, 4}));
  lpvect1c_free(&c);

  lpvect2 w{};
  ASSERT_EQ(lpvect2_alloc(&w, 3, nullptr), 0);
  lpvect2_newmark(&w);
  for (int i = 0; i < 4; ++i) {
    w.va[i] = dense[i];
    w.usef[i] = 0;
  }
  EXPECT_EQ(lpvect_link_nonzeros(&w, 4), 2);
  EXPECT_EQ(list_of(w), (std::vector<int>{1, 3}));
  EXPECT_EQ(w.usef[1], 0);  // marks are not touched
  lpvect2_free(&w);
}

TEST(Lpvect1, AllocEmptiesTheDoubleKindButNotTheByteKind) {
  lpvect1 v{};
  ASSERT_EQ(lpvect1_alloc(&v, 2), 0);
  EXPECT_EQ(v.max_n, 3);
  v.va[0] = v.va[2] = 0.0;  // values are not cleared by the allocation
  v.va[1] = 4.0;
  lpvect_link_nonzeros(&v, 3);
  ASSERT_EQ(v.head, 1);
  ASSERT_EQ(lpvect1_alloc(&v, 6), 0);  // grows, empties, keeps values
  EXPECT_EQ(v.max_n, 7);
  EXPECT_EQ(v.n, 6);
  EXPECT_EQ(v.head, -1);
  for (int i = 0; i < 7; ++i)
    EXPECT_EQ(v.next[i], -2) << i;
  EXPECT_EQ(v.va[1], 4.0);
  ASSERT_EQ(lpvect1_alloc(&v, 1), 0);  // never shrinks
  EXPECT_EQ(v.max_n, 7);
  EXPECT_EQ(v.n, 1);
  lpvect1_free(&v);
  EXPECT_EQ(v.head, 0);
  EXPECT_EQ(v.next, nullptr);
  EXPECT_EQ(v.va, nullptr);
  EXPECT_EQ(v.max_n, 0);
  EXPECT_EQ(v.n, 0);

  lpvect1c c{};
  ASSERT_EQ(lpvect1c_alloc(&c, 2), 0);
  lpvect1c_clear(&c);
  c.va[2] = 9;
  lpvect_link_nonzeros(&c, 3);
  ASSERT_EQ(lpvect1c_alloc(&c, 5), 0);  // grows, list and values kept
  EXPECT_EQ(c.max_n, 6);
  EXPECT_EQ(c.head, 2);
  EXPECT_EQ(c.next[2], -1);
  EXPECT_EQ(c.va[2], 9);
  lpvect1c_clear(&c);
  EXPECT_EQ(c.head, -1);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(c.next[i], -2) << i;
    EXPECT_EQ(c.va[i], 0) << i;
  }
  lpvect1c_free(&c);
  EXPECT_EQ(c.max_n, 0);
  EXPECT_EQ(c.va, nullptr);
}

TEST(Lpvect1, AllocationFailureLeavesMaxNAndReports) {
  FailHookGuard guard;
  log_to_file();
  lpvect1 v{};
  mem_fail_countdown = 0;
  EXPECT_EQ(lpvect1_alloc(&v, 4), -2);
  EXPECT_EQ(v.max_n, 0);
  mem_fail_countdown = -1;
  ASSERT_EQ(lpvect1_alloc(&v, 4), 0);
  mem_fail_countdown = 1;  // values grow, links fail
  EXPECT_EQ(lpvect1_alloc(&v, 40), -2);
  EXPECT_EQ(v.max_n, 5);
  mem_fail_countdown = -1;
  EXPECT_EQ(lpvect1_alloc(&v, 40), 0);
  EXPECT_EQ(v.max_n, 41);
  lpvect1_free(&v);

  lpvect1c c{};
  mem_fail_countdown = 0;
  EXPECT_EQ(lpvect1c_alloc(&c, 4), -2);  // the byte kind shares the message
  EXPECT_EQ(c.max_n, 0);
  mem_fail_countdown = -1;
  lpvect1c_free(&c);
  EXPECT_EQ(read_file("log.txt"), "**** lpvect1_alloc: cannot malloc\n"
                                  "**** lpvect1_alloc: cannot malloc\n"
                                  "**** lpvect1_alloc: cannot malloc\n");
}

// ---- vobject ---------------------------------------------------------------------------

TEST(Vobject, GrowthFiguresAndAppend) {
  vobject vv{};
  EXPECT_EQ(exp_vobject(&vv, 7), 100);
  EXPECT_EQ(vv.capacity, 100);
  EXPECT_EQ(exp_vobject(&vv, 100), 100);  // enough room: unchanged
  EXPECT_EQ(exp_vobject(&vv, 150), 200);
  EXPECT_EQ(exp_vobject(&vv, 500), 500);
  vobject_free(&vv);
  EXPECT_EQ(vv.capacity, 0);
  EXPECT_EQ(vv.v, nullptr);
  EXPECT_EQ(exp_vobject(&vv, 250), 250);  // a first size above 100
  vobject_free(&vv);

  vobject a{};
  for (int k = 0; k < 100; ++k) {
    ASSERT_EQ(vobject_append(&a), k);
    a.v[k] = k + 0.5;
  }
  EXPECT_EQ(a.capacity, 100);
  int before = chk_fail_count();
  EXPECT_EQ(vobject_append(&a), 100);
  EXPECT_EQ(chk_fail_count(), before);
  EXPECT_EQ(a.capacity, 200);
  EXPECT_EQ(a.count, 101);
  EXPECT_EQ(a.v[100], 0.0);
  EXPECT_EQ(a.v[37], 37.5);  // contents kept across the growth
  vobject_free(&a);
  EXPECT_EQ(a.count, 101);  // the count is left as it was
  EXPECT_EQ(a.capacity, 0);
}

TEST(Vobject, AllocationFailureKeepsCapacityAndBlock) {
  FailHookGuard guard;
  log_to_file();
  vobject vv{};
  mem_fail_countdown = 0;
  EXPECT_EQ(exp_vobject(&vv, 7), -2);
  EXPECT_EQ(vv.capacity, 0);
  EXPECT_EQ(vv.v, nullptr);
  mem_fail_countdown = -1;
  ASSERT_EQ(exp_vobject(&vv, 100), 100);
  vv.count = 100;
  vv.v[99] = 3.0;
  double* block = vv.v;
  mem_fail_countdown = 0;
  EXPECT_EQ(vobject_append(&vv), -2);
  EXPECT_EQ(vv.capacity, 100);
  EXPECT_EQ(vv.count, 100);
  EXPECT_EQ(vv.v, block);
  EXPECT_EQ(vv.v[99], 3.0);
  mem_fail_countdown = -1;
  EXPECT_EQ(read_file("log.txt"), "**** exp_vobject: cannot malloc\n"
                                  "**** exp_vobject: cannot malloc\n");
  vobject_free(&vv);
}
