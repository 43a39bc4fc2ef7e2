// `tessaline player-profile [--write] DIR`: the .is_audio_player that
// says what an export to DIR uses now (the drive's own file under the
// options given), printed, or written into DIR's root with --write.
// Thread: main thread. Errors: a file there that the exporter did not
// write (or that was changed since) is never replaced: exit status 1.
#pragma once

#include <string>
#include <string_view>

namespace CLI {
class App;
}

namespace app {

struct Services;

void registerPlayerProfileCommand(CLI::App& cli, const Services& services);

// The text with the exporter's first line, which carries the checksum of
// the rest so that a later run tells its own file from one edited since.
std::string ownProfileText(const std::string& body);
// Whether `text` is the exporter's file, unchanged since it was written.
bool isOwnProfile(std::string_view text);

}  // namespace app
