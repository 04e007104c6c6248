// make_tree: writes a reproducible folder tree for the benchmarks.
//
//   make_tree ROOT [--files N] [--folders N] [--depth N] [--max-size BYTES] [--seed N]
//   make_tree ROOT --flat N [--max-size BYTES] [--seed N]
//
// The default tree has 500,000 files in 20,000 folders (ROOT included), no
// folder more than 8 levels below ROOT, and file sizes spread evenly over
// 0..100 KiB. Files are sparse (ftruncate, no data), so a tree of 25 GB of
// apparent size takes only inodes. The flat tree is ROOT with N files and no
// folder. The same options and seed always give the same tree; ROOT must not
// exist yet.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_random.h"

namespace {

struct Options {
  std::string root;
  std::uint64_t files = 500000;
  std::uint64_t folders = 20000;  // ROOT included
  unsigned depth = 8;             // deepest folder level below ROOT
  std::uint64_t maxSize = 100 * 1024;
  std::uint64_t seed = 1;
  bool flat = false;
};

[[noreturn]] void Usage() {
  std::fprintf(stderr,
               "usage: make_tree ROOT [--files N] [--folders N] [--depth N] [--max-size BYTES] "
               "[--seed N]\n"
               "       make_tree ROOT --flat N [--max-size BYTES] [--seed N]\n");
  std::exit(2);
}

std::uint64_t Number(const char* text) {
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text || *end != '\0') Usage();
  return value;
}

Options Parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&]() -> std::uint64_t {
      if (i + 1 >= argc) Usage();
      return Number(argv[++i]);
    };
    if (arg == "--files") {
      options.files = value();
    } else if (arg == "--folders") {
      options.folders = value();
    } else if (arg == "--depth") {
      options.depth = static_cast<unsigned>(value());
    } else if (arg == "--max-size") {
      options.maxSize = value();
    } else if (arg == "--seed") {
      options.seed = value();
    } else if (arg == "--flat") {
      options.flat = true;
      options.files = value();
    } else if (!arg.empty() && arg[0] != '-' && options.root.empty()) {
      options.root = arg;
    } else {
      Usage();
    }
  }
  if (options.root.empty() || options.folders == 0 || options.depth == 0) Usage();
  if (options.flat) options.folders = 1;
  while (options.root.size() > 1 && options.root.back() == '/') options.root.pop_back();
  return options;
}

// Names of a few typical lengths, so that paths look like real ones.
const char* const kStems[] = {"src",
                              "build",
                              "assets",
                              "cache",
                              "photos-2019",
                              "node_modules",
                              "Documents",
                              "backup",
                              "lib",
                              "x",
                              "very-long-project-folder-name",
                              "data",
                              "tmp",
                              "release-notes",
                              "thumbnails",
                              "logs"};
const char* const kExtensions[] = {".txt", ".jpg", ".o", ".json", "", ".tar.gz", ".cpp", ".log"};

template <std::size_t N>
const char* Pick(const char* const (&choices)[N], tallyroot::bench::SplitMix64& random) {
  return choices[random.Below(N)];
}

struct Folder {
  std::uint32_t parent;
  std::uint32_t level;  // 0 = ROOT
  std::string path;
  std::uint64_t files = 0;
};

[[noreturn]] void Fail(const char* what, const std::string& path) {
  std::fprintf(stderr, "make_tree: %s %s: %s\n", what, path.c_str(), std::strerror(errno));
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  tallyroot::bench::SplitMix64 random(options.seed);
  const auto start = std::chrono::steady_clock::now();

  struct stat existing {};
  if (lstat(options.root.c_str(), &existing) == 0) {
    std::fprintf(stderr, "make_tree: %s exists already; remove it or pick another root\n",
                 options.root.c_str());
    return 1;
  }

  // The folders: each hangs below a folder made before it, chosen at random
  // among those that still leave room for one more level. Choosing by a
  // square of a uniform number favours early folders a little, which gives
  // the upper levels the breadth of real trees.
  std::vector<Folder> folders;
  folders.reserve(options.folders);
  folders.push_back({0, 0, options.root, 0});
  std::vector<std::uint32_t> withRoom = {0};  // folders with room for children
  while (folders.size() < options.folders) {
    const double u = random.Unit();
    const std::uint32_t parent =
        withRoom[static_cast<std::size_t>(u * u * static_cast<double>(withRoom.size()))];
    Folder folder{parent, folders[parent].level + 1, {}, 0};
    folder.path =
        folders[parent].path + '/' + Pick(kStems, random) + '-' + std::to_string(folders.size());
    if (folder.level < options.depth)
      withRoom.push_back(static_cast<std::uint32_t>(folders.size()));
    folders.push_back(std::move(folder));
  }
  for (std::uint64_t i = 0; i < options.files; ++i) ++folders[random.Below(folders.size())].files;

  std::uint64_t fileNumber = 0, bytes = 0;
  unsigned deepest = 0;
  for (const Folder& folder : folders) {
    if (mkdir(folder.path.c_str(), 0755) != 0) Fail("cannot create", folder.path);
    deepest = std::max(deepest, folder.level);
    const int dir = open(folder.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) Fail("cannot open", folder.path);
    for (std::uint64_t i = 0; i < folder.files; ++i, ++fileNumber) {
      const std::string name = std::string(Pick(kStems, random)) + '_' +
                               std::to_string(fileNumber) + Pick(kExtensions, random);
      const std::uint64_t size = random.Below(options.maxSize + 1);
      const int fd = openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd < 0) Fail("cannot create", folder.path + '/' + name);
      if (size != 0 && ftruncate(fd, static_cast<off_t>(size)) != 0) Fail("cannot size", name);
      close(fd);
      bytes += size;
    }
    close(dir);
  }

  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::uint64_t rootFolders = 0;
  for (std::size_t i = 1; i < folders.size(); ++i) rootFolders += folders[i].parent == 0;
  std::printf(
      "made %s: %llu files, %zu folders (root included), %llu bytes apparent, "
      "deepest folder %u levels below the root; root holds %llu files and %llu folders "
      "(seed %llu, %.1f s)\n",
      options.root.c_str(), static_cast<unsigned long long>(options.files), folders.size(),
      static_cast<unsigned long long>(bytes), deepest,
      static_cast<unsigned long long>(folders[0].files),
      static_cast<unsigned long long>(rootFolders), static_cast<unsigned long long>(options.seed),
      seconds);
  return 0;
}
