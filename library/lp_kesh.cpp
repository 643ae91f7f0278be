// lp_kesh: consistency-check reports, trace heads, the log stream, memory
// helpers and array print routines.  See lp_kesh.h for the conventions.
#include "lp_kesh.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#ifdef ZELKOR_PER_THREAD
#include <mutex>
#endif
#ifdef ZK_ALLOC_HOOK
#include <atomic>
#endif

#include "lp_text.h"
#ifdef ZELKOR_SIMPLEX
#include "zelkor_simplex.h"
#endif

// ---- consistency checks ------------------------------------------------------

ZK_THREAD_LOCAL int32_t chk_fail_n = 0;

int chk_int(int kind, int32_t lo, int32_t value, int32_t hi, const char* file, int line,
            const char* lbl1, const char* lbl2, const char* lbl3) {
  log_printf("*** CHK%c error <== %8s(%d) %s(%ld) %s(%ld) %s(%ld)\n", kind == 0 ? 'A' : 'B',
             path_tail(file), line, lbl1, (long)lo, lbl2, (long)value, lbl3, (long)hi);
  return 1;
}

int chk_real(int kind, double lo, double value, double hi, const char* file, int line,
             const char* lbl1, const char* lbl2, const char* lbl3) {
  log_printf("*** CHK%c error <== %8s(%d) %s(%g) %s(%g) %s(%g)\n", kind == 0 ? 'X' : 'Y',
             path_tail(file), line, lbl1, lo, lbl2, value, lbl3, hi);
  return 1;
}

int chk_fail_count() { return chk_fail_n; }

int chk_set_fail_count(int count) {
  chk_fail_n = count;
  return 0;
}

// ---- trace heads -------------------------------------------------------------------

static const char* const trace_markers[3] = {" ==>", " -- ", "<== "};

int trace_mark(int marker, const char* file, int line, int newline) {
  if (marker < 0 || marker > 2)
    marker = 1;
  log_printf("%s %-8s(%3d) %c", trace_markers[marker], path_tail(file), line, newline ? '\n' : ' ');
  return 0;
}

// The text after the last path separator.  Both the backslash and the slash
// count, since source paths here are written with slashes.
const char* path_tail(const char* path) {
  if (path == nullptr)
    return "";
  const char* tail = path;
  for (const char* p = path; *p; ++p)
    if (*p == '\\' || *p == '/')
      tail = p + 1;
  return tail;
}

// ---- log stream --------------------------------------------------------------------
//
// States: no stream; a file open (only during one message, or between a
// successful log_open and the next message); standard output, which once it
// is the stream stays the stream.  With one working state per thread
// (ZELKOR_PER_THREAD) the stream stays one per process: every routine below
// holds log_lock, so that messages of two threads never interleave and the
// state changes one thread at a time.
//
// Each message is formatted, converted from UTF-8 to Shift_JIS (lp_text.h)
// and written.  In the fast library the caller may route the log elsewhere
// with zk_set_log: from then on log_route decides where every message goes
// (a file kept open, flushed after each message, or nowhere) and whether it
// is converted; the name and the stream above are no longer used, so no
// handle opens "Zelkordbg.txt" any more.

static char* log_name = nullptr;  // heap copy; null or "" means standard output
static FILE* log_fp = nullptr;    // the open stream, or null
static int log_opened_before = 0; // 1 after the first successful log_open

// The route set by zk_set_log (never set in the other builds).
struct log_route_rec {
  bool set;    // a route was set: the name and the stream above are unused
  FILE* fp;    // the file, open for appending; null: no log at all
  bool utf8;   // write the messages as they are, in UTF-8
};
static log_route_rec log_route = {false, nullptr, false};

#ifdef ZELKOR_PER_THREAD
static std::recursive_mutex log_lock;  // log_open calls log_close: recursive
#define LOG_LOCKED() std::lock_guard<std::recursive_mutex> log_guard(log_lock)
#else
#define LOG_LOCKED() ((void)0)
#endif

static bool log_name_empty() { return log_name == nullptr || log_name[0] == '\0'; }

// Replaces the stored name with a copy of `name` (null: the empty name).
static void log_store_name(const char* name) {
  free(log_name);
  log_name = nullptr;
  if (name == nullptr || name[0] == '\0')
    return;
  size_t len = strlen(name);
  log_name = static_cast<char*>(malloc(len + 1));
  if (log_name != nullptr)
    memcpy(log_name, name, len + 1);
}

int log_open(const char* name) {
  LOG_LOCKED();
  if (log_route.set)  // the caller's route stands
    return 0;
  log_close();
  if (log_name_empty())
    log_store_name(name);
  if (name == nullptr)
    log_store_name(nullptr);
  int rc = log_stream_open(log_opened_before ? "a" : "w");
  if (rc == -1)
    log_store_name(nullptr);
  else
    log_opened_before = 1;
  return rc;
}

int log_stream_open(const char* mode) {
  LOG_LOCKED();
  if (log_fp != nullptr)
    return 0;
  if (log_name_empty())
    log_fp = stdout;
  else
    log_fp = fopen(log_name, mode);
  return log_fp != nullptr ? 0 : -1;
}

int log_close() {
  LOG_LOCKED();
  if (log_fp != nullptr && log_fp != stdout) {
    fclose(log_fp);
    log_fp = nullptr;
  }
  return 0;
}

int log_set_name(const char* name) {
  LOG_LOCKED();
  log_store_name(name);
  return 0;
}

int log_restart() {
  LOG_LOCKED();
  log_close();
  log_opened_before = 0;
  return 0;
}

int log_forget_stdout() {
  LOG_LOCKED();
  if (log_fp == stdout) {
    log_fp = nullptr;
    log_opened_before = 0;
  }
  return 0;
}

// Formats one message, converts it to Shift_JIS unless `utf8`, and writes
// it to fp.  The bytes written; 0 when nothing could be formatted.  A message
// longer than the buffer is formatted again into a heap block; when that
// cannot be had, its first bytes are written.
static int log_write(FILE* fp, bool utf8, const char* fmt, va_list ap) {
  char buf[1024];
  va_list again;
  va_copy(again, ap);
  int n = vsnprintf(buf, sizeof buf, fmt, ap);
  char* text = buf;
  char* block = nullptr;
  if (n >= (int)sizeof buf) {
    block = static_cast<char*>(malloc((size_t)n + 1));
    if (block != nullptr && vsnprintf(block, (size_t)n + 1, fmt, again) == n)
      text = block;
    else
      n = (int)sizeof buf - 1;
  }
  va_end(again);
  size_t len = n > 0 ? (size_t)n : 0;
  if (!utf8)
    len = text_cp932(text, len);
  size_t written = fwrite(text, 1, len, fp);
  free(block);
  return (int)written;
}

static int log_vprintf(const char* fmt, va_list ap) {
  LOG_LOCKED();
  if (log_route.set) {
    if (log_route.fp == nullptr)
      return 0;
    int n = log_write(log_route.fp, log_route.utf8, fmt, ap);
    fflush(log_route.fp);
    return n;
  }
  if (log_fp == nullptr && log_stream_open("a") != 0)
    return 0;
  int n = log_write(log_fp, false, fmt, ap);
  log_close();
  return n;
}

int log_printf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = log_vprintf(fmt, ap);
  va_end(ap);
  return n;
}

int log_error(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = log_vprintf(fmt, ap);
  va_end(ap);
  return n;
}

#ifdef ZELKOR_SIMPLEX
// zk_set_log: the route of every later message (see zelkor_simplex.h).  The
// new file is opened before the old one is closed, so that a failure leaves
// the route as it was.
int zk_set_log(const char* path, int utf8) {
  LOG_LOCKED();
  FILE* fp = nullptr;
  if (path != nullptr) {
    fp = fopen(path, "a");
    if (fp == nullptr) {
      fprintf(stderr, "zk_set_log: cannot open file(%s)\n", path);
      return -1;
    }
  }
  if (log_route.fp != nullptr)
    fclose(log_route.fp);
  log_close();
  log_route = {true, fp, utf8 != 0};
  return 0;
}
#endif

// ---- memory ------------------------------------------------------------------------

#ifdef ZK_ALLOC_HOOK
ZK_THREAD_LOCAL long mem_fail_countdown = -1;
ZK_THREAD_LOCAL long mem_alloc_calls = 0;
static std::atomic<long> mem_live{0};

long mem_live_blocks() { return mem_live.load(); }
#endif

void* mem_realloc(void** p, size_t bytes) {
#ifdef ZK_ALLOC_HOOK
  ++mem_alloc_calls;
  if (mem_fail_countdown >= 0 && mem_fail_countdown-- == 0)
    return nullptr;
  if (*p == nullptr)
    ++mem_live;  // counted before the block exists: never seen below zero
#endif
  // A zero-byte request still yields a block, so that "allocated" and "null"
  // keep their meaning for the callers.
  void* q = realloc(*p, bytes != 0 ? bytes : 1);
  if (q == nullptr) {
#ifdef ZK_ALLOC_HOOK
    if (*p == nullptr)
      --mem_live;
#endif
    return nullptr;
  }
  *p = q;
  return q;
}

int mem_free(void** p, const char* label, const char* file, int line) {
  (void)label;
  (void)file;
  (void)line;
  if (*p != nullptr) {
    free(*p);
    *p = nullptr;
#ifdef ZK_ALLOC_HOOK
    --mem_live;
#endif
  }
  return 0;
}

// ---- array print routines ----------------------------------------------------------
//
// Rows of at most 20 entries; each row is the label and a tab, the entries,
// and a newline.  An empty array prints nothing.  The flag has no effect.
// A row is formatted first and written as one message, so that a row costs
// one opening of the log file rather than one per entry.

static const int PRINT_ROW = 20;

template <class T, class Fmt>
static int print_rows(const T* v, int count, const char* label, Fmt fmt) {
  char row[PRINT_ROW * 40 + 1];
  for (int i = 0; i < count; i += PRINT_ROW) {
    int end = i + PRINT_ROW < count ? i + PRINT_ROW : count;
    size_t used = 0;
    for (int k = i; k < end; ++k)
      used += fmt(row + used, sizeof row - used, v[k]);
    log_printf("%s\t%s\n", label, row);
  }
  return 0;
}

static size_t fmt_double(char* out, size_t room, double x) {
  int n = snprintf(out, room, " %g", x);
  return n > 0 ? (size_t)n : 0;
}
static size_t fmt_double_neg(char* out, size_t room, double x) { return fmt_double(out, room, -x); }
static size_t fmt_int(char* out, size_t room, int x) {
  int n = snprintf(out, room, " %d", x);
  return n > 0 ? (size_t)n : 0;
}

int print_dvec(const double* v, int count, const char* label, int flag) {
  (void)flag;
  return print_rows(v, count, label, fmt_double);
}

int print_dvec_neg(const double* v, int count, const char* label, int sign) {
  return print_rows(v, count, label, sign < 0 ? fmt_double_neg : fmt_double);
}

int print_ivec(const int32_t* v, int count, const char* label, int flag) {
  (void)flag;
  return print_rows(v, count, label, [](char* o, size_t r, int32_t x) { return fmt_int(o, r, x); });
}

int print_cvec(const signed char* v, int count, const char* label, int flag) {
  (void)flag;
  return print_rows(v, count, label, [](char* o, size_t r, signed char x) { return fmt_int(o, r, x); });
}

// ---- numeric helpers -----------------------------------------------------------------
//
// Plain double arithmetic throughout: the order of the operations below is
// what makes split27 and dd_mul exact, so nothing may be regrouped or fused
// into a multiply-add (the x86-64 baseline target has no FMA instruction, so
// the compiler cannot contract these expressions).

#include <cmath>

// Working tolerance of the last tol_compare; per working state, so not reentrant.
static ZK_THREAD_LOCAL double tol_work = 0.0;

// 0 when y agrees with x within tol (absolute below magnitude 1, relative
// above), 1 otherwise.  When the absolute test fails the ratio of the two is
// stored, and for x > 1 a ratio within tol still counts as agreement.
int tol_compare(double x, double y, double tol, double* ratio) {
  double a = std::fabs(x);
  tol_work = a < 1.0 ? tol : a * tol;
  double d = y - x;
  if (-tol_work <= d && d <= tol_work)
    return 0;  // a NaN difference fails both comparisons
  double r;
  if (x == 0.0) {
    r = y;
  } else if (y == 0.0) {
    r = x;
  } else {
    double q = std::fabs(x / y);
    if (q < 1.0)
      q = 1.0 / q;
    r = q - 1.0;
  }
  if (ratio != nullptr)
    *ratio = r;
  return x > 1.0 && -tol <= r && r <= tol ? 0 : 1;
}

// 48-bit linear congruential state as 16-bit limbs, low to high, each 0x5555
// at load.  Held in uint32_t so that the limb products below wrap modulo 2^32
// instead of overflowing a promoted int.
static ZK_THREAD_LOCAL uint32_t rand_x0 = 0x5555, rand_x1 = 0x5555, rand_x2 = 0x5555;

// X <- (0x5DEECE66D * X + 0xB) mod 2^48, limb by limb in 32-bit arithmetic;
// returns the low 31 bits of the new state, skipping a low word of all ones.
int rand31() {
  const uint32_t a0 = 0xE66D, a1 = 0xDEEC, a2 = 0x0005, c = 0xB;
  uint32_t w;
  do {
    uint32_t l = a0 * rand_x0 + c;
    uint32_t m = (l >> 16) + a1 * rand_x0 + a0 * rand_x1;
    uint32_t h = (m >> 16) + a2 * rand_x0 + a1 * rand_x1 + a0 * rand_x2;
    rand_x0 = l & 0xFFFF;
    rand_x1 = m & 0xFFFF;
    rand_x2 = h & 0xFFFF;
    w = rand_x1 << 16 | rand_x0;
  } while (w == 0xFFFFFFFF);
  return (int)(w & 0x7FFFFFFF);
}

#ifdef ZELKOR_DIAG
uint64_t rand31_state() { return (uint64_t)rand_x2 << 32 | (uint64_t)rand_x1 << 16 | rand_x0; }
#endif

// Splits v into a leading part hi of at most 27 significant bits and the rest
// lo, with hi + lo == v exactly, so that products of halves are exact.
int split27(double v, double* hi, double* lo) {
  double c = std::pow(2.0, 27.0) * v;
  double h = (v + c) - c;
  *hi = h;
  *lo = v - h;
  return 0;
}

// (hi, lo) <- (hi + lo) * x as an unnormalized double-double: hi is the
// exact product of the leading halves, lo the sum of the other seven partial
// products (each exact), accumulated in a fixed order.
int dd_mul(double* hi, double* lo, double x) {
  double ph, pl, qh, ql, xh, xl;
  split27(*hi, &ph, &pl);
  split27(*lo, &qh, &ql);
  split27(x, &xh, &xl);
  double s = pl * xh;
  s = ph * xl + s;
  s = pl * xl + s;
  s = qh * xh + s;
  s = qh * xl + s;
  s = ql * xh + s;
  s = ql * xl + s;
  *hi = ph * xh;
  *lo = s;
  return 0;
}
