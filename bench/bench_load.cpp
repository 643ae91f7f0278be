// Sizes a handle for order 1,000,000 and loads 5,000,000 elements (five per
// column at pseudo-random rows, the same every run), then prints the time
// taken and the peak resident memory.  Takes no argument (-h prints the
// usage).  Exit status: 0 when the peak stayed within 1 GB, 1 when it went
// above, 2 when a call failed or after a usage error.
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "zelkor.h"

int main(int argc, char** argv) {
  const char* usage =
      "usage: bench_load\n"
      "Loads 5,000,000 elements into a handle of order 1,000,000 through the shared\n"
      "library and prints the time and the peak resident memory (limit 1 GB).\n";
  if (argc > 1) {
    bool help = std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0;
    std::fputs(usage, help ? stdout : stderr);
    return help && argc == 2 ? 0 : 2;
  }
  const int order = 1000000;
  const int per_col = 5;
  const long limit_kb = 1024L * 1024L;  // 1 GB

  auto start = std::chrono::steady_clock::now();
  lu_handle* h = lu_new();
  if (lu_resize(h, order) != 0) {
    std::fprintf(stderr, "bench_load: lu_resize(%d) failed\n", order);
    return 2;
  }
  uint64_t state = 0x2545F4914F6CDD1DULL;
  long stored = 0;
  for (int col = 0; col < order; ++col) {
    for (int k = 0; k < per_col; ++k) {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      int row = (int)((state >> 33) % (uint64_t)order);
      double v = 1.0 + (double)((state >> 20) % 1000) / 100.0;
      if (lu_append(h, row, col, v) < 0) {
        std::fprintf(stderr, "bench_load: lu_append(%d, %d) failed\n", row, col);
        return 2;
      }
      ++stored;
    }
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  lu_delete(h);

  struct rusage ru {};
  getrusage(RUSAGE_SELF, &ru);
  long peak_kb = ru.ru_maxrss;  // kilobytes on Linux
  std::printf("order %d, %ld elements loaded in %.3f s, peak resident memory %.1f MB"
              " (limit %.0f MB)\n",
              order, stored, secs, peak_kb / 1024.0, limit_kb / 1024.0);
  return peak_kb > limit_kb ? 1 : 0;
}
