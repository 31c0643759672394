#include "script/rewrite.h"

#include <cstring>

namespace {

constexpr std::string_view kBeginMarker = "QUELLMARK BEGIN";
constexpr std::string_view kEndMarker = "QUELLMARK END";
constexpr std::string_view kAnchor = "<sectionGroup name=\"system.webServer\">";
constexpr std::string_view kLineEnd = "\r\n";

bool Contains(std::string_view line, std::string_view what) {
  return line.find(what) != std::string_view::npos;
}

void Append(std::vector<std::string_view>& pieces, std::string_view piece) {
  if (piece.empty()) return;
  if (!pieces.empty() && pieces.back().data() + pieces.back().size() == piece.data())
    pieces.back() = std::string_view(pieces.back().data(), pieces.back().size() + piece.size());
  else
    pieces.push_back(piece);
}

}  // namespace

RebuiltScript RebuildScriptText(std::string_view text) {
  RebuiltScript result;
  bool insideMarkers = false;
  size_t cursor = 0;
  while (cursor < text.size()) {
    const char* start = text.data() + cursor;
    const size_t rest = text.size() - cursor;
    const char* feed = static_cast<const char*>(std::memchr(start, '\n', rest));
    size_t length = feed ? feed - start : rest;
    cursor += feed ? length + 1 : length;
    // A carriage return directly before the line feed belongs to the line end.
    const bool crlf = feed && length > 0 && start[length - 1] == '\r';
    if (crlf) --length;
    const std::string_view line(start, length);

    if (Contains(line, kBeginMarker)) {
      insideMarkers = true;
    } else if (Contains(line, kEndMarker)) {
      insideMarkers = false;
    } else if (!(result.inserted && insideMarkers)) {
      // A CRLF line is copied with its own line end, so unchanged runs of such
      // lines stay one piece.
      if (crlf) {
        Append(result.pieces, std::string_view(start, length + 2));
      } else {
        Append(result.pieces, line);
        Append(result.pieces, kLineEnd);
      }
      if (!result.inserted && Contains(line, kAnchor)) {
        Append(result.pieces, kSectionBlock);
        result.inserted = true;
      }
    }
  }
  result.unterminated = result.inserted && insideMarkers;
  return result;
}
