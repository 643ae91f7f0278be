/* zelkor_simplex.h: what a simplex code needs between two factorizations,
 * exported by the fast library libzelkor only (ZelkorD keeps its ten
 * functions).  Include after or instead of zelkor.h; C and C++.
 *
 * A basis B of order n is loaded and factorized with the functions of
 * zelkor.h.  Between two factorizations a simplex code then
 *   - replaces one column of B per iteration (zk_replace_column),
 *   - solves with very sparse right-hand sides, a column of the constraint
 *     matrix or a unit vector (zk_ftran_sparse, zk_btran_sparse), at a cost
 *     that follows the entries reached rather than n,
 *   - asks whether to factorize afresh (zk_refactor_advice),
 * and, after a factorization that found B singular (structurally, or to
 * working precision), repairs it (zk_singular_pairs); zk_rcond_estimate tells
 * how well conditioned B is.
 *
 * Numbering: rows and columns 0 .. n-1 as in lu_append.  "Column j" is always
 * the caller's column j, the j-th column appended, also after replacements.
 * Results: 0 success, -1 a bad argument or state (with a check report in the
 * log, as the functions of zelkor.h write), -2 memory ran out, unless stated.
 *
 * What the handle must hold: every function below needs a handle that was
 * sized (lu_resize) and factorized (lu_factoring) since, in a thread whose
 * work record covers its order (see Threads).  The replacement and the
 * solves need a valid full-rank factorization: after a failed factorization
 * or an accepted rank-deficient one they refuse with -1 (zk_singular_pairs is
 * meant for exactly that case).
 *
 * Threads: each thread has its own work record (sized by lu_resize, freed by
 * lu_delete, both in that thread), so two threads with their own handles may
 * factorize, replace and solve at the same time.  A handle is used by one
 * thread at a time; in a thread whose work record does not cover its order
 * its functions refuse with -1 until a handle of at least that order is
 * sized there.  All threads write to the one log file, a line at a time.
 *
 * A simplex loop:
 *
 *   load B (zk_load_columns, or lu_resize and lu_append for every entry),
 *   lu_factoring(h, 1, ...);
 *   while zk_singular_pairs(h, cols, rows) > 0: put the unit column of
 *       rows[i] in place of column cols[i] (a slack), load again, factorize;
 *   loop:
 *     zk_btran_sparse: the pricing vector from the basic costs;
 *     zk_ftran_sparse: the entering column a_q transformed;
 *     ratio test -> leaving column j;
 *     switch (zk_replace_column(h, j, nz, rows_of_a_q, vals_of_a_q)):
 *       0: done; if zk_refactor_advice(h, ...) == 1, load the current
 *          basis again and factorize;
 *       1: refused (B would be singular or unstable): refactorize, or
 *          choose another entering column;
 *      <0: refactorize from the current basis.
 */
#ifndef ZELKOR_SIMPLEX_H
#define ZELKOR_SIMPLEX_H

#include "zelkor.h"

/* Stability test of the replacement: refused when the new pivot alpha has
   |alpha| < ZK_UPDATE_REL_TOL * max |spike_k| (the transformed new column) or
   |alpha| <= ZK_UPDATE_ABS_TOL. */
#define ZK_UPDATE_REL_TOL 1e-9
#define ZK_UPDATE_ABS_TOL 1e-12

/* Singular to working precision: a reciprocal condition estimate below
   this (see zk_singular_pairs). */
#define ZK_SINGULAR_RCOND 1e-14

/* Refactorization advice: after this many replacements, or as soon as the
   R etas hold more entries than L and U together. */
#define ZK_REFACTOR_UPDATES 100

#ifdef __cplusplus
extern "C" {
#endif

/* Loads a whole matrix of order n held by columns: the same as lu_resize(h, n)
   followed by lu_append(h, rows[p], c, vals[p]) for c = 0 .. n-1 and, within
   column c, p = col_start[c] .. col_start[c+1]-1 in that order (so the same
   factorization, pivots and result bits), in a fraction of the time.
   col_start has n+1 entries, col_start[0] = 0, non-decreasing; rows are
   0-based; zero values store nothing and entries listed twice at one
   position are summed, as with lu_append.  Needs no earlier sizing.
   0; -1 a null handle, n < 0, a null array that would be read, col_start[0]
   other than 0 or a start smaller than the one before, a row outside
   0 .. n-1 or a value that is not finite: nothing is loaded and the handle
   keeps what it held (its factorization too); -2 memory ran out (the handle
   is then sized but empty, or as lu_resize leaves it). */
ZELKOR_API int zk_load_columns(lu_handle* h, int n, const int* col_start, const int* rows,
                               const double* vals);

/* Replaces column j of the factorized basis B by the column given by nz
   entries (rows[k], vals[k]), k < nz.  Entries listed twice at one row are
   summed; zero values are allowed and store nothing; nz 0 is the zero column
   (always refused, result 1).  After success lu_ftran, lu_btran and the
   sparse solves solve with the new basis, x[j] being the coefficient of the
   new column, and zk_rcond_estimate uses its ||B||_1.
   0 replaced; 1 refused: the new column would make B singular or unstable
   (the test above), and the handle still solves the old basis, unchanged;
   -1 a bad handle or state, j outside 0 .. n-1, nz < 0, a null array with
   nz > 0, a row outside 0 .. n-1 or a value (or a sum of duplicates) that is
   not finite: the handle is unchanged; -2 memory ran out: the handle may no
   longer hold a valid factorization (its solves then refuse with -1):
   load and factorize again. */
ZELKOR_API int zk_replace_column(lu_handle* h, int j, int nz, const int* rows,
                                 const double* vals);

/* x = B^-1 x for a sparse right-hand side.  On entry x[0 .. n-1] is the
   right-hand side indexed by row, whose non-zeros sit at the *nz positions
   idx[0 .. *nz-1] (every other position must be 0; listed positions may hold
   0 and may be listed twice).  On return x holds the solution indexed by
   column, idx[0 .. *nz-1] lists its non-zero positions in no particular
   order (idx has room for n) and every position not listed is 0.  The
   values agree with lu_ftran to within rounding (mostly bit for bit).
   0; -1 a bad handle or state, a null argument, *nz outside 0 .. n or a
   listed position outside 0 .. n-1: x, idx and *nz are unchanged; -2 the
   handle's scratch vector could not be sized (once per order). */
ZELKOR_API int zk_ftran_sparse(lu_handle* h, double* x, int* idx, int* nz);

/* y^T = y^T B^-1 for a sparse right-hand side: on entry y is indexed by
   column, on return by row; otherwise as zk_ftran_sparse (values agree with
   lu_btran to within rounding). */
ZELKOR_API int zk_btran_sparse(lu_handle* h, double* y, int* idx, int* nz);

/* Whether to factorize afresh.  Stores in each non-null pointer: the
   replacements since the factorization, the entries of their R etas, the
   entries of L and U now, the n pivots counted once (U changes with every
   replacement).  1 advises
   refactoring: after ZK_REFACTOR_UPDATES replacements, when the R entries
   exceed the L and U entries, or when the handle holds no usable
   factorization (rank deficient, or broken by a failed replacement); 0 not;
   -1 a bad handle (null, never sized and factorized, not covered). */
ZELKOR_API int zk_refactor_advice(lu_handle* h, int* n_updates, long long* r_entries,
                                  long long* lu_entries);

/* What makes a singular basis nonsingular, as pairs: replacing each column
   cols[i] by the unit column of row rows[i] (a slack) repairs it.
   - After lu_factoring(h, 1, ...) left lines without a pivot (a rank
     deficiency it accepted): cols[i] the i-th column without a pivot, rows[i]
     the i-th row without one, both increasing, n minus the rank of them.
     The pivoted rows and columns form a nonsingular block, so the repaired
     basis is nonsingular in exact arithmetic.
   - After a factorization that pivoted every line but left the basis
     singular to working precision (zk_rcond_estimate below
     ZK_SINGULAR_RCOND: fewer than two correct digits in a solve), one pair:
     the column the near-null vector B^-1 x of the estimate weights most, and
     the row i with the largest |(B^-1)_{j,i}| in its row j of B^-1
     (replacing column j by e_i multiplies det B by that entry).  This costs
     the estimate and two solves more.
   Numerically a new factorization may again find a deficiency, so a solver
   repeats the repair until the result is 0:
     lu_factoring(h, 1, ...);
     while ((k = zk_singular_pairs(h, cols, rows)) > 0) {
       for i < k: basis column cols[i] := unit column of rows[i];
       lu_resize(h, n); lu_append every entry of the basis; lu_factoring(h, 1, ...);
     }
   The number of pairs (0: nonsingular to working precision), each array
   needing room for n (null for both asks for the count only); -1 a bad
   handle, no factorization since the sizing, a failed one, or one array null
   and the other not; -2 the estimate's work arrays could not be allocated. */
ZELKOR_API int zk_singular_pairs(lu_handle* h, int* cols, int* rows);

/* The reciprocal 1-norm condition estimate 1 / (||B||_1 * est), where ||B||_1
   is the largest column sum of |B| (kept from the loading and the
   replacements) and est the Hager-Higham estimate of ||B^-1||_1 (up to five
   FTRAN/BTRAN pairs and one more FTRAN).  est is ||B^-1 x||_1 / ||x||_1 for
   the best x tried, so it never exceeds ||B^-1||_1 (up to the rounding of the
   solves), and the result is never smaller than the true reciprocal
   condition number 1 / (||B||_1 ||B^-1||_1): a large true condition number
   may be underestimated (rarely by more than a factor 3), never
   overestimated.  -1 when the handle holds no valid full-rank factorization
   of order >= 1; -2 when its three work arrays of n doubles could not be
   allocated. */
ZELKOR_API double zk_rcond_estimate(lu_handle* h);

#ifdef __cplusplus
}
#endif

#endif
