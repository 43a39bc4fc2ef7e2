// Test entry: log lines stay off the terminal unless a test captures
// them; in the programs that test the compatibility classes, the test
// runner's thread is the main run loop's thread.
#include <gtest/gtest.h>

#include "base/Configuration.h"
#include "base/Log.h"
#ifdef TESSALINE_TEST_RUN_LOOP
#include "compat/runtime/RunLoop.h"
#endif

int main(int argc, char** argv, char** envp) {
  base::setConfiguration(base::Configuration::fromEnvironment(envp));
  testing::InitGoogleTest(&argc, argv);
#ifdef TESSALINE_TEST_RUN_LOOP
  platform::MainRunLoop::shared().adoptCurrentThread();
#endif
  base::setLogStderrMode(base::StderrMode::kNever);
  return RUN_ALL_TESTS();
}
