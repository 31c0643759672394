#pragma once

// The file system a run works on: one interface, implemented by each platform
// (platform_posix.cpp, platform_win32_*.cpp) and, in the tests, in memory.
//
// Calling sequence: Resolve the path; OpenFolderOf the file (the folder is pinned:
// every later call takes it and a bare name, never a path looked up again); Read
// the file; then, to replace a file, CreateTemporary in that folder,
// TakeOverIdentity, Write, Finish, and while IsUnchanged, Place it by one rename,
// then FlushFolder.
//
// Error handling: an operation that fails returns its Error (what a caller can do
// about it, and the system's words, captured at the failing call); one that
// succeeds returns no Error. It never prints. A temporary file that is not placed
// is removed when its TempFilePtr goes; Discard says whether that worked.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

// What a caller can do about a failure: nothing is there (kMissing), the caller may
// not (kDenied), another program holds the file, worth a retry (kInUse), a name or
// link the tool will not write through (kRefused), a link that an elevated run does
// not follow (kUntrusted), or anything else (kOther).
enum class ErrorKind { kMissing, kDenied, kInUse, kRefused, kUntrusted, kOther };

// A failed operation: its kind and the system's own words (strerror; FormatMessage,
// in English where the system has it), empty where it failed for no system error
// (a file cut short while it was read). kUntrusted: the account that may change
// the link's folder, and the link's full name.
struct Error {
  Error(ErrorKind kind = ErrorKind::kOther, std::string message = "", std::string link = "")
      : kind(kind), message(std::move(message)), link(std::move(link)) {}
  ErrorKind kind;
  std::string message;
  std::string link;
};
// An operation's result: no value where it succeeded.
using Fault = std::optional<Error>;

// Sizes are 32-bit signed counts: larger files are refused as unreadable.
constexpr long long kMaxFileSize = 0x7FFFFFFF;

// What each implementation keeps of an open folder, of a file read (its identity,
// size and times, its rights, how to reach them), and of a temporary file (which
// its destructor removes unless it was placed).
struct FolderHandle {
  virtual ~FolderHandle() = default;
};
struct FileState {
  virtual ~FileState() = default;
};
struct TempFile {
  virtual ~TempFile() = default;
};
using TempFilePtr = std::unique_ptr<TempFile>;

// The folder that holds the configuration file, opened once.
struct Folder {
  std::string path;  // the folder's full name when it was opened, ending with its separator
  std::string file;  // the configuration file's name in it
  std::shared_ptr<FolderHandle> handle;  // none where the folder is missing
};

// One read of a file in a folder: the bytes that are rewritten, compared and written.
struct Snapshot {
  const Folder* folder = nullptr;
  std::string name;  // its entry in the folder
  std::string_view text;
  std::shared_ptr<char[]> storage;
  std::shared_ptr<FileState> state;
};

// What a name in a folder is, a link not followed.
enum class Entry { kMissing, kFile, kOther };

enum class Placed { kPlaced, kExists, kHeld };

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // The one name of the file at `path`, as the system takes it. POSIX: `path`.
  // Windows: the full path (separators, "." and "..", trailing dots and spaces as
  // Windows resolves them), the long name of what exists (no 8.3 names), and the
  // Sysnative alias of 32-bit processes read as System32; a path typed with the
  // prefix \\?\ as it is, but for that alias.
  virtual std::string Resolve(const std::string& path) = 0;

  // Opens the folder that holds the file at `path` and pins it, walking `path` one
  // name at a time from the root or the current folder, each name opened in the
  // folder before it without following a link there; a link's target is read and
  // walked the same way, 40 links at most. An elevated run follows a link only in a
  // folder that no account but the trusted ones may change (OtherWriter), else an
  // error of kind kUntrusted, before anything is read. The folder's entry of the
  // file's name must be the file that the walk found (device and inode; volume
  // serial and file ID), else an error of kind kInUse ("moved while it was
  // opened"). Where nothing is at `path` (a link to nothing included), an error of
  // kind kMissing, and `folder` is the one that `path` names, without a handle
  // where it is missing too. Fails where `path` cannot be looked up.
  virtual Fault OpenFolderOf(const std::string& path, Folder& folder) = 0;

  // What `name` in `folder` is, a link not followed.
  virtual Fault EntryIn(const Folder& folder, const std::string& name, Entry& entry) = 0;

  // Reads the regular file `name` in `folder` whole into memory, a link there not
  // followed. Fails when it is not a regular file (a folder, a FIFO, a device, a
  // link: told from its entry, never opened), cannot be opened, sized or read, or is larger than
  // kMaxFileSize; it never waits for a writer, but on Windows a file held open
  // without read sharing is retried for about a second.
  virtual Fault Read(const Folder& folder, const std::string& name, Snapshot& snapshot) = 0;

  // Whether the entry of the file read in its folder is still the file read, unchanged.
  virtual bool IsUnchanged(const Snapshot& read) = 0;

  // Whether `shared`, a folder named by a redirection.config, is `folder`: by
  // identity where `shared` is on this machine, by name alone where it names
  // another host (\\host\share), which is never contacted.
  virtual bool IsSameFolder(const std::string& shared, const Folder& folder) = 0;

  // Whether this run has more rights than the account that started it may give
  // away: POSIX, the effective user is root or not the real user, the effective
  // group not the real one, or any effective capability; Windows, an elevated token
  // or the system account.
  virtual bool IsElevated() = 0;

  // An account other than the trusted ones that may add, delete or rename entries
  // in `folder`, write it or change its rights; or that may write the file read or
  // change its rights. Empty where there is none. Trusted: the caller and POSIX root
  // (a group-writable folder of group 0 included); Windows the system, the
  // administrators, TrustedInstaller, Local Service, Network Service, service SIDs
  // and application pool identities.
  virtual std::string OtherWriter(const Folder& folder) = 0;
  virtual std::string OtherWriter(const Snapshot& read) = 0;

  // Whether the caller may replace the file read: POSIX, write permission for the
  // effective user; Windows, no read-only attribute, and the system lets the caller
  // open the file for writing its data (another program holding it is no refusal).
  virtual Fault MayWrite(const Snapshot& read) = 0;

  // Whether another program holds the file read so that a replace would be refused
  // now: Windows, the file opened for DELETE sharing read, write and delete (a
  // sharing violation there is a holder that shares no delete: kInUse, its words
  // naming the holders where the system tells them); POSIX, nothing holds a rename back.
  virtual Fault MayReplaceNow(const Snapshot& read) = 0;

  // Whether the caller may create a file in `folder`, asked of the system without
  // creating one: POSIX, write and search permission for the effective user;
  // Windows, the folder opened for adding a file.
  virtual Fault MayCreateIn(const Folder& folder) = 0;

  // Creates a new, empty file in `folder`, named after `name`, for this run alone
  // (POSIX: mode 0600, a random name created exclusively; Windows: shared with no
  // other handle, and created with the security of the file read: its DACL,
  // verified once set, owner and group where the caller may give them, audit
  // entries where it may read them, label, scope and resource attributes), and
  // records it for the interrupt handler. Fails rather than give a file another
  // DACL than the file read's.
  virtual Fault CreateTemporary(const Folder& folder, const std::string& name, const Snapshot& read,
                                TempFilePtr& temp) = 0;

  // Gives the file the identity of the file read, as far as the caller may: POSIX,
  // owner (else group), mode, ACL and extended attributes; Windows, nothing left to
  // do after the creation. Fails rather than leave a file more readable than the
  // file read.
  virtual Fault TakeOverIdentity(TempFile& temp, const Snapshot& read) = 0;

  // Writes both spans whole.
  virtual Fault Write(TempFile& temp, std::string_view first, std::string_view second) = 0;

  // Flushes the file to disk and gives it its last attributes (POSIX: and closes it,
  // since a close may report a failed write).
  virtual Fault Finish(TempFile& temp, const Snapshot& read) = 0;

  // Puts the file at `name` in its folder in one rename: replacing what is there
  // with `replace`, else kExists when an entry is there. kHeld: another program
  // holds that file open (Windows only, where the system cannot replace a file in
  // use), worth another attempt.
  virtual Fault Place(TempFile& temp, const std::string& name, bool replace, Placed& placed) = 0;

  // Removes a temporary file that was not placed, now: its full name when that
  // failed and the file is left behind, else empty.
  virtual std::string Discard(TempFilePtr temp) = 0;

  // Removes the file `name` in `folder`, a link there not followed; nothing there is
  // no failure.
  virtual Fault Remove(const Folder& folder, const std::string& name) = 0;

  // Waits `milliseconds` before another attempt at a file another program holds.
  virtual void Pause(int milliseconds) = 0;

  // Makes a rename in `folder` durable: POSIX, the folder flushed; Windows, nothing
  // to do (no call flushes one folder).
  virtual Fault FlushFolder(const Folder& folder) = 0;
};

// The platform's own file system.
std::unique_ptr<FileSystem> NewSystemFileSystem();
