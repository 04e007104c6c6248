#include "walker/read_ahead/node.h"

#include <algorithm>

namespace tallyroot::platform::ahead {
namespace {

std::atomic<std::size_t> gBytesHeld{0};

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
  node.folder.reset();
  std::vector<Entry>().swap(node.entries);
  std::string().swap(node.names);
  std::vector<std::uint32_t>().swap(node.children);
  Account(node);
}

}  // namespace

Node::Node(std::string childName, std::shared_ptr<const FolderHandle> parentFolder,
           std::shared_ptr<const Chain> enclosing)
    : name(std::move(childName)), chain(std::move(enclosing)), parent(std::move(parentFolder)) {}

Node::~Node() { gBytesHeld.fetch_sub(bytes, std::memory_order_relaxed); }

std::size_t BytesHeld() { return gBytesHeld.load(std::memory_order_relaxed); }

void Reserve(Node& node, std::size_t entries, std::size_t nameBytes) {
  const auto grow = [](auto& storage, std::size_t more) {
    if (storage.capacity() < storage.size() + more)
      storage.reserve(std::max(storage.size() + more, 2 * storage.capacity()));
  };
  grow(node.entries, entries);
  grow(node.names, nameBytes);
}

void AddEntry(Node& node, std::size_t nameAt, Kind kind, std::uint64_t inode, std::uint64_t size) {
  const std::size_t length = node.names.size() - nameAt;
  if (kind == Kind::Folder && length > 0 && node.names[nameAt] != '.') {
    node.children.push_back(static_cast<std::uint32_t>(node.entries.size()));
  }
  node.entries.push_back(
      {static_cast<std::uint32_t>(nameAt), static_cast<std::uint16_t>(length), kind, inode, size});
  node.names.push_back('\0');
}

State AfterBatch(Node& node, std::size_t maxBytes) {
  if (node.cancelled.load()) return EndRead(node, State::Empty);
  Account(node);
  if (!node.demanded.load() && BytesHeld() > maxBytes) return EndRead(node, State::Waiting);
  return State::Reading;
}

State EndRead(Node& node, State end, bool sizesListed) {
  if (end != State::Listed) {
    Forget(node);
    return end;
  }
  node.parent.reset();
  node.ready = std::make_unique<std::atomic<bool>[]>(node.entries.size());
  for (std::size_t at = 0; at < node.entries.size(); ++at) {
    node.ready[at].store(sizesListed || node.entries[at].kind == Kind::Folder,
                         std::memory_order_relaxed);
  }
  // Nothing is left for a size read to claim; published with the end of
  // the read, under the scheduler's lock.
  if (sizesListed) node.claimed = node.entries.size();
  Chain childChain = *node.chain;
  childChain.push_back(node.id);
  node.childChain = std::make_shared<const Chain>(std::move(childChain));
  Account(node);
  return State::Listed;
}

}  // namespace tallyroot::platform::ahead
