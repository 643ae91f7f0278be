// zk_solve: the solve step of the console program.
#include "zk_solve.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lp_text.h"

namespace {

// A copy of text converted to Shift_JIS, NUL-terminated, in buf when it fits
// (room bytes) and else in a heap block (free it when it is not buf); its
// length in *n.  Null when no block could be had.
char* converted_copy(const char* text, char* buf, size_t room, size_t* n) {
  size_t len = std::strlen(text);
  char* copy = len < room ? buf : static_cast<char*>(std::malloc(len + 1));
  if (copy == nullptr)
    return nullptr;
  std::memcpy(copy, text, len);
  *n = text_cp932(copy, len);
  copy[*n] = '\0';
  return copy;
}

}  // namespace

// A format too long for the buffer that finds no memory for a copy is
// printed as it is.
int console_printf(const char* fmt, ...) {
  char buf[512];
  size_t n = 0;
  char* copy = converted_copy(fmt, buf, sizeof buf, &n);
  va_list ap;
  va_start(ap, fmt);
  int rc = std::vprintf(copy != nullptr ? copy : fmt, ap);
  va_end(ap);
  if (copy != buf)
    std::free(copy);
  return rc;
}

int console_write(const char* text) {
  char buf[512];
  size_t n = std::strlen(text);
  char* copy = converted_copy(text, buf, sizeof buf, &n);
  int rc = (int)std::fwrite(copy != nullptr ? copy : text, 1, n, stdout);
  if (copy != buf)
    std::free(copy);
  return rc;
}

namespace {

// Opens name for writing; prints "cannot open file(%s)" on failure.
FILE* open_output(const char* name) {
  FILE* f = std::fopen(name, "w");
  if (f == nullptr)
    console_printf("cannot open file(%s)\n", name);
  return f;
}

// Closes f; a failed write or close (a full disk, say) is reported, so that
// a truncated file never passes for a complete one.
bool close_output(FILE* f, const char* name) {
  bool ok = !std::ferror(f);
  ok = std::fclose(f) == 0 && ok;
  if (!ok)
    console_printf("cannot write file(%s)\n", name);
  return ok;
}

// The solution file, then the residual report: the right-hand side, the
// solution, the recomputed left-hand side and their difference per equation.
// The report is not written when the solution file could not be.
bool write_results(const std::vector<double>& b, const std::vector<double>& x,
                   const std::vector<double>& ax, const solve_files& files) {
  FILE* f = open_output(files.x_name);
  if (f == nullptr)
    return false;
  for (double xk : x)
    std::fprintf(f, "%g\n", xk);
  if (!close_output(f, files.x_name))
    return false;
  f = open_output(files.e_name);
  if (f == nullptr)
    return false;
  for (size_t k = 0; k < x.size(); ++k)
    std::fprintf(f, "ftran k(%d) b(%g) x(%g) Ax(%g) Ax-b(%g)\n", (int)k, b[k], x[k], ax[k],
                 ax[k] - b[k]);
  return close_output(f, files.e_name);
}

}  // namespace

int solve_step(lu_handle* h, const std::vector<triplet>& list, int32_t sz,
               const std::vector<double>& b, const solve_files& files, solve_report* report) {
  *report = solve_report{};
  std::vector<double> x(sz, 0.0);
  std::vector<double> ax(sz, 0.0);
  int rc = lu_resize(h, sz);
  if (rc < 0)
    return rc;
  for (const triplet& t : list)
    lu_append(h, t.i, t.j, t.v);  // the library checks and reports each itself
  int rank = 0;
  int* row_match;
  int* col_match;
  lu_factoring(h, 0, &rank, &row_match, &col_match);
  if (rank != sz) {
    console_printf("ランク不足　size = %d, rank = %d\n", sz, rank);
    return sz - rank;
  }
  lu_ftran(h, x.data(), b.data());
  // A tiny pivot or huge entries can overflow: such a solution is written
  // for inspection, but it is no solution.
  for (double xk : x)
    report->not_finite += !std::isfinite(xk);
  if (report->not_finite > 0)
    console_printf("解ｘの有限でない成分　size = %d, count = %d\n", sz, report->not_finite);
  // An independent check of the solve: A·x from the program's own triplets.
  for (const triplet& t : list)
    ax[t.i] = ax[t.i] + x[t.j] * t.v;
  report->written = write_results(b, x, ax, files);
  return 0;
}
