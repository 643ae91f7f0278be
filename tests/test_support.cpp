#include "test_support.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

std::string sj(const std::string& utf8) {
  iconv_t cd = iconv_open("CP932", "UTF-8");
  if (cd == (iconv_t)-1)
    throw std::runtime_error("iconv_open CP932 failed");
  std::string in = utf8;
  std::string out(in.size() * 2 + 16, '\0');
  char* ip = in.data();
  size_t il = in.size();
  char* op = out.data();
  size_t ol = out.size();
  size_t rc = iconv(cd, &ip, &il, &op, &ol);
  iconv_close(cd);
  if (rc == (size_t)-1)
    throw std::runtime_error("text not representable in CP932: " + utf8);
  out.resize(out.size() - ol);
  return out;
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

bool file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << bytes;
}

std::vector<std::string> listing() {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator("."))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

void FileTail::mark() { pos_ = read_file(path_).size(); }

std::string FileTail::take() {
  std::string all = read_file(path_);
  std::string s = all.substr(std::min(pos_, all.size()));
  pos_ = all.size();
  return s;
}

std::string re_escape(const std::string& s) {
  static const std::string special = "\\^$.|?*+()[]{}";
  std::string out;
  for (char c : s) {
    if (special.find(c) != std::string::npos)
      out += '\\';
    out += c;
  }
  return out;
}

std::string chk(char kind, const std::string& file, const std::string& x, const std::string& y,
                const std::string& z) {
  return "\\*\\*\\* CHK" + std::string(1, kind) + " error <== " + re_escape(file) +
         "\\(\\d+\\) x\\(" + re_escape(x) + "\\) y\\(" + re_escape(y) + "\\) z\\(" + re_escape(z) +
         "\\)\n";
}

std::string any_chk(char kind, const std::string& file) {
  return "\\*\\*\\* CHK" + std::string(1, kind) + " error <== " + re_escape(file) +
         "\\(\\d+\\) x\\(-?\\d+\\) y\\(-?\\d+\\) z\\(-?\\d+\\)\n";
}

bool matches(const std::string& text, const std::string& pattern) {
  return std::regex_match(text, std::regex(pattern));
}

int count_matches(const std::string& text, const std::string& pattern) {
  std::regex re(pattern);
  return (int)std::distance(std::sregex_iterator(text.begin(), text.end(), re),
                            std::sregex_iterator());
}
