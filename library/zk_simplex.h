// zk_simplex: the simplex interface of the fast library (its exported part is
// declared in include/zelkor_simplex.h), and the bookkeeping that lu_factoring
// of that library does for it.  Built into the fast library only, whose
// objects define ZELKOR_SIMPLEX.
//
// What the interface keeps in the handle (fields at the end of b_rec):
//   col_abs[j]   sum_i |B(i,j)| of the current basis column j: set from the
//                appended matrix before every factorization, and from the new
//                column by every accepted replacement; ||B||_1 is their maximum
//   zk_vec ...   work vectors of order sz (see b_rec), allocated by the first
//                factorization after a sizing to a larger order
//   zk_stamp     counts the changes of the factors (factorizations, accepted
//                or failed replacements)
//   kept solves  zk_ftran_sparse keeps its right-hand side as loaded (zk_in),
//                the spike (zk_spike) and the result (zk_vec); zk_btran_sparse
//                of a unit vector e_r keeps row r of U^-1 (zk_p) and of B^-1
//                (zk_bvec); each with the zk_stamp it was made under.  A
//                replacement of the column matched to r by the same column
//                (same positions in the same order, same values) while the
//                stamps still hold takes them over instead of computing them
//                again, which gives the same bits: they are the same routines
//                on the same vectors.
// The counts of the refactorization advice come from the packed eta files.
#ifndef ZELKOR_ZK_SIMPLEX_H
#define ZELKOR_ZK_SIMPLEX_H

#include "lp_lumx.h"

// What lu_factoring of the fast library does first, before the elimination
// re-uses the pool: col_abs from the appended matrix (elements at one
// position summed first, using lplu.dwk1 as scratch), the interface's work
// vectors sized, and zk_stamp moved on (the kept solves go stale).  0, or -2
// when an allocation failed.
int zk_prepare_factoring(b_rec* b);

#endif
