// The private directory, files and failure report of the fuzz targets.
#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string fz_dir;

void fz_remove_dir() {
  std::error_code ec;
  std::filesystem::remove_all(fz_dir, ec);
}

// libFuzzer ends its runs with _Exit, past every exit handler: the folders
// are named by process id, and each run first removes those of processes
// that no longer exist.
void fz_remove_stale(const std::filesystem::path& base) {
  namespace fs = std::filesystem;
  const std::string prefix = "zelkor-fuzz-";
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(base, ec)) {
    std::string name = e.path().filename().string();
    if (name.rfind(prefix, 0) != 0)
      continue;
    std::string pid = name.substr(prefix.size());
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos)
      continue;
    std::error_code ec2;
    if (!fs::exists("/proc/" + pid, ec2) && !ec2)
      fs::remove_all(e.path(), ec2);
  }
}

}  // namespace

void fz_setup() {
  if (!fz_dir.empty())
    return;
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path base = "/dev/shm";
  if (!fs::is_directory(base, ec) || access(base.c_str(), W_OK) != 0)
    base = fs::temp_directory_path();
  fz_remove_stale(base);
  fs::path dir = base / ("zelkor-fuzz-" + std::to_string(getpid()));
  fs::remove_all(dir, ec);
  if (!fs::create_directory(dir, ec) || chmod(dir.c_str(), 0700) != 0) {
    std::fprintf(stderr, "zelkor fuzz: cannot make %s\n", dir.c_str());
    std::abort();
  }
  fz_dir = dir.string();
  std::atexit(fz_remove_dir);
  if (std::freopen("/dev/null", "w", stdout) == nullptr)
    std::abort();
}

std::string fz_path(const char* name) { return fz_dir + "/" + name; }

void fz_write_file(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  bool ok = f != nullptr && (size == 0 || std::fwrite(data, 1, size, f) == size);
  if (f != nullptr)
    ok = std::fclose(f) == 0 && ok;
  if (!ok) {
    std::perror(path.c_str());
    std::abort();
  }
}

bool fz_count_lines(const std::string& path, long* lines) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr)
    return false;
  long n = 0;
  for (int c; (c = std::getc(f)) != EOF;)
    n += c == '\n';
  std::fclose(f);
  *lines = n;
  return true;
}

void fz_fail(const char* file, int line, const char* cond) {
  std::fprintf(stderr, "zelkor fuzz: %s(%d): expectation failed: %s\n", file, line, cond);
  std::fflush(stderr);
  std::abort();
}
