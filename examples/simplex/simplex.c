/* simplex: a small revised simplex method on the simplex interface of the
 * zelkor library, for linear programs in MPS format.
 *
 *   simplex [file.mps]            (default afiro.mps)
 *
 * Reads a fixed-format MPS file (sections NAME, ROWS, COLUMNS, RHS and
 * BOUNDS with upper bounds UP; RANGES, other bound types and integer markers
 * are refused), minimizes the objective (the first N row) subject to the rows
 * and x >= 0, and prints the optimal objective.  Exits 0 at an optimum, 1 when
 * the problem is infeasible or unbounded or the method fails, 2 after a bad
 * argument or file.  The library writes its log Zelkordbg.txt into the current
 * directory.
 *
 * An example of the interface, not a solver: the problem is brought to the
 * standard form
 *     min c^T x   subject to   A x = b,  x >= 0,  b >= 0,
 * with a slack column per inequality row (an upper bound x_j <= u becomes the
 * row x_j + s = u), rows of negative right-hand side negated, and one
 * artificial column e_i per row for phase 1, which minimizes the sum of the
 * artificials.  Each iteration of either phase:
 *   - prices with the duals y^T = c_B^T B^-1 (zk_btran_sparse) and Dantzig's
 *     rule, the most negative reduced cost d_j = c_j - y^T a_j entering; after
 *     a run of steps of length 0 Bland's rule (the smallest such j) until the
 *     objective moves;
 *   - transforms the entering column, w = B^-1 a_q (zk_ftran_sparse), and picks
 *     the leaving position by a two-pass ratio test with a small feasibility
 *     tolerance, preferring large |w_p|;
 *   - replaces the leaving column of B by a_q (zk_replace_column) and
 *     refactorizes the current basis when the library advises it
 *     (zk_refactor_advice), refuses the replacement or fails.
 * The start basis holds the slack of every row that has one with coefficient
 * +1 and nothing in the other positions: the factorization finds it rank
 * deficient, and the repair the library proposes (zk_singular_pairs) puts the
 * artificial (unit) column of a row without pivot into each empty position.
 */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <zelkor.h>
#include <zelkor_simplex.h>

#define TOL_PIVOT 1e-9  /* smallest |w_p| a ratio test or a repair accepts */
#define TOL_DUAL 1e-9   /* a reduced cost below -TOL_DUAL may enter */
#define TOL_FEAS 1e-9   /* how far below 0 a basic value may drift */
#define BLAND_AFTER 50  /* steps of length 0 in a row before Bland's rule */

/* ---- the problem as read ----------------------------------------------------------- */

typedef char name_t[9]; /* MPS names have at most 8 characters */

/* An MPS file: rows (the objective and other free rows included, then one
   row per upper bound), columns with their costs, and the elements of the
   constraint rows as triplets. */
typedef struct {
  char title[64];
  int n_rows, n_cols, n_elems, cap_rows, cap_cols, cap_elems, n_bounds;
  name_t* row_name;
  char* row_type; /* 'N', 'E', 'L' or 'G' */
  double* rhs;
  name_t* col_name;
  double* cost;
  int *e_row, *e_col;
  double* e_val;
  int objective; /* the first N row; -1 before it is met */
  double offset; /* constant of the objective (minus its RHS entry) */
} mps;

/* Reallocates *p to n items of `size` bytes; 1, or 0 (*p unchanged) when
   memory ran out. */
static int resize(void* p, int n, size_t size) {
  void* q = realloc(*(void**)p, (size_t)n * size);
  if (q == NULL)
    return 0;
  *(void**)p = q;
  return 1;
}

/* The capacity after `cap` when it is full. */
static int grown(int cap) { return cap ? 2 * cap : 64; }

/* Appends a row; its index, or -1 when memory ran out. */
static int add_row(mps* f, const char* name, char type, double rhs) {
  if (f->n_rows == f->cap_rows) {
    int cap = grown(f->cap_rows);
    if (!resize(&f->row_name, cap, sizeof *f->row_name) || !resize(&f->row_type, cap, 1) ||
        !resize(&f->rhs, cap, sizeof *f->rhs))
      return -1;
    f->cap_rows = cap;
  }
  snprintf(f->row_name[f->n_rows], sizeof(name_t), "%.8s", name);
  f->row_type[f->n_rows] = type;
  f->rhs[f->n_rows] = rhs;
  return f->n_rows++;
}

/* Appends a column of cost 0; its index, or -1 when memory ran out. */
static int add_col(mps* f, const char* name) {
  if (f->n_cols == f->cap_cols) {
    int cap = grown(f->cap_cols);
    if (!resize(&f->col_name, cap, sizeof *f->col_name) || !resize(&f->cost, cap, sizeof *f->cost))
      return -1;
    f->cap_cols = cap;
  }
  snprintf(f->col_name[f->n_cols], sizeof(name_t), "%.8s", name);
  f->cost[f->n_cols] = 0.0;
  return f->n_cols++;
}

/* Appends the element (row, col) = v; 1, or 0 when memory ran out. */
static int add_elem(mps* f, int row, int col, double v) {
  if (f->n_elems == f->cap_elems) {
    int cap = grown(f->cap_elems);
    if (!resize(&f->e_row, cap, sizeof(int)) || !resize(&f->e_col, cap, sizeof(int)) ||
        !resize(&f->e_val, cap, sizeof(double)))
      return 0;
    f->cap_elems = cap;
  }
  f->e_row[f->n_elems] = row;
  f->e_col[f->n_elems] = col;
  f->e_val[f->n_elems++] = v;
  return 1;
}

/* The index of the row (or column) called `name` among n names, -1 if none
   (a linear search: for small problems). */
static int find(name_t* names, int n, const char* name) {
  for (int k = 0; k < n; ++k)
    if (strcmp(names[k], name) == 0)
      return k;
  return -1;
}

/* Field k (1 .. 6) of a fixed-format data line, in columns 2-3, 5-12, 15-22,
   25-36, 40-47 and 50-61, blanks trimmed, into out[13]. */
static void field(const char* line, int k, char* out) {
  static const int from[7] = {0, 1, 4, 14, 24, 39, 49}, len[7] = {0, 2, 8, 8, 12, 8, 12};
  int n = (int)strlen(line), a = from[k], b = from[k] + len[k];
  a = a < n ? a : n;
  b = b < n ? b : n;
  while (a < b && line[a] == ' ')
    ++a;
  while (b > a && line[b - 1] == ' ')
    --b;
  memcpy(out, line + a, (size_t)(b - a));
  out[b - a] = '\0';
}

/* Whether the columns between the fields of a data line are blank. */
static int in_fields(const char* line) {
  static const int gap[] = {0, 3, 12, 13, 22, 23, 36, 37, 38, 47, 48};
  int n = (int)strlen(line);
  for (size_t k = 0; k < sizeof gap / sizeof gap[0]; ++k)
    if (gap[k] < n && line[gap[k]] != ' ')
      return 0;
  return 1;
}

/* The finite number a whole field spells, into *v; 1, or 0 if none. */
static int number(const char* text, double* v) {
  char* end;
  *v = strtod(text, &end);
  return end != text && *end == '\0' && isfinite(*v);
}

/* One data line of the section `section` into f.  NULL, or what is wrong. */
static const char* read_data(mps* f, const char* section, const char* line) {
  char f1[13], f2[13], f3[13], f4[13], f5[13], f6[13];
  field(line, 1, f1), field(line, 2, f2), field(line, 3, f3);
  field(line, 4, f4), field(line, 5, f5), field(line, 6, f6);
  double v;
  if (!in_fields(line) || (f5[0] == '\0') != (f6[0] == '\0'))
    return "not in the fixed columns of MPS";
  if (strcmp(section, "ROWS") == 0) {
    if (strlen(f1) != 1 || strchr("NELG", f1[0]) == NULL || f2[0] == '\0')
      return "bad row";
    int r = add_row(f, f2, f1[0], 0.0);
    if (r < 0)
      return "out of memory";
    if (f1[0] == 'N' && f->objective < 0)
      f->objective = r;
    return NULL;
  }
  if (strcmp(section, "BOUNDS") == 0) {
    int col = find(f->col_name, f->n_cols, f3);
    if (strcmp(f1, "UP") != 0)
      return "bound type not supported (only UP)";
    if (col < 0 || !number(f4, &v) || v < 0)
      return "bad bound (an UP bound needs a column and a value >= 0)";
    int r = add_row(f, f3, 'L', v); /* x_col <= v */
    ++f->n_bounds;
    return r < 0 || !add_elem(f, r, col, 1.0) ? "out of memory" : NULL;
  }
  int is_rhs = strcmp(section, "RHS") == 0;
  if (!is_rhs && strcmp(section, "COLUMNS") != 0)
    return "data line outside ROWS, COLUMNS, RHS and BOUNDS";
  int col = -1;
  if (!is_rhs) {
    if (f2[0] == '\0')
      return "no column name";
    if (f->n_cols == 0 || strcmp(f->col_name[f->n_cols - 1], f2) != 0)
      col = add_col(f, f2);
    else
      col = f->n_cols - 1;
    if (col < 0)
      return "out of memory";
  }
  /* One or two (row, value) pairs. */
  for (int k = 0; k < 2; ++k) {
    const char* name = k == 0 ? f3 : f5;
    if (k == 1 && name[0] == '\0')
      break;
    int row = find(f->row_name, f->n_rows, name);
    if (row < 0)
      return "unknown row";
    if (!number(k == 0 ? f4 : f6, &v))
      return "bad value";
    if (row == f->objective) {
      if (is_rhs)
        f->offset = -v;
      else
        f->cost[col] += v;
    } else if (f->row_type[row] == 'N') {
      continue; /* another free row: not part of the problem */
    } else if (is_rhs) {
      f->rhs[row] = v;
    } else if (!add_elem(f, row, col, v)) {
      return "out of memory";
    }
  }
  return NULL;
}

/* Reads the MPS file `path` into f (zeroed first).  1, or 0 after a message. */
static int read_mps(const char* path, mps* f) {
  memset(f, 0, sizeof *f);
  f->objective = -1;
  FILE* in = fopen(path, "r");
  if (in == NULL) {
    fprintf(stderr, "simplex: cannot open %s\n", path);
    return 0;
  }
  char line[256], section[16] = "";
  const char* error = NULL;
  int at = 0, done = 0;
  while (!done && error == NULL && fgets(line, sizeof line, in) != NULL) {
    ++at;
    size_t n = strcspn(line, "\r\n");
    if (line[n] == '\0' && !feof(in)) {
      error = "line too long";
      break;
    }
    line[n] = '\0';
    if (line[0] == '*' || line[0] == '\0')
      continue;
    if (line[0] != ' ') { /* a section header */
      sscanf(line, "%15s", section);
      if (strcmp(section, "NAME") == 0)
        sscanf(line + 4, " %63s", f->title);
      else if (strcmp(section, "ENDATA") == 0)
        done = 1;
      else if (strcmp(section, "RANGES") == 0)
        error = "RANGES are not supported";
      else if (strcmp(section, "ROWS") != 0 && strcmp(section, "COLUMNS") != 0 &&
               strcmp(section, "RHS") != 0 && strcmp(section, "BOUNDS") != 0)
        error = "unknown section";
    } else {
      error = read_data(f, section, line);
    }
  }
  fclose(in);
  if (error == NULL && !done)
    error = "no ENDATA";
  if (error == NULL && f->objective < 0)
    error = "no objective (N) row";
  if (error != NULL) {
    fprintf(stderr, "simplex: %s:%d: %s\n", path, at, error);
    return 0;
  }
  return 1;
}

/* ---- the standard form -------------------------------------------------------------- */

/* min c^T x, A x = b, x >= 0, b >= 0: m rows; n columns, the structural ones
   (the MPS columns) first, then the slacks, then the artificial of row i at
   n_real + i.  Column j holds the entries k = start[j] .. start[j+1]-1 at
   rows row[k], values val[k].  slack[i] is the slack of row i whose
   coefficient is +1, or -1 when it has none. */
typedef struct {
  int m, n, n_struct, n_real;
  int *start, *row, *slack;
  double *val, *c, *b;
} lp;

/* The standard form of f into p; 1, or 0 when memory ran out. */
static int standard_form(const mps* f, lp* p) {
  int* index = malloc(((size_t)f->n_rows + 1) * sizeof *index); /* MPS row -> row of A, -1 */
  int m = 0, n_slack = 0;
  if (index == NULL)
    return 0;
  for (int r = 0; r < f->n_rows; ++r) {
    index[r] = f->row_type[r] == 'N' ? -1 : m++;
    n_slack += f->row_type[r] == 'L' || f->row_type[r] == 'G';
  }
  p->m = m;
  p->n_struct = f->n_cols;
  p->n_real = f->n_cols + n_slack;
  p->n = p->n_real + m;
  size_t nnz = (size_t)f->n_elems + n_slack + m + 1, rows = (size_t)m + 1;
  p->start = calloc((size_t)p->n + 1, sizeof *p->start);
  p->row = malloc(nnz * sizeof *p->row);
  p->val = malloc(nnz * sizeof *p->val);
  p->slack = malloc(rows * sizeof *p->slack);
  p->c = calloc((size_t)p->n + 1, sizeof *p->c);
  p->b = malloc(rows * sizeof *p->b);
  int* slack_at = malloc(rows * sizeof *slack_at); /* the slack column of each row, -1 */
  int* fill = malloc(((size_t)p->n + 1) * sizeof *fill); /* next free entry of each column */
  if (p->start == NULL || p->row == NULL || p->val == NULL || p->slack == NULL ||
      p->c == NULL || p->b == NULL || slack_at == NULL || fill == NULL) {
    free(index), free(slack_at), free(fill);
    return 0;
  }
  memcpy(p->c, f->cost, (size_t)f->n_cols * sizeof *p->c);
  /* A row whose right-hand side is negative is negated (b, entries, slack). */
  int next_slack = f->n_cols;
  for (int r = 0; r < f->n_rows; ++r) {
    int i = index[r];
    if (i < 0)
      continue;
    p->b[i] = fabs(f->rhs[r]);
    slack_at[i] = f->row_type[r] == 'E' ? -1 : next_slack++;
  }
  /* Entries counted per column, then placed (counting sort by column). */
  for (int k = 0; k < f->n_elems; ++k)
    ++p->start[f->e_col[k] + 1];
  for (int i = 0; i < m; ++i) {
    if (slack_at[i] >= 0)
      ++p->start[slack_at[i] + 1];
    ++p->start[p->n_real + i + 1];
  }
  for (int j = 0; j < p->n; ++j)
    p->start[j + 1] += p->start[j];
  memcpy(fill, p->start, (size_t)p->n * sizeof *fill);
  for (int k = 0; k < f->n_elems; ++k) {
    int r = f->e_row[k], at = fill[f->e_col[k]]++;
    p->row[at] = index[r];
    p->val[at] = f->rhs[r] < 0 ? -f->e_val[k] : f->e_val[k];
  }
  for (int r = 0; r < f->n_rows; ++r) {
    int i = index[r];
    if (i < 0)
      continue;
    double sign = f->rhs[r] < 0 ? -1.0 : 1.0;
    double coef = (f->row_type[r] == 'L' ? 1.0 : -1.0) * sign; /* L: +s, G: -s */
    p->slack[i] = -1;
    if (slack_at[i] >= 0) {
      int at = fill[slack_at[i]]++;
      p->row[at] = i;
      p->val[at] = coef;
      if (coef > 0)
        p->slack[i] = slack_at[i];
    }
    int at = fill[p->n_real + i]++;
    p->row[at] = i;
    p->val[at] = 1.0;
  }
  free(fill), free(index), free(slack_at);
  return 1;
}

/* ---- the revised simplex method ---------------------------------------------------- */

/* The method's state: the basis B, its factorization in the library's handle
   and the values of the basic variables. */
typedef struct {
  const lp* p;
  lu_handle* h;
  int* basis;  /* basis[k]: the column at position k of B, -1 for none (m) */
  int* where;  /* where[j]: the position of column j in B, -1 when nonbasic (n) */
  double* xb;  /* xb[k]: the value of the basic variable at position k (m) */
  double* cost; /* the phase's costs (n) */
  char* barred; /* barred[j]: column j may not enter (n) */
  double *w, *y; /* sparse vectors of order m, all zero between two uses */
  int *w_idx, *y_idx, *cols, *rows; /* their non-zero lists; repair pairs (m) */
  int n_barred, updates; /* barred columns; replacements since the factorization */
  int iterations, factorizations, repaired, refused;
} solver;

enum { OPTIMAL, INFEASIBLE, UNBOUNDED, FAILED };

/* Loads B (the columns of the basis) into the handle: 0, or -1 when the
   library refused a call. */
static int load(solver* s) {
  const lp* p = s->p;
  int rc = lu_resize(s->h, p->m) == 0 ? 0 : -1;
  for (int pos = 0; pos < p->m && rc == 0; ++pos) {
    int j = s->basis[pos];
    if (j < 0)
      continue; /* an empty position: the factorization leaves it without pivot */
    for (int k = p->start[j]; k < p->start[j + 1] && rc == 0; ++k)
      rc = lu_append(s->h, p->row[k], pos, p->val[k]) < 0 ? -1 : 0;
  }
  return rc;
}

/* Puts column j at position pos of the basis (the column there leaves). */
static void set_basic(solver* s, int pos, int j) {
  if (s->basis[pos] >= 0)
    s->where[s->basis[pos]] = -1;
  s->basis[pos] = j;
  s->where[j] = pos;
}

/* Factorizes the current basis afresh, repairing a singular one with
   artificial columns, and computes x_B = B^-1 b.  1, or 0 after a message
   (the library failed, or a repair in phase 2 left the basis infeasible). */
static int refactor(solver* s, int phase) {
  const lp* p = s->p;
  int rank, *q, *r, pairs = 0, before = s->repaired;
  for (int round = 0; round <= p->m; ++round) {
    if (load(s) != 0 || lu_factoring(s->h, 1, &rank, &q, &r) != 0) {
      fprintf(stderr, "simplex: the library could not factorize the basis\n");
      return 0;
    }
    ++s->factorizations;
    pairs = zk_singular_pairs(s->h, s->cols, s->rows);
    if (pairs <= 0)
      break;
    for (int k = 0; k < pairs; ++k) /* the unit column of the row without pivot */
      set_basic(s, s->cols[k], p->n_real + s->rows[k]);
    s->repaired += pairs;
  }
  if (pairs != 0 || lu_ftran(s->h, s->xb, p->b) != 0) {
    fprintf(stderr, "simplex: the basis could not be repaired (%d)\n", pairs);
    return 0;
  }
  s->updates = 0;
  if (phase == 2 && s->repaired > before) {
    for (int pos = 0; pos < p->m; ++pos)
      if (s->xb[pos] < -TOL_FEAS || (s->basis[pos] >= p->n_real && s->xb[pos] > TOL_FEAS)) {
        fprintf(stderr, "simplex: the repaired basis is infeasible\n");
        return 0;
      }
  }
  return 1;
}

/* The entering column: the most negative reduced cost d_j = c_j - y^T a_j
   below -TOL_DUAL (with `bland`, the first such column), -1 when none.  The
   duals y^T = c_B^T B^-1 come from the sparse BTRAN of the basic costs. */
static int price(solver* s, int bland) {
  const lp* p = s->p;
  int nz = 0;
  for (int pos = 0; pos < p->m; ++pos)
    if (s->cost[s->basis[pos]] != 0.0) {
      s->y[pos] = s->cost[s->basis[pos]];
      s->y_idx[nz++] = pos;
    }
  if (zk_btran_sparse(s->h, s->y, s->y_idx, &nz) != 0)
    return -2;
  int best = -1;
  double best_d = -TOL_DUAL;
  for (int j = 0; j < p->n_real && !(bland && best >= 0); ++j) {
    if (s->where[j] >= 0 || s->barred[j])
      continue;
    double d = s->cost[j];
    for (int k = p->start[j]; k < p->start[j + 1]; ++k)
      d -= s->y[p->row[k]] * p->val[k];
    if (d < best_d) {
      best_d = d;
      best = j;
    }
  }
  for (int k = 0; k < nz; ++k)
    s->y[s->y_idx[k]] = 0.0;
  return best;
}

/* The leaving position for the transformed entering column w (non-zeros at
   w_idx[0 .. nz-1]) and the step *theta; -1 when w has no positive entry
   (the step is unbounded).  In phase 2 a basic artificial (at zero) with a
   usable w_p leaves first with step 0.  Otherwise two passes (Harris): the
   largest step that keeps every x_B >= -TOL_FEAS, then among the positions
   whose ratio is within it the largest w_p (with `bland`, the smallest column
   index), so that small pivots are avoided. */
static int ratio_test(const solver* s, int nz, int phase, int bland, double* theta) {
  const lp* p = s->p;
  int leave = -1;
  if (phase == 2)
    for (int k = 0; k < nz; ++k) {
      int pos = s->w_idx[k];
      if (s->basis[pos] >= p->n_real && fabs(s->w[pos]) > TOL_PIVOT &&
          (leave < 0 || fabs(s->w[pos]) > fabs(s->w[leave])))
        leave = pos;
    }
  if (leave >= 0) {
    *theta = 0.0;
    return leave;
  }
  double bound = INFINITY;
  for (int k = 0; k < nz; ++k) {
    int pos = s->w_idx[k];
    if (s->w[pos] > TOL_PIVOT && (s->xb[pos] + TOL_FEAS) / s->w[pos] < bound)
      bound = (s->xb[pos] + TOL_FEAS) / s->w[pos];
  }
  for (int k = 0; k < nz; ++k) {
    int pos = s->w_idx[k];
    if (s->w[pos] <= TOL_PIVOT || s->xb[pos] / s->w[pos] > bound)
      continue;
    if (leave < 0 || (bland ? s->basis[pos] < s->basis[leave] : s->w[pos] > s->w[leave]))
      leave = pos;
  }
  if (leave >= 0)
    *theta = s->xb[leave] > 0.0 ? s->xb[leave] / s->w[leave] : 0.0;
  return leave;
}

/* Runs the phase (1: the artificials' sum, 2: the objective) to its end:
   OPTIMAL, UNBOUNDED or FAILED (after a message). */
static int run_phase(solver* s, int phase) {
  const lp* p = s->p;
  for (int j = 0; j < p->n; ++j)
    s->cost[j] = phase == 1 ? (j >= p->n_real ? 1.0 : 0.0) : p->c[j];
  int degenerate = 0, limit = 10000 + 20 * (p->m + p->n);
  for (;;) {
    int bland = degenerate >= BLAND_AFTER;
    int q = price(s, bland);
    if (q == -2 || s->iterations >= limit) {
      fprintf(stderr, "simplex: %s\n", q == -2 ? "the sparse BTRAN failed" : "iteration limit");
      return FAILED;
    }
    if (q < 0 && s->updates > 0) { /* judge the optimum on fresh factors */
      if (!refactor(s, phase))
        return FAILED;
      continue;
    }
    if (q < 0 && s->n_barred > 0) {
      fprintf(stderr, "simplex: every improving column was refused\n");
      return FAILED;
    }
    if (q < 0)
      return OPTIMAL;

    /* w = B^-1 a_q and the ratio test. */
    int nz = p->start[q + 1] - p->start[q];
    if (nz > p->m) {
      fprintf(stderr, "simplex: a column lists more entries than there are rows\n");
      return FAILED;
    }
    for (int k = 0; k < nz; ++k) {
      s->w_idx[k] = p->row[p->start[q] + k];
      s->w[s->w_idx[k]] += p->val[p->start[q] + k];
    }
    if (zk_ftran_sparse(s->h, s->w, s->w_idx, &nz) != 0) {
      fprintf(stderr, "simplex: the sparse FTRAN failed\n");
      return FAILED;
    }
    double theta = 0.0;
    int leave = ratio_test(s, nz, phase, bland, &theta);
    if (leave < 0) {
      for (int k = 0; k < nz; ++k)
        s->w[s->w_idx[k]] = 0.0;
      return UNBOUNDED;
    }

    /* B's column at `leave` becomes a_q. */
    int rc = zk_replace_column(s->h, leave, p->start[q + 1] - p->start[q], p->row + p->start[q],
                               p->val + p->start[q]);
    if (rc == 0) {
      for (int k = 0; k < nz; ++k)
        s->xb[s->w_idx[k]] -= theta * s->w[s->w_idx[k]];
      s->xb[leave] = theta;
      set_basic(s, leave, q);
      ++s->updates;
      ++s->iterations;
      degenerate = theta > 0.0 ? 0 : degenerate + 1;
      if (s->n_barred > 0) {
        memset(s->barred, 0, (size_t)p->n);
        s->n_barred = 0;
      }
    }
    for (int k = 0; k < nz; ++k)
      s->w[s->w_idx[k]] = 0.0;
    if (rc == 1) {
      ++s->refused;
      if (s->updates == 0) { /* refused on fresh factors: a_q may not enter now */
        s->barred[q] = 1;
        ++s->n_barred;
        continue;
      }
    }
    if ((rc != 0 || zk_refactor_advice(s->h, NULL, NULL, NULL) == 1) && !refactor(s, phase))
      return FAILED;
  }
}

/* Solves p from the slack start: OPTIMAL, INFEASIBLE, UNBOUNDED or FAILED. */
static int solve(solver* s) {
  const lp* p = s->p;
  for (int i = 0; i < p->m; ++i)
    s->basis[i] = p->slack[i];
  for (int j = 0; j < p->n; ++j)
    s->where[j] = -1;
  for (int i = 0; i < p->m; ++i)
    if (s->basis[i] >= 0)
      s->where[s->basis[i]] = i;
  if (!refactor(s, 1))
    return FAILED;
  int status = run_phase(s, 1);
  if (status != OPTIMAL)
    return FAILED; /* the sum of the artificials is bounded below */
  double infeasibility = 0.0, scale = 1.0;
  for (int i = 0; i < p->m; ++i) {
    scale = fmax(scale, p->b[i]);
    if (s->basis[i] >= p->n_real)
      infeasibility += s->xb[i];
  }
  if (infeasibility > 1e-7 * scale)
    return INFEASIBLE;
  return run_phase(s, 2);
}

/* The solver's arrays for p; 1, or 0 when memory ran out. */
static int solver_init(solver* s, const lp* p) {
  memset(s, 0, sizeof *s);
  s->p = p;
  size_t m = (size_t)p->m + 1, n = (size_t)p->n + 1;
  s->basis = malloc(m * sizeof(int));
  s->where = malloc(n * sizeof(int));
  s->xb = calloc(m, sizeof(double));
  s->cost = calloc(n, sizeof(double));
  s->barred = calloc(n, 1);
  s->w = calloc(m, sizeof(double));
  s->y = calloc(m, sizeof(double));
  s->w_idx = malloc(m * sizeof(int));
  s->y_idx = malloc(m * sizeof(int));
  s->cols = malloc(m * sizeof(int));
  s->rows = malloc(m * sizeof(int));
  s->h = lu_new();
  return s->basis && s->where && s->xb && s->cost && s->barred && s->w && s->y && s->w_idx &&
         s->y_idx && s->cols && s->rows;
}

static void solver_free(solver* s) {
  lu_delete(s->h);
  free(s->basis), free(s->where), free(s->xb), free(s->cost), free(s->barred);
  free(s->w), free(s->y), free(s->w_idx), free(s->y_idx), free(s->cols), free(s->rows);
}

static void mps_free(mps* f) {
  free(f->row_name), free(f->row_type), free(f->rhs), free(f->col_name), free(f->cost);
  free(f->e_row), free(f->e_col), free(f->e_val);
}

static void lp_free(lp* p) {
  free(p->start), free(p->row), free(p->slack), free(p->val), free(p->c), free(p->b);
}

/* Prints the optimum: the objective, and as a check of the solution the
   largest |A x - b| over the rows (artificials left out) and the smallest x. */
static void report(const solver* s, double offset) {
  const lp* p = s->p;
  double objective = offset, residual = 0.0, x_min = 0.0;
  double* ax = calloc((size_t)p->m + 1, sizeof *ax);
  if (ax == NULL)
    return;
  for (int pos = 0; pos < p->m; ++pos) {
    int j = s->basis[pos];
    if (j >= p->n_real)
      continue;
    objective += p->c[j] * s->xb[pos];
    x_min = fmin(x_min, s->xb[pos]);
    for (int k = p->start[j]; k < p->start[j + 1]; ++k)
      ax[p->row[k]] += p->val[k] * s->xb[pos];
  }
  for (int i = 0; i < p->m; ++i)
    residual = fmax(residual, fabs(ax[i] - p->b[i]));
  free(ax);
  printf("optimal objective %.12e (max|Ax-b| = %.1e, min x = %.1e)\n", objective, residual,
         x_min);
}

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "afiro.mps";
  if (argc > 2) {
    fprintf(stderr, "usage: simplex [file.mps]\n");
    return 2;
  }
  mps f;
  if (!read_mps(path, &f)) {
    mps_free(&f);
    return 2;
  }
  lp p = {0};
  solver s = {0};
  int status = FAILED;
  if (!standard_form(&f, &p) || !solver_init(&s, &p)) {
    fprintf(stderr, "simplex: out of memory\n");
  } else {
    printf("zelkor %s: %s, %d rows, %d columns, %d elements, %d upper bounds\n", zk_version(),
           f.title, p.m - f.n_bounds, p.n_struct, f.n_elems - f.n_bounds, f.n_bounds);
    status = solve(&s);
    printf("%d iterations, %d factorizations, %d columns repaired, %d replacements refused\n",
           s.iterations, s.factorizations, s.repaired, s.refused);
    if (status == OPTIMAL)
      report(&s, f.offset);
    else if (status != FAILED)
      printf("%s\n", status == INFEASIBLE ? "infeasible" : "unbounded");
  }
  solver_free(&s);
  lp_free(&p);
  mps_free(&f);
  return status == OPTIMAL ? 0 : 1;
}
