// Test programs run with a QApplication, so that window tests and model
// tests can share one main; headless unless QT_QPA_PLATFORM names a platform.
#include <gtest/gtest.h>

#include "tests/support/headless_app.h"

int main(int argc, char** argv) {
  tallyroot::testing::HeadlessApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
