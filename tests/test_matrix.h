// Matrices for the tests, independent of the library: random permutations
// and matrices, dense products with triplets, and the index of the matrices
// in the tests' data folder.  Header only, so that it serves every test
// whatever it links.
#ifndef ZELKOR_TEST_MATRIX_H
#define ZELKOR_TEST_MATRIX_H

#include <algorithm>
#include <cmath>
#include <fstream>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "mtx.h"

// 0 .. n-1 in an order drawn from rng.
template <class Rng>
std::vector<int> random_permutation(int n, Rng& rng) {
  std::vector<int> p(n);
  for (int i = 0; i < n; ++i)
    p[i] = i;
  std::shuffle(p.begin(), p.end(), rng);
  return p;
}

// Strictly diagonally dominant by rows, so nonsingular: per_row other
// entries in each row (all others when the order is smaller), uniform in
// (-1, 1), and a diagonal of random sign whose magnitude exceeds their sum by
// 0.5 to 1.5.  Entries row by row, each row's diagonal last.  The draws
// come in a fixed order (the diagonal's magnitude before its sign), so that
// a seed always gives the same matrix.
template <class Rng>
mtx_matrix row_dominant(int n, int per_row, Rng& rng) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::uniform_int_distribution<int> col(0, n - 1);
  mtx_matrix a;
  a.n = n;
  for (int i = 0; i < n; ++i) {
    std::set<int> cols;
    while ((int)cols.size() < std::min(per_row, n - 1)) {
      int j = col(rng);
      if (j != i)
        cols.insert(j);
    }
    double sum = 0.0;
    for (int j : cols) {
      double v = u(rng);
      sum += std::fabs(v);
      a.entries.push_back({i, j, v});
    }
    double magnitude = sum + 0.5 + std::fabs(u(rng));
    double sign = u(rng) < 0 ? -1.0 : 1.0;
    a.entries.push_back({i, i, magnitude * sign});
  }
  return a;
}

// A·x and yᵀ·A of a square matrix held as triplets, of the order of the
// vector: entries at one position add up, explicit zeros add nothing.
inline std::vector<double> mul(const std::vector<mtx_entry>& es, const std::vector<double>& x) {
  std::vector<double> out(x.size(), 0.0);
  for (const mtx_entry& e : es)
    out[e.row] += e.v * x[e.col];
  return out;
}
inline std::vector<double> mul_left(const std::vector<mtx_entry>& es,
                                    const std::vector<double>& y) {
  std::vector<double> out(y.size(), 0.0);
  for (const mtx_entry& e : es)
    out[e.col] += y[e.row] * e.v;
  return out;
}
inline std::vector<double> mul(const mtx_matrix& a, const std::vector<double>& x) {
  return mul(a.entries, x);
}
inline std::vector<double> mul_left(const mtx_matrix& a, const std::vector<double>& y) {
  return mul_left(a.entries, y);
}

// A square matrix by columns: (row, value) pairs, explicit zeros left out.
struct column_matrix {
  int n = 0;
  std::vector<std::vector<std::pair<int, double>>> cols;
};

inline column_matrix columns_of(const mtx_matrix& m) {
  column_matrix a;
  a.n = m.n;
  a.cols.resize(m.n);
  for (const mtx_entry& e : m.entries)
    if (e.v != 0.0)
      a.cols[e.col].push_back({e.row, e.v});
  return a;
}

// Normwise residual relative to |A||x| + |rhs|, accumulated in long double
// (forward: A·x = rhs; backward: xᵀ·A = rhsᵀ): max |rhs - A x| / max (|A||x| + |rhs|).
inline double normwise_residual(const column_matrix& a, const std::vector<double>& x,
                                const std::vector<double>& rhs, bool forward) {
  std::vector<long double> r(a.n), s(a.n);
  for (int i = 0; i < a.n; ++i) {
    r[i] = rhs[i];
    s[i] = std::fabs(rhs[i]);
  }
  for (int j = 0; j < a.n; ++j)
    for (auto [i, v] : a.cols[j]) {
      int out = forward ? i : j;
      long double p = (long double)v * (forward ? x[j] : x[i]);
      r[out] -= p;
      s[out] += std::fabs(p);
    }
  long double rm = 0, sm = 0;
  for (int i = 0; i < a.n; ++i) {
    rm = std::max(rm, std::fabs(r[i]));
    sm = std::max(sm, s[i]);
  }
  return (double)(sm == 0 ? rm : rm / sm);
}

// The largest magnitude of v (its infinity norm); 0 for an empty vector.
inline double max_abs(const std::vector<double>& v) {
  double m = 0.0;
  for (double x : v)
    m = std::max(m, std::fabs(x));
  return m;
}

// One matrix of the data folder as its INDEX.tsv describes it.
struct matrix_index_row {
  std::string line;   // the whole line, for what the fields below leave out
  std::string name;   // file name without ".mtx", for test_matrix_path
  bool singular = false;  // structurally singular
  int sprank = 0;     // structural rank of a structurally singular matrix
  int svd_rank = 0;   // and its numerical rank
  double cond = 0.0;  // condition estimate from the notes
};

// The rows of INDEX.tsv after its header; false when it cannot be read.
inline bool read_matrix_index(std::vector<matrix_index_row>& rows) {
  rows.clear();
  std::ifstream index(std::string(ZELKOR_TEST_DATA) + "/matrices/INDEX.tsv");
  if (!index.good())
    return false;
  std::string line;
  std::getline(index, line);  // header
  while (std::getline(index, line)) {
    matrix_index_row row;
    row.line = line;
    std::string file = line.substr(0, line.find('\t'));
    row.name = file.substr(0, file.size() - 4);
    row.singular = line.find("STRUCTURALLY SINGULAR") != std::string::npos;
    std::smatch m;
    if (std::regex_search(line, m, std::regex("sprank ([0-9]+) <")))
      row.sprank = std::stoi(m[1]);
    if (std::regex_search(line, m, std::regex("SVD rank ([0-9]+) <")))
      row.svd_rank = std::stoi(m[1]);
    if (std::regex_search(line, m, std::regex("cond(1est\\(SuperLU\\) |2=)([0-9.e+-]+)")))
      row.cond = std::stod(m[2]);
    rows.push_back(row);
  }
  return true;
}

#endif
