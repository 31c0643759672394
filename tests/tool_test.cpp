#include <gtest/gtest.h>

#include <chrono>

#include "script/publish.h"
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
  const std::string nested = C + kAnchor + own + "<sectionGroup name=\"inner\">\r\n";
  const std::string N = kNone, S = kSame, w = a + ":";
  const std::string spaced = "<!-- QUELLMARK BEGIN -->\n\t \r\n" + kBlock;
  const std::string still = P + "Section is still used in script a.config";
  const struct {
    const char* name;
    std::vector<std::string> arguments;
    std::string file, backup, output;  // the files before the run, and what follows the progress
    int status;
    std::string fileAfter, backupAfter;
    std::string where;  // what standard error names before its words; empty: nothing there
  } cases[] = {
      // clang-format off
      {"missing", {"%s.config"}, N, N, notFound + "%s.config" + P +
          "Reading startup script %s.config occur error", 5, N, N, "%s.config"},
      {"missing, uninstall", {u, a}, N, N, notFound + a, 0, N, N, ""},
      {"folder", {"folder"}, N, N, P + "Reading startup script folder occur error", 8, N, N,
          "folder"},
      {"empty", {a}, "", N, noAnchor, 1, S, N, a},
      {"group written otherwise", {c, a}, m + "\n<sectionGroup name='system.webServer'>", N,
          noAnchor, 1, S, N, w + "2"},
      {"open block", {a}, open, N, noEnd, 1, S, N, w + "3"},
      {"open block, uninstall", {u, a}, open, N, noEnd, 1, S, N, w + "3"},
      {"backup kept", {a}, C + kAnchor + "\n<x/>\n" + kBlock, "first", "", 0, in, "first", ""},
      {"registered: nothing written, no backup", {a}, in, N, "", 0, S, N, ""},
      {"registered", {c, a}, in, N, "", 0, S, N, ""},
      {"would change", {c, a}, in + "<y/>\n", N, P + "Install would change script a.config", 3, S,
          N, ""},
      {"hand-spaced markers", {u, a}, x + spaced, N, "", 0, x, x + spaced, ""},
      {"nothing to remove", {u, a}, x, N, "", 0, S, N, ""},
      {"through a file", {u, a + "/"}, x, N, P + "Reading startup script a.config/ occur error", 8,
          S, N, "a.config/"},
      {"after the root", {a}, oneLine, N, place, 1, S, N, w + "1"},
      {"anchor in a comment", {a}, C + "<!--\r\n" + kAnchor + "\r\n-->\r\n" + A, N, place, 1, S,
          N, w + "3"},
      {"anchor in another group's comment", {c, a}, aside, N, place, 1, S, N, w + "2"},
      {"nested group on the anchor line", {a}, nested, N, place, 1, S, N, w + "2"},
      {"both markers in a note", {a}, A + "<!-- QUELLMARK BEGIN, QUELLMARK END -->\r\n<x/>\r\n" +
          kBlock, N, place, 1, S, N, w + "4"},
      {"markers in a comment", {u, a}, ends + in, N, remove, 1, S, N, w + "2"},
      {"a section of another name", {a}, ends + A + "<section name=\"a\" />\r\n" + kBlock, N,
          place, 1, S, N, w + "2"},
      {"marker in CDATA", {u, a}, x + "<![CDATA[\n<!--QUELLMARK END-->\n]]></x>", N, remove, 1, S,
          N, w + "3"},
      {"marker in an entity", {u, a}, "<!DOCTYPE x [\n<!ENTITY e \"QUELLMARK END\">\n]>\n<x>", N,
          remove, 1, S, N, w + "2"},
      {"cut short after the group", {a}, A + "<x", N, "", 0, A + kBlock + "<x\r\n", A + "<x", ""},
      {"declared by hand", {c, a}, A + own + "\r\n", N, declared, 1, S, N, w + "3"},
      {"declared by hand, registered", {a}, in + own + "\r\n", N, declared, 1, S, N, w + "7"},
      {"declared in another group", {a}, other, N, "", 0, other + kBlock, other, ""},
      {"settings left", {u, a}, A + kBlock + used, N, still, 1, S, N, w + "6"},
      {"settings declared by hand", {u, a}, A + own + "\r\n" + kBlock + used, N, "", 0,
          A + own + "\r\n" + used, A + own + "\r\n" + kBlock + used, ""},
      {"end marker before markup", {a}, A + kBlock + "<!--QUELLMARK END--><x/>\r\n", N, place, 1,
          S, N, w + "6"},
      {"markup after a section line", {u, a}, x + m + "\n" + own + "/>\n" + kBlock, N, remove, 1,
          S, N, w + "3"},
      {"UTF-16", {u, a}, "\xFF\xFE" + kBlock, N, wide, 1, S, N, w + "1"},
      {"UTF-16 without a mark", {c, a}, std::string("<\0", 2) + A, N, wide, 1, S, N, w + "1"},
      // clang-format on
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    // A file whose text stays is not touched: the web server reloads whatever changes.
    fs::file_time_type old = fs::file_time_type::clock::now() - std::chrono::hours(24);
    if (row.file != kNone) WriteFile("a.config", row.file), fs::last_write_time("a.config", old);
    if (row.file != kNone) old = fs::last_write_time("a.config");  // as the system keeps it
    if (row.backup != kNone) WriteFile("a.config.bak", row.backup);
    const ToolRun run = RunTool(row.arguments);
    EXPECT_EQ(run.output,
              Progress(row.arguments[0], row.arguments[row.arguments[0][0] == '-']) + row.output);
    EXPECT_EQ(run.status, row.status);
    // One line, naming the file and, for a refusal, its line; nothing on a success.
    EXPECT_EQ(run.errors.substr(0, run.errors.find(": ", 20) + 2),
              row.where.empty() ? "" : "QuellmarkInstaller: " + row.where + ": ");
    EXPECT_EQ(std::count(run.errors.begin(), run.errors.end(), '\n'), !row.where.empty());
    EXPECT_EQ(fs::exists("a.config") ? ReadFile("a.config") : kNone,
              row.fileAfter == kSame ? row.file : row.fileAfter);
    EXPECT_EQ(fs::exists("a.config.bak") ? ReadFile("a.config.bak") : kNone, row.backupAfter);
    EXPECT_TRUE(row.fileAfter != kSame || fs::last_write_time("a.config") == old);
    EXPECT_EQ(Entries(), 1 + (row.fileAfter != kNone) + (row.backupAfter != kNone));
    fs::remove("a.config"), fs::remove("a.config.bak");
  }
}

TEST_F(ToolTest, OptionsAndArgumentErrors) {
  const std::vector<std::vector<std::string>> errors = {// clang-format off
      {}, {""}, {"--check"}, {"--uninstall", ""}, {"--install", "a.config"}, {"--uninstall", "--"},
      {"a.config", "/uninstall"}, {"--check", "a.config", "b.config"}};
  // clang-format on
  for (const std::vector<std::string>& arguments : errors) {
    const ToolRun run = RunTool(arguments);
    EXPECT_EQ(run.output, "argument error." + kToolLineEnd);
    EXPECT_EQ(run.status, 2);
  }
  // The parser linked in is the one built from the pinned source.
  EXPECT_EQ(RunTool({"--version"}).output,
            "QuellmarkInstaller 1.0.0 (expat " EXPAT_VERSION ")" + kToolLineEnd);
  for (const char* option : {"--help", "-h", "/?"}) {
    const ToolRun help = RunTool({option});
    EXPECT_EQ(help.output.substr(0, help.output.find(kToolLineEnd)),
              "Usage: QuellmarkInstaller [--uninstall | --check] PATH");
    EXPECT_EQ(help.status, 0);
  }
}

// Where standard output and standard error are one pipe, the reason starts a line of
// its own; it says what to do, and which way a refusal of a well-formed file points.
TEST_F(ToolTest, ReasonOnALineOfItsOwn) {
  const std::string missing = "inetsrv/applicationHost.config",
                    cr = "<a>\r" + kAnchor + "</sectionGroup>\r</a>";
  const ToolRun notFound = RunShell(QUOTE TOOL_PATH QUOTE " " + missing + " 2>&1");
  EXPECT_EQ(notFound.status, 5);
  EXPECT_NE(notFound.output.find("occur error" + kToolLineEnd + "QuellmarkInstaller: " + missing),
            std::string::npos);
  EXPECT_EQ(notFound.output.substr(notFound.output.rfind(": ")),
            ": the web server is probably not installed" + kToolLineEnd);
  WriteFile("cr.config", cr);
  const ToolRun oneLine = RunShell(QUOTE TOOL_PATH QUOTE " cr.config 2>&1");
  EXPECT_EQ(oneLine.status, 1);
  EXPECT_NE(oneLine.output.find("cr.config" + kToolLineEnd +
                                "QuellmarkInstaller: cr.config:1: "
                                "the file's line ends are CR alone"),
            std::string::npos);
}

// On a web farm the web server reads the file that redirection.config names.
TEST_F(ToolTest, RefusesAFileTheServerDoesNotRead) {
  const std::string path = "applicationHost.CONFIG", r = "<configurationRedirection enabled=";
  const std::string c = "<configuration>" + r + "'True' path='\\\\f\\c'/>", e = ", not script ";
  const std::string reads = P + "Shared configuration: the web server reads ",
                    shared = reads + "\\\\f\\c\\applicationHost.config" + e + path;
  const std::string own = "<configuration>" + r + "'true' path='" + dir_.string() + "'/>";
  const std::string z = "</configuration>", k = "--check", u = "--uninstall",
                    would = P + "Install would change script " + path;
  WriteFile(path, kConfig);
  const struct {
    const char* name;
    std::string redirection, mode, output;
    int status;
  } cases[] = {
      // clang-format off
      {"not enabled, or not in the root",
          "<configuration><x>" + r + "'true' path='p'/></x>" + r + "'1' path='p'/>" + z, k, would,
          3},
      {"PATH's own folder", own + z, k, would, 3},
      {"not well-formed", c, k, P + "Can not read redirection.config beside script " + path, 1},
      {"not well-formed, uninstall", c, u, "", 0},
      {"shared", c + z, k, shared, 4},
      {"shared, uninstall", "<configuration>" + r + "'true' path='\\\\f\\c/'/>" + z, u,
          reads + "\\\\f\\c/applicationHost.config" + e + path, 0},
      // clang-format on
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    WriteFile("redirection.config", row.redirection);
    const ToolRun run = RunTool({row.mode, path});
    EXPECT_EQ(run.output, Progress(row.mode, path) + row.output);
    EXPECT_EQ(run.status, row.status);
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
    EXPECT_EQ(RunTool({path}).status, 0);
    EXPECT_EQ(RunTool({"--check", path}).status, 0);
    EXPECT_EQ(fs::last_write_time(path), old);
    EXPECT_EQ(RunTool({"--uninstall", path}).status, 0);
    EXPECT_TRUE(ReadFile(path) ==
                std::string(expected).erase(expected.find(kBlock), kBlock.size()));
    EXPECT_EQ(Entries(), 2);
    fs::remove(path + ".bak");
  }
}

}  // namespace
