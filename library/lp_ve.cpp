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
  int32_t old_n = v->n;
  v->n = n;
  long long m = (long long)n + 1;
  if (old_max <= 0 || old_max < m) {
    bool grow_va = ext == nullptr;
    // Never re-allocate an array the caller owns: a fresh block replaces it,
    // and only once that block exists, so a failure leaves va usable.
    double* va = v->own_va == 1 ? v->va : nullptr;
    if (mem_grow(&v->next, m) == nullptr || mem_grow(&v->usef, m) == nullptr ||
        (grow_va && mem_grow(&va, m) == nullptr)) {
      log_error("**** lpvect2_alloc: cannot malloc\n");
      return -2;
    }
    if (grow_va) {
      // Marks of the old positions survive the growth, so must their values;
      // a caller's array is only known to hold the old order + 1 entries.
      long long keep = old_n + 1LL < old_max ? old_n + 1LL : old_max;
      if (v->own_va != 1 && v->va != nullptr && keep > 0)
        memcpy(va, v->va, (size_t)keep * sizeof(double));
      v->va = va;
      v->own_va = 1;
    }
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

// ---- lpvect1, lpvect1c and vobject -------------------------------------------------

// Links the non-zero values among positions 0 .. count-1 in ascending order;
// zero positions keep whatever link they had.  Shared by every sparse kind
// (va compares against 0 whatever its width).
template <class V>
static int link_nonzeros(V* v, int count) {
  int linked = 0;
  int32_t last = -1;
  v->head = -1;
  for (int32_t i = 0; i < count; ++i) {
    if (v->va[i] == 0)
      continue;
    if (last < 0)
      v->head = i;
    else
      v->next[last] = i;
    last = i;
    ++linked;
  }
  if (last >= 0)
    v->next[last] = -1;
  return linked;
}

int lpvect_link_nonzeros(lpvect1* v, int count) { return link_nonzeros(v, count); }
int lpvect_link_nonzeros(lpvect1c* v, int count) { return link_nonzeros(v, count); }
int lpvect_link_nonzeros(lpvect2* v, int count) { return link_nonzeros(v, count); }

// Sizes va and next of either lpvect1 kind for order n: grown to n + 1
// entries keeping their contents, never shrunk.  A failed growth leaves
// max_n as it was, so a later call tries again.
template <class V>
static int lpvect1_size(V* v, int n) {
  v->n = n;
  long long m = (long long)n + 1;
  if (v->max_n <= 0 || v->max_n < m) {
    if (mem_grow(&v->va, m) == nullptr || mem_grow(&v->next, m) == nullptr) {
      log_error("**** lpvect1_alloc: cannot malloc\n");
      return -2;
    }
    v->max_n = (int32_t)m;
  }
  return 0;
}

template <class V>
static int lpvect1_release(V* v) {
  MEM_FREE(v->va, "vect->va");
  MEM_FREE(v->next, "vect->next");
  v->head = 0;
  v->max_n = 0;
  v->n = 0;
  return 0;
}

// Sizes v for order n and empties its list; the values are left as they are.
int lpvect1_alloc(lpvect1* v, int n) {
  int rc = lpvect1_size(v, n);
  if (rc != 0)
    return rc;
  v->head = -1;
  for (int32_t i = 0; i < v->max_n; ++i)
    v->next[i] = -2;
  return 0;
}

int lpvect1_free(lpvect1* v) { return lpvect1_release(v); }

// Sizes v for order n; unlike lpvect1_alloc the list is kept, so a caller
// that grows a byte vector in use empties it with lpvect1c_clear if needed.
int lpvect1c_alloc(lpvect1c* v, int n) { return lpvect1_size(v, n); }

int lpvect1c_clear(lpvect1c* v) {
  for (int32_t i = 0; i < v->max_n; ++i) {
    v->next[i] = -2;
    v->va[i] = 0;
  }
  v->head = -1;
  return 0;
}

int lpvect1c_free(lpvect1c* v) { return lpvect1_release(v); }

// Makes room for `need` entries, doubling (first size 100) so that a run of
// appends costs amortized O(1).  Returns the capacity, or -2 with capacity
// and v unchanged.
int exp_vobject(vobject* vv, int need) {
  long long cap = vv->capacity;
  if (vv->capacity <= 0)
    cap = need > 100 ? need : 100;
  else if (need > vv->capacity)
    cap = 2LL * vv->capacity > need ? 2LL * vv->capacity : need;
  else
    return vv->capacity;
  if (cap > INT32_MAX)
    cap = INT32_MAX;  // doubling past the count's range: take what it can hold
  if (mem_grow(&vv->v, cap) == nullptr) {
    log_error("**** exp_vobject: cannot malloc\n");
    return -2;
  }
  vv->capacity = (int32_t)cap;
  return vv->capacity;
}

// Appends one entry, set to 0.0; returns its index.
int vobject_append(vobject* vv) {
  if (vv->count >= vv->capacity) {
    int rc = exp_vobject(vv, vv->count + 1);
    if (rc < 0)
      return rc;
  }
  int32_t k = vv->count;
  vv->count = k + 1;
  // A count outside 0 .. capacity-1 on entry is reported; the entry is then
  // not written, since it would lie outside v.
  if (CHKB(1, vv->count, vv->capacity) == 0)
    vv->v[k] = 0.0;
  return k;
}

int vobject_free(vobject* vv) {
  if (vv->capacity > 0)
    MEM_FREE(vv->v, "vv->v");
  vv->capacity = 0;
  return 0;
}

int lpvect_print_d(const double* v, int count, const char* label, int flag) {
  return print_dvec(v, count, label, flag);
}

int lpvect_print_i(const int32_t* v, int count, const char* label, int flag) {
  return print_ivec(v, count, label, flag);
}
