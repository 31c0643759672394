#include <unistd.h>

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

// Only "nothing there" is missing; a message lost to a closed pipe changes no status.
TEST_F(ToolTest, MissingOnlyWhenNothingIsThere) {
  WriteFile("a.config", kConfig);
  fs::create_symlink("loop", "loop"), fs::create_symlink("nothing", "dangling");
  EXPECT_EQ(RunTool({"--uninstall", "loop/a.config"}).status, 8);
  EXPECT_EQ(RunTool({"--uninstall", "dangling"}).status, 0);
  RunShell("(sleep 0.2; '" TOOL_PATH "' a.config; echo $? >status) | true");
  EXPECT_EQ(ReadFile("status"), "0\n");
  EXPECT_TRUE(fs::exists("a.config.bak"));
}

}  // namespace
