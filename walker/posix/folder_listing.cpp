// The POSIX folder listing: open + getdents64 + statx relative to the open folder,
// or the listing read ahead (read_ahead.h) when read-ahead serves the walk.
#include "walker/folder_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "walker/child_name.h"
#include "walker/posix/folder_id_index.h"
#include "walker/posix/reads.h"
#include "walker/read_ahead/posix/folder_handle.h"
#include "walker/read_ahead/read_ahead.h"

namespace tallyroot::platform {

struct FolderListing::State {
  int fd = -1;
  char* buffer = nullptr;  // borrowed from a per-thread pool
  long filled = 0;
  long offset = 0;
  std::size_t cutAbove = 0;  // the cycle mark of the listing around this one, kept for it
  long long nextOffset = 0;  // where the entry after the one given out last begins
  long long parkedAt = -1;   // while a deep listing inside holds the descriptor: where to go on
  std::unique_ptr<ReadAheadLevel> ahead;  // set when read-ahead serves this listing
};

namespace {

constexpr std::size_t kBufferSize = 16 * 1024;

using posix::kMaxNameBytes;

// The folders this thread has open, innermost last. Listings nest, so this
// is a stack; it lets a child folder be opened relative to its parent (no
// second path lookup, and no PATH_MAX limit on deep trees) and lets a folder
// that is already open further up be recognised as a cycle.
struct OpenFolder {
  int fd;
  posix::FolderId id;
  const std::string* path;  // the folder's path is its first pathLength bytes
  std::size_t pathLength;
  ReadAheadLevel* level;   // when read-ahead serves the listing
  FolderListing* listing;  // when it does not
};
thread_local std::vector<OpenFolder> tOpenFolders;

// The cycle check scans the first kScannedLevels open folders and looks the
// deeper ones up in tDeepOpen, so that each level of a deep chain costs the
// same. Folders in tOpenFolders are distinct: one already open is refused.
constexpr std::size_t kScannedLevels = 64;
thread_local posix::FolderIdIndex tDeepOpen;

void PushOpen(const OpenFolder& open) {
  if (tOpenFolders.size() >= kScannedLevels) tDeepOpen.Add(open.id, tOpenFolders.size());
  tOpenFolders.push_back(open);
}

void PopOpen() {
  if (tOpenFolders.size() > kScannedLevels) tDeepOpen.Remove(tOpenFolders.back().id);
  tOpenFolders.pop_back();
}

// The outermost level at which a cycle was cut since the innermost listing
// opened (kNoCycle if none): a listing deeper than it was cut short at a
// folder open around it, so what it found depends on where the walk began.
// Levels count the open folders from 1 at the outermost; level 0 stands for
// the folders above the outermost listing's path, which a walk begun higher
// up would have cut short.
thread_local std::size_t tCutAt = posix::kNoCycle;

// The folders named by the outermost listing's path and its leading parts
// ("/", "/home/", ...; not the path itself), read when it opens. Parts
// longer than the system opens at once are left out.
thread_local std::vector<posix::FolderId> tAbove;

void ReadFoldersAbove(const std::string& folderPath) {
  tAbove.clear();
  for (std::size_t end = folderPath.find(kSeparator); end + 1 < folderPath.size() && end < PATH_MAX;
       end = folderPath.find(kSeparator, end + 1)) {
    struct stat info {};
    if (stat(folderPath.substr(0, end + 1).c_str(), &info) == 0)
      tAbove.push_back({info.st_dev, info.st_ino});
  }
}

// Cuts every open listing short, as a walk begun higher up would, when the
// folder `id` lies above the outermost listing's path.
void NoteIfAbove(posix::FolderId id) {
  for (const posix::FolderId above : tAbove) {
    if (above.device == id.device && above.inode == id.inode) tCutAt = 0;
  }
}

// getdents64 buffers are reused so that walking allocates nothing per folder
// once the deepest level has been reached. Listings nested deeper than
// kReadAheadLevels read with a buffer that holds only a few entries (but
// always the longest one): every level of a chain keeps its buffer while the
// levels below it are walked, and full buffers would cost 16 KiB per level.
constexpr std::size_t kDeepBufferSize = 512;
static_assert(kDeepBufferSize >= offsetof(dirent64, d_name) + kMaxNameBytes + 1 + 8);

std::size_t BufferSize(std::size_t level) {
  return level <= kReadAheadLevels ? kBufferSize : kDeepBufferSize;
}

thread_local std::vector<std::unique_ptr<char[]>> tFreeBuffers, tFreeDeepBuffers;

char* TakeBuffer(std::size_t level) {
  auto& pool = BufferSize(level) == kBufferSize ? tFreeBuffers : tFreeDeepBuffers;
  if (pool.empty()) return new char[BufferSize(level)];
  char* buffer = pool.back().release();
  pool.pop_back();
  return buffer;
}

void ReturnBuffer(char* buffer, std::size_t level) {
  (BufferSize(level) == kBufferSize ? tFreeBuffers : tFreeDeepBuffers).emplace_back(buffer);
}

// The descriptor a read-ahead level holds; -1 when it ended before its
// folder was read.
int FdOf(const ReadAheadLevel& level) {
  const ahead::FolderHandle* const folder = level.Folder();
  return folder ? folder->get() : -1;
}

// The name of `folderPath` in the innermost open folder, when it is a direct
// child of it (the path being that folder's, the name and a separator).
std::optional<std::string_view> ChildOfInnermost(const std::string& folderPath) {
  if (tOpenFolders.empty()) return std::nullopt;
  const OpenFolder& parent = tOpenFolders.back();
  return ChildName(folderPath, *parent.path, parent.pathLength);
}

// Opens `folderPath`, relative to the innermost open folder when it is a
// direct child of it.
int OpenFolderAt(const std::string& folderPath) {
  if (const std::optional<std::string_view> rest = ChildOfInnermost(folderPath)) {
    // The rest is NUL-terminated by the separator we do not pass.
    char name[kMaxNameBytes + 1];
    if (rest->size() > kMaxNameBytes) return -1;
    rest->copy(name, rest->size());
    name[rest->size()] = '\0';
    return openat(tOpenFolders.back().fd, name, posix::kFolderOpenFlags);
  }
  return open(folderPath.c_str(), posix::kFolderOpenFlags);
}

// Opens `folderPath` if it is to be listed (see posix::Judge); -1 if not,
// with `cycleAt` set when it was refused as a cycle and `unread` when it
// could not be opened.
int OpenListable(const std::string& folderPath, posix::FolderId& id, std::size_t& cycleAt,
                 bool& unread) {
  const int fd = OpenFolderAt(folderPath);
  unread = fd < 0;
  if (fd < 0) return -1;
  if (!posix::ReadFolderId(fd, id)) {
    unread = true;
    close(fd);
    return -1;
  }
  const auto idOf = [](const OpenFolder& open) { return open.id; };
  const std::span<const OpenFolder> scanned(tOpenFolders.data(),
                                            std::min(tOpenFolders.size(), kScannedLevels));
  cycleAt = tDeepOpen.Find(id);
  if (cycleAt != posix::kNoCycle ||
      posix::Judge(fd, id, scanned, idOf, cycleAt) != posix::Verdict::List) {
    close(fd);
    return -1;
  }
  return fd;
}

// Listings nested deeper than this hold their descriptor only while they are
// the innermost, so that a walk needs a bounded number of descriptors however
// deep the tree goes (the hard limit is often 4096 or 20000, one per level of
// a deeper chain would run out). A listing gives its descriptor up when a
// folder inside it opens, and gets it back from that folder's ".." (or its
// path, if ".." is another folder) when it closes, and reads on from the
// entry after the one it gave out last.
constexpr std::size_t kOpenLevels = 1024;

// The folder `parent` opened again from its child open as `childFd`, at the
// listing offset `at` (as getdents64 gave it); -1 if that fails or finds
// another folder.
int Reopen(const OpenFolder& parent, int childFd, off_t at) {
  const auto same = [&](int fd) {
    posix::FolderId id{};
    if (fd >= 0 && posix::ReadFolderId(fd, id) && id.device == parent.id.device &&
        id.inode == parent.id.inode && lseek(fd, at, SEEK_SET) == at) {
      return true;
    }
    if (fd >= 0) close(fd);
    return false;
  };
  if (const int fd = openat(childFd, "..", posix::kFolderOpenFlags); same(fd)) return fd;
  if (parent.pathLength >= PATH_MAX) return -1;
  const std::string path = parent.path->substr(0, parent.pathLength);
  if (const int fd = open(path.c_str(), posix::kFolderOpenFlags); same(fd)) return fd;
  return -1;
}

}  // namespace

FolderListing::FolderListing(const std::string& folderPath) : level_(tOpenFolders.size() + 1) {
  static_assert(sizeof(State) <= kStateBytes && alignof(State) <= alignof(std::max_align_t));
  new (storage_) State;
  state().cutAbove = std::exchange(tCutAt, posix::kNoCycle);
  if (level_ == 1) ReadFoldersAbove(folderPath);
  std::size_t cycleAt = posix::kNoCycle;
  // Whatever way it was found, a cycle is noted for every listing around.
  struct NoteCycle {
    std::size_t& at;
    ~NoteCycle() { tCutAt = std::min(tCutAt, at == posix::kNoCycle ? at : at + 1); }
  } noteCycle{cycleAt};

  // A listing that read-ahead opened and read: what it says of the folder.
  const auto adopt = [&](TakenChild taken) {
    cycleAt = taken.cycleAt;
    unread_ = taken.unread;
    if (!taken.level) return;  // a cycle, a pseudo file system or not openable
    NoteIfAbove(taken.level->Id());
    PushOpen({FdOf(*taken.level), taken.level->Id(), &folderPath, folderPath.size(),
              taken.level.get(), nullptr});
    state().ahead = std::move(taken.level);
  };

  // A child that the innermost listing has just given out, or the outermost
  // listing of a walk, may have its listing read ahead.
  ReadAheadLevel* const innermost = tOpenFolders.empty() ? nullptr : tOpenFolders.back().level;
  if (TakenChild taken = TakeReadAhead(folderPath, level_, innermost,
                                       innermost ? ChildOfInnermost(folderPath) : std::nullopt);
      taken.matched) {
    adopt(std::move(taken));
    return;
  }

  posix::FolderId id{};
  const int fd = OpenListable(folderPath, id, cycleAt, unread_);
  if (fd < 0) return;
  NoteIfAbove(id);
  state().fd = fd;
  state().buffer = TakeBuffer(level_);
  PushOpen({fd, id, &folderPath, folderPath.size(), nullptr, this});
  // Deep down, the folder around this one gives up its descriptor and its
  // buffer until this listing closes.
  if (level_ > kOpenLevels) {
    OpenFolder& parent = tOpenFolders[tOpenFolders.size() - 2];
    if (FolderListing* const around = parent.listing; around && around->state().fd >= 0) {
      close(std::exchange(around->state().fd, -1));
      ReturnBuffer(std::exchange(around->state().buffer, nullptr), around->level_);
      around->state().filled = around->state().offset = 0;
      around->state().parkedAt = around->state().nextOffset;
      parent.fd = -1;
    }
  }
}

bool FolderListing::ReadInFull() const { return tCutAt >= level_; }

bool FolderListing::Unread() const { return unread_ || (state().ahead && state().ahead->Unread()); }

FolderListing::~FolderListing() {
  struct Destroy {
    State& state;
    ~Destroy() { state.~State(); }
  } destroy{state()};
  tCutAt = std::min(tCutAt, state().cutAbove);
  if (state().ahead) {
    PopOpen();
    return;  // the level closes the folder and drops what was read ahead below it
  }
  if (!state().buffer) return;  // never opened
  if (tOpenFolders.size() >= 2) {
    OpenFolder& parent = tOpenFolders[tOpenFolders.size() - 2];
    if (parent.listing && parent.listing->state().parkedAt >= 0) {
      FolderListing& around = *parent.listing;
      parent.fd = around.state().fd = Reopen(parent, state().fd, around.state().parkedAt);
      around.state().buffer = TakeBuffer(around.level_);
      around.state().parkedAt = -1;
      around.unread_ = around.unread_ || parent.fd < 0;
    }
  }
  PopOpen();
  ReturnBuffer(state().buffer, level_);
  if (state().fd >= 0) close(state().fd);
}

bool FolderListing::Refill() {
  const ssize_t got = getdents64(state().fd, state().buffer, BufferSize(level_));
  unread_ = unread_ || got < 0;
  if (got <= 0) return false;  // end of the folder, or a failure that ends it
  state().filled = got;
  state().offset = 0;
  return true;
}

bool FolderListing::Next(ListedEntry& entry) {
  if (state().ahead) return state().ahead->Next(entry);
  if (state().fd < 0) return false;
  for (;;) {
    if (state().offset >= state().filled && !Refill()) return false;
    const posix::ListedRecord record = posix::NextRecord(state().buffer, state().offset);
    state().nextOffset = record.next;
    entry.name = record.field;

    if (record.type == DT_DIR) {
      entry.isFolder = true;
      entry.size = 0;
      return true;
    }
    entry.isFolder = false;
    const posix::EntryRead read =
        posix::ReadEntry(state().fd, record.field.data(), record.type != DT_UNKNOWN, entry);
    if (read != posix::EntryRead::Vanished) {
      unread_ = unread_ || read == posix::EntryRead::Unsized;
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
