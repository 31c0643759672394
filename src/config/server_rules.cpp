// The server's rules, asked of an XML parser: a change the server could not load, a second
// declaration, settings left without theirs, and where a web farm redirects the file.
#include "config/server_rules.h"

#include <expat.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

// Whether `a` and `b` are the same but for the case of ASCII letters.
bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

constexpr std::string_view kSectionName = "Quellmark";
constexpr std::string_view kSectionStart = "<section name=\"Quellmark\"";

// Where the last change ends, in the text read and in the new text as its pieces
// spell it (a "\r" added before a line feed is left out: XML reads both alike);
// where the block's section was inserted in the new text; and where the first
// dropped line that this tool does not write starts in the text read.
struct Change {
  size_t textEnd = 0, newEnd = 0;
  size_t section = kNoPosition, foreignLine = kNoPosition;
};

using Parser = std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)>;

// A parser of text in `encoding` (null: as the text declares), handing `data` to
// its handlers.
Parser NewParser(void* data, const char* encoding = nullptr) {
  Parser parser(XML_ParserCreate(encoding), XML_ParserFree);
  if (!parser) throw std::bad_alloc();
  // The parser would otherwise ask the system for entropy, and glibc ends the
  // process when that call fails. Enough against colliding names: a file that
  // only an administrator may write is no attacker's.
  XML_SetHashSalt(parser.get(), std::chrono::steady_clock::now().time_since_epoch().count() | 1);
  XML_SetUserData(parser.get(), data);
  return parser;
}

// Parses `size` bytes at `bytes`, the last ones with `final`. A fault where the
// parser stopped, in its own words, on a well-formedness error.
Breach Parse(XML_Parser parser, const char* bytes, size_t size, bool final) {
  if (XML_Parse(parser, bytes, static_cast<int>(size), final) == XML_STATUS_OK) return {};
  const XML_Error error = XML_GetErrorCode(parser);
  if (error == XML_ERROR_NO_MEMORY) throw std::bad_alloc();
  if (error == XML_ERROR_ABORTED) return {};
  return {static_cast<size_t>(XML_GetCurrentByteIndex(parser)), Why::kParser,
          XML_ErrorString(error)};
}

// Whether `bytes` lie within `text`, rather than being inserted.
bool Within(std::string_view text, std::string_view bytes) {
  const std::less_equal<const char*> notAfter;
  return notAfter(text.data(), bytes.data()) && notAfter(bytes.data(), text.data() + text.size());
}

// Where byte `at` of the new text that `pieces` spell comes from in `text`: a
// copied byte is itself; an inserted one, the last byte before it. `copied` tells
// which.
size_t InText(std::string_view text, const std::vector<Piece>& pieces, size_t at,
              bool* copied = nullptr) {
  size_t textAt = 0;
  for (const Piece& piece : pieces) {
    const bool within = Within(text, piece.bytes);
    if (within) textAt = piece.bytes.data() - text.data();
    if (copied) *copied = within;
    if (at < piece.bytes.size()) return within ? textAt + at : textAt - (textAt > 0);
    at -= piece.bytes.size();
    if (within) textAt += piece.bytes.size();
  }
  return textAt;
}

// Whether `line` is exactly one construct as XML's grammar defines it: one comment,
// or one empty-element tag. Parsed alone, its bytes taken as Latin-1 so that any
// encoding's other bytes are characters, as the only comment in an element or as
// the whole document; the construct must then span the line.
bool IsExactlyOne(std::string_view line, bool comment) {
  struct Span {
    XML_Parser parser = nullptr;
    long long at = -1, size = 0;
    static void Record(void* data) {
      Span& span = *static_cast<Span*>(data);
      if (span.at >= 0) return;
      span.at = XML_GetCurrentByteIndex(span.parser);
      span.size = XML_GetCurrentByteCount(span.parser);
    }
  } span;
  const Parser parser = NewParser(&span, "ISO-8859-1");
  span.parser = parser.get();
  if (comment)
    XML_SetCommentHandler(parser.get(), [](void* data, const XML_Char*) { Span::Record(data); });
  else
    XML_SetStartElementHandler(
        parser.get(), [](void* data, const XML_Char*, const XML_Char**) { Span::Record(data); });
  const std::string text = comment ? "<x>" + std::string(line) + "</x>" : std::string(line);
  return !Parse(parser.get(), text.data(), text.size(), true) && span.at == (comment ? 3 : 0) &&
         span.size == static_cast<long long>(line.size());
}

// Where the first of the whole `lines` starts that, without its line end and the
// spaces and tabs around it, is not one this tool writes (a marker line that is
// one comment, or a blank line or one empty-element tag that declares the
// section), or kNoPosition.
size_t ForeignLine(std::string_view lines) {
  for (const char* const start = lines.data(); !lines.empty();) {
    const size_t at = lines.data() - start;
    const size_t feed = lines.find('\n');
    std::string_view line = lines.substr(0, feed);
    lines.remove_prefix(feed == kNoPosition ? lines.size() : feed + 1);
    if (feed != kNoPosition && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    const size_t first = line.find_first_not_of(" \t");
    if (first == kNoPosition) continue;
    line = line.substr(first, line.find_last_not_of(" \t") + 1 - first);
    const auto holds = [line](std::string_view what) { return line.find(what) != kNoPosition; };
    const bool marker = holds(kBeginMarker) || holds(kEndMarker);
    if (!(marker || line.substr(0, kSectionStart.size()) == kSectionStart) ||
        !IsExactlyOne(line, marker))
      return at;
  }
  return kNoPosition;
}

Change FindChange(std::string_view text, const std::vector<Piece>& pieces) {
  Change change;
  size_t textAt = 0, newAt = 0;
  const auto changed = [&](size_t dropEnd) {
    const size_t foreign = ForeignLine(text.substr(textAt, dropEnd - textAt));
    if (change.foreignLine == kNoPosition && foreign != kNoPosition)
      change.foreignLine = textAt + foreign;
    change.textEnd = textAt = dropEnd;
    change.newEnd = newAt;
  };
  for (size_t i = 0; i < pieces.size(); ++i) {
    const std::string_view bytes = pieces[i].bytes;
    if (Within(text, bytes)) {
      const size_t at = bytes.data() - text.data();
      if (at != textAt) changed(at);
      textAt += bytes.size();
    } else if (i + 1 < pieces.size() || textAt < text.size() || bytes != "\r\n") {
      // Inserted bytes; a line end after the last line is none of them.
      if (bytes == kSectionBlock) change.section = newAt + kSectionBlock.find("<section");
      newAt += bytes.size();
      changed(textAt);
      continue;
    }
    newAt += bytes.size();
  }
  if (textAt < text.size()) changed(text.size());
  return change;
}

// The open elements that must hold the inserted section, outermost first.
const std::vector<std::string> kSectionParents = {"configuration", "configSections",
                                                  "sectionGroup system.webServer"};

// What a parser has made of the text it was given so far.
class Reading {
 public:
  Reading() {
    XML_SetElementHandler(parser_.get(), OnStart, OnEnd);
    XML_SetCdataSectionHandler(parser_.get(), OnCdata<true>, OnCdata<false>);
    XML_SetStartDoctypeDeclHandler(parser_.get(), OnDoctype);
    XML_SetDefaultHandlerExpand(parser_.get(), OnOther);
#ifdef HAVE_XML_SET_REPARSE_DEFERRAL
    // Text fed in parts must be parsed as far as it goes, not held back until
    // more arrives: what it reached is judged after the last part.
    XML_SetReparseDeferralEnabled(parser_.get(), XML_FALSE);
#endif
  }
  Reading(const Reading&) = delete;
  Reading& operator=(const Reading&) = delete;

  // Parses `bytes` as the next part of the text, as its end with `final`. False
  // on a well-formedness error, which fault() then tells; once stopped at the
  // group's end, takes nothing more and succeeds.
  bool Feed(std::string_view bytes, bool final = false) {
    do {
      if (stopped_) return true;
      const size_t size = std::min(bytes.size(), part_);
      // The parser copies each part: small ones while a stop may come soon, then
      // up to 1 MiB, few enough that a token across parts is not parsed too often.
      part_ = std::min<size_t>(2 * part_, 1 << 20);
      fault_ = Parse(parser_.get(), bytes.data(), size, final && size == bytes.size());
      if (fault_) return false;
      bytes.remove_prefix(size);
    } while (!bytes.empty());
    return true;
  }
  // Where the parser stopped on a well-formedness error, as a byte of the text fed.
  const Breach& fault() const { return fault_; }

  // Whether the text up to `end` ended between markup, outside a CDATA section.
  bool StandsBetweenMarkup(size_t end) const {
    return consumed_ == static_cast<long long>(end) && !inCdata_;
  }
  // The same elements open, and the root seen in both or in neither.
  bool SamePlace(const Reading& other) const {
    return open_ == other.open_ && rootSeen_ == other.rootSeen_;
  }
  // From here on the parse stops where the group that must hold the section ends.
  void StopAtGroupEnd() {
    stopAtGroupEnd_ = true;
    stopped_ = groupEnded_;
  }
  bool doctype() const { return doctype_; }
  // Where the declarations of the section in that group read so far start.
  const std::vector<size_t>& declarations() const { return declarations_; }
  // Where the first element Quellmark in a system.webServer element starts:
  // settings that need the declaration; kNoPosition when none has been read.
  size_t used() const { return used_; }

 private:
  // The reading an event belongs to, which has now read up to the event's end.
  static Reading& Advanced(void* data) {
    Reading& reading = *static_cast<Reading*>(data);
    const long long end = XML_GetCurrentByteIndex(reading.parser_.get()) +
                          XML_GetCurrentByteCount(reading.parser_.get());
    reading.consumed_ = std::max(reading.consumed_, end);
    return reading;
  }
  static void OnStart(void* data, const XML_Char* name, const XML_Char** attributes) {
    Reading& reading = Advanced(data);
    std::string entry = name;
    std::string_view named;
    for (; *attributes; attributes += 2)
      if (std::string_view(attributes[0]) == "name") named = attributes[1];
    if (entry == "sectionGroup") entry.append(" ").append(named);
    const size_t at = XML_GetCurrentByteIndex(reading.parser_.get());
    if (reading.open_ == kSectionParents && entry == "section" && named == kSectionName)
      reading.declarations_.push_back(at);
    if (reading.used_ == kNoPosition && entry == kSectionName && !reading.open_.empty() &&
        reading.open_.back() == "system.webServer")
      reading.used_ = at;
    reading.open_.push_back(std::move(entry));
    reading.rootSeen_ = true;
  }
  static void OnEnd(void* data, const XML_Char*) {
    Reading& reading = Advanced(data);
    reading.groupEnded_ = reading.groupEnded_ || reading.open_ == kSectionParents;
    reading.open_.pop_back();
    if (reading.groupEnded_ && reading.stopAtGroupEnd_) {
      reading.stopped_ = true;
      XML_StopParser(reading.parser_.get(), XML_FALSE);
    }
  }
  template <bool start>
  static void OnCdata(void* data) {
    Advanced(data).inCdata_ = start;
  }
  static void OnDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    Advanced(data).doctype_ = true;
  }
  static void OnOther(void* data, const XML_Char*, int) { Advanced(data); }

  const Parser parser_ = NewParser(this);
  size_t part_ = 16 << 10;         // the size of the next part fed to the parser
  long long consumed_ = 0;         // where the last construct reported ends
  std::vector<std::string> open_;  // a section group with its name
  std::vector<size_t> declarations_;
  size_t used_ = kNoPosition;
  Breach fault_;
  bool rootSeen_ = false, inCdata_ = false, doctype_ = false;
  bool groupEnded_ = false, stopAtGroupEnd_ = false, stopped_ = false;
};

// Feeds `reading` bytes [from, to) of the text `pieces` spell.
bool FeedPieces(Reading& reading, const std::vector<Piece>& pieces, size_t from, size_t to) {
  size_t at = 0;
  for (const Piece& piece : pieces) {
    const size_t start = std::max(from, at), stop = std::min(to, at + piece.bytes.size());
    if (start < stop && !reading.Feed(piece.bytes.substr(start - at, stop - start))) return false;
    at += piece.bytes.size();
  }
  return true;
}

}  // namespace

std::string ParserVersion() {
  const XML_Expat_Version version = XML_ExpatVersionInfo();
  return "expat " + std::to_string(version.major) + "." + std::to_string(version.minor) + "." +
         std::to_string(version.micro);
}

// A fault the parser found in the new text, where the text read was well-formed up
// to the change: at the line of the text read it maps to, what the change would
// break there, with the parser's words about the new text.
Breach Broken(std::string_view text, const NewText& rebuilt, const Breach& fault) {
  const size_t at = InText(text, rebuilt.pieces, fault.at);
  const size_t start = at == 0 ? 0 : text.rfind('\n', at - 1) + 1;
  std::string_view line = text.substr(start, text.find('\n', start) - start);
  line.remove_prefix(std::min(line.find_first_not_of(" \t"), line.size()));
  line = line.substr(0, line.find_last_not_of(" \t\r") + 1);
  const Why why = text.find('\r') != kNoPosition && text.find('\n') == kNoPosition ? Why::kCrAlone
                  : line.find(kAnchorText) != kNoPosition && line.size() > kAnchorText.size()
                      ? Why::kMoreMarkup
                      : Why::kNotWellFormed;
  return {at, why, fault.detail};
}

Breach FindChangeFault(std::string_view text, const NewText& rebuilt) {
  const Change change = FindChange(text, rebuilt.pieces);
  if (change.foreignLine != kNoPosition) return {change.foreignLine, Why::kForeignLine, {}};
  // With a document type the whole text is parsed: a fault past the change is the
  // file's own.
  const auto inText = [&](const Breach& fault) {
    return Breach{InText(text, rebuilt.pieces, fault.at), fault.why, fault.detail};
  };
  Reading before, after;
  if (!before.Feed(text.substr(0, change.textEnd))) return before.fault();
  if (!FeedPieces(after, rebuilt.pieces, 0, change.newEnd))
    return Broken(text, rebuilt, after.fault());
  const Reading* judged = &after;
  Reading whole;
  if (before.doctype() || after.doctype()) {
    if (!FeedPieces(whole, rebuilt.pieces, 0, kNoPosition) || !whole.Feed({}, true))
      return inText(whole.fault());
    judged = &whole;
  } else {
    const size_t end = change.textEnd - (change.textEnd > 0);
    if (!before.StandsBetweenMarkup(change.textEnd) || !after.StandsBetweenMarkup(change.newEnd))
      return {end, Why::kInsideMarkup, {}};
    if (!before.SamePlace(after)) return {end, Why::kElementsOpen, {}};
  }
  const std::vector<size_t>& declared = judged->declarations();
  if (change.section != kNoPosition &&
      std::find(declared.begin(), declared.end(), change.section) == declared.end())
    return inText({change.section, Why::kNotInGroup, std::string(kAnchorText)});
  return {};
}

std::vector<size_t> FindCopiedDeclarations(std::string_view text, const NewText& rebuilt) {
  Reading reading;
  reading.StopAtGroupEnd();
  FeedPieces(reading, rebuilt.pieces, 0, kNoPosition);
  std::vector<size_t> copied;
  for (size_t at : reading.declarations()) {
    bool fromText = false;
    const size_t inText = InText(text, rebuilt.pieces, at, &fromText);
    if (fromText) copied.push_back(inText);
  }
  return copied;
}

Breach FindUndeclaredSettings(std::string_view text, const NewText& rebuilt) {
  Reading whole;
  if (FeedPieces(whole, rebuilt.pieces, 0, kNoPosition)) whole.Feed({}, true);
  if (whole.used() == kNoPosition || !whole.declarations().empty()) return {};
  return {InText(text, rebuilt.pieces, whole.used()), Why::kSettingsOrphaned, {}};
}

Breach ReadRedirection(std::string_view text, std::string& shared) {
  struct Redirection {
    std::string& shared;
    int depth = 0;
    bool inConfiguration = false;
  } redirection{shared};
  const Parser parser = NewParser(&redirection);
  XML_SetElementHandler(
      parser.get(),
      [](void* data, const XML_Char* name, const XML_Char** attributes) {
        Redirection& at = *static_cast<Redirection*>(data);
        const std::string_view element = name;
        if (at.depth++ == 0) at.inConfiguration = element == "configuration";
        if (at.depth != 2 || !at.inConfiguration || element != "configurationRedirection") return;
        std::string_view enabled, path;
        for (; *attributes; attributes += 2) {
          if (std::string_view(attributes[0]) == "enabled") enabled = attributes[1];
          if (std::string_view(attributes[0]) == "path") path = attributes[1];
        }
        if (EqualsIgnoringCase(enabled, "true")) at.shared = path;
      },
      [](void* data, const XML_Char*) { --static_cast<Redirection*>(data)->depth; });
  shared.clear();
  return Parse(parser.get(), text.data(), text.size(), true);
}

bool IsServerConfigurationName(std::string_view name) {
  return EqualsIgnoringCase(name, "applicationHost.config");
}
