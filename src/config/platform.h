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

// Called first thing by the executable, which may run from a folder that others
// may write (an installer's temporary folder): Windows loads DLLs from System32
// alone, and takes Redirection Guard where the system has it (links made by
// accounts other than the administrators are not followed); POSIX, nothing to do.
void HardenProcess();

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

// The one name of the file at `path`, as the system takes it. POSIX: `path`.
// Windows: the full path (separators, "." and "..", trailing dots and spaces as
// Windows resolves them), the long name of what exists (no 8.3 names), and the
// Sysnative alias of 32-bit processes read as System32; a path typed with the
// prefix \\?\ as it is, but for that alias.
std::string ResolvePath(const std::string& path);

// The folder that holds the configuration file, opened once. Every later step
// works on it and on bare names in it, never on a path looked up again, so that
// nobody who may rename a folder on the way can lead a step elsewhere.
struct FolderHandle;  // per platform: a descriptor, or a handle
struct Folder {
  std::string path;  // the folder's full name when it was opened, for messages
  std::string file;  // the configuration file's name in it
  std::shared_ptr<FolderHandle> handle;
};

// Opens the folder that holds the file at `path` (a link at `path` followed, once)
// and pins it: its entry of the file's name must be the file that `path` opened
// (device and inode; volume serial and file ID), else kFailed with the system's
// error saying that the file moved. kMissing where nothing is at `path` (a link to
// nothing included): `folder` is then the one that `path` names, without a handle
// where it is missing too. kFailed where `path` cannot be looked up (a folder that
// may not be searched, a loop of links, a file used as a folder, an invalid name).
Lookup OpenFolderOf(const std::string& path, Folder& folder);

// What `name` in `folder` is, a link not followed.
enum class Entry { kMissing, kFile, kOther, kFailed };
Entry EntryIn(const Folder& folder, const std::string& name);

// Whether `shared`, a folder named by a redirection.config, is `folder`: by
// identity where `shared` is on this machine, by name alone where it names
// another host (\\host\share), which is never contacted.
bool IsSameFolder(const std::string& shared, const Folder& folder);

// Whether this run has more rights than the account that started it may give
// away: POSIX, the effective user is root or not the real user; Windows, an
// elevated token or the system account.
bool IsElevated();

// An account other than the trusted ones that may add, delete or rename entries
// in `folder`, write it or change its rights; empty where there is none. Trusted:
// the caller and POSIX root (a group-writable folder of group 0 included);
// Windows the system, the administrators, TrustedInstaller, Local Service, Network
// Service, service SIDs and application pool identities.
std::string OtherWriter(const Folder& folder);
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

// One read of a file in a folder: the bytes that are rewritten, compared and written.
struct Snapshot {
  const Folder* folder = nullptr;
  std::string name;  // its entry in the folder
  std::string_view text;
  std::shared_ptr<char[]> storage;
  std::shared_ptr<FileState> state;
};

// Reads the regular file `name` in `folder` whole into memory, a link there not
// followed. False when it cannot be opened, is not a regular file (a folder, a
// FIFO, a device, a link), cannot be sized or read, or is larger than
// kMaxFileSize; it never waits for a writer, but on Windows a file held open
// without read sharing is retried for about a second.
bool ReadSnapshot(const Folder& folder, const std::string& name, Snapshot& snapshot);

// Whether the entry of the file read in its folder is still the file read, unchanged.
bool IsUnchanged(const Snapshot& read);

// An account other than the trusted ones (see OtherWriter) that may write the
// file read or change its rights; empty where there is none.
std::string OtherWriter(const Snapshot& read);

// Whether the caller may replace the file read: POSIX, write permission for the
// effective user; Windows, no read-only attribute, and the system lets the caller
// open the file for writing its data (another program holding it is no refusal).
bool MayWrite(const Snapshot& snapshot);

// Whether the caller may create a file in `folder`, asked of the system without
// creating one: POSIX, write and search permission for the effective user;
// Windows, the folder opened for adding a file.
bool MayCreateIn(const Folder& folder);

// The steps of a temporary file, which the publish (publish.h) takes in order.
// Each returns false on failure, the system's error kept for SystemError.
struct TempFile;
struct TempFileDiscard {
  void operator()(TempFile* temp) const;  // removes the file unless it was placed
};
using TempFilePtr = std::unique_ptr<TempFile, TempFileDiscard>;

// Creates a new, empty file in `folder`, named after `name`, for this run alone
// (POSIX: mode 0600, a random name created exclusively; Windows: shared with no
// other handle, and created with the security of the file read: its DACL,
// verified once set, owner and group where the caller may give them, audit
// entries where it may read them, label, scope and resource attributes), and
// records it for the interrupt handler. Null on failure, and rather than a file
// with another DACL than the file read's.
TempFilePtr CreateTemporary(const Folder& folder, const std::string& name, const Snapshot& read);

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

// Puts the file at `name` in its folder in one rename: replacing what is there
// with `replace`, else kExists when an entry is there. kHeld: another program
// holds that file open (Windows only, where the system cannot replace a file in
// use), worth another attempt; the system's error then says it is in use.
Placed PlaceTemporary(TempFile& temp, const std::string& name, bool replace);

// Makes a rename in `folder` durable: POSIX, the folder flushed; Windows, nothing
// to do (no call flushes one folder).
bool FlushFolder(const Folder& folder);

// From here on an interrupt (SIGINT, SIGTERM, SIGHUP; Ctrl+C, Ctrl+Break, a
// closed console) removes the temporary file before the process ends, and a
// write past the file size limit or to a closed pipe fails instead of ending it.
void RemoveTemporaryFileOnInterrupt();
