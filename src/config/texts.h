#pragma once

// Every text the tool spells, in one place: the fixed texts of standard output
// (the system's own words: no byte of them may change, and texts_test.cpp pins
// each), the words of each reason and the remedies that end it, the usage and what
// each exit status means, and the installer log's lines. Keyed by what happened;
// the front ends, the run and the rules render from here.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// How every text the tool prints on standard output begins.
inline constexpr std::string_view kPrefix = "[QuellmarkInstaller] ";

// How the standard error line of a run begins.
inline constexpr std::string_view kReasonPrefix = "QuellmarkInstaller: ";

// How a front end spells the not-found words: their GBK bytes (standard output as
// bytes, which callers compare), the same characters in UTF-8 (a console, which shows
// characters), or English (the installer's log, whose code page is any).
enum class NotFoundWords { kGbk, kUtf8, kEnglish };

// The exit statuses, one per kind of failure that a caller can act on; the same
// for install, uninstall and check.
enum class Status {
  kDone = 0,     // done, or nothing to do
  kRefused = 1,  // the file's text is one the tool will not edit
  kArgumentError = 2,
  kWouldChange = 3,  // check: an install would change the file
  kShared = 4,       // the web server reads a shared configuration instead
  kNotFound = 5,     // nothing at PATH (install and check)
  kDenied = 6,       // the caller may not read or replace the file, or create files beside it
  kInUse = 7,        // another program holds the file, or changed it each time: retry later
  kFailed = 8,       // any other system failure
  kKept = 9,         // uninstall: the section is kept, the module's settings still use it
};
// How many statuses there are: the last one's number, plus one.
inline constexpr int kStatuses = static_cast<int>(Status::kKept) + 1;

// What a status means, as --help says it, and as each row of the docs' status
// tables begins.
std::string_view Meaning(Status status);

// What to do about a failure of `status`, the end of its reason.
std::string_view Remedy(Status status);

// The fixed texts of standard output, by what happened.
enum class Text {
  kUpdating,  // the progress lines, of install, uninstall and check
  kRemoving,
  kChecking,
  kReading,  // a failed step
  kBackingUp,
  kWriting,
  kNotFound,  // nothing at PATH
  kUtf16,     // refusals of the text read
  kNoAnchor,
  kNoEnd,
  kDeclared,
  kCannotPlace,
  kCannotRemove,
  kStillUsed,
  kUnreadableRedirection,
  kUntrustedFolder,
  kChanged,      // another program changed the file each time
  kWouldChange,  // check
};
// The last fixed text: a new one goes before it, or becomes it.
inline constexpr Text kLastText = Text::kWouldChange;

// The text for the file at `path`, as PATH was typed, from kPrefix on, with no line
// feed after it, but for the progress lines, which end with "\n "; the not-found words
// spelled as `words` says.
std::string Render(Text text, const std::string& path, NotFoundWords words = NotFoundWords::kGbk);

// The shared configuration's text: the web server reads `shared`, not `path`.
std::string RenderShared(const std::string& shared, const std::string& path);

// What a run prints on standard output after its progress line: `texts` in order,
// then, where `shared` names one, the shared configuration's text (see Render).
std::string RenderTexts(const std::vector<Text>& texts, const std::string& path,
                        const std::string& shared, NotFoundWords words = NotFoundWords::kGbk);

// What --help prints, each status's meaning in it; and the text of a command line
// that is not one.
std::string Usage();
inline constexpr std::string_view kArgumentError = "argument error.\n";

// The reason of a failure that no step foresaw, and no exception names.
inline constexpr std::string_view kUnexpectedFailure = "unexpected failure";

// Why a run refused the file, kept it as it is, or failed: the words of its reason
// after "NAME[:LINE]: ", around a detail where one is named.
enum class Why {
  // The text read.
  kWide,
  kNoAnchorLine,     // detail: the anchor line's text
  kAnchorOtherwise,  // detail: the anchor line's text
  kNoEnd,
  kDeclaredByHand,  // adopted, or left by an uninstall
  kSettingsKeepIt,  // an uninstall keeps the block
  kTooLarge,        // detail: the new text's size
  // The server's rules about a change; detail: the parser's words about the new text.
  kCrAlone,
  kMoreMarkup,
  kNotWellFormed,
  kParser,  // detail: the parser's words about the text read
  kForeignLine,
  kInsideMarkup,
  kElementsOpen,
  kNotInGroup,  // detail: the anchor line's text
  kDeclaredElsewhere,
  kDeclaredAgain,
  kSettingsOrphaned,
  // The run's.
  kCutShort,
  kCreatingTemporary,  // what a run was doing where its file's name does not say
  kNothingChanged,     // the end of a refusal from the file system
  kServerMissing,      // the end of a reason for a missing file in a missing folder
  kBackupNotAFile,
  kShared,
  kUntrusted,      // detail: the account that may change it
  kUntrustedLink,  // detail: the account that may change the link's folder
  kChangedEachTime,
  kLeftBehind,  // detail: the temporary file's name
  kChangedSinceKept,
  // The file system's own refusals and failures, where the system has no words.
  kMoved,
  kHeld,
  kStream,
  kUnknownLink,
  kOtherRights,
  kServerRights,
  kLinkInFolder,
  kUntrustedJunction,
};

// The words for `why`, with `detail`.
std::string Explain(Why why, std::string_view detail = {});

// `name`, which came from the file system or the account database, not from the
// caller, as it may be printed: each control character (C0, DEL, and C1 in UTF-8)
// written as \xNN, so that no name moves a terminal's cursor or starts a log line.
std::string Printable(std::string_view name);

// Why a run ended as it did, as values: the name it is about and the line there, why
// (the tool's words, or the system's message), what it was doing, what to do, and
// the temporary files it could not remove.
struct Reason {
  explicit Reason(std::string about = "", size_t line = 0, std::optional<Why> why = std::nullopt,
                  std::string detail = "")
      : about(std::move(about)), line(line), why(why), detail(std::move(detail)) {}
  std::string about;       // PATH as typed, or a printable name from the system
  size_t line = 0;         // 0: none
  std::optional<Why> why;  // the tool's words, around `detail`
  std::string detail;
  std::string message;                  // else the system's
  std::optional<Why> doing;             // what the run was doing there, where `about` does not say
  std::optional<Status> remedy;         // the remedy of that status at its end
  std::optional<Why> then;              // or these words there
  std::vector<std::string> leftBehind;  // printable full names
};

// `reason` as standard error and the installer's log say it after kReasonPrefix:
// "ABOUT[:LINE]: WHY[ (DOING)][; WHAT TO DO]", then "; NAME was left behind: delete
// it" for each temporary file; empty where there is nothing to tell.
std::string RenderReason(const Reason& reason);

// What the installer's log says about a run on `path`, after the tool's own lines.
enum class Logged {
  kKept,
  kWillRemove,
  kWillRegister,
  kAdopted,
  kLeftByHand,
  kWrittenBackedUp,    // detail: the backup
  kWrittenBackupKept,  // detail: the backup
  kNothingToRemove,
  kUnchanged,
  kFarmNodeChecked,
  kFarmNodeSkipped,
  kUserMayNotRead,
  kRolledBack,
  kNothingToRollBack,
  kVersion,             // the DLL's; detail: its version
  kScheduledImmediate,  // detail: the action's entry point
  kNoActionData,        // detail: the action's entry point
};

// The log's line for `logged`, from kReasonPrefix on.
std::string RenderLogged(Logged logged, const std::string& path, std::string_view detail = {});

// The removal's warning where the section stays in `path` for `status`, with what to
// do about it once the product is gone: that status's own remedy, then the lines of
// the block (`first` to `last`, where known) to delete, or the release's executable.
std::string RenderStays(const std::string& path, Status status, size_t first, size_t last);
