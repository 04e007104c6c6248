// The window over a FUSE mirror that answers every request after a delay.
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

// 60 files in one folder: more than a work item of size reads, whose sizes could be held back.
TEST(SlowStorage, TheWindowShowsWhatTheFolderHoldsKeepsAnsweringAndClosesAtOnce) {
  FixtureTree tree;
  for (int i = 0; i < 800; ++i)
    tree.File("d" + std::to_string(i / 20) + "/sub/f" + std::to_string(i % 20), i);
  for (int i = 0; i < 60; ++i) tree.File("wide/w" + std::to_string(i), i + 1);
  tree.File("top", 7);
  const SlowMount slow(tree.Root(), 20);
  if (!slow.Skipped().empty()) GTEST_SKIP() << slow.Skipped();
  WindowDriver w;
  w.Load(tree.Root());
  const QString fast = w.Names();
  const std::string cells = w.Cells("wide", 1, 4) + w.Cells("top", 1, 4);
  ASSERT_TRUE(cells.starts_with("Ordner 000000001830 "));  // 1 + 2 + ... + 60
  Clock::time_point last = Clock::now();
  Clock::duration longest{};  // without a 5 ms timer's tick while the load ran
  QTimer ticks;
  QObject::connect(&ticks, &QTimer::timeout, [&] {
    if (w.form.IsBusy()) longest = std::max(longest, Clock::now() - last);
    last = Clock::now();
  });
  ticks.start(5);
  w.Load(slow.Root());
  EXPECT_EQ(w.Names(), fast);
  EXPECT_EQ(w.Cells("wide", 1, 4) + w.Cells("top", 1, 4), cells);
  EXPECT_LT(longest, std::chrono::milliseconds(250));  // not seconds of 20 ms requests in turn

  TallyrootModule::CacheCreate();  // measured again, and closed 150 ms in
  Clock::time_point closed;
  w.LoadWhile(slow.Root(),
              [&] { QTimer::singleShot(150, [&] { closed = Clock::now(), w.form.close(); }); });
  ASSERT_NE(closed, Clock::time_point());
  EXPECT_LT(Clock::now() - closed, std::chrono::seconds(1));
  EXPECT_TRUE(TallyrootModule::AbortScan);
  EXPECT_FALSE(w.load->isEnabled());  // the window is closing: nothing comes back
}

}  // namespace
