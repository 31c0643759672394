#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "config/file_system.h"
#include "config/rewrite.h"

// Replacing a file whole, over a file system's temporary-file steps.
//
// Calling sequence, all in the folder of the file read: CreateTemporary;
// TakeOverIdentity (the rights before the first byte, so the new text is never
// readable under other rights); Write through StreamPieces; Finish (flushed to
// disk); then, while the file read is unchanged, Place by one rename, and
// FlushFolder.
//
// Error handling: a failure, or an exception, before the rename removes the
// temporary file and leaves the destination as it was; the error of the failing
// step is returned. Any result names a temporary file that could not be removed. A
// failure to flush the folder comes after the rename: the new text is in place, and
// the failure is still reported.

enum class WriteResult { kWritten, kFailed, kChanged };

struct Publication {
  WriteResult result = WriteResult::kWritten;
  Error error;             // why, where kFailed
  std::string leftBehind;  // a temporary file's full name, where it could not be removed
};

// Writes `pieces` to a temporary file in the folder of the file read that takes its
// identity, and publishes it there as `name`. kChanged, writing nothing, when the
// folder's entry of the file read is no longer what was read. With `replace` false
// an entry already at `name` is kept, and the call still succeeds.
Publication WriteWholeFile(FileSystem& files, const std::string& name,
                           const std::vector<Piece>& pieces, const Snapshot& read, bool replace);

// Streams the bytes of `pieces` through one bounded buffer: `write` gets the
// buffered bytes and, for a large plain piece, that piece itself, and must write
// both whole. False as soon as `write` returns false.
bool StreamPieces(const std::vector<Piece>& pieces,
                  const std::function<bool(std::string_view, std::string_view)>& write);
