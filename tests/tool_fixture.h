#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

inline const std::string kAnchor = "<sectionGroup name=\"system.webServer\">";
// GBK for "configuration file not found".
inline const std::string kNotFound = "\xD5\xD2\xB2\xBB\xB5\xBD\xC5\xE4\xD6\xC3\xCE\xC4\xBC\xFE";

struct ToolRun {
  std::string output;  // standard output, byte for byte
  int status;          // exit status, or -1 when the tool did not exit normally
};

// Runs the built tool with `arguments`.
ToolRun RunTool(const std::vector<std::string>& arguments);

// What the tool's "\n" becomes on its way to a pipe: Windows' text mode makes it "\r\n".
extern const std::string kToolLineEnd;

// The tool's progress line for `path`.
std::string Progress(const std::string& path);

std::string ReadFile(const fs::path& path);
void WriteFile(const fs::path& path, const std::string& bytes);

// Equality of whole files, reported by the first differing offset rather than
// by printing both.
::testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected);

// A fresh temporary folder for each test, removed even when the test fails.
class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string PathOf(const std::string& name) const { return (dir_ / name).string(); }
  // The names in the folder, sorted.
  std::vector<std::string> Entries() const;

  fs::path dir_;
};
