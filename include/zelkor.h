/* zelkor.h: the interface of the sparse LU factorization libraries zelkor
 * and ZelkorD.
 *
 * Two builds of the same sources export the same ten functions:
 *   zelkor   libzelkor.so and its static twin libzelkor.a, the fast build.
 *            It keeps no copy of the matrix and verifies nothing: the solves
 *            return 0 or -1, lu_kakunin only confirms that a valid
 *            factorization is held, and lu_mult_mx_d / lu_mult_d_mx return 1
 *            with zeros.  Its reports are failed range and state checks,
 *            a missing pivot and running out of memory.
 *   ZelkorD  libZelkorD.so, the build with diagnostics: it copies the matrix
 *            at each lu_factoring and verifies every solve against the copy
 *            (a solve takes about 1.5 to 3 times as long), and it also
 *            reports failed verifications.
 *
 * A caller builds a square sparse matrix B element by element, factorizes it,
 * and solves with the factorization as often as it likes:
 *
 *   lu_new -> lu_resize -> lu_append (once per non-zero) -> lu_factoring
 *          -> any number of lu_ftran, lu_btran, lu_kakunin, lu_mult_mx_d,
 *             lu_mult_d_mx -> lu_delete
 *
 * Calls out of this order are refused with -1 after a report in the log and
 * change nothing: lu_append before any lu_resize, a second lu_factoring
 * without lu_resize in between, and lu_ftran, lu_btran or lu_kakunin before a
 * lu_factoring since the last lu_resize.
 *
 * A new matrix on the same handle starts again with lu_resize.  Indices are
 * 0-based; vectors are arrays of sz doubles.  Results: 0 success, -1 a bad
 * argument or state (after a report in the log), -2 memory ran out, otherwise
 * the value each function names.  Both libraries write their reports to the
 * file "Zelkordbg.txt" in the current directory (Shift_JIS text), which
 * lu_new creates.
 *
 * Handles share a work record, sized for the largest order sized so far.
 * A handle whose order the record does not cover refuses with -1 (after a
 * report) until the record covers it again, which its own lu_resize does (so
 * does any handle's lu_resize to an order at least as large; its factors stay
 * valid).
 *   ZelkorD  one record per process, freed by lu_delete of any handle: after
 *            it every other live handle must be sized again.  One call at a
 *            time in the whole process.
 *   zelkor   one record per thread (libzelkor).  A handle belongs to the
 *            thread that last sized it, and the thread's record lives as long
 *            as one of its handles does: lu_delete of one handle leaves the
 *            thread's other handles working, and the record is freed with the
 *            thread's last handle or when the thread ends, whichever comes
 *            first.  A handle may outlive its thread and be deleted, or sized
 *            again (it then belongs to that thread), in another thread.
 *            lu_delete in another thread never frees the owning thread's
 *            record: that record then waits for its thread's end.  Threads
 *            with their own handles may call at the same time; a handle is
 *            used by one thread at a time (see zelkor_simplex.h).
 */
#ifndef ZELKOR_H
#define ZELKOR_H

/* The version of the interface and of both libraries; the shared libraries'
   file names carry the major version (libzelkor.so.1, libZelkorD.so.1). */
#define ZELKOR_VERSION_MAJOR 1
#define ZELKOR_VERSION_MINOR 0
#define ZELKOR_VERSION_PATCH 0

#if defined(ZELKOR_BUILDING_DLL)
#define ZELKOR_API __attribute__((visibility("default")))
#else
#define ZELKOR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The handle: a factor record, opaque to the caller. */
typedef struct b_rec lu_handle;

/* A new, empty handle; opens the log "Zelkordbg.txt" and sets the check
   levels.  zelkor: null when memory ran out (after a report in the log); no
   function of zelkor lets an exception out.  ZelkorD: never null (running
   out of memory raises the standard out-of-memory exception). */
ZELKOR_API lu_handle* lu_new(void);

/* Sizes the handle for order sz and empties it.  0, -1 for a null handle or a
   negative order (handle unchanged), -2 when memory ran out. */
ZELKOR_API int lu_resize(lu_handle* h, int sz);

/* Stores element (row, col) = v.  The pool slot (>= 0); 0 when v is zero
   (nothing stored); -1 when row or col is out of range or the handle is null or
   was never sized; -2 when memory ran out.  A position appended more than once
   is stored once per call, and lu_factoring factorizes the matrix whose entry
   there is the sum of those values; the copy behind lu_mult_mx_d and
   lu_mult_d_mx holds them all and sums them likewise. */
ZELKOR_API int lu_append(lu_handle* h, int row, int col, double v);

/* Factorizes the appended matrix.  accept non-zero lets a rank-deficient
   factorization succeed.  *rank receives the number of pivots; on success *q
   and *r receive arrays owned by the handle: (*q)[row] is the column matched
   to row, (*r)[col] the row matched to col, -1 for a line without a pivot.
   0 success; -1 no acceptable pivot (accept 0) or a bad handle; -2 memory.
   Called again without lu_resize in between (whatever the first call's
   outcome): -1 after a report, the factors in place unchanged. */
ZELKOR_API int lu_factoring(lu_handle* h, int accept, int* rank, int** q, int** r);

/* Checks the factorization by transforming every unit vector both ways.
   0, the count of positions that failed the last verification, or -1.
   zelkor, which keeps no copy to verify against, only confirms that the handle
   holds a valid factorization: 0, or -1 after a report (no lu_factoring
   since the last lu_resize, or one that failed or was accepted rank-deficient,
   as with lu_ftran). */
ZELKOR_API int lu_kakunin(lu_handle* h);

/* Frees the handle and, in ZelkorD, the shared work record; in zelkor the
   calling thread's record when this was the thread's last handle (see
   above).  A null handle does nothing but a report. */
ZELKOR_API void lu_delete(lu_handle* h);

/* x = B^-1 b (x indexed by column, b by row).  0; the count of positions that
   failed the verification; -1 after a report when the handle holds no valid
   factorization: before any lu_factoring since the last lu_resize x is left
   as it was, after a failed or rank-deficient one x is left equal to b. */
ZELKOR_API int lu_ftran(lu_handle* h, double* x, const double* b);

/* y^T = c^T B^-1 (c indexed by column, y by row).  As lu_ftran. */
ZELKOR_API int lu_btran(lu_handle* h, double* y, const double* c);

/* out = B in, using the copy of B kept at the last lu_factoring.  0, or 1 when
   the handle keeps no copy (out is then all zeros). */
ZELKOR_API int lu_mult_mx_d(lu_handle* h, double* out, const double* in);

/* out = in B (out[col] is the inner product of in with column col).  As
   lu_mult_mx_d. */
ZELKOR_API int lu_mult_d_mx(lu_handle* h, double* out, const double* in);

#ifdef __cplusplus
}
#endif

#endif
