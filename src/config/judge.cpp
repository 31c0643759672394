// The judgement of a text read and the plan that follows from it.
#include "config/judge.h"

#include "config/file_system.h"
#include "config/server_rules.h"

namespace {

// XML's own encoding detection: a UTF-16 byte-order mark, or a zero byte among the
// first four bytes (UTF-16 or UTF-32 without one). The line rules read bytes as
// ASCII, so they would find no marker, or break characters apart.
bool IsWide(std::string_view text) {
  const std::string_view start = text.substr(0, 4);
  return start.substr(0, 2) == "\xFF\xFE" || start.substr(0, 2) == "\xFE\xFF" ||
         start.find('\0') != kNoPosition;
}

// A refusal of `text`: its fixed text, the byte it is about (none: kNoPosition),
// why, and the detail that the words of `why` name.
Verdict Refused(std::string_view text, Text refusal, size_t at, Why why, std::string detail = "") {
  Verdict verdict;
  verdict.refusal = refusal;
  verdict.line = at == kNoPosition ? 0 : LineNumber(text, at);
  verdict.why = why;
  verdict.detail = std::move(detail);
  return verdict;
}

Verdict Refused(std::string_view text, Text refusal, const Breach& fault) {
  return Refused(text, refusal, fault.at, *fault.why, fault.detail);
}

// The text read kept as it is, on purpose: `keptFor`, with the text `told` (or none),
// the byte it is about and why.
Verdict Kept(std::string_view text, KeptFor keptFor, std::optional<Text> told, size_t at, Why why) {
  Verdict verdict;
  verdict.same = true;
  verdict.keptFor = keptFor;
  verdict.told = told;
  verdict.line = LineNumber(text, at);
  verdict.why = why;
  return verdict;
}

// Judges a change of `text` into `verdict.newText` by the server's rules and the size
// limit.
Verdict JudgeChange(Mode mode, std::string_view text, Verdict verdict) {
  const NewText& newText = verdict.newText;
  // The web server loads no site at all from a file it cannot read.
  if (const Breach fault = FindChangeFault(text, newText))
    return Refused(text, IsRemoval(mode) ? Text::kCannotRemove : Text::kCannotPlace, fault);
  // The web server would refuse a file whose settings have lost their declaration:
  // the block stays until they are removed.
  if (IsRemoval(mode))
    if (const Breach settings = FindUndeclaredSettings(text, newText))
      return Kept(text, KeptFor::kUsedBlock, Text::kStillUsed, settings.at, Why::kSettingsKeepIt);
  // A text the tool could no longer read, not even to undo the install.
  if (const size_t size = SizeOver(newText.pieces, kMaxFileSize))
    return Refused(text, Text::kWriting, kNoPosition, Why::kTooLarge, std::to_string(size));
  return verdict;
}

}  // namespace

Verdict Judge(Mode mode, std::string_view text) {
  if (IsWide(text)) return Refused(text, Text::kUtf16, 0, Why::kWide);
  Verdict verdict;
  verdict.newText = IsRemoval(mode) ? RemoveBlocks(text) : InsertBlock(text);
  const NewText& newText = verdict.newText;
  if (!IsRemoval(mode) && !newText.inserted) {
    const size_t like = FindAnchorLike(text);
    return Refused(text, Text::kNoAnchor, like,
                   like == kNoPosition ? Why::kNoAnchorLine : Why::kAnchorOtherwise,
                   std::string(kAnchorText));
  }
  if (newText.unterminated) return Refused(text, Text::kNoEnd, newText.openBlock, Why::kNoEnd);
  // A declaration made by hand (an older installer's, an administrator's) where the
  // block would go, the group's only one, with no block in the file, is what an
  // install wants: adopted. Beside a block, or beside another, the server loads no site.
  const std::vector<size_t> byHand = FindCopiedDeclarations(text, newText);
  if (!IsRemoval(mode) && byHand.size() > 1)
    return Refused(text, Text::kDeclared, byHand[1], Why::kDeclaredAgain);
  if (!IsRemoval(mode) && !byHand.empty())
    return SameText(RemoveBlocks(text).pieces, text)
               ? Kept(text, KeptFor::kHandDeclaration, Text::kDeclared, byHand[0],
                      Why::kDeclaredByHand)
               : Refused(text, Text::kDeclared, byHand[0], Why::kDeclaredElsewhere);
  // An unchanged file is left alone: the web server reloads its configuration
  // and recycles its worker processes whenever the file changes.
  verdict.same = SameText(newText.pieces, text);
  // An uninstall removes blocks alone, and says so of a declaration made by hand.
  if (verdict.same && IsRemoval(mode) && !byHand.empty())
    return Kept(text, KeptFor::kHandDeclaration, std::nullopt, byHand[0], Why::kDeclaredByHand);
  return verdict.same ? verdict : JudgeChange(mode, text, std::move(verdict));
}

Plan Decide(Mode mode, const Verdict& verdict, bool backupExists) {
  Plan plan;
  plan.change = !verdict.same;
  plan.backUp = plan.change && !backupExists;
  plan.publish = plan.change && mode != Mode::kCheck && mode != Mode::kCheckRemoval;
  return plan;
}
