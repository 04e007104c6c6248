// The read-ahead's own decisions, held directly rather than through a walk.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "walker/read_ahead/node.h"
#include "walker/read_ahead/work.h"

#if !defined(_WIN32)
#include <fcntl.h>

#include "walker/read_ahead/posix/folder_handle.h"
#endif

namespace {

using namespace tallyroot::platform::ahead;

// Lists `node` as a folder read would, in this order ('/' marks a folder).
std::shared_ptr<Node> ListAs(std::shared_ptr<Node> node, const std::vector<std::string>& names) {
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

std::shared_ptr<Node> Listed(const std::vector<std::string>& names) {
  return ListAs(std::make_shared<Node>("root", nullptr, std::make_shared<Chain>()), names);
}

std::string Describe(const Work& work) {
  if (!work.node || work.read) return work.node ? "read " + work.node->name : "none";
  return work.node->name + " " + std::to_string(work.begin) + ".." + std::to_string(work.end);
}

class WorkTreeTest : public ::testing::Test {
 protected:
  WorkTreeTest() { tree.Start(std::size_t{1} << 30, 1000), tree.Shape(3, 2, false); }

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
  EXPECT_TRUE(tree.TakeNewWork());
  tree.Demand(std::make_shared<Node>("x", nullptr, root->childChain));
  EXPECT_EQ(Describe(tree.Pick()), "read x");
  tree.Demand(nullptr);
  EXPECT_EQ(PickAll(), (std::vector<std::string>{"root 0..2", "root 2..4", "root 4..6", "read a",
                                                 "read b", "read c"}));
  tree.GiveBack(*root, 2, 4);  // a reader stopped early
  EXPECT_EQ(Describe(tree.Pick()), "root 2..4");
}

// A walk stopped from the wait hook may open a level a helper is still writing.
TEST_F(WorkTreeTest, ALevelStillBeingReadHasNothingReadAheadBelowIt) {
  const auto reading = Listed({"a/", "b/"});
  reading->state = State::Reading;
  tree.Open(reading);
  EXPECT_TRUE(reading->window.empty());
  EXPECT_FALSE(tree.TakeNewWork());
}

// Where a folder's reads run in turn, a folder is crowded only when none other has work.
TEST_F(WorkTreeTest, SpreadSizeReadsGoOneAFolderFirst) {
  tree.Shape(3, 1, true);
  const auto root = Listed({"f1", "f2", "a/", "b/"});
  tree.Open(root);
  EXPECT_EQ(Describe(tree.Pick()), "root 0..1");
  EXPECT_EQ(Describe(tree.Pick()), "read a");
  ListAs(root->window[0], {"a1", "a2"});
  EXPECT_EQ(Describe(tree.Pick()), "a 0..1");
  EXPECT_EQ(Describe(tree.Pick()), "read b");
  ListAs(root->window[1], {});
  EXPECT_EQ(Describe(tree.Pick()), "root 1..2");
  EXPECT_EQ(root->sizing, 2u);
}

TEST_F(WorkTreeTest, ChildrenTheWalkPassesAreDroppedWithEverythingBelowThem) {
  const auto root = Listed({"a/", "b/", "c/", "d/", "e/"});
  tree.Open(root);
  PickAll();
  const std::shared_ptr<Node> a = tree.TakeHanded(*root, 0);
  ASSERT_EQ(a ? a->name : "", "a");
  const std::shared_ptr<Node> b = root->window[1], c = root->window[2];
  ListAs(c, {"c1/"});
  tree.PassHanded(*root, 2, dropped);
  EXPECT_TRUE(b->cancelled.load() && c->cancelled.load());
  EXPECT_FALSE(a->cancelled.load());  // taken: the walk's now
  EXPECT_EQ(dropped.size(), 2u);
  EXPECT_TRUE(tree.TakeNewWork());
  EXPECT_EQ(PickAll(), (std::vector<std::string>{"read d", "read e"}));
  const std::shared_ptr<Node> d = root->window[0];
  tree.Close(false, dropped);
  EXPECT_TRUE(d->cancelled.load());
  EXPECT_FALSE(root->cancelled.load());
  EXPECT_TRUE(tree.Empty());
}

// A search passes over what is read in full below a child, but not once work can appear there.
TEST_F(WorkTreeTest, ASubtreeReadInFullIsPassedOverOnlyWhileNothingCanBeAddedToIt) {
  const auto root = Listed({"a/", "b/"});
  tree.Open(root);
  PickAll();
  tree.Open(tree.TakeHanded(*root, 0));  // the walk goes down into a
  const std::shared_ptr<Node> b = root->window[1];
  ListAs(b, {"b1/", "b2/", "b3/", "b4/"});
  const auto picks = [&](int count) {  // b2 is still being read
    std::string picked;
    for (int i = 0; i < count; ++i) {
      const Work work = tree.Pick();
      if (work.read && work.node->name != "b2") ListAs(work.node, {});
      picked += (i ? ", " : "") + Describe(work);
    }
    return picked;
  };
  EXPECT_EQ(picks(6), "b 0..2, b 2..4, read b1, read b2, read b3, none");
  b->sizing = 0;  // its size reads ended
  EXPECT_EQ(picks(1), "none");
  ListAs(b->window[1], {"d/"});  // b2 was still being read
  EXPECT_EQ(picks(3), "b2 0..1, read d, none");
  tree.GiveBack(*b->window[1], 0, 1);  // and its size read was still running
  EXPECT_EQ(picks(1), "b2 0..1");
  b->window[1]->sizing = 0;
  EXPECT_EQ(picks(1), "none");
  tree.Shape(4, 2, false);  // a window that grows takes in b4
  EXPECT_EQ(Describe(tree.Pick()), "read b4");
}

TEST_F(WorkTreeTest, NothingIsReadAheadWithoutRoomButWhatTheWalkNeedsIsRead) {
  tree.Start(0, 1000);
  const auto root = Listed({"a/", "b/"});
  tree.Open(root);
  EXPECT_EQ(PickAll(), (std::vector<std::string>{"root 0..2"}));
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

#if !defined(_WIN32)
// Nor while the descriptors it may hold are held: the walk's own listings need theirs.
TEST_F(WorkTreeTest, NothingIsReadAheadWhileItsDescriptorsAreHeld) {
  tree.Start(std::size_t{1} << 30, 1);
  const auto root = Listed({"a/", "b/"});
  tree.Open(root);
  std::vector<std::unique_ptr<FolderHandle>> held;  // one for the open listing, one ahead
  for (int i = 0; i < 2; ++i)
    held.push_back(std::make_unique<FolderHandle>(open("/", O_RDONLY | O_CLOEXEC)));
  EXPECT_EQ(PickAll(), (std::vector<std::string>{"root 0..2"}));
  held.pop_back();
  EXPECT_EQ(PickAll(), (std::vector<std::string>{"read a", "read b"}));
}
#endif

}  // namespace
