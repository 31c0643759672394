// The texts the tool spells: every fixed text byte for byte (they are the system's
// own words, and none may change), and the docs' status tables against the code's.
#include "config/texts.h"

#include <gtest/gtest.h>

#include <string>

#include "tool_fixture.h"

namespace {

// The bytes each fixed text must have for the path "P", after the prefix: a switch
// without default, so that a text added without its row does not build
// (-Werror=switch).
std::string Pinned(Text text) {
  switch (text) {
    case Text::kUpdating:
      return "Updating startup script P\n ";
    case Text::kRemoving:
      return "Removing section from startup script P\n ";
    case Text::kChecking:
      return "Checking startup script P\n ";
    case Text::kReading:
      return "Reading startup script P occur error";
    case Text::kBackingUp:
      return "Backing up startup script P occur error";
    case Text::kWriting:
      return "Writing startup script P occur error";
    case Text::kNotFound:
      return "\xD5\xD2\xB2\xBB\xB5\xBD\xC5\xE4\xD6\xC3\xCE\xC4\xBC\xFEP";
    case Text::kUtf16:
      return "Can not edit UTF-16 script P";
    case Text::kNoAnchor:
      return "Can not find system.webServer option in script P";
    case Text::kNoEnd:
      return "Can not find QUELLMARK END in script P";
    case Text::kDeclared:
      return "Section is already declared in script P";
    case Text::kCannotPlace:
      return "Can not place section in script P";
    case Text::kCannotRemove:
      return "Can not remove section from script P";
    case Text::kStillUsed:
      return "Section is still used in script P";
    case Text::kUnreadableRedirection:
      return "Can not read redirection.config beside script P";
    case Text::kUntrustedFolder:
      return "Can not trust the folder of script P";
    case Text::kChanged:
      return "Startup script P was changed by another program";
    case Text::kWouldChange:
      return "Install would change script P";
  }
  return "";
}

TEST(Texts, EachFixedTextByteForByte) {
  for (int text = 0; text <= static_cast<int>(kLastText); ++text)
    EXPECT_EQ(Render(static_cast<Text>(text), "P"),
              "[QuellmarkInstaller] " + Pinned(static_cast<Text>(text)));
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
