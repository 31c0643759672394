#pragma once

// A file system in memory, for the run's logic: one folder of named files, where any
// step can fail with any kind of error, and a hook changes the files before a step.

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "config/file_system.h"

// The steps a run takes on the file system, which a test can fail or precede.
enum class Step {
  kOpen,
  kEntry,
  kRead,
  kMayWrite,
  kMayCreate,
  kCreate,
  kWrite,
  kFinish,
  kPlace,
  kFlush,
  kHeldNow,
  kRemove
};

class MemoryFileSystem final : public FileSystem {
 public:
  struct File {
    std::string bytes;
    int identity = 0;  // a new one at every change
  };
  std::map<std::string, File> files;  // by name, in the folder kFolder
  static constexpr const char* kFolder = "/m/";

  // The `occurrence`th call of `step` (1-based) fails with `error`.
  Step failing = Step::kOpen;
  int occurrence = 0;
  Error error;
  // Runs before each step, after the count that `occurrence` looks at.
  std::function<void(Step, int occurrence)> before;
  int held = 0;        // Place finds the file held by another program this many first times
  bool stuck = false;  // Discard cannot remove a temporary file
  bool elevated = false;
  int paused = 0;           // milliseconds waited for a held file
  std::string otherWriter;  // of the folder

  // Sets the file `name` to `bytes`, as another program would.
  void Put(const std::string& name, std::string bytes) {
    files[name] = {std::move(bytes), ++identities_};
  }

  std::string Resolve(const std::string& path) override { return path; }
  Fault OpenFolderOf(const std::string& path, Folder& folder) override {
    folder = {kFolder, path, std::make_shared<FolderHandle>()};
    if (Fault fault = Attempt(Step::kOpen)) return fault;
    if (!files.count(path)) return Error{ErrorKind::kMissing, "nothing there"};
    return {};
  }
  Fault EntryIn(const Folder&, const std::string& name, Entry& entry) override {
    if (Fault fault = Attempt(Step::kEntry)) return fault;
    entry = !files.count(name)   ? Entry::kMissing
            : links_.count(name) ? Entry::kOther
                                 : Entry::kFile;
    return {};
  }
  Fault Read(const Folder& folder, const std::string& name, Snapshot& snapshot) override {
    if (Fault fault = Attempt(Step::kRead)) return fault;
    const auto found = files.find(name);
    if (found == files.end()) return Error{ErrorKind::kMissing, "nothing there"};
    auto state = std::make_shared<State>();
    state->identity = found->second.identity;
    std::shared_ptr<char[]> storage(new char[found->second.bytes.size() + 1]);
    found->second.bytes.copy(storage.get(), found->second.bytes.size());
    snapshot = {&folder, name, {storage.get(), found->second.bytes.size()}, storage, state};
    return {};
  }
  bool IsUnchanged(const Snapshot& read) override {
    const auto found = files.find(read.name);
    return found != files.end() &&
           found->second.identity == static_cast<const State&>(*read.state).identity;
  }
  bool IsSameFolder(const std::string& shared, const Folder&) override { return shared == kFolder; }
  bool IsElevated() override { return elevated; }
  std::string OtherWriter(const Folder&) override { return otherWriter; }
  std::string OtherWriter(const Snapshot&) override { return ""; }
  Fault MayWrite(const Snapshot&) override { return Attempt(Step::kMayWrite); }
  Fault MayCreateIn(const Folder&) override { return Attempt(Step::kMayCreate); }
  Fault MayReplaceNow(const Snapshot&) override { return Attempt(Step::kHeldNow); }
  Fault Remove(const Folder&, const std::string& name) override {
    if (Fault fault = Attempt(Step::kRemove)) return fault;
    files.erase(name);
    return {};
  }
  Fault CreateTemporary(const Folder&, const std::string& name, const Snapshot&,
                        TempFilePtr& temp) override {
    if (Fault fault = Attempt(Step::kCreate)) return fault;
    auto made = std::make_unique<Temp>(*this, name + ".tmp" + std::to_string(++identities_));
    files[made->name] = {"", identities_};
    temp = std::move(made);
    return {};
  }
  Fault TakeOverIdentity(TempFile&, const Snapshot&) override { return {}; }
  Fault Write(TempFile& temp, std::string_view first, std::string_view second) override {
    if (Fault fault = Attempt(Step::kWrite)) return fault;
    files[static_cast<Temp&>(temp).name].bytes.append(first).append(second);
    return {};
  }
  Fault Finish(TempFile&, const Snapshot&) override { return Attempt(Step::kFinish); }
  Fault Place(TempFile& file, const std::string& name, bool replace, Placed& placed) override {
    if (Fault fault = Attempt(Step::kPlace)) return fault;
    placed = Placed::kHeld;
    if (counts_[Step::kPlace] <= held) return {};
    Temp& temp = static_cast<Temp&>(file);
    placed = !replace && files.count(name) ? Placed::kExists : Placed::kPlaced;
    if (placed == Placed::kExists) return {};
    files[name] = {files[temp.name].bytes, ++identities_};
    files.erase(temp.name);
    temp.stays = true;
    return {};
  }
  std::string Discard(TempFilePtr temp) override {
    if (!stuck) return "";  // the destructor removes it
    Temp& kept = static_cast<Temp&>(*temp);
    kept.stays = true;
    return kFolder + kept.name;
  }
  void Pause(int milliseconds) override { paused += milliseconds; }
  Fault FlushFolder(const Folder&) override { return Attempt(Step::kFlush); }

  // Makes `name` a link, which EntryIn tells apart from a file.
  void Link(const std::string& name) {
    Put(name, "");
    links_[name] = true;
  }

 private:
  struct State final : FileState {
    int identity = 0;
  };
  struct Temp final : TempFile {
    Temp(MemoryFileSystem& owner, std::string name) : owner(owner), name(std::move(name)) {}
    ~Temp() override {
      if (!stays) owner.files.erase(name);
    }
    MemoryFileSystem& owner;
    std::string name;
    bool stays = false;  // placed, or not removable: its entry is not erased
  };

  // Counts a call of `step`, runs the hook, and fails it where it is the one to fail.
  Fault Attempt(Step step) {
    const int count = ++counts_[step];
    if (before) before(step, count);
    if (step == failing && count == occurrence) return error;
    return {};
  }

  std::map<Step, int> counts_;
  std::map<std::string, bool> links_;
  int identities_ = 0;
};
