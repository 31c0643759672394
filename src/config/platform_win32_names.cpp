// Names as Windows takes them: UTF-16, full and verbatim paths, long names, the
// Sysnative alias, streams, final paths and folders by identity.
#include <algorithm>
#include <cstring>
#include <deque>

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

// NtCreateFile: `name` relative to the folder `root`, as OpenIn takes its arguments,
// synchronous, with nothing looked at; the system's error is the last error.
HANDLE CreateIn(HANDLE root, const std::wstring& name, ACCESS_MASK access, ULONG share,
                ULONG disposition, ULONG options, PSECURITY_DESCRIPTOR security = nullptr) {
  UNICODE_STRING objectName = {static_cast<USHORT>(name.size() * sizeof(wchar_t)),
                               static_cast<USHORT>(name.size() * sizeof(wchar_t)),
                               const_cast<wchar_t*>(name.c_str())};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, root, security);
  IO_STATUS_BLOCK status;
  HANDLE file = INVALID_HANDLE_VALUE;
  const NTSTATUS result = NtCreateFile(&file, access | SYNCHRONIZE, &attributes, &status, nullptr,
                                       FILE_ATTRIBUTE_NORMAL, share, disposition,
                                       options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  // Windows words a folder opened as a file "access denied", which it is not.
  constexpr NTSTATUS kIsAFolder = static_cast<NTSTATUS>(0xC00000BA);
  if (result < 0)
    return Failing(result == kIsAFolder ? ERROR_DIRECTORY : ErrorOfStatus(result),
                   INVALID_HANDLE_VALUE);
  return file;
}

// The reparse tag of `file`, 0 where it is no reparse point; false where the system
// cannot tell, its error the last error.
bool ReparseTagOf(HANDLE file, DWORD& tag) {
  FILE_ATTRIBUTE_TAG_INFO info;
  if (!GetFileInformationByHandleEx(file, FileAttributeTagInfo, &info, sizeof info)) return false;
  tag = info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT ? info.ReparseTag : 0;
  return true;
}

// Whether `file` is the file that `id` identifies.
bool IsFile(HANDLE file, const FILE_ID_INFO& id) {
  FILE_ID_INFO now;
  return IdentityOf(file, now) && SameId(now, id);
}

}  // namespace

namespace win32 {

// The one place where bytes and the system's UTF-16 meet.
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

HANDLE OpenIn(HANDLE root, const std::wstring& name, ACCESS_MASK access, ULONG share,
              ULONG disposition, ULONG options, PSECURITY_DESCRIPTOR security) {
  // An entry opened is looked at for a link, which takes FILE_READ_ATTRIBUTES (the
  // folder's FILE_LIST_DIRECTORY grants it whatever the file's own access list says).
  const bool entry = !name.empty() && disposition == FILE_OPEN;
  access |= entry ? FILE_READ_ATTRIBUTES : 0;
  // A new file replaces no entry, link or not (Wine refuses the flag with it).
  const ULONG entryItself = disposition == FILE_CREATE ? 0 : FILE_OPEN_REPARSE_POINT;
  UniqueHandle file(
      CreateIn(root, name, access, share, disposition, options | entryItself, security));
  DWORD tag = 0;
  FILE_ID_INFO id;
  if (!file || !entry) return file.release();
  if (!ReparseTagOf(file.get(), tag)) return INVALID_HANDLE_VALUE;
  if (tag == 0) return file.release();
  if (IsReparseTagNameSurrogate(tag)) return Failing(kLinkInFolder, INVALID_HANDLE_VALUE);
  if (!IdentityOf(file.get(), id)) return INVALID_HANDLE_VALUE;
  file = UniqueHandle();
  UniqueHandle itself(CreateIn(root, name, access, share, disposition, options, security));
  if (itself && !IsFile(itself.get(), id)) return Failing(kMoved, INVALID_HANDLE_VALUE);
  return itself.release();
}

DWORD ErrorOfStatus(NTSTATUS status) {
  constexpr NTSTATUS kDeletePending = static_cast<NTSTATUS>(0xC0000056);
  return status == kDeletePending ? ERROR_DELETE_PENDING : RtlNtStatusToDosError(status);
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

// On a share the normalized name is refused where a folder on the way may not be
// read: the name as opened is the same file.
std::wstring FinalPath(HANDLE file) {
  for (DWORD flags : {DWORD{FILE_NAME_NORMALIZED}, DWORD{FILE_NAME_OPENED}}) {
    std::wstring path(GetFinalPathNameByHandleW(file, nullptr, 0, flags), L'\0');
    const DWORD size = GetFinalPathNameByHandleW(file, path.data(), path.size(), flags);
    if (!path.empty() && size == path.size() - 1) return path.substr(0, size);
  }
  return L"";
}

bool IsRemote(std::wstring name) {
  name = Unprefixed(name);
  return StartsWith(name, L"\\\\") ||
         (name.size() > 2 && name[1] == L':' &&
          GetDriveTypeW((name.substr(0, 2) + L"\\").c_str()) == DRIVE_REMOTE);
}

namespace {

// `path`, a verbatim full path, split into its root ("\\?\C:\", "\\?\UNC\host\share\")
// and the names after it; a path that ends with a separator names a folder, as if
// "." followed.
std::wstring RootOf(const std::wstring& path) {
  size_t end = StartsWith(path, L"\\\\?\\UNC\\") ? 8 : 4;
  for (int parts = end == 8 ? 2 : 1; parts > 0; --parts) {
    end = path.find(L'\\', end);
    if (end++ == std::wstring::npos) return path + L"\\";
  }
  return path.substr(0, end);
}
std::deque<std::wstring> NamesIn(const std::wstring& path) {
  std::deque<std::wstring> names;
  for (size_t start = 0, end; start < path.size(); start = end + 1) {
    end = std::min(path.find(L'\\', start), path.size());
    if (end > start) names.push_back(path.substr(start, end - start));
  }
  if (!path.empty() && path.back() == L'\\') names.push_back(L".");
  return names;
}

// `name` without the separators at its end.
std::wstring_view Trimmed(std::wstring_view name) {
  while (!name.empty() && name.back() == L'\\') name.remove_suffix(1);
  return name;
}

// A folder reached on the way: its handle, and its full name as the system tells it.
struct Reached {
  UniqueHandle handle;
  std::wstring name;
  // The full name of the entry `entry` in it.
  std::wstring Of(const std::wstring& entry) const {
    return name + (name.back() == L'\\' ? L"" : L"\\") + entry;
  }
};

// Whether the entry whose full name the system tells as `final` is in `folder`: by
// name, else by identity. Wine shows a link of its host's file system as what it
// leads to, and tells it only by this name.
bool IsIn(const std::wstring& final, const Reached& folder) {
  const std::wstring parent = final.substr(0, final.find_last_of(L'\\'));
  if (SameName(Trimmed(parent), Trimmed(folder.name))) return true;
  const UniqueHandle opened(CreateFileW(parent.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  FILE_ID_INFO id;
  return opened && IdentityOf(folder.handle.get(), id) && IsFile(opened.get(), id);
}

// Where the link `name` in `folder` (of reparse tag `tag`, 0 for a link the system
// shows only as what it leads to, `final`) leads, in `target`: followed only where
// the run may trust whoever may change the folder.
Fault Follow(const Reached& folder, const std::wstring& name, DWORD tag, std::wstring final,
             bool elevated, std::wstring& target) {
  // Other name surrogates (a WSL link, a container's layer) name no path to walk.
  if (tag != 0 && tag != IO_REPARSE_TAG_SYMLINK && tag != IO_REPARSE_TAG_MOUNT_POINT)
    return ErrorOf(kUnknownLinkTarget);
  const std::wstring link = folder.Of(name);
  // On a share the folder rule has nothing to weigh: a link there is refused.
  const std::string writer = !elevated               ? ""
                             : IsRemote(folder.name) ? "the accounts of the share's host"
                                                     : OtherWriterOfFolder(folder.handle.get());
  if (!writer.empty()) return Error{ErrorKind::kUntrusted, writer, Utf8(Unprefixed(link))};
  if (tag != 0) {
    const UniqueHandle followed(
        CreateIn(folder.handle.get(), name, FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, 0));
    if (!followed) return ErrorOf(GetLastError());
    final = FinalPath(followed.get());
  }
  if (final.empty()) return ErrorOf(kUnknownLinkTarget);
  target = final;
  return {};
}

// The attributes and reparse tag of `opened`, the entry `name` in `folder` opened
// itself; a reparse point that stands for its file (a cloud file's placeholder, a
// deduplicated file) is opened again as that file, which must be the entry, and
// taken for it (tag 0). False on failure, the error the last error.
bool EntryOf(HANDLE folder, const std::wstring& name, UniqueHandle& opened,
             FILE_ATTRIBUTE_TAG_INFO& entry) {
  FILE_ID_INFO id;
  if (!GetFileInformationByHandleEx(opened.get(), FileAttributeTagInfo, &entry, sizeof entry))
    return false;
  if (!(entry.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) entry.ReparseTag = 0;
  if (entry.ReparseTag == 0 || IsReparseTagNameSurrogate(entry.ReparseTag)) return true;
  if (!IdentityOf(opened.get(), id)) return false;
  opened = UniqueHandle(CreateIn(folder, name, FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, 0));
  entry.ReparseTag = 0;
  if (!opened) return false;
  if (!IsFile(opened.get(), id)) return Failing(kMoved, false);
  return true;
}

// Pins `reached`, the folder of the file `file`, in `folder`: opened again for every
// later step, with READ_CONTROL where the run is elevated, for its owner and access
// list, and its identity kept.
Fault Pin(const Reached& reached, const std::wstring& file, bool elevated, Folder& folder) {
  auto handle = std::make_shared<Win32Folder>();
  handle->handle =
      UniqueHandle(CreateIn(reached.handle.get(), L"",
                            FILE_TRAVERSE | FILE_READ_ATTRIBUTES | (elevated ? READ_CONTROL : 0),
                            kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE));
  if (!handle->handle || !IdentityOf(handle->handle.get(), handle->id))
    return ErrorOf(GetLastError());
  const std::wstring name = Unprefixed(reached.name);
  folder = {Utf8(name) + (name.back() == L'\\' ? "" : "\\"), Utf8(file), std::move(handle)};
  return {};
}

}  // namespace

// Each name is opened in the folder before it, the entry itself (a link not
// followed), for its attributes alone. A link's target, as the system names it once
// followed, is walked again from its root with the names left, so that every link
// on the way is judged where it is.
Fault ChaseFolderOf(const std::string& path, bool elevated, Folder& folder) {
  std::wstring remaining = SystemPath(path);
  if (IsStreamName(remaining)) return ErrorOf(kStreamName);
  for (int links = 0;;) {
    const std::wstring root = RootOf(remaining);
    std::deque<std::wstring> names = NamesIn(remaining.substr(root.size()));
    Reached current{UniqueHandle(CreateFileW(root.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)),
                    root};
    folder = {Utf8(Unprefixed(root)), names.empty() ? "" : Utf8(names.back()), nullptr};
    if (!current.handle) return ErrorOf(GetLastError());
    while (!names.empty()) {
      const std::wstring name = std::move(names.front());
      names.pop_front();
      UniqueHandle next(CreateIn(current.handle.get(), name, FILE_READ_ATTRIBUTES, kShareAll,
                                 FILE_OPEN, FILE_OPEN_REPARSE_POINT));
      if (!next) {
        const DWORD error = GetLastError();
        // Nothing there: where it was the file's name, its folder is pinned all the same.
        if (!IsMissing(error) || !names.empty()) return ErrorOf(error);
        const Fault pinned = Pin(current, name, elevated, folder);
        return pinned ? pinned : ErrorOf(error);
      }
      FILE_ATTRIBUTE_TAG_INFO entry;
      if (!EntryOf(current.handle.get(), name, next, entry)) return ErrorOf(GetLastError());
      const DWORD tag = entry.ReparseTag;
      const std::wstring final = FinalPath(next.get());
      if (tag != 0 || (!final.empty() && !IsIn(final, current))) {
        if (++links > 40) return ErrorOf(ERROR_CANT_RESOLVE_FILENAME);
        // A link to nothing at the file's name: its folder is pinned, as for nothing there.
        if (Fault fault = Follow(current, name, tag, final, elevated, remaining)) {
          if (fault->kind != ErrorKind::kMissing || !names.empty()) return fault;
          const Fault pinned = Pin(current, name, elevated, folder);
          return pinned ? pinned : fault;
        }
        for (const std::wstring& left : names) remaining += L"\\" + left;
        break;
      }
      if (names.empty()) return Pin(current, name, elevated, folder);
      // A name after a file's: Windows reports a missing path.
      if (!(entry.FileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return ErrorOf(names.front() == L"." ? ERROR_DIRECTORY : ERROR_PATH_NOT_FOUND);
      current = {UniqueHandle(CreateIn(next.get(), L"", FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                                       kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE)),
                 final.empty() ? current.Of(name) : final};
      if (!current.handle) return ErrorOf(GetLastError());
    }
  }
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
  if (IsRemote(name)) {
    for (std::wstring* each : {&name, &pinned})
      while (each->size() > 3 && each->back() == L'\\') each->pop_back();
    return SameName(name, pinned);
  }
  const UniqueHandle file(OpenFolder(Resolve(shared), true, 0));
  FILE_ID_INFO id;
  return file && IdentityOf(file.get(), id) &&
         SameId(id, static_cast<const Win32Folder&>(*folder.handle).id);
}

size_t FileNameStart(const std::string& path) { return path.find_last_of("\\/:") + 1; }
