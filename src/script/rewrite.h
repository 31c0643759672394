#pragma once

#include <string_view>
#include <vector>

// The three lines a run inserts below the anchor line; the marker comments on its
// first and last line are how a later run finds and removes it.
inline constexpr std::string_view kSectionBlock =
    "\t\t\t<!--QUELLMARK BEGIN-->\r\n"
    "\t\t\t<section name=\"Quellmark\" overrideModeDefault=\"Deny\" "
    "allowDefinition=\"Everywhere\" />\r\n"
    "\t\t\t<!--QUELLMARK END-->\r\n";
static_assert(kSectionBlock.size() == 141);

struct RebuiltScript {
  // The new text, in order: views into the input, kSectionBlock and "\r\n".
  // Adjacent views are merged, so an unchanged stretch of input is one piece.
  std::vector<std::string_view> pieces;
  // kSectionBlock was placed below the first copied anchor line.
  bool inserted = false;
  // The walk ended inside a marker block after inserting: a begin marker had no
  // end marker, and every line after it was dropped.
  bool unterminated = false;
};

// Drops the lines of earlier blocks, copies every other line with "\r\n" after it
// and places kSectionBlock below the first line holding
// <sectionGroup name="system.webServer">. A line ends at "\r\n" or at a lone
// "\n"; the text is taken by its length, zero bytes included. The pieces point
// into `text`, which must outlive them.
RebuiltScript RebuildScriptText(std::string_view text);
