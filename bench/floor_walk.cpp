// floor_walk [--threads N] [ROOT]: the floor a walk of ROOT can reach on this
// storage, by ignoring order altogether. N threads (default 16) share a stack
// of open folders; each takes one, lists it (getdents64), statx-es its files
// and pushes its subfolders (openat), so that up to N requests wait on the
// device at once. Counts as the bare loop does: folders whose names begin
// with "." are not entered, links are files of their own size. Prints the
// totals and the wall time.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "walker/folder_listing.h"

namespace {

using tallyroot::bench::Tally;

// Folders still to list, as open descriptors. `pending` counts those queued
// and those being listed: the walk is over when it reaches 0.
class Work {
 public:
  void Push(int fd) {
    std::lock_guard lock(mutex_);
    folders_.push_back(fd);
    ++pending_;
    ready_.notify_one();
  }
  int Take() {  // -1 once the walk is over
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return !folders_.empty() || pending_ == 0; });
    if (folders_.empty()) return -1;
    const int fd = folders_.back();
    folders_.pop_back();
    return fd;
  }
  void Done() {
    std::lock_guard lock(mutex_);
    if (--pending_ == 0) ready_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::vector<int> folders_;
  std::size_t pending_ = 0;
};

void List(int dir, Work& work, Tally& tally) {
  alignas(dirent64) char buffer[32 * 1024];
  for (ssize_t got; (got = getdents64(dir, buffer, sizeof buffer)) > 0;) {
    for (ssize_t at = 0; at < got;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
      at += entry->d_reclen;
      const char* name = entry->d_name;
      bool folder = entry->d_type == DT_DIR;
      struct statx info {};
      if (entry->d_type != DT_DIR) {
        if (statx(dir, name, AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_SIZE, &info) != 0) continue;
        folder = S_ISDIR(info.stx_mode);
      }
      if (!folder) {
        ++tally.files;
        tally.bytes += info.stx_size;
      } else if (name[0] != '.') {  // ".", ".." and hidden folders
        const int child = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child < 0) continue;
        ++tally.folders;
        work.Push(child);
      }
    }
  }
  close(dir);
}

}  // namespace

int main(int argc, char** argv) {
  namespace bench = tallyroot::bench;
  const std::string root = bench::TreeRoot(argc, argv);
  const auto threads =
      static_cast<unsigned>(std::max(1L, bench::NumberAfter(argc, argv, "--threads", 16)));
  tallyroot::platform::RaiseOpenFileLimit();
  Work work;
  std::vector<Tally> tallies(threads);
  const double seconds = bench::Seconds([&] {
    const int top = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (top < 0) return;
    work.Push(top);
    std::vector<std::thread> pool;
    for (Tally& tally : tallies) {
      pool.emplace_back([&work, &tally] {
        for (int fd; (fd = work.Take()) >= 0; work.Done()) List(fd, work, tally);
      });
    }
    for (std::thread& thread : pool) thread.join();
  });
  Tally total;
  for (const Tally& tally : tallies) {
    total.files += tally.files;
    total.folders += tally.folders;
    total.bytes += tally.bytes;
  }
  std::printf("floor_walk %s: %u threads, %llu files, %llu folders, %llu bytes, %s\n", root.c_str(),
              threads, static_cast<unsigned long long>(total.files),
              static_cast<unsigned long long>(total.folders),
              static_cast<unsigned long long>(total.bytes), bench::Duration(seconds).c_str());
  return total.files + total.folders > 0 ? 0 : 1;
}
