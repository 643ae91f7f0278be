// Helpers shared by the tests.  This file and test_support.cpp go into the
// test library that every test links, including those that see the shared
// library only from outside and those that link no library at all: nothing
// here may reach the library's internal routines (those helpers are in
// test_diag.h).
#ifndef ZELKOR_TEST_SUPPORT_H
#define ZELKOR_TEST_SUPPORT_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

// The Shift_JIS (code page 932) bytes of a UTF-8 text, converted with the C
// library's iconv: the tests write expected texts in UTF-8 and compare bytes.
std::string sj(const std::string& utf8);

// Whole file as bytes; "" when it cannot be read.  exists() tells them apart.
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);

// The temporary directory the current test runs in.
std::string test_dir();

// The names in the current directory, sorted.
std::vector<std::string> listing();

// What a file gained since a point: mark() puts the point at the file's
// present end, take() returns the bytes written after it and moves it to
// the new end.  The library's logs grow across the handles and tests of a
// process (only the first open truncates), so tests look at the growth.
class FileTail {
 public:
  explicit FileTail(std::string path) : path_(std::move(path)) {}
  void mark();
  std::string take();

 private:
  std::string path_;
  size_t pos_ = 0;
};

// ---- check reports -----------------------------------------------------------------------
// A failed check writes "*** CHKB error <== lp_lumx.cpp(123) x(0) y(5) z(3)"
// (kinds A and B with integers, X and Y with doubles).  The line number
// moves with every edit of the library, so the patterns accept any.

// s with every regular-expression metacharacter escaped.
std::string re_escape(const std::string& s);

// Pattern of one check report of `kind` from `file` with the values x, y
// and z as printed, any line number.
std::string chk(char kind, const std::string& file, const std::string& x, const std::string& y,
                const std::string& z);

// The same with any integer values.
std::string any_chk(char kind, const std::string& file);

// Whether all of text matches pattern.
bool matches(const std::string& text, const std::string& pattern);

// How often pattern occurs in text.
int count_matches(const std::string& text, const std::string& pattern);

#endif
