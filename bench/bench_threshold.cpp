// What the pivot threshold (zk_set_param, ZK_PARAM_PIVOT_THRESHOLD) costs and
// buys, through the fast library: per matrix and per threshold u of 0.01 (the
// default), 0.1 and 0.5, the factorization time (load included, median of
// the repetitions), the entries of L and U, and the normwise backward error
// of the dense solves, max over FTRAN and BTRAN of three random right-hand
// sides:
//   ||B·x - b||_inf / (||B||_inf ||x||_inf + ||b||_inf)   (Bᵀ and ||B||_1 for BTRAN)
//
//   bench_threshold [--budget S] PATH ...
//
// PATH: a Matrix Market file or a folder (every *.mtx in it).  One TSV row
// per matrix on standard output, then a summary line per threshold: the
// geometric means of time and entries against u = 0.01, and the worst
// backward error.  Exit status 0; 1 when a matrix could not be read or a call
// failed; 2 after a usage error or a missing path.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench_common.h"
#include "zelkor_simplex.h"

namespace {

const double THRESHOLDS[] = {0.01, 0.1, 0.5};
const int N_THRESHOLDS = 3;

const char* const USAGE =
    "usage: bench_threshold [--budget S] PATH ...\n"
    "  PATH        a Matrix Market file, or a folder: every *.mtx in it\n"
    "  --budget S  seconds per factorization timing (default 0.2, at least 3 runs)\n";

struct triplet {
  int row, col;
  double v;
};

// The entries of m, duplicates summed, zeros dropped, row by row.
std::vector<triplet> entries_of(const mtx_matrix& m) {
  std::map<std::pair<int, int>, double> sum;
  for (const mtx_entry& e : m.entries)
    sum[{e.row, e.col}] += e.v;
  std::vector<triplet> out;
  for (auto [k, v] : sum)
    if (v != 0.0)
      out.push_back({k.first, k.second, v});
  return out;
}

// Loads and factorizes; the rank, or -1 when a call failed.
int factorize(lu_handle* h, int n, const std::vector<triplet>& t) {
  if (lu_resize(h, n) != 0)
    return -1;
  for (const triplet& e : t)
    if (lu_append(h, e.row, e.col, e.v) < 0)
      return -1;
  int rank, *q, *r;
  int rc = lu_factoring(h, 0, &rank, &q, &r);
  return rc == 0 || rank < n ? rank : -1;
}

// The largest backward error of the dense solves over three right-hand sides.
double backward_error(lu_handle* h, int n, const std::vector<triplet>& t) {
  std::vector<double> row_sum(n, 0.0), col_sum(n, 0.0);
  for (const triplet& e : t) {
    row_sum[e.row] += std::fabs(e.v);
    col_sum[e.col] += std::fabs(e.v);
  }
  double norm_inf = *std::max_element(row_sum.begin(), row_sum.end());
  double norm_1 = *std::max_element(col_sum.begin(), col_sum.end());
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  double worst = 0.0;
  for (int s = 0; s < 3; ++s) {
    std::vector<double> b(n), x(n), r(n, 0.0), rt(n, 0.0), y(n);
    for (double& v : b)
      v = u(rng);
    if (lu_ftran(h, x.data(), b.data()) != 0 || lu_btran(h, y.data(), b.data()) != 0)
      return INFINITY;
    for (const triplet& e : t) {
      r[e.row] += e.v * x[e.col];
      rt[e.col] += e.v * y[e.row];
    }
    double rf = 0, rb = 0, xn = 0, yn = 0, bn = 0;
    for (int i = 0; i < n; ++i) {
      rf = std::max(rf, std::fabs(r[i] - b[i]));
      rb = std::max(rb, std::fabs(rt[i] - b[i]));
      xn = std::max(xn, std::fabs(x[i]));
      yn = std::max(yn, std::fabs(y[i]));
      bn = std::max(bn, std::fabs(b[i]));
    }
    worst = std::max({worst, rf / (norm_inf * xn + bn), rb / (norm_1 * yn + bn)});
  }
  return worst;
}

struct result {
  double ms = 0.0;
  long long entries = 0;
  double error = 0.0;
};

// One matrix at one threshold; false when a call failed or it is singular.
bool measure(int n, const std::vector<triplet>& t, double u, double budget, result& out) {
  lu_handle* h = lu_new();
  bool ok = h != nullptr && zk_set_param(h, ZK_PARAM_PIVOT_THRESHOLD, u) == 0;
  std::vector<double> times;
  auto start = clock_type::now();
  while (ok && (times.size() < 3 ||
                std::chrono::duration<double>(clock_type::now() - start).count() < budget)) {
    auto t0 = clock_type::now();
    ok = factorize(h, n, t) == n;
    times.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - t0).count());
  }
  if (ok) {
    std::sort(times.begin(), times.end());
    out.ms = times[times.size() / 2];
    ok = zk_refactor_advice(h, nullptr, nullptr, &out.entries) >= 0;
    out.error = backward_error(h, n, t);
  }
  lu_delete(h);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  double budget = 0.2;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    if (is_help(argv[i])) {
      std::fputs(USAGE, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--budget") == 0 && i + 1 < argc) {
      budget = std::atof(argv[++i]);
      continue;
    }
    std::filesystem::path p(argv[i]);
    std::error_code ec;
    if (std::filesystem::is_directory(p, ec)) {
      std::vector<std::string> in = mtx_files(p.string());
      files.insert(files.end(), in.begin(), in.end());
    } else if (std::filesystem::is_regular_file(p, ec)) {
      files.push_back(p.string());
    } else {
      std::fprintf(stderr, "bench_threshold: no such file or folder: %s\n", argv[i]);
      return 2;
    }
  }
  if (files.empty()) {
    std::fputs(USAGE, stderr);
    return 2;
  }
  std::printf("matrix\tn");
  for (double u : THRESHOLDS)
    std::printf("\tms_%g\tentries_%g\tberr_%g", u, u, u);
  std::printf("\n");
  int status = 0;
  double log_time[N_THRESHOLDS] = {}, log_entries[N_THRESHOLDS] = {}, worst[N_THRESHOLDS] = {};
  int counted = 0;
  for (const std::string& path : files) {
    mtx_matrix m;
    std::string name = std::filesystem::path(path).stem().string();
    if (!read_mtx(path, m)) {
      std::fprintf(stderr, "bench_threshold: cannot read %s\n", path.c_str());
      status = 1;
      continue;
    }
    std::vector<triplet> t = entries_of(m);
    result r[N_THRESHOLDS];
    bool ok = true;
    for (int k = 0; ok && k < N_THRESHOLDS; ++k)
      ok = measure(m.n, t, THRESHOLDS[k], budget, r[k]);
    if (!ok) {
      std::fprintf(stderr, "%s: singular, or a call failed\n", name.c_str());
      continue;
    }
    std::printf("%s\t%d", name.c_str(), m.n);
    for (int k = 0; k < N_THRESHOLDS; ++k) {
      std::printf("\t%.4f\t%lld\t%.1e", r[k].ms, r[k].entries, r[k].error);
      log_time[k] += std::log(r[k].ms / r[0].ms);
      log_entries[k] += std::log((double)r[k].entries / (double)r[0].entries);
      worst[k] = std::max(worst[k], r[k].error);
    }
    std::printf("\n");
    std::fflush(stdout);
    ++counted;
  }
  for (int k = 0; counted > 0 && k < N_THRESHOLDS; ++k)
    std::printf("# u=%g: time x%.3f, entries x%.3f (geometric means against u=0.01), worst backward error %.1e, %d matrices\n",
                THRESHOLDS[k], std::exp(log_time[k] / counted), std::exp(log_entries[k] / counted),
                worst[k], counted);
  return status;
}
