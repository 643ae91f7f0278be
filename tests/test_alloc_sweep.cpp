// Every allocation failed in turn.  A scenario loads a real basis through
// the interface, factorizes it, solves both ways, replaces 24 basis
// columns with the update and solves again.  One run without failures counts the
// library's allocations; then, for every k, the same scenario runs on a new
// handle with the k-th allocation failing.  Each such run must stop at a call
// that reports running out of memory (-2) with its message in the log, leave
// the handle either refusing to solve or solving the basis it held before
// the failing call, and, after a new sizing, factorize and solve the same
// basis correctly on the same handle.  Under the sanitizers (the asan preset)
// the sweep also shows that no failure path leaks or touches freed memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "lp_kesh.h"
#include "lp_lumx.h"
#include "lp_sm_lu.h"
#include "lp_ve.h"
#include "mtx.h"
#include "test_api.h"
#include "test_matrix.h"
#include "test_diag.h"
#include "test_support.h"
#include "zelkor.h"

namespace {

// The basis as columns of (row, value); the library sees the file's entries.
using Basis = column_matrix;

const double RESIDUAL_BOUND = 1e-10;
const int UPDATES = 24;

// Where a scenario stopped.
enum Stage { SIZING, LOADING, FACTORIZING, SOLVING, UPDATING, DONE };

const char* stage_name(Stage s) {
  static const char* const names[] = {"sizing",  "loading",  "factorizing",
                                      "solving", "updating", "done"};
  return names[s];
}

struct Outcome {
  Stage stage = SIZING;
  int rc = 0;
  Basis basis;  // the basis the factor holds when the scenario stopped
};

class AllocSweep : public LogTest {
 protected:
  Basis a;
  lpvect2 as{};  // the update's column, allocated before any failure is armed

  void SetUp() override {
    LogTest::SetUp();
    mtx_matrix m;
    ASSERT_TRUE(read_mtx(test_matrix_path("adlittle_opt"), m));
    a = columns_of(m);
    ASSERT_EQ(lpvect2_alloc(&as, a.n, nullptr), 0);
  }
  void TearDown() override {
    mem_fail_countdown = -1;
    lpvect2_free(&as);
    LogTest::TearDown();
  }

  // Sizes, loads, factorizes, solves, replaces 24 columns (each by
  // itself scaled, so the basis stays as well conditioned; enough entries for
  // the pool of the copy to grow), solves again.  Stops at
  // the first negative result; a solve that does not verify is the stage
  // SOLVING with rc 1.
  Outcome scenario(lu_handle* h) {
    Outcome o;
    o.basis = a;
    if ((o.rc = lu_resize(h, a.n)) < 0)
      return o;
    o.stage = LOADING;
    for (int j = 0; j < a.n; ++j)
      for (auto [i, v] : a.cols[j])
        if ((o.rc = lu_append(h, i, j, v)) < 0)
          return o;
    o.stage = FACTORIZING;
    int rank = -1;
    int* q = nullptr;
    int* r = nullptr;
    if ((o.rc = lu_factoring(h, 0, &rank, &q, &r)) < 0)
      return o;
    if (rank != a.n) {
      ADD_FAILURE() << "rank " << rank << " of " << a.n;
      o.rc = -100;
      return o;
    }
    std::vector<int> col_of_row(q, q + a.n);
    o.stage = SOLVING;
    double res = solve_both(h, o.basis);
    if (res < 0 || res > RESIDUAL_BOUND) {
      o.rc = 1;
      return o;
    }
    o.stage = UPDATING;
    for (int t = 1; t <= UPDATES; ++t) {
      int r0 = t * a.n / (UPDATES + 1);
      int j = col_of_row[r0];
      double scale = t % 2 != 0 ? 2.0 : 0.5;
      lpvect2_newmark(&as);
      for (auto [i, v] : o.basis.cols[j])
        lpvect2_set(&as, i, scale * v);
      int before = h->n_br;
      o.rc = lu_pivotting(h, r0, &as);
      if (o.rc < 0)
        return o;
      if (o.rc != before + 1) {
        ADD_FAILURE() << "update of row " << r0 << " returned " << o.rc;
        o.rc = -100;
        return o;
      }
      for (auto& e : o.basis.cols[j])
        e.second *= scale;
    }
    o.stage = SOLVING;
    res = solve_both(h, o.basis);
    if (res < 0 || res > RESIDUAL_BOUND) {
      o.rc = 1;
      return o;
    }
    o.stage = DONE;
    o.rc = 0;
    return o;
  }
};

TEST_F(AllocSweep, EveryAllocationOfLoadFactorSolveAndUpdateFailsCleanly) {
  long total = 0;
  {
    lu_handle* h = lu_new();
    long before = mem_alloc_calls;
    Outcome o = scenario(h);
    total = mem_alloc_calls - before;
    ASSERT_EQ(o.stage, DONE) << stage_name(o.stage) << " rc " << o.rc;
    lu_delete(h);
  }
  // Sizing alone allocates the factor record's, the working matrix's, the
  // copy's and the shared work record's arrays; the pools then grow.
  ASSERT_GE(total, 40);
  std::printf("[          ] allocation sites failed: %ld\n", total);
  log.take();

  for (long k = 0; k < total; ++k) {
    SCOPED_TRACE("allocation " + std::to_string(k) + " of " + std::to_string(total));
    lu_handle* h = lu_new();
    mem_fail_countdown = k;
    Outcome o = scenario(h);
    bool reached = mem_fail_countdown == -1;
    mem_fail_countdown = -1;
    EXPECT_TRUE(reached) << "the scenario made fewer allocations than counted";
    std::string text = log.take();
    // The failing call reports memory, and only it: no other stage may swallow
    // the failure, nor may a later result be taken for it.
    EXPECT_EQ(o.rc, -2) << "stopped " << stage_name(o.stage) << " with " << o.rc;
    EXPECT_NE(text.find("cannot malloc"), std::string::npos) << text;
    // The handle either refuses to solve or solves the basis it held.
    if (o.stage == UPDATING) {
      double res = solve_both(h, o.basis);
      EXPECT_TRUE(res < 0 ? h->fact_state != 0 : res <= RESIDUAL_BOUND) << "residual " << res;
    } else {
      std::vector<double> x(a.n), rhs(a.n, 1.0);
      EXPECT_EQ(lu_ftran(h, x.data(), rhs.data()), -1);
    }
    // The same handle recovers with a new sizing.
    Outcome again = scenario(h);
    EXPECT_EQ(again.stage, DONE) << stage_name(again.stage) << " rc " << again.rc;
    lu_delete(h);
    log.take();
  }
}

}  // namespace
