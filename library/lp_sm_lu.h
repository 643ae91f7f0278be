// lp_sm_lu: the factorization of a basis matrix, the transforms that solve
// with it, the factorization check and the basis column replacement.
//
// ---- The factorization --------------------------------------------------------------
//
// Step s = 0, 1, ... pivots on row r(s), column c(s) (the pivot sequence
// lplu.mt[s] = {r(s), c(s)}).  With B' = B with row r(s) and column c(s) moved
// to position s, the factorization is B' = L·D·U:
//   L  unit lower triangular, L[t,s] (t > s) = multiplier of row r(t) at step s
//   D  diagonal, D[s,s] = p(s), the pivot value at step s
//   U  unit upper triangular, U[s,t] (t > s) = element (r(s), c(t)) at step s / p(s)
//
// After a successful factorization the handle b holds:
//   lw.pfv[r(s)]   the L eta of step s: one entry per non-zero L[t,s], t > s,
//                  applying to row r(t), value -L[t,s]
//   up.pfv[r(s)]   the U eta of step s: one entry per non-zero U[t,s], t < s,
//                  applying to row r(t), value -U[t,s]
//   diag_v[r(s)]   1 / p(s)
//   ips1[r(s)]     c(s), the column matched to pivot row r(s)
//   ips2[r(s)]     s
//   lu->row_k_head[r(s)] = c(s), lu->col_k_head[c(s)] = r(s): the matching
//                  handed to the caller; -1 for a line without a pivot
//   fact_state     0 at full rank, sz - rank when a rank-deficient factor was
//                  accepted, the negative result after a failure
// During the factorization ips1[r] / ips2[c] hold the step of row r / column c,
// sz + 1 while not yet pivoted.
//
// Every transform and the basis update walk the packed files (lwp, upp, brp,
// see lp_lumx.h): the etas' entries contiguous by eta, and for L and U also
// by row (lwr, upr), which the walks by rows of the sparse backward
// transforms and the update's surgery on U read.  lu_eta_rows builds the
// row-wise files from the packed ones, and in the build without diagnostics
// also the lists of lw and up that the walks follow (U's step list, the row
// lists); the fast library builds them right after each factorization, the
// other builds when a stage first needs them.  The library build keeps the
// same etas as chains through the pool as well (below), the record that its
// dumps print and that the test switch lu_chain_walk walks instead, the
// straightforward walk the packed files must agree with bit for bit; the
// build without diagnostics has no chains at all.
//
// An eta entry is one element slot k of b->lu's pool, reused:
//   av.i[k]      E, the row the entry applies to
//   av.j[k]      r, the pivot row of the eta it belongs to
//   av.v[k]      the negated factor value
//   av.nexti[k]  next entry of the same eta (chain from pfv[r].first, in the
//                order appended)
//   av.nextj[k]  next entry applying to the same row E in the same file (chain
//                from aux[E].first, most recent first)
// The pivot element stays in the pool, unscaled, and is no entry of any file.
//
// ---- The elimination's work areas (in lplu) --------------------------------------------
//
// Count buckets: a line (row or column) with k >= 1 active non-zeros that is
// waiting to be considered is filed in bucket k of its kind (c_nztop[k] /
// r_nztop[k] first line, c_nzlst[line] = {k, next, prev}); new lines go to the
// front, so within a count the most recently filed line is found first.  The
// heaps pxh_c / pxh_r hold the counts whose bucket is not empty (the build
// without diagnostics keeps only a bound below which every bucket is empty,
// lplu.c_kmin / r_kmin, and scans up from it for the smallest).  One pivot
// search records the rows it takes out of the buckets in lplu.ips1 and the
// columns in lplu.ips2; vwk2 maps row -> element while one column is updated.
//
// The build without diagnostics takes shortcuts that change no pivot, no eta
// entry and no result bit (the test digest_builds_agree holds it to the build
// with diagnostics): a row singleton at the smallest row count is taken
// without the search record and its step walks the pivot column once; the
// other line of a singleton pivot stays in its bucket until a search meets it
// there (and drops it); the pivot's row and column leave their active chains
// without being moved to finished chains (nothing reads those), and the pivot
// row is not walked when the pivot is its one live element; a pivot that is
// all its column ever held takes no walk and packs no entry; with the matrix
// appended row by row, a row singleton's live element is looked for in the
// row's consecutive slots (lplu.first_fill, row_head) rather than along its
// chain; the column buckets and the caches of the line maxima are set up only
// when the first step that is no row singleton needs them; a row singleton's
// multipliers are stored straight at their places in the packed L file (the
// column's count tells how many); two long columns that the Schur update
// walks one after the other without keeping the map are walked together,
// their chains interleaved; the entry counts n_lw, n_up are taken from the
// packed files after the elimination, and the reciprocal pivots are stored
// by the pass that hands the matching back.
#ifndef ZELKOR_LP_SM_LU_H
#define ZELKOR_LP_SM_LU_H

#include "lp_lumx.h"

// The pivot search's settings, unless the handle sets its own (b_rec::piv_tol,
// piv_lines): the relative threshold a candidate must exceed against its
// line's largest magnitude, and the lines examined before settling once a
// candidate exists.
const double PIVOT_THRESHOLD = 0.01;
const int PIVOT_SEARCH_LINES = 5;
inline double lu_pivot_threshold(const b_rec* b) {
  return b->piv_tol > 0.0 ? b->piv_tol : PIVOT_THRESHOLD;
}
inline int lu_search_limit(const b_rec* b) {
  return b->piv_lines > 0 ? b->piv_lines : PIVOT_SEARCH_LINES;
}

// Kinds of count lists.
enum { NZ_COL = 0, NZ_ROW = 1 };

int count_compare(int a, int b);
int b_renew(int n_col_ids, int n_row_ids);

int nzlst_add(lumx* lu, int kind, int line);
int nzlst_remove(lumx* lu, int kind, int line);
int nzlst_refile(lumx* lu, int kind, int line);
int nzlst_take_min(lumx* lu, int kind);
int k_col_retire(lumx* lu, int pred, int e, int keep);
int k_row_retire(lumx* lu, int pred, int e, int keep);
int k_count_check(lumx* lu, int order);

// Whether the matrix was appended strictly row by row or column by column,
// each position after the one before: then no position is held twice.
bool lu_appended_in_order(const lumx* lu);

int lu_find_pivot(lumx* lu, int s, int32_t* taken_rows, int32_t* taken_cols, b_rec* b);
int lu_fact(b_rec* b, int accept, int* rank);

int lu_factorization(b_rec* b, int accept, int* rank, int32_t** q, int32_t** r);
int lu_make_eta(b_rec* b, int accept, int rank);
void lu_eta_rows(b_rec* b);
#ifdef ZELKOR_DIAG
void lu_eta_chains(b_rec* b);
#endif
int lu_lu_append_tail(lumx* lu, int k, int chain_kind, int x, int r, double v, int32_t* first,
                      int32_t* tail, eta_aux* aux);
int eta_link_lists(eta_file* f, int flags);
int lu_copy_bs(lumx* bs, const lumx* lu);

// Dense transforms: x solves B·x = b after lu_ftran_d1 then lu_ftran_d2 on a
// copy of b; y solves yᵀ·B = cᵀ after lu_btran_d1 then lu_btran_d2.
int lu_ftran_d1(b_rec* b, double* x);
int lu_ftran_d2(b_rec* b, double* x);
int lu_btran_d1(b_rec* b, double* y, int r);
int lu_btran_d2(b_rec* b, double* y);
void lu_scatter_ips1(b_rec* b, double* x);
void lu_gather_ips1(b_rec* b, double* y);

int lu_kakunin_d(b_rec* b);
int b_BB_check_d(int num, const double* x, const double* y, const char* lbl_x, const char* lbl_y);
int b_BB_check_v2(int num, const lpvect2* xv, const lpvect2* yv, const char* lbl_x,
                  const char* lbl_y);

// Sparse transforms on marked work vectors, in the factor's row-id space.
int lu_ftran_v21(b_rec* b, lpvect2* a);
// What the caller of a last sparse stage reads of its result:
//   SOLVE_LIST          the values and the list's order (which decides the
//                       order of later sums)
//   SOLVE_VALUES        the values only: the stage may walk plain values when
//                       it reaches too many rows, and list the result by
//                       position
//   SOLVE_VALUES_DENSE  the same, for a result expected to fill much of the
//                       order: on orders up to DENSE_SOLVE_ORDER the stage
//                       walks plain values whatever it reaches
// The values are the same bits in every case (a zero's sign aside).
enum solve_use { SOLVE_LIST = 0, SOLVE_VALUES = 1, SOLVE_VALUES_DENSE = 2 };
const int DENSE_SOLVE_ORDER = 1024;
int lu_ftran_v22(b_rec* b, lpvect2* a, solve_use use = SOLVE_LIST);
int lu_btran_v21(b_rec* b, lpvect2* y);
int lu_btran_v22(b_rec* b, lpvect2* y, solve_use use = SOLVE_LIST);

// Basis column replacement (lu_make_B_1 keeps the copy bs in step; library
// build only).
int lu_pivotting(b_rec* b, int r, lpvect2* a_s);

// What a caller of the update may hand over because it computed it already,
// by the same routines on the same vectors since the factors last changed,
// so that every bit comes out as the update would compute it (null: compute
// it here):
//   spike   the new column after lu_ftran_v21, in list order: the update
//           works on it in place of a_s (which keeps the column as it came,
//           for the accuracy check) and leaves in it what a_s would hold
//   x       the spike after lu_ftran_v22 too (the forward solve of the column)
//   u_row   row r of U^-1: e_r (value 1.0) after lu_btran_v21
//   b_row   row r of B^-1: u_row after lu_btran_v22
struct update_given {
  lpvect2* spike;
  const lpvect2* x;
  const lpvect2* u_row;
  const lpvect2* b_row;
};
int lu_pivotting_given(b_rec* b, int r, lpvect2* a_s, const update_given* g);
#ifdef ZELKOR_DIAG
int lu_make_B_1(lumx* bs, const lpvect2* a_s, int j);
#endif

#ifdef ZELKOR_DIAG
// Test hook: the Schur update walks the updated column every time, the
// straightforward walk the column map must agree with.
extern bool lu_fact_rewalk;
// Test hook: the transforms walk the eta chains instead of the packed files,
// the straightforward walk the packed files must agree with.
extern bool lu_chain_walk;
// Test hook: the factorization leaves the eta chains to lu_eta_chains, as
// the build without diagnostics does.
extern bool lu_defer_chains;
extern trace_sw trace_lu_fact;
extern trace_sw trace_lu_factorization;
extern trace_sw trace_lu_make_eta;
extern trace_sw trace_lu_lu_append_tail;
extern trace_sw trace_ftran_d;
extern trace_sw trace_btran_d;
extern trace_sw trace_ftran_v;
extern trace_sw trace_btran_v21;
extern trace_sw trace_pivotting;
extern trace_sw trace_make_B_1;
#endif

#endif
