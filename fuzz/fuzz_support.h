// Shared by the fuzz targets and by the program that replays their inputs
// in the normal build.
//
// The files a target writes per input lie in a private directory made once
// per process (under /dev/shm when it exists, so that they stay in memory)
// and removed at exit, or by a later run when libFuzzer ended the process; the current directory is left alone, so that
// libFuzzer's artifacts land where it was started.  Standard output, where
// the program and its readers print their messages, goes to /dev/null.  A
// failed expectation prints its place and condition and aborts, which
// libFuzzer reports as a crash and saves the input for.
#ifndef ZELKOR_FUZZ_SUPPORT_H
#define ZELKOR_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>

// The private directory and the quiet standard output; the first call sets
// them up, later calls do nothing.
void fz_setup();

// The path of file name in the private directory.
std::string fz_path(const char* name);

// Writes size bytes to path, replacing the file.
void fz_write_file(const std::string& path, const uint8_t* data, size_t size);

// Whether the file exists; its number of newline characters in *lines.
bool fz_count_lines(const std::string& path, long* lines);

[[noreturn]] void fz_fail(const char* file, int line, const char* cond);

#define FZ_CHECK(cond) ((cond) ? (void)0 : fz_fail(__FILE__, __LINE__, #cond))

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

#endif
