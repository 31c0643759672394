#pragma once

// The tool's one job on the configuration file at a path: install, uninstall or check.
//
// Calling sequence: Run(files, mode, path, report), on the file system `files`, hands
// its progress line to `report`, then
//   1. looks at the redirection.config beside an applicationHost.config: install
//      and check stop where the web server reads a shared file instead;
//   2. reads the file whole, and judges the text read without further I/O (Judge,
//      then Decide): the new text, or a refusal;
//   3. makes the install's tests before it writes (the caller may replace the file
//      and create the backup and the temporary file): check stops here, with
//      Status::kWouldChange when an install would change the file;
//   4. publishes the backup (only where none exists), then the new text, each by
//      one rename; starts again at 2 when another program changed the file in
//      between, three times at most.
//
// A run that keeps the text read on purpose succeeds, and says why: an install or
// check that finds the section declared by hand where the block would go adopts it
// (Status::kDone, "Section is already declared", the line on standard error); an
// uninstall that finds the module's settings keeps the block (Status::kKept) and
// tells an earlier declaration by hand that it leaves.
//
// Error handling: Run returns its outcome. Unless it is Status::kDone, the file
// holds its old bytes (but for a folder that could not be flushed after the
// rename). The outcome's reason says what failed and why, and what to do about it:
// the file and the system's words, or PATH, the line of the file that a refusal is
// about, and what is wrong there; on any status, it names each temporary file that
// could not be removed. Memory running out throws std::bad_alloc, with
// the file whole and no temporary file left.

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/file_system.h"
#include "config/judge.h"

struct Outcome {
  Outcome(Status status = Status::kDone, std::vector<Text> texts = {}, Reason reason = Reason())
      : status(status), texts(std::move(texts)), reason(std::move(reason)) {}
  Status status;
  // For standard output after the progress line (RenderTexts): the fixed texts, and
  // with Status::kShared the file the web server reads instead.
  std::vector<Text> texts;
  std::string sharedFile;
  Reason reason;                        // for standard error (RenderReason)
  bool written = false;                 // the file was replaced
  std::string backup;                   // the backup's full name, where one is there
  bool backupMade = false;              // this run made it
  KeptFor keptFor = KeptFor::kNothing;  // what a run that kept the text read as it is says about it
  // The first block in the text read: its begin and end marker lines (0 where none).
  std::pair<size_t, size_t> block = {0, 0};
};

// Receives each text a run prints on standard output before its outcome's: the
// progress line, and what an uninstall tells on its way.
using Reporter = std::function<void(std::string_view text)>;

// With `keepsUndo` (a transaction's step), a run that replaces the file first keeps
// the bytes it read at RollbackPath beside it, replacing what is there, and a run
// that does not replace it removes anything there: the kept bytes are always this
// run's, for Undo.
Outcome Run(FileSystem& files, Mode mode, const std::string& path, const Reporter& report,
            bool keepsUndo = false);

// A transaction's rollback: where the file at `path` holds what an install or an
// uninstall makes of the bytes kept at RollbackPath, puts those bytes back (written
// is set), and removes them. A file changed since is left as it is, its reason says
// so, and the kept bytes are removed; with nothing kept, nothing to do. Fails as a
// run does, the kept bytes left for another attempt.
Outcome Undo(FileSystem& files, const std::string& path);

// A transaction's commit: removes the bytes kept at RollbackPath.
Outcome Commit(FileSystem& files, const std::string& path);

// `path` + ".bak".
std::string BackupPath(const std::string& path);
// `path` + ".rollback".
std::string RollbackPath(const std::string& path);
