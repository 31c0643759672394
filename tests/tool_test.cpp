#include <gtest/gtest.h>

#include "script/platform.h"
#include "script/rewrite.h"
#include "tool_fixture.h"

namespace {

// What a first run must make of a file without markers: every line ended by
// "\r\n", and the block directly below the anchor line.
std::string Expected(std::string text) {
  std::string lf;
  for (size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) lf += text[i];
  if (!lf.empty() && lf.back() != '\n') lf += '\n';
  std::string crlf;
  for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  const size_t anchorEnd = crlf.find("\r\n", crlf.find(kAnchor)) + 2;
  return crlf.insert(anchorEnd, kSectionBlock);
}

TEST_F(ToolTest, WithoutPathReportsArgumentError) {
  const ToolRun run = RunTool({});
  EXPECT_EQ(run.output, "argument error." + kToolLineEnd);
  EXPECT_EQ(run.status, 2);
}

TEST_F(ToolTest, ReportsWhatCannotBeRead) {
  fs::create_directory(dir_ / "folder");
  const std::string missing = PathOf("a.config"), folder = PathOf("folder"),
                    percent = PathOf("%s%n%d.config");
  const struct {
    std::string path, failure;
  } cases[] = {
      {missing, "[QuellmarkInstaller] " + kNotFound + missing +
                    "[QuellmarkInstaller] Reading startup script " + missing + " occur error"},
      {"", "[QuellmarkInstaller] " + kNotFound +
               "[QuellmarkInstaller] Reading startup script  occur error"},
      {percent, "[QuellmarkInstaller] " + kNotFound + percent +
                    "[QuellmarkInstaller] Reading startup script " + percent + " occur error"},
      {folder, "[QuellmarkInstaller] Reading startup script " + folder + " occur error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const ToolRun run = RunTool({c.path});
    EXPECT_EQ(run.output, Progress(c.path) + c.failure);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(Entries(), std::vector<std::string>{"folder"});
  }
}

TEST_F(ToolTest, LeavesFileWithoutAnchorOrEndMarkerUntouched) {
  const std::string path = PathOf("a.config");
  const std::string noAnchor =
      "[QuellmarkInstaller] Can not find system.webServer option in script " + path;
  const struct {
    const char* name;
    std::string text, failure;
  } cases[] = {
      {"empty", "", noAnchor},
      {"no anchor", "<configuration>\r\n<!--QUELLMARK BEGIN-->\r\n</configuration>\r\n", noAnchor},
      {"UTF-16", std::string("<\0s\0e\0c\0", 8), noAnchor},
      {"unterminated block", kAnchor + "\r\n<!--QUELLMARK BEGIN-->\r\n</configSections>\r\n",
       "[QuellmarkInstaller] Can not find QUELLMARK END in script " + path},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(path, c.text);
    const ToolRun run = RunTool({path});
    EXPECT_EQ(run.output, Progress(path) + c.failure);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(ReadFile(path), c.text);
    EXPECT_EQ(Entries(), std::vector<std::string>{"a.config"});
  }
}

TEST_F(ToolTest, RewritesEachCorpusFileOnceThenLeavesItAlone) {
  const std::string path = PathOf("applicationHost.config");
  const std::vector<std::string> both = {"applicationHost.config", "applicationHost.config.bak"};
  for (const fs::directory_entry& entry : fs::directory_iterator(CORPUS_DIR)) {
    if (entry.path().extension() != ".config") continue;
    SCOPED_TRACE(entry.path().filename().string());
    fs::remove(path + ".bak");
    const std::string original = ReadFile(entry.path());
    WriteFile(path, original);

    ToolRun run = RunTool({path});
    EXPECT_EQ(run.output, Progress(path));
    EXPECT_EQ(run.status, 0);
    const std::string rewritten = ReadFile(path);
    EXPECT_TRUE(SameBytes(rewritten, Expected(original)));
    EXPECT_TRUE(SameBytes(ReadFile(path + ".bak"), original));
    EXPECT_EQ(Entries(), both);

    // A rerun finds nothing to change and must not touch the file at all.
    const fs::file_time_type old = fs::last_write_time(path) - std::chrono::hours(24);
    fs::last_write_time(path, old);
    run = RunTool({path});
    EXPECT_EQ(run.output, Progress(path));
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(SameBytes(ReadFile(path), rewritten));
    EXPECT_EQ(fs::last_write_time(path), old);
    EXPECT_TRUE(SameBytes(ReadFile(path + ".bak"), original));
    EXPECT_EQ(Entries(), both);
  }
}

TEST_F(ToolTest, KeepsAnExistingBackupAndIgnoresFurtherArguments) {
  const std::string path = PathOf("a.config");
  WriteFile(path + ".bak", "the first backup");
  WriteFile(path, kAnchor + "\r\n<x/>\r\n" + std::string(kSectionBlock));
  const ToolRun run = RunTool({path, PathOf("b.config"), "c"});
  EXPECT_EQ(run.output, Progress(path));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(ReadFile(path), kAnchor + "\r\n" + std::string(kSectionBlock) + "<x/>\r\n");
  EXPECT_EQ(ReadFile(path + ".bak"), "the first backup");
  EXPECT_EQ(Entries(), (std::vector<std::string>{"a.config", "a.config.bak"}));
}

// The backup is published without replacing: a backup that appeared after the
// tool looked for one is kept as it is.
TEST_F(ToolTest, PublishingWithoutReplaceKeepsWhatIsThere) {
  const std::string path = PathOf("a.config");
  WriteFile(path, "the first backup");
  EXPECT_EQ(WriteWholeFile(path, {"new ", "text"}, path, false), 0);
  EXPECT_EQ(ReadFile(path), "the first backup");
  EXPECT_EQ(WriteWholeFile(path, {"new ", "text"}, path, true), 0);
  EXPECT_EQ(ReadFile(path), "new text");
  EXPECT_EQ(Entries(), std::vector<std::string>{"a.config"});
}

}  // namespace
