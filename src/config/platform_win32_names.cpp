// Names as Windows takes them: UTF-16, full and verbatim paths, long names, the
// Sysnative alias, streams, final paths and folders by identity.
#include <cstring>

#include "config/platform_win32.h"

using namespace win32;

namespace {

bool StartsWith(std::wstring_view text, std::wstring_view start) {
  return text.substr(0, start.size()) == start;
}

// Whether `a` and `b` are one name as Windows compares names: in any case.
bool SameName(std::wstring_view a, std::wstring_view b) {
  return CompareStringOrdinal(a.data(), a.size(), b.data(), b.size(), TRUE) == CSTR_EQUAL;
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

}  // namespace

namespace win32 {

// The one place where bytes and the system's UTF-16 meet.
std::wstring Utf16(std::string_view text, unsigned page) {
  std::wstring wide(MultiByteToWideChar(page, 0, text.data(), text.size(), nullptr, 0), L'\0');
  MultiByteToWideChar(page, 0, text.data(), text.size(), wide.data(), wide.size());
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

// `path` without the \\?\ prefix, which names a path as it is and past MAX_PATH,
// where a drive or a share follows it (not a volume's name).
std::wstring Unprefixed(std::wstring path) {
  if (StartsWith(path, L"\\\\?\\UNC\\")) return L"\\\\" + path.substr(8);
  if (StartsWith(path, L"\\\\?\\") && path.size() > 5 && path[5] == L':') return path.substr(4);
  return path;
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

HANDLE OpenFolder(const std::string& path, bool itself, DWORD access) {
  std::wstring folder = SystemPath(path);
  if (!itself) folder.erase(folder.find_last_of(L'\\') + 1);
  // Without its last backslash, but for a drive's root (C:\ stays).
  if (folder.size() > 1 && folder.back() == L'\\' && folder[folder.size() - 2] != L':')
    folder.pop_back();
  return CreateFileW(folder.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// A stream name is refused: a temporary file beside it would be a stream of the
// file itself, which no rename can put in the file's place.
HANDLE Open(const std::string& path, DWORD access, DWORD share, DWORD flags) {
  const std::wstring name = SystemPath(path);
  if (IsStreamName(name)) return SetLastError(kStreamName), INVALID_HANDLE_VALUE;
  return CreateFileW(name.c_str(), access, share, nullptr, OPEN_EXISTING,
                     flags | FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE OpenIn(HANDLE root, const std::wstring& name, ACCESS_MASK access, ULONG share,
              ULONG disposition, ULONG options, PSECURITY_DESCRIPTOR security) {
  UNICODE_STRING objectName = {static_cast<USHORT>(name.size() * sizeof(wchar_t)),
                               static_cast<USHORT>(name.size() * sizeof(wchar_t)),
                               const_cast<wchar_t*>(name.c_str())};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, root, security);
  IO_STATUS_BLOCK status;
  HANDLE file = INVALID_HANDLE_VALUE;
  // An entry opened is looked at for a link, which takes FILE_READ_ATTRIBUTES (the
  // folder's FILE_LIST_DIRECTORY grants it whatever the file's own access list says).
  const bool entry = !name.empty() && disposition == FILE_OPEN;
  const NTSTATUS result =
      NtCreateFile(&file, access | SYNCHRONIZE | (entry ? FILE_READ_ATTRIBUTES : 0), &attributes,
                   &status, nullptr, FILE_ATTRIBUTE_NORMAL, share, disposition,
                   // A new file replaces no entry, link or not (Wine refuses the flag with it).
                   options | FILE_SYNCHRONOUS_IO_NONALERT |
                       (disposition == FILE_CREATE ? 0 : FILE_OPEN_REPARSE_POINT),
                   nullptr, 0);
  // Windows words a folder opened as a file "access denied", which it is not.
  constexpr NTSTATUS kIsAFolder = static_cast<NTSTATUS>(0xC00000BA);
  if (result < 0)
    return SetLastError(result == kIsAFolder ? ERROR_DIRECTORY : RtlNtStatusToDosError(result)),
           INVALID_HANDLE_VALUE;
  FILE_BASIC_INFO basic;
  if (entry) {
    const bool known = GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic);
    const DWORD error = known ? kLinkInFolder : GetLastError();
    if (!known || (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
      return CloseHandle(file), SetLastError(error), INVALID_HANDLE_VALUE;
  }
  return file;
}

bool IdentityOf(HANDLE file, FILE_ID_INFO& id) {
  if (GetFileInformationByHandleEx(file, FileIdInfo, &id, sizeof id)) return true;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return false;
  id = {};
  id.VolumeSerialNumber = info.dwVolumeSerialNumber;
  const ULONGLONG index = (ULONGLONG{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  std::memcpy(id.FileId.Identifier, &index, sizeof index);
  return true;
}

bool SameId(const FILE_ID_INFO& a, const FILE_ID_INFO& b) {
  return a.VolumeSerialNumber == b.VolumeSerialNumber &&
         std::memcmp(a.FileId.Identifier, b.FileId.Identifier, sizeof a.FileId.Identifier) == 0;
}

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

// Whether `name` opens the file that `id` identifies.
bool IsNameOf(const std::string& name, const FILE_ID_INFO& id) {
  if (name.empty()) return false;
  const HANDLE file = Open(name, 0, kShareAll, FILE_FLAG_BACKUP_SEMANTICS);
  FILE_ID_INFO now;
  const bool same = file != INVALID_HANDLE_VALUE && IdentityOf(file, now) && SameId(now, id);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return same;
}

}  // namespace win32

std::string Win32FileSystem::Resolve(const std::string& path) {
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

// A share's folder, by a UNC name or a mapped drive, is compared by name, with no
// call that resolves it: opening it, or asking for its long name, would make this
// run, maybe as the system, authenticate to that host.
bool Win32FileSystem::IsSameFolder(const std::string& shared, const Folder& folder) {
  std::wstring name = Unprefixed(FullPath(Utf16(shared))), pinned = Unprefixed(Utf16(folder.path));
  const bool remote = StartsWith(name, L"\\\\") ||
                      (name.size() > 2 && name[1] == L':' &&
                       GetDriveTypeW((name.substr(0, 2) + L"\\").c_str()) == DRIVE_REMOTE);
  if (remote) {
    for (std::wstring* each : {&name, &pinned})
      while (each->size() > 3 && each->back() == L'\\') each->pop_back();
    return SameName(name, pinned);
  }
  const HANDLE file = OpenFolder(Resolve(shared), true, 0);
  FILE_ID_INFO id;
  const bool same = file != INVALID_HANDLE_VALUE && IdentityOf(file, id) &&
                    SameId(id, static_cast<const Win32Folder&>(*folder.handle).id);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return same;
}

size_t FileNameStart(const std::string& path) { return path.find_last_of("\\/:") + 1; }
