// The indexed heap: order, inverse index, misuse reports, sizing.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "lp_kesh.h"
#include "test_diag.h"
#include "test_support.h"
#include "xheap.h"

namespace {

// Ids ordered by their own value, as the factorization orders counts.
int by_value(int a, int b) { return a - b; }

// Ids ordered by a key that tests change between operations; few distinct
// keys, so ties (broken by the smaller id) are common.
std::vector<int> g_key;
int by_key(int a, int b) { return g_key[a] < g_key[b] ? -1 : g_key[a] > g_key[b] ? 1 : 0; }

std::vector<int> heap_array(const xheap* h) { return std::vector<int>(h->heap, h->heap + h->count); }

// The inverse index is exact, absent ids are -1, and every position comes
// after its parent; the heap holds exactly the ids of `ref`.
testing::AssertionResult heap_ok(const xheap* h, const std::set<std::pair<int, int>>& ref) {
  if (h->count != (int)ref.size())
    return testing::AssertionFailure() << "count " << h->count << " vs " << ref.size();
  std::vector<bool> present(h->n_ids, false);
  for (int p = 0; p < h->count; ++p) {
    int id = h->heap[p];
    if (id < 0 || id >= h->n_ids || present[id])
      return testing::AssertionFailure() << "bad id " << id << " at " << p;
    present[id] = true;
    if (h->invert[id] != p)
      return testing::AssertionFailure() << "invert[" << id << "] " << h->invert[id] << " vs " << p;
    if (ref.count({g_key[id], id}) == 0)
      return testing::AssertionFailure() << "unexpected id " << id;
    if (p > 0) {
      int parent = h->heap[(p - 1) / 2];
      std::pair<int, int> a{g_key[parent], parent}, b{g_key[id], id};
      if (!(a < b))
        return testing::AssertionFailure() << "order broken at " << p;
    }
  }
  for (int id = 0; id < h->n_ids; ++id)
    if (!present[id] && h->invert[id] != -1)
      return testing::AssertionFailure() << "absent id " << id << " has invert " << h->invert[id];
  return testing::AssertionSuccess();
}

std::vector<std::string> log_lines() {
  std::istringstream in(read_file("log.txt"));
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);)
    out.push_back(line);
  return out;
}

const std::regex kReport(R"(\*\*\* CHK[AB] error <== +xheap\.cpp\(\d+\) x\(-?\d+\) y\(-?\d+\) z\(-?\d+\))");

}  // namespace

TEST(Xheap, ExampleRemovalMovesTheLastItemUp) {
  xheap* h = nullptr;
  ASSERT_EQ(xheap_init(&h, 8, by_value), 0);
  int expected_count = 0;
  for (int id : {1, 5, 2, 6, 7, 3})
    EXPECT_EQ(xheap_insert(h, id), ++expected_count);
  EXPECT_EQ(heap_array(h), (std::vector<int>{1, 5, 2, 6, 7, 3}));
  EXPECT_EQ(xheap_remove(h, 6), 5);
  EXPECT_EQ(heap_array(h), (std::vector<int>{1, 3, 2, 5, 7}));
  EXPECT_EQ(h->invert[6], -1);
  EXPECT_EQ(h->invert[3], 1);
  EXPECT_EQ(h->invert[5], 3);
  EXPECT_EQ(xheap_top(h), 1);
  std::vector<int> popped;
  for (int id; (id = xheap_pop(h)) >= 0;)
    popped.push_back(id);
  EXPECT_EQ(popped, (std::vector<int>{1, 2, 3, 5, 7}));
  EXPECT_EQ(h->count, 0);
  EXPECT_EQ(xheap_free(&h), 0);
  EXPECT_EQ(h, nullptr);
}

TEST(Xheap, RemovingTheLastOrOnlyItem) {
  xheap* h = nullptr;
  ASSERT_EQ(xheap_init(&h, 4, by_value), 0);
  xheap_insert(h, 2);
  EXPECT_EQ(xheap_remove(h, 2), 0);
  EXPECT_EQ(h->invert[2], -1);
  xheap_insert(h, 0);
  xheap_insert(h, 3);
  EXPECT_EQ(xheap_remove(h, 3), 1);  // the last position: nothing moves
  EXPECT_EQ(heap_array(h), (std::vector<int>{0}));
  EXPECT_EQ(h->invert[0], 0);
  xheap_free(&h);
}

// Random sequences against an ordered set of (key, id), with the invariants
// checked after every operation.
TEST(Xheap, RandomOperationsAgreeWithOrderedSet) {
  const int n_ids = 40;
  for (unsigned seed = 1; seed <= 6; ++seed) {
    std::mt19937 rng(seed);
    auto pick = [&](int n) { return (int)(rng() % (unsigned)n); };
    g_key.assign(n_ids, 0);
    for (int& k : g_key)
      k = pick(8);
    xheap* h = nullptr;
    ASSERT_EQ(xheap_init(&h, n_ids, by_key), 0);
    std::set<std::pair<int, int>> ref;
    for (int step = 0; step < 4000; ++step) {
      int id = pick(n_ids);
      bool in = h->invert[id] >= 0;
      switch (pick(5)) {
        case 0:
        case 1:
          if (!in) {
            ref.insert({g_key[id], id});
            ASSERT_EQ(xheap_insert(h, id), (int)ref.size());
          }
          break;
        case 2:
          if (in) {
            ref.erase({g_key[id], id});
            ASSERT_EQ(xheap_remove(h, id), (int)ref.size());
          }
          break;
        case 3:
          if (in) {
            ref.erase({g_key[id], id});
            g_key[id] = pick(8);
            ref.insert({g_key[id], id});
            int pos = xheap_update(h, id);
            ASSERT_GE(pos, 0);
            ASSERT_EQ(h->invert[id], pos);
          }
          break;
        default:
          if (ref.empty()) {
            ASSERT_EQ(xheap_top(h), -1);
            ASSERT_EQ(xheap_pop(h), -1);
          } else {
            int first = ref.begin()->second;
            ASSERT_EQ(xheap_top(h), first);
            ASSERT_EQ(xheap_pop(h), first);
            ref.erase(ref.begin());
          }
          break;
      }
      ASSERT_TRUE(heap_ok(h, ref)) << "seed " << seed << " step " << step;
    }
    // Draining yields the ids in (key, id) order.
    std::vector<int> want, got;
    for (auto& e : ref)
      want.push_back(e.second);
    for (int id; (id = xheap_pop(h)) >= 0;)
      got.push_back(id);
    EXPECT_EQ(got, want) << "seed " << seed;
    xheap_free(&h);
  }
}

TEST(Xheap, MisuseIsReportedAndChangesNothing) {
  log_to_file();
  xheap* h = nullptr;
  ASSERT_EQ(xheap_init(&h, 6, by_value), 0);
  for (int id : {4, 1, 5})
    xheap_insert(h, id);
  const std::vector<int> heap_before = heap_array(h);
  const std::vector<int> invert_before(h->invert, h->invert + 6);
  int fails = chk_fail_count();

  EXPECT_EQ(xheap_insert(h, 6), -1);  // out of range
  EXPECT_EQ(xheap_insert(h, -1), -1);
  EXPECT_EQ(xheap_insert(h, 5), -1);  // already present
  EXPECT_EQ(xheap_remove(h, 2), -1);  // absent
  EXPECT_EQ(xheap_remove(h, 9), -1);
  EXPECT_EQ(xheap_update(h, 0), -1);
  EXPECT_EQ(xheap_update(h, -3), -1);
  EXPECT_EQ(heap_array(h), heap_before);
  EXPECT_EQ(std::vector<int>(h->invert, h->invert + 6), invert_before);
  EXPECT_EQ(chk_fail_count(), fails + 7);

  EXPECT_EQ(xheap_insert(nullptr, 0), -1);
  EXPECT_EQ(xheap_remove(nullptr, 0), -1);
  EXPECT_EQ(xheap_update(nullptr, 0), -1);
  EXPECT_EQ(xheap_pop(nullptr), -1);
  EXPECT_EQ(xheap_top(nullptr), -1);
  EXPECT_EQ(chk_fail_count(), fails + 12);

  // Empty heap: remove and update are reported, pop and top are not.
  ASSERT_EQ(xheap_init(&h, 6, by_value), 0);
  EXPECT_EQ(xheap_remove(h, 1), -1);
  EXPECT_EQ(xheap_update(h, 1), -1);
  EXPECT_EQ(chk_fail_count(), fails + 14);
  EXPECT_EQ(xheap_pop(h), -1);
  EXPECT_EQ(xheap_top(h), -1);
  EXPECT_EQ(chk_fail_count(), fails + 14);

  std::vector<std::string> lines = log_lines();
  ASSERT_EQ(lines.size(), 14u);
  for (const std::string& line : lines)
    EXPECT_TRUE(std::regex_match(line, kReport)) << line;
  // An id outside 0 .. n_ids-1 reads as an index check against n_ids.
  EXPECT_NE(lines[0].find("CHKA"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find(" x(0) y(6) z(6)"), std::string::npos) << lines[0];
  xheap_free(&h);
}

TEST(Xheap, ReinitReusesOrGrowsTheArrays) {
  xheap* h = nullptr;
  ASSERT_EQ(xheap_init(&h, 10, by_value), 0);
  for (int id : {9, 3, 7})
    xheap_insert(h, id);
  ASSERT_EQ(xheap_init(&h, 4, by_value), 0);
  EXPECT_EQ(h->capacity, 10);
  EXPECT_EQ(h->n_ids, 4);
  EXPECT_EQ(h->count, 0);
  EXPECT_EQ(xheap_top(h), -1);
  for (int id = 0; id < 4; ++id)
    EXPECT_EQ(h->invert[id], -1);
  EXPECT_EQ(xheap_insert(h, 3), 1);  // 3 was in the heap before: now free again

  ASSERT_EQ(xheap_init(&h, 25, by_value), 0);
  EXPECT_EQ(h->capacity, 25);
  EXPECT_EQ(h->n_ids, 25);
  for (int id = 24; id >= 0; --id)
    ASSERT_EQ(xheap_insert(h, id), 25 - id);
  for (int id = 0; id < 25; ++id)
    ASSERT_EQ(xheap_pop(h), id);

  int entries = -1, bytes = -1;
  EXPECT_EQ(xheap_memsize(h, &entries, &bytes), 25 * 8 + (int)sizeof(xheap));
  EXPECT_EQ(entries, 25);
  EXPECT_EQ(bytes, 8);
  EXPECT_EQ(xheap_memsize(nullptr, &entries, &bytes), 0);

  EXPECT_EQ(xheap_free(&h), 0);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(xheap_free(&h), 0);  // null: nothing to do
}

TEST(Xheap, InitOfNoIdsIsReported) {
  log_to_file();
  int fails = chk_fail_count();
  xheap* h = nullptr;
  EXPECT_EQ(xheap_init(&h, 0, by_value), 0);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->n_ids, 0);
  EXPECT_EQ(xheap_insert(h, 0), -1);  // no id is valid
  EXPECT_EQ(chk_fail_count(), fails + 2);
  EXPECT_EQ(xheap_init(&h, 3, by_value), 0);  // grows from nothing
  EXPECT_EQ(h->capacity, 3);
  EXPECT_EQ(xheap_insert(h, 2), 1);
  std::vector<std::string> lines = log_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("*** CHKB error <== xheap.cpp(", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find(" x(1) y(0) z("), std::string::npos) << lines[0];
  xheap_free(&h);
}

TEST(Xheap, AllocationFailures) {
  FailHookGuard guard;
  log_to_file();
  xheap* h = nullptr;
  mem_fail_countdown = 0;  // the record itself
  EXPECT_EQ(xheap_init(&h, 5, by_value), -2);
  EXPECT_EQ(h, nullptr);
  mem_fail_countdown = 2;  // record and heap array, then the inverse index fails
  EXPECT_EQ(xheap_init(&h, 5, by_value), -2);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(read_file("log.txt"), "");  // first allocations print nothing
  mem_fail_countdown = -1;
  ASSERT_EQ(xheap_init(&h, 5, by_value), 0);  // usable after a successful retry
  EXPECT_EQ(h->capacity, 5);
  EXPECT_EQ(xheap_insert(h, 4), 1);

  mem_fail_countdown = 0;  // growth of existing arrays
  EXPECT_EQ(xheap_init(&h, 50, by_value), -2);
  EXPECT_EQ(h->capacity, 5);
  EXPECT_EQ(read_file("log.txt"), "**** lpvect1_alloc: cannot malloc\n");
  mem_fail_countdown = -1;
  ASSERT_EQ(xheap_init(&h, 50, by_value), 0);
  EXPECT_EQ(h->capacity, 50);
  EXPECT_EQ(xheap_insert(h, 49), 1);
  xheap_free(&h);
}
