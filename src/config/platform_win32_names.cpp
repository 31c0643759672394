// Names as Windows takes them: UTF-16, full and verbatim paths, long names, the
// Sysnative alias, streams, final paths and folders by identity.
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

// Volume serial number and file index of the folder that holds `path`, or of
// `path` itself with `itself`: the folder's identity, whatever its spelling (a
// mapped drive, a SUBST drive, a share's name). False when it cannot be opened.
bool FolderIdentity(const std::string& path, bool itself, BY_HANDLE_FILE_INFORMATION& info) {
  const HANDLE file = OpenFolder(path, itself, 0);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool known = GetFileInformationByHandle(file, &info);
  CloseHandle(file);
  return known;
}

}  // namespace

namespace win32 {

// The one place where bytes and the system's UTF-16 meet.
std::wstring Utf16(std::string_view text, UINT page) {
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

bool SameIndex(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

bool SameFolder(const std::string& a, bool aItself, const std::string& b) {
  BY_HANDLE_FILE_INFORMATION x, y;
  return FolderIdentity(a, aItself, x) && FolderIdentity(b, false, y) && SameIndex(x, y);
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

}  // namespace win32

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
