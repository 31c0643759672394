#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "script/platform.h"

namespace {

// Writes every piece, continuing short writes; false on the first failed call.
bool WritePieces(int fd, const std::vector<std::string_view>& pieces) {
  constexpr int kBatch = 1024;  // IOV_MAX on Linux
  iovec batch[kBatch];
  size_t next = 0;    // first piece not yet written whole
  size_t offset = 0;  // bytes of pieces[next] already written
  for (;;) {
    while (next < pieces.size() && offset == pieces[next].size()) {
      ++next;
      offset = 0;
    }
    if (next == pieces.size()) return true;
    int count = 0;
    for (size_t i = next; i < pieces.size() && count < kBatch; ++i, ++count) {
      const size_t skip = i == next ? offset : 0;
      batch[count].iov_base = const_cast<char*>(pieces[i].data() + skip);
      batch[count].iov_len = pieces[i].size() - skip;
    }
    ssize_t written = writev(fd, batch, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    for (size_t done = written; done > 0;) {
      const size_t left = pieces[next].size() - offset;
      if (done < left) {
        offset += done;
        break;
      }
      done -= left;
      ++next;
      offset = 0;
    }
  }
}

// Renames without ever replacing; an entry already at `path` is kept, and the
// temporary file is then removed.
bool PublishNoReplace(const std::string& temp, const std::string& path) {
  if (renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EEXIST) return false;
  unlink(temp.c_str());
  return true;
}

// Makes a rename in the folder of `path` durable.
bool FlushFolder(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  // Some file systems cannot flush a folder and say EINVAL; nothing more can be done there.
  bool ok = fsync(fd) == 0 || errno == EINVAL;
  return close(fd) == 0 && ok;
}

}  // namespace

bool ReadWholeFile(const std::string& path, FileBytes& bytes) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= kMaxFileSize;
  if (ok && info.st_size > 0) {
    // Mapped rather than read: no copy, and no second buffer of the file's size.
    void* mapping = mmap(nullptr, info.st_size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    ok = mapping != MAP_FAILED;
    if (ok) bytes = {std::string_view(static_cast<const char*>(mapping), info.st_size), mapping};
  }
  close(fd);
  return ok;
}

void ReleaseFileBytes(FileBytes* bytes) {
  if (bytes->storage) munmap(bytes->storage, bytes->text.size());
}

bool PathExists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

int WriteWholeFile(const std::string& path, const std::vector<std::string_view>& pieces,
                   const std::string& like, bool replace) {
  struct stat likeInfo;
  if (stat(like.c_str(), &likeInfo) != 0) return -1;
  std::string temp = path + ".XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return -1;
  bool ok = WritePieces(fd, pieces) && fchmod(fd, likeInfo.st_mode & 07777) == 0 && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (ok) ok = replace ? rename(temp.c_str(), path.c_str()) == 0 : PublishNoReplace(temp, path);
  if (!ok) {
    unlink(temp.c_str());
    return -1;
  }
  return FlushFolder(path) ? 0 : -1;
}
