// What the drive is to hold once an export is done, worked out once from
// plain values: each playlist file the exporter keeps (written now, or
// kept as it stands) with its entries, and so which copies are needed.
// The copy, the playlist writer, the covers and the clean-up all read this
// one value; none decides "listed" or "needed" by a rule of its own.
//
// Thread: pure functions, any thread. Errors: none; an entry that names
// nothing below the drive's music folder is left out of `needed`.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "base/TextHash.h"
#include "session/Plan.h"
#include "session/StaleWalk.h"

namespace session {

struct TargetFile {
  std::string relative;  // below the drive's root: "Playlists/Road Trip.m3u8"
  // The snapshot playlist written now, or kKeptAsItIs for a file of the
  // exporter's that this export leaves as it stands.
  static constexpr uint32_t kKeptAsItIs = UINT32_MAX;
  uint32_t playlist = kKeptAsItIs;
  // Written now: the snapshot tracks it lists (repeats kept) once on the
  // drive. Kept as it is: the paths it lists, relative to the music folder.
  std::vector<uint32_t> entries;
  std::vector<std::string> keptEntries;
  std::string keptText;  // kept as it is: its text
};

struct Target {
  std::vector<TargetFile> files;
  // By snapshot track: listed by a file written now (checked, or every
  // track with copyOnlyChecked off, and placed).
  std::vector<uint8_t> listed;
  // walkKey()s of every path below the music folder that a kept file
  // lists or a file written now will list: nothing there is stale.
  base::TextSet needed;
};

// Whether a playlist file lists the track, by the one rule every step
// shares: unchecked tracks are neither copied nor listed unless asked.
inline bool listable(const SnapshotTrack& t, bool copyOnlyChecked) {
  return !t.destination.empty() && (t.enabled || !copyOnlyChecked);
}

// `written`: each file written now (relative path, snapshot playlist);
// `kept`: each file kept as it stands (relative path, its text); `music`:
// the music folder below the root ("Music"); `known`: walk keys made
// already, by destination.
Target targetOf(const Snapshot& snapshot,
                const std::vector<std::pair<std::string, uint32_t>>& written,
                const std::vector<std::pair<std::string, std::string>>& kept, bool copyOnlyChecked,
                const std::string& root, std::string_view music, const KnownKeys* known = nullptr);

// The text of a playlist file without the entries (and their #EXTINF
// lines) whose path below the root `plays` says no to, asked for every
// entry in the music folder and every relative one elsewhere on the
// drive (a folder an earlier profile named); every other line as it
// stands.
std::string withoutEntries(std::string_view text, bool windows1252, std::string_view folder,
                           const std::string& root, std::string_view music,
                           const std::function<bool(const std::string&)>& plays);

// The folder of a path below the root: "" for one at the root itself.
inline std::string_view folderOf(std::string_view relative) {
  size_t slash = relative.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : relative.substr(0, slash);
}

// The paths relative to the music folder that a playlist file's text
// names, as a player resolves them: relative to `folder` (the playlist
// file's folder, relative to the root; "" for the root), from the drive's root ("/Music/..."), or
// absolute below `root`. ".m3u" files (windows1252) use "\" between
// folders. Entries outside the music folder (`music`, below the root)
// are left out.
std::vector<std::string> musicEntriesOf(std::string_view text, bool windows1252,
                                        std::string_view folder, const std::string& root,
                                        std::string_view music);
// The same entries as paths below the root, wherever on the drive they
// lie; those that leave the drive are left out.
std::vector<std::string> driveEntriesOf(std::string_view text, bool windows1252,
                                        std::string_view folder, const std::string& root);

}  // namespace session
