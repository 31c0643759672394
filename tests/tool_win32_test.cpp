#include <windows.h>

#include "tool_fixture.h"

const std::string kToolLineEnd = "\r\n";

// Quotes one argument for the C runtime's command-line parser; the tests' arguments
// hold no double quote and do not end with a backslash.
static std::string Quoted(const std::string& argument) { return "\"" + argument + "\""; }

ToolRun RunTool(const std::vector<std::string>& arguments) {
  std::string commandLine = Quoted(TOOL_PATH);
  for (const std::string& argument : arguments) commandLine += " " + Quoted(argument);

  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE readEnd, writeEnd;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return {"", -1};
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process = {};
  const bool started = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                      nullptr, nullptr, &startup, &process);
  CloseHandle(writeEnd);
  ToolRun run{"", -1};
  char chunk[4096];
  DWORD count;
  while (ReadFile(readEnd, chunk, sizeof chunk, &count, nullptr) && count > 0)
    run.output.append(chunk, count);
  CloseHandle(readEnd);
  DWORD exitCode;
  if (started && WaitForSingleObject(process.hProcess, INFINITE) == WAIT_OBJECT_0 &&
      GetExitCodeProcess(process.hProcess, &exitCode))
    run.status = static_cast<int>(exitCode);
  if (started) {
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
  return run;
}

namespace {

// Another process holding the file open without delete sharing stops the
// replace; after its retries the tool gives up with the file intact.
TEST_F(ToolTest, FileHeldOpenByAnotherProcessIsLeftIntact) {
  const std::string path = PathOf("a.config");
  const std::string original = kAnchor + "\r\n<x/>\r\n";
  WriteFile(path, original);
  WriteFile(path + ".bak", "the first backup");
  const HANDLE holder = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  const ToolRun run = RunTool({path});
  CloseHandle(holder);
  EXPECT_EQ(run.output, Progress(path) + "[QuellmarkInstaller] Writing startup script " + path +
                            " occur error");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(ReadFile(path), original);
  EXPECT_EQ(ReadFile(path + ".bak"), "the first backup");
  EXPECT_EQ(Entries(), (std::vector<std::string>{"a.config", "a.config.bak"}));
}

TEST_F(ToolTest, KeepsHiddenAndSystemAttributes) {
  const std::string path = PathOf("a.config");
  WriteFile(path, kAnchor + "\r\n");
  ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  const ToolRun run = RunTool({path});
  EXPECT_EQ(run.status, 0);
  const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  EXPECT_EQ(GetFileAttributesA(path.c_str()) & kept, kept);
  EXPECT_EQ(GetFileAttributesA((path + ".bak").c_str()) & kept, kept);
}

}  // namespace
