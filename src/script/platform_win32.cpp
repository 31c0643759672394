#include <windows.h>
// After windows.h:
#include <aclapi.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "script/platform.h"

struct FileState {
  BY_HANDLE_FILE_INFORMATION info = {};
  FILE_BASIC_INFO times = {};               // for ChangeTime
  PSECURITY_DESCRIPTOR security = nullptr;  // owner, group and DACL; null when unreadable
  ~FileState() { LocalFree(security); }
};

namespace {

// The temporary file being written, for the console control handler (which runs
// on a thread of its own) to remove.
char g_tempPath[32768 + 64];
volatile LONG g_tempExists = 0;

BOOL WINAPI RemoveTempOnInterrupt(DWORD) {
  // The file is open with FILE_SHARE_DELETE: it goes when the process ends.
  if (g_tempExists) DeleteFileA(g_tempPath);
  return FALSE;  // the default handler then ends the process
}

// Writes both spans whole, continuing short writes.
bool WriteBoth(HANDLE file, std::string_view first, std::string_view second) {
  for (std::string_view span : {first, second}) {
    while (!span.empty()) {
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(span.size(), 1u << 30));
      DWORD written = 0;
      if (!WriteFile(file, span.data(), chunk, &written, nullptr) || written == 0) return false;
      span.remove_prefix(written);
    }
  }
  return true;
}

bool Identify(HANDLE file, FileState& state) {
  return GetFileInformationByHandle(file, &state.info) &&
         GetFileInformationByHandleEx(file, FileBasicInfo, &state.times, sizeof state.times);
}

bool SameFile(const FileState& a, const FileState& b) {
  return a.info.dwVolumeSerialNumber == b.info.dwVolumeSerialNumber &&
         a.info.nFileIndexHigh == b.info.nFileIndexHigh &&
         a.info.nFileIndexLow == b.info.nFileIndexLow &&
         a.info.nFileSizeHigh == b.info.nFileSizeHigh &&
         a.info.nFileSizeLow == b.info.nFileSizeLow &&
         CompareFileTime(&a.info.ftLastWriteTime, &b.info.ftLastWriteTime) == 0 &&
         a.times.ChangeTime.QuadPart == b.times.ChangeTime.QuadPart;
}

// Whether the file at `path` is still the one read, unchanged.
bool Unchanged(const std::string& path, const FileState& read) {
  const HANDLE file = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  FileState now;
  const bool same = Identify(file, now) && SameFile(now, read);
  CloseHandle(file);
  return same;
}

// Lets the process give a file any owner, when its token holds the privilege.
bool EnableRestorePrivilege() {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return false;
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  // AdjustTokenPrivileges succeeds with ERROR_NOT_ALL_ASSIGNED when the token lacks it.
  const bool enabled =
      LookupPrivilegeValueA(nullptr, "SeRestorePrivilege", &privileges.Privileges[0].Luid) &&
      AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
      GetLastError() == ERROR_SUCCESS;
  CloseHandle(token);
  return enabled;
}

// Gives `file` the DACL of the file read, with its protection from inheritance,
// and, with `owners`, its owner and group. A file must never come out more
// readable than it went in, so a DACL that cannot be read or applied fails.
bool TakeOverSecurity(HANDLE file, const FileState& read, bool owners) {
  if (!read.security) return false;
  BOOL present, defaulted;
  PACL dacl;
  PSID owner, group;
  SECURITY_DESCRIPTOR_CONTROL control;
  DWORD revision;
  if (!GetSecurityDescriptorDacl(read.security, &present, &dacl, &defaulted) ||
      !GetSecurityDescriptorOwner(read.security, &owner, &defaulted) ||
      !GetSecurityDescriptorGroup(read.security, &group, &defaulted) ||
      !GetSecurityDescriptorControl(read.security, &control, &revision))
    return false;
  SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION;
  what |= control & SE_DACL_PROTECTED ? PROTECTED_DACL_SECURITY_INFORMATION
                                      : UNPROTECTED_DACL_SECURITY_INFORMATION;
  if (owners) what |= OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION;
  return SetSecurityInfo(file, SE_FILE_OBJECT, what, owner, group, present ? dacl : nullptr,
                         nullptr) == ERROR_SUCCESS;
}

// Creates a new file beside `path` that no other process has open, recorded in
// g_tempPath.
HANDLE CreateTemporaryFile(const std::string& path, bool owners) {
  const DWORD access = GENERIC_WRITE | WRITE_DAC | (owners ? WRITE_OWNER : 0);
  // With the restore privilege, backup semantics grant the right to set the owner.
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | (owners ? FILE_FLAG_BACKUP_SEMANTICS : 0);
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const std::string temp =
        path + "." + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(attempt) + ".tmp";
    if (temp.size() >= sizeof g_tempPath) break;
    std::memcpy(g_tempPath, temp.c_str(), temp.size() + 1);
    const HANDLE file =
        CreateFileA(temp.c_str(), access, FILE_SHARE_DELETE, nullptr, CREATE_NEW, flags, nullptr);
    g_tempExists = file != INVALID_HANDLE_VALUE;
    // A name left behind by an earlier, killed run is skipped.
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return file;
  }
  return INVALID_HANDLE_VALUE;
}

// The web server, a virus scanner or a backup agent may hold the file for a
// moment: `attempt` is tried for about a second while it fails with
// ERROR_SHARING_VIOLATION or `alsoHeld`.
template <typename Attempt>
bool WhileHeld(DWORD alsoHeld, const Attempt& attempt) {
  for (int round = 0; round < 10; ++round) {
    if (round > 0) Sleep(100);
    if (attempt()) return true;
    const DWORD error = GetLastError();
    if (error != alsoHeld && error != ERROR_SHARING_VIOLATION) return false;
  }
  return false;
}

bool Publish(const std::string& temp, const std::string& path, bool replace) {
  if (!replace) {
    // Without MOVEFILE_REPLACE_EXISTING an entry already at `path` is kept.
    if (MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH)) return true;
    const DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return false;
    DeleteFileA(temp.c_str());
    return true;
  }
  // A file held open without delete sharing refuses its replace as access denied.
  return WhileHeld(ERROR_ACCESS_DENIED, [&] {
    return MoveFileExA(temp.c_str(), path.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  });
}

}  // namespace

Lookup LookUp(const std::string& path) {
  // Opened without access, which no share mode refuses, and through any link.
  const HANDLE file =
      CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file != INVALID_HANDLE_VALUE) return CloseHandle(file), Lookup::kFound;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Lookup::kMissing
                                                                        : Lookup::kFailed;
}

// Read, not mapped: a file with a mapped view cannot be replaced.
bool ReadSnapshot(const std::string& path, Snapshot& snapshot) {
  // Others may hold the file open for reading or writing, as the web server does.
  HANDLE file = INVALID_HANDLE_VALUE;
  if (!WhileHeld(ERROR_SHARING_VIOLATION, [&] {
        file = CreateFileA(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        return file != INVALID_HANDLE_VALUE;
      }))
    return false;
  const auto state = std::make_shared<FileState>();
  LARGE_INTEGER size;
  bool ok = GetFileType(file) == FILE_TYPE_DISK && Identify(file, *state) &&
            GetFileSizeEx(file, &size) && size.QuadPart <= kMaxFileSize;
  if (GetSecurityInfo(
          file, SE_FILE_OBJECT,
          OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
          nullptr, nullptr, nullptr, nullptr, &state->security) != ERROR_SUCCESS)
    state->security = nullptr;
  // A link is followed: the file it finally names is the one replaced.
  char target[32768];
  const DWORD targetSize = GetFinalPathNameByHandleA(file, target, sizeof target, 0);
  snapshot.target = targetSize > 0 && targetSize < sizeof target ? target : path;
  std::shared_ptr<char[]> storage(ok ? new char[size.QuadPart] : nullptr);
  DWORD filled = 0;
  while (ok && filled < size.QuadPart) {
    DWORD count = 0;
    ok = ReadFile(file, storage.get() + filled, size.QuadPart - filled, &count, nullptr) &&
         count > 0;
    filled += count;
  }
  CloseHandle(file);
  if (!ok) return false;
  snapshot.path = path;
  snapshot.text = std::string_view(storage.get(), filled);
  snapshot.storage = std::move(storage);
  snapshot.state = state;
  return true;
}

bool MayWrite(const Snapshot& snapshot) {
  return !(snapshot.state->info.dwFileAttributes & FILE_ATTRIBUTE_READONLY);
}

WriteResult WriteWholeFile(const std::string& path, const std::vector<Piece>& pieces,
                           const Snapshot& read, bool replace) {
  static const bool owners = EnableRestorePrivilege();
  const DWORD kept = read.state->info.dwFileAttributes &
                     (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
  const HANDLE file = CreateTemporaryFile(path, owners);
  if (file == INVALID_HANDLE_VALUE) return WriteResult::kFailed;
  // Whatever ends the write before the publish, a failure or an exception
  // (memory exhausted) included, removes the temporary file; opened with
  // FILE_SHARE_DELETE, it goes at once or when the process ends.
  struct Discard {
    ~Discard() {
      if (g_tempExists) DeleteFileA(g_tempPath);
      g_tempExists = 0;
    }
  } discard;
  const std::string temp = g_tempPath;
  const auto write = [file](std::string_view a, std::string_view b) {
    return WriteBoth(file, a, b);
  };
  // The old file's rights before the first byte: until then it holds nothing, and
  // its share mode lets no other process open it for reading meanwhile.
  bool ok = TakeOverSecurity(file, *read.state, owners) && StreamPieces(pieces, write) &&
            FlushFileBuffers(file);
  ok = CloseHandle(file) && ok;
  ok = ok && SetFileAttributesA(temp.c_str(), kept ? kept : FILE_ATTRIBUTE_NORMAL);
  const bool changed = ok && !Unchanged(read.path, *read.state);
  const bool published = ok && !changed && Publish(temp, path, replace);
  if (published) g_tempExists = 0;
  return published ? WriteResult::kWritten : changed ? WriteResult::kChanged : WriteResult::kFailed;
}

void RemoveTemporaryFileOnInterrupt() { SetConsoleCtrlHandler(RemoveTempOnInterrupt, TRUE); }
