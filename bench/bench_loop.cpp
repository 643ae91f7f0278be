// bench_loop: what a simplex solver's loop costs, per iteration, with every
// one-off cost counted: per basis, a load and factorization, then K
// iterations (default 100) of
//   - a sparse FTRAN of the entering column,
//   - a sparse BTRAN of the unit vector of the leaving position,
//   - the replacement of the leaving column by the entering one,
// and a new load and factorization of the current basis whenever the
// replacement is refused or the library advises one (before the iteration
// that would follow).  Three loops do the same work:
//   ours     the fast library through zelkor_simplex.h: zk_load_columns,
//            lu_factoring, zk_ftran_sparse, zk_btran_sparse,
//            zk_replace_column, zk_refactor_advice
//   dense    the same with the dense solves lu_ftran and lu_btran
//   coin     CoinUtils' CoinFactorization (built in when CoinUtils was found):
//            factorize from a CoinPackedMatrix, then goSparse (the row copy
//            its hypersparse solves need), updateColumnFT (the FTRAN that
//            keeps the spike for the update), updateColumnTranspose,
//            replaceColumn (checkBeforeModifying false: a refusal is followed
//            by a refactorization in any case); it refactorizes when
//            replaceColumn answers 2 (singular) or 3 (no room) and after
//            ZK_REFACTOR_UPDATES replacements (its maximumPivots set to that)
//
//   bench_loop [--iters K] [--budget S] PATH ...
//
// PATH is a Matrix Market file of a basis, or a folder: every LP basis in it
// (files PROBLEM_crash.mtx, PROBLEM_itNNNNNN.mtx, PROBLEM_opt.mtx).
//
// The entering columns: those of the next basis of the same problem (the
// files beside the basis: crash, then the intermediate ones, then opt) that
// the current basis lacks, taken in a random order, then the columns that
// left; for the last basis of a problem, the columns of its other bases.  A
// basis without siblings gets random columns of its own matrix, each plus
// t times another (0.01 <= |t| <= 0.1).  The leaving position: among the
// positions j with |x_j| >= 0.1 max |x| (x the transformed entering column),
// the largest |x_j| whose column the next basis lacks, else the largest.
// The sequence of (entering column, leaving position) is computed once, with
// our library, and every loop replays it, so that all do the same basis
// changes; each checks on the way that its transformed pivot agrees with the
// one of the plan.
//
// Times are medians over repetitions of the whole loop (rounds of the three
// loops in turn, after one untimed round, until S seconds (default 0.5) are
// spent and at least three rounds ran), divided by K.  Apart from the loop,
// the first pair of sparse solves after a factorization (the BTRAN and FTRAN
// of the first iteration) is timed against the factorization (lu_factoring
// alone), and so is the same pair solved again.
//
// One TSV row per basis on standard output, then summary lines starting with
// "#"; a progress line per basis on standard error.  Exit status 0; 1 when a
// basis could not be read or a call failed (its row says which); 2 after a
// usage error or for a PATH that does not exist.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bench_common.h"
#include "zelkor_simplex.h"

#ifdef ZELKOR_WITH_COINUTILS
#include <CoinFactorization.hpp>
#include <CoinIndexedVector.hpp>
#include <CoinPackedMatrix.hpp>
#endif

namespace fs = std::filesystem;

namespace {

// ---- options --------------------------------------------------------------------------

struct Options {
  int iters = 100;
  double budget = 0.5;
  std::vector<std::string> paths;
};

const char* const USAGE =
    "usage: bench_loop [--iters K] [--budget S] PATH ...\n"
    "  PATH        a Matrix Market file of a basis, or a folder: its LP bases\n"
    "              (PROBLEM_crash.mtx, PROBLEM_itNNNNNN.mtx, PROBLEM_opt.mtx)\n"
    "  --iters K   simplex iterations per basis (default 100)\n"
    "  --budget S  seconds of repetitions per basis (default 0.5; at least 3)\n"
    "  -h, --help  this text\n"
    "Per basis: load, factorize, then K iterations of a sparse FTRAN of the\n"
    "entering column, a sparse BTRAN of a unit vector and a column replacement,\n"
    "refactorizing when refused or advised.  Microseconds per iteration for our\n"
    "library (ours), the same loop with dense solves (dense) and, when built with\n"
    "CoinUtils, its CoinFactorization (coin); first_pct / next_pct: the first pair\n"
    "of sparse solves after a factorization, and the same pair again, in % of the\n"
    "factorization.  One TSV row per basis, then summary lines starting with #.\n";

// 0 to run, 1 after -h, 2 after an error (message printed).
int parse_options(int argc, char** argv, Options& o) {
  return parse_command_line(argc, argv, "bench_loop", USAGE, o.paths, [&](int& k) {
    std::string a = argv[k];
    if (a != "--iters" && a != "--budget")
      return -1;
    char* end = nullptr;
    double x = k + 1 < argc ? std::strtod(argv[k + 1], &end) : -1;
    bool ok = end != nullptr && *end == '\0' &&
              (a == "--budget" ? x >= 0 : (x >= 1 && x <= 100000 && x == std::floor(x)));
    if (!ok) {
      std::fprintf(stderr, "bench_loop: %s needs a %s\n", a.c_str(),
                   a == "--budget" ? "number of seconds" : "count from 1 to 100000");
      return 2;
    }
    ++k;
    if (a == "--budget")
      o.budget = x;
    else
      o.iters = (int)x;
    return 0;
  });
}

// ---- bases and their problems ---------------------------------------------------------

// A basis file's problem and stage: PROBLEM_crash (stage 0), PROBLEM_itN
// (stage 1 + N), PROBLEM_opt (the last stage); stage -1 for another name.
struct Stage {
  std::string problem;
  long stage = -1;
};

Stage stage_of(const std::string& stem) {
  Stage s;
  size_t at = stem.rfind('_');
  if (at == std::string::npos)
    return s;
  std::string tail = stem.substr(at + 1);
  if (tail == "crash") {
    s.stage = 0;
  } else if (tail == "opt") {
    s.stage = 1L << 40;
  } else if (tail.size() > 2 && tail.compare(0, 2, "it") == 0 &&
             tail.find_first_not_of("0123456789", 2) == std::string::npos) {
    s.stage = 1 + std::atol(tail.c_str() + 2);
  } else {
    return s;
  }
  s.problem = stem.substr(0, at);
  return s;
}

// The bases of a problem in a folder, in stage order.
std::vector<std::string> siblings(const fs::path& file) {
  Stage me = stage_of(file.stem().string());
  std::vector<std::pair<long, std::string>> found;
  fs::path folder = file.parent_path().empty() ? fs::path(".") : file.parent_path();
  if (me.stage >= 0 && file.has_filename())
    for (std::string& f : mtx_files(folder.string())) {
      Stage s = stage_of(fs::path(f).stem().string());
      if (s.stage >= 0 && s.problem == me.problem)
        found.push_back({s.stage, std::move(f)});
    }
  std::sort(found.begin(), found.end());
  std::vector<std::string> out;
  for (auto& f : found)
    out.push_back(f.second);
  return out;
}

// The files PATH stands for: itself, or the LP bases of a folder.
std::vector<std::string> expand_path(const std::string& path) {
  std::error_code ec;
  if (!fs::is_directory(path, ec))
    return {path};
  std::vector<std::string> files;
  for (std::string& f : mtx_files(path))
    if (stage_of(fs::path(f).stem().string()).stage >= 0)
      files.push_back(std::move(f));
  return files;
}

// The columns of a Matrix Market file: entries at one position summed, zeros
// dropped, rows ascending.  False when it cannot be read.
bool read_columns(const std::string& path, int& n, std::vector<column>& cols) {
  mtx_matrix m;
  if (!read_mtx(path, m))
    return false;
  n = m.n;
  return columns_of(m, cols);
}

// Every column a loop may load, by id, each once, kept as whole arrays.
struct ColumnPool {
  std::vector<int> start = {0}, rows;
  std::vector<double> vals;
  std::map<column, int> id_of;
  int add(const column& c) {
    auto [it, fresh] = id_of.insert({c, (int)start.size() - 1});
    if (fresh) {
      for (auto [r, v] : c) {
        rows.push_back(r);
        vals.push_back(v);
      }
      start.push_back((int)rows.size());
    }
    return it->second;
  }
  int size() const { return (int)start.size() - 1; }
  int nz(int id) const { return start[id + 1] - start[id]; }
  const int* rows_of(int id) const { return rows.data() + start[id]; }
  const double* vals_of(int id) const { return vals.data() + start[id]; }
};

// One basis to run: its order, its columns (pool ids by position), the
// columns that may enter and those of the basis it walks towards.
struct Problem {
  std::string name;
  int n = 0;
  long entries = 0;
  ColumnPool pool;
  std::vector<int> basis;      // pool id of column j
  std::vector<int> enter;      // pool ids that may enter, in the order offered
  std::vector<char> target;    // per pool id: a column of the basis walked to
  std::string source;          // next, siblings or random
};

// Random columns of the basis itself, each plus t times another one.
void random_columns(Problem& p, const std::vector<column>& cols, int count) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> pick(0, p.n - 1);
  std::uniform_real_distribution<double> mag(0.01, 0.1);
  for (int k = 0; k < count; ++k) {
    int a = pick(rng), b = pick(rng);
    double t = (rng() % 2 == 0 ? 1 : -1) * mag(rng);
    std::map<int, double> sum;
    for (auto [r, v] : cols[a])
      sum[r] += v;
    for (auto [r, v] : cols[b])
      sum[r] += t * v;
    column c;
    for (auto [r, v] : sum)
      if (v != 0.0)
        c.push_back({r, v});
    if (!c.empty())
      p.enter.push_back(p.pool.add(c));
  }
}

// Reads the basis at path and what its loop needs.  "" or the status.
std::string make_problem(const std::string& path, int iters, Problem& p) {
  p.name = fs::path(path).stem().string();
  std::vector<column> cols;
  if (!read_columns(path, p.n, cols))
    return "read_error";
  if (p.n == 0)
    return "unsupported:empty";
  for (const column& c : cols) {
    p.basis.push_back(p.pool.add(c));
    p.entries += (long)c.size();
  }
  std::vector<char> offered(p.pool.size(), 1);  // the basis's own columns never enter first
  // The other bases of the problem, the next one first; the columns of the
  // next basis are the target, or for the last basis those of all others.
  std::vector<std::string> all = siblings(path);
  auto me = std::find_if(all.begin(), all.end(), [&](const std::string& s) {
    return fs::path(s).filename() == fs::path(path).filename();
  });
  std::vector<std::string> order;
  if (me != all.end()) {
    order.assign(me + 1, all.end());
    order.insert(order.end(), all.begin(), me);
  }
  const bool has_next = me != all.end() && me + 1 != all.end();
  std::mt19937 rng(11);
  for (size_t k = 0; k < order.size(); ++k) {
    int n2;
    std::vector<column> other;
    if (!read_columns(order[k], n2, other) || n2 != p.n)
      continue;
    std::vector<int> fresh;
    for (const column& c : other) {
      int id = p.pool.add(c);
      offered.resize(p.pool.size(), 0);
      p.target.resize(p.pool.size(), 0);
      if (!offered[id]) {
        offered[id] = 1;
        fresh.push_back(id);
      }
      if (!has_next || k == 0)
        p.target[id] = 1;
    }
    std::shuffle(fresh.begin(), fresh.end(), rng);
    p.enter.insert(p.enter.end(), fresh.begin(), fresh.end());
  }
  p.source = has_next ? "next" : "siblings";
  if (p.enter.empty()) {
    random_columns(p, cols, iters);
    p.source = "random";
  }
  p.target.resize(p.pool.size(), 0);
  return "";
}

// ---- the current basis as whole columns -----------------------------------------------

// The basis gathered from the pool into column arrays, as a solver gathers
// its basis matrix before a factorization (timed with it).
struct Gathered {
  std::vector<int> start, rows;
  std::vector<double> vals;
  void gather(const ColumnPool& pool, const std::vector<int>& basis) {
    start.clear();
    rows.clear();
    vals.clear();
    start.push_back(0);
    for (int id : basis) {
      rows.insert(rows.end(), pool.rows_of(id), pool.rows_of(id) + pool.nz(id));
      vals.insert(vals.end(), pool.vals_of(id), pool.vals_of(id) + pool.nz(id));
      start.push_back((int)rows.size());
    }
  }
};

// ---- the plan -------------------------------------------------------------------------

struct Step {
  int enter;     // pool id
  int leave;     // basis position
  double alpha;  // the transformed entering column at the leaving position
};

// Loads and factorizes basis into h (our library).  0, or the failing result.
int load_and_factor(lu_handle* h, const ColumnPool& pool, const std::vector<int>& basis,
                    Gathered& g) {
  g.gather(pool, basis);
  int rc = zk_load_columns(h, (int)basis.size(), g.start.data(), g.rows.data(), g.vals.data());
  if (rc != 0)
    return rc;
  int rank, *q, *r;
  return lu_factoring(h, 0, &rank, &q, &r);
}

// The leaving position for x = B^-1 a (dense, by position): among |x_j| >=
// 0.1 max|x|, the largest whose column is not in the target, else the
// largest; -1 when x is (nearly) zero.
int choose_leaving(const std::vector<double>& x, const std::vector<int>& idx, int nz,
                   const Problem& p, const std::vector<int>& basis) {
  double big = 0.0;
  for (int k = 0; k < nz; ++k)
    big = std::max(big, std::fabs(x[idx[k]]));
  if (!(big > 1e-9))
    return -1;
  int best = -1, best_any = -1;
  for (int k = 0; k < nz; ++k) {
    int j = idx[k];
    double a = std::fabs(x[j]);
    if (a < 0.1 * big)
      continue;
    if (best_any < 0 || a > std::fabs(x[best_any]))
      best_any = j;
    if (!p.target[basis[j]] && (best < 0 || a > std::fabs(x[best])))
      best = j;
  }
  return best >= 0 ? best : best_any;
}

// The sequence of iters basis changes, found with our library's sparse
// solves.  "" or the status.
std::string make_plan(const Problem& p, int iters, std::vector<Step>& plan) {
  lu_handle* h = lu_new();
  std::vector<int> basis = p.basis;
  std::vector<char> in_basis(p.pool.size(), 0);
  for (int id : basis)
    in_basis[id] = 1;
  std::vector<int> offer = p.enter;  // the queue of entering columns
  size_t next = 0;
  Gathered g;
  std::vector<double> x(p.n, 0.0);
  std::vector<int> idx(p.n);
  std::string status;
  if (load_and_factor(h, p.pool, basis, g) != 0)
    status = "singular";
  int misses = 0;
  while (status.empty() && (int)plan.size() < iters) {
    if (next >= offer.size() || misses > (int)offer.size()) {
      status = "error:no_entering_column";
      break;
    }
    int enter = offer[next++];
    if (in_basis[enter])
      continue;
    if (zk_refactor_advice(h, nullptr, nullptr, nullptr) == 1 &&
        load_and_factor(h, p.pool, basis, g) != 0) {
      status = "error:refactor";
      break;
    }
    int nz = p.pool.nz(enter);
    for (int k = 0; k < nz; ++k) {
      x[p.pool.rows_of(enter)[k]] = p.pool.vals_of(enter)[k];
      idx[k] = p.pool.rows_of(enter)[k];
    }
    if (zk_ftran_sparse(h, x.data(), idx.data(), &nz) != 0) {
      status = "error:zk_ftran_sparse";
      break;
    }
    int leave = choose_leaving(x, idx, nz, p, basis);
    double alpha = leave >= 0 ? x[leave] : 0.0;
    for (int k = 0; k < nz; ++k)
      x[idx[k]] = 0.0;
    if (leave < 0) {
      offer.push_back(enter);  // dependent on the basis now; later perhaps not
      ++misses;
      continue;
    }
    misses = 0;
    plan.push_back({enter, leave, alpha});
    int rc = zk_replace_column(h, leave, p.pool.nz(enter), p.pool.rows_of(enter),
                               p.pool.vals_of(enter));
    in_basis[basis[leave]] = 0;
    offer.push_back(basis[leave]);  // the column that left may enter again
    basis[leave] = enter;
    in_basis[enter] = 1;
    if (rc < 0 || (rc == 1 && load_and_factor(h, p.pool, basis, g) != 0))
      status = "error:zk_replace_column";
  }
  lu_delete(h);
  return status;
}

// ---- the three loops ------------------------------------------------------------------

// What one run of a loop gives: its time, the refactorizations after the
// first factorization, and whether its pivots agreed with the plan's.
struct Run {
  double seconds = 0;
  int refactors = 0;
  bool ok = true;
  double worst_alpha = 0;  // largest relative difference to the plan's pivot
};

void compare_alpha(Run& run, double got, double want) {
  double d = std::fabs(got - want) / std::fabs(want);
  if (!(d <= run.worst_alpha))
    run.worst_alpha = std::isnan(d) ? INFINITY : d;
}

// Our library, sparse (dense = false) or dense solves.
struct OurLoop {
  const Problem& p;
  const std::vector<Step>& plan;
  bool dense;
  lu_handle* h = lu_new();
  Gathered g;
  std::vector<double> x, y, rhs;
  std::vector<int> idx;
  OurLoop(const Problem& p_, const std::vector<Step>& plan_, bool dense_)
      : p(p_), plan(plan_), dense(dense_), x(p_.n, 0.0), y(p_.n, 0.0), rhs(p_.n, 0.0), idx(p_.n) {}
  ~OurLoop() { lu_delete(h); }

  // x = B^-1 a of the entering column; the pivot x[leave].
  double ftran(int enter, int leave) {
    const int nz0 = p.pool.nz(enter);
    const int* r = p.pool.rows_of(enter);
    const double* v = p.pool.vals_of(enter);
    if (dense) {
      for (int k = 0; k < nz0; ++k)
        rhs[r[k]] = v[k];
      int rc = lu_ftran(h, x.data(), rhs.data());
      for (int k = 0; k < nz0; ++k)
        rhs[r[k]] = 0.0;
      return rc == 0 ? x[leave] : std::nan("");
    }
    int nz = nz0;
    for (int k = 0; k < nz; ++k) {
      x[r[k]] = v[k];
      idx[k] = r[k];
    }
    if (zk_ftran_sparse(h, x.data(), idx.data(), &nz) != 0)
      return std::nan("");
    double alpha = x[leave];
    for (int k = 0; k < nz; ++k)
      x[idx[k]] = 0.0;
    return alpha;
  }

  // y^T = e_leave^T B^-1, the row of the leaving position.
  bool btran(int leave) {
    if (dense) {
      rhs[leave] = 1.0;
      int rc = lu_btran(h, y.data(), rhs.data());
      rhs[leave] = 0.0;
      return rc == 0;
    }
    int nz = 1;
    y[leave] = 1.0;
    idx[0] = leave;
    if (zk_btran_sparse(h, y.data(), idx.data(), &nz) != 0)
      return false;
    for (int k = 0; k < nz; ++k)
      y[idx[k]] = 0.0;
    return true;
  }

  Run run() {
    Run out;
    std::vector<int> basis = p.basis;
    double t0 = now_s();
    out.ok = load_and_factor(h, p.pool, basis, g) == 0;
    for (size_t k = 0; out.ok && k < plan.size(); ++k) {
      const Step& s = plan[k];
      if (k > 0 && zk_refactor_advice(h, nullptr, nullptr, nullptr) == 1) {
        out.ok = load_and_factor(h, p.pool, basis, g) == 0;
        ++out.refactors;
      }
      double alpha = ftran(s.enter, s.leave);
      out.ok = out.ok && btran(s.leave);
      compare_alpha(out, alpha, s.alpha);
      int rc = zk_replace_column(h, s.leave, p.pool.nz(s.enter), p.pool.rows_of(s.enter),
                                 p.pool.vals_of(s.enter));
      basis[s.leave] = s.enter;
      if (rc != 0) {
        out.ok = out.ok && rc == 1 && load_and_factor(h, p.pool, basis, g) == 0;
        ++out.refactors;
      }
    }
    out.seconds = now_s() - t0;
    return out;
  }
};

#ifdef ZELKOR_WITH_COINUTILS
// CoinUtils' CoinFactorization on the same plan.  Its positions: after a
// factorization, column j of the basis is at pivot position pos[j]; a
// replacement keeps the position.
struct CoinLoop {
  const Problem& p;
  const std::vector<Step>& plan;
  CoinFactorization f;
  CoinIndexedVector work, col, row;
  Gathered g;
  std::vector<int> row_basic, pos, len;
  double area = 0.0;
  CoinLoop(const Problem& p_, const std::vector<Step>& plan_) : p(p_), plan(plan_) {
    f.messageLevel(0);
    f.maximumPivots(ZK_REFACTOR_UPDATES);
  }

  // Gathers and factorizes the basis; a work area found too small is
  // doubled and the factorization repeated (the area is kept).
  bool factorize(const std::vector<int>& basis) {
    g.gather(p.pool, basis);
    len.resize(p.n);
    for (int j = 0; j < p.n; ++j)
      len[j] = g.start[j + 1] - g.start[j];
    CoinPackedMatrix m(true, p.n, p.n, (CoinBigIndex)g.rows.size(), g.vals.data(), g.rows.data(),
                       g.start.data(), len.data());
    for (int attempt = 0; attempt < 12; ++attempt) {
      row_basic.assign(p.n, -1);
      pos.assign(p.n, 1);
      int st = f.factorize(m, row_basic.data(), pos.data(), area);
      if (st == 0) {
        // Its hypersparse solves need the row copy of L that goSparse makes
        // (left out, its sparse threshold stays 0 and every solve is dense).
        f.goSparse();
        // The updates number their rows on from n: the work vectors cover them.
        int extra = f.maximumRowsExtra() + 1;
        for (CoinIndexedVector* v : {&work, &col, &row})
          if (v->capacity() < extra)
            v->reserve(extra);
        return true;
      }
      if (st != -99)
        return false;
      area = area > 0 ? 2 * area : std::max(2.0, 2 * f.areaFactor());
    }
    return false;
  }

  Run run() {
    Run out;
    std::vector<int> basis = p.basis;
    double t0 = now_s();
    out.ok = factorize(basis);
    for (size_t k = 0; out.ok && k < plan.size(); ++k) {
      const Step& s = plan[k];
      if (k > 0 && f.pivots() >= f.maximumPivots()) {
        out.ok = factorize(basis);
        ++out.refactors;
      }
      // FTRAN of the entering column, its spike kept for the replacement.
      col.clear();
      const int* r = p.pool.rows_of(s.enter);
      const double* v = p.pool.vals_of(s.enter);
      for (int t = 0; t < p.pool.nz(s.enter); ++t)
        col.insert(r[t], v[t]);
      f.updateColumnFT(&work, &col);
      const int at = pos[s.leave];
      double alpha = col.denseVector()[at];
      compare_alpha(out, alpha, s.alpha);
      // BTRAN of the unit vector of the leaving position.
      row.clear();
      row.insert(at, 1.0);
      f.updateColumnTranspose(&work, &row);
      int rc = f.replaceColumn(&work, at, alpha, false);
      basis[s.leave] = s.enter;
      if (rc == 2 || rc == 3) {
        out.ok = factorize(basis);
        ++out.refactors;
      }
    }
    out.seconds = now_s() - t0;
    return out;
  }
};
#endif

// ---- one basis ------------------------------------------------------------------------

struct Result {
  std::string name, source, status = "ok";
  int n = -1, iters = 0, refactors_ours = -1, refactors_coin = -1;
  long entries = -1;
  double ours_us = NA, dense_us = NA, coin_us = NA, first_pct = NA, next_pct = NA;
};

// The first pair of sparse solves after a factorization, and the same pair
// again, against the factorization: medians over repetitions.
void time_first_pair(const Problem& p, const Step& s, double budget, Result& res) {
  Gathered g;
  std::vector<double> fact, first, again;
  const std::vector<Step> none;
  OurLoop pair(p, none, false);
  double t_end = now_s() + budget;
  for (int k = 0; k < 3 || (now_s() < t_end && k < 1000); ++k) {
    g.gather(p.pool, p.basis);
    if (zk_load_columns(pair.h, p.n, g.start.data(), g.rows.data(), g.vals.data()) != 0)
      break;
    int rank, *q, *r;
    double t0 = now_s();
    int rc = lu_factoring(pair.h, 0, &rank, &q, &r);
    double t1 = now_s();
    bool ok = rc == 0 && pair.btran(s.leave) && !std::isnan(pair.ftran(s.enter, s.leave));
    double t2 = now_s();
    ok = ok && pair.btran(s.leave) && !std::isnan(pair.ftran(s.enter, s.leave));
    double t3 = now_s();
    if (!ok)
      break;
    fact.push_back(t1 - t0);
    first.push_back(t2 - t1);
    again.push_back(t3 - t2);
  }
  if (fact.size() >= 3) {
    res.first_pct = 100.0 * median(first) / median(fact);
    res.next_pct = 100.0 * median(again) / median(fact);
  }
}

Result bench_basis(const std::string& path, const Options& o) {
  Result res;
  Problem p;
  res.status = make_problem(path, o.iters, p);
  res.name = p.name;
  res.n = p.n;
  res.entries = p.entries;
  res.source = p.source;
  if (!res.status.empty())
    return res;
  std::vector<Step> plan;
  res.status = make_plan(p, o.iters, plan);
  if (!res.status.empty())
    return res;
  res.status = "ok";
  res.iters = (int)plan.size();
  // Rounds of the loops in turn.
  OurLoop ours(p, plan, false), dense(p, plan, true);
  std::vector<double> t_ours, t_dense;
#ifdef ZELKOR_WITH_COINUTILS
  CoinLoop coin(p, plan);
  std::vector<double> t_coin;
#endif
  // One untimed round first (allocations, caches), then the timed rounds.
  double t_end = now_s() + o.budget;
  for (int k = -1; k < 3 || (now_s() < t_end && k < 1000); ++k) {
    Run a = ours.run();
    Run b = dense.run();
    bool ok = a.ok && b.ok && a.worst_alpha <= 1e-9 && b.worst_alpha <= 1e-9;
#ifdef ZELKOR_WITH_COINUTILS
    Run c = coin.run();
    if (!c.ok || !(c.worst_alpha <= 1e-4)) {
      res.status = c.ok ? "error:coin_pivot_differs" : "error:coin_factorize";
      break;
    }
    if (k >= 0)
      t_coin.push_back(c.seconds);
    res.refactors_coin = c.refactors;
#endif
    if (!ok) {
      res.status = "error:ours";
      break;
    }
    if (k >= 0) {
      t_ours.push_back(a.seconds);
      t_dense.push_back(b.seconds);
    }
    res.refactors_ours = a.refactors;
  }
  if (res.status != "ok")
    return res;
  res.ours_us = 1e6 * median(t_ours) / res.iters;
  res.dense_us = 1e6 * median(t_dense) / res.iters;
#ifdef ZELKOR_WITH_COINUTILS
  res.coin_us = 1e6 * median(t_coin) / res.iters;
#endif
  time_first_pair(p, plan[0], std::min(o.budget, 0.2), res);
  return res;
}

// ---- output ---------------------------------------------------------------------------

void print_row(const Result& r) {
  print_tsv_row({r.name,
                 field((long)r.n),
                 field(r.entries),
                 r.source.empty() ? "NA" : r.source,
                 field((long)r.iters),
                 field((long)r.refactors_ours),
                 field((long)r.refactors_coin),
                 field(r.ours_us, "%.3f"),
                 field(r.dense_us, "%.3f"),
                 field(r.coin_us, "%.3f"),
                 field(r.ours_us / r.coin_us, "%.2f"),
                 field(r.dense_us / r.ours_us, "%.1f"),
                 field(r.first_pct, "%.1f"),
                 field(r.next_pct, "%.1f"),
                 r.status});
}

// Geometric mean and largest of the values of the rows that have one.
struct Spread {
  double log_sum = 0, worst = -INFINITY;
  std::string worst_name;
  int count = 0;
  void add(double v, const std::string& name) {
    if (std::isnan(v) || !(v > 0))
      return;
    log_sum += std::log(v);
    ++count;
    if (v > worst) {
      worst = v;
      worst_name = name;
    }
  }
  double mean() const { return count > 0 ? std::exp(log_sum / count) : NA; }
};

void print_summary(const std::vector<Result>& rows) {
  Spread vs_coin, dense_vs_coin, dense_large, first, slow_large;
  for (const Result& r : rows) {
    vs_coin.add(r.ours_us / r.coin_us, r.name);
    dense_vs_coin.add(r.dense_us / r.coin_us, r.name);
    first.add(r.first_pct, r.name);
    if (r.n >= 10000) {
      dense_large.add(r.dense_us / r.ours_us, r.name);
      slow_large.add(r.ours_us / r.dense_us, r.name);  // the worst speed-up is its largest inverse
    }
  }
  if (vs_coin.count > 0) {
    std::printf("# time per iteration / coin's, geometric mean over %d bases: "
                "ours=%.2f dense=%.2f\n",
                vs_coin.count, vs_coin.mean(), dense_vs_coin.mean());
    std::printf("#   worst for ours: %.2fx on %s\n", vs_coin.worst, vs_coin.worst_name.c_str());
  }
  if (dense_large.count > 0)
    std::printf("# dense / ours on the %d bases with n >= 10000: geometric mean %.1f, "
                "least %.1f on %s\n",
                dense_large.count, dense_large.mean(), 1.0 / slow_large.worst,
                slow_large.worst_name.c_str());
  if (first.count > 0)
    std::printf("# first sparse pair after a factorization, %% of the factorization: "
                "geometric mean %.1f, largest %.1f on %s\n",
                first.mean(), first.worst, first.worst_name.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (int rc = parse_options(argc, argv, o); rc != 0)
    return rc == 1 ? 0 : 2;
  std::vector<std::string> files = expand_paths(o.paths, expand_path);
  if (files.empty()) {
    std::fprintf(stderr, "bench_loop: no LP basis (*_crash, *_itN, *_opt .mtx) found\n");
    return 2;
  }
  std::printf("matrix\tn\tentries\tentering\titers\trefactors_ours\trefactors_coin\tours_us\t"
              "dense_us\tcoin_us\tours_coin\tdense_ours\tfirst_pct\tnext_pct\tstatus\n");
  std::vector<Result> rows;
  int status = 0;
  for (size_t k = 0; k < files.size(); ++k) {
    double t0 = now_s();
    Result r = bench_basis(files[k], o);
    print_row(r);
    std::fprintf(stderr, "bench_loop: [%zu/%zu] %s: %s, ours %s us, coin %s us per iteration "
                 "(%.1f s)\n",
                 k + 1, files.size(), r.name.c_str(), r.status.c_str(),
                 field(r.ours_us, "%.2f").c_str(), field(r.coin_us, "%.2f").c_str(), now_s() - t0);
    if (r.status != "ok")
      status = 1;
    rows.push_back(r);
  }
  print_summary(rows);
  return status;
}
