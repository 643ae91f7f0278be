// Helpers for the tests that link the static library with the diagnostics
// (zelkor_diag) and so reach its internal routines and globals.  Header only,
// included by those tests alone: the common test library goes into every
// test, also into those that link the shared library, where the internal
// names are hidden.
#ifndef ZELKOR_TEST_DIAG_H
#define ZELKOR_TEST_DIAG_H

#include <gtest/gtest.h>

#include <vector>

#include "lp_kesh.h"
#include "lp_lumx.h"
#include "test_support.h"

// Back to the state of a freshly loaded library: no name, no stream, never opened.
inline void log_reset() {
  log_restart();
  log_set_name(nullptr);
  log_forget_stdout();
}

// Log into "log.txt" of the test directory, whatever earlier tests left.
inline void log_to_file() {
  log_reset();
  ASSERT_EQ(log_open("log.txt"), 0);
}

// The log goes to "log.txt" in the test directory (a later lu_new keeps that
// name); take() returns what was written since start() or the previous take().
struct LogTap : FileTail {
  LogTap() : FileTail("log.txt") {}
  void start() {
    log_reset();
    ASSERT_EQ(log_open("log.txt"), 0);
    mark();
  }
};

// A test with the log captured from its start.
class LogTest : public testing::Test {
 protected:
  LogTap log;
  void SetUp() override { log.start(); }
};

// Restores the allocator at the end of a test, also when an assertion fails.
struct FailHookGuard {
  ~FailHookGuard() { mem_fail_countdown = -1; }
};

// Tests of handles driven through the internal routines: the log captured,
// full checks without their printed vectors, no injected allocation failure,
// and the shared work record as a freshly loaded library has it.  Handles
// made by fresh() are released after the test; never with lu_delete, which
// would free the shared record under the other handles.
class HandleTest : public LogTest {
 protected:
  std::vector<b_rec*> owned;

  void SetUp() override {
    LogTest::SetUp();
    basis_check = 2;
    check_print = 0;
    mem_fail_countdown = -1;
    lu_free(&lplu);
  }
  void TearDown() override {
    mem_fail_countdown = -1;
    for (b_rec* b : owned) {
      lumx_free(b);
      delete b;
    }
    lu_free(&lplu);
  }
  b_rec* fresh() {
    owned.push_back(new b_rec());
    return owned.back();
  }
};

#endif
