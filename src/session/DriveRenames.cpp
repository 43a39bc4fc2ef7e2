#include "session/DriveRenames.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <unordered_map>

#include "base/Log.h"
#include "fs/FileManager.h"
#include "session/DestinationLayout.h"

namespace session {
namespace {

std::pair<std::string, std::string> split(const std::string& relative) {
  size_t slash = relative.rfind('/');
  if (slash == std::string::npos) return {"", relative};
  return {relative.substr(0, slash), relative.substr(slash + 1)};
}

// The folders on the way to `folder` (relative) that are not there yet,
// deepest first.
std::vector<std::string> missingFolders(fs::FileManager& fm, const fs::DestinationRoot& root,
                                        std::string folder) {
  std::vector<std::string> missing;
  while (!folder.empty()) {
    base::FileError why;
    if (fm.attributesOfItemAtPath(root.path() + "/" + folder, &why)) break;
    if (why.code != ENOENT) break;
    missing.push_back(folder);
    folder = split(folder).first;
  }
  return missing;
}

bool removeFolder(fs::FileManager& fm, const fs::DestinationRoot& root, const std::string& folder) {
  return fm.removeItemBelowRoot(root, root.path() + "/" + folder, fs::RemoveKind::kEmptyFolder,
                                nullptr);
}

// Whether the exporter made `folder`: the record says so, or, on a drive
// written before folders were recorded, it held the exporter's files.
bool madeByExporter(const fs::RecordContents& entries, const std::string& folder) {
  bool recorded = false;
  for (const auto& [key, e] : entries.entries) {
    if (e.kind != fs::EntryKind::kFolder) continue;
    recorded = true;
    if (e.path == folder) return true;
  }
  return !recorded;
}

// Removes `folder` and the folders above it while they are empty and the
// exporter's own, up to the first component (the drive's "Music" stays);
// the record forgets those it removed.
void removeEmptyFolders(fs::FileManager& fm, const fs::DestinationRoot& root,
                        fs::DriveRecord& record, const fs::RecordContents& entries,
                        std::string folder) {
  std::vector<std::string> gone;
  while (folder.find('/') != std::string::npos && madeByExporter(entries, folder) &&
         removeFolder(fm, root, folder)) {
    gone.push_back(app::DestinationLayout::collisionKey(folder));
    folder = split(folder).first;
  }
  if (!gone.empty())
    base::logIfFailed(record.remove(gone, true), "The record keeps removed folders");
}

// Renames one file; "" or why not.
std::string renameOne(fs::FileManager& fm, const fs::DestinationRoot& root, fs::DriveRecord& record,
                      const fs::RecordContents& entries, int64_t timeStepNs, const DriveRename& r) {
  auto known = entries.entries.find(app::DestinationLayout::collisionKey(r.from));
  if (known == entries.entries.end() || known->second.path != r.from)
    return "the drive's record does not name it";
  const fs::RecordEntry& old = known->second;
  const std::string toKey = app::DestinationLayout::collisionKey(r.to);
  if (toKey != old.key && entries.entries.count(toKey))
    return "the drive's record names another file of the exporter's there";
  const std::string fromFolder = split(r.from).first, toFolder = split(r.to).first;
  const std::string fromPath = root.path() + "/" + r.from, toPath = root.path() + "/" + r.to;
  base::FileError why;
  auto now = fm.attributesOfItemAtPath(fromPath, &why);
  if (!now && why.code != ENOENT && why.code != ENOTDIR) return why.localizedDescription;
  if (!now || now->type != fs::FileType::kRegular ||
      fs::sameStamp(old.drive, {now->size, now->modificationTimeNs}, timeStepNs) ==
          fs::StampMatch::kDifferent) {
    return "it is not as the exporter wrote it";
  }
  std::vector<std::string> made = missingFolders(fm, root, toFolder);
  if (!toFolder.empty() && !fm.createFolderBelowRoot(root, toFolder, &why)) {
    for (const auto& folder : made) removeFolder(fm, root, folder);
    return why.localizedDescription;
  }
  fs::RecordEntry moved = old;
  moved.path = r.to;
  moved.key = toKey;
  // The folders made for it are the exporter's, as a copy's are.
  std::vector<fs::RecordEntry> added{moved};
  for (const auto& folder : made) {
    if (auto e = fs::folderEntry(root, root.path() + "/" + folder,
                                 &app::DestinationLayout::collisionKey))
      added.push_back(std::move(*e));
  }
  std::string reason;
  if (base::Status s = record.append(added, true); !s.ok()) {
    reason = s.message();
  } else if (!fm.moveItemBelowRoot(root, fromPath, toPath, &why)) {
    reason = why.localizedDescription;
    // The record names the file where it still is: the name it did not
    // get is forgotten (or the entry it had is noted again).
    base::logIfFailed(toKey == old.key ? record.append({old}, true) : record.remove({toKey}, true),
                      "The record names a rename that did not happen");
  } else if (toKey != old.key) {
    base::logIfFailed(record.remove({old.key}, true), "The record keeps a renamed file's old name");
  }
  if (!reason.empty()) {
    std::vector<std::string> keys;
    for (const auto& folder : made) {
      if (removeFolder(fm, root, folder))
        keys.push_back(app::DestinationLayout::collisionKey(folder));
    }
    if (!keys.empty())
      base::logIfFailed(record.remove(keys, true), "The record keeps folders removed again");
  } else if (!r.leaveFolders) {
    removeEmptyFolders(fm, root, record, entries, fromFolder);
  }
  return reason;
}

}  // namespace

std::vector<DriveRename> coversFollowing(const fs::RecordContents& entries,
                                         const std::vector<DriveRename>& renames,
                                         const std::string& coverName) {
  std::unordered_map<std::string, std::pair<std::string, bool>> folders;
  for (const auto& r : renames) {
    auto from = split(r.from).first, to = split(r.to).first;
    if (r.done && from != to) folders.emplace(from, std::pair(to, r.leaveFolders));
  }
  std::vector<DriveRename> covers;
  for (const auto& [key, e] : entries.entries) {
    if (e.kind != fs::EntryKind::kCover) continue;
    auto [folder, name] = split(e.path);
    auto to = folders.find(folder);
    if (to != folders.end() && name == coverName)
      covers.push_back({e.path, to->second.first + "/" + name, to->second.second});
  }
  return covers;
}

void renameRecorded(fs::FileManager& fm, const fs::DestinationRoot& root, fs::DriveRecord& record,
                    const fs::RecordContents& entries, int64_t timeStepNs,
                    std::vector<DriveRename>& renames) {
  for (auto& r : renames) {
    r.reason = renameOne(fm, root, record, entries, timeStepNs, r);
    r.done = r.reason.empty();
    if (!r.done)
      base::logFormat("not renamed on the drive: %@ to %@: %@ (it keeps its name)", r.from, r.to,
                      r.reason);
  }
}

}  // namespace session
