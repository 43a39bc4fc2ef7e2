// The copy's progress on the dock tile, for the command line that runs in
// the drawing program: a copy on the main thread draws it, a window's
// copy (on its worker) draws nothing here, since the window draws its own.
// Thread: the sink is made and used on the copy's thread.
#pragma once

#include <functional>
#include <memory>

#include "session/ExportSession.h"

namespace app {

std::function<std::shared_ptr<ProgressSink>()> dockTileProgress();

}  // namespace app
