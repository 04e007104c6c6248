// slowfs: a read-only mirror of a folder that answers like slow storage (a
// network share, a cloud drive). Every request a walk makes (lookup,
// attributes, opening and listing a folder, reading a link or a file, file
// system figures) is answered only after a fixed delay, and nothing may be
// cached by the kernel: entry, attribute and negative timeouts are 0, no
// listing or link cache, no readdirplus (so a listing carries no attributes).
// Requests are served by up to max_threads threads at once, so a walker with
// many threads finds as much parallelism as the delay allows.
//
//   slowfs [--delay-ms MS] SOURCE MOUNTPOINT [-f] [-o max_threads=N] [FUSE options]
//
// MS may be fractional; max_threads defaults to 128. Unmount with
// fusermount3 -u MOUNTPOINT, umount (as root) or SIGTERM/SIGINT.
#define FUSE_USE_VERSION 312
#include <dirent.h>
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

std::chrono::duration<double, std::milli> gDelay{1.0};

void Delay() { std::this_thread::sleep_for(gDelay); }

// Node ids the kernel holds, each the source path it stands for, kept while
// the kernel counts lookups of it. The root is FUSE_ROOT_ID.
class Nodes {
 public:
  explicit Nodes(std::string source) { byId_[FUSE_ROOT_ID] = {std::move(source), 1}; }

  std::string Path(fuse_ino_t id) {  // empty when the id is not known
    std::lock_guard lock(mutex_);
    const auto found = byId_.find(id);
    return found == byId_.end() ? std::string() : found->second.path;
  }
  fuse_ino_t Remember(const std::string& path) {  // counts one lookup
    std::lock_guard lock(mutex_);
    auto [at, added] = byPath_.try_emplace(path, next_);
    if (added) byId_[next_++] = {path, 0};
    ++byId_[at->second].lookups;
    return at->second;
  }
  void Forget(fuse_ino_t id, std::uint64_t lookups) {
    std::lock_guard lock(mutex_);
    const auto found = byId_.find(id);
    if (id == FUSE_ROOT_ID || found == byId_.end()) return;
    if ((found->second.lookups -= std::min(lookups, found->second.lookups)) > 0) return;
    byPath_.erase(found->second.path);
    byId_.erase(found);
  }

 private:
  struct Node {
    std::string path;
    std::uint64_t lookups = 0;
  };
  std::mutex mutex_;
  std::unordered_map<fuse_ino_t, Node> byId_;
  std::unordered_map<std::string, fuse_ino_t> byPath_;
  fuse_ino_t next_ = FUSE_ROOT_ID + 1;
};

Nodes& TheNodes(fuse_req_t req) { return *static_cast<Nodes*>(fuse_req_userdata(req)); }

// The node's source path, or an answer of ESTALE and an empty string.
std::string PathOf(fuse_req_t req, fuse_ino_t id) {
  std::string path = TheNodes(req).Path(id);
  if (path.empty()) fuse_reply_err(req, ESTALE);
  return path;
}

// A folder's listing, read whole when it is opened.
struct Listing {
  struct Entry {
    std::string name;
    ino_t inode;
    unsigned char type;
  };
  std::vector<Entry> entries;
};

void Init(void*, fuse_conn_info* conn) {
  conn->want &= ~(FUSE_CAP_READDIRPLUS | FUSE_CAP_READDIRPLUS_AUTO | FUSE_CAP_CACHE_SYMLINKS |
                  FUSE_CAP_AUTO_INVAL_DATA);
}

void Lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  Delay();
  const std::string folder = PathOf(req, parent);
  if (folder.empty()) return;
  const std::string path = folder + (folder.ends_with('/') ? "" : "/") + name;
  fuse_entry_param entry{};
  if (lstat(path.c_str(), &entry.attr) != 0) return (void)fuse_reply_err(req, errno);
  entry.ino = TheNodes(req).Remember(path);
  fuse_reply_entry(req, &entry);  // timeouts 0: the kernel asks again next time
}

void Forget(fuse_req_t req, fuse_ino_t id, std::uint64_t lookups) {
  TheNodes(req).Forget(id, lookups);
  fuse_reply_none(req);
}

void ForgetMany(fuse_req_t req, std::size_t count, fuse_forget_data* forgets) {
  for (std::size_t i = 0; i < count; ++i) TheNodes(req).Forget(forgets[i].ino, forgets[i].nlookup);
  fuse_reply_none(req);
}

void GetAttributes(fuse_req_t req, fuse_ino_t id, fuse_file_info*) {
  Delay();
  const std::string path = PathOf(req, id);
  struct stat attributes {};
  if (path.empty()) return;
  if (lstat(path.c_str(), &attributes) != 0) return (void)fuse_reply_err(req, errno);
  fuse_reply_attr(req, &attributes, 0);
}

void ReadLink(fuse_req_t req, fuse_ino_t id) {
  Delay();
  const std::string path = PathOf(req, id);
  if (path.empty()) return;
  std::vector<char> target(PATH_MAX + 1);
  const ssize_t length = readlink(path.c_str(), target.data(), PATH_MAX);
  if (length < 0) return (void)fuse_reply_err(req, errno);
  target[length] = '\0';
  fuse_reply_readlink(req, target.data());
}

void OpenFolder(fuse_req_t req, fuse_ino_t id, fuse_file_info* info) {
  Delay();
  const std::string path = PathOf(req, id);
  if (path.empty()) return;
  const std::unique_ptr<DIR, int (*)(DIR*)> folder(opendir(path.c_str()), closedir);
  if (!folder) return (void)fuse_reply_err(req, errno);
  auto listing = std::make_unique<Listing>();
  for (errno = 0; const dirent* entry = readdir(folder.get()); errno = 0)
    listing->entries.push_back({entry->d_name, entry->d_ino, entry->d_type});
  if (errno != 0) return (void)fuse_reply_err(req, errno);
  info->fh = reinterpret_cast<std::uint64_t>(listing.get());
  if (fuse_reply_open(req, info) == 0) listing.release();
}

// Offsets are positions in the listing taken when the folder was opened.
void ReadFolder(fuse_req_t req, fuse_ino_t, std::size_t size, off_t offset, fuse_file_info* info) {
  Delay();
  const Listing& listing = *reinterpret_cast<Listing*>(info->fh);
  std::vector<char> buffer(size);
  std::size_t used = 0;
  for (auto at = static_cast<std::size_t>(offset); at < listing.entries.size(); ++at) {
    const Listing::Entry& entry = listing.entries[at];
    struct stat attributes {};
    attributes.st_ino = entry.inode;
    attributes.st_mode = static_cast<mode_t>(entry.type) << 12;
    const std::size_t needed =
        fuse_add_direntry(req, buffer.data() + used, size - used, entry.name.c_str(), &attributes,
                          static_cast<off_t>(at + 1));
    if (needed > size - used) break;
    used += needed;
  }
  fuse_reply_buf(req, buffer.data(), used);
}

// Nobody waits for a release, so it comes without the delay.
void ReleaseFolder(fuse_req_t req, fuse_ino_t, fuse_file_info* info) {
  delete reinterpret_cast<Listing*>(info->fh);
  fuse_reply_err(req, 0);
}

void Open(fuse_req_t req, fuse_ino_t id, fuse_file_info* info) {
  if ((info->flags & O_ACCMODE) != O_RDONLY) return (void)fuse_reply_err(req, EROFS);
  Delay();
  const std::string path = PathOf(req, id);
  if (path.empty()) return;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return (void)fuse_reply_err(req, errno);
  info->fh = static_cast<std::uint64_t>(fd);
  if (fuse_reply_open(req, info) != 0) close(fd);
}

void Read(fuse_req_t req, fuse_ino_t, std::size_t size, off_t offset, fuse_file_info* info) {
  Delay();
  std::vector<char> buffer(size);
  const ssize_t got = pread(static_cast<int>(info->fh), buffer.data(), size, offset);
  if (got < 0) return (void)fuse_reply_err(req, errno);
  fuse_reply_buf(req, buffer.data(), static_cast<std::size_t>(got));
}

void Release(fuse_req_t req, fuse_ino_t, fuse_file_info* info) {
  close(static_cast<int>(info->fh));
  fuse_reply_err(req, 0);
}

void FileSystemFigures(fuse_req_t req, fuse_ino_t) {
  Delay();
  struct statvfs figures {};
  if (statvfs(TheNodes(req).Path(FUSE_ROOT_ID).c_str(), &figures) != 0)
    return (void)fuse_reply_err(req, errno);
  fuse_reply_statfs(req, &figures);
}

int Usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s [--delay-ms MS] SOURCE MOUNTPOINT [-f] [-o max_threads=N] "
               "[FUSE options]\n",
               program);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // Our own arguments out; the mount point and FUSE's options through.
  std::vector<char*> rest = {argv[0], const_cast<char*>("-omax_threads=128")};
  std::string source;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--delay-ms") == 0 && i + 1 < argc) {
      char* end = nullptr;
      gDelay = std::chrono::duration<double, std::milli>(std::strtod(argv[++i], &end));
      if (*end != '\0' || gDelay.count() < 0) return Usage(argv[0]);
    } else if (source.empty() && argv[i][0] != '-') {
      source = argv[i];
    } else {
      rest.push_back(argv[i]);
    }
  }
  char resolved[PATH_MAX];
  if (source.empty() || realpath(source.c_str(), resolved) == nullptr) return Usage(argv[0]);
  // Writes meet EROFS in the kernel already.
  rest.push_back(const_cast<char*>("-oro,fsname=slowfs,subtype=slowfs"));

  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(rest.size()), rest.data());
  fuse_cmdline_opts options{};
  if (fuse_parse_cmdline(&args, &options) != 0) return 2;
  const std::unique_ptr<char, decltype(&std::free)> mountPoint(options.mountpoint, std::free);
  if (options.show_help || options.show_version || !mountPoint) {
    fuse_cmdline_help();
    return options.show_help || options.show_version ? 0 : Usage(argv[0]);
  }

  fuse_lowlevel_ops operations{};
  operations.init = Init;
  operations.lookup = Lookup;
  operations.forget = Forget;
  operations.forget_multi = ForgetMany;
  operations.getattr = GetAttributes;
  operations.readlink = ReadLink;
  operations.opendir = OpenFolder;
  operations.readdir = ReadFolder;
  operations.releasedir = ReleaseFolder;
  operations.open = Open;
  operations.read = Read;
  operations.release = Release;
  operations.statfs = FileSystemFigures;

  Nodes nodes(resolved);
  const std::unique_ptr<fuse_session, decltype(&fuse_session_destroy)> session(
      fuse_session_new(&args, &operations, sizeof operations, &nodes), fuse_session_destroy);
  fuse_opt_free_args(&args);
  if (!session || fuse_set_signal_handlers(session.get()) != 0) return 1;
  int status = 1;
  if (fuse_session_mount(session.get(), mountPoint.get()) == 0) {
    fuse_daemonize(options.foreground);
    const std::unique_ptr<fuse_loop_config, decltype(&fuse_loop_cfg_destroy)> loop(
        fuse_loop_cfg_create(), fuse_loop_cfg_destroy);
    fuse_loop_cfg_set_max_threads(loop.get(), options.max_threads);
    status = options.singlethread ? fuse_session_loop(session.get())
                                  : fuse_session_loop_mt(session.get(), loop.get());
    fuse_session_unmount(session.get());
  }
  fuse_remove_signal_handlers(session.get());
  return status == 0 ? 0 : 1;
}
