#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>

#include "script/platform.h"

namespace {

// Writes every piece, continuing short writes; false on the first failed call.
bool WritePieces(HANDLE file, const std::vector<std::string_view>& pieces) {
  for (std::string_view piece : pieces) {
    while (!piece.empty()) {
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(piece.size(), 1u << 30));
      DWORD written = 0;
      if (!WriteFile(file, piece.data(), chunk, &written, nullptr) || written == 0) return false;
      piece.remove_prefix(written);
    }
  }
  return true;
}

// Creates a new file beside `path` that no other process has open; its name goes to `temp`.
HANDLE CreateTemporaryFile(const std::string& path, std::string& temp) {
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    temp =
        path + "." + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(attempt) + ".tmp";
    const HANDLE file = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    // A name left behind by an earlier, killed run is skipped.
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return file;
  }
  return INVALID_HANDLE_VALUE;
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
  // The web server, a virus scanner or a backup agent may hold the file for a
  // moment; a read-only file fails the same way, and is never made writable.
  for (int attempt = 0; attempt < 10; ++attempt) {
    if (attempt > 0) Sleep(100);
    if (MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      return true;
    const DWORD error = GetLastError();
    if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) return false;
  }
  return false;
}

}  // namespace

// Read, not mapped: a file with a mapped view cannot be replaced.
bool ReadWholeFile(const std::string& path, FileBytes& bytes) {
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size;
  bool ok = GetFileType(file) == FILE_TYPE_DISK && GetFileSizeEx(file, &size) &&
            size.QuadPart <= kMaxFileSize;
  std::unique_ptr<char[]> buffer(ok ? new char[size.QuadPart] : nullptr);
  DWORD filled = 0;
  while (ok && filled < size.QuadPart) {
    DWORD count = 0;
    ok =
        ReadFile(file, buffer.get() + filled, size.QuadPart - filled, &count, nullptr) && count > 0;
    filled += count;
  }
  CloseHandle(file);
  if (ok) bytes = {std::string_view(buffer.get(), filled), buffer.release()};
  return ok;
}

void ReleaseFileBytes(FileBytes* bytes) { delete[] static_cast<char*>(bytes->storage); }

bool PathExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

int WriteWholeFile(const std::string& path, const std::vector<std::string_view>& pieces,
                   const std::string& like, bool replace) {
  const DWORD likeAttributes = GetFileAttributesA(like.c_str());
  if (likeAttributes == INVALID_FILE_ATTRIBUTES) return -1;
  const DWORD kept =
      likeAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
  std::string temp;
  const HANDLE file = CreateTemporaryFile(path, temp);
  if (file == INVALID_HANDLE_VALUE) return -1;
  bool ok = WritePieces(file, pieces) && FlushFileBuffers(file);
  ok = CloseHandle(file) && ok;
  ok = ok && SetFileAttributesA(temp.c_str(), kept ? kept : FILE_ATTRIBUTE_NORMAL) &&
       Publish(temp, path, replace);
  if (!ok) DeleteFileA(temp.c_str());
  return ok ? 0 : -1;
}
