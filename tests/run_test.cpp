// The run's logic on the file system in memory: its rounds, its re-checks, and a
// failure at each step, with each kind of error. No process, no disk.
#include "config/run.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "config/rewrite.h"
#include "memory_file_system.h"
#include "tool_fixture.h"

namespace {

const std::string kBlock(kSectionBlock), kNew = kConfig + kBlock, kY = "<y/>\r\n";
const std::string kUsed = kNew + "</sectionGroup></configSections><system.webServer><Quellmark/>";

struct RunCase {
  const char* name;
  Mode mode = Mode::kInstall;
  std::string path = "a.config";
  std::optional<std::string> redirection = std::nullopt;  // redirection.config beside it
  std::optional<std::string> backup = std::nullopt;       // a.config.bak before; none: absent
  bool backupIsLink = false;
  std::string file = kConfig;  // a.config before
  Step failing = Step::kOpen;  // with `occurrence`, the step that fails, for `kind`
  int occurrence = 0;
  ErrorKind kind = ErrorKind::kOther;
  int changes = 0;  // another program appends kY to a.config before this many first `changeAt`s
  Step changeAt = Step::kFinish;
  int held = 0;           // another program holds a.config for this many first renames
  int paused = 0;         // milliseconds the run waits for it
  bool stuck = false;     // a temporary file not placed cannot be removed
  std::string untrusted;  // an account that may change the folder, the run elevated
  int status = 0;
  std::string text;                        // the outcome's text, after the prefix
  std::optional<std::string> fileAfter;    // none: as it was
  std::optional<std::string> backupAfter;  // none: as it was
  bool written = false;
  std::string reason;                        // for standard error; empty: not looked at
  size_t line = 0;                           // the line of the file the reason names; 0: none
  std::pair<size_t, size_t> block = {0, 0};  // the first block's marker lines in the file read
};

// The web server's own file, which a redirection.config beside it may send elsewhere.
const std::string kServer = "APPLICATIONHOST.CONFIG", kRedirected = "<configurationRedirection ",
                  kShared = "<configuration>" + kRedirected + "enabled='True' path='\\\\f\\c'/>";
const std::string kWouldChange = "Install would change script ",
                  kUnreadableRedirection = "Can not read redirection.config beside script ";
const std::string kReading = "Reading startup script a.config occur error",
                  kBackingUp = "Backing up startup script a.config occur error",
                  kWriting = "Writing startup script a.config occur error";

// clang-format off
const RunCase kCases[] = {
    {.name = "installed, with a first backup", .fileAfter = kNew, .backupAfter = kConfig,
     .written = true},
    {.name = "registered: no right to write asked for", .file = kNew, .failing = Step::kMayWrite,
     .occurrence = 1, .block = {3, 5}},
    {.name = "check", .mode = Mode::kCheck, .status = 3, .text = kWouldChange + "a.config"},
    {.name = "the removal's pre-flight writes nothing", .mode = Mode::kCheckRemoval, .file = kNew,
     .status = 3, .block = {3, 5}},
    {.name = "kept for its settings", .mode = Mode::kRemove, .file = kUsed, .status = 9,
     .text = "Section is still used in script a.config", .line = 6, .block = {3, 5}},
    {.name = "changed before the rename: read again", .backup = "first", .changes = 1,
     .fileAfter = kNew + kY, .written = true},
    {.name = "changed twice: the third round writes", .backup = "first", .changes = 2,
     .fileAfter = kNew + kY + kY, .written = true},
    {.name = "held once: placed at the next attempt", .backup = "first", .held = 1, .paused = 50,
     .fileAfter = kNew, .written = true},
    {.name = "held at every attempt: given up after 4.75 s", .backup = "first", .held = 8,
     .paused = 4750, .status = 7, .text = kWriting},
    {.name = "changed while held: read again", .backup = "first", .changes = 1,
     .changeAt = Step::kPlace, .held = 1, .paused = 50, .fileAfter = kNew + kY, .written = true},
    {.name = "changed, its temporary file stuck: named", .changes = 1, .stuck = true,
     .fileAfter = kNew + kY, .backupAfter = kConfig + kY, .written = true,
     .reason = "a.config: /m/a.config.bak.tmp2 was left behind: delete it"},
    {.name = "changed every time", .backup = "first", .changes = 3, .status = 7,
     .text = "Startup script a.config was changed by another program",
     .fileAfter = kConfig + kY + kY + kY},
    {.name = "missing, the removal's pre-flight", .mode = Mode::kCheckRemoval,
     .failing = Step::kOpen, .occurrence = 1, .kind = ErrorKind::kMissing,
     .text = "\xD5\xD2\xB2\xBB\xB5\xBD\xC5\xE4\xD6\xC3\xCE\xC4\xBC\xFE" "a.config"},
    {.name = "unreadable", .failing = Step::kRead, .occurrence = 1, .kind = ErrorKind::kDenied,
     .status = 6, .text = kReading},
    {.name = "backup's name unknown", .failing = Step::kEntry, .occurrence = 1, .status = 8,
     .text = kBackingUp},
    {.name = "a link at the backup's name", .backupIsLink = true, .status = 1, .text = kBackingUp},
    {.name = "held so that no rename may replace it, checked", .mode = Mode::kCheck,
     .failing = Step::kHeldNow, .occurrence = 1, .kind = ErrorKind::kInUse, .status = 7,
     .text = kWriting},
    {.name = "not writable, checked", .mode = Mode::kCheck, .failing = Step::kMayWrite,
     .occurrence = 1, .kind = ErrorKind::kDenied, .status = 6, .text = kWriting},
    {.name = "no backup may be made", .failing = Step::kMayCreate, .occurrence = 1,
     .kind = ErrorKind::kDenied, .status = 6, .text = kBackingUp},
    {.name = "no temporary file may be made", .backup = "first", .failing = Step::kMayCreate,
     .occurrence = 1, .kind = ErrorKind::kDenied, .status = 6, .text = kWriting},
    {.name = "the backup's temporary file", .failing = Step::kCreate, .occurrence = 1, .status = 8,
     .text = kBackingUp},
    {.name = "not flushed, its temporary file stuck: named", .backup = "first",
     .failing = Step::kFinish, .occurrence = 1, .stuck = true, .status = 8, .text = kWriting,
     .reason = "a.config: the system's words; " + std::string(Remedy(Status::kFailed)) +
               "; /m/a.config.tmp3 was left behind: delete it"},
    {.name = "the new text held", .failing = Step::kPlace, .occurrence = 2,
     .kind = ErrorKind::kInUse, .status = 7, .text = kWriting, .backupAfter = kConfig},
    {.name = "the folder not flushed", .failing = Step::kFlush, .occurrence = 2, .status = 8,
     .text = kWriting, .fileAfter = kNew, .backupAfter = kConfig},
    {.name = "a folder others may change", .untrusted = "user 65534", .status = 1,
     .text = "Can not trust the folder of script a.config"},
    {.name = "redirection: not enabled, or below a child", .mode = Mode::kCheck, .path = kServer,
     .redirection = "<configuration><x>" + kRedirected + "enabled='true' path='p'/></x>" +
                    kRedirected + "enabled='none' path='p'/></configuration>",
     .status = 3, .text = kWouldChange + kServer},
    {.name = "redirection: in another root element", .mode = Mode::kCheck, .path = kServer,
     .redirection = "<x>" + kRedirected + "enabled='true' path='p'/></x>", .status = 3,
     .text = kWouldChange + kServer},
    {.name = "redirection: not well-formed", .mode = Mode::kCheck, .path = kServer,
     .redirection = kShared, .status = 1, .text = kUnreadableRedirection + kServer, .line = 1},
    {.name = "redirection: not well-formed, uninstall", .mode = Mode::kRemove, .path = kServer,
     .redirection = kShared},
    {.name = "redirection: unreadable", .mode = Mode::kCheck, .path = kServer, .redirection = "",
     .failing = Step::kRead, .occurrence = 1, .status = 8,
     .text = kUnreadableRedirection + kServer},
    {.name = "redirection: shared", .mode = Mode::kCheck, .path = kServer,
     .redirection = kShared + "</configuration>", .status = 4,
     .text = "Shared configuration: the web server reads \\\\f\\c\\applicationHost.config, not "
             "script " + kServer},
};
// clang-format on

void PrintTo(const RunCase& row, std::ostream* out) { *out << row.name; }

class RunTest : public testing::TestWithParam<RunCase> {};

TEST_P(RunTest, Case) {
  const RunCase& row = GetParam();
  MemoryFileSystem files;
  files.Put(row.path, row.file);
  if (row.redirection) files.Put("redirection.config", *row.redirection);
  if (row.backup) files.Put("a.config.bak", *row.backup);
  if (row.backupIsLink) files.Link("a.config.bak");
  files.failing = row.failing;
  files.occurrence = row.occurrence;
  files.error = {row.kind, "the system's words"};
  files.held = row.held;
  files.stuck = row.stuck;
  files.elevated = !row.untrusted.empty();
  files.otherWriter = row.untrusted;
  files.before = [&](Step step, int count) {
    if (step == row.changeAt && count <= row.changes)
      files.Put("a.config", files.files["a.config"].bytes + kY);
  };
  const Outcome outcome = ::Run(files, row.mode, row.path, [](std::string_view) {});
  EXPECT_EQ(static_cast<int>(outcome.status), row.status);
  EXPECT_EQ(RenderTexts(outcome.texts, row.path, outcome.sharedFile),
            row.text.empty() ? "" : kTextStart + row.text);
  EXPECT_EQ(outcome.written, row.written);
  EXPECT_EQ(files.paused, row.paused);
  EXPECT_EQ(outcome.reason.line, row.line);
  EXPECT_EQ(outcome.block, row.block);
  if (!row.reason.empty()) {
    EXPECT_EQ(RenderReason(outcome.reason), row.reason);
  }
  EXPECT_EQ(files.files[row.path].bytes,
            row.fileAfter.value_or(row.changes ? files.files[row.path].bytes : row.file));
  if (row.backup || row.backupAfter) {
    EXPECT_EQ(files.files["a.config.bak"].bytes, row.backupAfter.value_or(row.backup.value_or("")));
  }
  // No temporary file stays but one that could not be removed.
  EXPECT_EQ(files.files.size(), 1u + (row.backup || row.backupAfter || row.backupIsLink) +
                                    row.stuck + row.redirection.has_value());
}

INSTANTIATE_TEST_SUITE_P(Run, RunTest, testing::ValuesIn(kCases), RowName<RunCase>);

// The bytes a transaction's install replaced, kept beside the file.
const std::string kKept = "a.config.rollback";

// An install of a.config in a transaction, which keeps the bytes it replaces.
Outcome Install(MemoryFileSystem& files) {
  return ::Run(
      files, Mode::kInstall, "a.config", [](std::string_view) {}, true);
}

// A transaction's steps: its install keeps the bytes it replaced (an LF file here),
// its rollback puts them back only over what the install wrote, and a run that writes
// nothing leaves no kept bytes, so a rollback never undoes an earlier registration.
TEST(RunUndo, PutsBackOnlyWhatTheTransactionWrote) {
  const std::string kLf = "<configuration><configSections>\n" + kAnchor + "\n";
  MemoryFileSystem files;
  files.Put("a.config", kLf);
  files.Put(kKept, "an unfinished transaction's");
  EXPECT_TRUE(Install(files).written);
  EXPECT_EQ(files.files[kKept].bytes, kLf);
  EXPECT_TRUE(Undo(files, "a.config").written);
  EXPECT_EQ(files.files["a.config"].bytes, kLf);
  EXPECT_EQ(files.files.count(kKept), 0u);
  files.Put("a.config", kNew);
  files.Put(kKept, kConfig);
  EXPECT_FALSE(Install(files).written);
  EXPECT_EQ(files.files.count(kKept), 0u);
  EXPECT_EQ(Undo(files, "a.config").status, Status::kDone);
  // Kept bytes that are the file's already (the install failed before it wrote) are
  // no change to undo.
  files.Put("a.config", kConfig);
  files.Put(kKept, kConfig);
  EXPECT_FALSE(Undo(files, "a.config").written);
  files.Put("a.config", kConfig);
  EXPECT_TRUE(Install(files).written);
  // Another program's change, as long as the install's.
  files.Put("a.config", kBlock + kConfig);
  EXPECT_FALSE(Undo(files, "a.config").written);
  EXPECT_EQ(files.files["a.config"].bytes, kBlock + kConfig);
  files.Put(kKept, kConfig);
  EXPECT_EQ(Commit(files, "a.config").status, Status::kDone);
  EXPECT_EQ(files.files.count(kKept), 0u);
}

// A rollback whose write fails keeps its copy; elevated, it writes nothing in a folder
// that another account may change; and it gives a file that another program changes
// three rounds.
TEST(RunUndo, KeepsItsCopyWhereItCannotPutItBack) {
  MemoryFileSystem failing;
  failing.Put("a.config", kNew);
  failing.Put(kKept, kConfig);
  failing.failing = Step::kPlace;
  failing.occurrence = 1;
  EXPECT_EQ(Undo(failing, "a.config").status, Status::kFailed);
  EXPECT_EQ(failing.files[kKept].bytes, kConfig);
  failing.failing = Step::kRemove;  // the kept copy, after an install that writes nothing
  EXPECT_EQ(Install(failing).status, Status::kFailed);
  failing.elevated = true;
  failing.otherWriter = "user 65534";
  EXPECT_EQ(Undo(failing, "a.config").status, Status::kRefused);
  EXPECT_EQ(failing.files["a.config"].bytes, kNew);
  failing.elevated = false;
  int rounds = 0;
  failing.before = [&](Step step, int) {
    if (step != Step::kFinish) return;
    ++rounds;
    failing.Put("a.config", kNew);
  };
  EXPECT_EQ(Undo(failing, "a.config").status, Status::kInUse);
  EXPECT_EQ(rounds, 3);
}

}  // namespace
