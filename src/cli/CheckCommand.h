// `tessaline check [DIR] [--fast] [--json] [-v]`: the drive compared with
// the exporter's record of what it wrote (session/DriveCheck.h), rendered
// as text grouped by finding, or as one JSON report. Without DIR, the
// remembered drive volume (export --drive NAME remembers one).
//
// Exit status: 0 when everything the exporter wrote is as it wrote it
// (files it did not write are reported but change nothing), 1 when
// something of its own is damaged, changed, missing, named by a playlist
// entry that resolves to nothing, or cannot be held by the drive's file
// system, 2 for usage errors.
//
// Thread: main thread only.
#pragma once

namespace CLI {
class App;
}

namespace app {

struct Services;

void registerCheckCommand(CLI::App& cli, const Services& services);

}  // namespace app
