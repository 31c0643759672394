#pragma once

#include <string>
#include <vector>

struct ToolRun {
  std::string output;  // standard output, byte for byte
  int status;          // exit status, or -1 when the tool did not exit normally
};

// Runs the built tool with `arguments`; `limits` (a shell command such as
// "ulimit -f 16") is applied to the tool's process first.
ToolRun RunTool(const std::vector<std::string>& arguments, const std::string& limits = "");
