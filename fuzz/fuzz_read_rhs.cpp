// Fuzz target: the program's right-hand-side reader.  The first two input
// bytes give the order (their low 12 bits, little end first: 0 .. 4095), the
// rest is the file.
//
// Whatever the bytes, the reader returns 0 or -1; after 0 the vector has the
// order's length and every component is finite.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "zk_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fz_setup();
  if (size < 2)
    return 0;
  static const std::string name = fz_path("b.txt");
  int32_t sz = data[0] | (data[1] & 0x0f) << 8;
  fz_write_file(name, data + 2, size - 2);
  std::vector<double> b(3, 7.0);
  int rc = read_rhs_file(name.c_str(), sz, b);
  FZ_CHECK(rc == 0 || rc == -1);
  if (rc != 0)
    return 0;
  FZ_CHECK(b.size() == (size_t)sz);
  for (double v : b)
    FZ_CHECK(std::isfinite(v));
  return 0;
}
