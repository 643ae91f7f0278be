// zk_input: the input files of the console program.
#ifndef ZELKOR_ZK_INPUT_H
#define ZELKOR_ZK_INPUT_H

#include <cstdint>
#include <vector>

// One matrix element as read: row i, column j, value v.
struct triplet {
  int32_t i;
  int32_t j;
  double v;
};

// Reads the coefficient file, one "i,j,v" line per element; a line ends with
// "\n", "\r\n" or a bare "\r".  '#' lines and lines beginning with the line
// end are skipped.  list receives the data lines
// with a non-zero value in file order, count their number, sz the order
// (largest index + 1 over all data lines, zero values included).  A line that
// does not parse, a negative index, an index above 2147483646 (the order must
// fit in int32_t) or a value that is not finite is bad.  0, or -1 after a
// message on standard output ("cannot open file(%s)" or "error data. file(%s)
// seq(%d)", seq counting every physical line from 1).
int read_coef_file(const char* name, std::vector<triplet>& list, int32_t* count, int32_t* sz);

// Reads the right-hand-side file, one "k,v" line per component, for order sz
// into b (sz values, 0.0 where the file lists none; a later line for the same
// k replaces the earlier one).  k >= sz is bad; otherwise the line rules of
// read_coef_file apply.  0, or -1 after a message on standard output.
int read_rhs_file(const char* name, int32_t sz, std::vector<double>& b);

// Sorts list by (i, j) and keeps, of every run of equal positions, the first
// in file order.  Returns nz, the number kept.
int32_t sort_dedup(std::vector<triplet>& list);

#endif
