// Replacing a file whole: the write protocol over the platform's temporary-file steps.
#include "config/publish.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

WriteResult WriteWholeFile(const std::string& name, const std::vector<Piece>& pieces,
                           const Snapshot& read, bool replace) {
  const TempFilePtr temp = CreateTemporary(*read.folder, name, read);
  if (!temp) return WriteResult::kFailed;
  const auto write = [&temp](std::string_view a, std::string_view b) {
    return WriteTemporary(*temp, a, b);
  };
  if (!TakeOverIdentity(*temp, read) || !StreamPieces(pieces, write) ||
      !FinishTemporary(*temp, read))
    return WriteResult::kFailed;
  // Where the platforms differ: Windows may refuse to replace a file that another
  // program (the web server, a virus scanner, a backup agent) holds open, so the
  // rename is tried for some seconds, pausing longer each time, and the file looked
  // at before each attempt since its holder may have written it. POSIX renames
  // atomically whoever holds the file: there the first attempt is the last.
  Placed placed = Placed::kHeld;
  for (int attempt = 0, pause = 50; placed == Placed::kHeld && attempt < 8; ++attempt) {
    if (attempt > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(pause));
      pause = std::min(2 * pause, 1600);
    }
    if (!IsUnchanged(read)) return WriteResult::kChanged;
    placed = PlaceTemporary(*temp, name, replace);
  }
  if (placed == Placed::kExists) return WriteResult::kWritten;
  if (placed != Placed::kPlaced) return WriteResult::kFailed;
  return FlushFolder(*read.folder) ? WriteResult::kWritten : WriteResult::kFailed;
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
