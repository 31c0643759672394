#pragma once

// What the Windows files of the platform layer share: the file system's class, the
// file's state, the folder, the temporary file, the error of a failed call, and
// names as the system takes them.

#include <windows.h>
// After windows.h:
#include <aclapi.h>
#include <restartmanager.h>
#include <winternl.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "config/file_system.h"
#include "config/platform.h"
#include "config/text_win32.h"
#include "config/texts.h"

// A 32-bit process on 64-bit Windows is redirected from System32 to SysWOW64, and
// its Sysnative is the real System32: ResolvePath reads Sysnative as a 64-bit process does.
#ifndef _WIN64
#error "QuellmarkInstaller is a 64-bit program: build it for x86_64."
#endif

namespace win32 {

// A handle, closed when it goes.
class UniqueHandle {
 public:
  explicit UniqueHandle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  UniqueHandle(UniqueHandle&& other)
      : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}
  UniqueHandle& operator=(UniqueHandle&& other) {
    std::swap(handle_, other.handle_);
    return *this;
  }
  ~UniqueHandle() {
    if (*this) CloseHandle(handle_);
  }
  HANDLE get() const { return handle_; }
  // Gives the handle up, unclosed.
  HANDLE release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }
  explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }

 private:
  HANDLE handle_;
};

}  // namespace win32

struct Win32State final : FileState {
  BY_HANDLE_FILE_INFORMATION info = {};
  FILE_ID_INFO id = {};        // the identity that GetFileInformationByHandleEx gives
  FILE_BASIC_INFO times = {};  // for ChangeTime
  // Owner, group, DACL, label, and where the system has them scope and resource
  // attributes, all that READ_CONTROL reads; null when unreadable.
  PSECURITY_DESCRIPTOR security = nullptr;
  DWORD securityError = ERROR_SUCCESS;  // why it could not be read
  ~Win32State() override { LocalFree(security); }
};

struct Win32Folder final : FolderHandle {
  win32::UniqueHandle handle;
  FILE_ID_INFO id = {};
};

struct Win32Temp final : TempFile {
  win32::UniqueHandle handle;
  HANDLE folder = INVALID_HANDLE_VALUE;  // the pinned folder's, not owned
  FILE_ID_INFO folderId = {};            // the pinned folder's identity
  std::wstring folderName;               // its full name, verbatim, where it is on a share
  std::wstring name;                     // in that folder
  std::string shown;                     // its full name, for messages
  // Deletes the file unless it was placed (a placed file's handle is gone): whether
  // it is gone.
  bool Remove();
  ~Win32Temp() override { Remove(); }
};

inline const Win32State& State(const Snapshot& read) {
  return static_cast<const Win32State&>(*read.state);
}
inline HANDLE HandleOf(const Folder& folder) {
  return static_cast<const Win32Folder&>(*folder.handle).handle.get();
}
inline Win32Temp& Temp(TempFile& temp) { return static_cast<Win32Temp&>(temp); }

class Win32FileSystem final : public FileSystem {
 public:
  std::string Resolve(const std::string& path) override;
  Fault OpenFolderOf(const std::string& path, Folder& folder) override;
  Fault EntryIn(const Folder& folder, const std::string& name, Entry& entry) override;
  Fault Read(const Folder& folder, const std::string& name, Snapshot& snapshot) override;
  bool IsUnchanged(const Snapshot& read) override;
  bool IsSameFolder(const std::string& shared, const Folder& folder) override;
  bool IsElevated() override;
  std::string OtherWriter(const Folder& folder) override;
  std::string OtherWriter(const Snapshot& read) override;
  Fault MayWrite(const Snapshot& read) override;
  Fault MayReplaceNow(const Snapshot& read) override;
  Fault MayCreateIn(const Folder& folder) override;
  Fault Remove(const Folder& folder, const std::string& name) override;
  Fault CreateTemporary(const Folder& folder, const std::string& name, const Snapshot& read,
                        TempFilePtr& temp) override;
  Fault TakeOverIdentity(TempFile& temp, const Snapshot& read) override;
  Fault Write(TempFile& temp, std::string_view first, std::string_view second) override;
  Fault Finish(TempFile& temp, const Snapshot& read) override;
  Fault Place(TempFile& temp, const std::string& name, bool replace, Placed& placed) override;
  std::string Discard(TempFilePtr temp) override;
  void Pause(int milliseconds) override { Sleep(milliseconds); }
  Fault FlushFolder(const Folder& folder) override;
};

namespace win32 {

// The console control handler that RemoveTemporaryFilesOnInterrupt installs: marks
// the temporary file being written for deletion, and stops any later creation or
// rename.
BOOL WINAPI RemoveTempOnInterrupt(DWORD event);

// Whether the process's token is elevated, or the system's; where it cannot be
// read, taken for elevated, which trusts less.
bool IsElevatedToken();

// Opens the folder that holds the file `path` names, one name at a time (see
// FileSystem::OpenFolderOf), trusting links only as `elevated` allows.
Fault ChaseFolderOf(const std::string& path, bool elevated, Folder& folder);

// An account other than the trusted ones that may change the folder open as
// `folder` (see FileSystem::OtherWriter); empty where none may, and on a share,
// where an elevated run has no more rights than its account's.
std::string OtherWriterOfFolder(HANDLE folder);

// The error a system code stands for: its kind, and the system's words for it
// (FormatMessage, in English where the system has it; this layer's own codes in
// words of its own); no words for 0, a file cut short.
Error ErrorOf(DWORD code);

// Failures that have no system error of their own, as codes with bit 29 set, which
// Windows leaves to programs; ErrorOf words them.
constexpr DWORD kStreamName = 0x20000002;
constexpr DWORD kUnknownLinkTarget = 0x20000003;
constexpr DWORD kOtherRights = 0x20000004;
constexpr DWORD kMoved = 0x20000005;         // the folder's entry is not the file opened
constexpr DWORD kServerRights = 0x20000007;  // a share's host did not keep the access list
constexpr DWORD kLinkInFolder = 0x20000006;  // a link where a file was, never followed
// Redirection Guard refused a junction made by an account other than the administrators.
constexpr DWORD kUntrustedMountPoint = 448;  // ERROR_UNTRUSTED_MOUNT_POINT

// The system error code for the NTSTATUS `status`: RtlNtStatusToDosError, but for a
// file being deleted while another program still holds it (STATUS_DELETE_PENDING),
// which it words "access denied", and which is a file in use.
DWORD ErrorOfStatus(NTSTATUS status);

// `value`, with `error` as the last error: how a call of this layer fails.
template <typename Value>
Value Failing(DWORD error, Value value) {
  SetLastError(error);
  return value;
}

// Whether the system's error `error` says that nothing is there.
inline bool IsMissing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// `path` without the \\?\ prefix, where a drive or a share follows it.
std::wstring Unprefixed(std::wstring path);

// `path` as every call of this layer names it: verbatim, with the prefix \\?\ (for a
// share \\?\UNC\) before its full path, so that no length limit and no further
// resolution applies; a path typed with the prefix as it is.
std::wstring SystemPath(const std::string& path);

// The folder that holds `path` (or `path` itself, a folder, with `itself`), opened
// for `access` with backup semantics, as a folder may only be opened.
HANDLE OpenFolder(const std::string& path, bool itself, DWORD access);

// `name` in the folder `root`, relative to its handle (NtCreateFile's RootDirectory),
// opened or created as `disposition` (FILE_OPEN, FILE_CREATE) says, synchronous, with
// `options` and, for a new file, `security`. A link there is never followed: an
// entry that is one (a name-surrogate reparse point) is refused (kLinkInFolder); an
// entry that another reparse point stands for (a cloud file's placeholder, a
// deduplicated file) is opened as the file itself, and must be that entry. An entry
// is opened with FILE_READ_ATTRIBUTES too, to tell. An empty `name` opens `root`
// again. The system's error is the last error on failure.
HANDLE OpenIn(HANDLE root, const std::wstring& name, ACCESS_MASK access, ULONG share = kShareAll,
              ULONG disposition = FILE_OPEN, ULONG options = 0,
              PSECURITY_DESCRIPTOR security = nullptr);

// The identity of `file`: volume serial number and 128-bit file ID (FILE_ID_INFO),
// or where the system has no such class, the volume serial and 64-bit file index.
bool IdentityOf(HANDLE file, FILE_ID_INFO& id);
bool SameId(const FILE_ID_INFO& a, const FILE_ID_INFO& b);

// The path `file` finally has, links followed, with its \\?\ prefix; empty when
// the system cannot tell.
std::wstring FinalPath(HANDLE file);

// Whether `name`, a full path, is on another host: a share's name (\\host\share),
// or a drive that the system calls remote.
bool IsRemote(std::wstring name);

// An account other than the trusted ones that `security` (owner and DACL) lets add,
// delete or rename entries, write, or change its rights; empty where none may.
std::string OtherWriterIn(PSECURITY_DESCRIPTOR security);

// Reads `what` of the security of `file` into `security`, with the label, and the
// scope and resource attributes where the system has them (Windows 8 and later);
// where a server refuses the label (a NAS), `what` alone. READ_CONTROL reads all of
// them, the SACL takes ACCESS_SYSTEM_SECURITY.
DWORD ReadSecurity(HANDLE file, SECURITY_INFORMATION what, PSECURITY_DESCRIPTOR& security);

// Enables the privilege `name` while it lives, where the token holds it, and puts
// it back as it was after: SeRestorePrivilege, for giving a file any owner and for
// creating a file in a folder whose access list refuses it (with backup semantics);
// SeSecurityPrivilege, for reading and setting audit entries. The last error is kept.
class Privilege {
 public:
  explicit Privilege(const wchar_t* name);
  ~Privilege();
  Privilege(const Privilege&) = delete;
  Privilege& operator=(const Privilege&) = delete;
  explicit operator bool() const { return enabled_; }

 private:
  UniqueHandle token_;
  TOKEN_PRIVILEGES before_ = {};
  bool enabled_ = false;
};

// The security a new file beside the file read is created with: the file read's
// owner and group, DACL and SACL (its audit entries where the caller may read them).
class NewFileSecurity {
 public:
  NewFileSecurity() = default;
  NewFileSecurity(const NewFileSecurity&) = delete;  // its attributes point into it
  NewFileSecurity& operator=(const NewFileSecurity&) = delete;
  // The system's error code where the file read's security was not read, else 0.
  DWORD Describe(const Snapshot& read, bool audits);
  // For the new file, with the owner and group or without them.
  PSECURITY_DESCRIPTOR Descriptor(bool owners);
  // Whether the SACL holds audit entries, which take ACCESS_SYSTEM_SECURITY to verify.
  bool Audits() const { return sacl_ && audit_; }
  // Whether `file` has the DACL and SACL it was described with, read back: where the
  // DACL may inherit, the system puts the folder's inheritable entries as they are
  // now in place of the inherited ones given, which may grant more.
  bool IsOn(HANDLE file) const;

 private:
  SECURITY_DESCRIPTOR descriptor_;
  PSID owner_ = nullptr, group_ = nullptr;
  PACL dacl_ = nullptr, sacl_ = nullptr;
  std::unique_ptr<void, decltype(&LocalFree)> audit_{nullptr, LocalFree};
};

}  // namespace win32
