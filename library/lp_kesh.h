// lp_kesh: the floor of the library.
//
//  - Consistency checks.  A check states that a value lies in a range.  The
//    site evaluates the condition inline; only on failure does it add one to
//    the failed-check count and call chk_int / chk_real, which write one
//    report line to the log and return 1.  A failed check never stops the
//    operation that made it.
//
//        kind  routine   holds when          report letter
//        CHKA  chk_int   lo <= v <  hi       A
//        CHKB  chk_int   lo <= v <= hi       B
//        CHKX  chk_real  lo <= v <  hi       X
//        CHKY  chk_real  lo <= v <= hi       Y
//
//    The macros yield 0 when the check holds and 1 when it failed.
//
//  - Trace lines: a head written by trace_mark (" ==>" entry, " -- " middle,
//    "<== " exit, the source file tail and line) followed by the routine's own
//    message.  Trace lines, dumps, the matrix copy and its verification exist
//    only when ZELKOR_DIAG is defined (the library build); in the program
//    build the macros below expand to nothing, so no trace code, no switch and
//    no dump is compiled in.
//
//  - The log stream: one process-wide output.  Standard output until a log
//    file is named and opened; then every message opens the file ("w" the
//    first time in the process, "a" afterwards), writes and closes it again,
//    so the file is complete on disk after each line.  Messages are written
//    in Shift_JIS, converted from the UTF-8 of the sources (lp_text.h).  With
//    one working state per thread, a lock makes each log routine one step
//    for all threads, and the caller may route the log to a file of its own
//    or nowhere, in UTF-8 or Shift_JIS (zk_set_log, zelkor_simplex.h).
//
//  - Memory: every growable array is a plain heap block grown by mem_realloc
//    (which keeps the old block on failure) and freed by mem_free (which sets
//    the pointer to null, so freeing twice is harmless).
//
//  - Print routines for arrays, in rows of at most 20 entries.
#ifndef ZELKOR_LP_KESH_H
#define ZELKOR_LP_KESH_H

#include <cstddef>
#include <cstdint>

#include "zk_compiler.h"

// ---- consistency checks ------------------------------------------------------

// ZK_THREAD_LOCAL marks the library's working state: one per thread in the
// fast shared library (built with ZELKOR_PER_THREAD), one per process in the
// library with diagnostics and in the program's build.  The log stream is one
// per process in every build (see below).
#ifdef ZELKOR_PER_THREAD
#define ZK_THREAD_LOCAL thread_local
#else
#define ZK_THREAD_LOCAL
#endif

// Failed checks so far; the check site increments it before reporting.
extern ZK_THREAD_LOCAL int32_t chk_fail_n;

int chk_int(int kind, int32_t lo, int32_t value, int32_t hi, const char* file, int line,
            const char* lbl1, const char* lbl2, const char* lbl3);
int chk_real(int kind, double lo, double value, double hi, const char* file, int line,
             const char* lbl1, const char* lbl2, const char* lbl3);
int chk_fail_count();
int chk_set_fail_count(int count);

// Check sites.  Inline so that a passing check costs one comparison.
inline int chk_site_int(int kind, int32_t lo, int32_t v, int32_t hi, const char* file, int line) {
  bool ok = kind == 0 ? (lo <= v && v < hi) : (lo <= v && v <= hi);
  if (ok) [[likely]]
    return 0;
  if (chk_fail_n < INT32_MAX)  // the count stops at its largest value
    ++chk_fail_n;
  return chk_int(kind, lo, v, hi, file, line, "x", "y", "z");
}
inline int chk_site_real(int kind, double lo, double v, double hi, const char* file, int line) {
  bool ok = kind == 0 ? (lo <= v && v < hi) : (lo <= v && v <= hi);
  if (ok) [[likely]]
    return 0;
  if (chk_fail_n < INT32_MAX)  // the count stops at its largest value
    ++chk_fail_n;
  return chk_real(kind, lo, v, hi, file, line, "x", "y", "z");
}

#define CHKA(lo, v, hi) chk_site_int(0, (lo), (v), (hi), __FILE__, __LINE__)
#define CHKB(lo, v, hi) chk_site_int(1, (lo), (v), (hi), __FILE__, __LINE__)
#define CHKX(lo, v, hi) chk_site_real(0, (lo), (v), (hi), __FILE__, __LINE__)
#define CHKY(lo, v, hi) chk_site_real(1, (lo), (v), (hi), __FILE__, __LINE__)

// ---- diagnostics switch --------------------------------------------------------

// A trace switch: one signed byte per traced operation, 0 when the library is
// loaded; non-zero prints that operation's trace lines, larger values print more.
typedef signed char trace_sw;

#ifdef ZELKOR_DIAG
#define ZK_DIAG 1
// Statements that exist only in the library build (range checks of the matrix
// store, dumps, verification).
#define ZK_DIAG_ONLY(...) __VA_ARGS__
// One trace line: head with the marker (0 entry, 1 middle, 2 exit), then the message.
#define ZK_TRACE(sw, marker, ...)                             \
  do {                                                        \
    if (sw) {                                                 \
      trace_mark((marker), __FILE__, __LINE__, 0);            \
      log_printf(__VA_ARGS__);                                \
    }                                                         \
  } while (0)
#else
#define ZK_DIAG 0
#define ZK_DIAG_ONLY(...)
#define ZK_TRACE(sw, marker, ...) ((void)0)
#endif

enum { TRACE_ENTRY = 0, TRACE_MIDDLE = 1, TRACE_EXIT = 2 };

int trace_mark(int marker, const char* file, int line, int newline);
const char* path_tail(const char* path);

// ---- log stream --------------------------------------------------------------------

int log_open(const char* name);
int log_stream_open(const char* mode);
int log_close();
int log_set_name(const char* name);
int log_restart();
int log_forget_stdout();
int log_printf(const char* fmt, ...) ZK_PRINTF_LIKE(1, 2);
int log_error(const char* fmt, ...) ZK_PRINTF_LIKE(1, 2);

// ---- memory ------------------------------------------------------------------------

// Re-allocates *p to `bytes` bytes keeping its contents; on success stores and
// returns the new block, on failure returns null and leaves *p as it was.
void* mem_realloc(void** p, size_t bytes);
// Frees *p when not null and sets it to null.  The label names the field
// ("lplu->dwk1"); label, file and line are not printed.
int mem_free(void** p, const char* label, const char* file, int line);

// Typed forms: grow an array of T to `count` entries / free it.
template <class T>
inline T* mem_grow(T** p, long long count) {
  if (count < 0 || (unsigned long long)count > SIZE_MAX / sizeof(T))
    return nullptr;
  return static_cast<T*>(mem_realloc(reinterpret_cast<void**>(p), (size_t)count * sizeof(T)));
}
template <class T>
inline int mem_release(T** p, const char* label, const char* file, int line) {
  return mem_free(reinterpret_cast<void**>(p), label, file, line);
}
#define MEM_FREE(p, label) mem_release(&(p), (label), __FILE__, __LINE__)

// The allocation hook, for tests: in the build with diagnostics and in a
// test-only build of the fast library (ZELKOR_ALLOC_HOOK), never in the
// libraries that are shipped without diagnostics.
#if defined(ZELKOR_DIAG) || defined(ZELKOR_ALLOC_HOOK)
#define ZK_ALLOC_HOOK 1
// When >= 0, the allocation that finds it at 0 fails and every allocation
// counts it down; -1 (the default) never fails.  Per thread, like the
// working state.
extern ZK_THREAD_LOCAL long mem_fail_countdown;
// Allocations made through mem_realloc so far (this thread).
extern ZK_THREAD_LOCAL long mem_alloc_calls;
// Blocks that mem_realloc allocated and mem_free has not freed yet, all
// threads together: what the library holds at a moment.
long mem_live_blocks();
#endif

// ---- array print routines ----------------------------------------------------------

int print_dvec(const double* v, int count, const char* label, int flag);
int print_dvec_neg(const double* v, int count, const char* label, int sign);
int print_ivec(const int32_t* v, int count, const char* label, int flag);
int print_cvec(const signed char* v, int count, const char* label, int flag);

// ---- numeric helpers ---------------------------------------------------------------

int tol_compare(double x, double y, double tol, double* ratio);
int rand31();
int split27(double v, double* hi, double* lo);
int dd_mul(double* hi, double* lo, double x);
#ifdef ZELKOR_DIAG
// The rand31 state (high limb first, 48 bits), for tests.
uint64_t rand31_state();
#endif

#endif
