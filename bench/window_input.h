// Driving the main window as its user does, for the benchmarks that run it
// offscreen: its controls found by name, and real clicks on its rows.
#pragma once

#include <QAbstractItemModel>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeView>
#include <QWidget>
#include <cstdio>
#include <cstdlib>

namespace tallyroot::bench {

// The control called `name`; ends the benchmark when the window has none.
template <typename Widget>
Widget* Child(QWidget& form, const char* name) {
  auto* widget = form.findChild<Widget*>(QString::fromLatin1(name));
  if (!widget) {
    std::fprintf(stderr, "the window has no %s\n", name);
    std::exit(1);
  }
  return widget;
}

// The window's controls, shown offscreen (or wherever QT_QPA_PLATFORM says).
struct ShownWindow {
  explicit ShownWindow(QWidget& window) : form(window) {
    form.show();
    if (!QTest::qWaitForWindowExposed(&form)) std::fprintf(stderr, "window not exposed\n");
  }
  QWidget& form;
  QLineEdit* const text1 = Child<QLineEdit>(form, "Text1");
  QPushButton* const command1 = Child<QPushButton>(form, "Command1");
  QPushButton* const command2 = Child<QPushButton>(form, "Command2");
  QLabel* const label1 = Child<QLabel>(form, "Label1");
  QTreeView* const list = Child<QTreeView>(form, "ListView1");
};

inline bool IsFolderRow(const QAbstractItemModel& model, int row) {
  return model.index(row, 1).data().toString() == QStringLiteral("Ordner");
}

// A real double-click on the row, as the user gives it: press, release,
// then the double-click.
inline void DoubleClick(QTreeView& view, const QModelIndex& index) {
  view.scrollTo(index);
  view.selectionModel()->setCurrentIndex(
      index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  const QPoint at = view.visualRect(index).center();
  QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, at);
  QTest::mouseDClick(view.viewport(), Qt::LeftButton, {}, at);
  QTest::mouseRelease(view.viewport(), Qt::LeftButton, {}, at);
}

}  // namespace tallyroot::bench
