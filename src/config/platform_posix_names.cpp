// Names as POSIX takes them, walked one at a time, and whom an elevated run trusts.
#include <acl/libacl.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/capability.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "config/platform_posix.h"
#include "config/texts.h"

namespace posix {

Error ErrorOf(int error) {
  ErrorKind kind = ErrorKind::kOther;
  switch (error) {
    case ENOENT:
      kind = ErrorKind::kMissing;
      break;
    case EACCES:
    case EPERM:
    case EROFS:
      kind = ErrorKind::kDenied;
      break;
    case ETXTBSY:
    case EBUSY:
      kind = ErrorKind::kInUse;
      break;
    default:
      break;
  }
  return {kind, error ? std::strerror(error) : ""};
}

bool IsElevatedProcess() {
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct capabilities[_LINUX_CAPABILITY_U32S_3] = {};
  // Where the system cannot tell, the run is taken for elevated: it then trusts less.
  const bool capable = syscall(SYS_capget, &header, capabilities) != 0 ||
                       capabilities[0].effective != 0 || capabilities[1].effective != 0;
  return geteuid() == 0 || geteuid() != getuid() || getegid() != getgid() || capable;
}

std::string OtherWriterOf(int fd, const struct stat& info) {
  const uid_t caller = geteuid();
  if (info.st_uid != 0 && info.st_uid != caller) return "user " + std::to_string(info.st_uid);
  if (info.st_mode & S_IWOTH) return "every user";
  if (!(info.st_mode & S_IWGRP)) return "";
  const acl_t acl = acl_get_fd(fd);
  std::string writer = info.st_gid != 0 && !acl ? "group " + std::to_string(info.st_gid) : "";
  acl_entry_t entry;
  for (int which = ACL_FIRST_ENTRY; acl && writer.empty() && acl_get_entry(acl, which, &entry) == 1;
       which = ACL_NEXT_ENTRY) {
    acl_tag_t tag;
    acl_permset_t rights;
    acl_get_tag_type(entry, &tag);
    acl_get_permset(entry, &rights);
    if (acl_get_perm(rights, ACL_WRITE) != 1) continue;
    const void* const qualifier =
        tag == ACL_USER || tag == ACL_GROUP ? acl_get_qualifier(entry) : nullptr;
    const unsigned id = qualifier ? *static_cast<const id_t*>(qualifier) : 0;
    if ((tag == ACL_USER && id != 0 && id != caller) || (tag == ACL_GROUP && id != 0))
      writer = (tag == ACL_USER ? "user " : "group ") + std::to_string(id);
    if (tag == ACL_GROUP_OBJ && info.st_gid != 0) writer = "group " + std::to_string(info.st_gid);
    acl_free(const_cast<void*>(qualifier));
  }
  acl_free(acl);
  return writer;
}

namespace {

// The names of `path` between its slashes, empty ones left out; a path that ends
// with a slash names a folder, as if "." followed.
std::deque<std::string> NamesIn(const std::string& path) {
  std::deque<std::string> names;
  for (size_t start = 0, end; start < path.size(); start = end + 1) {
    end = std::min(path.find('/', start), path.size());
    if (end > start) names.push_back(path.substr(start, end - start));
  }
  if (path.back() == '/') names.push_back(".");
  return names;
}

// Who other than the trusted accounts may change the folder open as `folder` (an
// O_PATH descriptor), and so choose where a link in it leads.
std::string OtherWriterOfFolder(int folder) {
  const Descriptor readable(openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat info;
  if (readable.get() < 0 || fstat(readable.get(), &info) != 0)
    return "an account that this run may not see (" + std::string(std::strerror(errno)) + ")";
  return OtherWriterOf(readable.get(), info);
}

// `folder`, the full name of a folder ending with '/', one folder up.
std::string Parent(std::string folder) {
  if (folder.size() > 1) folder.erase(folder.rfind('/', folder.size() - 2) + 1);
  return folder;
}

}  // namespace

namespace {

// The folder a walk has reached: its descriptor (O_PATH) and full name, ending with '/'.
struct Reached {
  Descriptor fd;
  std::string name;
};

// Follows the link open as `link`, `name` in the folder `folder`: its target's names
// go before `names`, and an absolute one starts again at the root. A link is the
// choice of whoever may change its folder: refused where `elevated` may not trust them.
Fault Follow(int link, const std::string& name, bool elevated, Reached& folder,
             std::deque<std::string>& names) {
  if (const std::string writer = elevated ? OtherWriterOfFolder(folder.fd.get()) : "";
      !writer.empty())
    return Error{ErrorKind::kUntrusted, writer, folder.name + name};
  char target[PATH_MAX];
  const ssize_t size = readlinkat(link, "", target, sizeof target);
  if (size < 0 || size == sizeof target) return ErrorOf(size < 0 ? errno : ENAMETOOLONG);
  if (size == 0) return ErrorOf(ENOENT);
  const std::deque<std::string> more = NamesIn(std::string(target, size));
  names.insert(names.begin(), more.begin(), more.end());
  if (target[0] != '/') return {};
  folder = {Descriptor(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC)), "/"};
  return folder.fd.get() < 0 ? ErrorOf(errno) : Fault();
}

// Pins `reached`, the folder of `folder.file`, reopened for every later step: the
// entry must still be the file the walk found (`found`; none where nothing was there).
Fault Pin(const Reached& reached, const struct stat* found, Folder& folder) {
  auto handle = std::make_shared<PosixFolder>();
  handle->fd = Descriptor(openat(reached.fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (handle->fd.get() < 0 || fstat(handle->fd.get(), &handle->info) != 0) return ErrorOf(errno);
  const int pinned = handle->fd.get();
  folder.handle = std::move(handle);
  if (!found) return ErrorOf(ENOENT);
  struct stat entry;
  const Error moved = {ErrorKind::kInUse, Explain(Why::kMoved)};
  if (fstatat(pinned, folder.file.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? moved : ErrorOf(errno);
  if (entry.st_dev != found->st_dev || entry.st_ino != found->st_ino) return moved;
  return {};
}

}  // namespace

// Each name is opened in the folder before it with O_PATH|O_NOFOLLOW, which reads
// nothing and opens no device: a link is then that descriptor, whose target is read
// and walked in turn (systemd's chase()).
Fault ChaseFolderOf(const std::string& path, bool elevated, Folder& folder) {
  Reached current{
      Descriptor(open(path.front() == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC)), "/"};
  if (current.fd.get() < 0) return ErrorOf(errno);
  if (path.front() != '/') {
    const std::unique_ptr<char, decltype(&std::free)> here(getcwd(nullptr, 0), std::free);
    if (!here) return ErrorOf(errno);
    current.name = here.get() + std::string(std::strcmp(here.get(), "/") ? "/" : "");
  }
  std::deque<std::string> names = NamesIn(path);
  for (int links = 0;;) {
    const std::string name = std::move(names.front());
    names.pop_front();
    Descriptor next(openat(current.fd.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat file;
    if (next.get() < 0 && errno != ENOENT) return ErrorOf(errno);
    // Nothing there: where it was the file's name, its folder is pinned all the same.
    if (next.get() < 0) {
      folder = {current.name, names.empty() ? name : names.back(), nullptr};
      return names.empty() ? Pin(current, nullptr, folder) : ErrorOf(ENOENT);
    }
    if (fstat(next.get(), &file) != 0) return ErrorOf(errno);
    if (S_ISLNK(file.st_mode) && ++links > 40) return ErrorOf(ELOOP);
    if (S_ISLNK(file.st_mode)) {
      if (Fault fault = Follow(next.get(), name, elevated, current, names)) return fault;
      continue;
    }
    if (names.empty()) {
      folder = {current.name, name, nullptr};
      return Pin(current, &file, folder);
    }
    if (!S_ISDIR(file.st_mode)) return ErrorOf(ENOTDIR);
    const std::string& at = current.name;
    current = {std::move(next), name == "." ? at : name == ".." ? Parent(at) : at + name + "/"};
  }
}

}  // namespace posix
