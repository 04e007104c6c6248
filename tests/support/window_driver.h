// The main window driven as a person would: pasting into the path box,
// clicking buttons and headers, double-clicking rows. Controls are found by
// their names.
#pragma once

#include <gtest/gtest.h>

#include <QtTest>
#include <QtWidgets>

#include "list/name_text.h"
#include "window/form1.h"

// Failures show texts as text.
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}

namespace tallyroot::testing {

struct WindowDriver {
  Form1 form;
  FolderList& list = form.List();
  QLabel* root = form.findChild<QLabel*>("Label1");
  QLineEdit* path = form.findChild<QLineEdit*>("Text1");
  QPushButton* load = form.findChild<QPushButton*>("Command1");
  QTreeView* view = form.findChild<QTreeView*>("ListView1");
  QPushButton* up = form.findChild<QPushButton*>("Command2");

  // Message boxes the window showed, each dismissed at once so that a test
  // that meets one it did not expect fails instead of hanging in it. A test
  // that expects one takes it from here; any left over fail the test.
  QStringList dialogs;
  QTimer dismiss;

  WindowDriver() {
    QObject::connect(&dismiss, &QTimer::timeout, [this] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
        dialogs << box->text(), box->accept();
    });
    dismiss.start(5);
    form.resize(900, 600), form.show(), (void)QTest::qWaitForWindowExposed(&form);
  }
  ~WindowDriver() { EXPECT_EQ(dialogs.join(", "), "") << "message boxes nobody expected"; }
  // Replaces the path box's text, as a paste would, and clicks "load".
  void Load(const QString& text) { path->setText(text), QTest::mouseClick(load, Qt::LeftButton); }
  void Load(const std::string& folder) { Load(NameToText(folder)); }
  // Loads, and runs `during` from the listing's first event pass, which comes once a time slice has
  // gone by.
  void LoadWhile(const std::string& folder, const std::function<void()>& during) {
    path->setText(NameToText(folder));
    QTest::qWait(20);
    QTimer::singleShot(0, &form, during);
    QTest::mouseClick(load, Qt::LeftButton);
  }
  void Up() { QTest::mouseClick(up, Qt::LeftButton); }
  int Row(const std::string& name) const {  // 0 when not shown
    for (int row = 1; row <= list.rowCount(); ++row) {
      if (TextToName(list.Text(row)) == name) return row;
    }
    return 0;
  }
  void Open(const std::string& name) {  // a click on the row, then a double-click
    ASSERT_NE(Row(name), 0) << name;
    view->scrollTo(list.index(Row(name) - 1, 0));
    const QPoint at = view->visualRect(list.index(Row(name) - 1, 0)).center();
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, at);
  }
  void ClickHeader(int column) {
    const QHeaderView* header = view->header();
    const int x = header->sectionViewportPosition(column) + header->sectionSize(column) / 2;
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, header->height() / 2));
  }
  QString Names() const {  // in the order shown
    QStringList names;
    for (int row = 1; row <= list.rowCount(); ++row) names << list.Text(row);
    return names.join(" ");
  }
  std::string Cells(const std::string& name, int first, int last) const {  // sub-items first..last
    std::string cells;
    for (int k = first; Row(name) && k <= last; ++k)
      cells += std::string(list.SubItem(Row(name), k)) + " ";
    return cells;
  }
  bool Idle() const {
    return !form.IsBusy() && path->isEnabled() && load->isEnabled() && up->isEnabled();
  }
};

}  // namespace tallyroot::testing
