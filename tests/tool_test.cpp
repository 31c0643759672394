#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "run_tool.h"
#include "script/platform.h"
#include "script/rewrite.h"

namespace fs = std::filesystem;

namespace {

const std::string kAnchor = "<sectionGroup name=\"system.webServer\">";
const std::string kNotFound = "\xD5\xD2\xB2\xBB\xB5\xBD\xC5\xE4\xD6\xC3\xCE\xC4\xBC\xFE";

std::string Progress(const std::string& path) {
  return "[QuellmarkInstaller] Updating startup script " + path + "\n ";
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// Equality of whole files, reported by the first differing offset rather than
// by printing both.
::testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  const size_t at =
      std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end()).first -
      actual.begin();
  return ::testing::AssertionFailure()
         << "sizes " << actual.size() << " and " << expected.size() << ", first difference at "
         << at << ": " << ::testing::PrintToString(actual.substr(at, 40)) << " instead of "
         << ::testing::PrintToString(expected.substr(at, 40));
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

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

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    dir_ = fs::temp_directory_path() / ("quellmark-test-" + std::to_string(random()));
    fs::create_directory(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string PathOf(const std::string& name) const { return (dir_ / name).string(); }

  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir_))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
};

TEST_F(ToolTest, WithoutPathReportsArgumentError) {
  const ToolRun run = RunTool({});
  EXPECT_EQ(run.output, "argument error.\n");
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
    fs::remove_all(dir_);
    fs::create_directory(dir_);
    const std::string original = ReadFile(entry.path());
    WriteFile(path, original);
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    ToolRun run = RunTool({path});
    EXPECT_EQ(run.output, Progress(path));
    EXPECT_EQ(run.status, 0);
    const std::string rewritten = ReadFile(path);
    EXPECT_TRUE(SameBytes(rewritten, Expected(original)));
    EXPECT_TRUE(SameBytes(ReadFile(path + ".bak"), original));
    EXPECT_EQ(Entries(), both);
    EXPECT_EQ(fs::status(path).permissions(), fs::status(path + ".bak").permissions());
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

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

// The file size limit makes the writes of the new files stop short (SIGXFSZ is
// ignored, so write fails with EFBIG): first the backup's, then, with a backup
// in place, the new text's. Either way the file keeps its bytes and no
// temporary file is left.
TEST_F(ToolTest, LosesNothingWhenWritingFails) {
  const std::string path = PathOf("a.config");
  const std::string original = ReadFile(fs::path(CORPUS_DIR) / "04-iis75-large-crlf.config");
  const std::string limits = "ulimit -f 64; trap '' XFSZ";
  WriteFile(path, original);
  ToolRun run = RunTool({path}, limits);
  EXPECT_EQ(run.output, Progress(path) + "[QuellmarkInstaller] Backing up startup script " + path +
                            " occur error");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(SameBytes(ReadFile(path), original));
  EXPECT_EQ(Entries(), std::vector<std::string>{"a.config"});

  WriteFile(path + ".bak", "the first backup");
  run = RunTool({path}, limits);
  EXPECT_EQ(run.output, Progress(path) + "[QuellmarkInstaller] Writing startup script " + path +
                            " occur error");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(SameBytes(ReadFile(path), original));
  EXPECT_EQ(ReadFile(path + ".bak"), "the first backup");
  EXPECT_EQ(Entries(), (std::vector<std::string>{"a.config", "a.config.bak"}));
}

// Memory runs out while the file is read; the run fails with a message
// instead of aborting, and the file is left as it is.
TEST_F(ToolTest, ReportsExhaustedMemory) {
  const std::string path = PathOf("a.config");
  const std::string original = kAnchor + "\r\n" + std::string(96 << 20, 'x');
  WriteFile(path, original);
  const ToolRun run = RunTool({path}, "ulimit -v 65536");
  EXPECT_EQ(run.output, Progress(path) + "[QuellmarkInstaller] std::bad_alloc");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(SameBytes(ReadFile(path), original));
  EXPECT_EQ(Entries(), std::vector<std::string>{"a.config"});
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
