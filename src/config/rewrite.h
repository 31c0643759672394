#pragma once

#include <string_view>
#include <vector>

// "No position": what a search that finds nothing returns, and a place that is none.
inline constexpr size_t kNoPosition = std::string_view::npos;

// The three lines a run inserts below the anchor line; the marker comments on its
// first and last line are how a later run finds and removes it.
inline constexpr std::string_view kSectionBlock =
    "\t\t\t<!--QUELLMARK BEGIN-->\r\n"
    "\t\t\t<section name=\"Quellmark\" overrideModeDefault=\"Deny\" "
    "allowDefinition=\"Everywhere\" />\r\n"
    "\t\t\t<!--QUELLMARK END-->\r\n";
static_assert(kSectionBlock.size() == 141);

// A line holding either text is a marker line: a begin marker (which wins when a
// line holds both) opens a block, an end marker closes it.
inline constexpr std::string_view kBeginMarker = "QUELLMARK BEGIN";
inline constexpr std::string_view kEndMarker = "QUELLMARK END";

// The block goes below the first line that holds this text.
inline constexpr std::string_view kAnchorText = "<sectionGroup name=\"system.webServer\">";

// A stretch of the new text: `bytes` as they are or, with `crlf`, whole lines
// whose lone line feeds become "\r\n" (so an unchanged LF stretch is one piece).
struct Piece {
  std::string_view bytes;
  bool crlf = false;
};

struct NewText {
  // The new text, in order: views into the input, kSectionBlock and "\r\n".
  // Adjacent views are merged, so an unchanged stretch of input is one piece.
  std::vector<Piece> pieces;
  // kSectionBlock was placed below the first copied anchor line.
  bool inserted = false;
  // A begin marker had no end marker after it, so every line after it was dropped;
  // `openBlock` is where that marker's line starts.
  bool unterminated = false;
  size_t openBlock = 0;
};

// Drops the lines of earlier blocks, copies every other line with "\r\n" after it
// and places kSectionBlock below the first line holding
// <sectionGroup name="system.webServer">. A line ends at "\r\n" or at a lone
// "\n"; the text is taken by its length, zero bytes included. The pieces point
// into `text`, which must outlive them. `unterminated` is only set once inserted.
NewText InsertBlock(std::string_view text);

// Drops every line holding a marker and every line between a begin marker line
// and the next end marker line; every other byte is kept as it is. `inserted`
// is unused.
NewText RemoveBlocks(std::string_view text);

// Whether `pieces` spell exactly `text`.
bool SameText(const std::vector<Piece>& pieces, std::string_view text);

// How many bytes `pieces` spell when that is more than `limit`; otherwise 0.
size_t SizeOver(const std::vector<Piece>& pieces, size_t limit);

// The 1-based number of the line that holds text[at] (a line ends at "\n").
size_t LineNumber(std::string_view text, size_t at);

// Where the first line that holds both "sectionGroup" and "system.webServer"
// starts (the group written otherwise than kAnchorText), or kNoPosition.
size_t FindAnchorLike(std::string_view text);
