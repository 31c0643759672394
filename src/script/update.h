#pragma once

#include <string>

// Rebuilds the configuration file at `path` with a fresh section block, keeping
// the first backup ever made at MakeBackupPath(path). Prints the progress line.
// Raises ScriptFailure with g_errorMessage's text when the file cannot be read,
// has no anchor line or an unterminated block, or when the backup or the new
// text cannot be written; the file then holds its old bytes.
void UpdateStartupScript(const char* path);

// `path` + ".bak".
std::string MakeBackupPath(const std::string& path);
