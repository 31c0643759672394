#include "tool_fixture.h"

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>

std::string Progress(const std::string& path) {
  return "[QuellmarkInstaller] Updating startup script " + path + kToolLineEnd + " ";
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

::testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  const size_t at =
      std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end()).first -
      actual.begin();
  return ::testing::AssertionFailure()
         << "sizes " << actual.size() << " and " << expected.size() << ", first difference at "
         << at << ": " << ::testing::PrintToString(actual.substr(at, 40)) << " instead of "
         << ::testing::PrintToString(expected.substr(at, 40));
}

void ToolTest::SetUp() {
  std::random_device random;
  dir_ = fs::temp_directory_path() / ("quellmark-test-" + std::to_string(random()));
  fs::create_directory(dir_);
}

void ToolTest::TearDown() { fs::remove_all(dir_); }

std::vector<std::string> ToolTest::Entries() const {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir_))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}
