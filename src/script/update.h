#pragma once

#include <string>

// The three runs of the tool on the configuration file at `path`.
//
// Calling sequence: each prints its progress line, then
//   1. looks at the redirection.config beside an applicationHost.config: install
//      and check give up where the web server reads a shared file instead;
//   2. reads the file whole, and judges the text read, without further I/O: the
//      new text, or a refusal;
//   3. makes the install's tests before it writes (the caller may replace the
//      file and create the backup and the temporary file; the new text is under
//      the size limit): check stops here, with status 3 when an install would
//      change the file;
//   4. publishes the backup (only where none exists), then the new text, each by
//      one rename; starts again at 2 when another program changed the file in
//      between, three times at most.
//
// Error handling: each raises ScriptFailure once, with g_errorMessage's text,
// when it gives up; the file then holds its old bytes (but for a folder that could
// not be flushed after the rename). Its status is a Status. The failure's reason
// says what failed and why, and what to do about it: the file and the system's
// words, or PATH, the line of the file that a refusal is about, and what is wrong
// there.

// The exit statuses, one per kind of failure that a caller can act on; the same
// for install, uninstall and check.
enum class Status {
  kDone = 0,     // done, or nothing to do
  kRefused = 1,  // the file's text is one the tool will not edit
  kArgumentError = 2,
  kWouldChange = 3,  // check: an install would change the file
  kShared = 4,       // the web server reads a shared configuration instead
  kNotFound = 5,     // nothing at PATH (install and check)
  kDenied = 6,       // the caller may not read or replace the file, or create files beside it
  kInUse = 7,        // another program holds the file, or changed it each time: retry later
  kFailed = 8,       // any other system failure
};

// Rebuilds the configuration file at `path` with a fresh section block, keeping
// the first backup ever made at MakeBackupPath(path).
void UpdateStartupScript(const char* path);

// Removes every section block from the file at `path`, keeping the first backup
// as the install does. A missing file has nothing to remove: reported, no failure.
// A shared configuration is reported, and the removal goes on.
void RemoveSection(const char* path);

// Writes nothing: gives up where an install would, with its status, and with
// Status::kWouldChange where an install would succeed and change the file.
void CheckStartupScript(const char* path);

// `path` + ".bak".
std::string MakeBackupPath(const std::string& path);
