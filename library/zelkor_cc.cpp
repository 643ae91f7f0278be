// zelkor_cc: the ten exported functions, the whole outside face of the
// library.  Each is a thin layer over the matrix store, the factorization and
// the transforms; the four that return a status check it with a range check
// that reports an unexpected status in the log and never alters it.
//
// Unlike the routines below them, the exports guard against a null handle, a
// handle that was never sized and a work record that no longer covers the
// handle's order (lu_delete of any handle frees it in ZelkorD and the
// program; in the fast library a thread's record goes with the thread's last
// handle or at its end): they refuse with -1 after a check report instead of
// touching missing or short arrays.
//
// No exception leaves the fast library: its lu_new returns null when memory
// is out.  ZelkorD and the program allocate the handle with the allocator
// that raises the standard out-of-memory exception.
#include <new>

#include "lp_lumx.h"
#include "zk_compiler.h"
#include "lp_sm_lu.h"
#include "zelkor.h"
#ifdef ZELKOR_SIMPLEX
#include "zk_simplex.h"
#endif

// A null handle: report (x(1) y(0) z(1)) and refuse.
#define NEED_HANDLE(h, fail)        \
  do {                              \
    if (CHKB(1, (h) != nullptr, 1)) \
      return fail;                  \
  } while (0)

lu_handle* lu_new(void) {
#ifdef ZELKOR_PER_THREAD
  log_open("Zelkordbg.txt");
  b_rec* b = nullptr;
  if (mem_grow(&b, 1) == nullptr) {
    log_error("**** lu_new: cannot malloc\n");
    return nullptr;
  }
  new (b) b_rec();  // zero-filled
#else
  b_rec* b = new b_rec();  // zero-filled; throws std::bad_alloc when memory is out
  log_open("Zelkordbg.txt");
#endif
  basis_check = 2;
  check_print = 2;
  return b;
}

int lu_resize(lu_handle* h, int sz) {
  NEED_HANDLE(h, -1);
  if (CHKB(0, 0, sz))  // a negative order: the handle stays as it was
    return -1;
  int rc = lumx_renew(h, sz, 0, 0.01);
  if (rc != 0)
    CHKB(0, rc, 0);
  // Failed verifications of large matrices would print whole vectors.
  if (sz > 20)
    check_print = 0;
  return rc;
}

// Every case of lu_append but the common one, out of its way.
static ZK_NOINLINE int append_checked(lu_handle* h, int row, int col, double v) {
  NEED_HANDLE(h, -1);
  if (CHKB(1, h->lu != nullptr, 1))  // never sized
    return -1;
  int rc = lumx_append(h->lu, row, col, v);
  CHKA(0, rc, h->lu->n_av);
  return rc;
}

int lu_append(lu_handle* h, int row, int col, double v) {
#ifndef ZELKOR_DIAG
  // The common case in a few instructions and no frame: a sized handle and
  // an element lumx_append stores inline (its slot needs no range report).
  if (h != nullptr && h->lu != nullptr) {
    int k = lumx_append_inline(h->lu, row, col, v);
    if (k >= 0)
      return k;
  }
#endif
  return append_checked(h, row, col, v);
}

// The handle was sized and the shared work record still covers its order.
static bool sized_and_covered(const lu_handle* h) { return h->lu != nullptr && lplu_covers(h->sz); }

int lu_factoring(lu_handle* h, int accept, int* rank, int** q, int** r) {
  NEED_HANDLE(h, -1);
  if (CHKB(1, sized_and_covered(h), 1))
    return -1;
  // Factorizing again without a new sizing would eliminate the factors.
  if (CHKB(0, h->fact_done, 0))
    return -1;
  int rank_unused;
  int* q_unused;
  int* r_unused;
#ifdef ZELKOR_SIMPLEX
  // The column sums of |B| for the condition estimate, taken before the
  // elimination re-uses the matrix's pool, and the simplex interface's work
  // vectors.
  if (zk_prepare_factoring(h) != 0)
    return -2;
#endif
  int rc = lu_factorization(h, accept, rank ? rank : &rank_unused, q ? q : &q_unused,
                            r ? r : &r_unused);
  if (rc != 0)
    CHKB(0, rc, 0);
  return rc;
}

// A factorization has run since the last sizing and the shared work record
// still covers the order: the transforms and the check may run.
static bool ready_to_solve(const lu_handle* h) { return h->fact_done != 0 && sized_and_covered(h); }

int lu_kakunin(lu_handle* h) {
  NEED_HANDLE(h, -1);
  if (CHKB(1, ready_to_solve(h), 1))
    return -1;
#ifdef ZELKOR_DIAG
  int rc = lu_kakunin_d(h);
  if (rc != 0)
    CHKB(0, rc, 0);
  return rc;
#else
  // Without the matrix copy there is nothing to verify against: confirm that
  // the factorization is one the transforms accept.
  if (CHKB(0, h->fact_state, 0))
    return -1;
  return 0;
#endif
}

int lu_ftran(lu_handle* h, double* x, const double* b) {
  NEED_HANDLE(h, -1);
  if (CHKB(1, ready_to_solve(h), 1))
    return -1;
  for (int32_t i = 0; i < h->lu->n; ++i)
    x[i] = b[i];
  lu_ftran_d1(h, x);
  return lu_ftran_d2(h, x);
}

int lu_btran(lu_handle* h, double* y, const double* c) {
  NEED_HANDLE(h, -1);
  if (CHKB(1, ready_to_solve(h), 1))
    return -1;
  for (int32_t i = 0; i < h->lu->n; ++i)
    y[i] = c[i];
  lu_btran_d1(h, y, -1);
  return lu_btran_d2(h, y);
}

void lu_delete(lu_handle* h) {
  if (CHKB(1, h != nullptr, 1))
    return;
#ifdef ZELKOR_PER_THREAD
  lumx_free(h);  // frees the thread's work record with its last handle
  MEM_FREE(h, "b");
#else
  lu_free(&lplu);
  lumx_free(h);
  delete h;
#endif
}

// out = B·in or in·B with the copy bs; without a copy, sz zeros and 1.
static int lu_mult(lu_handle* h, double* out, const double* in, bool from_left) {
  NEED_HANDLE(h, -1);
  if (h->bs == nullptr) {
    for (int32_t i = 0; i < h->sz; ++i)
      out[i] = 0.0;
    return 1;
  }
  if (from_left)
    lumx_mult_d_mx(h->bs, out, in);
  else
    lumx_mult_mx_d(h->bs, out, in);
  return 0;
}

int lu_mult_mx_d(lu_handle* h, double* out, const double* in) { return lu_mult(h, out, in, false); }

int lu_mult_d_mx(lu_handle* h, double* out, const double* in) { return lu_mult(h, out, in, true); }
