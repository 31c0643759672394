// The rules about text, one named row each, through Judge alone: no process, no disk.
#include "config/judge.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "config/publish.h"
#include "tool_fixture.h"

// A failing row shows a refusal by its text.
void PrintTo(Text text, std::ostream* out) { *out << Render(text, "a.config"); }

namespace {

const std::string kBlock(kSectionBlock);
const std::string kIn = kConfig + kBlock + "<x/>\r\n", kX = "<x>\n",
                  kBegin = "<!--QUELLMARK BEGIN-->";
const std::string kOwn = "<section name=\"Quellmark\" />";
const std::string kUsed =
    "</sectionGroup></configSections><system.webServer><Quellmark /></system.webServer>";
const std::string kOther = kConfigStart + "<sectionGroup name=\"x\"><![CDATA[x]]>" + kOwn +
                           "</sectionGroup>\r\n" + kAnchor + "\r\n";
const std::string kLong(70000, 'x');
const std::string kDoctype = "<!DOCTYPE configuration [<!ENTITY e \"x\">]>\r\n";
const std::string kSpaced = "<!-- QUELLMARK BEGIN -->\n\t \r\n" + kBlock;
// The refusals by their kind; texts_test pins their words.
using enum Text;

struct Case {
  const char* name;
  Mode mode = Mode::kInstall;
  std::string text;
  std::optional<Text> refusal;  // none: none (with `keptFor`, the text told)
  size_t line = 0;              // the line of `text` a refusal is about; 0: none
  KeptFor keptFor = KeptFor::kNothing;
  std::optional<Why> why = std::nullopt;              // none: not looked at
  std::optional<std::string> newText = std::nullopt;  // none: the text read, unchanged
};

// clang-format off
const Case kCases[] = {
    {.name = "no group line", .text = "<system.webServer/>", .refusal = kNoAnchor,
     .why = Why::kNoAnchorLine},
    {.name = "group written otherwise", .mode = Mode::kCheck,
     .text = kBegin + "\n<sectionGroup name='system.webServer'>", .refusal = kNoAnchor, .line = 2,
     .why = Why::kAnchorOtherwise},
    {.name = "open block", .text = kConfig + kBegin + "\r\n<x/>\r\n" + kBegin + "\r\n",
     .refusal = kNoEnd, .line = 3},
    {.name = "open block, uninstall", .mode = Mode::kRemove,
     .text = kConfig + kBegin + "\r\n<x/>\r\n",
     .refusal = kNoEnd, .line = 3},
    {.name = "registered", .mode = Mode::kCheck, .text = kIn},
    {.name = "lines ended with LF",
     .text = kConfigStart + kAnchor + "\n" + kBlock + "<x/>\r\n<y/>\n",
     .newText = kIn + "<y/>\r\n"},
    {.name = "hand-spaced markers", .mode = Mode::kRemove, .text = kX + kSpaced, .newText = kX},
    {.name = "anchor in another group's comment", .mode = Mode::kCheck,
     .text = kConfigStart + "<sectionGroup name=\"a\"><!--" + kAnchor + "-->\r\n" + kAnchor +
             "\r\n",
     .refusal = kCannotPlace, .line = 2},
    {.name = "nested group on the anchor line",
     .text = kConfigStart + kAnchor + "<sectionGroup name=\"inner\">\r\n", .refusal = kCannotPlace,
     .line = 2},
    {.name = "both markers in a note",
     .text = kConfig + "<!-- QUELLMARK BEGIN, QUELLMARK END -->\r\n"
     "<x/>\r\n" + kBlock, .refusal = kCannotPlace, .line = 4},
    {.name = "marker in CDATA", .mode = Mode::kRemove,
     .text = kX + "<![CDATA[\n<!--QUELLMARK END-->\n]]></x>", .refusal = kCannotRemove, .line = 3},
    {.name = "cut short after the group", .text = kConfig + "<x",
     .newText = kConfig + kBlock + "<x\r\n"},
    {.name = "declared by hand", .mode = Mode::kCheck, .text = kConfig + kOwn + "\r\n",
     .refusal = kDeclared, .line = 3, .keptFor = KeptFor::kHandDeclaration},
    {.name = "another section between the markers",
     .text = kConfig + kBegin + "\r\n<section name=\"asp\" />\r\n<!--QUELLMARK END-->\r\n",
     .refusal = kCannotPlace, .line = 4},
    {.name = "a comment above the group longer than a parser's buffer",
     .text = kConfigStart + "<!--" + std::string(50000, 'x') + "-->\r\n" + kAnchor + "\r\n",
     .newText = kConfigStart + "<!--" + std::string(50000, 'x') + "-->\r\n" + kAnchor + "\r\n" +
                kBlock},
    {.name = "an entity used after the group that the document type declares unbalanced",
     .text = "<!DOCTYPE configuration [<!ENTITY e \"</x>\">]>\r\n" + kConfigStart + kAnchor +
             "\r\n&e;\r\n",
     .refusal = kCannotPlace, .line = 4},
    {.name = "declared twice by hand", .text = kConfig + kOwn + "\r\n" + kOwn + "\r\n",
     .refusal = kDeclared, .line = 4},
    {.name = "declared by hand, uninstall", .mode = Mode::kRemove, .text = kConfig + kOwn + "\r\n",
     .line = 3, .keptFor = KeptFor::kHandDeclaration},
    {.name = "declared by hand, registered", .text = kIn + kOwn + "\r\n", .refusal = kDeclared,
     .line = 7},
    {.name = "declared in another group", .text = kOther, .newText = kOther + kBlock},
    {.name = "settings left", .mode = Mode::kRemove, .text = kConfig + kBlock + kUsed,
     .refusal = kStillUsed, .line = 6, .keptFor = KeptFor::kUsedBlock},
    {.name = "settings declared by hand", .mode = Mode::kRemove,
     .text = kConfig + kOwn + "\r\n" + kBlock + kUsed, .newText = kConfig + kOwn + "\r\n" + kUsed},
    {.name = "end marker before markup", .text = kConfig + kBlock + "<!--QUELLMARK END--><x/>\r\n",
     .refusal = kCannotPlace, .line = 6},
    {.name = "markup after a section line", .mode = Mode::kRemove,
     .text = kX + kBegin + "\n" + kOwn + "/>\n" + kBlock, .refusal = kCannotRemove, .line = 3},
    {.name = "the last byte after a line written from where it is", .mode = Mode::kRemove,
     .text = kX + kLong + "\r\n" + kBlock + "y", .newText = kX + kLong + "\r\ny"},
    {.name = "a file with a document type, cut short: its whole text judged",
     .text = kDoctype + kConfigStart + kAnchor + "<sectionGroup name=\"inner\">\r\n",
     .refusal = kCannotPlace, .line = 4},
    {.name = "UTF-16", .mode = Mode::kRemove, .text = "\xFF\xFE" + kBlock, .refusal = kUtf16,
     .line = 1},
    {.name = "UTF-16 big-endian, its first character not ASCII", .text = "\xFE\xFF\x4E\x2D",
     .refusal = kUtf16, .line = 1},
    {.name = "UTF-16 without a mark", .mode = Mode::kCheck, .text = std::string("<\0", 2) + kConfig,
     .refusal = kUtf16, .line = 1},
};
// clang-format on

// A failing row shows its name, not its bytes.
void PrintTo(const Case& row, std::ostream* out) { *out << row.name; }

class JudgeTest : public testing::TestWithParam<Case> {};

TEST_P(JudgeTest, Rule) {
  const Case& row = GetParam();
  const Verdict verdict = Judge(row.mode, row.text);
  const bool kept = row.keptFor != KeptFor::kNothing;
  EXPECT_EQ(kept ? verdict.told : verdict.refusal, row.refusal);
  EXPECT_EQ(static_cast<int>(verdict.keptFor), static_cast<int>(row.keptFor));
  EXPECT_EQ(verdict.line, row.line);
  EXPECT_EQ(row.why.value_or(verdict.why), verdict.why);
  if (verdict.refusal || kept) return;
  EXPECT_EQ(verdict.same, !row.newText);
  std::string spelled;
  StreamPieces(verdict.newText.pieces, [&](std::string_view a, std::string_view b) {
    spelled.append(a).append(b);
    return true;
  });
  EXPECT_EQ(FirstDifference(spelled, row.newText.value_or(row.text)), "");
}

// Each row by its name, so that `ctest -R` runs one.
INSTANTIATE_TEST_SUITE_P(Judge, JudgeTest, testing::ValuesIn(kCases), RowName<Case>);

}  // namespace
