#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "script/rewrite.h"

// The operating-system calls of the update; one implementation per platform.

enum class Lookup { kFound, kMissing, kFailed };

// What is at `path`, links followed: an entry (kFound), nothing there (kMissing:
// POSIX ENOENT, Windows ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND, a link to
// nothing included), or what the system cannot tell (kFailed: a folder that may
// not be searched, a loop of links, a file used as a folder, an invalid name).
Lookup LookUp(const std::string& path);

// The path that names the file at `path` as the system resolves it; every file
// operation of a run uses it. POSIX: `path`. Windows: the full path, without the
// trailing dots and spaces Windows drops from a name, and the Sysnative alias of
// 32-bit processes read as System32.
std::string ResolvePath(const std::string& path);

// Whether `folder` names the folder that holds the file at `path`, both resolved
// and compared as the system compares names (Windows: in any case).
bool IsFolderOf(const std::string& folder, const std::string& path);

// Where the last name of `path` starts: after its last folder separator (Windows:
// also after a drive's colon), or 0.
size_t FileNameStart(const std::string& path);

// The system's own words (strerror; FormatMessage, in English where the system has
// it) for why the last call of this layer that failed did, or empty when it failed
// for no system error (a file cut short while it was read, say).
std::string SystemError();

// Sizes are 32-bit signed counts: larger files are refused as unreadable.
constexpr long long kMaxFileSize = 0x7FFFFFFF;

// What identified the file when it was read (device and inode or volume and
// index, size, times), the file's rights, and how to reach them; per platform.
struct FileState;

// One read of a file: the bytes that are rewritten, compared and written.
struct Snapshot {
  std::string path;    // as given
  std::string target;  // the file that `path` finally names, links followed
  std::string_view text;
  std::shared_ptr<char[]> storage;
  std::shared_ptr<FileState> state;
};

// Reads the regular file at `path` whole into memory. False when it cannot be
// opened, is not a regular file (a folder, a FIFO, a device), cannot be sized or
// read, or is larger than kMaxFileSize; it never waits for a writer, but on
// Windows a file held open without read sharing is retried for about a second.
bool ReadSnapshot(const std::string& path, Snapshot& snapshot);

// Whether the caller may replace the file read: POSIX, write permission for the
// effective user; Windows, no read-only attribute, and the system lets the caller
// open the file for writing its data (another program holding it is no refusal).
bool MayWrite(const Snapshot& snapshot);

// Whether the caller may create a file in the folder of `path`, asked of the
// system without creating one: POSIX, write and search permission for the
// effective user; Windows, the folder opened for adding a file.
bool MayCreateBeside(const std::string& path);

enum class WriteResult { kWritten, kFailed, kChanged };

// Writes `pieces` to a temporary file created exclusively beside `path`, gives it
// the owner, rights and attributes of the file read (as far as the caller may),
// flushes and closes it. If the file at `read.path` is no longer what was read,
// removes it and returns kChanged; otherwise publishes it at `path` with one
// rename and flushes the folder. With `replace` false an entry already at `path`
// is kept and the call still succeeds. kFailed leaves `path` as it was, but for
// a failure to flush the folder, which comes after the rename.
WriteResult WriteWholeFile(const std::string& path, const std::vector<Piece>& pieces,
                           const Snapshot& read, bool replace);

// From here on an interrupt (SIGINT, SIGTERM, SIGHUP; Ctrl+C, Ctrl+Break, a
// closed console) removes the temporary file before the process ends, and a
// write past the file size limit or to a closed pipe fails instead of ending it.
void RemoveTemporaryFileOnInterrupt();
