#include "compat/shell/ApplicationMain.h"

#include <exception>
#include <iostream>

#include "base/StopSignals.h"
#include "compat/runtime/Exception.h"
#include "compat/runtime/RunLoop.h"
#include "compat/shell/stAutoReleasePool.h"

namespace shell {

int ApplicationMain(int argc, char** argv, const ApplicationRun& run) {
  platform::MainRunLoop::shared().adoptCurrentThread();
  // A reader that goes away (`tessaline export | head`) is something the
  // run notices and answers, not a silent death.
  base::ignoreBrokenPipes();
  // The outermost scope of the main thread: what the run leaves in it is
  // released before the process ends.
  stAutoReleasePool pool;
  try {
    return run(argc, argv);
  } catch (const platform::Exception& e) {
    std::cerr << "tessaline: " << e.name() << ": " << e.reason() << "\n";
  } catch (const std::exception& e) {
    std::cerr << "tessaline: " << e.what() << "\n";
  }
  return 70;  // internal software error
}

}  // namespace shell
