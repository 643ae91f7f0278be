// lp_sm_lu: the elimination (Markowitz pivots with a relative threshold), the
// eta builder and the factorization driver, the transforms that solve with
// the factors, the factorization check and the basis column replacement.
// The meaning of every structure is in lp_sm_lu.h and lp_lumx.h.
//
// Contents, in file order:
//   count buckets              filing lines by active count, the heaps of counts
//   active chains              retiring an element from an active chain
//   the elimination's column map  which column the row map vwk2 belongs to
//   pivot search               singletons, then the Markowitz search
//   the elimination            set-up, Schur update, one step, lu_fact
//   eta files                  packed files and chains from the eliminated matrix
//   the factorization driver   lu_factorization, the matching handed back
//   dense transforms           lu_ftran_d1/d2, lu_btran_d1/d2
//   factorization check        verification and lu_kakunin_d (library build)
//   sparse transforms          lu_ftran_v21/v22, lu_btran_v21/v22 on work vectors
//   basis column replacement   lu_pivotting: R etas, U surgery, packed U kept in step
//
// The scratch arrays of the work record each serve several stages, never two
// at once (lp_lumx.h names every borrower).
#include "lp_sm_lu.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <climits>
#include <initializer_list>
#include <cmath>

#include "lp_dump.h"

#ifdef ZELKOR_DIAG
trace_sw trace_lu_fact = 0;
trace_sw trace_lu_factorization = 0;
trace_sw trace_lu_make_eta = 0;
trace_sw trace_lu_lu_append_tail = 0;
#endif

int count_compare(int a, int b) { return a - b; }

// ---- count buckets -----------------------------------------------------------------------

namespace {

// The count-list structures of one kind (columns or rows).
struct count_lists {
  int32_t* nz;   // current active count of each line
  nz_link* lst;  // {count filed under, next, prev} per line
  int32_t* top;  // first line of each count's bucket
  xheap* heap;   // counts whose bucket is not empty (library build)
  int32_t* kmin; // no non-empty bucket below this count (the other builds)
  int n_lines;   // the number of lines, beyond every step
};

// c_kmin while the builds without diagnostics have not filed the columns:
// before the first step without a row singleton, and while the column
// singletons are taken; r_kmin while they have not filed the rows.
const int32_t COLUMNS_UNFILED = -1;
const int32_t COLUMNS_SINGLES = -2;
const int32_t ROWS_UNFILED = -1;

ZK_INLINE count_lists lists_of(lumx* lu, int kind) {
  if (kind == NZ_COL)
    return {lu->col_nz, lplu.c_nzlst, lplu.c_nztop, lplu.pxh_c, &lplu.c_kmin, lu->n};
  return {lu->row_nz, lplu.r_nzlst, lplu.r_nztop, lplu.pxh_r, &lplu.r_kmin, lu->m};
}

}  // namespace

// Prepares the count buckets and their heaps for one factorization.  The
// build without diagnostics finds the smallest non-empty count by a scan up
// from a bound instead (the same count: see nz_min), and has no heaps.
int b_renew(int n_col_ids, int n_row_ids) {
  if (ZK_DIAG && (xheap_init(&lplu.pxh_c, n_col_ids, count_compare) < 0 ||
                  xheap_init(&lplu.pxh_r, n_row_ids, count_compare) < 0)) {
    log_error("**** b_renew: cannot malloc\n");
    return -2;
  }
  lplu.c_kmin = n_col_ids;
  lplu.r_kmin = n_row_ids;
  for (int id = 0; id < n_row_ids; ++id) {
    lplu.r_nztop[id] = -1;
    lplu.r_nzlst[id] = nz_link{-1, -1, -1};
  }
  for (int id = 0; id < n_col_ids; ++id) {
    lplu.c_nztop[id] = -1;
    lplu.c_nzlst[id] = nz_link{-1, -1, -1};
  }
  return 0;
}

namespace {

// The builds without diagnostics file neither kind at the set-up.  The steps
// that take the row singletons, and after them the column singletons, need
// no bucket but that of count 1 of the kind they take, kept as a stack, and
// a note of the other lines they refile (see refile_unfiled); the column
// singletons change no row's count, the row singletons no column's.  Both
// kinds are filed when the first step without either comes (file_unfiled),
// as the steps before would have left them.  Until then r_kmin holds
// ROWS_UNFILED, and c_kmin COLUMNS_UNFILED, then COLUMNS_SINGLES.
void b_renew_unfiled() {
  lplu.r_kmin = ROWS_UNFILED;
  lplu.c_kmin = COLUMNS_UNFILED;
  for (unfiled_lines* u : {&lplu.r_unfiled, &lplu.c_unfiled})
    u->n_singles = u->n_refiled = 0;
}

}  // namespace

// The heap of a kind holds every count whose bucket is not empty, and may
// hold counts whose bucket has emptied since: a count leaves the heap when
// it comes to the top with an empty bucket, so that a bucket emptied and
// filled again between two searches costs no heap operation.

namespace {

// Files an unfiled line at the front of bucket k (1 .. the order).
ZK_INLINE int file_front(count_lists& cl, int line, int k) {
  int head = cl.top[k];
  int rc = 0;
  if (head >= 0)
    cl.lst[head].prev = line;  // a bucket not empty lies above the bound
  else if (ZK_DIAG && cl.heap->invert[k] < 0)
    rc = xheap_insert(cl.heap, k);
  else if (!ZK_DIAG && k < *cl.kmin)
    *cl.kmin = k;
  cl.top[k] = line;
  cl.lst[line] = nz_link{k, head, -1};
  return rc;
}

// Unlinks the filed entry ent from its bucket (its own entry is left).
ZK_INLINE void unlink_filed(count_lists& cl, nz_link ent) {
  if (ent.prev < 0)
    cl.top[ent.nz] = ent.next;
  else
    cl.lst[ent.prev].next = ent.next;
  if (ent.next >= 0)
    cl.lst[ent.next].prev = ent.prev;
}

// Files a line at the front of the bucket of its current count.
ZK_INLINE int nz_add(lumx* lu, int kind, int line) {
  count_lists cl = lists_of(lu, kind);
  int k = cl.nz[line];
  if (CHKB(1, k, lu->m) != 0 || CHKB(-1, cl.lst[line].nz, -1) != 0)
    return 0;  // count 0 (or beyond the order), or filed already: not filed
  return file_front(cl, line, k);
}

// Takes a line out of its bucket (nothing when it is not filed).
ZK_INLINE int nz_remove(lumx* lu, int kind, int line) {
  count_lists cl = lists_of(lu, kind);
  nz_link ent = cl.lst[line];
  if (ent.nz < 0)
    return 0;
  ZK_DIAG_ONLY(CHKB(1, ent.nz, lu->m));
  unlink_filed(cl, ent);
  cl.lst[line] = nz_link{-1, -1, -1};
  return 0;
}

// Moves a line to the bucket of its current count when the count changed.
// The builds without diagnostics move it in one go when the new count can be
// filed (the others, and a count of 0, take the way of remove and add).
ZK_INLINE int nz_refile(lumx* lu, int kind, int line) {
  count_lists cl = lists_of(lu, kind);
  nz_link ent = cl.lst[line];
  int k = cl.nz[line];
  if (ent.nz == k)
    return line;
  if (ZK_DIAG || (unsigned)(k - 1) >= (unsigned)lu->m) {  // k < 1 or k > m
    nz_remove(lu, kind, line);
    return nz_add(lu, kind, line);
  }
  if (ent.nz >= 0)
    unlink_filed(cl, ent);
  return file_front(cl, line, k);
}

// The first line of the smallest non-empty count, left in its bucket; -1
// when every bucket is empty.  With the steps of the kind's lines (step), a
// pivoted line met first is taken out of its bucket and passed over: the
// builds without diagnostics leave the other line of a pivot in its bucket
// until then (see put_back), which changes no bucket's order of the others.
ZK_INLINE int nz_min(lumx* lu, int kind, const int32_t* step = nullptr) {
  count_lists cl = lists_of(lu, kind);
  for (;;) {
    int k;
    if (ZK_DIAG) {
      while ((k = xheap_top(cl.heap)) >= 0 && cl.top[k] < 0)
        xheap_pop(cl.heap);  // a bucket emptied since it was filed
      if (k < 0)
        return -1;
    } else {
      // Every non-empty bucket lies at or above the bound: the first one
      // from there is the heap's top.
      k = *cl.kmin;
      while (k <= cl.n_lines && cl.top[k] < 0)
        ++k;
      *cl.kmin = k;
      if (k > cl.n_lines)
        return -1;
    }
    int line = cl.top[k];
    if (ZK_DIAG || step == nullptr || step[line] > cl.n_lines)
      return line;
    nz_remove(lu, kind, line);
  }
}

// Takes the first line of the smallest non-empty count; -1 when none.
ZK_INLINE int nz_take_min(lumx* lu, int kind, const int32_t* step = nullptr) {
  int line = nz_min(lu, kind, step);
  if (line < 0)
    return -1;
  ZK_DIAG_ONLY(count_lists cl = lists_of(lu, kind); int k = cl.lst[line].nz;
               CHKB(k, cl.nz[line], k));
  nz_remove(lu, kind, line);
  return line;
}

}  // namespace

// The bucket operations, called by the elimination through their inline
// forms above.
int nzlst_add(lumx* lu, int kind, int line) { return nz_add(lu, kind, line); }
int nzlst_remove(lumx* lu, int kind, int line) { return nz_remove(lu, kind, line); }
int nzlst_refile(lumx* lu, int kind, int line) { return nz_refile(lu, kind, line); }
int nzlst_take_min(lumx* lu, int kind) { return nz_take_min(lu, kind); }

// ---- active chains -------------------------------------------------------------------------

namespace {

// Unlinks element e (after pred, -1 for the head) from its active column chain;
// with keep 1 pushes it onto the column's finished chain, with 0 drops it.
ZK_INLINE int col_retire(lumx* lu, int pred, int e, int keep) {
  int32_t* nexti = lu->av.nexti;
  int col = lu->av.j[e];
  if (pred < 0)
    lu->col_k_head[col] = nexti[e];
  else
    nexti[pred] = nexti[e];
  if (keep) {
    nexti[e] = lu->col_head[col];
    lu->col_head[col] = e;
  }
  return 0;
}

// The same for the active row chain of e.  Nothing reads the finished row
// chains but the checks of the library build: the other builds only unlink.
ZK_INLINE int row_retire(lumx* lu, int pred, int e, int keep) {
  int32_t* nextj = lu->av.nextj;
  int row = lu->av.i[e];
  if (pred < 0)
    lu->row_k_head[row] = nextj[e];
  else
    nextj[pred] = nextj[e];
  if (ZK_DIAG && keep) {
    nextj[e] = lu->row_head[row];
    lu->row_head[row] = e;
  }
  return 0;
}

}  // namespace

int k_col_retire(lumx* lu, int pred, int e, int keep) { return col_retire(lu, pred, e, keep); }
int k_row_retire(lumx* lu, int pred, int e, int keep) { return row_retire(lu, pred, e, keep); }

// Every active chain holds exactly its count of elements, none of value 0.
int k_count_check(lumx* lu, int order) {
  int before = chk_fail_n;
  for (int i = 0; i < order; ++i) {
    int cnt = 0;
    for (int32_t e = lu->col_k_head[i]; e >= 0; e = lu->av.nexti[e], ++cnt)
      if (lu->av.v[e] == 0.0)
        CHKA(0, 0, 0);
    CHKB(lu->col_nz[i], cnt, lu->col_nz[i]);
    cnt = 0;
    for (int32_t e = lu->row_k_head[i]; e >= 0; e = lu->av.nextj[e], ++cnt)
      if (lu->av.v[e] == 0.0)
        CHKA(0, 0, 0);
    CHKB(lu->row_nz[i], cnt, lu->row_nz[i]);
  }
  return chk_fail_n != before ? -1 : 0;
}

// ---- the elimination's column map -------------------------------------------------------

// The row map of the elimination (vwk2) belongs to one column, the last one
// updated (lplu.map_col, made under stamp lplu.map_stamp).  While it belongs
// to that column it holds every element of the column's active chain, the
// fill-in included, and lplu.map_pred[x] the element before row x's on the
// chain (-1 at the head), so that an element is unlinked in constant time.
// A column updated again (a dense column met by many pivot rows) is then not
// walked again: the elements that went stale since its last walk are exactly
// those of the rows pivoted since (counted in map_stale, the last one in
// map_stale_elem).  One stale element is unlinked where it stands, as the
// walk would; with more than one the column is walked again, so that they
// reach the finished chain in chain order.  Any other retirement from the
// column's chain, and a new stamp, end the map.
#ifdef ZELKOR_DIAG
bool lu_fact_rewalk = false;
bool lu_defer_chains = false;
#endif

namespace {

void map_forget() {
  lplu.map_col = -1;
  lplu.map_stale = 0;
}

bool map_belongs_to(int y) { return lplu.map_col == y && lplu.map_stamp == lplu.vwk2.mark; }

}  // namespace

// ---- pivot search --------------------------------------------------------------------------

namespace {

// One line (row or column) as the search sees it: its active chain, the link
// field of that chain, the other index of each element and the other kind's
// steps and counts, and the line-maximum cache.
struct line_view {
  int kind;               // NZ_ROW or NZ_COL
  int32_t* head;          // active chain head of the line
  const int32_t* link;    // av.nextj (rows) or av.nexti (columns)
  const int32_t* other;   // av.j (rows) or av.i (columns)
  const int32_t* o_step;  // step of the other line (b->ips2 or b->ips1)
  const int32_t* o_nz;    // count of the other line
  double* max_v;
  int32_t* max_f;
  int32_t count;          // the line's own count
};

ZK_INLINE line_view view_of(lumx* lu, const b_rec* b, int kind, int line) {
  if (kind == NZ_ROW)
    return {NZ_ROW,          &lu->row_k_head[line], lu->av.nextj, lu->av.j, b->ips2,
            lu->col_nz,      &lu->rmax_v[line],     &lu->rmax_f[line], lu->row_nz[line]};
  return {NZ_COL,          &lu->col_k_head[line], lu->av.nexti, lu->av.i, b->ips1,
          lu->row_nz,      &lu->cmax_v[line],     &lu->cmax_f[line], lu->col_nz[line]};
}

ZK_INLINE void retire(lumx* lu, int kind, int pred, int e, int keep) {
  if (kind == NZ_ROW) {
    row_retire(lu, pred, e, keep);
  } else {
    if (lu->av.j[e] == lplu.map_col)
      map_forget();  // the map's predecessors no longer hold
    col_retire(lu, pred, e, keep);
  }
}

// The best candidate so far: Markowitz cost w, magnitude, element.
struct pivot_best {
  double w;
  double mag;
  int elem;
};

// The search state of one step.
struct pivot_search {
  lumx* lu;
  const b_rec* b;
  int s;             // the step
  double full_cost;  // n·n, the cost of "no candidate"
  int32_t* taken_rows;
  int32_t* taken_cols;
  int n_rows;        // rows taken so far
  int n_cols;        // columns taken so far
  int examined;      // lines examined by the Markowitz search
  pivot_best best;
  double u;          // the relative threshold
  int limit;         // lines examined once a candidate exists
};

// Walks the line's chain, retiring stale elements (whose other line is
// pivoted) and calling visit(e) for each remaining one.
template <class Visit>
void walk_live(pivot_search& ps, line_view& lv, Visit visit) {
  const double* v = ps.lu->av.v;
  int pred = -1;
  for (int32_t e = *lv.head; e >= 0;) {
    int32_t after = lv.link[e];
    if (lv.o_step[lv.other[e]] <= ps.s) {
      retire(ps.lu, lv.kind, pred, e, v[e] != 0.0);
    } else {
      visit(e);
      pred = e;
    }
    e = after;
  }
}

// The larger of a running maximum m (never a NaN) and a: std::fmax(m, a),
// a NaN a leaving m, without the library call.
static inline double larger(double m, double a) { return a > m ? a : m; }

// The largest magnitude among the live elements of the line, cached.
double line_max(pivot_search& ps, line_view& lv) {
  if (*lv.max_f)
    return *lv.max_v;
  double m = 0.0;
  walk_live(ps, lv, [&](int e) { m = larger(m, std::fabs(ps.lu->av.v[e])); });
  *lv.max_v = m;
  *lv.max_f = 1;
  CHKX(0, 0, m);
  return m;
}

// Examines every element of one line at count k (f = k - 1): a candidate must
// exceed the threshold against the line maximum; the lowest Markowitz cost
// wins, on equal cost the strictly larger magnitude, else the first met.
void examine_line(pivot_search& ps, int kind, int line, double f) {
  line_view lv = view_of(ps.lu, ps.b, kind, line);
  double m = line_max(ps, lv);
  const double* v = ps.lu->av.v;
  const double least = ps.u * m;
  const bool at_max = ps.u >= 1.0;  // u = 1: the line's largest magnitude passes
  int met = 0;
  walk_live(ps, lv, [&](int e) {
    double mag = std::fabs(v[e]);
    if (v[e] != 0.0)
      ++met;
    if (!(mag > least || (at_max && mag == m && mag != 0.0)))
      return;
    double cost = (double)(lv.o_nz[lv.other[e]] - 1) * f;
    if (cost <= ps.best.w && (cost < ps.best.w || mag > ps.best.mag))
      ps.best = pivot_best{cost, mag, e};
  });
  ZK_DIAG_ONLY(CHKB(lv.count, met, lv.count));
}

// Takes the next line of the kind out of the buckets and records it; -1 when
// the buckets are empty.
// The steps of the kind's lines (sz + 1 while not pivoted).
ZK_INLINE const int32_t* steps_of(const pivot_search& ps, int kind) {
  return kind == NZ_ROW ? ps.b->ips1 : ps.b->ips2;
}

ZK_INLINE void record_taken(pivot_search& ps, int kind, int line) {
  if (kind == NZ_ROW)
    ps.taken_rows[ps.n_rows++] = line;
  else
    ps.taken_cols[ps.n_cols++] = line;
}

int take_line(pivot_search& ps, int kind) {
  int line = nz_take_min(ps.lu, kind, steps_of(ps, kind));
  if (line >= 0)
    record_taken(ps, kind, line);
  return line;
}

// Takes and records a line that a look at the buckets left in its bucket
// (-1: none).
ZK_INLINE void take_candidate(pivot_search& ps, int kind, int line) {
  if (line < 0)
    return;
  ZK_DIAG_ONLY(int k = lists_of(ps.lu, kind).lst[line].nz;
               CHKB(k, lists_of(ps.lu, kind).nz[line], k));
  nz_remove(ps.lu, kind, line);
  record_taken(ps, kind, line);
}

// Looks at the first line of the smallest count, dropping unrecorded the
// lines of count 0 met first (they have no live element).  If it is a
// singleton, it is taken and recorded and its live element is returned as
// the pivot, stale elements at the chain's head retired first.  Else -1, and
// the line stays in its bucket: *cand receives it (-1: none), for the
// Markowitz search to take.  Looking before taking leaves every bucket as
// taking and filing back would.
ZK_INLINE int peek_singleton(pivot_search& ps, int kind, int* cand) {
  lumx* lu = ps.lu;
  const int32_t* nz = lists_of(lu, kind).nz;
  int line;
  for (;;) {
    line = nz_min(lu, kind, steps_of(ps, kind));
    if (line < 0 || nz[line] >= 1)
      break;
    nz_remove(lu, kind, line);
    line_view lv = view_of(lu, ps.b, kind, line);
    int live = 0;
    walk_live(ps, lv, [&](int e) { live += lu->av.v[e] != 0.0; });
    ZK_DIAG_ONLY(CHKB(0, live, 0));
  }
  *cand = line;
  if (line < 0 || nz[line] != 1)
    return -1;
  take_candidate(ps, kind, line);
  *cand = -1;
  line_view lv = view_of(lu, ps.b, kind, line);
  int e = *lv.head;
  while (e >= 0 && (lu->av.v[e] == 0.0 || lv.o_step[lv.other[e]] <= ps.s)) {
    retire(lu, kind, -1, e, lu->av.v[e] != 0.0);
    e = *lv.head;
  }
  return e;
}

// The Markowitz search over lines in increasing count, starting from the
// candidate row r0 and column c0.  Stops when no unexamined line can beat the
// best cost ((k-1)² before the rows of count k, k(k-1) before its columns), or
// after 5 examined lines once a candidate exists.
void markowitz_search(pivot_search& ps, int r0, int c0) {
  lumx* lu = ps.lu;
  int n = lu->n;
  auto limit_reached = [&]() {
    ++ps.examined;
    return ps.examined >= ps.limit && ps.best.w < ps.full_cost;
  };
  while (r0 >= 0 || c0 >= 0) {
    int kr = r0 >= 0 ? lu->row_nz[r0] : n + 1;
    int kc = c0 >= 0 ? lu->col_nz[c0] : n + 1;
    int k = kr < kc ? kr : kc;
    double f = (double)(k - 1);
    if (ps.best.elem >= 0 && ps.best.w <= f * f)
      return;
    while (r0 >= 0 && lu->row_nz[r0] <= k) {
      examine_line(ps, NZ_ROW, r0, f);
      if (ps.best.w <= f * f || limit_reached())
        return;
      r0 = take_line(ps, NZ_ROW);
    }
    if (ps.best.elem >= 0 && ps.best.w <= (double)k * f)
      return;
    while (c0 >= 0 && lu->col_nz[c0] <= k) {
      examine_line(ps, NZ_COL, c0, f);
      if (ps.best.w <= (double)k * f || limit_reached())
        return;
      c0 = take_line(ps, NZ_COL);
    }
  }
}

bool taken(const int32_t* lines, int count, int line) {
  for (int i = 0; i < count; ++i)
    if (lines[i] == line)
      return true;
  return false;
}

// Files again every taken line but the pivot's, and takes the pivot's row and
// column out of their buckets when the search did not take them.
void put_back(pivot_search& ps, int result) {
  lumx* lu = ps.lu;
  int pr = result >= 0 ? lu->av.i[result] : -1;
  int pc = result >= 0 ? lu->av.j[result] : -1;
  if (pr >= 0 && ps.n_rows + ps.n_cols == 1) {  // the one line taken is the pivot's
    // The other line of a singleton stays filed in the builds without
    // diagnostics until a search meets it (nz_min).
    if (ZK_DIAG && ps.n_rows == 1)
      nz_remove(lu, NZ_COL, pc);
    else if (ZK_DIAG)
      nz_remove(lu, NZ_ROW, pr);
    return;
  }
  for (int i = 0; i < ps.n_rows; ++i)
    if (ps.taken_rows[i] != pr)
      nz_add(lu, NZ_ROW, ps.taken_rows[i]);
  for (int i = 0; i < ps.n_cols; ++i)
    if (ps.taken_cols[i] != pc)
      nz_add(lu, NZ_COL, ps.taken_cols[i]);
  if (pr >= 0 && !taken(ps.taken_rows, ps.n_rows, pr))
    nz_remove(lu, NZ_ROW, pr);
  if (pc >= 0 && !taken(ps.taken_cols, ps.n_cols, pc))
    nz_remove(lu, NZ_COL, pc);
}

}  // namespace

// One pivot search at step s: a row singleton, else a column singleton, else
// the Markowitz search.  The pivot element, or -1 when there is none.
int lu_find_pivot(lumx* lu, int s, int32_t* taken_rows, int32_t* taken_cols, b_rec* b) {
  const double none = (double)lu->n * (double)lu->n;
  pivot_search ps{lu, b, s, none, taken_rows, taken_cols, 0, 0, 0, pivot_best{none, 0.0, -1},
                  lu_pivot_threshold(b), lu_search_limit(b)};
  int r0 = -1;
  int c0 = -1;
  int result = peek_singleton(ps, NZ_ROW, &r0);
  if (result < 0)
    result = peek_singleton(ps, NZ_COL, &c0);
  if (result < 0) {
    take_candidate(ps, NZ_ROW, r0);
    take_candidate(ps, NZ_COL, c0);
    markowitz_search(ps, r0, c0);
    result = ps.best.elem;
  }
  if (result < 0)
    CHKA(0, result, lu->n_av);
  put_back(ps, result);
  return result;
}

// ---- the elimination -----------------------------------------------------------------------

namespace {

// Whether the slots hold their elements in strictly increasing positions
// ordered by major, then minor index; stops at the first one out of order.
bool slots_increase(const int32_t* major, const int32_t* minor, int n) {
  // Whole blocks without a branch per slot (the compiler vectorizes them),
  // with a stop at the first block out of order; then the rest.
  const int block = 256;
  auto out_of_order = [&](int k) {
    return (major[k] < major[k - 1]) | ((major[k] == major[k - 1]) & (minor[k] <= minor[k - 1]));
  };
  int k = 1;
  for (; k + block <= n; k += block) {
    int bad = 0;
    for (int t = 0; t < block; ++t)
      bad |= out_of_order(k + t);
    if (bad)
      return false;
  }
  for (; k < n; ++k)
    if (out_of_order(k))
      return false;
  return true;
}

// Whether the matrix was appended row by row, each position after the one
// before (as callers usually append): then no position is held twice, and
// each row's elements lie in consecutive slots.
bool appended_by_rows(const lumx* lu) { return slots_increase(lu->av.i, lu->av.j, lu->n_av); }

// The same, column by column.
bool appended_by_columns(const lumx* lu) {
  return slots_increase(lu->av.j, lu->av.i, lu->n_av);
}

}  // namespace

bool lu_appended_in_order(const lumx* lu) { return appended_by_rows(lu) || appended_by_columns(lu); }

namespace {

// Sums elements stored twice at one position into the one met first in its
// column's list and takes the others off both main lists (they keep their
// slots), so that the elimination sees each position once: a pivot split over
// two elements would be wrong.  Nothing changes for a matrix without
// duplicates (nor is anything walked for one appended in order: by_rows,
// or column by column).
void merge_duplicates(lumx* lu, int sz, bool by_rows) {
  if (by_rows || appended_by_columns(lu))
    return;
  lpvect2* map = &lplu.vwk2;
  int32_t* first = lplu.map_pred;  // the element met first per row (free before the map)
  int32_t* ai = lu->av.i;
  double* av = lu->av.v;
  bool any = false;
  for (int c = 0; c < sz; ++c) {
    int32_t mark = lpvect2_newmark(map);
    int pred = -1;
    for (int32_t e = lu->col_head[c]; e >= 0;) {
      int32_t after = lu->av.nexti[e];
      int x = ai[e];
      if (map->usef[x] == mark) {
        int keep = first[x];
        av[keep] += av[e];
        av[e] = 0.0;
        lu->av.nexti[pred] = after;  // pred >= 0: a duplicate is never first
        lu->col_nz[c] -= 1;
        lu->row_nz[x] -= 1;
        lu->n_nz -= 1;
        any = true;
      } else {
        map->usef[x] = mark;
        first[x] = e;
        pred = e;
      }
      e = after;
    }
  }
  if (!any)
    return;
  // Unlink the merged-away elements (now 0.0) and any sum that cancelled to 0
  // from the row lists, and the cancelled sums from the column lists.
  for (int r = 0; r < sz; ++r) {
    int pred = -1;
    for (int32_t e = lu->row_head[r]; e >= 0; e = lu->av.nextj[e]) {
      if (av[e] != 0.0) {
        pred = e;
        continue;
      }
      if (pred < 0)
        lu->row_head[r] = lu->av.nextj[e];
      else
        lu->av.nextj[pred] = lu->av.nextj[e];
    }
  }
  for (int c = 0; c < sz; ++c) {
    int pred = -1;
    for (int32_t e = lu->col_head[c]; e >= 0; e = lu->av.nexti[e]) {
      if (av[e] != 0.0) {
        pred = e;
        continue;
      }
      if (pred < 0)
        lu->col_head[c] = lu->av.nexti[e];
      else
        lu->av.nexti[pred] = lu->av.nexti[e];
      lu->col_nz[c] -= 1;
      lu->row_nz[ai[e]] -= 1;
      lu->n_nz -= 1;
    }
  }
}

// One line of the set-up's filing in the builds without diagnostics (lines
// in increasing order, each line's entry not yet written): what nz_add does
// for a line of count 1 .. the order, an unfiled entry for a count of 0.
ZK_INLINE void file_line(count_lists& cl, int32_t& kmin, int line) {
  int k = cl.nz[line];
  if (k < 1 || k > cl.n_lines) {
    cl.lst[line] = nz_link{-1, -1, -1};
    return;
  }
  int head = cl.top[k];
  if (head >= 0)
    cl.lst[head].prev = line;
  else if (k < kmin)
    kmin = k;
  cl.top[k] = line;
  cl.lst[line] = nz_link{k, head, -1};
}

// ---- lines not filed -------------------------------------------------------------------------

// What the steps note of the lines of one kind while it is not filed, held
// in locals through a step (see file_unfiled).
struct unfiled_view {
  int32_t* singles;   // the stack of the lines of count 1 (the bucket tops)
  int32_t n_singles;
  int32_t* refiled;
  int32_t n_refiled;
  int32_t cap;        // refiled's capacity
  nz_link* lst;       // lst[line].nz: the line's last entry in refiled, when
                      // that entry holds the line (else it was never refiled)
};

ZK_INLINE unfiled_lines& unfiled_of(int kind) {
  return kind == NZ_ROW ? lplu.r_unfiled : lplu.c_unfiled;
}

ZK_INLINE unfiled_view unfiled_begin(lumx* lu, int kind) {
  unfiled_lines& u = unfiled_of(kind);
  count_lists cl = lists_of(lu, kind);
  return {cl.top, u.n_singles, u.refiled, u.n_refiled, 2 * lplu.max_sz, cl.lst};
}

ZK_INLINE void unfiled_end(const unfiled_view& v, int kind) {
  unfiled_of(kind).n_singles = v.n_singles;
  unfiled_of(kind).n_refiled = v.n_refiled;
}

// What nz_refile does for line x, whose count a step lowered to k, noted
// instead.  A count of 1 goes on the stack (the line is pivoted or down to 0
// before its kind is filed, so its filings matter no more); a larger one is
// entered as the line's latest refiling (when the list is full, only the
// latest of each line is kept); a count of 0 leaves the line unfiled for good.
ZK_INLINE void refile_unfiled(unfiled_view& u, int x, int k) {
  if (k == 1) {
    u.singles[u.n_singles++] = x;
    return;
  }
  if (k < 1)
    return;
  if (u.n_refiled == u.cap) {
    // At most one entry per line is kept, so half the list at least frees.
    int32_t kept = 0;
    for (int32_t t = 0; t < u.n_refiled; ++t) {
      int y = u.refiled[t];
      if (u.lst[y].nz == t) {
        u.lst[y].nz = kept;
        u.refiled[kept++] = y;
      }
    }
    u.n_refiled = kept;
  }
  u.lst[x].nz = u.n_refiled;
  u.refiled[u.n_refiled++] = x;
}

// The line of count 1 taken last onto the stack and still of count 1, taken
// off it; -1 when none is left.  (A line stacked and down to 0 since left its
// bucket then; nothing else takes a stacked line.)
ZK_INLINE int pop_single(lumx* lu, int kind) {
  unfiled_lines& u = unfiled_of(kind);
  count_lists cl = lists_of(lu, kind);
  while (u.n_singles > 0) {
    int x = cl.top[--u.n_singles];
    if (cl.nz[x] == 1)
      return x;
  }
  return -1;
}

// Files the lines of one kind, not filed before step s, into the buckets in
// which the steps before would have left them: a bucket holds its lines in
// the reverse order of their last filing, which was the set-up's (in
// increasing line order) for a line never refiled, else its last refiling.
// Lines pivoted and lines of count 0 stay unfiled.
void file_lines(lumx* lu, const b_rec* b, int s, int kind) {
  count_lists cl = lists_of(lu, kind);
  const int32_t* step = kind == NZ_ROW ? b->ips1 : b->ips2;
  const unfiled_lines& u = unfiled_of(kind);
  int sz = b->sz;
  std::fill(cl.top, cl.top + cl.n_lines + 1, -1);
  cl.lst[cl.n_lines] = nz_link{-1, -1, -1};
  int32_t kmin = cl.n_lines + 1;
  auto live = [&](int x) { return step[x] > s && cl.nz[x] >= 1; };
  for (int x = 0; x < sz; ++x) {
    int32_t t = cl.lst[x].nz;
    if (!live(x))
      cl.lst[x] = nz_link{-1, -1, -1};
    else if ((uint32_t)t >= (uint32_t)u.n_refiled || u.refiled[t] != x)
      file_line(cl, kmin, x);  // never refiled
  }
  for (int32_t t = 0; t < u.n_refiled; ++t) {
    int x = u.refiled[t];
    if (live(x) && cl.lst[x].nz == t)
      file_line(cl, kmin, x);
  }
  *cl.kmin = kmin;
}

// Before the first pivot search (step s): files what is not filed yet, and
// clears the caches of the line maxima, which only the search reads (no step
// before writes them).
ZK_NOINLINE void file_unfiled(lumx* lu, const b_rec* b, int s) {
  if (lplu.r_kmin == ROWS_UNFILED)
    file_lines(lu, b, s, NZ_ROW);
  if (lplu.c_kmin == COLUMNS_UNFILED || lplu.c_kmin == COLUMNS_SINGLES) {
    file_lines(lu, b, s, NZ_COL);
    std::fill(lu->rmax_f, lu->rmax_f + b->sz, 0);
    std::fill(lu->cmax_f, lu->cmax_f + b->sz, 0);
  }
}

// Set-up: steps unknown, buckets filed in increasing line order (so within a
// count the highest-numbered line is found first), active lists take over the
// stored lists and the finished lists start empty.
int fact_setup(b_rec* b, lumx* lu, int sz) {
  map_forget();
  for (int i = 0; i < sz; ++i) {
    b->ips1[i] = b->ips2[i] = sz + 1;
    if (ZK_DIAG)  // (the other builds write them after the last step)
      lplu.mt[i] = lu_pair{-1, -1};  // steps not reached stay "no pivot"
    b->lwp.seg_of[i] = b->upp.seg_of[i] = -1;
  }
  b->n_lw = b->n_up = 0;
  for (eta_pack* p : {&b->lwp, &b->upp, &b->brp})
    p->n_ent = p->n_seg = p->dead = p->dead_seg = 0;
  if (sz < 1)
    return 0;
  int rc = 0;
  if (ZK_DIAG)
    rc = b_renew(lu->n + 1, lu->m + 1);
  else
    b_renew_unfiled();
  if (rc < 0)
    return rc;
  bool by_rows = appended_by_rows(lu);
  merge_duplicates(lu, sz, by_rows);
  // Fill-in takes the slots from first_fill on.  With the rows in
  // consecutive slots, the builds without diagnostics keep in row_head[r]
  // the lowest slot of row r instead of an empty finished chain (see
  // row_singleton_pivot).
  lplu.first_fill = !ZK_DIAG && by_rows ? lu->n_av : 0;
  if (!ZK_DIAG) {
    // One pass: the rows of count 1 stacked as nz_add would file them (the
    // highest-numbered on top), the active lists taking over.
    int32_t* singles = lplu.r_nztop;
    int32_t n_singles = 0;
    int32_t first_fill = lplu.first_fill;
    for (int i = 0; i < sz; ++i) {
      singles[n_singles] = i;
      n_singles += lu->row_nz[i] == 1;
      int32_t row_first = lu->row_head[i];
      lu->col_k_head[i] = lu->col_head[i];
      lu->row_k_head[i] = row_first;
      lu->col_head[i] = -1;
      lu->row_head[i] = first_fill > 0 ? row_first - lu->row_nz[i] + 1 : -1;
    }
    lplu.r_unfiled.n_singles = n_singles;
    return 0;
  }
  for (int i = 0; i < sz; ++i) {
    if (lu->col_nz[i] > 0)
      nz_add(lu, NZ_COL, i);
    if (lu->row_nz[i] > 0)
      nz_add(lu, NZ_ROW, i);
    lu->rmax_f[i] = 0;
    lu->cmax_f[i] = 0;
  }
  for (int i = 0; i < sz; ++i) {
    lu->col_k_head[i] = lu->col_head[i];
    lu->row_k_head[i] = lu->row_head[i];
    lu->col_head[i] = -1;
    lu->row_head[i] = lplu.first_fill > 0 ? lu->row_k_head[i] - lu->row_nz[i] + 1 : -1;
  }
  ZK_DIAG_ONLY(k_count_check(lu, sz));
  return 0;
}

// Walks the active chain of column y, retiring its stale elements in chain
// order, and calls live(g, x, pred) for each live element g of row x (pred:
// the live element before it, -1 at the head).
template <class Live>
ZK_INLINE void walk_column(const b_rec* b, lumx* lu, int s, int y, Live live) {
  const int32_t* ai = lu->av.i;
  const int32_t* nexti = lu->av.nexti;
  const double* av = lu->av.v;
  const int32_t* step = b->ips1;
  int pred = -1;
  for (int32_t g = lu->col_k_head[y]; g >= 0;) {
    int32_t after = nexti[g];
    int x = ai[g];
    if (step[x] > s) {
      live(g, x, pred);
      pred = g;
    } else {
      col_retire(lu, pred, g, av[g] != 0.0);
    }
    g = after;
  }
}

// Maps the live rows of column y to their elements (a new stamp in vwk2,
// returned), retiring the stale elements of y's active chain in chain order,
// calls live(g, x) for each live element g of row x, and makes the map y's.
template <class Live>
int32_t map_column(b_rec* b, lumx* lu, int s, int y, Live live) {
  lpvect2* map = &lplu.vwk2;
  int32_t t = lpvect2_newmark(map);
  int32_t* usef = map->usef;
  double* vp = map->vp;
  int32_t* map_pred = lplu.map_pred;
  walk_column(b, lu, s, y, [&](int g, int x, int pred) {
    usef[x] = t;
    vp[x] = (double)g;
    map_pred[x] = pred;
    live(g, x);
  });
  lplu.map_col = y;
  lplu.map_stamp = t;
  lplu.map_stale = 0;
  return t;
}

// Unlinks the one element of column y that went stale since the map was made,
// from where it stands on the chain, as a walk would.
void retire_stale(lumx* lu) {
  int g = lplu.map_stale_elem;
  int x = lu->av.i[g];
  int pred = lplu.map_pred[x];
  int32_t after = lu->av.nexti[g];
  col_retire(lu, pred, g, lu->av.v[g] != 0.0);
  if (after >= 0)
    lplu.map_pred[lu->av.i[after]] = pred;
  lplu.map_stale = 0;
}

// A row pivoted at this step: when the map holds an element of it, that
// element has gone stale on the mapped column.
void map_note_pivot(int r, int c) {
  if (lplu.map_col < 0)
    return;
  const lpvect2* map = &lplu.vwk2;
  if (c == lplu.map_col || map->mark != lplu.map_stamp) {
    map_forget();
  } else if (map->usef[r] == lplu.map_stamp) {
    lplu.map_stale += 1;
    lplu.map_stale_elem = (int32_t)map->vp[r];
  }
}

// Schur-complement update of column y for pivot row r, pivot column c and the
// unscaled U value u: a(x,y) -= u·l(x) for every multiplier l(x) of column c.
// First the stale elements of y leave its chain (see the column map above).
// 0, or the negative result of a failed fill-in.
// a(x,y) -= d for the element g of row x in column y, with the counts: an
// element that cancelled earlier comes back, one that cancels now leaves
// them (it stays on its chains with value 0).
inline void subtract_at(lumx* lu, double* av, int g, int x, int y, double d) {
  if (av[g] == 0.0) {
    lu->col_nz[y] += 1;
    lu->row_nz[x] += 1;
    lu->n_nz += 1;
  }
  av[g] -= d;  // a(x,y) -= u·l(x)
  if (av[g] == 0.0) {
    lu->col_nz[y] -= 1;
    lu->row_nz[x] -= 1;
    lu->n_nz -= 1;
  }
}

// Fill-in a(x,y) = -d at the head of y's active chain, added to the map of y
// (stamp t) with its predecessor links.  The slot, or the result of a failed
// append.
int fill_in(lumx* lu, int x, int y, double d, int32_t t) {
  lpvect2* map = &lplu.vwk2;
  int32_t old_head = lu->col_k_head[y];
  int rc = lumx_k_append2(lu, x, y, -d);
  if (rc < 0 || d == 0.0)
    return rc;  // a zero fill-in stores nothing
  map->usef[x] = t;
  map->vp[x] = (double)rc;
  lplu.map_pred[x] = -1;
  if (old_head >= 0)
    lplu.map_pred[lu->av.i[old_head]] = rc;
  return rc;
}

// The multipliers of the pivot column c scattered by row (vwk1: marked rows,
// values l(x)), made once per step; their number.
int scatter_multipliers(b_rec* b, lumx* lu, [[maybe_unused]] int s, int c) {
  lpvect2* lv = &lplu.vwk1;
  lv->n = b->sz;
  int32_t mark = lpvect2_newmark(lv);
  int n_l = 0;
  for (int32_t h = lu->col_k_head[c]; h >= 0; h = lu->av.nexti[h]) {
    int x = lu->av.i[h];
    double l = lu->av.v[h];
    ZK_DIAG_ONLY(CHKB(0, l == 0.0 || b->ips1[x] <= s, 0));
    lv->usef[x] = mark;
    lv->va[x] = l;
    ++n_l;
  }
  return n_l;
}

// The update of a column whose map is to be made: one walk of y maps it (as
// map_column) and subtracts u·l(x) from every element whose row holds a
// multiplier; only when some multiplier met no element is column c walked,
// for the fill-in, in its chain order.  The same operations on the same
// elements as the map-then-update walk.  Only the last column a step updates
// (keep_map) is mapped: the others' maps would not outlive the next column's
// walk, so their walk stamps only the rows of the multipliers it meets, the
// one thing the fill-in pass asks (whether row x of column c has an element
// in y), and no column owns the map afterwards.  0, or the result of a
// failed fill-in.
int update_column_walked(b_rec* b, lumx* lu, int s, int y, int c, double u, int n_l,
                         bool keep_map) {
  const lpvect2* lv = &lplu.vwk1;
  const int32_t* l_usef = lv->usef;
  const int32_t l_mark = lv->mark;
  const double* l_va = lv->va;
  double* av = lu->av.v;  // no fill-in before the walk ends: the pool stays
  int met = 0;
  auto update = [&](int g, int x) {
    if (l_usef[x] == l_mark) {
      subtract_at(lu, av, g, x, y, u * l_va[x]);
      ++met;
    }
  };
  lpvect2* map = &lplu.vwk2;
  int32_t t;
  if (keep_map) {
    t = map_column(b, lu, s, y, update);
  } else {
    t = lpvect2_newmark(map);
    int32_t* usef = map->usef;
    walk_column(b, lu, s, y, [&](int g, int x, int) {
      if (l_usef[x] == l_mark) {
        subtract_at(lu, av, g, x, y, u * l_va[x]);
        usef[x] = t;
        ++met;
      }
    });
    map_forget();
  }
  if (met == n_l)
    return 0;
  for (int32_t h = lu->col_k_head[c]; h >= 0; h = lu->av.nexti[h]) {
    int x = lu->av.i[h];
    if (map->usef[x] == t)
      continue;
    double d = u * lu->av.v[h];  // the pool may move below
    int rc = keep_map ? fill_in(lu, x, y, d, t) : lumx_k_append2(lu, x, y, -d);
    if (rc < 0)
      return rc;
  }
  return 0;
}

// The update of column y through the map it holds: a(x,y) -= u·l(x) along
// column c, fill-in where row x has no element.  0, or the result of a failed
// fill-in.
int update_mapped_column([[maybe_unused]] b_rec* b, lumx* lu, [[maybe_unused]] int s, int y,
                         int c, double u) {
  const lpvect2* map = &lplu.vwk2;
  int32_t t = lplu.map_stamp;
  for (int32_t h = lu->col_k_head[c]; h >= 0; h = lu->av.nexti[h]) {
    int x = lu->av.i[h];
    double l = lu->av.v[h];
    ZK_DIAG_ONLY(CHKB(0, l == 0.0 || b->ips1[x] <= s, 0));
    double d = u * l;
    if (map->usef[x] == t) {
      subtract_at(lu, lu->av.v, (int)map->vp[x], x, y, d);
    } else {
      int rc = fill_in(lu, x, y, d, t);  // the pool may move
      if (rc < 0)
        return rc;
    }
  }
  return 0;
}

int update_column(b_rec* b, lumx* lu, int s, int y, int c, double u, int n_l, bool keep_map) {
  lpvect2* map = &lplu.vwk2;
  map->n = b->sz;
  ZK_DIAG_ONLY(CHKB(1, b->sz, map->max_n));
#ifdef ZELKOR_DIAG
  if (lu_fact_rewalk) {  // the straightforward walk: map every time, then update
    map_column(b, lu, s, y, [](int, int) {});
    return update_mapped_column(b, lu, s, y, c, u);
  }
#endif
  if (!map_belongs_to(y) || lplu.map_stale > 1)
    return update_column_walked(b, lu, s, y, c, u, n_l, keep_map);
  if (lplu.map_stale == 1)
    retire_stale(lu);
  return update_mapped_column(b, lu, s, y, c, u);
}

// Columns shorter than this are updated alone.
const int PAIR_MIN_COUNT = 16;

// The walks of two columns ya and yb whose maps are not kept (see
// update_column_walked), interleaved so that neither waits for the other's
// chain: the chains are disjoint, each element is updated once, and each
// column's stale elements leave its chain in its own chain order, so every
// element, count and chain ends as after the two walks one after the other.
// A met multiplier row is stamped ta (met by ya), tb (by yb) or tab (both).
// The fill-in of each column follows (fill_unmet), ya's first.
struct pair_walk {
  int32_t ta, tb, tab;
  int met_a, met_b;
};

// One column's place in a paired walk.
struct pair_cursor {
  int32_t g;    // the next element, -1 at the end
  int pred;     // the live element before it
  int y;        // the column
  double u;     // its unscaled U value
  int32_t own;  // its stamp, and the other column's
  int32_t other;
  int met;
};

// The walks' common arrays.
struct pair_arrays {
  const int32_t* l_usef;
  int32_t l_mark;
  const double* l_va;
  int32_t* usef;
  const int32_t* ai;
  const int32_t* nexti;
  const int32_t* step;
  double* av;
  int32_t both;
};

ZK_INLINE void pair_step(lumx* lu, int s, const pair_arrays& pa, pair_cursor& k) {
  int32_t g = k.g;
  int32_t after = pa.nexti[g];
  int x = pa.ai[g];
  if (pa.step[x] > s) {
    if (pa.l_usef[x] == pa.l_mark) {
      subtract_at(lu, pa.av, g, x, k.y, k.u * pa.l_va[x]);
      pa.usef[x] = pa.usef[x] == k.other ? pa.both : k.own;
      ++k.met;
    }
    k.pred = g;
  } else {
    col_retire(lu, k.pred, g, pa.av[g] != 0.0);
  }
  k.g = after;
}

pair_walk walk_column_pair(b_rec* b, lumx* lu, int s, int ya, double ua, int yb, double ub) {
  lpvect2* map = &lplu.vwk2;
  int32_t ta = lpvect2_newmark(map);
  int32_t tb = lpvect2_newmark(map);
  int32_t tab = lpvect2_newmark(map);
  const lpvect2* lv = &lplu.vwk1;
  const pair_arrays pa{lv->usef, lv->mark, lv->va, map->usef, lu->av.i, lu->av.nexti,
                       b->ips1, lu->av.v, tab};
  pair_cursor a{lu->col_k_head[ya], -1, ya, ua, ta, tb, 0};
  pair_cursor c{lu->col_k_head[yb], -1, yb, ub, tb, ta, 0};
  while (a.g >= 0 && c.g >= 0) {
    pair_step(lu, s, pa, a);
    pair_step(lu, s, pa, c);
  }
  while (a.g >= 0)
    pair_step(lu, s, pa, a);
  while (c.g >= 0)
    pair_step(lu, s, pa, c);
  map_forget();
  return pair_walk{ta, tb, tab, a.met, c.met};
}

// The fill-in of column y after a paired walk: a(x,y) = -u·l(x) for every
// multiplier row x of column c, in its chain order, that the walk did not
// stamp t_met or t_both.  0, or the result of a failed fill-in.
int fill_unmet(lumx* lu, int y, int c, double u, int32_t t_met, int32_t t_both) {
  const int32_t* usef = lplu.vwk2.usef;
  for (int32_t h = lu->col_k_head[c]; h >= 0; h = lu->av.nexti[h]) {
    int x = lu->av.i[h];
    if (usef[x] == t_met || usef[x] == t_both)
      continue;
    double d = u * lu->av.v[h];  // the pool may move below
    int rc = lumx_k_append2(lu, x, y, -d);
    if (rc < 0)
      return rc;
  }
  return 0;
}

// The updates of two columns ya and yb, neither the last of the step nor
// owning the map, with the fill-in of each and the refiling of ya following
// the paired walk in the order of the two updates one after the other (yb
// is refiled by the caller).  0, or the result of a failed fill-in.
ZK_NOINLINE int update_column_pair(b_rec* b, lumx* lu, int s, int c, int ya,
                                                 double ua, int yb, double ub, int n_l) {
  lplu.vwk2.n = b->sz;
  pair_walk pw = walk_column_pair(b, lu, s, ya, ua, yb, ub);
  int rc = pw.met_a == n_l ? 0 : fill_unmet(lu, ya, c, ua, pw.ta, pw.tab);
  if (rc < 0)
    return rc;
  nz_refile(lu, NZ_COL, ya);
  lu->cmax_f[ya] = 0;
  return pw.met_b == n_l ? 0 : fill_unmet(lu, yb, c, ub, pw.tb, pw.tab);
}

// Column walk of the pivot column c: multipliers of live rows are scaled by
// q and stay, each then handed to multiplier(x, l) (false stops the walk and
// returns false); the pivot and entries of earlier pivot rows go to the
// finished chain; zeros are dropped.
template <class Multiplier>
bool scale_pivot_column(b_rec* b, lumx* lu, int s, int c, double q, Multiplier multiplier) {
  double* av = lu->av.v;
  int pred = -1;
  for (int32_t e = lu->col_k_head[c]; e >= 0;) {
    int32_t after = lu->av.nexti[e];
    int x = lu->av.i[e];
    if (av[e] == 0.0) {
      col_retire(lu, pred, e, 0);
    } else if (b->ips1[x] > s) {
      av[e] *= q;  // l(x) = a(x,c) / p
      lu->row_nz[x] -= 1;
      if (!multiplier(x, av[e]))
        return false;
      pred = e;
    } else {
      col_retire(lu, pred, e, 1);
    }
    e = after;
  }
  return true;
}

// The live element of row r after e on its chain (a pivoted column's or a
// zero is passed over), -1 when none.
ZK_INLINE int32_t next_live_in_row(const b_rec* b, const lumx* lu, int s, int32_t e) {
  for (e = lu->av.nextj[e]; e >= 0; e = lu->av.nextj[e])
    if (lu->av.v[e] != 0.0 && b->ips2[lu->av.j[e]] > s)
      return e;
  return -1;
}

// Row walk of the pivot row r: each element of a live column y is scaled into
// U, column y is updated and refiled; elements of pivoted columns (the pivot
// included) go to the finished chain; zeros are dropped.
// The builds without diagnostics drop the row's chain after the step
// (lumx_k_rm_row_col): there its elements are only visited, not unlinked, and
// a row whose one live element is the pivot is not walked at all.
ZK_NOINLINE int eliminate_pivot_row(b_rec* b, lumx* lu, int s, int r, int c,
                                                  double q) {
  if (!ZK_DIAG && lu->row_nz[r] == 1)
    return 0;
  if (!ZK_DIAG && lu->col_k_head[c] < 0) {
    // No multiplier: each live column only loses row r's element.
    auto each_live = [&](auto lost) {
      for (int32_t e = lu->row_k_head[r]; e >= 0; e = lu->av.nextj[e]) {
        int y = lu->av.j[e];
        double* av = lu->av.v;
        if (av[e] == 0.0 || b->ips2[y] <= s)
          continue;
        av[e] *= q;  // U(r,y) = a(r,y) / p
        lost(y, --lu->col_nz[y]);
      }
    };
    if (lplu.c_kmin == COLUMNS_SINGLES) {
      // (the columns not filed: no line maximum is cached yet)
      unfiled_view u = unfiled_begin(lu, NZ_COL);
      each_live([&](int y, int k) { refile_unfiled(u, y, k); });
      unfiled_end(u, NZ_COL);
    } else {
      each_live([&](int y, int) {
        nz_refile(lu, NZ_COL, y);
        lu->cmax_f[y] = 0;
      });
    }
    return 0;
  }
  int pred = -1;
  int n_l = -1;  // multipliers scattered once the first column needs them
  int updates_left = lu->row_nz[r] - 1;  // the live columns (the pivot's is done)
  for (int32_t e = lu->row_k_head[r]; e >= 0;) {
    int32_t after = lu->av.nextj[e];
    int y = lu->av.j[e];
    double* av = lu->av.v;
    if (av[e] == 0.0) {
      if (ZK_DIAG)
        row_retire(lu, pred, e, 0);
    } else if (b->ips2[y] <= s) {
      if (ZK_DIAG)
        row_retire(lu, pred, e, 1);
    } else {
      double u = av[e];
      av[e] *= q;  // U(r,y) = a(r,y) / p
      lu->col_nz[y] -= 1;
      if (lu->col_k_head[c] >= 0) {
        if (n_l < 0)
          n_l = scatter_multipliers(b, lu, s, c);
        // The builds without diagnostics update two long columns in a row,
        // both walked without keeping the map, by one paired walk.
        int32_t e2 = -1;
        if (!ZK_DIAG && updates_left > 2 && lu->col_nz[y] >= PAIR_MIN_COUNT &&
            !(map_belongs_to(y) && lplu.map_stale <= 1)) {
          e2 = next_live_in_row(b, lu, s, e);
          if (e2 >= 0 && lu->col_nz[lu->av.j[e2]] < PAIR_MIN_COUNT)
            e2 = -1;
        }
        if (e2 >= 0) {
          int y2 = lu->av.j[e2];
          double u2 = av[e2];
          av[e2] *= q;  // U(r,y2) = a(r,y2) / p
          lu->col_nz[y2] -= 1;
          updates_left -= 2;
          int rc = update_column_pair(b, lu, s, c, y, u, y2, u2, n_l);
          if (rc < 0)
            return rc;
          // Column y is refiled; y2 is complete for this step.
          nz_refile(lu, NZ_COL, y2);
          lu->cmax_f[y2] = 0;
          pred = e2;
          e = lu->av.nextj[e2];
          continue;
        }
        int rc = update_column(b, lu, s, y, c, u, n_l, --updates_left <= 0);
        if (rc < 0)
          return rc;
      }
      // Column y is complete for this step: to the bucket of its new count.
      nz_refile(lu, NZ_COL, y);
      lu->cmax_f[y] = 0;
      pred = e;
    }
    e = after;
  }
  return 0;
}

// After a step: rows whose counts or values changed go to their new buckets
// and lose their cached maxima (the columns did so during the row walk).
void refile_touched(lumx* lu, int c) {
  if (!ZK_DIAG && lplu.r_kmin == ROWS_UNFILED) {
    // (no line maximum is cached before the first search)
    unfiled_view u = unfiled_begin(lu, NZ_ROW);
    for (int32_t e = lu->col_k_head[c]; e >= 0; e = lu->av.nexti[e])
      refile_unfiled(u, lu->av.i[e], lu->row_nz[lu->av.i[e]]);
    unfiled_end(u, NZ_ROW);
    return;
  }
  for (int32_t e = lu->col_k_head[c]; e >= 0; e = lu->av.nexti[e]) {
    int x = lu->av.i[e];
    nz_refile(lu, NZ_ROW, x);
    lu->rmax_f[x] = 0;
  }
}

// One step: pivot, scaling, update, refiling.  1 when the step was done, 0
// when no (non-zero) pivot was found, or the negative result of a failure.
// The packed etas of one finished step (see the eta files below).
int pack_step_etas(b_rec* b, const lumx* lu, int s, int r, int c, bool report);
ZK_INLINE int pack_step_rest(b_rec* b, const lumx* lu, int s, int r, int c, bool report, int32_t l_start,
                   int32_t nl);
ZK_INLINE bool pack_push(eta_pack* p, int32_t& n, int x, double v);
bool pack_active_multipliers(eta_pack* lp, const lumx* lu, int c, int32_t* nl);
bool pack_reserve(eta_pack* p, long long more, long long segs);
void pack_close(eta_pack* p, int r, int32_t start);

// A step whose pivot is its row's one live element, in the builds without
// diagnostics: the row has nothing to eliminate, so one walk of column c
// scales the multipliers, refiles their rows and packs them, in the order of
// scale_pivot_column, refile_touched and pack_step_etas one after the other.
// The column's count less the pivot is the number of multipliers: room for
// them is made first, and each is stored straight at its place in the
// reversed order the packed file holds them in.  (Should the walk meet
// another number, they are packed again from the chain.)
int row_singleton_step(b_rec* b, lumx* lu, int s, int r, int c, double q) {
  eta_pack* lp = &b->lwp;
  int32_t l_start = lp->n_ent;
  int32_t n_mult = std::max(lu->col_nz[c] - 1, 0);
  if (l_start + n_mult > lp->cap_ent && !pack_reserve(lp, n_mult, 0))
    return -2;
  int32_t* idx = lp->idx;
  double* val = lp->val;
  int32_t at = l_start + n_mult;  // the multipliers fill [l_start, at) downward
  int32_t met = 0;
  auto multiplier = [&](int x, double l) {
    if (++met <= n_mult) {
      idx[--at] = x;
      val[at] = -l;
    }
    return true;
  };
  if (lplu.r_kmin == ROWS_UNFILED) {
    // (no line maximum is cached before the first search)
    unfiled_view u = unfiled_begin(lu, NZ_ROW);
    scale_pivot_column(b, lu, s, c, q, [&](int x, double l) {
      refile_unfiled(u, x, lu->row_nz[x]);
      return multiplier(x, l);
    });
    unfiled_end(u, NZ_ROW);
  } else {
    scale_pivot_column(b, lu, s, c, q, [&](int x, double l) {
      nz_refile(lu, NZ_ROW, x);
      lu->rmax_f[x] = 0;
      return multiplier(x, l);
    });
  }
  int32_t nl = l_start + n_mult;
  if (met != n_mult) {
    nl = l_start;
    if (!pack_active_multipliers(lp, lu, c, &nl))
      return -2;
  }
  return pack_step_rest(b, lu, s, r, c, false, l_start, nl);
}

// With the rows not filed and no row singleton left (the column singletons
// add none): the pivot lu_find_pivot would find in a column singleton, the
// column taken off the stack of the columns of count 1 and the stale
// elements at its chain's head retired first, as peek_singleton does.  -1
// when none is left.  The columns start on the stack as the set-up's filing
// in increasing line order would leave bucket 1: the live ones of count 1,
// the highest-numbered on top.
int column_singleton_pivot(lumx* lu, const b_rec* b, int s) {
  if (lplu.c_kmin == COLUMNS_UNFILED) {
    int32_t* singles = lplu.c_nztop;
    int32_t n_singles = 0;
    for (int c = 0; c < b->sz; ++c) {
      singles[n_singles] = c;
      n_singles += b->ips2[c] > s && lu->col_nz[c] == 1;
    }
    lplu.c_unfiled.n_singles = n_singles;
    lplu.c_kmin = COLUMNS_SINGLES;
  }
  if (lplu.c_kmin != COLUMNS_SINGLES)
    return -1;
  int c = pop_single(lu, NZ_COL);
  if (c < 0)
    return -1;
  int e = lu->col_k_head[c];
  while (e >= 0 && (lu->av.v[e] == 0.0 || b->ips1[lu->av.i[e]] <= s)) {
    retire(lu, NZ_COL, -1, e, lu->av.v[e] != 0.0);
    e = lu->col_k_head[c];
  }
  return e;
}

// The pivot of a step whose smallest row count is 1, in the builds without
// diagnostics: the row's one live element, the row taken out of its bucket,
// as lu_find_pivot finds it, without the search record (and the stale
// elements before it stay on the row's chain, dropped after the step).  -1
// when there is none: nothing changed but what nz_min passes over.  With the
// rows not filed the row comes off their stack, and with none left there the
// pivot of a column singleton is looked for instead (column_singleton_pivot).
// The row's chain holds its fill-in (slots from lplu.first_fill on) ahead of
// its appended elements; with the rows in consecutive slots these are looked
// for from the highest one left on the chain down to the row's lowest slot
// (row_head[r]), without following the chain: there is one live element, so
// the order of the look decides nothing.
int row_singleton_pivot(lumx* lu, const b_rec* b, int s) {
  int r;
  if (lplu.r_kmin == ROWS_UNFILED) {
    r = pop_single(lu, NZ_ROW);
    if (r < 0)
      return column_singleton_pivot(lu, b, s);
  } else {
    r = nz_min(lu, NZ_ROW, b->ips1);
    if (r < 0 || lu->row_nz[r] != 1)
      return -1;
  }
  auto stale = [&](int e) { return b->ips2[lu->av.j[e]] <= s || lu->av.v[e] == 0.0; };
  int32_t first_fill = lplu.first_fill;  // 0: the whole chain is followed
  int e = lu->row_k_head[r];
  while (e >= first_fill && stale(e))
    e = lu->av.nextj[e];
  if (e >= 0 && e < first_fill) {
    int32_t lowest = lu->row_head[r];
    while (e >= lowest && stale(e))
      --e;
    if (e < lowest)
      e = -1;
  }
  if (e >= 0 && lplu.r_kmin != ROWS_UNFILED)
    nz_remove(lu, NZ_ROW, r);
  return e;
}

int fact_step(b_rec* b, lumx* lu, int s, int accept) {
  int p = ZK_DIAG ? -1 : row_singleton_pivot(lu, b, s);
  if (p < 0) {
    if (!ZK_DIAG)
      file_unfiled(lu, b, s);
    p = lu_find_pivot(lu, s, lplu.ips1, lplu.ips2, b);
  }
  if (p < 0)
    return 0;
  int r = lu->av.i[p];
  int c = lu->av.j[p];
  lplu.mt[s] = lu_pair{r, c};
  b->ips1[r] = s;
  b->ips2[c] = s;
  map_note_pivot(r, c);
  if (lu->av.v[p] == 0.0) {
    CHKA(0, 0, 0);
    return 0;
  }
  double q = 1.0 / lu->av.v[p];
  lplu.dwk1[r] = q;  // to diag_v once the elimination succeeded
  bool no_eta = accept && lplu.aibo[r] == -2;
  int rc;
  if (!ZK_DIAG && !no_eta && lu->row_nz[r] == 1) {
    if (lu->col_k_head[c] == p && lu->av.nexti[p] < 0 && lu->col_head[c] < 0) {
      // The pivot is all its column ever held here: both etas are empty,
      // and no walk is needed.
      pack_close(&b->lwp, r, b->lwp.n_ent);
      pack_close(&b->upp, r, b->upp.n_ent);
      b->up_ord[r] = s;
      rc = 0;
    } else {
      rc = row_singleton_step(b, lu, s, r, c, q);
    }
    lu->row_k_head[r] = lu->col_k_head[c] = -1;
    if (rc == -2)
      log_error("**** lu_fact: cannot malloc\n");
    return rc < 0 ? rc : 1;
  }
  scale_pivot_column(b, lu, s, c, q, [](int, double) { return true; });
  rc = eliminate_pivot_row(b, lu, s, r, c, q);
  if (rc < 0)
    return rc;
  refile_touched(lu, c);
  // Column c is finished: its chains hold the pivot, the U entries of the
  // rows pivoted before and the L multipliers of the rows still live, and no
  // later step adds to them, so the etas of step s are packed now, while the
  // column is fresh in the cache.  The library build first moves what is left
  // on the active chains of row r and column c to their finished chains; the
  // other builds read the multipliers from the active chain and then only
  // empty both active chains (nothing reads them again).
  if (ZK_DIAG)
    lumx_k_rm_row_col(lu, r, c, 2);
  if (no_eta) {
    b->up_ord[r] = -1;  // no eta: the chains skip it too
    rc = 0;
  } else {
    rc = pack_step_etas(b, lu, s, r, c, !ZK_DIAG);
  }
  if (!ZK_DIAG)
    lu->row_k_head[r] = lu->col_k_head[c] = -1;
  if (rc == -2)
    log_error("**** lu_fact: cannot malloc\n");
  return rc < 0 ? rc : 1;
}

// Moves what is left on the active chains to the finished chains (a zero is
// dropped with a report) and empties every active head.
void fact_finish_chains(lumx* lu, int sz) {
  double* av = lu->av.v;
  for (int j = 0; j < sz; ++j) {
    for (int32_t e = lu->col_k_head[j]; e >= 0;) {
      int32_t after = lu->av.nexti[e];
      if (av[e] != 0.0) {
        lu->av.nexti[e] = lu->col_head[j];
        lu->col_head[j] = e;
      } else {
        CHKA(0, 0, 0);
      }
      e = after;
    }
    for (int32_t e = ZK_DIAG ? lu->row_k_head[j] : -1; e >= 0;) {
      int32_t after = lu->av.nextj[e];
      if (av[e] != 0.0) {
        lu->av.nextj[e] = lu->row_head[j];
        lu->row_head[j] = e;
      } else {
        CHKA(0, 0, 0);
      }
      e = after;
    }
    lu->col_k_head[j] = -1;
    lu->row_k_head[j] = -1;
  }
}

}  // namespace

// The whole elimination of b->lu.  0 (also for a rank-deficient matrix when
// accept is set), -1 when no acceptable pivot was found and accept is 0, or a
// negative allocation result.  *rank receives the number of pivots.
int lu_fact(b_rec* b, int accept, int* rank) {
  lumx* lu = b->lu;
  int sz = b->sz;
  ZK_TRACE(trace_lu_fact, TRACE_ENTRY, "lu_fact \n");
  int rc = fact_setup(b, lu, sz);
  int s = 0;
  while (rc >= 0 && s < sz) {
    rc = fact_step(b, lu, s, accept);
    if (rc <= 0)
      break;
    ++s;
  }
  if (!ZK_DIAG) {
    b->n_lw = b->lwp.n_ent;
    b->n_up = b->upp.n_ent;
  }
  if (rc >= 0) {
    *rank = s;
    // With every line pivoted the builds without diagnostics have emptied
    // every active chain already.
    if (ZK_DIAG || s < sz)
      fact_finish_chains(lu, sz);
    for (int t = s; t < sz; ++t)
      lplu.mt[t] = lu_pair{-1, -1};
    rc = 0;
    if (s < sz && !accept) {
      log_error("**** lu_fact: ピボットが見つからない。サイズ(%d)ランク(%d)\n", sz, s);
      rc = -1;
    }
  }
  ZK_TRACE(trace_lu_fact, TRACE_EXIT, "lu_fact rc(%d) \n", rc);
  return rc;
}

// ---- eta files ---------------------------------------------------------------------------------

// Appends slot k as the last entry of one eta (chain from *first, tail *tail)
// and at the front of the row chain aux[x] (chain_kind 1) or aux[r] (other).
int lu_lu_append_tail(lumx* lu, int k, int chain_kind, int x, int r, double v, int32_t* first,
                      int32_t* tail, eta_aux* aux) {
  CHKA(0, x, lu->m);
  lu->av.i[k] = x;
  lu->av.j[k] = r;
  lu->av.v[k] = v;
  lu->av.nexti[k] = -1;
  if (*tail == -1)
    *first = k;
  else
    lu->av.nexti[*tail] = k;
  *tail = k;
  int chain = chain_kind == 1 ? x : r;
  lu->av.nextj[k] = aux[chain].first;
  aux[chain].first = k;
  ZK_TRACE(trace_lu_lu_append_tail, TRACE_MIDDLE, "lu_lu_append_tail rc(%d) \n", 0);
  return 0;
}

// Builds the non-empty list (flags & 1) and the row list (flags & 2) of an eta
// file from its step list.
int eta_link_lists(eta_file* f, int flags) {
  if (flags & 1) {
    f->nz_head = f->nz_tail = -1;
    for (int32_t s = f->head; s >= 0; s = f->pfv[s].next) {
      eta_pfv& h = f->pfv[s];
      if (h.first < 0) {
        h.nz_next = h.nz_prev = -2;
        continue;
      }
      h.nz_prev = f->nz_tail;
      h.nz_next = -1;
      if (f->nz_tail < 0)
        f->nz_head = s;
      else
        f->pfv[f->nz_tail].nz_next = s;
      f->nz_tail = s;
    }
  }
  if (flags & 2) {
    f->aux_head = f->aux_tail = -1;
    for (int32_t s = f->head; s >= 0; s = f->pfv[s].next) {
      eta_aux& a = f->aux[s];
      if (a.first < 0) {
        a.aux_next = a.aux_prev = -2;
        continue;
      }
      a.aux_prev = f->aux_tail;
      a.aux_next = -1;
      if (f->aux_tail < 0)
        f->aux_head = s;
      else
        f->aux[f->aux_tail].aux_next = s;
      f->aux_tail = s;
    }
  }
  return 0;
}

namespace {

#ifdef ZELKOR_DIAG
void step_list_append(eta_file* f, int r) {
  f->pfv[r].prev = f->tail;
  f->pfv[r].next = -1;
  if (f->tail < 0)
    f->head = r;
  else
    f->pfv[f->tail].next = r;
  f->tail = r;
}
#endif

#ifdef ZELKOR_DIAG
// The chained etas of step s with pivot {r, c}: the finished chain of column c
// holds the pivot (row of step s), the U part (rows of earlier steps) and the
// L part (rows of later steps; a row never pivoted holds sz + 1 in ips1).  Its
// slots are re-chained into the etas.  0, or -1 when the pivot is missing or
// zero.
int chain_step_etas(b_rec* b, lumx* lu, int s, int r, int c) {
  eta_pfv* lh = &b->lw.pfv[r];
  eta_pfv* uh = &b->up.pfv[r];
  lh->row = uh->row = r;
  lh->first = uh->first = -1;
  int32_t l_tail = -1;
  int32_t u_tail = -1;
  bool pivot_seen = false;
  for (int32_t k = lu->col_head[c]; k >= 0;) {
    int32_t after = lu->av.nexti[k];
    int x = lu->av.i[k];
    int t = b->ips1[x];
    double v = lu->av.v[k];
    if (t == s) {
      if (v == 0.0)
        return -1;
      b->diag_v[r] = 1.0 / v;
      pivot_seen = true;
    } else if (v == 0.0) {
      CHKA(0, 0, 0);
    } else if (t < s) {
      lu_lu_append_tail(lu, k, 1, x, r, -v, &uh->first, &u_tail, b->up.aux);
      b->n_up += 1;
    } else {
      lu_lu_append_tail(lu, k, 1, x, r, -v, &lh->first, &l_tail, b->lw.aux);
      b->n_lw += 1;
    }
    k = after;
  }
  if (CHKB(1, pivot_seen, 1))
    return -1;
  step_list_append(&b->lw, r);
  step_list_append(&b->up, r);
  b->up_ord[r] = s;
  return 0;
}
#endif

#ifdef ZELKOR_DIAG
// Empties the chains and lists of the three eta files.
void chains_reset(b_rec* b) {
  eta_file* files[2] = {&b->lw, &b->up};
  for (eta_file* f : files) {
    f->kind = 1;
    f->head = f->tail = f->nz_head = f->nz_tail = -1;
  }
  for (int i = 0; i < b->sz; ++i)
    b->br.aux[i].first = b->up.aux[i].first = b->lw.aux[i].first = -1;
}
#endif

// Room for `more` entries and `segs` more segments in a packed file (the
// arrays at least double).  False when memory ran out.
bool pack_reserve(eta_pack* p, long long more, long long segs) {
  if (p->n_ent + more > p->cap_ent) {
    long long cap = std::max<long long>({2LL * p->cap_ent, p->n_ent + more, 1024});
    cap = std::min<long long>(cap, INT32_MAX);
    if (p->n_ent + more > cap || mem_grow(&p->idx, cap) == nullptr ||
        mem_grow(&p->val, cap) == nullptr)
      return false;
    p->cap_ent = (int32_t)cap;
  }
  if (p->n_seg + segs > p->cap_seg) {
    long long cap = std::max<long long>({2LL * p->cap_seg, p->n_seg + segs, 256});
    cap = std::min<long long>(cap, INT32_MAX);
    if (p->n_seg + segs > cap || mem_grow(&p->seg, cap) == nullptr)
      return false;
    p->cap_seg = (int32_t)cap;
  }
  return true;
}

// Room for `more` entries and one segment.
bool pack_room(eta_pack* p, long long more) { return pack_reserve(p, more, 1); }

// Closes the segment of eta r whose entries start at `start`: an eta with
// entries gets the next segment, an empty one none (lw, up).
void pack_close(eta_pack* p, int r, int32_t start) {
  int32_t len = p->n_ent - start;
  if (len == 0) {
    p->seg_of[r] = -1;
    return;
  }
  p->seg[p->n_seg] = eta_seg{r, start, len};
  p->seg_of[r] = p->n_seg++;
}

// Appends entry (x, -v) to p at its fill level n, kept by the caller in a
// local (the stores into idx and val cannot change it); false when memory ran
// out.
ZK_INLINE bool pack_push(eta_pack* p, int32_t& n, int x, double v) {
  if (n == p->cap_ent) {
    p->n_ent = n;
    if (!pack_room(p, 1))
      return false;
  }
  p->idx[n] = x;
  p->val[n++] = -v;
  return true;
}

// Packs the multipliers still on column c's active chain into lp from its
// fill level *nl on, in reverse chain order (lp->n_ent is left to the
// caller); false, with lp->n_ent at the level reached, when memory ran out.
bool pack_active_multipliers(eta_pack* lp, const lumx* lu, int c, int32_t* nl) {
  int32_t start = *nl;
  for (int32_t k = lu->col_k_head[c]; k >= 0; k = lu->av.nexti[k])
    if (!pack_push(lp, *nl, lu->av.i[k], lu->av.v[k])) {
      lp->n_ent = *nl;
      return false;
    }
  std::reverse(lp->idx + start, lp->idx + *nl);
  std::reverse(lp->val + start, lp->val + *nl);
  return true;
}

// The packed etas of step s with pivot {r, c}, read from the chains of column
// c (left as they are): the same entries, in the same order and with the same
// values as chain_step_etas gives them from the finished chain once the active
// one was moved to its front, reversed; the reciprocal pivot waits in
// lplu.dwk1[r] (from fact_step) until lu_make_eta stores it.
// 0; -1 when the pivot is missing or zero (reported when `report`); -2 when
// memory ran out.
int pack_step_etas(b_rec* b, const lumx* lu, int s, int r, int c, bool report) {
  int32_t l_start = b->lwp.n_ent;
  int32_t nl = l_start;
  if (!pack_active_multipliers(&b->lwp, lu, c, &nl))
    return -2;
  return pack_step_rest(b, lu, s, r, c, report, l_start, nl);
}

// The rest of pack_step_etas once the L file holds, from l_start to its fill
// level nl, the multipliers of the active chain in reverse chain order: the
// finished chain adds the pivot, the U entries and any multipliers it holds.
ZK_INLINE int pack_step_rest(b_rec* b, const lumx* lu, int s, int r, int c, bool report, int32_t l_start,
                   int32_t nl) {
  eta_pack* lp = &b->lwp;
  eta_pack* up = &b->upp;
  int32_t u_start = up->n_ent;
  const int32_t* ai = lu->av.i;
  const int32_t* nexti = lu->av.nexti;
  const double* av = lu->av.v;
  const int32_t* step_of = b->ips1;
  bool pivot_seen = false;
  int32_t nu = u_start;
  int rc = 0;
  for (int32_t k = lu->col_head[c]; k >= 0 && rc == 0; k = nexti[k]) {
    int x = ai[k];
    int t = step_of[x];
    double v = av[k];
    if (t == s) {
      if (v == 0.0) {
        rc = -1;
        continue;
      }
      pivot_seen = true;  // its reciprocal is in lplu.dwk1[r] (fact_step)
    } else if (v == 0.0) {
      if (report)
        CHKA(0, 0, 0);
    } else if (!(t < s ? pack_push(up, nu, x, v) : pack_push(lp, nl, x, v))) {
      rc = -2;
    }
  }
  lp->n_ent = nl;
  up->n_ent = nu;
  if (rc < 0)
    return rc;
  if (!pivot_seen) {
    if (report)
      CHKB(1, 0, 1);
    return -1;
  }
  if ((lp->n_seg >= lp->cap_seg && !pack_room(lp, 0)) ||
      (up->n_seg >= up->cap_seg && !pack_room(up, 0)))
    return -2;
  if (ZK_DIAG) {  // the other builds count the entries once, after the elimination
    b->n_lw += lp->n_ent - l_start;
    b->n_up += up->n_ent - u_start;
  }
  pack_close(lp, r, l_start);
  pack_close(up, r, u_start);
  b->up_ord[r] = s;
  return 0;
}

#ifdef ZELKOR_DIAG
// The chained eta files of the pivot sequence's steps 0 .. rank-1 (lplu.mt),
// skipping the rows the eta builder marks (with accept), then their lists.
int chains_build(b_rec* b, int rank, int accept) {
  lumx* lu = b->lu;
  chains_reset(b);
  int rc = 0;
  for (int s = 0; s < rank && rc == 0; ++s) {
    lu_pair p = lplu.mt[s];
    if (!(accept && lplu.aibo[p.row] == -2))
      rc = chain_step_etas(b, lu, s, p.row, p.col);
  }
  if (rc == 0) {
    eta_link_lists(&b->lw, 3);
    eta_link_lists(&b->up, 3);
  }
  return rc;
}
#endif

}  // namespace

// ---- the row-wise files ------------------------------------------------------------------------

namespace {

// Fills rw with the row-wise form of pk for order sz by a counting
// transpose: the etas in the order of their segments (the step order, and
// after updates the order in which their entries came), so that each row
// holds its entries oldest first.  Every row gets exactly its room; rw's
// storage holds every entry of pk (lu_make_eta reserved it).
void rows_from_pack(eta_rows* rw, const eta_pack* pk, int sz) {
  int32_t* len = rw->len;
  for (int i = 0; i < sz; ++i)
    len[i] = 0;
  for (int32_t q = 0; q < pk->n_seg; ++q)
    for (int32_t k = pk->seg[q].start, end = k + pk->seg[q].len; k < end; ++k)
      ++len[pk->idx[k]];
  int32_t n = 0;
  for (int i = 0; i < sz; ++i) {
    rw->start[i] = n;
    rw->cap[i] = len[i];
    n += len[i];
    len[i] = 0;
  }
  for (int32_t q = 0; q < pk->n_seg; ++q) {
    int32_t r = pk->seg[q].row;
    for (int32_t k = pk->seg[q].start, end = k + pk->seg[q].len; k < end; ++k) {
      int32_t x = pk->idx[k];
      int32_t at = rw->start[x] + len[x]++;
      rw->idx[at] = r;
      rw->val[at] = pk->val[k];
    }
  }
  rw->n_used = n;
  rw->dead = 0;
}

// Storage for `entries` entries in rw (kept when it is larger).  False when
// memory ran out.
bool rows_reserve(eta_rows* rw, long long entries) {
  if (entries <= rw->cap_ent)
    return true;
  if (entries > INT32_MAX || mem_grow(&rw->idx, entries) == nullptr ||
      mem_grow(&rw->val, entries) == nullptr)
    return false;
  rw->cap_ent = (int32_t)entries;
  return true;
}

// Appends row x to the row list of f, after `last` (the list's last row so
// far, -1 none); a row without entries in rw goes on no list.  The new last
// row.
int32_t row_list_push(eta_file* f, const eta_rows* rw, int x, int32_t last) {
  eta_aux& a = f->aux[x];
  if (rw->len[x] == 0) {
    a.aux_next = a.aux_prev = -2;
    return last;
  }
  a.aux_prev = last;
  a.aux_next = -1;
  if (last < 0)
    f->aux_head = x;
  else
    f->aux[last].aux_next = x;
  return x;
}

// The lists the build without diagnostics keeps, from the packed files, in
// one pass over the steps: U's step list (the pivot rows in step order,
// steps without etas left out) and the row lists of L and U (the rows with
// entries, in step order).  The non-empty lists serve only the chain walk of
// the library build, which makes them from its chains (eta_link_lists).
void lists_from_packed(b_rec* b) {
  int32_t* row_of = lplu.ips1;  // step -> pivot row
  int rank = 0;
  for (int r = 0; r < b->sz; ++r)
    if (b->ips2[r] >= 0) {
      row_of[b->ips2[r]] = r;
      ++rank;
    }
  eta_file* up = &b->up;
  eta_file* lw = &b->lw;
  int32_t last = -1, last_u = -1, last_l = -1;
  up->head = lw->head = lw->tail = -1;
  up->aux_head = lw->aux_head = -1;
  for (int s = 0; s < rank; ++s) {
    int r = row_of[s];
    if (b->up_ord[r] != s)
      continue;  // a step without etas
    eta_pfv& h = up->pfv[r];
    h.row = r;
    h.prev = last;
    h.next = -1;
    if (last < 0)
      up->head = r;
    else
      up->pfv[last].next = r;
    last = r;
    last_u = row_list_push(up, &b->upr, r, last_u);
    last_l = row_list_push(lw, &b->lwr, r, last_l);
  }
  up->tail = last;
  up->aux_tail = last_u;
  lw->aux_tail = last_l;
}

}  // namespace

// The row-wise files lwr and upr of a successful factorization at full rank,
// and in the build without diagnostics the lists of lw and up, from the
// packed files: built when a stage first needs them (a sparse backward
// transform, an update), the fast library right after the factorization.
// Nothing when they exist.  The library build also builds its chains here
// when the factorization left them (lu_defer_chains).
void lu_eta_rows(b_rec* b) {
  if (b->rows_ready || b->fact_done == 0 || b->fact_state != 0)
    return;
  ZK_DIAG_ONLY(lu_eta_chains(b));
  CHKB(0, b->upp.dead + b->n_br, 0);
  rows_from_pack(&b->lwr, &b->lwp, b->sz);
  rows_from_pack(&b->upr, &b->upp, b->sz);
  if (!b->chains_ready)
    lists_from_packed(b);
  int32_t n = 0;
  for (int32_t s = b->lw.aux_head; s >= 0; s = b->lw.aux[s].aux_next)
    b->lwr.order[n++] = s;
  b->lwr.n_order = n;
  b->rows_ready = 1;
}

// Completes the L and U eta files after the elimination, which wrote the
// packed files and the reciprocal pivots step by step: room for the first
// updates, and the chains and lists in the library build (the build without
// diagnostics leaves them to lu_eta_chains, at the first stage that needs
// them).  0, -1 when a pivot is missing or zero, -2 when memory ran out.
int lu_make_eta(b_rec* b, int accept, int rank) {
  int sz = b->sz;
  CHKB(0, sz, b->max_sz);
  if (accept)
    CHKB(0, rank, sz);
  else
    CHKB(sz, rank, sz);
  ZK_TRACE(trace_lu_make_eta, TRACE_ENTRY, "lu_make_eta sz(%d)\n", sz);
  b->up_ord_next = sz;
  int rc = 0;
  b->chains_ready = 0;
  // The packed files were written by the elimination, step by step, and the
  // reciprocal pivots kept aside.
  for (int s = 0; ZK_DIAG && s < rank; ++s) {  // the other builds: publish_matching
    lu_pair p = lplu.mt[s];
    ZK_DIAG_ONLY(CHKB(s, b->ips1[p.row], s); CHKB(s, b->ips2[p.col], s));
    if (b->up_ord[p.row] == s)
      b->diag_v[p.row] = lplu.dwk1[p.row];
  }
  // Room for the first updates, so that they allocate only for the pool.
  if (rc == 0 && !(pack_reserve(&b->upp, b->upp.n_ent / 2 + 1024, 128) &&
                   pack_reserve(&b->brp, 1024, 128) && rows_reserve(&b->lwr, b->lwp.n_ent) &&
                   rows_reserve(&b->upr, (long long)b->upp.n_ent + b->upp.n_ent / 2 + 1024)))
    rc = -2;
  if (rc == -2)
    log_error("**** lu_make_eta: cannot malloc\n");
#ifdef ZELKOR_DIAG
  // The chains re-use the slots of the finished chains the packed files were
  // read from: built second, up to the same failing step if any.  With the
  // test switch lu_defer_chains, left to lu_eta_chains as in the program's
  // build.
  if (lu_defer_chains) {
    ZK_TRACE(trace_lu_make_eta, TRACE_EXIT, "lu_make_eta rc(%d) \n", rc);
    return rc;
  }
  int n_lw = b->n_lw;
  int n_up = b->n_up;
  b->n_lw = b->n_up = 0;
  int rc_chains = chains_build(b, rank, accept);
  if (rc_chains < 0 || rc < 0)
    rc = rc_chains < 0 ? rc_chains : rc;
  else
    CHKB(n_lw + n_up, b->n_lw + b->n_up, n_lw + n_up);
  b->chains_ready = rc == 0;
#endif
  ZK_TRACE(trace_lu_make_eta, TRACE_EXIT, "lu_make_eta rc(%d) \n", rc);
  return rc;
}

#ifdef ZELKOR_DIAG
// The chained eta files of a successful factorization, built when a stage
// first needs them (the sparse transforms and the basis update, which come
// before any update changes the packed files); nothing when they exist.  They
// are built from the packed files, in step order: each entry takes the next
// slot of the pool from slot 0 on (the slots' first contents, the eliminated
// matrix, are read no more; the etas hold fewer entries than it had elements)
// and is linked as the factorization links it, so that every chain and list
// is the one the library build makes from the finished column chains.
void lu_eta_chains(b_rec* b) {
  if (b->chains_ready || b->fact_done == 0 || b->fact_state < 0)
    return;
  int sz = b->sz;
  lumx* lu = b->lu;
  int32_t* row_of = lplu.ips1;  // step -> pivot row
  int rank = 0;
  for (int r = 0; r < sz; ++r)
    if (b->ips2[r] >= 0) {
      row_of[b->ips2[r]] = r;
      ++rank;
    }
  CHKB(0, b->upp.dead + b->n_br, 0);
  chains_reset(b);
  int32_t slot = 0;
  for (int s = 0; s < rank; ++s) {
    int r = row_of[s];
    if (b->up_ord[r] != s)
      continue;  // a step without etas
    for (int which = 0; which < 2; ++which) {
      eta_file* f = which == 0 ? &b->up : &b->lw;
      const eta_pack* pk = which == 0 ? &b->upp : &b->lwp;
      eta_pfv* h = &f->pfv[r];
      h->row = r;
      h->first = -1;
      int32_t tail = -1;
      int32_t q = pk->seg_of[r];
      if (q >= 0)
        for (int32_t k = pk->seg[q].start, end = k + pk->seg[q].len; k < end; ++k)
          lu_lu_append_tail(lu, slot++, 1, pk->idx[k], r, pk->val[k], &h->first, &tail, f->aux);
      step_list_append(f, r);
    }
  }
  eta_link_lists(&b->lw, 3);
  eta_link_lists(&b->up, 3);
  b->chains_ready = 1;
}
#endif

// ---- the factorization driver ------------------------------------------------------------------

// Copies the matrix appended to lu, slot by slot, into the copy bs; stops at
// the first append that fails and returns its result.
int lu_copy_bs(lumx* bs, const lumx* lu) {
  CHKB(1, lu->n, bs->max_col);
  CHKB(1, lu->m, bs->max_row);
  bs->n = lu->n;
  bs->m = lu->m;
  lumx_clear(bs);
  int rc = 0;
  for (int32_t k = 0; k < lu->n_av && rc >= 0; ++k)
    rc = lumx_append(bs, lu->av.i[k], lu->av.j[k], lu->av.v[k]);
  return rc;
}

namespace {

// Hands the matching back: row_k_head[r] = c and col_k_head[c] = r for every
// pivot (the elimination left both at -1), and from here on ips1 / ips2 hold
// per pivot row its column and its step; rows without a pivot get -1.  The
// builds without diagnostics also store here the reciprocal pivots of the
// steps with etas, which lu_make_eta stores in the library build.
void publish_matching(b_rec* b, lumx* lu, int rank) {
  if (rank < b->sz)  // at full rank every row is written below
    for (int i = 0; i < b->sz; ++i)
      b->ips1[i] = b->ips2[i] = -1;
  for (int s = 0; s < rank; ++s) {
    lu_pair p = lplu.mt[s];
    if (!ZK_DIAG && b->up_ord[p.row] == s)
      b->diag_v[p.row] = lplu.dwk1[p.row];
    lu->row_k_head[p.row] = p.col;
    lu->col_k_head[p.col] = p.row;
    b->ips2[p.row] = s;
    b->ips1[p.row] = p.col;
  }
}

#ifdef ZELKOR_DIAG
void dump_factor(b_rec* b) {
  int sz = b->sz;
  dump_pairs(lplu.mt, sz, "ＬＵ分解後のマッチング");
  print_ivec(b->ips1, sz, "b->ips1[]＝", 0);
  print_ivec(b->ips2, sz, "b->ips2[]＝", 0);
  print_dvec(b->diag_v, sz, "対角[]＝", 0);
  dump_lw(b);
  dump_up(b);
}
#endif

}  // namespace

// Factorizes the matrix appended to b: copy into bs (library build, while
// basis_check is on), elimination, eta files, matching.  Records the outcome
// in fact_state.  0 success; -1 no acceptable pivot (accept 0) or a missing
// pivot; -2 or another negative value when memory ran out (for the copy too:
// nothing is then eliminated).
int lu_factorization(b_rec* b, int accept, int* rank, int32_t** q, int32_t** r) {
  int sz = b->sz;
  lumx* lu = b->lu;
  CHKB(0, 0, sz);
#ifdef ZELKOR_DIAG
  ZK_TRACE(trace_lu_factorization, TRACE_ENTRY, "lu_factorization  \n");
  if (trace_lu_factorization > 1)
    dump_lumx(lu, "分解前基底行列");
  // A copy that could not be completed would fail every verification: the
  // factorization fails with it, before anything is eliminated.
  int copy_rc = 0;
  if (basis_check != 0 && b->bs != nullptr)
    copy_rc = lu_copy_bs(b->bs, lu);
#endif
  b->fact_state = 0;
  b->fact_done = 1;
  *rank = 0;
  for (int i = 0; i < sz; ++i)
    b->diag_v[i] = 0.0;  // rewritten for every pivot row; defined for the others
  CHKB(lu->m, lu->n, lu->m);
  CHKB(sz, lu->m, sz);
#ifdef ZELKOR_DIAG
  if (copy_rc < 0) {
    b->fact_state = copy_rc;
    ZK_TRACE(trace_lu_factorization, TRACE_EXIT, "lu_factorization rc(%d) rank(%d)\n", copy_rc, 0);
    return copy_rc;
  }
#endif
  int rc = lu_fact(b, accept, rank);
  if (rc >= 0)
    rc = lu_make_eta(b, accept, *rank);
  if (rc >= 0) {
    *q = lu->row_k_head;
    *r = lu->col_k_head;
    publish_matching(b, lu, *rank);
  }
  b->fact_state = rc < 0 ? rc : sz - *rank;
#ifdef ZELKOR_SIMPLEX
  // The fast library's sparse solves and updates find the rows ready.
  lu_eta_rows(b);
#endif
#ifdef ZELKOR_DIAG
  if (trace_lu_factorization > 1 || rc < 0)
    dump_factor(b);
  ZK_TRACE(trace_lu_factorization, TRACE_EXIT, "lu_factorization rc(%d) rank(%d)\n", rc, *rank);
#endif
  return rc;
}

// ---- dense transforms ------------------------------------------------------------------------
//
// The stages work in place on a dense array in the factor's row-id space
// (position r belongs to pivot row r); the forward transform maps to column
// numbering at its end, the backward transform from it at its start.  With
// B' = L·D·U: forward applies L⁻¹, D⁻¹, the R etas, U⁻¹; backward the same
// transposed in the opposite order.  Eta entries hold negated factor values,
// so every application is an addition.

#ifdef ZELKOR_DIAG
trace_sw trace_ftran_d = 0;
trace_sw trace_btran_d = 0;
bool lu_chain_walk = false;
#endif

// A stage on a handle whose last factorization failed refuses: one report.
static bool factor_invalid(const b_rec* b) { return CHKB(0, b->fact_state, 0) != 0; }

#ifdef ZELKOR_DIAG
// The input of a verified transform, kept for the comparison after it.
static void keep_input(const b_rec* b, const double* x) {
  if (basis_check == 0)
    return;
  for (int i = 0; i < b->sz; ++i)
    lplu.dwk1[i] = x[i];
}

// Prints input, result and check product of a failed verification.
static void print_mismatch(const b_rec* b, const double* result, const char* in_lbl,
                           const char* out_lbl) {
  if (check_print <= 1)
    return;
  print_dvec(lplu.dwk1, b->sz, in_lbl, 0);
  print_dvec(result, b->sz, out_lbl, 0);
  print_dvec(lplu.dwk2, b->sz, "検算後", 0);
}
#endif

namespace {

// The stages below on the packed files; in the library build, with the test
// switch lu_chain_walk, the same operations in the same order on the chains.

// x(E) = t·v + x(E) for every entry (E, v) of a segment or of a chain (the
// entries hold negated factor values, so this subtracts).
inline void seg_axpy(double* x, const eta_pack* p, eta_seg g, double t) {
  for (int32_t k = g.start, end = g.start + g.len; k < end; ++k)
    x[p->idx[k]] = t * p->val[k] + x[p->idx[k]];
}
#ifdef ZELKOR_DIAG
inline void chain_axpy(double* x, const lumx* lu, int32_t first, double t) {
  for (int32_t k = first; k >= 0; k = lu->av.nexti[k])
    x[lu->av.i[k]] = t * lu->av.v[k] + x[lu->av.i[k]];
}
#endif

// d = y(E)·v + d for every entry (E, v) in order; the final d.
inline double seg_dot(const double* y, const eta_pack* p, eta_seg g, double d) {
  for (int32_t k = g.start, end = g.start + g.len; k < end; ++k)
    d = y[p->idx[k]] * p->val[k] + d;
  return d;
}
#ifdef ZELKOR_DIAG
inline double chain_dot(const double* y, const lumx* lu, int32_t first, double d) {
  for (int32_t k = first; k >= 0; k = lu->av.nexti[k])
    d = y[lu->av.i[k]] * lu->av.v[k] + d;
  return d;
}
#endif

// x(E) -= L(E,s) x(s) for every L eta in step order.
void ftran_l(const b_rec* b, double* x) {
#ifdef ZELKOR_DIAG
  if (lu_chain_walk) {
    const eta_pfv* lw = b->lw.pfv;
    for (int32_t s = b->lw.nz_head; s >= 0; s = lw[s].nz_next) {
      double t = x[s];
      if (t == 0.0)
        continue;
      x[s] = 0.0;
      chain_axpy(x, b->lu, lw[s].first, t);
      if (x[s] != 0.0)
        CHKY(0, x[s], 0);
      x[s] = t;
    }
    return;
  }
#endif
  const eta_pack* p = &b->lwp;
  for (int32_t q = 0; q < p->n_seg; ++q) {
    eta_seg g = p->seg[q];
    double t = x[g.row];
    if (t == 0.0)
      continue;
#ifdef ZELKOR_DIAG
    x[g.row] = 0.0;
#endif
    seg_axpy(x, p, g, t);  // x(E) -= L(E,s) x(s)
#ifdef ZELKOR_DIAG
    if (x[g.row] != 0.0)
      CHKY(0, x[g.row], 0);  // an L eta never applies to its own row
    x[g.row] = t;
#endif
  }
}

// x(r) = Σ x(E)·R(E) for every R eta in creation order.
void ftran_r(const b_rec* b, double* x) {
#ifdef ZELKOR_DIAG
  if (lu_chain_walk) {
    for (int32_t e = 0; e < b->n_br; ++e)
      x[b->br.pfv[e].row] = chain_dot(x, b->lu, b->br.pfv[e].first, 0.0);
    return;
  }
#endif
  const eta_pack* p = &b->brp;
  for (int32_t e = 0; e < b->n_br; ++e)
    x[p->seg[e].row] = seg_dot(x, p, p->seg[e], 0.0);
}

// x(E) -= U(E,s) x(s) for every U eta in reverse step order.
void ftran_u(const b_rec* b, double* x) {
#ifdef ZELKOR_DIAG
  if (lu_chain_walk) {
    const eta_pfv* up = b->up.pfv;
    for (int32_t s = b->up.nz_tail; s >= 0; s = up[s].nz_prev)
      if (x[s] != 0.0)
        chain_axpy(x, b->lu, up[s].first, x[s]);
    return;
  }
#endif
  const eta_pack* p = &b->upp;
  for (int32_t q = p->n_seg - 1; q >= 0; --q) {
    eta_seg g = p->seg[q];
    double t = x[g.row];
    if (t != 0.0 && g.len != 0)
      seg_axpy(x, p, g, t);  // x(E) -= U(E,s) x(s)
  }
}

// y(s) -= Σ_E U(E,s) y(E) for every U eta in step order.
void btran_u(const b_rec* b, double* y) {
#ifdef ZELKOR_DIAG
  if (lu_chain_walk) {
    const eta_pfv* up = b->up.pfv;
    for (int32_t s = b->up.nz_head; s >= 0; s = up[s].nz_next)
      y[s] = chain_dot(y, b->lu, up[s].first, 0.0) + y[s];
    return;
  }
#endif
  const eta_pack* p = &b->upp;
  for (int32_t q = 0; q < p->n_seg; ++q) {
    eta_seg g = p->seg[q];
    if (g.len != 0)
      y[g.row] = seg_dot(y, p, g, 0.0) + y[g.row];  // y(s) -= sum_E U(E,s) y(E)
  }
}

// y(E) += y(r)·R(E) for every R eta, newest first, y(r) cleared first.
void btran_r(const b_rec* b, double* y) {
  const eta_pack* p = &b->brp;
  for (int32_t e = b->n_br - 1; e >= 0; --e) {
#ifdef ZELKOR_DIAG
    int32_t s = lu_chain_walk ? b->br.pfv[e].row : p->seg[e].row;
#else
    int32_t s = p->seg[e].row;
#endif
    double t = y[s];
    if (t == 0.0)
      continue;
    y[s] = 0.0;
#ifdef ZELKOR_DIAG
    if (lu_chain_walk) {
      chain_axpy(y, b->lu, b->br.pfv[e].first, t);
      continue;
    }
#endif
    seg_axpy(y, p, p->seg[e], t);
  }
}

// y(s) -= Σ_E L(E,s) y(E) for every L eta in reverse step order.
void btran_l(const b_rec* b, double* y) {
#ifdef ZELKOR_DIAG
  if (lu_chain_walk) {
    const eta_pfv* lw = b->lw.pfv;
    for (int32_t s = b->lw.nz_tail; s >= 0; s = lw[s].nz_prev)
      y[s] = chain_dot(y, b->lu, lw[s].first, y[s]);
    return;
  }
#endif
  const eta_pack* p = &b->lwp;
  for (int32_t q = p->n_seg - 1; q >= 0; --q)
    y[p->seg[q].row] = seg_dot(y, p, p->seg[q], y[p->seg[q].row]);  // y(s) -= sum_E L(E,s) y(E)
}

}  // namespace

// First forward stage: L etas in step order, pivot scaling, R etas.
int lu_ftran_d1(b_rec* b, double* x) {
  ZK_TRACE(trace_ftran_d, TRACE_ENTRY, "lu_ftran_d1 \n");
  ZK_DIAG_ONLY(keep_input(b, x));
  int rc = -1;
  if (!factor_invalid(b)) {
    ftran_l(b, x);
    const double* dv = b->diag_v;
    for (int32_t i = 0; i < b->sz; ++i)
      x[i] = x[i] * dv[i];
    ftran_r(b, x);
    rc = 0;
  }
  ZK_TRACE(trace_ftran_d, TRACE_EXIT, "lu_ftran_d1 rc(%d) \n", rc);
  return rc;
}

// x[ips1[i]] = x[i]: from row-id space to column numbering.
void lu_scatter_ips1(b_rec* b, double* x) {
  double* w = lplu.dwk2;
  const int32_t* ips1 = b->ips1;
  for (int32_t i = 0; i < b->sz; ++i)
    w[ips1[i]] = x[i];
  for (int32_t i = 0; i < b->sz; ++i)
    x[i] = w[i];
}

// y[i] = y[ips1[i]]: from column numbering to row-id space.
void lu_gather_ips1(b_rec* b, double* y) {
  double* w = lplu.dwk2;
  const int32_t* ips1 = b->ips1;
  for (int32_t i = 0; i < b->sz; ++i)
    w[i] = y[ips1[i]];
  for (int32_t i = 0; i < b->sz; ++i)
    y[i] = w[i];
}

// Second forward stage: U etas in reverse step order, column permutation,
// and in the library build the verification B·x against the input.
int lu_ftran_d2(b_rec* b, double* x) {
  ZK_TRACE(trace_ftran_d, TRACE_ENTRY, "lu_ftran_d2 \n");
  int rc = -1;
  if (!factor_invalid(b)) {
    ftran_u(b, x);
    lu_scatter_ips1(b, x);
    rc = 0;
#ifdef ZELKOR_DIAG
    if (basis_check != 0 && b->bs != nullptr) {
      lumx_mult_mx_d(b->bs, lplu.dwk2, x);
      rc = b_BB_check_d(b->bs->m, lplu.dwk1, lplu.dwk2, "元(LU_ftrand)", "後(ＢＢ^α)");
      if (rc != 0)
        print_mismatch(b, x, "入力ｘ", "Ｂ^ｘ ");
    }
#endif
  }
  ZK_TRACE(trace_ftran_d, TRACE_EXIT, "lu_ftran_d2 rc(%d) \n", rc);
  return rc;
}

// First backward stage: row permutation, U etas transposed in step order.
// r names the single non-zero position of a unit input (-1 otherwise); it does
// not change the result.  1, or -1 when refused.
int lu_btran_d1(b_rec* b, double* y, int r) {
  (void)r;
  if (b->lw.kind != 1)
    CHKB(1, b->lw.kind, 1);
  if (b->up.kind != 1)
    CHKB(1, b->up.kind, 1);
  ZK_TRACE(trace_btran_d, TRACE_ENTRY, "lu_btran_d1 \n");
  ZK_DIAG_ONLY(keep_input(b, y));
  int rc = -1;
  if (!factor_invalid(b)) {
    lu_gather_ips1(b, y);
    btran_u(b, y);
    rc = 1;
  }
  ZK_TRACE(trace_btran_d, TRACE_EXIT, "lu_btran_d1 rc(%d) \n", rc);
  return rc;
}

// Second backward stage: R etas transposed (newest first), pivot scaling, L
// etas transposed in reverse step order, and in the library build the
// verification y·B against the input.
int lu_btran_d2(b_rec* b, double* y) {
  if (b->lw.kind != 1)
    CHKB(1, b->lw.kind, 1);
  if (b->up.kind != 1)
    CHKB(1, b->up.kind, 1);
  ZK_TRACE(trace_btran_d, TRACE_ENTRY, "lu_btran_d2 \n");
  int rc = -1;
  if (!factor_invalid(b)) {
    btran_r(b, y);
    const double* dv = b->diag_v;
    for (int32_t i = 0; i < b->sz; ++i)
      y[i] = y[i] * dv[i];
    btran_l(b, y);
    rc = 0;
#ifdef ZELKOR_DIAG
    if (basis_check != 0 && b->bs != nullptr) {
      lumx_mult_d_mx(b->bs, lplu.dwk2, y);
      rc = b_BB_check_d(b->bs->m, lplu.dwk1, lplu.dwk2, "元(LU_btrand)", "後(πＢ^Ｂ)");
      if (rc != 0)
        print_mismatch(b, y, "入力ｙ", "ｙＢ^ ");
    }
#endif
  }
#ifdef ZELKOR_DIAG
  ZK_TRACE(trace_btran_d, TRACE_EXIT, "lu_btran_d2 rc(%d) \n", rc);
  if (trace_btran_d > 1) {
    trace_mark(TRACE_EXIT, __FILE__, __LINE__, 0);
    print_dvec(y, b->sz, " ", 0);
  }
#endif
  return rc;
}

// ---- factorization check (library build) -----------------------------------------------------

#ifdef ZELKOR_DIAG

namespace {

// Mixed tolerance: absolute 1e-7 below magnitude 1, relative 1e-7 above; for
// |x| > 1 a ratio within 1e-6 of 1 also agrees.  At most nine mismatch lines
// are printed per call.
const double BB_TOL = 1e-7;
const double BB_RATIO_TOL = 1e-6;
const int BB_PRINT_LIMIT = 10;

// Compares x(j) with y(j) for j < num; value(j, which) gives x (0) or y (1).
template <class Value>
int bb_check(int num, Value value, const char* lbl_x, const char* lbl_y, const char* summary) {
  int cnt = 0;
  for (int j = 0; j < num; ++j) {
    double x = value(j, 0);
    double y = value(j, 1);
    double a = std::fabs(x);
    double t = a < 1.0 ? BB_TOL : a * BB_TOL;
    double d = y - x;
    if (-t <= d && d <= t)
      continue;
    double q;
    if (x == 0.0) {
      q = y;
    } else {
      q = std::fabs(x / y);
      if (q < 1.0)
        q = 1.0 / q;
      q = q - 1.0;
      if (a > 1.0 && -BB_RATIO_TOL <= q && q <= BB_RATIO_TOL)
        continue;
    }
    ++cnt;
    if (cnt < BB_PRINT_LIMIT)
      log_printf("★誤差 [%d]%s(%.9g) %s(%.9g) 差(%e) 比-1(%e)\n", j, lbl_x, x, lbl_y, y, x - y, q);
  }
  if (cnt != 0)
    CHKB(0, cnt, 0);
  if (cnt > 0)
    log_printf(summary, num, cnt);
  return cnt;
}

}  // namespace

// Counts (and prints the first nine of) the positions where y differs from x
// beyond the tolerance.
int b_BB_check_d(int num, const double* x, const double* y, const char* lbl_x, const char* lbl_y) {
  return bb_check(
      num, [&](int j, int which) { return which == 0 ? x[j] : y[j]; }, lbl_x, lbl_y,
      "b_BB_check_d num(%d) cnt(%d)\n");
}

// The same on two work vectors (a position not in use counts as 0).
int b_BB_check_v2(int num, const lpvect2* xv, const lpvect2* yv, const char* lbl_x,
                  const char* lbl_y) {
  auto at = [](const lpvect2* v, int j) { return v->usef[j] == v->mark ? v->va[j] : 0.0; };
  return bb_check(
      num, [&](int j, int which) { return which == 0 ? at(xv, j) : at(yv, j); }, lbl_x, lbl_y,
      "b_BB_check_v2 num(%d) cnt(%d)\n");
}

// Sends every unit vector through the forward and then the backward
// transform (each verified while basis_check is on).  The result of the last
// backward transform; 0 for order 0.
int lu_kakunin_d(b_rec* b) {
  int rc = 0;
  int sz = b->sz;
  double* e = lplu.dwk3;
  for (int i = 0; i < sz; ++i) {
    for (int k = 0; k < sz; ++k)
      e[k] = 0.0;
    e[i] = 1.0;
    lu_ftran_d1(b, e);
    rc = lu_ftran_d2(b, e);
  }
  for (int i = 0; i < sz; ++i) {
    for (int k = 0; k < sz; ++k)
      e[k] = 0.0;
    e[i] = 1.0;
    lu_btran_d1(b, e, i);
    rc = lu_btran_d2(b, e);
  }
  return rc;
}

#endif  // ZELKOR_DIAG

// ---- sparse transforms -------------------------------------------------------------------------
//
// The transforms of marked work vectors touch only the positions that are, or
// become, non-zero.  They work in the factor's row-id space: there is no
// column permutation at either end.  In forward direction position r of the
// result carries the value of basis column ips1[r]; in backward direction
// position r of the input carries the value for basis column ips1[r].
// Every eta is applied at its own pivot position and does nothing where the
// value there is 0, so a vector with a single listed position may start the
// walk at that position.

#ifdef ZELKOR_DIAG
trace_sw trace_ftran_v = 0;
trace_sw trace_btran_v21 = 0;
#endif

namespace {

bool has_two_or_more(const lpvect2* v) { return v->head >= 0 && v->next[v->head] >= 0; }

double value_at(const lpvect2* v, int p) { return v->usef[p] == v->mark ? v->va[p] : 0.0; }

// Every listed position must lie in 0 .. sz-1 (the transforms index with them
// unchecked): a position outside is reported and the transform refuses.  In
// the library build, with copy set, the input is also kept as a dense copy in
// dwk1 for the verification.
bool check_input(const b_rec* b, const lpvect2* v, bool copy) {
  int sz = b->sz;
  bool ok = true;
#ifdef ZELKOR_DIAG
  if (copy)
    for (int i = 0; i < sz; ++i)
      lplu.dwk1[i] = 0.0;
#else
  (void)copy;
#endif
  int listed = 0;
  for (int32_t p = v->head; p >= 0; p = v->next[p]) {
    if (CHKA(0, p, sz) || ++listed > sz) {
      ok = false;  // out of range, or a list that loops
      break;
    }
#ifdef ZELKOR_DIAG
    if (copy)
      lplu.dwk1[p] = v->va[p];
#endif
  }
  return ok;
}

// Scales every listed value by its reciprocal pivot, unlinking and unmarking
// the positions whose value is exactly 0.
void scale_and_squeeze(const b_rec* b, lpvect2* v) {
  const double* dv = b->diag_v;
  int32_t q = -1;
  for (int32_t p = v->head; p >= 0;) {
    int32_t after = v->next[p];
    if (v->va[p] == 0.0) {
      v->usef[p] = 0;
      if (q < 0)
        v->head = after;
      else
        v->next[q] = after;
    } else {
      v->va[p] = v->va[p] * dv[p];
      q = p;
    }
    p = after;
  }
}


#ifdef ZELKOR_DIAG
// Verification of a sparse forward result: the result, moved to column
// numbering, times B against the input kept in dwk1.
int verify_ftran_v(b_rec* b, const lpvect2* a) {
  int sz = b->sz;
  double* x = lplu.dwk3;
  for (int i = 0; i < sz; ++i)
    x[i] = 0.0;
  for (int32_t p = a->head; p >= 0; p = a->next[p])
    if (a->usef[p] == a->mark)
      x[b->ips1[p]] = a->va[p];
  lumx_mult_mx_d(b->bs, lplu.dwk2, x);
  int rc = b_BB_check_d(b->bs->m, lplu.dwk1, lplu.dwk2, "元(LU_ftranv)", "後(ＢＢ^α)");
  if (rc != 0)
    print_mismatch(b, a->va, "入力ｘ", "Ｂ^ｘ ");
  return rc;
}

// Verification of a sparse backward result: y times B against the input kept
// in dwk1, moved to column numbering.
int verify_btran_v(b_rec* b, const lpvect2* y) {
  int sz = b->sz;
  double* c = lplu.dwk3;
  for (int i = 0; i < sz; ++i)
    c[b->ips1[i]] = lplu.dwk1[i];
  lumx_mult_v_mx(b->bs, lplu.dwk2, y);
  int rc = b_BB_check_d(b->bs->m, c, lplu.dwk2, "元(LU_btranv)", "後(πＢ^Ｂ)");
  if (rc != 0)
    print_mismatch(b, y->va, "入力ｙ", "ｙＢ^ ");
  return rc;
}
#endif

void check_kinds(const b_rec* b) {
  if (b->lw.kind != 1)
    CHKB(1, b->lw.kind, 1);
  if (b->up.kind != 1)
    CHKB(1, b->up.kind, 1);
}

// One eta walk seen as a graph.  From row s it follows either the eta of s
// (its packed segment pk->seg_of[s], or in the chain walk pfv[s].first
// through av.nexti, to the rows it applies to) or the row of s (its packed
// row rw, or in the chain walk aux[s].first through av.nextj, to the etas it
// feeds), and it applies the rows in the order of key, ascending or
// descending.
struct eta_walk {
  const eta_file* f;
  const eta_pack* pk;  // the packed file of a walk by etas; null: the chains
  bool by_rows;
  const int32_t* key;
  bool descending;
  const eta_rows* rw;  // the row-wise file of a walk by rows; null: the chains
};

int chain_first(const eta_walk& w, int s) {
  return w.by_rows ? w.f->aux[s].first : w.f->pfv[s].first;
}

bool has_entries(const eta_walk& w, int s) {
  if (w.by_rows)
    return w.rw != nullptr ? w.rw->len[s] > 0 : chain_first(w, s) >= 0;
  return w.pk != nullptr ? w.pk->seg_of[s] >= 0 : chain_first(w, s) >= 0;
}

// The packed file an eta walk over f reads: null in the chain walk of the
// tests.
template <class T>
const T* packed(const T* p) {
#ifdef ZELKOR_DIAG
  if (lu_chain_walk)
    return nullptr;
#endif
  return p;
}

// A walk that reaches more rows than this goes over the whole list instead
// (on a small order a short list costs less than finding and sorting a few
// rows).
int reach_limit(const b_rec* b) { return b->sz / 16 + 4; }

// The rows with a non-empty chain reachable from the positions listed in v,
// sorted in the walk's order, into lplu.ips1; their number, or -1 when more
// than `limit` rows are reached.  A chain does something only where the value
// at its row is non-zero, and a value can become non-zero only at a listed
// position or where a reached chain leads: applying exactly these rows, in
// the list's order, is the walk over the whole list minus rows that meet a
// zero.  The work is proportional to the entries reached, not to the order.
int reach_in_order(const b_rec* b, const eta_walk& w, const lpvect2* v, int limit) {
  const lumx* lu = b->lu;
  const int32_t* link = w.by_rows ? lu->av.nextj : lu->av.nexti;
  const int32_t* target = w.by_rows ? lu->av.j : lu->av.i;
  lpvect2* seen = &lplu.vwk2;
  int32_t mark = lpvect2_newmark(seen);
  int32_t* rows = lplu.ips1;
  int n = 0;
  auto visit = [&](int32_t x) {
    if (seen->usef[x] == mark)
      return true;
    if (n == limit)
      return false;
    seen->usef[x] = mark;
    rows[n++] = x;
    return true;
  };
  for (int32_t p = v->head; p >= 0; p = v->next[p])
    if (!visit(p))
      return -1;
  if (w.by_rows && w.rw != nullptr) {
    const eta_rows* rw = w.rw;
    for (int i = 0; i < n; ++i)
      for (int32_t k = rw->start[rows[i]], end = k + rw->len[rows[i]]; k < end; ++k)
        if (!visit(rw->idx[k]))
          return -1;
  } else if (!w.by_rows && w.pk != nullptr) {
    const eta_pack* pk = w.pk;
    for (int i = 0; i < n; ++i) {
      int32_t q = pk->seg_of[rows[i]];
      if (q < 0)
        continue;
      for (int32_t k = pk->seg[q].start, end = k + pk->seg[q].len; k < end; ++k)
        if (!visit(pk->idx[k]))
          return -1;
    }
  } else {
    for (int i = 0; i < n; ++i)
      for (int32_t k = chain_first(w, rows[i]); k >= 0; k = link[k])
        if (!visit(target[k]))
          return -1;
  }
  int m = 0;
  for (int i = 0; i < n; ++i)
    if (has_entries(w, rows[i]))
      rows[m++] = rows[i];
  const int32_t* key = w.key;
  if (w.descending)
    std::sort(rows, rows + m, [key](int32_t x, int32_t y) { return key[x] > key[y]; });
  else
    std::sort(rows, rows + m, [key](int32_t x, int32_t y) { return key[x] < key[y]; });
  return m;
}

// The whole vector as plain values for a dense walk: every position that is
// not listed gets +0.
void densify(lpvect2* v, int sz) {
  const int32_t* use = v->usef;
  double* va = v->va;
  const int32_t mark = v->mark;
  for (int32_t p = 0; p < sz; ++p) {
    uint64_t keep = 0 - (uint64_t)(use[p] == mark);
    va[p] = std::bit_cast<double>(std::bit_cast<uint64_t>(va[p]) & keep);
  }
}

// f(va) on the vector made plain (densify), then its non-zeros listed
// afresh, by position.
template <class F>
void on_plain_values(const b_rec* b, lpvect2* v, F f) {
  v->n = b->sz;
  densify(v, b->sz);
  f(v->va);
  lpvect2_from_dense(v);
}

// Whether a last stage walks plain values whatever it reaches: for a result
// expected to fill much of a small or moderate order, the passes over the
// vector cost less than the lists' upkeep and the search for the rows
// reached.
bool plain_from_start(const b_rec* b, solve_use use) {
  return use == SOLVE_VALUES_DENSE && b->sz <= DENSE_SOLVE_ORDER;
}

// Whether a dense walk (walk_etas_or_dense) pays on a file of `entries`
// entries: it costs two passes over the whole vector, which only a factor of
// several entries per row earns back in the tests it saves.
bool dense_pays(const b_rec* b, long long entries) { return entries >= 4LL * b->sz; }

// Applies apply(s) to the reached rows in order, or, when too many are
// reached, to every row of the list from `start` on through `next` (a walk
// by etas on a packed file: to the rows of the segments with entries, in
// segment order, from the segment of `start` on; the same rows in the same
// order, as the segments follow the list).
//
// When too many are reached and the caller has no use for the list's order
// (dense_ok), dense(va) walks the etas instead, on the vector's values made
// plain (densify), every eta of the walk's order in turn with the sums a
// listed walk forms (a position the walk meets first gets t·v + 0: the same
// value but for the sign of a zero, and zeros are skipped and never listed);
// the non-zeros are then listed afresh, by position.
template <class Apply, class Next, class Dense>
void walk_etas_or_dense(const b_rec* b, const eta_walk& w, lpvect2* v, int start, Next next,
                        Apply apply, bool dense_ok, Dense dense) {
  int n = reach_in_order(b, w, v, reach_limit(b));
  if (n >= 0) {
    for (int i = 0; i < n; ++i)
      apply(lplu.ips1[i]);
    return;
  }
  if (dense_ok) {
    on_plain_values(b, v, dense);
    return;
  }
  if (w.by_rows && w.rw != nullptr && w.rw->order != nullptr) {
    // The file's rows in an array: the rows before `start` meet zeros.
    const eta_rows* rw = w.rw;
    for (int32_t i = 0; i < rw->n_order; ++i) {
      int32_t s = rw->order[w.descending ? rw->n_order - 1 - i : i];
      if (v->usef[s] == v->mark && v->va[s] != 0.0)
        apply(s);
    }
    return;
  }
  if (w.pk != nullptr) {
    if (start < 0)
      return;
    const eta_pack* pk = w.pk;
    int step = w.descending ? -1 : 1;
    for (int32_t q = pk->seg_of[start]; q >= 0 && q < pk->n_seg; q += step)
      if (pk->seg[q].len > 0)
        apply(pk->seg[q].row);
    return;
  }
  for (int32_t s = start; s >= 0; s = next(s))
    apply(s);
}

template <class Apply, class Next>
void walk_etas(const b_rec* b, const eta_walk& w, lpvect2* v, int start, Next next, Apply apply) {
  walk_etas_or_dense(b, w, v, start, next, apply, false, [](double*) {});
}

// Applies eta s by columns: a(E) += a(s)·v for every entry (E, v) of it (the
// entries hold negated factor values).  Returns a(s).
double push_col_eta(const b_rec* b, const eta_walk& w, lpvect2* a, int s) {
  double t = value_at(a, s);
  if (t == 0.0)
    return t;
  if (w.pk != nullptr) {
    int32_t q = w.pk->seg_of[s];
    if (q >= 0)
      for (int32_t k = w.pk->seg[q].start, end = k + w.pk->seg[q].len; k < end; ++k)
        lpvect2_add(a, w.pk->idx[k], t, w.pk->val[k]);
  } else {
    const lumx* lu = b->lu;
    for (int32_t k = w.f->pfv[s].first; k >= 0; k = lu->av.nexti[k])
      lpvect2_add(a, lu->av.i[k], t, lu->av.v[k]);
  }
  return t;
}

// Applies row s transposed: y(r) += y(s)·v for every entry of row s, r being
// the eta the entry belongs to, most recent entry first (the packed row
// backwards, or the row chain).
void push_row(const b_rec* b, const eta_walk& w, lpvect2* y, int s) {
  double t = value_at(y, s);
  if (t == 0.0)
    return;
  if (w.rw != nullptr) {
    const eta_rows* rw = w.rw;
    for (int32_t k = rw->start[s] + rw->len[s] - 1; k >= rw->start[s]; --k)
      lpvect2_add(y, rw->idx[k], t, rw->val[k]);
    return;
  }
  const lumx* lu = b->lu;
  for (int32_t k = w.f->aux[s].first; k >= 0; k = lu->av.nextj[k])
    lpvect2_add(y, lu->av.j[k], t, lu->av.v[k]);
}

// Where a row-wise walk starts for a vector with one listed position p: p
// itself when its row has entries in the file, else nowhere (-1); a row with
// entries but not on the row list is reported.
int single_row_start(const eta_walk& w, const lpvect2* v, int p) {
  if (v->usef[p] != v->mark)
    CHKB(v->mark, v->usef[p], v->mark);
  if (w.f->aux[p].aux_next != -2)
    return p;
#ifdef ZELKOR_DIAG
  if (w.f->aux[p].first != -1)
    CHKB(-1, w.f->aux[p].first, -1);
#else
  if (has_entries(w, p))
    CHKB(-1, 0, -1);
#endif
  return -1;
}

// Where a column walk (L or U forward) starts for a vector with one listed
// position p: p when its eta has entries, else nowhere; an eta that has
// entries but is off the non-empty list is reported.
int single_col_start(const eta_walk& w, int p, bool report) {
  if (w.pk != nullptr)
    return w.pk->seg_of[p] >= 0 ? p : -1;
  if (w.f->pfv[p].nz_next != -2)
    return p;
  if (report && w.f->pfv[p].first != -1)
    CHKB(-1, w.f->pfv[p].first, -1);
  return -1;
}

// The first row of a walk by etas over the whole non-empty list.
int list_start(const eta_walk& w) {
  if (w.pk != nullptr) {
    const eta_pack* pk = w.pk;
    if (w.descending) {
      for (int32_t q = pk->n_seg - 1; q >= 0; --q)
        if (pk->seg[q].len > 0)
          return pk->seg[q].row;
    } else {
      for (int32_t q = 0; q < pk->n_seg; ++q)
        if (pk->seg[q].len > 0)
          return pk->seg[q].row;
    }
    return -1;
  }
  return w.descending ? w.f->nz_tail : w.f->nz_head;
}

// Σ a(E)·v over the entries (E, v) of idx/val[start .. end) whose E is listed
// in a, added in entry order from +0.  Without a branch on the vector's
// pattern: every entry's product is formed, and an unlisted one is replaced
// by +0 before it is added, which leaves the sum as it was (the sum starts at
// +0 and a sum of two values is -0 only when both are, so it is never -0).
inline double listed_dot(const lpvect2* a, const int32_t* idx, const double* val, int32_t start,
                         int32_t end) {
  const int32_t* use = a->usef;
  const double* va = a->va;
  const int32_t mark = a->mark;
  double d = 0.0;
  for (int32_t k = start; k < end; ++k) {
    int32_t i = idx[k];
    uint64_t keep = 0 - (uint64_t)(use[i] == mark);
    d = std::bit_cast<double>(std::bit_cast<uint64_t>(va[i] * val[k]) & keep) + d;
  }
  return d;
}

// The R etas forward on a work vector: a(r) = Σ a(E)·R(E) over the listed
// positions E, in creation order; a zero result leaves r's list membership.
void ftran_r_sparse(const b_rec* b, lpvect2* a) {
  const eta_pack* pk = packed(&b->brp);
  const lumx* lu = b->lu;
  for (int32_t e = 0; e < b->n_br; ++e) {
    double d = 0.0;
    int32_t row;
    if (pk != nullptr) {
      eta_seg g = pk->seg[e];
      row = g.row;
      d = listed_dot(a, pk->idx, pk->val, g.start, g.start + g.len);
    } else {
      row = b->br.pfv[e].row;
      for (int32_t k = b->br.pfv[e].first; k >= 0; k = lu->av.nexti[k])
        if (a->usef[lu->av.i[k]] == a->mark)
          d = a->va[lu->av.i[k]] * lu->av.v[k] + d;
    }
    if (d != 0.0)
      lpvect2_set(a, row, d);
    else
      a->va[row] = 0.0;  // keeps whatever list membership it had
  }
}

// The R etas backward on a work vector, newest first: y(E) += y(r)·R(E), y(r)
// cleared first (r stays listed).
void btran_r_sparse(const b_rec* b, lpvect2* y) {
  const eta_pack* pk = packed(&b->brp);
  const lumx* lu = b->lu;
  for (int32_t e = b->n_br - 1; e >= 0; --e) {
    int32_t r = pk != nullptr ? pk->seg[e].row : b->br.pfv[e].row;
    double t = value_at(y, r);
    if (t == 0.0)
      continue;
    y->va[r] = 0.0;
    if (pk != nullptr) {
      eta_seg g = pk->seg[e];
      for (int32_t k = g.start, end = g.start + g.len; k < end; ++k)
        lpvect2_add(y, pk->idx[k], t, pk->val[k]);
    } else {
      for (int32_t k = b->br.pfv[e].first; k >= 0; k = lu->av.nexti[k])
        lpvect2_add(y, lu->av.i[k], t, lu->av.v[k]);
    }
  }
}

// The U etas of lu_ftran_v22 on a non-empty vector, in reverse step order.
void ftran_v22_stages(const b_rec* b, lpvect2* a, solve_use use = SOLVE_LIST) {
  const eta_pfv* up = b->up.pfv;
  eta_walk w{&b->up, packed(&b->upp), false, b->up_ord, true, nullptr};
  const eta_pack* pk = w.pk;
  auto dense = [pk](double* va) {
    for (int32_t q = pk->n_seg - 1; q >= 0; --q) {
      const eta_seg g = pk->seg[q];
      const double t = g.len > 0 ? va[g.row] : 0.0;
      if (t == 0.0)
        continue;
      for (int32_t k = g.start, end = g.start + g.len; k < end; ++k)
        va[pk->idx[k]] = t * pk->val[k] + va[pk->idx[k]];
    }
  };
  if (pk != nullptr && plain_from_start(b, use)) {
    on_plain_values(b, a, dense);
    return;
  }
  int start = has_two_or_more(a) ? list_start(w) : single_col_start(w, a->head, true);
  walk_etas_or_dense(
      b, w, a, start, [&](int s) { return up[s].nz_prev; },
      [&](int s) { push_col_eta(b, w, a, s); },  // a(E) -= U(E,s) a(s)
      use != SOLVE_LIST && pk != nullptr && dense_pays(b, pk->n_ent), dense);
}

// L's etas transposed on plain values, row by row in reverse step order (the
// dense walk of the backward transform's last stage).
void btran_l_dense(const eta_rows* rw, double* va) {
  for (int32_t i = rw->n_order - 1; i >= 0; --i) {
    const int32_t s = rw->order[i];
    const double t = va[s];
    if (t == 0.0)
      continue;
    for (int32_t k = rw->start[s] + rw->len[s] - 1; k >= rw->start[s]; --k)
      va[rw->idx[k]] = t * rw->val[k] + va[rw->idx[k]];
  }
}

// The stages of lu_btran_v22 on a non-empty vector: R etas transposed
// (newest first), pivot scaling with squeeze, L etas transposed row by row in
// reverse step order (all on plain values, see plain_from_start).
void btran_v22_stages(b_rec* b, lpvect2* y, solve_use use = SOLVE_LIST) {
  const eta_rows* rw = packed(&b->lwr);
  const eta_pack* rp = packed(&b->brp);
  // (L's row file, when walked packed, always has its row order.)
  if (rw != nullptr && rp != nullptr && plain_from_start(b, use)) {
    // btran_r_sparse, scale_and_squeeze and the walk of L on plain values,
    // with the same sums (see walk_etas_or_dense).
    on_plain_values(b, y, [b, rp, rw](double* va) {
      for (int32_t e = b->n_br - 1; e >= 0; --e) {
        const eta_seg g = rp->seg[e];
        const double t = va[g.row];
        if (t == 0.0)
          continue;
        va[g.row] = 0.0;
        for (int32_t k = g.start, end = g.start + g.len; k < end; ++k)
          va[rp->idx[k]] = t * rp->val[k] + va[rp->idx[k]];
      }
      const double* dv = b->diag_v;
      for (int32_t p = 0; p < b->sz; ++p)
        va[p] = va[p] * dv[p];
      btran_l_dense(rw, va);
    });
    return;
  }
  btran_r_sparse(b, y);
  scale_and_squeeze(b, y);
  if (y->head >= 0) {
    const eta_aux* aux = b->lw.aux;
    eta_walk w{&b->lw, nullptr, true, b->ips2, true, rw};
    int start = has_two_or_more(y) ? b->lw.aux_tail : single_row_start(w, y, y->head);
    walk_etas_or_dense(
        b, w, y, start, [&](int s) { return aux[s].aux_prev; },
        [&](int s) { push_row(b, w, y, s); },  // y(r) -= L(s,r) y(s)
        use != SOLVE_LIST && rw != nullptr && dense_pays(b, rw->n_used - rw->dead),
        [rw](double* va) { btran_l_dense(rw, va); });
  }
}

}  // namespace

// First sparse forward stage: L etas, pivot scaling with squeeze, R etas.
// 0; -1 when refused (failed factorization, or a listed position out of range).
int lu_ftran_v21(b_rec* b, lpvect2* a) {
  ZK_TRACE(trace_ftran_v, TRACE_ENTRY, "lu_ftran_v21 \n");
  int rc = 0;
  if (!check_input(b, a, basis_check != 0)) {
    rc = -1;
  } else if (a->head < 0) {
    rc = 0;
  } else if (factor_invalid(b)) {
    rc = -1;
  } else {
    const eta_pfv* lw = b->lw.pfv;
    eta_walk w{&b->lw, packed(&b->lwp), false, b->ips2, false, nullptr};
    int start = has_two_or_more(a) ? list_start(w) : single_col_start(w, a->head, false);
    walk_etas(
        b, w, a, start, [&](int s) { return lw[s].nz_next; },
        [&](int s) {
          double t = push_col_eta(b, w, a, s);  // a(E) -= L(E,s) a(s)
          if (t != 0.0)
            a->va[s] = t;  // an L eta never changes its own position
        });
    scale_and_squeeze(b, a);
    ftran_r_sparse(b, a);
  }
  ZK_TRACE(trace_ftran_v, TRACE_EXIT, "lu_ftran_v21 rc(%d) \n", rc);
  return rc;
}

// Second sparse forward stage: U etas in reverse step order, and in the
// library build the verification.  0 or the mismatch count; -1 when refused.
// use: what the caller reads of the result (see solve_use).
int lu_ftran_v22(b_rec* b, lpvect2* a, solve_use use) {
  ZK_TRACE(trace_ftran_v, TRACE_ENTRY, "lu_ftran_v22 \n");
  int rc = 0;
  if (a->head < 0) {
    rc = 0;
  } else if (factor_invalid(b)) {
    rc = -1;
  } else {
    ftran_v22_stages(b, a, use);
#ifdef ZELKOR_DIAG
    if (basis_check != 0 && b->bs != nullptr)
      rc = verify_ftran_v(b, a);
#endif
  }
#ifdef ZELKOR_DIAG
  ZK_TRACE(trace_ftran_v, TRACE_EXIT, "lu_ftran_v22 rc(%d) \n", rc);
  if (trace_ftran_v > 1)
    print_dvec(a->va, b->sz, " ", 0);
#endif
  return rc;
}

// First sparse backward stage: U etas transposed, row by row in step order,
// then the leading zeros trimmed.  1 when a listed position is left, 0 when
// the vector is empty, -1 when refused.
int lu_btran_v21(b_rec* b, lpvect2* y) {
  check_kinds(b);
  ZK_TRACE(trace_btran_v21, TRACE_ENTRY, "lu_btran_v21 \n");
  int rc;
  if (!check_input(b, y, basis_check != 0)) {
    rc = -1;
  } else if (y->head < 0) {
    rc = 0;
  } else if (factor_invalid(b)) {
    rc = -1;
  } else {
    lu_eta_rows(b);
    const eta_aux* aux = b->up.aux;
    eta_walk w{&b->up, nullptr, true, b->up_ord, false, packed(&b->upr)};
    int start = has_two_or_more(y) ? b->up.aux_head : single_row_start(w, y, y->head);
    walk_etas(
        b, w, y, start, [&](int s) { return aux[s].aux_next; },
        [&](int s) { push_row(b, w, y, s); });  // y(r) -= U(s,r) y(s)
    while (y->head >= 0 && y->va[y->head] == 0.0) {
      y->usef[y->head] = 0;
      y->head = y->next[y->head];
    }
    rc = y->head >= 0 ? 1 : 0;
  }
  ZK_TRACE(trace_btran_v21, TRACE_EXIT, "lu_btran_v21 rc(%d) \n", rc);
  return rc;
}

// Second sparse backward stage: R etas transposed (newest first), pivot
// scaling with squeeze, L etas transposed row by row in reverse step order,
// and in the library build the verification.  0 or the mismatch count; -1
// when refused (failed factorization).  use as for lu_ftran_v22.
int lu_btran_v22(b_rec* b, lpvect2* y, solve_use use) {
  check_kinds(b);
  ZK_TRACE(trace_btran_d, TRACE_ENTRY, "lu_btran_v22 \n");
  int rc = 0;
  if (y->head < 0) {
    rc = 0;
  } else if (factor_invalid(b)) {
    rc = -1;
  } else {
    lu_eta_rows(b);
    btran_v22_stages(b, y, use);
#ifdef ZELKOR_DIAG
    if (basis_check != 0 && b->bs != nullptr)
      rc = verify_btran_v(b, y);
#endif
  }
  ZK_TRACE(trace_btran_d, TRACE_EXIT, "lu_btran_v22 rc(%d) \n", rc);
  return rc;
}

// ---- basis column replacement ------------------------------------------------------------------
//
// lu_pivotting replaces the basis column matched to pivot row r (ips1[r]) by
// a new column a_s without factorizing again: L and the pivots stay; row r and
// column r of U are removed, the transformed new column (the spike) becomes
// U's column r, eta r moves to the end of U's step order, and one row eta R
// records how the entering variable's value follows from the others:
//   p = e_rᵀ U⁻¹ (row r of U⁻¹), spike = R D⁻¹ L⁻¹ a_s, α = p·spike,
//   R eta: y_r <- Σ_k (p_k / α) y_k.

#ifdef ZELKOR_DIAG
trace_sw trace_pivotting = 0;
trace_sw trace_make_B_1 = 0;
#endif

// Below this magnitude the transformed pivot would make the basis singular.
static const double UPDATE_PIVOT_TOL = 1e-12;
// R and U entries at or below this magnitude are not stored.
static const double UPDATE_DROP_TOL = 1e-30;
// The accuracy check computes a pivot twice when it lies below this fraction
// of the largest magnitude of the spike or of the new column (pivots that
// are rounding error lay four orders of magnitude lower on the test bases).
static const double UPDATE_CHECK_BELOW = 1e-3;


namespace {

bool negligible(double v) { return std::fabs(v) <= UPDATE_DROP_TOL; }

// Room for R eta e: the R-eta file doubles when full.
bool br_room(b_rec* b, int e) {
  if (e < b->cap_br)
    return true;
  long long cap = 2LL * b->cap_br;
  if (cap > INT32_MAX || mem_grow(&b->br.pfv, cap) == nullptr)
    return false;
  b->cap_br = (int32_t)cap;
  return true;
}

// R eta e = n_br for row r from p (in vwk1) and 1/α.  0, or -2 when the pool
// or the file cannot grow (the eta is then not counted).
int add_r_eta(b_rec* b, int r, const lpvect2* p, double w) {
  int e = b->n_br;
  CHKA(0, e, b->max_br);
  if (!br_room(b, e)) {
    log_error("**** lu_pivotting: cannot malloc\n");
    return -2;
  }
  eta_pack* pk = &b->brp;
  if (pk->n_seg != e)
    CHKB(e, pk->n_seg, e);
  if (!pack_room(pk, 0)) {
    log_error("**** lu_pivotting: cannot malloc\n");
    return -2;
  }
  eta_seg* g = &pk->seg[e];
  *g = eta_seg{r, pk->n_ent, 0};
  eta_pfv* h = &b->br.pfv[e];
  h->row = r;
  h->first = -1;
  ZK_DIAG_ONLY(int32_t tail = -1);
  for (int32_t k = p->head; k >= 0; k = p->next[k]) {
    double v = p->va[k] * w;
    if (negligible(v))
      continue;
#ifdef ZELKOR_DIAG
    // The chain of the library build: a pool slot per entry.
    int slot = lumx_new_av(b->lu);
    if (slot < 0) {
      pk->n_ent = g->start;  // the eta is not counted: its entries go
      return slot;
    }
    lu_lu_append_tail(b->lu, slot, 2, k, r, v, &h->first, &tail, b->br.aux);
#endif
    if (pk->n_ent == pk->cap_ent && !pack_room(pk, 1)) {
      pk->n_ent = g->start;
      log_error("**** lu_pivotting: cannot malloc\n");
      return -2;
    }
    pk->idx[pk->n_ent] = k;
    pk->val[pk->n_ent++] = v;
  }
  g->len = pk->n_ent - g->start;
  pk->n_seg = e + 1;
#ifdef ZELKOR_DIAG
  if (trace_pivotting > 1) {
    log_printf("Ｒ補η変換子 ｒ(%d)\n", r);
    dump_av_chain(b->lu, h->first, r);
  }
#endif
  b->n_br += 1;
  return 0;
}

#ifdef ZELKOR_DIAG
// Unlinks from the chain that starts at *first and runs through link[] its
// first entry k with key[k] == value; a missing entry is reported.
void chain_unlink(int32_t* first, int32_t* link, const int32_t* key, int value) {
  int pred = -1;
  int k = *first;
  while (k >= 0 && key[k] != value) {
    pred = k;
    k = link[k];
  }
  if (k < 0) {
    CHKA(0, 0, 0);
    return;
  }
  if (pred < 0)
    *first = link[k];
  else
    link[pred] = link[k];
}
#endif

// Takes eta s off U's list of non-empty etas.
void nz_list_remove(eta_file* f, int s, int sz) {
  eta_pfv* h = &f->pfv[s];
  CHKA(-1, h->nz_next, sz);
  if (h->nz_prev < 0)
    f->nz_head = h->nz_next;
  else
    f->pfv[h->nz_prev].nz_next = h->nz_next;
  if (h->nz_next < 0)
    f->nz_tail = h->nz_prev;
  else
    f->pfv[h->nz_next].nz_prev = h->nz_prev;
  h->nz_next = h->nz_prev = -2;
}

// U's row list (the rows with entries, in step order) is kept up to date
// row by row during an update, never rebuilt over all rows: a row that loses
// its last entry leaves it, and the rows that get their first entry join it
// at their place in the step order (row_list_insert).

void row_list_remove(eta_file* f, int x) {
  eta_aux* a = &f->aux[x];
  if (a->aux_next == -2)
    return;  // not on the list
  if (a->aux_prev < 0)
    f->aux_head = a->aux_next;
  else
    f->aux[a->aux_prev].aux_next = a->aux_next;
  if (a->aux_next < 0)
    f->aux_tail = a->aux_prev;
  else
    f->aux[a->aux_next].aux_prev = a->aux_prev;
  a->aux_next = a->aux_prev = -2;
}

// Inserts the rows pending[0 .. m) (not on the list) at their places in the
// step order.  Taken in decreasing order, each one's predecessor lies before
// the previous one's, so a cursor walks back along the list at most once in
// all; each search also walks back along the step list from the row itself
// and stops at whichever walk ends first.
void row_list_insert(eta_file* f, const int32_t* ord, int32_t* pending, int m) {
  std::sort(pending, pending + m, [ord](int32_t x, int32_t y) { return ord[x] > ord[y]; });
  int32_t cursor = f->aux_tail;
  for (int i = 0; i < m; ++i) {
    int x = pending[i];
    int32_t by_list = cursor;
    int32_t by_step = f->pfv[x].prev;
    int32_t q;
    for (;;) {
      if (by_list < 0 || ord[by_list] < ord[x]) {
        q = by_list;
        break;
      }
      if (by_step < 0 || f->aux[by_step].aux_next != -2) {
        q = by_step;
        break;
      }
      by_list = f->aux[by_list].aux_prev;
      by_step = f->pfv[by_step].prev;
    }
    eta_aux* a = &f->aux[x];
    a->aux_prev = q;
    a->aux_next = q < 0 ? f->aux_head : f->aux[q].aux_next;
    if (q < 0)
      f->aux_head = x;
    else
      f->aux[q].aux_next = x;
    if (a->aux_next < 0)
      f->aux_tail = x;
    else
      f->aux[a->aux_next].aux_prev = x;
    cursor = q;
  }
}

// Takes the first entry with index key out of idx/val[start .. end), the
// later ones moving up to keep their order.  False, after a report, when
// there is none.
bool take_entry(int32_t* idx, double* val, int32_t start, int32_t end, int key) {
  int32_t k = start;
  while (k < end && idx[k] != key)
    ++k;
  if (k == end) {
    CHKA(0, 0, 0);
    return false;
  }
  for (; k + 1 < end; ++k) {
    idx[k] = idx[k + 1];
    val[k] = val[k + 1];
  }
  return true;
}

// Takes the first entry of row x out of the packed U eta s, the later ones
// moving up to keep their order; an eta left empty loses its segment.
void pack_unlink(eta_pack* pk, int s, int x) {
  int32_t q = pk->seg_of[s];
  if (q < 0) {
    CHKA(0, 0, 0);
    return;
  }
  eta_seg* g = &pk->seg[q];
  if (!take_entry(pk->idx, pk->val, g->start, g->start + g->len, x))
    return;
  g->len -= 1;
  pk->dead += 1;
  if (g->len == 0) {
    pk->seg_of[s] = -1;
    pk->dead_seg += 1;
  }
}

// Drops the packed U eta r (its segment stays in place, empty).
void pack_drop(eta_pack* pk, int r) {
  int32_t q = pk->seg_of[r];
  if (q < 0)
    return;
  pk->dead += pk->seg[q].len;
  pk->dead_seg += 1;
  pk->seg[q].len = 0;
  pk->seg_of[r] = -1;
}

// Takes the entry of eta r out of packed row x, the later ones moving up to
// keep their order; a missing entry is reported.
void rows_unlink(eta_rows* rw, int x, int r) {
  if (take_entry(rw->idx, rw->val, rw->start[x], rw->start[x] + rw->len[x], r))
    rw->len[x] -= 1;
}

#ifdef ZELKOR_DIAG
// Row r and column r of U off the chains (the library build keeps them for
// its dumps and the chain walk).  The entries keep their pool slots.
void remove_row_col_chains(b_rec* b, int r) {
  lumx* lu = b->lu;
  eta_pfv* up = b->up.pfv;
  for (int32_t k = b->up.aux[r].first; k >= 0; k = lu->av.nextj[k])
    chain_unlink(&up[lu->av.j[k]].first, lu->av.nexti, lu->av.i, r);  // entry (r, s) off eta s
  for (int32_t k = up[r].first; k >= 0; k = lu->av.nexti[k])
    chain_unlink(&b->up.aux[lu->av.i[k]].first, lu->av.nextj, lu->av.j, r);  // (x, r) off row x
  b->up.aux[r].first = -1;
  up[r].first = -1;
}
#endif

// Removes row r and column r from U: entry (r, s) off every eta s and (x, r)
// off every row x, in the packed file, its rows and (library build) its
// chains; the etas and rows left empty leave their lists.
void remove_row_col(b_rec* b, int r) {
  ZK_DIAG_ONLY(remove_row_col_chains(b, r));
  eta_pack* pk = &b->upp;
  eta_rows* rw = &b->upr;
  for (int32_t k = rw->start[r], end = k + rw->len[r]; k < end; ++k) {
    int s = rw->idx[k];
    pack_unlink(pk, s, r);
    if (ZK_DIAG && pk->seg_of[s] < 0 && b->up.pfv[s].nz_next != -2)
      nz_list_remove(&b->up, s, b->sz);
  }
  rw->len[r] = 0;
  int32_t q = pk->seg_of[r];
  if (q >= 0)
    for (int32_t k = pk->seg[q].start, end = k + pk->seg[q].len; k < end; ++k) {
      int x = pk->idx[k];
      rows_unlink(rw, x, r);
      if (rw->len[x] == 0)
        row_list_remove(&b->up, x);
    }
  row_list_remove(&b->up, r);
  pack_drop(pk, r);
}

// Room in U's rows for one more entry in each row of the spike (but r): a
// row that is full moves to the end of the storage with twice its room.
// When the storage is short, the rows are packed afresh from the packed file
// (the order in each row is the order of the etas' segments, in which their
// entries came); when that is not enough either, the storage grows.  False
// when memory ran out.
// The storage the rows of the spike (but r) need to take one entry more:
// twice its room, and 4, for each full row, which moves.
long long spike_rows_need(const eta_rows* rw, int r, const lpvect2* spike) {
  long long need = 0;
  for (int32_t k = spike->head; k >= 0; k = spike->next[k])
    if (k != r && rw->len[k] == rw->cap[k])
      need += 2LL * rw->len[k] + 4;
  return need;
}

bool rows_room(b_rec* b, int r, const lpvect2* spike) {
  eta_rows* rw = &b->upr;
  long long need = spike_rows_need(rw, r, spike);
  if (rw->n_used + need > rw->cap_ent && rw->dead > 0) {
    rows_from_pack(rw, &b->upp, b->sz);
    need = spike_rows_need(rw, r, spike);
  }
  if (rw->n_used + need <= rw->cap_ent)
    return true;
  long long cap = std::max<long long>(2LL * rw->cap_ent, rw->n_used + need);
  if (cap > INT32_MAX || mem_grow(&rw->idx, cap) == nullptr || mem_grow(&rw->val, cap) == nullptr)
    return false;
  rw->cap_ent = (int32_t)cap;
  return true;
}

// Appends entry (eta r, v) to packed row x, the most recent of the row,
// moving the row to the end of the storage when it is full (rows_room made
// the room).
void rows_append(eta_rows* rw, int x, int r, double v) {
  if (rw->len[x] == rw->cap[x]) {
    int32_t to = rw->n_used;
    int32_t cap = 2 * rw->len[x] + 4;
    std::copy(rw->idx + rw->start[x], rw->idx + rw->start[x] + rw->len[x], rw->idx + to);
    std::copy(rw->val + rw->start[x], rw->val + rw->start[x] + rw->len[x], rw->val + to);
    rw->dead += rw->cap[x];
    rw->start[x] = to;
    rw->cap[x] = cap;
    rw->n_used = to + cap;
  }
  int32_t at = rw->start[x] + rw->len[x]++;
  rw->idx[at] = r;
  rw->val[at] = v;
}

// The new U column r: -spike_k for every listed k ≠ r of the spike, in the
// packed file, its rows and (library build) its chains; the rows that get
// their first entry join the row list.  0, or the negative result of a failed
// allocation.
int store_spike(b_rec* b, int r, const lpvect2* spike) {
  int32_t* pending = lplu.ips1;  // free while an update runs: search scratch
  eta_pack* pk = &b->upp;
  int32_t start = pk->n_ent;
  int m = 0;
  ZK_DIAG_ONLY(int32_t tail = -1);
  int rc = pack_room(pk, 0) && rows_room(b, r, spike) ? 0 : -2;
  if (rc < 0)
    log_error("**** lu_pivotting: cannot malloc\n");
  for (int32_t k = spike->head; k >= 0 && rc == 0; k = spike->next[k]) {
    if (spike->usef[k] != spike->mark)
      CHKB(spike->mark, spike->usef[k], spike->mark);
    if (k == r)
      continue;
    double v = -spike->va[k];
    if (negligible(v))
      continue;
#ifdef ZELKOR_DIAG
    int slot = lumx_new_av(b->lu);
    if (slot < 0) {
      rc = slot;
      break;
    }
    lu_lu_append_tail(b->lu, slot, 1, k, r, v, &b->up.pfv[r].first, &tail, b->up.aux);
#endif
    if (pk->n_ent == pk->cap_ent && !pack_room(pk, 1)) {
      log_error("**** lu_pivotting: cannot malloc\n");
      rc = -2;
      break;
    }
    if (b->up.aux[k].aux_next == -2)
      pending[m++] = k;
    pk->idx[pk->n_ent] = k;
    pk->val[pk->n_ent++] = v;
    rows_append(&b->upr, k, r, v);
  }
  pack_close(pk, r, start);  // the eta goes last in the step order
  row_list_insert(&b->up, b->up_ord, pending, m);
  return rc;
}

// Packs U again, in place and in step order, when the update has left more
// unused entries or segments than used ones.
void pack_compact(b_rec* b) {
  eta_pack* pk = &b->upp;
  if (pk->dead <= pk->n_ent / 2 + 64 && pk->dead_seg <= pk->n_seg / 2 + 64)
    return;
  int32_t n = 0;
  int32_t kept = 0;
  for (int32_t q = 0; q < pk->n_seg; ++q) {
    eta_seg g = pk->seg[q];
    if (g.len == 0)
      continue;
    std::copy(pk->idx + g.start, pk->idx + g.start + g.len, pk->idx + n);
    std::copy(pk->val + g.start, pk->val + g.start + g.len, pk->val + n);
    pk->seg[kept] = eta_seg{g.row, n, g.len};
    pk->seg_of[g.row] = kept++;
    n += g.len;
  }
  pk->n_ent = n;
  pk->n_seg = kept;
  pk->dead = pk->dead_seg = 0;
}

// Appends r at the end of a list threaded through pfv (the step list with
// next/prev, or the non-empty list with nz_next/nz_prev).
void list_append(eta_file* f, int r, int sz, bool nz_list) {
  int32_t& tail = nz_list ? f->nz_tail : f->tail;
  int32_t& head = nz_list ? f->nz_head : f->head;
  eta_pfv* h = &f->pfv[r];
  CHKA(-1, tail, sz);
  (nz_list ? h->nz_next : h->next) = -1;
  (nz_list ? h->nz_prev : h->prev) = tail;
  if (tail < 0)
    head = r;
  else
    (nz_list ? f->pfv[tail].nz_next : f->pfv[tail].next) = r;
  tail = r;
}

// Moves eta r to the end of U's step order (and, in the library build, of
// its non-empty list when it has entries).  Row r has no entries now, so the
// row list keeps its order.
void move_eta_last(b_rec* b, int r) {
  eta_file* f = &b->up;
  eta_pfv* h = &f->pfv[r];
  if (h->prev < 0)
    f->head = h->next;
  else
    f->pfv[h->prev].next = h->next;
  if (h->next < 0)
    f->tail = h->prev;
  else
    f->pfv[h->next].prev = h->prev;
  h->next = -2;
  list_append(f, r, b->sz, false);
  if (ZK_DIAG) {
    if (h->nz_next != -2)
      nz_list_remove(f, r, b->sz);
    if (b->upp.seg_of[r] >= 0)
      list_append(f, r, b->sz, true);
  }
  b->up_ord[r] = b->up_ord_next++;
}

// Row r of U⁻¹ into vwk1 (row-id space).
void row_of_u_inverse(b_rec* b, int r) {
  lpvect2* p = &lplu.vwk1;
  p->n = b->sz;
  if (b->sz < 1 || b->sz > p->max_n)
    CHKB(1, b->sz, p->max_n);
  lpvect2_newmark(p);
  lpvect2_set(p, r, 1.0);
  lu_btran_v21(b, p);
}

// What one walk of the spike gives: the pivot α = p·spike over its listed
// positions, Σ|p_k spike_k| (see pivot_condition) and the spike's largest
// magnitude, each summed or taken in list order.
struct spike_walk {
  double alpha;
  double abs_sum;
  double largest;
};

spike_walk walk_spike(const lpvect2* spike, const lpvect2* p) {
  spike_walk w{0.0, 0.0, 0.0};
  for (int32_t k = spike->head; k >= 0; k = spike->next[k]) {
    const double v = spike->va[k];
    if (p->usef[k] == p->mark) {
      w.alpha = v * p->va[k] + w.alpha;
      w.abs_sum += std::fabs(v * p->va[k]);
    }
    if (spike->usef[k] == spike->mark)
      w.largest = larger(w.largest, std::fabs(v));
  }
  return w;
}

// The condition of the pivot alpha, sum |p_k spike_k| / |alpha|: how much
// the rounding errors of the R eta's sum weigh, on the new column itself,
// against the value it forms.
double pivot_condition(const spike_walk& w) { return w.abs_sum / std::fabs(w.alpha); }

// The largest magnitude listed in the spike.
double spike_max(const lpvect2* spike) {
  double m = 0.0;
  for (int32_t k = spike->head; k >= 0; k = spike->next[k])
    if (spike->usef[k] == spike->mark)
      m = larger(m, std::fabs(spike->va[k]));
  return m;
}

// The new column a_s as it comes, before the update transforms it: its
// listed positions into lplu.ips2, their values into lplu.dwk2 at the same
// position (both free while an update runs); their count.
int keep_column(const lpvect2* a_s) {
  int m = 0;
  for (int32_t k = a_s->head; k >= 0; k = a_s->next[k])
    if (a_s->usef[k] == a_s->mark) {
      lplu.ips2[m++] = k;
      lplu.dwk2[k] = a_s->va[k];
    }
  return m;
}

// The largest magnitude of the column kept by keep_column.
double kept_max(int m) {
  double big = 0.0;
  for (int i = 0; i < m; ++i)
    big = larger(big, std::fabs(lplu.dwk2[lplu.ips2[i]]));
  return big;
}

// (row r of B^-1)·a_s over the new column kept by keep_column (m positions),
// the row given in rho.
double kept_dot(const lpvect2* rho, int m) {
  const int32_t* at = lplu.ips2;
  const double* a = lplu.dwk2;
  double alpha = 0.0;
  for (int i = 0; i < m; ++i)
    if (rho->usef[at[i]] == rho->mark)
      alpha = a[at[i]] * rho->va[at[i]] + alpha;
  return alpha;
}

// Row r of B^-1 (row r of U^-1, in vwk1, carried through the R etas, the
// pivots and L, in the handle's zk_row) times the new column kept by
// keep_column (m positions): the pivot computed the other way round, as a
// sparse backward solve of e_r gives it.
double row_pivot(b_rec* b, const lpvect2* p, int m) {
  lpvect2* rho = &b->zk_row;
  rho->n = b->sz;
  lpvect2_copy(rho, p);
  btran_v22_stages(b, rho);
  return kept_dot(rho, m);
}

// Entry r of U^-1·spike: the pivot as a forward solve gives it, through the
// U etas walked by columns (the update's own alpha = p·spike takes p from
// the U etas walked by rows).  The spike is copied into the handle's zk_row.
double column_pivot(b_rec* b, int r, const lpvect2* spike) {
  lpvect2* x = &b->zk_row;
  x->n = b->sz;
  lpvect2_newmark(x);
  for (int32_t k = spike->head; k >= 0; k = spike->next[k])
    if (spike->usef[k] == spike->mark)
      lpvect2_set(x, k, spike->va[k]);
  if (x->head >= 0)
    ftran_v22_stages(b, x);
  return x->usef[r] == x->mark ? x->va[r] : 0.0;
}

// The accuracy check of an update (b->upd_agree_tol > 0), for the pivot
// alpha = p·spike at row r (p row r of U^-1, sw the walk of the spike) of the
// new column kept by keep_column (m positions):
//  - a pivot below UPDATE_CHECK_BELOW times the largest magnitude of the
//    spike or of the column (where one that is mostly rounding error would
//    lie) is computed again by a forward solve, (U^-1·spike)_r, and by a
//    backward one, (row r of B^-1)·a_s; the two must agree to upd_agree_tol
//    relative (rounding errors take other courses in each);
//  - the multipliers of the new R eta against its own row, max|p_k| over row
//    r of U^-1 (p_r = 1), must not exceed upd_growth_max: the R eta forms
//    y_r = (p·y) / alpha, whose rounding error is about eps·max|p_k| times the
//    size of y;
//  - the R eta's own entry 1/alpha must survive the drop tolerance.
// Records the figures in b (upd_agree, 0 when not computed; upd_growth;
// upd_cond, see pivot_condition); true when the update may go on.  What g
// gives (the forward solve x of the new column, the row r of B^-1) stands
// for what would be computed here, bit for bit.
bool pivot_checked(b_rec* b, int r, const lpvect2* spike, const lpvect2* p, const spike_walk& sw,
                   int m, const update_given* g) {
  const double alpha = sw.alpha;
  const double largest = sw.largest;
  b->upd_agree = 0.0;
  if (std::fabs(alpha) < UPDATE_CHECK_BELOW * std::fmax(largest, kept_max(m))) {
    bool known = g != nullptr && g->x != nullptr;
    double by_column = known ? value_at(g->x, r) : column_pivot(b, r, spike);
    double by_row = g != nullptr && g->b_row != nullptr ? kept_dot(g->b_row, m) : row_pivot(b, p, m);
    double big = std::fmax(std::fabs(by_column), std::fabs(by_row));
    b->upd_agree = big > 0.0 ? std::fabs(by_column - by_row) / big : 1.0;
  }
  b->upd_growth = spike_max(p);
  b->upd_cond = pivot_condition(sw);
  return std::fabs(alpha) < 1.0 / UPDATE_DROP_TOL && b->upd_agree <= b->upd_agree_tol &&
         b->upd_growth <= b->upd_growth_max;
}

// The update once the pivot is accepted: R eta, U row and column r, the new
// column, the new step order.
int apply_update(b_rec* b, int r, const lpvect2* spike, const lpvect2* p, double alpha) {
  int rc = add_r_eta(b, r, p, 1.0 / alpha);
  if (rc < 0)
    return rc;
  remove_row_col(b, r);
  rc = store_spike(b, r, spike);
  if (rc < 0) {
    b->fact_state = rc;  // U is half rebuilt: no transform may use it
    return rc;
  }
#ifdef ZELKOR_DIAG
  if (trace_pivotting > 1) {
    log_printf("αs'のη変換 ｒ(%d)\n", r);
    dump_av_chain(b->lu, b->up.pfv[r].first, r);
  }
#endif
  move_eta_last(b, r);
  pack_compact(b);
  if (b->upd_agree_tol > 0.0) {
    b->upd_cond_sum += b->upd_cond;
    b->upd_agree_max = std::fmax(b->upd_agree_max, b->upd_agree);
  }
  return b->n_br;
}

#ifdef ZELKOR_DIAG
void dump_update(b_rec* b) {
  print_ivec(b->ips1, b->sz, "b->ips1[]＝", 0);
  print_ivec(b->ips2, b->sz, "b->ips2[]＝", 0);
  print_dvec(b->diag_v, b->sz, "対角[]＝", 0);
  dump_lw(b);
  dump_br(b);
  dump_up(b);
}
#endif

}  // namespace

// Replaces the basis column matched to pivot row r by a_s (indexed by row of
// B; on return it holds the spike with 1.0 at r).  The new n_br on success;
// 0 when refused for a small pivot (absolute, or relative to the spike with
// upd_rel_tol) or because the factorization is rank
// deficient; fact_state when it is negative; -1 for r out of range; -2 when
// memory ran out (a half-built U then sets fact_state to -2).
int lu_pivotting(b_rec* b, int r, lpvect2* a_s) { return lu_pivotting_given(b, r, a_s, nullptr); }

// lu_pivotting with some of its work done already (g, see lp_sm_lu.h).
int lu_pivotting_given(b_rec* b, int r, lpvect2* a_s, const update_given* g) {
  ZK_TRACE(trace_pivotting, TRACE_ENTRY, "lu_pivotting r(%d)\n", r);
#ifdef ZELKOR_DIAG
  if (trace_pivotting > 1)
    lpvect2_print(a_s, b->sz, "ａs", 1);
#endif
  int rc = 0;
  int kept = 0;
  if (CHKA(0, r, b->sz)) {
    rc = -1;
  } else if (factor_invalid(b)) {
    rc = b->fact_state < 0 ? b->fact_state : 0;
  } else {
    lu_eta_rows(b);
    int copy_rc = 0;
#ifdef ZELKOR_DIAG
    // The copy follows the basis: column ips1[r] becomes a_s.  A refused
    // update, or one the copy has no memory for, puts the old column back,
    // so the copy keeps matching the factor.
    lumx* bs = basis_check != 0 ? b->bs : nullptr;
    int col = b->ips1[r];
    int32_t old_head = bs != nullptr ? bs->col_head[col] : -1;
    if (bs != nullptr)
      copy_rc = lu_make_B_1(bs, a_s, col);
#endif
    // Row r of U^-1 and the spike: computed here, or what g hands over,
    // taken as it is.
    const lpvect2* p = &lplu.vwk1;
    lpvect2* spike = a_s;
    if (copy_rc < 0) {
      rc = copy_rc;  // the pool of the copy could not grow: reported, nothing changed
    } else {
      if (g != nullptr && g->u_row != nullptr)
        p = g->u_row;
      else
        row_of_u_inverse(b, r);
#ifdef ZELKOR_DIAG
      if (trace_pivotting > 1)
        lpvect2_print(p, b->sz, "ｕr", 1);
#endif
      if (b->upd_agree_tol > 0.0)
        kept = keep_column(a_s);
      if (g != nullptr && g->spike != nullptr)
        spike = g->spike;
      else
        rc = lu_ftran_v21(b, a_s);
    }
    if (copy_rc >= 0 && rc >= 0) {
      const spike_walk sw = walk_spike(spike, p);
      const double alpha = sw.alpha;
      bool unstable = (b->upd_rel_tol > 0.0 && std::fabs(alpha) < b->upd_rel_tol * sw.largest) ||
                      (b->upd_agree_tol > 0.0 && !pivot_checked(b, r, spike, p, sw, kept, g));
      lpvect2_set(spike, r, 1.0);
      rc = (-UPDATE_PIVOT_TOL <= alpha && alpha <= UPDATE_PIVOT_TOL) || unstable
               ? 0
               : apply_update(b, r, spike, p, alpha);
    }
#ifdef ZELKOR_DIAG
    if (rc <= 0 && bs != nullptr)
      bs->col_head[col] = old_head;
    if (rc > 0 && basis_check > 1)
      lu_kakunin_d(b);
#endif
  }
#ifdef ZELKOR_DIAG
  if (trace_pivotting > 2)
    dump_update(b);
  ZK_TRACE(trace_pivotting, TRACE_EXIT, "lu_pivotting rc(%d) \n", rc);
#endif
  return rc;
}

#ifdef ZELKOR_DIAG
// Replaces column j of the copy B by the listed non-zeros of a_s.  The old
// elements keep their slots (and stay on their row lists, which the products
// do not read).  The slot of the last element appended, 0 when none, or the
// negative result of a failed append.
int lu_make_B_1(lumx* bs, const lpvect2* a_s, int j) {
  ZK_TRACE(trace_make_B_1, TRACE_ENTRY, "lu_make_B_1 j(%d) \n", j);
  bs->col_head[j] = -1;
  int rc = 0;
  for (int32_t k = a_s->head; k >= 0 && rc >= 0; k = a_s->next[k])
    if (a_s->va[k] != 0.0)
      rc = lumx_append(bs, k, j, a_s->va[k]);
  ZK_TRACE(trace_make_B_1, TRACE_EXIT, "lu_make_B_1 rc(%d) \n", rc);
  if (trace_make_B_1 > 1)
    dump_lumx(bs, "lu_make_B_1()１列置換基底行列");
  return rc;
}
#endif
