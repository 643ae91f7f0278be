// Fuzz target: the library interface.  The input bytes are a program of at
// most MAX_OPS operations on three handle slots: lu_new, lu_resize with small
// orders, lu_append with any indices and values (non-finite ones included),
// blocks of appended elements, a generated well-scaled matrix, lu_factoring
// with both accept values, lu_ftran, lu_btran, lu_kakunin, both products,
// lu_delete in any order, and the basis update lu_pivotting with sparse
// columns.  An operation on an empty slot passes a null handle.  The library
// is the build with the diagnostics, as the shared library ZelkorD has it.
//
// A model of every handle follows the calls and states what each must
// return, from the interface's description: refusals (-1) of a null, unsized
// or uncovered handle, of a second factorization without a new sizing and of
// solves without a valid factorization (the vector then left equal to the
// right-hand side); slots of stored elements; the matching handed out by a
// successful factorization; the products of the matrix copy.  No call may
// report running out of memory.
//
// Residuals are checked only on the generated matrices, whose conditioning
// is known: the matrix P·M·Q with M column diagonally dominant, each column
// holding a diagonal of magnitude in [4, 8) and at most two other entries in
// [-1, 1], so that every column's diagonal exceeds the sum of the others by
// at least 2 and ||M⁻¹||₁ <= 1/2.  Replacing a column by one of the same kind
// (same diagonal position) keeps the property, so the update's transformed
// pivot has |α| = 1/|(M'⁻¹)_jj| >= 2 and every update must succeed.  With
// the threshold pivoting's multipliers bounded by 100, at most two
// off-diagonal entries per column and orders up to 16, the normwise backward
// error of a solve stays far below RESIDUAL_BOUND whatever the pivot order
// (about n·ε·101² < 1e-10; in practice below 1e-13), also after many
// updates; a real fault (a wrong eta, a stale work array) gives residuals of
// order 1.
// On any other data only the result codes and, where defined, the results'
// equalities are checked.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

#include "fuzz_support.h"
#include "lp_kesh.h"
#include "lp_lumx.h"
#include "lp_sm_lu.h"
#include "lp_ve.h"
#include "zelkor.h"

namespace {

const int MAX_HANDLES = 3;
const int MAX_OPS = 64;
const int MAX_GEN_ORDER = 16;
const double RESIDUAL_BOUND = 1e-8;
// Products: the library and the model add the same terms in another order.
const double PRODUCT_TOL = 1e-12;

// The input, byte by byte; zeros once it runs out.
struct fz_bytes {
  const uint8_t* p;
  size_t left;
  uint8_t u8() {
    if (left == 0)
      return 0;
    --left;
    return *p++;
  }
  uint32_t u32() {
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k)
      v = v << 8 | u8();
    return v;
  }
  // Values chosen to reach the edges: zeros of both signs, tiny, huge,
  // subnormal and non-finite values, or any 8 bytes.
  double value() {
    static const double table[] = {0.0,     -0.0,     1.0,   -1.0,  0.5,    2.0,    3.0,
                                   -2.5,    1e-300,   -1e-300, 4.9e-324, 1e300, -1e300, 1e-13,
                                   1e13,    0.01,     std::numeric_limits<double>::max(),
                                   std::numeric_limits<double>::infinity(),
                                   -std::numeric_limits<double>::infinity(),
                                   std::numeric_limits<double>::quiet_NaN()};
    const int n = sizeof table / sizeof table[0];
    uint8_t b = u8();
    if (b < 240)
      return table[b % n];
    uint64_t bits = (uint64_t)u32() << 32 | u32();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
  }
};

// A small generator for the well-scaled matrices and right-hand sides.
struct fz_rng {
  uint64_t s;
  uint64_t next() {
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    return s >> 11;
  }
  double unit() { return (double)(next() & ((1ULL << 52) - 1)) / (double)(1ULL << 52); }  // [0, 1)
  double sym() { return 2.0 * unit() - 1.0; }                                              // [-1, 1)
  int below(int n) { return (int)(next() % (uint64_t)n); }
};

struct trip {
  int i;
  int j;
  double v;
};

// What the interface lets a caller know about one handle.
struct handle_model {
  lu_handle* h = nullptr;
  int n = -1;                 // order of the last sizing; -1 never sized
  std::vector<trip> appended; // elements stored since the sizing, before any factorization
  bool factored = false;      // lu_factoring ran since the sizing
  bool valid = false;         // ... and succeeded at full rank: solves work
  int updates = 0;            // successful updates since the factorization
  std::vector<int> match;     // row -> column of the factorization
  // The matrix copy the products use (row-major n·n): the appended matrix
  // at the factorization, its columns replaced by the updates; zeros after a
  // sizing.  Duplicates add up.
  std::vector<double> copy;
  std::vector<double> copy_abs;  // the sums of the elements' magnitudes
  bool copy_finite = true;
  // The generated matrix in effect: residuals are checked.
  bool well_scaled = false;
  std::vector<int> prow, pcol;  // structural column t is column pcol[t], its diagonal row prow[t]
  int spread = 0;
};

handle_model slots[MAX_HANDLES];

bool all_finite(const std::vector<double>& v) {
  for (double x : v)
    if (!std::isfinite(x))
      return false;
  return true;
}

void fill_copy(handle_model& m) {
  m.copy.assign((size_t)m.n * m.n, 0.0);
  m.copy_abs.assign((size_t)m.n * m.n, 0.0);
  for (const trip& t : m.appended) {
    m.copy[(size_t)t.i * m.n + t.j] += t.v;
    m.copy_abs[(size_t)t.i * m.n + t.j] += std::fabs(t.v);
  }
  m.copy_finite = all_finite(m.copy);
}

// max_i |rhs - B·x|_i / max_i (|B||x| + |rhs|)_i, B the copy; with transposed
// set, the same for yᵀ·B = cᵀ.
double residual(const handle_model& m, const std::vector<double>& x,
                const std::vector<double>& rhs, bool transposed) {
  const int n = m.n;
  long double rm = 0, sm = 0;
  for (int i = 0; i < n; ++i) {
    long double r = rhs[i], s = std::fabs(rhs[i]);
    for (int j = 0; j < n; ++j) {
      size_t at = transposed ? (size_t)j * n + i : (size_t)i * n + j;
      long double p = (long double)m.copy[at] * x[j];
      r -= p;
      s += std::fabs(p);
    }
    rm = std::fmax(rm, std::fabs(r));
    sm = std::fmax(sm, s);
  }
  return sm == 0 ? (double)rm : (double)(rm / sm);
}

double ftran_residual(const handle_model& m, const std::vector<double>& x,
                      const std::vector<double>& rhs) {
  return residual(m, x, rhs, false);
}
double btran_residual(const handle_model& m, const std::vector<double>& y,
                      const std::vector<double>& c) {
  return residual(m, y, c, true);
}

// The handle has been sized, factorized since, and the shared work record
// covers its order: the transforms run (lu_delete of another handle frees
// the record; a later sizing of any handle may cover this one again).
bool ready(const handle_model& m) { return m.h != nullptr && m.factored && lplu_covers(m.n); }

// One solve in each direction on a valid handle of a generated matrix,
// residuals checked; rhs kind 3 is arbitrary data and checks results only.
void solve(handle_model& m, fz_bytes& in, bool forward) {
  const int n = m.n < 0 ? 0 : m.n;
  int kind = in.u8() % 4;
  fz_rng rng{in.u32()};
  std::vector<double> rhs(n), out(n, -7.0);
  for (int i = 0; i < n; ++i)
    rhs[i] = kind == 3 ? in.value() : kind == 2 ? 0.0 : rng.sym();
  if (kind == 2 && n > 0)
    rhs[rng.below(n)] = 1.0;
  // Exact sizes, so that the sanitizer sees a write past the order.
  double* x = new double[n];
  double* b = new double[n];
  for (int i = 0; i < n; ++i) {
    x[i] = -7.0;
    b[i] = rhs[i];
  }
  bool was_ready = ready(m);
  int rc = forward ? lu_ftran(m.h, x, b) : lu_btran(m.h, x, b);
  for (int i = 0; i < n; ++i)
    out[i] = x[i];
  delete[] x;
  delete[] b;
  if (!was_ready) {
    FZ_CHECK(rc == -1);
    return;
  }
  if (!m.valid) {
    FZ_CHECK(rc == -1);
    for (int i = 0; i < n; ++i)
      FZ_CHECK(out[i] == rhs[i] || (std::isnan(out[i]) && std::isnan(rhs[i])));
    return;
  }
  FZ_CHECK(rc >= 0);
  if (m.well_scaled && kind != 3) {
    FZ_CHECK(rc == 0);
    double res = forward ? ftran_residual(m, out, rhs) : btran_residual(m, out, rhs);
    FZ_CHECK(res <= RESIDUAL_BOUND);
  }
}

void check_solves(handle_model& m, fz_bytes& in) {
  solve(m, in, true);
  solve(m, in, false);
}

// ---- operations ----------------------------------------------------------------------------

void op_new(handle_model& m) {
  if (m.h != nullptr)
    return;
  m = handle_model{};
  m.h = lu_new();
  FZ_CHECK(m.h != nullptr);
}

void op_delete(handle_model& m) {
  lu_delete(m.h);  // a null handle does nothing
  m = handle_model{};
}

void sized(handle_model& m, int n) {
  m.n = n;
  m.appended.clear();
  m.factored = m.valid = m.well_scaled = false;
  m.updates = 0;
  m.match.clear();
  fill_copy(m);
}

void op_resize(handle_model& m, fz_bytes& in) {
  uint8_t b = in.u8();
  int n = b >= 240 ? 21 + (b - 240) : b % 14 - 2;  // -2 .. 11, or 21 .. 36
  int rc = lu_resize(m.h, n);
  if (m.h == nullptr || n < 0) {
    FZ_CHECK(rc == -1);
    return;
  }
  FZ_CHECK(rc == 0);
  sized(m, n);
}

int index_of(fz_bytes& in, int n) {
  uint8_t b = in.u8();
  switch (b) {
    case 255: return std::numeric_limits<int>::min();
    case 254: return std::numeric_limits<int>::max();
    case 253: return 1 << 20;
    default: return b % ((n < 1 ? 1 : n) + 2) - 1;
  }
}

void append_one(handle_model& m, int row, int col, double v) {
  int rc = lu_append(m.h, row, col, v);
  if (m.h == nullptr || m.n < 0 || row < 0 || row >= m.n || col < 0 || col >= m.n) {
    FZ_CHECK(rc == -1);
    return;
  }
  if (v == 0.0) {
    FZ_CHECK(rc == 0);
    return;
  }
  FZ_CHECK(rc >= 0);
  // After the factorization an element waits for the next one (which needs
  // a new sizing first): the factors and the copy stay as they are.
  if (!m.factored) {
    m.appended.push_back({row, col, v});
    m.well_scaled = false;
  }
}

void op_append(handle_model& m, fz_bytes& in) {
  int row = index_of(in, m.n);
  int col = index_of(in, m.n);
  append_one(m, row, col, in.value());
}

// A block of elements with small indices and small integer values.
void op_block(handle_model& m, fz_bytes& in) {
  int count = in.u8() % 16;
  int n = m.n < 1 ? 1 : m.n;
  for (int k = 0; k < count; ++k) {
    uint8_t b = in.u8();
    int row = b % n;
    int col = (b / n) % n;
    append_one(m, row, col, (double)((int)in.u8() % 9 - 4));
  }
}

// Sizes the handle for a generated well-scaled matrix and appends it, in
// generation order or shuffled, some elements split into two halves.
void op_generate(handle_model& m, fz_bytes& in) {
  if (m.h == nullptr)
    return;
  int n = 1 + in.u8() % MAX_GEN_ORDER;
  int spread = in.u8() % 3;
  uint8_t flags = in.u8();
  fz_rng rng{in.u32()};
  FZ_CHECK(lu_resize(m.h, n) == 0);
  sized(m, n);
  m.prow.resize(n);
  m.pcol.resize(n);
  for (int i = 0; i < n; ++i)
    m.prow[i] = m.pcol[i] = i;
  if (flags & 1)
    for (int i = n - 1; i > 0; --i) {
      std::swap(m.prow[i], m.prow[rng.below(i + 1)]);
      std::swap(m.pcol[i], m.pcol[rng.below(i + 1)]);
    }
  std::vector<trip> t;
  for (int c = 0; c < n; ++c) {
    std::vector<bool> used(n, false);
    used[c] = true;
    double d = 4.0 + 4.0 * rng.unit();
    t.push_back({m.prow[c], m.pcol[c], (rng.next() & 1) ? -d : d});
    for (int k = 0; k < spread && n > 1; ++k) {
      int i = rng.below(n);
      double v = rng.sym();
      if (used[i] || v == 0.0)
        continue;
      used[i] = true;
      t.push_back({m.prow[i], m.pcol[c], v});
    }
  }
  if (flags & 2)
    for (size_t i = t.size() - 1; i > 0; --i)
      std::swap(t[i], t[rng.below((int)i + 1)]);
  for (const trip& e : t) {
    if ((flags & 4) && (rng.next() & 3) == 0) {
      FZ_CHECK(lu_append(m.h, e.i, e.j, e.v / 2) >= 0);  // exact halves
      FZ_CHECK(lu_append(m.h, e.i, e.j, e.v / 2) >= 0);
    } else {
      FZ_CHECK(lu_append(m.h, e.i, e.j, e.v) >= 0);
    }
  }
  m.appended = t;
  m.well_scaled = true;
  m.spread = spread;
}

// The matching handed out: (*q)[row] the column of row, (*r)[col] the row
// of col, -1 for a line without a pivot, rank lines matched each way.
void check_matching(const int* q, const int* r, int n, int rank) {
  int rows = 0, cols = 0;
  for (int i = 0; i < n; ++i) {
    FZ_CHECK(q[i] >= -1 && q[i] < n);
    FZ_CHECK(r[i] >= -1 && r[i] < n);
    if (q[i] >= 0) {
      FZ_CHECK(r[q[i]] == i);
      ++rows;
    }
    if (r[i] >= 0) {
      FZ_CHECK(q[r[i]] == i);
      ++cols;
    }
  }
  FZ_CHECK(rows == rank && cols == rank);
}

void op_factor(handle_model& m, fz_bytes& in) {
  uint8_t flags = in.u8();
  int accept = flags & 1;
  bool outputs = (flags & 2) == 0;
  int rank = -5;
  int* q = nullptr;
  int* r = nullptr;
  bool refuse = m.h == nullptr || m.n < 0 || m.factored || !lplu_covers(m.n);
  int rc = outputs ? lu_factoring(m.h, accept, &rank, &q, &r)
                   : lu_factoring(m.h, accept, nullptr, nullptr, nullptr);
  if (refuse) {
    FZ_CHECK(rc == -1);
    return;
  }
  FZ_CHECK(rc == 0 || rc == -1);
  m.factored = true;
  fill_copy(m);  // the copy is taken before the elimination
  if (outputs && rc == 0) {
    FZ_CHECK(rank >= 0 && rank <= m.n);
    FZ_CHECK(accept != 0 || rank == m.n);
    FZ_CHECK(q != nullptr && r != nullptr);
    check_matching(q, r, m.n, rank);
    m.match.assign(q, q + m.n);
  }
  if (m.well_scaled) {
    FZ_CHECK(rc == 0);
    FZ_CHECK(!outputs || rank == m.n);
  }
  // Without the outputs the rank is unseen: the model reads the handle's
  // record of the outcome (sz - rank) and its matching instead.
  int deficit = m.h->fact_state;
  if (outputs && rc == 0)
    FZ_CHECK(deficit == m.n - rank);
  m.valid = rc == 0 && deficit == 0;
  if (m.valid && !outputs) {
    m.match.resize(m.n);
    for (int i = 0; i < m.n; ++i)
      m.match[i] = m.h->ips1[i];
  }
  if (m.well_scaled)
    check_solves(m, in);
}

void op_kakunin(handle_model& m) {
  bool was_ready = ready(m);
  int rc = lu_kakunin(m.h);
  if (!was_ready) {
    FZ_CHECK(rc == -1);
    return;
  }
  FZ_CHECK(rc >= -1);
  if (m.valid)
    FZ_CHECK(rc >= 0);
  if (m.valid && m.well_scaled)
    FZ_CHECK(rc == 0);
}

void op_product(handle_model& m, fz_bytes& in, bool from_left) {
  const int n = m.n < 0 ? 0 : m.n;
  std::vector<double> v(n);
  for (double& x : v)
    x = in.value();
  double* out = new double[n];
  double* arg = new double[n];
  for (int i = 0; i < n; ++i) {
    out[i] = -7.0;
    arg[i] = v[i];
  }
  int rc = from_left ? lu_mult_d_mx(m.h, out, arg) : lu_mult_mx_d(m.h, out, arg);
  std::vector<double> got(out, out + n);
  delete[] out;
  delete[] arg;
  if (m.h == nullptr) {
    FZ_CHECK(rc == -1);
    return;
  }
  // A handle never sized keeps no copy: zeros and 1.
  FZ_CHECK(rc == (m.n < 0 ? 1 : 0));
  if (rc == 1) {
    for (double x : got)
      FZ_CHECK(x == 0.0);
    return;
  }
  if (!m.copy_finite || !all_finite(v))
    return;
  for (int a = 0; a < n; ++a) {
    long double want = 0, scale = 0;
    for (int k = 0; k < n; ++k) {
      size_t at = from_left ? (size_t)k * n + a : (size_t)a * n + k;
      want += (long double)m.copy[at] * v[k];
      // Duplicates are added one by one: their cancellation counts.
      scale += (long double)m.copy_abs[at] * std::fabs(v[k]);
    }
    if (!(scale <= 1e300))
      continue;
    // The floor covers products that round to subnormals or to zero.
    FZ_CHECK(std::fabs((long double)got[a] - want) <= PRODUCT_TOL * scale + 1e-300);
  }
}

// The basis update: a column of the generated kind replaces the column of
// row r of a generated matrix, otherwise a sparse column of arbitrary values.
void op_update(handle_model& m, fz_bytes& in) {
  // An internal routine: only a handle ready for the transforms may be
  // passed, and the column must have the handle's order.
  if (!ready(m))
    return;
  const int n = m.n;
  int r = in.u8() % (n + 2) - 1;
  lpvect2 as{};
  FZ_CHECK(lpvect2_alloc(&as, n, nullptr) == 0);
  lpvect2_newmark(&as);
  std::vector<trip> col;  // (row, -, value) of the new column
  bool generated = m.well_scaled && m.valid && r >= 0 && r < n;
  int j = -1;
  if (generated) {
    j = m.match[r];
    int t = 0;
    while (m.pcol[t] != j)
      ++t;
    fz_rng rng{in.u32()};
    std::vector<bool> used(n, false);
    used[t] = true;
    double d = 4.0 + 4.0 * rng.unit();
    col.push_back({m.prow[t], 0, (rng.next() & 1) ? -d : d});
    for (int k = 0; k < m.spread && n > 1; ++k) {
      int i = rng.below(n);
      double v = rng.sym();
      if (used[i] || v == 0.0)
        continue;
      used[i] = true;
      col.push_back({m.prow[i], 0, v});
    }
  } else if (n > 0) {
    int count = in.u8() % 6;
    for (int k = 0; k < count; ++k) {
      int i = in.u8() % n;
      double v = in.value();
      bool again = false;
      for (trip& e : col)
        if (e.i == i) {
          e.v = v;  // a position set twice keeps the later value
          again = true;
        }
      if (!again)
        col.push_back({i, 0, v});
    }
  }
  for (const trip& e : col)
    lpvect2_set(&as, e.i, e.v);
  int rc = lu_pivotting(m.h, r, &as);
  lpvect2_free(&as);
  if (r < 0 || r >= n) {
    FZ_CHECK(rc == -1);
    return;
  }
  if (!m.valid) {
    FZ_CHECK(rc <= 0);
    return;
  }
  FZ_CHECK(rc >= 0);  // never -2: memory does not run out here
  if (generated)
    FZ_CHECK(rc == m.updates + 1);
  if (rc > 0) {
    FZ_CHECK(rc == m.updates + 1);
    m.updates = rc;
    j = m.match[r];
    for (int i = 0; i < n; ++i)
      m.copy[(size_t)i * n + j] = m.copy_abs[(size_t)i * n + j] = 0.0;
    for (const trip& e : col) {
      m.copy[(size_t)e.i * n + j] = e.v;
      m.copy_abs[(size_t)e.i * n + j] = std::fabs(e.v);
    }
    m.copy_finite = all_finite(m.copy);
    if (!generated)
      m.well_scaled = false;
  }
  if (m.well_scaled)
    check_solves(m, in);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool once = [] {
    fz_setup();
    // The log would grow by every report of every input: each report still
    // goes through the formatting, into /dev/null.
    log_set_name("/dev/null");
    return true;
  }();
  (void)once;
  // ZK_FUZZ_TRACE=1 in the environment lists the operations of each input
  // with the model's state before each, to follow a failing input.
  static const bool trace = std::getenv("ZK_FUZZ_TRACE") != nullptr;
  // The failed-check count is a plain counter; a long campaign would carry
  // it past its range.
  chk_set_fail_count(0);
  fz_bytes in{data, size};
  for (int op = 0; op < MAX_OPS && in.left > 0; ++op) {
    uint8_t code = in.u8();
    handle_model& m = slots[(code >> 4) % MAX_HANDLES];
    if (trace)
      std::fprintf(stderr, "op %d slot %d: order %d factorized %d valid %d generated %d\n",
                   code & 15, (int)(&m - slots), m.n, m.factored, m.valid, m.well_scaled);
    switch (code & 15) {
      case 0: op_new(m); break;
      case 1: op_delete(m); break;
      case 2: op_resize(m, in); break;
      case 3: op_append(m, in); break;
      case 4: op_block(m, in); break;
      case 5: op_generate(m, in); break;
      case 6: op_factor(m, in); break;
      case 7: solve(m, in, true); break;
      case 8: solve(m, in, false); break;
      case 9: op_kakunin(m); break;
      case 10: op_product(m, in, false); break;
      case 11: op_product(m, in, true); break;
      case 12: op_update(m, in); break;
      case 13: op_new(m); break;
      default: op_generate(m, in); break;
    }
  }
  for (handle_model& m : slots)
    op_delete(m);
  return 0;
}
