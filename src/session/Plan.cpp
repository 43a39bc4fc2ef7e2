#include "session/Plan.h"

#include <algorithm>
#include <climits>
#include <optional>
#include <thread>

#include "base/Unicode.h"
#include "fs/FileManager.h"
#include "session/DestinationLayout.h"

namespace session {

Snapshot snapshotOf(const app::Library& library,
                    std::vector<std::optional<std::string>> trackPathsByPlace,
                    std::vector<uint32_t>* places) {
  Snapshot out;
  // Every track of the library, by its place there: its place in the
  // snapshot (when placed) and its playing time.
  constexpr uint32_t kUnplaced = UINT32_MAX;
  std::vector<uint32_t> at(library.tracks.size(), kUnplaced);
  std::vector<double> seconds(library.tracks.size());
  if (places) places->clear();
  out.tracks.reserve(static_cast<size_t>(
      std::count_if(trackPathsByPlace.begin(), trackPathsByPlace.end(),
                    [](const std::optional<std::string>& p) { return p.has_value(); })));
  for (size_t i = 0; i < library.tracks.size(); ++i) {
    const app::LibraryTrack& t = library.tracks[i];
    seconds[i] = static_cast<double>(t.totalTimeMs.value_or(0)) / 1000.0;
    if (i >= trackPathsByPlace.size() || !trackPathsByPlace[i]) continue;
    at[i] = static_cast<uint32_t>(out.tracks.size());
    if (places) places->push_back(static_cast<uint32_t>(i));
    out.tracks.push_back({std::string(t.persistentId.view()), std::string(t.localPath()),
                          std::move(*trackPathsByPlace[i]), !t.disabled});
  }
  for (const app::LibraryPlaylist& p : library.playlists) {
    SnapshotPlaylist playlist{p.persistentId, p.name, {}, 0};
    playlist.items.reserve(p.tracks.size());
    for (uint32_t track : p.tracks) {
      playlist.seconds += seconds[track];
      if (at[track] != kUnplaced) playlist.items.push_back(at[track]);
    }
    out.playlists.push_back(std::move(playlist));
  }
  return out;
}

Observed observe(const Snapshot& snapshot, std::string_view musicRoot, fs::FileManager& fileManager,
                 const DriveView& drive,
                 const std::vector<std::optional<fs::FileAttributes>>* sources,
                 const SeenPaths* seen) {
  const size_t n = snapshot.tracks.size();
  if (sources && sources->size() != n) sources = nullptr;
  const std::string& musicPrefix = drive.musicPrefix;
  // What the record says of each destination.
  std::vector<const fs::RecordEntry*> recorded(n, nullptr);
  if (drive.record && !drive.record->entries.empty()) {
    // Folding goes a component at a time over UTF-8: the music folder's
    // key, and the rest's where the layout made it.
    const std::string prefixKey = drive.keys && base::unicode::isValidUtf8(musicPrefix)
                                      ? app::DestinationLayout::collisionKey(musicPrefix)
                                      : std::string();
    std::string key;
    for (size_t i = 0; i < n; ++i) {
      const std::string& destination = snapshot.tracks[i].destination;
      const std::string* made = nullptr;
      if (!prefixKey.empty()) {
        auto found = drive.keys->byPath.find(destination);
        if (found != drive.keys->byPath.end()) made = &found->second;
      }
      if (made) {
        (key = prefixKey) += *made;
      } else {
        key = app::DestinationLayout::collisionKey(musicPrefix + destination);
      }
      auto at = drive.record->entries.find(key);
      if (at != drive.record->entries.end()) recorded[i] = &at->second;
    }
  }
  // Destinations first, then sources, in one batch: the manager lists each
  // destination folder once instead of asking per file. A file's size and
  // time are asked for where a record judges it.
  // The destinations' paths are laid end to end in one buffer, sized
  // first so that the queries' views of it stay put.
  size_t bytes = 0;
  for (const SnapshotTrack& t : snapshot.tracks)
    bytes += musicRoot.size() + 1 + t.destination.size();
  std::string destinations;
  destinations.reserve(bytes);
  std::vector<fs::FileManager::ItemQuery> queries(sources ? n : 2 * n);
  // What was seen already is not asked again: those queries are left out
  // of the batch, and their answers put in place after it.
  std::vector<uint32_t> asked;
  std::vector<std::pair<uint32_t, const std::optional<fs::FileAttributes>*>> answered;
  for (size_t i = 0; i < n; ++i) {
    const SnapshotTrack& t = snapshot.tracks[i];
    const size_t start = destinations.size();
    destinations += musicRoot;
    destinations += '/';
    destinations += t.destination;
    queries[i] = {std::string_view(destinations).substr(start), drive.record != nullptr,
                  drive.walkFollows};
    if (!sources) queries[n + i] = {t.source, true};
  }
  std::vector<std::optional<fs::FileAttributes>> found;
  unsigned threads = std::clamp(2 * std::thread::hardware_concurrency(), 2u, 8u);
  if (seen && !seen->empty()) {
    std::vector<fs::FileManager::ItemQuery> rest;
    rest.reserve(queries.size());
    for (size_t i = 0; i < queries.size(); ++i) {
      auto at = i < n ? seen->find(queries[i].path) : seen->end();
      if (at != seen->end()) {
        answered.emplace_back(static_cast<uint32_t>(i), &at->second);
      } else {
        asked.push_back(static_cast<uint32_t>(i));
        rest.push_back(queries[i]);
      }
    }
    auto some = fileManager.attributesOfItems(rest, threads);
    found.resize(queries.size());
    for (size_t k = 0; k < asked.size() && k < some.size(); ++k)
      found[asked[k]] = std::move(some[k]);
    for (const auto& [i, answer] : answered) found[i] = *answer;
  } else {
    found = fileManager.attributesOfItems(queries, threads);
  }
  Observed out;
  out.onDrive.resize(n);
  out.at.resize(n);
  out.sourceBytes.resize(n);
  out.sourceTimeNs.resize(n);
  out.sourceFound.resize(n);
  out.sourcePlainFile.resize(n);
  out.driveStamp.resize(n);
  out.changedCopy.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const SnapshotTrack& t = snapshot.tracks[i];
    const auto& atDestination = found[i];
    std::optional<fs::FileAttributes> atSource = sources ? (*sources)[i] : found[n + i];
    out.sourcePlainFile[i] = atSource && atSource->type == fs::FileType::kRegular;
    // The copy reads through a link, so the size is the linked file's.
    if (atSource && atSource->type == fs::FileType::kSymbolicLink)
      atSource = fileManager.attributesOfLinkTargetAtPath(t.source, nullptr);
    out.sourceFound[i] = atSource.has_value();
    const bool sourceFile = atSource && atSource->type != fs::FileType::kDirectory;
    out.sourceBytes[i] = sourceFile ? atSource->size : 0;
    out.sourceTimeNs[i] = sourceFile ? atSource->modificationTimeNs : 0;

    AtDestination& at = out.at[i];
    if (!atDestination) {
      at = AtDestination::kNothing;
    } else if (atDestination->type == fs::FileType::kDirectory) {
      at = AtDestination::kOther;
    } else if (!drive.record) {
      at = AtDestination::kTrack;  // judged by name, as scripts judge it
    } else {
      const fs::FileStamp now{atDestination->size, atDestination->modificationTimeNs};
      out.driveStamp[i] = now;
      const fs::FileStamp source{out.sourceBytes[i], out.sourceTimeNs[i]};
      auto same = [&](const fs::FileStamp& a) {
        return fs::sameStamp(a, now, drive.timeStepNs) != fs::StampMatch::kDifferent;
      };
      const fs::RecordEntry* e = recorded[i];
      if (e && e->kind == fs::EntryKind::kTrack && e->trackId == t.id &&
          e->libraryId == drive.libraryId) {
        // A source that cannot be read now leaves the copy as it is. The
        // exporter's unchanged copy of a source changed since is replaced;
        // so is a copy cut short. A file that changed otherwise may be one
        // a user put there: it is left alone (the copy then says so).
        if (same(e->drive)) {
          at = !sourceFile || (e->source == source && e->conversion == t.conversion)
                   ? AtDestination::kTrack
                   : AtDestination::kRepair;
          if (at == AtDestination::kTrack && sourceFile && drive.damaged) {
            auto found = drive.damaged->find(e->key);
            if (found != drive.damaged->end() && found->second == now) at = AtDestination::kRepair;
          }
        } else if (now.size < e->drive.size && sourceFile && e->source == source &&
                   e->conversion.empty() && t.conversion.empty() &&
                   fileManager.isPrefixOfFile(std::string(queries[i].path), t.source, nullptr)
                       .value_or(false)) {
          // Cut short: what is left is the start of the unchanged source.
          at = AtDestination::kRepair;
        } else {
          // Edited since (a tag editor, a player writing tags): the user's.
          at = AtDestination::kOther;
          out.changedCopy[i] = 1;
        }
      } else if ((!e || e->kind == fs::EntryKind::kLegacy) && sourceFile && t.conversion.empty() &&
                 same(source)) {
        at = AtDestination::kTrack;
        if (e) out.adopted.push_back(static_cast<uint32_t>(i));
      } else if (e && e->kind == fs::EntryKind::kTrack && sourceFile && e->source == source &&
                 e->conversion == t.conversion && same(e->drive)) {
        // The copy of this very source, recorded for a track of a library
        // rebuilt since: taken over rather than copied again.
        at = AtDestination::kTrack;
        out.adopted.push_back(static_cast<uint32_t>(i));
      } else {
        at = AtDestination::kOther;
      }
    }
    out.onDrive[i] = at == AtDestination::kTrack;
  }
  return out;
}

Plan makePlan(const Snapshot& snapshot, const Observed& observed, const Choice& choice) {
  Plan plan;
  std::vector<uint8_t> chosen(snapshot.playlists.size()), charged(snapshot.tracks.size());
  // What each track is charged, worked out in the tracks' own order: the
  // playlists name them in any order, and each is named many times.
  std::vector<uint64_t> chargeable(snapshot.tracks.size());
  // A converted track takes what its conversion is estimated to make.
  auto sizeOf = [&](uint32_t track) {
    const SnapshotTrack& t = snapshot.tracks[track];
    return t.conversion.empty() ? observed.sourceBytes[track] : t.estimatedBytes;
  };
  for (uint32_t track = 0; track < snapshot.tracks.size() && track < observed.sourceBytes.size();
       ++track) {
    chargeable[track] =
        snapshot.tracks[track].enabled || !choice.copyOnlyChecked ? sizeOf(track) : 0;
  }
  auto bytesOf = [&](uint32_t track) -> uint64_t { return chargeable[track]; };
  // What the drive's file system cannot hold is left out, and said.
  auto refusal = [&](uint32_t track) -> std::optional<Refused::Why> {
    if (sizeOf(track) > choice.drive.maxFileBytes) return Refused::Why::kTooLarge;
    std::string_view rest = snapshot.tracks[track].destination;
    if (choice.musicRootBytes + 1 + rest.size() >= PATH_MAX) return Refused::Why::kPathTooLong;
    while (!rest.empty()) {
      size_t slash = rest.find('/');
      if (!choice.drive.nameFits(rest.substr(0, slash))) return Refused::Why::kNameTooLong;
      if (choice.drive.asciiNamesOnly &&
          std::any_of(rest.begin(), rest.begin() + std::min(slash, rest.size()),
                      [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
        return Refused::Why::kNameNotAscii;
      }
      rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    }
    return std::nullopt;
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
      if (snapshot.tracks[track].enabled || !choice.copyOnlyChecked) {
        if (auto why = refusal(track)) {
          plan.refused.push_back({track, *why});
          continue;
        }
        plan.copies.push_back(track);
        plan.spaceNeeded += choice.drive.onDisk(sizeOf(track));
      }
      figures.thisExport += bytesOf(track);
    }
    plan.bytesToCopy += figures.thisExport;
    plan.playlists.push_back(figures);
  }
  for (uint32_t track : choice.alsoCopy) {
    if (track >= snapshot.tracks.size() || observed.onDrive[track] || charged[track]) continue;
    charged[track] = 1;
    if (auto why = refusal(track)) {
      plan.refused.push_back({track, *why});
      continue;
    }
    plan.copies.push_back(track);
    plan.spaceNeeded += choice.drive.onDisk(sizeOf(track));
    plan.bytesToCopy += sizeOf(track);
  }
  return plan;
}

}  // namespace session
