#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include "config/publish.h"
#include "config/rewrite.h"
#include "config/texts.h"
#include "tool_fixture.h"

namespace {

const std::string kBlock(kSectionBlock);

// What a first run makes of a file without markers: every line ended by "\r\n",
// and the block directly below the anchor line.
std::string Expected(const std::string& text) {
  std::string crlf;
  for (size_t i = 0; i < text.size(); ++i)
    crlf += text[i] == '\n' && (i == 0 || text[i - 1] != '\r') ? "\r\n" : std::string(1, text[i]);
  if (!crlf.empty() && crlf.back() != '\n') crlf += "\r\n";
  return crlf.insert(crlf.find("\r\n", crlf.find(kAnchor)) + 2, kBlock);
}

const std::string kOwn = kConfig + "<section name=\"Quellmark\"/>", kX = "<x>\n";
const std::string kNotFound =
    kTextStart + "\xD5\xD2\xB2\xBB\xB5\xBD\xC5\xE4\xD6\xC3\xCE\xC4\xBC\xFE";
// A per-cent sign in PATH is printed as it is.
const std::string kUninstall = "--uninstall", kPercent = "%s.config";

struct KindCase {
  const char* name;
  std::vector<std::string> arguments;
  std::optional<std::string> file;  // a.config before the run; none: absent
  std::string output;               // what follows the progress line
  int status = 0;
  std::optional<std::string> fileAfter;  // none: absent
  std::string where;  // what standard error names before its words; empty: nothing there
};

// clang-format off
const KindCase kKindCases[] = {
    {.name = "missing", .arguments = {kPercent}, .output = kNotFound + kPercent + kTextStart +
     "Reading startup script " + kPercent + " occur error", .status = 5, .where = kPercent},
    {.name = "missing, uninstall", .arguments = {kUninstall, "a.config"},
     .output = kNotFound + "a.config"},
    {.name = "folder", .arguments = {"folder"},
     .output = kTextStart + "Reading startup script folder occur error", .status = 8,
     .where = "folder"},
    {.name = "declared by hand", .arguments = {"a.config"}, .file = kOwn,
     .output = kTextStart + "Section is already declared in script a.config", .fileAfter = kOwn,
     .where = "a.config:3"},
    {.name = "through a file", .arguments = {kUninstall, "a.config/"}, .file = kX,
     .output = kTextStart + "Reading startup script a.config/ occur error", .status = 8,
     .fileAfter = kX, .where = "a.config/"},
};
// clang-format on

void PrintTo(const KindCase& row, std::ostream* out) { *out << row.name; }

class KindTest : public ToolTest, public testing::WithParamInterface<KindCase> {};

// What needs a process and a disk: a missing file or a folder, the backup, the
// statuses, standard error. The rules about text are Judge's rows.
TEST_P(KindTest, EachModeOnEachKindOfFile) {
  const KindCase& row = GetParam();
  fs::create_directory("folder");
  // A file whose text stays is not touched: the web server reloads whatever changes.
  fs::file_time_type old = fs::file_time_type::clock::now() - std::chrono::hours(24);
  if (row.file) {
    WriteFile("a.config", *row.file);
    fs::last_write_time("a.config", old);
    old = fs::last_write_time("a.config");  // as the system keeps it
  }
  const ToolRun run = RunTool(row.arguments);
  EXPECT_EQ(run.output,
            Progress(row.arguments[0], row.arguments[row.arguments[0][0] == '-']) + row.output);
  EXPECT_EQ(run.status, row.status);
  // One line, naming the file and, for a refusal, its line; nothing on a success.
  const size_t afterName = run.errors.find(": ", std::string(kReasonPrefix).size());
  EXPECT_EQ(run.errors.substr(0, afterName + 2),
            row.where.empty() ? "" : "QuellmarkInstaller: " + row.where + ": ");
  EXPECT_EQ(std::count(run.errors.begin(), run.errors.end(), '\n'), !row.where.empty());
  const std::optional<std::string> after =
      fs::exists("a.config") ? std::optional(ReadFile("a.config")) : std::nullopt;
  EXPECT_EQ(after, row.fileAfter);
  EXPECT_FALSE(fs::exists("a.config.bak"));
  if (row.file && row.file == row.fileAfter) {
    EXPECT_EQ(fs::last_write_time("a.config"), old);
  }
  EXPECT_EQ(Entries(), 1 + row.fileAfter.has_value());
}

INSTANTIATE_TEST_SUITE_P(Tool, KindTest, testing::ValuesIn(kKindCases), RowName<KindCase>);

TEST_F(ToolTest, OptionsAndArgumentErrors) {
  const std::vector<std::vector<std::string>> errors = {// clang-format off
      {}, {""}, {"--check"}, {"--uninstall", ""}, {"--install", "a.config"}, {"--uninstall", "--"},
      {"a.config", "/uninstall"}, {"--check", "a.config", "b.config"}};
  // clang-format on
  for (const std::vector<std::string>& arguments : errors) {
    SCOPED_TRACE(testing::PrintToString(arguments));
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
  EXPECT_EQ(RunTool({"inetsrv/a.config"}).errors.find("web server"), std::string::npos);
  WriteFile("cr.config", cr);
  const ToolRun oneLine = RunShell(QUOTE TOOL_PATH QUOTE " cr.config 2>&1");
  EXPECT_EQ(oneLine.status, 1);
  EXPECT_NE(oneLine.output.find("cr.config" + kToolLineEnd +
                                "QuellmarkInstaller: cr.config:1: "
                                "the file's line ends are CR alone"),
            std::string::npos);
}

// On a web farm the web server reads the file that redirection.config names: not the
// file's own folder, however named, and the shared file's text on standard output, for
// check and uninstall.
TEST_F(ToolTest, RefusesAFileTheServerDoesNotRead) {
  const std::string path = "applicationHost.config", redirected = "<configurationRedirection ";
  WriteFile(path, kConfig);
  WriteFile("redirection.config", "<configuration>" + redirected + "enabled='true' path='" +
                                      (dir_ / "." / "").string() + "'/></configuration>");
  EXPECT_EQ(RunTool({"--check", path}).status, 3);
  WriteFile("redirection.config",
            "<configuration>" + redirected + "enabled='true' path='/f/c/'/></configuration>");
  const std::string reads = kTextStart + "Shared configuration: the web server reads /f/c/" + path +
                            ", not script " + path;
  const ToolRun shared = RunTool({"--check", path});
  EXPECT_EQ(shared.output, Progress("--check", path) + reads);
  EXPECT_EQ(shared.status, 4);
  // An uninstall, which harms no file, says so and goes on.
  EXPECT_EQ(RunTool({"--uninstall", path}).output, Progress("--uninstall", path) + reads);
  EXPECT_EQ(shared.errors.find("QuellmarkInstaller: " + path + ": the redirection"), 0u);
  EXPECT_EQ(ReadFile(path), kConfig);
}

// The backup is published without replacing: one that appeared after the tool
// looked for it is kept.
TEST_F(ToolTest, PublishingWithoutReplaceKeepsWhatIsThere) {
  WriteFile("a.config", "text");
  WriteFile("a.config.bak", "first");
  const std::unique_ptr<FileSystem> files = NewSystemFileSystem();
  Folder folder;
  Snapshot read;
  ASSERT_FALSE(files->OpenFolderOf("a.config", folder));
  ASSERT_FALSE(files->Read(folder, folder.file, read));
  EXPECT_EQ(WriteWholeFile(*files, "a.config.bak", {{read.text}}, read, false).result,
            WriteResult::kWritten);
  EXPECT_EQ(ReadFile("a.config.bak"), "first");
  EXPECT_EQ(Entries(), 2);
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
    EXPECT_EQ(FirstDifference(ReadFile(path), expected), "");
    EXPECT_EQ(FirstDifference(ReadFile(path + ".bak"), original), "");
    // A rerun finds nothing to change and must not touch the file at all.
    const fs::file_time_type old = fs::last_write_time(path) - std::chrono::hours(24);
    fs::last_write_time(path, old);
    EXPECT_EQ(RunTool({path}).status, 0);
    EXPECT_EQ(RunTool({"--check", path}).status, 0);
    EXPECT_EQ(fs::last_write_time(path), old);
    EXPECT_EQ(RunTool({"--uninstall", path}).status, 0);
    EXPECT_EQ(FirstDifference(ReadFile(path),
                              std::string(expected).erase(expected.find(kBlock), kBlock.size())),
              "");
    EXPECT_EQ(Entries(), 2);
    fs::remove(path + ".bak");
  }
}

}  // namespace
