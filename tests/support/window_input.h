// The main window shown, its controls found by name, and clicks as a person gives them.
#pragma once

#include <QtTest>
#include <QtWidgets>

#include "window/form1.h"

namespace tallyroot::testing {

struct WindowInput {
  Form1 form;
  FolderList& list = form.List();
  QLabel* const root = form.findChild<QLabel*>("Label1");
  QLineEdit* const path = form.findChild<QLineEdit*>("Text1");
  QPushButton* const load = form.findChild<QPushButton*>("Command1");
  QTreeView* const view = form.findChild<QTreeView*>("ListView1");
  QPushButton* const up = form.findChild<QPushButton*>("Command2");

  explicit WindowInput(QSize size = {}) {
    if (!root || !path || !load || !view || !up) qFatal("a control of Form1 has another name");
    if (size.isValid()) form.resize(size);
    form.show();
    if (!QTest::qWaitForWindowExposed(&form)) qWarning("the window was not exposed");
  }

  void Click(QPushButton* button) { QTest::mouseClick(button, Qt::LeftButton); }
  void DoubleClick(int row) {  // 1-based as the list counts; a click first, as a person does
    const QModelIndex index = list.index(row - 1, 0);
    view->scrollTo(index);
    const QPoint at = view->visualRect(index).center();
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, at);
  }
  void ClickHeader(int column) {  // 0-based, as Qt counts
    const QHeaderView* header = view->header();
    const int x = header->sectionViewportPosition(column) + header->sectionSize(column) / 2;
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, header->height() / 2));
  }
  bool Idle() const {
    return !form.IsBusy() && path->isEnabled() && load->isEnabled() && up->isEnabled();
  }
};

}  // namespace tallyroot::testing
