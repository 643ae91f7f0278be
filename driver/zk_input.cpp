// zk_input: reading the coefficient and right-hand-side files of the console
// program, and sorting the elements read.
#include "zk_input.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

// The largest index accepted: index + 1 (the order) must still fit in int32_t.
constexpr int64_t max_index = 2147483646;

// One physical line of any length, newline included when there is one.  The
// files are text from any system: a line ends with "\n", "\r\n" or a bare
// "\r", and every ending is read as "\n", so that a blank line of any kind
// is an empty line.  Byte by byte rather than with fgets, so that a NUL byte
// cannot hide a newline and join two lines.  false at the end of the file.
bool read_line(FILE* f, std::string& line) {
  line.clear();
  int c;
  while ((c = std::getc(f)) != EOF) {
    if (c == '\r') {  // "\r\n" or a bare "\r"
      c = std::getc(f);
      if (c != '\n' && c != EOF)
        std::ungetc(c, f);
      c = '\n';
    }
    line += static_cast<char>(c);
    if (c == '\n')
      break;
  }
  return !line.empty();
}

// An index as "%d" reads it: white space, an optional sign, decimal digits.
// Accumulated by hand so that a huge number is rejected, never overflows.
// Rejects negatives and anything above max_index.  The end, or nullptr.
const char* parse_index(const char* p, int32_t& out) {
  while (std::isspace(static_cast<unsigned char>(*p)))
    ++p;
  bool neg = *p == '-';
  if (*p == '+' || *p == '-')
    ++p;
  if (*p < '0' || *p > '9')
    return nullptr;
  int64_t v = 0;
  for (; *p >= '0' && *p <= '9'; ++p)
    if ((v = v * 10 + (*p - '0')) > max_index)
      return nullptr;
  if (neg && v != 0)
    return nullptr;
  out = static_cast<int32_t>(v);
  return p;
}

// nidx indices, each followed directly by a comma, then a finite value (in
// any form strtod takes, which is what "%le" takes).  Whatever follows the
// value is ignored.  An infinity or NaN, also from an overflowing exponent,
// makes the line bad; an underflow to 0 or a subnormal is a value like any.
bool parse_line(const char* p, int nidx, int32_t* idx, double& v) {
  for (int n = 0; n < nidx; ++n) {
    p = parse_index(p, idx[n]);
    if (p == nullptr || *p++ != ',')
      return false;
  }
  char* end;
  v = std::strtod(p, &end);
  return end != p && std::isfinite(v);
}

// Reads the data lines of file name, nidx indices and a value each, and hands
// them to take, which returns false for a line it rejects.  Comment lines
// ('#' first) and empty lines (newline first) are skipped; a line made of
// blanks is not empty and fails to parse.  Lines are counted from 1 with
// every kind of line.  0, or -1 after a message.
template <class Take>
int read_lines(const char* name, int nidx, Take take) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(name, "r"), std::fclose);
  if (!f) {
    std::printf("cannot open file(%s)\n", name);
    return -1;
  }
  std::string line;
  int32_t idx[2];
  double v;
  for (long long seq = 1; read_line(f.get(), line); ++seq) {
    if (line[0] == '#' || line[0] == '\n')
      continue;
    if (!parse_line(line.c_str(), nidx, idx, v) || !take(idx, v)) {
      // %lld prints what %d would for any count that fits an int.
      std::printf("error data. file(%s) seq(%lld)\n", name, seq);
      return -1;
    }
  }
  // A read error (a directory, a failing device) must not pass for the end
  // of a complete file.
  if (std::ferror(f.get())) {
    std::printf("cannot read file(%s)\n", name);
    return -1;
  }
  return 0;
}

}  // namespace

int read_coef_file(const char* name, std::vector<triplet>& list, int32_t* count, int32_t* sz) {
  list.clear();
  *count = 0;
  *sz = 0;
  return read_lines(name, 2, [&](const int32_t* idx, double v) {
    *sz = std::max({*sz, idx[0] + 1, idx[1] + 1});
    if (v != 0.0) {  // a zero (-0.0 too) only counts for the order
      list.push_back({idx[0], idx[1], v});
      ++*count;
    }
    return true;
  });
}

int read_rhs_file(const char* name, int32_t sz, std::vector<double>& b) {
  b.assign(static_cast<size_t>(std::max(sz, 0)), 0.0);
  return read_lines(name, 1, [&](const int32_t* idx, double v) {
    if (idx[0] >= sz)
      return false;
    b[idx[0]] = v;  // a later line for the same k replaces the value
    return true;
  });
}

int32_t sort_dedup(std::vector<triplet>& list) {
  // Stable, so that the first of several triplets at one position in file
  // order is the one kept: the result does not depend on the sort.
  auto less = [](const triplet& a, const triplet& b) { return a.i != b.i ? a.i < b.i : a.j < b.j; };
  std::stable_sort(list.begin(), list.end(), less);
  auto same = [](const triplet& a, const triplet& b) { return a.i == b.i && a.j == b.j; };
  list.erase(std::unique(list.begin(), list.end(), same), list.end());
  return static_cast<int32_t>(list.size());
}
