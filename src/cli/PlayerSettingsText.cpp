#include "cli/PlayerSettingsText.h"

#include <algorithm>

#include "session/DestinationLayout.h"

namespace app {
namespace {

std::string joined(const std::vector<std::string>& words) {
  std::string out;
  for (const auto& w : words) out += (out.empty() ? "" : ",") + w;
  return out;
}

// What the exporter does not follow yet, said beside the setting.
std::string notFollowed(const session::PlayerSettings& s, const std::string& what) {
  if (what == "music" && s.musicFolder.value.empty())
    return std::string("; not followed: tracks go to ") + DestinationLayout::kMusicFolder + "/";
  return "";
}

}  // namespace

std::vector<std::string> playerSettingsLines(const session::PlayerSettings& s,
                                             const std::string& indent) {
  std::vector<std::string> out;
  auto line = [&](const std::string& name, const std::string& value, const session::Origin& o,
                  const std::string& note = "") {
    out.push_back(indent + name + ": " + value + " (" + o.text() + note + ")");
  };
  line("formats it plays", joined(s.formats.value), s.formats.origin);
  line("playlist files", s.playlistFormat.value, s.playlistFormat.origin);
  line("music folder", s.musicFolder.value + "/", s.musicFolder.origin, notFollowed(s, "music"));
  line("playlist folder", s.playlistFolder.value + "/", s.playlistFolder.origin);
  line("cover image", s.coverName.value, s.coverName.origin);
  line("cover type", s.coverType.value, s.coverType.origin);
  if (s.coverSize.value > 0)
    line("cover size", std::to_string(s.coverSize.value) + " px", s.coverSize.origin);
  for (const auto& p : s.problems)
    out.push_back(indent + std::string(session::kPlayerProfileFile) + " line " +
                  std::to_string(p.line) + ": " + p.why + " (ignored)");
  return out;
}

nlohmann::json playerSettingsJson(const session::PlayerSettings& s) {
  auto from = [](const auto& setting) {
    return nlohmann::json{{"value", setting.value}, {"from", setting.origin.text()}};
  };
  nlohmann::json problems = nlohmann::json::array();
  for (const auto& p : s.problems) problems.push_back({{"line", p.line}, {"problem", p.why}});
  return {{"profileFound", s.profileFound},
          {"formats", from(s.formats)},
          {"playlistFormat", from(s.playlistFormat)},
          {"musicFolder", from(s.musicFolder)},
          {"playlistFolder", from(s.playlistFolder)},
          {"coverName", from(s.coverName)},
          {"coverType", from(s.coverType)},
          {"coverSize", from(s.coverSize)},
          {"problems", problems}};
}

}  // namespace app
