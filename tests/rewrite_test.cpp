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

struct Row {
  const char* name;
  std::string input, expected;
  bool inserted;
};

// Each row through the rewrite, the comparison with the input and the writer.
void Check(const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
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
}

TEST(InsertBlock, FollowsEachRule) {
  const std::string once = "<c>\r\n" + kIndented + "\r\n" + kBlock + "<x/>\r\n", nul(1, '\0');
  // More than the writer's buffer, and a line longer than it writes from its buffer.
  const std::string lines(300000, '\n'), line(70000, 'x');
  std::string crlfLines;
  while (crlfLines.size() < 2 * lines.size()) crlfLines += "\r\n";
  // clang-format off
  Check({
    {"first run, LF", "<c>\n" + kIndented + "\n<x/>\n", once, true},
    {"a block away from the anchor moves below it, LF",
     kIndented + "\n<x/>\n" + kBegin + "\n<s/>\n" + kEnd + "\n<y/>\n",
     kIndented + "\r\n" + kBlock + "<x/>\r\n<y/>\r\n", true},
    {"inner lines of a marker pair are kept until the block is in, LF",
     kBegin + "\n<in/>\n" + kIndented + "\n<gone/>\n" + kEnd + "\n<x/>\n",
     "<in/>\r\n" + kIndented + "\r\n" + kBlock + "<x/>\r\n", true},
    {"a line with both markers begins a block",
     kIndented + "\r\nQUELLMARK END QUELLMARK BEGIN\n<in/>\n" + kEnd + "\r\n<x/>\r\n",
     kIndented + "\r\n" + kBlock + "<x/>\r\n", true},
    {"only the first anchor line gets the block", kIndented + "\r\n" + kIndented, kIndented + "\r\n" + kBlock + kIndented + "\r\n",
     true},
    {"a marker line holding the anchor is dropped; a later anchor gets the block",
     "<!--QUELLMARK END-->" + kIndented + "\r\nx\r\n" + kIndented + "\r\n", "x\r\n" + kIndented + "\r\n" + kBlock, true},
    {"LF, CR CR LF, lone CR and empty lines", "\n" + kIndented + "\r\nb\n\nc\r\r\nd\re\n",
     "\r\n" + kIndented + "\r\n" + kBlock + "b\r\n\r\nc\r\r\nd\re\r\n", true},
    {"zero bytes", "a" + nul + "\r\n" + kIndented + "\r\n" + nul, "a" + nul + "\r\n" + kIndented + "\r\n" + kBlock +
     nul + "\r\n", true},
    {"a lone line feed ending a block of the scan", std::string(64, 'x') + "\n",
     std::string(64, 'x') + "\r\n", false},
    {"near miss of the anchor", "<sectionGroup name=\"system.webServer\" >\r\n",
     "<sectionGroup name=\"system.webServer\" >\r\n", false},
    {"long", kIndented + "\n" + lines + line, kIndented + "\r\n" + kBlock + crlfLines + line + "\r\n", true},
  });
  // clang-format on
}

}  // namespace
