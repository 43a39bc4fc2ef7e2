#include "session/Plan.h"

#include <algorithm>
#include <thread>

#include "platform/FileManager.h"
#include "platform/Path.h"

namespace session {

Snapshot snapshotOf(const app::Library& library,
                    const std::unordered_map<std::string, std::string>& trackPaths) {
  Snapshot out;
  std::unordered_map<std::string_view, uint32_t> index;
  out.tracks.reserve(trackPaths.size());
  for (const app::LibraryTrack& t : library.tracks) {
    auto placed = trackPaths.find(std::string(t.persistentId.view()));
    if (placed == trackPaths.end()) continue;
    index.emplace(t.persistentId.view(), static_cast<uint32_t>(out.tracks.size()));
    out.tracks.push_back({std::string(t.persistentId.view()), std::string(t.localPath()),
                          placed->second, !t.disabled});
  }
  for (const app::LibraryPlaylist& p : library.playlists) {
    SnapshotPlaylist playlist{p.persistentId, p.name, {}};
    for (std::string_view item : p.items) {
      auto it = index.find(item);
      if (it != index.end()) playlist.items.push_back(it->second);
    }
    out.playlists.push_back(std::move(playlist));
  }
  return out;
}

Observed observe(const Snapshot& snapshot, std::string_view musicRoot,
                 platform::FileManager& fileManager) {
  const size_t n = snapshot.tracks.size();
  // Destinations first, then sources, in one batch: the manager lists each
  // destination folder once instead of asking per file.
  std::vector<std::string> destinations(n);
  std::vector<platform::FileManager::ItemQuery> queries(2 * n);
  for (size_t i = 0; i < n; ++i) {
    const SnapshotTrack& t = snapshot.tracks[i];
    destinations[i] = std::string(musicRoot) + "/" + t.destination;
    queries[i] = {destinations[i], false};
    queries[n + i] = {t.source, true};
  }
  unsigned threads = std::clamp(2 * std::thread::hardware_concurrency(), 2u, 8u);
  auto found = fileManager.attributesOfItems(queries, threads);
  Observed out;
  out.onDrive.resize(n);
  out.sourceBytes.resize(n);
  out.sourceFound.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const auto& atDestination = found[i];
    auto& atSource = found[n + i];
    // The copy reads through a link, so the size is the linked file's.
    if (atSource && atSource->type == platform::FileType::kSymbolicLink)
      atSource = fileManager.attributesOfLinkTargetAtPath(snapshot.tracks[i].source, nullptr);
    out.onDrive[i] = atDestination && atDestination->type != platform::FileType::kDirectory;
    out.sourceFound[i] = atSource.has_value();
    out.sourceBytes[i] =
        atSource && atSource->type != platform::FileType::kDirectory ? atSource->size : 0;
  }
  return out;
}

Plan makePlan(const Snapshot& snapshot, const Observed& observed, const Choice& choice) {
  Plan plan;
  std::vector<uint8_t> chosen(snapshot.playlists.size()), charged(snapshot.tracks.size());
  auto bytesOf = [&](uint32_t track) -> uint64_t {
    return snapshot.tracks[track].enabled || !choice.copyOnlyChecked ? observed.sourceBytes[track]
                                                                     : 0;
  };
  for (uint32_t p : choice.playlists) {
    if (p >= snapshot.playlists.size() || chosen[p]) continue;
    chosen[p] = 1;
    const SnapshotPlaylist& playlist = snapshot.playlists[p];
    PlaylistFigures figures{p, playlist.items.size(), 0, 0};
    for (uint32_t track : playlist.items) {
      if (observed.onDrive[track]) continue;
      figures.toCopy += bytesOf(track);
      if (charged[track]) continue;
      charged[track] = 1;
      figures.thisExport += bytesOf(track);
      if (snapshot.tracks[track].enabled || !choice.copyOnlyChecked) plan.copies.push_back(track);
    }
    plan.bytesToCopy += figures.thisExport;
    plan.playlists.push_back(figures);
  }
  return plan;
}

}  // namespace session
