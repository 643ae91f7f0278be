// zk_simplex: column replacement, sparse solves, refactorization advice,
// rank repair pairs and the condition estimate of the fast library.  The
// exported routines are documented in include/zelkor_simplex.h, the fields
// they keep in the handle in zk_simplex.h.
#include "zk_simplex.h"

#include <climits>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "lp_sm_lu.h"
#include "zelkor_simplex.h"

namespace {

// ---- guards --------------------------------------------------------------------------------
//
// As the exports of zelkor.h guard: a failed guard writes one check report
// and the routine refuses with -1.

// Sized, factorized since, and the calling thread's work record covers the
// order.
bool factorized(const b_rec* b) {
  return b != nullptr && b->lu != nullptr && b->fact_done != 0 && lplu_covers(b->sz);
}

// Also a valid full-rank factorization, which the solves and updates need.
bool full_rank(const b_rec* b) { return factorized(b) && b->fact_state == 0; }

bool refuse_unless(bool ok) { return CHKB(1, ok, 1) != 0; }

// The scratch vector sized for the handle's order: once per larger order.
bool scratch_ready(b_rec* b) {
  lpvect2* all[] = {&b->zk_vec, &b->zk_bvec, &b->zk_in, &b->zk_spike,
                    &b->zk_p,   &b->zk_col,  &b->zk_row};
  for (lpvect2* v : all)
    if (v->max_n <= b->sz && lpvect2_alloc(v, b->sz, nullptr) != 0)
      return false;
  for (lpvect2* v : all)
    v->n = b->sz;
  return true;
}

// What a sparse solve of the interface reads of its last stage: the values
// (the caller gets its non-zeros in no particular order), expected to fill
// much of the order when the solve before it of the same kind did (a third
// or more).
solve_use expected_use(const b_rec* b, int32_t last_nz) {
  return (long long)last_nz * 3 >= b->sz ? SOLVE_VALUES_DENSE : SOLVE_VALUES;
}

// Whether two vectors list the same positions in the same order with the
// same values, bit for bit.
bool same_vector(const lpvect2* a, const lpvect2* b) {
  int32_t p = a->head;
  int32_t q = b->head;
  for (; p >= 0 && q >= 0; p = a->next[p], q = b->next[q])
    if (p != q || (a->usef[p] == a->mark) != (b->usef[q] == b->mark) ||
        std::memcmp(&a->va[p], &b->va[q], sizeof(double)) != 0)
      return false;
  return p < 0 && q < 0;
}

// Entries an eta file holds now (the update leaves some unused).
int64_t live_entries(const eta_pack& p) { return (int64_t)p.n_ent - p.dead; }

// ---- settings ------------------------------------------------------------------------------

double update_rel_tol(const b_rec* b) {
  return b->zk_rel_tol_set ? b->zk_rel_tol : ZK_UPDATE_REL_TOL;
}

int refactor_updates(const b_rec* b) {
  return b->refactor_after > 0 ? b->refactor_after : ZK_REFACTOR_UPDATES;
}

// s + |v| for a sum of magnitudes that must stay finite: a column norm that
// would overflow is kept as the largest double (the condition estimate
// built on it can then only come out too large, never too small).
double add_abs(double s, double v) { return std::fmin(s + std::fabs(v), DBL_MAX); }

// 1 / (a·b) for a, b > 0 whose product may overflow or underflow; NaN when
// either is NaN.
double reciprocal_product(double a, double b) {
  int ea, eb;
  double ma = std::frexp(a, &ea);
  double mb = std::frexp(b, &eb);
  return std::ldexp(1.0 / (ma * mb), -(ea + eb));
}

// The error that the accepted replacements may have added to a solve,
// relative to its size: the machine epsilon times the sum of their pivots'
// conditions (the rounding of each R eta's sum, measured on its own column).
double update_error_bound(const b_rec* b) { return DBL_EPSILON * b->upd_cond_sum; }

// A whole number from 1 to the largest int.
bool count_value(double v) { return v >= 1.0 && v <= INT32_MAX && v == std::floor(v); }

// ---- loading a sparse vector -----------------------------------------------------------------

// The positions idx[0 .. nz) all lie in 0 .. n-1.
bool positions_valid(const int* idx, int nz, int n) {
  for (int k = 0; k < nz; ++k)
    if (idx[k] < 0 || idx[k] >= n)
      return false;
  return true;
}

// Arguments of a sparse solve: all present, 0 <= *nz <= n, positions in range.
bool solve_args_valid(const b_rec* b, const double* x, const int* idx, const int* nz) {
  return x != nullptr && idx != nullptr && nz != nullptr && *nz >= 0 && *nz <= b->sz &&
         positions_valid(idx, *nz, b->sz);
}

// The values x[idx[k]] into a new generation of v at position at(idx[k]),
// zero values left out, and every x[idx[k]] set to 0.
template <class At>
void load_listed(lpvect2* v, double* x, const int* idx, int nz, At at) {
  lpvect2_newmark(v);
  for (int k = 0; k < nz; ++k) {
    int p = idx[k];
    if (x[p] != 0.0) {
      lpvect2_set(v, at(p), x[p]);
      x[p] = 0.0;
    }
  }
}

// The non-zeros of v into x at position at(p), their positions into idx;
// their count.
template <class At>
int store_listed(const lpvect2* v, double* x, int* idx, At at) {
  int count = 0;
  for (int32_t p = v->head; p >= 0; p = v->next[p]) {
    if (v->usef[p] != v->mark || v->va[p] == 0.0)
      continue;
    int q = at(p);
    x[q] = v->va[p];
    idx[count++] = q;
  }
  return count;
}

// ---- the condition estimate --------------------------------------------------------------------

// ||v||_1 over n entries.
double norm1(const double* v, int n) {
  double s = 0.0;
  for (int i = 0; i < n; ++i)
    s += std::fabs(v[i]);
  return s;
}

// The position of the largest |v_i| (the first of equals).
int arg_max_abs(const double* v, int n) {
  int best = 0;
  for (int i = 1; i < n; ++i)
    if (std::fabs(v[i]) > std::fabs(v[best]))
      best = i;
  return best;
}

// s_i = sign(y_i) (+1 for 0); true when s was already that vector.
bool signs_of(const double* y, double* s, int n) {
  bool same = true;
  for (int i = 0; i < n; ++i) {
    double t = y[i] >= 0.0 ? 1.0 : -1.0;
    same = same && s[i] == t;
    s[i] = t;
  }
  return same;
}

// Scratch of the estimate: n doubles each, allocated per call.
struct estimate_work {
  double* x;  // the vector tried
  double* y;  // B^-1 x, then B^-T s
  double* s;  // sign(B^-1 x)
  bool allocate(int n) {
    x = y = s = nullptr;
    if (mem_grow(&x, n) != nullptr && mem_grow(&y, n) != nullptr && mem_grow(&s, n) != nullptr)
      return true;
    log_error("**** zk_simplex: cannot malloc\n");
    release();
    return false;
  }
  void release() {
    MEM_FREE(x, "x");
    MEM_FREE(y, "y");
    MEM_FREE(s, "s");
  }
};

// The vectors the estimate tries: e_j for j >= 0, else the constant vector
// (1/n, ..., 1/n) (ONES) or the alternating x_i = (-1)^i (1 + i/(n-1)).
enum { TRY_ONES = -1, TRY_ALTERNATING = -2 };

void set_trial(double* x, int n, int which) {
  for (int i = 0; i < n; ++i) {
    if (which == TRY_ONES)
      x[i] = 1.0 / n;
    else if (which == TRY_ALTERNATING)
      x[i] = (i % 2 == 0 ? 1.0 : -1.0) * (1.0 + (n > 1 ? (double)i / (n - 1) : 0.0));
    else
      x[i] = i == which ? 1.0 : 0.0;
  }
}

// Hager's estimate of ||B^-1||_1 with Higham's refinements: the largest
// ||B^-1 x||_1 / ||x||_1 over x = (1/n, ..., 1/n), the unit vectors e_j that
// the gradient z = B^-T sign(B^-1 x) points to (5 vectors in all at most),
// and the alternating vector.  Each candidate is such a ratio, so none
// exceeds ||B^-1||_1.  *best receives the vector that gave the estimate.
double inverse_norm1_estimate(b_rec* b, const estimate_work& w, int* best) {
  const int n = b->sz;
  const int max_vectors = 5;
  set_trial(w.x, n, TRY_ONES);
  lu_ftran(b, w.y, w.x);
  double est = norm1(w.y, n);
  *best = TRY_ONES;
  if (n == 1)
    return est;  // exact
  for (int i = 0; i < n; ++i)
    w.s[i] = 0.0;  // no sign vector yet
  signs_of(w.y, w.s, n);
  lu_btran(b, w.y, w.s);  // z = B^-T sign(B^-1 x)
  int j = arg_max_abs(w.y, n);
  for (int tried = 1; tried < max_vectors; ++tried) {
    // x = e_j, the steepest ascent of ||B^-1 x||_1 from the last x.
    set_trial(w.x, n, j);
    lu_ftran(b, w.y, w.x);
    double now = norm1(w.y, n);
    bool grew = now > est;
    if (grew) {
      est = now;
      *best = j;
    }
    // The same signs again, or no growth: a local maximum.
    if (signs_of(w.y, w.s, n) || !grew)
      break;
    lu_btran(b, w.y, w.s);
    int last = j;
    j = arg_max_abs(w.y, n);
    if (std::fabs(w.y[last]) >= std::fabs(w.y[j]))
      break;  // the gradient points where we are
  }
  set_trial(w.x, n, TRY_ALTERNATING);
  lu_ftran(b, w.y, w.x);
  double alternating = norm1(w.y, n) / norm1(w.x, n);
  if (alternating > est) {
    est = alternating;
    *best = TRY_ALTERNATING;
  }
  return est;
}

// ||B||_1 of the factorized basis from the kept column sums.
double basis_norm1(const b_rec* b) {
  double m = 0.0;
  for (int c = 0; c < b->sz; ++c)
    m = std::fmax(m, b->col_abs[c]);
  return m;
}

// A basis factorized at full rank but singular to working precision: the
// pair (column j, row i) whose exchange grows |det B| the most, as far as
// the near-null vectors show.  With B^-1 x large, B^-1 x ~ v (u^T x) / sigma
// for the smallest singular value sigma and its vectors u, v: j takes the
// largest |v_j|, then i the largest |(B^-1)_{j,i}| (row j of B^-1, one
// BTRAN), and replacing column j by e_i multiplies det B by (B^-1)_{j,i}.
void near_null_pair(b_rec* b, const estimate_work& w, int best, int* col, int* row) {
  const int n = b->sz;
  set_trial(w.x, n, best);
  lu_ftran(b, w.y, w.x);
  *col = arg_max_abs(w.y, n);
  set_trial(w.x, n, *col);
  lu_btran(b, w.y, w.x);
  *row = arg_max_abs(w.y, n);
}

}  // namespace

// ---- bookkeeping of lu_factoring --------------------------------------------------------------

int zk_prepare_factoring(b_rec* b) {
  b->zk_stamp += 1;  // new factors: what the solves kept is stale
  const int n = b->sz;
  if (b->col_abs_cap < n + 1) {
    if (mem_grow(&b->col_abs, (long long)n + 1) == nullptr) {
      log_error("**** zk_prepare_factoring: cannot malloc\n");
      return -2;
    }
    b->col_abs_cap = n + 1;
  }
  // The work vectors of the sparse solves and the replacement, so that the
  // first of them after a factorization finds them (once per order).
  if (!scratch_ready(b))
    return -2;
  const lumx* lu = b->lu;
  if (lu_appended_in_order(lu)) {
    // No position twice: one pass over the slots, newest first as the
    // column lists run (the same sums).
    for (int c = 0; c < n; ++c)
      b->col_abs[c] = 0.0;
    for (int32_t k = lu->n_av - 1; k >= 0; --k)
      b->col_abs[lu->av.j[k]] += std::fabs(lu->av.v[k]);
    for (int c = 0; c < n; ++c)
      b->col_abs[c] = std::fmin(b->col_abs[c], DBL_MAX);  // as add_abs keeps them
    return 0;
  }
  double* sum = lplu.dwk1;  // per row, the column's value there
  for (int i = 0; i < n; ++i)
    sum[i] = 0.0;
  for (int c = 0; c < n; ++c) {
    for (int32_t k = lu->col_head[c]; k >= 0; k = lu->av.nexti[k])
      sum[lu->av.i[k]] += lu->av.v[k];
    double s = 0.0;
    for (int32_t k = lu->col_head[c]; k >= 0; k = lu->av.nexti[k]) {
      int i = lu->av.i[k];
      s = add_abs(s, sum[i]);  // once per row: the first visit clears it
      sum[i] = 0.0;
    }
    b->col_abs[c] = s;
  }
  return 0;
}

// ---- exported routines -------------------------------------------------------------------------

int zk_load_columns(lu_handle* h, int n, const int* col_start, const int* rows, const double* vals) {
  // Every argument checked before the handle is touched.
  long long stored = h != nullptr ? lumx_columns_stored(n, col_start, rows, vals) : -1;
  if (refuse_unless(stored >= 0))
    return -1;
  int rc = lu_resize(h, n);
  return rc != 0 ? rc : lumx_load_columns(h->lu, col_start, rows, vals, stored);
}

int zk_replace_column(lu_handle* h, int j, int nz, const int* rows, const double* vals) {
  // 1. Guards: a factorized handle of full rank, sound arguments.
  if (refuse_unless(full_rank(h)))
    return -1;
  const int n = h->sz;
  if (refuse_unless(0 <= j && j < n && nz >= 0 && (nz == 0 || (rows && vals)) &&
                    positions_valid(rows, nz, n)))
    return -1;
  int r = h->lu->col_k_head[j];  // the pivot row of column j, kept by every update
  if (refuse_unless(0 <= r && r < n && h->ips1[r] == j))
    return -1;
  if (!scratch_ready(h))
    return -2;
  // 2. The new column into the scratch vector, duplicates summed.
  lpvect2* a = &h->zk_col;
  lpvect2_newmark(a);
  for (int k = 0; k < nz; ++k)
    if (vals[k] != 0.0)
      lpvect2_add(a, rows[k], 1.0, vals[k]);
  double new_abs = 0.0;
  bool finite = true;
  for (int32_t p = a->head; p >= 0; p = a->next[p]) {
    finite = finite && std::isfinite(a->va[p]);
    new_abs = add_abs(new_abs, a->va[p]);
  }
  if (refuse_unless(finite))
    return -1;
  // 3. The update: the stability tests and the accuracy check of the
  // interface, no R-eta count report (zk_refactor_advice takes its place).
  h->upd_rel_tol = update_rel_tol(h);
  h->upd_agree_tol = ZK_UPDATE_AGREE_TOL;
  h->upd_growth_max = ZK_UPDATE_GROWTH_MAX;
  h->max_br = INT32_MAX;
  // What the last sparse solves computed for this column and this row since
  // the factors last changed, the update takes over instead of computing it
  // again: the same vectors give the same bits.
  update_given given{};
  if (h->zk_ftran_stamp == h->zk_stamp && same_vector(a, &h->zk_in)) {
    given.spike = &h->zk_spike;
    given.x = &h->zk_vec;
  }
  if (h->zk_btran_stamp == h->zk_stamp && h->zk_btran_row == r) {
    given.u_row = &h->zk_p;
    given.b_row = &h->zk_bvec;
  }
  int rc = lu_pivotting_given(h, r, a, &given);
  if (rc == 0) {
    // Refused: the factors stand, but the update marked the kept spike.
    if (given.spike != nullptr)
      h->zk_ftran_stamp = -1;
    return 1;
  }
  h->zk_stamp += 1;  // the factors changed, or broke
  if (rc < 0)
    return rc == -2 || h->fact_state == -2 ? -2 : -1;
  // 4. ||B||_1 of the new basis for the condition estimate.
  h->col_abs[j] = new_abs;
  return 0;
}

int zk_ftran_sparse(lu_handle* h, double* x, int* idx, int* nz) {
  if (refuse_unless(full_rank(h)) || refuse_unless(solve_args_valid(h, x, idx, nz)))
    return -1;
  if (!scratch_ready(h))
    return -2;
  lpvect2* v = &h->zk_vec;
  load_listed(v, x, idx, *nz, [](int row) { return row; });
  // The right-hand side and its spike kept for a replacement by this column.
  lpvect2_copy(&h->zk_in, v);
  h->zk_ftran_stamp = -1;
  if (lu_ftran_v21(h, v) != 0)
    return -1;  // not reached: the guards above cover every refusal
  lpvect2_copy(&h->zk_spike, v);
  if (lu_ftran_v22(h, v, expected_use(h, h->zk_ftran_nz)) != 0)
    return -1;
  h->zk_ftran_stamp = h->zk_stamp;
  // Position r of the result belongs to the column matched to pivot row r.
  const int32_t* col_of = h->ips1;
  *nz = store_listed(v, x, idx, [col_of](int r) { return col_of[r]; });
  h->zk_ftran_nz = *nz;
  return 0;
}

int zk_btran_sparse(lu_handle* h, double* y, int* idx, int* nz) {
  if (refuse_unless(full_rank(h)) || refuse_unless(solve_args_valid(h, y, idx, nz)))
    return -1;
  if (!scratch_ready(h))
    return -2;
  lpvect2* v = &h->zk_bvec;
  // Position r of the input carries the value of the column matched to r.
  const int32_t* row_of = h->lu->col_k_head;
  load_listed(v, y, idx, *nz, [row_of](int col) { return row_of[col]; });
  // A unit vector e_r: row r of U^-1 and of B^-1 kept for a replacement of
  // the column matched to r.
  int r = v->head;
  bool unit = r >= 0 && v->next[r] < 0 && v->va[r] == 1.0;
  h->zk_btran_stamp = -1;
  int rc = lu_btran_v21(h, v);
  if (unit)
    lpvect2_copy(&h->zk_p, v);
  if (rc == 1)
    rc = lu_btran_v22(h, v, expected_use(h, h->zk_btran_nz));
  if (rc != 0)
    return -1;  // not reached: the guards above cover every refusal
  if (unit) {
    h->zk_btran_stamp = h->zk_stamp;
    h->zk_btran_row = r;
  }
  *nz = store_listed(v, y, idx, [](int row) { return row; });
  h->zk_btran_nz = *nz;
  return 0;
}

int zk_refactor_advice(lu_handle* h, int* n_updates, long long* r_entries, long long* lu_entries) {
  if (refuse_unless(factorized(h)))
    return -1;
  int64_t in_r = live_entries(h->brp);
  int64_t in_lu = h->sz + live_entries(h->lwp) + live_entries(h->upp);
  if (n_updates != nullptr)
    *n_updates = h->n_br;
  if (r_entries != nullptr)
    *r_entries = in_r;
  if (lu_entries != nullptr)
    *lu_entries = in_lu;
  bool degraded = h->upd_agree_max > ZK_ADVICE_AGREE_TOL || update_error_bound(h) > ZK_ADVICE_ERROR;
  return h->fact_state != 0 || h->n_br >= refactor_updates(h) || in_r > in_lu || degraded;
}

int zk_singular_pairs(lu_handle* h, int* cols, int* rows) {
  if (refuse_unless(factorized(h) && h->fact_state >= 0 && (cols == nullptr) == (rows == nullptr)))
    return -1;
  const int n = h->sz;
  const lumx* lu = h->lu;
  int count = h->fact_state;
  if (count > 0) {
    if (cols == nullptr)
      return count;
    // Without a pivot: (*r)[col] == -1 and (*q)[row] == -1 of lu_factoring.
    int nc = 0;
    int nr = 0;
    for (int i = 0; i < n; ++i) {
      if (lu->col_k_head[i] < 0 && nc < count)
        cols[nc++] = i;
      if (lu->row_k_head[i] < 0 && nr < count)
        rows[nr++] = i;
    }
    return refuse_unless(nc == count && nr == count) ? -1 : count;
  }
  // Every line has a pivot: singular to working precision all the same?
  if (n == 0 || h->col_abs_cap <= n)
    return 0;
  estimate_work w;
  if (!w.allocate(n))
    return -2;
  int best;
  double rcond = reciprocal_product(basis_norm1(h), inverse_norm1_estimate(h, w, &best));
  // After replacements the estimate is that of the updated factors, which
  // may be that much off the basis.
  if (!(rcond >= std::fmax(ZK_SINGULAR_RCOND, update_error_bound(h)))) {
    count = 1;
    int col, row;
    near_null_pair(h, w, best, &col, &row);
    if (cols != nullptr) {
      cols[0] = col;
      rows[0] = row;
    }
  }
  w.release();
  return count;
}

double zk_rcond_estimate(lu_handle* h) {
  if (refuse_unless(full_rank(h) && h->sz >= 1 && h->col_abs_cap > h->sz))
    return -1.0;
  estimate_work w;
  if (!w.allocate(h->sz))
    return -2.0;
  int best;
  double result = reciprocal_product(basis_norm1(h), inverse_norm1_estimate(h, w, &best));
  w.release();
  return std::isnan(result) ? 0.0 : result;
}

int zk_set_param(lu_handle* h, int which, double value) {
  if (refuse_unless(h != nullptr))
    return -1;
  bool ok = std::isfinite(value);
  switch (which) {
    case ZK_PARAM_PIVOT_THRESHOLD:
      ok = ok && value > 0.0 && value <= 1.0;
      break;
    case ZK_PARAM_SEARCH_LIMIT:
    case ZK_PARAM_REFACTOR_UPDATES:
      ok = ok && count_value(value);
      break;
    case ZK_PARAM_UPDATE_REL_TOL:
      ok = ok && value >= 0.0 && value < 1.0;
      break;
    default:
      ok = false;
  }
  if (refuse_unless(ok))
    return -1;
  if (which == ZK_PARAM_PIVOT_THRESHOLD)
    h->piv_tol = value;
  else if (which == ZK_PARAM_SEARCH_LIMIT)
    h->piv_lines = (int32_t)value;
  else if (which == ZK_PARAM_REFACTOR_UPDATES)
    h->refactor_after = (int32_t)value;
  else {
    h->zk_rel_tol = value;
    h->zk_rel_tol_set = 1;
  }
  return 0;
}

double zk_get_param(const lu_handle* h, int which) {
  if (h == nullptr)
    return std::nan("");
  switch (which) {
    case ZK_PARAM_PIVOT_THRESHOLD:
      return lu_pivot_threshold(h);
    case ZK_PARAM_SEARCH_LIMIT:
      return lu_search_limit(h);
    case ZK_PARAM_UPDATE_REL_TOL:
      return update_rel_tol(h);
    case ZK_PARAM_REFACTOR_UPDATES:
      return refactor_updates(h);
  }
  return std::nan("");
}

// ---- version ---------------------------------------------------------------------------------

#define ZK_TEXT(x) #x
#define ZK_NUMBER(x) ZK_TEXT(x)

const char* zk_version(void) {
  return ZK_NUMBER(ZELKOR_VERSION_MAJOR) "." ZK_NUMBER(ZELKOR_VERSION_MINOR) "." ZK_NUMBER(
      ZELKOR_VERSION_PATCH);
}
