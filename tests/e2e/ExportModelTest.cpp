// Random histories of what owners do between exports, played against the
// real program: the library changes, files of the owner's own land on the
// drive, copies there get edited, and exports run (some killed outright at
// a random moment). After every export the drive is judged from its files
// alone: each file's bytes say which track, and which version of it, they
// hold, so no answer of the exporter's is taken on trust.
//
// TESSALINE_MODEL_SEQUENCES=N plays N histories (default 200), seeds 1...N,
// TESSALINE_MODEL_JOBS=J of them at a time (default 4);
// TESSALINE_MODEL_SEED=S replays history S alone; TESSALINE_MODEL_SHRINK=1
// looks for the fewest steps of a failing history that still fail the same
// way; TESSALINE_MODEL_KEEP=DIR keeps each failing history's folder there
// (library, drive, and each run's report). A kill lands wherever the
// machine's speed puts it, so a history with one may replay otherwise.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "fs/FileManager.h"
#include "session/MediaProbe.h"
#include "support/TempDir.h"

namespace stdfs = std::filesystem;
using nlohmann::json;
using testsupport::readFile;

namespace {

constexpr int kInterrupted = 130;  // the exit status of an export stopped when asked

const char* const kTitles[] = {"Intro", "Blue Hour", "Rain", "Night Drive", "Caf\xC3\xA9"};
const char* const kArtists[] = {"Nova", "The Lanterns", "Bj\xC3\xB6rn & Co"};
const char* const kAlbums[] = {"First", "Second Light", "Live"};
// "Chill #1" and "Chill %1" are spelled alike on the drive.
const char* const kPlaylistNames[] = {"Road Trip", "Gym",   "Chill #1", "Chill %1",
                                      "Sunday",    "Party", "Focus",    "Old Songs"};

template <class... Parts>
std::string cat(const Parts&... parts) {
  std::ostringstream out;
  (out << ... << parts);
  return out.str();
}

// Every third track is a second of real sound, a WAV file whose title
// names it: the drive of a converting history cannot play it, so the
// exporter converts it, and the copy is told by its title and length.
bool sounds(int track) { return track % 3 == 0; }

std::string le(uint32_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i) & 0xFF);
  return out;
}

std::string wavOf(const std::string& title, uint32_t h) {
  auto chunk = [](const std::string& id, std::string body) {
    if (body.size() % 2) body += '\0';
    return id + le(static_cast<uint32_t>(body.size()), 4) + body;
  };
  std::string samples;
  for (uint32_t i = 0; i < 8000; ++i)
    samples +=
        le(static_cast<uint32_t>(static_cast<int16_t>((i * (h % 37 + 5) % 200) * 100 - 10000)), 2);
  std::string body =
      "WAVE" +
      chunk("fmt ", le(1, 2) + le(1, 2) + le(8000, 4) + le(16000, 4) + le(2, 2) + le(16, 2)) +
      chunk("LIST", "INFO" + chunk("INAM", title + '\0')) + chunk("data", samples);
  return chunk("RIFF", body);
}

// Padded to a length of its own, so that versions differ in size too.
std::string contentOf(int track, int version) {
  uint32_t h = static_cast<uint32_t>(track) * 2654435761u ^ static_cast<uint32_t>(version) * 40503u;
  if (sounds(track)) return wavOf(cat("TRACK T", track, " v", version), h);
  std::string bytes = cat("TRACK T", track, " v", version, "\n");
  for (uint32_t i = 0, pad = 100 + (h >> 8) % 1500; i < pad; ++i)
    bytes += static_cast<char>('a' + (h + i * 7) % 26);
  return bytes;
}

// The track and version a file holds whole; none for a copy cut short or
// edited, or a file that never was a track's.
std::optional<std::pair<int, int>> heldBy(const std::string& bytes) {
  int track = 0, version = 0;
  size_t named = bytes.rfind("RIFF", 0) == 0 ? bytes.find("TRACK T") : 0;
  if (named > 200 || std::sscanf(bytes.c_str() + named, "TRACK T%d v%d", &track, &version) != 2 ||
      bytes != contentOf(track, version))
    return std::nullopt;
  return std::make_pair(track, version);
}

// The track and version a file on the drive holds: a copy by its bytes,
// a conversion by its title, when it plays the whole second.
std::optional<std::pair<int, int>> heldAt(const std::string& path) {
  std::string bytes = readFile(path);
  if (auto held = heldBy(bytes)) return held;
  if (bytes.rfind("ID3", 0) != 0) return std::nullopt;
  auto fm = fs::FileManager::makePrivate();
  auto probed = session::probeMedia(*fm, path);
  int track = 0, version = 0;
  if (!probed.ok() || probed->format.codec != "mp3" || probed->seconds < 0.95 ||
      std::sscanf(probed->tags["title"].c_str(), "TRACK T%d v%d", &track, &version) != 2 ||
      !sounds(track))
    return std::nullopt;
  return std::make_pair(track, version);
}

std::string urlOf(const std::string& path) {
  std::string url = "file://";
  for (unsigned char c : path) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%%%02X", c);
    url += std::isalnum(c) || std::strchr("/-._~", c) ? std::string(1, static_cast<char>(c)) : hex;
  }
  return url;
}

std::string escaped(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '&' ? "&amp;" : c == '<' ? "&lt;" : std::string(1, c);
  return out;
}

// Everything below `folder`; nothing when it is missing.
std::vector<stdfs::directory_entry> below(const std::string& folder) {
  std::vector<stdfs::directory_entry> entries;
  std::error_code ec;
  for (auto it = stdfs::recursive_directory_iterator(folder, ec);
       !ec && it != stdfs::recursive_directory_iterator(); it.increment(ec))
    entries.push_back(*it);
  return entries;
}

void writeAt(const std::string& path, const std::string& bytes, int64_t seconds) {
  testsupport::writeFile(path, bytes);
  timespec times[2] = {{seconds, 0}, {seconds, 0}};
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

struct Track {
  int key = 0, version = 1;
  std::string title, artist, album, ext;
  std::string source, location;  // where the file is (none: deleted); where the library says
  bool checked = true, inLibrary = true;
};

struct Playlist {
  int key = 0;
  std::string name;
  std::vector<int> items;
};

// What the owner left on the drive; for a copy cut short, the track it
// was a copy of (a whole copy may take its place again).
struct UserFile {
  std::string bytes;
  int cutFrom = 0;
};

// An entry of a playlist file: its #EXTINF line and the file it names,
// from the drive's root (empty when outside the drive).
struct Entry {
  std::string info, path;
};
using PlaylistFiles = std::map<std::string, std::vector<Entry>>;

struct Run {
  int status = -1;  // the exit status; minus the signal that ended it
  json report;
  std::string err;
};

// A step carries its own seed, so that a history without some of its steps
// plays the others alike (what shrinking needs).
struct Step {
  size_t kind;
  uint32_t seed;
};

class History {
 public:
  History(uint32_t seed, std::vector<Step> steps)
      : lib_(dir_ / "library"), drive_(dir_ / "drive"), steps_(std::move(steps)) {
    stdfs::create_directories(drive_);
    stdfs::create_directories(dir_ / "home/.config");
    clock_ = 1'600'000'000 + seed % 1000 * 3600;
    // One history in three exports to a drive that plays only MP3 and AAC.
    converting_ = seed % 3 == 0;
    if (converting_) say("the drive plays mp3 and m4a; the rest is converted to mp3");
  }

  // Plays the steps up to the first that breaks a promise; says how
  // (empty when none did).
  std::string play();
  const std::vector<std::string>& log() const { return log_; }
  void keepIn(const std::string& folder) const {
    stdfs::create_directories(folder);
    stdfs::copy(dir_.path(), folder, stdfs::copy_options::recursive);
    std::string said;
    for (const auto& line : log_) said += line + "\n";
    testsupport::writeFile(folder + "/steps", said);
  }

  // What owners do, in the library and on the drive.
  void addTrack() {
    Track t;
    t.key = nextKey_++;
    std::vector<int> known = libraryTracks();
    const Track* twin = !known.empty() && chance(30) ? &tracks_[anyOf(known)] : nullptr;
    if (twin != nullptr) {
      std::tie(t.title, t.artist, t.album, t.ext) =
          std::tie(twin->title, twin->artist, twin->album, twin->ext);
    } else {
      t.title = kTitles[pick(std::size(kTitles))];
      t.artist = kArtists[pick(std::size(kArtists))];
      t.album = kAlbums[pick(std::size(kAlbums))];
      t.ext = chance(25) ? ".m4a" : ".mp3";
    }
    if (sounds(t.key)) t.ext = ".wav";
    if (!sounds(t.key) && t.ext == ".wav") t.ext = ".mp3";
    std::string album = lib_ + "/Media/Music/" + t.artist + "/" + t.album;
    t.source = album + "/" + t.title + t.ext;
    // Outside the media folder, a file of the same name is laid out at the
    // same place on the drive as its twin's.
    // Nor where the library still places a track whose file moved
    // untold: the library would then name the new file for that track.
    bool named = std::any_of(tracks_.begin(), tracks_.end(),
                             [&](const auto& k) { return k.second.location == t.source; });
    if (twin != nullptr || named || testsupport::exists(t.source)) {
      t.source = cat(lib_, "/Other ", t.key, "/", t.title, t.ext);
    } else if (!testsupport::exists(album) && t.album.size() % 2 == 1) {
      covers_[album + "/cover.jpg"] = "JPEG " + album;
      testsupport::writeFile(album + "/cover.jpg", covers_[album + "/cover.jpg"]);
    }
    t.location = t.source;
    tracks_[t.key] = t;
    writeAt(t.source, contentOf(t.key, 1), later());
    std::string into;
    if (!playlists_.empty() && chance(70)) {
      Playlist& p = anyOf(playlists_);
      p.items.insert(p.items.begin() + static_cast<long>(pick(p.items.size() + 1)), t.key);
      into = ", into '" + p.name + "'";
    }
    say(cat("add ", nameOf(t.key), " by ", t.artist, " on ", t.album,
            twin ? cat(" (as T", twin->key, ")") : "", " at ", t.source.substr(lib_.size() + 1),
            into));
  }
  void removeTrack() {
    if (Track* t = someTrack()) {
      t->inLibrary = false;
      for (Playlist& p : playlists_) std::erase(p.items, t->key);
      bool deleted = chance(50);
      if (deleted) stdfs::remove(std::exchange(t->source, ""));
      say(cat("remove ", nameOf(t->key), " from the library",
              deleted ? " and delete its file" : ""));
    }
  }
  void reEncode() {
    if (Track* t = someTrack(true)) {
      writeAt(t->source, contentOf(t->key, ++t->version), later());
      say(cat("re-encode ", nameOf(t->key), " (now v", t->version, ")"));
    }
  }
  void moveSource() {
    if (Track* t = someTrack(true)) {
      std::string to = cat(lib_, "/Moved ", nextFile_++, "/", t->title, t->ext);
      stdfs::create_directories(stdfs::path(to).parent_path());
      stdfs::rename(std::exchange(t->source, to), to);
      // Now and then moved by hand, the library not told.
      bool told = chance(85);
      if (told) t->location = to;
      say(cat("move the file of ", nameOf(t->key), " to ", to.substr(lib_.size() + 1),
              told ? "" : ", the library not told"));
    }
  }
  void toggleCheck() {
    if (Track* t = someTrack()) {
      t->checked = !t->checked;
      say(cat(t->checked ? "check " : "uncheck ", nameOf(t->key)));
    }
  }
  void rebuild() {
    ++generation_;
    for (auto& [key, t] : tracks_)
      if (t.inLibrary && !t.source.empty()) t.location = t.source;
    say("rebuild the library (new persistent IDs, every file where it is)");
  }
  void addPlaylist() {
    Playlist p{nextPlaylist_++, freeName(), {}};
    if (p.name.empty()) return;
    for (int key : libraryTracks())
      if (chance(60)) p.items.push_back(key);
    std::shuffle(p.items.begin(), p.items.end(), rng_);
    if (!p.items.empty() && chance(20)) p.items.push_back(anyOf(p.items));
    playlists_.insert(playlists_.begin() + static_cast<long>(pick(playlists_.size() + 1)), p);
    say(cat("add playlist '", p.name, "':", keysOf(p.items)));
  }
  void editPlaylist() {
    if (playlists_.empty()) return;
    std::vector<int> keys = libraryTracks();
    Playlist& p = anyOf(playlists_);
    size_t how = pick(6), at = pick(p.items.size() + 1);
    std::string name = freeName();
    if (how == 0 && !keys.empty()) {
      p.items.insert(p.items.begin() + static_cast<long>(at), anyOf(keys));
      say(cat("add T", p.items[at], " to '", p.name, "' at ", at + 1));
    } else if (how == 1 && at < p.items.size()) {
      say(cat("take T", p.items[at], " (item ", at + 1, ") out of '", p.name, "'"));
      p.items.erase(p.items.begin() + static_cast<long>(at));
    } else if (how == 2) {
      std::shuffle(p.items.begin(), p.items.end(), rng_);
      say(cat("reorder '", p.name, "':", keysOf(p.items)));
    } else if (how == 3 && !name.empty()) {
      say(cat("rename playlist '", p.name, "' to '", name, "'"));
      p.name = name;
    } else if (how == 4) {
      say(cat("remove playlist '", p.name, "'"));
      playlists_.erase(playlists_.begin() + (&p - playlists_.data()));
    } else {
      std::shuffle(playlists_.begin(), playlists_.end(), rng_);
      say("reorder the playlists");
    }
  }
  // Where the drive held a copy once, at a playlist's file name (its own
  // or one it had before), or at a name of the owner's own; never over a
  // file.
  void dropUserFile() {
    std::vector<std::string> free[2];
    std::set<std::string> candidates = pathsOnce_;
    for (const Playlist& p : playlists_) {
      std::string name = p.name;
      std::replace_if(
          name.begin(), name.end(), [](char c) { return c == '#' || c == '%'; }, '_');
      candidates.insert(lists_ + "/" + name + ".m3u8");
    }
    for (const auto& path : candidates)
      if (!testsupport::exists(drive_ + "/" + path)) free[!inMusic(path)].push_back(path);
    size_t how = pick(3);
    std::string path = how < 2 && !free[how].empty() ? anyOf(free[how]) : "";
    if (path.empty())
      path = cat(kMusicFolders[pick(2)], "/",
                 chance(50) ? "Mine" : cat(kArtists[pick(3)], "/", kAlbums[pick(3)]), "/mine ",
                 nextFile_++, ".mp3");
    std::string bytes = !inMusic(path)
                            ? "#EXTM3U\n#EXTINF:-1,Me - Mine\n../Music/Mine/mine.mp3\n"
                            : cat("THE OWNER'S ", path, "\n", std::string(pick(900), '#'));
    writeAt(drive_ + "/" + path, bytes, later());
    userFiles_[path] = {bytes, 0};
    say("the owner puts a file at " + path);
  }
  // The drive's player profile names another music or playlist folder or
  // cover name, or goes.
  void changeProfile() {
    lists_ = chance(50) ? "Playlists" : "Lists";
    cover_ = chance(50) ? "folder.jpg" : "cover.jpg";
    music_ = chance(70) ? "Music" : "Audio";
    std::string text = (lists_ == "Playlists" ? "" : "playlist_path=/" + lists_ + "/%File\n") +
                       (cover_ == "folder.jpg" ? "" : "cover_art_file_name=" + cover_ + "\n") +
                       (music_ == "Music" ? "" : "audio_folders=" + music_ + "/\n");
    if (text.empty() && chance(50)) {
      stdfs::remove(drive_ + "/.is_audio_player");
    } else {
      writeAt(drive_ + "/.is_audio_player", text, later());
    }
    say("the drive's profile puts tracks in " + music_ + ", playlist files in " + lists_ +
        ", covers as " + cover_);
  }
  // A copy cut short, or changed by the owner (its time then changes too).
  void editCopy() {
    std::vector<std::string> copies;
    for (const auto& [path, held] : tracksOnDrive())
      if (!userFiles_.count(path) && heldBy(readFile(drive_ + "/" + path))) copies.push_back(path);
    if (copies.empty()) return;
    std::string path = anyOf(copies), bytes = readFile(drive_ + "/" + path);
    int track = heldBy(bytes)->first;
    size_t how = pick(3);
    if (how == 0) bytes.resize(pick(bytes.size()));
    if (how == 1) bytes[pick(bytes.size())] ^= 0x20;
    if (how == 2) bytes += "the owner's notes\n";
    struct stat st {};
    stat((drive_ + "/" + path).c_str(), &st);
    writeAt(drive_ + "/" + path, bytes, std::max<int64_t>(later(), st.st_mtim.tv_sec + 7));
    userFiles_[path] = {bytes, how == 0 ? track : 0};
    const char* said[] = {"cuts short", "changes a byte of", "appends to"};
    say(cat("the owner ", said[how], " the copy ", path));
  }

  // The exports.
  void exportAll() { exportSome(false, -1); }
  void exportOne() { exportSome(true, -1); }
  // Killed outright, or asked to stop as Ctrl-C and the service manager
  // ask, which every phase must heed within moments.
  void killedExport() {
    const int signals[] = {SIGKILL, SIGKILL, SIGKILL, SIGTERM, SIGINT};
    exportSome(chance(40), static_cast<int>(pick(30001)), signals[pick(5)]);
  }
  void dryRun() {
    const Playlist* one = !playlists_.empty() && chance(30) ? &anyOf(playlists_) : nullptr;
    auto before = snapshot();
    std::vector<std::string> args = argsFor(one, false);
    args[0] = "--dry-run";
    Run run = exportWith(args);
    say(cat("dry run", one ? " --playlist '" + one->name + "'" : "", ": exit ", run.status));
    checkUserFiles();
    checkSources();
    if (run.status != 0) fail(5, cat("a dry run ended with exit ", run.status), run.err);
    std::string changed;
    auto after = snapshot();
    for (const auto& [path, facts] : after)
      if (before[path] != facts) changed += " " + path;
    for (const auto& [path, facts] : before)
      if (!after.count(path)) changed += " " + path + " (gone)";
    if (!changed.empty()) fail(5, "a dry run changed the drive", changed);
    // What a kill left is for the next export to settle, not a dry run.
    if (settled_) checkEntries(keptPlaylistFiles(), {});
  }
  // An export of all playlists or of one; killed `killAfterUs` after it
  // started (now and then stopped first) unless that is negative.
  void exportSome(bool justOne, int killAfterUs, int signal = SIGKILL) {
    const Playlist* one = justOne && !playlists_.empty() ? &anyOf(playlists_) : nullptr;
    bool clean = one == nullptr || chance(75), allTracks = one == nullptr && chance(10);
    bool stopped = killAfterUs >= 0 && signal == SIGKILL && chance(30);
    Run run = exportWith(argsFor(one, clean, allTracks), killAfterUs, stopped, false, signal);
    say(cat("export ", one ? "--playlist '" + one->name + "'" : "all",
            one && clean ? " --clean" : "", allTracks ? " --all-tracks" : "",
            killAfterUs < 0 ? ""
                            : cat(signal == SIGKILL ? " killed" : " sent ",
                                  signal == SIGKILL ? "" : strsignal(signal), " after ",
                                  killAfterUs / 1000.0, " ms", stopped ? ", stopped first" : ""),
            ": ", run.status < 0 ? "killed" : cat("exit ", run.status)));
    // One that ended before the kill is an export like any other; one
    // that stopped when asked leaves what a kill leaves at most.
    settled_ = run.status >= 0 && run.status != kInterrupted;
    if (run.status == kInterrupted && run.report.value("status", "") != "interrupted")
      fail(9, "a stopped export did not say it was interrupted", run.err);
    if (settled_) return checkExport(run, one, allTracks, clean);
    checkUserFiles();
    checkSources();
  }

 private:
  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  bool chance(size_t percent) { return pick(100) < percent; }
  template <class T>
  T& anyOf(std::vector<T>& items) {
    return items[pick(items.size())];
  }
  // A later time than any before, as the owner's machine gives it.
  int64_t later() { return clock_ += 7; }
  void say(const std::string& what) { log_.push_back(what); }
  void fail(int check, const std::string& what, const std::string& detail) {
    failures_.push_back(cat("check ", check, ": ", what, ": ", detail));
  }
  std::string nameOf(int key) const { return cat("T", key, " '", tracks_.at(key).title, "'"); }
  static std::string keysOf(const std::vector<int>& keys) {
    std::string said;
    for (int key : keys) said += cat(" T", key);
    return said;
  }
  std::vector<int> libraryTracks(bool withFile = false) const {
    std::vector<int> keys;
    for (const auto& [key, t] : tracks_)
      if (t.inLibrary && (!withFile || !t.source.empty())) keys.push_back(key);
    return keys;
  }
  Track* someTrack(bool withFile = false) {
    std::vector<int> keys = libraryTracks(withFile);
    return keys.empty() ? nullptr : &tracks_[anyOf(keys)];
  }
  // Where the library says, so the exporter can tell its version.
  static bool found(const Track& t) {
    return t.inLibrary && !t.source.empty() && t.location == t.source;
  }
  std::string freeName() {
    std::vector<std::string> free;
    for (std::string name : kPlaylistNames)
      if (std::none_of(playlists_.begin(), playlists_.end(),
                       [&](const Playlist& p) { return p.name == name; }))
        free.push_back(name);
    return free.empty() ? "" : anyOf(free);
  }
  std::string persistentId(int kind, int key) const {
    char id[20];
    std::snprintf(id, sizeof id, "%04X%01X%011X", generation_, kind, key);
    return id;
  }

  void writeLibrary() {
    auto kv = [](const char* key, const char* type, const std::string& value) {
      return cat("<key>", key, "</key><", type, ">", value, "</", type, ">");
    };
    auto idOf = [&](int key) { return std::to_string(generation_ * 1000 + key); };
    auto item = [&](int key) {
      return "<dict>" + kv("Track ID", "integer", idOf(key)) + "</dict>";
    };
    auto playlist = [&](const std::string& name, int key, const std::string& items,
                        const char* kind) {
      return "<dict>" + kv("Name", "string", escaped(name)) +
             kv("Playlist Persistent ID", "string", persistentId(2, key)) + kind +
             kv("Playlist Items", "array", items) + "</dict>";
    };
    std::string tracks, all, playlists;
    for (const auto& [key, t] : tracks_) {
      if (!t.inLibrary) continue;
      all += item(key);
      tracks +=
          cat("<key>", idOf(key), "</key><dict>", kv("Track ID", "integer", idOf(key)),
              kv("Name", "string", escaped(t.title)), kv("Artist", "string", escaped(t.artist)),
              kv("Album", "string", escaped(t.album)),
              kv("Size", "integer", cat(contentOf(key, t.version).size())),
              kv("Total Time", "integer", cat(60000 + key * 1000)),
              kv("Persistent ID", "string", persistentId(1, key)),
              t.checked ? "" : "<key>Disabled</key><true/>",
              kv("Location", "string", escaped(urlOf(t.location))), "</dict>");
    }
    for (const Playlist& p : playlists_) {
      std::string items;
      for (int key : p.items) items += item(key);
      playlists += playlist(p.name, p.key, items, "");
    }
    xml_ = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" +
           kv("Library Persistent ID", "string", persistentId(0, 0)) +
           kv("Music Folder", "string", urlOf(lib_ + "/Media/")) + kv("Tracks", "dict", tracks) +
           kv("Playlists", "array",
              playlist("Library", 0, all, "<key>Master</key><true/><key>Visible</key><false/>") +
                  playlists) +
           "</dict></plist>\n";
    testsupport::writeFile(lib_ + "/Library.xml", xml_);
  }

  std::vector<std::string> argsFor(const Playlist* one, bool clean, bool allTracks = false) const {
    std::vector<std::string> args = {"--yes", "--json"};
    if (converting_) args.insert(args.end(), {"--formats", "mp3,m4a", "--convert-to", "mp3"});
    if (one != nullptr) args.insert(args.end(), {"--playlist", one->name});
    if (one != nullptr && clean) args.push_back("--clean");
    if (allTracks) args.push_back("--all-tracks");
    return args;
  }

  // The program on the history's library and drive, with a home and
  // settings of its own; killed `killAfterUs` after it started (stopped
  // first, when asked) unless that is negative.
  Run exportWith(std::vector<std::string> args, int killAfterUs = -1, bool stopFirst = false,
                 bool check = false, int signal = SIGKILL) {
    writeLibrary();
    if (check)
      args = {TESSALINE_EXECUTABLE, "check", drive_, "--json"};
    else
      args.insert(args.begin(), {TESSALINE_EXECUTABLE, "export", "--library", lib_ + "/Library.xml",
                                 "--to", drive_});
    std::vector<std::string> env = {"HOME=" + dir_ / "home",
                                    "XDG_CONFIG_HOME=" + dir_ / "home/.config",
                                    "TESSALINE_RESOURCES=" TESSALINE_SOURCE_DIR "/resources",
                                    "PATH=/usr/bin:/bin", "LANG=C.UTF-8"};
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    for (auto& e : env) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    // Each run's output stays in the history's folder.
    std::string out = dir_ / cat("run ", log_.size() + 1, ".json"), err = out + ".err";
    posix_spawn_file_actions_t io;
    posix_spawn_file_actions_init(&io);
    posix_spawn_file_actions_addopen(&io, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&io, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&io, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    int started = posix_spawn(&pid, argv[0], &io, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&io);
    Run run;
    if (started != 0) {
      fail(7, "the program did not start", std::strerror(started));
      return run;
    }
    if (killAfterUs >= 0) {
      usleep(static_cast<useconds_t>(killAfterUs));
      if (stopFirst) kill(pid, SIGSTOP);
      kill(pid, signal);
    }
    int status = 0;
    // A stop asked for is heeded in whatever phase it finds the export.
    auto asked = std::chrono::steady_clock::now();
    bool reaped = false;
    while (signal != SIGKILL && killAfterUs >= 0 && !reaped) {
      reaped = waitpid(pid, &status, WNOHANG) == pid;
      if (!reaped && std::chrono::steady_clock::now() - asked > std::chrono::seconds(20)) {
        fail(9, cat("an export ignored ", strsignal(signal), " for 20 s"), readFile(err));
        kill(pid, SIGKILL);
        break;
      }
      if (!reaped) usleep(2000);
    }
    if (!reaped) waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    std::string text = readFile(out);
    size_t brace = text.rfind("{\n", 0) == 0 ? 0 : text.find("\n{\n");
    if (brace != std::string::npos) run.report = json::parse(text.substr(brace), nullptr, false);
    run.err = readFile(err).substr(0, 600);
    // Where the owner may later put a file of the same name.
    for (const auto& [path, held] : tracksOnDrive()) pathsOnce_.insert(path);
    for (const auto& [file, entries] : keptPlaylistFiles()) pathsOnce_.insert(lists_ + "/" + file);
    return run;
  }

  // The whole tracks in the music folders by path from the drive's root;
  // not the exporter's unfinished copies, whose names are its own.
  std::map<std::string, std::pair<int, int>> tracksOnDrive() const {
    std::map<std::string, std::pair<int, int>> held;
    for (const char* music : kMusicFolders) {
      for (const auto& e : below(drive_ + "/" + music)) {
        bool copy = e.is_regular_file() && e.path().filename().string()[0] != '.';
        if (auto h = copy ? heldAt(e.path()) : std::nullopt)
          held[e.path().string().substr(drive_.size() + 1)] = *h;
      }
    }
    return held;
  }

  // The playlist files in the profile's playlist folder (`lists`) that are
  // not the owner's, entry by entry, each resolved against the file's
  // folder as a player does.
  PlaylistFiles keptPlaylistFiles(const std::string& lists = "") const {
    PlaylistFiles files;
    const std::string& in = lists.empty() ? lists_ : lists;
    std::string folder = drive_ + "/" + in;
    for (const auto& e : below(folder)) {
      std::string name = e.path().filename().string(), info;
      if (!e.is_regular_file() || name[0] == '.' || userFiles_.count(in + "/" + name)) continue;
      std::istringstream in(readFile(e.path()));
      for (std::string line; std::getline(in, line);) {
        if (line.rfind("#EXTINF:", 0) == 0) info = line;
        if (line.empty() || line[0] == '#') continue;
        std::string path = (stdfs::path(folder) / line).lexically_normal().string();
        bool inside = path.rfind(drive_ + "/", 0) == 0;
        files[name].push_back(
            {std::exchange(info, ""), inside ? path.substr(drive_.size() + 1) : ""});
      }
      files[name];
    }
    return files;
  }

  std::map<std::string, std::string> snapshot() const {
    std::map<std::string, std::string> facts;
    for (const auto& e : below(drive_)) {
      struct stat st {};
      lstat(e.path().c_str(), &st);
      facts[e.path().string()] =
          cat(st.st_mode, " ", st.st_size, " ", st.st_mtim.tv_sec, ".", st.st_mtim.tv_nsec, " ",
              S_ISREG(st.st_mode) ? std::hash<std::string>{}(readFile(e.path())) : 0);
    }
    return facts;
  }

  void checkExport(const Run& run, const Playlist* one, bool allTracks, bool clean) {
    checkUserFiles();
    checkSources();
    bool finished = checkReport(run);
    std::set<std::string> written;
    if (run.report.is_object())
      for (const auto& file : run.report.value("playlistFiles", json::array()))
        written.insert(file);
    PlaylistFiles files = keptPlaylistFiles();
    checkEntries(files, finished ? written : std::set<std::string>{});
    if (!finished) return;
    checkListed(run, files, written, one, allTracks);
    if (clean && run.status == 0) checkOnlyNeeded(files, written, one == nullptr);
    // 8: after any export that said "Done.", the drive's own check finds
    // everything the exporter keeps as it wrote it. An export of one
    // playlist leaves the owner's edits to other playlists' copies for an
    // export of all to settle: check may call those changed, nothing else.
    if (run.status == 0) {
      Run checked = exportWith({}, -1, false, true);
      const json& r = checked.report;
      bool onlyEdits =
          one != nullptr && r.is_object() && !r.value("changed", json::array()).empty();
      for (const char* key : {"damaged", "missing", "danglingPlaylistEntries", "cannotHold"})
        onlyEdits = onlyEdits && r.value(key, json::array()).empty();
      if (checked.status != 0 && !onlyEdits)
        fail(8, "check disagrees with the export's \"Done.\"",
             r.is_object() ? r.dump() : checked.err);
    }
  }

  // 1: every entry of the exporter's playlist files plays a whole track,
  // the one its #EXTINF names; in a file a finished export just wrote, its
  // current version.
  void checkEntries(const PlaylistFiles& files, const std::set<std::string>& fresh) {
    for (const auto& [file, entries] : files) {
      for (const Entry& e : entries) {
        std::string where = lists_ + "/" + file + " -> " + (e.path.empty() ? "outside" : e.path);
        auto held = e.path.empty() ? std::nullopt : heldAt(drive_ + "/" + e.path);
        if (e.path.empty() || !stdfs::is_regular_file(drive_ + "/" + e.path)) {
          fail(1, "an entry names no file", where);
        } else if (userFiles_.count(e.path)) {
          if (fresh.count(file))
            fail(1, "an entry just written plays a file of the owner's", where);
        } else if (!held) {
          fail(1, "an entry plays no whole track", where);
        } else {
          const Track& t = tracks_.at(held->first);
          std::string named = "," + t.artist + " - " + t.title;
          if (e.info.size() < named.size() || e.info.substr(e.info.size() - named.size()) != named)
            fail(1, "an entry's #EXTINF names another track", where + " holds " + nameOf(t.key));
          if (fresh.count(file) && (!t.inLibrary || (found(t) && held->second != t.version)))
            fail(1, "an entry just written plays an old version",
                 cat(where, " holds v", held->second, " of ", nameOf(t.key)));
        }
      }
    }
  }

  // 2: each playlist exported lists, in its order, its checked tracks
  // whose files are where the library says (one whose file is missing
  // here may be listed too, its copy being on the drive).
  void checkListed(const Run& run, const PlaylistFiles& files, const std::set<std::string>& written,
                   const Playlist* one, bool allTracks) {
    for (const Playlist& p : playlists_) {
      if (one != nullptr && one->key != p.key) continue;
      std::string file, want, got;
      for (const auto& row : run.report.value("playlists", json::array()))
        if (row.value("id", "") == persistentId(2, p.key)) file = row.value("file", "");
      if (!written.count(file)) {
        fail(2, "a playlist exported has no file written", "'" + p.name + "' (" + file + ")");
        continue;
      }
      std::vector<int> listed;
      for (const Entry& e : files.count(file) ? files.at(file) : std::vector<Entry>{}) {
        auto held = e.path.empty() ? std::nullopt : heldAt(drive_ + "/" + e.path);
        listed.push_back(held ? held->first : 0);
        got += held ? cat(" T", held->first) : " (" + e.path + ")";
      }
      size_t at = 0;
      bool wrong = false;
      for (int key : p.items) {
        const Track& t = tracks_.at(key);
        if (!t.checked && !allTracks) continue;
        want += cat(" T", key, found(t) ? "" : "?");
        if (at < listed.size() && listed[at] == key) {
          ++at;
        } else {
          wrong |= found(t);
        }
      }
      if (wrong || at != listed.size())
        fail(2, "a playlist file lists other tracks than its playlist",
             "'" + p.name + "' wants" + want + ", " + file + " lists" + got);
    }
  }

  // 3: what the owner left on the drive stays as it was; only a copy cut
  // short of its track's current version may be made whole again (or be
  // gone while an export killed part-way has not copied it anew: it holds
  // nothing its source does not).
  void checkUserFiles() {
    for (auto it = userFiles_.begin(); it != userFiles_.end();) {
      std::string where = drive_ + "/" + it->first;
      bool there = stdfs::is_regular_file(where);
      std::string now = there ? readFile(where) : "";
      const Track* cut = it->second.cutFrom ? &tracks_.at(it->second.cutFrom) : nullptr;
      std::string whole = cut ? contentOf(cut->key, cut->version) : "";
      if (cut && (!there || now == whole) && whole.rfind(it->second.bytes, 0) == 0) {
        it = userFiles_.erase(it);
        continue;
      }
      if (!there || now != it->second.bytes)
        fail(3, there ? "a file of the owner's was changed" : "a file of the owner's is gone",
             it->first);
      ++it;
    }
  }

  // 4: the library's files are only read.
  void checkSources() {
    for (const auto& [key, t] : tracks_)
      if (!t.source.empty() && readFile(t.source) != contentOf(key, t.version))
        fail(4, "a source file changed", t.source);
    for (const auto& [path, bytes] : covers_)
      if (readFile(path) != bytes) fail(4, "a cover image at the source changed", path);
    if (readFile(lib_ + "/Library.xml") != xml_) fail(4, "the library file changed", lib_);
  }

  // 6: after a clean-up, every file in a music folder, the one the profile
  // names or one it named before, is an entry of a kept playlist file, a
  // cover or the owner's; after an export of all, only the library's
  // playlists have files.
  void checkOnlyNeeded(const PlaylistFiles& files, const std::set<std::string>& written, bool all) {
    std::set<std::string> named;
    for (const auto& [file, entries] : files) {
      if (all && !written.count(file)) fail(6, "a playlist file of no playlist is kept", file);
      for (const Entry& e : entries) named.insert(e.path);
    }
    for (const char* music : kMusicFolders) {
      for (const auto& e : below(drive_ + "/" + music)) {
        std::string path = e.path().string().substr(drive_.size() + 1);
        if (e.is_regular_file() && path.find("/.tessaline/") == std::string::npos &&
            !named.count(path) && !userFiles_.count(path) && e.path().filename() != cover_)
          fail(6, "a file no kept playlist file names is left", path);
      }
    }
    // What an export wrote into a playlist folder the profile named before.
    for (const char* other : {"Playlists", "Lists"}) {
      if (all && other != lists_ && !keptPlaylistFiles(other).empty())
        fail(6, "a playlist file is kept in a folder the profile no longer names", other);
    }
  }

  // 7: an export ends with 0 or 1, and with 1 only for what its report
  // names as not done; here nothing but a missing source stands in the
  // way. Says whether the export did all it could.
  bool checkReport(const Run& run) {
    if (run.status != 0 && run.status != 1) {
      fail(7, cat("an export ended with exit ", run.status), run.err);
      return false;
    }
    if (!run.report.is_object()) {
      fail(7, "an export wrote no JSON report", run.err);
      return false;
    }
    const json& r = run.report;
    std::string notDone;
    size_t missing = 0;
    for (const auto& c : r.value("notCopied", json::array())) {
      if (stdfs::exists(c.value("source", "")))
        notDone += "\n    not copied: " + c.value("title", "") + ": " + c.value("reason", "");
      missing += !stdfs::exists(c.value("source", ""));
    }
    for (const auto& f : r.value("playlistFilesNotWritten", json::array()))
      notDone +=
          "\n    playlist file not written: " + f.value("name", "") + ": " + f.value("reason", "");
    const json stale = r.value("stale", json::object());
    if (stale.contains("skipped")) notDone += "\n    no clean-up: " + stale["skipped"].dump();
    for (const auto& i : stale.value("items", json::array())) {
      std::string path = i.value("path", "");
      if (path.rfind(drive_ + "/", 0) == 0) path.erase(0, drive_.size() + 1);
      if (i.value("writtenByExporter", false) && !i.value("deleted", false) &&
          !userFiles_.count(path))
        notDone += "\n    not deleted: " + path + ": " + i.value("reason", "");
    }
    for (const char* key :
         {"cannotBeCopied", "notRenamed", "leftOutOfPlaylistFiles", "coverImagesNotWritten"})
      for (const auto& x : r.value(key, json::array()))
        notDone += cat("\n    ", key, ": ", x.dump());
    if (!notDone.empty())
      fail(7, "the report names something not done, though nothing stood in the way", notDone);
    if (run.status == 1 && notDone.empty() && missing == 0)
      fail(7, "exit 1, yet the report names nothing not done", run.err);
    return notDone.empty();
  }

  testsupport::TempDir dir_;
  std::string lib_, drive_, xml_;
  std::vector<Step> steps_;
  std::mt19937 rng_;
  std::map<int, Track> tracks_;  // every track the library ever held
  std::vector<Playlist> playlists_;
  std::map<std::string, UserFile> userFiles_;  // by path from the drive's root
  std::map<std::string, std::string> covers_;  // the source folders' images
  std::set<std::string> pathsOnce_;            // every copy and playlist file the drive held
  // As the drive's profile names them.
  std::string lists_ = "Playlists", cover_ = "folder.jpg", music_ = "Music";
  static constexpr const char* kMusicFolders[] = {"Music", "Audio"};
  static bool inMusic(const std::string& path) {
    return path.rfind("Music/", 0) == 0 || path.rfind("Audio/", 0) == 0;
  }
  int generation_ = 1, nextKey_ = 1, nextPlaylist_ = 1, nextFile_ = 1;
  int64_t clock_ = 0;
  bool settled_ = true;  // no kill since the last export that ended
  bool converting_ = false;
  std::vector<std::string> log_, failures_;
};

// How often each step comes: about one in three runs the program.
const std::pair<int, void (History::*)()> kSteps[] = {
    {8, &History::addTrack},    {4, &History::removeTrack},   {6, &History::reEncode},
    {4, &History::moveSource},  {5, &History::toggleCheck},   {2, &History::rebuild},
    {4, &History::addPlaylist}, {11, &History::editPlaylist}, {5, &History::dropUserFile},
    {6, &History::editCopy},    {13, &History::exportAll},    {9, &History::exportOne},
    {4, &History::dryRun},      {6, &History::killedExport},  {3, &History::changeProfile}};
constexpr size_t kAddTrack = 0, kAddPlaylist = 6;

std::string History::play() {
  for (size_t i = 0; i < steps_.size() && failures_.empty(); ++i) {
    rng_.seed(steps_[i].seed);
    (this->*kSteps[steps_[i].kind].second)();
  }
  std::string said;
  for (size_t i = 0; i < failures_.size() && i < 6; ++i) said += failures_[i] + "\n";
  return said;
}

// A library of a few tracks and two playlists, then `count` random steps.
std::vector<Step> stepsOf(uint32_t seed, size_t count = 30) {
  std::mt19937 rng(seed);
  auto next = [&] { return static_cast<uint32_t>(rng()); };
  std::vector<Step> steps;
  for (size_t i = 0, n = 3 + next() % 4; i < n; ++i) steps.push_back({kAddTrack, next()});
  steps.push_back({kAddPlaylist, next()});
  steps.push_back({kAddPlaylist, next()});
  int total = 0;
  for (const auto& [weight, step] : kSteps) total += weight;
  for (size_t i = 0; i < count; ++i) {
    int at = static_cast<int>(next() % static_cast<uint32_t>(total));
    size_t k = 0;
    while (at >= kSteps[k].first) at -= kSteps[k++].first;
    steps.push_back({k, next()});
  }
  return steps;
}

std::optional<uint32_t> fromEnvironment(const char* name) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return std::nullopt;
  return static_cast<uint32_t>(std::stoul(text));
}

// Sanitized programs run many times slower; `make test` runs the tests
// only sanitized, so the address-sanitized run plays the most.
#if defined(__SANITIZE_ADDRESS__)
constexpr uint32_t kSequences = 30, kJobs = 2;
#elif defined(__SANITIZE_THREAD__)
constexpr uint32_t kSequences = 10, kJobs = 2;
#else
constexpr uint32_t kSequences = 200, kJobs = 4;
#endif

// "check N: what", without the details.
std::string categoryOf(const std::string& failure) {
  return failure.substr(0, failure.find(':', failure.find(':') + 1));
}

// The fewest steps, dropped a run of them at a time, that still fail the
// same way.
std::vector<Step> shrunk(uint32_t seed, std::vector<Step> steps, const std::string& category) {
  for (size_t chunk = 8; chunk > 0; chunk /= 2) {
    for (size_t at = 0; at < steps.size();) {
      std::vector<Step> fewer = steps;
      fewer.erase(fewer.begin() + static_cast<long>(at),
                  fewer.begin() + static_cast<long>(std::min(at + chunk, steps.size())));
      std::string failure = History(seed, fewer).play();
      if (!failure.empty() && categoryOf(failure) == category) {
        steps = fewer;
      } else {
        at += chunk;
      }
    }
  }
  return steps;
}

}  // namespace

TEST(ExportModelThreaded, RandomHistoriesKeepTheDrivesPromises) {
  std::vector<uint32_t> seeds;
  auto only = fromEnvironment("TESSALINE_MODEL_SEED");
  for (uint32_t s = 1;
       s <= (only ? 1 : fromEnvironment("TESSALINE_MODEL_SEQUENCES").value_or(kSequences)); ++s)
    seeds.push_back(only.value_or(s));
  struct Failed {
    uint32_t seed;
    std::string failure;
    std::vector<std::string> steps;
  };
  std::map<std::string, std::vector<Failed>> byCategory;
  std::mutex found;
  std::atomic<size_t> next = 0;
  // Histories run side by side, more of them than there are cores: most
  // of the time goes to the program's runs, which wait for the disk.
  auto work = [&] {
    for (size_t i; (i = next++) < seeds.size();) {
      History history(seeds[i], stepsOf(seeds[i]));
      std::string failure = history.play();
      if (failure.empty()) continue;
      if (const char* keep = std::getenv("TESSALINE_MODEL_KEEP"))
        history.keepIn(cat(keep, "/seed ", seeds[i]));
      std::lock_guard<std::mutex> lock(found);
      byCategory[categoryOf(failure)].push_back({seeds[i], failure, history.log()});
    }
  };
  auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  uint32_t jobs = fromEnvironment("TESSALINE_MODEL_JOBS").value_or(kJobs);
  for (uint32_t j = 1; j < jobs; ++j) workers.emplace_back(work);
  work();
  for (auto& worker : workers) worker.join();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("[ model    ] %zu histories in %.1f s (%.0f ms each)\n", seeds.size(), seconds,
              1000 * seconds / static_cast<double>(seeds.size()));
  // Each way of failing once, with the steps of its first history.
  bool shrink = fromEnvironment("TESSALINE_MODEL_SHRINK").value_or(0) != 0;
  for (auto& [category, failed] : byCategory) {
    std::sort(failed.begin(), failed.end(), [](auto& a, auto& b) { return a.seed < b.seed; });
    Failed& first = failed.front();
    if (shrink) {
      History again(first.seed, shrunk(first.seed, stepsOf(first.seed), category));
      if (std::string failure = again.play(); !failure.empty())
        first = {first.seed, failure, again.log()};
    }
    std::string seedList, steps;
    for (size_t i = 0; i < failed.size() && i < 12; ++i) seedList += cat(" ", failed[i].seed);
    for (size_t i = 0; i < first.steps.size(); ++i)
      steps += cat("\n  ", i + 1, ". ", first.steps[i]);
    ADD_FAILURE() << category << ": " << failed.size() << " of " << seeds.size()
                  << " histories (seeds" << seedList << (failed.size() > 12 ? " ..." : "")
                  << ")\nseed " << first.seed << " (TESSALINE_MODEL_SEED=" << first.seed
                  << " replays it" << (shrink ? "; shrunk" : "") << "):\n"
                  << first.failure << "steps:" << steps;
  }
}
