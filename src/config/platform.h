#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The operating-system calls of the tool; one implementation per platform. Paths
// are UTF-8 (Windows: converted to UTF-16 in that layer alone).

// The command line's arguments after the program's name. POSIX: argv; Windows: the
// command line read as UTF-16, so that any name reaches the tool whole.
std::vector<std::string> Arguments(int argc, char** argv);

// GBK for "configuration file not found", as the fixed output texts have it.
inline constexpr std::string_view kNotFoundWords =
    "\xD5\xD2\xB2\xBB\xB5\xBD\xC5\xE4\xD6\xC3\xCE\xC4\xBC\xFE";

// Writes `text` whole to standard output, or with `error` to standard error, and
// flushes it. Redirected, its bytes go as they are (Windows: in text mode, each
// "\n" as "\r\n"); on a Windows console as characters, the not-found words
// (kNotFoundWords) decoded from GBK and everything else from UTF-8.
void WriteStandard(std::string_view text, bool error = false);

// Whether standard output and standard error reach one console, file or pipe
// (POSIX: the same device and inode; Windows: one handle, one console, or handles
// to one object where the system can tell).
bool StandardStreamsMeet();

enum class Lookup { kFound, kMissing, kFailed };

// What is at `path`, links followed: an entry (kFound), nothing there (kMissing:
// POSIX ENOENT, Windows ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND, a link to
// nothing included), or what the system cannot tell (kFailed: a folder that may
// not be searched, a loop of links, a file used as a folder, an invalid name).
Lookup LookUp(const std::string& path);

// The one name of the file at `path`; every file operation of a run uses it.
// POSIX: `path`. Windows: the full path (separators, "." and "..", trailing dots
// and spaces as Windows resolves them), the long name of what exists (no 8.3
// names), and the Sysnative alias of 32-bit processes read as System32; a path
// typed with the prefix \\?\ as it is, but for that alias.
std::string ResolvePath(const std::string& path);

// Whether `folder` names the folder that holds the file at `path`, by identity
// (POSIX: both resolved by realpath; Windows: volume and file index, so a mapped or
// SUBST drive is its share's folder).
bool IsFolderOf(const std::string& folder, const std::string& path);

// Where the last name of `path` starts: after its last folder separator (Windows:
// also after a drive's colon), or 0.
size_t FileNameStart(const std::string& path);

// The system's own words (strerror; FormatMessage, in English where the system has
// it) for why the last call of this layer that failed did, or empty when it failed
// for no system error (a file cut short while it was read, say).
std::string SystemError();

// What a caller can do about that failure: nothing is there (kMissing), the caller
// may not (kDenied), another program holds the file, worth a retry (kInUse), a name
// or link the tool will not write through (kRefused), or anything else (kOther).
enum class ErrorKind { kMissing, kDenied, kInUse, kRefused, kOther };
ErrorKind SystemErrorKind();

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

// Whether the file at `read.path` is still the one read, unchanged.
bool IsUnchanged(const Snapshot& read);

// Whether the caller may replace the file read: POSIX, write permission for the
// effective user; Windows, no read-only attribute, and the system lets the caller
// open the file for writing its data (another program holding it is no refusal).
bool MayWrite(const Snapshot& snapshot);

// Whether the caller may create a file in the folder of `path`, asked of the
// system without creating one: POSIX, write and search permission for the
// effective user; Windows, the folder opened for adding a file.
bool MayCreateBeside(const std::string& path);

// The steps of a temporary file, which the publish (publish.h) takes in order.
// Each returns false on failure, the system's error kept for SystemError.
struct TempFile;
struct TempFileDiscard {
  void operator()(TempFile* temp) const;  // removes the file unless it was placed
};
using TempFilePtr = std::unique_ptr<TempFile, TempFileDiscard>;

// Creates a new, empty file beside `path` for this run alone (POSIX: mode 0600;
// Windows: shared with no other handle, and created with the security of the file
// read: its DACL, verified once set, owner and group where the caller may give
// them, audit entries where it may read them, label, scope and resource
// attributes), and records it for the interrupt handler. Null on failure, and
// rather than a file with another DACL than the file read's.
TempFilePtr CreateTemporary(const std::string& path, const Snapshot& read);

// Gives the file the identity of the file read, as far as the caller may: POSIX,
// owner (else group), mode, ACL and extended attributes; Windows, nothing left to
// do after the creation. False rather than a file more readable than the file read.
bool TakeOverIdentity(TempFile& temp, const Snapshot& read);

// Writes both spans whole.
bool WriteTemporary(TempFile& temp, std::string_view first, std::string_view second);

// Flushes the file to disk and gives it its last attributes (POSIX: and closes it,
// since a close may report a failed write).
bool FinishTemporary(TempFile& temp, const Snapshot& read);

enum class Placed { kPlaced, kExists, kHeld, kFailed };

// Puts the file at `path` in one rename: replacing what is there with `replace`,
// else kExists when an entry is there. kHeld: another program holds `path` open
// (Windows only, where the system cannot replace a file in use), worth another
// attempt; the system's error then says it is in use.
Placed PlaceTemporary(TempFile& temp, const std::string& path, bool replace);

// Makes a rename in the folder of `path` durable: POSIX, the folder flushed;
// Windows, nothing to do (no call flushes one folder).
bool FlushFolderOf(const std::string& path);

// From here on an interrupt (SIGINT, SIGTERM, SIGHUP; Ctrl+C, Ctrl+Break, a
// closed console) removes the temporary file before the process ends, and a
// write past the file size limit or to a closed pipe fails instead of ending it.
void RemoveTemporaryFileOnInterrupt();
