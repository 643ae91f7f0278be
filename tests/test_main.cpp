// Test main: every test runs in a fresh temporary directory, removed after
// the test, because the library and the program write files into the current
// directory.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "test_support.h"

namespace {

std::string g_home;
std::string g_dir;

class TempDirListener : public testing::EmptyTestEventListener {
  void OnTestStart(const testing::TestInfo&) override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "zelkor-test-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr)
      std::abort();
    g_dir = tmpl;
    if (chdir(g_dir.c_str()) != 0)
      std::abort();
  }
  void OnTestEnd(const testing::TestInfo&) override {
    if (chdir(g_home.c_str()) != 0)
      std::abort();
    std::error_code ec;
    std::filesystem::remove_all(g_dir, ec);
  }
};

}  // namespace

std::string test_dir() { return g_dir; }

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  g_home = std::filesystem::current_path().string();
  testing::UnitTest::GetInstance()->listeners().Append(new TempDirListener);
  return RUN_ALL_TESTS();
}
