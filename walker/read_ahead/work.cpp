#include "walker/read_ahead/work.h"

#include <algorithm>
#include <climits>
#include <string>
#include <utility>

#include "walker/read_ahead/platform.h"

namespace tallyroot::platform::ahead {

void WorkTree::Start(std::size_t maxBytes, std::size_t maxDescriptors) {
  descending_ = heldBack_ = false;
  maxBytes_ = maxBytes;
  maxDescriptors_ = maxDescriptors;
}

void WorkTree::Shape(std::size_t window, std::size_t chunk, bool spread) {
  if (window > window_) ++shape_;  // a settled node's window may take more
  window_ = window;
  chunk_ = chunk;
  spread_ = spread;
}

void WorkTree::Open(std::shared_ptr<Node> node) {
  levels_.push_back(std::move(node));
  TopUp(*levels_.back());
}

std::shared_ptr<Node> WorkTree::TakeHanded(Node& from, std::size_t handed) {
  descending_ = true;
  const std::size_t slot = handed - from.windowStart;  // wraps when before the window
  if (handed >= from.windowStart && slot < from.window.size()) return std::move(from.window[slot]);
  return nullptr;
}

void WorkTree::PassHanded(Node& node, std::size_t handed,
                          std::vector<std::shared_ptr<Node>>& dropped) {
  const std::size_t past = handed + 1;
  std::size_t passed = 0;
  while (node.windowStart + passed < past && passed < node.window.size()) {
    // Passed over: the walk is skipping folders here, not going down.
    if (node.window[passed]) descending_ = false;
    Drop(node.window[passed++], dropped);
  }
  node.window.erase(node.window.begin(), node.window.begin() + static_cast<long>(passed));
  node.windowStart = std::max(node.windowStart + passed, past);
  TopUp(node);
}

void WorkTree::Close(bool ended, std::vector<std::shared_ptr<Node>>& dropped) {
  Node& node = *levels_.back();  // listings nest: it is the innermost
  for (std::shared_ptr<Node>& child : node.window) Drop(child, dropped);
  node.window.clear();
  if (ended) node.cancelled.store(true);
  dropped.push_back(std::move(levels_.back()));
  levels_.pop_back();
  // What was held ahead below it is given back, and a read held back for
  // want of room may start now.
  if (std::exchange(heldBack_, false)) newWork_ = true;
}

Work WorkTree::Pick() {
  Work work = spread_ ? PickUnder(1) : Work{};
  return work.node ? work : PickUnder(UINT_MAX);
}

// The most urgent work, sizes only of folders with fewer than `sizing`
// size reads running.
Work WorkTree::PickUnder(unsigned sizing) {
  if (Work work = WorkOn(demanded_, true, sizing); work.node) return work;
  std::size_t budget = tuning::kSearchedPerChild * window_;
  for (auto level = levels_.rbegin(); level != levels_.rend() && budget > 0; ++level) {
    if (Work work = WorkOn(*level, true, sizing); work.node) return work;
    if (Work work = Search(**level, budget, sizing); work.node) return work;
  }
  return {};
}

Work WorkTree::Search(Node& node, std::size_t& budget, unsigned sizing) {
  const std::size_t start = budget;
  bool settled = descending_;  // all below `node` is read and sized, as far as seen
  for (const std::shared_ptr<Node>& child : node.window) {
    if (!child) continue;
    if (child->settledIn == shape_) {
      // Passed over at what looking through it costs: a pick reaches as far.
      const std::size_t looked = 1 + (descending_ ? child->searchedBelow : 0);
      budget -= std::min(budget, looked);
      if (budget == 0) return {};
      continue;
    }
    if (budget == 0) return {};
    --budget;
    if (Work work = WorkOn(child, false, sizing); work.node) return work;
    if (child->state == State::Listed && descending_ && !child->cancelled.load()) {
      TopUp(*child);
      if (Work work = Search(*child, budget, sizing); work.node) return work;
    }
    settled = settled && (child->settledIn == shape_ || child->state == State::Empty ||
                          child->cancelled.load());
  }
  if (settled && node.state == State::Listed && node.sizing == 0 && !Unclaimed(node) &&
      (node.window.size() >= window_ ||
       node.windowStart + node.window.size() >= node.children.size())) {
    node.settledIn = shape_;
    node.searchedBelow = start - budget;
  }
  return {};
}

Work WorkTree::WorkOn(const std::shared_ptr<Node>& node, bool demanded, unsigned sizing) {
  if (!node || node->cancelled.load()) return {};
  if (node->state == State::Waiting && (demanded || MayReadAhead(*node))) {
    node->state = State::Reading;
    return {node, true};
  }
  if (node->state == State::Listed && node->sizing < sizing && Unclaimed(*node)) {
    return Claim(node);
  }
  return {};
}

bool WorkTree::Unclaimed(const Node& node) {
  return node.claimed < node.entries.size() || !node.givenBack.empty();
}

Work WorkTree::Claim(const std::shared_ptr<Node>& node) {
  ++node->sizing;  // until the read ends (Scheduler::ReadSizesOf)
  if (!node->givenBack.empty()) {
    const auto [begin, end] = node->givenBack.back();
    node->givenBack.pop_back();
    return {node, false, begin, end};
  }
  const std::size_t begin = node->claimed;
  node->claimed = std::min(node->entries.size(), begin + chunk_);
  return {node, false, begin, node->claimed};
}

void WorkTree::GiveBack(Node& node, std::size_t begin, std::size_t end) {
  if (!node.cancelled.load()) node.givenBack.emplace_back(begin, end);
}

bool WorkTree::MayReadAhead(const Node& node) {
  if (node.onlyOnDemand) return false;
  const bool may = BytesHeld() < maxBytes_ && DescriptorsHeld() < levels_.size() + maxDescriptors_;
  heldBack_ = heldBack_ || !may;
  return may;
}

void WorkTree::TopUp(Node& node) {
  // A level whose wait the hook stopped may still be being read by a helper,
  // which writes its children meanwhile.
  if (node.state != State::Listed) return;
  const std::size_t before = node.window.size();
  while (node.window.size() < window_ &&
         node.windowStart + node.window.size() < node.children.size()) {
    const Entry& entry = node.entries[node.children[node.windowStart + node.window.size()]];
    node.window.push_back(
        std::make_shared<Node>(std::string(node.names.data() + entry.nameAt, entry.nameLength),
                               node.folder, node.childChain));
  }
  if (node.window.size() != before) newWork_ = true;
}

void WorkTree::Drop(std::shared_ptr<Node>& child, std::vector<std::shared_ptr<Node>>& dropped) {
  if (!child) return;
  child->cancelled.store(true);
  for (std::shared_ptr<Node>& below : child->window) Drop(below, dropped);
  child->window.clear();
  dropped.push_back(std::move(child));
}

}  // namespace tallyroot::platform::ahead
