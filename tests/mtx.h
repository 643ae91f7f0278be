// Reading Matrix Market files ("coordinate real general", 1-based) into
// 0-based triplets, for tests and benchmarks.
#ifndef ZELKOR_TEST_MTX_H
#define ZELKOR_TEST_MTX_H

#include <cstdio>
#include <string>
#include <vector>

struct mtx_entry {
  int row;
  int col;
  double v;
};

struct mtx_matrix {
  int n = 0;  // order (rows; the files here are square)
  std::vector<mtx_entry> entries;  // in file order, explicit zeros included
};

// Reads path; false when the file cannot be read or is not a real
// coordinate matrix.
inline bool read_mtx(const std::string& path, mtx_matrix& out) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr)
    return false;
  out = mtx_matrix{};
  char line[1024];
  bool header_seen = false;
  long long remaining = -1;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (line[0] == '%')
      continue;
    if (!header_seen) {
      int m, n;
      long long nnz;
      if (std::sscanf(line, "%d %d %lld", &m, &n, &nnz) != 3 || m != n)
        break;
      out.n = n;
      out.entries.reserve((size_t)nnz);
      remaining = nnz;
      header_seen = true;
      continue;
    }
    mtx_entry e;
    if (std::sscanf(line, "%d %d %lf", &e.row, &e.col, &e.v) != 3)
      break;
    e.row -= 1;
    e.col -= 1;
    out.entries.push_back(e);
    --remaining;
  }
  std::fclose(f);
  return header_seen && remaining == 0;
}

// The path of a matrix in the tests' own data folder.
inline std::string test_matrix_path(const std::string& name) {
#ifdef ZELKOR_TEST_DATA
  return std::string(ZELKOR_TEST_DATA) + "/matrices/" + name + ".mtx";
#else
  return "tests/data/matrices/" + name + ".mtx";
#endif
}

#endif
