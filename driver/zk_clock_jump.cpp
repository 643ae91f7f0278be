// zk_clock_jump: a test aid, never linked into the program.  The program's
// tests preload it (LD_PRELOAD) to set the system clock back between the
// program's readings: every reading of the wall clock through clock_gettime
// or timespec_get returns a time one hour earlier than the reading before.
// The other clocks are passed through unchanged.
#include <dlfcn.h>

#include <ctime>

namespace {

using clock_gettime_fn = int (*)(clockid_t, timespec*);

int g_readings = 0;  // wall-clock readings so far

}  // namespace

extern "C" int clock_gettime(clockid_t id, timespec* ts) noexcept {
  static const clock_gettime_fn next =
      reinterpret_cast<clock_gettime_fn>(dlsym(RTLD_NEXT, "clock_gettime"));
  int rc = next(id, ts);
  if (rc == 0 && id == CLOCK_REALTIME)
    ts->tv_sec -= 3600 * ++g_readings;
  return rc;
}

extern "C" int timespec_get(timespec* ts, int base) noexcept {
  return base == TIME_UTC && clock_gettime(CLOCK_REALTIME, ts) == 0 ? base : 0;
}
