#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tool_fixture.h"

extern char** environ;

const std::string kToolLineEnd = "\n";

namespace {

// Runs the tool after the shell command `limits`, such as "ulimit -f 16".
ToolRun RunToolWithLimits(const std::string& limits, const std::vector<std::string>& arguments) {
  // The shell sets the limits, then execs the tool with the arguments untouched.
  const std::string script = limits + "\nexec \"$0\" \"$@\"";
  std::vector<const char*> argv = {"sh", "-c", script.c_str(), TOOL_PATH};
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  argv.push_back(nullptr);

  int pipeFds[2];
  if (pipe(pipeFds) != 0) return {"", -1};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  pid_t pid;
  const int spawned = posix_spawn(&pid, "/bin/sh", &actions, nullptr,
                                  const_cast<char* const*>(argv.data()), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  ToolRun run{"", -1};
  char chunk[4096];
  for (ssize_t count; (count = read(pipeFds[0], chunk, sizeof chunk)) > 0;)
    run.output.append(chunk, count);
  close(pipeFds[0]);
  int waitStatus;
  if (spawned == 0 && waitpid(pid, &waitStatus, 0) == pid && WIFEXITED(waitStatus))
    run.status = WEXITSTATUS(waitStatus);
  return run;
}

}  // namespace

ToolRun RunTool(const std::vector<std::string>& arguments) {
  return RunToolWithLimits("", arguments);
}

namespace {

TEST_F(ToolTest, KeepsPermissionBits) {
  const std::string path = PathOf("a.config");
  WriteFile(path, kAnchor + "\r\n");
  const fs::perms bits = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
  fs::permissions(path, bits);
  const ToolRun run = RunTool({path});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(fs::status(path).permissions(), bits);
  EXPECT_EQ(fs::status(path + ".bak").permissions(), bits);
}

// The file size limit makes the writes of the new files stop short (SIGXFSZ is
// ignored, so write fails with EFBIG): first the backup's, then, with a backup
// in place, the new text's. Either way the file keeps its bytes and no
// temporary file is left.
TEST_F(ToolTest, LosesNothingWhenWritingFails) {
  const std::string path = PathOf("a.config");
  const std::string original = ReadFile(fs::path(CORPUS_DIR) / "04-iis75-large-crlf.config");
  const std::string limits = "ulimit -f 64; trap '' XFSZ";
  WriteFile(path, original);
  ToolRun run = RunToolWithLimits(limits, {path});
  EXPECT_EQ(run.output, Progress(path) + "[QuellmarkInstaller] Backing up startup script " + path +
                            " occur error");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(SameBytes(ReadFile(path), original));
  EXPECT_EQ(Entries(), std::vector<std::string>{"a.config"});

  WriteFile(path + ".bak", "the first backup");
  run = RunToolWithLimits(limits, {path});
  EXPECT_EQ(run.output, Progress(path) + "[QuellmarkInstaller] Writing startup script " + path +
                            " occur error");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(SameBytes(ReadFile(path), original));
  EXPECT_EQ(ReadFile(path + ".bak"), "the first backup");
  EXPECT_EQ(Entries(), (std::vector<std::string>{"a.config", "a.config.bak"}));
}

// Memory runs out while the new text is put together (each of the 8 Mi lone
// line feeds needs its own "\r\n" piece); the run fails with a message instead
// of aborting, and the file is left as it is.
TEST_F(ToolTest, ReportsExhaustedMemory) {
  const std::string path = PathOf("a.config");
  const std::string original = kAnchor + "\r\n" + std::string(8 << 20, '\n');
  WriteFile(path, original);
  const ToolRun run = RunToolWithLimits("ulimit -v 65536", {path});
  EXPECT_EQ(run.output, Progress(path) + "[QuellmarkInstaller] std::bad_alloc");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(SameBytes(ReadFile(path), original));
  EXPECT_EQ(Entries(), std::vector<std::string>{"a.config"});
}

}  // namespace
