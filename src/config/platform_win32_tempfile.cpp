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

BOOL WINAPI RemoveTempOnInterrupt(DWORD) {
  AcquireSRWLockExclusive(&g_tempLock);
  g_interrupted = true;
  if (g_tempHandle != INVALID_HANDLE_VALUE) Dispose(g_tempHandle);
  ReleaseSRWLockExclusive(&g_tempLock);
  return FALSE;  // the default handler then ends the process, which closes the handle
}

// Writes both spans whole, continuing short writes.
bool WriteBoth(HANDLE file, std::string_view first, std::string_view second) {
  for (std::string_view span : {first, second}) {
    while (!span.empty()) {
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(span.size(), 1u << 30));
      DWORD written = 0;
      if (!WriteFile(file, span.data(), chunk, &written, nullptr)) return false;
      // Success with nothing written would loop for ever.
      if (written == 0) return SetLastError(ERROR_WRITE_FAULT), false;
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
  if (result < 0) SetLastError(RtlNtStatusToDosError(result));
  return result >= 0;
}

// Whether a replace of `name` in `folder` refused as access denied was refused for
// another program's handle on it, not for the caller's rights: the caller may open
// it for deletion, or is refused only by that program's sharing.
bool IsHeld(HANDLE folder, const std::wstring& name) {
  const HANDLE file = OpenIn(folder, name, DELETE);
  if (file != INVALID_HANDLE_VALUE) return CloseHandle(file), true;
  return GetLastError() == ERROR_SHARING_VIOLATION;
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
    if (!g_interrupted)
      g_tempHandle = temp.handle =
          OpenIn(temp.folder, temp.name, access, 0, FILE_CREATE, options, security);
    error = g_interrupted ? ERROR_OPERATION_ABORTED : GetLastError();
    ReleaseSRWLockExclusive(&g_tempLock);
    if (temp.handle != INVALID_HANDLE_VALUE ||
        (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS))
      break;
  }
  return error;
}

}  // namespace

bool Win32Temp::Remove() {
  AcquireSRWLockExclusive(&g_tempLock);
  const bool open = handle != INVALID_HANDLE_VALUE, disposed = open && Dispose(handle);
  if (open) CloseHandle(handle), handle = INVALID_HANDLE_VALUE;
  g_tempHandle = INVALID_HANDLE_VALUE;
  ReleaseSRWLockExclusive(&g_tempLock);
  if (!open || disposed) return true;
  // Where the system refuses the disposal, through a handle of its own.
  const HANDLE again = OpenIn(folder, name, DELETE);
  const bool deleted = again != INVALID_HANDLE_VALUE && Dispose(again);
  if (again != INVALID_HANDLE_VALUE) CloseHandle(again);
  return deleted;
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
  DWORD error = ERROR_SUCCESS;
  for (const bool owners : {true, false}) {
    if (owners && !restore) continue;
    error = CreateNamed(*temp, name, access, security.Descriptor(owners), options);
    if (temp->handle != INVALID_HANDLE_VALUE ||
        (error != ERROR_INVALID_OWNER && error != ERROR_ACCESS_DENIED &&
         error != ERROR_PRIVILEGE_NOT_HELD))
      break;
  }
  if (temp->handle == INVALID_HANDLE_VALUE) return ErrorOf(error);
  temp->shown = folder.path + Utf8(temp->name);
  if (!security.IsOn(temp->handle)) return ErrorOf(kOtherRights);
  made = std::move(temp);
  return {};
}

// The creation gave the file all of it, and verified it.
Fault Win32FileSystem::TakeOverIdentity(TempFile&, const Snapshot&) { return {}; }

Fault Win32FileSystem::Write(TempFile& temp, std::string_view first, std::string_view second) {
  if (!WriteBoth(Temp(temp).handle, first, second)) return ErrorOf(GetLastError());
  return {};
}

Fault Win32FileSystem::Finish(TempFile& temp, const Snapshot& read) {
  FILE_BASIC_INFO basic = {};  // times of 0 are left as they are
  basic.FileAttributes = State(read).info.dwFileAttributes &
                         (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
  if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  const HANDLE file = Temp(temp).handle;
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
Fault Win32FileSystem::Place(TempFile& file, const std::string& entry, bool replace,
                             Placed& placed) {
  Win32Temp& temp = Temp(file);
  constexpr int kRenameInformation = 10, kRenameInformationEx = 65;
  const std::wstring name = Utf16(entry);
  const size_t size = sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t);
  const std::unique_ptr<char[]> buffer(new char[size]());
  FILE_RENAME_INFO& rename = *reinterpret_cast<FILE_RENAME_INFO*>(buffer.get());
  // The bare name in the pinned folder, never a path looked up again.
  rename.RootDirectory = temp.folder;
  rename.FileNameLength = name.size() * sizeof(wchar_t);
  std::memcpy(rename.FileName, name.c_str(), rename.FileNameLength);
  bool renamed = false;
  DWORD error = ERROR_OPERATION_ABORTED;
  AcquireSRWLockExclusive(&g_tempLock);
  if (!g_interrupted) {
    rename.Flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
    renamed = replace && Rename(temp.handle, rename, size, kRenameInformationEx);
    error = GetLastError();
    if (!renamed && (!replace || error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
                     error == ERROR_INVALID_FUNCTION)) {
      rename.Flags = 0;
      rename.ReplaceIfExists = replace;
      renamed = Rename(temp.handle, rename, size, kRenameInformation);
      error = GetLastError();
    }
  }
  if (renamed) CloseHandle(temp.handle), g_tempHandle = temp.handle = INVALID_HANDLE_VALUE;
  ReleaseSRWLockExclusive(&g_tempLock);
  placed = renamed ? Placed::kPlaced : Placed::kExists;
  if (renamed || (!replace && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)))
    return {};
  placed = Placed::kHeld;
  if ((error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) &&
      IsHeld(temp.folder, name))
    return {};
  return ErrorOf(error);
}

// A rename within a volume is a change of its metadata, which NTFS journals. Windows
// documents a flushed move only for one done as a copy and a delete (MoveFileExW's
// MOVEFILE_WRITE_THROUGH), and no call that flushes one folder.
Fault Win32FileSystem::FlushFolder(const Folder&) { return {}; }

void Win32FileSystem::RemoveTemporaryFileOnInterrupt() {
  SetConsoleCtrlHandler(RemoveTempOnInterrupt, TRUE);
}
