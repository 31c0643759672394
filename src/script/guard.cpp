#include "script/guard.h"

#include <expat.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr std::string_view kSectionName = "Quellmark";
constexpr std::string_view kSectionStart = "<section name=\"Quellmark\"";
constexpr size_t kEnd = std::string_view::npos;  // the end of a text

// Where the last change ends, in the text read and in the new text as its pieces
// spell it (a "\r" added before a line feed is left out: XML reads both alike);
// where the inserted section's start tag stands in the new text, or -1; and
// whether every dropped line is one this tool writes.
struct Change {
  size_t textEnd = 0, newEnd = 0;
  long long sectionAt = -1;
  bool ownLinesOnly = true;
};

// Whether each of the whole `lines`, without its line end and the spaces and tabs
// around it, is one this tool writes: a marker line that is one comment, or a
// blank line or one empty-element tag that declares the section.
bool OwnLines(std::string_view lines) {
  while (!lines.empty()) {
    const size_t feed = lines.find('\n');
    std::string_view line = lines.substr(0, feed);
    lines.remove_prefix(feed == std::string_view::npos ? lines.size() : feed + 1);
    if (feed != std::string_view::npos && !line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos) continue;
    line = line.substr(first, line.find_last_not_of(" \t") + 1 - first);
    const auto holds = [line](std::string_view what) {
      return line.find(what) != std::string_view::npos;
    };
    // A marker text, or kSectionStart, is longer than the ends looked at.
    const bool own = holds(kBeginMarker) || holds(kEndMarker)
                         ? line.substr(0, 4) == "<!--" && line.find("-->", 4) == line.size() - 3
                         : line.substr(0, kSectionStart.size()) == kSectionStart &&
                               line.substr(line.size() - 2) == "/>" &&
                               line.find('<', 1) == std::string_view::npos;
    if (!own) return false;
  }
  return true;
}

Change FindChange(std::string_view text, const std::vector<Piece>& pieces) {
  Change change;
  size_t textAt = 0, newAt = 0;
  const auto changed = [&](size_t dropEnd) {
    change.ownLinesOnly = change.ownLinesOnly && OwnLines(text.substr(textAt, dropEnd - textAt));
    change.textEnd = textAt = dropEnd;
    change.newEnd = newAt;
  };
  const std::less_equal<const char*> notAfter;
  for (size_t i = 0; i < pieces.size(); ++i) {
    const std::string_view bytes = pieces[i].bytes;
    if (notAfter(text.data(), bytes.data()) && notAfter(bytes.data(), text.data() + text.size())) {
      const size_t at = bytes.data() - text.data();
      if (at != textAt) changed(at);
      textAt += bytes.size();
    } else if (i + 1 < pieces.size() || textAt < text.size() || bytes != "\r\n") {
      // Inserted bytes; a line end after the last line is none of them.
      if (bytes == kSectionBlock) change.sectionAt = newAt + kSectionBlock.find(kSectionStart);
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
  explicit Reading(long long sectionAt) : sectionAt_(sectionAt) {
    if (!parser_) throw std::bad_alloc();
    // The parser would otherwise ask the system for entropy, and glibc ends the
    // process when that call fails. Enough against colliding names: a file that
    // only an administrator may write is no attacker's.
    XML_SetHashSalt(parser_.get(), std::chrono::steady_clock::now().time_since_epoch().count() | 1);
    XML_SetUserData(parser_.get(), this);
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
  // on a well-formedness error; once stopped at the group's end, takes nothing
  // more and succeeds.
  bool Feed(std::string_view bytes, bool final = false) {
    do {
      if (stopped_) return true;
      const size_t size = std::min(bytes.size(), part_);
      // The parser copies each part: small ones while a stop may come soon, then
      // up to 1 MiB, few enough that a token across parts is not parsed too often.
      part_ = std::min<size_t>(2 * part_, 1 << 20);
      if (XML_Parse(parser_.get(), bytes.data(), static_cast<int>(size),
                    final && size == bytes.size()) != XML_STATUS_OK) {
        const XML_Error error = XML_GetErrorCode(parser_.get());
        if (error == XML_ERROR_NO_MEMORY) throw std::bad_alloc();
        return error == XML_ERROR_ABORTED;
      }
      bytes.remove_prefix(size);
    } while (!bytes.empty());
    return true;
  }

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
  bool sectionPlaced() const { return sectionPlaced_; }
  bool doctype() const { return doctype_; }
  // Declarations of the section in that group, read so far.
  int declarations() const { return declarations_; }
  // Whether an element Quellmark in a system.webServer element has been read:
  // settings that need the declaration.
  bool used() const { return used_; }

 private:
  // The reading an event belongs to, which has now read up to the event's end.
  static Reading& Note(void* data) {
    Reading& reading = *static_cast<Reading*>(data);
    const long long end = XML_GetCurrentByteIndex(reading.parser_.get()) +
                          XML_GetCurrentByteCount(reading.parser_.get());
    reading.consumed_ = std::max(reading.consumed_, end);
    return reading;
  }
  static void OnStart(void* data, const XML_Char* name, const XML_Char** attributes) {
    Reading& reading = Note(data);
    std::string entry = name;
    std::string_view named;
    for (; *attributes; attributes += 2)
      if (std::string_view(attributes[0]) == "name") named = attributes[1];
    if (entry == "sectionGroup") entry += " " + std::string(named);
    const bool inGroup = reading.open_ == kSectionParents;
    if (XML_GetCurrentByteIndex(reading.parser_.get()) == reading.sectionAt_)
      reading.sectionPlaced_ = inGroup;
    reading.declarations_ += inGroup && entry == "section" && named == kSectionName;
    reading.used_ = reading.used_ || (entry == kSectionName && !reading.open_.empty() &&
                                      reading.open_.back() == "system.webServer");
    reading.open_.push_back(std::move(entry));
    reading.rootSeen_ = true;
  }
  static void OnEnd(void* data, const XML_Char*) {
    Reading& reading = Note(data);
    reading.groupEnded_ = reading.groupEnded_ || reading.open_ == kSectionParents;
    reading.open_.pop_back();
    if (reading.groupEnded_ && reading.stopAtGroupEnd_) {
      reading.stopped_ = true;
      XML_StopParser(reading.parser_.get(), XML_FALSE);
    }
  }
  template <bool start>
  static void OnCdata(void* data) {
    Note(data).inCdata_ = start;
  }
  static void OnDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    Note(data).doctype_ = true;
  }
  static void OnOther(void* data, const XML_Char*, int) { Note(data); }

  std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser_{XML_ParserCreate(nullptr),
                                                                       XML_ParserFree};
  const long long sectionAt_;
  size_t part_ = 16 << 10;         // the size of the next part fed to the parser
  long long consumed_ = 0;         // where the last construct reported ends
  std::vector<std::string> open_;  // a section group with its name
  int declarations_ = 0;
  bool rootSeen_ = false, inCdata_ = false, doctype_ = false, sectionPlaced_ = false;
  bool used_ = false, groupEnded_ = false, stopAtGroupEnd_ = false, stopped_ = false;
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

bool ChangeIsSafe(std::string_view text, const RebuiltScript& rebuilt) {
  const Change change = FindChange(text, rebuilt.pieces);
  if (!change.ownLinesOnly) return false;
  const bool inserted = change.sectionAt >= 0;
  Reading before(-1), after(change.sectionAt);
  if (!before.Feed(text.substr(0, change.textEnd)) ||
      !FeedPieces(after, rebuilt.pieces, 0, change.newEnd) || (inserted && !after.sectionPlaced()))
    return false;
  if (before.doctype() || after.doctype()) {
    Reading whole(-1);
    return FeedPieces(whole, rebuilt.pieces, 0, kEnd) && whole.Feed({}, true) &&
           (!inserted || whole.declarations() == 1);
  }
  if (!before.StandsBetweenMarkup(change.textEnd) || !after.StandsBetweenMarkup(change.newEnd) ||
      !before.SamePlace(after))
    return false;
  if (!inserted) return true;
  // The web server refuses a section declared twice in its group. A break in the
  // text ends the count: what follows it, the server cannot read either.
  after.StopAtGroupEnd();
  FeedPieces(after, rebuilt.pieces, change.newEnd, kEnd);
  return after.declarations() == 1;
}

bool LeavesSettingsUndeclared(const RebuiltScript& rebuilt) {
  Reading whole(-1);
  if (FeedPieces(whole, rebuilt.pieces, 0, kEnd)) whole.Feed({}, true);
  return whole.used() && whole.declarations() == 0;
}
