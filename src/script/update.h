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
// not be flushed after the rename). Status 1 for a failure or refusal, 3 for check's
// "an install would change the file", 4 for "not here: the web server reads a
// shared configuration". The failure's reason says what failed and why: the file
// and the system's words, or PATH, the line of the file that a refusal is about,
// and what is wrong there.

// Rebuilds the configuration file at `path` with a fresh section block, keeping
// the first backup ever made at MakeBackupPath(path).
void UpdateStartupScript(const char* path);

// Removes every section block from the file at `path`, keeping the first backup
// as the install does. A missing file has nothing to remove: reported, no failure.
// A shared configuration is reported, and the removal goes on.
void RemoveSection(const char* path);

// Writes nothing: gives up where an install would, with status 3 where an install
// would succeed and change the file.
void CheckStartupScript(const char* path);

// `path` + ".bak".
std::string MakeBackupPath(const std::string& path);
