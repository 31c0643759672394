#include <windows.h>
// After windows.h:
#include <aclapi.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "script/platform.h"

struct FileState {
  BY_HANDLE_FILE_INFORMATION info = {};
  FILE_BASIC_INFO times = {};               // for ChangeTime
  PSECURITY_DESCRIPTOR security = nullptr;  // owner, group and DACL; null when unreadable
  DWORD securityError = ERROR_SUCCESS;      // why it could not be read
  PSECURITY_DESCRIPTOR audit = nullptr;  // SACL and label; null when the caller may not read them
  ~FileState() { LocalFree(security), LocalFree(audit); }
};

namespace {

DWORD g_error = 0;  // see SystemError

// Returns `result`, keeping `error` as the reason of the failure it stands for.
template <typename Result>
Result Failed(Result result, DWORD error = GetLastError()) {
  g_error = error;
  return result;
}

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

// Enables the privilege `name` (SeRestorePrivilege: giving a file any owner;
// SeSecurityPrivilege: reading and setting its audit entries), when the token holds it.
bool EnablePrivilege(const char* name) {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return false;
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  // AdjustTokenPrivileges succeeds with ERROR_NOT_ALL_ASSIGNED when the token lacks it.
  const bool enabled = LookupPrivilegeValueA(nullptr, name, &privileges.Privileges[0].Luid) &&
                       AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
                       GetLastError() == ERROR_SUCCESS;
  CloseHandle(token);
  return enabled;
}

// The path `file` finally has, links followed; empty when the system cannot tell.
std::string FinalPath(HANDLE file) {
  std::string path(32768, '\0');
  const DWORD size = GetFinalPathNameByHandleA(file, path.data(), path.size(), 0);
  path.resize(size < path.size() ? size : 0);
  return path;
}

// The folder part of `path`, with its last backslash.
std::string FolderOf(const std::string& path) {
  return path.substr(0, path.find_last_of('\\') + 1);
}

// Gives `file` the DACL of the file read, with its protection from inheritance;
// with `owners`, its owner and group; and its SACL (audit entries, and with
// `owners` the integrity label) where they were read. In another folder than the
// file read, inherited entries would come from that folder instead: there the
// DACL's entries are all made explicit, and the DACL protected. A file must never
// come out more readable than it went in, so a DACL that cannot be read or
// applied fails.
bool TakeOverSecurity(HANDLE file, const FileState& read, bool owners, bool elsewhere) {
  if (!read.security) return SetLastError(read.securityError), false;
  BOOL present, saclPresent = FALSE, defaulted;
  PACL dacl, sacl = nullptr;
  PSID owner, group;
  SECURITY_DESCRIPTOR_CONTROL control, auditControl = 0;
  DWORD revision;
  if (!GetSecurityDescriptorDacl(read.security, &present, &dacl, &defaulted) ||
      !GetSecurityDescriptorOwner(read.security, &owner, &defaulted) ||
      !GetSecurityDescriptorGroup(read.security, &group, &defaulted) ||
      !GetSecurityDescriptorControl(read.security, &control, &revision) ||
      (read.audit && (!GetSecurityDescriptorSacl(read.audit, &saclPresent, &sacl, &defaulted) ||
                      !GetSecurityDescriptorControl(read.audit, &auditControl, &revision))))
    return false;
  std::unique_ptr<char[]> copy;
  if (elsewhere && present && dacl) {
    copy.reset(new char[dacl->AclSize]);
    std::memcpy(copy.get(), dacl, dacl->AclSize);
    dacl = reinterpret_cast<PACL>(copy.get());
    ACE_HEADER* ace;
    for (DWORD i = 0; i < dacl->AceCount; ++i)
      if (GetAce(dacl, i, reinterpret_cast<void**>(&ace))) ace->AceFlags &= ~INHERITED_ACE;
    control |= SE_DACL_PROTECTED;
  }
  SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION;
  what |= control & SE_DACL_PROTECTED ? PROTECTED_DACL_SECURITY_INFORMATION
                                      : UNPROTECTED_DACL_SECURITY_INFORMATION;
  if (owners) what |= OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION;
  // Setting a label takes WRITE_OWNER, which the file is opened with only with `owners`.
  if (read.audit)
    what |= SACL_SECURITY_INFORMATION | (owners ? LABEL_SECURITY_INFORMATION : 0) |
            (auditControl & SE_SACL_PROTECTED ? PROTECTED_SACL_SECURITY_INFORMATION
                                              : UNPROTECTED_SACL_SECURITY_INFORMATION);
  const DWORD error = SetSecurityInfo(file, SE_FILE_OBJECT, what, owner, group,
                                      present ? dacl : nullptr, saclPresent ? sacl : nullptr);
  SetLastError(error);
  return error == ERROR_SUCCESS;
}

// Creates a new file beside `path` that no other process has open, recorded in
// g_tempPath.
HANDLE CreateTemporaryFile(const std::string& path, bool owners, bool audit) {
  const DWORD access =
      GENERIC_WRITE | WRITE_DAC | (owners ? WRITE_OWNER : 0) | (audit ? ACCESS_SYSTEM_SECURITY : 0);
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

// Puts the temporary file `temp` in place at `path`, while the file read is
// unchanged, retrying while another program holds either file. Without `replace`
// an entry already at `path` is kept, and the call still succeeds.
WriteResult Publish(const std::string& temp, const std::string& path, const Snapshot& read,
                    bool replace) {
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  bool changed = false;
  // A file held open without delete sharing refuses its replace as access denied.
  const bool moved = WhileHeld(ERROR_ACCESS_DENIED, [&] {
    // Before every attempt: the program that held the file may have written it.
    changed = !Unchanged(read.path, *read.state);
    if (changed) SetLastError(ERROR_SUCCESS);  // not to be retried
    return !changed && MoveFileExA(temp.c_str(), path.c_str(), flags);
  });
  if (moved) {
    g_tempExists = 0;
    return WriteResult::kWritten;
  }
  if (changed) return WriteResult::kChanged;
  const DWORD error = GetLastError();
  if (!replace && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS))
    return WriteResult::kWritten;
  return Failed(WriteResult::kFailed, error);
}

}  // namespace

std::string ResolvePath(const std::string& path) {
  // A 32-bit installer names the 64-bit System32 by this alias, which only 32-bit
  // processes see; this tool is 64-bit.
  char windows[MAX_PATH];
  const UINT size = GetSystemWindowsDirectoryA(windows, sizeof windows);
  const std::string folder(windows, size < sizeof windows ? size : 0);
  const std::string alias = folder + "\\Sysnative\\";
  std::string named = path;
  if (!folder.empty() && EqualsIgnoringCase(std::string_view(path).substr(0, alias.size()), alias))
    named = folder + "\\System32\\" + path.substr(alias.size());
  // As Windows resolves it: trailing dots and spaces dropped from the name.
  std::string full(GetFullPathNameA(named.c_str(), 0, nullptr, nullptr), '\0');
  const DWORD length = GetFullPathNameA(named.c_str(), full.size(), full.data(), nullptr);
  if (full.empty() || length != full.size() - 1) return named;
  full.resize(length);
  return full;
}

size_t FileNameStart(const std::string& path) { return path.find_last_of("\\/:") + 1; }

bool IsFolderOf(const std::string& folder, const std::string& path) {
  std::string named = ResolvePath(folder);
  named.erase(named.find_last_not_of("\\/") + 1);
  return EqualsIgnoringCase(named + "\\", FolderOf(ResolvePath(path)));
}

std::string SystemError() {
  if (g_error == 0) return "";
  char* text = nullptr;
  const DWORD flags =
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER;
  for (DWORD language : {DWORD{MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)}, DWORD{0}})
    if (FormatMessageA(flags, nullptr, g_error, language, reinterpret_cast<char*>(&text), 0,
                       nullptr))
      break;
  std::string words = text ? text : "error " + std::to_string(g_error);
  LocalFree(text);
  // The system ends its words with a line end.
  words.erase(words.find_last_not_of(" \r\n") + 1);
  return words;
}

Lookup LookUp(const std::string& path) {
  // Opened without access, which no share mode refuses, and through any link.
  const HANDLE file =
      CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file != INVALID_HANDLE_VALUE) return CloseHandle(file), Lookup::kFound;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Lookup::kMissing
                                                                        : Failed(Lookup::kFailed);
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
    return Failed(false);
  const auto state = std::make_shared<FileState>();
  LARGE_INTEGER size;
  bool ok = (Identify(file, *state) && GetFileSizeEx(file, &size)) || Failed(false);
  if (ok && GetFileType(file) != FILE_TYPE_DISK) ok = Failed(false, ERROR_INVALID_FUNCTION);
  if (ok && size.QuadPart > kMaxFileSize) ok = Failed(false, ERROR_FILE_TOO_LARGE);
  state->securityError = GetSecurityInfo(
      file, SE_FILE_OBJECT,
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
      nullptr, nullptr, nullptr, &state->security);
  if (state->securityError != ERROR_SUCCESS) state->security = nullptr;
  // A link is followed: the file it finally names is the one replaced.
  snapshot.target = FinalPath(file);
  if (snapshot.target.empty()) snapshot.target = path;
  // Audit entries and the label, where the caller may read them, and so set them.
  static const bool audits = EnablePrivilege("SeSecurityPrivilege");
  const HANDLE auditable =
      audits ? ReOpenFile(file, READ_CONTROL | ACCESS_SYSTEM_SECURITY,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0)
             : INVALID_HANDLE_VALUE;
  if (auditable != INVALID_HANDLE_VALUE) {
    if (GetSecurityInfo(auditable, SE_FILE_OBJECT,
                        SACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION, nullptr, nullptr,
                        nullptr, nullptr, &state->audit) != ERROR_SUCCESS)
      state->audit = nullptr;
    CloseHandle(auditable);
  }
  std::shared_ptr<char[]> storage(ok ? new char[size.QuadPart] : nullptr);
  DWORD filled = 0;
  while (ok && filled < size.QuadPart) {
    DWORD count = 0;
    // A file cut short while it is read is reported as unreadable.
    const bool read =
        ReadFile(file, storage.get() + filled, size.QuadPart - filled, &count, nullptr);
    if (!read || count == 0) ok = Failed(false, read ? 0 : GetLastError());
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
  // As Windows does; Wine run as root would open a read-only file for writing.
  if (snapshot.state->info.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
    return Failed(false, ERROR_ACCESS_DENIED);
  // Asked of the system, which weighs the access list and the read-only attribute;
  // without backup semantics, which would pass over a deny entry.
  const HANDLE file = CreateFileA(snapshot.target.c_str(), FILE_WRITE_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) return CloseHandle(file), true;
  // Another program holding the file is no denial.
  return GetLastError() == ERROR_SHARING_VIOLATION || Failed(false);
}

bool MayCreateBeside(const std::string& path) {
  // A folder is opened only with backup semantics; FILE_ADD_FILE creates nothing.
  const HANDLE folder = CreateFileA(FolderOf(ResolvePath(path)).c_str(), FILE_ADD_FILE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return Failed(false);
  return CloseHandle(folder), true;
}

WriteResult WriteWholeFile(const std::string& path, const std::vector<Piece>& pieces,
                           const Snapshot& read, bool replace) {
  static const bool privileged = EnablePrivilege("SeRestorePrivilege");
  const DWORD kept = read.state->info.dwFileAttributes &
                     (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
  const bool audit = read.state->audit != nullptr;
  bool owners = privileged;
  HANDLE file = CreateTemporaryFile(path, owners, audit);
  // A share's usual "Change" permission grants no WRITE_OWNER, and the restore
  // privilege does not travel over the network: there the owner is not copied,
  // as for a caller that is not elevated.
  if (file == INVALID_HANDLE_VALUE && owners && GetLastError() == ERROR_ACCESS_DENIED)
    file = CreateTemporaryFile(path, owners = false, audit);
  if (file == INVALID_HANDLE_VALUE) return Failed(WriteResult::kFailed);
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
  // Beside a link to the file, the backup is in another folder than the file.
  const std::string where = FinalPath(file);
  const bool elsewhere =
      where.empty() || !EqualsIgnoringCase(FolderOf(where), FolderOf(read.target));
  bool ok = TakeOverSecurity(file, *read.state, owners, elsewhere);
  // An owner the share or the remote server refuses is not copied either.
  if (!ok && owners) ok = TakeOverSecurity(file, *read.state, owners = false, elsewhere);
  ok = (ok && StreamPieces(pieces, write) && FlushFileBuffers(file)) || Failed(false);
  if (!CloseHandle(file) && ok) ok = Failed(false);
  if (ok && !SetFileAttributesA(temp.c_str(), kept ? kept : FILE_ATTRIBUTE_NORMAL))
    ok = Failed(false);
  return ok ? Publish(temp, path, read, replace) : WriteResult::kFailed;
}

void RemoveTemporaryFileOnInterrupt() { SetConsoleCtrlHandler(RemoveTempOnInterrupt, TRUE); }
