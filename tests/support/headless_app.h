// The application tests and benchmarks run the window in: headless unless
// QT_QPA_PLATFORM names a platform, the open-file limit raised as the program's.
#pragma once

#include <QApplication>

#include "walker/folder_listing.h"

namespace tallyroot::testing {

class HeadlessApplication : public QApplication {
 public:
  HeadlessApplication(int& argc, char** argv) : QApplication(Prepared(argc), argv) {}

 private:
  static int& Prepared(int& argc) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    platform::RaiseOpenFileLimit();
    return argc;
  }
};

}  // namespace tallyroot::testing
