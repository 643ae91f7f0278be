// Fuzz target: the program's coefficient file reader and the de-duplication
// of its elements.  The input bytes are the file.
//
// Whatever the bytes, the reader returns 0 or -1; after 0 every element read
// lies inside the order it reports, with a finite non-zero value, and the
// de-duplicated list is sorted by (row, column) without repeats and keeps,
// of each position, the value of the first line in file order.
#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_support.h"
#include "zk_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fz_setup();
  static const std::string name = fz_path("aij.txt");
  fz_write_file(name, data, size);
  std::vector<triplet> list;
  int32_t count = -1;
  int32_t sz = -1;
  int rc = read_coef_file(name.c_str(), list, &count, &sz);
  FZ_CHECK(rc == 0 || rc == -1);
  if (rc != 0)
    return 0;
  FZ_CHECK(count >= 0 && (size_t)count == list.size());
  FZ_CHECK(sz >= 0);
  FZ_CHECK(sz > 0 || list.empty());
  std::map<std::pair<int32_t, int32_t>, double> first;
  for (const triplet& t : list) {
    FZ_CHECK(t.i >= 0 && t.i < sz && t.j >= 0 && t.j < sz);
    FZ_CHECK(std::isfinite(t.v) && t.v != 0.0);
    first.insert({{t.i, t.j}, t.v});
  }
  int32_t nz = sort_dedup(list);
  FZ_CHECK(nz >= 0 && (size_t)nz == list.size() && nz <= count);
  FZ_CHECK(list.size() == first.size());
  size_t k = 0;
  for (const auto& [pos, v] : first) {
    FZ_CHECK(list[k].i == pos.first && list[k].j == pos.second);
    // Compared as bits: the value kept is the very one of the first line.
    FZ_CHECK(std::signbit(list[k].v) == std::signbit(v) && list[k].v == v);
    ++k;
  }
  return 0;
}
