// lp_lumx: the sparse matrix store and the memory of the whole library.
//
// ---- The element pool and the record lumx ------------------------------------------
//
// A sparse matrix is a pool of elements addressed by slot number, five
// parallel arrays of max_av entries:
//
//   av.i[k]      row of the element in slot k
//   av.j[k]      column of the element in slot k
//   av.nexti[k]  next slot in the same column's list (runs down the column)
//   av.nextj[k]  next slot in the same row's list (runs along the row)
//   av.v[k]      value
//
// Slots are handed out in increasing order (n_av, n_av+1, ...) and never given
// back: an element taken off its lists leaves its slot idle until the record is
// emptied by lumx_clear.  -1 ends every list.  Lists are integer links, so
// growing the pool by re-allocation keeps every link valid.
//
// Each element lies in exactly one column list and one row list:
//   main lists    col_head[c], row_head[r]       (the matrix as appended; during a
//                                                 factorization: the finished lists)
//   active lists  col_k_head[c], row_k_head[r]   (the part still being eliminated)
// both threaded through av.nexti (columns) and av.nextj (rows).  New elements
// go to the front of a list.  The builds without diagnostics keep no finished
// row lists during a factorization (only the checks read them): an element
// leaving an active row list is only unlinked, and row_head[r] holds instead
// the lowest slot of row r when the matrix was appended row by row (else -1);
// nor do they move what is left on the pivot's active lists at the end of a
// step (the multipliers, packed straight from the column's active list): both
// lists are only emptied.  After a factorization the same slots are
// re-chained into the eta files (see lp_sm_lu.h).
//
// Per-line arrays have max_col (columns) or max_row (rows) entries, n+1 and m+1
// after sizing.  The matrix copy bs uses only the pool, the counts, col_nz,
// col_head, row_nz and row_head; its other arrays stay null.
//
// ---- The factor record b_rec (the library handle) --------------------------------------
//
// Owns the working matrix lu, the optional copy bs, the eta files br, lw, up
// and their packed forms lwp, upp, brp, diag_v, ips1, ips2 and up_ord.  Per-size arrays hold sz+1 (diag_v, eta files) or
// sz+2 (ips1, ips2) entries; max_sz is sz+1 of the largest order sized.
//
// An eta file is a per-row array of eta heads pfv[], a per-row array of
// auxiliary heads aux[], and the heads and tails of three lists:
//   head/tail          every step, in step order, via pfv[].next / pfv[].prev
//   nz_head/nz_tail    the steps whose eta has entries, via pfv[].nz_next/nz_prev
//   aux_head/aux_tail  the rows E with aux[E].first >= 0, via aux[].aux_next/aux_prev
// -1 ends a list; -2 in a link marks an eta or row that is on no list.
// br (the R etas of the basis update) has 100 pfv entries, indexed by creation
// order, and grows when more are needed; lw and up are indexed by pivot row.
//
// ---- The work record lplu ----------------------------------------------------------------
//
// One per process (one per thread in the fast library, built with
// ZELKOR_PER_THREAD), shared by every handle, sized by lumx_renew to the
// largest order seen and freed by lu_free.  Who calls lu_free:
//   - the library with diagnostics and the program: lu_delete of any handle;
//   - the fast library: lumx_free of the thread's last handle, and the end of
//     the thread.  A handle is tied to the thread that last sized it
//     (b_rec.tie); the thread's tie counts its tied handles.  lumx_free of a
//     handle (lu_delete) in its own thread unties it and, when no handle is
//     left, frees the record and the tie; in another thread it only unties
//     it (it never frees another thread's arrays), and that thread's record
//     then stays until the thread ends or ties and unties a handle again.  A
//     thread that ends frees its record, whatever handles are left; the tie
//     then goes with the last of its handles.
// The scratch arrays serve
// several stages, one at a time; each line names every stage that borrows the
// array, so that nobody hands it to two stages at once:
//   dwk1               sz+1 doubles: the reciprocal pivots of the elimination
//                      until the eta files are complete; the input kept for the
//                      verification of a transform (library build); the column
//                      sums of zk_prepare_factoring before an elimination (fast
//                      library)
//   dwk2               sz+1 doubles: the permutation at the end of FTRAN and the
//                      start of BTRAN; the product of a verification; the new
//                      column of a basis update kept for its accuracy check
//   dwk3               sz+1 doubles: the unit vectors of the check; the result
//                      of a sparse transform moved to column order for its
//                      verification; the dense row of B⁻¹ of an update's
//                      accuracy check
//   ips1               sz+3 ints: the rows one pivot search took out of the
//                      buckets; the pivot row of each step while the eta chains
//                      or the lists of lu_eta_rows are built; the reach list of
//                      a sparse transform; the rows an update adds to U's row
//                      list
//   ips2               sz+3 ints: the columns one pivot search took out of the
//                      buckets; the positions of an update's kept new column
//   vwk1               work vector: the multipliers of the pivot column during
//                      one elimination step; the row of U⁻¹ in a basis update
//   vwk2               stamped work vector: the merge of duplicates, the row map
//                      of the elimination (map_* below), the reach marks of the
//                      sparse transforms
//   aibo               sz+1 ints: per-row mark of the eta builder (-2: no eta)
//   mt                 2(sz+1) pairs {row, col}: the pivot sequence
//   max_sz             sz+1 of the largest order the arrays were sized for
//   pxh_c, pxh_r       heaps of the counts whose bucket is, or may be, not
//                      empty (a count found empty at the top leaves); the
//                      build without diagnostics keeps instead c_kmin, r_kmin:
//                      a count no non-empty bucket lies below, raised by the
//                      search for the smallest
//   c_nztop, r_nztop   sz+1 ints: first line of the bucket of each count, -1 empty
//                      (while the kind is not filed: the stack of its lines of
//                      count 1, see unfiled_lines)
//   c_nzlst, r_nzlst   sz+1 triples {nz, next, prev} per column / row
//                      (while the kind is not filed: nz the line's last entry
//                      in the list of refilings)
//   r_unfiled, c_unfiled
//                      build without diagnostics: the kind's list of refilings
//                      (2(sz+1) ints) and its counts while it is not filed
//   map_pred, map_col, map_stamp, map_stale, map_stale_elem
//                      the column the row map vwk2 belongs to during the
//                      elimination (see lp_sm_lu.cpp); before it, map_pred
//                      holds the element met first per row in the merge of
//                      duplicates
#ifndef ZELKOR_LP_LUMX_H
#define ZELKOR_LP_LUMX_H

#include <bit>
#include <cstdint>

#include "lp_kesh.h"
#include "lp_ve.h"
#include "xheap.h"

struct lumx_av {
  int32_t* i;
  int32_t* j;
  int32_t* nexti;
  int32_t* nextj;
  double* v;
};

struct lumx {
  lumx_av av;
  int32_t n_av;    // slots handed out; the next slot to hand out
  int32_t n;       // columns
  int32_t m;       // rows
  int32_t max_av;  // pool capacity in slots
  int32_t max_col; // entries of each per-column array
  int32_t max_row; // entries of each per-row array
  int32_t n_nz;    // elements appended since the last clearing
  int32_t* col_nz;
  int32_t* col_head;
  int32_t* row_nz;
  int32_t* row_head;
  int32_t* col_k_head;
  int32_t* row_k_head;
  double* rmax_v;
  int32_t* rmax_f;
  double* cmax_v;
  int32_t* cmax_f;
};

// One eta head per pivot row (lw, up) or per R eta (br).
struct eta_pfv {
  int32_t row;     // the pivot row of the eta
  int32_t first;   // first entry, -1 when the eta is empty
  int32_t next;    // step list
  int32_t prev;
  int32_t nz_next; // non-empty list; -2 when the eta has no entries
  int32_t nz_prev;
};

// One per row E: the entries, in any eta of the file, that apply to row E.
struct eta_aux {
  int32_t first;    // first entry, -1 when none
  int32_t aux_next; // list of rows with entries; -2 when the row has none
  int32_t aux_prev;
};

struct eta_file {
  eta_pfv* pfv;
  eta_aux* aux;
  int32_t kind; // 1 for lw and up, 2 for br
  int32_t head;
  int32_t tail;
  int32_t nz_head;
  int32_t nz_tail;
  int32_t aux_head;
  int32_t aux_tail;
};

// The solve-ready form of an eta file: the entries of each eta contiguous, in
// the order of its chain, and the etas in step order, so that a transform
// reads memory in sequence instead of following the chains through the pool.
// It is the file every build walks; the library build also keeps the same
// values as chains for its dumps and for the chain walk of its tests.
//   idx[k], val[k]   entry k: the row it applies to and its value (negated
//                    factor value, as in the chain); cap_ent entries allocated
//   seg[q]           eta q in step order: {row, start, len}, its entries
//                    idx/val[start .. start+len); lw and up hold only the etas
//                    with entries; br one segment per R eta, q = creation order
//   seg_of[r]        (lw, up) the segment of eta r, -1 when r has no entries
//   dead, dead_seg   entries and segments the basis update left unused (a
//                    segment emptied or moved keeps its place with len 0)
// 12 bytes per entry, 12 per segment and 4 per row.
struct eta_seg {
  int32_t row;
  int32_t start;
  int32_t len;
};

struct eta_pack {
  int32_t* idx;
  double* val;
  eta_seg* seg;
  int32_t* seg_of;
  int32_t n_ent;
  int32_t cap_ent;
  int32_t n_seg;
  int32_t cap_seg;
  int32_t dead;
  int32_t dead_seg;
};

// The count of a thread's handles in the fast library (lp_lumx.cpp).
struct lplu_tie;

// The row-wise form of a packed eta file, lw's and up's, for the walks by
// rows of the sparse backward transforms and the basis update: per row E the
// entries of every eta that apply to E, each naming its eta (the pivot row
// r, av.j in the chains) and its value.  A row holds its entries oldest
// first, so that walking it backwards meets them most recent first, as the
// chain aux[E] does; that order decides where the walk's fill-in goes in a
// work vector, and so the order of later sums.
//   start[E], len[E], cap[E]  row E: entries idx/val[start .. start+len), room
//                             for cap of them
//   idx[k], val[k]            entry k: its eta and its value; cap_ent allocated
//   n_used                    storage handed out, up to the end of the last row
//   dead                      storage of rows that moved (up: a row without
//                             room for a new entry moves to the end)
//   order[0 .. n_order)       lw only (L does not change with the updates):
//                             the rows with entries in step order, the row
//                             list of lw as an array; null in upr
// Built from the packed file by a counting transpose (lu_eta_rows; b_rec's
// rows_ready tells that it matches the factors).  12 bytes per entry and per
// row.
struct eta_rows {
  int32_t* start;
  int32_t* len;
  int32_t* cap;
  int32_t* idx;
  double* val;
  int32_t n_used;
  int32_t cap_ent;
  int32_t dead;
  int32_t* order;
  int32_t n_order;
};

struct b_rec {
  eta_file br;
  eta_file lw;
  eta_file up;
  lumx* lu;
  lumx* bs;
  double* diag_v;
  int32_t n_br;
  int32_t max_br;
  int32_t sz;
  int32_t max_sz;
  int32_t* ips1;
  int32_t* ips2;
  int32_t n_lw;
  int32_t n_up;
  int32_t fact_state;
  int32_t cap_br;    // pfv entries allocated in br (100, grown by the update)
  int32_t fact_done; // 1 once lu_factorization has run since the last sizing
  int32_t* up_ord;   // sz+1: position of eta r in U's step order (a step, or
                     // larger once an update has moved the eta last)
  int32_t up_ord_next; // the position the next moved eta takes
  eta_pack lwp;        // the packed forms of lw, up and br
  eta_pack upp;
  eta_pack brp;
  eta_rows lwr;         // the row-wise forms of lwp and upp
  eta_rows upr;
  int32_t rows_ready;   // 1 once lwr, upr and the step, non-empty and row
                        // lists of lw and up match the last factorization
                        // (lu_eta_rows; the fast library builds them with it)
  int32_t chains_ready; // library build: 1 once the eta chains and lists of
                        // the last factorization are built
  double upd_rel_tol;  // the basis update refuses a transformed pivot alpha with
                       // |alpha| < upd_rel_tol * max|spike|; 0 (the default of
                       // a new handle) tests the absolute tolerance only
  // Settings of the handle (zk_set_param of the fast library), kept by
  // lu_resize; 0, as in a new zero-filled record, stands for the default.
  double piv_tol;         // relative pivot threshold u in (0, 1] (0: 0.01): a
                          // candidate must exceed u times the largest
                          // magnitude of the line it is found in (u = 1: equal
                          // that largest magnitude)
  int32_t piv_lines;      // lines the Markowitz search examines once it holds a
                          // candidate (0: 5)
  int32_t refactor_after; // replacements after which zk_refactor_advice says
                          // to factorize afresh (0: 100)
  double zk_rel_tol;      // the relative pivot test of zk_replace_column, in
  int32_t zk_rel_tol_set; // force once set (else ZK_UPDATE_REL_TOL)
  // Kept for the simplex interface of the fast library (zk_simplex.cpp) by
  // its lu_factoring and zk_replace_column; null and 0 in the other builds.
  double* col_abs;     // col_abs_cap entries: col_abs[j] = sum_i |B(i,j)| of
                       // basis column j (duplicates summed first)
  int32_t col_abs_cap; // entries allocated in col_abs
  // Work vectors of order sz, allocated by the first call that needs them
  // after a sizing to a larger order, and what the replacement may take over
  // from the solves before it (zk_simplex.cpp):
  lpvect2 zk_vec;      // a sparse FTRAN's work; after it, its result by row
  lpvect2 zk_bvec;     // a sparse BTRAN's work; after it, its result by row
  lpvect2 zk_in;       // the last sparse FTRAN's right-hand side as loaded
  lpvect2 zk_spike;    // and that after L, the pivots and the R etas
  lpvect2 zk_p;        // the last BTRAN of a unit e_r: row r of U^-1
  lpvect2 zk_col;      // the replacement's new column
  lpvect2 zk_row;      // scratch of the replacement's accuracy check
  int64_t zk_stamp;       // changes whenever the factors change
  int64_t zk_ftran_stamp; // zk_stamp when zk_in, zk_spike and zk_vec were
                          // saved (else they are stale)
  int64_t zk_btran_stamp; // likewise zk_p and zk_bvec, for the row
  int32_t zk_btran_row;   // r of that unit BTRAN
  int32_t zk_ftran_nz;    // non-zeros of the last sparse FTRAN's result, and
  int32_t zk_btran_nz;    // of the last BTRAN's: what the next may fill
  // The basis update's accuracy check (zk_replace_column sets the two limits;
  // 0, the default, checks nothing): the pivot computed from the transformed
  // column and from row r of B^-1 must agree to upd_agree_tol relative, and
  // no multiplier of the new R eta may exceed upd_growth_max in magnitude.
  double upd_agree_tol;
  double upd_growth_max;
  double upd_agree;      // the last check's relative disagreement
  double upd_growth;     // and its largest multiplier
  double upd_cond;       // and the condition of its pivot, sum |p_k spike_k| / |alpha|
  double upd_agree_max;  // since the factorization: the largest upd_agree
  double upd_cond_sum;   // and the sum of upd_cond of the accepted updates
  lplu_tie* tie;       // fast library: the tie of the thread whose work record
                       // the handle needs (the thread that last sized it);
                       // null before the first sizing and in the other builds
};

struct lu_pair {
  int32_t row;
  int32_t col;
};

// Build without diagnostics: what the steps before the first pivot search
// note of the lines of one kind while that kind is not filed in buckets.
struct unfiled_lines {
  int32_t* refiled;   // 2*sz+2: the lines in the order the steps refiled them
                      // to a count above 1 (a line's last entry is the one
                      // its bucket entry's nz holds, when it holds the line)
  int32_t n_refiled;  // entries of refiled
  int32_t n_singles;  // the lines of count 1, stacked in the kind's bucket
                      // tops in the order a bucket would hold them
};

struct nz_link {
  int32_t nz;
  int32_t next;
  int32_t prev;
};

struct lplu_rec {
  double* dwk1;
  double* dwk2;
  double* dwk3;
  int32_t* ips1;
  int32_t* ips2;
  lpvect2 vwk1;
  int32_t* aibo;
  lu_pair* mt;
  int32_t max_sz;
  xheap* pxh_c;
  xheap* pxh_r;
  lpvect2 vwk2;
  int32_t* c_nztop;
  int32_t* r_nztop;
  nz_link* c_nzlst;
  nz_link* r_nzlst;
  int32_t* map_pred;      // sz+1: per mapped row, the element before its own on
                          // the mapped column's active chain (-1: the head)
  int32_t map_col;        // the column the row map vwk2 belongs to, -1 none
  int32_t map_stamp;      // the vwk2 stamp it was made under
  int32_t map_stale;      // rows of the map pivoted since it was made
  int32_t map_stale_elem; // the element of the last of them
  int32_t c_kmin;         // build without diagnostics: no non-empty bucket
  int32_t r_kmin;         // below this count (in place of the heaps); c_kmin
                          // is -1 until the column buckets are filed, which
                          // waits for the first step without a row of count 1,
                          // then -2 while the column singletons are taken;
                          // r_kmin is -1 until the row buckets are filed, after
                          // the column singletons
  unfiled_lines r_unfiled;  // while r_kmin is -1
  unfiled_lines c_unfiled;  // while c_kmin is -2
  int32_t first_fill;     // build without diagnostics, matrix appended row by
                          // row: the first slot of the elimination's fill-in
                          // (row_head[r] then holds row r's lowest slot); else 0
};

extern ZK_THREAD_LOCAL lplu_rec lplu;

// Levels set by lu_new and lu_resize (per thread like lplu): basis_check
// non-zero keeps the copy bs and verifies every transform against it (library
// build); check_print > 1 also prints the vectors of a failed verification.
extern ZK_THREAD_LOCAL signed char basis_check;
extern ZK_THREAD_LOCAL signed char check_print;

// The first element pool never exceeds this many slots; it doubles as needed.
const int32_t LUMX_FIRST_POOL_MAX = 1048576;
// The R-eta file starts with this many heads.
const int32_t BR_FIRST_CAP = 100;

int lumx_renew(b_rec* b, int sz, int max_br, double density);
int lumx_init_b(b_rec* b);
int lumx_clear(lumx* a);
int lumx_new_av(lumx* a);
int lumx_free(b_rec* b);
int lu_free(lplu_rec* w);
#ifdef ZELKOR_PER_THREAD
void lplu_untie(b_rec* b);
#endif

// True when the calling thread's work record is allocated for order sz (it
// may have been freed, and sized since for a smaller order).
bool lplu_covers(int sz);

int lumx_append_checked(lumx* a, int row, int col, double v);

// Fills slot k with (row, col, v), counting it in its row and column.
inline void lumx_fill_slot(lumx* a, int k, int row, int col, double v) {
  a->av.i[k] = row;
  a->av.j[k] = col;
  a->av.v[k] = v;
  a->col_nz[col] += 1;
  a->row_nz[row] += 1;
  a->n_nz += 1;
}

// Links slot k at the front of one column list and one row list.
inline void lumx_link_front(lumx* a, int k, int32_t* col_list, int32_t* row_list) {
  a->av.nexti[k] = *col_list;
  *col_list = k;
  a->av.nextj[k] = *row_list;
  *row_list = k;
}

// Appends element (row, col) = v at the front of the main lists: the slot,
// 0 for a zero (nothing stored), -1 for a position out of range, or the
// result of a pool that could not grow.  The builds without diagnostics take
// the common case (in range, non-zero, not huge, room in the pool) inline, in
// a few instructions; every other case, and every case of the library build,
// goes through lumx_append_checked.
// The common case of lumx_append alone (builds without diagnostics): the
// slot, or -3 when it is not that case and nothing was done.
inline int lumx_append_inline(lumx* a, int row, int col, double v) {
  // The magnitude's bits order as the magnitudes do, a NaN above them all:
  // 0 < |v| <= 1e30 is one unsigned comparison of them.
  const uint64_t mag_bits = std::bit_cast<uint64_t>(v) & ~(1ULL << 63);
  const uint64_t huge_bits = std::bit_cast<uint64_t>(1e30);
  if ((unsigned)row < (unsigned)a->m && (unsigned)col < (unsigned)a->n &&
      mag_bits - 1 < huge_bits && a->n_av < a->max_av) {
    int k = a->n_av++;
    lumx_fill_slot(a, k, row, col, v);
    lumx_link_front(a, k, &a->col_head[col], &a->row_head[row]);
    return k;
  }
  return -3;
}

inline int lumx_append(lumx* a, int row, int col, double v) {
#ifndef ZELKOR_DIAG
  int k = lumx_append_inline(a, row, col, v);
  if (k >= 0)
    return k;
#endif
  return lumx_append_checked(a, row, col, v);
}


// Loading whole columns: col_start[0 .. n] (0, then non-decreasing) bounds
// column c's entries rows/vals[col_start[c] .. col_start[c+1]), rows 0-based.
// lumx_columns_stored: the entries a load of n such columns into a matrix of
// order n stores (the non-zero values), or -1 when the arguments do not
// describe them (a start out of order, a row outside 0 .. n-1, a value that
// is not finite, a null array that would be read).  lumx_load_columns: loads
// columns 0 .. a->n-1 of arguments that passed that check (`stored` its
// result), leaving the record exactly as lumx_append of every entry in order
// would: the same slots, lists, counts and pool capacity.  0, or -2 after a
// "cannot malloc" message with the record unchanged.
long long lumx_columns_stored(int n, const int* col_start, const int* rows, const double* vals);
int lumx_load_columns(lumx* a, const int* col_start, const int* rows, const double* vals,
                      long long stored);
int lumx_k_append2(lumx* a, int row, int col, double v);
int lumx_k_rm_row_col(lumx* a, int row, int col, int mode);

int lumx_mult_mx_d(const lumx* a, double* out, const double* in);
int lumx_mult_mx_v(const lumx* a, double* out, const lpvect2* vec);
int lumx_mult_d_mx(const lumx* a, double* out, const double* in);
int lumx_naiseki_d_a(const lumx* a, int col, const double* in, double* ip);
int lumx_mult_v_mx(const lumx* a, double* out, const lpvect2* vec);
int lumx_naiseki_v_a(const lumx* a, int col, const lpvect2* vec, double* ip);

#ifdef ZELKOR_DIAG
extern trace_sw trace_lumx_renew;
extern trace_sw trace_lumx_free;
extern trace_sw trace_lu_free;
extern trace_sw trace_lumx_new_av;
extern trace_sw trace_lumx_append;
extern trace_sw trace_lumx_k_append2;
extern trace_sw trace_lumx_k_rm_row_col;
extern trace_sw trace_lumx_mult_mx_d;
extern trace_sw trace_lumx_mult_d_mx;
extern trace_sw trace_lumx_naiseki_d_a;
#endif

#endif
