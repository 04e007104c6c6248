// Test programs run with a QApplication, so that window tests and model
// tests can share one main. Set QT_QPA_PLATFORM=offscreen to run headless.
#include <gtest/gtest.h>

#include <QApplication>

#include "walker/folder_listing.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  tallyroot::platform::RaiseOpenFileLimit();
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
