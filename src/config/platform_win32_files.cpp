// The file read and looked at again on Windows: lookups, the snapshot, the tests an
// install makes before it writes, and the last error's words.
#include <memory>

#include "config/platform_win32.h"

namespace win32 {
thread_local DWORD g_error = 0;
}  // namespace win32

using namespace win32;

namespace {

bool Identify(HANDLE file, FileState& state) {
  return GetFileInformationByHandle(file, &state.info) &&
         GetFileInformationByHandleEx(file, FileBasicInfo, &state.times, sizeof state.times);
}

bool SameFile(const FileState& a, const FileState& b) {
  return SameIndex(a.info, b.info) && a.info.nFileSizeHigh == b.info.nFileSizeHigh &&
         a.info.nFileSizeLow == b.info.nFileSizeLow &&
         CompareFileTime(&a.info.ftLastWriteTime, &b.info.ftLastWriteTime) == 0 &&
         a.times.ChangeTime.QuadPart == b.times.ChangeTime.QuadPart;
}

}  // namespace

std::string SystemError() {
  switch (g_error) {
    case 0:
      return "";
    case kInUse:
      return "in use by another program";
    case kStreamName:
      return "names a stream of a file (after its ':'), not a file";
    case kUnknownLinkTarget:
      return "a link whose target the system does not tell, which is never replaced by a file";
    case kOtherRights:
      return "the new file would not get the file's access list (its inherited entries are not "
             "what its folder gives now); nothing was replaced";
  }
  wchar_t* text = nullptr;
  const DWORD flags =
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER;
  for (DWORD language : {DWORD{MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)}, DWORD{0}})
    if (FormatMessageW(flags, nullptr, g_error, language, reinterpret_cast<wchar_t*>(&text), 0,
                       nullptr))
      break;
  std::string words = text ? Utf8(text) : "error " + std::to_string(g_error);
  LocalFree(text);
  // The system ends its words with a line end.
  words.erase(words.find_last_not_of(" \r\n") + 1);
  return words;
}

ErrorKind SystemErrorKind() {
  switch (g_error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ErrorKind::kMissing;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
    case ERROR_INVALID_OWNER:
    case ERROR_WRITE_PROTECT:
    case ERROR_NETWORK_ACCESS_DENIED:
      return ErrorKind::kDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case kInUse:
      return ErrorKind::kInUse;
    case kStreamName:
    case kUnknownLinkTarget:
    case kOtherRights:
      return ErrorKind::kRefused;
    default:
      return ErrorKind::kOther;
  }
}

Lookup LookUp(const std::string& path) {
  // Opened without access, which no share mode refuses, and through any link.
  const HANDLE file = Open(path, 0, kShareAll, FILE_FLAG_BACKUP_SEMANTICS);
  if (file != INVALID_HANDLE_VALUE) return CloseHandle(file), Lookup::kFound;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Lookup::kMissing
                                                                        : Failed(Lookup::kFailed);
}

namespace {

// The web server, a virus scanner or a backup agent may hold a file for a moment:
// the open is tried for about a second while it fails with ERROR_SHARING_VIOLATION.
// Others may hold the file open for reading or writing, as the web server does.
HANDLE OpenToRead(const std::string& path) {
  HANDLE file = Open(path, GENERIC_READ);
  for (int round = 1; file == INVALID_HANDLE_VALUE && round < 10; ++round) {
    if (GetLastError() != ERROR_SHARING_VIOLATION) break;
    Sleep(100), file = Open(path, GENERIC_READ);
  }
  if (file != INVALID_HANDLE_VALUE) return file;
  // A folder opened as a file is refused as access denied, which it is not.
  const DWORD error = GetLastError(), attributes = GetFileAttributesW(SystemPath(path).c_str());
  const bool folder = attributes != INVALID_FILE_ATTRIBUTES &&
                      (attributes & FILE_ATTRIBUTE_DIRECTORY) && error == ERROR_ACCESS_DENIED;
  return Failed(INVALID_HANDLE_VALUE, folder ? ERROR_DIRECTORY : error);
}

// The file that `path`, open as `file` whose identity is `info`, finally names: a
// link is followed, so that the file it names is the one replaced. A link whose
// target cannot be named would be replaced by a file: empty, and refused. The name
// is taken only where it opens the same file (Wine drops a verbatim name's
// trailing dot).
std::string TargetOf(HANDLE file, const std::string& path, const BY_HANDLE_FILE_INFORMATION& info) {
  const std::string target = FinalPath(file);
  if (IsNameOf(target, info)) return target;
  const DWORD attributes = GetFileAttributesW(SystemPath(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return Failed(std::string(), kUnknownLinkTarget);
  return path;
}

// Reads `size` bytes of `file` into `storage`; a file cut short while it is read is
// reported as unreadable, for no system error.
bool ReadWhole(HANDLE file, DWORD size, char* storage) {
  for (DWORD filled = 0, count = 0; filled < size; filled += count) {
    const bool read = ReadFile(file, storage + filled, size - filled, &count, nullptr);
    if (!read || count == 0) return Failed(false, read ? 0 : GetLastError());
  }
  return true;
}

}  // namespace

// Read, not mapped: a file with a mapped view cannot be replaced.
bool ReadSnapshot(const std::string& path, Snapshot& snapshot) {
  const HANDLE file = OpenToRead(path);
  if (file == INVALID_HANDLE_VALUE) return false;
  const auto state = std::make_shared<FileState>();
  LARGE_INTEGER size;
  bool ok = (Identify(file, *state) && GetFileSizeEx(file, &size)) || Failed(false);
  if (ok && GetFileType(file) != FILE_TYPE_DISK) ok = Failed(false, ERROR_INVALID_FUNCTION);
  if (ok && size.QuadPart > kMaxFileSize) ok = Failed(false, ERROR_FILE_TOO_LARGE);
  state->securityError = ReadSecurity(
      file, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
      state->security);
  if (ok) snapshot.target = TargetOf(file, path, state->info);
  std::shared_ptr<char[]> storage(ok && !snapshot.target.empty() ? new char[size.QuadPart]
                                                                 : nullptr);
  ok = storage && ReadWhole(file, size.QuadPart, storage.get());
  CloseHandle(file);
  if (!ok) return false;
  snapshot.path = path;
  snapshot.text = std::string_view(storage.get(), size.QuadPart);
  snapshot.storage = std::move(storage);
  snapshot.state = state;
  return true;
}

// Another program may keep the file open with delete sharing and write it after the
// tool read it, without any of this changing until its handle closes (NTFS updates
// the times then): such a write is not seen.
bool IsUnchanged(const Snapshot& read) {
  const HANDLE file = Open(read.path, FILE_READ_ATTRIBUTES);
  if (file == INVALID_HANDLE_VALUE) return false;
  FileState now;
  const bool same = Identify(file, now) && SameFile(now, *read.state);
  CloseHandle(file);
  return same;
}

bool MayWrite(const Snapshot& snapshot) {
  // As Windows does; Wine run as root would open a read-only file for writing.
  if (snapshot.state->info.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
    return Failed(false, ERROR_ACCESS_DENIED);
  // Asked of the system, which weighs the access list and the read-only attribute;
  // without backup semantics, which would pass over a deny entry.
  const HANDLE file = Open(snapshot.target, FILE_WRITE_DATA);
  if (file != INVALID_HANDLE_VALUE) return CloseHandle(file), true;
  // Another program holding the file is no denial.
  return GetLastError() == ERROR_SHARING_VIOLATION || Failed(false);
}

bool MayCreateBeside(const std::string& path) {
  // As the temporary file is created: with the restore privilege where the token
  // holds it. FILE_ADD_FILE creates nothing.
  const Privilege restore(L"SeRestorePrivilege");
  const HANDLE file = OpenFolder(path, false, FILE_ADD_FILE);
  if (file == INVALID_HANDLE_VALUE) return Failed(false);
  return CloseHandle(file), true;
}
