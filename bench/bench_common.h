// What the benchmark programs share: the clocks and medians, the Matrix
// Market files of a folder and their header lines, a matrix by columns, the
// fields of a TSV row, and the command line of a program that takes options
// and paths.  Header only: every benchmark is one source file (see
// CMakeLists.txt), and the tests' reader mtx.h comes the same way.
#ifndef ZELKOR_BENCH_COMMON_H
#define ZELKOR_BENCH_COMMON_H

#include <time.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "mtx.h"

// ---- clocks and medians -------------------------------------------------------------

// A field that was not measured.
inline const double NA = std::nan("");

// Seconds on the monotonic clock.
inline double now_s() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + 1e-9 * (double)ts.tv_nsec;
}

using clock_type = std::chrono::steady_clock;

// Microseconds since t0.
inline double us_since(clock_type::time_point t0) {
  return std::chrono::duration<double, std::micro>(clock_type::now() - t0).count();
}

// The median of v (the mean of the middle two for an even count); NaN when
// v is empty.
inline double median(std::vector<double> v) {
  if (v.empty())
    return NA;
  std::sort(v.begin(), v.end());
  size_t h = v.size() / 2;
  return v.size() % 2 == 1 ? v[h] : 0.5 * (v[h - 1] + v[h]);
}

// ---- Matrix Market files ------------------------------------------------------------

// The first line of a Matrix Market file in lower case (its banner, with the
// line end), and the rows and columns of its size line: -1 each when the file
// cannot be read or its first line that is not a comment does not start with
// two integers.
struct MtxHead {
  std::string banner;
  int rows = -1;
  int n = -1;
};

inline MtxHead read_head(const std::string& path) {
  MtxHead h;
  FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr)
    return h;
  char line[1024];
  bool first = true;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (first) {
      h.banner = line;
      first = false;
    }
    if (line[0] == '%')
      continue;
    int m, n;
    if (std::sscanf(line, "%d %d", &m, &n) == 2) {
      h.rows = m;
      h.n = n;
    }
    break;
  }
  std::fclose(f);
  for (char& c : h.banner)
    c = (char)std::tolower((unsigned char)c);
  return h;
}

// The paths of the *.mtx entries of folder, sorted; none when it cannot be
// listed.
inline std::vector<std::string> mtx_files(const std::string& folder) {
  std::vector<std::string> files;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(folder, ec))
    if (e.path().extension() == ".mtx")
      files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  return files;
}

// The files that paths stand for, in order: expand(path) of each, a vector
// of file names.
template <class Expand>
std::vector<std::string> expand_paths(const std::vector<std::string>& paths, Expand expand) {
  std::vector<std::string> files;
  for (const std::string& p : paths)
    for (std::string& f : expand(p))
      files.push_back(std::move(f));
  return files;
}

// A column: (row, value) pairs.
using column = std::vector<std::pair<int, double>>;

// The columns of m into cols: entries at one position summed, zeros left
// out, rows ascending.  False when an entry lies outside the order (cols is
// then incomplete).
inline bool columns_of(const mtx_matrix& m, std::vector<column>& cols) {
  std::vector<std::map<int, double>> by_col(m.n);
  for (const mtx_entry& e : m.entries) {
    if (e.row < 0 || e.row >= m.n || e.col < 0 || e.col >= m.n)
      return false;
    by_col[e.col][e.row] += e.v;
  }
  cols.assign(m.n, {});
  for (int c = 0; c < m.n; ++c)
    for (auto [r, v] : by_col[c])
      if (v != 0.0)
        cols[c].push_back({r, v});
  return true;
}

// ---- TSV rows -----------------------------------------------------------------------

// x in the printf format fmt; "NA" for NaN.
inline std::string field(double x, const char* fmt) {
  if (std::isnan(x))
    return "NA";
  char buf[64];
  std::snprintf(buf, sizeof buf, fmt, x);
  return buf;
}

// x in decimal; "NA" when negative.
inline std::string field(long x) { return x < 0 ? "NA" : std::to_string(x); }

// The fields joined by tabs as one line on standard output, flushed.
inline void print_tsv_row(const std::vector<std::string>& fields) {
  std::string line;
  for (const std::string& c : fields)
    line += (line.empty() ? "" : "\t") + c;
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// ---- command lines ------------------------------------------------------------------

inline bool is_help(const std::string& arg) { return arg == "-h" || arg == "--help"; }

// The command line "prog [OPTION ...] PATH ..." into paths, in order.
// -h or --help prints usage on standard output.  Every other argument of
// more than one character that starts with '-' goes to option(k), k its
// index in argv: it returns 0 when it took the option (k moved past a value
// it took), 2 after printing its own message, -1 for an option it does not
// know ("prog: unknown option" and the usage on standard error).  The rest
// are paths: at least one (else the usage on standard error), each existing
// as a file or folder (else "prog: no such file or folder").  0 to run, 1
// after -h, 2 after an error; the first error or -h ends the parse.
template <class Option>
int parse_command_line(int argc, char** argv, const char* prog, const char* usage,
                       std::vector<std::string>& paths, Option option) {
  for (int k = 1; k < argc; ++k) {
    std::string a = argv[k];
    if (is_help(a)) {
      std::fputs(usage, stdout);
      return 1;
    }
    if (a.size() > 1 && a[0] == '-') {
      int rc = option(k);
      if (rc == -1) {
        std::fprintf(stderr, "%s: unknown option %s\n%s", prog, a.c_str(), usage);
        return 2;
      }
      if (rc != 0)
        return rc;
    } else {
      paths.push_back(a);
    }
  }
  if (paths.empty()) {
    std::fputs(usage, stderr);
    return 2;
  }
  for (const std::string& p : paths) {
    std::error_code ec;
    if (!std::filesystem::exists(p, ec)) {
      std::fprintf(stderr, "%s: no such file or folder: %s\n", prog, p.c_str());
      return 2;
    }
  }
  return 0;
}

// Whether folder is a folder; false after "prog: no such folder: FOLDER" on
// standard error.
inline bool is_folder(const char* prog, const std::string& folder) {
  std::error_code ec;
  if (std::filesystem::is_directory(folder, ec))
    return true;
  std::fprintf(stderr, "%s: no such folder: %s\n", prog, folder.c_str());
  return false;
}

#endif
