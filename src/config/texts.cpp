// Every text the tool spells, in one place.
#include "config/texts.h"

#include "config/file_system.h"

std::string_view Meaning(Status status) {
  switch (status) {
    case Status::kDone:
      return "done, or nothing to do";
    case Status::kRefused:
      return "refused: the file's text is one the tool will not edit";
    case Status::kArgumentError:
      return "argument error";
    case Status::kWouldChange:
      return "check only: an install would succeed and change the file";
    case Status::kShared:
      return "shared configuration: the web server reads another file";
    case Status::kNotFound:
      return "not found: nothing at PATH";
    case Status::kDenied:
      return "access denied";
    case Status::kInUse:
      return "in use by another program, or changed by it each time";
    case Status::kFailed:
      return "any other system failure";
    case Status::kKept:
      return "uninstall only: kept, the module's settings still use the section";
  }
  return "";
}

std::string_view Remedy(Status status) {
  switch (status) {
    case Status::kRefused:
      return "mend the file there by hand, then run again";
    case Status::kNotFound:
      return "check PATH";
    case Status::kDenied:
      return "run the step elevated, or as an account that may read and replace the file and "
             "create files in its folder";
    case Status::kInUse:
      return "a later retry may succeed";
    case Status::kDone:
    case Status::kArgumentError:
    case Status::kWouldChange:
    case Status::kShared:
    case Status::kFailed:
    case Status::kKept:
      break;
  }
  return "run again once the cause is mended";
}

namespace {

// A text around the name or detail in it: what comes before it, and after it.
struct Frame {
  std::string_view before, after;
};

std::string Around(const Frame& frame, std::string_view middle) {
  return std::string(frame.before).append(middle).append(frame.after);
}

// "configuration file not found", as `words` spells it.
std::string_view Spelled(NotFoundWords words) {
  switch (words) {
    case NotFoundWords::kGbk:
      return "\xD5\xD2\xB2\xBB\xB5\xBD\xC5\xE4\xD6\xC3\xCE\xC4\xBC\xFE";
    case NotFoundWords::kUtf8:
      return "\xE6\x89\xBE\xE4\xB8\x8D\xE5\x88\xB0\xE9\x85\x8D\xE7\xBD\xAE\xE6\x96\x87"
             "\xE4\xBB\xB6";
    case NotFoundWords::kEnglish:
      return "configuration file not found: ";
  }
  return {};
}

Frame FrameOf(Text text) {
  switch (text) {
    case Text::kUpdating:
      return {"Updating startup script ", "\n "};
    case Text::kRemoving:
      return {"Removing section from startup script ", "\n "};
    case Text::kChecking:
      return {"Checking startup script ", "\n "};
    case Text::kReading:
      return {"Reading startup script ", " occur error"};
    case Text::kBackingUp:
      return {"Backing up startup script ", " occur error"};
    case Text::kWriting:
      return {"Writing startup script ", " occur error"};
    case Text::kNotFound:
      return {Spelled(NotFoundWords::kGbk), ""};
    case Text::kUtf16:
      return {"Can not edit UTF-16 script ", ""};
    case Text::kNoAnchor:
      return {"Can not find system.webServer option in script ", ""};
    case Text::kNoEnd:
      return {"Can not find QUELLMARK END in script ", ""};
    case Text::kDeclared:
      return {"Section is already declared in script ", ""};
    case Text::kCannotPlace:
      return {"Can not place section in script ", ""};
    case Text::kCannotRemove:
      return {"Can not remove section from script ", ""};
    case Text::kStillUsed:
      return {"Section is still used in script ", ""};
    case Text::kUnreadableRedirection:
      return {"Can not read redirection.config beside script ", ""};
    case Text::kUntrustedFolder:
      return {"Can not trust the folder of script ", ""};
    case Text::kChanged:
      return {"Startup script ", " was changed by another program"};
    case Text::kWouldChange:
      return {"Install would change script ", ""};
  }
  return {};
}

Frame FrameOf(Why why) {
  switch (why) {
    case Why::kWide:
      return {"UTF-16 or UTF-32 (a byte-order mark, or a zero byte in the first four bytes)", ""};
    case Why::kNoAnchorLine:
      return {"no line holds ", ""};
    case Why::kAnchorOtherwise:
      return {"the group is not written as ", ", the text looked for"};
    case Why::kNoEnd:
      return {"no QUELLMARK END line follows this QUELLMARK BEGIN line", ""};
    case Why::kDeclaredByHand:
      return {"the section is declared here by hand, not by this tool, and was left as it is", ""};
    case Why::kSettingsKeepIt:
      return {
          "the module's settings are here; the section's declaration stays until they are "
          "removed, then an uninstall removes it",
          ""};
    case Why::kTooLarge:
      return {"the new text would be ", " bytes, over the limit of "};
    case Why::kCrAlone:
      return {
          "the file's line ends are CR alone, so this tool reads it as one line and would put "
          "the block after all of it (the new text: ",
          ")"};
    case Why::kMoreMarkup:
      return {
          "this line holds more markup than the group's start tag, and the block would go "
          "below all of it (the new text: ",
          ")"};
    case Why::kNotWellFormed:
      return {"the change would make the file not well-formed XML here (the new text: ", ")"};
    case Why::kParser:
      return {"", ""};
    case Why::kForeignLine:
      return {"a line this tool does not write would be dropped", ""};
    case Why::kInsideMarkup:
      return {"the change would fall inside markup (a comment, tag or CDATA section)", ""};
    case Why::kElementsOpen:
      return {"the change would leave other elements open", ""};
    case Why::kNotInGroup:
      return {"the section would not be declared directly in ",
              " in <configSections> in <configuration>"};
    case Why::kDeclaredAgain:
      return {
          "the section is declared here a second time by hand, and the web server loads no "
          "site from a group that declares a section twice",
          ""};
    case Why::kDeclaredElsewhere:
      return {"the section is declared here, on a line this tool did not write", ""};
    case Why::kSettingsOrphaned:
      return {"the section's settings would be left without its declaration", ""};
    case Why::kCutShort:
      return {"cut short while it was read", ""};
    case Why::kCreatingTemporary:
      return {"creating a temporary file beside it", ""};
    case Why::kNothingChanged:
      return {"nothing was changed", ""};
    case Why::kServerMissing:
      return {
          "the web server's configuration folder is missing too: the web server is probably "
          "not installed",
          ""};
    case Why::kBackupNotAFile:
      return {
          "not a file (a link or a folder), where the backup is kept; remove it, then run "
          "again",
          ""};
    case Why::kShared:
      return {
          "the redirection.config beside it enables shared configuration; register the "
          "section in the shared file, and install only the module's files here",
          ""};
    case Why::kUntrusted:
      return {"",
              " may change it, and so steer this elevated run; run the step as that account, "
              "not elevated, or let only the administrators change it"};
    case Why::kUntrustedLink:
      return {"a link in a folder that ",
              " may change, which this elevated run does not follow; name the file by a path "
              "without it, or run the step as that account, not elevated"};
    case Why::kChangedEachTime:
      return {"changed by another program during each of three attempts", ""};
    case Why::kChangedSinceKept:
      return {
          "changed since this transaction wrote it, and left as it is: the rollback puts back "
          "only what it wrote",
          ""};
    case Why::kLeftBehind:
      return {"", " was left behind: delete it"};
    case Why::kMoved:
      return {"moved while it was opened", ""};
    case Why::kHeld:
      return {"in use by another program", ""};
    case Why::kStream:
      return {"names a stream of a file (after its ':'), not a file", ""};
    case Why::kUnknownLink:
      return {"a link whose target the system does not tell, which is never replaced by a file",
              ""};
    case Why::kOtherRights:
      return {
          "the new file would not get the file's access list (its inherited entries are not "
          "what its folder gives now); nothing was replaced",
          ""};
    case Why::kServerRights:
      return {
          "the new file would not get the file's access list: the server did not keep the "
          "access list it was given; nothing was replaced",
          ""};
    case Why::kLinkInFolder:
      return {"a link where the file was, which is not followed", ""};
    case Why::kUntrustedJunction:
      return {
          "a junction on the way, made by an account other than the administrators, which "
          "Redirection Guard does not let this elevated run follow",
          ""};
  }
  return {};
}

}  // namespace

std::string Render(Text text, const std::string& path, NotFoundWords words) {
  const Frame frame = text == Text::kNotFound ? Frame{Spelled(words), ""} : FrameOf(text);
  return std::string(kPrefix) + Around(frame, path);
}

std::string RenderTexts(const std::vector<Text>& texts, const std::string& path,
                        const std::string& shared, NotFoundWords words) {
  std::string rendered;
  for (const Text text : texts) rendered += Render(text, path, words);
  return shared.empty() ? rendered : rendered + RenderShared(shared, path);
}

std::string RenderReason(const Reason& reason) {
  std::string rendered;
  if (reason.why || !reason.message.empty()) {
    rendered = reason.about;
    if (reason.line) rendered.append(":").append(std::to_string(reason.line));
    rendered.append(": ").append(reason.why ? Explain(*reason.why, reason.detail) : reason.message);
    if (reason.doing) rendered += " (" + Explain(*reason.doing) + ")";
    if (reason.then)
      rendered += "; " + Explain(*reason.then);
    else if (reason.remedy)
      rendered += "; " + std::string(Remedy(*reason.remedy));
  }
  for (const std::string& name : reason.leftBehind)
    rendered += (rendered.empty() ? reason.about + ": " : "; ") + Explain(Why::kLeftBehind, name);
  return rendered;
}

std::string Explain(Why why, std::string_view detail) {
  std::string explained = Around(FrameOf(why), detail);
  if (why == Why::kTooLarge) explained += std::to_string(kMaxFileSize);
  return explained;
}

std::string Printable(std::string_view name) {
  std::string printable;
  const auto escape = [&printable](unsigned char byte) {
    constexpr char kDigits[] = "0123456789ABCDEF";
    printable.append("\\x").append(1, kDigits[byte >> 4]).append(1, kDigits[byte & 15]);
  };
  for (size_t at = 0; at < name.size(); ++at) {
    const unsigned char byte = name[at], next = at + 1 < name.size() ? name[at + 1] : 0;
    // C1 controls are U+0080 to U+009F: C2 80 to C2 9F in UTF-8.
    if (byte == 0xC2 && next >= 0x80 && next < 0xA0) {
      escape(byte);
      escape(next);
      ++at;
    } else if (byte < 0x20 || byte == 0x7F) {
      escape(byte);
    } else {
      printable += name[at];
    }
  }
  return printable;
}

std::string RenderLogged(Logged logged, const std::string& path, std::string_view detail) {
  const std::string told = std::string(kReasonPrefix) + path + ": ", said(detail);
  switch (logged) {
    case Logged::kKept:
      return told + "unchanged; the section is kept while the module's settings use it";
    case Logged::kWillRemove:
      return told + "the removal will take the section out";
    case Logged::kWillRegister:
      return told + "the registration will change it";
    case Logged::kAdopted:
      return told + "unchanged; the section declared there by hand was adopted as it is";
    case Logged::kLeftByHand:
      return told + "unchanged; the section declared there by hand was left as it is";
    case Logged::kWrittenBackedUp:
      return told + "written; its backup is " + said;
    case Logged::kWrittenBackupKept:
      return told + "written; the earlier backup " + said + " was left as it was";
    case Logged::kNothingToRemove:
      return told + "the removal has nothing to take out";
    case Logged::kUnchanged:
      return told + "unchanged";
    case Logged::kFarmNodeChecked:
      return std::string(kReasonPrefix) + "a farm node: the section is not registered here";
    case Logged::kFarmNodeSkipped:
      return std::string(kReasonPrefix) + "a farm node: registration skipped";
    case Logged::kUserMayNotRead:
      return std::string(kReasonPrefix) +
             "this user may not read the file; the deferred action judges it";
    case Logged::kRolledBack:
      return told + "rolled back: the bytes it held before this transaction are back";
    case Logged::kNothingToRollBack:
      return told + "nothing to roll back: this transaction did not change it";
    case Logged::kVersion:
      return std::string(kReasonPrefix) + "QuellmarkInstallerCA.dll " + said;
    case Logged::kScheduledImmediate:
      return std::string(kReasonPrefix) + said +
             " runs as an immediate action, where it does nothing: schedule it deferred (a "
             "rollback or commit action where it is one); docs/installers.md says how";
    case Logged::kNoActionData:
      return std::string(kReasonPrefix) + said +
             " found no CustomActionData: QuellmarkCheck sets it only in the properties named "
             "as the actions' fixed Ids (QuellmarkRegister, QuellmarkUnregister, "
             "QuellmarkRollback, QuellmarkCommit); give this action its Id";
  }
  return "";
}

std::string RenderStays(const std::string& path, Status status, size_t first, size_t last) {
  const std::string remedy = status == Status::kKept
                                 ? "remove the module's settings (its <Quellmark> elements)"
                             : status == Status::kInUse ? "close the program that holds the file"
                                                        : std::string(Remedy(status));
  std::string lines = "delete ";
  if (first && last)
    lines += "lines " + std::to_string(first) + " to " + std::to_string(last) + " of it ";
  else
    lines += "the lines from QUELLMARK BEGIN to QUELLMARK END ";
  return std::string(kReasonPrefix) + "warning: the section stays in " + path + " (status " +
         std::to_string(static_cast<int>(status)) + ") and the removal goes on. Once the " +
         "product is gone, " + remedy + ", then " + lines +
         "by hand, or run QuellmarkInstaller.exe --uninstall \"" + path + "\" from the release zip";
}

std::string Usage() {
  std::string usage =
      "Usage: QuellmarkInstaller [--uninstall | --check] PATH\n"
      "Registers the Quellmark section in the web server configuration file PATH,\n"
      "keeping the file as it first was in PATH.bak.\n"
      "  --uninstall  removes the section instead; a missing PATH has nothing to remove\n"
      "  --check      changes nothing and tells whether an install would change PATH\n"
      "Exit status, the same for every mode (--check gives the install's):\n";
  for (int status = 0; status < kStatuses; ++status)
    usage.append("  ")
        .append(std::to_string(status))
        .append(" ")
        .append(Meaning(static_cast<Status>(status)))
        .append("\n");
  return usage + "Why a run failed, where in PATH, and what to do, is told on standard error.\n";
}

std::string RenderShared(const std::string& shared, const std::string& path) {
  return std::string(kPrefix) + "Shared configuration: the web server reads " + shared +
         ", not script " + path;
}
