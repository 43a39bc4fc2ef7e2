
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string_view>
#include <unordered_set>

#include "fs/DriveRecord.h"
#include "fs/FileManager.h"
#include "session/CopyRun.h"
#include "session/DestinationLayout.h"
#include "session/ExportOptions.h"
#include "session/ExportSession.h"
#include "session/ExportSessionParts.h"
#include "session/StaleWalk.h"

namespace app {

using namespace detail;
namespace stdfs = std::filesystem;

// The target: the chosen playlists' files, written now, and (when some
// playlists are exported) every other playlist file of the exporter's,
// kept as it stands with the entries it has. The tracks
// those kept files list that are not on the drive (a copy removed by a
// repair a kill cut short, or by hand) are copied again.
std::unordered_set<std::string> ExportSession::keptListedKeys(
    const std::vector<std::pair<std::string, std::string>>& kept) const {
  std::unordered_set<std::string> keys;
  for (const auto& [relative, text] : kept) {
    bool windows1252 =
        relative.size() >= 4 && relative.compare(relative.size() - 4, 4, ".m3u") == 0;
    for (const auto& entry :
         session::driveEntriesOf(text, windows1252, session::folderOf(relative), root_))
      keys.insert(DestinationLayout::collisionKey(entry));
  }
  return keys;
}

void ExportSession::makeTarget(fs::FileManager& fm) {
  std::vector<std::pair<std::string, uint32_t>> written;
  std::unordered_set<std::string> writtenKeys;
  for (const auto& s : selected_) {
    written.emplace_back(playlistRelative(s.fileName + playlistExtension_),
                         snapshotPlaylist_.at(s.playlist->persistentId));
    writtenKeys.insert(DestinationLayout::collisionKey(written.back().first));
  }
  std::vector<std::pair<std::string, std::string>> kept;
  if (mode_ == Mode::kChosenPlaylists) {
    // The files read while loading answer for the first plan, as the
    // sources looked at then do; later plans read them again.
    if (!keptAtLoad_.empty()) {
      for (auto& file : keptAtLoad_)
        if (!writtenKeys.count(DestinationLayout::collisionKey(file.first)))
          kept.push_back(std::move(file));
      keptAtLoad_.clear();
    } else {
      kept = keptPlaylistFiles(fm, writtenKeys);
    }
  }
  target_ = session::targetOf(snapshot_, written, kept, !o_.allTracks, root_, musicFolder(),
                              &destinationKeys_);
  keptListed_ = keptListedKeys(kept);
  // A playlist folder inside the music folder (as some players want it):
  // the playlist files there are needed, not stale.
  // The file's path keeps its own spelling of the folder: as many
  // components go as the music folder has.
  const std::string musicKey = DestinationLayout::collisionKey(musicPrefix_);
  const auto depth = std::count(musicPrefix_.begin(), musicPrefix_.end(), '/');
  for (const auto& file : target_.files) {
    if (DestinationLayout::collisionKey(file.relative).compare(0, musicKey.size(), musicKey) != 0)
      continue;
    size_t cut = 0;
    for (auto n = depth; n > 0 && cut != std::string::npos; --n)
      cut = file.relative.find('/', cut) + 1;
    target_.needed.insert(session::walkKey(std::string_view(file.relative).substr(cut)));
  }
  keptOnly_.clear();
  if (kept.empty()) return;
  std::unordered_set<std::string> keptKeys;
  for (const auto& file : target_.files)
    for (const auto& entry : file.keptEntries) keptKeys.insert(session::walkKey(entry));
  for (uint32_t i = 0; i < snapshot_.tracks.size(); ++i) {
    // A file of the user's there (an edited copy) plays for the entry as
    // it is, and stays.
    if (!target_.listed[i] && observed_.at[i] != session::AtDestination::kOther &&
        keptKeys.count(session::walkKey(snapshot_.tracks[i].destination)))
      keptOnly_.push_back(i);
  }
}

// A track whose place holds a file that is not its copy goes beside it,
// under the first numbered name that is free on the drive and in the
// layout; the file there is left as it is.
void ExportSession::copyBeside(fs::FileManager& fm) {
  plan_.copiedBeside.clear();
  std::vector<uint32_t> moved;
  std::unordered_set<std::string> taken;  // collision keys below the music folder
  std::vector<uint8_t> chosenTrack(snapshot_.tracks.size());
  for (const auto& s : selected_) {
    for (uint32_t t : snapshot_.playlists[snapshotPlaylist_.at(s.playlist->persistentId)].items)
      chosenTrack[t] = 1;
  }
  for (size_t i = 0; i < snapshot_.tracks.size(); ++i) {
    const session::SnapshotTrack& t = snapshot_.tracks[i];
    if (!chosenTrack[i] || !session::listable(t, !o_.allTracks) ||
        observed_.at[i] != session::AtDestination::kOther || leavesRoot(t.destination))
      continue;
    if (taken.empty()) {
      for (const auto& other : snapshot_.tracks)
        taken.insert(DestinationLayout::collisionKey(other.destination));
    }
    std::string_view path = t.destination;
    size_t slash = path.rfind('/');
    std::string parent(slash == std::string_view::npos ? "" : path.substr(0, slash + 1));
    std::string leaf(path.substr(slash == std::string_view::npos ? 0 : slash + 1));
    // A name numbered already ("Song (2).mp3") counts on from its number.
    std::string base = leaf;
    int from = 2;
    size_t dot = leaf.rfind('.');
    std::string_view stem =
        std::string_view(leaf).substr(0, dot == std::string::npos ? leaf.size() : dot);
    if (size_t open = stem.rfind(" ("); open != std::string_view::npos && stem.back() == ')') {
      std::string_view digits = stem.substr(open + 2, stem.size() - open - 3);
      if (!digits.empty() && digits.size() < 6 &&
          std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        base = std::string(stem.substr(0, open)) + leaf.substr(stem.size());
        from = std::stoi(std::string(digits)) + 1;
      }
    }
    const std::string& musicPrefix = musicPrefix_;
    std::string chosen;
    for (int n = from; chosen.empty() && n < from + 1000; ++n) {
      std::string candidate = parent + DestinationLayout::numbered(base, n);
      if (taken.count(DestinationLayout::collisionKey(candidate))) continue;
      auto recorded =
          driveRecord_.entries.find(DestinationLayout::collisionKey(musicPrefix + candidate));
      if (recorded != driveRecord_.entries.end() && recorded->second.trackId != t.id) continue;
      if (recorded == driveRecord_.entries.end() &&
          fm.fileExistsAtPath(musicRoot_ + "/" + candidate, nullptr))
        continue;
      chosen = std::move(candidate);
    }
    if (chosen.empty()) continue;  // the copy says what stands in the way
    taken.insert(DestinationLayout::collisionKey(chosen));
    plan_.copiedBeside.push_back({musicRoot_ + "/" + t.destination, musicRoot_ + "/" + chosen,
                                  observed_.changedCopy[i] != 0});
    snapshot_.tracks[i].destination = std::move(chosen);
    moved.push_back(static_cast<uint32_t>(i));
  }
  if (moved.empty()) return;
  session::Observed again = lookAgain(fm, moved);
  for (uint32_t adopted : again.adopted) observed_.adopted.push_back(moved[adopted]);
}

session::Observed ExportSession::lookAgain(fs::FileManager& fm,
                                           const std::vector<uint32_t>& tracks) {
  session::Snapshot some;
  for (uint32_t i : tracks) some.tracks.push_back(snapshot_.tracks[i]);
  session::Observed again = session::observe(some, musicRoot_, fm, driveView());
  for (size_t k = 0; k < tracks.size(); ++k) {
    uint32_t i = tracks[k];
    observed_.onDrive[i] = again.onDrive[k];
    observed_.at[i] = again.at[k];
    observed_.driveStamp[i] = again.driveStamp[k];
    observed_.changedCopy[i] = again.changedCopy[k];
  }
  return again;
}

}  // namespace app
