// The UTF-8 to Shift_JIS conversion of the texts the system writes: the
// table against iconv and against the sources' string literals, and the
// conversion of what is not in it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "lp_kesh.h"
#include "lp_text.h"
#include "test_diag.h"
#include "test_support.h"

namespace {

std::string convert(std::string s) {
  s.resize(text_cp932(s.data(), s.size()));
  return s;
}

std::string utf8_of(uint32_t u) {
  std::string s;
  if (u < 0x80) {
    s += (char)u;
  } else if (u < 0x800) {
    s += (char)(0xC0 | u >> 6);
    s += (char)(0x80 | (u & 0x3F));
  } else {
    s += (char)(0xE0 | u >> 12);
    s += (char)(0x80 | (u >> 6 & 0x3F));
    s += (char)(0x80 | (u & 0x3F));
  }
  return s;
}

// The code points of a UTF-8 text (the sources are valid UTF-8; a stray
// byte counts as itself).
std::vector<uint32_t> code_points(const std::string& s) {
  std::vector<uint32_t> out;
  for (size_t k = 0; k < s.size();) {
    unsigned char c = (unsigned char)s[k];
    int len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    uint32_t u = len == 1 ? c : c & (0x3F >> (len - 1));
    for (int i = 1; i < len && k + i < s.size(); ++i)
      u = u << 6 | ((unsigned char)s[k + i] & 0x3F);
    out.push_back(u);
    k += len;
  }
  return out;
}

// A string or character literal of a source file: its text between the
// quotes and the line of code it stands on.
struct literal {
  std::string text;
  std::string line;
  int line_no;
};

// The literals of C++ source text, comments skipped.  Enough of the
// language for these sources: escapes, digit separators, raw strings.
std::vector<literal> literals_of(const std::string& src) {
  std::vector<literal> out;
  int line_no = 1;
  auto line_at = [&](size_t pos) {
    size_t b = src.rfind('\n', pos);
    b = b == std::string::npos ? 0 : b + 1;
    size_t e = src.find('\n', pos);
    return src.substr(b, e == std::string::npos ? std::string::npos : e - b);
  };
  for (size_t k = 0; k < src.size();) {
    char c = src[k];
    if (src.compare(k, 2, "//") == 0) {
      k = src.find('\n', k);
    } else if (src.compare(k, 2, "/*") == 0) {
      size_t e = src.find("*/", k + 2);
      for (size_t i = k; i < std::min(e, src.size()); ++i)
        line_no += src[i] == '\n';
      k = e == std::string::npos ? e : e + 2;
    } else if (c == 'R' && src.compare(k + 1, 1, "\"") == 0) {
      size_t open = src.find('(', k);
      std::string close = ")" + src.substr(k + 2, open - k - 2) + "\"";
      size_t e = src.find(close, open);
      out.push_back({src.substr(open + 1, e - open - 1), line_at(k), line_no});
      for (size_t i = k; i < e; ++i)
        line_no += src[i] == '\n';
      k = e + close.size();
    } else if (c == '"' || (c == '\'' && !(k > 0 && std::isxdigit((unsigned char)src[k - 1])))) {
      size_t e = k + 1;
      while (e < src.size() && src[e] != c)
        e += src[e] == '\\' ? 2 : 1;
      out.push_back({src.substr(k + 1, e - k - 1), line_at(k), line_no});
      k = e + 1;
    } else {
      line_no += c == '\n';
      ++k;
    }
  }
  return out;
}

// The sources of the library and the program.
std::vector<std::filesystem::path> system_sources() {
  std::vector<std::filesystem::path> files;
  for (const char* dir : {"library", "driver"})
    for (const auto& e : std::filesystem::directory_iterator(std::string(ZELKOR_SOURCE_DIR) + "/" + dir))
      if (e.path().extension() == ".cpp" || e.path().extension() == ".h")
        files.push_back(e.path());
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

TEST(TextTable, EveryEntryIsTheCodeIconvGives) {
  size_t n = 0;
  const text_char* t = text_table(&n);
  ASSERT_GT(n, 0u);
  for (size_t k = 0; k < n; ++k) {
    std::string ch = utf8_of(t[k].ucs);
    SCOPED_TRACE(ch);
    if (k > 0) {
      EXPECT_LT(t[k - 1].ucs, t[k].ucs);  // ascending: the lookup is a binary search
    }
    std::string code = {(char)(t[k].cp932 >> 8), (char)(t[k].cp932 & 0xFF)};
    EXPECT_EQ(sj(ch), code);
    EXPECT_EQ(convert("<" + ch + ">"), "<" + code + ">");
  }
}

// Every character of a text in the sources is in the table, and the table
// holds no other; a text with Japanese is never handed to printf itself,
// which would write it in UTF-8.
TEST(TextTable, HoldsExactlyTheCharactersOfTheSourcesTexts) {
  std::map<uint32_t, std::string> used;  // code point -> first place of use
  std::regex direct("\\b(printf|fprintf|puts|fputs|vprintf|vfprintf)\\s*\\(");
  int files = 0;
  for (const auto& path : system_sources()) {
    ++files;
    for (const literal& lit : literals_of(read_file(path.string()))) {
      std::string where = path.filename().string() + ":" + std::to_string(lit.line_no);
      bool wide = false;
      for (uint32_t u : code_points(lit.text))
        if (u >= 0x80) {
          used.emplace(u, where);
          wide = true;
        }
      if (wide) {
        EXPECT_FALSE(std::regex_search(lit.line, direct)) << where << ": " << lit.line;
      }
    }
  }
  EXPECT_GE(files, 20);
  size_t n = 0;
  const text_char* t = text_table(&n);
  std::set<uint32_t> table;
  for (size_t k = 0; k < n; ++k)
    table.insert(t[k].ucs);
  for (const auto& [u, where] : used)
    EXPECT_TRUE(table.count(u)) << utf8_of(u) << " (" << where << ") is missing from lp_text.cpp";
  for (uint32_t u : table)
    EXPECT_TRUE(used.count(u)) << utf8_of(u) << " is in lp_text.cpp but in no text";
  EXPECT_GE(used.size(), 50u);  // the scan found the Japanese texts
}

// Bytes that are not a character of the table pass as they are: ASCII, other
// characters, CP932 bytes, broken and overlong sequences, also at the end.
TEST(TextConversion, LeavesEverythingElseAlone) {
  for (std::string s : {std::string("plain, 100%\n"), std::string("caf\xC3\xA9 \xE2\x82\xAC"),
                        sj("列"), std::string("\xE5\x88"), std::string("x\xE5"),
                        std::string("\xE5\x88(\x97"), std::string("\xE0\x8E\xB1"),
                        std::string("\xF0\x9F\x98\x80"), std::string("a\0b", 3)})
    EXPECT_EQ(convert(s), s);
  std::string mixed = std::string("\xE5\x88") + "列" + "\xC3\xA9";
  EXPECT_EQ(convert(mixed), std::string("\xE5\x88") + sj("列") + "\xC3\xA9");
}

// The log writer converts every message, also one longer than its buffer.
TEST(TextConversion, LogMessagesAreShiftJisAtAnyLength) {
  log_to_file();
  std::string label(3000, 'a');
  label += "対角[]＝";
  log_printf("%s %d\n", "ピボット", 7);
  int n = log_printf("%s\t%s\n", label.c_str(), "η");
  EXPECT_EQ(read_file("log.txt"), sj("ピボット 7\n" + label + "\tη\n"));
  EXPECT_EQ(n, (int)sj(label + "\tη\n").size());
}
