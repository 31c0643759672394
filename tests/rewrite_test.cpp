#include "config/rewrite.h"

#include <gtest/gtest.h>

#include <string>

#include "config/publish.h"
#include "tool_fixture.h"

namespace {

const std::string kBlock(kSectionBlock);
const std::string kIndented = "        " + kAnchor;
const std::string kBegin = "\t\t\t<!--QUELLMARK BEGIN-->";
const std::string kEnd = "\t\t\t<!--QUELLMARK END-->";

// More than the writer's buffer, and a line longer than it writes from its buffer.
const std::string kLines(300000, '\n'), kLongLine(70000, 'x'), kNul(1, '\0');

std::string CrLfLines() {
  std::string lines;
  while (lines.size() < 2 * kLines.size()) lines += "\r\n";
  return lines;
}

struct Row {
  const char* name;
  std::string input, expected;  // the text read, and the new text
  bool inserted = true;         // the block was placed
};

// clang-format off
const Row kRows[] = {
    {.name = "inner lines of a marker pair are kept until the block is in",
     .input = kBegin + "\n<in/>\n" + kIndented + "\n<gone/>\n" + kEnd + "\n<x/>\n",
     .expected = "<in/>\r\n" + kIndented + "\r\n" + kBlock + "<x/>\r\n"},
    {.name = "only the first anchor line gets the block", .input = kIndented + "\r\n" + kIndented,
     .expected = kIndented + "\r\n" + kBlock + kIndented + "\r\n"},
    {.name = "a marker line holding the anchor is dropped; a later anchor gets the block",
     .input = "<!--QUELLMARK END-->" + kIndented + "\r\nx\r\n" + kIndented + "\r\n",
     .expected = "x\r\n" + kIndented + "\r\n" + kBlock},
    {.name = "LF (at a piece's first and second byte), CR CR LF, lone CR and empty lines",
     .input = "\n" + kIndented + "\r\nb\n\r\nc\r\r\nd\re\r\n",
     .expected = "\r\n" + kIndented + "\r\n" + kBlock + "b\r\n\r\nc\r\r\nd\re\r\n"},
    {.name = "zero bytes", .input = "a" + kNul + "\r\n" + kIndented + "\r\n" + kNul,
     .expected = "a" + kNul + "\r\n" + kIndented + "\r\n" + kBlock + kNul + "\r\n"},
    {.name = "a lone line feed ending a block of the scan", .input = std::string(64, 'x') + "\n",
     .expected = std::string(64, 'x') + "\r\n", .inserted = false},
    {.name = "near misses of the anchor and of a marker",
     .input = "<!--QUELLMARK 2-->\r\n<sectionGroup name=\"system.webServer\" >\r\n",
     .expected = "<!--QUELLMARK 2-->\r\n<sectionGroup name=\"system.webServer\" >\r\n",
     .inserted = false},
    {.name = "long", .input = kIndented + "\n" + kLines + kLongLine,
     .expected = kIndented + "\r\n" + kBlock + CrLfLines() + kLongLine + "\r\n"},
};
// clang-format on

// A failing row shows its name, not its bytes.
void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

class InsertBlockTest : public testing::TestWithParam<Row> {};

// Each row through the rewrite, the comparison with the input and the writer.
TEST_P(InsertBlockTest, FollowsEachRule) {
  const Row& row = GetParam();
  const NewText rebuilt = InsertBlock(row.input);
  std::string text;
  EXPECT_TRUE(StreamPieces(rebuilt.pieces, [&](std::string_view a, std::string_view b) {
    text.append(a).append(b);
    return true;
  }));
  EXPECT_EQ(FirstDifference(text, row.expected), "");
  EXPECT_EQ(SizeOver(rebuilt.pieces, text.size()), 0u);
  EXPECT_EQ(SizeOver(rebuilt.pieces, text.size() - 1), text.size());
  EXPECT_EQ(rebuilt.inserted, row.inserted);
  EXPECT_EQ(SameText(rebuilt.pieces, row.input), row.input == row.expected);
}

INSTANTIATE_TEST_SUITE_P(InsertBlock, InsertBlockTest, testing::ValuesIn(kRows), RowName<Row>);

}  // namespace
