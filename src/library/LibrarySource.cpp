#include "library/LibrarySource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "library/PlayerDatabaseReader.h"

namespace app {

const char* libraryKindName(LibraryKind kind) {
  switch (kind) {
    case LibraryKind::kITunesXml:
      return "iTunes-style XML";
    case LibraryKind::kPlaylistFolder:
      return "playlist folder";
    case LibraryKind::kRhythmbox:
      return "Rhythmbox";
    case LibraryKind::kStrawberry:
      return "Strawberry";
    case LibraryKind::kClementine:
      return "Clementine";
  }
  return "library";
}

namespace {

// The name of the first element of an XML document's start, if it shows
// one: declarations, comments and a document type are passed over.
std::string rootElementOf(std::string_view head) {
  size_t at = 0;
  if (head.substr(0, 3) == "\xEF\xBB\xBF") at = 3;
  while (at < head.size()) {
    at = head.find('<', at);
    if (at == std::string_view::npos || at + 1 >= head.size()) return {};
    char next = head[at + 1];
    if (next == '?' || next == '!') {
      size_t end = head.substr(at, 4) == "<!--" ? head.find("-->", at) : head.find('>', at);
      if (end == std::string_view::npos) return {};
      at = end + 1;
      continue;
    }
    size_t end = at + 1;
    while (end < head.size() && !std::strchr(" \t\r\n/>", head[end])) ++end;
    return std::string(head.substr(at + 1, end - at - 1));
  }
  return {};
}

}  // namespace

LibraryKind sniffLibrary(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0)
    throw LibraryError(path, 0, std::string("cannot open: ") + std::strerror(errno));
  if (S_ISDIR(st.st_mode)) return LibraryKind::kPlaylistFolder;
  if (!S_ISREG(st.st_mode)) return LibraryKind::kITunesXml;  // whose reader says what it is
  char head[4096];
  ssize_t n = -1;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd >= 0) {
    do n = ::read(fd, head, sizeof head);
    while (n < 0 && errno == EINTR);
    ::close(fd);
  }
  if (n < 0) throw LibraryError(path, 0, std::string("cannot read: ") + std::strerror(errno));
  std::string_view start(head, static_cast<size_t>(n));
  if (start.substr(0, 16) == std::string_view("SQLite format 3\0", 16))
    return PlayerDatabaseReader::kindOf(path);
  std::string root = rootElementOf(start);
  if (root == "rhythmdb") return LibraryKind::kRhythmbox;
  if (root == "rhythmdb-playlists")
    throw LibraryError(path, 0,
                       "this is Rhythmbox's list of playlists; give its library, rhythmdb.xml "
                       "in the same folder");
  std::string extension = std::filesystem::path(path).extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (root == "playlist" || start.substr(0, 7) == "#EXTM3U" ||
      start.substr(0, 10) == "[playlist]" || extension == ".m3u" || extension == ".m3u8" ||
      extension == ".pls" || extension == ".xspf")
    throw LibraryError(path, 0,
                       "a single playlist file: give the folder that holds it (each playlist "
                       "file there is read)");
  return LibraryKind::kITunesXml;
}

std::vector<std::string> playerLibraryPlaces(const std::string& home) {
  if (home.empty()) return {};
  return {home + "/.local/share/rhythmbox/rhythmdb.xml",
          home + "/.local/share/strawberry/strawberry/strawberry.db",
          home + "/.config/Clementine/clementine.db",
          home + "/Music/Playlists",
          home + "/.local/share/mpd/playlists",
          home + "/.mpd/playlists"};
}

std::optional<std::string> findPlayerLibrary(const std::string& home) {
  namespace stdfs = std::filesystem;
  for (const std::string& place : playerLibraryPlaces(home)) {
    std::error_code ec;
    if (stdfs::is_regular_file(place, ec)) return place;
    if (!stdfs::is_directory(place, ec)) continue;
    // An empty playlist folder (MPD makes one) stands for no library; a
    // look at the first thousand entries tells.
    size_t looked = 0;
    for (stdfs::recursive_directory_iterator it(place, ec), end; !ec && it != end && looked < 1000;
         it.increment(ec), ++looked) {
      std::string ext = it->path().extension().string();
      for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (ext == ".m3u" || ext == ".m3u8" || ext == ".pls" || ext == ".xspf") return place;
    }
  }
  return std::nullopt;
}

std::string stableId(std::string_view key) {
  uint64_t h = XXH3_64bits(key.data(), key.size());
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i, h >>= 4) out[static_cast<size_t>(i)] = kDigits[h & 15];
  return out;
}

uint32_t LibraryAssembly::track(const std::string& identity, std::string_view path,
                                const TrackFields& fields) {
  auto [at, added] = tracks_.try_emplace(identity, static_cast<uint32_t>(lib_.tracks.size()));
  LibraryText& text = *lib_.text;
  if (!added) {
    // A later entry may say what an earlier one did not (a playlist with
    // titles after one without).
    LibraryTrack& t = lib_.tracks[at->second];
    if (!fields.name.empty() && untitled_.erase(at->second)) t.name = text.add(fields.name);
    if (t.artist.empty()) t.artist = text.add(fields.artist);
    if (t.album.empty()) t.album = text.add(fields.album);
    if (!t.totalTimeMs) t.totalTimeMs = fields.totalTimeMs;
    return at->second;
  }
  LibraryTrack& t = lib_.tracks.emplace_back();
  t.persistentId = text.add(stableId(identity));
  t.trackId = static_cast<int64_t>(lib_.tracks.size());
  if (fields.name.empty()) {
    // Named after its file until an entry gives a title.
    std::string_view file = path.substr(path.rfind('/') + 1);
    t.name = text.add(file.substr(0, file.rfind('.') == 0 ? file.size() : file.rfind('.')));
    untitled_.insert(at->second);
  } else {
    t.name = text.add(fields.name);
  }
  t.artist = text.add(fields.artist);
  t.album = text.add(fields.album);
  t.albumArtist = text.add(fields.albumArtist);
  t.totalTimeMs = fields.totalTimeMs;
  t.size = fields.size;
  t.location = text.add(path);
  if (auto mapped = map_.apply(path)) t.mappedPath = text.add(*mapped);
  if (!t.onThisComputer()) ++lib_.tracksNotOnThisComputer;
  return at->second;
}

std::optional<uint32_t> LibraryAssembly::find(const std::string& identity) const {
  auto at = tracks_.find(identity);
  if (at == tracks_.end()) return std::nullopt;
  return at->second;
}

size_t LibraryAssembly::playlist(std::string_view identity, std::string_view name,
                                 std::string_view parentId, bool folder) {
  LibraryPlaylist& p = lib_.playlists.emplace_back();
  p.persistentId = stableId(identity);
  p.name = name;
  p.parentPersistentId = parentId;
  p.folder = folder;
  return lib_.playlists.size() - 1;
}

void LibraryAssembly::append(size_t playlist, uint32_t track) {
  LibraryPlaylist& p = lib_.playlists[playlist];
  p.items.push_back(lib_.tracks[track].persistentId.view());
  p.tracks.push_back(track);
}

void LibraryAssembly::note(std::string text) {
  if (lib_.notes.size() < 20)
    lib_.notes.push_back(std::move(text));
  else
    ++unsaid_;
}

void LibraryAssembly::finish() {
  if (unsaid_) lib_.notes.push_back("... and " + std::to_string(unsaid_) + " more like these.");
  unsaid_ = 0;
}

}  // namespace app
