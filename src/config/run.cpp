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

// What to do about a failure of `status`.
std::string Remedy(Status status) {
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
              (status == Status::kRefused ? "nothing was changed" : Remedy(status))};
}

[[noreturn]] void GiveUpOn(const std::string& failed, std::string text, const char* doing = "") {
  throw SystemFailure(failed, std::move(text), doing);
}

// The not-found text: kPrefix, the GBK words, PATH.
std::string NotFound(const std::string& path) {
  return std::string(kPrefix) + std::string(kNotFoundWords) + path;
}

// The outcome of nothing at `path`, whose folder is `folder`.
Outcome Missing(const std::string& path, const Folder& folder) {
  Outcome missing = SystemFailure(path, NotFound(path) + OccurError("Reading", path));
  // The web server's own file, in a folder that is missing too.
  if (IsServerConfigurationName(folder.file) && !folder.handle)
    missing.reason = path + ": " + SystemError() +
                     "; the web server's configuration folder is missing too: the web server "
                     "is probably not installed";
  return missing;
}

// The refusal of an elevated run where `writer`, an account it does not trust, may
// change `what`, and so lead the run to another file.
Outcome Untrusted(std::string text, const std::string& what, const std::string& writer) {
  return {Status::kRefused, std::move(text),
          what + ": " + writer +
              " may change it, and so steer this elevated run; run the step as that account, "
              "not elevated, or let only the administrators change it"};
}

// Where the web server reads its configuration instead of the file `folder` holds:
// on a web farm with shared configuration, the applicationHost.config in the folder
// that the redirection.config beside it names.
struct Redirection {
  std::string sharedFile;             // empty where the server reads the file
  std::optional<Outcome> unreadable;  // the redirection.config could not be read
};

Redirection FindSharedConfiguration(const std::string& path, const Folder& folder) {
  Redirection found;
  if (!folder.handle || !IsServerConfigurationName(folder.file)) return found;
  const std::string redirection = folder.path + "redirection.config";
  const std::string unreadable =
      std::string(kPrefix) + "Can not read redirection.config beside script " + path;
  Snapshot read;
  if (!ReadSnapshot(folder, "redirection.config", read)) {
    if (SystemErrorKind() != ErrorKind::kMissing)
      found.unreadable = SystemFailure(redirection, unreadable);
    return found;
  }
  // Never acted on where someone the elevated run does not trust may write it.
  if (const std::string writer = IsElevated() ? OtherWriter(read) : ""; !writer.empty()) {
    found.unreadable = Untrusted(unreadable, redirection, writer);
    return found;
  }
  std::string shared;
  if (const Finding fault = ReadRedirection(read.text, shared)) {
    found.unreadable = {Status::kRefused, unreadable,
                        redirection + ":" + std::to_string(LineNumber(read.text, fault.at)) + ": " +
                            fault.words + "; " + Remedy(Status::kRefused)};
    return found;
  }
  if (shared.empty() || IsSameFolder(shared, folder)) return found;
  const char last = shared.back();
  found.sharedFile = shared + (last == '\\' || last == '/' ? "" : "\\") + "applicationHost.config";
  return found;
}

// Install and check stop where the web server reads another file than the one in
// `folder`, or where that cannot be known; an uninstall, which harms no file, tells
// and goes on.
void StopWhereShared(Mode mode, const std::string& path, const Folder& folder,
                     const Reporter& report) {
  const Redirection redirection = FindSharedConfiguration(path, folder);
  if (redirection.unreadable && !IsRemoval(mode)) throw *redirection.unreadable;
  if (redirection.sharedFile.empty()) return;
  const std::string elsewhere = std::string(kPrefix) +
                                "Shared configuration: the web server reads " +
                                redirection.sharedFile + ", not script " + path;
  if (!IsRemoval(mode))
    GiveUp(Status::kShared, elsewhere,
           path +
               ": the redirection.config beside it enables shared configuration; register the "
               "section in the shared file, and install only the module's files here");
  report(elsewhere);
}

// One round on the file in `folder`: reads it, judges, tests, backs up and writes,
// and says in `done` what it wrote. False when another program changed the file
// meanwhile.
bool Round(Mode mode, const std::string& path, const Folder& folder, Outcome& done) {
  Snapshot read;
  if (!ReadSnapshot(folder, folder.file, read)) GiveUpOn(path, OccurError("Reading", path));
  const Verdict verdict = Judge(mode, read.text, path);
  std::string where = path;
  if (verdict.line) where.append(":").append(std::to_string(verdict.line));
  if (!verdict.refusal.empty())
    GiveUp(Status::kRefused, verdict.refusal,
           where + ": " + verdict.words + "; " + Remedy(Status::kRefused));
  if (verdict.left != Left::kNothing) {
    Outcome kept{verdict.left == Left::kUsedBlock ? Status::kKept : Status::kDone, verdict.told,
                 where + ": " + verdict.words};
    kept.left = verdict.left;
    throw kept;
  }
  // Anything at the backup's name is kept: it is published without replacing.
  const std::string backupName = BackupPath(folder.file), backup = folder.path + backupName;
  const Entry backupEntry = EntryIn(folder, backupName);
  const Plan plan = Decide(mode, verdict, backupEntry != Entry::kMissing);
  if (!plan.change) return true;

  // What the install would find out only while it writes. A backup that is not a
  // file (a link, even to nothing, or a folder) would never be the one promised.
  if (backupEntry == Entry::kFailed) GiveUpOn(backup, OccurError("Backing up", path));
  if (backupEntry == Entry::kOther)
    GiveUp(Status::kRefused, OccurError("Backing up", path),
           backup +
               ": not a file (a link or a folder), where the backup is kept; remove it, "
               "then run again");
  if (!MayWrite(read)) GiveUpOn(path, OccurError("Writing", path));
  if (plan.backUp && !MayCreateIn(folder)) GiveUpOn(backup, OccurError("Backing up", path));
  if (!MayCreateIn(folder))
    GiveUpOn(path, OccurError("Writing", path), "creating a temporary file beside it");
  if (!plan.publish)
    GiveUp(Status::kWouldChange,
           mode == Mode::kCheck ? std::string(kPrefix) + "Install would change script " + path : "",
           "");

  // The backup is made from the bytes read, and published before the file is
  // touched, so the old text is on disk under one of the two names at every instant.
  WriteResult result = WriteResult::kWritten;
  if (plan.backUp) result = WriteWholeFile(backupName, {{read.text}}, read, false);
  if (result == WriteResult::kFailed) GiveUpOn(backup, OccurError("Backing up", path));
  if (result == WriteResult::kWritten)
    result = WriteWholeFile(folder.file, verdict.newText.pieces, read, true);
  if (result == WriteResult::kFailed) GiveUpOn(path, OccurError("Writing", path));
  done.written = true, done.backup = backup, done.backupMade = plan.backUp;
  return result == WriteResult::kWritten;
}

// Runs `mode` on `path`, starting over when another program changes the file
// meanwhile; returns what it did, or gives up by throwing its outcome.
Outcome RunOn(Mode mode, const std::string& path, const Reporter& report) {
  Folder folder;
  const Lookup lookup = OpenFolderOf(ResolvePath(path), folder);  // messages name `path`
  RemoveTemporaryFileOnInterrupt();
  const char* const progress = mode == Mode::kInstall  ? "Updating startup script "
                               : mode == Mode::kRemove ? "Removing section from startup script "
                                                       : "Checking startup script ";
  report(std::string(kPrefix) + progress + path + "\n ");
  const std::string reading = OccurError("Reading", path);
  if (lookup == Lookup::kFailed) GiveUpOn(path, reading);
  // In the system's words of the lookup, before anything else is looked at.
  const std::optional<Outcome> missing =
      lookup == Lookup::kMissing ? std::optional(Missing(path, folder)) : std::nullopt;
  // An elevated run trusts nothing in a folder that someone else may change.
  const std::string writer = IsElevated() && folder.handle ? OtherWriter(folder) : "";
  if (lookup == Lookup::kFound && !writer.empty())
    throw Untrusted(std::string(kPrefix) + "Can not trust the folder of script " + path,
                    folder.path, writer);
  if (writer.empty()) StopWhereShared(mode, path, folder, report);
  if (missing) {
    // Nothing to remove: an uninstall must not fail when the web server went first.
    if (IsRemoval(mode)) GiveUp(Status::kDone, NotFound(path), "");
    throw *missing;
  }
  Outcome done;
  for (int round = 0; round < 3; ++round)
    if (Round(mode, path, folder, done)) return done;
  GiveUp(Status::kInUse,
         std::string(kPrefix) + "Startup script " + path + " was changed by another program",
         path + ": changed by another program during each of three attempts; " +
             Remedy(Status::kInUse));
}

}  // namespace

Outcome Run(Mode mode, const std::string& path, const Reporter& report) {
  try {
    return RunOn(mode, path, report);
  } catch (Outcome& outcome) {
    return std::move(outcome);
  }
}

std::string BackupPath(const std::string& path) { return path + ".bak"; }
