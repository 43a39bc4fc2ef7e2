// Where an export puts things on the drive, as paths relative to the
// drive's root:
// - tracks under "Music": below it, the file's path relative to the
//   library's media folder ("Music Folder") when the file lies under it,
//   else "<album artist or artist>/<album>/<file name>". The media
//   folder's own "Music" folder is not repeated: its tracks go straight
//   to "Music/<artist>/...", while other kinds keep their folder
//   ("Music/Podcasts/...");
// - playlist files in "Playlists" (or the folder the drive's
//   .is_audio_player names), named after the playlist.
// Every component is made safe for FAT32 and exFAT and for players that
// read playlist entries as URIs: \ / : * ? " < > | # % and typographic
// double quotes become "_" ("$", ";" and "'" stay), the name is composed
// (NFC), control characters and bytes that are not UTF-8 become "_",
// leading dots (which would hide it) and trailing dots and blanks go,
// reserved device names (CON, NUL, COM1, ...) get a leading "_", and
// names longer than 255 bytes (so also 255 UTF-16 units) are shortened
// keeping their extension. No component is empty, "." or "..", so a path
// never leaves the root. The script's own cleaner
// (ui::ImageViewIconSetter::sanitizeFileName) is not this one.
//
// One layout object hands out paths for one export: no two of its paths
// name the same file on a case-insensitive drive, also when they differ
// only in case or Unicode composition (compared as base::unicode
// upper(nfd(...))). A later track whose path is taken gets " (2)", " (3)"
// ... before its extension; a folder keeps the spelling it was first given.
// A track the drive already holds keeps its path (see keep()): numbers go
// to new tracks only; a path the drive spells decomposed, or as the
// layout named it before, is given its new spelling, and the caller
// renames the file (LibraryPaths::renamedFrom). The result depends only on
// the inputs and their order.
//
// Thread: a layout object is not shared; the static functions are pure.
// Errors: none; every input gives a usable path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/TextHash.h"
#include "library/LibraryReader.h"

namespace app {

class DestinationLayout {
 public:
  static constexpr const char* kMusicFolder = "Music";
  static constexpr const char* kPlaylistFolder = "Playlists";
  static constexpr const char* kPlaylistExtension = ".m3u8";
  // The cover image an album folder holds, which no clean-up counts,
  // unless the drive's .is_audio_player names another.
  static constexpr const char* kArtFileName = "folder.jpg";
  static constexpr size_t kMaxNameBytes = 255;

  // mediaFolder: the library's decoded "Music Folder" path; may be empty.
  explicit DestinationLayout(std::string mediaFolder = {});

  // The track's path relative to the drive root, e.g. "Music/Artist/Album/01 A.mp3".
  // `kept`: where the drive already holds this track (relative to the
  // root); it stays there while that is the track's own name or one of its
  // numbered ones, so a track on the drive is never renamed because
  // others came or went. Reserve such paths first (keep()). `moved` says
  // whether the track is to move from `kept` to the path returned: kept
  // spelled decomposed, or named as the layout named it before it kept
  // "$" and ";" and dropped leading dots.
  // `key`, when given, receives the path's collisionKey() where the
  // placing made it, and is cleared where it did not.
  std::string trackPath(const LibraryTrack& track, std::string_view kept = {},
                        bool* moved = nullptr, std::string* key = nullptr);
  // Holds `path` (relative to the root) and its folders' spellings for
  // the track that has it, before any other track is placed. `key`, when
  // given, is its collisionKey() (the drive's record holds it made).
  void keep(std::string_view path, std::string_view key = {});

  // The playlist's file name without ".m3u8" (the playlist writer adds
  // it), to be placed in kPlaylistFolder. Unique among this layout's
  // playlist names.
  std::string playlistFileName(std::string_view playlistName);

  // One path component made safe; `reserve` bytes are kept free for an
  // ending the caller adds (".m3u8").
  static std::string safeComponent(std::string_view name, size_t reserve = 0);
  // A component as the layout spelled it before names were composed and
  // kept "$" and ";" and their leading dots.
  static std::string legacyComponent(std::string_view name);

  // "name (n).ext" (or "name (n)" without keepExtension) from a safe
  // name, shortened to fit when needed.
  static std::string numbered(std::string_view safeName, int n, size_t reserve = 0,
                              bool keepExtension = true);

  // #EXTINF's duration: whole seconds, rounded, from milliseconds; "-1"
  // when unknown or negative.
  static std::string durationText(std::optional<int64_t> totalTimeMs);

  // The comparison key for names on a case-insensitive drive.
  static std::string collisionKey(std::string_view path);

  // The paths of a whole library, laid out in its own order so that they
  // do not change with the playlists chosen: each track's path relative
  // to the drive's kMusicFolder, by persistent ID, and the file name of
  // every playlist an export of all playlists writes, by persistent ID.
  // The command line and scripts (through the bridge) both use it, so
  // the two never lay the same library out differently.
  // With `only`, paths are kept for those tracks alone and the tracks after
  // the last of them in library order are not laid out: a later track
  // never changes an earlier one's path (it is the one numbered, and a
  // folder keeps its first spelling), so the paths are the same.
  struct LibraryPaths {
    std::unordered_map<std::string, std::string> tracks;
    std::unordered_map<std::string, std::string> playlists;
    // Kept tracks the drive holds under another spelling (see
    // trackPath()): the drive's path, by persistent ID (tracks holds the
    // new one).
    std::unordered_map<std::string, std::string> renamedFrom;
  };
  // With `kept` (track persistent ID -> path relative to the music folder,
  // from the drive's record, and the collisionKey() of kMusicFolder/path
  // when the record has it), tracks already on the drive keep their
  // paths and collision numbers go to the others.
  struct KeptPath {
    std::string_view path, key;
  };
  using KeptPaths = std::unordered_map<std::string_view, KeptPath, base::TextHash, std::equal_to<>>;
  static LibraryPaths forLibrary(const Library& library,
                                 const std::unordered_set<std::string_view>* only = nullptr,
                                 const KeptPaths* kept = nullptr);
  // The same laid out for a caller that knows its tracks by their place in
  // library.tracks: `only[i]` says whether the i-th track is wanted (every
  // one without `only`), and its path comes at tracks[i]. The tracks'
  // persistent IDs are unique (as a library read has them).
  struct LibraryPlaces {
    std::vector<std::optional<std::string>> tracks;  // by place; none: not wanted
    // By place too: the walk key (session::walkKey()) of the path in
    // tracks, where the layout had it made; empty where it had not.
    std::vector<std::string> keys;
    std::unordered_map<std::string, std::string> playlists;
    std::unordered_map<std::string, std::string> renamedFrom;  // as in LibraryPaths
  };
  static LibraryPlaces forLibraryByPlace(const Library& library,
                                         const std::vector<uint8_t>* only = nullptr,
                                         const KeptPaths* kept = nullptr);

 private:
  // Views of the track's texts and of the program's constants, into
  // `parts` (its earlier contents go).
  void relativeComponents(const LibraryTrack& track, std::vector<std::string_view>& parts) const;
  // The folder `name` below `parent` (whose collisionKey() is
  // `parentKey`), and its own key.
  std::pair<std::string, std::string> placeFolder(const std::string& parent,
                                                  const std::string& parentKey,
                                                  const std::string& name);

  // Looked up by any text, without making a string of it.
  using TextHash = base::TextHash;
  struct TextEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
  };
  using TextSet = std::pmr::unordered_set<std::pmr::string, TextHash, TextEqual>;
  using TextMap = std::pmr::unordered_map<std::pmr::string, std::pmr::string, TextHash, TextEqual>;

  std::vector<std::string> mediaFolderKeys_, mediaFolderParts_;
  // What a layout learns grows with the library and is dropped all at
  // once: hundreds of thousands of small strings, allocated from one arena
  // instead of one by one.
  std::pmr::monotonic_buffer_resource arena_;
  // A placed folder with its collision key: a file's key is the folder's,
  // "/" and the name's, when the folder is UTF-8 (folding works on
  // whole valid texts only, so another folder's key is made whole).
  struct PlacedFolder {
    std::pmr::string spelling, key;
    bool foldsByComponent = false;
  };
  std::pmr::unordered_map<std::pmr::string, PlacedFolder, TextHash, TextEqual> placedFolders_{
      &arena_};  // source names -> folder
  // Reused from one track to the next.
  std::vector<std::string_view> parts_;
  std::string raw_, key_;
  std::vector<size_t> slashes_[2];
  TextMap folders_{&arena_};    // key -> spelling
  TextSet files_{&arena_};      // keys
  TextSet playlists_{&arena_};  // keys
};

}  // namespace app
