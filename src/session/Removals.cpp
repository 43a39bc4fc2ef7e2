#include "session/Removals.h"

#include <filesystem>

namespace session {

RemovalTally::RemovalTally(Removals removals) : r_(std::move(removals)) {
  ticked_.assign(r_.playlists.size(), 0);
  needing_.assign(r_.files.size(), 0);
  for (uint32_t p = 0; p < r_.playlists.size(); ++p) byId_.emplace(r_.playlists[p].id, p);
  if (!r_.cleanUp) return;
  for (const auto& f : r_.files) {
    ++removed_.files;
    removed_.tracks += !f.playlistFile;
    removed_.bytes += f.bytes;
    removed_.onDisk += f.onDisk;
  }
}

void RemovalTally::count(uint32_t playlist, bool ticked) {
  if (ticked_[playlist] == ticked) return;
  ticked_[playlist] = ticked;
  for (uint32_t file : r_.playlists[playlist].needs) {
    uint32_t& n = needing_[file];
    // Only a file's first and last playlist move it in or out.
    if (ticked ? n++ != 0 : --n != 0) continue;
    if (!r_.cleanUp) continue;
    const Removals::File& f = r_.files[file];
    auto move = [ticked](uint64_t& figure, uint64_t by) {
      figure = ticked ? figure - by : figure + by;
    };
    move(removed_.files, 1);
    move(removed_.tracks, f.playlistFile ? 0 : 1);
    move(removed_.bytes, f.bytes);
    move(removed_.onDisk, f.onDisk);
  }
}

void RemovalTally::setTicked(const std::vector<std::string>& ids) {
  std::vector<uint8_t> now(r_.playlists.size(), 0);
  for (const auto& id : ids) {
    auto at = byId_.find(id);
    if (at != byId_.end()) now[at->second] = 1;
  }
  for (uint32_t p = 0; p < now.size(); ++p) count(p, now[p] != 0);
}

RemovalFigures RemovalTally::figures() const {
  RemovalFigures out = removed_;
  if (!r_.cleanUp) return {};
  std::vector<uint8_t> owned(r_.files.size(), 0);
  for (const auto& p : r_.playlists) {
    if (p.needs.empty() || !r_.files[p.needs.front()].playlistFile) continue;
    owned[p.needs.front()] = 1;
    if (needing_[p.needs.front()] == 0) out.playlists.push_back(p.name);
  }
  for (uint32_t file = 0; file < r_.files.size(); ++file) {
    if (r_.files[file].playlistFile && !owned[file])
      out.playlists.push_back(std::filesystem::path(r_.files[file].path).stem().string());
  }
  return out;
}

}  // namespace session
