#include <windows.h>
// After windows.h:
#include <aclapi.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "script/failure.h"
#include "script/platform.h"

struct FileState {
  BY_HANDLE_FILE_INFORMATION info = {};
  FILE_BASIC_INFO times = {};               // for ChangeTime
  PSECURITY_DESCRIPTOR security = nullptr;  // owner, group and DACL; null when unreadable
  DWORD securityError = ERROR_SUCCESS;      // why it could not be read
  // SACL, label, and where the system has them scope and resource attributes; null
  // when the caller may not read them. `audited` says which were read.
  PSECURITY_DESCRIPTOR audit = nullptr;
  SECURITY_INFORMATION audited = 0;
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

// The full path of `path` as Windows resolves it (separators, "." and "..", doubled
// separators, the current folder, trailing dots and spaces); a path with the prefix
// \\?\ is taken as it is.
std::wstring FullPath(const std::wstring& path) {
  if (StartsWith(path, L"\\\\?\\")) return Unprefixed(path);
  std::wstring full(GetFullPathNameW(path.c_str(), 0, nullptr, nullptr), L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), full.size(), full.data(), nullptr);
  if (full.empty() || length != full.size() - 1) return path;
  full.resize(length);
  return full;
}

// `path` as every call of this layer names it: the full path with the prefix
// \\?\ (\\?\UNC\ for a share), so that no length limit and no further resolution
// applies.
std::wstring SystemPath(const std::string& path) {
  const std::wstring full = FullPath(Utf16(path));
  if (StartsWith(full, L"\\\\?\\") || StartsWith(full, L"\\\\.\\")) return full;
  if (StartsWith(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return full.size() > 2 && full[1] == L':' ? L"\\\\?\\" + full : full;
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

HANDLE Open(const std::string& path, DWORD access, DWORD share = kShareAll, DWORD flags = 0) {
  return CreateFileW(SystemPath(path).c_str(), access, share, nullptr, OPEN_EXISTING,
                     flags | FILE_ATTRIBUTE_NORMAL, nullptr);
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

// Enables the privilege `name` (SeRestorePrivilege: giving a file any owner;
// SeSecurityPrivilege: reading and setting its audit entries), when the token holds it.
bool EnablePrivilege(const wchar_t* name) {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return false;
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  // AdjustTokenPrivileges succeeds with ERROR_NOT_ALL_ASSIGNED when the token lacks it.
  const bool enabled = LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid) &&
                       AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
                       GetLastError() == ERROR_SUCCESS;
  CloseHandle(token);
  return enabled;
}

// The restore privilege, enabled once: with backup semantics it grants what the
// folder's access list may refuse, to the test of a folder as to the temporary file's
// creation in it.
bool Privileged() {
  static const bool privileged = EnablePrivilege(L"SeRestorePrivilege");
  return privileged;
}

// The path `file` finally has, links followed, without the \\?\ prefix; empty
// when the system cannot tell.
std::string FinalPath(HANDLE file) {
  std::wstring path(GetFinalPathNameByHandleW(file, nullptr, 0, 0), L'\0');
  const DWORD size = GetFinalPathNameByHandleW(file, path.data(), path.size(), 0);
  return path.empty() || size != path.size() - 1 ? "" : Utf8(Unprefixed(path.substr(0, size)));
}

// Whether the file's DACL holds only entries inherited from its folder, and may
// inherit: a new file in that folder gets the same ones by itself.
bool InheritsAll(const FileState& read) {
  BOOL present, defaulted;
  PACL dacl;
  SECURITY_DESCRIPTOR_CONTROL control;
  DWORD revision;
  if (!read.security || !GetSecurityDescriptorDacl(read.security, &present, &dacl, &defaulted) ||
      !GetSecurityDescriptorControl(read.security, &control, &revision) || !present || !dacl ||
      dacl->AceCount == 0 || (control & SE_DACL_PROTECTED))
    return false;
  ACE_HEADER* ace;
  for (DWORD i = 0; i < dacl->AceCount; ++i)
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)) || !(ace->AceFlags & INHERITED_ACE))
      return false;
  return true;
}

// Whether the DACL `file` has holds the entries of the file read, in order, byte for
// byte.
bool SameDacl(HANDLE file, const FileState& read) {
  BOOL present, defaulted;
  PACL dacl, old;
  PSECURITY_DESCRIPTOR security = nullptr;
  bool same = GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &dacl, nullptr, &security) == ERROR_SUCCESS &&
              GetSecurityDescriptorDacl(read.security, &present, &old, &defaulted) && dacl && old &&
              dacl->AceCount == old->AceCount;
  ACE_HEADER *ace, *oldAce;
  for (DWORD i = 0; same && i < old->AceCount; ++i)
    same = GetAce(dacl, i, reinterpret_cast<void**>(&ace)) &&
           GetAce(old, i, reinterpret_cast<void**>(&oldAce)) && ace->AceSize == oldAce->AceSize &&
           std::memcmp(ace, oldAce, ace->AceSize) == 0;
  LocalFree(security);
  return same;
}

// The temporary file being written, for the console control handler (which runs
// on a thread of its own) to delete; the lock keeps the handle from closing meanwhile.
SRWLOCK g_tempLock = SRWLOCK_INIT;
HANDLE g_tempHandle = INVALID_HANDLE_VALUE;

// Deletes the file through its handle: no name, no sharing and no access list
// can refuse it. It goes when the handle closes.
void Dispose(HANDLE file) {
  FILE_DISPOSITION_INFO dispose = {TRUE};
  SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof dispose);
}

BOOL WINAPI RemoveTempOnInterrupt(DWORD) {
  AcquireSRWLockExclusive(&g_tempLock);
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
  bool owners = false;     // WRITE_OWNER granted: owner, group and label copied
  bool dacl = false;       // WRITE_DAC granted: the DACL copied
  bool elsewhere = false;  // in another folder than the file read
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

std::string ResolvePath(const std::string& path) {
  const std::wstring named = LongName(FullPath(Utf16(path)));
  // A 32-bit installer names the 64-bit System32 by this alias, which only 32-bit
  // processes see; this tool is 64-bit.
  wchar_t buffer[MAX_PATH];
  const UINT size = GetSystemWindowsDirectoryW(buffer, MAX_PATH);
  if (size == 0 || size >= MAX_PATH) return Utf8(named);
  const std::wstring windows = LongName(buffer), alias = windows + L"\\Sysnative\\";
  if (!SameName(named.substr(0, alias.size()), alias)) return Utf8(named);
  return Utf8(LongName(windows + L"\\System32\\" + named.substr(alias.size())));
}

bool IsFolderOf(const std::string& folder, const std::string& path) {
  std::wstring named = Utf16(ResolvePath(folder));
  named.erase(named.find_last_not_of(L"\\/") + 1);
  return SameName(named + L"\\", FolderOf(Utf16(ResolvePath(path))));
}

size_t FileNameStart(const std::string& path) { return path.find_last_of("\\/:") + 1; }

std::string SystemError() {
  if (g_error == 0) return "";
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
  if (file == INVALID_HANDLE_VALUE) return Failed(false);
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
  // Audit entries, label, scope and resource attributes, where the caller may
  // read them, and so set them; systems before Windows 8 have only the first two.
  static const bool audits = EnablePrivilege(L"SeSecurityPrivilege");
  const HANDLE auditable =
      audits ? ReOpenFile(file, READ_CONTROL | ACCESS_SYSTEM_SECURITY, kShareAll, 0)
             : INVALID_HANDLE_VALUE;
  for (SECURITY_INFORMATION what :
       {SECURITY_INFORMATION{SACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION |
                             SCOPE_SECURITY_INFORMATION | ATTRIBUTE_SECURITY_INFORMATION},
        SECURITY_INFORMATION{SACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION}}) {
    if (auditable == INVALID_HANDLE_VALUE || state->audit) break;
    if (GetSecurityInfo(auditable, SE_FILE_OBJECT, what, nullptr, nullptr, nullptr, nullptr,
                        &state->audit) == ERROR_SUCCESS)
      state->audited = what;
    else
      state->audit = nullptr;
  }
  if (auditable != INVALID_HANDLE_VALUE) CloseHandle(auditable);
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
  Privileged();
  // A folder is opened only with backup semantics; FILE_ADD_FILE creates nothing.
  std::wstring folder = FolderOf(SystemPath(path));
  if (folder.size() > 1 && folder[folder.size() - 2] != L':') folder.pop_back();
  const HANDLE file = CreateFileW(folder.c_str(), FILE_ADD_FILE, kShareAll, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Failed(false);
  return CloseHandle(file), true;
}

void TempFileDiscard::operator()(TempFile* temp) const {
  AcquireSRWLockExclusive(&g_tempLock);
  if (temp->handle != INVALID_HANDLE_VALUE) Dispose(temp->handle), CloseHandle(temp->handle);
  g_tempHandle = INVALID_HANDLE_VALUE;
  ReleaseSRWLockExclusive(&g_tempLock);
  delete temp;
}

// The new file takes the rights it needs for each part of the identity it is given:
// DELETE for its own rename and disposal, WRITE_DAC for the DACL, WRITE_OWNER with
// the restore privilege, ACCESS_SYSTEM_SECURITY for audit entries. It shares
// nothing, so no other program can hold it open against its rename.
TempFilePtr CreateTemporary(const std::string& path, const Snapshot& read) {
  const bool privileged = Privileged();
  const FileState& from = *read.state;
  TempFilePtr temp(new TempFile);
  temp->elsewhere =
      !SameName(FolderOf(Utf16(ResolvePath(path))), FolderOf(Utf16(ResolvePath(read.target))));
  // Each refused attempt asks for less. A share's usual "Change" permission grants
  // neither WRITE_OWNER nor WRITE_DAC, and the restore privilege does not travel
  // over the network: there the owner is not copied, as for a caller that is not
  // elevated, and the DACL is only what the new file inherits, which is enough
  // where the file read holds nothing else in the same folder (resource
  // attributes, with the audit entries, are set with WRITE_DAC too).
  const bool inherits = !temp->elsewhere && !from.audit && InheritsAll(from);
  const struct { bool owners, dacl; } attempts[] = {{true, true}, {false, true}, {false, false}};
  DWORD error = ERROR_SUCCESS;
  for (const auto& attempt : attempts) {
    if ((attempt.owners && !privileged) || (!attempt.dacl && !inherits)) continue;
    if (error != ERROR_SUCCESS && error != ERROR_ACCESS_DENIED) break;
    temp->owners = attempt.owners, temp->dacl = attempt.dacl;
    const DWORD access = GENERIC_WRITE | DELETE | (temp->dacl ? WRITE_DAC : 0) |
                         (temp->owners ? WRITE_OWNER : 0) |
                         (from.audit ? ACCESS_SYSTEM_SECURITY : 0);
    // With the restore privilege, backup semantics grant the right to set the owner.
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | (temp->owners ? FILE_FLAG_BACKUP_SEMANTICS : 0);
    for (unsigned number = 0; number < 100; ++number) {
      const std::wstring name = SystemPath(path + "." + std::to_string(GetCurrentProcessId()) +
                                           "-" + std::to_string(number) + ".tmp");
      if (name.size() >= 32767) return Failed(TempFilePtr(), ERROR_FILENAME_EXCED_RANGE);
      AcquireSRWLockExclusive(&g_tempLock);
      g_tempHandle = temp->handle =
          CreateFileW(name.c_str(), access, 0, nullptr, CREATE_NEW, flags, nullptr);
      error = GetLastError();
      ReleaseSRWLockExclusive(&g_tempLock);
      if (temp->handle != INVALID_HANDLE_VALUE) return temp;
      // A name left behind by an earlier, killed run is skipped.
      if (error != ERROR_FILE_EXISTS) break;
    }
  }
  return Failed(TempFilePtr(), error);
}

// In another folder than the file read, inherited entries would come from that
// folder instead: there the DACL's entries are all made explicit, and the DACL
// protected. A file must never come out more readable than it went in, so a DACL
// that must be copied and cannot be read or applied fails.
bool TakeOverIdentity(TempFile& temp, const Snapshot& read) {
  const FileState& from = *read.state;
  if (!from.security) return Failed(false, from.securityError);
  // What the new file inherited must be what the file read has: otherwise only
  // WRITE_DAC could make it so (a creator's entry inherited for another creator, say).
  if (!temp.dacl && !SameDacl(temp.handle, from)) return Failed(false, ERROR_ACCESS_DENIED);
  BOOL present = FALSE, saclPresent = FALSE, defaulted;
  PACL dacl = nullptr, sacl = nullptr;
  PSID owner = nullptr, group = nullptr;
  SECURITY_DESCRIPTOR_CONTROL control = 0, auditControl = 0;
  DWORD revision;
  if (!GetSecurityDescriptorDacl(from.security, &present, &dacl, &defaulted) ||
      !GetSecurityDescriptorOwner(from.security, &owner, &defaulted) ||
      !GetSecurityDescriptorGroup(from.security, &group, &defaulted) ||
      !GetSecurityDescriptorControl(from.security, &control, &revision) ||
      (from.audit && (!GetSecurityDescriptorSacl(from.audit, &saclPresent, &sacl, &defaulted) ||
                      !GetSecurityDescriptorControl(from.audit, &auditControl, &revision))))
    return Failed(false);
  std::unique_ptr<char[]> copy;
  if (temp.elsewhere && present && dacl) {
    copy.reset(new char[dacl->AclSize]);
    std::memcpy(copy.get(), dacl, dacl->AclSize);
    dacl = reinterpret_cast<PACL>(copy.get());
    ACE_HEADER* ace;
    for (DWORD i = 0; i < dacl->AceCount; ++i)
      if (GetAce(dacl, i, reinterpret_cast<void**>(&ace))) ace->AceFlags &= ~INHERITED_ACE;
    control |= SE_DACL_PROTECTED;
  }
  for (;; temp.owners = false) {
    SECURITY_INFORMATION what = 0;
    if (temp.dacl)
      what |= DACL_SECURITY_INFORMATION |
              (control & SE_DACL_PROTECTED ? PROTECTED_DACL_SECURITY_INFORMATION
                                           : UNPROTECTED_DACL_SECURITY_INFORMATION);
    if (temp.owners) what |= OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION;
    // Setting a label takes WRITE_OWNER, which the file has only with `owners`.
    if (from.audit)
      what |= (from.audited & ~(temp.owners ? 0 : LABEL_SECURITY_INFORMATION)) |
              (auditControl & SE_SACL_PROTECTED ? PROTECTED_SACL_SECURITY_INFORMATION
                                                : UNPROTECTED_SACL_SECURITY_INFORMATION);
    if (what == 0) return true;
    const DWORD error = SetSecurityInfo(temp.handle, SE_FILE_OBJECT, what, owner, group,
                                        present ? dacl : nullptr, saclPresent ? sacl : nullptr);
    if (error == ERROR_SUCCESS) return true;
    // An owner the share or the remote server refuses is not copied either.
    if (!temp.owners) return Failed(false, error);
  }
}

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

// Renamed through the handle the file was created with, which holds DELETE: its
// own access list cannot refuse it, and no other program holds it.
Placed PlaceTemporary(TempFile& temp, const std::string& path, bool replace) {
  const std::wstring name = SystemPath(path);
  const size_t size = sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t);
  const std::unique_ptr<char[]> buffer(new char[size]());
  FILE_RENAME_INFO& rename = *reinterpret_cast<FILE_RENAME_INFO*>(buffer.get());
  rename.ReplaceIfExists = replace;
  rename.FileNameLength = name.size() * sizeof(wchar_t);
  std::memcpy(rename.FileName, name.c_str(), rename.FileNameLength);
  if (SetFileInformationByHandle(temp.handle, FileRenameInfo, &rename, size)) {
    AcquireSRWLockExclusive(&g_tempLock);
    CloseHandle(temp.handle);
    g_tempHandle = temp.handle = INVALID_HANDLE_VALUE;
    ReleaseSRWLockExclusive(&g_tempLock);
    return Placed::kPlaced;
  }
  const DWORD error = GetLastError();
  if (!replace && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS))
    return Placed::kExists;
  // A file held open without delete sharing refuses its replace as access denied.
  return Failed(error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? Placed::kHeld
                                                                                 : Placed::kFailed,
                error);
}

// The rename is a change of the volume's metadata, which NTFS journals; Windows
// documents no call that flushes one folder.
bool FlushFolderOf(const std::string&) { return true; }

void RemoveTemporaryFileOnInterrupt() { SetConsoleCtrlHandler(RemoveTempOnInterrupt, TRUE); }
