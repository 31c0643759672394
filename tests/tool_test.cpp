#include <gtest/gtest.h>

#include <chrono>

#include "script/platform.h"
#include "script/rewrite.h"
#include "tool_fixture.h"

namespace {

const std::string kBlock(kSectionBlock);
const std::string kNone = "\x01 absent";  // a file that must not exist
const std::string kSame = "\x02 same";    // the file as it was before the run

// What a first run makes of a file without markers: every line ended by "\r\n",
// and the block directly below the anchor line.
std::string Expected(const std::string& text) {
  std::string crlf;
  for (size_t i = 0; i < text.size(); ++i)
    crlf += text[i] == '\n' && (i == 0 || text[i - 1] != '\r') ? "\r\n" : std::string(1, text[i]);
  if (!crlf.empty() && crlf.back() != '\n') crlf += "\r\n";
  return crlf.insert(crlf.find("\r\n", crlf.find(kAnchor)) + 2, kBlock);
}

TEST_F(ToolTest, EachModeOnEachKindOfFile) {
  fs::create_directory("folder");
  const std::string C = kConfigStart, A = kConfig;
  const std::string in = A + kBlock + "<x/>\r\n", x = "<x>\n", m = "<!--QUELLMARK BEGIN-->";
  const std::string open = A + m + "\r\n<x/>\r\n",
                    oneLine = "<configuration><configSections>" + kAnchor +
                              "</sectionGroup></configSections></configuration>";
  const std::string aside =
      C + "<sectionGroup name=\"a\"><!--" + kAnchor + "-->\r\n" + kAnchor + "\r\n";
  const std::string ends =
      "<!--\r\nThe lines from QUELLMARK BEGIN to QUELLMARK END are ours.\r\n-->\r\n";
  const std::string place = P + "Can not place section in script a.config";
  const std::string remove = P + "Can not remove section from script a.config";
  const std::string noAnchor = P + "Can not find system.webServer option in script a.config";
  const std::string noEnd = P + "Can not find QUELLMARK END in script a.config";
  // GBK for "configuration file not found".
  const std::string notFound = P + "\xD5\xD2\xB2\xBB\xB5\xBD\xC5\xE4\xD6\xC3\xCE\xC4\xBC\xFE";
  const std::string u = "--uninstall", c = "--check", a = "a.config";
  const std::string own = "<section name=\"Quellmark\" />",
                    wide = P + "Can not edit UTF-16 script a.config",
                    declared = P + "Section is already declared in script a.config";
  const std::string used =
      "</sectionGroup></configSections><system.webServer><Quellmark /></system.webServer>";
  const std::string other =
      C + "<sectionGroup name=\"x\">" + own + "</sectionGroup>\r\n" + kAnchor + "\r\n";
  const struct {
    std::vector<std::string> arguments;
    std::string file, backup, output;  // the files before the run, and what follows the progress
    int status;
    std::string fileAfter, backupAfter;
  } cases[] = {
      // clang-format off
      {{"%s.config"}, kNone, kNone, notFound + "%s.config" + P +
          "Reading startup script %s.config occur error", 1, kNone, kNone},
      {{u, a}, kNone, kNone, notFound + a, 0, kNone, kNone},
      {{"folder"}, kNone, kNone, P + "Reading startup script folder occur error", 1, kNone, kNone},
      {{a}, "", kNone, noAnchor, 1, kSame, kNone},
      {{c, a}, m, kNone, noAnchor, 1, kSame, kNone},
      {{a}, open, kNone, noEnd, 1, kSame, kNone},
      {{u, a}, open, kNone, noEnd, 1, kSame, kNone},
      {{a, "b.config", "c"}, C + kAnchor + "\n<x/>\n" + kBlock, "first", "", 0, in, "first"},
      {{a}, in, kNone, "", 0, kSame, in},
      {{c, a}, in, kNone, "", 0, kSame, kNone},
      {{c, a}, in + "<y/>\n", kNone, P + "Install would change script a.config", 3, kSame, kNone},
      {{u, a}, x + "<!-- QUELLMARK BEGIN -->\n\t \r\n" + kBlock, kNone, "", 0, x,
          x + "<!-- QUELLMARK BEGIN -->\n\t \r\n" + kBlock},
      {{u, a}, x, kNone, "", 0, kSame, kNone},
      {{u, a + "/"}, x, kNone, P + "Reading startup script a.config/ occur error", 1, kSame, kNone},
      {{a}, oneLine, kNone, place, 1, kSame, kNone},
      {{a}, C + "<!--\r\n" + kAnchor + "\r\n-->\r\n" + A, kNone, place, 1, kSame, kNone},
      {{c, a}, aside, kNone, place, 1, kSame, kNone},
      {{a}, A + "<!-- QUELLMARK BEGIN, QUELLMARK END -->\r\n<x/>\r\n" + kBlock, kNone, place, 1,
          kSame, kNone},
      {{u, a}, ends + in, kNone, remove, 1, kSame, kNone},
      {{a}, ends + A + "<section name=\"a\" />\r\n" + kBlock, kNone, place, 1, kSame, kNone},
      {{u, a}, x + "<![CDATA[\n<!--QUELLMARK END-->\n]]></x>", kNone, remove, 1, kSame, kNone},
      {{u, a}, "<!DOCTYPE x [\n<!ENTITY e \"QUELLMARK END\">\n]>\n<x>", kNone, remove, 1,
          kSame, kNone},
      {{a}, A + "<x", kNone, "", 0, A + kBlock + "<x\r\n", A + "<x"},
      {{c, a}, A + own + "\r\n", kNone, declared, 1, kSame, kNone},
      {{a}, in + own + "\r\n", kNone, declared, 1, kSame, kNone},
      {{a}, other, kNone, "", 0, other + kBlock, other},
      {{u, a}, A + kBlock + used, kNone, P + "Section is still used in script a.config", 1, kSame,
          kNone},
      {{u, a}, A + own + "\r\n" + kBlock + used, kNone, "", 0, A + own + "\r\n" + used,
          A + own + "\r\n" + kBlock + used},
      {{a}, A + kBlock + "<!--QUELLMARK END--><x/>\r\n", kNone, place, 1, kSame, kNone},
      {{u, a}, x + m + "\n" + own + "/>\n" + kBlock, kNone, remove, 1, kSame, kNone},
      {{u, a}, "\xFF\xFE" + kBlock, kNone, wide, 1, kSame, kNone},
      {{c, a}, std::string("<\0", 2) + A, kNone, wide, 1, kSame, kNone},
      // clang-format on
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.arguments[0] + " " + row.file);
    // A file whose text stays is not touched: the web server reloads whatever changes.
    fs::file_time_type old = fs::file_time_type::clock::now() - std::chrono::hours(24);
    if (row.file != kNone) WriteFile("a.config", row.file), fs::last_write_time("a.config", old);
    if (row.file != kNone) old = fs::last_write_time("a.config");  // as the system keeps it
    if (row.backup != kNone) WriteFile("a.config.bak", row.backup);
    const ToolRun run = RunTool(row.arguments);
    EXPECT_EQ(run.output,
              Progress(row.arguments[0], row.arguments[row.arguments[0][0] == '-']) + row.output);
    EXPECT_EQ(run.status, row.status);
    EXPECT_EQ(fs::exists("a.config") ? ReadFile("a.config") : kNone,
              row.fileAfter == kSame ? row.file : row.fileAfter);
    EXPECT_EQ(fs::exists("a.config.bak") ? ReadFile("a.config.bak") : kNone, row.backupAfter);
    EXPECT_TRUE(row.fileAfter != kSame || fs::last_write_time("a.config") == old);
    EXPECT_EQ(Entries(), 1 + (row.fileAfter != kNone) + (row.backupAfter != kNone));
    fs::remove("a.config"), fs::remove("a.config.bak");
  }
}

TEST_F(ToolTest, OptionsAndArgumentErrors) {
  const std::vector<std::vector<std::string>> errors = {
      // clang-format off
      {}, {""}, {"--check"}, {"--uninstall", ""}, {"--install", "a.config"}, {"--uninstall", "--"},
      {"a.config", "--check"}, {"--uninstall", "a.config", "x", "--check"}};
  // clang-format on
  for (const std::vector<std::string>& arguments : errors) {
    const ToolRun run = RunTool(arguments);
    EXPECT_EQ(run.output + std::to_string(run.status), "argument error." + kToolLineEnd + "2");
  }
  // The parser linked in is the one built from the pinned source.
  EXPECT_EQ(RunTool({"--version"}).output,
            "QuellmarkInstaller 1.0.0 (expat " EXPAT_VERSION ")" + kToolLineEnd);
  const ToolRun help = RunTool({"--help"});
  EXPECT_EQ(help.output.substr(0, help.output.find(kToolLineEnd)) + std::to_string(help.status),
            "Usage: QuellmarkInstaller [--uninstall | --check] PATH0");
}

// On a web farm the web server reads the file that redirection.config names.
TEST_F(ToolTest, RefusesAFileTheServerDoesNotRead) {
  const std::string path = "applicationHost.CONFIG", r = "<configurationRedirection enabled=";
  const std::string c = "<configuration>" + r + "'True' path='\\\\f\\c'/>", e = ", not script ";
  const std::string shared = P + "Shared configuration: the web server reads \\\\f\\c" + e + path;
  WriteFile(path, kConfig);
  const struct {
    std::string redirection, mode, output;
    int status;
  } cases[] = {
      {"<configuration><x>" + r + "'true' path='p'/></x>" + r + "'1' path='p'/>" +
           "</configuration>",
       "--check", P + "Install would change script " + path, 3},
      {c, "--check", P + "Can not read redirection.config beside script " + path, 1},
      {c, "--uninstall", "", 0},
      {c + "</configuration>", "--check", shared, 1},
      {c + "</configuration>", "--uninstall", shared, 0},
  };
  for (const auto& row : cases) {
    WriteFile("redirection.config", row.redirection);
    const ToolRun run = RunTool({row.mode, path});
    EXPECT_EQ(run.output + std::to_string(run.status),
              Progress(row.mode, path) + row.output + std::to_string(row.status));
    EXPECT_EQ(ReadFile(path), kConfig);
  }
  // Only the web server's own file is redirected.
  WriteFile("a.config", kConfig);
  EXPECT_EQ(RunTool({"--check", "a.config"}).status, 3);
}

// The backup is published without replacing: one that appeared after the tool
// looked for it is kept.
TEST_F(ToolTest, PublishingWithoutReplaceKeepsWhatIsThere) {
  WriteFile("a.config", "text");
  WriteFile("a.config.bak", "first");
  Snapshot read;
  ASSERT_TRUE(ReadSnapshot("a.config", read));
  EXPECT_EQ(WriteWholeFile("a.config.bak", {{read.text}}, read, false), WriteResult::kWritten);
  EXPECT_EQ(ReadFile("a.config.bak") + std::to_string(Entries()), "first2");
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
    EXPECT_EQ(install.output + std::to_string(install.status), Progress("", path) + "0");
    EXPECT_TRUE(ReadFile(path) == expected);
    EXPECT_TRUE(ReadFile(path + ".bak") == original);
    // A rerun finds nothing to change and must not touch the file at all.
    const fs::file_time_type old = fs::last_write_time(path) - std::chrono::hours(24);
    fs::last_write_time(path, old);
    EXPECT_EQ(RunTool({path}).status + RunTool({"--check", path}).status, 0);
    EXPECT_EQ(fs::last_write_time(path), old);
    EXPECT_EQ(RunTool({"--uninstall", path}).status, 0);
    EXPECT_TRUE(ReadFile(path) ==
                std::string(expected).erase(expected.find(kBlock), kBlock.size()));
    EXPECT_EQ(Entries(), 2);
    fs::remove(path + ".bak");
  }
}

}  // namespace
