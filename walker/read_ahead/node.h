// One folder's listing as read ahead, as the platforms' reads (platform.h)
// fill it: the folder read (names, kinds, on Windows sizes), then on POSIX
// the size reads of ranges of its entries.
//
// Contract:
//  - A node is read without any lock: its folder by one thread, then each
//    range of entries by the one thread that claimed it. The scheduler
//    publishes the end of a folder read under its lock; an entry's size is
//    published by its own `ready` flag, so the walk takes an entry as soon
//    as its size is known.
//  - Once Listed, `entries`, `names` and `children` never change shape; a
//    size read writes only the kind and size of the entries in its range.
//  - `cancelled` and `demanded` may be set by any thread at any time; the
//    reads look at them between steps.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "walker/folder_id.h"
#include "walker/read_ahead/read_ahead.h"
#include "walker/read_ahead/tuning.h"

namespace tallyroot::platform::ahead {

enum class Kind : std::uint8_t {
  File,      // size read by a size read, unless the listing gave it
  Folder,    // as the listing says; nothing to read
  Unknown,   // the listing gave no type: the size read reads it too
  Vanished,  // gone before its size could be read: never handed out
};

struct Entry {
  std::uint32_t nameAt;      // offset into Node::names
  std::uint16_t nameLength;  // up to 765 on Windows (255 UTF-16 units as WTF-8); fills padding
  Kind kind;
  std::uint64_t inode;     // as listed; orders the size reads on a rotational disk
  std::uint64_t size = 0;  // valid once the entry is ready
};
static_assert(sizeof(Entry) <= 24);

// The identities of the folders open around a folder, outermost first.
using Chain = std::vector<FolderId>;

// Where a node's folder read stands. A read ends Listed, Empty (it yields
// nothing: not openable, a cycle, a pseudo file system, dropped meanwhile) or
// Waiting again (not demanded and over a bound: the node as before).
enum class State : std::uint8_t { Waiting, Reading, Listed, Empty };

struct Node {
  // A child folder `name` of `parent`, with `chain` the folders open around
  // it; without a parent, `name` is the path of a walk's outermost folder.
  Node(std::string name, std::shared_ptr<const FolderHandle> parent,
       std::shared_ptr<const Chain> chain);
  ~Node();

  const std::string name;
  const std::shared_ptr<const Chain> chain;

  // Written by the folder read only.
  std::shared_ptr<const FolderHandle> parent;  // dropped once the folder is listed
  std::shared_ptr<const FolderHandle> folder;
  FolderId id{};
  std::vector<Entry> entries;
  std::string names;                        // each name followed by a NUL
  std::vector<std::uint32_t> children;      // entries the walk may enter: folders not named ".*"
  std::shared_ptr<const Chain> childChain;  // `chain` and this folder: its children's chain
  std::size_t bytes = 0;                    // counted in BytesHeld(), also while being read
  std::size_t cycleAt = kNoCycle;           // for a cycle: where in `chain` it is open
  bool unread = false;                      // not openable, or its listing failed midway
  // Of the outermost folder's device: a disk whose head may seek; a network
  // share, whose reads wait whatever they cost.
  bool rotational = false, remote = false;

  // Under the scheduler's lock.
  State state = State::Waiting;
  bool onlyOnDemand = false;  // a read ahead of it gave up; read it when the walk needs it
  std::size_t claimed = 0;    // entries before it have been taken for a size read
  unsigned sizing = 0;        // size reads of its entries running now
  // Ranges [first, second) taken and given back unread, to be taken again.
  std::vector<std::pair<std::size_t, std::size_t>> givenBack;
  // The children read ahead: window[i] is children[windowStart + i]; a child
  // taken by the walk leaves an empty slot.
  std::vector<std::shared_ptr<Node>> window;
  std::size_t windowStart = 0;
  std::uint32_t settledIn = 0;    // the WorkTree's shape in which all below it was found done
  std::size_t searchedBelow = 0;  // then: the nodes a search looks at below it

  // One flag per entry, set when its kind and size are final (a folder's at
  // once), by the one who read them.
  std::unique_ptr<std::atomic<bool>[]> ready;

  std::atomic<bool> cancelled{false};
  std::atomic<bool> demanded{false};  // the walk needs it now: no bound applies
  std::atomic<bool> unsized{false};   // a size read met an entry whose size could not be read
};

std::size_t BytesHeld();  // of all listings alive

// For the platforms' folder reads (platform.h):
// Room for `entries` more entries and `nameBytes` more name bytes, in one
// allocation each rather than many doublings for a large folder.
void Reserve(Node& node, std::size_t entries, std::size_t nameBytes);
// Adds the entry whose name was appended to `names` from `nameAt` on.
void AddEntry(Node& node, std::size_t nameAt, Kind kind, std::uint64_t inode, std::uint64_t size);
// After a batch of entries: Reading to go on, else how the read ended
// (Empty when cancelled meanwhile, Waiting when over `maxBytes`).
State AfterBatch(Node& node, std::size_t maxBytes);
// Ends a read: Listed with every entry's ready flag set that needs no size
// read (all of them where the listing gave the sizes, `sizesListed`), or,
// for any other `end`, the node as before the read.
State EndRead(Node& node, State end, bool sizesListed = false);

}  // namespace tallyroot::platform::ahead
