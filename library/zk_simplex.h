// zk_simplex: the simplex interface of the fast library (its exported part is
// declared in include/zelkor_simplex.h), and the bookkeeping that lu_factoring
// of that library does for it.  Built into the fast library only, whose
// objects define ZELKOR_SIMPLEX.
//
// What the interface keeps in the handle (fields at the end of b_rec):
//   col_abs[j]   sum_i |B(i,j)| of the current basis column j: set from the
//                appended matrix before every factorization, and from the new
//                column by every accepted replacement; ||B||_1 is their maximum
//   zk_vec       scratch column / right-hand side of order sz, allocated by
//                the first call that needs it after a sizing to a larger order
// The counts of the refactorization advice come from the packed eta files.
#ifndef ZELKOR_ZK_SIMPLEX_H
#define ZELKOR_ZK_SIMPLEX_H

#include "lp_lumx.h"

// Before the elimination re-uses the pool: col_abs from the appended matrix
// (elements at one position summed first, using lplu.dwk1 as scratch).
// 0, or -2 when col_abs cannot be allocated.
int zk_keep_column_norms(b_rec* b);

#endif
