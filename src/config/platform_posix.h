#pragma once

// What the POSIX files of the platform layer share: descriptors that close
// themselves, the error of a failed call, the pinned folder, and the rule of whom an
// elevated run trusts.

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "config/file_system.h"

namespace posix {

// A file descriptor, closed when it goes.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  Descriptor(Descriptor&& other) : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

struct PosixFolder final : FolderHandle {
  Descriptor fd;
  struct stat info;  // as opened
};

// The error of a failed call: `error` (errno) by its kind and strerror's words; 0
// for no system error (a file cut short while it was read).
Error ErrorOf(int error);

// Whether this process has more rights than the account that started it may give
// away: the effective user is root or not the real user, the effective group not
// the real one, or it holds any effective capability.
bool IsElevatedProcess();

// Who other than root and the caller may change a file or folder of `info`, open
// as `fd` (not O_PATH): its owner, another group that may write it (an ACL's named
// users and groups too, whose rights the group bits bound), or every user. Empty
// where nobody else may.
std::string OtherWriterOf(int fd, const struct stat& info);

// Opens the folder that holds the file `path` names, one name at a time (see
// FileSystem::OpenFolderOf), trusting links only as `elevated` allows.
Fault ChaseFolderOf(const std::string& path, bool elevated, Folder& folder);

}  // namespace posix
