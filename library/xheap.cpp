// xheap: indexed binary heap (layout and order in xheap.h).
#include "xheap.h"

#include "lp_kesh.h"

// The heap the sift routines work on; every public operation sets it.
static ZK_THREAD_LOCAL xheap* cur_heap = nullptr;

// a comes before b: cmp first, the smaller id on a tie.
static inline bool xheap_before(int a, int b) {
  int c = cur_heap->cmp(a, b);
  return c < 0 || (c == 0 && a < b);
}

// Moves id x (not yet recorded in invert) up from position p; returns its
// final position.
static int xheap_sift_up(int p, int x) {
  int32_t* heap = cur_heap->heap;
  int32_t* invert = cur_heap->invert;
  while (p > 0) {
    int q = (p - 1) / 2;
    int y = heap[q];
    if (xheap_before(y, x))
      break;
    heap[p] = y;
    invert[y] = p;
    p = q;
  }
  heap[p] = x;
  invert[x] = p;
  return p;
}

// Moves id x down from position p; returns its final position.
static int xheap_sift_down(int p, int x) {
  int32_t* heap = cur_heap->heap;
  int32_t* invert = cur_heap->invert;
  int count = cur_heap->count;
  for (;;) {
    int c = 2 * p + 1;
    if (c >= count)
      break;
    if (c + 1 < count) {
      // Take the right child when the left one compares greater (or equal
      // with the larger id); cmp is always asked as cmp(left, right).
      int k = cur_heap->cmp(heap[c], heap[c + 1]);
      if (k > 0 || (k == 0 && heap[c + 1] < heap[c]))
        c = c + 1;
    }
    int y = heap[c];
    if (xheap_before(x, y))
      break;
    heap[p] = y;
    invert[y] = p;
    p = c;
  }
  heap[p] = x;
  invert[x] = p;
  return p;
}

// Re-orders the item x placed at position p: up, and down if it did not move.
static int xheap_restore(int p, int x) {
  int q = xheap_sift_up(p, x);
  if (q == p)
    q = xheap_sift_down(p, x);
  return q;
}

int xheap_init(xheap** ppxh, int n_ids, xheap_cmp cmp) {
  CHKB(1, n_ids, INT32_MAX);
  if (*ppxh == nullptr) {
    xheap* fresh = nullptr;
    if (mem_grow(&fresh, 1) == nullptr)
      return -2;
    *fresh = xheap{};
    *ppxh = fresh;
  }
  xheap* pxh = *ppxh;
  cur_heap = pxh;
  if (pxh->heap == nullptr && pxh->invert == nullptr) {
    if (mem_grow(&pxh->heap, n_ids) != nullptr && mem_grow(&pxh->invert, n_ids) != nullptr)
      pxh->capacity = n_ids;
  } else if (pxh->capacity < n_ids) {
    if (mem_grow(&pxh->heap, n_ids) == nullptr || mem_grow(&pxh->invert, n_ids) == nullptr) {
      log_error("**** lpvect1_alloc: cannot malloc\n");
      return -2;
    }
    pxh->capacity = n_ids;
  }
  if (pxh->heap == nullptr || pxh->invert == nullptr)
    return -2;
  pxh->n_ids = n_ids > 0 ? n_ids : 0;
  pxh->count = 0;
  pxh->cmp = cmp;
  for (int id = 0; id < pxh->n_ids; ++id)
    pxh->invert[id] = -1;
  return 0;
}

int xheap_free(xheap** ppxh) {
  if (*ppxh == nullptr)
    return 0;
  xheap* pxh = *ppxh;
  MEM_FREE(pxh->heap, "pxh->heap");
  MEM_FREE(pxh->invert, "pxh->invert");
  MEM_FREE(*ppxh, "pxh");
  if (cur_heap == pxh)
    cur_heap = nullptr;
  return 0;
}

int xheap_insert(xheap* pxh, int id) {
  if (pxh == nullptr) {
    CHKA(0, 0, 0);
    return -1;
  }
  cur_heap = pxh;
  if (CHKA(0, id, pxh->n_ids))
    return -1;
  if (CHKB(-1, pxh->invert[id], -1))
    return -1;
  int p = pxh->count++;
  xheap_sift_up(p, id);
  return pxh->count;
}

// Guards shared by remove and update: a heap, an id in range, a non-empty
// heap that holds the id.  Returns 0 when all hold, else -1 after a report.
static int xheap_guard_present(xheap* pxh, int id) {
  if (pxh == nullptr) {
    CHKA(0, 0, 0);
    return -1;
  }
  cur_heap = pxh;
  if (CHKA(0, id, pxh->n_ids))
    return -1;
  if (CHKA(0, 0, pxh->count))
    return -1;
  if (CHKA(0, pxh->invert[id], pxh->count))
    return -1;
  return 0;
}

int xheap_remove(xheap* pxh, int id) {
  if (xheap_guard_present(pxh, id) != 0)
    return -1;
  int p = pxh->invert[id];
  pxh->invert[id] = -1;
  int last = --pxh->count;
  if (last > 0 && p != last) {
    int x = pxh->heap[last];
    xheap_restore(p, x);
  }
  return pxh->count;
}

int xheap_update(xheap* pxh, int id) {
  if (xheap_guard_present(pxh, id) != 0)
    return -1;
  int p = pxh->invert[id];
  pxh->invert[id] = -1;
  return xheap_restore(p, id);
}

int xheap_pop(xheap* pxh) {
  if (pxh == nullptr) {
    CHKA(0, 0, 0);
    return -1;
  }
  cur_heap = pxh;
  if (pxh->count <= 0)
    return -1;
  int id = pxh->heap[0];
  CHKB(0, pxh->invert[id], 0);
  pxh->invert[id] = -1;
  int last = --pxh->count;
  if (last > 0)
    xheap_sift_down(0, pxh->heap[last]);
  return id;
}

int xheap_top(xheap* pxh) {
  if (pxh == nullptr) {
    CHKA(0, 0, 0);
    return -1;
  }
  cur_heap = pxh;
  return pxh->count > 0 ? pxh->heap[0] : -1;
}

int xheap_memsize(xheap* pxh, int* entries, int* entry_bytes) {
  if (pxh == nullptr)
    return 0;
  cur_heap = pxh;
  int per = (int)(sizeof(pxh->heap[0]) + sizeof(pxh->invert[0]));
  *entries = pxh->capacity;
  *entry_bytes = per;
  return pxh->capacity * per + (int)sizeof(xheap);
}
