// Headless unless QT_QPA_PLATFORM names a platform; the system set up as the program does.
#pragma once

#include <QApplication>

#include "walker/folder_listing.h"
#include "walker/system_setup.h"

namespace tallyroot::testing {

class HeadlessApplication : public QApplication {
  static int& Prepared(int& argc) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    platform::RaiseOpenFileLimit();
    platform::QuietCriticalErrors();
    return argc;
  }

 public:
  HeadlessApplication(int& argc, char** argv) : QApplication(Prepared(argc), argv) {}
};

}  // namespace tallyroot::testing
