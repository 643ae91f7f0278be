// The fast library's own failure paths and its handle lifetime, through a
// test-only build of its sources with the allocation hook (zelkor_fast_hook):
// the countdown that fails the n-th allocation of a thread, and the count of
// blocks the library holds.
//
// The sweep: a scenario creates a handle, sizes it, loads a real basis (by
// columns, or row by row as simplex codes append, which the elimination
// takes a shortcut for), factorizes, solves densely and sparsely, estimates
// the condition, replaces 104 columns (the R-eta file grows past its first
// 100 heads), and repairs a rank deficiency (zk_singular_pairs after an
// accepted deficiency, then on the repaired basis).  Each run is a thread of
// its own, so that the thread's tie and work record are allocated in every
// run.  One run without failures counts the allocations; then, for every k,
// a run fails the k-th: the failing call must report it (-2, or null from
// lu_new, with its message in the log), the handle must refuse or solve as
// documented, and, after a new sizing, load and factorization, the same
// handle must solve again.  Once the handle is deleted and the thread has
// ended, the library holds no block more than before.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "lp_kesh.h"
#include "mtx.h"
#include "test_api.h"
#include "test_matrix.h"
#include "test_support.h"
#include "zelkor_simplex.h"

namespace {

using Basis = column_matrix;

const char* const LOG = "Zelkordbg.txt";
const double RESIDUAL_BOUND = 1e-10;
const int UPDATES = 104;

Basis read_basis(const std::string& name) {
  mtx_matrix m;
  EXPECT_TRUE(read_mtx(test_matrix_path(name), m)) << name;
  return columns_of(m);
}

// Sizes h and appends a by columns or row by row: 0 or the first negative result.
int load(lu_handle* h, const Basis& a, bool by_rows) {
  int rc = lu_resize(h, a.n);
  if (rc < 0)
    return rc;
  std::vector<std::vector<std::pair<int, double>>> rows(a.n);
  for (int j = 0; j < a.n; ++j)
    for (auto [i, v] : a.cols[j]) {
      if (by_rows)
        rows[i].push_back({j, v});
      else if ((rc = lu_append(h, i, j, v)) < 0)
        return rc;
    }
  for (int i = 0; i < a.n; ++i)
    for (auto [j, v] : rows[i])
      if ((rc = lu_append(h, i, j, v)) < 0)
        return rc;
  return 0;
}

// What the handle holds after a call that failed.
enum Holds { NOTHING_TO_SOLVE, THE_BASIS, THE_BASIS_OR_NOTHING };

struct Outcome {
  std::string call;  // the call that stopped the scenario
  double rc = 0;
  Holds holds = NOTHING_TO_SOLVE;
  Basis basis;  // the basis solved by the handle before that call
};

// The scenario from the sizing on.  Stops at the first negative result; a
// solve or a result that is wrong without a failure is a test failure (rc
// -100).
Outcome body(lu_handle* h, const Basis& a, bool by_rows) {
  Outcome o;
  o.basis = a;
  auto stop = [&](const char* call, double rc, Holds holds) {
    o.call = call;
    o.rc = rc;
    o.holds = holds;
    return rc < 0;
  };
  auto wrong = [&](const std::string& what) {
    ADD_FAILURE() << what;
    o.call = what;
    o.rc = -100;
    return o;
  };
  int rank = -1;
  int* q = nullptr;
  int* r = nullptr;
  if (stop("load", load(h, a, by_rows), NOTHING_TO_SOLVE) ||
      stop("lu_factoring", lu_factoring(h, 0, &rank, &q, &r), NOTHING_TO_SOLVE))
    return o;
  if (rank != a.n)
    return wrong("rank " + std::to_string(rank));
  const int n = a.n;
  std::vector<double> x(n);
  std::vector<int> idx(n);
  auto sparse_unit = [&](int i, bool forward) {
    std::fill(x.begin(), x.end(), 0.0);
    x[i] = 1.0;
    idx[0] = i;
    int nz = 1;
    int rc = forward ? zk_ftran_sparse(h, x.data(), idx.data(), &nz)
                     : zk_btran_sparse(h, x.data(), idx.data(), &nz);
    return stop(forward ? "zk_ftran_sparse" : "zk_btran_sparse", rc, THE_BASIS);
  };
  auto solves = [&]() {
    double res = solve_both(h, o.basis);
    return res >= 0 && res <= RESIDUAL_BOUND;
  };
  if (!solves())
    return wrong("factorized basis not solved");
  if (sparse_unit(0, true) || sparse_unit(n / 2, false))
    return o;
  if (stop("zk_rcond_estimate", zk_rcond_estimate(h), THE_BASIS))
    return o;
  // Each column replaced by itself scaled: the basis stays as well conditioned.
  std::vector<int> rows;
  std::vector<double> vals;
  for (int t = 1; t <= UPDATES; ++t) {
    int j = (t * 7) % n;
    double scale = t % 2 != 0 ? 2.0 : 0.5;
    rows.clear();
    vals.clear();
    for (auto [i, v] : o.basis.cols[j]) {
      rows.push_back(i);
      vals.push_back(scale * v);
    }
    int rc = zk_replace_column(h, j, (int)rows.size(), rows.data(), vals.data());
    if (stop("zk_replace_column", rc, THE_BASIS_OR_NOTHING))
      return o;
    if (rc != 0)
      return wrong("replacement " + std::to_string(t) + " returned " + std::to_string(rc));
    for (auto& e : o.basis.cols[j])
      e.second *= scale;
  }
  if (!solves())
    return wrong("updated basis not solved");
  if (sparse_unit(n - 1, true) || sparse_unit(1, false))
    return o;
  // Rank repair: one column emptied, the deficiency accepted, the pair
  // offered taken, and the repaired basis found nonsingular.
  Basis s = o.basis;
  s.cols[n / 3].clear();
  if (stop("load", load(h, s, by_rows), NOTHING_TO_SOLVE) ||
      stop("lu_factoring", lu_factoring(h, 1, &rank, &q, &r), NOTHING_TO_SOLVE))
    return o;
  std::vector<int> cols(n), prow(n);
  int pairs = zk_singular_pairs(h, cols.data(), prow.data());
  if (pairs != 1)
    return wrong("rank-deficient basis: " + std::to_string(pairs) + " pairs");
  s.cols[cols[0]] = {{prow[0], 1.0}};
  if (stop("load", load(h, s, by_rows), NOTHING_TO_SOLVE) ||
      stop("lu_factoring", lu_factoring(h, 1, &rank, &q, &r), NOTHING_TO_SOLVE))
    return o;
  o.basis = s;
  if (rank != n || !solves())
    return wrong("repaired basis: rank " + std::to_string(rank));
  if (stop("zk_singular_pairs", zk_singular_pairs(h, cols.data(), prow.data()), THE_BASIS))
    return o;
  o.call = "";
  o.rc = 0;
  return o;
}

class FastAllocSweep : public testing::TestWithParam<bool> {
 protected:
  Basis a = read_basis("adlittle_opt");

  // One run in a new thread with the k-th allocation failing (-1: none).
  // Returns the allocations the run made before its failure, or all of them.
  long run(long k) {
    long made = 0;
    std::thread t([&] {
      bool by_rows = GetParam();
      FileTail log(LOG);
      log.mark();
      mem_fail_countdown = k;
      lu_handle* h = lu_new();
      Outcome o;
      if (h == nullptr) {
        o.call = "lu_new";
        o.rc = -2;
      } else {
        o = body(h, a, by_rows);
      }
      made = mem_alloc_calls;
      bool reached = mem_fail_countdown == -1;
      mem_fail_countdown = -1;
      std::string text = log.take();
      if (k < 0) {
        EXPECT_EQ(o.rc, 0) << o.call << "\n" << text;
        EXPECT_EQ(text.find("cannot malloc"), std::string::npos) << text;
        lu_delete(h);
        return;
      }
      SCOPED_TRACE("allocation " + std::to_string(k) + ", failed in " + o.call);
      EXPECT_TRUE(reached) << "the run made fewer allocations than counted";
      // The failing call reports memory, and only it.
      EXPECT_EQ(o.rc, -2);
      EXPECT_NE(text.find("cannot malloc"), std::string::npos) << text;
      if (h == nullptr)
        h = lu_new();
      ASSERT_NE(h, nullptr);
      // What the handle does now, as documented for the failing call.
      double res = solve_both(h, o.basis);
      if (o.holds == NOTHING_TO_SOLVE) {
        EXPECT_EQ(res, -1.0);
      } else if (o.holds == THE_BASIS) {
        EXPECT_TRUE(res >= 0 && res <= RESIDUAL_BOUND) << "residual " << res;
      } else if (res < 0) {  // a failed replacement
        EXPECT_EQ(zk_refactor_advice(h, nullptr, nullptr, nullptr), 1);
      } else {
        EXPECT_LE(res, RESIDUAL_BOUND);
      }
      // The same handle recovers with a new sizing.
      Outcome again = body(h, a, by_rows);
      EXPECT_EQ(again.rc, 0) << again.call;
      lu_delete(h);
    });
    t.join();
    return made;
  }
};

TEST_P(FastAllocSweep, EveryAllocationFailsCleanlyAndNothingIsLeft) {
  long held = mem_live_blocks();
  long total = run(-1);
  ASSERT_FALSE(HasFailure());
  EXPECT_EQ(mem_live_blocks(), held);
  // The handle, the thread's tie, the handle's and the work record's arrays,
  // the column sums, the scratch vector, the estimate's arrays, and the
  // growth of the pools and of the R-eta file.
  ASSERT_GE(total, 40);
  std::printf("[          ] allocations failed: %ld\n", total);
  for (long k = 0; k < total; ++k) {
    run(k);
    EXPECT_EQ(mem_live_blocks(), held) << "allocation " << k;
    if (HasFailure())
      break;  // one failing allocation tells; the others would repeat it
  }
}

INSTANTIATE_TEST_SUITE_P(AppendOrder, FastAllocSweep, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& p) {
                           return p.param ? "RowByRow" : "ByColumns";
                         });

// ---- handle lifetime ----------------------------------------------------------------------

// No exception crosses the C interface: out of memory in lu_new is null and a
// message.
TEST(FastLifetime, NewReturnsNullWhenMemoryIsOut) {
  FileTail log(LOG);
  log.mark();
  mem_fail_countdown = 0;
  lu_handle* h = lu_new();
  mem_fail_countdown = -1;
  EXPECT_EQ(h, nullptr);
  EXPECT_NE(log.take().find("**** lu_new: cannot malloc"), std::string::npos);
  if (h != nullptr)
    lu_delete(h);
}

// Loads and factorizes a on h: true on success.
bool factorize(lu_handle* h, const Basis& a) {
  int rank;
  int* q;
  int* r;
  return load(h, a, false) == 0 && lu_factoring(h, 0, &rank, &q, &r) == 0 && rank == a.n;
}

// A thread's work record lives as long as a handle of the thread needs it:
// deleting one of two handles leaves the other solving, and the last one
// takes the record with it (before the thread ends).  Threads that end
// without lu_delete take their records with them; their handles, deleted
// later in another thread or sized there again (which ties them to that
// thread), leave nothing behind.  Runs in a thread of its own, whose record
// starts empty.
TEST(FastLifetime, RecordGoesWithTheThreadsLastHandleOrItsEnd) {
  Basis a = read_basis("adlittle_opt");
  Basis b = read_basis("bandm_opt");
  std::thread outer([&] {
    long held = mem_live_blocks();
    lu_handle* first = lu_new();
    lu_handle* second = lu_new();
    ASSERT_TRUE(factorize(first, b));  // the larger order: sizes the record
    ASSERT_TRUE(factorize(second, a));
    lu_delete(first);
    double res = solve_both(second, a);
    EXPECT_TRUE(res >= 0 && res <= RESIDUAL_BOUND) << "residual " << res;
    lu_delete(second);
    EXPECT_EQ(mem_live_blocks(), held) << "the last handle left the record";

    lu_handle* left[2] = {lu_new(), lu_new()};
    std::vector<std::thread> workers;
    for (int w = 0; w < 2; ++w)
      workers.emplace_back([&, w] {
        EXPECT_TRUE(factorize(left[w], w == 0 ? a : b));
        EXPECT_LE(solve_both(left[w], w == 0 ? a : b), RESIDUAL_BOUND);
      });
    for (std::thread& t : workers)
      t.join();
    // Sized again here: tied to this thread, it solves, and its deletion
    // frees this thread's record again.
    ASSERT_TRUE(factorize(left[1], a));
    res = solve_both(left[1], a);
    EXPECT_TRUE(res >= 0 && res <= RESIDUAL_BOUND) << "residual " << res;
    lu_delete(left[0]);
    lu_delete(left[1]);
    EXPECT_EQ(mem_live_blocks(), held) << "blocks of the ended threads left";
  });
  outer.join();
}

}  // namespace
