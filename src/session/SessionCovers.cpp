
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string_view>
#include <unordered_set>

#include "fs/DriveRecord.h"
#include "fs/FileManager.h"
#include "fs/ReadableFile.h"
#include "session/CopyRun.h"
#include "session/CoverImage.h"
#include "session/DestinationLayout.h"
#include "session/ExportOptions.h"
#include "session/ExportSession.h"
#include "session/ExportSessionParts.h"

namespace app {

using namespace detail;
namespace stdfs = std::filesystem;

size_t ExportSession::covers(const std::atomic<bool>* stop, std::vector<CoverFailure>* failed) {
  auto fm = files();
  static const char* kCandidates[] = {"folder.jpg", "Folder.jpg", "FOLDER.JPG", "cover.jpg",
                                      "Cover.jpg",  "COVER.JPG",  "front.jpg",  "Front.jpg",
                                      "album.jpg",  "Album.jpg"};
  std::unordered_set<std::string> done;
  size_t written = 0;
  // Flushed together, as the tracks are: one flush per album is slow.
  // Written below the drive's root and recorded as the exporter's.
  // Each cover is in the drive's record by identity, written before it is
  // named, so that one the user puts at its name later is theirs.
  fs::CopyBatchOptions options{destination_, stop};
  auto writer = fs::DriveRecord::open(destination_, &DestinationLayout::collisionKey);
  if (writer) {
    options.checksum = true;
    options.beforeNaming = [&](const std::vector<fs::CopyBatchOptions::Staged>& files, bool flush) {
      std::vector<fs::RecordEntry> entries;
      for (const auto& file : files) {
        if (file.folder) {
          if (auto e = fs::folderEntry(*destination_, file.to, &DestinationLayout::collisionKey))
            entries.push_back(std::move(*e));
          continue;
        }
        if (auto e = entryOfStaged(*destination_, file, fs::EntryKind::kCover))
          entries.push_back(std::move(*e));
      }
      base::Status written = (*writer)->append(entries, flush);
      return written.ok() ? 0 : (written.code() != 0 ? written.code() : EIO);
    };
  }
  auto batch = fm->makeCopyBatch(options);
  std::vector<std::string> pending;  // the batch's images, in order
  // Covers the player wants of another type or size are made here and
  // written as the playlist files are, recorded before they are named.
  const std::string& coverName = player_.coverName.value;
  const std::string& coverType = player_.coverType.value;
  const bool typeAsked = player_.coverType.origin.kind != session::Origin::Kind::kDefault;
  // Said by cover_art_file_type itself, not only by the name's extension:
  // an image of no type known is then not what the player wants either.
  const bool typeSaid = typeAsked && player_.coverType.origin.line != player_.coverName.origin.line;
  const int coverSize = player_.coverSize.value;
  std::vector<fs::FileManager::TextFile> made;
  auto recordFirst = [&](const std::vector<fs::CopyBatchOptions::Staged>& staged) {
    if (!writer) return writer.status().code() != 0 ? writer.status().code() : EIO;
    std::vector<fs::RecordEntry> entries;
    for (const auto& file : staged) {
      if (auto e = entryOfStaged(*destination_, file, fs::EntryKind::kCover))
        entries.push_back(std::move(*e));
    }
    base::Status s = (*writer)->append(entries, true);
    return s.ok() ? 0 : (s.code() != 0 ? s.code() : EIO);
  };
  auto writeMade = [&] {
    if (made.empty()) return;
    std::vector<base::FileError> errors;
    std::vector<bool> inPlace =
        fm->writeStringsBelowRoot(*destination_, made, &errors, recordFirst);
    for (size_t i = 0; i < made.size(); ++i) {
      written += i < inPlace.size() && inPlace[i];
      if ((i >= inPlace.size() || !inPlace[i]) && failed)
        failed->push_back(
            {made[i].path,
             describeCopyFailure(i < errors.size() ? errors[i] : base::FileError{EIO}, "")});
    }
    made.clear();
  };
  auto fail = [&](const std::string& path, const base::FileError& why) {
    if (failed) failed->push_back({path, describeCopyFailure(why, "")});
  };
  auto commit = [&] {
    std::vector<base::FileError> errors;
    std::vector<bool> named = batch->commit(&errors);
    for (size_t i = 0; i < named.size() && i < pending.size(); ++i) {
      written += named[i];
      if (!named[i]) fail(pending[i], i < errors.size() ? errors[i] : base::FileError{EIO});
    }
    pending.clear();
  };
  // Each album folder of the tracks exported (and of those the drive
  // keeps for playlists not chosen) that the copies made or found, and
  // that holds no cover yet, gets the first image its source folder has.
  // Each track once, folder by folder as the copies went.
  std::vector<uint32_t> tracks;
  std::vector<uint8_t> taken(snapshot_.tracks.size());
  if (target_.listed.size() != snapshot_.tracks.size()) return 0;
  for (const auto& file : target_.files) {
    for (uint32_t track : file.entries) {
      if (!std::exchange(taken[track], 1)) tracks.push_back(track);
    }
  }
  std::sort(tracks.begin(), tracks.end(), [&](uint32_t a, uint32_t b) {
    return snapshot_.tracks[a].destination < snapshot_.tracks[b].destination;
  });
  for (uint32_t i : tracks) {
    if (stop && stop->load()) break;
    const session::SnapshotTrack& t = snapshot_.tracks[i];
    if (t.destination.empty() || t.source.empty() || leavesRoot(t.destination)) continue;
    std::string folder = stdfs::path(musicRoot_ + "/" + t.destination).parent_path().string();
    std::string target = folder + "/" + coverName;
    if (!done.insert(target).second) continue;
    // One listing of the source folder answers for every candidate name;
    // the drive is looked at only for a folder that has an image (most
    // have none: their art is in the tracks).
    std::string sourceFolder = stdfs::path(t.source).parent_path().string();
    auto entries = fm->contentsOfDirectoryAtPath(sourceFolder, nullptr);
    if (!entries) continue;
    std::unordered_set<std::string_view> present;
    for (const auto& entry : *entries) {
      if (entry.type == fs::FileType::kRegular) present.insert(entry.name);
    }
    auto image = std::find_if(std::begin(kCandidates), std::end(kCandidates),
                              [&](const char* name) { return present.count(name) != 0; });
    if (image == std::end(kCandidates)) continue;
    bool isDirectory = false;
    if (!fm->fileExistsAtPath(folder, &isDirectory) || !isDirectory)
      continue;  // nothing was copied there
    base::FileError why;
    constexpr size_t kMaxCoverBytes = 64 << 20;
    // The type and size a cover has, when the player asks for them: an
    // image they do not tell is not one it wants.
    auto asWanted = [&](const std::string& bytes) {
      auto side = session::coverSizeOf(bytes);
      std::string type = session::coverTypeOf(bytes);
      return (!typeAsked || type == coverType || (type.empty() && !typeSaid)) &&
             (coverSize == 0 || (side && std::max(side->first, side->second) == coverSize));
    };
    bool replace = false;
    if (fm->fileExistsAtPath(target, &isDirectory)) {
      // The folder has its cover; the exporter's own is made again while
      // it is not what the player asks (the profile changed since).
      if (!typeAsked && coverSize == 0) continue;
      auto relative = destination_->relativePath(target);
      auto known = relative ? driveRecord_.entries.find(DestinationLayout::collisionKey(*relative))
                            : driveRecord_.entries.end();
      auto stamp = plainFileStamp(*fm, target);
      if (known == driveRecord_.entries.end() || known->second.kind != fs::EntryKind::kCover ||
          !stamp || !asWritten(known->second, *stamp, fs::timeStepOf(root_)))
        continue;  // the owner's
      // Its first bytes tell its type and size, but for a JPEG whose
      // frame header comes late (after a large EXIF block).
      std::optional<std::string> there;
      if (auto file = fm->openForReading(target, nullptr)) {
        std::string head(std::min<uint64_t>(file->size(), 64 << 10), '\0');
        int64_t got = file->readAt(0, head.data(), head.size());
        if (got >= 0) head.resize(static_cast<size_t>(got));
        if (got >= 0 && (head.size() == file->size() || session::coverSizeOf(head)))
          there = std::move(head);
      }
      if (!there) there = fm->readSmallFile(target, kMaxCoverBytes, nullptr);
      if (!there || asWanted(*there)) continue;
      replace = true;
    }
    const std::string source = (stdfs::path(sourceFolder) / *image).string();
    if (replace || typeAsked || coverSize > 0) {
      // Read to tell its type; converted when the player wants another
      // type or size, else written as it is.
      auto bytes = fm->readSmallFile(source, kMaxCoverBytes, &why);
      if (!bytes) {
        if (failed)
          failed->push_back(
              {target, "its image " + source + " cannot be read: " + why.localizedDescription});
        continue;
      }
      const bool convert = !asWanted(*bytes);
      if (convert) {
        // A size alone keeps the image's own type.
        std::string type = session::coverTypeOf(*bytes);
        if (typeAsked || type.empty()) type = coverType;
        auto converted = session::convertCover(*bytes, source, type, coverSize);
        if (!converted) {
          if (failed) failed->push_back({target, converted.status().message()});
          continue;
        }
        bytes = std::move(*converted);
      }
      if (convert || replace) {
        made.push_back({target, std::move(*bytes)});
        if (made.size() >= 64) writeMade();
        continue;
      }
    }
    if (!batch->addCopy(source, target, &why)) {
      fail(target, why);
      continue;
    }
    pending.push_back(target);
    if (batch->pendingCount() >= 64) commit();
  }
  commit();
  writeMade();
  return written;
}

}  // namespace app
