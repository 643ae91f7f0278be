/* consumer: solves B x = b with the zelkor library and checks the result.
 *
 *   consumer [matrix file] [right-hand side file]
 *
 * The matrix file holds one "row,column,value" line per element, the
 * right-hand side one "index,value" line per component (0-based; lines
 * starting with '#' are comments); the defaults are aij.txt and b.txt.  The
 * order is the largest index + 1.  Prints the order, the rank and
 * max |B x - b|, computed here from the elements read; exits 1 when the
 * residual exceeds 1e-12 or anything failed.  The library writes its log
 * Zelkordbg.txt into the current directory.
 */
#include <stdio.h>
#include <stdlib.h>

#include <zelkor.h>

typedef struct {
  int row, col;
  double v;
} element;

/* Reads the elements of `name` into *out (count returned, -1 on failure);
   `cols` is 3 for row,column,value lines and 2 for index,value lines. */
static int read_lines(const char* name, int cols, element** out) {
  FILE* f = fopen(name, "r");
  if (f == NULL) {
    fprintf(stderr, "consumer: cannot open %s\n", name);
    return -1;
  }
  char line[256];
  int n = 0, cap = 0;
  element* e = NULL;
  while (fgets(line, sizeof line, f) != NULL) {
    if (line[0] == '#' || line[0] == '\n')
      continue;
    if (n == cap) {
      cap = cap ? 2 * cap : 64;
      element* grown = realloc(e, (size_t)cap * sizeof *e);
      if (grown == NULL)
        break;
      e = grown;
    }
    element* t = &e[n];
    t->col = 0;
    int got = cols == 3 ? sscanf(line, "%d,%d,%lf", &t->row, &t->col, &t->v)
                        : sscanf(line, "%d,%lf", &t->row, &t->v);
    if (got != cols || t->row < 0 || t->col < 0) {
      fprintf(stderr, "consumer: %s: bad line %s", name, line);
      free(e);
      fclose(f);
      return -1;
    }
    ++n;
  }
  fclose(f);
  *out = e;
  return n;
}

int main(int argc, char** argv) {
  const char* a_name = argc > 1 ? argv[1] : "aij.txt";
  const char* b_name = argc > 2 ? argv[2] : "b.txt";
  element *a = NULL, *rhs = NULL;
  int nz = read_lines(a_name, 3, &a);
  int nb = read_lines(b_name, 2, &rhs);
  if (nz <= 0 || nb < 0)
    return 1;
  int sz = 0;
  for (int k = 0; k < nz; ++k) {
    if (a[k].row >= sz) sz = a[k].row + 1;
    if (a[k].col >= sz) sz = a[k].col + 1;
  }
  double* b = calloc((size_t)sz, sizeof *b);
  double* x = calloc((size_t)sz, sizeof *x);
  double* bx = calloc((size_t)sz, sizeof *bx);
  if (b == NULL || x == NULL || bx == NULL)
    return 1;
  for (int k = 0; k < nb; ++k) {
    if (rhs[k].row >= sz) {
      fprintf(stderr, "consumer: right-hand side index %d beyond order %d\n", rhs[k].row, sz);
      return 1;
    }
    b[rhs[k].row] = rhs[k].v;
  }

  /* The library: size, append, factorize, solve. */
  lu_handle* h = lu_new();
  int rank = 0, *q, *r;
  int rc = lu_resize(h, sz);
  for (int k = 0; k < nz && rc == 0; ++k)
    if (lu_append(h, a[k].row, a[k].col, a[k].v) < 0)
      rc = -1;
  if (rc == 0)
    rc = lu_factoring(h, 0, &rank, &q, &r);
  if (rc == 0)
    rc = lu_ftran(h, x, b);
  int check = rc == 0 ? lu_kakunin(h) : -1;
  lu_delete(h);

  /* The residual from the elements read, independently of the library. */
  for (int k = 0; k < nz; ++k)
    bx[a[k].row] += a[k].v * x[a[k].col];
  double res = 0.0;
  for (int i = 0; i < sz; ++i) {
    double d = bx[i] > b[i] ? bx[i] - b[i] : b[i] - bx[i];
    if (d > res || d != d)  /* a NaN, once met, stays */
      res = d;
  }
  printf("zelkor %d.%d.%d: sz = %d rank = %d rc = %d check = %d max|Bx-b| = %.3g\n",
         ZELKOR_VERSION_MAJOR, ZELKOR_VERSION_MINOR, ZELKOR_VERSION_PATCH, sz, rank, rc, check,
         res);
  free(a);
  free(rhs);
  free(b);
  free(x);
  free(bx);
  return rc == 0 && check == 0 && res <= 1e-12 ? 0 : 1;
}
