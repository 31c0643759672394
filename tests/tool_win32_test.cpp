#include <windows.h>
// After windows.h:
#include <aclapi.h>

#include <atomic>
#include <thread>

#include "config/texts.h"
#include "tool_fixture.h"

namespace {

const std::string kWriting = kTextStart + "Writing startup script a.config occur error";

// Another process holding the file open, sharing it for deletion, lets the tool read
// it; where the system replaces a file in use (POSIX semantics: Windows 10 1709,
// Server 2019), it is replaced under its holder, and where it cannot (Wine, Server
// 2016), the replace is retried a while, then reported as in use. A scanner that
// opens the temporary file without delete sharing cannot pin it there.
TEST_F(ToolTest, ReportsAFileHeldOpenAsInUse) {
  WriteFile("a.config", kConfig);
  WriteFile("a.config.bak", "first");
  const HANDLE holder = CreateFileA("a.config", GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  std::atomic<bool> ran = false;
  std::thread scanner([&] {
    HANDLE pinned = INVALID_HANDLE_VALUE;
    for (WIN32_FIND_DATAA found; !ran;) {
      const HANDLE search = FindFirstFileA("*.tmp", &found);
      if (search == INVALID_HANDLE_VALUE) continue;
      FindClose(search);
      if (pinned == INVALID_HANDLE_VALUE)
        pinned = CreateFileA(found.cFileName, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    }
    CloseHandle(pinned);
  });
  const ToolRun inUse = RunTool({"a.config"});
  ran = true;
  scanner.join();
  CloseHandle(holder);
  EXPECT_EQ(Entries(), 2);
  if (inUse.status == 0) {
    EXPECT_NE(ReadFile("a.config"), kConfig);
    return;
  }
  EXPECT_EQ(inUse.output, Progress("", "a.config") + kWriting);
  EXPECT_EQ(inUse.status, 7);
  EXPECT_EQ(inUse.errors,
            "QuellmarkInstaller: a.config: in use by another program; a later retry may succeed" +
                kToolLineEnd);
  EXPECT_EQ(ReadFile("a.config"), kConfig);
}

// Held without read sharing for a moment, the file is read once it is released.
TEST_F(ToolTest, ReadsAFileOnceItsHolderLetsGo) {
  WriteFile("a.config", kConfig);
  const HANDLE held = CreateFileA("a.config", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  std::thread close([&] {
    Sleep(300);
    CloseHandle(held);
  });
  EXPECT_EQ(RunTool({"--check", "a.config"}).status, 3);
  close.join();
}

// Named as Windows names it, in any spelling: a 32-bit installer's Sysnative is
// System32, a trailing dot is dropped, an 8.3 name is the long one, past MAX_PATH
// and outside the ANSI code page.
TEST_F(ToolTest, NamesTheFileAsWindowsDoes) {
  char windows[MAX_PATH];
  const std::string root(windows, GetSystemWindowsDirectoryA(windows, MAX_PATH)),
      name = "quellmark-" + std::to_string(GetCurrentProcessId()),
      real = root + "\\System32\\" + name;
  fs::create_directory(real);
  WriteFile(real + "\\a.config", kConfig);
  EXPECT_EQ(RunTool({root + "\\SYSNATIVE\\" + name + "\\a.config."}).status, 0);
  fs::current_path(root);
  // A missing file is the check's failure: each spelling must reach the file.
  for (const std::string& spelling :
       {root + "/Sysnative/" + name, root + "\\.\\sysnative\\\\" + name, "Sysnative\\" + name,
        "\\\\?\\" + root + "\\Sysnative\\" + name})
    EXPECT_EQ(RunTool({"--check", spelling + "\\a.config"}).status, 0) << spelling;
  fs::current_path(dir_);
  EXPECT_EQ(ReadFile(real + "\\a.config.bak"), kConfig);
  EXPECT_EQ(std::distance(fs::directory_iterator(real), {}), 2);
  // Missing where its folder is there, in either spelling: not the web server missing.
  for (const std::string& folder : {real, root + "\\Sysnative\\" + name}) {
    const std::string errors = RunTool({"--check", folder + "\\applicationHost.config"}).errors;
    EXPECT_EQ(errors.substr(errors.rfind("; ") + 2),
              std::string(Remedy(Status::kNotFound)) + kToolLineEnd);
  }
  fs::remove_all(real);

  WriteFile("applicationHost.config", kConfig);
  wchar_t alias[MAX_PATH];
  const std::string shortName(
      alias, alias + GetShortPathNameW(L"applicationHost.config", alias, MAX_PATH));
  EXPECT_EQ(RunTool({shortName}).status, 0);
  EXPECT_EQ(ReadFile("applicationHost.config.bak"), kConfig);
  WriteFile("redirection.config",
            "<configuration><configurationRedirection enabled='true' path='x'/></configuration>");
  EXPECT_EQ(RunTool({"--check", shortName}).status, 4) << shortName;

  const std::string deep = (dir_ / std::string(150, 'd') / std::string(150, 'e')).string(),
                    file = deep + "\\\xE4\xB8\xAD\xE6\x96\x87.config";  // in UTF-8
  fs::create_directories("\\\\?\\" + deep);
  WriteFile(fs::u8path("\\\\?\\" + file), kConfig);
  EXPECT_EQ(RunTool({file}).output, Progress("", file));
  EXPECT_EQ(ReadFile(fs::u8path("\\\\?\\" + file + ".bak")), kConfig);
  MoveFileW(fs::path("\\\\?\\" + (dir_ / std::string(150, 'd')).string()).c_str(), L"short");
}

// Verbatim, a trailing dot is part of the name; a colon after the drive's names a stream.
TEST_F(ToolTest, TakesAVerbatimNameAsItIsAndRefusesAStream) {
  const std::string dotted = "\\\\?\\" + (dir_ / "b.config.").string();
  WriteFile(dotted, kConfig);
  EXPECT_EQ(RunTool({dotted}).status, 0);
  EXPECT_EQ(ReadFile(dotted + ".bak"), kConfig);
  EXPECT_FALSE(fs::exists("b.config"));
  // Beyond fs::remove_all:
  DeleteFileA((dotted + ".bak").c_str());
  DeleteFileA(dotted.c_str());
  for (const char* mode : {"--uninstall", "--check"}) {
    const ToolRun stream = RunTool({mode, "b.config.:s"});
    EXPECT_EQ(stream.output, Progress(mode, "b.config.:s") + kTextStart +
                                 "Reading startup script b.config.:s occur error");
    EXPECT_EQ(stream.errors.substr(0, 40), "QuellmarkInstaller: b.config.:s: names a");
  }
}

TEST_F(ToolTest, KeepsAttributesAndRefusesReadOnlyFiles) {
  WriteFile("a.config", kConfig);
  const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  SetFileAttributesA("a.config", kept);
  EXPECT_EQ(RunTool({"a.config"}).status, 0);
  EXPECT_EQ(GetFileAttributesA("a.config") & kept, kept);
  EXPECT_EQ(GetFileAttributesA("a.config.bak") & kept, kept);
  DeleteFileA("a.config.bak");
  SetFileAttributesA("a.config", FILE_ATTRIBUTE_NORMAL);
  WriteFile("a.config", kConfig);
  SetFileAttributesA("a.config", FILE_ATTRIBUTE_READONLY);
  const ToolRun install = RunTool({"a.config"});
  EXPECT_EQ(install.output, Progress("", "a.config") + kWriting);
  EXPECT_EQ(install.status, 6);
  SetFileAttributesA("a.config", FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(Entries(), 1);
}

// Elevated (as Wine's token is), the tool refuses a folder whose access list lets
// everyone add files to it; the file stays as it was.
TEST_F(ToolTest, AnElevatedRunRefusesAFolderEveryoneMayChange) {
  fs::create_directory("open");
  WriteFile("open\\a.config", kConfig);
  EXPLICIT_ACCESS_W everyone = {};
  BuildExplicitAccessWithNameW(&everyone, const_cast<wchar_t*>(L"Everyone"), GENERIC_ALL,
                               GRANT_ACCESS, NO_INHERITANCE);
  PACL acl = nullptr;
  ASSERT_EQ(SetEntriesInAclW(1, &everyone, nullptr, &acl), ERROR_SUCCESS);
  ASSERT_EQ(SetNamedSecurityInfoW(const_cast<wchar_t*>(L"open"), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION, nullptr, nullptr, acl, nullptr),
            ERROR_SUCCESS);
  LocalFree(acl);
  const ToolRun run = RunTool({"open\\a.config"});
  EXPECT_EQ(run.output, Progress("", "open\\a.config") + kTextStart +
                            "Can not trust the folder of script open\\a.config");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.errors.find("\\open\\: Everyone may change it"), std::string::npos);
}

}  // namespace
