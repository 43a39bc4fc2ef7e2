// How code below the interface layer makes a dock progress bar: the
// application installs a factory (the dock tile's indicator), tests
// install a fake. Without a factory no bar is made and callers go on
// without one.
//
// Thread: install once before use; make from any thread (the bar itself
// is then used on the main thread only).
#pragma once

#include <functional>
#include <memory>

#include "compat/drawing/ProgressIndicator.h"

namespace platform {

using ProgressIndicatorFactory = std::function<std::shared_ptr<ProgressIndicator>()>;

void setDockProgressIndicatorFactory(ProgressIndicatorFactory factory);
std::shared_ptr<ProgressIndicator> makeDockProgressIndicator();

}  // namespace platform
