// One folder's listing as read ahead, and the two reads that fill it: the
// folder read (open, check, names and types) and a chunk of size reads.
//
// Contract:
//  - A node is read by one thread at a time, without any lock: the thread
//    that took its folder read, then one thread per chunk. The scheduler
//    publishes each result under its own lock, so whoever learns from it
//    that a read has ended sees everything that read wrote.
//  - Once the folder read has ended with Listed, `entries`, `names` and
//    `children` never change shape again; a chunk writes only the kind and
//    size of the entries in its own range.
//  - `cancelled` and `demanded` may be set by any thread at any time; the
//    reads look at them between steps and give up early or not at all.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "walker/posix_reads.h"

namespace tallyroot::platform::ahead {

// Entries per chunk of size reads, so that a large folder's sizes are read
// by several threads at once.
inline constexpr std::size_t kChunkEntries = 512;

enum class Kind : std::uint8_t {
  File,      // size read by its chunk
  Folder,    // as the listing says; nothing to read
  Unknown,   // the listing gave no type: its chunk reads type and size
  Vanished,  // gone before its size could be read: never handed out
};

struct Entry {
  std::uint32_t nameAt;     // offset into Node::names
  std::uint8_t nameLength;  // names are at most 255 bytes
  Kind kind;
  std::uint64_t size = 0;  // valid once the entry's chunk has been read
};

// An open folder, shared by whoever still needs it; closed with the last
// owner, so a folder stays open while a read below it is still running.
class Descriptor {
 public:
  explicit Descriptor(int fd);
  ~Descriptor();
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The identities of the folders open around a folder, outermost first.
using Chain = std::vector<posix::FolderId>;

enum class State : std::uint8_t { Waiting, Reading, Listed, Empty };

struct Node {
  // A child folder `name` of the folder open as `parent`, with `chain` the
  // folders open around it (its parent's included).
  Node(std::string name, std::shared_ptr<const Descriptor> parent,
       std::shared_ptr<const Chain> chain);
  // A folder the walking thread has opened and checked itself inside the
  // open folders `chain`.
  Node(std::shared_ptr<const Descriptor> fd, posix::FolderId id,
       std::shared_ptr<const Chain> chain);
  ~Node();
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  const std::string name;
  const std::shared_ptr<const Chain> chain;

  // Written by the folder read only.
  std::shared_ptr<const Descriptor> parent;  // dropped once the folder is listed
  std::shared_ptr<const Descriptor> fd;
  posix::FolderId id{};
  std::vector<Entry> entries;
  std::string names;                        // each name followed by a NUL
  std::vector<std::uint32_t> children;      // entries the walk may enter: folders not named ".*"
  std::shared_ptr<const Chain> childChain;  // `chain` and this folder: its children's chain
  std::size_t bytes = 0;                    // counted in BytesHeld(), also while being read
  std::size_t cycleAt = posix::kNoCycle;    // for a cycle: where in `chain` it is open
  bool unread = false;                      // not openable, or its listing failed midway

  // Under the scheduler's lock.
  State state = State::Waiting;
  bool onlyOnDemand = false;  // a read ahead of it gave up; read it when the walk needs it
  std::size_t nextChunk = 0;  // the first chunk no thread has taken yet
  std::vector<std::uint8_t> chunkDone;
  // The children read ahead: window[i] is children[windowStart + i]; a child
  // taken by the walk leaves an empty slot.
  std::vector<std::shared_ptr<Node>> window;
  std::size_t windowStart = 0;

  std::atomic<bool> cancelled{false};
  std::atomic<bool> demanded{false};  // the walk needs it now: no bound applies
  std::atomic<bool> unsized{false};   // a chunk met an entry whose size could not be read
};

// Bytes of all listings alive, and descriptors open for them.
std::size_t BytesHeld();
std::size_t DescriptorsHeld();

enum class ReadEnd {
  Listed,     // entries, names and children are filled in
  Empty,      // yields nothing: not openable, a cycle (cycleAt), a pseudo file system
  Abandoned,  // not demanded and over a bound: the node is as before the read
  Dropped,    // cancelled meanwhile
};

// Opens the folder (unless the walking thread did), checks it against its
// chain and lists it; sizes are left to the chunks. A read that is not
// demanded gives up when listings alive would pass `maxBytes`, or when no
// descriptor is left.
ReadEnd ReadFolder(Node& node, std::size_t maxBytes);

// Reads the sizes (and missing types) of chunk `chunk` of a listed node.
void SizeChunk(Node& node, std::size_t chunk);

inline std::size_t ChunkCount(const Node& node) {
  return (node.entries.size() + kChunkEntries - 1) / kChunkEntries;
}

}  // namespace tallyroot::platform::ahead
