#pragma once

#include <string>
#include <string_view>
#include <vector>

// The operating-system calls of the update; one implementation per platform.

// True when any entry, a folder included, is at `path`
// (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES).
bool PathExists(const std::string& path);

// A whole file's bytes, held until ReleaseFileBytes: mapped read-only where the
// platform can still replace a mapped file, read into memory elsewhere.
struct FileBytes {
  std::string_view text;
  void* storage = nullptr;  // the mapping or the buffer; for ReleaseFileBytes only
};

// Sizes are 32-bit signed counts: larger files are refused as unreadable.
constexpr long long kMaxFileSize = 0x7FFFFFFF;

// Reads the regular file at `path` whole, as of its size when opened. False when
// it cannot be opened, is not a regular file (a folder, say), cannot be sized,
// read or mapped, or is larger than kMaxFileSize.
bool ReadWholeFile(const std::string& path, FileBytes& bytes);
void ReleaseFileBytes(FileBytes* bytes);

// Writes `pieces`, in order, to a temporary file created exclusively beside
// `path`, flushes it to disk, closes it, gives it the permission bits of the
// existing file `like` and publishes it at `path` with one rename, then flushes
// the folder. With `replace` false an existing entry at `path` is never replaced:
// it is kept and the call still succeeds. Returns 0, or -1 on failure. A failure
// before the rename removes the temporary file and leaves `path` as it was; only
// a failure to flush the folder comes after it.
int WriteWholeFile(const std::string& path, const std::vector<std::string_view>& pieces,
                   const std::string& like, bool replace);
