// Where the application's resources (string table, images, sample
// library) are read from: the configured folder (TESSALINE_RESOURCES)
// when set, else the
// share/tessaline folder beside the installed executable, else the
// source tree's resources/ folder the build was made from.
//
// Thread: safe from any thread.
#pragma once

#include <string>

namespace platform {

std::string resourceDirectory();
std::string resourcePath(const std::string& name);

}  // namespace platform
