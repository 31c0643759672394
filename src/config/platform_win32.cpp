#include <windows.h>
// After windows.h:
#include <aclapi.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "config/platform.h"

// A 32-bit process on 64-bit Windows is redirected from System32 to SysWOW64, and
// its Sysnative is the real System32: ResolvePath reads Sysnative as a 64-bit process does.
#ifndef _WIN64
#error "QuellmarkInstaller is a 64-bit program: build it for x86_64."
#endif

struct FileState {
  BY_HANDLE_FILE_INFORMATION info = {};
  FILE_BASIC_INFO times = {};  // for ChangeTime
  // Owner, group, DACL, label, and where the system has them scope and resource
  // attributes, all that READ_CONTROL reads; null when unreadable.
  PSECURITY_DESCRIPTOR security = nullptr;
  DWORD securityError = ERROR_SUCCESS;  // why it could not be read
  ~FileState() { LocalFree(security); }
};

namespace {

DWORD g_error = 0;  // see SystemError

// Failures that have no system error of their own, as codes with bit 29 set, which
// Windows leaves to programs; SystemError words them.
constexpr DWORD kInUse = 0x20000001;
constexpr DWORD kStreamName = 0x20000002;
constexpr DWORD kUnknownLinkTarget = 0x20000003;
constexpr DWORD kOtherRights = 0x20000004;

// Returns `result`, keeping `error` as the reason of the failure it stands for.
template <typename Result>
Result Failed(Result result, DWORD error = GetLastError()) {
  g_error = error;
  return result;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The one place where UTF-8 and the system's UTF-16 meet.
std::wstring Utf16(std::string_view text) {
  std::wstring wide(MultiByteToWideChar(CP_UTF8, 0, text.data(), text.size(), nullptr, 0), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), text.size(), wide.data(), wide.size());
  return wide;
}
std::string Utf8(std::wstring_view wide) {
  std::string text(
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide.size(), nullptr, 0, nullptr, nullptr),
      '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide.size(), text.data(), text.size(), nullptr,
                      nullptr);
  return text;
}

bool StartsWith(std::wstring_view text, std::wstring_view start) {
  return text.substr(0, start.size()) == start;
}

// Whether `a` and `b` are one name as Windows compares names: in any case.
bool SameName(std::wstring_view a, std::wstring_view b) {
  return CompareStringOrdinal(a.data(), a.size(), b.data(), b.size(), TRUE) == CSTR_EQUAL;
}

// `path` without the \\?\ prefix, which names a path as it is and past MAX_PATH,
// where a drive or a share follows it (not a volume's name).
std::wstring Unprefixed(std::wstring path) {
  if (StartsWith(path, L"\\\\?\\UNC\\")) return L"\\\\" + path.substr(8);
  if (StartsWith(path, L"\\\\?\\") && path.size() > 5 && path[5] == L':') return path.substr(4);
  return path;
}

// Whether `path` is taken by Windows as it is written: the prefix \\?\ (or \\.\)
// turns off every expansion, trailing dots and spaces included (Naming Files).
bool IsVerbatim(std::wstring_view path) {
  return StartsWith(path, L"\\\\?\\") || StartsWith(path, L"\\\\.\\");
}

// The full path of `path`, not verbatim, as Windows resolves it (separators, "."
// and "..", doubled separators, the current folder, trailing dots and spaces).
std::wstring FullPath(const std::wstring& path) {
  std::wstring full(GetFullPathNameW(path.c_str(), 0, nullptr, nullptr), L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), full.size(), full.data(), nullptr);
  if (full.empty() || length != full.size() - 1) return path;
  full.resize(length);
  return full;
}

// `path` as every call of this layer names it: verbatim, with the prefix \\?\ (for a
// share \\?\UNC\) before its full path, so that no length limit and no further
// resolution applies.
std::wstring SystemPath(const std::string& path) {
  const std::wstring typed = Utf16(path);
  if (IsVerbatim(typed)) return typed;
  const std::wstring full = FullPath(typed);
  if (StartsWith(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return full.size() > 2 && full[1] == L':' ? L"\\\\?\\" + full : full;
}

// Whether `path`, verbatim, names a stream of a file ("a.config:s"): a colon after
// the drive's own.
bool IsStreamName(std::wstring_view path) {
  if (StartsWith(path, L"\\\\?\\UNC\\"))
    path.remove_prefix(8);
  else if (IsVerbatim(path))
    path.remove_prefix(4);
  if (path.size() > 1 && path[1] == L':') path.remove_prefix(2);
  return path.find(L':') != std::wstring_view::npos;
}

// The folder part of `path`, with its last backslash.
std::wstring FolderOf(const std::wstring& path) {
  return path.substr(0, path.find_last_of(L'\\') + 1);
}

// `path`, a full path, with the long name of each part that exists: an 8.3 name
// (APPLIC~1.CON) becomes the name it stands for. The prefix \\?\ lifts MAX_PATH
// here too, where a path needs it (Wine takes a prefixed path as it is).
std::wstring LongName(const std::wstring& path) {
  const std::wstring named = path.size() < MAX_PATH ? path : SystemPath(Utf8(path));
  std::wstring name(GetLongPathNameW(named.c_str(), nullptr, 0), L'\0');
  const DWORD length = GetLongPathNameW(named.c_str(), name.data(), name.size());
  if (!name.empty() && length == name.size() - 1) return Unprefixed(name.substr(0, length));
  // Not there: the folder's long name, and this part as it is.
  const size_t slash = path.find_last_of(L'\\');
  if (slash == std::wstring::npos || slash + 1 >= path.size() || slash < 3) return path;
  return LongName(path.substr(0, slash)) + path.substr(slash);
}

// A stream name is refused: a temporary file beside it would be a stream of the
// file itself, which no rename can put in the file's place.
HANDLE Open(const std::string& path, DWORD access, DWORD share = kShareAll, DWORD flags = 0) {
  const std::wstring name = SystemPath(path);
  if (IsStreamName(name)) return SetLastError(kStreamName), INVALID_HANDLE_VALUE;
  return CreateFileW(name.c_str(), access, share, nullptr, OPEN_EXISTING,
                     flags | FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool SameIndex(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// Volume serial number and file index of the folder that holds `path`, or of
// `path` itself with `itself`: the folder's identity, whatever its spelling (a
// mapped drive, a SUBST drive, a share's name). False when it cannot be opened.
bool FolderIdentity(const std::string& path, bool itself, BY_HANDLE_FILE_INFORMATION& info) {
  std::wstring folder = itself ? SystemPath(path) : FolderOf(SystemPath(path));
  if (folder.size() > 1 && folder.back() == L'\\' && folder[folder.size() - 2] != L':')
    folder.pop_back();
  const HANDLE file = CreateFileW(folder.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool known = GetFileInformationByHandle(file, &info);
  CloseHandle(file);
  return known;
}

bool SameFolder(const std::string& a, bool aItself, const std::string& b) {
  BY_HANDLE_FILE_INFORMATION x, y;
  return FolderIdentity(a, aItself, x) && FolderIdentity(b, false, y) && SameIndex(x, y);
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

// Reads `what` of the security of `file` into `security`, with the label, and the
// scope and resource attributes where the system has them (Windows 8 and later):
// READ_CONTROL reads all of them, the SACL takes ACCESS_SYSTEM_SECURITY.
DWORD ReadSecurity(HANDLE file, SECURITY_INFORMATION what, PSECURITY_DESCRIPTOR& security) {
  DWORD error = ERROR_SUCCESS;
  for (SECURITY_INFORMATION more :
       {SECURITY_INFORMATION{LABEL_SECURITY_INFORMATION | SCOPE_SECURITY_INFORMATION |
                             ATTRIBUTE_SECURITY_INFORMATION},
        SECURITY_INFORMATION{LABEL_SECURITY_INFORMATION}}) {
    error = GetSecurityInfo(file, SE_FILE_OBJECT, what | more, nullptr, nullptr, nullptr, nullptr,
                            &security);
    if (error == ERROR_SUCCESS) return error;
  }
  security = nullptr;
  return error;
}

bool Identify(HANDLE file, FileState& state) {
  return GetFileInformationByHandle(file, &state.info) &&
         GetFileInformationByHandleEx(file, FileBasicInfo, &state.times, sizeof state.times);
}

// Whether `name` opens the file that `info` identifies.
bool IsNameOf(const std::string& name, const BY_HANDLE_FILE_INFORMATION& info) {
  if (name.empty()) return false;
  const HANDLE file = Open(name, 0, kShareAll, FILE_FLAG_BACKUP_SEMANTICS);
  BY_HANDLE_FILE_INFORMATION now;
  const bool same = file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &now) &&
                    SameIndex(now, info);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return same;
}

bool SameFile(const FileState& a, const FileState& b) {
  return SameIndex(a.info, b.info) && a.info.nFileSizeHigh == b.info.nFileSizeHigh &&
         a.info.nFileSizeLow == b.info.nFileSizeLow &&
         CompareFileTime(&a.info.ftLastWriteTime, &b.info.ftLastWriteTime) == 0 &&
         a.times.ChangeTime.QuadPart == b.times.ChangeTime.QuadPart;
}

// Enables the privilege `name` while it lives, where the token holds it, and puts
// it back as it was after: SeRestorePrivilege, for giving a file any owner and for
// creating a file in a folder whose access list refuses it (with backup semantics);
// SeSecurityPrivilege, for reading and setting audit entries. The last error is kept.
class Privilege {
 public:
  explicit Privilege(const wchar_t* name) {
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token_))
      return;
    TOKEN_PRIVILEGES wanted = {1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
    DWORD size;
    // Succeeds with ERROR_NOT_ALL_ASSIGNED when the token lacks the privilege.
    enabled_ = LookupPrivilegeValueW(nullptr, name, &wanted.Privileges[0].Luid) &&
               AdjustTokenPrivileges(token_, FALSE, &wanted, sizeof before_, &before_, &size) &&
               GetLastError() == ERROR_SUCCESS;
  }
  ~Privilege() {
    const DWORD error = GetLastError();
    // `before_` lists the privilege only when this enabled it.
    if (enabled_) AdjustTokenPrivileges(token_, FALSE, &before_, 0, nullptr, nullptr);
    if (token_) CloseHandle(token_);
    SetLastError(error);
  }
  Privilege(const Privilege&) = delete;
  Privilege& operator=(const Privilege&) = delete;
  explicit operator bool() const { return enabled_; }

 private:
  HANDLE token_ = nullptr;
  TOKEN_PRIVILEGES before_ = {};
  bool enabled_ = false;
};

// The path `file` finally has, links followed, with its \\?\ prefix, so that it is
// taken as it is; empty when the system cannot tell. On a share the normalized
// name is refused where a folder on the way may not be read: the name as opened
// is the same file.
std::string FinalPath(HANDLE file) {
  for (DWORD flags : {DWORD{FILE_NAME_NORMALIZED}, DWORD{FILE_NAME_OPENED}}) {
    std::wstring path(GetFinalPathNameByHandleW(file, nullptr, 0, flags), L'\0');
    const DWORD size = GetFinalPathNameByHandleW(file, path.data(), path.size(), flags);
    if (!path.empty() && size == path.size() - 1) return Utf8(path.substr(0, size));
  }
  return "";
}

// Whether ACLs `a` and `b` hold the same entries, in order, byte for byte; two
// absent ACLs are the same.
bool SameAcl(const ACL* a, const ACL* b) {
  if (!a || !b) return a == b;
  if (a->AceCount != b->AceCount) return false;
  void *x, *y;
  for (DWORD i = 0; i < a->AceCount; ++i)
    if (!GetAce(const_cast<ACL*>(a), i, &x) || !GetAce(const_cast<ACL*>(b), i, &y) ||
        static_cast<ACE_HEADER*>(x)->AceSize != static_cast<ACE_HEADER*>(y)->AceSize ||
        std::memcmp(x, y, static_cast<ACE_HEADER*>(x)->AceSize) != 0)
      return false;
  return true;
}

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

// Writes `text`, a run of bytes in code page `page`, to the console `console`.
void WriteConsoleText(HANDLE console, std::string_view text, UINT page) {
  std::wstring wide(MultiByteToWideChar(page, 0, text.data(), text.size(), nullptr, 0), L'\0');
  MultiByteToWideChar(page, 0, text.data(), text.size(), wide.data(), wide.size());
  DWORD written;
  WriteConsoleW(console, wide.data(), wide.size(), &written, nullptr);
}

}  // namespace

struct TempFile {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::wstring name;
};

// The C runtime's own parse of the command line into UTF-16 arguments, by the rules
// that give argv; no shell32, which costs a start-up of its own.
struct StartupInfo {
  int newMode;
};
extern "C" int __cdecl __wgetmainargs(int* count, wchar_t*** arguments, wchar_t*** environment,
                                      int expandWildcards, StartupInfo* info);

std::vector<std::string> Arguments(int, char**) {
  int count = 0;
  wchar_t **wide = nullptr, **environment = nullptr;
  StartupInfo info = {0};
  std::vector<std::string> arguments;
  if (__wgetmainargs(&count, &wide, &environment, 0, &info) != 0) return arguments;
  for (int i = 1; i < count; ++i) arguments.push_back(Utf8(wide[i]));
  return arguments;
}

void WriteStandard(std::string_view text, bool error) {
  FILE* const stream = error ? stderr : stdout;
  const HANDLE handle = GetStdHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  DWORD mode;
  if (!GetConsoleMode(handle, &mode)) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
    return;
  }
  // A console shows characters: each part decoded from its own encoding.
  for (size_t words; (words = text.find(kNotFoundWords)) != std::string_view::npos;) {
    WriteConsoleText(handle, text.substr(0, words), CP_UTF8);
    WriteConsoleText(handle, kNotFoundWords, 936);
    text.remove_prefix(words + kNotFoundWords.size());
  }
  WriteConsoleText(handle, text, CP_UTF8);
}

bool StandardStreamsMeet() {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE), error = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode;
  if (out == error || (GetConsoleMode(out, &mode) && GetConsoleMode(error, &mode))) return true;
  // Windows 10 and later tell whether two handles are one object ("2>&1" duplicates one).
  using Compare = BOOL(WINAPI*)(HANDLE, HANDLE);
  const auto compare = reinterpret_cast<Compare>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernelbase.dll"), "CompareObjectHandles")));
  return compare && compare(out, error);
}

std::string ResolvePath(const std::string& path) {
  const std::wstring typed = Utf16(path);
  const bool verbatim = IsVerbatim(typed);
  const std::wstring named = verbatim ? typed : LongName(FullPath(typed));
  // A 32-bit installer names the 64-bit System32 by this alias, which only 32-bit
  // processes see; this tool is 64-bit. A verbatim path keeps its prefix.
  wchar_t buffer[MAX_PATH];
  const UINT size = GetSystemWindowsDirectoryW(buffer, MAX_PATH);
  if (size == 0 || size >= MAX_PATH) return Utf8(named);
  const std::wstring windows = LongName(buffer), prefix = verbatim ? named.substr(0, 4) : L"",
                     alias = prefix + windows + L"\\Sysnative\\";
  if (!SameName(named.substr(0, alias.size()), alias)) return Utf8(named);
  const std::wstring real = windows + L"\\System32\\" + named.substr(alias.size());
  return Utf8(verbatim ? prefix + real : LongName(real));
}

bool IsFolderOf(const std::string& folder, const std::string& path) {
  return SameFolder(ResolvePath(folder), true, ResolvePath(path));
}

size_t FileNameStart(const std::string& path) { return path.find_last_of("\\/:") + 1; }

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

// The web server, a virus scanner or a backup agent may hold a file for a moment:
// the read is tried for about a second while it fails with ERROR_SHARING_VIOLATION.
// Read, not mapped: a file with a mapped view cannot be replaced.
bool ReadSnapshot(const std::string& path, Snapshot& snapshot) {
  // Others may hold the file open for reading or writing, as the web server does.
  HANDLE file = Open(path, GENERIC_READ);
  for (int round = 1; file == INVALID_HANDLE_VALUE && round < 10; ++round) {
    if (GetLastError() != ERROR_SHARING_VIOLATION) break;
    Sleep(100), file = Open(path, GENERIC_READ);
  }
  if (file == INVALID_HANDLE_VALUE) {
    // A folder opened as a file is refused as access denied, which it is not.
    const DWORD error = GetLastError(), attributes = GetFileAttributesW(SystemPath(path).c_str());
    const bool folder = attributes != INVALID_FILE_ATTRIBUTES &&
                        (attributes & FILE_ATTRIBUTE_DIRECTORY) && error == ERROR_ACCESS_DENIED;
    return Failed(false, folder ? ERROR_DIRECTORY : error);
  }
  const auto state = std::make_shared<FileState>();
  LARGE_INTEGER size;
  bool ok = (Identify(file, *state) && GetFileSizeEx(file, &size)) || Failed(false);
  if (ok && GetFileType(file) != FILE_TYPE_DISK) ok = Failed(false, ERROR_INVALID_FUNCTION);
  if (ok && size.QuadPart > kMaxFileSize) ok = Failed(false, ERROR_FILE_TOO_LARGE);
  state->securityError = ReadSecurity(
      file, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
      state->security);
  // A link is followed: the file it finally names is the one replaced. A link whose
  // target cannot be named would be replaced by a file: refused. The name is taken
  // only where it opens the same file (Wine drops a verbatim name's trailing dot).
  snapshot.target = FinalPath(file);
  if (!IsNameOf(snapshot.target, state->info)) {
    const DWORD attributes = GetFileAttributesW(SystemPath(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
      ok = ok && Failed(false, kUnknownLinkTarget);
    snapshot.target = path;
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
  // holds it. A folder is opened only with backup semantics; FILE_ADD_FILE creates
  // nothing.
  const Privilege restore(L"SeRestorePrivilege");
  std::wstring folder = FolderOf(SystemPath(path));
  if (folder.size() > 1 && folder[folder.size() - 2] != L':') folder.pop_back();
  const HANDLE file = CreateFileW(folder.c_str(), FILE_ADD_FILE, kShareAll, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Failed(false);
  return CloseHandle(file), true;
}

void TempFileDiscard::operator()(TempFile* temp) const {
  AcquireSRWLockExclusive(&g_tempLock);
  const bool open = temp->handle != INVALID_HANDLE_VALUE, disposed = open && Dispose(temp->handle);
  if (open) CloseHandle(temp->handle);
  g_tempHandle = INVALID_HANDLE_VALUE;
  ReleaseSRWLockExclusive(&g_tempLock);
  // Where the system refuses the disposal, by its name; what stays is told.
  if (open && !disposed && !DeleteFileW(temp->name.c_str()))
    WriteStandard("QuellmarkInstaller: " + Utf8(Unprefixed(temp->name)) + ": left behind\n", true);
  delete temp;
}

namespace {

// The audit entries of the file read, with its label and attributes, where the
// caller may read them (SeSecurityPrivilege enabled); null otherwise, or when the
// file at its name is no longer the one read.
PSECURITY_DESCRIPTOR ReadAudit(const Snapshot& read) {
  const HANDLE file = Open(read.target, READ_CONTROL | ACCESS_SYSTEM_SECURITY);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  BY_HANDLE_FILE_INFORMATION now;
  PSECURITY_DESCRIPTOR audit = nullptr;
  if (GetFileInformationByHandle(file, &now) && SameIndex(now, read.state->info))
    ReadSecurity(file, SACL_SECURITY_INFORMATION, audit);
  CloseHandle(file);
  return audit;
}

// Whether `file` has the DACL `dacl` and, where `sacl` is given, that SACL, as read
// back through its handle: where the DACL may inherit, the system puts the folder's
// inheritable entries as they are now in place of the inherited ones given, which
// may grant more than the file read did.
bool HasAcls(HANDLE file, const ACL* dacl, const ACL* sacl, bool audits) {
  PSECURITY_DESCRIPTOR security = nullptr;
  BOOL present, defaulted;
  PACL hasDacl = nullptr, hasSacl = nullptr;
  const SECURITY_INFORMATION what =
      DACL_SECURITY_INFORMATION | (audits ? SACL_SECURITY_INFORMATION : 0);
  const bool same =
      ReadSecurity(file, what, security) == ERROR_SUCCESS &&
      GetSecurityDescriptorDacl(security, &present, &hasDacl, &defaulted) &&
      SameAcl(hasDacl, dacl) &&
      (!sacl || (GetSecurityDescriptorSacl(security, &present, &hasSacl, &defaulted) &&
                 SameAcl(hasSacl, sacl)));
  LocalFree(security);
  return same;
}

}  // namespace

// The new file is created with the security it must have, so that no handle opened
// before it is complete carries other rights onto the published file (share modes
// do not stop opens for WRITE_DAC or WRITE_OWNER): owner and group where the
// restore privilege lets the caller give them, the DACL, and the SACL as far as the
// caller may read it. It takes DELETE for its own rename and disposal and shares
// nothing, so no other program can hold it open against its rename.
TempFilePtr CreateTemporary(const std::string& path, const Snapshot& read) {
  const FileState& from = *read.state;
  if (!from.security) return Failed(TempFilePtr(), from.securityError);
  const Privilege restore(L"SeRestorePrivilege"), security(L"SeSecurityPrivilege");
  const std::unique_ptr<void, decltype(&LocalFree)> audit(security ? ReadAudit(read) : nullptr,
                                                          LocalFree);
  BOOL present = FALSE, saclPresent = FALSE, defaulted;
  PACL dacl = nullptr, sacl = nullptr;
  PSID owner = nullptr, group = nullptr;
  SECURITY_DESCRIPTOR_CONTROL control = 0, auditControl = 0;
  DWORD revision;
  const PSECURITY_DESCRIPTOR saclSource = audit ? audit.get() : from.security;
  if (!GetSecurityDescriptorDacl(from.security, &present, &dacl, &defaulted) ||
      !GetSecurityDescriptorOwner(from.security, &owner, &defaulted) ||
      !GetSecurityDescriptorGroup(from.security, &group, &defaulted) ||
      !GetSecurityDescriptorControl(from.security, &control, &revision) ||
      !GetSecurityDescriptorSacl(saclSource, &saclPresent, &sacl, &defaulted) ||
      !GetSecurityDescriptorControl(saclSource, &auditControl, &revision))
    return Failed(TempFilePtr());
  if (!saclPresent || (sacl && sacl->AceCount == 0)) sacl = nullptr;
  // In another folder than the file read, inherited entries would come from that
  // folder instead: there the DACL's entries are all made explicit, and protected.
  std::unique_ptr<char[]> copy;
  if (present && dacl && !SameFolder(path, false, read.target)) {
    copy.reset(new char[dacl->AclSize]);
    std::memcpy(copy.get(), dacl, dacl->AclSize);
    dacl = reinterpret_cast<PACL>(copy.get());
    void* ace;
    for (DWORD i = 0; i < dacl->AceCount; ++i)
      if (GetAce(dacl, i, &ace)) static_cast<ACE_HEADER*>(ace)->AceFlags &= ~INHERITED_ACE;
    control |= SE_DACL_PROTECTED;
  }
  SECURITY_DESCRIPTOR descriptor;
  const SECURITY_DESCRIPTOR_CONTROL kept =
      SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED | SE_SACL_PROTECTED | SE_SACL_AUTO_INHERITED;
  if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&descriptor, present, dacl, FALSE) ||
      (sacl && !SetSecurityDescriptorSacl(&descriptor, TRUE, sacl, FALSE)) ||
      !SetSecurityDescriptorControl(
          &descriptor, kept,
          (control & (SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED)) |
              (sacl ? auditControl & (SE_SACL_PROTECTED | SE_SACL_AUTO_INHERITED) : 0)))
    return Failed(TempFilePtr());
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
  const bool audits = sacl && audit;
  const DWORD access =
      GENERIC_WRITE | DELETE | READ_CONTROL | (audits ? ACCESS_SYSTEM_SECURITY : 0);
  // With the restore privilege, backup semantics grant what the folder's access list
  // refuses, as in MayCreateBeside.
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | (restore ? FILE_FLAG_BACKUP_SEMANTICS : 0);
  TempFilePtr temp(new TempFile);
  DWORD error = ERROR_SUCCESS;
  // An owner the system will not give (no restore privilege, a share, a remote
  // server that refuses it) is left to be the caller: docs/installers.md says what
  // that means.
  for (const bool owners : {true, false}) {
    if (owners && !restore) continue;
    if (!SetSecurityDescriptorOwner(&descriptor, owners ? owner : nullptr, FALSE) ||
        !SetSecurityDescriptorGroup(&descriptor, owners ? group : nullptr, FALSE))
      return Failed(TempFilePtr());
    for (unsigned number = 0; number < 100; ++number) {
      temp->name = SystemPath(path + "." + std::to_string(GetCurrentProcessId()) + "-" +
                              std::to_string(number) + ".tmp");
      if (temp->name.size() >= 32767) return Failed(TempFilePtr(), ERROR_FILENAME_EXCED_RANGE);
      AcquireSRWLockExclusive(&g_tempLock);
      if (!g_interrupted)
        g_tempHandle = temp->handle =
            CreateFileW(temp->name.c_str(), access, 0, &attributes, CREATE_NEW, flags, nullptr);
      error = g_interrupted ? ERROR_OPERATION_ABORTED : GetLastError();
      ReleaseSRWLockExclusive(&g_tempLock);
      // A name left behind by an earlier, killed run is skipped.
      if (temp->handle != INVALID_HANDLE_VALUE || error != ERROR_FILE_EXISTS) break;
    }
    if (temp->handle != INVALID_HANDLE_VALUE ||
        (error != ERROR_INVALID_OWNER && error != ERROR_ACCESS_DENIED &&
         error != ERROR_PRIVILEGE_NOT_HELD))
      break;
  }
  if (temp->handle == INVALID_HANDLE_VALUE) return Failed(TempFilePtr(), error);
  if (!HasAcls(temp->handle, present ? dacl : nullptr, sacl, audits))
    return Failed(TempFilePtr(), kOtherRights);
  return temp;
}

// The creation gave the file all of it, and verified it.
bool TakeOverIdentity(TempFile&, const Snapshot&) { return true; }

bool WriteTemporary(TempFile& temp, std::string_view first, std::string_view second) {
  return WriteBoth(temp.handle, first, second) || Failed(false);
}

bool FinishTemporary(TempFile& temp, const Snapshot& read) {
  FILE_BASIC_INFO basic = {};  // times of 0 are left as they are
  basic.FileAttributes = read.state->info.dwFileAttributes &
                         (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
  if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return (SetFileInformationByHandle(temp.handle, FileBasicInfo, &basic, sizeof basic) &&
          FlushFileBuffers(temp.handle)) ||
         Failed(false);
}

// Whether a replace of `name` refused as access denied was refused for another
// program's handle on it, not for the caller's rights: the caller may open it for
// deletion, or is refused only by that program's sharing.
bool IsHeld(const std::wstring& name) {
  const HANDLE file = CreateFileW(name.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file != INVALID_HANDLE_VALUE) return CloseHandle(file), true;
  return GetLastError() == ERROR_SHARING_VIOLATION;
}

// Renamed through the handle the file was created with, which holds DELETE: its own
// access list cannot refuse it, and no other program holds it. A replace asks first
// for POSIX semantics (FileRenameInfoEx, Windows 10 1607 and later), which replace a
// file that another program holds open, whose handle stays valid (MS-FSCC 2.4.43);
// where the system refuses that class or flag, the plain rename, which any open
// handle on the file refuses as access denied (MS-FSCC 2.4.42).
Placed PlaceTemporary(TempFile& temp, const std::string& path, bool replace) {
  constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
  const std::wstring name = SystemPath(path);
  const size_t size = sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t);
  const std::unique_ptr<char[]> buffer(new char[size]());
  FILE_RENAME_INFO& rename = *reinterpret_cast<FILE_RENAME_INFO*>(buffer.get());
  rename.FileNameLength = name.size() * sizeof(wchar_t);
  std::memcpy(rename.FileName, name.c_str(), rename.FileNameLength);
  bool renamed = false;
  DWORD error = ERROR_OPERATION_ABORTED;
  AcquireSRWLockExclusive(&g_tempLock);
  if (!g_interrupted) {
    rename.Flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
    renamed = replace && SetFileInformationByHandle(temp.handle, kFileRenameInfoEx, &rename, size);
    error = GetLastError();
    if (!renamed && (!replace || error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
                     error == ERROR_INVALID_FUNCTION)) {
      rename.Flags = 0;
      rename.ReplaceIfExists = replace;
      renamed = SetFileInformationByHandle(temp.handle, FileRenameInfo, &rename, size);
      error = GetLastError();
    }
  }
  if (renamed) CloseHandle(temp.handle), g_tempHandle = temp.handle = INVALID_HANDLE_VALUE;
  ReleaseSRWLockExclusive(&g_tempLock);
  if (renamed) return Placed::kPlaced;
  if (!replace && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS))
    return Placed::kExists;
  if ((error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) && IsHeld(name))
    return Failed(Placed::kHeld, kInUse);
  return Failed(Placed::kFailed, error);
}

// A rename within a volume is a change of its metadata, which NTFS journals. Windows
// documents a flushed move only for one done as a copy and a delete (MoveFileExW's
// MOVEFILE_WRITE_THROUGH), and no call that flushes one folder.
bool FlushFolderOf(const std::string&) { return true; }

void RemoveTemporaryFileOnInterrupt() { SetConsoleCtrlHandler(RemoveTempOnInterrupt, TRUE); }
