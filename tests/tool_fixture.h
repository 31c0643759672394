#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

inline const std::string kAnchor = "<sectionGroup name=\"system.webServer\">";
// How every text the tool prints on standard output begins.
inline const std::string kTextStart = "[QuellmarkInstaller] ";
// The least of a configuration that an install accepts: the change is judged only
// as far as it reaches.
inline const std::string kConfigStart = "<configuration><configSections>\r\n";
inline const std::string kConfig = kConfigStart + kAnchor + "\r\n";

#ifdef _WIN32
// Windows' text mode makes the tool's "\n" a "\r\n"; cmd.exe takes off the outer quotes.
inline const std::string kToolLineEnd = "\r\n";
#define QUOTE "\""
#define SHELL(line) (QUOTE + (line) + QUOTE)
// Read as UTF-8, the command line reaches cmd.exe whole, whatever the ANSI code page.
#define OPEN_PIPE(line) _wpopen(fs::u8path(line).wstring().c_str(), L"rb")
#define WIFEXITED(status) true
#define WEXITSTATUS(status) (status)
#else
#include <sys/wait.h>
inline const std::string kToolLineEnd = "\n";
#define QUOTE "'"
#define SHELL(line) (line)
#define OPEN_PIPE(line) popen((line).c_str(), "r")
#endif

// The tool's progress line for `path`, run with the option `mode` or without one.
inline std::string Progress(const std::string& mode, const std::string& path) {
  const std::string step = mode == "--uninstall" ? "Removing section from startup script "
                           : mode == "--check"   ? "Checking startup script "
                                                 : "Updating startup script ";
  return kTextStart + step + path + kToolLineEnd + " ";
}

// Standard output, byte for byte, the exit status (-1: the process did not exit)
// and, from RunTool, standard error.
struct ToolRun {
  std::string output;
  int status;
  std::string errors;
};

// Runs the shell command `line`.
inline ToolRun RunShell(const std::string& line) {
  FILE* pipe = OPEN_PIPE(SHELL(line));
  // Under Wine the shell fails to start when Wine's server quits at that instant
  // (docs/testing.md): tried again, and never read from a null stream.
  for (int attempt = 0; !pipe && attempt < 5; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    pipe = OPEN_PIPE(SHELL(line));
  }
  ToolRun run{"", -1, ""};
  if (!pipe) {
    ADD_FAILURE() << "could not start: " << line;
    return run;
  }
  char chunk[4096];
  for (size_t count; (count = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
    run.output.append(chunk, count);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

inline std::string ReadFile(const fs::path& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

// Runs the built tool with `arguments` (none holds a quote).
inline ToolRun RunTool(const std::vector<std::string>& arguments) {
  static const std::string errors =
      (fs::temp_directory_path() / ("quellmark-errors-" + std::to_string(std::random_device()())))
          .string();
  std::string line = QUOTE TOOL_PATH QUOTE;
  for (const std::string& argument : arguments) line += " " QUOTE + argument + QUOTE;
  ToolRun run = RunShell(line + " 2>" QUOTE + errors + QUOTE);
  run.errors = ReadFile(errors);
  fs::remove(errors);
  return run;
}

// A table row's test name, so that `ctest -R` runs one: its name, with every
// character but letters and digits made '_'.
template <typename Row>
std::string RowName(const testing::TestParamInfo<Row>& info) {
  std::string name = info.param.name;
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

// Where `a` and `b` first differ, with a few bytes of each from there; empty where
// they are equal: a short difference for texts too long to print.
inline std::string FirstDifference(const std::string& a, const std::string& b) {
  if (a == b) return "";
  size_t at = 0;
  while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
  return "at byte " + std::to_string(at) + ": " + testing::PrintToString(a.substr(at, 40)) +
         " instead of " + testing::PrintToString(b.substr(at, 40));
}

inline void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// A fresh temporary folder for each test, the working folder while it runs, and
// removed even when the test fails.
class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("quellmark-test-" + std::to_string(std::random_device()()));
    fs::create_directory(dir_);
    fs::current_path(dir_);
  }
  void TearDown() override {
    fs::current_path(dir_.parent_path());
    fs::remove_all(dir_);
  }
  // How many entries the folder holds.
  long Entries() const { return std::distance(fs::directory_iterator(dir_), {}); }

  fs::path dir_;
};
