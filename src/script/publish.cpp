#include "script/publish.h"

#include <algorithm>
#include <chrono>
#include <thread>

WriteResult WriteWholeFile(const std::string& path, const std::vector<Piece>& pieces,
                           const Snapshot& read, bool replace) {
  const TempFilePtr temp = CreateTemporary(path, read);
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
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    if (attempt > 0) pause = std::min(2 * pause, 1600);
    if (!IsUnchanged(read)) return WriteResult::kChanged;
    placed = PlaceTemporary(*temp, path, replace);
  }
  if (placed == Placed::kExists) return WriteResult::kWritten;
  if (placed != Placed::kPlaced) return WriteResult::kFailed;
  return FlushFolderOf(path) ? WriteResult::kWritten : WriteResult::kFailed;
}
