// The file read and looked at again on Windows: lookups, the snapshot, the tests an
// install makes before it writes, and the last error's words.
#include <memory>
#include <vector>

#include "config/platform_win32.h"
#include "config/texts.h"

using namespace win32;

namespace {

bool Identify(HANDLE file, Win32State& state) {
  return GetFileInformationByHandle(file, &state.info) && IdentityOf(file, state.id) &&
         GetFileInformationByHandleEx(file, FileBasicInfo, &state.times, sizeof state.times);
}

bool SameFile(const Win32State& a, const Win32State& b) {
  return SameId(a.id, b.id) && a.info.nFileSizeHigh == b.info.nFileSizeHigh &&
         a.info.nFileSizeLow == b.info.nFileSizeLow &&
         CompareFileTime(&a.info.ftLastWriteTime, &b.info.ftLastWriteTime) == 0 &&
         a.times.ChangeTime.QuadPart == b.times.ChangeTime.QuadPart;
}

}  // namespace

namespace {

std::string MessageOf(DWORD code) {
  switch (code) {
    case 0:
      return "";
    case kStreamName:
      return Explain(Why::kStream);
    case kUnknownLinkTarget:
      return Explain(Why::kUnknownLink);
    case kOtherRights:
      return Explain(Why::kOtherRights);
    case kMoved:
      return Explain(Why::kMoved);
    case kServerRights:
      return Explain(Why::kServerRights);
    case kLinkInFolder:
      return Explain(Why::kLinkInFolder);
    case kUntrustedMountPoint:
      return Explain(Why::kUntrustedJunction);
  }
  wchar_t* text = nullptr;
  const DWORD flags =
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER;
  for (DWORD language : {DWORD{MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)}, DWORD{0}})
    if (FormatMessageW(flags, nullptr, code, language, reinterpret_cast<wchar_t*>(&text), 0,
                       nullptr))
      break;
  std::string message = text ? Utf8(text) : "error " + std::to_string(code);
  LocalFree(text);
  // The system ends its words with a line end.
  message.erase(message.find_last_not_of(" \r\n") + 1);
  return message;
}

ErrorKind KindOf(DWORD code) {
  switch (code) {
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
    case ERROR_DELETE_PENDING:
    case kMoved:
      return ErrorKind::kInUse;
    case kStreamName:
    case kUnknownLinkTarget:
    case kOtherRights:
    case kServerRights:
    case kLinkInFolder:
    case kUntrustedMountPoint:
      return ErrorKind::kRefused;
    default:
      return ErrorKind::kOther;
  }
}

}  // namespace

namespace win32 {

Error ErrorOf(DWORD code) { return {KindOf(code), code ? MessageOf(code) : ""}; }

}  // namespace win32

std::unique_ptr<FileSystem> NewSystemFileSystem() { return std::make_unique<Win32FileSystem>(); }

Fault Win32FileSystem::OpenFolderOf(const std::string& path, Folder& folder) {
  return ChaseFolderOf(path, IsElevated(), folder);
}

Fault Win32FileSystem::EntryIn(const Folder& folder, const std::string& name, Entry& entry) {
  entry = Entry::kMissing;
  const UniqueHandle file(OpenIn(HandleOf(folder), Utf16(name), FILE_READ_ATTRIBUTES));
  if (!file) {
    const DWORD error = GetLastError();
    if (error == kLinkInFolder || error == ERROR_DIRECTORY) entry = Entry::kOther;
    return IsMissing(error) || entry == Entry::kOther ? Fault() : ErrorOf(error);
  }
  FILE_STANDARD_INFO standard;
  if (!GetFileInformationByHandleEx(file.get(), FileStandardInfo, &standard, sizeof standard))
    return ErrorOf(GetLastError());
  entry = standard.Directory ? Entry::kOther : Entry::kFile;
  return {};
}

bool Win32FileSystem::IsElevated() { return IsElevatedToken(); }

namespace win32 {

bool IsElevatedToken() {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return true;
  const UniqueHandle owned(token);  // closes it
  TOKEN_ELEVATION elevation = {};
  DWORD size;
  char user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
  return (GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
          elevation.TokenIsElevated) ||
         (GetTokenInformation(token, TokenUser, user, sizeof user, &size) &&
          IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, WinLocalSystemSid));
}

std::string OtherWriterOfFolder(HANDLE folder) {
  const UniqueHandle readable(OpenIn(folder, L"", READ_CONTROL));
  PSECURITY_DESCRIPTOR security = nullptr;
  if (!readable || GetSecurityInfo(readable.get(), SE_FILE_OBJECT,
                                   OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                                   nullptr, nullptr, nullptr, &security) != ERROR_SUCCESS)
    return "an account that this run may not see (the folder's access list cannot be read)";
  const std::string writer = OtherWriterIn(security);
  LocalFree(security);
  return writer;
}

}  // namespace win32

// Elevation adds no rights on a share: its host sees the account's network identity,
// elevated or not, so there the rule has nothing to guard.
std::string Win32FileSystem::OtherWriter(const Folder& folder) {
  return IsRemote(Utf16(folder.path)) ? "" : OtherWriterOfFolder(HandleOf(folder));
}

std::string Win32FileSystem::OtherWriter(const Snapshot& read) {
  if (IsRemote(Utf16(read.folder->path))) return "";
  if (!State(read).security)
    return "an account that this run may not see (the file's access list cannot be read)";
  return OtherWriterIn(State(read).security);
}

namespace {

// The web server, a virus scanner or a backup agent may hold a file for a moment:
// the open is tried for about a second while it fails with ERROR_SHARING_VIOLATION.
// Others may hold the file open for reading or writing, as the web server does.
HANDLE OpenToRead(const Folder& folder, const std::wstring& name) {
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int round = 0; file == INVALID_HANDLE_VALUE && round < 10; ++round) {
    if (round > 0 && GetLastError() != ERROR_SHARING_VIOLATION) break;
    if (round > 0) Sleep(100);
    file =
        OpenIn(HandleOf(folder), name, GENERIC_READ, kShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
  }
  return file;
}

// Reads `size` bytes of `file` into `storage`; a file cut short while it is read is
// reported as unreadable, for no system error.
Fault ReadWhole(HANDLE file, DWORD size, char* storage) {
  for (DWORD filled = 0, count = 0; filled < size; filled += count) {
    const bool read = ReadFile(file, storage + filled, size - filled, &count, nullptr);
    if (!read || count == 0) return ErrorOf(read ? 0 : GetLastError());
  }
  return {};
}

}  // namespace

// Read, not mapped: a file with a mapped view cannot be replaced.
Fault Win32FileSystem::Read(const Folder& folder, const std::string& name, Snapshot& snapshot) {
  const UniqueHandle file(OpenToRead(folder, Utf16(name)));
  if (!file) return ErrorOf(GetLastError());
  const auto state = std::make_shared<Win32State>();
  LARGE_INTEGER size;
  if (!Identify(file.get(), *state) || !GetFileSizeEx(file.get(), &size))
    return ErrorOf(GetLastError());
  if (size.QuadPart > kMaxFileSize) return ErrorOf(ERROR_FILE_TOO_LARGE);
  state->securityError = ReadSecurity(
      file.get(),
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
      state->security);
  std::shared_ptr<char[]> storage(new char[size.QuadPart]);
  if (Fault fault = ReadWhole(file.get(), size.QuadPart, storage.get())) return fault;
  snapshot.folder = &folder;
  snapshot.name = name;
  snapshot.text = std::string_view(storage.get(), size.QuadPart);
  snapshot.storage = std::move(storage);
  snapshot.state = state;
  return {};
}

// Another program may keep the file open with delete sharing and write it after the
// tool read it, without any of this changing until its handle closes (NTFS updates
// the times then): such a write is not seen.
bool Win32FileSystem::IsUnchanged(const Snapshot& read) {
  const UniqueHandle file(OpenIn(HandleOf(*read.folder), Utf16(read.name), FILE_READ_ATTRIBUTES));
  Win32State now;
  return file && Identify(file.get(), now) && SameFile(now, State(read));
}

Fault Win32FileSystem::MayWrite(const Snapshot& snapshot) {
  // As Windows does; Wine run as root would open a read-only file for writing.
  if (State(snapshot).info.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
    return ErrorOf(ERROR_ACCESS_DENIED);
  // Asked of the system, which weighs the access list and the read-only attribute;
  // without backup intent, which would pass over a deny entry.
  const UniqueHandle file(
      OpenIn(HandleOf(*snapshot.folder), Utf16(snapshot.name), FILE_WRITE_DATA));
  // Another program holding the file is no denial.
  if (file || GetLastError() == ERROR_SHARING_VIOLATION) return {};
  return ErrorOf(GetLastError());
}

namespace {

// The programs that hold `path` open, as Restart Manager tells them ("NAME (process
// ID)", joined by ", "); empty where it cannot tell. Loaded from System32 when
// needed: it is no DLL that every process has mapped.
std::string HoldersOf(const std::wstring& path) {
  const HMODULE manager = LoadLibraryExW(L"rstrtmgr.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!manager) return "";
  const auto function = [manager](const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(manager, name));
  };
  const auto start = reinterpret_cast<decltype(&RmStartSession)>(function("RmStartSession"));
  const auto add =
      reinterpret_cast<decltype(&RmRegisterResources)>(function("RmRegisterResources"));
  const auto list = reinterpret_cast<decltype(&RmGetList)>(function("RmGetList"));
  const auto end = reinterpret_cast<decltype(&RmEndSession)>(function("RmEndSession"));
  DWORD session;
  wchar_t key[CCH_RM_SESSION_KEY + 1] = {};
  std::string holders;
  if (start && add && list && end && start(&session, 0, key) == ERROR_SUCCESS) {
    const wchar_t* files[] = {path.c_str()};
    std::vector<RM_PROCESS_INFO> found;
    UINT needed = 0, count = 0;
    DWORD reasons, result = add(session, 1, files, 0, nullptr, 0, nullptr);
    if (result == ERROR_SUCCESS) result = list(session, &needed, &count, nullptr, &reasons);
    if (result == ERROR_MORE_DATA) {
      found.resize(count = needed);
      result = list(session, &needed, &count, found.data(), &reasons);
    }
    for (UINT i = 0; result == ERROR_SUCCESS && i < count; ++i)
      holders += (i ? ", " : "") + Printable(Utf8(found[i].strAppName)) + " (process " +
                 std::to_string(found[i].Process.dwProcessId) + ")";
    end(session);
  }
  FreeLibrary(manager);
  return holders;
}

}  // namespace

// Opened for DELETE as a rename opens the file it replaces.
Fault Win32FileSystem::MayReplaceNow(const Snapshot& read) {
  const UniqueHandle file(OpenIn(HandleOf(*read.folder), Utf16(read.name), DELETE));
  if (file || GetLastError() != ERROR_SHARING_VIOLATION) return {};
  const std::string holders = HoldersOf(Utf16(read.folder->path + read.name));
  return Error{ErrorKind::kInUse, Explain(Why::kHeld) + (holders.empty() ? "" : ": " + holders)};
}

Fault Win32FileSystem::MayCreateIn(const Folder& folder) {
  // As the temporary file is created: with the restore privilege where the token
  // holds it. FILE_ADD_FILE creates nothing.
  const Privilege restore(L"SeRestorePrivilege");
  const UniqueHandle file(
      OpenIn(HandleOf(folder), L"", FILE_ADD_FILE, kShareAll, FILE_OPEN,
             FILE_DIRECTORY_FILE | (restore ? FILE_OPEN_FOR_BACKUP_INTENT : 0)));
  if (!file) return ErrorOf(GetLastError());
  return {};
}
