// What reading a document gives, as one text to compare: every field of
// the library, or the error with its line. The quick scanner and the full
// parser must give the same text for every document.
//
// Thread: any. Errors: none; a read's LibraryError is part of the text.
#pragma once

#include <sstream>
#include <string>
#include <string_view>

#include "library/LibraryReader.h"

namespace testsupport {

inline std::string libraryOutcome(const app::LibraryReader& reader, std::string_view xml) {
  std::ostringstream out;
  auto number = [&](const std::optional<int64_t>& n) {
    if (n) {
      out << *n;
    } else {
      out << "-";
    }
    out << '|';
  };
  try {
    app::Library lib = reader.readMemory(xml, "doc.xml");
    out << lib.musicFolder << '|' << lib.musicFolderLocalPath << '|' << lib.applicationVersion
        << '|' << lib.libraryPersistentId << '|' << lib.tracksWithoutFile << '|'
        << lib.tracksNotOnThisComputer << '|' << lib.tracksWithoutIdentifier << '|'
        << lib.playlistsWithoutIdentifier << '|' << lib.itemsNamingMissingTrack << '|'
        << lib.itemsNamingTrackWithoutFile << '\n';
    for (const app::LibraryTrack& t : lib.tracks) {
      out << t.persistentId << '|' << t.trackId << '|' << t.name << '|' << t.artist << '|'
          << t.album << '|' << t.albumArtist << '|' << t.location << '|' << t.mappedPath << '|'
          << t.disabled << '|';
      number(t.totalTimeMs);
      number(t.size);
      out << '\n';
    }
    for (const app::LibraryPlaylist& p : lib.playlists) {
      out << p.persistentId << '|' << p.parentPersistentId << '|' << p.name << '|' << p.master
          << p.visible << p.folder << p.smart << '|';
      number(p.distinguishedKind);
      for (uint32_t t : p.tracks) out << t << ',';
      out << '\n';
    }
  } catch (const app::LibraryError& e) {
    out << "error: " << e.what();
  }
  return out.str();
}

}  // namespace testsupport
