// The sparse transforms and the basis update against the dense transform, on
// the largest LP bases ("*_opt.mtx") of a matrix folder:
//
//   bench_update FOLDER          (the team's ../shared/matrices)
//
// For each basis: the factorization, one dense FTRAN (lu_ftran_d1 + d2 of a
// unit vector), one sparse FTRAN and one sparse BTRAN of a unit vector
// (averaged over many positions, with the average number of positions the
// result holds), the first sparse forward stage of a basis column (the
// spike of an update), a rebuild of U's whole row list over all rows (for
// comparison: an update keeps the list up to date row by row instead), and
// one column replacement (lu_pivotting, averaged over replacements
// of a column by a slightly perturbed copy of itself, which keeps the basis as
// well conditioned as it was).  The sparse FTRAN is measured again once the R
// etas of the replacements are present.
//
// For the largest basis the sparse FTRANs of unit vectors are then grouped
// twice: by the size of their result (the non-zeros reached) and by the number
// of non-empty etas a walk over the whole lists would visit (from the start
// position to the end of the L list, and over the U list), to show that their
// cost follows the first and not the second.
//
// Built against the program's configuration of the library: no matrix copy,
// no verification, no trace.  Exit status 0, or 2 when a file or call failed.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench_common.h"
#include "lp_lumx.h"
#include "lp_sm_lu.h"
#include "lp_ve.h"

namespace {

struct Basis {
  std::string name;
  mtx_matrix m;
  std::vector<std::vector<std::pair<int, double>>> cols;
};

struct Row {
  std::string name;
  int n = 0;
  long nnz = 0, nnz_l = 0, nnz_u = 0, etas_l = 0, etas_u = 0;
  double factor_ms = 0, dense_us = 0, ftran_us = 0, ftran_reach = 0, btran_us = 0,
         btran_reach = 0, spike_us = 0, rows_us = 0, update_us = 0, ftran_after_us = 0;
};

// Position of every eta among a packed file's etas with entries, in step
// order (-1 for an eta without entries), and their number.
std::vector<int> nz_index(const eta_pack& p, int n, long* count) {
  std::vector<int> idx(n, -1);
  int k = 0;
  for (int q = 0; q < p.n_seg; ++q)
    if (p.seg[q].len > 0)
      idx[p.seg[q].row] = k++;
  *count = k;
  return idx;
}

int listed_count(const lpvect2* v) {
  int c = 0;
  for (int p = v->head; p >= 0; p = v->next[p])
    ++c;
  return c;
}

// One sparse FTRAN of e_p: its time in microseconds, the result's size, and
// the number of non-empty etas its two walks visit.
struct Walk {
  const std::vector<int>* idx_l;
  const std::vector<int>* idx_u;
  long etas_l, etas_u;
};
double sparse_ftran(b_rec* b, lpvect2* v, int p, int* reach, const Walk* w = nullptr,
                    long* visits = nullptr) {
  auto t0 = clock_type::now();
  lpvect2_newmark(v);
  lpvect2_set(v, p, 1.0);
  lu_ftran_v21(b, v);
  double us = us_since(t0);
  if (w != nullptr) {
    // L: from p to the end of the list; U: the whole list from its tail, or
    // from the single listed position back to the head.
    int il = (*w->idx_l)[p];
    *visits = il < 0 ? 0 : w->etas_l - il;
    if (listed_count(v) >= 2)
      *visits += w->etas_u;
    else if (v->head >= 0)
      *visits += (*w->idx_u)[v->head] + 1;
  }
  t0 = clock_type::now();
  lu_ftran_v22(b, v);
  us += us_since(t0);
  *reach = listed_count(v);
  return us;
}

double sparse_btran(b_rec* b, lpvect2* v, int p, int* reach) {
  auto t0 = clock_type::now();
  lpvect2_newmark(v);
  lpvect2_set(v, p, 1.0);
  lu_btran_v21(b, v);
  lu_btran_v22(b, v);
  double us = us_since(t0);
  *reach = listed_count(v);
  return us;
}

// Buckets of the largest basis by decade: 0-10, 11-100, ..., above 100000.
struct Bucket {
  long count = 0;
  double us = 0, reach = 0, visits = 0;
};
const int N_BUCKETS = 6;
int bucket_of(long x) {
  int k = 0;
  for (long lim = 10; x > lim && k < N_BUCKETS - 1; lim *= 10)
    ++k;
  return k;
}
struct Groups {
  std::vector<Bucket> by_reach = std::vector<Bucket>(N_BUCKETS);
  std::vector<Bucket> by_visits = std::vector<Bucket>(N_BUCKETS);
};

bool run(const Basis& B, Row& row, Groups* groups) {
  const int n = B.m.n;
  row.name = B.name;
  row.n = n;
  row.nnz = (long)B.m.entries.size();
  b_rec* b = new b_rec();
  auto t0 = clock_type::now();
  if (lumx_renew(b, n, 1000, 0.01) != 0)
    return false;
  for (const mtx_entry& e : B.m.entries)
    if (e.v != 0.0 && lumx_append(b->lu, e.row, e.col, e.v) < 0)
      return false;
  int rank;
  int32_t *q, *r;
  if (lu_factorization(b, 0, &rank, &q, &r) != 0 || b->fact_state != 0) {
    std::fprintf(stderr, "bench_update: %s does not factorize\n", B.name.c_str());
    return false;
  }
  row.factor_ms = us_since(t0) / 1000.0;
  row.nnz_l = b->n_lw;
  row.nnz_u = b->n_up;
  std::vector<int> idx_l = nz_index(b->lwp, n, &row.etas_l);
  std::vector<int> idx_u = nz_index(b->upp, n, &row.etas_u);
  Walk walk{&idx_l, &idx_u, row.etas_l, row.etas_u};

  std::mt19937 rng(1);
  std::uniform_int_distribution<int> pos(0, n - 1);
  lpvect2 v{};
  if (lpvect2_alloc(&v, n, nullptr) != 0)
    return false;
  std::vector<double> x(n);

  auto dense_ftran = [&](int reps) {
    double total = 0;
    for (int k = 0; k < reps; ++k) {
      std::fill(x.begin(), x.end(), 0.0);
      x[pos(rng)] = 1.0;
      auto t = clock_type::now();
      lu_ftran_d1(b, x.data());
      lu_ftran_d2(b, x.data());
      total += us_since(t);
    }
    return total / reps;
  };
  row.dense_us = dense_ftran(100);

  const int samples = std::min(n, 20000);
  double total = 0, reach_sum = 0;
  for (int k = 0; k < samples; ++k) {
    int reach;
    long visits;
    int p = samples == n ? k : pos(rng);
    double us = sparse_ftran(b, &v, p, &reach, &walk, &visits);
    total += us;
    reach_sum += reach;
    if (groups != nullptr)
      for (Bucket* bk :
           {&groups->by_reach[bucket_of(reach)], &groups->by_visits[bucket_of(visits)]}) {
        bk->count += 1;
        bk->us += us;
        bk->reach += reach;
        bk->visits += (double)visits;
      }
  }
  row.ftran_us = total / samples;
  row.ftran_reach = reach_sum / samples;
  total = reach_sum = 0;
  for (int k = 0; k < samples; ++k) {
    int reach;
    total += sparse_btran(b, &v, pos(rng), &reach);
    reach_sum += reach;
  }
  row.btran_us = total / samples;
  row.btran_reach = reach_sum / samples;

  // The first forward stage of basis columns (the spike of an update), and
  // a rebuild of U's whole row list, for comparison with an update.
  lpvect2 as{};
  if (lpvect2_alloc(&as, n, nullptr) != 0)
    return false;
  const int reps = 200;
  total = 0;
  for (int k = 0; k < reps; ++k) {
    lpvect2_newmark(&as);
    for (auto [i, val] : B.cols[pos(rng)])
      lpvect2_set(&as, i, val);
    auto t = clock_type::now();
    lu_ftran_v21(b, &as);
    total += us_since(t);
  }
  row.spike_us = total / reps;
  // The row-wise files and lists of L and U from the packed files, which the
  // first sparse backward solve or update after a factorization builds (the
  // fast library builds them with the factorization); built again here, as
  // nothing has changed the factors yet.
  auto t1 = clock_type::now();
  for (int k = 0; k < reps; ++k) {
    b->rows_ready = 0;
    lu_eta_rows(b);
  }
  row.rows_us = us_since(t1) / reps;

  // Column replacements: the column matched to row id r by a copy of itself
  // with every value changed by at most 0.1 %.
  std::vector<int> col_of_row(b->ips1, b->ips1 + n);
  std::vector<std::vector<std::pair<int, double>>> cols = B.cols;
  std::uniform_real_distribution<double> u(-1e-3, 1e-3);
  const int updates = 200;
  total = 0;
  for (int k = 0; k < updates; ++k) {
    int rr = pos(rng);
    auto& col = cols[col_of_row[rr]];
    lpvect2_newmark(&as);
    for (auto& [i, val] : col) {
      val *= 1.0 + u(rng);
      lpvect2_set(&as, i, val);
    }
    auto t = clock_type::now();
    int rc = lu_pivotting(b, rr, &as);
    total += us_since(t);
    if (rc != k + 1) {
      std::fprintf(stderr, "bench_update: %s update %d gave %d\n", B.name.c_str(), k, rc);
      return false;
    }
  }
  row.update_us = total / updates;
  total = 0;
  for (int k = 0; k < samples; ++k) {
    int reach;
    total += sparse_ftran(b, &v, pos(rng), &reach);
  }
  row.ftran_after_us = total / samples;

  lpvect2_free(&as);
  lpvect2_free(&v);
  lumx_free(b);
  delete b;
  return true;
}

const char* const USAGE =
    "usage: bench_update FOLDER\n"
    "  FOLDER  a folder of Matrix Market files; its five largest LP optimal bases\n"
    "          (*_opt.mtx) are measured\n"
    "Per basis: factorization, dense and sparse FTRAN, sparse BTRAN, the spike, a\n"
    "rebuild of U's row list and a column replacement (microseconds); then the\n"
    "sparse FTRANs of the largest basis grouped by their reach.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && is_help(argv[1])) {
    std::fputs(USAGE, stdout);
    return 0;
  }
  if (argc != 2 || argv[1][0] == '-') {
    std::fputs(USAGE, stderr);
    return 2;
  }
  std::string folder = argv[1];
  if (!is_folder("bench_update", folder))
    return 2;
  basis_check = 0;
  check_print = 0;

  // The LP bases of the folder, largest first.
  std::vector<std::pair<int, std::string>> found;
  for (std::string& path : mtx_files(folder)) {
    std::string name = std::filesystem::path(path).filename().string();
    if (name.size() < 8 || name.compare(name.size() - 8, 8, "_opt.mtx") != 0)
      continue;
    MtxHead head = read_head(path);
    if (head.rows == head.n && head.n > 0)
      found.push_back({head.n, std::move(path)});
  }
  if (found.empty()) {
    std::fprintf(stderr, "bench_update: no *_opt.mtx basis in %s\n", folder.c_str());
    return 2;
  }
  std::sort(found.rbegin(), found.rend());
  if (found.size() > 5)
    found.resize(5);

  std::vector<Row> rows;
  Groups groups;
  for (size_t i = 0; i < found.size(); ++i) {
    Basis B;
    B.name = std::filesystem::path(found[i].second).stem().string();
    if (!read_mtx(found[i].second, B.m)) {
      std::fprintf(stderr, "bench_update: cannot read %s\n", found[i].second.c_str());
      return 2;
    }
    B.cols.resize(B.m.n);
    for (const mtx_entry& e : B.m.entries)
      if (e.v != 0.0)
        B.cols[e.col].push_back({e.row, e.v});
    Row row;
    if (!run(B, row, i == 0 ? &groups : nullptr))
      return 2;
    rows.push_back(row);
  }

  std::printf("Microseconds per call (factorization: ms).  etas L/U: non-empty etas; reach:\n"
              "positions in the result; spike: lu_ftran_v21 of a basis column; rows: the\n"
              "row-wise files and lists of L and U built from the packed ones (once per\n"
              "factorization); FT+200R: sparse FTRAN after 200 updates.\n\n");
  std::printf("%-11s %6s %6s %6s %6s %6s %5s %6s | %8s | %7s %5s | %7s %5s | %7s %7s | %7s | %7s\n",
              "basis", "n", "nnz B", "nnz L", "nnz U", "etas L", "U", "fact", "dense FT",
              "sprs FT", "reach", "sprs BT", "reach", "spike", "rows", "update", "FT+200R");
  for (const Row& r : rows)
    std::printf("%-11s %6d %6ld %6ld %6ld %6ld %5ld %6.2f | %8.2f | %7.2f %5.1f | %7.2f %5.1f | "
                "%7.2f %7.2f | %7.2f | %7.2f\n",
                r.name.c_str(), r.n, r.nnz, r.nnz_l, r.nnz_u, r.etas_l, r.etas_u, r.factor_ms,
                r.dense_us, r.ftran_us, r.ftran_reach, r.btran_us, r.btran_reach, r.spike_us,
                r.rows_us, r.update_us, r.ftran_after_us);
  const char* labels[N_BUCKETS] = {"0-10", "11-100", "101-1000", "1001-10^4", "10^4-10^5",
                                   ">10^5"};
  auto table = [&](const char* title, const std::vector<Bucket>& bks) {
    std::printf("\nSparse FTRAN of unit vectors on %s (n %d), by %s:\n", rows[0].name.c_str(),
                rows[0].n, title);
    std::printf("%-10s %8s %10s %11s %9s %10s %10s\n", "", "vectors", "avg reach", "avg visits",
                "avg us", "ns/reach", "ns/visit");
    for (int k = 0; k < N_BUCKETS; ++k) {
      const Bucket& bk = bks[k];
      if (bk.count == 0)
        continue;
      std::printf("%-10s %8ld %10.1f %11.1f %9.3f %10.1f ", labels[k], bk.count,
                  bk.reach / bk.count, bk.visits / bk.count, bk.us / bk.count,
                  1000.0 * bk.us / bk.reach);
      if (bk.visits >= bk.count)
        std::printf("%10.2f\n", 1000.0 * bk.us / bk.visits);
      else
        std::printf("%10s\n", "-");
    }
  };
  table("size of the result (non-zeros reached)", groups.by_reach);
  table("non-empty etas a walk over the whole lists would visit", groups.by_visits);
  std::printf("\n(each sparse call is timed on its own: the clock reads add some 20-40 ns)\n");
  return 0;
}
