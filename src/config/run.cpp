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
  bool keepsUndo = false;  // the bytes a write replaces are kept for the transaction's undo
};

// The full name of `name` in `folder`, as messages show it: from the system, escaped.
std::string Shown(const Folder& folder, const std::string& name) {
  return Printable(folder.path + name);
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
    case ErrorKind::kUntrusted:
      return Status::kRefused;
    case ErrorKind::kOther:
      break;
  }
  return Status::kFailed;
}

// The outcome of an operation on `failed` that failed for `error`, with `texts`,
// telling why, what it was doing there (`doing`, where the name does not say), and
// what to do. An error without a message is a read that found the file cut short.
Outcome SystemFailure(const std::string& failed, const Error& error, std::vector<Text> texts,
                      std::optional<Why> doing = std::nullopt) {
  const Status status = error.message.empty() ? Status::kFailed : StatusOf(error.kind);
  Reason reason(failed);
  if (error.message.empty()) reason.why = Why::kCutShort;
  reason.message = error.message;
  reason.doing = doing;
  // A name or a link refused by the file system says why in its message.
  if (status == Status::kRefused)
    reason.then = Why::kNothingChanged;
  else
    reason.remedy = status;
  return {status, std::move(texts), std::move(reason)};
}

// The outcome of nothing at `target`, for `error`.
Outcome Missing(Target target, const Error& error) {
  const std::string& path = target.typed;
  const Folder& folder = target.folder;
  Outcome missing = SystemFailure(path, error, {Text::kNotFound, Text::kReading});
  // The web server's own file, in a folder that is missing too.
  if (IsServerConfigurationName(folder.file) && !folder.handle)
    missing.reason.then = Why::kServerMissing;
  return missing;
}

// The refusal of an elevated run where `writer`, an account it does not trust, may
// change `what` (a folder, a file, or with kUntrustedLink the folder of a link), and
// so lead the run to another file. Both names come from the system.
Outcome Untrusted(Text text, const std::string& what, const std::string& writer,
                  Why why = Why::kUntrusted) {
  Reason reason(Printable(what));
  reason.why = why;
  reason.detail = Printable(writer);
  return {Status::kRefused, {text}, std::move(reason)};
}

// Where the web server reads its configuration instead of the file in `folder`:
// on a web farm with shared configuration, the applicationHost.config in the folder
// that the redirection.config beside it names.
struct Redirection {
  std::string sharedFile;             // empty where the server reads the file
  std::optional<Outcome> unreadable;  // the redirection.config could not be read
};

Redirection FindSharedConfiguration(FileSystem& files, const Folder& folder) {
  Redirection found;
  if (!folder.handle || !IsServerConfigurationName(folder.file)) return found;
  const std::string redirection = Shown(folder, "redirection.config");
  const Text unreadable = Text::kUnreadableRedirection;
  Snapshot read;
  if (const Fault fault = files.Read(folder, "redirection.config", read)) {
    if (fault->kind != ErrorKind::kMissing)
      found.unreadable = SystemFailure(redirection, *fault, {unreadable});
    return found;
  }
  // Never acted on where someone the elevated run does not trust may write it.
  if (const std::string writer = files.IsElevated() ? files.OtherWriter(read) : "";
      !writer.empty()) {
    found.unreadable = Untrusted(unreadable, redirection, writer);
    return found;
  }
  std::string shared;
  if (const Breach fault = ReadRedirection(read.text, shared)) {
    Reason reason(redirection, LineNumber(read.text, fault.at), fault.why, fault.detail);
    reason.remedy = Status::kRefused;
    found.unreadable = Outcome{Status::kRefused, {unreadable}, std::move(reason)};
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
  Redirection redirection = FindSharedConfiguration(files, target.folder);
  if (redirection.unreadable && !IsRemoval(mode)) return std::move(redirection.unreadable);
  if (redirection.sharedFile.empty()) return std::nullopt;
  const std::string shared = Printable(redirection.sharedFile);
  if (IsRemoval(mode)) {
    report(RenderShared(shared, path));
    return std::nullopt;
  }
  Outcome elsewhere{Status::kShared, {}, Reason(path, 0, Why::kShared)};
  elsewhere.sharedFile = shared;
  return elsewhere;
}

// `outcome`, its reason naming each temporary file in `leftBehind`, which a run
// could not remove, whether it failed, succeeded, or started again.
Outcome WithLeftBehind(Outcome outcome, const std::string& path,
                       const std::vector<std::string>& leftBehind) {
  if (outcome.reason.about.empty()) outcome.reason.about = path;
  for (const std::string& name : leftBehind) outcome.reason.leftBehind.push_back(Printable(name));
  return outcome;
}

// Publishes `pieces` as `name` beside the file read (WriteWholeFile), adding to
// `leftBehind` a temporary file it could not remove. False where it did not: `stop`
// then holds the failure, named `shown`, with `text`, or none where the file read
// changed meanwhile.
bool Published(FileSystem& files, const std::string& name, const std::vector<Piece>& pieces,
               const Snapshot& read, bool replace, const std::string& shown, Text text,
               std::vector<std::string>& leftBehind, std::optional<Outcome>& stop) {
  const Publication publication = WriteWholeFile(files, name, pieces, read, replace);
  if (!publication.leftBehind.empty()) leftBehind.push_back(publication.leftBehind);
  if (publication.result == WriteResult::kFailed)
    stop = SystemFailure(shown, publication.error, {text});
  return publication.result == WriteResult::kWritten;
}

// The writes of a round that changes the file `target`, read as `read`: the backup
// first where `backUp` (published before the file is touched, so the old text is on
// disk under one of the two names at every instant), the bytes read kept for the
// undo, then the new text. Its outcome, or none when the file changed meanwhile.
std::optional<Outcome> Write(FileSystem& files, Target target, const Snapshot& read,
                             const std::vector<Piece>& pieces, bool backUp,
                             std::vector<std::string>& leftBehind) {
  const std::string& path = target.typed;
  const Folder& folder = target.folder;
  const std::string backupName = BackupPath(folder.file), undoName = RollbackPath(folder.file);
  const std::string backup = Shown(folder, backupName);
  std::optional<Outcome> stop;
  if (backUp && !Published(files, backupName, {{read.text}}, read, false, backup, Text::kBackingUp,
                           leftBehind, stop))
    return stop;
  if (target.keepsUndo && !Published(files, undoName, {{read.text}}, read, true,
                                     Shown(folder, undoName), Text::kWriting, leftBehind, stop))
    return stop;
  if (!Published(files, folder.file, pieces, read, true, path, Text::kWriting, leftBehind, stop))
    return stop;
  Outcome done;
  done.written = true;
  done.backup = backup;
  done.backupMade = backUp;
  return done;
}

// What a round makes of the file `target`, read as `read`: the judgement, the tests
// an install makes before it writes, and the writes. Its outcome, or none when
// another program changed the file meanwhile.
std::optional<Outcome> Decided(FileSystem& files, Mode mode, Target target, const Snapshot& read,
                               std::vector<std::string>& leftBehind) {
  const std::string& path = target.typed;
  const Folder& folder = target.folder;
  const Verdict verdict = Judge(mode, read.text);
  Reason reason(path, verdict.line, verdict.why, verdict.detail);
  if (verdict.refusal) {
    reason.remedy = Status::kRefused;
    return Outcome{Status::kRefused, {*verdict.refusal}, std::move(reason)};
  }
  if (verdict.keptFor != KeptFor::kNothing) {
    Outcome kept{verdict.keptFor == KeptFor::kUsedBlock ? Status::kKept : Status::kDone,
                 {},
                 std::move(reason)};
    if (verdict.told) kept.texts.push_back(*verdict.told);
    kept.keptFor = verdict.keptFor;
    return kept;
  }
  // Anything at the backup's name is kept: it is published without replacing.
  const std::string backup = Shown(folder, BackupPath(folder.file));
  Entry backupEntry = Entry::kMissing;
  const Fault unknownBackup = files.EntryIn(folder, BackupPath(folder.file), backupEntry);
  const Plan plan = Decide(mode, verdict, unknownBackup || backupEntry != Entry::kMissing);
  if (!plan.change) return Outcome{};
  if (unknownBackup) return SystemFailure(backup, *unknownBackup, {Text::kBackingUp});

  // What the install would find out only while it writes. A backup that is not a
  // file (a link, even to nothing, or a folder) would never be the one promised.
  if (backupEntry == Entry::kOther)
    return Outcome{Status::kRefused, {Text::kBackingUp}, Reason(backup, 0, Why::kBackupNotAFile)};
  if (const Fault fault = files.MayWrite(read))
    return SystemFailure(path, *fault, {Text::kWriting});
  if (const Fault fault = files.MayCreateIn(folder))
    return plan.backUp ? SystemFailure(backup, *fault, {Text::kBackingUp})
                       : SystemFailure(path, *fault, {Text::kWriting}, Why::kCreatingTemporary);
  if (plan.publish)
    return Write(files, target, read, verdict.newText.pieces, plan.backUp, leftBehind);
  // The pre-flight also finds a holder that the install's rename would wait for in vain.
  if (const Fault fault = files.MayReplaceNow(read))
    return SystemFailure(path, *fault, {Text::kWriting});
  Outcome would{Status::kWouldChange};
  if (mode == Mode::kCheck) would.texts.push_back(Text::kWouldChange);
  return would;
}

// One round on the file `target`: reads it, then decides and writes, adding to
// `leftBehind` each temporary file it could not remove. Its outcome, with the lines
// of the first block in the text read, or none when another program changed the
// file meanwhile.
std::optional<Outcome> Round(FileSystem& files, Mode mode, Target target,
                             std::vector<std::string>& leftBehind) {
  Snapshot read;
  if (const Fault fault = files.Read(target.folder, target.folder.file, read))
    return SystemFailure(target.typed, *fault, {Text::kReading});
  std::optional<Outcome> outcome = Decided(files, mode, target, read, leftBehind);
  const size_t begin = read.text.find(kBeginMarker);
  if (outcome && begin != kNoPosition) {
    outcome->block.first = LineNumber(read.text, begin);
    outcome->block.second = LineNumber(read.text, read.text.find(kEndMarker, begin));
  }
  return outcome;
}

// How many rounds a run, or an undo, gives a file that another program keeps changing.
constexpr int kRounds = 3;

// The outcome of a file that another program changed during each of kRounds rounds.
Outcome ChangedEachTime(const std::string& path) {
  Reason reason(path, 0, Why::kChangedEachTime);
  reason.remedy = Status::kInUse;
  return {Status::kInUse, {Text::kChanged}, std::move(reason)};
}

// Whether `pieces`, written out, spell `text` byte for byte.
bool Spell(const std::vector<Piece>& pieces, std::string_view text) {
  const bool same = StreamPieces(pieces, [&text](std::string_view first, std::string_view second) {
    for (const std::string_view part : {first, second}) {
      if (text.substr(0, part.size()) != part) return false;
      text.remove_prefix(part.size());
    }
    return true;
  });
  return same && text.empty();
}

// Whether an elevated run may trust the folder `folder` (a missing one has nothing
// to steer).
bool Trusts(FileSystem& files, const Folder& folder) {
  return !folder.handle || !files.IsElevated() || files.OtherWriter(folder).empty();
}

// The outcome of a file whose folder could not be opened for `lookup` (but for
// nothing at PATH), or that an elevated run does not trust: a link on the way, or
// the folder; none where the run goes on.
std::optional<Outcome> Unopened(FileSystem& files, Target target, const Fault& lookup) {
  const std::string& path = target.typed;
  const Folder& folder = target.folder;
  if (lookup && lookup->kind == ErrorKind::kUntrusted)
    return Untrusted(Text::kUntrustedFolder, lookup->link, lookup->message, Why::kUntrustedLink);
  if (lookup && lookup->kind != ErrorKind::kMissing)
    return SystemFailure(path, *lookup, {Text::kReading});
  // An elevated run trusts nothing in a folder that someone else may change.
  if (!lookup && !Trusts(files, folder))
    return Untrusted(Text::kUntrustedFolder, folder.path, files.OtherWriter(folder));
  return std::nullopt;
}

}  // namespace

Outcome Run(FileSystem& files, Mode mode, const std::string& path, const Reporter& report,
            bool keepsUndo) {
  Folder folder;
  const Fault lookup = files.OpenFolderOf(files.Resolve(path), folder);
  const Target target{path, folder, keepsUndo};
  report(Render(mode == Mode::kInstall  ? Text::kUpdating
                : mode == Mode::kRemove ? Text::kRemoving
                                        : Text::kChecking,
                path));
  if (std::optional<Outcome> stop = Unopened(files, target, lookup)) return std::move(*stop);
  if (Trusts(files, folder))
    if (std::optional<Outcome> shared = StopWhereShared(files, mode, target, report))
      return std::move(*shared);
  if (lookup) {
    // Nothing to remove: an uninstall must not fail when the web server went first.
    if (IsRemoval(mode)) return Outcome{Status::kDone, {Text::kNotFound}};
    return Missing(target, *lookup);
  }
  std::vector<std::string> leftBehind;
  Outcome outcome = ChangedEachTime(path);
  for (int round = 0; round < kRounds; ++round)
    if (std::optional<Outcome> decided = Round(files, mode, target, leftBehind)) {
      outcome = std::move(*decided);
      break;
    }
  // A kept copy is always this transaction's: one that an earlier, unfinished
  // transaction left is gone once this run writes nothing.
  const std::string undoName = RollbackPath(folder.file);
  if (const Fault fault = keepsUndo && !outcome.written ? files.Remove(folder, undoName) : Fault())
    if (outcome.status == Status::kDone || outcome.status == Status::kKept)
      outcome = SystemFailure(Shown(folder, undoName), *fault, {Text::kWriting});
  return WithLeftBehind(std::move(outcome), path, leftBehind);
}

Outcome Undo(FileSystem& files, const std::string& path) {
  Folder folder;
  const Fault lookup = files.OpenFolderOf(files.Resolve(path), folder);
  const Target target{path, folder};
  if (std::optional<Outcome> stop = Unopened(files, target, lookup)) return std::move(*stop);
  const std::string undoName = RollbackPath(folder.file);
  Snapshot kept, read;
  if (const Fault fault = lookup ? lookup : files.Read(folder, undoName, kept))
    return fault->kind == ErrorKind::kMissing
               ? Outcome()
               : SystemFailure(Shown(folder, undoName), *fault, {Text::kReading});
  std::vector<std::string> leftBehind;
  std::optional<Outcome> stop;
  for (int round = 0; round < kRounds; ++round) {
    if (const Fault fault = files.Read(folder, folder.file, read))
      return SystemFailure(path, *fault, {Text::kReading});
    if (read.text == kept.text) {
      stop = Outcome{};
      break;
    }
    // Only what a run made of the kept bytes is undone: a later change stays.
    if (!Spell(Judge(Mode::kInstall, kept.text).newText.pieces, read.text) &&
        !Spell(Judge(Mode::kRemove, kept.text).newText.pieces, read.text)) {
      stop = Outcome{Status::kDone, {}, Reason(path, 0, Why::kChangedSinceKept)};
      break;
    }
    if (Published(files, folder.file, {{kept.text}}, read, true, path, Text::kWriting, leftBehind,
                  stop)) {
      stop = Outcome{};
      stop->written = true;
      break;
    }
    if (stop) return WithLeftBehind(std::move(*stop), path, leftBehind);
  }
  if (!stop)
    stop = ChangedEachTime(path);
  else if (const Fault fault = files.Remove(folder, undoName))
    stop = SystemFailure(Shown(folder, undoName), *fault, {Text::kWriting});
  return WithLeftBehind(std::move(*stop), path, leftBehind);
}

Outcome Commit(FileSystem& files, const std::string& path) {
  Folder folder;
  const Fault lookup = files.OpenFolderOf(files.Resolve(path), folder);
  if (std::optional<Outcome> stop = Unopened(files, {path, folder}, lookup))
    return std::move(*stop);
  const std::string undoName = RollbackPath(folder.file);
  if (const Fault fault = folder.handle ? files.Remove(folder, undoName) : Fault())
    return SystemFailure(Shown(folder, undoName), *fault, {Text::kWriting});
  return {};
}

std::string BackupPath(const std::string& path) { return path + ".bak"; }

std::string RollbackPath(const std::string& path) { return path + ".rollback"; }
