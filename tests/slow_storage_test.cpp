// The window over storage where every request waits on the device (a FUSE
// mirror that answers after a delay): it shows what the folder holds, keeps
// answering while it waits, and a close during a load takes effect at once.
#include <gtest/gtest.h>

#include <chrono>

#include "analysis/folder_cache.h"
#include "analysis/tallyroot_module.h"
#include "tests/support/fixture_tree.h"
#include "tests/support/slow_mount.h"
#include "tests/support/window_driver.h"

namespace {

using namespace tallyroot::testing;
using Clock = std::chrono::steady_clock;

// Folders of files, with `wide` files in one folder: more than a work item
// of size reads on a fast device, so that its sizes could be held back.
void Build(FixtureTree& tree, int folders, int files, int wide) {
  for (int i = 0; i < folders * files; ++i)
    tree.File("d" + std::to_string(i / files) + "/sub/f" + std::to_string(i % files), i);
  for (int i = 0; i < wide; ++i) tree.File("wide/w" + std::to_string(i), i + 1);
  tree.File("top", 7);
}

TEST(SlowStorage, TheWindowShowsWhatTheFolderHoldsAndKeepsAnswering) {
  FixtureTree tree;
  Build(tree, 4, 5, 60);
  const SlowMount slow(tree.Root(), 20);
  if (!slow.Skipped().empty()) GTEST_SKIP() << slow.Skipped();
  WindowDriver w;
  w.Load(tree.Root());
  const QString fast = w.Names();
  const std::string cells = w.Cells("wide", 1, 4) + w.Cells("top", 1, 4);
  ASSERT_TRUE(cells.starts_with("Ordner 000000001830 "));  // 1 + 2 + ... + 60
  // The longest time the window went without handling its events (a 5 ms
  // timer's ticks) while it was busy with the load.
  Clock::time_point last = Clock::now();
  Clock::duration longest{};
  QTimer ticks;
  QObject::connect(&ticks, &QTimer::timeout, [&] {
    if (w.form.IsBusy()) longest = std::max(longest, Clock::now() - last);
    last = Clock::now();
  });
  ticks.start(5);
  w.Load(slow.Root());
  EXPECT_EQ(w.Names(), fast);
  EXPECT_EQ(w.Cells("wide", 1, 4) + w.Cells("top", 1, 4), cells);
  // Every request takes 20 ms; a window that waited for one read after
  // another, or for a folder's sizes all at once, would stall for seconds.
  EXPECT_LT(longest, std::chrono::milliseconds(250));
}

TEST(SlowStorage, ACloseDuringALoadTakesEffectAtOnceAndKeepsNothingPartial) {
  FixtureTree tree;
  Build(tree, 40, 20, 0);
  const SlowMount slow(tree.Root(), 20);
  if (!slow.Skipped().empty()) GTEST_SKIP() << slow.Skipped();
  WindowDriver w;
  Clock::time_point closed;
  w.LoadWhile(slow.Root(),
              [&] { QTimer::singleShot(150, [&] { closed = Clock::now(), w.form.close(); }); });
  ASSERT_NE(closed, Clock::time_point());
  EXPECT_LT(Clock::now() - closed, std::chrono::seconds(1));
  EXPECT_TRUE(TallyrootModule::AbortScan);
  EXPECT_FALSE(w.load->isEnabled());  // the window is closing: nothing comes back
  EXPECT_EQ(TallyrootModule::CacheFind(slow.Root() + "/"), 0);
}

}  // namespace
