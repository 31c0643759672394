// The texts the tool spells: every fixed text byte for byte (they are the system's
// own words, and none may change), and the docs' status tables against the code's.
#include "config/texts.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <string_view>
#include <utility>

#include "tool_fixture.h"

namespace {

// The bytes each fixed text must have for the path "P", after the prefix, in the
// order of `Text`: a text added without its row, or a row out of place, does not build.
constexpr std::pair<Text, std::string_view> kPinned[] = {
    {Text::kUpdating, "Updating startup script P\n "},
    {Text::kRemoving, "Removing section from startup script P\n "},
    {Text::kChecking, "Checking startup script P\n "},
    {Text::kReading, "Reading startup script P occur error"},
    {Text::kBackingUp, "Backing up startup script P occur error"},
    {Text::kWriting, "Writing startup script P occur error"},
    {Text::kNotFound, "\xD5\xD2\xB2\xBB\xB5\xBD\xC5\xE4\xD6\xC3\xCE\xC4\xBC\xFEP"},
    {Text::kUtf16, "Can not edit UTF-16 script P"},
    {Text::kNoAnchor, "Can not find system.webServer option in script P"},
    {Text::kNoEnd, "Can not find QUELLMARK END in script P"},
    {Text::kDeclared, "Section is already declared in script P"},
    {Text::kCannotPlace, "Can not place section in script P"},
    {Text::kCannotRemove, "Can not remove section from script P"},
    {Text::kStillUsed, "Section is still used in script P"},
    {Text::kUnreadableRedirection, "Can not read redirection.config beside script P"},
    {Text::kUntrustedFolder, "Can not trust the folder of script P"},
    {Text::kChanged, "Startup script P was changed by another program"},
    {Text::kWouldChange, "Install would change script P"},
};
static_assert(std::size(kPinned) == static_cast<size_t>(kLastText) + 1);
static_assert([] {
  for (size_t text = 0; text < std::size(kPinned); ++text)
    if (kPinned[text].first != static_cast<Text>(text)) return false;
  return true;
}());

TEST(Texts, EachFixedTextByteForByte) {
  for (const auto& [text, pinned] : kPinned)
    EXPECT_EQ(Render(text, "P"), "[QuellmarkInstaller] " + std::string(pinned));
  EXPECT_EQ(RenderShared("S", "P"),
            "[QuellmarkInstaller] Shared configuration: the web server reads S, not script P");
  // A name from the system: C0, DEL and C1 (in UTF-8) escaped, other characters kept.
  EXPECT_EQ(Printable("a\n\x7F\xC2\x9B\xC2\xA0\\"), "a\\x0A\\x7F\\xC2\\x9B\xC2\xA0\\");
}

// Each row of the README's and installers.md's status tables begins with what the
// code says the status means, as --help prints it.
TEST(Texts, DocsStatusTablesSayWhatTheCodeSays) {
  for (const char* document : {"README.md", "docs/installers.md"}) {
    const std::string text = ReadFile(std::string(SOURCE_DIR) + "/" + document);
    for (int status = 0; status < kStatuses; ++status) {
      const std::string row =
          "| " + std::to_string(status) + " | " + std::string(Meaning(static_cast<Status>(status)));
      EXPECT_NE(text.find(row), std::string::npos) << document << ": " << row;
    }
  }
}

}  // namespace
