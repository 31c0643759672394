// The temporary file on Windows: created with its security, written, renamed into
// place through its handle, and disposed of on failure or interrupt.
#include <cstring>
#include <memory>

#include "config/platform_win32.h"

using namespace win32;

namespace {

// The temporary file being written, for the console control handler (which runs on
// a thread of its own) to delete. One lock orders the handler against the steps
// that create, rename and forget the file: the rename and the forgetting of its
// handle happen in one hold of the lock, so the handler finds either a temporary
// file that was not renamed, which it marks for deletion, or no handle at all, and
// never marks a file that already is the configuration file or the backup. Once
// it ran, `g_interrupted` stops any later creation or rename: a file marked for
// deletion may only be closed (FILE_DISPOSITION_INFORMATION).
SRWLOCK g_tempLock = SRWLOCK_INIT;
HANDLE g_tempHandle = INVALID_HANDLE_VALUE;
bool g_interrupted = false;

// Deletes the file through its handle: no name, no sharing and no access list
// can refuse it. It goes when the handle closes.
bool Dispose(HANDLE file) {
  FILE_DISPOSITION_INFO dispose = {TRUE};
  return SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof dispose);
}

}  // namespace

BOOL WINAPI win32::RemoveTempOnInterrupt(DWORD) {
  AcquireSRWLockExclusive(&g_tempLock);
  g_interrupted = true;
  if (g_tempHandle != INVALID_HANDLE_VALUE) Dispose(g_tempHandle);
  ReleaseSRWLockExclusive(&g_tempLock);
  return FALSE;  // the default handler then ends the process, which closes the handle
}

namespace {

// Writes both spans whole, continuing short writes.
bool WriteBoth(HANDLE file, std::string_view first, std::string_view second) {
  for (std::string_view span : {first, second}) {
    while (!span.empty()) {
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(span.size(), 1u << 30));
      DWORD written = 0;
      if (!WriteFile(file, span.data(), chunk, &written, nullptr)) return false;
      // Success with nothing written would loop for ever.
      if (written == 0) return Failing(ERROR_WRITE_FAULT, false);
      span.remove_prefix(written);
    }
  }
  return true;
}

// Renames `file` as `rename` says, in its RootDirectory, by the system call itself:
// SetFileInformationByHandle takes the name as a path from the current folder
// (Wine's does), where the bare name belongs to RootDirectory. `infoClass`:
// FileRenameInformation (10) or FileRenameInformationEx (65).
bool Rename(HANDLE file, FILE_RENAME_INFO& rename, size_t size, int infoClass) {
  IO_STATUS_BLOCK status;
  const NTSTATUS result = NtSetInformationFile(file, &status, &rename, size,
                                               static_cast<FILE_INFORMATION_CLASS>(infoClass));
  if (result < 0) SetLastError(ErrorOfStatus(result));
  return result >= 0;
}

// Whether a replace of `name` in `folder` refused as access denied was refused for
// another program's handle on it, not for the caller's rights: opened sharing
// nothing, any other handle on its data conflicts.
bool IsHeld(HANDLE folder, const std::wstring& name) {
  const UniqueHandle file(OpenIn(folder, name, DELETE, 0));
  return !file && GetLastError() == ERROR_SHARING_VIOLATION;
}

// Creates `temp` under the first free name after `name` in its folder (a name left
// behind by an earlier, killed run is skipped), and records it for the interrupt
// handler; the system's error when it cannot.
DWORD CreateNamed(Win32Temp& temp, const std::string& name, DWORD access,
                  PSECURITY_DESCRIPTOR security, ULONG options) {
  DWORD error = ERROR_SUCCESS;
  for (unsigned number = 0; number < 100; ++number) {
    temp.name = Utf16(name + "." + std::to_string(GetCurrentProcessId()) + "-" +
                      std::to_string(number) + ".tmp");
    AcquireSRWLockExclusive(&g_tempLock);
    if (!g_interrupted) {
      temp.handle =
          UniqueHandle(OpenIn(temp.folder, temp.name, access, 0, FILE_CREATE, options, security));
      g_tempHandle = temp.handle.get();
    }
    error = g_interrupted ? ERROR_OPERATION_ABORTED : GetLastError();
    ReleaseSRWLockExclusive(&g_tempLock);
    // A name taken, or one whose file is still being deleted (a scanner holds it), is
    // passed over.
    if (temp.handle || (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS &&
                        error != ERROR_DELETE_PENDING))
      break;
  }
  return error;
}

}  // namespace

bool Win32Temp::Remove() {
  AcquireSRWLockExclusive(&g_tempLock);
  const bool open = static_cast<bool>(handle), disposed = open && Dispose(handle.get());
  handle = UniqueHandle();
  g_tempHandle = INVALID_HANDLE_VALUE;
  ReleaseSRWLockExclusive(&g_tempLock);
  if (!open || disposed) return true;
  // Where the system refuses the disposal, through a handle of its own.
  const UniqueHandle again(OpenIn(folder, name, DELETE));
  return again && Dispose(again.get());
}

Fault Win32FileSystem::Remove(const Folder& folder, const std::string& name) {
  const UniqueHandle file(OpenIn(HandleOf(folder), Utf16(name), DELETE));
  if (!file) return IsMissing(GetLastError()) ? Fault() : ErrorOf(GetLastError());
  if (!Dispose(file.get())) return ErrorOf(GetLastError());
  return {};
}

std::string Win32FileSystem::Discard(TempFilePtr temp) {
  Win32Temp& file = Temp(*temp);
  return file.Remove() ? "" : file.shown;
}

// The new file is created with the security it must have, so that no handle opened
// before it is complete carries other rights onto the published file (share modes
// do not stop opens for WRITE_DAC or WRITE_OWNER). It takes DELETE for its own
// rename and disposal and shares nothing, so no other program can hold it open
// against its rename. An owner the system will not give (no restore privilege, a
// share, a remote server that refuses it) is left to be the caller:
// docs/installers.md says what that means.
Fault Win32FileSystem::CreateTemporary(const Folder& folder, const std::string& name,
                                       const Snapshot& read, TempFilePtr& made) {
  const Privilege restore(L"SeRestorePrivilege"), audits(L"SeSecurityPrivilege");
  NewFileSecurity security;
  if (const DWORD error = security.Describe(read, static_cast<bool>(audits))) return ErrorOf(error);
  const DWORD access =
      GENERIC_WRITE | DELETE | READ_CONTROL | (security.Audits() ? ACCESS_SYSTEM_SECURITY : 0);
  // With the restore privilege, backup intent grants what the folder's access list
  // refuses, as in MayCreateIn.
  const ULONG options = FILE_NON_DIRECTORY_FILE | (restore ? FILE_OPEN_FOR_BACKUP_INTENT : 0);
  auto temp = std::make_unique<Win32Temp>();
  temp->folder = HandleOf(folder);
  temp->folderId = static_cast<const Win32Folder&>(*folder.handle).id;
  if (IsRemote(Utf16(folder.path))) {
    temp->folderName = SystemPath(folder.path);
    while (temp->folderName.back() == L'\\') temp->folderName.pop_back();
  }
  DWORD error = ERROR_SUCCESS;
  for (const bool owners : {true, false}) {
    if (owners && !restore) continue;
    error = CreateNamed(*temp, name, access, security.Descriptor(owners), options);
    if (temp->handle || (error != ERROR_INVALID_OWNER && error != ERROR_ACCESS_DENIED &&
                         error != ERROR_PRIVILEGE_NOT_HELD))
      break;
  }
  if (!temp->handle) return ErrorOf(error);
  temp->shown = folder.path + Utf8(temp->name);
  // A server that keeps no access list as given (a NAS that maps it to its own
  // rights) is named as such, not as inheritance gone stale.
  if (!security.IsOn(temp->handle.get()))
    return ErrorOf(IsRemote(Utf16(folder.path)) ? kServerRights : kOtherRights);
  made = std::move(temp);
  return {};
}

// The creation gave the file all of it, and verified it.
Fault Win32FileSystem::TakeOverIdentity(TempFile&, const Snapshot&) { return {}; }

Fault Win32FileSystem::Write(TempFile& temp, std::string_view first, std::string_view second) {
  if (!WriteBoth(Temp(temp).handle.get(), first, second)) return ErrorOf(GetLastError());
  return {};
}

Fault Win32FileSystem::Finish(TempFile& temp, const Snapshot& read) {
  FILE_BASIC_INFO basic = {};  // times of 0 are left as they are
  basic.FileAttributes = State(read).info.dwFileAttributes &
                         (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
  if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  const HANDLE file = Temp(temp).handle.get();
  if (!SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) ||
      !FlushFileBuffers(file))
    return ErrorOf(GetLastError());
  return {};
}

// Renamed through the handle the file was created with, which holds DELETE: its own
// access list cannot refuse it, and no other program holds it. A replace asks first
// for POSIX semantics (FileRenameInformationEx, Windows 10 1607 and later), which replace a
// file that another program holds open, whose handle stays valid (MS-FSCC 2.4.43);
// where the system refuses that class or flag, the plain rename, which any open
// handle on the file refuses as access denied (MS-FSCC 2.4.42).
// The restore privilege, where the token holds it, stays on around the rename, as
// at the creation: the system's own open of the folder for the new entry is then
// refused only where the caller's rights are. Only a real sharing conflict counts
// as held: any other denial is the caller's.
Fault Win32FileSystem::Place(TempFile& file, const std::string& entry, bool replace,
                             Placed& placed) {
  Win32Temp& temp = Temp(file);
  constexpr int kRenameInformation = 10, kRenameInformationEx = 65;
  const std::wstring bare = Utf16(entry);
  // The bare name in the pinned folder, never a path looked up again. On a share,
  // where RootDirectory must be null (MS-FSCC 2.4.42.2), the folder's full name (as
  // the system's own path, \??\UNC\...), once it is found to name the pinned
  // folder still.
  std::wstring name = bare;
  if (!temp.folderName.empty()) {
    const UniqueHandle named(CreateFileW(temp.folderName.c_str(), FILE_READ_ATTRIBUTES, kShareAll,
                                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                         nullptr));
    FILE_ID_INFO id;
    if (!named || !IdentityOf(named.get(), id) || !SameId(id, temp.folderId))
      return ErrorOf(kMoved);
    name = L"\\??\\" + temp.folderName.substr(4) + L"\\" + bare;
  }
  const size_t size = sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t);
  const std::unique_ptr<char[]> buffer(new char[size]());
  FILE_RENAME_INFO& rename = *reinterpret_cast<FILE_RENAME_INFO*>(buffer.get());
  rename.RootDirectory = temp.folderName.empty() ? temp.folder : nullptr;
  rename.FileNameLength = name.size() * sizeof(wchar_t);
  std::memcpy(rename.FileName, name.c_str(), rename.FileNameLength);
  bool renamed = false;
  DWORD error = ERROR_OPERATION_ABORTED;
  const Privilege restore(L"SeRestorePrivilege");
  AcquireSRWLockExclusive(&g_tempLock);
  if (!g_interrupted) {
    rename.Flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
    renamed = replace && Rename(temp.handle.get(), rename, size, kRenameInformationEx);
    error = GetLastError();
    if (!renamed && (!replace || error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
                     error == ERROR_INVALID_FUNCTION)) {
      rename.Flags = 0;
      rename.ReplaceIfExists = replace;
      renamed = Rename(temp.handle.get(), rename, size, kRenameInformation);
      error = GetLastError();
    }
  }
  if (renamed) {
    temp.handle = UniqueHandle();
    g_tempHandle = INVALID_HANDLE_VALUE;
  }
  ReleaseSRWLockExclusive(&g_tempLock);
  placed = renamed ? Placed::kPlaced : Placed::kExists;
  if (renamed || (!replace && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)))
    return {};
  placed = Placed::kHeld;
  if ((error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
       error == ERROR_DELETE_PENDING) &&
      IsHeld(temp.folder, bare))
    return {};
  return ErrorOf(error);
}

// A rename within a volume is a change of its metadata, which NTFS journals. Windows
// documents a flushed move only for one done as a copy and a delete (MoveFileExW's
// MOVEFILE_WRITE_THROUGH), and no call that flushes one folder.
Fault Win32FileSystem::FlushFolder(const Folder&) { return {}; }
