// `tessaline eject [DRIVE]`: flushes, unmounts and powers off a Tessaline
// drive's volume through udisks2 (drive/UdisksEjector.h), so that it can
// be unplugged; DRIVE is a volume's title as `tessaline drives` shows it,
// its mount point or its device, and by default the preselected volume.
//
// Thread: main thread only.
// Errors: exit status 1 when the volume could not be unmounted or the
// drive not powered off (busy, udisks2 absent, refused), 2 for a DRIVE
// that names no Tessaline volume; the message says which and why.
#pragma once

namespace CLI {
class App;
}

namespace app {

struct Services;

void registerEjectCommand(CLI::App& cli, const Services& services);

}  // namespace app
