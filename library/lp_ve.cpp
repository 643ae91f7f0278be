// lp_ve: the marked sparse vector lpvect2, the plain sparse vector lpvect1
// and the growable array vobject.  Layouts in lp_ve.h.
#include "lp_ve.h"

#include <cstdio>
#include <cstring>

#include "lp_kesh.h"

// ---- lpvect2 -------------------------------------------------------------------------

// Sizes v for order n (arrays of n + 1 entries, never shrinking).  With ext
// given, the caller's array becomes the value array; an array the vector
// owned until then is freed first, so that lpvect2_free never frees the
// caller's array.
int lpvect2_alloc(lpvect2* v, int n, double* ext) {
  int32_t old_max = v->max_n;
  v->n = n;
  long long m = (long long)n + 1;
  if (old_max <= 0 || old_max < m) {
    bool grow_va = ext == nullptr;
    if (grow_va && v->own_va != 1)
      v->va = nullptr;  // never re-allocate an array the caller owns
    if (mem_grow(&v->next, m) == nullptr || mem_grow(&v->usef, m) == nullptr ||
        (grow_va && mem_grow(&v->va, m) == nullptr)) {
      log_error("**** lpvect2_alloc: cannot malloc\n");
      return -2;
    }
    if (grow_va)
      v->own_va = 1;
    v->max_n = (int32_t)m;
  }
  if (ext != nullptr) {
    if (v->own_va == 1 && v->va != ext)
      MEM_FREE(v->va, "vect->va");
    v->own_va = 0;
    v->va = ext;
  }
  v->vp = v->va;
  int32_t from = old_max > 0 ? old_max : 0;
  for (int32_t i = from; i < v->max_n; ++i)
    v->usef[i] = 0;
  if (old_max <= 0)
    v->mark = 0;
  return 0;
}

// Starts a new, empty generation; O(1) but once per 10^9 generations.
int lpvect2_newmark(lpvect2* v) {
  if (v->mark > LPVECT2_MAX_MARK - 1) {
    v->mark = 0;
    for (int32_t i = 0; i < v->max_n; ++i)
      v->usef[i] = 0;
  }
  v->mark += 1;
  v->head = -1;
  return v->mark;
}

int lpvect2_free(lpvect2* v) {
  if (v == nullptr)
    return 0;
  MEM_FREE(v->next, "vect->next");
  MEM_FREE(v->usef, "vect->usef");
  if (v->own_va == 1)
    MEM_FREE(v->va, "vect->va");
  else
    v->va = nullptr;
  v->vp = nullptr;
  v->n = 0;
  v->max_n = 0;
  return 0;
}

// Unlinks every listed position whose value is zero (-0.0 included) and
// unmarks it; returns how many were removed.
int lpvect2_squeeze(lpvect2* v) {
  int removed = 0;
  int32_t prev = -1;
  for (int32_t p = v->head; p >= 0;) {
    int32_t nxt = v->next[p];
    if (v->va[p] == 0.0) {
      v->usef[p] = 0;
      if (prev < 0)
        v->head = nxt;
      else
        v->next[prev] = nxt;
      ++removed;
    } else {
      prev = p;
    }
    p = nxt;
  }
  return removed;
}

int lpvect2_copy(lpvect2* dst, const lpvect2* src) {
  CHKB(src->n, dst->n, src->n);
  lpvect2_newmark(dst);
  dst->head = src->head;
  for (int32_t p = src->head; p >= 0; p = src->next[p]) {
    dst->va[p] = src->va[p];
    dst->next[p] = src->next[p];
    dst->usef[p] = dst->mark;
  }
  return 0;
}

// Lists the non-zero values among positions 0 .. n-1, pushing each on the
// front, so the list runs from the highest position to the lowest.
int lpvect2_from_dense(lpvect2* v) {
  int count = 0;
  v->head = -1;
  for (int32_t i = 0; i < v->n; ++i) {
    if (v->va[i] == 0.0) {
      v->usef[i] = 0;
    } else {
      v->usef[i] = v->mark;
      v->next[i] = v->head;
      v->head = i;
      ++count;
    }
  }
  return count;
}

// Prints the list in rows of 20 "[position]value" entries.
int lpvect2_print(const lpvect2* v, int count, const char* label, int flag) {
  (void)count;
  (void)flag;
  if (v->head < 0) {
    log_printf("%s\n", label);
    return 0;
  }
  char row[20 * 48 + 1];
  int32_t p = v->head;
  while (p >= 0) {
    size_t used = 0;
    row[0] = '\0';
    for (int k = 0; k < 20 && p >= 0; ++k, p = v->next[p]) {
      int w = snprintf(row + used, sizeof row - used, "[%d]%g", (int)p, v->va[p]);
      if (w > 0)
        used += (size_t)w;
    }
    log_printf("%s\t%s\n", label, row);
  }
  return 0;
}

int lpvect2_print_dense(const lpvect2* v, int count, const char* label) {
  char row[20 * 40 + 1];
  for (int i = 0; i < count; i += 20) {
    size_t used = 0;
    row[0] = '\0';
    for (int k = i; k < i + 20 && k < count; ++k) {
      double x = v->usef[k] == v->mark ? v->va[k] : 0.0;
      int w = snprintf(row + used, sizeof row - used, " %g", x);
      if (w > 0)
        used += (size_t)w;
    }
    log_printf("%s\t%s\n", label, row);
  }
  return 0;
}
