// Fuzz target: the whole path of the console program.  The input is cut at
// its first "\n=b=\n" into the coefficient file (up to and with that first
// newline) and the right-hand-side file (the rest); without it, all of it is
// the coefficient file and the right-hand side is empty.  The program then
// runs on the pair as from the command line: reading, factorizing, solving
// and writing its two output files into the private directory.
//
// Inputs whose coefficient file names an order above 1000 are skipped: the
// program sizes its vectors and the library its pool by the order, so that
// one such input would cost the time of thousands of small ones (large
// orders are the program tests' business).
//
// Whatever the bytes, the exit status is 0 or 1, and 0 comes with a solution
// file of one line per component and a residual report of one line per
// equation.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "lp_kesh.h"
#include "zk_input.h"

// The program's main, compiled under this name for the fuzz target.
int zelkor_program_main(int argc, char** argv);

namespace {

const char SEPARATOR[] = "\n=b=\n";
const int32_t MAX_ORDER = 1000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool once = [] {
    fz_setup();
    // The library's log would grow by every report of every input.
    log_set_name("/dev/null");
    return true;
  }();
  (void)once;
  static const std::string a = fz_path("a.txt"), b = fz_path("b.txt"), x = fz_path("x.txt"),
                           e = fz_path("e.txt");
  static std::string arg_a = "-a" + a, arg_b = "-b" + b, arg_x = "-x" + x, arg_e = "-e" + e;
  const uint8_t* cut = nullptr;
  const size_t sep = sizeof SEPARATOR - 1;
  for (size_t k = 0; k + sep <= size && cut == nullptr; ++k)
    if (std::memcmp(data + k, SEPARATOR, sep) == 0)
      cut = data + k;
  size_t a_size = cut != nullptr ? (size_t)(cut - data) + 1 : size;  // keeps the newline
  const uint8_t* b_data = cut != nullptr ? cut + sep : data + size;
  fz_write_file(a, data, a_size);
  fz_write_file(b, b_data, (size_t)(data + size - b_data));
  std::remove(x.c_str());
  std::remove(e.c_str());

  std::vector<triplet> list;
  int32_t count = 0;
  int32_t sz = 0;
  if (read_coef_file(a.c_str(), list, &count, &sz) == 0 && sz > MAX_ORDER)
    return 0;

  char arg0[] = "zelkor";
  char* argv[] = {arg0, arg_a.data(), arg_b.data(), arg_x.data(), arg_e.data(), nullptr};
  int status = zelkor_program_main(5, argv);
  FZ_CHECK(status == 0 || status == 1);
  if (status == 0) {
    long x_lines = -1, e_lines = -1;
    FZ_CHECK(fz_count_lines(x, &x_lines) && x_lines == sz);
    FZ_CHECK(fz_count_lines(e, &e_lines) && e_lines == sz);
  }
  return 0;
}
