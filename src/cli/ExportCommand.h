// `tessaline export`: one whole export of a library to a drive, in the
// order the application has always run it: load the catalogue, set the
// destination, show the plan (bytes per playlist, net total against the
// free space), confirm, copy with progress, cover images, playlist files,
// clean-up of stale files, and a closing summary.
//
// Exit status (CommandLine.h names them): 0 when everything was done, 1
// when something could not be done (each track, playlist file or stale
// file is listed with its reason), 2 for bad usage or input (a malformed
// library changes nothing anywhere), 3 when the export does not fit, 4
// when another export holds the destination, 5 when declined (--json
// without --yes asks nothing and declines), 130 when stopped (a signal,
// or standard output closed) at the next safe point. With --json a full
// report is printed whatever the status.
//
// The clean-up deletes only what the exporter wrote (its record on the
// drive says which files), its own unfinished copies, and folders those
// deletions leave empty; other stale files are listed as kept unless
// --clean-all is given. No clean-up runs while the library or any of its
// tracks lies inside the destination.
//
// Thread: main thread; it pumps the main run loop while background runs
// work.
#pragma once

#include "session/ExportOptions.h"

namespace CLI {
class App;
}

namespace app {

struct Services;

void registerExportCommand(CLI::App& cli, const Services& services);

// Runs one export; returns the exit status. Output goes to stdout (the
// plan, progress, summary) and stderr (problems).
int runExport(const ExportOptions& options, const Services& services);

}  // namespace app
