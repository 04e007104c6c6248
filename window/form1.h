// Form1: the program's only window. A path box and a "load" button, the
// root label, the folder list and the up button; the commands behind them
// turn user actions into listings, always through ShowFolder and always with
// the path that the path box holds at that moment.
//
// Re-entry during a listing, or while the file system is asked for a typed
// path's letter case (whose event passes let the window's events through),
// is kept out by plain flags: the path box and both buttons are
// disabled, Busy makes double-clicks inert, SuppressPathChange tells the
// program's own writes to the path box from user edits, and closing the
// window sets AbortScan, which stops every walk at its next test.
#pragma once

#include <QWidget>

#include "analysis/event_pass.h"
#include "analysis/listing_window.h"
#include "list/folder_list.h"
#include "window/form_layout.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTreeView;

namespace tallyroot {

class Form1 : public QWidget, public TallyrootModule::ListingWindow {
  Q_OBJECT

 public:
  explicit Form1(QWidget* parent = nullptr);
  ~Form1() override;

  // Lists one folder: its rows, sizes, totals and shares.
  void ShowFolder(const QString& path);

  bool IsBusy() const { return Busy; }
  const SizeLimits& Limits() const { return limits_; }

  // TallyrootModule::ListingWindow
  QString PathText() const override;
  QString RootText() const override;
  FolderList& List() override { return list_; }
  void PassEvents() override { eventPass_(); }
  void PassEventsWhileWaiting() override { eventPass_.RunIfDue(); }

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  friend struct WidgetControls;

  void Form_Load();
  void Form_Resize();
  void Command1_Click();
  void Command2_Click();
  void ListView1_DblClick();
  void Text1_Change();
  void ListView1_ColumnClick(int index);
  void Form_Unload();

  void SetPathText(const QString& text);  // a write of the program's own
  void SetRootText(const QString& root);  // the root label, and what a screen reader says of it
  void SetIdle(bool idle);  // the path box and both buttons usable, Busy cleared; or the reverse
  void ListFolder(const QString& path);     // ShowFolder, and what its error leaves
  void ShowReadState(const QString& path);  // in the title, when the listed folder was unreadable
  void ShowSortIndicator();
  int Twips(double twips) const;

  QLabel* Label1;
  QLineEdit* Text1;
  QPushButton* Command1;
  QTreeView* ListView1;
  QPushButton* Command2;

  FolderList list_;
  TallyrootModule::ThrottledEventPass eventPass_{list_};
  SizeLimits limits_{};
  bool SuppressPathChange = false;
  bool Busy = false;
};

}  // namespace tallyroot
