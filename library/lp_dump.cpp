// lp_dump: debugging dumps of matrices, eta files, pivot sequences, sparse
// vectors and row lists.  See lp_dump.h.  Library build only: without
// ZELKOR_DIAG this file compiles to an empty object.
#ifdef ZELKOR_DIAG

#include "lp_dump.h"

#include "lp_kesh.h"

// ---- matrices ------------------------------------------------------------------------

int dump_lumx(const lumx* a, const char* title) {
  log_printf("%s m(%d)n(%d)n_av(%d) \n", title, a->m, a->n, a->n_av);
  for (int j = 0; j < a->n; ++j)
    dump_lumx_col(a, j);
  return 0;
}

int dump_lumx_col(const lumx* a, int j) {
  log_printf("列(%d) \n", j);
  for (int k = a->col_head[j]; k >= 0; k = a->av.nexti[k])
    log_printf("    av[%d] 列(%d)行(%d)値(%g)\n", k, a->av.j[k], a->av.i[k], a->av.v[k]);
  return 0;
}

// ---- element chains and eta files --------------------------------------------------------

// Runaway guard: `count` counts the element about to be printed, so a chain
// of up to m elements prints whole, and on meeting an (m+1)-th the dump
// reports CHKB(0, m+1, m) instead of printing it and stops.  No eta of an
// order-m matrix can hold more than m entries, so a longer chain loops.
int dump_av_chain(const lumx* a, int k0, int e) {
  if (e >= 0)
    log_printf(" η番号(%d) av[]の先頭(%d)\n", e, k0);
  else
    log_printf(" av[]の先頭\n");
  int count = 0;
  for (int k = k0; k >= 0; k = a->av.nexti[k]) {
    ++count;
    if (CHKB(0, count, a->m))
      break;
    if (e >= 0)
      log_printf("    av[%d] 列(%d)行(%d)値(%.7g) \n", k, e, a->av.i[k], a->av.v[k]);
    else
      log_printf("    av[%d] 行(%d)値(%.7g) \n", k, a->av.i[k], a->av.v[k]);
  }
  return 0;
}

// The steps of lw or up in step order.  Same guard as the chains: at most sz
// etas print; meeting an (sz+1)-th reports CHKB(0, sz+1, sz) and stops.  An
// eta filed under the wrong row is reported and still printed.
static void dump_eta_steps(const b_rec* b, const eta_file* f) {
  int printed = 0;
  for (int s = f->head; s >= 0; s = f->pfv[s].next) {
    ++printed;
    if (CHKB(0, printed, b->sz))
      break;
    const eta_pfv* p = &f->pfv[s];
    CHKB(s, p->row, s);
    dump_av_chain(b->lu, p->first, s);
  }
}

int dump_lw(const b_rec* b) {
  log_printf("Ｌ行列 sz(%d) \n", b->sz);
  dump_eta_steps(b, &b->lw);
  return 0;
}

int dump_up(const b_rec* b) {
  log_printf("Ｕ行列 sz(%d) \n", b->sz);
  dump_eta_steps(b, &b->up);
  return 0;
}

// R etas are indexed by creation order; each is printed under its row.
int dump_br(const b_rec* b) {
  log_printf("Ｒ補η変換子 b->n_br(%d) \n", b->n_br);
  for (int e = 0; e < b->n_br; ++e)
    dump_av_chain(b->lu, b->br.pfv[e].first, b->br.pfv[e].row);
  return 0;
}

// ---- sequences and vectors ---------------------------------------------------------------

// Ten pairs to a line; the newline comes before each group, so the first
// pair already starts a fresh line under the title.
int dump_pairs(const lu_pair* pairs, int count, const char* title) {
  log_printf("%s", title);
  for (int i = 0; i < count; ++i)
    log_printf("%c(%d %d)", i % 10 == 0 ? '\n' : ' ', pairs[i].row, pairs[i].col);
  log_printf("\n");
  return 0;
}

// Ten entries to a line, continuation lines indented by ten blanks.  The
// line break follows each tenth entry, so a multiple of ten ends on an
// open indented line and gets no closing newline.
static int dump_list(const char* title, int32_t head, const int32_t* next, const double* va) {
  log_printf("%s", title);
  int count = 0;
  for (int p = head; p >= 0; p = next[p]) {
    log_printf("(%d:%g)", p, va[p]);
    if (++count % 10 == 0)
      log_printf("\n          ");
  }
  if (count % 10 != 0)
    log_printf("\n");
  return 0;
}

int dump_vect(const char* title, const lpvect2* v) { return dump_list(title, v->head, v->next, v->va); }

int dump_vect(const char* title, const lpvect1* v) { return dump_list(title, v->head, v->next, v->va); }

int dump_row_list(const char* title, const dump_row_rec* recs, int i0) {
  log_printf("%s \n", title);
  for (int i = i0; i >= 0; i = recs[i].next)
    log_printf("    行[%d] (%d) %g\n", i, recs[i].count, recs[i].value);
  return 0;
}

#endif  // ZELKOR_DIAG
