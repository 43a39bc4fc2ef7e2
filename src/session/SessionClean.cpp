
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <unordered_set>

#include "base/Log.h"
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

bool ExportSession::holdListed(fs::FileManager& fm, const std::string& path) {
  base::FileError why;
  auto text = fm.readSmallFile(path, kMaxPlaylistBytes, &why);
  // Gone is fine; one that stays unread may list anything.
  if (!text) return why.code == ENOENT;
  bool windows1252 = path.size() >= 4 && path.compare(path.size() - 4, 4, ".m3u") == 0;
  auto relative = destination_->relativePath(path);
  std::string folder(relative ? session::folderOf(*relative) : std::string_view());
  for (const auto& entry : session::driveEntriesOf(*text, windows1252, folder, root_))
    stillListed_.insert(DestinationLayout::collisionKey(entry));
  return true;
}

CleanOutcome ExportSession::clean(bool remove, const std::atomic<bool>* stop) {
  CleanOutcome outcome;
  outcome.attempted = remove;
  if (!remove) {
    for (const auto& item : plan_.stale) outcome.items.push_back({item, false, !item.ours, ""});
    return outcome;
  }
  // Files one by one, then a folder only once it is empty: a folder is
  // never removed with what it holds.
  auto fm = files();
  const int64_t timeStep = fs::timeStepOf(root_);
  const std::string rootPrefix = root_ + "/";
  // The record forgets what is gone batch by batch, flushed, so that a
  // file of the user's that later takes one of those names is never
  // taken for the exporter's, and a kill part-way leaves a record that
  // names what is still there.
  auto writer = fs::DriveRecord::open(destination_, &DestinationLayout::collisionKey);
  std::vector<std::string> deleted, deletedFolders;
  const std::string bridgePrefix = std::string(DestinationLayout::kMusicFolder) + "/";
  auto settle = [&] {
    if (deleted.empty() && deletedFolders.empty()) return;
    if (!deleted.empty()) {
      destination_->forget(deleted);
      // The bridge's copies are listed in the tracks' own root.
      std::vector<std::string> belowMusic;
      for (const auto& relative : deleted) {
        if (relative.compare(0, bridgePrefix.size(), bridgePrefix) == 0)
          belowMusic.push_back(relative.substr(bridgePrefix.size()));
      }
      if (!belowMusic.empty()) fs::DestinationRoot::open(bridgeRoot())->forget(belowMusic);
    }
    std::vector<std::string> keys;
    for (const auto& relative : deleted) keys.push_back(DestinationLayout::collisionKey(relative));
    for (const auto& relative : deletedFolders)
      keys.push_back(DestinationLayout::collisionKey(relative));
    if (writer) base::logIfFailed((*writer)->remove(keys, true), "The record keeps removed files");
    deleted.clear();
    deletedFolders.clear();
  };
  constexpr size_t kSettleEvery = 64;
  // Whether a file is still what the exporter wrote, judged now, at the
  // moment of its removal: its size and time as recorded, and where the
  // record holds a checksum, its content (a file rewritten with its old
  // size and time restored is not the exporter's). Empty: it is.
  std::optional<base::FileError> unreadable;  // why notOurs could not read its file
  auto notOurs = [&](const std::string& path, const fs::FileAttributes& now) -> std::string {
    if (now.type != fs::FileType::kRegular) return "it is no longer a plain file";
    auto relative = destination_->relativePath(path);
    if (!relative) return "it is not below the destination";
    auto known = driveRecord_.entries.find(DestinationLayout::collisionKey(*relative));
    if (known == driveRecord_.entries.end() || known->second.kind == fs::EntryKind::kLegacy)
      return record_.count(*relative) != 0 ? "" : "the exporter's record does not name it";
    if (!asWritten(known->second, {now.size, now.modificationTimeNs}, timeStep))
      return "it changed since the exporter wrote it";
    // The checksum is of the file the entry names; a playlist file whose
    // replacement a kill kept from its name is the one it replaced, known
    // by that one's size and time alone.
    const bool named = fs::sameStamp(known->second.drive, {now.size, now.modificationTimeNs},
                                     timeStep) != fs::StampMatch::kDifferent;
    if (known->second.checksum && named) {
      base::FileError why;
      auto sum = fm->readBackChecksum(path, &why);
      if (!sum) {
        unreadable = why;
        return "it could not be read";
      }
      if (*sum != *known->second.checksum)
        return "its content differs from what the exporter wrote";
    }
    return "";
  };
  // A file of the exporter's changed since is the user's now: the record
  // stops naming it (so that a check no longer counts it among the
  // exporter's), and it stays where it is.
  auto release = [&](const std::string& path) {
    if (auto relative = destination_->relativePath(path)) deleted.push_back(*relative);
  };
  std::string unreadList;  // a playlist file left on the drive that could not be read
  for (const auto& item : plan_.stale) {
    CleanItem done{item, false, !item.ours, ""};
    if (item.changed && !item.ours && !item.folder) release(item.path);
    if (item.ours && !item.playlistFile && !unreadList.empty()) {
      done.reason = "not deleted: " + unreadList +
                    ", which stays on the drive, could not be read to tell whether it lists it";
      ++outcome.notDeleted;
      outcome.items.push_back(std::move(done));
      continue;
    }
    if (item.ours && !item.playlistFile && !stillListed_.empty() &&
        item.path.compare(0, rootPrefix.size(), rootPrefix) == 0 &&
        stillListed_.count(DestinationLayout::collisionKey(item.path.substr(rootPrefix.size())))) {
      // A playlist file that could not be replaced or removed, or that is
      // the user's now, still lists it.
      done.kept = true;
      done.reason = "a playlist file still on the drive lists it";
      outcome.items.push_back(std::move(done));
      continue;
    }
    if (item.ours && !outcome.stopped && stop != nullptr && stop->load()) outcome.stopped = true;
    if (item.ours && outcome.stopped) {
      done.reason = "the clean-up was stopped before it";
      done.notReached = true;
    } else if (item.ours) {
      base::FileError error;
      if (item.folder) {
        // The cover image the exporter put there goes with its folder
        // while it is as written; a cover of the user's keeps the folder.
        std::string art = item.path + "/" + player_.coverName.value;
        auto cover = fm->attributesOfItemAtPath(art, nullptr);
        if (cover && cover->type == fs::FileType::kRegular &&
            (o_.cleanAll || notOurs(art, *cover).empty()) &&
            fm->removeItemBelowRoot(*destination_, art, fs::RemoveKind::kFile, nullptr)) {
          if (auto relative = destination_->relativePath(art)) deleted.push_back(*relative);
        }
        done.deleted =
            fm->removeItemBelowRoot(*destination_, item.path, fs::RemoveKind::kEmptyFolder, &error);
        // Gone already (the tracks that moved out took it with them): only
        // the record is told.
        if (!done.deleted && error.code == ENOENT) done.deleted = true;
        if (done.deleted) {
          if (auto relative = destination_->relativePath(item.path))
            deletedFolders.push_back(*relative);
        }
      } else {
        // Looked at again now: the plan's judgement may be minutes old.
        auto now = fm->attributesOfItemAtPath(item.path, &error);
        std::string changed;
        if (now && (now->size != item.bytes || now->modificationTimeNs != item.seenTimeNs)) {
          changed = "it changed after the plan was made";
        } else if (now && !o_.cleanAll && !item.partial) {
          changed = notOurs(item.path, *now);
        }
        if (!now && error.code == ENOENT) {
          done.deleted = true;  // gone already: only the record is told
        } else if (now && changed.empty()) {
          done.deleted =
              fm->removeItemBelowRoot(*destination_, item.path, fs::RemoveKind::kFile, &error);
        } else if (now && unreadable) {
          // Still the exporter's, for the next export to judge.
          error = *std::exchange(unreadable, std::nullopt);
        } else if (now) {
          done.kept = true;
          done.reason = changed + ": kept";
          release(item.path);
        }
        if (done.deleted) {
          if (auto relative = destination_->relativePath(item.path)) deleted.push_back(*relative);
        }
      }
      outcome.deleted += done.deleted;
      if (!done.deleted && item.folder && error.code == ENOTEMPTY) {
        // Something not the exporter's (a cover image of the user's, a
        // file put there since) keeps its folder.
        done.kept = true;
        done.reason = "it holds files not written by the exporter";
      } else if (!done.deleted && !done.kept) {
        done.reason = describeCopyFailure(error, "");
        ++outcome.notDeleted;
      }
    }
    // Stale playlist files come first: what one that stays lists stays
    // too, so that no file left on the drive lists a track deleted here.
    if (item.playlistFile && !done.deleted && !holdListed(*fm, item.path)) unreadList = item.path;
    outcome.items.push_back(std::move(done));
    if (deleted.size() + deletedFolders.size() >= kSettleEvery) settle();
  }
  settle();
  // Each clean-up adds a removal line and leaves a dead one per file.
  if (writer) base::logIfFailed((*writer)->compactIfMostlyDead(), "The record was not compacted");
  return outcome;
}

// What the record names that no playlist file needs and that is gone
// (removed by hand, a clean-up killed before it told the record, or a
// file recorded before its name by an export killed before it named it)
// is forgotten after every export, cleaning or not, so that a check finds
// nothing missing. Forgetting what is gone can never cost a file.
void ExportSession::forgetGone() {
  auto fm = files();
  const std::string& music = musicPrefix_;
  const std::string bridgePrefix = std::string(DestinationLayout::kMusicFolder) + "/";
  std::unordered_set<std::string> neededFiles;
  for (const auto& file : target_.files)
    neededFiles.insert(DestinationLayout::collisionKey(file.relative));
  std::vector<std::string> keys, paths, belowMusic;
  for (const auto& [key, e] : driveRecord_.entries) {
    bool underMusic = e.path.compare(0, music.size(), music) == 0;
    if (underMusic ? e.kind != fs::EntryKind::kFolder &&
                         target_.needed.count(session::walkKey(e.path.substr(music.size())))
                   : neededFiles.count(key) != 0)
      continue;
    base::FileError error;
    if (fm->attributesOfItemAtPath(root_ + "/" + e.path, &error) || error.code != ENOENT) continue;
    keys.push_back(key);
    if (e.kind == fs::EntryKind::kFolder) continue;
    paths.push_back(e.path);
    if (e.path.compare(0, bridgePrefix.size(), bridgePrefix) == 0)
      belowMusic.push_back(e.path.substr(bridgePrefix.size()));
  }
  if (keys.empty()) return;
  destination_->forget(paths);
  // The bridge's copies are listed in the tracks' own root.
  if (!belowMusic.empty()) fs::DestinationRoot::open(bridgeRoot())->forget(belowMusic);
  auto writer = fs::DriveRecord::open(destination_, &DestinationLayout::collisionKey);
  if (!writer) return;
  base::logIfFailed((*writer)->remove(keys, true), "The record keeps files that are gone");
  for (const auto& key : keys) driveRecord_.entries.erase(key);
}

}  // namespace app
