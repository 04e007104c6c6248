// POSIX folder listing: open + getdents64 + statx relative to the open folder.
#include "folder_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <memory>
#include <vector>

namespace tallyroot::platform {
namespace {

constexpr std::size_t kBufferSize = 16 * 1024;
constexpr std::size_t kMaxNameBytes = 255;

// Kernel file systems whose files hold no disk space; /proc/kcore alone would
// add 128 TB to a scan of "/".
constexpr std::array<unsigned long, 16> kPseudoFileSystems = {
    PROC_SUPER_MAGIC,   SYSFS_MAGIC,       CGROUP_SUPER_MAGIC, CGROUP2_SUPER_MAGIC,
    DEBUGFS_MAGIC,      TRACEFS_MAGIC,     SECURITYFS_MAGIC,   PSTOREFS_MAGIC,
    BPF_FS_MAGIC,       DEVPTS_SUPER_MAGIC, 0x62656570 /* configfs */,
    BINFMTFS_MAGIC,     EFIVARFS_MAGIC,    0x19800202 /* mqueue */,
    NSFS_MAGIC,         0x65735543 /* fusectl */};

// The folders this thread has open, innermost last. Listings nest, so this
// is a stack; it lets a child folder be opened relative to its parent (no
// second path lookup, and no PATH_MAX limit on deep trees) and lets a folder
// that is already open further up be recognised as a cycle.
struct OpenFolder {
  int fd;
  dev_t device;
  ino_t inode;
  const std::string* path;
};
thread_local std::vector<OpenFolder> tOpenFolders;

// getdents64 buffers are reused so that walking allocates nothing per folder
// once the deepest level has been reached.
thread_local std::vector<std::unique_ptr<char[]>> tFreeBuffers;

char* TakeBuffer() {
  if (tFreeBuffers.empty()) return new char[kBufferSize];
  char* buffer = tFreeBuffers.back().release();
  tFreeBuffers.pop_back();
  return buffer;
}

void ReturnBuffer(char* buffer) { tFreeBuffers.emplace_back(buffer); }

bool IsPseudoFileSystem(int fd) {
  struct statfs info {};
  if (fstatfs(fd, &info) != 0) return false;
  for (unsigned long magic : kPseudoFileSystems) {
    if (static_cast<unsigned long>(info.f_type) == magic) return true;
  }
  return false;
}

// Opens `folderPath`, relative to the innermost open folder when it is a
// direct child of it.
int OpenFolderAt(const std::string& folderPath) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK;
  if (!tOpenFolders.empty()) {
    const OpenFolder& parent = tOpenFolders.back();
    const std::string& parentPath = *parent.path;
    if (folderPath.size() > parentPath.size() + 1 &&
        folderPath.compare(0, parentPath.size(), parentPath) == 0) {
      const std::string_view rest(folderPath.data() + parentPath.size(),
                                  folderPath.size() - parentPath.size() - 1);
      if (rest.find(kSeparator) == std::string_view::npos) {
        // The rest is NUL-terminated by the separator we do not pass.
        char name[kMaxNameBytes + 1];
        if (rest.size() > kMaxNameBytes) return -1;
        rest.copy(name, rest.size());
        name[rest.size()] = '\0';
        return openat(parent.fd, name, kFlags);
      }
    }
  }
  return open(folderPath.c_str(), kFlags);
}

// Reads the size (and, where the listing did not say, the type) of `name`.
// Returns false only when the entry has vanished since it was listed. An
// entry that is there but cannot be examined (a folder that may be listed
// but not searched) is still reported, as a file of size 0 unless the
// listing said it is a folder.
bool ReadEntry(int dirFd, const char* name, bool typeKnown, ListedEntry& entry) {
  static bool haveStatx = true;
  if (haveStatx) {
    struct statx info {};
    const unsigned mask = typeKnown ? STATX_SIZE : (STATX_SIZE | STATX_TYPE);
    if (statx(dirFd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, mask, &info) == 0) {
      if (!typeKnown) entry.isFolder = S_ISDIR(info.stx_mode);
      entry.size = entry.isFolder ? 0 : info.stx_size;
      return true;
    }
    if (errno == ENOSYS) haveStatx = false;
  }
  if (!haveStatx) {
    struct stat info {};
    if (fstatat(dirFd, name, &info, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT) == 0) {
      if (!typeKnown) entry.isFolder = S_ISDIR(info.st_mode);
      entry.size = entry.isFolder ? 0 : static_cast<std::uint64_t>(info.st_size);
      return true;
    }
  }
  if (errno == ENOENT) return false;
  entry.size = 0;
  return true;
}

}  // namespace

FolderListing::FolderListing(const std::string& folderPath) {
  const int fd = OpenFolderAt(folderPath);
  if (fd < 0) return;

  struct stat self {};
  if (fstat(fd, &self) != 0) {
    close(fd);
    return;
  }
  // A folder on the same device as one we have open is on the same file
  // system, so only a device change can lead onto a pseudo file system.
  bool knownDevice = false;
  for (const OpenFolder& open : tOpenFolders) {
    if (open.device != self.st_dev) continue;
    if (open.inode == self.st_ino) {
      close(fd);  // already being walked further up: a cycle
      return;
    }
    knownDevice = true;
  }
  if (!knownDevice && IsPseudoFileSystem(fd)) {
    close(fd);
    return;
  }

  fd_ = fd;
  buffer_ = TakeBuffer();
  tOpenFolders.push_back({fd, self.st_dev, self.st_ino, &folderPath});
}

FolderListing::~FolderListing() {
  if (fd_ < 0) return;
  tOpenFolders.pop_back();
  ReturnBuffer(buffer_);
  close(fd_);
}

bool FolderListing::Refill() {
  const ssize_t got = getdents64(fd_, buffer_, kBufferSize);
  if (got <= 0) return false;  // end of the folder, or a failure that ends it
  filled_ = got;
  offset_ = 0;
  return true;
}

bool FolderListing::Next(ListedEntry& entry) {
  if (fd_ < 0) return false;
  for (;;) {
    if (offset_ >= filled_ && !Refill()) return false;
    const auto* record = reinterpret_cast<const dirent64*>(buffer_ + offset_);
    offset_ += record->d_reclen;

    const char* name = record->d_name;
    const std::size_t field = record->d_reclen - offsetof(dirent64, d_name);
    entry.name = std::string_view(name, field < kMaxNameBytes ? field : kMaxNameBytes);

    if (record->d_type == DT_DIR) {
      entry.isFolder = true;
      entry.size = 0;
      return true;
    }
    entry.isFolder = false;
    if (record->d_type == DT_UNKNOWN ? ReadEntry(fd_, name, false, entry)
                                     : ReadEntry(fd_, name, true, entry)) {
      return true;
    }
    // Vanished between listing and size read: skip it.
  }
}

std::string ExecutableFolder() {
  char target[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", target, sizeof target);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) return {};
  std::string path(target, static_cast<std::size_t>(length));
  const std::size_t cut = path.rfind(kSeparator);
  if (cut == std::string::npos) return {};
  path.resize(cut == 0 ? 1 : cut);
  return path;
}

void RaiseOpenFileLimit() {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace tallyroot::platform
