#include "script/update.h"

#include <string_view>

#include "script/failure.h"
#include "script/guard.h"
#include "script/platform.h"
#include "script/publish.h"
#include "script/rewrite.h"

namespace {

const std::string kPrefix = "[QuellmarkInstaller] ";
constexpr size_t kNowhere = std::string_view::npos;  // a refusal about no one line

enum class Mode { kInstall, kRemove, kCheck };

[[noreturn]] void GiveUp(std::string text, Status status, std::string reason) {
  g_errorMessage = std::move(text);
  throw ScriptFailure{g_errorMessage.c_str(), static_cast<int>(status), std::move(reason)};
}

// What to do about a failure of `status` on the file `failed`.
std::string Remedy(Status status, const std::string& failed) {
  switch (status) {
    case Status::kRefused:
      return "mend the file there by hand, then run again";
    case Status::kNotFound: {
      // The web server's own file, in a folder that is missing too.
      const size_t name = FileNameStart(failed);
      if (EqualsIgnoringCase(std::string_view(failed).substr(name), "applicationHost.config") &&
          name > 0 && LookUp(failed.substr(0, name)) == Lookup::kMissing)
        return "the web server's configuration folder is missing too: the web server is "
               "probably not installed";
      return "check PATH";
    }
    case Status::kDenied:
      return "run the step elevated, or as an account that may read and replace the file and "
             "create files in its folder";
    case Status::kInUse:
      return "a later retry may succeed";
    default:
      return "run again once the cause is mended";
  }
}

// Gives up with `text` because a system call on `failed` failed, telling why, what
// it was doing there (`doing`, where the name does not say), and what to do. A call
// that failed for no system error is a read that found the file cut short.
[[noreturn]] void GiveUpOn(const std::string& failed, std::string text, const char* doing = "") {
  const std::string error = SystemError();
  const Status status = error.empty() ? Status::kFailed : [] {
    switch (SystemErrorKind()) {
      case ErrorKind::kMissing:
        return Status::kNotFound;
      case ErrorKind::kDenied:
        return Status::kDenied;
      case ErrorKind::kInUse:
        return Status::kInUse;
      case ErrorKind::kRefused:
        return Status::kRefused;
      default:
        return Status::kFailed;
    }
  }();
  GiveUp(std::move(text), status,
         failed + ": " + (error.empty() ? "cut short while it was read" : error) +
             (*doing ? std::string(" (") + doing + ")" : "") + "; " +
             // A name or a link refused by the platform layer says why in its words.
             (status == Status::kRefused ? "nothing was changed" : Remedy(status, failed)));
}

std::string OccurError(const char* step, const std::string& path) {
  return kPrefix + step + " startup script " + path + " occur error";
}

// XML's own encoding detection: a UTF-16 byte-order mark, or a zero byte among the
// first four bytes (UTF-16 or UTF-32 without one). The line rules read bytes as
// ASCII, so they would find no marker, or break characters apart.
bool IsWide(std::string_view text) {
  const std::string_view start = text.substr(0, 4);
  return start.substr(0, 2) == "\xFF\xFE" || start.substr(0, 2) == "\xFE\xFF" ||
         start.find('\0') != std::string_view::npos;
}

// What a run makes of the text it read: the new text and whether it is the text
// read, or a refusal: its text for standard output, and for standard error the
// line of the file it is about (0: none) and what is wrong there.
struct Verdict {
  RebuiltScript rebuilt;
  bool same = false;
  std::string refusal;
  size_t line = 0;
  std::string words;
};

Verdict Judge(Mode mode, std::string_view text, const std::string& path) {
  Verdict verdict;
  const auto refuse = [&](std::string refusal, size_t at, std::string words) {
    verdict.refusal = kPrefix + refusal;
    verdict.line = at == kNowhere ? 0 : LineNumber(text, at);
    verdict.words = std::move(words);
    return verdict;
  };
  const std::string script = " script " + path;
  if (IsWide(text))
    return refuse("Can not edit UTF-16" + script, 0,
                  "UTF-16 or UTF-32 (a byte-order mark, or a zero byte in the first four bytes)");
  verdict.rebuilt = mode == Mode::kRemove ? RemoveSectionText(text) : RebuildScriptText(text);
  const RebuiltScript& rebuilt = verdict.rebuilt;
  const std::string anchor(kAnchorText);
  if (mode != Mode::kRemove && !rebuilt.inserted) {
    const size_t like = FindAnchorLike(text);
    return refuse("Can not find system.webServer option in" + script, like,
                  like == kNowhere
                      ? "no line holds " + anchor
                      : "the group is not written as " + anchor + ", the text looked for");
  }
  if (rebuilt.unterminated)
    return refuse("Can not find QUELLMARK END in" + script, rebuilt.openBlock,
                  "no QUELLMARK END line follows this QUELLMARK BEGIN line");
  if (mode != Mode::kRemove)
    if (const Finding other = FindOtherDeclaration(text, rebuilt))
      return refuse("Section is already declared in" + script, other.at, other.words);

  // An unchanged file is left alone: the web server reloads its configuration
  // and recycles its worker processes whenever the file changes.
  verdict.same = SameText(rebuilt.pieces, text);
  if (verdict.same) return verdict;
  // The web server loads no site at all from a file it cannot read.
  if (const Finding fault = JudgeChange(text, rebuilt))
    return refuse(mode == Mode::kRemove ? "Can not remove section from" + script
                                        : "Can not place section in" + script,
                  fault.at, fault.words);
  if (mode == Mode::kRemove)
    if (const Finding settings = FindUndeclaredSettings(text, rebuilt))
      return refuse("Section is still used in" + script, settings.at, settings.words);
  // A text the tool could no longer read, not even to undo the install.
  if (const size_t size = SizeOver(rebuilt.pieces, kMaxFileSize))
    return refuse(OccurError("Writing", path).substr(kPrefix.size()), kNowhere,
                  "the new text would be " + std::to_string(size) + " bytes, over the limit of " +
                      std::to_string(kMaxFileSize));
  return verdict;
}

// On a web farm with shared configuration the web server reads the
// applicationHost.config in the folder that the redirection.config beside its own
// names. Returns that file, or empty where the server reads `file`, `path`
// resolved. A redirection.config that cannot be read leaves the file the server
// reads unknown: install and check give up, an uninstall (which harms no file)
// goes on.
std::string SharedConfiguration(Mode mode, const std::string& path, const std::string& file) {
  const size_t name = FileNameStart(file);
  if (!EqualsIgnoringCase(std::string_view(file).substr(name), "applicationHost.config")) return "";
  const std::string redirection = file.substr(0, name) + "redirection.config";
  const std::string unreadable = kPrefix + "Can not read redirection.config beside script " + path;
  const Lookup lookup = LookUp(redirection);
  std::string shared;
  Snapshot read;
  if (lookup == Lookup::kMissing) return "";
  if (lookup == Lookup::kFound && ReadSnapshot(redirection, read)) {
    const Finding fault = ReadRedirection(read.text, shared);
    if (!fault) {
      if (shared.empty() || IsFolderOf(shared, file)) return "";
      const char last = shared.back();
      return shared + (last == '\\' || last == '/' ? "" : "\\") + "applicationHost.config";
    }
    if (mode != Mode::kRemove)
      GiveUp(unreadable, Status::kRefused,
             redirection + ":" + std::to_string(LineNumber(read.text, fault.at)) + ": " +
                 fault.words + "; " + Remedy(Status::kRefused, redirection));
  }
  if (mode != Mode::kRemove) GiveUpOn(redirection, unreadable);
  return "";
}

// Reads, judges, tests, backs up and writes, starting over when another program
// changes the file in between.
void Run(Mode mode, const std::string& path) {
  const std::string file = ResolvePath(path);  // for the system; messages name `path`
  const std::string notFound =
      LookUp(file) == Lookup::kMissing ? kPrefix + std::string(kNotFoundWords) + path : "";
  RemoveTemporaryFileOnInterrupt();
  const char* const progress = mode == Mode::kInstall  ? "Updating startup script"
                               : mode == Mode::kRemove ? "Removing section from startup script"
                                                       : "Checking startup script";
  ReportLine("[QuellmarkInstaller] %s %s\n ", progress, path.c_str());
  const std::string shared = SharedConfiguration(mode, path, file);
  if (!shared.empty()) {
    const std::string elsewhere =
        kPrefix + "Shared configuration: the web server reads " + shared + ", not script " + path;
    if (mode != Mode::kRemove)
      GiveUp(elsewhere, Status::kShared,
             path +
                 ": the redirection.config beside it enables shared configuration; register the "
                 "section in the shared file, and install only the module's files here");
    ReportLine("%s", elsewhere.c_str());
  }
  // Nothing to remove: an uninstall must not fail when the web server went first.
  if (mode == Mode::kRemove && !notFound.empty()) {
    ReportLine("%s", notFound.c_str());
    return;
  }

  const std::string backupPath = MakeBackupPath(file);
  for (int round = 0; round < 3; ++round) {
    Snapshot read;
    if (!ReadSnapshot(file, read)) GiveUpOn(path, notFound + OccurError("Reading", path));
    const Verdict verdict = Judge(mode, read.text, path);
    if (!verdict.refusal.empty())
      GiveUp(verdict.refusal, Status::kRefused,
             path + (verdict.line ? ":" + std::to_string(verdict.line) : "") + ": " +
                 verdict.words + "; " + Remedy(Status::kRefused, path));
    // A run that changes nothing writes nothing, backup included, and so needs no
    // right to write: check and install agree on every file.
    if (verdict.same) return;
    // Anything at the backup's name is kept: it is published without replacing.
    const bool backUp = LookUp(backupPath) != Lookup::kFound;

    // What the install would find out only while it writes.
    if (!MayWrite(read)) GiveUpOn(path, OccurError("Writing", path));
    if (backUp && !MayCreateBeside(backupPath))
      GiveUpOn(backupPath, OccurError("Backing up", path));
    if (!MayCreateBeside(read.target))
      GiveUpOn(path, OccurError("Writing", path), "creating a temporary file beside it");
    if (mode == Mode::kCheck)
      GiveUp(kPrefix + "Install would change script " + path, Status::kWouldChange, "");

    // The backup is made from the bytes read, and published before the file is
    // touched, so the old text is on disk under one of the two names at every instant.
    WriteResult result = WriteResult::kWritten;
    if (backUp) result = WriteWholeFile(backupPath, {{read.text}}, read, false);
    if (result == WriteResult::kFailed) GiveUpOn(backupPath, OccurError("Backing up", path));
    if (result == WriteResult::kWritten)
      result = WriteWholeFile(read.target, verdict.rebuilt.pieces, read, true);
    if (result == WriteResult::kFailed) GiveUpOn(path, OccurError("Writing", path));
    if (result == WriteResult::kWritten) return;
  }
  GiveUp(kPrefix + "Startup script " + path + " was changed by another program", Status::kInUse,
         path + ": changed by another program during each of three attempts; " +
             Remedy(Status::kInUse, path));
}

}  // namespace

std::string MakeBackupPath(const std::string& path) { return path + ".bak"; }

void UpdateStartupScript(const char* path) { Run(Mode::kInstall, path); }
void RemoveSection(const char* path) { Run(Mode::kRemove, path); }
void CheckStartupScript(const char* path) { Run(Mode::kCheck, path); }
