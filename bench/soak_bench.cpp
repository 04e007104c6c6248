// soak_bench [ROOT] [--moves N] [--seed N]: memory over a long session.
//
// Loads ROOT (default /tmp/tallyroot-bench-500k) in the main window
// offscreen, then makes N (default 1000) random moves as a user would: a
// double-click on a random folder row, the up button, or a click on a random
// column header, each chosen with equal chance among those possible where the
// window stands. Reports resident memory after the first load, every 100
// moves and at the end; the end must stay within 10% of the first figure
// (nothing the moves make may pile up). Every move must take effect and leave
// the window idle; the run fails otherwise.
#include <QTest>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_random.h"
#include "bench/bench_support.h"
#include "tests/support/headless_app.h"
#include "tests/support/window_input.h"

namespace {

namespace bench = tallyroot::bench;

// Resident memory once the events a move left behind have been handled.
long SettledResidentKiB() {
  QTest::qWait(50);
  return bench::ResidentKiB();
}

}  // namespace

int main(int argc, char** argv) {
  tallyroot::testing::HeadlessApplication app(argc, argv);
  const std::string root = bench::TreeRoot(argc, argv);
  const long moves = bench::NumberAfter(argc, argv, "--moves", 1000);
  bench::SplitMix64 random(static_cast<std::uint64_t>(bench::NumberAfter(argc, argv, "--seed", 1)));
  const QString rootText = QString::fromStdString(root + '/');
  std::printf("soak_bench %s, %ld moves\n", root.c_str(), moves);
  bench::WarnIfBusy();

  tallyroot::testing::WindowInput w(QSize(900, 600));
  const long shownKiB = SettledResidentKiB();

  w.path->setText(rootText);
  const double firstSeconds = bench::Seconds([&] { w.load->click(); });
  if (w.root->text() != rootText || w.list.Count() == 0 || w.form.IsBusy()) {
    std::printf("FAILED: the root was not listed (make the tree with make_tree)\n");
    return 1;
  }
  const long loadedKiB = SettledResidentKiB();
  std::printf(
      "first load %s; resident %.1f MB with the window shown, %.1f MB after the first load\n",
      bench::Duration(firstSeconds).c_str(), shownKiB / 1024.0, loadedKiB / 1024.0);

  long downs = 0, ups = 0, sorts = 0, failed = 0;
  bench::Series times;
  for (long move = 1; move <= moves; ++move) {
    std::vector<int> folders;
    for (int row = 1; row <= w.list.Count(); ++row) {
      if (!w.list.Tag(row).isEmpty()) folders.push_back(row);
    }
    const QString before = w.path->text();
    const bool canGoUp = before != rootText;
    std::vector<char> choices = {'s'};
    if (!folders.empty()) choices.push_back('d');
    if (canGoUp) choices.push_back('u');
    bool took = false;
    switch (choices[random.Below(choices.size())]) {
      case 'd': {
        const int row = folders[random.Below(folders.size())];
        times.Time([&] { w.DoubleClick(row); });
        took = w.path->text() != before && w.path->text().startsWith(before);
        ++downs;
        break;
      }
      case 'u':
        times.Time([&] { w.up->click(); });
        took = w.path->text() != before && before.startsWith(w.path->text());
        ++ups;
        break;
      default: {
        const int column = static_cast<int>(random.Below(5));
        times.Time([&] { w.ClickHeader(column); });
        took = w.view->header()->sortIndicatorSection() == column;
        ++sorts;
      }
    }
    if (!took || w.form.IsBusy() || !w.path->isEnabled()) ++failed;
    if (move % 100 == 0) {
      std::printf("  after %4ld moves: resident %.1f MB, at %s\n", move,
                  SettledResidentKiB() / 1024.0, w.path->text().toUtf8().constData());
    }
  }

  const long endKiB = SettledResidentKiB();
  const double growth = static_cast<double>(endKiB) / static_cast<double>(loadedKiB);
  std::printf("moves: %ld double-clicks, %ld ups, %ld column clicks; median %s, slowest %s\n",
              downs, ups, sorts, bench::Duration(times.Wall()).c_str(),
              bench::Duration(*std::max_element(times.wall.begin(), times.wall.end())).c_str());
  std::printf(
      "resident after the moves / after the first load: %.1f / %.1f MB = %.3f (target <= 1.10)%s\n",
      endKiB / 1024.0, loadedKiB / 1024.0, growth, growth <= 1.10 ? "" : "  MISSED");
  std::printf("peak resident %.1f MB\n", bench::PeakResidentKiB() / 1024.0);
  if (failed > 0) {
    std::printf("FAILED: %ld moves did not take effect or left the window busy\n", failed);
    return 1;
  }
  return 0;
}
