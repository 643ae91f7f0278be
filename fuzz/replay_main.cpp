// Replays the inputs of a fuzz target without libFuzzer, so that the normal
// build runs the seeds and the regression inputs through the same target
// code, compiled with the project's compiler and library build.
//
//   replay_TARGET PATH...
//
// Each path is a file or a folder whose files are all taken; a path that
// does not exist is skipped.  The inputs run in name order, each with its own
// bytes; an input the target rejects aborts the run.  Exit status 0 after all
// inputs ran, 2 for a file that cannot be read.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "fuzz_support.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  std::vector<fs::path> files;
  for (int i = 1; i < argc; ++i) {
    std::error_code ec;
    fs::path p = fs::absolute(argv[i], ec);
    if (fs::is_directory(p, ec)) {
      for (const fs::directory_entry& e : fs::directory_iterator(p, ec))
        if (e.is_regular_file(ec))
          files.push_back(e.path());
    } else if (fs::is_regular_file(p, ec)) {
      files.push_back(p);
    }
  }
  std::sort(files.begin(), files.end());
  for (const fs::path& f : files) {
    std::ifstream in(f, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "cannot read %s\n", f.c_str());
      return 2;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::fprintf(stderr, "%s\n", f.c_str());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::fprintf(stderr, "replayed %zu inputs\n", files.size());
  return 0;
}
