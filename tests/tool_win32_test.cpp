#include <windows.h>

#include <thread>

#include "tool_fixture.h"

namespace {

// Another process holding the file open with write access, as the web server
// may, lets the tool read it but stops the replace, which is retried for a while.
TEST_F(ToolTest, RetriesAFileHeldOpen) {
  const std::string original = kAnchor + "\r\n<x/>\r\n";
  WriteFile("a.config", original);
  WriteFile("a.config.bak", "first");
  const HANDLE holder =
      CreateFileA("a.config", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  ToolRun run = RunTool({"a.config"});
  EXPECT_EQ(run.output,
            Progress("", "a.config") + P + "Writing startup script a.config occur error");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(ReadFile("a.config"), original);

  std::thread release([holder] {
    Sleep(300);
    CloseHandle(holder);
  });
  run = RunTool({"a.config"});
  release.join();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(ReadFile("a.config.bak"), "first");
  EXPECT_EQ(Entries(), (std::vector<std::string>{"a.config", "a.config.bak"}));
}

TEST_F(ToolTest, KeepsAttributesAndRefusesReadOnlyFiles) {
  WriteFile("a.config", kAnchor + "\r\n");
  const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  ASSERT_TRUE(SetFileAttributesA("a.config", kept));
  EXPECT_EQ(RunTool({"a.config"}).status, 0);
  EXPECT_EQ(GetFileAttributesA("a.config") & kept, kept);
  EXPECT_EQ(GetFileAttributesA("a.config.bak") & kept, kept);

  ASSERT_TRUE(DeleteFileA("a.config.bak"));
  ASSERT_TRUE(SetFileAttributesA("a.config", FILE_ATTRIBUTE_READONLY));
  const ToolRun run = RunTool({"a.config"});
  SetFileAttributesA("a.config", FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(run.output,
            Progress("", "a.config") + P + "Writing startup script a.config occur error");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(Entries(), std::vector<std::string>{"a.config"});
}

}  // namespace
