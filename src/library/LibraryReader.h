// Reads the XML export of an iTunes or Music app library ("iTunes Music
// Library.xml", "iTunes Library.xml", "Library.xml") into plain records:
// the tracks that have a file, and the playlists with their items given
// as track persistent IDs.
//
// The file is read as a stream, a few pieces of 64 KB at a time, so a
// library of a hundred thousand tracks costs its records, not a document
// tree: by a cursor over the bytes of the plain XML exports are written
// in (library/PlistCursor.h), or by libxml2's push parser when the cursor
// does not take the document. Neither touches the network, loads a DTD or
// an external entity or substitutes an entity beyond XML's predefined
// ones and character references; a document that needs more is refused.
//
// What a real export holds and how it comes out:
// - tracks without a file (cloud, remote, streams: no "file:" Location)
//   are left out and counted, and so are playlist items naming them;
// - playlist items naming a track that the file does not hold are left
//   out and counted;
// - "file://localhost/" and "file:///" locations are decoded byte for byte
//   (percent escapes as written, decomposed accents stay decomposed);
// - locations on a Windows drive ("C:/...") or a network share
//   ("//server/share/...") are not on this computer: such a track is kept
//   with an empty localPath() and counted, unless a PathMap entry turns its
//   prefix into a local folder. A map entry applies to any location.
//
// Thread: a reader holds only its map; read() may run on any thread and
// concurrently with other reads.
// Errors: read() throws LibraryError (file name, line, message) for an
// unreadable, malformed or truncated file, or one that is not a library;
// nothing is returned in that case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/Status.h"
#include "library/LibraryError.h"
#include "library/PathMap.h"

namespace app {

// A text kept in a LibraryText, read as a std::string_view. It is one
// pointer: the length is kept in front of the bytes, so a track's seven
// texts cost 56 bytes instead of 112. Empty when made by default.
class LibraryString {
 public:
  LibraryString() = default;
  std::string_view view() const {
    if (!p_) return {};
    // The length is written backwards before the bytes, seven bits a byte,
    // the high bit saying that more come before.
    const auto* at = reinterpret_cast<const unsigned char*>(p_);
    size_t length = 0;
    for (int shift = 0;; shift += 7) {
      unsigned char b = *--at;
      length |= static_cast<size_t>(b & 0x7F) << shift;
      if (!(b & 0x80)) break;
    }
    return {p_, length};
  }
  operator std::string_view() const { return view(); }
  bool empty() const { return p_ == nullptr; }
  friend bool operator==(const LibraryString& a, std::string_view b) { return a.view() == b; }
  friend std::ostream& operator<<(std::ostream& out, const LibraryString& s);

 private:
  friend class LibraryText;
  explicit LibraryString(const char* p) : p_(p) {}
  const char* p_ = nullptr;
};

// A library's text, in blocks that never move: the records keep views of
// it, so a large library costs its bytes and not a string object and an
// allocation per field.
class LibraryText {
 public:
  LibraryText() = default;
  LibraryText(const LibraryText&) = delete;
  LibraryText& operator=(const LibraryText&) = delete;
  // A lasting copy of s.
  LibraryString add(std::string_view s);

 private:
  std::vector<std::unique_ptr<char[]>> blocks_;
  size_t used_ = 0, capacity_ = 0;
};

// The string fields are texts of the Library that holds the track (or, for
// a track made by hand, of text that outlives it).
struct LibraryTrack {
  LibraryString persistentId;  // the unique identifier
  int64_t trackId = 0;         // the file's own number, used by playlist items
  LibraryString name;
  LibraryString artist;
  LibraryString album;
  LibraryString albumArtist;
  std::optional<int64_t> totalTimeMs;  // "Total Time" is in milliseconds
  std::optional<int64_t> size;
  LibraryString location;    // the decoded path, as on the computer that wrote the file
  LibraryString mappedPath;  // set when a PathMap entry applies to location
  bool disabled = false;     // unchecked in the library

  // Where to read the file here: the mapped path, else the location unless
  // it is on a Windows drive or network share; empty when not on this
  // computer.
  std::string_view localPath() const;
  bool onThisComputer() const { return !localPath().empty(); }
};

struct LibraryPlaylist {
  std::string persistentId;
  std::string parentPersistentId;  // empty at the top level
  std::string name;
  std::vector<std::string_view> items;  // the tracks' own persistent IDs, in order, repeats kept
  std::vector<uint32_t> tracks;         // the same entries, as indexes into Library::tracks
  bool master = false;
  bool visible = true;
  bool folder = false;
  bool smart = false;
  std::optional<int64_t> distinguishedKind;

  // Whether an export of all playlists takes it: the whole library,
  // hidden, built-in (Music, Movies, Podcasts...) and folder playlists
  // are not.
  bool exportedByDefault() const { return !master && visible && !distinguishedKind && !folder; }
  bool builtIn() const { return master || distinguishedKind.has_value(); }
};

struct Library {
  std::string musicFolder;            // the "Music Folder" URL as written, may be empty
  std::string musicFolderSourcePath;  // decoded
  std::string musicFolderLocalPath;   // after the map; empty when not on this computer
  std::string applicationVersion;
  std::string libraryPersistentId;
  std::deque<LibraryTrack> tracks;  // a deque: a large library grows without copying
  // What the tracks' fields view; shared by copies of the library.
  std::shared_ptr<LibraryText> text = std::make_shared<LibraryText>();
  std::vector<LibraryPlaylist> playlists;

  // What was left out or cannot be reached, for the user to be told.
  size_t tracksWithoutFile = 0;
  size_t tracksNotOnThisComputer = 0;  // kept in tracks, localPath() empty
  size_t tracksWithoutIdentifier = 0;  // no or repeated Persistent ID: left out
  size_t playlistsWithoutIdentifier = 0;
  size_t itemsNamingMissingTrack = 0;
  size_t itemsNamingTrackWithoutFile = 0;

  // What kind of library was read (libraryKindName()) and from where.
  std::string sourceKind;
  std::string sourcePath;
  // What the reader passed over and the owner is to be told (file, line or
  // row, why); none of it kept the rest from being read.
  std::vector<std::string> notes;
  // Playlists the source holds that cannot be exported: name, reason.
  std::vector<std::pair<std::string, std::string>> notExportable;
};

class LibraryReader {
 public:
  LibraryReader() = default;
  explicit LibraryReader(PathMap map) : map_(std::move(map)) {}

  // Any library sniffLibrary() tells (library/LibrarySource.h): the XML
  // export, a folder of playlists, Rhythmbox's, Strawberry's or
  // Clementine's, each read by its own reader into the same record.
  Library read(const std::string& file) const;
  // The same as a value: the library, or a Status whose message says what
  // is wrong where (file, line), as LibraryError's does. Nothing thrown.
  base::Result<Library> load(const std::string& file) const;
  // The same on a document in memory; name stands for the file in errors.
  Library readMemory(std::string_view xml, const std::string& name) const;
  // Reads every document with the full parser, never the cursor (which
  // gives the same result on the documents it takes): the reference that
  // tests compare the cursor with.
  // Where the relative entries of a folder's playlists are looked for
  // first (MPD's music directory); empty: beside the playlist file only.
  LibraryReader& withMusicDir(std::string folder) {
    musicDir_ = std::move(folder);
    return *this;
  }
  LibraryReader& withFullParserOnly() {
    parsers_ = Parsers::kFullOnly;
    return *this;
  }
  // Reads with the cursor alone: a document it hands over is an error
  // ("out of the cursor's form"). What tests check the cursor's reach with.
  LibraryReader& withCursorOnly() {
    parsers_ = Parsers::kCursorOnly;
    return *this;
  }
  enum class Parsers { kCursorThenFull, kFullOnly, kCursorOnly };

  // The export's usual names, in the order they are looked for.
  static const std::vector<std::string>& exportFileNames();
  // The first of exportFileNames() present in folder, if any.
  static std::optional<std::string> findExportIn(const std::string& folder);
  // The first export found in the usual places under ~/Music, else the
  // first player library or playlist folder found where it is kept.
  static std::optional<std::string> defaultExport(const std::string& home);

  // A "file:" URL's path, decoded: "/Users/..", "C:/Users/..",
  // "//server/share/..". None for other URLs or a path holding a NUL.
  static std::optional<std::string> decodeFileUrl(std::string_view url);

 private:
  Library readXml(const std::string& file) const;

  PathMap map_;
  std::string musicDir_;
  Parsers parsers_ = Parsers::kCursorThenFull;
};

}  // namespace app
