#include "walker/read_ahead_node.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace tallyroot::platform::ahead {
namespace {

constexpr std::size_t kBufferSize = 32 * 1024;

std::atomic<std::size_t> gBytesHeld{0};
std::atomic<std::size_t> gDescriptorsHeld{0};

// Each reading thread keeps one getdents64 buffer. They are held here, not
// by the threads: helpers are never joined, and what a thread that is still
// running at exit holds in its own storage would count as lost.
char* ThreadBuffer() {
  static std::mutex mutex;
  static std::vector<std::unique_ptr<char[]>>* const buffers =
      new std::vector<std::unique_ptr<char[]>>;
  thread_local char* buffer = nullptr;
  if (!buffer) {
    const std::lock_guard<std::mutex> lock(mutex);
    buffer = buffers->emplace_back(new char[kBufferSize]).get();
  }
  return buffer;
}

std::size_t BytesOf(const Node& node) {
  return node.entries.capacity() * sizeof(Entry) + node.names.capacity() +
         node.children.capacity() * sizeof(std::uint32_t);
}

// Counts what the node holds now, so that concurrent reads see each other's
// growth against the bound.
void Account(Node& node) {
  const std::size_t now = BytesOf(node);
  gBytesHeld.fetch_add(now - node.bytes, std::memory_order_relaxed);  // wraps when smaller
  node.bytes = now;
}

// Back to the state before the read: nothing listed, nothing open.
void Forget(Node& node) {
  node.fd.reset();
  std::vector<Entry>().swap(node.entries);
  std::string().swap(node.names);
  std::vector<std::uint32_t>().swap(node.children);
  Account(node);
}

bool OutOfDescriptors(int error) { return error == EMFILE || error == ENFILE || error == ENOMEM; }

// Opens and checks a child folder. Links are not followed: what was listed
// as a folder and is a link by now is no folder of this tree.
ReadEnd Open(Node& node) {
  const int fd = node.parent ? openat(node.parent->get(), node.name.c_str(),
                                      posix::kFolderOpenFlags | O_NOFOLLOW)
                             : open(node.name.c_str(), posix::kFolderOpenFlags);
  if (fd < 0) {
    // A read ahead must not make a folder look empty for want of a
    // descriptor that the walk itself would have had.
    if (OutOfDescriptors(errno) && !node.demanded.load()) return ReadEnd::Abandoned;
    node.unread = true;
    return ReadEnd::Empty;
  }
  auto descriptor = std::make_shared<const Descriptor>(fd);
  struct stat self {};
  if (fstat(fd, &self) != 0) {
    node.unread = true;
    return ReadEnd::Empty;
  }
  node.id = {self.st_dev, self.st_ino};
  const auto idOf = [](const posix::FolderId& id) { return id; };
  if (posix::Judge(fd, node.id, *node.chain, idOf, node.cycleAt) != posix::Verdict::List)
    return ReadEnd::Empty;
  node.fd = std::move(descriptor);
  return ReadEnd::Listed;
}

// Appends the entries of one getdents64 buffer.
void Append(Node& node, const char* buffer, long filled) {
  // One allocation per buffer instead of a string of doublings for a large
  // folder; a record is never smaller than its name.
  std::size_t records = 0;
  for (long offset = 0; offset < filled; ++records) posix::NextRecord(buffer, offset);
  const auto grow = [](auto& storage, std::size_t more) {
    if (storage.capacity() < storage.size() + more)
      storage.reserve(std::max(storage.size() + more, 2 * storage.capacity()));
  };
  grow(node.entries, records);
  grow(node.names, static_cast<std::size_t>(filled));
  for (long offset = 0; offset < filled;) {
    const posix::ListedRecord record = posix::NextRecord(buffer, offset);
    const std::string_view name = record.field.substr(0, record.field.find('\0'));
    const Kind kind = record.type == DT_DIR       ? Kind::Folder
                      : record.type == DT_UNKNOWN ? Kind::Unknown
                                                  : Kind::File;
    if (kind == Kind::Folder && !name.empty() && name.front() != '.') {
      node.children.push_back(static_cast<std::uint32_t>(node.entries.size()));
    }
    node.entries.push_back({static_cast<std::uint32_t>(node.names.size()),
                            static_cast<std::uint8_t>(name.size()), kind, record.inode, 0});
    node.names.append(name).push_back('\0');
  }
}

}  // namespace

Descriptor::Descriptor(int fd) : fd_(fd) {
  gDescriptorsHeld.fetch_add(1, std::memory_order_relaxed);
}

Descriptor::~Descriptor() {
  close(fd_);
  gDescriptorsHeld.fetch_sub(1, std::memory_order_relaxed);
}

Node::Node(std::string childName, std::shared_ptr<const Descriptor> parentFd,
           std::shared_ptr<const Chain> enclosing)
    : name(std::move(childName)), chain(std::move(enclosing)), parent(std::move(parentFd)) {}

Node::Node(std::shared_ptr<const Descriptor> openFd, posix::FolderId openId,
           std::shared_ptr<const Chain> enclosing)
    : chain(std::move(enclosing)), fd(std::move(openFd)), id(openId) {}

Node::~Node() { gBytesHeld.fetch_sub(bytes, std::memory_order_relaxed); }

std::size_t BytesHeld() { return gBytesHeld.load(std::memory_order_relaxed); }
std::size_t DescriptorsHeld() { return gDescriptorsHeld.load(std::memory_order_relaxed); }

ReadEnd ReadFolder(Node& node, std::size_t maxBytes) {
  if (!node.fd) {
    const ReadEnd opened = Open(node);
    if (opened != ReadEnd::Listed) {
      Forget(node);
      return opened;
    }
  }
  char* buffer = ThreadBuffer();
  for (;;) {
    // A failure in the middle ends the listing, as it does without read-ahead.
    const long got = getdents64(node.fd->get(), buffer, kBufferSize);
    node.unread = node.unread || got < 0;
    if (got <= 0) break;
    Append(node, buffer, got);
    if (node.cancelled.load()) {
      Forget(node);
      return ReadEnd::Dropped;
    }
    Account(node);
    if (!node.demanded.load() && BytesHeld() > maxBytes) {
      Forget(node);
      return ReadEnd::Abandoned;
    }
  }
  node.parent.reset();
  node.ready = std::make_unique<std::atomic<bool>[]>(node.entries.size());
  for (std::size_t at = 0; at < node.entries.size(); ++at) {
    node.ready[at].store(node.entries[at].kind == Kind::Folder, std::memory_order_relaxed);
  }
  Chain childChain = *node.chain;
  childChain.push_back(node.id);
  node.childChain = std::make_shared<const Chain>(std::move(childChain));
  Account(node);
  return ReadEnd::Listed;
}

bool ReadSize(Node& node, std::size_t at) {
  Entry& entry = node.entries[at];
  ListedEntry read;
  const bool typeKnown = entry.kind == Kind::File;
  const posix::EntryRead outcome =
      posix::ReadEntry(node.fd->get(), node.names.data() + entry.nameAt, typeKnown, read);
  if (outcome == posix::EntryRead::Vanished) {
    entry.kind = Kind::Vanished;
    return false;
  }
  if (outcome == posix::EntryRead::Unsized) node.unsized.store(true, std::memory_order_relaxed);
  entry.kind = read.isFolder ? Kind::Folder : Kind::File;
  entry.size = read.size;
  return true;
}

std::size_t InodeOrder(const Node& node, std::size_t begin, std::size_t end, std::uint32_t* out) {
  std::size_t count = 0;
  for (std::size_t at = begin; at < end; ++at) out[count++] = static_cast<std::uint32_t>(at);
  std::sort(out, out + count, [&](std::uint32_t a, std::uint32_t b) {
    return node.entries[a].inode < node.entries[b].inode;
  });
  return count;
}

}  // namespace tallyroot::platform::ahead
