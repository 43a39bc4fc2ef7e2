#include "session/DestinationLayout.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>

#include "base/Path.h"
#include "base/Unicode.h"
#include "fs/DriveRecord.h"

namespace app {
namespace {

bool isTrailingJunk(char c) { return c == '.' || c == ' '; }

void stripTrailingDotsAndBlanks(std::string& s) {
  while (!s.empty() && isTrailingJunk(s.back())) s.pop_back();
}

// Control characters and bytes that do not form UTF-8 cannot be stored in
// a FAT or exFAT name (which is UTF-16); each becomes "_".
std::string replaceUnstorable(std::string_view s) {
  bool plain = true;  // printable ASCII, as most names are: nothing to replace
  for (char c : s) plain = plain && c >= 0x20 && c < 0x7F;
  if (plain) return std::string(s);
  std::string out;
  out.reserve(s.size());
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  int32_t length = static_cast<int32_t>(s.size());
  for (int32_t i = 0; i < length;) {
    int32_t start = i;
    UChar32 c;
    U8_NEXT(p, i, length, c);
    if (c < 0 || c < 0x20 || c == 0x7F) {
      out.push_back('_');
    } else {
      out.append(s.substr(start, i - start));
    }
  }
  return out;
}

// The characters replaceUnsafe() turns into "_".
constexpr std::string_view kUnsafe = "\\/:*?\"<>|#%";

// What a FAT or exFAT name cannot hold becomes "_", and so do "#" and
// "%": players read a playlist entry as a URI, where they begin a
// fragment or an escape. Typographic double quotes go too and single
// ones become "'", as names have always been on the drive. "$", ";" and
// "'" are ordinary characters in a name and stay.
std::string replaceUnsafe(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (kUnsafe.find(c) != std::string_view::npos) {
      out.push_back('_');
      continue;
    }
    if (static_cast<unsigned char>(c) == 0xE2 && i + 2 < name.size() &&
        static_cast<unsigned char>(name[i + 1]) == 0x80) {
      unsigned char third = static_cast<unsigned char>(name[i + 2]);
      if (third == 0x9C || third == 0x9D || third == 0x98 || third == 0x99) {
        out.push_back(third >= 0x9C ? '_' : '\'');
        i += 2;
        continue;
      }
    }
    out.push_back(c);
  }
  return out;
}

bool isReservedDeviceName(std::string_view name) {
  // Windows refuses these as a whole name and as the part before any dot.
  std::string_view stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  if (stem.size() != 3 && stem.size() != 4) return false;
  std::string upper;
  for (char c : stem) upper.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c);
  static const std::array<const char*, 4> plain = {"CON", "PRN", "AUX", "NUL"};
  for (const char* r : plain)
    if (upper == r) return true;
  if (upper.size() == 4 && (upper.compare(0, 3, "COM") == 0 || upper.compare(0, 3, "LPT") == 0) &&
      upper[3] >= '1' && upper[3] <= '9') {
    return true;
  }
  return false;
}

// The extension (with its dot) that shortening keeps; a name that starts
// with its only dot, or whose "extension" is long, has none.
size_t extensionStart(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || name.size() - dot > 16) return name.size();
  return dot;
}

// The longest prefix of s of at most max bytes that ends on a character
// boundary and does not separate a base letter from its combining marks.
std::string_view cutUtf8(std::string_view s, size_t max) {
  if (s.size() <= max) return s;
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  int32_t end = static_cast<int32_t>(max);
  U8_SET_CP_START(p, 0, end);
  // Back off while the character at `end` continues the one before it.
  while (end > 0) {
    int32_t i = end;
    UChar32 c;
    U8_NEXT(p, i, static_cast<int32_t>(s.size()), c);
    if (c < 0 || !u_hasBinaryProperty(c, UCHAR_GRAPHEME_EXTEND)) break;
    U8_BACK_1(p, 0, end);
  }
  return s.substr(0, static_cast<size_t>(end));
}

std::string fit(std::string_view base, std::string_view tail, size_t reserve) {
  size_t budget = DestinationLayout::kMaxNameBytes - reserve;
  size_t room = tail.size() < budget ? budget - tail.size() : 0;
  std::string b(cutUtf8(base, room));
  stripTrailingDotsAndBlanks(b);
  if (b.empty()) b = "_";
  std::string out = b + std::string(tail);
  if (out.size() > budget) out = std::string(cutUtf8(out, budget));
  stripTrailingDotsAndBlanks(out);
  return out.empty() ? "_" : out;
}

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

// Printable ASCII without a character that replaceUnsafe() changes: the
// name as it stands is already composed and storable.
bool plainSafeAscii(std::string_view name) {
  for (char c : name) {
    if (c < 0x20 || c >= 0x7F || kUnsafe.find(c) != std::string_view::npos) return false;
  }
  return true;
}

// A component as the layout spelled it before names were composed and
// kept "$" and ";" and their leading dots: a track the drive holds under
// such a name is still its own, and moves to its new name.
std::string legacyComponent(std::string_view name) {
  std::string s = replaceUnsafe(name);
  for (char& c : s)
    if (c == '$' || c == ';') c = '_';
  s = replaceUnstorable(s);
  stripTrailingDotsAndBlanks(s);
  if (s.empty()) s = "_";
  if (isReservedDeviceName(s)) s.insert(s.begin(), '_');
  if (s.size() <= DestinationLayout::kMaxNameBytes) return s;
  size_t ext = extensionStart(s);
  return fit(std::string_view(s).substr(0, ext), std::string_view(s).substr(ext), 0);
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

std::string DestinationLayout::safeComponent(std::string_view name, size_t reserve) {
  // Composed, as other systems write names and expect to read them.
  std::string s = plainSafeAscii(name) ? std::string(name)
                                       : replaceUnstorable(base::unicode::nfc(replaceUnsafe(name)));
  stripTrailingDotsAndBlanks(s);
  // A leading dot hides a file or folder ("...And More" would vanish
  // from a file manager's view and from players that skip hidden items).
  s.erase(0, s.find_first_not_of('.'));
  if (s.empty()) s = "_";
  if (isReservedDeviceName(s)) s.insert(s.begin(), '_');
  if (s.size() + reserve <= kMaxNameBytes) return s;
  size_t ext = extensionStart(s);
  return fit(std::string_view(s).substr(0, ext), std::string_view(s).substr(ext), reserve);
}

std::string DestinationLayout::numbered(std::string_view safeName, int n, size_t reserve,
                                        bool keepExtension) {
  size_t ext = keepExtension ? extensionStart(safeName) : safeName.size();
  std::string tail = " (" + std::to_string(n) + ")" + std::string(safeName.substr(ext));
  return fit(safeName.substr(0, ext), tail, reserve);
}

std::string DestinationLayout::durationText(std::optional<int64_t> totalTimeMs) {
  if (!totalTimeMs || *totalTimeMs < 0) return "-1";
  return std::to_string((*totalTimeMs + 500) / 1000);
}

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
      if (parts.end() - first > 1 && (*first == kMusicFolder || collisionKey(*first) == musicKey))
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

std::string DestinationLayout::placeFolder(const std::string& parent, const std::string& name) {
  for (int n = 1;; ++n) {
    std::string candidate = parent + "/" + (n == 1 ? name : numbered(name, n, 0, false));
    std::string key = collisionKey(candidate);
    auto it = folders_.find(key);
    if (it != folders_.end()) return std::string(it->second);
    if (files_.count(key)) continue;  // a file took this name: use another
    folders_.emplace(std::string_view(key), std::string_view(candidate));
    return candidate;
  }
}

void DestinationLayout::keep(std::string_view path) {
  std::string key = collisionKey(path);
  files_.emplace(std::string_view(key));
  // Its folders keep the drive's spelling, so that the album's other
  // tracks join them.
  for (size_t slash = path.find('/'); slash != std::string_view::npos;
       slash = path.find('/', slash + 1)) {
    std::string_view folder = path.substr(0, slash);
    if (folder == kMusicFolder) continue;
    std::string folderKey = collisionKey(folder);
    folders_.emplace(std::string_view(folderKey), std::string_view(base::unicode::nfc(folder)));
  }
}

std::string DestinationLayout::trackPath(const LibraryTrack& track, std::string_view kept,
                                         bool* moved) {
  if (moved) *moved = false;
  std::vector<std::string_view>& parts = parts_;
  relativeComponents(track, parts);
  // An album's tracks share their folders: once placed, the same names
  // give the same folder, so the placing is done once per folder.
  std::string& raw = raw_;
  raw.clear();
  for (size_t i = 0; i + 1 < parts.size(); ++i) (raw += parts[i]) += '\0';
  auto placed = placedFolders_.find(std::string_view(raw));
  if (placed == placedFolders_.end()) {
    std::string folder = kMusicFolder;
    for (size_t i = 0; i + 1 < parts.size(); ++i)
      folder = placeFolder(folder, safeComponent(parts[i]));
    PlacedFolder value{std::pmr::string(folder, &arena_),
                       std::pmr::string(collisionKey(folder), &arena_),
                       base::unicode::isValidUtf8(folder)};
    placed = placedFolders_.emplace(std::string_view(raw), std::move(value)).first;
  }
  const PlacedFolder& at = placed->second;
  std::string_view folder = at.spelling;
  std::string name = safeComponent(parts.empty() ? std::string_view() : parts.back());
  if (!kept.empty()) {
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
// one: `take(i, path)` keeps the i-th track's path and says how many
// paths are kept now. Tracks the drive holds under another spelling go
// to `renamedFrom`, by persistent ID.
template <class Wanted, class Take>
void layOutTracks(DestinationLayout& layout, const Library& library, size_t wanted,
                  const DestinationLayout::KeptPaths* kept,
                  std::unordered_map<std::string, std::string>& renamedFrom, Wanted isWanted,
                  Take take) {
  const std::string prefix = std::string(DestinationLayout::kMusicFolder) + "/";
  // Every path the drive holds for a track of this library is held first,
  // whichever tracks come before it.
  if (kept) {
    for (const auto& [id, path] : *kept) layout.keep(prefix + std::string(path));
  }
  size_t taken = 0;
  std::string keptPath;
  for (size_t i = 0; i < library.tracks.size() && taken < wanted; ++i) {
    const LibraryTrack& t = library.tracks[i];
    keptPath.clear();
    if (kept) {
      auto at = kept->find(t.persistentId.view());
      if (at != kept->end()) (keptPath = prefix) += at->second;
    }
    bool moved = false;
    std::string path = layout.trackPath(t, keptPath, &moved);
    path.erase(0, prefix.size());
    if (moved) renamedFrom.emplace(t.persistentId, keptPath.substr(prefix.size()));
    if (isWanted(i)) taken = take(i, std::move(path));
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
      [&](size_t i, std::string&& path) {
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
  DestinationLayout layout(library.musicFolderSourcePath);
  size_t wanted = library.tracks.size();
  if (only)
    wanted = static_cast<size_t>(
        std::count_if(only->begin(), only->end(), [](uint8_t on) { return on != 0; }));
  size_t taken = 0;
  layOutTracks(
      layout, library, wanted, kept, paths.renamedFrom,
      [&](size_t i) { return !only || (i < only->size() && (*only)[i]); },
      [&](size_t i, std::string&& path) {
        paths.tracks[i] = std::move(path);
        return ++taken;
      });
  layOutPlaylists(layout, library, paths.playlists);
  return paths;
}

}  // namespace app
