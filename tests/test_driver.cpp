// The console program end to end: the built zelkor binary runs as a child
// process in the test's temporary directory; its standard output, exit
// status and files are compared byte for byte.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "mtx.h"
#include "test_matrix.h"
#include "test_support.h"

// The program is built with the same flags as this test; under
// AddressSanitizer an address-space limit breaks the sanitizer's runtime.
#if defined(__SANITIZE_ADDRESS__)
#define ZK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZK_ASAN 1
#endif
#endif

namespace {

struct run_result {
  bool exited = false;  // ended through exit, not by a signal
  int code = -1;        // the exit status, or the signal number when !exited
  std::string out;      // standard output
  std::string err;      // standard error
};

// Runs the program with args in the current directory, standard input from
// /dev/null.  as_limit > 0 caps the child's address space (set in the child
// between fork and exec).  env holds "NAME=value" entries that replace or
// extend the test's environment for the child.
run_result run_zelkor(const std::vector<std::string>& args, rlim_t as_limit = 0,
                      const std::vector<std::string>& env = {}) {
  std::vector<std::string> store{ZELKOR_PROGRAM};
  store.insert(store.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : store)
    argv.push_back(s.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_store;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('=') + 1);
    if (std::none_of(env.begin(), env.end(), [&](const std::string& x) { return x.rfind(name, 0) == 0; }))
      env_store.push_back(entry);
  }
  env_store.insert(env_store.end(), env.begin(), env.end());
  std::vector<char*> envp;
  for (std::string& s : env_store)
    envp.push_back(s.data());
  envp.push_back(nullptr);

  run_result r;
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return r;
  }
  pid_t pid = fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    return r;
  }
  if (pid == 0) {  // only async-signal-safe calls from here on
    int in = open("/dev/null", O_RDONLY);
    if (in < 0 || dup2(in, 0) < 0 || dup2(out_pipe[1], 1) < 0 || dup2(err_pipe[1], 2) < 0)
      _exit(126);
    close(in);
    close(out_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[0]);
    close(err_pipe[1]);
    if (as_limit > 0) {
      struct rlimit rl = {as_limit, as_limit};
      if (setrlimit(RLIMIT_AS, &rl) != 0)
        _exit(126);
    }
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  // Both pipes are drained together, so that neither can fill up and stall the child.
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sink[2] = {&r.out, &r.err};
  int open_count = 2;
  char buf[4096];
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR)
        continue;
      ADD_FAILURE() << "poll: " << std::strerror(errno);
      break;
    }
    for (int k = 0; k < 2; ++k) {
      if (fds[k].fd < 0 || fds[k].revents == 0)
        continue;
      ssize_t n = read(fds[k].fd, buf, sizeof buf);
      if (n > 0) {
        sink[k]->append(buf, (size_t)n);
      } else if (n == 0 || errno != EINTR) {
        close(fds[k].fd);
        fds[k].fd = -1;
        --open_count;
      }
    }
  }
  for (pollfd& p : fds)
    if (p.fd >= 0)
      close(p.fd);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  r.exited = WIFEXITED(status);
  r.code = r.exited ? WEXITSTATUS(status) : WIFSIGNALED(status) ? WTERMSIG(status) : -1;
  return r;
}

using names = std::vector<std::string>;

// Removes everything from the current directory (between cases of one test).
void clear_dir() {
  for (const auto& e : std::filesystem::directory_iterator("."))
    std::filesystem::remove_all(e.path());
}

// Bytes from hexadecimal digits; blanks are ignored ("93FC 97CD").
std::string hx(const char* digits) {
  std::string out;
  int nibbles = 0, byte = 0;
  for (const char* p = digits; *p != '\0'; ++p) {
    if (*p == ' ')
      continue;
    byte = byte * 16 + (std::isdigit((unsigned char)*p) ? *p - '0' : std::toupper(*p) - 'A' + 10);
    if (++nibbles % 2 == 0) {
      out += (char)byte;
      byte = 0;
    }
  }
  return out;
}

std::string fmt_g(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(text.substr(start, nl - start));
  EXPECT_EQ(start, text.size()) << "text does not end with a newline";
  return lines;
}

// A "%g" number at the start of s, which must be followed by tail; the
// number must be written exactly as "%g" writes what it reads as.
bool take_g(const char*& s, const char* tail, double& v) {
  char* end;
  v = std::strtod(s, &end);
  if (end == s || std::string((const char*)s, (const char*)end) != fmt_g(v) ||
      std::strncmp(end, tail, std::strlen(tail)) != 0)
    return false;
  s = end + std::strlen(tail);
  return true;
}

// x.txt and err.txt of a solved system with right-hand side b.  Every
// line of x.txt is one "%g" number; line k of err.txt is "ftran k(%d) b(%g)
// x(%g) Ax(%g) Ax-b(%g)" with k, b[k] and line k of x.txt, and its Ax is b
// plus its Ax-b to the six digits printed.  Each deviation is a failure.
struct solution {
  std::vector<std::string> x_text;
  std::vector<double> x, ax, res;
};

solution read_solution(const std::vector<double>& b) {
  solution s;
  s.x_text = split_lines(read_file("x.txt"));
  std::vector<std::string> e_lines = split_lines(read_file("err.txt"));
  EXPECT_EQ(s.x_text.size(), b.size());
  EXPECT_EQ(e_lines.size(), b.size());
  if (s.x_text.size() != b.size() || e_lines.size() != b.size())
    return s;
  int bad_lines = 0;
  for (size_t k = 0; k < b.size(); ++k) {
    double xk = 0.0, ax = 0.0, res = 0.0;
    const char* p = s.x_text[k].c_str();
    bool ok = take_g(p, "", xk) && *p == '\0';
    std::string prefix =
        "ftran k(" + std::to_string(k) + ") b(" + fmt_g(b[k]) + ") x(" + s.x_text[k] + ") Ax(";
    ok = ok && e_lines[k].compare(0, prefix.size(), prefix) == 0;
    p = ok ? e_lines[k].c_str() + prefix.size() : "";
    ok = ok && take_g(p, ") Ax-b(", ax) && take_g(p, ")", res) && *p == '\0' &&
         std::fabs(ax - (b[k] + res)) <= 1e-5 * (std::fabs(ax) + std::fabs(res));
    if (!ok && ++bad_lines <= 3)
      ADD_FAILURE() << "line " << k + 1 << ": " << s.x_text[k] << " / " << e_lines[k];
    s.x.push_back(xk);
    s.ax.push_back(ax);
    s.res.push_back(res);
  }
  EXPECT_EQ(bad_lines, 0);
  return s;
}

// The run ended normally with the exit status code, wrote nothing to
// standard error, and its standard output is before followed by the summary
// line that begins with head ("sz = 2 nz = 2 rc = 0"), any elapsed time.
void expect_run(const run_result& r, int code, const std::string& before, const std::string& head) {
  EXPECT_TRUE(r.exited) << "ended by signal " << r.code;
  EXPECT_EQ(r.code, code);
  EXPECT_EQ(r.err, "");
  std::string start = before + head + " clock = ";
  ASSERT_EQ(r.out.substr(0, start.size()), start) << r.out;
  EXPECT_TRUE(std::regex_match(r.out.substr(start.size()), std::regex("[0-9]+\\.[0-9]{2}\n")))
      << r.out;
}

#ifdef ZK_ASAN
// The ASAN_OPTIONS entry for a child: the test's own options, then extra.
std::string asan_options(const std::string& extra) {
  const char* own = std::getenv("ASAN_OPTIONS");
  return "ASAN_OPTIONS=" + (own != nullptr && *own != '\0' ? std::string(own) + ":" : "") + extra;
}
#endif

// The run ended normally with status code after printing exactly out.
void expect_plain(const run_result& r, int code, const std::string& out) {
  EXPECT_TRUE(r.exited) << "ended by signal " << r.code;
  EXPECT_EQ(r.code, code);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, out);
}

// A 2 x 2 diagonal system with entries 2 and b = (2, 4): x = (1, 2).
const char DIAG_A[] = "0,0,2\n1,1,2\n";
const char DIAG_B[] = "0,2\n1,4\n";
const char DIAG_X[] = "1\n2\n";
const char DIAG_ERR[] =
    "ftran k(0) b(2) x(1) Ax(2) Ax-b(0)\n"
    "ftran k(1) b(4) x(2) Ax(4) Ax-b(0)\n";

// The usage text as the CP932 bytes the program must print, assembled from
// the code table: 入力 93FC 97CD, 出力 8F6F 97CD, 係数 8C57 9094, 右辺値
// 8945 95D3 926C, 解 89F0, ｘ 8298, 誤差 8CEB 8DB7, の 82CC, ファイル 8374
// 8340 8343 838B, 名 96BC, 。 8142, 省略値 8FC8 97AA 926C, ： 8146.
std::string usage_cp932() {
  std::string file_name = hx("8374 8340 8343 838B 96BC 8142");  // ファイル名。
  std::string dflt = hx("8FC8 97AA 926C 8146");                // 省略値：
  std::string in = hx("93FC 97CD"), out = hx("8F6F 97CD"), no = hx("82CC");
  return "usage: zelkor.exe [-afile1] [-bfile2] [-xfile3] [-efile4]\n"
         "-a (" + in + ")" + hx("8C57 9094") + no + file_name + "  " + dflt + "aij.txt\n"
         "-b (" + in + ")" + hx("8945 95D3 926C") + no + file_name + dflt + "b.txt\n"
         "-x (" + out + ")" + hx("89F0 8298") + file_name + "    " + dflt + "x.txt\n"
         "-e (" + out + ")" + hx("8CEB 8DB7") + no + file_name + "  " + dflt + "err.txt\n";
}

const char USAGE_UTF8[] =
    "usage: zelkor.exe [-afile1] [-bfile2] [-xfile3] [-efile4]\n"
    "-a (入力)係数のファイル名。  省略値：aij.txt\n"
    "-b (入力)右辺値のファイル名。省略値：b.txt\n"
    "-x (出力)解ｘファイル名。    省略値：x.txt\n"
    "-e (出力)誤差のファイル名。  省略値：err.txt\n";

}  // namespace

// ---- command line ---------------------------------------------------------------------

TEST(DriverCommandLine, NoArgumentsUseTheDefaultNames) {
  write_file("aij.txt", DIAG_A);
  write_file("b.txt", DIAG_B);
  run_result r = run_zelkor({});
  expect_run(r, 0, "", "sz = 2 nz = 2 rc = 0");
  EXPECT_EQ(listing(), (names{"Zelkordbg.txt", "aij.txt", "b.txt", "err.txt", "x.txt"}));
  EXPECT_EQ(read_file("x.txt"), DIAG_X);
  EXPECT_EQ(read_file("err.txt"), DIAG_ERR);
  EXPECT_EQ(read_file("Zelkordbg.txt"), "");  // the log of a clean run is empty
}

TEST(DriverCommandLine, OptionsNameTheFilesInAnyOrder) {
  write_file("m.txt", DIAG_A);
  write_file("r.txt", DIAG_B);
  // Both prefixes; a repeated option replaces the earlier name.
  run_result r = run_zelkor({"/ein.txt", "-xsol.txt", "-anone.txt", "/br.txt", "-am.txt"});
  expect_run(r, 0, "", "sz = 2 nz = 2 rc = 0");
  EXPECT_EQ(listing(), (names{"Zelkordbg.txt", "in.txt", "m.txt", "r.txt", "sol.txt"}));
  EXPECT_EQ(read_file("sol.txt"), DIAG_X);
  EXPECT_EQ(read_file("in.txt"), DIAG_ERR);

  // -ax.txt names the coefficient file x.txt, which the default solution
  // name then overwrites.
  clear_dir();
  write_file("x.txt", DIAG_A);
  write_file("b.txt", DIAG_B);
  r = run_zelkor({"-ax.txt"});
  expect_run(r, 0, "", "sz = 2 nz = 2 rc = 0");
  EXPECT_EQ(read_file("x.txt"), DIAG_X);
  EXPECT_EQ(read_file("err.txt"), DIAG_ERR);
}

TEST(DriverCommandLine, ParameterErrorPrintsTheUsageAndDoesNothingElse) {
  // The usage text from the code table and from the converter agree.
  ASSERT_EQ(usage_cp932(), sj(USAGE_UTF8));
  const std::vector<std::vector<std::string>> bad = {
      {"-A"},
      {"--"},
      {"-Aaij.txt"},
      {"-"},
      {"/"},
      {"aij.txt"},
      {"-X"},
      {"-q"},
      {"-aaij.txt", "-bb.txt", "-A"},  // after valid options: still nothing read
      {"-a", "--"},
      {"-xx.txt", "ein.txt"},
  };
  for (const auto& args : bad) {
    SCOPED_TRACE(testing::PrintToString(args));
    clear_dir();
    write_file("aij.txt", DIAG_A);
    write_file("b.txt", DIAG_B);
    run_result r = run_zelkor(args);
    expect_plain(r, 2, "parameter error\n" + usage_cp932());
    // No handle was made (no log), nothing was read or written.
    EXPECT_EQ(listing(), (names{"aij.txt", "b.txt"}));
  }
}

TEST(DriverCommandLine, EmptyFileNamesFailToOpen) {
  write_file("aij.txt", DIAG_A);
  write_file("b.txt", DIAG_B);
  run_result r = run_zelkor({"-a"});
  expect_plain(r, 1, "cannot open file()\n");
  EXPECT_EQ(listing(), (names{"Zelkordbg.txt", "aij.txt", "b.txt"}));
  EXPECT_EQ(read_file("Zelkordbg.txt"), "");

  r = run_zelkor({"/b"});
  expect_plain(r, 1, "cannot open file()\n");
  EXPECT_EQ(listing(), (names{"Zelkordbg.txt", "aij.txt", "b.txt"}));

  // A name that opens but cannot be read is no empty right-hand side.
  ASSERT_EQ(mkdir("bdir", 0755), 0);
  r = run_zelkor({"-bbdir"});
  expect_plain(r, 1, "cannot read file(bdir)\n");
  EXPECT_EQ(listing(), (names{"Zelkordbg.txt", "aij.txt", "b.txt", "bdir"}));
}

// ---- runs -----------------------------------------------------------------------------

TEST(DriverRun, RepeatedPositionsKeepTheFirstValueInFileOrder) {
  // (0,0): the zero line adds nothing, then 4 is the first value; 8 is dropped.
  write_file("aij.txt", "0,0,0\n0,0,4\n1,1,2\n0,0,8\n1,1,1\n");
  write_file("b.txt", "0,4\n1,2\n");
  run_result r = run_zelkor({});
  expect_run(r, 0, "same 2 (i,j)'s are rejected.\n", "sz = 2 nz = 2 rc = 0");
  EXPECT_EQ(read_file("x.txt"), "1\n1\n");

  // Many interleaved repeats of every position of a 3 x 3 upper triangular
  // matrix: whatever the sort does with equal keys, the first in file order wins.
  clear_dir();
  std::string a;
  for (int rep = 0; rep < 40; ++rep)
    for (int i = 0; i < 3; ++i)
      for (int j = i; j < 3; ++j) {
        char line[64];
        std::snprintf(line, sizeof line, "%d,%d,%d\n", i, j, rep == 0 ? (i == j ? 1 : 2) : 7 + rep);
        a += line;
      }
  write_file("aij.txt", a);
  write_file("b.txt", "0,5\n1,3\n2,1\n");  // x = (1, 1, 1) with the first values
  r = run_zelkor({});
  expect_run(r, 0, "same 234 (i,j)'s are rejected.\n", "sz = 3 nz = 6 rc = 0");
  EXPECT_EQ(read_file("x.txt"), "1\n1\n1\n");
}

TEST(DriverRun, RankDeficientMatrixWritesNoFiles) {
  // ラ 8389 ン 8393 ク 834E 不 9573 足 91AB, then the ideographic space 8140.
  const std::string head = hx("8389 8393 834E 9573 91AB 8140");
  ASSERT_EQ(sj("ランク不足　"), head);

  // The third row and column are empty; the zero line only sets the order.
  write_file("aij.txt", "0,0,1\n1,1,1\n2,2,0\n");
  write_file("b.txt", "0,1\n1,1\n");
  run_result r = run_zelkor({});
  expect_run(r, 1, head + "size = 3, rank = 2\n", "sz = 3 nz = 2 rc = 1");
  EXPECT_EQ(listing(), (names{"Zelkordbg.txt", "aij.txt", "b.txt"}));

  // Only zeros: nothing reaches the library; rank 0.
  clear_dir();
  write_file("aij.txt", "0,0,0\n1,1,-0.0\n");
  write_file("b.txt", "");
  r = run_zelkor({});
  expect_run(r, 1, head + "size = 2, rank = 0\n", "sz = 2 nz = 0 rc = 2");
  EXPECT_EQ(listing(), (names{"Zelkordbg.txt", "aij.txt", "b.txt"}));
}

TEST(DriverRun, ValuesAreWrittenWithSixSignificantDigitsAndBAsRead) {
  write_file("aij.txt", "0,0,1\n1,1,1\n2,2,4\n3,3,-8\n");
  // b[1] is replaced by the later line, b[2] is missing (0).
  write_file("b.txt", "0,1234567\n1,7\n3,-0.000123456789\n1,0.5\n");
  run_result r = run_zelkor({});
  expect_run(r, 0, "", "sz = 4 nz = 4 rc = 0");
  EXPECT_EQ(read_file("x.txt"), "1.23457e+06\n0.5\n0\n1.54321e-05\n");
  EXPECT_EQ(read_file("err.txt"),
            "ftran k(0) b(1.23457e+06) x(1.23457e+06) Ax(1.23457e+06) Ax-b(0)\n"
            "ftran k(1) b(0.5) x(0.5) Ax(0.5) Ax-b(0)\n"
            "ftran k(2) b(0) x(0) Ax(0) Ax-b(0)\n"
            "ftran k(3) b(-0.000123457) x(1.54321e-05) Ax(-0.000123457) Ax-b(0)\n");

  // A right-hand side without data lines is all zero.
  clear_dir();
  write_file("aij.txt", DIAG_A);
  write_file("b.txt", "# nothing\n");
  r = run_zelkor({});
  expect_run(r, 0, "", "sz = 2 nz = 2 rc = 0");
  EXPECT_EQ(read_file("x.txt"), "0\n0\n");
  EXPECT_EQ(read_file("err.txt"),
            "ftran k(0) b(0) x(0) Ax(0) Ax-b(0)\nftran k(1) b(0) x(0) Ax(0) Ax-b(0)\n");
}

// Nearly singular: x is of the order 1e12, so its rounding shows in A·x at
// the 1e-4 level and the report's columns differ visibly.
TEST(DriverRun, ReportShowsTheResidualOfAnInexactSolve) {
  write_file("aij.txt", "0,0,1\n0,1,1\n1,0,1\n1,1,1.000000000001\n2,2,3\n2,0,0.1\n");
  write_file("b.txt", "0,1\n1,0.3\n2,0.7\n");
  run_result r = run_zelkor({});
  expect_run(r, 0, "", "sz = 3 nz = 6 rc = 0");
  const std::vector<double> b = {1.0, 0.3, 0.7};
  solution s = read_solution(b);
  ASSERT_EQ(s.x.size(), 3u);
  int visible = 0;
  double x_norm = 0.0, r_norm = 0.0;
  for (size_t k = 0; k < 3; ++k) {
    visible += std::fabs(s.res[k]) > 1e-5 * std::fabs(b[k]);
    x_norm = std::max(x_norm, std::fabs(s.x[k]));
    r_norm = std::max(r_norm, std::fabs(s.res[k]));
  }
  EXPECT_GE(visible, 1);
  EXPECT_GT(x_norm, 1e11);
  EXPECT_LE(r_norm, 1e-9 * (3.1 * x_norm + 1.0));  // |A|∞ = 3.1
}

TEST(DriverRun, NoDataLinesIsNoSystem) {
  // The right-hand-side file is not read: its absence is not reported.
  for (const char* text : {"", "# only a comment\n\n", "\r\n#\n"}) {
    SCOPED_TRACE(text);
    clear_dir();
    write_file("aij.txt", text);
    run_result r = run_zelkor({});
    expect_plain(r, 1, "no elements in file(aij.txt)\n");
    EXPECT_EQ(listing(), (names{"Zelkordbg.txt", "aij.txt"}));
  }
  write_file("e.txt", "");
  expect_plain(run_zelkor({"-ae.txt"}), 1, "no elements in file(e.txt)\n");
}

TEST(DriverRun, LinesOfAnyLengthAndCrOrCrlfEndings) {
  // Read in 255-character pieces, the tail "5,5,5" would be an element of
  // its own and make the order 6.
  write_file("aij.txt", "0,0,2" + std::string(300, ' ') + "5,5,5\n1,1,2\n");
  write_file("b.txt", "1,4\n0,2" + std::string(1000, ' ') + "1,9\n");
  run_result r = run_zelkor({});
  expect_run(r, 0, "", "sz = 2 nz = 2 rc = 0");
  EXPECT_EQ(read_file("x.txt"), DIAG_X);
  EXPECT_EQ(read_file("err.txt"), DIAG_ERR);

  // Line numbers count physical lines, however long.
  clear_dir();
  write_file("aij.txt", "#" + std::string(600, 'x') + "\n" + std::string(600, ' ') + "0,0,1\nbad\n");
  expect_plain(run_zelkor({}), 1, "error data. file(aij.txt) seq(3)\n");

  // "\r\n" ends a line; a "\r\n" line is empty.
  clear_dir();
  write_file("aij.txt", "0,0,2\r\n\r\n1,1,2\r\n");
  write_file("b.txt", "0,2\r\n1,4\r\n\r\n");
  r = run_zelkor({});
  expect_run(r, 0, "", "sz = 2 nz = 2 rc = 0");
  EXPECT_EQ(read_file("x.txt"), DIAG_X);
  EXPECT_EQ(read_file("err.txt"), DIAG_ERR);

  // So does a bare "\r", in both files (read as one line, each file would
  // give its first element only); a "\r" line is empty.
  clear_dir();
  write_file("aij.txt", "# c\r0,0,2\r\r1,1,2\r");
  write_file("b.txt", "0,2\r1,4");
  r = run_zelkor({});
  expect_run(r, 0, "", "sz = 2 nz = 2 rc = 0");
  EXPECT_EQ(read_file("x.txt"), DIAG_X);
  EXPECT_EQ(read_file("err.txt"), DIAG_ERR);
  clear_dir();
  write_file("aij.txt", "0,0,1\r\rbad\r");
  expect_plain(run_zelkor({}), 1, "error data. file(aij.txt) seq(3)\n");
  write_file("aij.txt", DIAG_A);
  write_file("b.txt", "0,2\r2,1\r");
  expect_plain(run_zelkor({}), 1, "error data. file(b.txt) seq(2)\n");
}

// A solution with components that are not finite is no success: both files
// are still written, a line counts those components, and the run ends with
// status 1 after the summary line (rc = 0: the system was factorized).
TEST(DriverRun, SolutionThatIsNotFiniteIsWrittenButFails) {
  const std::string head = sj("解ｘの有限でない成分　");
  // The smallest subnormal as the only pivot: 1 / 4.9e-324 overflows.
  write_file("aij.txt", "0,0,4.9e-324\n");
  write_file("b.txt", "0,1\n");
  run_result r = run_zelkor({});
  expect_run(r, 1, head + "size = 1, count = 1\n", "sz = 1 nz = 1 rc = 0");
  EXPECT_EQ(read_file("x.txt"), "inf\n");
  EXPECT_EQ(read_file("err.txt"), "ftran k(0) b(1) x(inf) Ax(inf) Ax-b(inf)\n");

  // Below that pivot, x1 = 1 - inf and x2 = 1 - inf + inf: -inf and NaN.
  // The separate fourth equation keeps a finite component, not counted.
  clear_dir();
  write_file("aij.txt", "0,0,4.9e-324\n1,0,1\n1,1,1\n2,0,1\n2,1,1\n2,2,1\n3,3,2\n");
  write_file("b.txt", "0,1\n1,1\n2,1\n3,3\n");
  r = run_zelkor({});
  expect_run(r, 1, head + "size = 4, count = 3\n", "sz = 4 nz = 7 rc = 0");
  EXPECT_TRUE(std::regex_match(read_file("x.txt"), std::regex("inf\n-inf\n-?nan\n1.5\n")))
      << read_file("x.txt");
  EXPECT_EQ(split_lines(read_file("err.txt")).size(), 4u);

  // An output file that cannot be written is reported as well.
  clear_dir();
  write_file("aij.txt", "0,0,4.9e-324\n");
  write_file("b.txt", "0,1\n");
  r = run_zelkor({"-xno/such/dir/x.txt"});
  expect_run(r, 1, head + "size = 1, count = 1\ncannot open file(no/such/dir/x.txt)\n",
             "sz = 1 nz = 1 rc = 0");
}

// The elapsed time comes from a clock that setting the system clock does not
// move: with every wall-clock reading an hour earlier than the one before
// (the preloaded aid zk_clock_jump, built next to the program), the summary
// still shows a small time.
TEST(DriverRun, ElapsedTimeIgnoresWallClockJumps) {
  const std::string aid = std::filesystem::path(ZELKOR_PROGRAM).parent_path() / "libzk_clock_jump.so";
  ASSERT_TRUE(file_exists(aid)) << aid;
  std::vector<std::string> env{"LD_PRELOAD=" + aid};
#ifdef ZK_ASAN
  env.push_back(asan_options("verify_asan_link_order=0"));  // the aid is loaded first
#endif
  write_file("aij.txt", DIAG_A);
  write_file("b.txt", DIAG_B);
  run_result r = run_zelkor({}, 0, env);
  expect_run(r, 0, "", "sz = 2 nz = 2 rc = 0");
  size_t at = r.out.find("clock = ");
  ASSERT_NE(at, std::string::npos);
  EXPECT_LT(std::atof(r.out.c_str() + at + 8), 60.0) << r.out;
}

// ---- output files ---------------------------------------------------------------------

TEST(DriverOutput, UnwritableSolutionFileWritesNeither) {
  write_file("aij.txt", DIAG_A);
  write_file("b.txt", DIAG_B);
  run_result r = run_zelkor({"-xno/such/dir/x.txt"});
  expect_run(r, 1, "cannot open file(no/such/dir/x.txt)\n", "sz = 2 nz = 2 rc = 0");
  EXPECT_EQ(listing(), (names{"Zelkordbg.txt", "aij.txt", "b.txt"}));

  // A full disk: the open succeeds, the writes do not.
  if (file_exists("/dev/full")) {
    r = run_zelkor({"-x/dev/full"});
    expect_run(r, 1, "cannot write file(/dev/full)\n", "sz = 2 nz = 2 rc = 0");
    EXPECT_EQ(listing(), (names{"Zelkordbg.txt", "aij.txt", "b.txt"}));
  }
}

TEST(DriverOutput, UnwritableResidualFileKeepsTheSolution) {
  write_file("aij.txt", DIAG_A);
  write_file("b.txt", DIAG_B);
  run_result r = run_zelkor({"-eno/such/dir/err.txt"});
  expect_run(r, 1, "cannot open file(no/such/dir/err.txt)\n", "sz = 2 nz = 2 rc = 0");
  EXPECT_EQ(listing(), (names{"Zelkordbg.txt", "aij.txt", "b.txt", "x.txt"}));
  EXPECT_EQ(read_file("x.txt"), DIAG_X);

  if (file_exists("/dev/full")) {
    clear_dir();
    write_file("aij.txt", DIAG_A);
    write_file("b.txt", DIAG_B);
    r = run_zelkor({"-e/dev/full"});
    expect_run(r, 1, "cannot write file(/dev/full)\n", "sz = 2 nz = 2 rc = 0");
    EXPECT_EQ(listing(), (names{"Zelkordbg.txt", "aij.txt", "b.txt", "x.txt"}));
    EXPECT_EQ(read_file("x.txt"), DIAG_X);
  }
}

// ---- bad input ------------------------------------------------------------------------

// Every bad input ends the run normally with its one message, status 1, no
// summary, no output file and an empty log.
TEST(DriverBadInput, MessagesAndNoOutput) {
  std::mt19937 rng(20240611);
  std::string junk = "\xff";  // never a comment or an empty line
  for (int k = 0; k < 4096; ++k)
    junk += (char)(rng() & 0xff);  // NUL bytes included

  struct bad_case {
    const char* what;
    std::string a;  // coefficient file; "-" for none
    std::string b;  // right-hand-side file; "-" for none
    std::string out;
  };
  const std::string coef_msg = "error data. file(aij.txt) seq(";
  const std::string rhs_msg = "error data. file(b.txt) seq(";
  const std::vector<bad_case> cases = {
      {"no coefficient file", "-", DIAG_B, "cannot open file(aij.txt)\n"},
      {"no right-hand-side file", DIAG_A, "-", "cannot open file(b.txt)\n"},
      // A coefficient failure leaves the right-hand-side file unopened.
      {"truncated line", "0,0,1\n1,1", "-", coef_msg + "2)\n"},
      {"missing value", "0,0,1\n1,1,\n", "-", coef_msg + "2)\n"},
      {"garbage after comments", "# c\n\n0;0;1\n", "-", coef_msg + "3)\n"},
      {"blanks only", "0,0,1\n   \n", "-", coef_msg + "2)\n"},
      {"blank before comma", "0 ,0,1\n", "-", coef_msg + "1)\n"},
      {"negative index", "0,0,1\n0,-1,1\n", "-", coef_msg + "2)\n"},
      {"index 2147483647", "0,0,1\n2147483647,0,1\n", "-", coef_msg + "2)\n"},
      {"index 99999999999", "0,99999999999,1\n", "-", coef_msg + "1)\n"},
      {"nan", "0,0,nan\n", "-", coef_msg + "1)\n"},
      {"inf", "0,0,1\n1,1,-inf\n", "-", coef_msg + "2)\n"},
      {"1e400", "0,0,1e400\n", "-", coef_msg + "1)\n"},
      {"NUL first", std::string("\0\n0,0,1\n", 8), "-", coef_msg + "1)\n"},
      {"binary coefficients", junk, "-", coef_msg + "1)\n"},
      // Right-hand-side lines, against the order 2 of DIAG_A.
      {"index = sz", DIAG_A, "0,1\n# c\n2,1\n", rhs_msg + "3)\n"},
      {"negative component", DIAG_A, "-1,1\n", rhs_msg + "1)\n"},
      {"huge component", DIAG_A, "99999999999,1\n", rhs_msg + "1)\n"},
      {"rhs nan", DIAG_A, "0,1\n1,NAN\n", rhs_msg + "2)\n"},
      {"rhs 1e400", DIAG_A, "0,-1e400\n", rhs_msg + "1)\n"},
      {"rhs index only", DIAG_A, "0\n", rhs_msg + "1)\n"},
      {"binary right-hand side", DIAG_A, "0,1\n" + junk, rhs_msg + "2)\n"},
  };
  for (const bad_case& c : cases) {
    SCOPED_TRACE(c.what);
    clear_dir();
    names expected{"Zelkordbg.txt"};
    if (c.a != "-") {
      write_file("aij.txt", c.a);
      expected.push_back("aij.txt");
    }
    if (c.b != "-") {
      write_file("b.txt", c.b);
      expected.push_back("b.txt");
    }
    std::sort(expected.begin(), expected.end());
    run_result r = run_zelkor({});
    expect_plain(r, 1, c.out);
    EXPECT_EQ(listing(), expected);
    EXPECT_EQ(read_file("Zelkordbg.txt"), "");
    if (c.a != "-") {
      EXPECT_EQ(read_file("aij.txt"), c.a);  // input files are never touched
    }
  }

  // A NUL inside a line ends what is parsed of it but joins no lines.
  clear_dir();
  write_file("aij.txt", std::string("0,0,2\0 9,9,9\n1,1,2\n", 19));
  write_file("b.txt", DIAG_B);
  run_result r = run_zelkor({});
  expect_run(r, 0, "", "sz = 2 nz = 2 rc = 0");
  EXPECT_EQ(read_file("x.txt"), DIAG_X);
}

// ---- memory ---------------------------------------------------------------------------

// An order whose arrays cannot fit in the machine's physical memory is
// refused with "out of memory" and status 1 before anything of that size is
// allocated: on Linux such allocations usually succeed and the run would
// thrash instead of failing.  A safety net keeps a program that does try from
// taking the machine's memory: a capped address space, or under
// AddressSanitizer (which a capped address space breaks) a cap on the size of
// one allocation, whose breach ends the program with a report.
TEST(DriverMemory, OrderBeyondPhysicalMemoryIsRefusedBeforeAllocating) {
#ifdef ZK_ASAN
  const rlim_t limit = 0;
  const std::vector<std::string> env{asan_options("max_allocation_size_mb=256")};
#else
  const rlim_t limit = 1u << 30;
  const std::vector<std::string> env;
#endif
  // One element naming the order 2147483646, and the largest order, whose b
  // alone would take 16 GB.
  for (const char* a : {"2147483645,0,1\n", "0,0,1\n2147483646,0,1\n"}) {
    SCOPED_TRACE(a);
    clear_dir();
    write_file("aij.txt", a);
    write_file("b.txt", "0,1\n");
    run_result r = run_zelkor({}, limit, env);
    expect_plain(r, 1, "out of memory\n");
    EXPECT_EQ(listing(), (names{"Zelkordbg.txt", "aij.txt", "b.txt"}));
  }

#ifndef ZK_ASAN
  // An order just beyond physical memory at 180 bytes per unit (the
  // library's arrays alone take more), whose own arrays (b, x and A·x, 24
  // bytes per unit) the program could still allocate under the cap: refused
  // all the same, not left to fail in the library's sizing.
  const double phys = (double)sysconf(_SC_PHYS_PAGES) * (double)sysconf(_SC_PAGESIZE);
  const double order = std::ceil(phys / 180.0);
  if (phys > 0.0 && order <= 2147483646.0) {
    clear_dir();
    write_file("aij.txt", std::to_string((long long)order - 1) + ",0,1\n");
    write_file("b.txt", "0,1\n");
    run_result r = run_zelkor({}, (rlim_t)(24.0 * order) + (512u << 20));
    expect_plain(r, 1, "out of memory\n");
    EXPECT_EQ(listing(), (names{"Zelkordbg.txt", "aij.txt", "b.txt"}));
  }
#endif
}

// With the address space capped, an order that fits in physical memory but
// not under the cap ends the run with status 1 after the summary line, rc =
// -2 from the library's sizing.
TEST(DriverMemory, ExhaustionIsReportedNotACrash) {
#ifdef ZK_ASAN
  GTEST_SKIP() << "an address-space limit breaks AddressSanitizer";
#else
  const rlim_t limit = 256u << 20;
  // Order 8000001: b, x and A·x take 192 MB, so the program's arrays fit and
  // the library's work areas do not.
  write_file("aij.txt", "8000000,0,1\n");
  write_file("b.txt", "0,1\n");
  run_result r = run_zelkor({}, limit);
  expect_run(r, 1, "", "sz = 8000001 nz = 1 rc = -2");
  EXPECT_EQ(listing(), (names{"Zelkordbg.txt", "aij.txt", "b.txt"}));
  EXPECT_NE(read_file("Zelkordbg.txt").find(": cannot malloc\n"), std::string::npos);
#endif
}

// ---- real matrices --------------------------------------------------------------------

namespace {

// The matrices of the data folder (none when the index cannot be read: the
// counts the tests expect then fail).
std::vector<matrix_index_row> read_index() {
  std::vector<matrix_index_row> rows;
  read_matrix_index(rows);
  return rows;
}

// The coefficient file of a: every entry in file order, explicit zeros
// included (they only count for the order), with all the digits of a double.
void write_coef(const std::string& path, const mtx_matrix& a) {
  std::string text;
  char line[96];
  for (const mtx_entry& e : a.entries) {
    std::snprintf(line, sizeof line, "%d,%d,%.17g\n", e.row, e.col, e.v);
    text += line;
  }
  write_file(path, text);
}

void write_rhs(const std::string& path, const std::vector<double>& b) {
  std::string text;
  char line[64];
  for (size_t k = 0; k < b.size(); ++k) {
    std::snprintf(line, sizeof line, "%zu,%.17g\n", k, b[k]);
    text += line;
  }
  write_file(path, text);
}

}  // namespace

// Each nonsingular matrix with b = A·x_true.  x_true has components ±(1 +
// m/8), m = 0..7: at most four significant digits, so that "%g" of a
// solution close to it prints exactly "%g" of x_true as long as the error
// stays below 5e-6.
//
// Residual bound: err.txt's A·x is computed from the full-precision x the
// program solved for (x.txt holds only six digits), so its Ax-b column
// shows the backward error of the solve plus the rounding of the product.
// A backward-stable LU with threshold pivoting gives |Ax-b| <= c·n·eps·g·
// |A||x| with a modest growth g; 1e-9·(|A|∞|x|∞ + |b|∞) allows n·g up to
// about 4e6, generous for all of these, yet a solve that is wrong in any
// real sense (a wrong pivot, a lost eta, a wrong permutation) gives residuals
// of the order of |b| itself.
//
// Forward error: |x - x_true| <= cond · (relative backward error) · |x|; with
// cond up to 1e7 and the backward errors seen (below 1e-15) the printed
// solution must equal x_true to all six digits.  Worse conditioned matrices
// are checked through the residual alone.
TEST(DriverMatrices, NonsingularMatricesAreSolved) {
  int solved = 0, exact = 0;
  double worst_ratio = 0.0;
  std::string worst_name;
  for (const matrix_index_row& row : read_index()) {
    if (row.singular)
      continue;
    SCOPED_TRACE(row.name);
    mtx_matrix a;
    ASSERT_TRUE(read_mtx(test_matrix_path(row.name), a));
    const int n = a.n;
    std::mt19937 rng(1000 + n);
    std::vector<double> x_true(n);
    for (double& v : x_true) {
      double sign = rng() % 2 ? -1.0 : 1.0;
      v = sign * (1.0 + (double)(rng() % 8) / 8.0);
    }
    std::vector<long double> bl(n, 0.0L);
    std::vector<double> row_abs(n, 0.0);
    int nonzero = 0;
    for (const mtx_entry& e : a.entries) {
      bl[e.row] += (long double)e.v * x_true[e.col];
      row_abs[e.row] += std::fabs(e.v);
      nonzero += e.v != 0.0;
    }
    std::vector<double> b(bl.begin(), bl.end());
    double a_norm = *std::max_element(row_abs.begin(), row_abs.end());
    double b_norm = 0.0;
    for (double v : b)
      b_norm = std::max(b_norm, std::fabs(v));

    clear_dir();
    write_coef("aij.txt", a);
    write_rhs("b.txt", b);
    run_result r = run_zelkor({});
    char head[96];
    std::snprintf(head, sizeof head, "sz = %d nz = %d rc = 0", n, nonzero);
    ASSERT_NO_FATAL_FAILURE(expect_run(r, 0, "", head));
    EXPECT_EQ(listing(), (names{"Zelkordbg.txt", "aij.txt", "b.txt", "err.txt", "x.txt"}));
    EXPECT_EQ(read_file("Zelkordbg.txt"), "");

    solution sol = read_solution(b);
    ASSERT_EQ((int)sol.x.size(), n);
    double x_norm = 0.0, r_norm = 0.0, x_err = 0.0;
    int off_digits = 0;
    for (int k = 0; k < n; ++k) {
      x_norm = std::max(x_norm, std::fabs(sol.x[k]));
      r_norm = std::max(r_norm, std::fabs(sol.res[k]));
      x_err = std::max(x_err, std::fabs(sol.x[k] - x_true[k]));
      off_digits += sol.x_text[k] != fmt_g(x_true[k]);
    }
    double ratio = r_norm / (a_norm * x_norm + b_norm);
    EXPECT_LE(ratio, 1e-9);
    if (row.cond <= 1e7) {
      EXPECT_EQ(off_digits, 0) << "largest error " << x_err;
      ++exact;
    }
    if (ratio > worst_ratio) {
      worst_ratio = ratio;
      worst_name = row.name;
    }
    char prop[96];
    std::snprintf(prop, sizeof prop, "residual %.3g, x error %.3g, cond %.3g", ratio, x_err, row.cond);
    RecordProperty(row.name, prop);
    ++solved;
  }
  EXPECT_GE(solved, 30);
  EXPECT_GE(exact, 20);
  char worst[96];
  std::snprintf(worst, sizeof worst, "%s %.3g", worst_name.c_str(), worst_ratio);
  RecordProperty("worst_residual", worst);
}

// A structurally singular matrix: the rank message and rc = sz - rank; no
// output files.  Both matrices have a numerical rank equal to their
// structural rank, so the elimination finds exactly that many pivots.  The
// order is one more than the largest index used, less than the Matrix Market
// order when the last rows and columns are empty.
TEST(DriverMatrices, StructurallySingularMatricesAreRefused) {
  int refused = 0;
  for (const matrix_index_row& row : read_index()) {
    if (!row.singular)
      continue;
    SCOPED_TRACE(row.name);
    mtx_matrix a;
    ASSERT_TRUE(read_mtx(test_matrix_path(row.name), a));
    int sz = 0, nonzero = 0;
    for (const mtx_entry& e : a.entries) {
      sz = std::max({sz, e.row + 1, e.col + 1});
      nonzero += e.v != 0.0;
    }
    clear_dir();
    write_coef("aij.txt", a);
    write_rhs("b.txt", std::vector<double>(sz, 1.0));
    run_result r = run_zelkor({});
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.out, m, std::regex(hx("8389 8393 834E 9573 91AB 8140") +
                                                       "size = ([0-9]+), rank = ([0-9]+)\n(.*\n)")))
        << r.out;
    int rank = std::stoi(m[2]);
    EXPECT_EQ(std::stoi(m[1]), sz);
    EXPECT_GE(row.sprank, 1);
    EXPECT_EQ(row.svd_rank, row.sprank);
    EXPECT_EQ(rank, row.sprank);
    char head[96];
    std::snprintf(head, sizeof head, "sz = %d nz = %d rc = %d", sz, nonzero, sz - rank);
    expect_run(r, 1, r.out.substr(0, m.position(3)), head);
    EXPECT_EQ(listing(), (names{"Zelkordbg.txt", "aij.txt", "b.txt"}));
    RecordProperty(row.name, "rank " + std::to_string(rank) + " of " + std::to_string(sz));
    ++refused;
  }
  EXPECT_EQ(refused, 2);
}
