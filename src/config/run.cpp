// A run on the configuration file: its reads, tests and writes around the judgement.
#include "config/run.h"

#include <optional>
#include <vector>

#include "config/platform.h"
#include "config/publish.h"
#include "config/server_rules.h"

namespace {

// The configuration file by both its names: as the caller typed it, which every
// message shows, and as the system found it, in its pinned folder, which every call
// and every look-up (the remedy's included) takes.
struct Target {
  const std::string& typed;
  const Folder& folder;
};

Status StatusOf(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kMissing:
      return Status::kNotFound;
    case ErrorKind::kDenied:
      return Status::kDenied;
    case ErrorKind::kInUse:
      return Status::kInUse;
    case ErrorKind::kRefused:
    case ErrorKind::kUntrusted:
      return Status::kRefused;
    case ErrorKind::kOther:
      break;
  }
  return Status::kFailed;
}

// The outcome of an operation on `failed` that failed for `error`, with `text`,
// telling why, what it was doing there (`doing`, where the name does not say), and
// what to do. An error without words is a read that found the file cut short.
Outcome SystemFailure(const std::string& failed, const Error& error, std::string text,
                      std::optional<Why> doing = std::nullopt) {
  const Status status = error.words.empty() ? Status::kFailed : StatusOf(error.kind);
  std::string reason =
      failed + ": " + (error.words.empty() ? Explain(Why::kCutShort) : error.words);
  if (doing) reason += " (" + Explain(*doing) + ")";
  // A name or a link refused by the file system says why in its words.
  reason += "; " + (status == Status::kRefused ? Explain(Why::kNothingChanged)
                                               : std::string(Remedy(status)));
  return {status, std::move(text), std::move(reason)};
}

// The outcome of nothing at `target`, for `error`.
Outcome Missing(Target target, const Error& error) {
  const auto [path, folder] = target;
  Outcome missing =
      SystemFailure(path, error, Render(Text::kNotFound, path) + Render(Text::kReading, path));
  // The web server's own file, in a folder that is missing too.
  if (IsServerConfigurationName(folder.file) && !folder.handle)
    missing.reason = path + ": " + error.words + "; " + Explain(Why::kServerMissing);
  return missing;
}

// The refusal of an elevated run where `writer`, an account it does not trust, may
// change `what` (a folder, a file, or with kUntrustedLink the folder of a link), and
// so lead the run to another file. Both names come from the system.
Outcome Untrusted(std::string text, const std::string& what, const std::string& writer,
                  Why why = Why::kUntrusted) {
  return {Status::kRefused, std::move(text),
          Printable(what) + ": " + Explain(why, Printable(writer))};
}

// Where the web server reads its configuration instead of the file `target`:
// on a web farm with shared configuration, the applicationHost.config in the folder
// that the redirection.config beside it names.
struct Redirection {
  std::string sharedFile;             // empty where the server reads the file
  std::optional<Outcome> unreadable;  // the redirection.config could not be read
};

Redirection FindSharedConfiguration(FileSystem& files, Target target) {
  const auto [path, folder] = target;
  Redirection found;
  if (!folder.handle || !IsServerConfigurationName(folder.file)) return found;
  const std::string redirection = Printable(folder.path) + "redirection.config";
  const std::string unreadable = Render(Text::kUnreadableRedirection, path);
  Snapshot read;
  if (const Fault fault = files.Read(folder, "redirection.config", read)) {
    if (fault->kind != ErrorKind::kMissing)
      found.unreadable = SystemFailure(redirection, *fault, unreadable);
    return found;
  }
  // Never acted on where someone the elevated run does not trust may write it.
  if (const std::string writer = files.IsElevated() ? files.OtherWriter(read) : "";
      !writer.empty()) {
    found.unreadable = Untrusted(unreadable, redirection, writer);
    return found;
  }
  std::string shared;
  if (const Finding fault = ReadRedirection(read.text, shared)) {
    found.unreadable = {Status::kRefused, unreadable,
                        redirection + ":" + std::to_string(LineNumber(read.text, fault.at)) + ": " +
                            Explain(*fault.why, fault.detail) + "; " +
                            std::string(Remedy(Status::kRefused))};
    return found;
  }
  if (shared.empty() || files.IsSameFolder(shared, folder)) return found;
  const char last = shared.back();
  found.sharedFile = shared + (last == '\\' || last == '/' ? "" : "\\") + "applicationHost.config";
  return found;
}

// Install and check stop where the web server reads another file than `target`, or
// where that cannot be known: the outcome then. An uninstall, which harms no file,
// tells and goes on.
std::optional<Outcome> StopWhereShared(FileSystem& files, Mode mode, Target target,
                                       const Reporter& report) {
  const std::string& path = target.typed;
  Redirection redirection = FindSharedConfiguration(files, target);
  if (redirection.unreadable && !IsRemoval(mode)) return std::move(redirection.unreadable);
  if (redirection.sharedFile.empty()) return std::nullopt;
  const std::string elsewhere = RenderShared(Printable(redirection.sharedFile), path);
  if (!IsRemoval(mode))
    return Outcome{Status::kShared, elsewhere, path + ": " + Explain(Why::kShared)};
  report(elsewhere);
  return std::nullopt;
}

// `outcome`, its reason naming each temporary file in `leftBehind`, which a run
// could not remove, whether it failed, succeeded, or started again.
Outcome Naming(Outcome outcome, const std::string& path,
               const std::vector<std::string>& leftBehind) {
  for (const std::string& name : leftBehind)
    outcome.reason +=
        (outcome.reason.empty() ? path + ": " : "; ") + Explain(Why::kLeftBehind, Printable(name));
  return outcome;
}

// One round on the file `target`: reads it, judges, tests, backs up and writes,
// adding to `leftBehind` each temporary file it could not remove. Its outcome, or
// none when another program changed the file meanwhile.
std::optional<Outcome> Round(FileSystem& files, Mode mode, Target target,
                             std::vector<std::string>& leftBehind) {
  const auto [path, folder] = target;
  Snapshot read;
  if (const Fault fault = files.Read(folder, folder.file, read))
    return SystemFailure(path, *fault, Render(Text::kReading, path));
  const Verdict verdict = Judge(mode, read.text);
  std::string where = path;
  if (verdict.line) where.append(":").append(std::to_string(verdict.line));
  if (verdict.refusal)
    return Outcome{Status::kRefused, Render(*verdict.refusal, path),
                   where + ": " + Explain(verdict.why, verdict.detail) + "; " +
                       std::string(Remedy(Status::kRefused))};
  if (verdict.left != Left::kNothing) {
    Outcome kept{verdict.left == Left::kUsedBlock ? Status::kKept : Status::kDone,
                 verdict.told ? Render(*verdict.told, path) : "",
                 where + ": " + Explain(verdict.why, verdict.detail)};
    kept.left = verdict.left;
    return kept;
  }
  // Anything at the backup's name is kept: it is published without replacing.
  const std::string backupName = BackupPath(folder.file),
                    backup = Printable(folder.path + backupName);
  Entry backupEntry = Entry::kMissing;
  const Fault unknownBackup = files.EntryIn(folder, backupName, backupEntry);
  const Plan plan = Decide(mode, verdict, unknownBackup || backupEntry != Entry::kMissing);
  if (!plan.change) return Outcome{};
  if (unknownBackup) return SystemFailure(backup, *unknownBackup, Render(Text::kBackingUp, path));

  // What the install would find out only while it writes. A backup that is not a
  // file (a link, even to nothing, or a folder) would never be the one promised.
  if (backupEntry == Entry::kOther)
    return Outcome{Status::kRefused, Render(Text::kBackingUp, path),
                   backup + ": " + Explain(Why::kBackupNotAFile)};
  if (const Fault fault = files.MayWrite(read))
    return SystemFailure(path, *fault, Render(Text::kWriting, path));
  if (const Fault fault = files.MayCreateIn(folder))
    return plan.backUp
               ? SystemFailure(backup, *fault, Render(Text::kBackingUp, path))
               : SystemFailure(path, *fault, Render(Text::kWriting, path), Why::kCreatingTemporary);
  if (!plan.publish)
    return Outcome{Status::kWouldChange,
                   mode == Mode::kCheck ? Render(Text::kWouldChange, path) : ""};

  // The backup is made from the bytes read, and published before the file is
  // touched, so the old text is on disk under one of the two names at every instant.
  if (plan.backUp) {
    const Publication copy = WriteWholeFile(files, backupName, {{read.text}}, read, false);
    if (!copy.leftBehind.empty()) leftBehind.push_back(copy.leftBehind);
    if (copy.result == WriteResult::kFailed)
      return SystemFailure(backup, copy.error, Render(Text::kBackingUp, path));
    if (copy.result == WriteResult::kChanged) return std::nullopt;
  }
  const Publication text = WriteWholeFile(files, folder.file, verdict.newText.pieces, read, true);
  if (!text.leftBehind.empty()) leftBehind.push_back(text.leftBehind);
  if (text.result == WriteResult::kFailed)
    return SystemFailure(path, text.error, Render(Text::kWriting, path));
  if (text.result == WriteResult::kChanged) return std::nullopt;
  Outcome done;
  done.written = true, done.backup = backup, done.backupMade = plan.backUp;
  return done;
}

}  // namespace

Outcome Run(FileSystem& files, Mode mode, const std::string& path, const Reporter& report) {
  Folder folder;
  const Fault lookup = files.OpenFolderOf(files.Resolve(path), folder);
  const Target target{path, folder};
  const bool missing = lookup && lookup->kind == ErrorKind::kMissing;
  files.RemoveTemporaryFileOnInterrupt();
  report(Render(mode == Mode::kInstall  ? Text::kUpdating
                : mode == Mode::kRemove ? Text::kRemoving
                                        : Text::kChecking,
                path));
  if (lookup && lookup->kind == ErrorKind::kUntrusted)
    return Untrusted(Render(Text::kUntrustedFolder, path), lookup->link, lookup->words,
                     Why::kUntrustedLink);
  if (lookup && !missing) return SystemFailure(path, *lookup, Render(Text::kReading, path));
  // An elevated run trusts nothing in a folder that someone else may change.
  const std::string writer = files.IsElevated() && folder.handle ? files.OtherWriter(folder) : "";
  if (!missing && !writer.empty())
    return Untrusted(Render(Text::kUntrustedFolder, path), folder.path, writer);
  if (writer.empty())
    if (std::optional<Outcome> shared = StopWhereShared(files, mode, target, report))
      return std::move(*shared);
  if (missing) {
    // Nothing to remove: an uninstall must not fail when the web server went first.
    if (IsRemoval(mode)) return Outcome{Status::kDone, Render(Text::kNotFound, path)};
    return Missing(target, *lookup);
  }
  std::vector<std::string> leftBehind;
  for (int round = 0; round < 3; ++round)
    if (std::optional<Outcome> outcome = Round(files, mode, target, leftBehind))
      return Naming(std::move(*outcome), path, leftBehind);
  return Naming(
      {Status::kInUse, Render(Text::kChanged, path),
       path + ": " + Explain(Why::kChangedEachTime) + "; " + std::string(Remedy(Status::kInUse))},
      path, leftBehind);
}

std::string BackupPath(const std::string& path) { return path + ".bak"; }
