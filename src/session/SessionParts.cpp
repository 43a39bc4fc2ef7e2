#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <set>
#include <string_view>

#include "fs/DriveRecord.h"
#include "fs/FileManager.h"
#include "session/CopyRun.h"
#include "session/DestinationLayout.h"
#include "session/ExportOptions.h"
#include "session/ExportSessionParts.h"

namespace app {

namespace stdfs = std::filesystem;

namespace detail {

// A destination with a ".." component would lead out of the music folder.
bool leavesRoot(std::string_view relative) {
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string_view::npos) end = relative.size();
    if (relative.substr(start, end - start) == "..") return true;
    start = end + 1;
  }
  return false;
}

// Whether a file with the stamp `now` is the one the entry describes. A
// playlist file's entry is written before the new file is named, and
// keeps the stamp of the file it replaces (in `source`, which playlist
// files have no other use for): a kill between the two leaves that one,
// still the exporter's.
bool asWritten(const fs::RecordEntry& e, const fs::FileStamp& now, int64_t step) {
  auto same = [&](const fs::FileStamp& a) {
    return fs::sameStamp(a, now, step) != fs::StampMatch::kDifferent;
  };
  return same(e.drive) ||
         (e.kind == fs::EntryKind::kPlaylist && e.source.mtimeNs != 0 && same(e.source));
}

// The size and time of the plain file at `path` (not through a link).
std::optional<fs::FileStamp> plainFileStamp(fs::FileManager& fm, const std::string& path) {
  auto a = fm.attributesOfItemAtPath(path, nullptr);
  if (!a || a->type != fs::FileType::kRegular) return std::nullopt;
  return fs::FileStamp{a->size, a->modificationTimeNs};
}

// The record's entry for a file about to be named below `root`.
std::optional<fs::RecordEntry> entryOfStaged(const fs::DestinationRoot& root,
                                             const fs::CopyBatchOptions::Staged& file,
                                             fs::EntryKind kind) {
  auto relative = root.relativePath(file.to);
  if (!relative) return std::nullopt;
  fs::RecordEntry e;
  e.path = *relative;
  e.key = DestinationLayout::collisionKey(e.path);
  e.kind = kind;
  e.drive = {file.size, file.modificationTimeNs};
  e.checksum = file.checksum;
  return e;
}

// A source path longer than the system takes cannot even be opened; it is
// told apart from a destination name the drive refuses.
std::string sourcePathTooLong(const std::string& source) {
  return "the source file's path is too long to open (more than " + std::to_string(PATH_MAX) +
         " bytes) (" + source + ")";
}

}  // namespace detail

using namespace detail;

std::string describeCopyFailure(const base::FileError& e, const std::string& source) {
  const std::string& where = e.path.empty() ? source : e.path;
  bool atSource =
      !source.empty() && (e.path.empty() ? source.size() >= PATH_MAX : e.path == source);
  switch (e.code) {
    case kDriveReturnedOtherData:
      return "the drive returned different data when the copy was read back; the copy was "
             "removed (" +
             where + ")";
    case ENOSPC:
    case EDQUOT:
      return "no space left on the drive (" + where + ")";
    case ENODEV:
      return "the drive was removed";
    case ESTALE:
      return "the destination changed while copying: its folder was moved or replaced (" + where +
             ")";
    case EIO:
      if (atSource) return "the source file could not be read (input/output error) (" + where + ")";
      return "the drive could not be written (input/output error: was it removed?) (" + where + ")";
    case EROFS:
      return "the drive is read-only (" + where + ")";
    case EFBIG:
      return "the file is larger than the file system allows (FAT32 holds at most 4 GiB per file) "
             "(" +
             where + ")";
    case EISDIR:
      return atSource ? "the source is a folder (" + where + ")" : "a folder stands at " + where;
    case EEXIST:
      return "another file already stands at " + where;
    case ENOTDIR:
      return std::string("a file stands where a folder belongs, on the way to ") +
             (atSource ? "the source file " : "") + where;
    case ELOOP:
      if (atSource) return "the source file's path loops through symbolic links (" + where + ")";
      return "a symbolic link stands in the way, on the way to " + where +
             " (nothing is written through links)";
    case EACCES:
    case EPERM:
      return (atSource ? "the source file cannot be read: permission denied ("
                       : "permission denied on the drive (") +
             where + ")";
    case ENOENT:
      return atSource ? "the source file is missing (" + where + ")"
                      : "a folder on the way is missing (" + where + ")";
    case ENAMETOOLONG:
      if (atSource) return sourcePathTooLong(where);
      return "the name is too long for the drive (" + where + ")";
    case ECANCELED:
      return "the export was interrupted";
    case EXDEV:
      return "its path is not inside the destination folder (" + where + ")";
    default:
      if (atSource && e.code == fs::kNotRegularFile) return "not a regular file (" + where + ")";
      return e.localizedDescription.empty() ? "error " + std::to_string(e.code)
                                            : e.localizedDescription;
  }
}

namespace detail {

base::Status fail(base::Status::Kind kind, std::string message) {
  return base::Status::of(kind, std::move(message));
}

std::string defaultLibraryFile(const base::Configuration& config) {
  return LibraryReader::defaultExport(config.home).value_or("");
}

std::string refusalReason(session::Refused::Why why) {
  switch (why) {
    case session::Refused::Why::kTooLarge:
      return "it cannot be copied there: the drive's file system holds files of at most 4 GiB - "
             "1 byte (FAT32)";
    case session::Refused::Why::kNameTooLong:
      return "it cannot be copied there: a name on its path is longer than the drive's file "
             "system allows (255 UTF-16 units)";
    case session::Refused::Why::kNameNotAscii:
      return "it cannot be copied there: the drive's driver (fusefat) takes names of ASCII "
             "characters only";
    case session::Refused::Why::kPathTooLong:
      break;
  }
  return "it cannot be copied there: its path is longer than the system allows (" +
         std::to_string(PATH_MAX) + " bytes)";
}

size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The playlists named (without regard to case or Unicode composition);
// a folder stands for every playlist inside it. A name that matches
// nothing is an error that offers the nearest names.
base::Result<std::set<const LibraryPlaylist*>> choosePlaylists(
    const Library& library, const std::vector<std::string>& names) {
  std::set<const LibraryPlaylist*> chosen;
  std::multimap<std::string, const LibraryPlaylist*> children;
  for (const auto& p : library.playlists) children.emplace(p.parentPersistentId, &p);
  std::set<const LibraryPlaylist*> opened;  // a folder listed as its own ancestor is opened once
  // A list of what is still to open rather than recursion: folders may
  // nest as deep as the library says, a quarter of a million levels too.
  std::vector<const LibraryPlaylist*> pending;
  auto take = [&](const LibraryPlaylist& named) {
    pending.push_back(&named);
    while (!pending.empty()) {
      const LibraryPlaylist* p = pending.back();
      pending.pop_back();
      if (!p->folder) {
        chosen.insert(p);
      } else if (opened.insert(p).second) {
        auto [begin, end] = children.equal_range(p->persistentId);
        for (auto it = begin; it != end; ++it) pending.push_back(it->second);
      }
    }
  };
  for (const auto& name : names) {
    std::string key = DestinationLayout::collisionKey(name);
    bool found = false;
    std::vector<std::pair<size_t, std::string>> near;
    for (const auto& p : library.playlists) {
      std::string candidate = DestinationLayout::collisionKey(p.name);
      if (candidate == key) {
        found = true;
        take(p);
      } else if (!p.master) {
        size_t d = editDistance(key, candidate);
        if (candidate.find(key) != std::string::npos || key.find(candidate) != std::string::npos)
          d = std::min<size_t>(d, 1);
        if (d <= std::max<size_t>(2, key.size() / 3)) near.emplace_back(d, p.name);
      }
    }
    if (found) continue;
    std::sort(near.begin(), near.end());
    near.erase(std::unique(near.begin(), near.end(),
                           [](const auto& a, const auto& b) { return a.second == b.second; }),
               near.end());
    std::string hint;
    for (size_t i = 0; i < near.size() && i < 3; ++i) {
      hint += (i == 0                                      ? " Did you mean \""
               : i + 1 == std::min<size_t>(near.size(), 3) ? " or \""
                                                           : ", \"") +
              near[i].second + "\"";
    }
    if (!hint.empty()) hint += "?";
    return fail(base::Status::Kind::kUsage, "The library has no playlist named \"" + name + "\"." +
                                                hint + " (tessaline playlists lists them.)");
  }
  return chosen;
}

}  // namespace detail

}  // namespace app
