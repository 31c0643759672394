#include "config/platform_posix.h"

#include <acl/libacl.h>
#include <attr/error_context.h>
#include <attr/libattr.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "config/file_system.h"
#include "config/platform.h"
#include "config/texts.h"

using namespace posix;

namespace {

struct PosixState final : FileState {
  int fd = -1;  // kept open: the owner, ACL and attributes are copied from it
  struct stat info;
  ~PosixState() override { close(fd); }
};

const PosixState& State(const Snapshot& read) {
  return static_cast<const PosixState&>(*read.state);
}
const PosixFolder& Handle(const Folder& folder) {
  return static_cast<const PosixFolder&>(*folder.handle);
}

// The interrupt handler's copy of the folder and the name of the temporary file
// being written, which it removes: a handler may only unlink a name prepared in
// advance. Set and cleared with the interrupts blocked, so the handler sees a
// whole name.
char g_interruptName[NAME_MAX + 1];
volatile sig_atomic_t g_interruptFolder = -1;
volatile sig_atomic_t g_tempExists = 0;
constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};

void RemoveTempAndDie(int signal) {
  if (g_tempExists) unlinkat(g_interruptFolder, g_interruptName, 0);
  raise(signal);  // the handler was reset on entry: this ends the process as the signal would
}

// Runs `step` with the interrupts held back, so that it and the record of the
// temporary file happen together.
template <typename Step>
auto Uninterrupted(Step step) {
  sigset_t interrupts, old;
  sigemptyset(&interrupts);
  for (int signal : kInterrupts) sigaddset(&interrupts, signal);
  sigprocmask(SIG_BLOCK, &interrupts, &old);
  const auto result = step();
  const int error = errno;
  sigprocmask(SIG_SETMASK, &old, nullptr);
  errno = error;
  return result;
}

// Writes both spans whole, continuing short writes and interrupted calls.
bool WriteBoth(int fd, std::string_view first, std::string_view second) {
  iovec spans[2] = {{const_cast<char*>(first.data()), first.size()},
                    {const_cast<char*>(second.data()), second.size()}};
  iovec* next = spans;
  int count = 2;
  while (count > 0) {
    if (next->iov_len == 0) {
      ++next;
      --count;
      continue;
    }
    const ssize_t written = writev(fd, next, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    for (size_t done = written; done > 0;) {
      const size_t part = std::min(done, next->iov_len);
      next->iov_base = static_cast<char*>(next->iov_base) + part;
      next->iov_len -= part;
      done -= part;
      if (next->iov_len > 0) continue;
      ++next;
      --count;
    }
  }
  return true;
}

// An attribute copy's context: the first of its failures other than refusals of what
// the caller may not set, which the library hands to NoteAttributeError.
struct AttributeCopy {
  error_context context;
  int error = 0;
};
void NoteAttributeError(error_context* context, const char*, ...) {
  int& error = reinterpret_cast<AttributeCopy*>(context)->error;
  if (errno != EPERM && errno != EACCES && error == 0) error = errno;
}

int CallerSettable(const char* name, error_context*) {
  return std::strncmp(name, "user.", 5) == 0 || std::strncmp(name, "security.", 9) == 0 ||
         std::strncmp(name, "trusted.", 8) == 0;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

struct PosixTemp final : TempFile {
  int fd = -1;
  int folder = -1;
  std::string name;
  std::string shown;  // its full name
  bool placed = false;
  // Removes the file unless it was placed: whether that worked.
  bool Remove() {
    if (fd >= 0) close(fd);
    fd = -1;
    return Uninterrupted([this] {
      const bool removed = placed || unlinkat(folder, name.c_str(), 0) == 0;
      placed = true;
      g_tempExists = 0;
      return removed;
    });
  }
  ~PosixTemp() override { Remove(); }
};

PosixTemp& Temp(TempFile& temp) { return static_cast<PosixTemp&>(temp); }

class PosixFileSystem final : public FileSystem {
 public:
  std::string Resolve(const std::string& path) override { return path; }

  Fault OpenFolderOf(const std::string& path, Folder& folder) override {
    return ChaseFolderOf(path, IsElevated(), folder);
  }

  Fault EntryIn(const Folder& folder, const std::string& name, Entry& entry) override {
    struct stat info;
    entry = Entry::kMissing;
    if (fstatat(Handle(folder).fd.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
      entry = S_ISREG(info.st_mode) ? Entry::kFile : Entry::kOther;
    else if (errno != ENOENT)
      return ErrorOf(errno);
    return {};
  }

  Fault Read(const Folder& folder, const std::string& name, Snapshot& snapshot) override {
    // Opening a device can act, and a FIFO would wait for a writer: only a regular
    // file is opened, and that without blocking, should one take its place.
    const auto state = std::make_shared<PosixState>();
    struct stat& info = state->info;
    if (fstatat(Handle(folder).fd.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
      return ErrorOf(errno);
    if (!S_ISREG(info.st_mode))
      return ErrorOf(S_ISDIR(info.st_mode) ? EISDIR : S_ISLNK(info.st_mode) ? ELOOP : EINVAL);
    state->fd = openat(Handle(folder).fd.get(), name.c_str(),
                       O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (state->fd < 0 || fstat(state->fd, &info) != 0) return ErrorOf(errno);
    if (!S_ISREG(info.st_mode)) return ErrorOf(EINVAL);
    if (state->info.st_size > kMaxFileSize) return ErrorOf(EFBIG);

    // Read into memory, not mapped: a mapping would follow another program's
    // writes, and the rewrite, the comparison and the writer must see one text.
    // Huge pages, where the system allows, take a large file in far fewer faults.
    const size_t size = state->info.st_size, reserved = size + 1;
    void* const block =
        mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) return ErrorOf(errno);
    madvise(block, reserved, MADV_HUGEPAGE);
    std::shared_ptr<char[]> storage(static_cast<char*>(block),
                                    [reserved](char* bytes) { munmap(bytes, reserved); });
    for (size_t filled = 0; filled < size;) {
      const ssize_t count = pread(state->fd, storage.get() + filled, size - filled, filled);
      if (count < 0 && errno == EINTR) continue;
      // A file cut short while it is read is reported as unreadable.
      if (count <= 0) return ErrorOf(count < 0 ? errno : 0);
      filled += count;
    }
    snapshot.folder = &folder;
    snapshot.name = name;
    snapshot.text = std::string_view(storage.get(), size);
    snapshot.storage = std::move(storage);
    snapshot.state = state;
    return {};
  }

  bool IsUnchanged(const Snapshot& read) override {
    struct stat now;
    return fstatat(Handle(*read.folder).fd.get(), read.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) ==
               0 &&
           SameFile(now, State(read).info);
  }

  bool IsSameFolder(const std::string& shared, const Folder& folder) override {
    struct stat info;
    const struct stat& pinned = Handle(folder).info;
    return stat(shared.c_str(), &info) == 0 && info.st_dev == pinned.st_dev &&
           info.st_ino == pinned.st_ino;
  }

  bool IsElevated() override { return IsElevatedProcess(); }

  std::string OtherWriter(const Folder& folder) override {
    return OtherWriterOf(Handle(folder).fd.get(), Handle(folder).info);
  }

  std::string OtherWriter(const Snapshot& read) override {
    return OtherWriterOf(State(read).fd, State(read).info);
  }

  Fault MayWrite(const Snapshot& read) override {
    if (faccessat(Handle(*read.folder).fd.get(), read.name.c_str(), W_OK, AT_EACCESS) != 0)
      return ErrorOf(errno);
    return {};
  }

  Fault MayReplaceNow(const Snapshot&) override { return {}; }

  Fault Remove(const Folder& folder, const std::string& name) override {
    if (unlinkat(Handle(folder).fd.get(), name.c_str(), 0) != 0 && errno != ENOENT)
      return ErrorOf(errno);
    return {};
  }

  Fault MayCreateIn(const Folder& folder) override {
    if (faccessat(Handle(folder).fd.get(), ".", W_OK | X_OK, AT_EACCESS) != 0)
      return ErrorOf(errno);
    return {};
  }

  // Under a name of six random letters and digits after `name`, created exclusively
  // (a name taken by anyone is passed over) and never through a link.
  Fault CreateTemporary(const Folder& folder, const std::string& name, const Snapshot&,
                        TempFilePtr& made) override {
    static constexpr char kLetters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    auto temp = std::make_unique<PosixTemp>();
    temp->folder = Handle(folder).fd.get();
    temp->name = name + ".XXXXXX";
    temp->placed = true;
    if (temp->name.size() >= sizeof g_interruptName) return ErrorOf(ENAMETOOLONG);
    int error = EEXIST;
    for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
      unsigned char random[6];
      if (getrandom(random, sizeof random, 0) != sizeof random) return ErrorOf(errno);
      for (size_t i = 0; i < sizeof random; ++i)
        temp->name[name.size() + 1 + i] = kLetters[random[i] % (sizeof kLetters - 1)];
      temp->fd = Uninterrupted([&] {
        const int created = openat(temp->folder, temp->name.c_str(),
                                   O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        std::strcpy(g_interruptName, temp->name.c_str());
        g_interruptFolder = temp->folder;
        g_tempExists = created >= 0;
        return created;
      });
      error = temp->fd < 0 ? errno : 0;
    }
    // Nothing to remove when nothing was created.
    if (temp->fd < 0) return ErrorOf(error);
    temp->placed = false;
    temp->shown = folder.path + temp->name;
    made = std::move(temp);
    return {};
  }

  // An owner that the caller may not give away is left as it is; the group is still
  // taken where the caller may set it (a member of that group).
  Fault TakeOverIdentity(TempFile& file, const Snapshot& read) override {
    PosixTemp& temp = Temp(file);
    const PosixState& from = State(read);
    if (fchown(temp.fd, from.info.st_uid, from.info.st_gid) != 0 &&
        (errno != EPERM || (fchown(temp.fd, -1, from.info.st_gid) != 0 && errno != EPERM)))
      return ErrorOf(errno);
    if (perm_copy_fd(read.name.c_str(), from.fd, temp.name.c_str(), temp.fd, nullptr) != 0)
      return ErrorOf(errno);
    AttributeCopy copy = {{NoteAttributeError, nullptr, nullptr}};
    if (attr_copy_fd(read.name.c_str(), from.fd, temp.name.c_str(), temp.fd, CallerSettable,
                     &copy.context) == 0 ||
        copy.error == 0)
      return {};
    return ErrorOf(copy.error);
  }

  Fault Write(TempFile& temp, std::string_view first, std::string_view second) override {
    if (!WriteBoth(Temp(temp).fd, first, second)) return ErrorOf(errno);
    return {};
  }

  Fault Finish(TempFile& file, const Snapshot&) override {
    PosixTemp& temp = Temp(file);
    const Fault flushed = fsync(temp.fd) == 0 ? Fault() : ErrorOf(errno);
    const int fd = temp.fd;
    temp.fd = -1;
    if (close(fd) != 0) return ErrorOf(errno);
    return flushed;
  }

  Fault Place(TempFile& file, const std::string& name, bool replace, Placed& placed) override {
    PosixTemp& temp = Temp(file);
    temp.placed = Uninterrupted([&] {
      const bool done = renameat2(temp.folder, temp.name.c_str(), temp.folder, name.c_str(),
                                  replace ? 0 : RENAME_NOREPLACE) == 0;
      g_tempExists = !done;
      return done;
    });
    placed = temp.placed ? Placed::kPlaced : Placed::kExists;
    if (temp.placed || (!replace && errno == EEXIST)) return {};
    return ErrorOf(errno);
  }

  std::string Discard(TempFilePtr temp) override {
    PosixTemp& file = Temp(*temp);
    return file.Remove() ? "" : file.shown;
  }

  void Pause(int milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }

  Fault FlushFolder(const Folder& folder) override {
    // Some file systems cannot flush a folder and say EINVAL; nothing more can be done there.
    if (fsync(Handle(folder).fd.get()) != 0 && errno != EINVAL) return ErrorOf(errno);
    return {};
  }
};

}  // namespace

std::unique_ptr<FileSystem> NewSystemFileSystem() { return std::make_unique<PosixFileSystem>(); }

std::vector<std::string> Arguments(int argc, char** argv) { return {argv + 1, argv + argc}; }

void WriteStandard(std::string_view text, bool error) {
  FILE* const stream = error ? stderr : stdout;
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

bool StandardOutputIsConsole() { return false; }

bool StandardStreamsMeet() {
  struct stat out, error;
  return fstat(STDOUT_FILENO, &out) == 0 && fstat(STDERR_FILENO, &error) == 0 &&
         out.st_dev == error.st_dev && out.st_ino == error.st_ino;
}

void RemoveTemporaryFilesOnInterrupt() {
  struct sigaction action = {};
  action.sa_handler = RemoveTempAndDie;
  action.sa_flags = SA_RESETHAND;
  sigfillset(&action.sa_mask);
  for (int signal : kInterrupts) sigaction(signal, &action, nullptr);
  // Past the file size limit a write then fails with EFBIG, which is reported;
  // a message to a closed pipe is lost, and the run's status stays what it is.
  signal(SIGXFSZ, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
}

void HardenProcess() {}

// Without a slash, rfind's kNoPosition + 1 is 0.
size_t FileNameStart(const std::string& path) { return path.rfind('/') + 1; }
