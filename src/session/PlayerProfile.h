// The drive's `.is_audio_player` (the device-sync key=value file at its
// root), read as players and users write it, and the settings an export
// takes from it and from the command line. Thread: pure values, any
// thread; reads go through the file manager given. Errors: a bad line is
// a Problem with its number (the rest counts); an unreadable file a Status.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Status.h"

namespace fs {
class FileManager;
}

namespace session {

inline constexpr const char* kPlayerProfileFile = ".is_audio_player";

struct PlayerProfile {
  struct Problem {
    size_t line = 0;  // 1-based
    std::string why;
  };
  // A value and the line it came from (0: none).
  template <class T>
  struct At {
    T value{};
    size_t line = 0;
    explicit operator bool() const { return line != 0; }
  };
  At<std::vector<std::string>> audioFolders;   // below the root, no trailing slash
  At<std::vector<std::string>> outputFormats;  // as written (MIME types)
  At<std::vector<std::string>> playlistFormats;
  At<std::string> playlistFolder;  // below the root; "" for the root itself
  At<int> folderDepth;
  At<std::string> coverName, coverType;
  At<int> coverSize;
  std::vector<Problem> problems;
};

// The profile `text` describes; never fails (see Problem).
PlayerProfile parsePlayerProfile(std::string_view text);

// The profile at `root`/.is_audio_player: none when there is none.
base::Result<std::optional<PlayerProfile>> readPlayerProfile(fs::FileManager& files,
                                                             const std::string& root);

// Where a setting of the export came from.
struct Origin {
  enum class Kind { kDefault, kCommandLine, kProfile } kind = Kind::kDefault;
  size_t line = 0;           // kProfile: the line of .is_audio_player
  std::string text() const;  // "the command line", ".is_audio_player line 3", "the default"
};

// What one export uses, each with where it came from.
struct PlayerSettings {
  template <class T>
  struct From {
    T value{};
    Origin origin;
  };
  From<std::vector<std::string>> formats;  // --formats words
  From<std::string> playlistFormat;        // session::PlaylistFormat::named
  From<std::string> musicFolder;           // below the root
  From<std::string> playlistFolder;        // below the root
  From<std::string> coverName;
  From<std::string> coverType;                   // "jpeg", "png"
  From<int> coverSize;                           // pixels; 0: as the source has it
  std::vector<PlayerProfile::Problem> problems;  // of the profile read
  bool profileFound = false;
};

// The command line's choices (none: not given) over the profile's over
// the defaults.
struct AskedSettings {
  std::optional<std::vector<std::string>> formats;
  std::optional<std::string> playlistFormat;
};
PlayerSettings resolveSettings(const std::optional<PlayerProfile>& profile,
                               const AskedSettings& asked);

// The .is_audio_player text that says what `settings` are.
std::string profileText(const PlayerSettings& settings);

}  // namespace session
