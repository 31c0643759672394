#pragma once

#include <string>
#include <string_view>
#include <vector>

// The process's own operating-system calls (its arguments, its standard streams);
// one implementation per platform, beside that platform's file system
// (file_system.h). Paths are UTF-8 (Windows: converted to UTF-16 in that layer alone).

// The command line's arguments after the program's name. POSIX: argv; Windows: the
// command line read as UTF-16, so that any name reaches the tool whole.
std::vector<std::string> Arguments(int argc, char** argv);

// Called first thing by the executable, which may run from a folder that others
// may write (an installer's temporary folder): Windows loads DLLs from System32
// alone, and takes Redirection Guard where the system has it (links made by
// accounts other than the administrators are not followed); POSIX, nothing to do.
void HardenProcess();

// Called by the executable before its run, never by a library in another program's
// process (the custom action DLL installs nothing in the installer's): from here on
// an interrupt (SIGINT, SIGTERM, SIGHUP; Ctrl+C, Ctrl+Break, a closed console)
// removes the temporary file being written before the process ends, and a write
// past the file size limit or to a closed pipe fails instead of ending it.
void RemoveTemporaryFilesOnInterrupt();

// Writes `text` whole to standard output, or with `error` to standard error, and
// flushes it. Redirected, its bytes go as they are (Windows: in text mode, each
// "\n" as "\r\n"); on a Windows console as characters, decoded from UTF-8.
void WriteStandard(std::string_view text, bool error = false);

// Whether standard output is a console that shows characters, not bytes (Windows),
// so that the not-found words go in UTF-8 rather than in GBK. POSIX: never; a
// terminal gets the bytes.
bool StandardOutputIsConsole();

// Whether standard output and standard error reach one console, file or pipe
// (POSIX: the same device and inode; Windows: one handle, one console, or handles
// to one object where the system can tell).
bool StandardStreamsMeet();

// Where the last name of `path` starts: after its last folder separator (Windows:
// also after a drive's colon), or 0.
size_t FileNameStart(const std::string& path);
