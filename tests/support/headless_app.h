// The application tests and benchmarks run the window in: headless unless
// QT_QPA_PLATFORM names a platform, set up with the system as the program is.
#pragma once

#include <QApplication>

#include "walker/folder_listing.h"
#include "walker/system_setup.h"

namespace tallyroot::testing {

class HeadlessApplication : public QApplication {
 public:
  HeadlessApplication(int& argc, char** argv) : QApplication(Prepared(argc), argv) {}

 private:
  static int& Prepared(int& argc) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    platform::RaiseOpenFileLimit();
    platform::QuietCriticalErrors();
    return argc;
  }
};

}  // namespace tallyroot::testing
