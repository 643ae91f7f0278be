// lp_lumx: sizing, clearing and freeing of the handle, its matrices and the
// shared work record; element insertion and removal; matrix-vector products.
// Record layouts in lp_lumx.h.
#include "lp_lumx.h"

#include <climits>
#include <initializer_list>
#include <cstring>

#include "lp_dump.h"

ZK_THREAD_LOCAL lplu_rec lplu;
ZK_THREAD_LOCAL signed char basis_check = 0;
ZK_THREAD_LOCAL signed char check_print = 0;

#ifdef ZELKOR_DIAG
trace_sw trace_lumx_renew = 0;
trace_sw trace_lumx_free = 0;
trace_sw trace_lu_free = 0;
trace_sw trace_lumx_new_av = 0;
trace_sw trace_lumx_append = 0;
trace_sw trace_lumx_k_append2 = 0;
trace_sw trace_lumx_k_rm_row_col = 0;
trace_sw trace_lumx_mult_mx_d = 0;
trace_sw trace_lumx_mult_d_mx = 0;
trace_sw trace_lumx_naiseki_d_a = 0;
#endif

// Largest order that keeps every per-size count (up to sz + 3) in 32 bits.
static const int32_t LUMX_MAX_ORDER = INT32_MAX - 3;

// ---- sizing helpers -------------------------------------------------------------------

template <class T>
static bool grow(T*& p, long long count) {
  return mem_grow(&p, count) != nullptr;
}

// The five pool arrays to `cap` slots, contents kept.
static bool grow_pool(lumx* a, long long cap) {
  return grow(a->av.i, cap) && grow(a->av.j, cap) && grow(a->av.nexti, cap) &&
         grow(a->av.nextj, cap) && grow(a->av.v, cap);
}

// First pool capacity for order sz: 2·sz²·density slots, computed as
// (sz·density)·sz·2 in doubles and truncated, at least 1.  Capped, because for
// large orders the formula asks for gigabytes; the pool doubles as needed.
static int32_t first_pool_slots(int sz, double density) {
  double want = ((double)sz * density) * (double)sz * 2.0;
  if (!(want >= 1.0))
    return 1;
  if (want >= (double)LUMX_FIRST_POOL_MAX)
    return LUMX_FIRST_POOL_MAX;
  return (int32_t)want;
}

// A zero-filled lumx record in *pa unless one exists.
static bool lumx_ensure(lumx** pa) {
  if (*pa != nullptr)
    return true;
  lumx* a = nullptr;
  if (!grow(a, 1))
    return false;
  memset(a, 0, sizeof *a);
  *pa = a;
  return true;
}

// Per-size arrays of the factor record: eta heads and chains, pivots, ips.
static bool size_factor_arrays(b_rec* b, int sz) {
  if (b->cap_br < BR_FIRST_CAP) {
    if (!grow(b->br.pfv, BR_FIRST_CAP))
      return false;
    b->cap_br = BR_FIRST_CAP;
  }
  long long need = (long long)sz + 1;
  if (b->max_sz >= need)
    return true;
  if (!(grow(b->lw.pfv, need) && grow(b->up.pfv, need) && grow(b->lw.aux, need) &&
        grow(b->up.aux, need) && grow(b->br.aux, need) && grow(b->diag_v, need) &&
        grow(b->ips1, need + 1) && grow(b->ips2, need + 1) && grow(b->up_ord, need) &&
        grow(b->lwp.seg_of, need) && grow(b->upp.seg_of, need)))
    return false;
  b->max_sz = (int32_t)need;
  return true;
}

// A matrix record for order sz, emptied.  The working matrix (work) has
// every per-line array; the copy bs only the counts and the main-list heads.
static bool size_matrix(lumx** pa, int sz, double density, bool work) {
  if (!lumx_ensure(pa))
    return false;
  lumx* a = *pa;
  a->n = a->m = sz;
  long long need = (long long)sz + 1;
  if (a->max_row < need) {
    if (!(grow(a->row_nz, need) && grow(a->row_head, need) &&
          (!work || (grow(a->row_k_head, need) && grow(a->rmax_v, need) && grow(a->rmax_f, need)))))
      return false;
    a->max_row = (int32_t)need;
  }
  if (a->max_col < need) {
    if (!(grow(a->col_nz, need) && grow(a->col_head, need) &&
          (!work || (grow(a->col_k_head, need) && grow(a->cmax_v, need) && grow(a->cmax_f, need)))))
      return false;
    a->max_col = (int32_t)need;
  }
  int32_t slots = first_pool_slots(sz, density);
  if (a->max_av < slots) {
    if (!grow_pool(a, slots))
      return false;
    a->max_av = slots;
  }
  lumx_clear(a);
  return true;
}

// The shared work record, to order sz.  Its capacity is cleared while a
// (re)allocation is under way, so that a failure half way leaves a record
// that counts as not sized and is allocated again next time.
static bool size_work_record(int sz) {
  long long need = (long long)sz + 1;
  if (lplu.dwk1 != nullptr && lplu.max_sz >= need)
    return true;
  int32_t kept = lplu.dwk1 != nullptr ? lplu.max_sz : 0;
  lplu.max_sz = 0;
  bool ok = grow(lplu.dwk1, need) && grow(lplu.dwk2, need) && grow(lplu.dwk3, need) &&
            grow(lplu.aibo, need) && grow(lplu.mt, 2 * need) && grow(lplu.ips1, need + 2) &&
            grow(lplu.ips2, need + 2) && grow(lplu.r_nztop, need) && grow(lplu.c_nztop, need) &&
            grow(lplu.r_nzlst, need) && grow(lplu.c_nzlst, need) &&
            grow(lplu.map_pred, need);
  if (!ok) {
    // Arrays grown before the failure are at least as large as before.
    lplu.max_sz = kept;
    return false;
  }
  // No row is marked for the eta builder unless a client marks it.
  memset(lplu.aibo, 0, (size_t)need * sizeof(int32_t));
  lplu.max_sz = (int32_t)need;
  return true;
}

bool lplu_covers(int sz) {
  long long need = (long long)sz + 1;
  return lplu.dwk1 != nullptr && lplu.max_sz >= need && lplu.vwk1.max_n >= need &&
         lplu.vwk2.max_n >= need;
}

// ---- lumx_renew ----------------------------------------------------------------------

static int lumx_renew_body(b_rec* b, int sz, int max_br, double density) {
  b->fact_done = 0;  // whatever the outcome, the old factors are gone
  // An order below -1 has no array size: it fails as an allocation would.
  if (sz < -1 || sz > LUMX_MAX_ORDER || !size_factor_arrays(b, sz))
    return -2;
  b->sz = sz;
  b->max_br = max_br;
  lumx_init_b(b);
  if (!size_matrix(&b->lu, sz, density, true))
    return -2;
  int rc = lpvect2_alloc(&lplu.vwk2, sz, nullptr);
  if (rc < 0)
    return -3;  // the vector allocator has written its own message
  rc = lpvect2_alloc(&lplu.vwk1, sz, nullptr);
  if (rc < 0)
    return -3;
  if (!size_work_record(sz))
    return -2;
#ifdef ZELKOR_DIAG
  if (basis_check != 0 && !size_matrix(&b->bs, sz, density, false))
    return -2;
#endif
  return 0;
}

// After a failed sizing the handle holds an empty matrix of order 0, so that
// a caller who goes on regardless meets range checks, never short arrays.
static void lumx_renew_failed(b_rec* b) {
  b->sz = 0;
  lumx* mats[2] = {b->lu, b->bs};
  for (lumx* a : mats)
    if (a != nullptr)
      a->n = a->m = a->n_av = a->n_nz = 0;
}

// Sizes the handle b for a matrix of order sz and empties it: the factor
// record's arrays, the working matrix lu, the shared work record and, in the
// library build while basis_check is on, the copy bs.  Arrays only grow.
// 0, or -2 after a "cannot malloc" message; the handle then stays deletable.
int lumx_renew(b_rec* b, int sz, int max_br, double density) {
  ZK_DIAG_ONLY(CHKB(0, 0, sz));
  ZK_TRACE(trace_lumx_renew, TRACE_ENTRY, "lumx_renew sz(%d) \n", sz);
  int rc = lumx_renew_body(b, sz, max_br, density);
  if (rc < 0) {
    if (rc == -2)
      log_error("**** lumx_renew: cannot malloc\n");
    rc = -2;
    lumx_renew_failed(b);
  }
  ZK_TRACE(trace_lumx_renew, TRACE_EXIT, "lumx_renew rc(%d) \n", rc);
  return rc;
}

// Empties the three eta files and the counts of etas; leaves fact_state,
// diag_v, ips1, ips2 and the R-eta heads as they are.
int lumx_init_b(b_rec* b) {
#ifdef ZELKOR_DIAG
  // The program's build leaves the heads as they are: the eta chains write
  // every head they use when they are built.
  size_t rows = b->sz > 0 ? (size_t)b->sz : 0;
  memset(b->lw.pfv, 0, rows * sizeof(eta_pfv));
  memset(b->up.pfv, 0, rows * sizeof(eta_pfv));
  memset(b->lw.aux, 0, rows * sizeof(eta_aux));
  memset(b->up.aux, 0, rows * sizeof(eta_aux));
  memset(b->br.aux, 0, rows * sizeof(eta_aux));
#endif
  eta_file* files[3] = {&b->br, &b->lw, &b->up};
  for (eta_file* f : files) {
    f->head = f->tail = -1;
    f->nz_head = f->nz_tail = -1;
    f->aux_head = f->aux_tail = -1;
    f->kind = 1;
  }
  b->br.kind = 2;
  b->n_br = b->n_lw = b->n_up = 0;
  for (eta_pack* p : {&b->lwp, &b->upp, &b->brp})
    p->n_ent = p->n_seg = p->dead = p->dead_seg = 0;
  b->chains_ready = 0;
  return 0;
}

// Empties a matrix: no slot handed out, every main list empty, every count 0.
// The active lists, the pivot-search arrays and the pool contents stay.
int lumx_clear(lumx* a) {
  a->n_av = 0;
  a->n_nz = 0;
  for (int32_t c = 0; c < a->n; ++c) {
    a->col_head[c] = -1;
    a->col_nz[c] = 0;
  }
  for (int32_t r = 0; r < a->m; ++r) {
    a->row_head[r] = -1;
    a->row_nz[r] = 0;
  }
  return 0;
}

// Hands out the next pool slot, doubling the pool when it is full (up to the
// largest 32-bit slot count).  The slot, or -2 after a "cannot malloc" message
// with the record unchanged.
int lumx_new_av(lumx* a) {
  int rc;
  if (a->max_av <= 0) {
    ZK_DIAG_ONLY(CHKA(1, a->max_av, a->max_av));
    ZK_DIAG_ONLY(CHKA(1, a->max_av, -1));
    const int32_t first = 100000;
    if (!grow_pool(a, first))
      goto fail;
    a->max_av = first;
  } else if (a->n_av >= a->max_av) {
    if (a->max_av == INT32_MAX)
      goto fail;
    long long cap = 2LL * a->max_av;
    if (cap > INT32_MAX)
      cap = INT32_MAX;
    if (!grow_pool(a, cap))
      goto fail;
    a->max_av = (int32_t)cap;
  }
  rc = a->n_av++;
  ZK_DIAG_ONLY(CHKB(1, a->n_av, a->max_av));
  ZK_TRACE(trace_lumx_new_av, TRACE_MIDDLE, "lumx_new_av rc(%d) \n", rc);
  return rc;
fail:
  log_error("**** lumx_new_av: cannot malloc\n");
  return -2;
}

// Frees a matrix record and its arrays.  The copy bs never has the active
// heads and pivot-search arrays; their null pointers are skipped.
static void lumx_free_matrix(lumx** pa, const char* label) {
  lumx* a = *pa;
  if (a == nullptr)
    return;
  MEM_FREE(a->av.i, "a->av.i");
  MEM_FREE(a->av.j, "a->av.j");
  MEM_FREE(a->av.nexti, "a->av.nexti");
  MEM_FREE(a->av.nextj, "a->av.nextj");
  MEM_FREE(a->av.v, "a->av.v");
  MEM_FREE(a->col_nz, "a->col_nz");
  MEM_FREE(a->col_head, "a->col_head");
  MEM_FREE(a->row_nz, "a->row_nz");
  MEM_FREE(a->row_head, "a->row_head");
  MEM_FREE(a->col_k_head, "a->col_k_head");
  MEM_FREE(a->row_k_head, "a->row_k_head");
  MEM_FREE(a->rmax_v, "a->rmax_v");
  MEM_FREE(a->rmax_f, "a->rmax_f");
  MEM_FREE(a->cmax_v, "a->cmax_v");
  MEM_FREE(a->cmax_f, "a->cmax_f");
  MEM_FREE(*pa, label);
}

// Frees every array of the handle and its two matrices (not the handle itself).
int lumx_free(b_rec* b) {
  if (b != nullptr) {
    MEM_FREE(b->br.pfv, "b->br.pfv");
    MEM_FREE(b->lw.pfv, "b->lw.pfv");
    MEM_FREE(b->up.pfv, "b->up.pfv");
    MEM_FREE(b->br.aux, "b->br.aux");
    MEM_FREE(b->lw.aux, "b->lw.aux");
    MEM_FREE(b->up.aux, "b->up.aux");
    MEM_FREE(b->ips1, "b->ips1");
    MEM_FREE(b->ips2, "b->ips2");
    MEM_FREE(b->diag_v, "b->diag_v");
    MEM_FREE(b->up_ord, "b->up_ord");
    for (eta_pack* p : {&b->lwp, &b->upp, &b->brp}) {
      MEM_FREE(p->idx, "pack->idx");
      MEM_FREE(p->val, "pack->val");
      MEM_FREE(p->seg, "pack->seg");
      MEM_FREE(p->seg_of, "pack->seg_of");
      *p = eta_pack{};
    }
    b->chains_ready = 0;
    MEM_FREE(b->col_abs, "b->col_abs");
    b->col_abs_cap = 0;
    lpvect2_free(&b->zk_vec);
    b->cap_br = 0;
    b->max_sz = 0;  // the per-size arrays are gone: the next sizing allocates them
    b->sz = 0;
    b->fact_done = 0;
    lumx_free_matrix(&b->bs, "b->bs");
    lumx_free_matrix(&b->lu, "b->lu");
  }
  ZK_TRACE(trace_lumx_free, TRACE_MIDDLE, "lumx_free \n");
  return 0;
}

// Frees the shared work record.  max_sz is kept; the next lumx_renew sees the
// null dwk1 and allocates afresh.
int lu_free(lplu_rec* w) {
  ZK_TRACE(trace_lu_free, TRACE_ENTRY, "lu_free \n");
  MEM_FREE(w->dwk1, "lplu->dwk1");
  MEM_FREE(w->dwk2, "lplu->dwk2");
  MEM_FREE(w->dwk3, "lplu->dwk3");
  MEM_FREE(w->aibo, "lplu->aibo");
  MEM_FREE(w->mt, "lplu->mt");
  MEM_FREE(w->ips1, "lplu->ips1");
  MEM_FREE(w->ips2, "lplu->ips2");
  lpvect2_free(&w->vwk2);
  lpvect2_free(&w->vwk1);
  xheap_free(&w->pxh_c);
  xheap_free(&w->pxh_r);
  MEM_FREE(w->r_nztop, "lplu->r_nztop");
  MEM_FREE(w->c_nztop, "lplu->c_nztop");
  MEM_FREE(w->r_nzlst, "lplu->r_nzlst");
  MEM_FREE(w->c_nzlst, "lplu->c_nzlst");
  MEM_FREE(w->map_pred, "lplu->map_pred");
  w->map_col = -1;
  ZK_TRACE(trace_lu_free, TRACE_EXIT, "lu_free \n");
  return 0;
}

// ---- element insertion and removal ------------------------------------------------------

// Takes a slot and fills it.  The slot, or the negative result of lumx_new_av.
static int lumx_store(lumx* a, int row, int col, double v) {
  int k = lumx_new_av(a);
  if (k >= 0)
    lumx_fill_slot(a, k, row, col, v);
  return k;
}

// Pushes every element of the chain from *from (linked through link[]) onto
// the front of the chain at *to, so they stand there in reverse order, and
// empties *from.
static void move_chain(int32_t* from, int32_t* to, int32_t* link) {
  for (int32_t s = *from; s >= 0;) {
    int32_t after = link[s];
    link[s] = *to;
    *to = s;
    s = after;
  }
  *from = -1;
}

// Appends element (row, col) = v at the front of the main lists.  The slot;
// -1 for a row or column out of range; 0 for a zero v (nothing stored);
// -2 when the pool cannot grow.  Duplicates are not detected.
// Every case of lumx_append, out of the way of its common case.
int lumx_append_checked(lumx* a, int row, int col, double v) {
  int rc;
  ZK_TRACE(trace_lumx_append, TRACE_ENTRY, "lumx_append row(%d)col(%d)v(%g) \n", row, col, v);
  if (row < 0 || row >= a->m) {
    ZK_DIAG_ONLY(CHKA(0, row, a->m));
    rc = -1;
  } else if (col < 0 || col >= a->n) {
    ZK_DIAG_ONLY(CHKA(0, col, a->n));
    rc = -1;
  } else if (v == 0.0) {
    ZK_DIAG_ONLY(CHKX(0, 0, v));
    rc = 0;
  } else if ((rc = lumx_store(a, row, col, v)) >= 0) {
    if (v > 1e30 || v < -1e30) {
      // The first report carries the element's row and column.
      ZK_DIAG_ONLY(CHKA(row, col, 0));
      ZK_DIAG_ONLY(CHKY(-1e30, v, 1e30));
    }
    lumx_link_front(a, rc, &a->col_head[col], &a->row_head[row]);
  }
  ZK_TRACE(trace_lumx_append, TRACE_EXIT, "lumx_append rc(%d) \n", rc);
  return rc;
}

// Appends element (row, col) = v at the front of the active lists (fill-in of
// the elimination; the caller guarantees row and col).  Results as lumx_append.
int lumx_k_append2(lumx* a, int row, int col, double v) {
  int rc;
  ZK_TRACE(trace_lumx_k_append2, TRACE_ENTRY, "lumx_k_append2 row(%d)col(%d)v(%g) \n", row, col, v);
  if (v == 0.0) {
    ZK_DIAG_ONLY(CHKX(0, 0, v));
    rc = 0;
  } else if ((rc = lumx_store(a, row, col, v)) >= 0) {
    lumx_link_front(a, rc, &a->col_k_head[col], &a->row_k_head[row]);
  }
  ZK_TRACE(trace_lumx_k_append2, TRACE_EXIT, "lumx_k_append2 rc(%d) \n", rc);
  return rc;
}

// Moves the active elements of row `row` and of column `col` onto the front of
// their main lists (in reverse order) and empties both active lists.  Only
// those two lists change.  mode 1 moves nothing.  The builds without
// diagnostics keep no finished row chains (nothing but the checks reads
// them): there the row's active list is only emptied.
int lumx_k_rm_row_col(lumx* a, int row, int col, int mode) {
  ZK_TRACE(trace_lumx_k_rm_row_col, TRACE_ENTRY, "lumx_k_rm_row_col row(%d) \n", row);
  CHKB(2, mode, 2);
  if (mode != 1) {
#ifdef ZELKOR_DIAG
    move_chain(&a->row_k_head[row], &a->row_head[row], a->av.nextj);
#else
    a->row_k_head[row] = -1;  // the finished row chains are kept for the checks only
#endif
    move_chain(&a->col_k_head[col], &a->col_head[col], a->av.nexti);
  }
  ZK_TRACE(trace_lumx_k_rm_row_col, TRACE_EXIT, "lumx_k_rm_row_col rc(%d) \n", 0);
  return 0;
}

// ---- matrix-vector products ---------------------------------------------------------------
//
// All walk the main column lists only; sums are held in doubles and each
// product is added as out = in·v + out.

// out[0..m) = A·in.
int lumx_mult_mx_d(const lumx* a, double* out, const double* in) {
  ZK_TRACE(trace_lumx_mult_mx_d, TRACE_MIDDLE, "lumx_mult_mx_d \n");
  const int32_t* ai = a->av.i;
  const int32_t* nexti = a->av.nexti;
  const double* av = a->av.v;
  for (int32_t r = 0; r < a->m; ++r)
    out[r] = 0.0;
  for (int32_t c = 0; c < a->n; ++c)
    for (int32_t s = a->col_head[c]; s >= 0; s = nexti[s])
      out[ai[s]] = in[c] * av[s] + out[ai[s]];  // out(i) += A(i,c) in(c)
  return 0;
}

// out[0..m) = A·vec, over the positions in use in vec.
int lumx_mult_mx_v(const lumx* a, double* out, const lpvect2* vec) {
  const int32_t* ai = a->av.i;
  const int32_t* nexti = a->av.nexti;
  const double* av = a->av.v;
  for (int32_t r = 0; r < a->m; ++r)
    out[r] = 0.0;
  for (int32_t c = 0; c < a->n; ++c) {
    if (vec->usef[c] != vec->mark)
      continue;
    double x = vec->va[c];
    for (int32_t s = a->col_head[c]; s >= 0; s = nexti[s])
      out[ai[s]] = x * av[s] + out[ai[s]];
  }
  return 0;
}

// out[0..n) = in·A: out[c] is the inner product of in with column c.
int lumx_mult_d_mx(const lumx* a, double* out, const double* in) {
  ZK_TRACE(trace_lumx_mult_d_mx, TRACE_MIDDLE, "lumx_mult_d_mx \n");
  for (int32_t c = 0; c < a->n; ++c)
    lumx_naiseki_d_a(a, c, in, &out[c]);
  return 0;
}

// *ip = in·A[:, col].
int lumx_naiseki_d_a(const lumx* a, int col, const double* in, double* ip) {
  ZK_DIAG_ONLY(CHKA(0, col, a->n));
#ifdef ZELKOR_DIAG
  if (trace_lumx_naiseki_d_a) {
    trace_mark(TRACE_ENTRY, __FILE__, __LINE__, 0);
    log_printf("lumx_naiseki_d_a 内積の計算 as(%d)\n", col);
    if (trace_lumx_naiseki_d_a > 1) {
      log_printf("η＝\n");
      dump_lumx_col(a, col);
      print_dvec(in, a->n, "ベクトル", 0);
    }
  }
#endif
  const int32_t* ai = a->av.i;
  const int32_t* nexti = a->av.nexti;
  const double* av = a->av.v;
  double sum = 0.0;
  for (int32_t s = a->col_head[col]; s >= 0; s = nexti[s])
    sum = in[ai[s]] * av[s] + sum;
  *ip = sum;
  ZK_TRACE(trace_lumx_naiseki_d_a, TRACE_EXIT, "lumx_naiseki_d_a rc(%d) ip(%g)\n", 0, sum);
  return 0;
}

// out[0..n) = vec·A, over the positions in use in vec.
int lumx_mult_v_mx(const lumx* a, double* out, const lpvect2* vec) {
  for (int32_t c = 0; c < a->n; ++c)
    lumx_naiseki_v_a(a, c, vec, &out[c]);
  return 0;
}

// *ip = vec·A[:, col].
int lumx_naiseki_v_a(const lumx* a, int col, const lpvect2* vec, double* ip) {
  ZK_DIAG_ONLY(CHKA(0, col, a->n));
  const int32_t* ai = a->av.i;
  const int32_t* nexti = a->av.nexti;
  const double* av = a->av.v;
  double sum = 0.0;
  for (int32_t s = a->col_head[col]; s >= 0; s = nexti[s]) {
    int32_t r = ai[s];
    if (vec->usef[r] == vec->mark)
      sum = vec->va[r] * av[s] + sum;
  }
  *ip = sum;
  return 0;
}
