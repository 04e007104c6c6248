// Tallyroot: shows where the disk space under a folder goes.
#include <QApplication>
#include <QIcon>

#include "walker/folder_listing.h"
#include "walker/system_setup.h"
#include "window/form1.h"

int main(int argc, char* argv[]) {
  // One descriptor stays open per level of a walk.
  tallyroot::platform::RaiseOpenFileLimit();
  // A drive without a medium is a folder that cannot be read, not a question.
  tallyroot::platform::QuietCriticalErrors();
  QApplication app(argc, argv);  // takes Qt's own options; the program has none
  // The icon is compiled in. The installed desktop entry's name lets a Wayland
  // shell match the window to the entry, and so to the installed icon.
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/tallyroot.png")));
  QGuiApplication::setDesktopFileName(QStringLiteral("org.tallyroot.Tallyroot"));
  tallyroot::Form1 window;
  window.show();
  return app.exec();
}
