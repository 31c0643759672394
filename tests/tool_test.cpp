#include <gtest/gtest.h>

#include <chrono>

#include "script/rewrite.h"
#include "tool_fixture.h"

namespace {

const std::string kBlock(kSectionBlock);
const std::string kNone = "\x01 absent";  // a file that must not exist

// What a first run makes of a file without markers: every line ended by "\r\n",
// and the block directly below the anchor line.
std::string Expected(const std::string& text) {
  std::string crlf;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) crlf += '\r';
    crlf += text[i];
  }
  if (!crlf.empty() && crlf.back() != '\n') crlf += "\r\n";
  return crlf.insert(crlf.find("\r\n", crlf.find(kAnchor)) + 2, kBlock);
}

TEST_F(ToolTest, EachModeOnEachKindOfFile) {
  fs::create_directory("folder");
  const std::string registered = kAnchor + "\r\n" + kBlock + "<x/>\r\n";
  const std::string unterminated = kAnchor + "\r\n<!--QUELLMARK BEGIN-->\r\n<x/>\r\n";
  const std::string noAnchor = P + "Can not find system.webServer option in script a.config";
  const std::string noEnd = P + "Can not find QUELLMARK END in script a.config";
  const std::string writing = P + "Writing startup script a.config occur error";
  // GBK for "configuration file not found".
  const std::string notFound = P + "\xD5\xD2\xB2\xBB\xB5\xBD\xC5\xE4\xD6\xC3\xCE\xC4\xBC\xFE";
  const struct {
    std::vector<std::string> arguments;
    std::string file, backup;  // before the run
    std::string output;        // after the progress line
    int status;
    std::string fileAfter, backupAfter;
  } cases[] = {
      {{"%s.config"},
       kNone,
       kNone,
       notFound + "%s.config" + P + "Reading startup script %s.config occur error",
       1,
       kNone,
       kNone},
      {{"--check", "a.config"},
       kNone,
       kNone,
       notFound + "a.config" + P + "Reading startup script a.config occur error",
       1,
       kNone,
       kNone},
      {{"--uninstall", "a.config"}, kNone, kNone, notFound + "a.config", 0, kNone, kNone},
      {{"folder"}, kNone, kNone, P + "Reading startup script folder occur error", 1, kNone, kNone},
      {{"a.config"}, "", kNone, noAnchor, 1, "", kNone},
      {{"--check", "a.config"},
       "<!--QUELLMARK BEGIN-->\r\n",
       kNone,
       noAnchor,
       1,
       "<!--QUELLMARK BEGIN-->\r\n",
       kNone},
      {{"a.config"}, unterminated, kNone, noEnd, 1, unterminated, kNone},
      {{"--uninstall", "a.config"}, unterminated, kNone, noEnd, 1, unterminated, kNone},
      {{"a.config", "b.config", "c"},
       kAnchor + "\n<x/>\n" + kBlock,
       "first",
       "",
       0,
       registered,
       "first"},
      {{"a.config"}, registered, kNone, "", 0, registered, registered},
      {{"--check", "a.config"}, registered, kNone, "", 0, registered, kNone},
      {{"--check", "a.config"},
       registered + kBlock,
       kNone,
       P + "Section is not registered in script a.config",
       3,
       registered + kBlock,
       kNone},
      {{"--uninstall", "a.config"}, "<x/>\n" + kBlock, kNone, "", 0, "<x/>\n", "<x/>\n" + kBlock},
      {{"--uninstall", "a.config"}, "<x/>\n", kNone, "", 0, "<x/>\n", kNone},
      {{"--uninstall", "a.config"}, "<x/>\n" + kBlock, "first", "", 0, "<x/>\n", "first"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments[0] + " " + c.file);
    for (const auto& [name, text] : {std::pair{"a.config", c.file}, {"a.config.bak", c.backup}})
      if (text != kNone) WriteFile(name, text);
    const ToolRun run = RunTool(c.arguments);
    const bool option = c.arguments[0][0] == '-';
    EXPECT_EQ(run.output, Progress(c.arguments[0], c.arguments[option]) + c.output);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(fs::exists("a.config") ? ReadFile("a.config") : kNone, c.fileAfter);
    EXPECT_EQ(fs::exists("a.config.bak") ? ReadFile("a.config.bak") : kNone, c.backupAfter);
    EXPECT_EQ(Entries().size(), 1 + (c.fileAfter != kNone) + (c.backupAfter != kNone));
    fs::remove("a.config"), fs::remove("a.config.bak");
  }
}

TEST_F(ToolTest, OptionsAndArgumentErrors) {
  const std::string argumentError = "argument error." + kToolLineEnd;
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{}, {"--check"}, {"--uninstall"}, {"--install", "a.config"}}) {
    const ToolRun run = RunTool(arguments);
    EXPECT_EQ(run.output, argumentError);
    EXPECT_EQ(run.status, 2);
  }
  EXPECT_EQ(RunTool({"--version"}).output, "QuellmarkInstaller 1.0.0" + kToolLineEnd);
  const ToolRun help = RunTool({"--help"});
  EXPECT_EQ(help.output.substr(0, help.output.find(kToolLineEnd)),
            "Usage: QuellmarkInstaller [--uninstall | --check] PATH");
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(Entries().empty());
}

// Install, rerun, check and uninstall on every real configuration file.
TEST_F(ToolTest, InstallsAndUninstallsEachCorpusFile) {
  const std::string path = (dir_ / "applicationHost.config").string();
  for (const fs::directory_entry& entry : fs::directory_iterator(CORPUS_DIR)) {
    if (entry.path().extension() != ".config") continue;
    SCOPED_TRACE(entry.path().filename().string());
    const std::string original = ReadFile(entry.path()), expected = Expected(original);
    WriteFile(path, original);
    const ToolRun install = RunTool({path});
    EXPECT_EQ(install.output, Progress("", path));
    EXPECT_EQ(install.status, 0);
    EXPECT_TRUE(ReadFile(path) == expected);
    EXPECT_TRUE(ReadFile(path + ".bak") == original);
    // A rerun finds nothing to change and must not touch the file at all.
    const fs::file_time_type old = fs::last_write_time(path) - std::chrono::hours(24);
    fs::last_write_time(path, old);
    EXPECT_EQ(RunTool({path}).status, 0);
    EXPECT_EQ(fs::last_write_time(path), old);
    EXPECT_EQ(RunTool({"--check", path}).status, 0);
    EXPECT_EQ(RunTool({"--uninstall", path}).status, 0);
    std::string removed = expected;
    EXPECT_TRUE(ReadFile(path) == removed.erase(removed.find(kBlock), kBlock.size()));
    EXPECT_EQ(Entries(),
              (std::vector<std::string>{"applicationHost.config", "applicationHost.config.bak"}));
    fs::remove(path + ".bak");
  }
}

}  // namespace
