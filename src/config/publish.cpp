// Replacing a file whole: the write protocol over the platform's temporary-file steps.
#include "config/publish.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "config/texts.h"

Publication WriteWholeFile(FileSystem& files, const std::string& name,
                           const std::vector<Piece>& pieces, const Snapshot& read, bool replace) {
  TempFilePtr temp;
  Fault fault = files.CreateTemporary(*read.folder, name, read, temp);
  if (fault) return {WriteResult::kFailed, *fault, ""};
  const auto failed = [&](Error error) {
    return Publication{WriteResult::kFailed, std::move(error), files.Discard(std::move(temp))};
  };
  if ((fault = files.TakeOverIdentity(*temp, read))) return failed(*fault);
  const auto write = [&](std::string_view a, std::string_view b) {
    return !(fault = files.Write(*temp, a, b));
  };
  if (!StreamPieces(pieces, write) || (fault = files.Finish(*temp, read))) return failed(*fault);
  // Where the platforms differ: Windows may refuse to replace a file that another
  // program (the web server, a virus scanner, a backup agent) holds open, so the
  // rename is tried for some seconds, pausing longer each time, and the file looked
  // at before each attempt since its holder may have written it. POSIX renames
  // atomically whoever holds the file: there the first attempt is the last.
  Placed placed = Placed::kHeld;
  for (int attempt = 0, pause = 50; placed == Placed::kHeld && attempt < 8; ++attempt) {
    if (attempt > 0) {
      files.Pause(pause);
      pause = std::min(2 * pause, 1600);
    }
    if (!files.IsUnchanged(read))
      return {WriteResult::kChanged, {}, files.Discard(std::move(temp))};
    if ((fault = files.Place(*temp, name, replace, placed))) return failed(*fault);
  }
  if (placed == Placed::kHeld) return failed({ErrorKind::kInUse, Explain(Why::kHeld)});
  if (placed == Placed::kExists) return {WriteResult::kWritten, {}, files.Discard(std::move(temp))};
  if ((fault = files.FlushFolder(*read.folder))) return {WriteResult::kFailed, *fault, ""};
  return {};
}

bool StreamPieces(const std::vector<Piece>& pieces,
                  const std::function<bool(std::string_view, std::string_view)>& write) {
  constexpr size_t kBufferSize = 256 << 10;
  constexpr size_t kDirect = 64 << 10;  // larger stretches are written from where they are
  const std::unique_ptr<char[]> buffer(new char[kBufferSize]);
  size_t used = 0;
  const auto flush = [&](std::string_view direct) {
    const std::string_view buffered(buffer.get(), used);
    used = 0;
    return write(buffered, direct);
  };
  const auto put = [&](const char* bytes, size_t size) {
    if (size >= kDirect) return flush({bytes, size});
    if (used + size > kBufferSize && !flush({})) return false;
    std::memcpy(buffer.get() + used, bytes, size);
    used += size;
    return true;
  };
  for (const Piece& piece : pieces) {
    const char* const begin = piece.bytes.data();
    const char* const end = begin + piece.bytes.size();
    const char* from = begin;
    // One search per line: far faster than a test per byte, whatever the line length.
    for (const char* feed = begin; piece.crlf && feed < end; ++feed) {
      feed = static_cast<const char*>(std::memchr(feed, '\n', end - feed));
      if (!feed) break;
      if (feed > begin && feed[-1] == '\r') continue;
      if (!put(from, feed - from) || !put("\r\n", 2)) return false;
      from = feed + 1;
    }
    if (!put(from, end - from)) return false;
  }
  return used == 0 || flush({});
}
