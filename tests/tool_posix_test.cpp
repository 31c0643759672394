#include <unistd.h>

#include <iterator>
#include <vector>

#include "tool_fixture.h"

namespace {

TEST_F(ToolTest, KeepsOwnerRightsAndAttributes) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a file away takes root";
  WriteFile("a.config", kConfig);
  RunShell(
      "chown 1234:5678 a.config && chmod 640 a.config && setfacl -m u:4321:r,o::- a.config && "
      "setfattr -n user.origin -v installer a.config");
  // Owner, group, mode, ACL and extended attributes, without the file's name.
  const auto identity = [](const std::string& name) {
    return RunShell("stat -c '%u:%g %a' " + name + " && getfacl -nc " + name + " && getfattr -d " +
                    name + " | tail -n +2")
        .output;
  };
  const std::string before = identity("a.config");
  EXPECT_EQ(RunTool({"a.config"}).status, 0);
  EXPECT_EQ(identity("a.config"), before);
  EXPECT_EQ(identity("a.config.bak"), before);
  EXPECT_EQ(before,
            "1234:5678 640\nuser::rw-\nuser:4321:r--\ngroup::r--\nmask::r--\nother::---\n\n"
            "user.origin=\"installer\"\n\n");
  // A member of the file's group, who may not give the file away, keeps its group. The
  // tool runs from a copy that user can reach wherever the checkout is.
  RunShell(
      "cp '" TOOL_PATH
      "' tool && chmod 755 tool && chmod 777 . && setfacl -b a.config && chown 0:5678 a.config && "
      "chmod 660 a.config && setpriv --reuid 4321 --regid 4321 --groups 5678 ./tool "
      "--uninstall a.config");
  EXPECT_EQ(RunShell("stat -c '%u:%g' a.config").output, "4321:5678\n");
}

// Only "nothing there" is missing (a current folder since removed included); 40 links
// on the way are followed, not 41; a message lost to a closed pipe, with standard input
// closed, changes no status.
TEST_F(ToolTest, MissingOnlyWhenNothingIsThere) {
  WriteFile("a.config", kConfig);
  fs::create_symlink("loop", "loop");
  fs::create_symlink("nothing", "dangling");
  EXPECT_EQ(RunTool({"--uninstall", "loop/a.config"}).status, 8);
  EXPECT_EQ(RunTool({"--uninstall", "dangling"}).status, 0);
  const std::string check = " '" TOOL_PATH "' --check ", quiet = " >/dev/null 2>&1; ";
  EXPECT_EQ(RunShell("mkdir gone && cd gone && rmdir ../gone &&" + check + "a.config").status, 5);
  RunShell("ln -s a.config l0 && for i in $(seq 40); do ln -s l$((i - 1)) l$i; done");
  EXPECT_EQ(RunShell(check + "l39" + quiet + "s=$?;" + check + "l40" + quiet + "echo $s $?").output,
            "3 8\n");
  RunShell("(sleep 0.2; '" TOOL_PATH "' a.config <&-; echo $? >status) | true");
  EXPECT_EQ(ReadFile("status"), "0\n");
  EXPECT_TRUE(fs::exists("a.config.bak"));
}

// Whether uid 65534 may enter the test's folder, and reach a copy of the tool in it:
// not where the folder is under one closed to other accounts (a clone in root's home
// under umask 077).
bool OthersMayEnter() {
  fs::permissions(".", fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  RunShell("cp '" TOOL_PATH "' tool && chmod 755 tool");
  return RunShell("setpriv --reuid 65534 --regid 65534 --clear-groups test -x tool").status == 0;
}

// The owner of a folder above the file's swaps that folder for a link to a folder of
// root's while root's run writes (its first flush held for 1.5 s): every step stays
// in the folder that was read, and nothing of root's changes.
TEST_F(ToolTest, AnElevatedRunStaysInTheFolderItRead) {
  if (geteuid() != 0) GTEST_SKIP() << "the swap needs another account, and root to run as";
  if (!OthersMayEnter()) GTEST_SKIP() << "uid 65534 may not enter " << dir_;
  const std::string a = "applicationHost.config", block = "QUELLMARK BEGIN";
  WriteFile(a, kConfig);
  // The swapper gives up after 10 s, so a run that never makes the backup fails.
  RunShell("umask 022 && mkdir -p u/d v && cp " + a + " u/d && cp " + a + " v && chown 65534 u &&" +
           " (setpriv --reuid 65534 --regid 65534 --clear-groups timeout 10 sh -c 'until ls " +
           "u/d/*.bak.* >/dev/null 2>&1; do :; done; mv u/d u/e && ln -s ../v u/d' &) && " +
           "strace -f -o /dev/null -e inject=fsync:delay_enter=1500000:when=1 ./tool u/d/" + a);
  EXPECT_EQ(ReadFile("v/" + a), kConfig);
  EXPECT_EQ(std::distance(fs::directory_iterator("v"), {}), 1);
  EXPECT_NE(ReadFile("u/e/" + a).find(block), std::string::npos);
  // A link at the backup's name, even to nothing, is no backup: refused before any write.
  for (const char* target : {"../v/x", "nowhere"}) {
    fs::remove("u/e/" + a + ".bak");
    fs::create_symlink(target, "u/e/" + a + ".bak");
    const ToolRun run = RunTool({"--uninstall", "u/e/" + a});
    EXPECT_EQ(run.output, Progress("--uninstall", "u/e/" + a) + kTextStart +
                              "Backing up startup script u/e/" + a + " occur error");
    EXPECT_EQ(run.status, 1);
  }
  EXPECT_FALSE(fs::exists("v/x"));
}

// Root refuses a folder that another account, or every user, may change, and a link
// in such a folder, at PATH or on its way, naming it with its control bytes escaped.
// Its own links it follows, and it opens no FIFO. That account, not elevated, still
// installs in its folder; with a capability it is elevated.
TEST_F(ToolTest, AnElevatedRunRefusesAFolderOthersMayChange) {
  if (geteuid() != 0) GTEST_SKIP() << "takes root and another account";
  if (!OthersMayEnter()) GTEST_SKIP() << "uid 65534 may not enter " << dir_;
  const std::string refused = kTextStart + "Can not trust the folder of script ",
                    escape = "u/e\\x1Bx";
  for (const std::string folder : {"u", "w", "g", "n", "r"}) {
    fs::create_directory(folder);
    WriteFile(folder + "/a.config", kConfig);
  }
  EXPECT_EQ(RunTool({"r/a.config"}).status, 0);
  const std::string registered = ReadFile("r/a.config");
  RunShell(
      "ln -s ../r/a.config u/l.config && ln -s ../r u/l && mkdir u/e\x1Bx && ln -s ../../r "
      "u/e\x1Bx/l && chown -R 65534 u && chmod 777 w && chgrp 1234 g && chmod 775 g && "
      "setfacl -m g:1234:rwx n && mkfifo r/fifo && ln -s r root");
  for (const std::string path : {"u/a.config", "w/a.config", "g/a.config", "n/a.config",
                                 "u/l.config", "u/l/a.config", "u/e\x1Bx/l/a.config"})
    for (const std::string mode : {"", "--check", "--uninstall"}) {
      std::vector<std::string> arguments = {path};
      if (!mode.empty()) arguments.insert(arguments.begin(), mode);
      const ToolRun run = RunTool(arguments);
      EXPECT_EQ(run.output, Progress(mode, path) + refused + path);
      EXPECT_EQ(run.status, 1);
      EXPECT_EQ(run.errors.find('\x1B'), std::string::npos);
    }
  EXPECT_NE(RunTool({"u/e\x1Bx/l/a.config"})
                .errors.find(escape + "/l: a link in a folder that user 65534"),
            std::string::npos);
  EXPECT_EQ(ReadFile("r/a.config"), registered);
  EXPECT_EQ(ReadFile("u/a.config"), kConfig);
  EXPECT_EQ(RunTool({"--check", "root/a.config"}).status, 0);
  EXPECT_EQ(RunShell("strace -o trace -e trace=openat ./tool root/fifo >/dev/null; grep fifo trace "
                     "| grep -vc O_PATH")
                .output,
            "0\n");
  // Nor does it act on a redirection.config that someone else may write.
  WriteFile("applicationHost.config", kConfig);
  WriteFile("redirection.config", "<configuration/>");
  fs::permissions("redirection.config", fs::perms::others_write, fs::perm_options::add);
  EXPECT_EQ(RunTool({"applicationHost.config"}).status, 1);
  const std::string asNobody = "setpriv --reuid 65534 --regid 65534 --clear-groups ";
  EXPECT_EQ(
      RunShell(asNobody + "--inh-caps +fowner --ambient-caps +fowner ./tool w/a.config").status, 1);
  EXPECT_EQ(RunShell("python3 -c \"import os; os.setgroups([]); os.setresgid(65534, 0, 0); "
                     "os.setresuid(65534, 65534, 65534); os.execv('./tool', ['tool', "
                     "'w/a.config'])\"")
                .status,
            1);
  EXPECT_EQ(RunShell(asNobody + "./tool u/a.config").status, 0);
}

}  // namespace
