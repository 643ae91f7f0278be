// Factorization benchmark (not a test): factorizes five-point grid matrices
// with a convection term and the largest LP basis matrices of a matrix
// folder through the exported functions of the program build, and prints per
// matrix the order, the entries, the times of loading, factorizing, one dense
// FTRAN and one dense BTRAN, the L and U eta entries, the peak memory and the
// relative residuals of both solves.
//
//   bench_fact FOLDER [NAME ...]
//
// FOLDER holds the matrices (the team's ../shared/matrices); names restrict
// the run to the given matrices ("grid200", "grid500" or a file of FOLDER
// without ".mtx").  Exit status 0; 2 after a usage error, a FOLDER that is
// not a folder or a NAME that is not in it (nothing is run).
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "lp_lumx.h"
#include "mtx.h"
#include "zelkor.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0) {
  return std::chrono::duration<double>(clock_type::now() - t0).count();
}

// Process-wide high-water mark of the resident set, in MiB.
double peak_mib() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss / 1024.0;
}

// Five-point operator on an nx × ny grid, unsymmetric through a convection
// term: 4 + shift on the diagonal, -1 ± conv beside it.
mtx_matrix grid(int nx, int ny, double shift, double conv) {
  mtx_matrix m;
  m.n = nx * ny;
  auto id = [&](int x, int y) { return y * nx + x; };
  for (int y = 0; y < ny; ++y)
    for (int x = 0; x < nx; ++x) {
      int i = id(x, y);
      m.entries.push_back({i, i, 4.0 + shift});
      if (x > 0)
        m.entries.push_back({i, id(x - 1, y), -1.0 - conv});
      if (x + 1 < nx)
        m.entries.push_back({i, id(x + 1, y), -1.0 + conv});
      if (y > 0)
        m.entries.push_back({i, id(x, y - 1), -1.0 - 0.5 * conv});
      if (y + 1 < ny)
        m.entries.push_back({i, id(x, y + 1), -1.0 + 0.5 * conv});
    }
  return m;
}

double inf_norm(const std::vector<double>& v) {
  double m = 0.0;
  for (double x : v)
    m = std::max(m, std::fabs(x));
  return m;
}

double last_peak = 0.0;

void run(const std::string& name, const mtx_matrix& m) {
  const int n = m.n;
  std::vector<mtx_entry> a;
  for (const mtx_entry& e : m.entries)
    if (e.v != 0.0)
      a.push_back(e);

  lu_handle* h = lu_new();
  auto t0 = clock_type::now();
  int rc = lu_resize(h, n);
  for (const mtx_entry& e : a)
    if (rc >= 0 && lu_append(h, e.row, e.col, e.v) < 0)
      rc = -1;
  double t_load = seconds_since(t0);
  if (rc < 0) {
    std::printf("%-16s loading failed\n", name.c_str());
    lu_delete(h);
    return;
  }

  int rank = 0;
  int* q = nullptr;
  int* r = nullptr;
  t0 = clock_type::now();
  rc = lu_factoring(h, 0, &rank, &q, &r);
  double t_fact = seconds_since(t0);
  int n_lw = h->n_lw;
  int n_up = h->n_up;

  double t_ftran = 0.0, t_btran = 0.0, res_f = NAN, res_b = NAN;
  if (rc == 0) {
    // FTRAN: b = B·x0, solve B·x = b, residual |B·x - b| / (|B|·|x| + |b|).
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> x0(n), rhs(n, 0.0), x(n), row_abs(n, 0.0), col_abs(n, 0.0);
    for (double& v : x0)
      v = u(rng);
    for (const mtx_entry& e : a) {
      rhs[e.row] += e.v * x0[e.col];
      row_abs[e.row] += std::fabs(e.v);
      col_abs[e.col] += std::fabs(e.v);
    }
    double norm_b = inf_norm(row_abs);  // |B| in the infinity norm
    t0 = clock_type::now();
    lu_ftran(h, x.data(), rhs.data());
    t_ftran = seconds_since(t0);
    std::vector<double> bx(n, 0.0);
    for (const mtx_entry& e : a)
      bx[e.row] += e.v * x[e.col];
    for (int i = 0; i < n; ++i)
      bx[i] -= rhs[i];
    res_f = inf_norm(bx) / (norm_b * inf_norm(x) + inf_norm(rhs));

    // BTRAN: c = y0ᵀ·B, solve yᵀ·B = cᵀ, residual in the 1-norm of B.
    std::vector<double> y0(n), c(n, 0.0), y(n);
    for (double& v : y0)
      v = u(rng);
    for (const mtx_entry& e : a)
      c[e.col] += y0[e.row] * e.v;
    t0 = clock_type::now();
    lu_btran(h, y.data(), c.data());
    t_btran = seconds_since(t0);
    std::vector<double> yb(n, 0.0);
    for (const mtx_entry& e : a)
      yb[e.col] += y[e.row] * e.v;
    for (int j = 0; j < n; ++j)
      yb[j] -= c[j];
    res_b = inf_norm(yb) / (inf_norm(col_abs) * inf_norm(y) + inf_norm(c));
  }
  double peak = peak_mib();
  std::printf("%-16s %7d %7zu %3d %7d %8.1f %10.1f %9d %9d %8.2f %8.2f %9.2e %9.2e %8.1f %+8.1f\n",
              name.c_str(), n, a.size(), rc, rank, 1e3 * t_load, 1e3 * t_fact, n_lw, n_up,
              1e3 * t_ftran, 1e3 * t_btran,
              res_f, res_b, peak, peak - last_peak);
  std::fflush(stdout);
  last_peak = peak;
  lu_delete(h);
}

bool wanted(const std::vector<std::string>& only, const std::string& name) {
  return only.empty() || std::find(only.begin(), only.end(), name) != only.end();
}

const char* const USAGE =
    "usage: bench_fact FOLDER [NAME ...]\n"
    "  FOLDER  the folder of the matrices (Matrix Market files)\n"
    "  NAME    grid200, grid500 or a file of FOLDER without .mtx (default: both grids,\n"
    "          the bases of bnl2, pilot, osa-30, cre-b, pds-10, ken-13 and arrow46500)\n"
    "Per matrix: order, entries, load and factorization times, L and U eta entries,\n"
    "one dense FTRAN and BTRAN with their residuals, peak memory.\n";

// True when the arguments name a folder and matrices that exist (message
// printed otherwise).
bool arguments_exist(const std::string& folder, const std::vector<std::string>& only) {
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec)) {
    std::fprintf(stderr, "bench_fact: no such folder: %s\n", folder.c_str());
    return false;
  }
  for (const std::string& name : only)
    if (name != "grid200" && name != "grid500" &&
        !std::filesystem::exists(folder + "/" + name + ".mtx", ec)) {
      std::fprintf(stderr, "bench_fact: no matrix %s.mtx in %s\n", name.c_str(), folder.c_str());
      return false;
    }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && (std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help")) {
    std::fputs(USAGE, stdout);
    return 0;
  }
  if (argc < 2 || argv[1][0] == '-') {
    std::fputs(USAGE, stderr);
    return 2;
  }
  std::string folder = argv[1];
  std::vector<std::string> only(argv + 2, argv + argc);
  if (!arguments_exist(folder, only))
    return 2;
  last_peak = peak_mib();
  std::printf("%-16s %7s %7s %3s %7s %8s %10s %9s %9s %8s %8s %9s %9s %8s %8s\n", "matrix", "order",
              "entries", "rc", "rank", "load_ms", "factor_ms", "L_entries", "U_entries", "ftran_ms",
              "btran_ms", "res_ftran", "res_btran", "peakMiB", "growth");
  if (wanted(only, "grid200"))
    run("grid200", grid(200, 200, 0.01, 0.3));
  if (wanted(only, "grid500"))
    run("grid500", grid(500, 500, 0.01, 0.3));
  const char* stems[] = {"bnl2", "pilot", "osa-30", "cre-b", "pds-10", "ken-13"};
  // Every basis of each problem: the crash basis, the intermediate ones, the optimal one.
  std::vector<std::string> names;
  std::error_code ec;
  for (const char* stem : stems) {
    std::vector<std::string> bases;
    for (const auto& f : std::filesystem::directory_iterator(folder, ec)) {
      std::string file = f.path().filename().string();
      if (file.rfind(std::string(stem) + "_", 0) == 0 && f.path().extension() == ".mtx")
        bases.push_back(file.substr(0, file.size() - 4));
    }
    std::sort(bases.begin(), bases.end());
    names.insert(names.end(), bases.begin(), bases.end());
  }
  if (std::filesystem::exists(folder + "/arrow46500.mtx", ec))
    names.push_back("arrow46500");
  if (!only.empty())
    names = only;  // any file of the folder by name
  for (const std::string& name : names) {
    if (name == "grid200" || name == "grid500")
      continue;
    mtx_matrix m;
    if (!read_mtx(folder + "/" + name + ".mtx", m)) {
      std::printf("%-16s cannot be read from %s\n", name.c_str(), folder.c_str());
      continue;
    }
    run(name, m);
  }
  return 0;
}
