#pragma once

// Every text the tool spells, in one place: the fixed texts of standard output
// (the system's own words: no byte of them may change, and texts_test.cpp pins
// each), the remedies that end a reason, and what each exit status means. Keyed by
// what happened; the front ends and the run render from here.

#include <string>
#include <string_view>

// How every text the tool prints on standard output begins.
inline constexpr std::string_view kPrefix = "[QuellmarkInstaller] ";

// How the standard error line of a run begins.
inline constexpr std::string_view kReasonPrefix = "QuellmarkInstaller: ";

// GBK for "configuration file not found", as the fixed output texts have it.
inline constexpr std::string_view kNotFoundWords =
    "\xD5\xD2\xB2\xBB\xB5\xBD\xC5\xE4\xD6\xC3\xCE\xC4\xBC\xFE";

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
inline constexpr int kStatuses = 10;

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

// The text for the file at `path`, as PATH was typed, from kPrefix on, with no line
// feed after it, but for the progress lines, which end with "\n ".
std::string Render(Text text, const std::string& path);

// The shared configuration's text: the web server reads `shared`, not `path`.
std::string RenderShared(const std::string& shared, const std::string& path);
