// The command line: `tessaline [--version] COMMAND ...`. Each command
// registers its options and its run function on the CLI11 application.
//
// Thread: main thread only.
// Errors: bad usage prints a message and yields exit status 2.
#pragma once

#include <string>

#include "cli/DrawingCommands.h"

namespace CLI {
class App;
class Option;
}

namespace app {

struct Services;

// The commands that draw run what `drawing` gives them.
int runCommandLine(int argc, char** argv, const DrawingCommands& drawing, const Services& services);

// The options several commands take, named once; each command words
// what they mean for it.
CLI::Option* addLibraryOption(CLI::App& command, std::string& file, const std::string& description);
// --music-dir DIR, for the relative entries of a folder of playlists.
CLI::Option* addMusicDirOption(CLI::App& command, std::string& folder);
CLI::Option* addToOption(CLI::App& command, std::string& folder, const std::string& description);
CLI::Option* addJsonFlag(CLI::App& command, bool& json, const std::string& description);

// Exit statuses shared by the commands.
inline constexpr int kExitOk = 0;
inline constexpr int kExitPartial = 1;  // finished, but something failed or was left out
inline constexpr int kExitUsage = 2;
inline constexpr int kExitDoesNotFit = 3;
inline constexpr int kExitBusy = 4;  // another export holds the destination
inline constexpr int kExitDeclined = 5;
inline constexpr int kExitInterrupted = 130;  // 128 + SIGINT, as a shell reports it

}  // namespace app
