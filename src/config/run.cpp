// A run on the configuration file: its reads, tests and writes around the judgement.
#include "config/run.h"

#include <optional>

#include "config/platform.h"
#include "config/publish.h"
#include "config/server_rules.h"

namespace {

// Gives up: Run returns the outcome thrown.
[[noreturn]] void GiveUp(Status status, std::string text, std::string reason) {
  throw Outcome{status, std::move(text), std::move(reason)};
}

// What to do about a failure of `status` on the file `failed`.
std::string Remedy(Status status, const std::string& failed) {
  switch (status) {
    case Status::kRefused:
      return "mend the file there by hand, then run again";
    case Status::kNotFound: {
      // The web server's own file, in a folder that is missing too.
      const size_t name = FileNameStart(failed);
      if (IsServerConfigurationName(std::string_view(failed).substr(name)) && name > 0 &&
          LookUp(failed.substr(0, name)) == Lookup::kMissing)
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

Status StatusOf(ErrorKind kind) {
  switch (kind) {
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
}

// The outcome of a system call on `failed` that failed, with `text`, telling why, what
// it was doing there (`doing`, where the name does not say), and what to do. A call
// that failed for no system error is a read that found the file cut short.
Outcome SystemFailure(const std::string& failed, std::string text, const char* doing = "") {
  const std::string error = SystemError();
  const Status status = error.empty() ? Status::kFailed : StatusOf(SystemErrorKind());
  return {status, std::move(text),
          failed + ": " + (error.empty() ? "cut short while it was read" : error) +
              (*doing ? std::string(" (") + doing + ")" : "") + "; " +
              // A name or a link refused by the platform layer says why in its words.
              (status == Status::kRefused ? "nothing was changed" : Remedy(status, failed))};
}

[[noreturn]] void GiveUpOn(const std::string& failed, std::string text, const char* doing = "") {
  throw SystemFailure(failed, std::move(text), doing);
}

// The not-found text: kPrefix, the GBK words, PATH.
std::string NotFound(const std::string& path) {
  return std::string(kPrefix) + std::string(kNotFoundWords) + path;
}

// Where the web server reads its configuration instead of `file`, `path` resolved:
// on a web farm with shared configuration, the applicationHost.config in the folder
// that the redirection.config beside its own names.
struct Redirection {
  std::string sharedFile;             // empty where the server reads `file`
  std::optional<Outcome> unreadable;  // the redirection.config could not be read
};

Redirection FindSharedConfiguration(const std::string& path, const std::string& file) {
  Redirection found;
  const size_t name = FileNameStart(file);
  if (!IsServerConfigurationName(std::string_view(file).substr(name))) return found;
  const std::string redirection = file.substr(0, name) + "redirection.config";
  const std::string unreadable =
      std::string(kPrefix) + "Can not read redirection.config beside script " + path;
  const Lookup lookup = LookUp(redirection);
  Snapshot read;
  if (lookup == Lookup::kMissing) return found;
  if (lookup != Lookup::kFound || !ReadSnapshot(redirection, read)) {
    found.unreadable = SystemFailure(redirection, unreadable);
    return found;
  }
  std::string shared;
  if (const Finding fault = ReadRedirection(read.text, shared)) {
    found.unreadable = {Status::kRefused, unreadable,
                        redirection + ":" + std::to_string(LineNumber(read.text, fault.at)) + ": " +
                            fault.words + "; " + Remedy(Status::kRefused, redirection)};
    return found;
  }
  if (shared.empty() || IsFolderOf(shared, file)) return found;
  const char last = shared.back();
  found.sharedFile = shared + (last == '\\' || last == '/' ? "" : "\\") + "applicationHost.config";
  return found;
}

// Install and check stop where the web server reads another file than `file`,
// `path` resolved, or where that cannot be known; an uninstall, which harms no file,
// tells and goes on.
void StopWhereShared(Mode mode, const std::string& path, const std::string& file,
                     const Reporter& report) {
  const Redirection redirection = FindSharedConfiguration(path, file);
  if (redirection.unreadable && mode != Mode::kRemove) throw *redirection.unreadable;
  if (redirection.sharedFile.empty()) return;
  const std::string elsewhere = std::string(kPrefix) +
                                "Shared configuration: the web server reads " +
                                redirection.sharedFile + ", not script " + path;
  if (mode != Mode::kRemove)
    GiveUp(Status::kShared, elsewhere,
           path +
               ": the redirection.config beside it enables shared configuration; register the "
               "section in the shared file, and install only the module's files here");
  report(elsewhere);
}

// One round: reads `file`, judges, tests, backs up and writes. False when another
// program changed the file meanwhile; `missing` when nothing was there before.
bool Round(Mode mode, const std::string& path, const std::string& file, bool missing) {
  Snapshot read;
  if (!ReadSnapshot(file, read))
    GiveUpOn(path, (missing ? NotFound(path) : "") + OccurError("Reading", path));
  const Verdict verdict = Judge(mode, read.text, path);
  if (!verdict.refusal.empty()) {
    std::string where = path;
    if (verdict.line) where.append(":").append(std::to_string(verdict.line));
    GiveUp(Status::kRefused, verdict.refusal,
           where + ": " + verdict.words + "; " + Remedy(Status::kRefused, path));
  }
  // Anything at the backup's name is kept: it is published without replacing.
  const std::string backupPath = BackupPath(file);
  const Plan plan = Decide(mode, verdict, LookUp(backupPath) == Lookup::kFound);
  if (!plan.change) return true;

  // What the install would find out only while it writes.
  if (!MayWrite(read)) GiveUpOn(path, OccurError("Writing", path));
  if (plan.backUp && !MayCreateBeside(backupPath))
    GiveUpOn(backupPath, OccurError("Backing up", path));
  if (!MayCreateBeside(read.target))
    GiveUpOn(path, OccurError("Writing", path), "creating a temporary file beside it");
  if (!plan.publish)
    GiveUp(Status::kWouldChange, std::string(kPrefix) + "Install would change script " + path, "");

  // The backup is made from the bytes read, and published before the file is
  // touched, so the old text is on disk under one of the two names at every instant.
  WriteResult result = WriteResult::kWritten;
  if (plan.backUp) result = WriteWholeFile(backupPath, {{read.text}}, read, false);
  if (result == WriteResult::kFailed) GiveUpOn(backupPath, OccurError("Backing up", path));
  if (result == WriteResult::kWritten)
    result = WriteWholeFile(read.target, verdict.newText.pieces, read, true);
  if (result == WriteResult::kFailed) GiveUpOn(path, OccurError("Writing", path));
  return result == WriteResult::kWritten;
}

// Runs `mode` on `path`, starting over when another program changes the file
// meanwhile; gives up by throwing its outcome.
void RunOn(Mode mode, const std::string& path, const Reporter& report) {
  const std::string file = ResolvePath(path);  // for the system; messages name `path`
  const bool missing = LookUp(file) == Lookup::kMissing;
  RemoveTemporaryFileOnInterrupt();
  const char* const progress = mode == Mode::kInstall  ? "Updating startup script "
                               : mode == Mode::kRemove ? "Removing section from startup script "
                                                       : "Checking startup script ";
  report(std::string(kPrefix) + progress + path + "\n ");
  StopWhereShared(mode, path, file, report);
  // Nothing to remove: an uninstall must not fail when the web server went first.
  if (mode == Mode::kRemove && missing) GiveUp(Status::kDone, NotFound(path), "");
  for (int round = 0; round < 3; ++round)
    if (Round(mode, path, file, missing)) return;
  GiveUp(Status::kInUse,
         std::string(kPrefix) + "Startup script " + path + " was changed by another program",
         path + ": changed by another program during each of three attempts; " +
             Remedy(Status::kInUse, path));
}

}  // namespace

Outcome Run(Mode mode, const std::string& path, const Reporter& report) {
  try {
    RunOn(mode, path, report);
    return {};
  } catch (Outcome& outcome) {
    return std::move(outcome);
  }
}

std::string BackupPath(const std::string& path) { return path + ".bak"; }
