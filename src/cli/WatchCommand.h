// `tessaline watch`: exports the remembered playlists (export --remembered)
// to a Tessaline drive when it is plugged in, for the drives it was
// turned on for (--enable [DRIVE], --disable [DRIVE], --status; stored with
// the remembered choices, and the systemd user unit tessaline-watch.service
// enabled or disabled). It listens to udisks2 (drive/UdisksWatcher.h),
// mounts a watched volume that is not mounted, waits for the library file
// to settle, runs one export at a time in a child `tessaline export` (which
// takes the drive's lock), and says so on the desktop with Show and Eject.
// --once handles the drives attached now and ends.
//
// Thread: main thread only; SIGINT/SIGTERM end the watch between exports.
// Errors: logged to standard error (the journal under systemd); a drive
// whose export failed is not tried again until it is plugged in again.
#pragma once

namespace CLI {
class App;
}

namespace app {

struct Services;

void registerWatchCommand(CLI::App& cli, const Services& services);

}  // namespace app
