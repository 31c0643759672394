#include "script/rewrite.h"

#include <algorithm>

namespace {

constexpr std::string_view kBeginMarker = "QUELLMARK BEGIN";
constexpr std::string_view kEndMarker = "QUELLMARK END";
constexpr std::string_view kMarkerStart = "QUELLMARK ";  // how both markers begin
constexpr std::string_view kAnchor = "<sectionGroup name=\"system.webServer\">";
constexpr std::string_view kLineEnd = "\r\n";

// Whether `needle` lies within text[start, end). `next` keeps the first place of
// the needle found at or after an earlier start, so over the whole walk the text
// is searched once, left to right, instead of once per line.
bool OccursIn(std::string_view text, std::string_view needle, size_t start, size_t end,
              size_t& next) {
  if (next < start) next = text.find(needle, start);
  return next != std::string_view::npos && next + needle.size() <= end;
}

// Which markers lie within text[start, end). `next` keeps the first place of
// kMarkerStart at or after an earlier start, as in OccursIn, so both markers are
// found with one search.
void FindMarkers(std::string_view text, size_t start, size_t end, size_t& next, bool& begin,
                 bool& finish) {
  begin = finish = false;
  if (next < start) next = text.find(kMarkerStart, start);
  for (; next != std::string_view::npos && next < end; next = text.find(kMarkerStart, next + 1)) {
    const std::string_view marker = text.substr(next, end - next);
    begin = begin || marker.substr(0, kBeginMarker.size()) == kBeginMarker;
    finish = finish || marker.substr(0, kEndMarker.size()) == kEndMarker;
  }
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
  size_t nextMarker = text.find(kMarkerStart), nextAnchor = text.find(kAnchor);
  while (cursor < text.size()) {
    // Fast path: the CRLF lines before the next marker (and, until the block is
    // in, the next anchor) are copied as they are, in one piece.
    if (!(result.inserted && insideMarkers)) {
      const size_t special = std::min(nextMarker, result.inserted ? text.npos : nextAnchor);
      size_t runEnd = cursor;
      for (size_t feed; (feed = text.find('\n', runEnd)) < special;) {
        if (feed == runEnd || text[feed - 1] != '\r') break;
        runEnd = feed + 1;
      }
      Append(result.pieces, text.substr(cursor, runEnd - cursor));
      cursor = runEnd;
      if (cursor == text.size()) break;
    }
    const size_t lineStart = cursor;
    const size_t feed = text.find('\n', lineStart);
    cursor = feed == text.npos ? text.size() : feed + 1;
    size_t lineEnd = feed == text.npos ? text.size() : feed;
    // A carriage return directly before the line feed belongs to the line end.
    const bool crlf = feed != text.npos && lineEnd > lineStart && text[lineEnd - 1] == '\r';
    if (crlf) --lineEnd;
    const std::string_view line = text.substr(lineStart, lineEnd - lineStart);

    bool begin, finish;
    FindMarkers(text, lineStart, lineEnd, nextMarker, begin, finish);
    if (begin) {
      insideMarkers = true;
    } else if (finish) {
      insideMarkers = false;
    } else if (!(result.inserted && insideMarkers)) {
      // A CRLF line is copied with its own line end, so unchanged runs of such
      // lines stay one piece.
      if (crlf) {
        Append(result.pieces, text.substr(lineStart, cursor - lineStart));
      } else {
        Append(result.pieces, line);
        Append(result.pieces, kLineEnd);
      }
      if (!result.inserted && OccursIn(text, kAnchor, lineStart, lineEnd, nextAnchor)) {
        Append(result.pieces, kSectionBlock);
        result.inserted = true;
      }
    }
  }
  result.unterminated = result.inserted && insideMarkers;
  return result;
}
