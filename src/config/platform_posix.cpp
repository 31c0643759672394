#include <acl/libacl.h>
#include <attr/error_context.h>
#include <attr/libattr.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/platform.h"

struct FileState {
  int fd = -1;  // kept open: the owner, ACL and attributes are copied from it
  struct stat info;
  ~FileState() { close(fd); }
};

namespace {

thread_local int g_error = 0;  // see SystemError; per thread, as errno

// Returns `result`, keeping `error` as the reason of the failure it stands for.
template <typename Result>
Result Failed(Result result, int error = errno) {
  g_error = error;
  return result;
}

// The interrupt handler's copy of the name of the temporary file being written,
// which it removes: a handler may only unlink a name prepared in advance. Set and
// cleared with the interrupts blocked, so the handler sees a whole name.
char g_interruptPath[PATH_MAX + 8];
volatile sig_atomic_t g_tempExists = 0;
constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};

void RemoveTempAndDie(int signal) {
  if (g_tempExists) unlink(g_interruptPath);
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
      ++next, --count;
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
      if (next->iov_len == 0) ++next, --count;
    }
  }
  return true;
}

// Failures of the attribute copy other than refusals of what the caller may not set.
thread_local int g_attributeError = 0;
void NoteAttributeError(error_context*, const char*, ...) {
  if (errno != EPERM && errno != EACCES && g_attributeError == 0) g_attributeError = errno;
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

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::vector<std::string> Arguments(int argc, char** argv) { return {argv + 1, argv + argc}; }

void WriteStandard(std::string_view text, bool error) {
  FILE* const stream = error ? stderr : stdout;
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

bool StandardStreamsMeet() {
  struct stat out, error;
  return fstat(STDOUT_FILENO, &out) == 0 && fstat(STDERR_FILENO, &error) == 0 &&
         out.st_dev == error.st_dev && out.st_ino == error.st_ino;
}

std::string ResolvePath(const std::string& path) { return path; }

bool IsFolderOf(const std::string& folder, const std::string& path) {
  const std::unique_ptr<char, decltype(&std::free)> a(realpath(folder.c_str(), nullptr), std::free),
      b(realpath(FolderOf(path).c_str(), nullptr), std::free);
  return a && b && std::strcmp(a.get(), b.get()) == 0;
}

// Without a slash, rfind's kNoPosition + 1 is 0.
size_t FileNameStart(const std::string& path) { return path.rfind('/') + 1; }

std::string SystemError() { return g_error ? std::strerror(g_error) : ""; }

ErrorKind SystemErrorKind() {
  switch (g_error) {
    case ENOENT:
      return ErrorKind::kMissing;
    case EACCES:
    case EPERM:
    case EROFS:
      return ErrorKind::kDenied;
    case ETXTBSY:
    case EBUSY:
      return ErrorKind::kInUse;
    default:
      return ErrorKind::kOther;
  }
}

Lookup LookUp(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) == 0) return Lookup::kFound;
  return errno == ENOENT ? Lookup::kMissing : Failed(Lookup::kFailed);
}

bool ReadSnapshot(const std::string& path, Snapshot& snapshot) {
  // Without blocking: opening a FIFO for reading would wait for a writer.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Failed(false);
  const auto state = std::make_shared<FileState>();
  state->fd = fd;
  if (fstat(fd, &state->info) != 0) return Failed(false);
  if (!S_ISREG(state->info.st_mode))
    return Failed(false, S_ISDIR(state->info.st_mode) ? EISDIR : EINVAL);
  if (state->info.st_size > kMaxFileSize) return Failed(false, EFBIG);
  char* target = realpath(path.c_str(), nullptr);
  if (!target) return Failed(false);
  snapshot.target = target;
  std::free(target);

  // Read into memory, not mapped: a mapping would follow another program's
  // writes, and the rewrite, the comparison and the writer must see one text.
  // Huge pages, where the system allows, take a large file in far fewer faults.
  const size_t size = state->info.st_size, reserved = size + 1;
  void* const block =
      mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return Failed(false);
  madvise(block, reserved, MADV_HUGEPAGE);
  std::shared_ptr<char[]> storage(static_cast<char*>(block),
                                  [reserved](char* bytes) { munmap(bytes, reserved); });
  for (size_t filled = 0; filled < size;) {
    const ssize_t count = pread(fd, storage.get() + filled, size - filled, filled);
    if (count < 0 && errno == EINTR) continue;
    // A file cut short while it is read is reported as unreadable.
    if (count <= 0) return Failed(false, count < 0 ? errno : 0);
    filled += count;
  }
  snapshot.path = path;
  snapshot.text = std::string_view(storage.get(), size);
  snapshot.storage = std::move(storage);
  snapshot.state = state;
  return true;
}

bool MayWrite(const Snapshot& snapshot) {
  return faccessat(AT_FDCWD, snapshot.target.c_str(), W_OK, AT_EACCESS) == 0 || Failed(false);
}

bool MayCreateBeside(const std::string& path) {
  return faccessat(AT_FDCWD, FolderOf(path).c_str(), W_OK | X_OK, AT_EACCESS) == 0 || Failed(false);
}

struct TempFile {
  int fd = -1;
  std::string path;
  bool placed = false;
};

void TempFileDiscard::operator()(TempFile* temp) const {
  if (temp->fd >= 0) close(temp->fd);
  Uninterrupted([temp] {
    if (!temp->placed) unlink(temp->path.c_str());
    g_tempExists = 0;
    return 0;
  });
  delete temp;
}

TempFilePtr CreateTemporary(const std::string& path, const Snapshot&) {
  TempFilePtr temp(new TempFile{-1, path + ".XXXXXX"});
  if (temp->path.size() >= sizeof g_interruptPath) return Failed(TempFilePtr(), ENAMETOOLONG);
  temp->fd = Uninterrupted([&] {
    const int created = mkostemp(temp->path.data(), O_CLOEXEC);
    std::strcpy(g_interruptPath, temp->path.c_str());
    g_tempExists = created >= 0;
    return created;
  });
  // Nothing to remove when nothing was created.
  temp->placed = temp->fd < 0;
  return temp->fd >= 0 ? std::move(temp) : Failed(TempFilePtr());
}

// An owner that the caller may not give away is left as it is; the group is still
// taken where the caller may set it (a member of that group).
bool TakeOverIdentity(TempFile& temp, const Snapshot& read) {
  const FileState& from = *read.state;
  if (fchown(temp.fd, from.info.st_uid, from.info.st_gid) != 0 &&
      (errno != EPERM || (fchown(temp.fd, -1, from.info.st_gid) != 0 && errno != EPERM)))
    return Failed(false);
  if (perm_copy_fd(read.target.c_str(), from.fd, temp.path.c_str(), temp.fd, nullptr) != 0)
    return Failed(false);
  error_context context = {NoteAttributeError, nullptr, nullptr};
  g_attributeError = 0;
  if (attr_copy_fd(read.target.c_str(), from.fd, temp.path.c_str(), temp.fd, CallerSettable,
                   &context) == 0 ||
      g_attributeError == 0)
    return true;
  return Failed(false, g_attributeError);
}

bool WriteTemporary(TempFile& temp, std::string_view first, std::string_view second) {
  return WriteBoth(temp.fd, first, second) || Failed(false);
}

bool FinishTemporary(TempFile& temp, const Snapshot&) {
  const bool flushed = fsync(temp.fd) == 0 || Failed(false);
  const int fd = temp.fd;
  temp.fd = -1;
  return (close(fd) == 0 || Failed(false)) && flushed;
}

bool IsUnchanged(const Snapshot& read) {
  struct stat now;
  return stat(read.path.c_str(), &now) == 0 && SameFile(now, read.state->info);
}

Placed PlaceTemporary(TempFile& temp, const std::string& path, bool replace) {
  temp.placed = Uninterrupted([&] {
    const char* const name = temp.path.c_str();
    const bool done =
        replace ? rename(name, path.c_str()) == 0
                : renameat2(AT_FDCWD, name, AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0;
    g_tempExists = !done;
    return done;
  });
  if (temp.placed) return Placed::kPlaced;
  return !replace && errno == EEXIST ? Placed::kExists : Failed(Placed::kFailed);
}

bool FlushFolderOf(const std::string& path) {
  const int fd = open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Failed(false);
  // Some file systems cannot flush a folder and say EINVAL; nothing more can be done there.
  const bool flushed = fsync(fd) == 0 || errno == EINVAL || Failed(false);
  return (close(fd) == 0 || Failed(false)) && flushed;
}

void RemoveTemporaryFileOnInterrupt() {
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
