#include "script/update.h"

#include <string_view>

#include "script/failure.h"
#include "script/guard.h"
#include "script/platform.h"
#include "script/rewrite.h"

namespace {

const std::string kPrefix = "[QuellmarkInstaller] ";

enum class Mode { kInstall, kRemove, kCheck };

[[noreturn]] void GiveUp(std::string text, int status = 1, std::string reason = {}) {
  g_errorMessage = std::move(text);
  throw ScriptFailure{g_errorMessage.c_str(), status, std::move(reason)};
}

// Gives up with `text` because a system call on `failed` failed, telling why.
[[noreturn]] void GiveUpOn(const std::string& failed, std::string text) {
  const std::string error = SystemError();
  GiveUp(std::move(text), 1, error.empty() ? error : failed + ": " + error);
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

// On a web farm with shared configuration the web server reads the file that the
// redirection.config beside its applicationHost.config names, not that one.
// Returns that file's path as written there, or empty. A redirection.config that
// cannot be read leaves the file the server reads unknown: install and check
// give up, an uninstall (which harms no file) goes on. `file` is `path` resolved.
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
    if (ReadRedirection(read.text, shared)) return shared;
    if (mode != Mode::kRemove) GiveUp(unreadable);
  }
  if (mode != Mode::kRemove) GiveUpOn(redirection, unreadable);
  return "";
}

// Reads, rebuilds, backs up and writes, starting over when another program
// changes the file in between.
void Run(Mode mode, const std::string& path) {
  const std::string file = ResolvePath(path);  // for the system; messages name `path`
  if (LookUp(file) == Lookup::kMissing) {
    // GBK for "configuration file not found".
    g_errorMessage.append(kPrefix)
        .append("\xD5\xD2\xB2\xBB\xB5\xBD\xC5\xE4\xD6\xC3\xCE\xC4\xBC\xFE")
        .append(path);
  }
  RemoveTemporaryFileOnInterrupt();
  const char* const progress = mode == Mode::kInstall  ? "Updating startup script"
                               : mode == Mode::kRemove ? "Removing section from startup script"
                                                       : "Checking startup script";
  ReportLine("[QuellmarkInstaller] %s %s\n ", progress, path.c_str());
  const std::string shared = SharedConfiguration(mode, path, file);
  if (!shared.empty()) {
    const std::string elsewhere =
        kPrefix + "Shared configuration: the web server reads " + shared + ", not script " + path;
    if (mode != Mode::kRemove) GiveUp(elsewhere);
    ReportLine("%s", elsewhere.c_str());
  }
  // Nothing to remove: an uninstall must not fail when the web server went first.
  if (mode == Mode::kRemove && !g_errorMessage.empty()) {
    ReportLine("%s", g_errorMessage.c_str());
    return;
  }

  const std::string backupPath = MakeBackupPath(file);
  for (int round = 0; round < 3; ++round) {
    Snapshot read;
    if (!ReadSnapshot(file, read)) GiveUpOn(path, g_errorMessage + OccurError("Reading", path));
    if (IsWide(read.text)) GiveUp(kPrefix + "Can not edit UTF-16 script " + path);
    const RebuiltScript rebuilt =
        mode == Mode::kRemove ? RemoveSectionText(read.text) : RebuildScriptText(read.text);
    if (mode != Mode::kRemove && !rebuilt.inserted)
      GiveUp(kPrefix + "Can not find system.webServer option in script " + path);
    if (rebuilt.unterminated) GiveUp(kPrefix + "Can not find QUELLMARK END in script " + path);
    // A declaration besides the block's, one this tool did not write: the server
    // loads no site from a group that declares a section twice.
    if (mode != Mode::kRemove && SectionDeclarations(rebuilt) > 1)
      GiveUp(kPrefix + "Section is already declared in script " + path);

    // An unchanged file is left alone: the web server reloads its configuration
    // and recycles its worker processes whenever the file changes.
    const bool same = SameText(rebuilt.pieces, read.text);
    // The web server loads no site at all from a file it cannot read.
    if (!same && !ChangeIsSafe(read.text, rebuilt))
      GiveUp(kPrefix +
             (mode == Mode::kRemove ? "Can not remove section from" : "Can not place section in") +
             " script " + path);
    // Settings without their declaration: the web server would load no site at all.
    if (!same && mode == Mode::kRemove && LeavesSettingsUndeclared(rebuilt))
      GiveUp(kPrefix + "Section is still used in script " + path);
    if (mode == Mode::kCheck) {
      if (!same) GiveUp(kPrefix + "Install would change script " + path, 3);
      return;
    }
    // A text the tool could no longer read, not even to undo the install.
    if (!same && LongerThan(rebuilt.pieces, kMaxFileSize)) GiveUp(OccurError("Writing", path));
    // Anything at the backup's name is kept: it is published without replacing.
    const bool backUp = (mode == Mode::kInstall || !same) && LookUp(backupPath) != Lookup::kFound;
    if (same && !backUp) return;
    if (!MayWrite(read)) GiveUpOn(path, OccurError("Writing", path));

    // The backup is made from the bytes read, and published before the file is
    // touched, so the old text is on disk under one of the two names at every instant.
    WriteResult result = WriteResult::kWritten;
    if (backUp) result = WriteWholeFile(backupPath, {{read.text}}, read, false);
    if (result == WriteResult::kFailed) GiveUpOn(backupPath, OccurError("Backing up", path));
    if (result == WriteResult::kWritten && !same)
      result = WriteWholeFile(read.target, rebuilt.pieces, read, true);
    if (result == WriteResult::kFailed) GiveUpOn(path, OccurError("Writing", path));
    if (result == WriteResult::kWritten) return;
  }
  GiveUp(kPrefix + "Startup script " + path + " was changed by another program");
}

}  // namespace

std::string MakeBackupPath(const std::string& path) { return path + ".bak"; }

void UpdateStartupScript(const char* path) { Run(Mode::kInstall, path); }
void RemoveSection(const char* path) { Run(Mode::kRemove, path); }
void CheckStartupScript(const char* path) { Run(Mode::kCheck, path); }
