// lp_dump: readable dumps of the library's structures, for debugging.
//
// Every dump writes to the log stream through log_printf and only reads what
// it prints:
//
//   dump_lumx       a sparse matrix, column by column (main column lists)
//   dump_lumx_col   one column of it
//   dump_av_chain   one chain of pool slots linked through av.nexti (an eta)
//   dump_lw         the L eta file, in step order
//   dump_up         the U eta file, in step order
//   dump_br         the R eta file, in creation order
//   dump_pairs      a pivot sequence of (row, column) pairs, ten to a line
//   dump_vect       the listed entries of a sparse vector, ten to a line
//   dump_row_list   a linked list of row records
//
// Walks that could run away on a damaged structure (a chain or a step list
// that loops) stop after as many items as the matrix can hold and leave one
// CHKB report.  A damaged list in dump_lumx_col, dump_vect or dump_row_list
// is not guarded.
//
// The dumps exist only in the library build (ZELKOR_DIAG).  In the program
// build this header declares nothing and lp_dump.cpp compiles to an empty
// object, so a stray call fails to compile instead of linking dead code.
// Every routine returns 0.
#ifndef ZELKOR_LP_DUMP_H
#define ZELKOR_LP_DUMP_H

#ifdef ZELKOR_DIAG

#include <cstdint>

#include "lp_lumx.h"
#include "lp_ve.h"

// A record of a row-wise linked list, 24 bytes without padding:
//   value  the row's value (e.g. its largest magnitude)        printed
//   col    the column where value was found                    not printed
//   mark   caller's per-row flag                               not printed
//   next   index of the next record in the list, -1 ends it    followed
//   count  the row's entry count                               printed
struct dump_row_rec {
  double value;
  int32_t col;
  int32_t mark;
  int32_t next;
  int32_t count;
};

int dump_lumx(const lumx* a, const char* title);
int dump_lumx_col(const lumx* a, int j);

// e >= 0: the eta of pivot row e, each entry printed with e as its column;
// e < 0: a bare chain, rows and values only.
int dump_av_chain(const lumx* a, int k0, int e);

int dump_lw(const b_rec* b);
int dump_up(const b_rec* b);
int dump_br(const b_rec* b);

int dump_pairs(const lu_pair* pairs, int count, const char* title);

// Both vector kinds start with head, next, va; only those are read.
int dump_vect(const char* title, const lpvect2* v);
int dump_vect(const char* title, const lpvect1* v);

int dump_row_list(const char* title, const dump_row_rec* recs, int i0);

#endif  // ZELKOR_DIAG

#endif
