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
 * Threads: each thread has its own work record, sized by lu_resize in that
 * thread and kept while a handle sized there lives (lu_delete of one handle
 * leaves the thread's others working); it is freed with the thread's last
 * handle or at the thread's end.  Two threads with their own handles may
 * factorize, replace and solve at the same time.  A handle is used by one
 * thread at a time; in a thread whose work record does not cover its order
 * its functions refuse with -1 until it (or a handle of at least that order)
 * is sized there.  A handle may outlive the thread that sized it: delete it,
 * or size it again, in any thread.  All threads write to the one log file, a
 * line at a time.
 *
 * The log: reports go to "Zelkordbg.txt" in the current directory, in
 * Shift_JIS, as in ZelkorD, until zk_set_log routes them elsewhere.
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
   |alpha| <= ZK_UPDATE_ABS_TOL.  ZK_UPDATE_REL_TOL is the default of the
   handle's setting ZK_PARAM_UPDATE_REL_TOL. */
#define ZK_UPDATE_REL_TOL 1e-9
#define ZK_UPDATE_ABS_TOL 1e-12

/* Accuracy check of every replacement, on top of the two tests above.
   - A pivot below 1e-3 times the largest magnitude of the transformed new
     column or of the new column itself (where one made of rounding errors
     lies) is computed twice more: by a forward solve, entry j of B^-1 times
     the new column, and by a backward one, (row j of B^-1) times the new
     column, whose rounding errors take other courses.  The replacement is
     refused when the two differ by more than ZK_UPDATE_AGREE_TOL relative:
     the pivot is then mostly rounding error, as for a column that depends on
     the others (whose pivot is 0 in exact arithmetic).  These two solves are
     sparse and happen only for such small pivots: on random replacements of
     the test bases the check adds a few percent to a replacement.
   - The replacement is refused when a multiplier of the update, an entry of
     row j of U^-1 (whose own entry at j is 1), exceeds ZK_UPDATE_GROWTH_MAX
     in magnitude: the update would amplify the rounding errors of every later
     solve by that much.
   What the check cannot tell apart: once the basis is ill-conditioned near
   the limit of working precision (reached by choosing pivots near
   ZK_UPDATE_REL_TOL again and again), a column that depends on the others
   exactly may show a pivot that comes out alike both ways; a ratio test that
   prefers large pivots keeps away from it. */
#define ZK_UPDATE_AGREE_TOL 1e-7
#define ZK_UPDATE_GROWTH_MAX 1e8

/* Refactorization advice on accuracy: once an accepted replacement's two
   pivots agreed to fewer than nine digits (ZK_ADVICE_AGREE_TOL), or once the
   machine epsilon times the sum of the accepted replacements' pivot
   conditions (sum_k |p_k spike_k| / |alpha| of each, p row j of U^-1: how
   much the rounding of the update's sum weighs on its own column), an
   estimate of the error they added to a solve relative to its size, exceeds
   ZK_ADVICE_ERROR. */
#define ZK_ADVICE_AGREE_TOL 1e-9
#define ZK_ADVICE_ERROR 1e-12

/* Singular to working precision: a reciprocal condition estimate below
   this (see zk_singular_pairs). */
#define ZK_SINGULAR_RCOND 1e-14

/* Refactorization advice: after this many replacements (the default of the
   setting ZK_PARAM_REFACTOR_UPDATES), as soon as the R etas hold more entries
   than L and U together, or once the accuracy check above says so. */
#define ZK_REFACTOR_UPDATES 100

/* Settings of a handle (zk_set_param, zk_get_param).  Each handle starts with
   the defaults below, from lu_new on, and keeps its settings across lu_resize
   and every factorization. */
#define ZK_PARAM_PIVOT_THRESHOLD  0  /* u in (0, 1]; default 0.01; read by lu_factoring */
#define ZK_PARAM_SEARCH_LIMIT     1  /* integer >= 1; default 5; read by lu_factoring */
#define ZK_PARAM_UPDATE_REL_TOL   2  /* in [0, 1); default 1e-9; read by zk_replace_column */
#define ZK_PARAM_REFACTOR_UPDATES 3  /* integer >= 1; default 100; read by zk_refactor_advice */

#ifdef __cplusplus
extern "C" {
#endif

/* Sets one setting of the handle: 0; -1 (after a check report, the handle
   unchanged) for a null handle, an unknown `which`, or a value out of its
   range above or not finite (the two integer settings take whole numbers up
   to 2147483647).
   - ZK_PARAM_PIVOT_THRESHOLD: the elimination takes a candidate pivot only
     when its magnitude exceeds u times the largest magnitude of the row or
     column it is found in (u = 1: only that largest magnitude).  A larger u
     keeps the factors' growth down and the solves accurate, at the price of
     more fill-in: 0.1 suits a solver that wants backward errors near the
     machine precision (see the README's figures for 0.01, 0.1 and 0.5).
   - ZK_PARAM_SEARCH_LIMIT: how many rows and columns the Markowitz search
     examines once it holds a candidate.
   - ZK_PARAM_UPDATE_REL_TOL and ZK_PARAM_REFACTOR_UPDATES: see
     zk_replace_column and zk_refactor_advice.
   The first two take effect at the next lu_factoring. */
ZELKOR_API int zk_set_param(lu_handle* h, int which, double value);

/* The value in force of one setting; NaN for a null handle or an unknown
   `which`. */
ZELKOR_API double zk_get_param(const lu_handle* h, int which);

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
   0 replaced; 1 refused: the new column would make B singular or unstable,
   or the pivot is not known accurately (the tests above), and the handle
   still solves the old basis, unchanged;
   -1 a bad handle or state, j outside 0 .. n-1, nz < 0, a null array with
   nz > 0, a row outside 0 .. n-1 or a value (or a sum of duplicates) that is
   not finite: the handle is unchanged; -2 memory ran out: the handle may no
   longer hold a valid factorization (its solves then refuse with -1):
   load and factorize again. */
ZELKOR_API int zk_replace_column(lu_handle* h, int j, int nz, const int* rows,
                                 const double* vals);

/* x = B^-1 x for a sparse right-hand side.  The handle keeps what the solve
   computed for this right-hand side until the next sparse FTRAN or a change
   of the factors: a zk_replace_column that follows with the same column
   (the same rows with the same values, in the same order; a simplex's
   entering column) takes it over instead of computing it again, and so does
   it with what zk_btran_sparse computed for the unit vector of the column it
   replaces (the same bits either way).  On entry x[0 .. n-1] is the
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
   replacement).  1 advises refactoring: after ZK_PARAM_REFACTOR_UPDATES
   replacements (default ZK_REFACTOR_UPDATES), when the R entries exceed the
   L and U entries, once the accuracy check of the replacements has seen the
   factors degrade (ZK_ADVICE_AGREE_TOL, ZK_ADVICE_ERROR: whatever the count),
   or when the handle holds no usable factorization (rank deficient, or
   broken by a failed replacement); 0 not;
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
     ZK_SINGULAR_RCOND: fewer than two correct digits in a solve; after
     replacements, also below the error bound of ZK_ADVICE_ERROR's test, the
     accuracy below which the estimate of the updated factors tells nothing
     of the basis; or an estimate that is not a number), one pair:
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
   overestimated.  A column norm beyond the largest double counts as the
   largest double (the estimate then errs on the high side); a basis whose
   solves overflow gives 0.  -1 when the handle holds no valid full-rank
   factorization of order >= 1; -2 when its three work arrays of n doubles
   could not be allocated. */
ZELKOR_API double zk_rcond_estimate(lu_handle* h);

/* The version of the library running, "MAJOR.MINOR.PATCH": the values of
   ZELKOR_VERSION_MAJOR, _MINOR and _PATCH of the zelkor.h it was built with,
   which a program can compare with those of the zelkor.h it was compiled
   against.  A static string; never null. */
ZELKOR_API const char* zk_version(void);

/* Routes the library's log, for the whole process, from this call on: every
   later report (check reports, "cannot malloc", a missing pivot) of every
   handle and thread is appended to the file `path` (created when missing;
   kept open and flushed after each report), or written nowhere when `path`
   is null.  utf8 non-zero writes the texts in UTF-8, 0 in Shift_JIS.  Once
   called, lu_new no longer creates "Zelkordbg.txt"; without a call the log
   is that file.  May be called again at any time, also while other threads
   write reports (each report goes whole to the old route or to the new).
   0; -1 when `path` cannot be opened for appending: a line on stderr says
   so, and the log stays as it was. */
ZELKOR_API int zk_set_log(const char* path, int utf8);

#ifdef __cplusplus
}
#endif

#endif
