// Where the application's resources (string table, images, sample
// library) are read from: the configured folder (TESSALINE_RESOURCES)
// when set, else the
// share/tessaline folder beside the installed executable, else the
// source tree's resources/ folder the build was made from.
//
// Thread: safe from any thread.
#pragma once

#include <string>

namespace base {

// The program that draws (the window, the dock tile, the script bridge),
// installed in the same folder as the `tessaline` program that hands
// command lines over to it (cli/HandOver.h). Both run every command.
inline constexpr char kDrawingProgramName[] = "tessaline-qt";

std::string resourceDirectory();
std::string resourcePath(const std::string& name);

}  // namespace base
