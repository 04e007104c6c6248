// The POSIX read-ahead's reads: a folder opened relative to its parent and
// listed with getdents64, each entry's size read with statx relative to it.
#include <dirent.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <fstream>
#include <string>

#include "walker/posix/reads.h"
#include "walker/read_ahead/platform.h"
#include "walker/read_ahead/posix/folder_handle.h"

namespace tallyroot::platform::ahead {
namespace {

std::atomic<std::size_t> gDescriptorsHeld{0};

bool OutOfDescriptors(int error) { return error == EMFILE || error == ENFILE || error == ENOMEM; }

// Network file systems, whose every read may wait on a server.
constexpr std::array<long, 5> kRemoteFileSystems = {NFS_SUPER_MAGIC, SMB_SUPER_MAGIC,
                                                    0xFF534D42 /* cifs */, 0xFE534D42 /* smb2 */,
                                                    0x00C36400 /* ceph */};

// Whether the block device (or, for a partition, the disk it belongs to) is
// rotational, as sysfs says. False where sysfs does not know the device
// (network and FUSE mounts, tmpfs, ...).
bool IsRotational(dev_t device) {
  const std::string folder =
      "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
  // A partition has no queue of its own; its disk's is one level up.
  for (const char* queue : {"/queue/rotational", "/../queue/rotational"}) {
    std::ifstream flag(folder + queue);
    if (int value = 0; flag >> value) return value != 0;
  }
  return false;
}

// What the outermost folder of a walk, open as `fd`, says of its device.
void LearnDevice(Node& node, int fd) {
  node.rotational = IsRotational(node.id.device);
  struct statfs system {};
  node.remote = fstatfs(fd, &system) == 0 &&
                std::find(kRemoteFileSystems.begin(), kRemoteFileSystems.end(),
                          static_cast<long>(system.f_type)) != kRemoteFileSystems.end();
}

// Opens and checks a child folder. Links are not followed: what was listed
// as a folder and is a link by now is no folder of this tree.
State Open(Node& node) {
  const int fd = node.parent ? openat(node.parent->get(), node.name.c_str(),
                                      posix::kFolderOpenFlags | O_NOFOLLOW)
                             : open(node.name.c_str(), posix::kFolderOpenFlags);
  if (fd < 0) {
    // A read ahead must not make a folder look empty for want of a
    // descriptor the walk itself would have had.
    if (OutOfDescriptors(errno) && !node.demanded.load()) return State::Waiting;
    node.unread = true;
    return State::Empty;
  }
  auto folder = std::make_shared<const FolderHandle>(fd);
  if (!posix::ReadFolderId(fd, node.id)) {
    node.unread = true;
    return State::Empty;
  }
  if (!node.parent) LearnDevice(node, fd);
  const auto idOf = [](const FolderId& id) { return id; };
  if (posix::Judge(fd, node.id, *node.chain, idOf, node.cycleAt) != posix::Verdict::List)
    return State::Empty;
  node.folder = std::move(folder);
  return State::Listed;
}

// Appends the entries of one getdents64 buffer.
void Append(Node& node, const char* buffer, long filled) {
  // A record is never smaller than its name.
  std::size_t records = 0;
  for (long offset = 0; offset < filled; ++records) posix::NextRecord(buffer, offset);
  Reserve(node, records, static_cast<std::size_t>(filled));
  for (long offset = 0; offset < filled;) {
    const posix::ListedRecord record = posix::NextRecord(buffer, offset);
    const std::string_view name = record.field.substr(0, record.field.find('\0'));
    const Kind kind = record.type == DT_DIR       ? Kind::Folder
                      : record.type == DT_UNKNOWN ? Kind::Unknown
                                                  : Kind::File;
    const std::size_t nameAt = node.names.size();
    node.names.append(name);
    AddEntry(node, nameAt, kind, record.inode, 0);
  }
}

}  // namespace

FolderHandle::FolderHandle(int fd) : fd_(fd) {
  gDescriptorsHeld.fetch_add(1, std::memory_order_relaxed);
}

FolderHandle::~FolderHandle() {
  close(fd_);
  gDescriptorsHeld.fetch_sub(1, std::memory_order_relaxed);
}

std::size_t DescriptorsHeld() { return gDescriptorsHeld.load(std::memory_order_relaxed); }

State ReadFolder(Node& node, std::size_t maxBytes) {
  if (const State opened = Open(node); opened != State::Listed) return EndRead(node, opened);
  // On the stack, not the heap: a helper never joined holds nothing at exit.
  alignas(dirent64) char buffer[tuning::kListingBufferBytes];
  for (;;) {
    // A failure in the middle ends the listing, as it does without read-ahead.
    const long got = getdents64(node.folder->get(), buffer, tuning::kListingBufferBytes);
    node.unread = node.unread || got < 0;
    if (got <= 0) break;
    Append(node, buffer, got);
    if (const State end = AfterBatch(node, maxBytes); end != State::Reading) return end;
  }
  return EndRead(node, State::Listed);
}

void ReadSize(Node& node, std::size_t at) {
  Entry& entry = node.entries[at];
  ListedEntry read;
  const bool typeKnown = entry.kind == Kind::File;
  const posix::EntryRead outcome =
      posix::ReadEntry(node.folder->get(), node.names.data() + entry.nameAt, typeKnown, read);
  if (outcome == posix::EntryRead::Unsized) node.unsized.store(true, std::memory_order_relaxed);
  entry.kind = outcome == posix::EntryRead::Vanished ? Kind::Vanished
               : read.isFolder                       ? Kind::Folder
                                                     : Kind::File;
  entry.size = read.size;
}

}  // namespace tallyroot::platform::ahead
