// One main for window and model tests alike: every test program has a QApplication.
#include <gtest/gtest.h>

#include "tests/support/headless_app.h"

int main(int argc, char** argv) {
  tallyroot::testing::HeadlessApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
