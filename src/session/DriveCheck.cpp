#include "session/DriveCheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unordered_set>

#include "platform/ContentHash.h"
#include "platform/DestinationRoot.h"
#include "platform/DriveLimits.h"
#include "platform/FileManager.h"
#include "platform/ReplaceFile.h"
#include "platform/StateFile.h"
#include "session/DestinationLayout.h"
#include "session/Plan.h"

namespace app {
namespace fs = std::filesystem;
namespace {

constexpr const char* kDamageNote = "damaged";

std::string stampText(const platform::FileStamp& s) {
  return std::to_string(s.size) + " bytes, modified " + std::to_string(s.mtimeNs / 1'000'000'000);
}

int64_t timeNsOf(const struct stat& st) {
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}

// The entries of the exporter's playlist file `file` that name nothing on
// the drive, resolved as a player resolves them.
void danglingEntries(const std::string& root, const std::string& relative,
                     const std::unordered_set<std::string>& recorded, CheckReport* report) {
  fs::path file = fs::path(root) / relative;
  std::ifstream in(file, std::ios::binary);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    fs::path target = line[0] == '/' ? fs::path(line) : file.parent_path() / line;
    std::error_code ec;
    if (fs::is_regular_file(target, ec)) continue;
    std::string below = target.lexically_normal().string();
    bool ours = below.size() > root.size() && below.compare(0, root.size() + 1, root + "/") == 0 &&
                recorded.count(below.substr(root.size() + 1)) != 0;
    (ours ? report->dangling : report->neverCopied).push_back({relative, 0, line});
  }
}

}  // namespace

std::unordered_map<std::string, platform::FileStamp> readDamageNote(const std::string& root) {
  std::unordered_map<std::string, platform::FileStamp> out;
  auto destination = platform::DestinationRoot::open(root);
  int folder = destination->openFolder(platform::DestinationRoot::kStateFolder, false);
  if (folder < 0) return out;
  struct stat st;
  auto fd = platform::openStateFile(folder, kDamageNote, O_RDONLY, kDamageNote, &st);
  close(folder);
  if (!fd) return out;
  auto text = platform::readStateFile(*fd, size_t{64} << 20, kDamageNote);
  close(*fd);
  if (!text) return out;
  std::istringstream lines(*text);
  for (std::string line; std::getline(lines, line);) {
    size_t a = line.find('\t'), b = line.rfind('\t');
    if (a == std::string::npos || a == b) continue;
    try {
      out[line.substr(0, a)] = {std::stoull(line.substr(a + 1, b - a - 1)),
                                std::stoll(line.substr(b + 1))};
    } catch (const std::exception&) {
    }
  }
  return out;
}

bool writeDamageNote(const std::string& root,
                     const std::unordered_map<std::string, platform::FileStamp>& damaged) {
  auto destination = platform::DestinationRoot::open(root);
  int folder = destination->openFolder(platform::DestinationRoot::kStateFolder, false);
  if (folder == -ENOENT && damaged.empty()) return true;
  if (folder < 0) return false;
  std::string text;
  for (const auto& [key, s] : damaged)
    text += key + "\t" + std::to_string(s.size) + "\t" + std::to_string(s.mtimeNs) + "\n";
  bool written = platform::replaceStateFile(folder, kDamageNote, text, kDamageNote).ok();
  close(folder);
  return written;
}

CheckReport checkDrive(const std::string& rootPath, bool fast) {
  auto root = platform::DestinationRoot::open(rootPath);
  if (!root->isOpen())
    throw CheckError("The drive's folder " + rootPath +
                     " cannot be opened: " + root->openError().localizedDescription);
  auto loaded = platform::DriveRecord::load(*root, &DestinationLayout::collisionKey);
  if (!loaded)
    throw CheckError("The drive's record of the exporter's files cannot be read: " +
                     loaded.status().message());
  CheckReport report;
  report.root = rootPath;
  const platform::DriveLimits limits = platform::driveLimitsOf(rootPath);
  report.fileSystem = limits.fileSystem;
  const int64_t step = session::timeStepOf(rootPath);
  std::unordered_set<std::string> recorded;  // paths below the root, as the drive spells them
  std::unordered_map<std::string, platform::FileStamp> damagedStamps;
  std::vector<std::string> playlists;
  for (const auto& [key, e] : loaded->entries) {
    recorded.insert(e.path);
    if (e.kind == platform::EntryKind::kFolder) continue;
    const std::string path = rootPath + "/" + e.path;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
      report.missing.push_back({e.path, e.drive.size, "recorded, not on the drive"});
      continue;
    }
    if (e.kind == platform::EntryKind::kLegacy) {
      ++report.bySizeAndTime;  // an older record knows the name only
      continue;
    }
    const platform::FileStamp now{static_cast<uint64_t>(st.st_size), timeNsOf(st)};
    if (!S_ISREG(st.st_mode) ||
        platform::sameStamp(e.drive, now, step) == platform::StampMatch::kDifferent) {
      report.changed.push_back(
          {e.path, now.size, "written as " + stampText(e.drive) + ", now " + stampText(now)});
      continue;
    }
    if (e.kind == platform::EntryKind::kPlaylist) playlists.push_back(e.path);
    if (fast || !e.checksum) {
      ++report.bySizeAndTime;
      continue;
    }
    ++report.byContent;
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    auto sum =
        fd >= 0
            ? platform::hashOpenFile(fd, path)
            : platform::Result<uint64_t>(platform::Status::fromErrno(errno, "cannot open", path));
    if (fd >= 0) close(fd);
    report.bytesRead += now.size;
    if (!sum) {
      report.damaged.push_back({e.path, now.size, sum.status().message()});
    } else if (*sum != *e.checksum) {
      report.damaged.push_back({e.path, now.size, "its content differs from what was written"});
      if (e.kind == platform::EntryKind::kTrack) damagedStamps[e.path] = now;
    }
  }
  // Every file on the drive: the exporter's, or not; and whether the file
  // system holds it.
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(
           rootPath, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::string relative = it->path().string().substr(rootPath.size() + 1);
    if (relative == platform::DestinationRoot::kStateFolder) {
      it.disable_recursion_pending();
      continue;
    }
    std::error_code e2;
    std::string name = it->path().filename().string();
    bool regular = it->is_regular_file(e2) && !it->is_symlink(e2);
    uint64_t bytes = regular ? it->file_size(e2) : 0;
    if (!limits.nameFits(name))
      report.cannotHold.push_back({relative, bytes, "its name is too long"});
    if (bytes > limits.maxFileBytes)
      report.cannotHold.push_back({relative, bytes, "it is larger than the file system holds"});
    if (!regular || recorded.count(relative) != 0) continue;
    report.notOurs.push_back({relative, bytes, ""});
    report.notOursBytes += bytes;
  }
  for (const std::string& p : playlists) danglingEntries(rootPath, p, recorded, &report);
  if (!fast) {
    // Only a holder of the exporter's lock writes there: while an export
    // runs, nothing is noted (the next check notes what is still damaged).
    std::unordered_map<std::string, platform::FileStamp> note;
    for (const auto& [path, stamp] : damagedStamps)
      note[DestinationLayout::collisionKey(path)] = stamp;
    // A drive with nothing to note, now or before, is not written to (it
    // may be read-only).
    if (!note.empty() || !readDamageNote(rootPath).empty()) {
      std::string holder;
      auto lock = root->shareLock(&holder);
      report.damageNoted = lock.ok() && writeDamageNote(rootPath, note);
    }
  }
  return report;
}

}  // namespace app
