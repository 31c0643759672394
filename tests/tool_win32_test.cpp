#include <windows.h>

#include <thread>

#include "script/rewrite.h"
#include "tool_fixture.h"

namespace {

const std::string kWriting = P + "Writing startup script a.config occur error";

// Another process holding the file open with write access, as the web server
// may, lets the tool read it but stops the replace, which is retried a while.
TEST_F(ToolTest, RetriesAFileHeldOpen) {
  WriteFile("a.config", kConfig);
  WriteFile("a.config.bak", "first");
  const HANDLE holder =
      CreateFileA("a.config", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(RunTool({"a.config"}).output, Progress("", "a.config") + kWriting);
  EXPECT_EQ(ReadFile("a.config"), kConfig);
  // Written and released once the tool's first attempt to replace it has failed:
  // the edit is kept, the block placed in the edited text.
  std::thread release([&] {
    for (int wait = 0; wait < 3000 && Entries() < 3; ++wait) Sleep(10);
    DWORD written;
    Sleep(250), SetFilePointer(holder, 0, nullptr, FILE_END);
    WriteFile(holder, "<x/>", 4, &written, nullptr), CloseHandle(holder);
  });
  EXPECT_EQ(RunTool({"a.config"}).status, 0);
  release.join();
  EXPECT_EQ(ReadFile("a.config") + ReadFile("a.config.bak") + std::to_string(Entries()),
            kConfig + std::string(kSectionBlock) + "<x/>\r\nfirst2");
  // Held without read sharing for a moment, the file is read once it is released.
  const HANDLE held = CreateFileA("a.config", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  std::thread close([&] { Sleep(300), CloseHandle(held); });
  EXPECT_EQ(RunTool({"--check", "a.config"}).status, 0);
  close.join();
}

// Named as Windows names it: a 32-bit installer's Sysnative is System32, and a
// trailing dot is dropped, so both names share one backup.
TEST_F(ToolTest, NamesTheFileAsWindowsDoes) {
  char windows[MAX_PATH];
  const std::string root(windows, GetSystemWindowsDirectoryA(windows, MAX_PATH)),
      folder = "\\quellmark-" + std::to_string(GetCurrentProcessId()),
      sysnative = root + "\\SYSNATIVE" + folder;
  fs::create_directory(root + "\\System32" + folder);
  WriteFile(root + "\\System32" + folder + "\\a.config", kConfig);
  EXPECT_EQ(
      RunTool({sysnative + "\\a.config."}).status + RunTool({sysnative + "\\a.config"}).status, 0);
  EXPECT_EQ(ReadFile(root + "\\System32" + folder + "\\a.config.bak"), kConfig);
  EXPECT_EQ(RunTool({"--uninstall", sysnative + "\\a.config"}).status, 0);
  EXPECT_EQ(
      ReadFile(root + "\\System32" + folder + "\\a.config") +
          std::to_string(std::distance(fs::directory_iterator(root + "\\System32" + folder), {})),
      kConfig + "2");
  fs::remove_all(root + "\\System32" + folder);
}

TEST_F(ToolTest, KeepsAttributesAndRefusesReadOnlyFiles) {
  WriteFile("a.config", kConfig);
  const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  SetFileAttributesA("a.config", kept);
  EXPECT_EQ(RunTool({"a.config"}).status, 0);
  EXPECT_EQ(GetFileAttributesA("a.config") & GetFileAttributesA("a.config.bak") & kept, kept);
  DeleteFileA("a.config.bak");
  SetFileAttributesA("a.config", FILE_ATTRIBUTE_NORMAL), WriteFile("a.config", kConfig);
  SetFileAttributesA("a.config", FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(RunTool({"a.config"}).output, Progress("", "a.config") + kWriting);
  EXPECT_EQ(RunTool({"--check", "a.config"}).output, Progress("--check", "a.config") + kWriting);
  SetFileAttributesA("a.config", FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(Entries(), 1);
}

}  // namespace
