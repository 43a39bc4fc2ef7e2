#include "compat/catalogue/ScriptCopyRecord.h"

#include <cerrno>

#include "base/Log.h"

namespace catalogue {

std::shared_ptr<ScriptCopyRecord> ScriptCopyRecord::of(const std::string& tracksFolder,
                                                       int* lockCode) {
  if (lockCode) *lockCode = 0;
  auto of = fs::DriveRecord::ofTracksFolder(tracksFolder);
  if (!of) return nullptr;
  if (!*of) {
    if (lockCode && of->status().code() == EWOULDBLOCK) *lockCode = EWOULDBLOCK;
    base::logFormat("copies below %@ are recorded by path only: %@", tracksFolder,
                    of->status().message());
    return nullptr;
  }
  return std::shared_ptr<ScriptCopyRecord>(new ScriptCopyRecord(std::move(**of)));
}

void ScriptCopyRecord::prepare(fs::CopyBatchOptions& options,
                               std::shared_ptr<const Ids> ids) const {
  options.checksum = true;
  if (!options.root) return;
  options.beforeNaming = [self = shared_from_this(), tracks = options.root, ids = std::move(ids)](
                             const std::vector<fs::CopyBatchOptions::Staged>& files, bool flush) {
    std::vector<fs::RecordEntry> entries;
    for (const auto& file : files) {
      // Paths go by the tracks folder as the script spelled it ("Music/.",
      // a link to it), then take that folder's name on the drive.
      auto relative = tracks->relativePath(file.to);
      if (!relative || relative->empty()) continue;
      fs::RecordEntry e;
      e.path = self->of_.prefix + *relative;
      e.key = fs::recordKey(e.path);
      if (file.folder) {
        e.kind = fs::EntryKind::kFolder;
        entries.push_back(std::move(e));
        continue;
      }
      e.kind = fs::EntryKind::kTrack;
      if (auto id = ids->find(file.to); id != ids->end()) e.trackId = id->second;
      // No library ID: an export takes the copy over by its source's size
      // and time, as it takes over the copies of a library rebuilt since.
      e.drive = {file.size, file.modificationTimeNs};
      e.source = {file.sourceSize, file.sourceTimeNs};
      e.checksum = file.checksum;
      entries.push_back(std::move(e));
    }
    base::Status s = self->of_.writer->append(entries, flush);
    return s.ok() ? 0 : (s.code() != 0 ? s.code() : EIO);
  };
}

fs::FileManager::BeforeNaming ScriptCopyRecord::playlistFiles() const {
  return [self = shared_from_this()](const std::vector<fs::CopyBatchOptions::Staged>& files) {
    std::vector<fs::RecordEntry> entries;
    for (const auto& file : files) {
      // A file outside the export (or reached through a link to it) stays
      // recorded by path alone.
      auto relative = self->of_.root->relativePath(file.to);
      if (!relative || relative->empty()) continue;
      fs::RecordEntry e;
      e.path = std::move(*relative);
      e.key = fs::recordKey(e.path);
      e.kind = fs::EntryKind::kPlaylist;
      e.drive = {file.size, file.modificationTimeNs};
      e.checksum = file.checksum;
      entries.push_back(std::move(e));
    }
    base::Status s = self->of_.writer->append(entries, true);
    return s.ok() ? 0 : (s.code() != 0 ? s.code() : EIO);
  };
}

}  // namespace catalogue
