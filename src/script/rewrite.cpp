#include "script/rewrite.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

constexpr std::string_view kMarkerStart = "QUELLMARK ";  // how both markers begin
constexpr std::string_view kLineEnd = "\r\n";
constexpr size_t npos = std::string_view::npos;

// Whether `needle` lies within text[start, end). `next` keeps the first place of
// the needle found at or after an earlier start, so over the whole walk the text
// is searched once, left to right, instead of once per line.
bool OccursIn(std::string_view text, std::string_view needle, size_t start, size_t end,
              size_t& next) {
  if (next < start) next = text.find(needle, start);
  return next != npos && next + needle.size() <= end;
}

// Whether text[start, end) is a marker line: a begin marker (which wins over an
// end marker on the same line) opens a block, an end marker closes it. `next`
// keeps the first place of kMarkerStart at or after an earlier start, as in
// OccursIn, so both markers are found with one search. A begin marker line that
// opens a block sets `openBlock` to where it starts.
bool IsMarkerLine(std::string_view text, size_t start, size_t end, size_t& next,
                  bool& insideMarkers, size_t& openBlock) {
  bool begin = false, finish = false;
  if (next < start) next = text.find(kMarkerStart, start);
  for (; next != npos && next < end; next = text.find(kMarkerStart, next + 1)) {
    const std::string_view marker = text.substr(next, end - next);
    begin = begin || marker.substr(0, kBeginMarker.size()) == kBeginMarker;
    finish = finish || marker.substr(0, kEndMarker.size()) == kEndMarker;
  }
  if (begin && !insideMarkers) openBlock = start;
  if (begin || finish) insideMarkers = begin;
  return begin || finish;
}

// The next line at `start`: its bytes without the line end run to `end`, the next
// line starts at `next`. A carriage return before the line feed is part of the end.
struct Line {
  size_t end, next;
  bool ended;  // by a line feed, rather than by the end of the text
};

Line LineAt(std::string_view text, size_t start) {
  const size_t feed = text.find('\n', start);
  if (feed == npos) return {text.size(), text.size(), false};
  const bool cr = feed > start && text[feed - 1] == '\r';
  return {cr ? feed - 1 : feed, feed + 1, true};
}

// Where the line holding text[at] starts, no earlier than `from`.
size_t LineStartOf(std::string_view text, size_t at, size_t from) {
  const size_t feed = text.rfind('\n', at);
  return feed == npos || feed < from ? from : feed + 1;
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

RebuiltScript RebuildScriptText(std::string_view text) {
  RebuiltScript result;
  bool insideMarkers = false;
  size_t cursor = 0;
  size_t nextMarker = text.find(kMarkerStart), nextAnchor = text.find(kAnchorText);
  while (cursor < text.size()) {
    // Fast path: the whole lines before the line of the next marker (and, until
    // the block is in, of the next anchor) are copied in one piece.
    if (!(result.inserted && insideMarkers)) {
      const size_t special = std::min(nextMarker, result.inserted ? npos : nextAnchor);
      const size_t runEnd = special == npos ? LineStartOf(text, text.size() - 1, cursor)
                                            : LineStartOf(text, special, cursor);
      AppendLines(result.pieces, text.substr(cursor, runEnd - cursor));
      cursor = runEnd;
      if (cursor == text.size()) break;
    }
    const size_t lineStart = cursor;
    const Line line = LineAt(text, lineStart);
    cursor = line.next;

    if (IsMarkerLine(text, lineStart, line.end, nextMarker, insideMarkers, result.openBlock))
      continue;
    if (!(result.inserted && insideMarkers)) {
      AppendLines(result.pieces, text.substr(lineStart, cursor - lineStart));
      if (!line.ended) Append(result.pieces, {kLineEnd});
      if (!result.inserted && OccursIn(text, kAnchorText, lineStart, line.end, nextAnchor)) {
        Append(result.pieces, {kSectionBlock});
        result.inserted = true;
      }
    }
  }
  result.unterminated = result.inserted && insideMarkers;
  return result;
}

RebuiltScript RemoveSectionText(std::string_view text) {
  RebuiltScript result;
  bool insideMarkers = false;
  size_t cursor = 0, nextMarker = text.find(kMarkerStart);
  while (cursor < text.size()) {
    // The lines before the line of the next marker are kept, or dropped inside a block.
    const size_t runEnd = nextMarker == npos ? text.size() : LineStartOf(text, nextMarker, cursor);
    if (!insideMarkers) Append(result.pieces, {text.substr(cursor, runEnd - cursor)});
    if (runEnd == text.size()) break;
    const Line line = LineAt(text, runEnd);
    cursor = line.next;

    if (!IsMarkerLine(text, runEnd, line.end, nextMarker, insideMarkers, result.openBlock) &&
        !insideMarkers)
      Append(result.pieces, {text.substr(runEnd, cursor - runEnd)});
  }
  result.unterminated = insideMarkers;
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
    for (size_t feed = 0; piece.crlf && (feed = bytes.find('\n', feed)) != npos; ++feed)
      size += feed == 0 || bytes[feed - 1] != '\r';
  }
  return size > limit ? size : 0;
}

size_t LineNumber(std::string_view text, size_t at) {
  const std::string_view before = text.substr(0, at);
  return 1 + std::count(before.begin(), before.end(), '\n');
}

size_t FindAnchorLike(std::string_view text) {
  for (size_t at = text.find("system.webServer"); at != npos;
       at = text.find("system.webServer", at + 1)) {
    const size_t start = LineStartOf(text, at, 0);
    if (text.substr(start, LineAt(text, start).end - start).find("sectionGroup") != npos)
      return start;
  }
  return npos;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
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
