#include "config/rewrite.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

constexpr std::string_view kMarkerStart = "QUELLMARK ";  // how both markers begin
constexpr std::string_view kLineEnd = "\r\n";

// Whether `needle` lies within text[start, end). `next` keeps the first place of
// the needle found at or after an earlier start, so over the whole walk the text
// is searched once, left to right, instead of once per line.
bool OccursIn(std::string_view text, std::string_view needle, size_t start, size_t end,
              size_t& next) {
  if (next < start) next = text.find(needle, start);
  return next != kNoPosition && next + needle.size() <= end;
}

enum class Marker { kNone, kBegin, kEnd };

// What `line` is: a begin marker line (which wins when the line holds both marker
// texts), an end marker line, or neither.
Marker MarkerOf(std::string_view line) {
  bool finish = false;
  for (size_t at = line.find(kMarkerStart); at != kNoPosition;
       at = line.find(kMarkerStart, at + 1)) {
    const std::string_view marker = line.substr(at);
    if (marker.substr(0, kBeginMarker.size()) == kBeginMarker) return Marker::kBegin;
    finish = finish || marker.substr(0, kEndMarker.size()) == kEndMarker;
  }
  return finish ? Marker::kEnd : Marker::kNone;
}

// The walks' state over marker lines: whether a block is open, and where the
// begin marker line that opened it starts.
struct Blocks {
  bool inside = false;
  size_t openedAt = 0;
  // Passes the line [start, end) as what `marker` says it is; whether it is a marker line.
  bool Passes(Marker marker, size_t start) {
    if (marker == Marker::kNone) return false;
    if (marker == Marker::kBegin && !inside) openedAt = start;
    inside = marker == Marker::kBegin;
    return true;
  }
};

// The next line at `start`: its bytes without the line end run to `end`, the next
// line starts at `next`. A carriage return before the line feed is part of the end.
struct Line {
  size_t end, next;
  bool ended;  // by a line feed, rather than by the end of the text
};

Line LineAt(std::string_view text, size_t start) {
  const size_t feed = text.find('\n', start);
  if (feed == kNoPosition) return {text.size(), text.size(), false};
  const bool cr = feed > start && text[feed - 1] == '\r';
  return {cr ? feed - 1 : feed, feed + 1, true};
}

// Where the line holding text[at] starts, no earlier than `from`.
size_t LineStartOf(std::string_view text, size_t at, size_t from) {
  const size_t feed = text.rfind('\n', at);
  return feed == kNoPosition || feed < from ? from : feed + 1;
}

// Whether `bytes` hold a line feed without a carriage return before it. Pieces
// start at line starts, so a line feed at a piece's first byte is lone.
bool HasLoneLineFeed(std::string_view bytes) {
  if (!bytes.empty() && bytes[0] == '\n') return true;
  // Whole blocks are tested without branches, which the compiler turns into
  // vector instructions: many times faster than a search per line.
  constexpr size_t kBlock = 64;
  unsigned char lone = 0;
  size_t at = 1;
  for (; at + kBlock <= bytes.size() && !lone; at += kBlock)
    for (size_t i = at; i < at + kBlock; ++i) lone |= (bytes[i] == '\n') * (bytes[i - 1] != '\r');
  for (; at < bytes.size() && !lone; ++at) lone = bytes[at] == '\n' && bytes[at - 1] != '\r';
  return lone;
}

void Append(std::vector<Piece>& pieces, Piece piece) {
  if (piece.bytes.empty()) return;
  Piece* last = pieces.empty() ? nullptr : &pieces.back();
  if (last && last->bytes.data() + last->bytes.size() == piece.bytes.data())
    *last = {std::string_view(last->bytes.data(), last->bytes.size() + piece.bytes.size()),
             last->crlf || piece.crlf};
  else
    pieces.push_back(piece);
}

// Whole lines of the input, copied with CR LF line ends.
void AppendLines(std::vector<Piece>& pieces, std::string_view lines) {
  Append(pieces, {lines, HasLoneLineFeed(lines)});
}

}  // namespace

NewText InsertBlock(std::string_view text) {
  NewText result;
  Blocks blocks;
  size_t cursor = 0;
  size_t nextMarker = text.find(kMarkerStart), nextAnchor = text.find(kAnchorText);
  while (cursor < text.size()) {
    // The text is searched for markers once, left to right.
    if (nextMarker < cursor) nextMarker = text.find(kMarkerStart, cursor);
    // Fast path: the whole lines before the line of the next marker (and, until
    // the block is in, of the next anchor) are copied in one piece.
    if (!(result.inserted && blocks.inside)) {
      const size_t special = std::min(nextMarker, result.inserted ? kNoPosition : nextAnchor);
      const size_t runEnd = special == kNoPosition ? LineStartOf(text, text.size() - 1, cursor)
                                                   : LineStartOf(text, special, cursor);
      AppendLines(result.pieces, text.substr(cursor, runEnd - cursor));
      cursor = runEnd;
      if (cursor == text.size()) break;
    }
    const size_t lineStart = cursor;
    const Line line = LineAt(text, lineStart);
    cursor = line.next;

    const std::string_view bytes = text.substr(lineStart, line.end - lineStart);
    if (blocks.Passes(nextMarker < line.end ? MarkerOf(bytes) : Marker::kNone, lineStart)) continue;
    if (!(result.inserted && blocks.inside)) {
      AppendLines(result.pieces, text.substr(lineStart, cursor - lineStart));
      if (!line.ended) Append(result.pieces, {kLineEnd});
      if (!result.inserted && OccursIn(text, kAnchorText, lineStart, line.end, nextAnchor)) {
        Append(result.pieces, {kSectionBlock});
        result.inserted = true;
      }
    }
  }
  result.unterminated = result.inserted && blocks.inside;
  result.openBlock = blocks.openedAt;
  return result;
}

NewText RemoveBlocks(std::string_view text) {
  NewText result;
  Blocks blocks;
  size_t cursor = 0, nextMarker = text.find(kMarkerStart);
  while (cursor < text.size()) {
    if (nextMarker < cursor) nextMarker = text.find(kMarkerStart, cursor);
    // The lines before the line of the next marker are kept, or dropped inside a block.
    const size_t runEnd =
        nextMarker == kNoPosition ? text.size() : LineStartOf(text, nextMarker, cursor);
    if (!blocks.inside) Append(result.pieces, {text.substr(cursor, runEnd - cursor)});
    if (runEnd == text.size()) break;
    const Line line = LineAt(text, runEnd);
    cursor = line.next;

    if (!blocks.Passes(MarkerOf(text.substr(runEnd, line.end - runEnd)), runEnd) && !blocks.inside)
      Append(result.pieces, {text.substr(runEnd, cursor - runEnd)});
  }
  result.unterminated = blocks.inside;
  result.openBlock = blocks.openedAt;
  return result;
}

bool SameText(const std::vector<Piece>& pieces, std::string_view text) {
  for (const Piece& piece : pieces) {
    // A crlf piece always holds a lone line feed, which it changes.
    if (piece.crlf) return false;
    // Most pieces are the very bytes of the text at that place.
    if (piece.bytes.data() != text.data() && text.substr(0, piece.bytes.size()) != piece.bytes)
      return false;
    text.remove_prefix(piece.bytes.size());
  }
  return text.empty();
}

size_t SizeOver(const std::vector<Piece>& pieces, size_t limit) {
  size_t size = 0, grown = 0;  // grown: what the lone line feeds could add at most
  for (const Piece& piece : pieces) {
    size += piece.bytes.size();
    if (piece.crlf) grown += piece.bytes.size();
  }
  // The line feeds are counted only near the limit: a search of the whole text.
  if (size + grown <= limit) return 0;
  for (const Piece& piece : pieces) {
    const std::string_view bytes = piece.bytes;
    for (size_t feed = 0; piece.crlf && (feed = bytes.find('\n', feed)) != kNoPosition; ++feed)
      size += feed == 0 || bytes[feed - 1] != '\r';
  }
  return size > limit ? size : 0;
}

size_t LineNumber(std::string_view text, size_t at) {
  const std::string_view before = text.substr(0, at);
  return 1 + std::count(before.begin(), before.end(), '\n');
}

size_t FindAnchorLike(std::string_view text) {
  for (size_t at = text.find("system.webServer"); at != kNoPosition;
       at = text.find("system.webServer", at + 1)) {
    const size_t start = LineStartOf(text, at, 0);
    if (text.substr(start, LineAt(text, start).end - start).find("sectionGroup") != kNoPosition)
      return start;
  }
  return kNoPosition;
}
