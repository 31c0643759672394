#include <acl/libacl.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "tool_fixture.h"

namespace {

// The owner, group, mode, ACL and "user.origin" attribute of the file at `path`.
std::string Identity(const char* path) {
  struct stat info = {};
  stat(path, &info);
  const acl_t acl = acl_get_file(path, ACL_TYPE_ACCESS);
  char* const entries = acl_to_any_text(acl, nullptr, ',', 0);
  char origin[32] = {};
  getxattr(path, "user.origin", origin, sizeof origin - 1);
  const std::string identity = std::to_string(info.st_uid) + ":" + std::to_string(info.st_gid) +
                               " " + std::to_string(info.st_mode & 07777) + " " +
                               (entries ? entries : "no ACL") + " " + origin;
  acl_free(entries);
  acl_free(acl);
  return identity;
}

TEST_F(ToolTest, KeepsOwnerRightsAndAttributes) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a file away takes root";
  WriteFile("a.config", kAnchor + "\r\n");
  ASSERT_EQ(chown("a.config", 1234, 5678), 0);
  const acl_t acl = acl_from_text("u::rw-,u:4321:r--,g::r--,m::r--,o::---");
  ASSERT_EQ(acl_set_file("a.config", ACL_TYPE_ACCESS, acl), 0);
  acl_free(acl);
  ASSERT_EQ(setxattr("a.config", "user.origin", "installer", 9, 0), 0);
  const std::string before = Identity("a.config");
  EXPECT_EQ(RunTool({"a.config"}).status, 0);
  EXPECT_EQ(Identity("a.config"), before);
  EXPECT_EQ(Identity("a.config.bak"), before);
  EXPECT_NE(ReadFile("a.config"), kAnchor + "\r\n");
}

}  // namespace
