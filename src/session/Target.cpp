#include "session/Target.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <filesystem>

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

std::vector<std::string> musicEntriesOf(std::string_view text, bool windows1252,
                                        std::string_view folder, const std::string& root) {
  namespace fs = std::filesystem;
  std::string decoded = windows1252 ? fromWindows1252(text) : std::string(text);
  if (decoded.compare(0, 3, "\xEF\xBB\xBF") == 0) decoded.erase(0, 3);
  std::vector<std::string> out;
  const std::string music = std::string(app::DestinationLayout::kMusicFolder) + "/";
  size_t start = 0;
  while (start < decoded.size()) {
    size_t end = decoded.find('\n', start);
    if (end == std::string::npos) end = decoded.size();
    std::string line = decoded.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (windows1252) std::replace(line.begin(), line.end(), '\\', '/');
    std::string relative;  // to the drive's root
    if (!root.empty() && line.compare(0, root.size() + 1, root + "/") == 0) {
      relative = line.substr(root.size() + 1);
    } else if (line[0] == '/') {
      relative = line.substr(1);
    } else {
      relative = std::string(folder) + "/" + line;
    }
    std::string normal = fs::path(relative).lexically_normal().generic_string();
    if (normal.compare(0, music.size(), music) != 0 || normal.size() == music.size()) continue;
    out.push_back(normal.substr(music.size()));
  }
  return out;
}

Target targetOf(const Snapshot& snapshot,
                const std::vector<std::pair<std::string, uint32_t>>& written,
                const std::vector<std::pair<std::string, std::string>>& kept, bool copyOnlyChecked,
                const std::string& root) {
  Target target;
  target.listed.assign(snapshot.tracks.size(), 0);
  for (const auto& [relative, playlist] : written) {
    TargetFile file{relative, playlist, {}, {}};
    if (playlist < snapshot.playlists.size()) {
      for (uint32_t track : snapshot.playlists[playlist].items) {
        if (!listable(snapshot.tracks[track], copyOnlyChecked)) continue;
        file.entries.push_back(track);
        target.listed[track] = 1;
      }
    }
    target.files.push_back(std::move(file));
  }
  for (size_t track = 0; track < snapshot.tracks.size(); ++track) {
    if (target.listed[track]) target.needed.insert(walkKey(snapshot.tracks[track].destination));
  }
  for (const auto& [relative, text] : kept) {
    TargetFile file{relative, TargetFile::kKeptAsItIs, {}, {}};
    std::string_view name = relative;
    bool windows1252 = name.size() >= 4 && name.substr(name.size() - 4) == ".m3u";
    std::string_view folder = name.substr(0, std::min(name.size(), name.rfind('/')));
    file.keptEntries = musicEntriesOf(text, windows1252, folder, root);
    for (const auto& entry : file.keptEntries) target.needed.insert(walkKey(entry));
    target.files.push_back(std::move(file));
  }
  return target;
}

}  // namespace session
