#include "session/PlayerProfile.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <filesystem>

#include "base/Text.h"
#include "fs/FileManager.h"
#include "session/PlayableFormats.h"

namespace session {
namespace {

// No player's file comes near this; a larger one is not a profile.
constexpr size_t kMaxProfileBytes = 64 * 1024;

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// A value without the quotes around it; none when a quote is not closed.
std::optional<std::string_view> unquoted(std::string_view s) {
  s = trim(s);
  if (s.empty() || (s.front() != '"' && s.front() != '\'')) return s;
  if (s.size() < 2 || s.back() != s.front()) return std::nullopt;
  return trim(s.substr(1, s.size() - 2));
}

std::optional<std::vector<std::string>> listOf(std::string_view value) {
  std::vector<std::string> items;
  // Quotes around the whole list ("MUSIC/,PODCASTS/") or around each
  // item ("audio/mpeg", 'audio/mp4').
  std::string_view whole = trim(value);
  if (whole.size() >= 2 && (whole.front() == '"' || whole.front() == '\'') &&
      whole.find(whole.front(), 1) == whole.size() - 1)
    whole = whole.substr(1, whole.size() - 2);
  for (size_t start = 0; start <= whole.size();) {
    size_t comma = whole.find(',', start);
    if (comma == std::string_view::npos) comma = whole.size();
    auto item = unquoted(whole.substr(start, comma - start));
    if (!item) return std::nullopt;
    if (!item->empty()) items.emplace_back(*item);
    start = comma + 1;
  }
  return items;
}

// A folder below the drive's root, as a player names it ("MUSIC/",
// "/Music", "Music/../Audio"); none when it leaves the drive.
std::optional<std::string> folderBelowRoot(std::string_view value) {
  std::vector<std::string> parts;
  for (size_t start = 0; start <= value.size();) {
    size_t slash = value.find_first_of("/\\", start);
    if (slash == std::string_view::npos) slash = value.size();
    std::string_view part = value.substr(start, slash - start);
    start = slash + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (parts.empty()) return std::nullopt;
      parts.pop_back();
      continue;
    }
    parts.emplace_back(part);
  }
  std::string out;
  for (const auto& p : parts) out += (out.empty() ? "" : "/") + p;
  return out;
}

template <class T>
void set(PlayerProfile::At<T>& field, T value, size_t line) {
  field.value = std::move(value);
  field.line = line;
}

// The playlist format this exporter writes for a MIME type; empty for
// one it cannot write (pls, xspf).
std::string playlistFormatOf(std::string_view mime) {
  std::string m = base::text::asciiLower(mime.substr(0, mime.find(';')));
  if (m == "audio/x-mpegurl" || m == "audio/mpegurl" || m == "audio/m3u" || m == "m3u")
    return "m3u";
  if (m == "application/vnd.apple.mpegurl" || m == "application/x-mpegurl" || m == "m3u8" ||
      m == "audio/x-mpegurl; charset=utf-8")
    return "m3u8";
  return "";
}

}  // namespace

PlayerProfile parsePlayerProfile(std::string_view text) {
  PlayerProfile p;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  size_t number = 0;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = trim(line);
    if (line.empty() || line[0] == '#' || line[0] == ';' || line[0] == '[') continue;
    auto problem = [&](std::string why) { p.problems.push_back({number, std::move(why)}); };
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      problem("\"" + std::string(line) + "\" is not key=value");
      continue;
    }
    std::string key = base::text::asciiLower(trim(line.substr(0, eq)));
    std::string_view value = trim(line.substr(eq + 1));
    if (key.empty()) {
      problem("no key before '='");
      continue;
    }
    auto list = [&]() -> std::optional<std::vector<std::string>> {
      auto items = listOf(value);
      if (!items) problem(key + ": a quote is not closed");
      return items;
    };
    auto single = [&]() -> std::optional<std::string> {
      auto v = unquoted(value);
      if (!v) problem(key + ": a quote is not closed");
      return v ? std::optional<std::string>(*v) : std::nullopt;
    };
    auto number_ = [&]() -> std::optional<int> {
      auto v = single();
      if (!v) return std::nullopt;
      int n = 0;
      auto [at, error] = std::from_chars(v->data(), v->data() + v->size(), n);
      if (error != std::errc() || at != v->data() + v->size() || n < 0) {
        problem(key + " wants a whole number, not \"" + *v + "\"");
        return std::nullopt;
      }
      return n;
    };
    if (key == "audio_folders") {
      auto items = list();
      if (!items) continue;
      std::vector<std::string> folders;
      for (const auto& item : *items) {
        auto folder = folderBelowRoot(item);
        if (!folder) {
          problem("audio_folders: \"" + item + "\" leaves the drive");
          continue;
        }
        folders.push_back(std::move(*folder));
      }
      if (!folders.empty()) set(p.audioFolders, std::move(folders), number);
    } else if (key == "output_formats") {
      if (auto items = list()) set(p.outputFormats, std::move(*items), number);
    } else if (key == "playlist_formats" || key == "playlist_format") {
      if (auto items = list()) set(p.playlistFormats, std::move(*items), number);
    } else if (key == "playlist_path") {
      auto v = single();
      if (!v) continue;
      // "%File" stands for the playlist's own file name: the folder is
      // what comes before it.
      std::string path = *v;
      if (size_t file = path.find("%File"); file != std::string::npos) {
        path.erase(file);
      } else if (size_t dot = path.rfind('.');
                 dot != std::string::npos && path.find('/', dot) == std::string::npos &&
                 !playlistFormatOf("audio/" + base::text::asciiLower(path.substr(dot + 1)))
                      .empty()) {
        problem("playlist_path names one playlist file (\"" + path +
                "\"); the exporter writes one file per playlist into a folder");
        continue;
      }
      auto folder = folderBelowRoot(path);
      if (!folder) {
        problem("playlist_path: \"" + *v + "\" leaves the drive");
        continue;
      }
      set(p.playlistFolder, std::move(*folder), number);
    } else if (key == "folder_depth") {
      if (auto n = number_()) set(p.folderDepth, *n, number);
    } else if (key == "cover_art_file_name") {
      if (auto v = single(); v && !v->empty()) {
        if (v->find_first_of("/\\") != std::string::npos || *v == "." || *v == "..") {
          problem("cover_art_file_name: \"" + *v + "\" is not a file name");
          continue;
        }
        set(p.coverName, std::move(*v), number);
      }
    } else if (key == "cover_art_file_type") {
      if (auto v = single()) {
        std::string type = base::text::asciiLower(*v);
        if (type == "jpg" || type == "image/jpeg") type = "jpeg";
        if (type == "image/png") type = "png";
        if (type != "jpeg" && type != "png") {
          problem("cover_art_file_type: \"" + *v + "\" is neither jpeg nor png");
          continue;
        }
        set(p.coverType, std::move(type), number);
      }
    } else if (key == "cover_art_size") {
      if (auto n = number_()) set(p.coverSize, *n, number);
    }
    // Other keys (name, video_folders, input_formats, ...) say nothing
    // about what the export writes.
  }
  return p;
}

base::Result<std::optional<PlayerProfile>> readPlayerProfile(fs::FileManager& files,
                                                             const std::string& root) {
  std::string path = (std::filesystem::path(root) / kPlayerProfileFile).string();
  base::FileError why;
  auto text = files.readSmallFile(path, kMaxProfileBytes, &why);
  if (!text) {
    if (why.code == ENOENT) return std::optional<PlayerProfile>();
    if (why.code == EFBIG)
      return base::Status::failure("cannot read", path,
                                   "it is larger than a player's profile can be (64 KB)", EFBIG);
    return base::Status::fromErrno(why.code != 0 ? why.code : EIO, "cannot read", path);
  }
  return std::optional<PlayerProfile>(parsePlayerProfile(*text));
}

std::string Origin::text() const {
  switch (kind) {
    case Kind::kCommandLine:
      return "the command line";
    case Kind::kProfile:
      return std::string(kPlayerProfileFile) + " line " + std::to_string(line);
    case Kind::kDefault:
      break;
  }
  return "the default";
}

PlayerSettings resolveSettings(const std::optional<PlayerProfile>& profile,
                               const AskedSettings& asked) {
  PlayerSettings s;
  s.formats.value = {"mp3", "m4a", "aac", "flac", "wav", "ogg", "opus"};
  s.playlistFormat.value = "m3u8";
  s.musicFolder.value = "Music";
  s.playlistFolder.value = "Playlists";
  s.coverName.value = "folder.jpg";
  s.coverType.value = "jpeg";
  s.coverSize.value = 0;
  auto fromLine = [](size_t line) { return Origin{Origin::Kind::kProfile, line}; };
  if (profile) {
    const PlayerProfile& p = *profile;
    s.profileFound = true;
    s.problems = p.problems;
    if (p.outputFormats && !p.outputFormats.value.empty())
      s.formats = {p.outputFormats.value, fromLine(p.outputFormats.line)};
    if (p.playlistFormats) {
      std::string chosen;
      for (const auto& mime : p.playlistFormats.value) {
        chosen = playlistFormatOf(mime);
        if (!chosen.empty()) break;
      }
      if (chosen.empty()) {
        s.problems.push_back({p.playlistFormats.line,
                              "none of its playlist formats is one the exporter writes (M3U): "
                              "m3u8 files are written"});
      } else {
        s.playlistFormat = {chosen, fromLine(p.playlistFormats.line)};
      }
    }
    if (p.audioFolders)
      s.musicFolder = {p.audioFolders.value.front(), fromLine(p.audioFolders.line)};
    if (p.playlistFolder)
      s.playlistFolder = {p.playlistFolder.value, fromLine(p.playlistFolder.line)};
    if (p.coverType) {
      s.coverType = {p.coverType.value, fromLine(p.coverType.line)};
    } else if (p.coverName) {
      // A name's own extension says the type it wants ("AlbumArt.png").
      std::string name = base::text::asciiLower(p.coverName.value);
      size_t dot = name.rfind('.');
      std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
      if (ext == "png" || ext == "jpg" || ext == "jpeg")
        s.coverType = {ext == "png" ? "png" : "jpeg", fromLine(p.coverName.line)};
    }
    if (p.coverName) {
      std::string name = p.coverName.value;
      // A name without an extension takes the type's.
      if (name.find('.') == std::string::npos) name += s.coverType.value == "png" ? ".png" : ".jpg";
      s.coverName = {name, fromLine(p.coverName.line)};
    } else if (p.coverType && s.coverType.value == "png") {
      s.coverName = {"folder.png", fromLine(p.coverType.line)};
    }
    if (p.coverSize) s.coverSize = {p.coverSize.value, fromLine(p.coverSize.line)};
  }
  const Origin commandLine{Origin::Kind::kCommandLine, 0};
  if (asked.formats) s.formats = {*asked.formats, commandLine};
  if (asked.playlistFormat) s.playlistFormat = {*asked.playlistFormat, commandLine};
  return s;
}

std::string profileText(const PlayerSettings& s) {
  // Players read MIME types: a word that names formats is written as
  // theirs, one that is a MIME type already as it is.
  std::vector<std::string> seen;
  auto add = [&](const std::string& m) {
    if (!m.empty() && std::find(seen.begin(), seen.end(), m) == seen.end()) seen.push_back(m);
  };
  for (const auto& word : s.formats.value) {
    if (word.find('/') != std::string::npos) {
      add(base::text::asciiLower(word));
      continue;
    }
    PlayableFormats named = PlayableFormats::of({word});
    for (const auto& f : named.formats()) add(mimeTypeOf(f));
  }
  std::string formats;
  for (const auto& m : seen) formats += (formats.empty() ? "" : ",") + m;
  bool m3u = s.playlistFormat.value.rfind("m3u8", 0) != 0;
  std::string out;
  out += "audio_folders=" + s.musicFolder.value + "/\n";
  out += "output_formats=" + formats + "\n";
  out += std::string("playlist_formats=") +
         (m3u ? "audio/x-mpegurl" : "application/vnd.apple.mpegurl") + "\n";
  out += "playlist_path=" + (s.playlistFolder.value.empty() ? "" : s.playlistFolder.value + "/") +
         "%File\n";
  out += "cover_art_file_name=" + s.coverName.value + "\n";
  out += "cover_art_file_type=" + s.coverType.value + "\n";
  if (s.coverSize.value > 0) out += "cover_art_size=" + std::to_string(s.coverSize.value) + "\n";
  return out;
}

}  // namespace session
