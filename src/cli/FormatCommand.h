// `tessaline format DRIVE [--fat32] [--any-drive] [--confirm NAME]`:
// erases a removable Tessaline drive through udisks2 (drive/UdisksFormatter.h)
// into one exFAT volume (FAT32 with --fat32 or up to 32 GiB) named as the
// product names its volumes, and mounts it. It first says what would be
// lost and asks for the volume's name (--confirm NAME answers ahead).
//
// Thread: main thread only.
// Errors: exit status 2 for a drive that must not be erased (the system's,
// not removable, not the product's), 4 while busy, 5 for a wrong or
// missing name, 1 when udisks2 failed; each message says why.
#pragma once

namespace CLI {
class App;
}

namespace app {

struct Services;

void registerFormatCommand(CLI::App& cli, const Services& services);

}  // namespace app
