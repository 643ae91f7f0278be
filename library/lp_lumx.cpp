// lp_lumx: sizing, clearing and freeing of the handle, its matrices and the
// shared work record; element insertion and removal; matrix-vector products.
// Record layouts in lp_lumx.h.
#include "lp_lumx.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <initializer_list>
#ifdef ZELKOR_PER_THREAD
#include <atomic>
#include <new>
#endif

#include "lp_dump.h"

ZK_THREAD_LOCAL lplu_rec lplu;
ZK_THREAD_LOCAL signed char basis_check = 0;
ZK_THREAD_LOCAL signed char check_print = 0;

#ifdef ZELKOR_PER_THREAD
// ---- handles and the thread's work record (fast library) ---------------------------------
//
// The rules are in lp_lumx.h (the work record lplu).  A thread's record is
// freed by lu_free in that thread only; the tie, which handles of other
// threads may hold, is shared and counted atomically.

struct lplu_tie {
  std::atomic<int32_t> refs;  // the handles tied to the thread, +1 while it lives
};

namespace {

// Drops one reference to t; the last one frees it.
void tie_drop(lplu_tie* t) {
  if (t->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    t->~lplu_tie();
    MEM_FREE(t, "tie");
  }
}

// The calling thread's tie, made when the thread sizes a handle and has none
// (it goes with the thread's last handle).  The thread's end (the destructor,
// run by the thread's exit) frees the thread's work record and drops the
// thread's reference to the tie.  lplu itself stays a plain record, so that
// the transforms reach it without a call.
struct lplu_thread {
  lplu_tie* tie = nullptr;
  ~lplu_thread() {
    lu_free(&lplu);
    if (tie != nullptr)
      tie_drop(tie);
    tie = nullptr;  // a handle untied later in this thread's exit only drops its reference
  }
};

thread_local lplu_thread this_thread;

// Ties b to the calling thread, untying it from the thread it was tied to.
// False when the thread's tie could not be allocated; b is then unchanged.
bool tie_to_this_thread(b_rec* b) {
  lplu_thread& me = this_thread;
  if (b->tie != nullptr && b->tie == me.tie)
    return true;
  if (me.tie == nullptr) {
    lplu_tie* fresh = nullptr;
    if (mem_grow(&fresh, 1) == nullptr)
      return false;
    me.tie = new (fresh) lplu_tie{1};
  }
  lplu_untie(b);
  me.tie->refs.fetch_add(1, std::memory_order_relaxed);
  b->tie = me.tie;
  return true;
}

}  // namespace

// Unties b from its thread (nothing when b is not tied).  In that thread, the
// last handle's untying frees the thread's work record and its tie.
void lplu_untie(b_rec* b) {
  lplu_tie* t = b->tie;
  if (t == nullptr)
    return;
  b->tie = nullptr;
  lplu_thread& me = this_thread;
  if (t != me.tie) {
    tie_drop(t);
    return;
  }
  // The thread lives and holds its own reference: 2 before means b was its
  // last handle, and no other handle can hold the tie any more (only this
  // thread ties handles to it).
  if (t->refs.fetch_sub(1, std::memory_order_acq_rel) == 2) {
    lu_free(&lplu);
    me.tie = nullptr;
    tie_drop(t);
  }
}
#endif

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
        grow(b->lwp.seg_of, need) && grow(b->upp.seg_of, need) && grow(b->lwr.start, need) &&
        grow(b->lwr.len, need) && grow(b->lwr.cap, need) && grow(b->upr.start, need) &&
        grow(b->upr.len, need) && grow(b->upr.cap, need) && grow(b->lwr.order, need)))
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
            grow(lplu.map_pred, need) && grow(lplu.r_unfiled.refiled, 2 * need) &&
            grow(lplu.c_unfiled.refiled, 2 * need);
  if (!ok) {
    // Arrays grown before the failure are at least as large as before.
    lplu.max_sz = kept;
    return false;
  }
  // No row is marked for the eta builder unless a client marks it.
  memset(lplu.aibo, 0, (size_t)need * sizeof(int32_t));
  // Bucket entries hold no line (what the factorization reads of one it did
  // not write is a defined value).
  memset(lplu.r_nzlst, 0xff, (size_t)need * sizeof(nz_link));
  memset(lplu.c_nzlst, 0xff, (size_t)need * sizeof(nz_link));
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
#ifdef ZELKOR_PER_THREAD
  // From here on the handle needs this thread's work record.
  if (!tie_to_this_thread(b))
    return -2;
#endif
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
  b->upd_agree_max = b->upd_cond_sum = 0.0;
  for (eta_pack* p : {&b->lwp, &b->upp, &b->brp})
    p->n_ent = p->n_seg = p->dead = p->dead_seg = 0;
  b->rows_ready = 0;
  b->chains_ready = 0;
  return 0;
}

// Empties a matrix: no slot handed out, every main list empty, every count 0.
// The active lists, the pivot-search arrays and the pool contents stay.
int lumx_clear(lumx* a) {
  a->n_av = 0;
  a->n_nz = 0;
  // -1 is all bits set in every byte.
  size_t cols = a->n > 0 ? (size_t)a->n : 0;
  size_t rows = a->m > 0 ? (size_t)a->m : 0;
  memset(a->col_head, 0xFF, cols * sizeof(int32_t));
  memset(a->col_nz, 0, cols * sizeof(int32_t));
  memset(a->row_head, 0xFF, rows * sizeof(int32_t));
  memset(a->row_nz, 0, rows * sizeof(int32_t));
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

// Frees every array of the handle and its two matrices (not the handle
// itself).  In the fast library the handle no longer needs a work record: it
// is untied, and its thread's record goes with the thread's last handle.
int lumx_free(b_rec* b) {
  if (b != nullptr) {
#ifdef ZELKOR_PER_THREAD
    lplu_untie(b);
#endif
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
    for (eta_rows* w : {&b->lwr, &b->upr}) {
      MEM_FREE(w->start, "rows->start");
      MEM_FREE(w->len, "rows->len");
      MEM_FREE(w->cap, "rows->cap");
      MEM_FREE(w->idx, "rows->idx");
      MEM_FREE(w->val, "rows->val");
      MEM_FREE(w->order, "rows->order");
      *w = eta_rows{};
    }
    b->rows_ready = 0;
    b->chains_ready = 0;
    MEM_FREE(b->col_abs, "b->col_abs");
    b->col_abs_cap = 0;
    for (lpvect2* v : {&b->zk_vec, &b->zk_bvec, &b->zk_in, &b->zk_spike, &b->zk_p, &b->zk_col,
                       &b->zk_row})
      lpvect2_free(v);
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
  MEM_FREE(w->r_unfiled.refiled, "lplu->r_unfiled.refiled");
  MEM_FREE(w->c_unfiled.refiled, "lplu->c_unfiled.refiled");
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

// ---- loading whole columns -----------------------------------------------------------------

// Over entries [from, from + count): whether a row lies outside 0 .. n-1 or
// a value is not finite, and how many values are not zero (added to
// *nonzero).  Branch-free on the values' two 32-bit halves, so that the
// compiler vectorizes the loops when count is a constant: the high half's
// exponent bits all set is an infinity or a NaN, both halves zero but the
// sign bit is a zero.
static inline bool columns_bad(const int* rows, const double* vals, int from, int count,
                               unsigned n, long long* nonzero) {
  uint32_t bad = 0;
  for (int t = 0; t < count; ++t)
    bad |= (unsigned)rows[from + t] >= n;
  int32_t nz = 0;
  for (int t = 0; t < count; ++t) {
    uint64_t bits = std::bit_cast<uint64_t>(vals[from + t]);
    uint32_t hi = (uint32_t)(bits >> 32);
    uint32_t lo = (uint32_t)bits;
    bad |= (hi & 0x7FF00000u) == 0x7FF00000u;
    nz += ((hi & 0x7FFFFFFFu) | lo) != 0;
  }
  *nonzero += nz;
  return bad != 0;
}

// Whether a start of col_start[from .. from+count] is below the one before.
static inline bool starts_fall(const int* col_start, int from, int count) {
  uint32_t fall = 0;
  for (int t = 0; t < count; ++t)
    fall |= col_start[from + t + 1] < col_start[from + t];
  return fall != 0;
}

long long lumx_columns_stored(int n, const int* col_start, const int* rows, const double* vals) {
  if (n < 0 || col_start == nullptr || col_start[0] != 0)
    return -1;
  const int block = 256;
  bool fall = false;
  int c = 0;
  for (; c + block <= n && !fall; c += block)
    fall = starts_fall(col_start, c, block);
  for (; c + 16 <= n && !fall; c += 16)
    fall = starts_fall(col_start, c, 16);
  if (fall || starts_fall(col_start, c, n - c))
    return -1;
  const int total = col_start[n];
  if (total > 0 && (rows == nullptr || vals == nullptr))
    return -1;
  // Blocks of 256 entries, then of 16, then one by one.
  const int small = 16;
  long long stored = 0;
  bool bad = false;
  int p = 0;
  for (; p + block <= total && !bad; p += block)
    bad = columns_bad(rows, vals, p, block, (unsigned)n, &stored);
  for (; p + small <= total && !bad; p += small)
    bad = columns_bad(rows, vals, p, small, (unsigned)n, &stored);
  for (; p < total && !bad; ++p)
    bad = columns_bad(rows, vals, p, 1, (unsigned)n, &stored);
  return bad ? -1 : stored;
}

// Grows the pool of a to what lumx_new_av, handing out `more` slots one by
// one, would leave: the first pool of 100,000 slots when none was allocated,
// doubled until the slots fit.  False when that is beyond 32-bit slot numbers
// or memory; the record is then unchanged.
static bool reserve_slots(lumx* a, long long more) {
  long long need = (long long)a->n_av + more;
  if (more <= 0 || need <= a->max_av)
    return true;
  if (need > INT32_MAX)
    return false;
  long long cap = a->max_av > 0 ? a->max_av : 100000;
  while (cap < need)
    cap = std::min(2 * cap, (long long)INT32_MAX);
  if (!grow_pool(a, cap))
    return false;
  a->max_av = (int32_t)cap;
  return true;
}

// The load of lumx_load_columns when no value is zero: entry p takes slot
// n_av + p, so the slots' rows and values are copied whole, and the
// columns and the rows are threaded in passes that mostly take one branch
// the same way (the lengths of the columns, when looped over, would be
// mispredicted at nearly every column).
static void load_columns_dense(lumx* a, const int* col_start, const int* rows, const double* vals) {
  const int total = col_start[a->n];
  const int32_t k0 = a->n_av;
  memcpy(a->av.i + k0, rows, (size_t)total * sizeof(int32_t));
  memcpy(a->av.v + k0, vals, (size_t)total * sizeof(double));
  // 1. Each entry below the one before it in its column's list (in blocks
  // of a constant length, which the compiler vectorizes).
  int32_t* below = a->av.nexti + k0;
  const int block = 256;
  int p = 0;
  for (; p + block <= total; p += block)
    for (int t = 0; t < block; ++t)
      below[p + t] = k0 + p + t - 1;
  for (; p < total; ++p)
    below[p] = k0 + p - 1;
  // 2. Per column: the first entry linked to the column's old head, the last
  // made the head, and the column written into its entries four at a time;
  // the stores past its end land in later columns' entries, which those
  // columns overwrite.
  int32_t* col_of = a->av.j + k0;
  for (int32_t c = 0; c < a->n; ++c) {
    int s = col_start[c];
    int e = col_start[c + 1];
    if (s < e) {
      below[s] = a->col_head[c];
      a->col_head[c] = k0 + e - 1;
      a->col_nz[c] += e - s;
    }
    p = s;
    for (; p < e && p + 4 <= total; p += 4) {
      col_of[p] = c;
      col_of[p + 1] = c;
      col_of[p + 2] = c;
      col_of[p + 3] = c;
    }
    for (; p < e; ++p)
      col_of[p] = c;
  }
  // 3. Each entry at the front of its row's list, in entry order.
  int32_t* nextj = a->av.nextj + k0;
  int32_t* row_head = a->row_head;
  int32_t* row_nz = a->row_nz;
  for (p = 0; p < total; ++p) {
    int32_t r = rows[p];
    nextj[p] = row_head[r];
    row_head[r] = k0 + p;
    row_nz[r] += 1;
  }
  a->n_nz += total;
  a->n_av = k0 + total;
}

int lumx_load_columns(lumx* a, const int* col_start, const int* rows, const double* vals,
                      long long stored) {
  if (!reserve_slots(a, stored)) {
    log_error("**** lumx_load_columns: cannot malloc\n");
    return -2;
  }
  if (stored == 0)
    return 0;  // nothing to store (and rows and vals may be null)
  if (stored == col_start[a->n]) {
    load_columns_dense(a, col_start, rows, vals);
    return 0;
  }
  int32_t* ai = a->av.i;
  int32_t* aj = a->av.j;
  int32_t* nexti = a->av.nexti;
  int32_t* nextj = a->av.nextj;
  double* av = a->av.v;
  int32_t* row_head = a->row_head;
  int32_t* row_nz = a->row_nz;
  int32_t k = a->n_av;  // the next slot
  for (int32_t c = 0; c < a->n; ++c) {
    // Column c's non-zeros take the next slots in order, each at the front
    // of its column list and of its row list, as lumx_append puts it.
    int32_t head = a->col_head[c];
    const int32_t first = k;
    for (int p = col_start[c]; p < col_start[c + 1]; ++p) {
      double v = vals[p];
      if (v == 0.0)
        continue;  // stores nothing, as lumx_append
      int32_t r = rows[p];
      ai[k] = r;
      aj[k] = c;
      av[k] = v;
      nexti[k] = head;
      head = k;
      nextj[k] = row_head[r];
      row_head[r] = k;
      row_nz[r] += 1;
      ++k;
    }
    a->col_head[c] = head;
    a->col_nz[c] += k - first;
  }
  a->n_nz += k - a->n_av;
  a->n_av = k;
  return 0;
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
