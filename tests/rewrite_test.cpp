#include "script/rewrite.h"

#include <gtest/gtest.h>

#include <string>

#include "tool_fixture.h"

namespace {

const std::string kBlock(kSectionBlock);
const std::string kAnchorLine = "        " + kAnchor;
const std::string kBegin = "\t\t\t<!--QUELLMARK BEGIN-->";
const std::string kEnd = "\t\t\t<!--QUELLMARK END-->";

std::string Join(const RebuiltScript& rebuilt) {
  std::string text;
  for (std::string_view piece : rebuilt.pieces) text.append(piece);
  return text;
}

struct Row {
  const char* name;
  std::string input;
  std::string expected;
  bool inserted;
  bool unterminated;
};

TEST(RebuildScriptText, FollowsEachRule) {
  const std::string A = kAnchorLine;
  const std::string firstRun = "<configSections>\r\n" + A + "\r\n" + kBlock + "<x/>\r\n";
  const Row rows[] = {
      {"first run", "<configSections>\r\n" + A + "\r\n<x/>\r\n", firstRun, true, false},
      {"rerun gives the same text", firstRun, firstRun, true, false},
      {"a block away from the anchor moves below it", A + "\r\n<x/>\r\n" + kBlock + "<y/>\r\n",
       A + "\r\n" + kBlock + "<x/>\r\n<y/>\r\n", true, false},
      {"a marker pair before the anchor keeps its inner lines",
       kBegin + "\r\n<inner/>\r\n" + kEnd + "\r\n" + A + "\r\n",
       "<inner/>\r\n" + A + "\r\n" + kBlock, true, false},
      {"only the first anchor line gets the block", A + "\r\n" + A + "\r\n",
       A + "\r\n" + kBlock + A + "\r\n", true, false},
      {"a marker line holding the anchor is dropped; a later anchor gets the block",
       "<!--QUELLMARK END-->" + A + "\r\nx\r\n" + A + "\r\n", "x\r\n" + A + "\r\n" + kBlock, true,
       false},
      {"LF, CR CR LF, lone CR and empty lines", "a\n" + A + "\r\nb\n\nc\r\r\nd\re\n",
       "a\r\n" + A + "\r\n" + kBlock + "b\r\n\r\nc\r\r\nd\re\r\n", true, false},
      {"a final line without line end", "a\r\n" + A, "a\r\n" + A + "\r\n" + kBlock, true, false},
      {"zero bytes are carried through",
       std::string("a\0b\r\n", 5) + A + "\r\n" + std::string(1, '\0'),
       std::string("a\0b\r\n", 5) + A + "\r\n" + kBlock + std::string("\0\r\n", 3), true, false},
      {"a begin marker without end after the anchor", A + "\r\n" + kBegin + "\r\n<lost/>\r\n",
       A + "\r\n" + kBlock, true, true},
      {"near misses of the anchor",
       "<sectionGroup name=\"system.webServer\" >\r\n<sectionGroup name='system.webServer'>\r\n",
       "<sectionGroup name=\"system.webServer\" >\r\n<sectionGroup name='system.webServer'>\r\n",
       false, false},
      {"empty text", "", "", false, false},
      {"the 38 anchor bytes alone give 181 bytes", kAnchor, kAnchor + "\r\n" + kBlock, true, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const RebuiltScript rebuilt = RebuildScriptText(row.input);
    EXPECT_EQ(Join(rebuilt), row.expected);
    EXPECT_EQ(rebuilt.inserted, row.inserted);
    EXPECT_EQ(rebuilt.unterminated, row.unterminated);
  }
}

}  // namespace
