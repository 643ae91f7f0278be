// lp_ve: work vectors.
//
// lpvect2, the marked sparse vector.  An index-addressed array of values that
// also keeps a linked list of the positions in use, and a generation stamp per
// position, so that "is position i in use" is one comparison and emptying the
// whole vector is O(1):
//
//   head        first listed position, -1 = empty list
//   next[i]     position after i in the list, -1 at the end     (max_n entries)
//   va[i]       value of position i when it is in use           (max_n entries)
//   vp          the value array as clients use it (== va); clients may keep
//               other 8-byte payloads in its slots
//   max_n       allocated entries (order + 1 of the largest order asked for);
//               0 or less: nothing allocated yet
//   n           the order last asked for
//   mark        current generation stamp, 1 .. 1000000000 once in use
//   usef[i]     == mark: position i is in use in this generation (max_n entries)
//   own_va      1: va allocated and freed here; 0: va belongs to the caller
//
// A position not in use counts as 0 whatever va holds.  lpvect2_newmark starts a
// new, empty generation; after 10^9 generations it resets every stamp once.
//
// lpvect1, the plain sparse vector (values and list links, no marks), comes in
// a double kind and a signed-byte kind; a position not in the list has
// next[i] = -2.  vobject is a growable array of doubles with a count.
#ifndef ZELKOR_LP_VE_H
#define ZELKOR_LP_VE_H

#include <cstdint>

struct lpvect2 {
  int32_t head;
  int32_t* next;
  double* va;
  double* vp;
  int32_t max_n;
  int32_t n;
  int32_t mark;
  int32_t* usef;
  int32_t own_va;
};

// Stamps run 1 .. LPVECT2_MAX_MARK; the next generation after it resets them.
const int32_t LPVECT2_MAX_MARK = 1000000000;

int lpvect2_alloc(lpvect2* v, int n, double* ext);
int lpvect2_newmark(lpvect2* v);
int lpvect2_free(lpvect2* v);
int lpvect2_squeeze(lpvect2* v);
int lpvect2_copy(lpvect2* dst, const lpvect2* src);
int lpvect2_from_dense(lpvect2* v);
int lpvect2_print(const lpvect2* v, int count, const char* label, int flag);
int lpvect2_print_dense(const lpvect2* v, int count, const char* label);

// True when position p is in use in v's current generation.
inline bool lpvect2_in_use(const lpvect2* v, int p) { return v->usef[p] == v->mark; }

// Adds t·a at position p: into the value when p is in use (product formed
// first), else p is pushed on the front of the list with value t·a.
inline void lpvect2_add(lpvect2* v, int p, double t, double a) {
  if (v->usef[p] == v->mark) {
    v->va[p] = t * a + v->va[p];
  } else {
    v->next[p] = v->head;
    v->head = p;
    v->usef[p] = v->mark;
    v->va[p] = t * a;
  }
}

// Puts position p in use with value x (pushed on the list when it was not).
inline void lpvect2_set(lpvect2* v, int p, double x) {
  if (v->usef[p] != v->mark) {
    v->next[p] = v->head;
    v->head = p;
    v->usef[p] = v->mark;
  }
  v->va[p] = x;
}

// ---- plain sparse vectors and growable arrays ----------------------------------------

struct lpvect1 {
  int32_t head;
  int32_t* next;
  double* va;
  int32_t max_n;
  int32_t n;
};

struct lpvect1c {
  int32_t head;
  int32_t* next;
  signed char* va;
  int32_t max_n;
  int32_t n;
};

struct vobject {
  int32_t count;
  int32_t capacity;
  double* v;
};

int lpvect_link_nonzeros(lpvect1* v, int count);
int lpvect_link_nonzeros(lpvect1c* v, int count);
int lpvect_link_nonzeros(lpvect2* v, int count);
int lpvect1_alloc(lpvect1* v, int n);
int lpvect1_free(lpvect1* v);
int lpvect1c_alloc(lpvect1c* v, int n);
int lpvect1c_clear(lpvect1c* v);
int lpvect1c_free(lpvect1c* v);
int exp_vobject(vobject* vv, int need);
int vobject_append(vobject* vv);
int vobject_free(vobject* vv);
int lpvect_print_d(const double* v, int count, const char* label, int flag);
int lpvect_print_i(const int32_t* v, int count, const char* label, int flag);

#endif
