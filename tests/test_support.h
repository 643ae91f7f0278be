// Helpers shared by the tests.
#ifndef ZELKOR_TEST_SUPPORT_H
#define ZELKOR_TEST_SUPPORT_H

#include <string>

// The Shift_JIS (code page 932) bytes of a UTF-8 text, converted with the C
// library's iconv: the tests write expected texts in UTF-8 and compare bytes.
std::string sj(const std::string& utf8);

// Whole file as bytes; "" when it cannot be read.  exists() tells them apart.
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);

// The temporary directory the current test runs in.
std::string test_dir();

#endif
