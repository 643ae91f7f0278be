// xheap: an indexed binary min-heap of small integer ids.
//
//   capacity    allocated length of heap[] and invert[]; only grows
//   n_ids       valid ids are 0 .. n_ids-1
//   count       ids currently in the heap
//   cmp         order of two ids: a before b when cmp(a, b) < 0, or when
//               cmp(a, b) == 0 and a < b (ties go to the smaller id)
//   heap[p]     id at heap position p, p < count; children of p are 2p+1, 2p+2
//   invert[id]  position of id in heap[], -1 when id is not in the heap
//
// The inverse index lets any id be removed or re-ordered in O(log count).
// Each public operation works through one module-wide "current heap", so heap
// operations must not run concurrently, even on different heaps.
#ifndef ZELKOR_XHEAP_H
#define ZELKOR_XHEAP_H

#include <cstdint>

typedef int (*xheap_cmp)(int a, int b);

struct xheap {
  int32_t capacity;
  int32_t n_ids;
  int32_t count;
  xheap_cmp cmp;
  int32_t* heap;
  int32_t* invert;
};

int xheap_init(xheap** ppxh, int n_ids, xheap_cmp cmp);
int xheap_free(xheap** ppxh);
int xheap_insert(xheap* pxh, int id);
int xheap_remove(xheap* pxh, int id);
int xheap_update(xheap* pxh, int id);
int xheap_pop(xheap* pxh);
int xheap_top(xheap* pxh);
int xheap_memsize(xheap* pxh, int* entries, int* entry_bytes);

#endif
