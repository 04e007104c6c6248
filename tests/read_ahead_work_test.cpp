// The read-ahead's own decisions, held directly rather than through a walk:
// which read comes next, which children are dropped when the walk passes
// them, and what is not read ahead for want of room.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "walker/read_ahead/node.h"
#include "walker/read_ahead/work.h"

namespace {

using namespace tallyroot::platform::ahead;

// A listed folder of files and folders, in this order ('/' marks a folder).
std::shared_ptr<Node> Listed(const std::vector<std::string>& names,
                             std::shared_ptr<const Chain> chain = std::make_shared<Chain>()) {
  auto node = std::make_shared<Node>(std::string("folder"), nullptr, std::move(chain));
  for (const std::string& name : names) {
    const bool folder = name.back() == '/';
    const std::size_t at = node->names.size();
    node->names.append(name, 0, name.size() - (folder ? 1 : 0));
    AddEntry(*node, at, folder ? Kind::Folder : Kind::File, 0, 0);
  }
  EndRead(*node, State::Listed);
  node->state = State::Listed;
  return node;
}

// Lists a child that Pick handed out for reading, as a folder read would.
void ListAs(const std::shared_ptr<Node>& child, const std::vector<std::string>& names) {
  const std::shared_ptr<Node> listed = Listed(names, child->chain);
  child->entries = listed->entries;
  child->names = listed->names;
  child->children = listed->children;
  EndRead(*child, State::Listed);
  child->state = State::Listed;
}

std::string Describe(const Work& work) {
  if (!work.node) return "none";
  if (work.read) return "read " + work.node->name;
  return "sizes " + std::to_string(work.begin) + ".." + std::to_string(work.end);
}

class WorkTreeTest : public ::testing::Test {
 protected:
  WorkTreeTest() {
    tree.Start(std::size_t{1} << 30, 1000);
    tree.Shape(3, 2, false);
  }

  // Picks until nothing is left, listing each folder read as empty.
  std::vector<std::string> PickAll() {
    std::vector<std::string> picked;
    for (Work work = tree.Pick(); work.node; work = tree.Pick()) {
      picked.push_back(Describe(work));
      if (work.read) ListAs(work.node, {});
    }
    return picked;
  }

  WorkTree tree;
  std::vector<std::shared_ptr<Node>> dropped;
};

TEST_F(WorkTreeTest, ThePickFollowsWhatTheWalkNeedsFirst) {
  const auto root = Listed({"f1", "a/", "f2", "b/", "c/", "d/"});
  tree.Open(root);
  EXPECT_TRUE(tree.TakeNewWork());  // children to read ahead
  // What the walk waits for comes before everything: a folder it enters.
  const auto demanded = std::make_shared<Node>(std::string("x"), nullptr, root->childChain);
  tree.Demand(demanded);
  EXPECT_EQ(Describe(tree.Pick()), "read x");
  tree.Demand(nullptr);
  // Then the open listing's own sizes, an item at a time, then its children
  // in the order the walk meets them, up to the window of three.
  EXPECT_EQ(PickAll(), (std::vector<std::string>{"sizes 0..2", "sizes 2..4", "sizes 4..6", "read a",
                                                 "read b", "read c"}));
  // Sizes given back by a reader that stopped early are taken again first.
  tree.GiveBack(*root, 2, 4);
  EXPECT_EQ(Describe(tree.Pick()), "sizes 2..4");
}

// A walk stopped from the wait hook opens the level it waited for while a
// helper may still be listing it: nothing is read ahead from the children
// that helper is writing.
TEST_F(WorkTreeTest, ALevelStillBeingReadHasNothingReadAheadBelowIt) {
  const auto reading = Listed({"a/", "b/"});
  reading->state = State::Reading;
  tree.Open(reading);
  EXPECT_TRUE(reading->window.empty());
  EXPECT_FALSE(tree.TakeNewWork());
}

// Where a folder's reads run in turn, each folder gets one size read while
// others have work; a folder is crowded only when none has.
TEST_F(WorkTreeTest, SpreadSizeReadsGoOneAFolderFirst) {
  tree.Shape(3, 1, true);
  const auto root = Listed({"f1", "f2", "a/", "b/"});
  tree.Open(root);
  const Work first = tree.Pick();
  EXPECT_EQ(Describe(first), "sizes 0..1");
  // The root has a size read running: the next reader goes to a child.
  EXPECT_EQ(Describe(tree.Pick()), "read a");
  ListAs(root->window[0], {"a1", "a2"});
  EXPECT_EQ(Describe(tree.Pick()), "sizes 0..1");  // a's, not the root's second
  EXPECT_EQ(root->window[0]->sizing, 1u);
  EXPECT_EQ(Describe(tree.Pick()), "read b");
  ListAs(root->window[1], {});
  // Every folder with sizes left has a reader: the root is crowded now.
  const Work crowding = tree.Pick();
  EXPECT_EQ(crowding.node, root);
  EXPECT_EQ(root->sizing, 2u);
}

TEST_F(WorkTreeTest, ChildrenTheWalkPassesAreDroppedWithEverythingBelowThem) {
  const auto root = Listed({"a/", "b/", "c/", "d/", "e/"});
  tree.Open(root);
  std::vector<std::string> picked = PickAll();
  EXPECT_EQ(picked.back(), "read c");
  // The walk enters a: it goes down, so the search looks below a too.
  const std::shared_ptr<Node> a = tree.TakeHanded(*root, 0);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->name, "a");
  // The walk then passes b and c over without entering them.
  const std::shared_ptr<Node> b = root->window[1], c = root->window[2];
  ListAs(c, {"c1/"});
  tree.PassHanded(*root, 2, dropped);
  EXPECT_TRUE(b->cancelled.load() && c->cancelled.load());
  EXPECT_FALSE(a->cancelled.load());  // taken: the walk's now
  EXPECT_EQ(dropped.size(), 2u);
  // d and e are read ahead instead; nothing passed over is read again.
  EXPECT_TRUE(tree.TakeNewWork());
  picked = PickAll();
  EXPECT_EQ(picked, (std::vector<std::string>{"read d", "read e"}));
  // Closing the listing drops what is left below it.
  const std::shared_ptr<Node> d = root->window[0];
  tree.Close(false, dropped);
  EXPECT_TRUE(d->cancelled.load());
  EXPECT_FALSE(root->cancelled.load());
  EXPECT_TRUE(tree.Empty());
}

TEST_F(WorkTreeTest, NothingIsReadAheadWithoutRoomButWhatTheWalkNeedsIsRead) {
  tree.Start(0, 1000);  // no byte may be held ahead
  const auto root = Listed({"a/", "b/"});
  tree.Open(root);
  EXPECT_EQ(PickAll(), (std::vector<std::string>{"sizes 0..2"}));
  EXPECT_EQ(root->window[0]->state, State::Waiting);
  // The walk enters a all the same: demanded, it is read whatever the bound.
  const std::shared_ptr<Node> a = tree.TakeHanded(*root, 0);
  tree.Demand(a);
  EXPECT_EQ(Describe(tree.Pick()), "read a");
  tree.Demand(nullptr);
  ListAs(a, {});
  // A read held back for want of room may start once a listing closes.
  tree.TakeNewWork();
  tree.Open(a);
  tree.Pick();
  tree.Close(false, dropped);
  EXPECT_TRUE(tree.TakeNewWork());
  // A listing the walk stopped waiting for stops its reads too.
  tree.Close(true, dropped);
  EXPECT_TRUE(root->cancelled.load());
  EXPECT_EQ(Describe(tree.Pick()), "none");
}

}  // namespace
