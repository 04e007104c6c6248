#include "walker/posix/reads.h"

#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>

namespace tallyroot::platform::posix {
namespace {

// Kernel file systems whose files hold no disk space; /proc/kcore alone would
// add 128 TB to a scan of "/".
constexpr std::array<unsigned long, 16> kPseudoFileSystems = {PROC_SUPER_MAGIC,
                                                              SYSFS_MAGIC,
                                                              CGROUP_SUPER_MAGIC,
                                                              CGROUP2_SUPER_MAGIC,
                                                              DEBUGFS_MAGIC,
                                                              TRACEFS_MAGIC,
                                                              SECURITYFS_MAGIC,
                                                              PSTOREFS_MAGIC,
                                                              BPF_FS_MAGIC,
                                                              DEVPTS_SUPER_MAGIC,
                                                              0x62656570 /* configfs */,
                                                              BINFMTFS_MAGIC,
                                                              EFIVARFS_MAGIC,
                                                              0x19800202 /* mqueue */,
                                                              NSFS_MAGIC,
                                                              0x65735543 /* fusectl */};

// Cleared for good the first time the kernel says it has no statx.
std::atomic<bool> gHaveStatx{true};

// statx, or where the kernel has none fstatat, whose answer fills the same
// fields (those the callers read); errno tells why it failed.
bool StatAt(int dirFd, const char* name, int flags, unsigned mask, struct statx& info) {
  if (gHaveStatx.load(std::memory_order_relaxed)) {
    if (statx(dirFd, name, flags, mask, &info) == 0) return true;
    if (errno != ENOSYS) return false;
    gHaveStatx.store(false, std::memory_order_relaxed);
  }
  struct stat old {};
  if (fstatat(dirFd, name, &old, flags & ~AT_STATX_SYNC_TYPE) != 0) return false;
  info.stx_mode = static_cast<std::uint16_t>(old.st_mode);
  info.stx_size = static_cast<std::uint64_t>(old.st_size);
  info.stx_ino = old.st_ino;
  info.stx_dev_major = major(old.st_dev);
  info.stx_dev_minor = minor(old.st_dev);
  return true;
}

}  // namespace

bool ReadFolderId(int fd, FolderId& id) {
  struct statx info {};
  if (!StatAt(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_INO, info)) return false;
  id = {makedev(info.stx_dev_major, info.stx_dev_minor), info.stx_ino};
  return true;
}

bool IsPseudoFileSystem(int fd) {
  struct statfs info {};
  if (fstatfs(fd, &info) != 0) return false;
  for (unsigned long magic : kPseudoFileSystems) {
    if (static_cast<unsigned long>(info.f_type) == magic) return true;
  }
  return false;
}

EntryRead ReadEntry(int dirFd, const char* name, bool typeKnown, ListedEntry& entry) {
  struct statx info {};
  const unsigned mask = typeKnown ? STATX_SIZE : (STATX_SIZE | STATX_TYPE);
  if (StatAt(dirFd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, mask, info)) {
    if (!typeKnown) entry.isFolder = S_ISDIR(info.stx_mode);
    entry.size = entry.isFolder ? 0 : info.stx_size;
    return EntryRead::Read;
  }
  if (errno == ENOENT) return EntryRead::Vanished;
  entry.size = 0;
  return EntryRead::Unsized;
}

}  // namespace tallyroot::platform::posix
