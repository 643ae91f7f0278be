// zelkor_bench: the speed of the program build of the library, one matrix at a
// time, one TSV row per matrix on standard output.
//
//   zelkor_bench [--budget S] [--updates K] [--no-update] PATH ...
//
// PATH is a Matrix Market file ("coordinate real|integer general|symmetric|
// skew-symmetric") or a folder, which stands for every *.mtx in it (by order,
// then name).  Duplicates are summed and zeros dropped; the matrix is then
// appended row by row, columns ascending, on every load.
//
// Times are medians over repetitions: each measurement repeats until S
// seconds are spent (default 0.2) and at least three times.  The dense
// transforms are timed in batches of about a millisecond, the sparse ones in
// chunks of positions of about a millisecond (the medians of the chunks
// summed), the replacements call by call (the medians of the calls averaged),
// so that the scheduler of a busy machine seldom cuts into one timing.
//
// Columns:
//   matrix         file name without ".mtx"
//   n              order
//   entries        elements stored after the load (h->lu->n_nz)
//   lu_entries     entries of L and U: L eta entries + U eta entries + n,
//                  the diagonal counted once
//   load_ms        lu_resize + one lu_append per entry
//   load_cols_ms   the same entries loaded as whole columns (rows ascending in
//                  each): lu_resize + lumx_columns_stored + lumx_load_columns,
//                  what the fast library's zk_load_columns does; each load
//                  follows a factorization, as each of load_ms does
//   factor_ms      lu_factoring (accept 0), after an untimed first load and
//                  factorization
//   ftran_us       lu_ftran with b = the row sums (x = 1), per call
//   btran_us       lu_btran with c = the column sums, per call
//   sp_ftran_us    lu_ftran_v21 + lu_ftran_v22 of a unit vector e_p on a marked
//                  work vector, mean over up to 200 positions p spread evenly
//                  over 0 .. n-1
//   sp_btran_us    lu_btran_v21 + lu_btran_v22, the same way
//   speedup_ftran  ftran_us / sp_ftran_us
//   speedup_btran  btran_us / sp_btran_us
//   xerr           max |x_i - 1| over the results of both dense transforms
//                  (their exact solution is all ones)
//   update_us      lu_pivotting, per call, over a sequence of K replacements
//                  (default 100) on a fresh factorization, refused calls
//                  included
//   updates        K
//   refused        replacements refused (lu_pivotting 0) in the sequence
//   status         ok; singular(rank=R); unsupported:WHAT; read_error;
//                  error:CALL=RC
// A field that was not measured is NA.  Replacement k puts into the column
// matched to a random pivot row r its current column plus t times a random
// column of the matrix, t of magnitude 0.01 .. 0.1 and random sign: every
// spike differs from the column it replaces, the basis stays about as well
// conditioned as it was.  The sequence is the same in every repetition.
//
// A progress line per matrix goes to standard error.  The library writes its
// log Zelkordbg.txt into the working directory (reports only, e.g. for a
// singular matrix).  Exit status 0; 1 when a matrix could not be read or a
// call failed (its row says which); 2 after a usage error or for a PATH that
// does not exist (nothing is run).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bench_common.h"
#include "lp_lumx.h"
#include "lp_sm_lu.h"
#include "lp_ve.h"
#include "zelkor.h"

namespace {

// ---- options ------------------------------------------------------------------------

struct Options {
  double budget = 0.2;  // seconds per measurement
  int updates = 100;    // replacements per sequence
  bool update = true;
  std::vector<std::string> paths;
};

const char* const USAGE =
    "usage: zelkor_bench [--budget S] [--updates K] [--no-update] PATH ...\n"
    "  PATH         a Matrix Market file, or a folder: every *.mtx in it\n"
    "  --budget S   seconds per measurement (default 0.2; at least 3 repetitions)\n"
    "  --updates K  column replacements per sequence (default 100)\n"
    "  --no-update  skip the replacements (update columns NA)\n"
    "  -h, --help   this text\n"
    "One TSV row per matrix on standard output, a progress line on standard error.\n"
    "lu_entries = L eta entries + U eta entries + n (the diagonal once); load_ms =\n"
    "lu_resize + appends; load_cols_ms = the same loaded as whole columns; sp_*:\n"
    "sparse transforms of unit vectors (mean over up to\n"
    "200 positions); speedup_* = dense / sparse; xerr = max |x_i - 1| of both dense\n"
    "transforms (exact solution all ones); update_us = lu_pivotting per call.\n";

// Parses argv into o.  0 to run, 1 after -h (usage printed), 2 after an error.
int parse_options(int argc, char** argv, Options& o) {
  return parse_command_line(argc, argv, "zelkor_bench", USAGE, o.paths, [&](int& k) {
    std::string a = argv[k];
    if (a == "--no-update") {
      o.update = false;
      return 0;
    }
    if (a != "--budget" && a != "--updates")
      return -1;
    if (k + 1 >= argc) {
      std::fprintf(stderr, "zelkor_bench: %s needs a value\n", a.c_str());
      return 2;
    }
    const char* v = argv[++k];
    char* end;
    double x = std::strtod(v, &end);
    bool ok = *end == '\0' && x >= 0 && (a == "--budget" || (x >= 1 && x <= 1e6));
    if (!ok) {
      std::fprintf(stderr, "zelkor_bench: bad value for %s: %s\n", a.c_str(), v);
      return 2;
    }
    if (a == "--budget")
      o.budget = x;
    else
      o.updates = (int)x;
    return 0;
  });
}

// ---- matrices -----------------------------------------------------------------------

// The matrix as appended: rows in order, columns ascending in each row; and
// by columns for building replacement columns.
struct Matrix {
  std::string name;
  int n = 0;
  std::vector<int> row_start;  // n+1
  std::vector<int> col;        // entries
  std::vector<double> val;     // entries
  std::vector<std::vector<std::pair<int, double>>> cols;  // n columns: (row, value)
  std::vector<int> col_start, col_row;  // the same by columns: n+1 starts, rows
  std::vector<double> col_val;
};

// Reads path into m.  "" on success, else the status text.
std::string load_matrix(const std::string& path, Matrix& m) {
  MtxHead head = read_head(path);
  const std::string& b = head.banner;
  if (b.rfind("%%matrixmarket matrix coordinate", 0) != 0 || b.find("pattern") != std::string::npos ||
      b.find("complex") != std::string::npos)
    return head.n < 0 ? "read_error" : "unsupported:not_coordinate_real";
  bool skew = b.find("skew-symmetric") != std::string::npos;
  bool symmetric = !skew && b.find("symmetric") != std::string::npos;
  mtx_matrix raw;
  if (!read_mtx(path, raw))
    return "read_error";
  m.n = raw.n;
  std::vector<mtx_entry> e;
  e.reserve(raw.entries.size() * (symmetric || skew ? 2 : 1));
  for (const mtx_entry& x : raw.entries) {
    if (x.row < 0 || x.row >= m.n || x.col < 0 || x.col >= m.n)
      return "read_error";
    e.push_back(x);
    if ((symmetric || skew) && x.row != x.col)
      e.push_back({x.col, x.row, skew ? -x.v : x.v});
  }
  std::stable_sort(e.begin(), e.end(), [](const mtx_entry& x, const mtx_entry& y) {
    return x.row != y.row ? x.row < y.row : x.col < y.col;
  });
  m.row_start.assign(m.n + 1, 0);
  m.cols.assign(m.n, {});
  for (size_t k = 0; k < e.size();) {
    size_t k2 = k;
    double v = 0.0;
    for (; k2 < e.size() && e[k2].row == e[k].row && e[k2].col == e[k].col; ++k2)
      v += e[k2].v;
    if (v != 0.0) {
      m.col.push_back(e[k].col);
      m.val.push_back(v);
      m.row_start[e[k].row + 1] += 1;
      m.cols[e[k].col].push_back({e[k].row, v});
    }
    k = k2;
  }
  for (int i = 0; i < m.n; ++i)
    m.row_start[i + 1] += m.row_start[i];
  m.col_start.push_back(0);
  for (const auto& column : m.cols) {
    for (auto [r, v] : column) {
      m.col_row.push_back(r);
      m.col_val.push_back(v);
    }
    m.col_start.push_back((int)m.col_row.size());
  }
  return "";
}

// The files a path stands for: itself, or the *.mtx of a folder by order and name.
std::vector<std::string> expand_path(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::is_directory(path, ec))
    return {path};
  std::vector<std::pair<int, std::string>> found;
  for (std::string& f : mtx_files(path))
    found.push_back({read_head(f).n, std::move(f)});
  std::sort(found.begin(), found.end());
  std::vector<std::string> files;
  for (auto& f : found)
    files.push_back(std::move(f.second));
  return files;
}

// ---- timing -------------------------------------------------------------------------

// Calls run() until the budget is spent and it ran at least three times, or
// until it returns false.  False when it did.
template <class Run>
bool repeat_within(double budget, Run run) {
  double t0 = now_s();
  for (long k = 0; k < 3 || (now_s() - t0 < budget && k < 1000000); ++k)
    if (!run())
      return false;
  return true;
}

// Calls sample() (one measured value, or NaN to stop) as repeat_within does;
// the median of the values, or NaN.
template <class Sample>
double median_within(double budget, Sample sample) {
  std::vector<double> v;
  bool ok = repeat_within(budget, [&] {
    v.push_back(sample());
    return !std::isnan(v.back());
  });
  return ok ? median(v) : NA;
}

// The sum over items of the median of each item's timings.
double sum_of_medians(const std::vector<std::vector<double>>& times) {
  double sum = 0;
  for (const std::vector<double>& t : times)
    sum += median(t);
  return sum;
}

// Microseconds per call of op(): batches of calls lasting about a millisecond
// each (sized on one untimed call), the median of the batches' means.
template <class Op>
double per_call_us(double budget, Op op) {
  double t0 = now_s();
  op();
  double once = now_s() - t0;
  double target = std::max(1e-4, std::min(1e-3, budget / 20));
  long batch = std::clamp((long)std::ceil(target / std::max(once, 1e-9)), 1L, 1000000L);
  return median_within(budget, [&] {
    double t = now_s();
    for (long k = 0; k < batch; ++k)
      op();
    return 1e6 * (now_s() - t) / (double)batch;
  });
}

// Microseconds per item of a pass item(0) .. item(count-1), on average over
// the items.  The pass is cut into chunks of about a millisecond (sized on one
// untimed pass), each timed on its own; the median of each chunk over the
// passes is taken.  A whole pass could last longer than the scheduler lets a
// process run on a busy machine; a chunk seldom does.
template <class Item>
double per_item_us(double budget, int count, Item item) {
  double t0 = now_s();
  for (int k = 0; k < count; ++k)
    item(k);
  double each = (now_s() - t0) / count;
  double target = std::max(1e-4, std::min(1e-3, budget / 20));
  int chunk = (int)std::clamp(std::floor(target / std::max(each, 1e-9)), 1.0, (double)count);
  int chunks = (count + chunk - 1) / chunk;
  std::vector<std::vector<double>> times(chunks);
  repeat_within(budget, [&] {
    for (int c = 0; c < chunks; ++c) {
      int end = std::min(count, (c + 1) * chunk);
      double t = now_s();
      for (int k = c * chunk; k < end; ++k)
        item(k);
      times[c].push_back(now_s() - t);
    }
    return true;
  });
  return 1e6 * sum_of_medians(times) / count;
}

// ---- one matrix ---------------------------------------------------------------------

struct Result {
  std::string name;
  int n = -1;
  long entries = -1, lu_entries = -1;
  double load_ms = NA, load_cols_ms = NA, factor_ms = NA, ftran_us = NA, btran_us = NA, sp_ftran_us = NA,
         sp_btran_us = NA, xerr = NA, update_us = NA;
  int updates = -1, refused = -1;
  std::string status = "ok";
};

// One load and factorization: times in ms, the first failing call's name
// and result (call null when all succeeded), the rank.
struct FactorRun {
  double load_ms = 0, factor_ms = 0;
  const char* call = nullptr;
  int rc = 0, rank = -1;
  long stored = -1;  // elements stored by the load
};

FactorRun load_and_factor(lu_handle* h, const Matrix& m) {
  FactorRun run;
  double t0 = now_s();
  run.rc = lu_resize(h, m.n);
  if (run.rc != 0) {
    run.call = "lu_resize";
    return run;
  }
  for (int i = 0; i < m.n; ++i)
    for (int k = m.row_start[i]; k < m.row_start[i + 1]; ++k)
      if (int rc = lu_append(h, i, m.col[k], m.val[k]); rc < 0) {
        run.call = "lu_append";
        run.rc = rc;
        return run;
      }
  double t1 = now_s();
  run.stored = h->lu->n_nz;
  int *q, *r;
  run.rc = lu_factoring(h, 0, &run.rank, &q, &r);
  double t2 = now_s();
  if (run.rc != 0)
    run.call = "lu_factoring";
  run.load_ms = 1e3 * (t1 - t0);
  run.factor_ms = 1e3 * (t2 - t1);
  return run;
}

// The matrix loaded as whole columns, as zk_load_columns loads it (that
// export belongs to the fast library only), then factorized: the load's time
// in ms, NaN after a failure.
double load_columns_and_factor(lu_handle* h, const Matrix& m) {
  double t0 = now_s();
  bool ok = lu_resize(h, m.n) == 0;
  long long stored = lumx_columns_stored(m.n, m.col_start.data(), m.col_row.data(), m.col_val.data());
  ok = ok && stored >= 0 &&
       lumx_load_columns(h->lu, m.col_start.data(), m.col_row.data(), m.col_val.data(), stored) == 0;
  double t1 = now_s();
  int rank, *q, *r;
  ok = ok && lu_factoring(h, 0, &rank, &q, &r) == 0;
  return ok ? 1e3 * (t1 - t0) : NA;
}

std::string failure(const char* call, int rc) { return std::string("error:") + call + "=" + std::to_string(rc); }

// The largest |x_i - 1|.
double distance_from_ones(const std::vector<double>& x) {
  double d = 0.0;
  for (double v : x)
    d = std::max(d, std::fabs(v - 1.0));
  return d;
}

// The dense transforms with the row and column sums as right-hand sides.
void time_dense(lu_handle* h, const Matrix& m, double budget, Result& res) {
  const int n = m.n;
  std::vector<double> row_sum(n, 0.0), col_sum(n, 0.0), x(n);
  for (int i = 0; i < n; ++i)
    for (int k = m.row_start[i]; k < m.row_start[i + 1]; ++k) {
      row_sum[i] += m.val[k];
      col_sum[m.col[k]] += m.val[k];
    }
  int rc_f = 0, rc_b = 0;
  res.ftran_us = per_call_us(budget, [&] { rc_f |= lu_ftran(h, x.data(), row_sum.data()); });
  res.xerr = distance_from_ones(x);
  res.btran_us = per_call_us(budget, [&] { rc_b |= lu_btran(h, x.data(), col_sum.data()); });
  res.xerr = std::max(res.xerr, distance_from_ones(x));
  if (rc_f != 0)
    res.status = failure("lu_ftran", rc_f);
  else if (rc_b != 0)
    res.status = failure("lu_btran", rc_b);
}

// The sparse transforms of unit vectors at up to 200 positions spread over the rows.
void time_sparse(lu_handle* h, double budget, Result& res) {
  const int n = h->sz;
  const int count = std::min(n, 200);
  std::vector<int> at(count);
  for (int k = 0; k < count; ++k)
    at[k] = (int)((long long)k * n / count);
  lpvect2 v{};
  if (lpvect2_alloc(&v, n, nullptr) != 0) {
    res.status = failure("lpvect2_alloc", -2);
    return;
  }
  bool failed = false;
  res.sp_ftran_us = per_item_us(budget, count, [&](int k) {
    lpvect2_newmark(&v);
    lpvect2_set(&v, at[k], 1.0);
    failed |= lu_ftran_v21(h, &v) < 0;
    failed |= lu_ftran_v22(h, &v) < 0;
  });
  res.sp_btran_us = per_item_us(budget, count, [&](int k) {
    lpvect2_newmark(&v);
    lpvect2_set(&v, at[k], 1.0);
    failed |= lu_btran_v21(h, &v) < 0;
    failed |= lu_btran_v22(h, &v) < 0;
  });
  if (failed)
    res.status = "error:sparse_transform";
  lpvect2_free(&v);
}

// One sequence of column replacements on a fresh factorization: the time of
// each lu_pivotting call appended to times[k] in seconds.  False after a
// failure (status set).
bool update_sequence(lu_handle* h, const Matrix& m, lpvect2* as,
                     std::vector<std::vector<double>>& times, Result& res) {
  const int updates = (int)times.size();
  FactorRun run = load_and_factor(h, m);
  if (run.call != nullptr) {
    res.status = failure(run.call, run.rc);
    return false;
  }
  const int n = m.n;
  h->max_br = updates;  // capacity report threshold: no report within the sequence
  std::vector<std::vector<std::pair<int, double>>> current(n);
  for (int r = 0; r < n; ++r)
    current[r] = m.cols[h->ips1[r]];
  std::vector<double> acc(n, 0.0);
  std::vector<char> used(n, 0);
  std::vector<int> pattern;
  std::mt19937 rng(12);
  std::uniform_int_distribution<int> pick(0, n - 1);
  std::uniform_real_distribution<double> mag(0.01, 0.1);
  res.refused = 0;
  for (int k = 0; k < updates; ++k) {
    // The new column: the current one plus t times a column of the matrix.
    int r = pick(rng);
    const auto& other = m.cols[pick(rng)];
    double t = (rng() % 2 == 0 ? 1 : -1) * mag(rng);
    pattern.clear();
    auto add = [&](int i, double v) {
      if (!used[i]) {
        used[i] = 1;
        pattern.push_back(i);
        acc[i] = 0.0;
      }
      acc[i] += v;
    };
    for (auto [i, v] : current[r])
      add(i, v);
    for (auto [i, v] : other)
      add(i, t * v);
    std::vector<std::pair<int, double>> column;
    lpvect2_newmark(as);
    for (int i : pattern) {
      used[i] = 0;
      if (acc[i] != 0.0) {
        column.push_back({i, acc[i]});
        lpvect2_set(as, i, acc[i]);
      }
    }
    double t0 = now_s();
    int rc = lu_pivotting(h, r, as);
    times[k].push_back(now_s() - t0);
    if (rc < 0) {
      res.status = failure("lu_pivotting", rc);
      return false;
    }
    if (rc == 0)
      ++res.refused;
    else
      current[r] = std::move(column);
  }
  return true;
}

Result bench_matrix(const std::string& path, const Options& o) {
  Result res;
  res.name = std::filesystem::path(path).stem().string();
  Matrix m;
  res.status = load_matrix(path, m);
  if (!res.status.empty())
    return res;
  res.status = "ok";
  res.n = m.n;
  if (m.n == 0) {
    res.status = "unsupported:empty";
    return res;
  }
  lu_handle* h = lu_new();
  // 1. A first, untimed load and factorization; the entries stored.
  FactorRun first = load_and_factor(h, m);
  res.entries = first.stored;
  if (first.call != nullptr) {
    if (first.rank >= 0 && first.rank < m.n) {
      res.status = "singular(rank=" + std::to_string(first.rank) + ")";
      res.load_ms = first.load_ms;
    } else {
      res.status = failure(first.call, first.rc);
    }
    lu_delete(h);
    return res;
  }
  // 2. Load and factorization, repeated.
  std::vector<double> loads, factors;
  res.factor_ms = median_within(o.budget, [&] {
    FactorRun run = load_and_factor(h, m);
    if (run.call != nullptr) {
      res.status = failure(run.call, run.rc);
      return NA;
    }
    loads.push_back(run.load_ms);
    return run.factor_ms;
  });
  if (res.status == "ok") {
    res.load_ms = median(loads);
    res.lu_entries = (long)h->n_lw + h->n_up + m.n;
    // 3. The load by whole columns, repeated, each followed by its
    // factorization; then the appended matrix again.
    res.load_cols_ms = median_within(o.budget, [&] { return load_columns_and_factor(h, m); });
    FactorRun run = load_and_factor(h, m);
    if (std::isnan(res.load_cols_ms))
      res.status = "error:load_columns";
    else if (run.call != nullptr)
      res.status = failure(run.call, run.rc);
  }
  if (res.status == "ok") {
    // 4. Dense and sparse transforms on that factorization.
    time_dense(h, m, o.budget, res);
  }
  if (res.status == "ok")
    time_sparse(h, o.budget, res);
  // 5. Column replacements.
  if (res.status == "ok" && o.update) {
    lpvect2 as{};
    if (lpvect2_alloc(&as, m.n, nullptr) != 0) {
      res.status = failure("lpvect2_alloc", -2);
    } else {
      // Each replacement's median over the sequences, averaged over the sequence.
      std::vector<std::vector<double>> times(o.updates);
      if (repeat_within(o.budget, [&] { return update_sequence(h, m, &as, times, res); })) {
        res.updates = o.updates;
        res.update_us = 1e6 * sum_of_medians(times) / o.updates;
      }
      lpvect2_free(&as);
    }
  }
  lu_delete(h);
  return res;
}

// ---- output -------------------------------------------------------------------------

void print_header() {
  std::printf("matrix\tn\tentries\tlu_entries\tload_ms\tload_cols_ms\tfactor_ms\tftran_us\tbtran_us\t"
              "sp_ftran_us\tsp_btran_us\tspeedup_ftran\tspeedup_btran\txerr\tupdate_us\tupdates\t"
              "refused\tstatus\n");
}

void print_row(const Result& r) {
  print_tsv_row({r.name,
                 field((long)r.n),
                 field(r.entries),
                 field(r.lu_entries),
                 field(r.load_ms, "%.4f"),
                 field(r.load_cols_ms, "%.4f"),
                 field(r.factor_ms, "%.4f"),
                 field(r.ftran_us, "%.3f"),
                 field(r.btran_us, "%.3f"),
                 field(r.sp_ftran_us, "%.3f"),
                 field(r.sp_btran_us, "%.3f"),
                 field(r.ftran_us / r.sp_ftran_us, "%.1f"),
                 field(r.btran_us / r.sp_btran_us, "%.1f"),
                 field(r.xerr, "%.1e"),
                 field(r.update_us, "%.3f"),
                 field((long)r.updates),
                 field((long)r.refused),
                 r.status});
}

void print_progress(const Result& r, size_t k, size_t count, double seconds) {
  std::fprintf(stderr, "zelkor_bench: [%zu/%zu] %s", k, count, r.name.c_str());
  if (r.n >= 0)
    std::fprintf(stderr, " n %d", r.n);
  std::fprintf(stderr, ": %s", r.status.c_str());
  if (!std::isnan(r.factor_ms))
    std::fprintf(stderr, ", factor %.3f ms", r.factor_ms);
  if (!std::isnan(r.ftran_us))
    std::fprintf(stderr, ", ftran %.2f / %.3f us (dense / sparse)", r.ftran_us, r.sp_ftran_us);
  if (!std::isnan(r.update_us))
    std::fprintf(stderr, ", update %.2f us", r.update_us);
  std::fprintf(stderr, " (%.1f s)\n", seconds);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (int rc = parse_options(argc, argv, o); rc != 0)
    return rc == 1 ? 0 : 2;
  std::vector<std::string> files = expand_paths(o.paths, expand_path);
  if (files.empty()) {
    std::fprintf(stderr, "zelkor_bench: no *.mtx file found\n");
    return 2;
  }
  print_header();
  int status = 0;
  for (size_t k = 0; k < files.size(); ++k) {
    double t0 = now_s();
    Result r = bench_matrix(files[k], o);
    print_row(r);
    print_progress(r, k + 1, files.size(), now_s() - t0);
    if (r.status != "ok" && r.status.rfind("singular", 0) != 0)
      status = 1;
  }
  return status;
}
