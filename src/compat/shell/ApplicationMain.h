// Process entry: prepares the process-wide services (the main run loop
// on this thread, the system log) and runs the application, whose return
// value becomes the exit status.
//
// Thread: call once, from the thread that started the process.
#pragma once

#include <functional>

namespace shell {

using ApplicationRun = std::function<int(int argc, char** argv)>;

int ApplicationMain(int argc, char** argv, const ApplicationRun& run);

}  // namespace shell
