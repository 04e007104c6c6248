// Tallyroot: shows where the disk space under a folder goes.
#include <QApplication>

#include "folder_listing.h"
#include "form1.h"

int main(int argc, char* argv[]) {
  // One descriptor stays open per level of a walk.
  tallyroot::platform::RaiseOpenFileLimit();
  QApplication app(argc, argv);  // takes Qt's own options; the program has none
  tallyroot::Form1 window;
  window.show();
  return app.exec();
}
