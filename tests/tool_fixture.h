#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

inline const std::string kAnchor = "<sectionGroup name=\"system.webServer\">";

#ifdef _WIN32
// Windows' text mode makes the tool's "\n" a "\r\n"; cmd.exe takes the outer quotes.
inline const std::string kToolLineEnd = "\r\n";
inline std::string Quoted(const std::string& word) { return "\"" + word + "\""; }
inline std::string Command(const std::string& line) { return "\"" + line + "\""; }
inline FILE* OpenPipe(const std::string& command) { return _popen(command.c_str(), "rb"); }
inline int ExitCode(FILE* pipe) { return _pclose(pipe); }
#else
inline const std::string kToolLineEnd = "\n";
inline std::string Quoted(const std::string& word) { return "'" + word + "'"; }
inline std::string Command(const std::string& line) { return line; }
inline FILE* OpenPipe(const std::string& command) { return popen(command.c_str(), "r"); }
inline int ExitCode(FILE* pipe) {
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

inline const std::string P = "[QuellmarkInstaller] ";

// The tool's progress line for `path`, run with the option `mode` or without one.
inline std::string Progress(const std::string& mode, const std::string& path) {
  const std::string step = mode == "--uninstall" ? "Removing section from startup script "
                           : mode == "--check"   ? "Checking startup script "
                                                 : "Updating startup script ";
  return P + step + path + kToolLineEnd + " ";
}

struct ToolRun {
  std::string output;  // standard output, byte for byte
  int status;          // exit status, or -1 when the tool did not exit normally
};

// Runs the built tool with `arguments` (none holds a quote) through the shell.
inline ToolRun RunTool(const std::vector<std::string>& arguments) {
  std::string line = Quoted(TOOL_PATH);
  for (const std::string& argument : arguments) line += " " + Quoted(argument);
  FILE* pipe = OpenPipe(Command(line));
  ToolRun run{"", -1};
  char chunk[4096];
  for (size_t count; (count = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
    run.output.append(chunk, count);
  run.status = ExitCode(pipe);
  return run;
}

inline std::string ReadFile(const fs::path& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
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
  // The names in the folder, sorted.
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir_))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
};
