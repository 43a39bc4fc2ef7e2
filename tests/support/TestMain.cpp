// Test entry: the test runner's thread is the main run loop's thread,
// and log lines stay off the terminal unless a test captures them.
#include <gtest/gtest.h>

#include "platform/Configuration.h"
#include "platform/Log.h"
#include "platform/RunLoop.h"

int main(int argc, char** argv, char** envp) {
  platform::setConfiguration(platform::Configuration::fromEnvironment(envp));
  testing::InitGoogleTest(&argc, argv);
  platform::MainRunLoop::shared().adoptCurrentThread();
  platform::setLogStderrMode(platform::StderrMode::kNever);
  return RUN_ALL_TESTS();
}
