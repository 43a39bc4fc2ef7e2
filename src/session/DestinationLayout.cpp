#include "session/DestinationLayout.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <tuple>

#include "base/Path.h"
#include "base/Unicode.h"
#include "fs/DriveRecord.h"

namespace app {
namespace {

// Splits a path on "/" into its components, dropping empty and "."
// components and resolving ".." lexically; none when ".." would climb
// above the start.
// `out` is filled in place (a buffer reused from one track to the next).
bool components(std::string_view path, std::vector<std::string_view>& out) {
  out.clear();
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    std::string_view c = path.substr(i, j - i);
    if (c == "..") {
      if (out.empty()) return false;
      out.pop_back();
    } else if (!c.empty() && c != ".") {
      out.emplace_back(c);
    }
    i = j + 1;
  }
  return true;
}

std::optional<std::vector<std::string_view>> components(std::string_view path) {
  std::vector<std::string_view> out;
  if (!components(path, out)) return std::nullopt;
  return out;
}

// Whether the drive's path `kept` names the same folder and the track's
// own name or one of its numbered forms.
bool keptIsNamed(std::string_view kept, std::string_view folder, const std::string& name) {
  size_t slash = kept.rfind('/');
  if (slash == std::string_view::npos || DestinationLayout::collisionKey(kept.substr(0, slash)) !=
                                             DestinationLayout::collisionKey(folder))
    return false;
  std::string keptKey = DestinationLayout::collisionKey(kept.substr(slash + 1));
  for (int n = 1; n < 1000; ++n) {
    if (DestinationLayout::collisionKey(n == 1 ? name : DestinationLayout::numbered(name, n)) ==
        keptKey)
      return true;
    // Names from one to nine are the common case; beyond, only the
    // number the drive's name carries can match.
    if (n == 9 && keptKey.find(" (") == std::string::npos) break;
  }
  return false;
}

}  // namespace

DestinationLayout::DestinationLayout(std::string mediaFolder) {
  if (mediaFolder.empty()) return;
  if (auto parts = components(mediaFolder)) {
    for (std::string_view p : *parts) {
      mediaFolderKeys_.push_back(collisionKey(p));
      mediaFolderParts_.emplace_back(p);
    }
  }
}

std::string DestinationLayout::collisionKey(std::string_view path) { return fs::recordKey(path); }

void DestinationLayout::relativeComponents(const LibraryTrack& track,
                                           std::vector<std::string_view>& parts) const {
  bool split = components(track.location, parts);
  if (split && !mediaFolderKeys_.empty() && parts.size() > mediaFolderKeys_.size()) {
    // Paths from Mac and Windows libraries name their folders without
    // regard to case, so the prefix is compared the same way.
    // Most paths spell the prefix as the library does: the keys are only
    // worked out for those that do not.
    bool under = true;
    for (size_t i = 0; i < mediaFolderKeys_.size() && under; ++i) {
      under = parts[i] == mediaFolderParts_[i] || collisionKey(parts[i]) == mediaFolderKeys_[i];
    }
    if (under) {
      auto first = parts.begin() + static_cast<std::ptrdiff_t>(mediaFolderKeys_.size());
      // The drive's folder is already "Music": the media folder's own
      // "Music" would only be said twice.
      static const std::string musicKey = collisionKey(kMusicFolder);
      // Only a name that begins with "m", "M" or a letter beyond ASCII, of
      // at most four bytes a letter, can fold to it.
      auto mayBeMusic = [](std::string_view c) {
        const auto lead = static_cast<unsigned char>(c.empty() ? 0 : c[0]);
        return c.size() <= 4 * musicKey.size() && (lead >= 0x80 || lead == 'm' || lead == 'M');
      };
      if (parts.end() - first > 1 &&
          (*first == kMusicFolder || (mayBeMusic(*first) && collisionKey(*first) == musicKey)))
        ++first;
      parts.erase(parts.begin(), first);
      return;
    }
  }
  std::string_view artist = !track.albumArtist.empty() ? track.albumArtist : track.artist;
  std::string_view album = track.album;
  parts.assign({artist.empty() ? "Unknown Artist" : artist, album.empty() ? "Unknown Album" : album,
                base::lastComponentOf(track.location)});
}

std::pair<std::string, std::string> DestinationLayout::placeFolder(const std::string& parent,
                                                                   const std::string& parentKey,
                                                                   const std::string& name) {
  // Names are UTF-8: below a parent that is too, the key is the parent's
  // and the name's (as for a track's path).
  const bool byComponent = base::unicode::isValidUtf8(parent);
  for (int n = 1;; ++n) {
    std::string leaf = n == 1 ? name : numbered(name, n, 0, false);
    std::string candidate = parent + "/" + leaf;
    std::string key;
    if (byComponent) {
      key.reserve(parentKey.size() + 1 + leaf.size());
      (key = parentKey) += '/';
      base::unicode::appendFoldedName(key, leaf);
    } else {
      key = collisionKey(candidate);
    }
    auto it = folders_.find(key);
    if (it != folders_.end()) return {std::string(it->second), std::move(key)};
    if (files_.count(key)) continue;  // a file took this name: use another
    folders_.emplace(std::string_view(key), std::string_view(candidate));
    return {std::move(candidate), std::move(key)};
  }
}

void DestinationLayout::keep(std::string_view path, std::string_view knownKey) {
  std::string made;
  if (knownKey.empty()) made = collisionKey(path);
  const std::string_view key = knownKey.empty() ? std::string_view(made) : knownKey;
  files_.emplace(key);
  // Its folders keep the drive's spelling, so that the album's other
  // tracks join them. A folder's key is the path's up to the same slash
  // (the folding never reaches across one, and folds a path only when it
  // is UTF-8 throughout); the deepest goes first, as a folder held already
  // holds those above it.
  std::vector<size_t>& atPath = slashes_[0];
  std::vector<size_t>& atKey = slashes_[1];
  atPath.clear();
  atKey.clear();
  for (size_t slash = path.find('/'); slash != std::string_view::npos;
       slash = path.find('/', slash + 1))
    atPath.push_back(slash);
  for (size_t slash = key.find('/'); slash != std::string_view::npos;
       slash = key.find('/', slash + 1))
    atKey.push_back(slash);
  const bool folded = atPath.size() == atKey.size() && base::unicode::isValidUtf8(path);
  std::string folderMade;
  for (size_t i = atPath.size(); i-- > 0;) {
    std::string_view folder = path.substr(0, atPath[i]);
    if (folder == kMusicFolder) continue;
    if (!folded) folderMade = collisionKey(folder);
    const std::string_view folderKey =
        folded ? key.substr(0, atKey[i]) : std::string_view(folderMade);
    if (folders_.find(folderKey) != folders_.end()) {
      if (folded) break;
      continue;
    }
    folders_.emplace(std::string_view(folderKey), std::string_view(base::unicode::nfc(folder)));
  }
}

std::string DestinationLayout::trackPath(const LibraryTrack& track, std::string_view kept,
                                         bool* moved, std::string* keyOut) {
  if (moved) *moved = false;
  if (keyOut) keyOut->clear();
  std::vector<std::string_view>& parts = parts_;
  relativeComponents(track, parts);
  // An album's tracks share their folders: once placed, the same names
  // give the same folder, so the placing is done once per folder.
  std::string& raw = raw_;
  raw.clear();
  for (size_t i = 0; i + 1 < parts.size(); ++i) (raw += parts[i]) += '\0';
  auto placed = placedFolders_.find(std::string_view(raw));
  if (placed == placedFolders_.end()) {
    static const std::string musicKey = collisionKey(kMusicFolder);
    std::string folder = kMusicFolder, folderKey = musicKey;
    for (size_t i = 0; i + 1 < parts.size(); ++i)
      std::tie(folder, folderKey) = placeFolder(folder, folderKey, safeComponent(parts[i]));
    PlacedFolder value{std::pmr::string(folder, &arena_), std::pmr::string(folderKey, &arena_),
                       base::unicode::isValidUtf8(folder)};
    placed = placedFolders_.emplace(std::string_view(raw), std::move(value)).first;
  }
  const PlacedFolder& at = placed->second;
  std::string_view folder = at.spelling;
  std::string name = safeComponent(parts.empty() ? std::string_view() : parts.back());
  if (!kept.empty()) {
    // Most kept paths are spelled as the layout spells them: no key needed.
    if (kept.size() == folder.size() + 1 + name.size() && kept.starts_with(folder) &&
        kept[folder.size()] == '/' && kept.ends_with(name)) {
      std::string composed = base::unicode::nfc(kept);
      if (moved) *moved = composed != kept;
      return composed;
    }
    // Composed like every name the layout gives.
    if (keptIsNamed(kept, folder, name)) {
      std::string composed = base::unicode::nfc(kept);
      if (moved) *moved = composed != kept;
      return composed;
    }
    // Named as the layout named it before: still this track, which moves
    // to its new name below.
    std::string before = kMusicFolder;
    for (size_t i = 0; i + 1 < parts.size(); ++i) (before += '/') += legacyComponent(parts[i]);
    if (moved && !parts.empty()) *moved = keptIsNamed(kept, before, legacyComponent(parts.back()));
  }
  std::string numberedName;
  std::string& key = key_;
  for (int n = 1;; ++n) {
    if (n > 1) numberedName = numbered(name, n);
    std::string_view leaf = n == 1 ? std::string_view(name) : std::string_view(numberedName);
    // Names are always UTF-8, so the folder's key and the name's make the
    // path's key.
    if (at.foldsByComponent) {
      key.assign(at.key);
      key += '/';
      base::unicode::appendFoldedName(key, leaf);
    } else {
      std::string candidate(folder);
      candidate += '/';
      candidate += leaf;
      key = collisionKey(candidate);
    }
    // Taken by a folder, or already by a file (the one look at files_
    // that also holds the name).
    if (folders_.count(key) || !files_.emplace(std::string_view(key)).second) continue;
    if (keyOut && at.foldsByComponent) *keyOut = key;
    std::string candidate;
    candidate.reserve(folder.size() + 1 + leaf.size());
    candidate += folder;
    candidate += '/';
    candidate += leaf;
    return candidate;
  }
}

std::string DestinationLayout::playlistFileName(std::string_view playlistName) {
  const size_t reserve = std::string_view(kPlaylistExtension).size();
  std::string name = safeComponent(playlistName.empty() ? "Untitled" : playlistName, reserve);
  for (int n = 1;; ++n) {
    std::string candidate = n == 1 ? name : numbered(name + kPlaylistExtension, n, 0);
    if (n > 1) candidate.resize(candidate.size() - reserve);  // drop the extension again
    std::string key = collisionKey(candidate + kPlaylistExtension);
    if (playlists_.emplace(std::string_view(key)).second) return candidate;
  }
}

namespace {

// Lays out the library's tracks in its own order, up to the last wanted
// one: `take(i, path, key)` keeps the i-th track's path and its walk key
// (empty when not made) and says how many paths are kept now. Tracks the drive holds under another
// spelling go to `renamedFrom`, by persistent ID.
template <class Wanted, class Take>
void layOutTracks(DestinationLayout& layout, const Library& library, size_t wanted,
                  const DestinationLayout::KeptPaths* kept,
                  std::unordered_map<std::string, std::string>& renamedFrom, Wanted isWanted,
                  Take take) {
  const std::string prefix = std::string(DestinationLayout::kMusicFolder) + "/";
  // Every path the drive holds for a track of this library is held first,
  // whichever tracks come before it.
  if (kept) {
    std::string whole;
    for (const auto& [id, path] : *kept) {
      (whole = prefix) += path.path;
      layout.keep(whole, path.key);
    }
  }
  size_t taken = 0;
  std::string keptPath, key;
  // A key of the whole path is the music folder's, a slash and the walk
  // key of the rest, while the path is UTF-8 throughout.
  const std::string prefixKey = DestinationLayout::collisionKey(prefix);
  for (size_t i = 0; i < library.tracks.size() && taken < wanted; ++i) {
    const LibraryTrack& t = library.tracks[i];
    keptPath.clear();
    std::string_view keptKey;
    if (kept) {
      auto at = kept->find(t.persistentId.view());
      if (at != kept->end()) {
        (keptPath = prefix) += at->second.path;
        keptKey = at->second.key;
      }
    }
    bool moved = false;
    std::string path = layout.trackPath(t, keptPath, &moved, &key);
    if (key.empty() && !keptKey.empty() && path == keptPath) key = keptKey;
    if (!key.starts_with(prefixKey) || !base::unicode::isValidUtf8(path)) key.clear();
    key.erase(0, std::min(key.size(), prefixKey.size()));
    path.erase(0, prefix.size());
    if (moved) renamedFrom.emplace(t.persistentId, keptPath.substr(prefix.size()));
    if (isWanted(i)) taken = take(i, std::move(path), std::move(key));
  }
}

void layOutPlaylists(DestinationLayout& layout, const Library& library,
                     std::unordered_map<std::string, std::string>& playlists) {
  for (const auto& p : library.playlists) {
    if (p.exportedByDefault()) playlists[p.persistentId] = layout.playlistFileName(p.name);
  }
}

}  // namespace

DestinationLayout::LibraryPaths DestinationLayout::forLibrary(
    const Library& library, const std::unordered_set<std::string_view>* only,
    const KeptPaths* kept) {
  LibraryPaths paths;
  DestinationLayout layout(library.musicFolderSourcePath);
  size_t wanted = only ? only->size() : library.tracks.size();
  layOutTracks(
      layout, library, wanted, kept, paths.renamedFrom,
      [&](size_t i) { return !only || only->count(library.tracks[i].persistentId) != 0; },
      [&](size_t i, std::string&& path, std::string&&) {
        paths.tracks.emplace(library.tracks[i].persistentId, std::move(path));
        return paths.tracks.size();
      });
  layOutPlaylists(layout, library, paths.playlists);
  return paths;
}

DestinationLayout::LibraryPlaces DestinationLayout::forLibraryByPlace(
    const Library& library, const std::vector<uint8_t>* only, const KeptPaths* kept) {
  LibraryPlaces paths;
  paths.tracks.resize(library.tracks.size());
  paths.keys.resize(library.tracks.size());
  DestinationLayout layout(library.musicFolderSourcePath);
  size_t wanted = library.tracks.size();
  if (only)
    wanted = static_cast<size_t>(
        std::count_if(only->begin(), only->end(), [](uint8_t on) { return on != 0; }));
  size_t taken = 0;
  layOutTracks(
      layout, library, wanted, kept, paths.renamedFrom,
      [&](size_t i) { return !only || (i < only->size() && (*only)[i]); },
      [&](size_t i, std::string&& path, std::string&& key) {
        paths.tracks[i] = std::move(path);
        paths.keys[i] = std::move(key);
        return ++taken;
      });
  layOutPlaylists(layout, library, paths.playlists);
  return paths;
}

}  // namespace app
