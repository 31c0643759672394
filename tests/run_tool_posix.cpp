#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "run_tool.h"

extern char** environ;

ToolRun RunTool(const std::vector<std::string>& arguments, const std::string& limits) {
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
