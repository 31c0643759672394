#pragma once

#include <string>

// Each prints its progress line, then raises ScriptFailure with g_errorMessage's
// text (status 1) when the file cannot be read, has no anchor line (install and
// check) or an unterminated block, may not be written, or when the backup or
// the new text cannot be written; the file then holds its old bytes. A file that
// another program keeps changing is given up after three rounds. Install and check
// also give up, writing nothing, on a file the web server does not read (shared
// configuration) and on a declaration of the section made elsewhere. When a system
// call failed, ScriptFailure's reason says on what and why.

// Rebuilds the configuration file at `path` with a fresh section block, keeping
// the first backup ever made at MakeBackupPath(path).
void UpdateStartupScript(const char* path);

// Removes every section block from the file at `path`, keeping the first backup
// as the install does. A missing file has nothing to remove: reported, no failure.
void RemoveSection(const char* path);

// Writes nothing. Raises ScriptFailure with status 3 when an install would change
// the file.
void CheckStartupScript(const char* path);

// `path` + ".bak".
std::string MakeBackupPath(const std::string& path);
