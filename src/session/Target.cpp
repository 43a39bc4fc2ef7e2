#include "session/Target.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <filesystem>
#include <optional>

#include "session/DestinationLayout.h"
#include "session/StaleWalk.h"

namespace session {
namespace {

// Windows-1252 bytes as UTF-8; the bytes it leaves undefined stay as
// the code points of the same number, which no name on the drive has.
std::string fromWindows1252(std::string_view text) {
  static constexpr char16_t kHigh[32] = {
      0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x8D,   0x017D, 0x8F,   0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};
  std::string out;
  out.reserve(text.size());
  for (unsigned char b : text) {
    UChar32 c = b >= 0x80 && b < 0xA0 ? kHigh[b - 0x80] : b;
    char buffer[4];
    int32_t length = 0;
    U8_APPEND_UNSAFE(reinterpret_cast<uint8_t*>(buffer), length, c);
    out.append(buffer, static_cast<size_t>(length));
  }
  return out;
}

}  // namespace

namespace {

// The path below the drive's root an entry line names, as a player
// resolves it; none for a line that is no entry or leaves the drive.
std::optional<std::string> driveEntryOf(std::string line, bool windows1252, std::string_view folder,
                                        const std::string& root) {
  namespace stdfs = std::filesystem;
  if (windows1252) line = fromWindows1252(line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty() || line[0] == '#') return std::nullopt;
  if (windows1252) std::replace(line.begin(), line.end(), '\\', '/');
  std::string relative;  // to the drive's root
  if (!root.empty() && line.compare(0, root.size() + 1, root + "/") == 0) {
    relative = line.substr(root.size() + 1);
  } else if (line[0] == '/') {
    relative = line.substr(1);
  } else {
    relative = folder.empty() ? line : std::string(folder) + "/" + line;
  }
  std::string normal = stdfs::path(relative).lexically_normal().generic_string();
  if (normal.empty() || normal == "." || normal == ".." || normal.compare(0, 3, "../") == 0)
    return std::nullopt;
  return normal;
}

// The path below the music folder (`music`, below the root) an entry
// line names; none for a line that names nothing there.
std::optional<std::string> musicEntryOf(std::string line, bool windows1252, std::string_view folder,
                                        const std::string& root, std::string_view music) {
  auto entry = driveEntryOf(std::move(line), windows1252, folder, root);
  if (!entry || entry->size() <= music.size() + 1 || entry->compare(0, music.size(), music) != 0 ||
      (*entry)[music.size()] != '/')
    return std::nullopt;
  return entry->substr(music.size() + 1);
}

// Calls `line(text, begin)` for each line (without its LF), the byte
// order mark left out.
template <class Line>
void eachLine(std::string_view text, Line line) {
  size_t start = text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    line(text.substr(start, end - start), start);
    start = end + 1;
  }
}

}  // namespace

std::vector<std::string> musicEntriesOf(std::string_view text, bool windows1252,
                                        std::string_view folder, const std::string& root,
                                        std::string_view music) {
  std::vector<std::string> out;
  eachLine(text, [&](std::string_view line, size_t) {
    if (auto entry = musicEntryOf(std::string(line), windows1252, folder, root, music))
      out.push_back(std::move(*entry));
  });
  return out;
}

std::vector<std::string> driveEntriesOf(std::string_view text, bool windows1252,
                                        std::string_view folder, const std::string& root) {
  std::vector<std::string> out;
  eachLine(text, [&](std::string_view line, size_t) {
    if (auto entry = driveEntryOf(std::string(line), windows1252, folder, root))
      out.push_back(std::move(*entry));
  });
  return out;
}

std::string withoutEntries(std::string_view text, bool windows1252, std::string_view folder,
                           const std::string& root, std::string_view music,
                           const std::function<bool(const std::string&)>& plays) {
  std::string out(text.substr(0, text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0));
  std::string info;  // the #EXTINF line waiting for its entry
  bool first = true;
  auto put = [&](std::string_view line) {
    if (!first) out += '\n';
    out += line;
    first = false;
  };
  eachLine(text, [&](std::string_view line, size_t) {
    if (line.substr(0, 8) == "#EXTINF:") {
      if (!info.empty()) put(info);
      info = std::string(line);
      return;
    }
    auto entry = driveEntryOf(std::string(line), windows1252, folder, root);
    bool asked =
        entry && ((entry->size() > music.size() + 1 &&
                   entry->compare(0, music.size(), music) == 0 && (*entry)[music.size()] == '/') ||
                  (line[0] != '/' && (!windows1252 || line[0] != '\\')));
    if (asked && !plays(*entry)) {
      info.clear();  // the entry goes, and what described it
      return;
    }
    if (!info.empty()) put(info);
    info.clear();
    put(line);
  });
  if (!info.empty()) put(info);
  if (!text.empty() && text.back() == '\n') out += '\n';
  return out;
}

Target targetOf(const Snapshot& snapshot,
                const std::vector<std::pair<std::string, uint32_t>>& written,
                const std::vector<std::pair<std::string, std::string>>& kept, bool copyOnlyChecked,
                const std::string& root, std::string_view music, const KnownKeys* known) {
  Target target;
  target.listed.assign(snapshot.tracks.size(), 0);
  // Judged once per track, in the tracks' order: the playlists name them
  // in any order, many times each.
  std::vector<uint8_t> listableTrack(snapshot.tracks.size());
  for (size_t track = 0; track < snapshot.tracks.size(); ++track)
    listableTrack[track] = listable(snapshot.tracks[track], copyOnlyChecked);
  for (const auto& [relative, playlist] : written) {
    TargetFile file{relative, playlist, {}, {}, {}};
    if (playlist < snapshot.playlists.size()) {
      for (uint32_t track : snapshot.playlists[playlist].items) {
        if (!listableTrack[track]) continue;
        file.entries.push_back(track);
        target.listed[track] = 1;
      }
    }
    target.files.push_back(std::move(file));
  }
  target.needed.reserve(
      static_cast<size_t>(std::count(target.listed.begin(), target.listed.end(), uint8_t{1})));
  for (size_t track = 0; track < snapshot.tracks.size(); ++track) {
    if (!target.listed[track]) continue;
    const std::string& destination = snapshot.tracks[track].destination;
    target.needed.insert(known ? known->of(destination) : walkKey(destination));
  }
  for (const auto& [relative, text] : kept) {
    TargetFile file{relative, TargetFile::kKeptAsItIs, {}, {}, text};
    std::string_view name = relative;
    bool windows1252 = name.size() >= 4 && name.substr(name.size() - 4) == ".m3u";
    file.keptEntries = musicEntriesOf(text, windows1252, folderOf(name), root, music);
    for (const auto& entry : file.keptEntries) target.needed.insert(walkKey(entry));
    target.files.push_back(std::move(file));
  }
  return target;
}

}  // namespace session
