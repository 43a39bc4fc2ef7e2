// Which kind of library a path holds (by content), where Linux players keep
// theirs, and what readers of libraries without persistent IDs share.
// Thread: free functions are reentrant; an assembly belongs to one read.
// Errors: sniffLibrary() throws LibraryError (path, why) for what no reader
// takes; the assembly throws nothing.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "library/LibraryReader.h"

namespace app {

enum class LibraryKind { kITunesXml, kPlaylistFolder, kRhythmbox, kStrawberry, kClementine };

// "iTunes-style XML", "playlist folder", "Rhythmbox", "Strawberry", "Clementine".
const char* libraryKindName(LibraryKind kind);

// A folder is a folder of playlists; a file starting with SQLite's header
// is a player's database, told apart by its tables; XML whose root is
// <rhythmdb> is Rhythmbox's; anything else goes to the XML export's reader,
// whose messages say what is wrong with it.
LibraryKind sniffLibrary(const std::string& path);

// Where the players keep their libraries under `home`, in the order they
// are looked for (after the iTunes-style file).
std::vector<std::string> playerLibraryPlaces(const std::string& home);
// The first of them there: a file, or a folder holding a playlist file.
std::optional<std::string> findPlayerLibrary(const std::string& home);

// 16 upper-case hex digits standing for `key`, as the persistent IDs of
// the XML export look: the identity of a track or playlist that its
// source names only by a path or a row.
std::string stableId(std::string_view key);

// What a source says of a track besides its file.
struct TrackFields {
  std::string_view name, artist, album, albumArtist;
  std::optional<int64_t> totalTimeMs, size;
};

// Fills a Library as the XML reader does: tracks once per identity,
// playlists' items as both persistent IDs and indexes, locations through
// the path map.
class LibraryAssembly {
 public:
  LibraryAssembly(Library& library, const PathMap& map) : lib_(library), map_(map) {}
  // The index of the track known as `identity`, added the first time
  // with its decoded path (absolute, or a Windows or network path); an
  // empty name stands for the file's own name.
  uint32_t track(const std::string& identity, std::string_view path, const TrackFields& fields);
  std::optional<uint32_t> find(const std::string& identity) const;
  // A new playlist; returns its index in library.playlists.
  size_t playlist(std::string_view identity, std::string_view name, std::string_view parentId = {},
                  bool folder = false);
  void append(size_t playlist, uint32_t track);
  // A note for the owner, such as an entry that names nothing; after the
  // first twenty only counted.
  void note(std::string text);
  // Ends the notes with the count of those left unsaid.
  void finish();

 private:
  Library& lib_;
  const PathMap& map_;
  std::unordered_map<std::string, uint32_t> tracks_;
  std::unordered_set<uint32_t> untitled_;  // named after their file so far
  size_t unsaid_ = 0;
};

}  // namespace app
