// `tessaline playlists [--library FILE] [--json]`: the playlists of a
// library, to choose what to export: each with its track count, the size
// of its files, whether it is built-in (the whole library, Music,
// Movies...; an export of all playlists leaves those out), and the folder
// it lies in. Folders are listed too: naming one with `export
// --playlist` exports the playlists inside it.
//
// Thread: main thread only.
// Errors: a library that cannot be read prints why and exits with 2.
#pragma once

namespace CLI {
class App;
}

namespace app {

struct Services;

void registerPlaylistsCommand(CLI::App& cli, const Services& services);

}  // namespace app
