// How the `tessaline` program reaches the program that draws. It is
// built without Qt, so that the commands that never draw (export,
// playlists, drives, diskutil, help) start without loading Qt and the
// libraries only Qt needs; a command line that draws is handed whole to
// `tessaline-qt` in the same folder (base/Resources.h), which runs it
// with the same arguments and environment in this process's place.
//
// Thread: main thread, before any other thread is started.
// Errors: when the program that draws cannot be run, standard error says
// which file and why ("tessaline: cannot run /usr/bin/tessaline-qt,
// which this command needs: No such file or directory") and the exit
// status is 127 for a missing file, 126 otherwise, as a shell's.
#pragma once

#include <functional>

#include "cli/DrawingCommands.h"

namespace app {

// Replaces this process by the program that draws, found beside this
// executable (/proc/self/exe), run with `argv` and `envp`. What this
// process wrote is flushed first. Returns only when that fails: the exit
// status to end with, the message shown.
int handOverToDrawingProgram(char* const* argv, char* const* envp);

// Drawing commands that each call `handOver` and end with what it
// returns.
DrawingCommands drawingCommandsHandedOver(std::function<int()> handOver);

}  // namespace app
