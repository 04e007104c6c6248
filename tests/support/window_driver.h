// The main window driven as a person would: pasting paths, clicking buttons, opening rows by name.
#pragma once

#include <gtest/gtest.h>

#include "list/name_text.h"
#include "tests/support/window_input.h"

inline void PrintTo(const QString& s, std::ostream* out) { *out << '"' << s.toStdString() << '"'; }

namespace tallyroot::testing {

struct WindowDriver : WindowInput {
  QStringList dialogs;  // boxes dismissed at once, so an unexpected one fails instead of hanging
  QTimer dismiss;

  WindowDriver() : WindowInput(QSize(900, 600)) {
    QObject::connect(&dismiss, &QTimer::timeout, [this] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
        dialogs << box->text(), box->accept();
    });
    dismiss.start(5);
  }
  ~WindowDriver() { EXPECT_EQ(dialogs.join(", "), "") << "message boxes nobody expected"; }
  void Load(const QString& text) { path->setText(text), Click(load); }  // as a paste would
  void Load(const std::string& folder) { Load(NameToText(folder)); }
  // Runs `during` from the listing's first event pass (after a time slice).
  void LoadWhile(const std::string& folder, const std::function<void()>& during) {
    path->setText(NameToText(folder)), QTest::qWait(20);
    QTimer::singleShot(0, &form, during), Click(load);
  }
  void Up() { Click(up); }
  int Row(const std::string& name) const {  // 0 when not shown
    for (int row = 1; row <= list.rowCount(); ++row)
      if (TextToName(list.Text(row)) == name) return row;
    return 0;
  }
  void Open(const std::string& name) {  // a click on the row, then a double-click
    ASSERT_NE(Row(name), 0) << name;
    DoubleClick(Row(name));
  }
  QString Names() const {  // in the order shown
    QStringList names;
    for (int row = 1; row <= list.rowCount(); ++row) names << list.Text(row);
    return names.join(" ");
  }
  QStringList Where() const { return {path->text(), root->text(), Names()}; }
  std::string Cells(const std::string& name, int first, int last) const {  // sub-items first..last
    std::string cells;
    for (int k = first; Row(name) && k <= last; ++k)
      cells += std::string(list.SubItem(Row(name), k)) + " ";
    return cells;
  }
};

}  // namespace tallyroot::testing
