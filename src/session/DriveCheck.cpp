#include "session/DriveCheck.h"

#include <xxhash.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <future>
#include <optional>
#include <sstream>
#include <thread>
#include <unordered_set>

#include "base/Log.h"
#include "fs/ContentHash.h"
#include "fs/DestinationRoot.h"
#include "fs/DriveLimits.h"
#include "fs/FileManager.h"
#include "fs/ReplaceFile.h"
#include "fs/StateFile.h"
#include "session/DestinationLayout.h"
#include "session/Plan.h"

namespace app {
namespace stdfs = std::filesystem;
namespace {

constexpr const char* kDamageNote = "damaged";
constexpr size_t kHashThreads = 4;

std::string stampText(const fs::FileStamp& s) {
  return std::to_string(s.size) + " bytes, modified " + std::to_string(s.mtimeNs / 1'000'000'000);
}

// The drive's items by path. A check looks up every recorded file and
// every playlist entry (hundreds of thousands on a large drive): the
// items stay in one array, found through a flat table of their paths'
// 64-bit hashes, a probe or two per lookup.
class Tree {
 public:
  explicit Tree(std::vector<fs::TreeItem> items) : items_(std::move(items)) {
    size_t size = 16;
    while (size < 2 * items_.size()) size *= 2;
    slots_.assign(size, Slot{});
    for (uint32_t i = 0; i < items_.size(); ++i) {
      uint64_t hash = XXH3_64bits(items_[i].relative.data(), items_[i].relative.size());
      size_t at = hash & (slots_.size() - 1);
      while (slots_[at].index != kEmpty) at = (at + 1) & (slots_.size() - 1);
      slots_[at] = {hash, i};
    }
  }
  const fs::FileAttributes* find(std::string_view relative) const {
    uint64_t hash = XXH3_64bits(relative.data(), relative.size());
    for (size_t at = hash & (slots_.size() - 1); slots_[at].index != kEmpty;
         at = (at + 1) & (slots_.size() - 1)) {
      const Slot& slot = slots_[at];
      if (slot.hash == hash && items_[slot.index].relative == relative)
        return &items_[slot.index].attributes;
    }
    return nullptr;
  }
  const std::vector<fs::TreeItem>& items() const { return items_; }

 private:
  static constexpr uint32_t kEmpty = UINT32_MAX;
  struct Slot {
    uint64_t hash = 0;
    uint32_t index = kEmpty;
  };
  std::vector<fs::TreeItem> items_;
  std::vector<Slot> slots_;
};

// The path below the root that `line`, an entry of a playlist file in the
// folder `folder` (below the root, normal), names, worked out as text:
// none unless the entry is relative with plain parts ("..", ".", no empty
// one) and stays below the root, the cases a path's lexical normal form
// then answers the same way.
std::optional<std::string> plainBelow(std::string_view folder, std::string_view line) {
  // A path ending in "." or ".." comes out of the normal form with a
  // slash at its end: left to it.
  const std::string_view last = line.substr(line.rfind('/') + 1);
  if (line.empty() || line.front() == '/' || line.back() == '/' || last == "." || last == "..")
    return std::nullopt;
  std::string below(folder);
  for (size_t start = 0; start <= line.size();) {
    size_t end = std::min(line.find('/', start), line.size());
    std::string_view part = line.substr(start, end - start);
    start = end + 1;
    if (part.empty()) return std::nullopt;
    if (part == ".") continue;
    if (part == "..") {
      if (below.empty()) return std::nullopt;  // leaves the root
      size_t slash = below.rfind('/');
      below.erase(slash == std::string::npos ? 0 : slash);
      continue;
    }
    if (!below.empty()) below += '/';
    below += part;
  }
  if (below.empty()) return std::nullopt;
  return below;
}

// The entries of the exporter's playlist file `relative` that name nothing
// on the drive, resolved as a player resolves them.
void danglingEntries(fs::FileManager& files, const std::string& root, const std::string& relative,
                     const std::unordered_set<std::string_view>& recorded, const Tree& onDrive,
                     CheckReport* report) {
  stdfs::path file = stdfs::path(root) / relative;
  base::FileError error;
  auto text = files.readSmallFile(file.string(), size_t{64} << 20, &error);
  if (!text) {
    report->damaged.push_back({relative, 0, "it cannot be read: " + error.localizedDescription});
    return;
  }
  // A playlist lists thousands of entries: where the root's path and the
  // file's folder are already in normal form, entries are resolved as
  // text, the rest as paths.
  const std::string folder = stdfs::path(relative).parent_path().string();
  const bool textual = !root.empty() && root.back() != '/' && root != "." &&
                       stdfs::path(root).lexically_normal().string() == root &&
                       stdfs::path(folder).lexically_normal().string() == folder &&
                       folder.find("..") == std::string::npos && folder != ".";
  std::string_view rest = *text;
  while (!rest.empty()) {
    size_t end = std::min(rest.find('\n'), rest.size());
    std::string_view view = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    if (!view.empty() && view.back() == '\r') view.remove_suffix(1);
    if (view.empty() || view[0] == '#') continue;
    std::optional<std::string> plain = textual ? plainBelow(folder, view) : std::nullopt;
    std::string below;
    bool inside = plain.has_value();
    // Worked out as a path only where the text could not answer.
    std::optional<stdfs::path> target;
    if (plain) {
      below = std::move(*plain);
    } else {
      const std::string line(view);
      target = line[0] == '/' ? stdfs::path(line) : file.parent_path() / line;
      below = target->lexically_normal().string();
      inside = below.size() > root.size() && below.compare(0, root.size() + 1, root + "/") == 0;
      if (inside) below.erase(0, root.size() + 1);
    }
    if (inside) {
      const fs::FileAttributes* found = onDrive.find(below);
      if (found != nullptr && found->type == fs::FileType::kRegular) continue;
    } else if (auto a = files.attributesOfLinkTargetAtPath(target->string(), nullptr);
               a && a->type == fs::FileType::kRegular) {
      continue;
    }
    bool ours = inside && recorded.count(below) != 0;
    (ours ? report->dangling : report->neverCopied).push_back({relative, 0, std::string(view)});
  }
}

}  // namespace

std::unordered_map<std::string, fs::FileStamp> readDamageNote(const std::string& root) {
  std::unordered_map<std::string, fs::FileStamp> out;
  base::Status why;
  auto text = fs::readStateText(root, kDamageNote, size_t{64} << 20, &why);
  // Unreadable, it notes nothing: the copies it named are judged by size
  // and time again, as before the check.
  if (!text) {
    base::logLine("The note of damaged copies cannot be read: " + why.message());
    return out;
  }
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

base::Status writeDamageNote(const std::string& root,
                             const std::unordered_map<std::string, fs::FileStamp>& damaged) {
  std::string text;
  for (const auto& [key, s] : damaged)
    text += key + "\t" + std::to_string(s.size) + "\t" + std::to_string(s.mtimeNs) + "\n";
  return fs::writeStateText(root, kDamageNote, text);
}

base::Result<CheckReport> checkDrive(fs::FileManager& files, const std::string& rootPath,
                                     bool fast) {
  auto root = fs::DestinationRoot::open(rootPath);
  if (!root->isOpen())
    return base::Status::withMessage("The drive's folder " + rootPath + " cannot be opened: " +
                                         root->openError().localizedDescription,
                                     rootPath);
  // While an export runs, its temporaries and its files not yet named
  // would read as the user's and as missing: the check waits its turn, and
  // holds a share of the lock so that no export starts under it. A drive
  // where the lock cannot be made (read-only) has no export running.
  std::string holder;
  auto lock = root->shareLock(&holder);
  if (!lock && lock.status().code() == EWOULDBLOCK) {
    return base::Status::withMessage("An export to " + rootPath + " is under way" +
                                         (holder.empty() ? "" : " (process " + holder + ")") +
                                         "; check again once it is done. Nothing was checked.",
                                     rootPath, EWOULDBLOCK);
  }
  // The drive is walked while the record is read: neither needs the other.
  base::FileError walkError;
  auto walking = std::async(std::launch::async, [&] {
    return files.itemsBelowPath(rootPath, {fs::DestinationRoot::kStateFolder}, &walkError);
  });
  // What the sources were found to hold is no business of the check's.
  auto loaded = fs::DriveRecord::load(*root, &DestinationLayout::collisionKey,
                                      fs::DriveRecord::kMaxBytes, false);
  auto walked = walking.get();
  if (!loaded)
    return base::Status::withMessage(
        "The drive's record of the exporter's files cannot be read: " + loaded.status().message(),
        rootPath);
  CheckReport report;
  report.root = rootPath;
  const fs::DriveLimits limits = fs::driveLimitsOf(rootPath);
  report.fileSystem = limits.fileSystem;
  const int64_t step = fs::timeStepOf(rootPath);
  // Paths below the root, as the drive spells them (views of the record's).
  std::unordered_set<std::string_view> recorded;
  std::unordered_map<std::string, fs::FileStamp> damagedStamps;
  std::vector<std::string> playlists;
  struct Job {
    const fs::RecordEntry* entry;
    fs::FileStamp now;
  };
  std::vector<Job> toHash;
  if (!walked)
    return base::Status::withMessage("The drive's folder " + rootPath + " cannot be read: " +
                                         walkError.localizedDescription + ". Nothing was checked.",
                                     rootPath, walkError.code);
  const Tree onDrive(std::move(*walked));
  recorded.reserve(loaded->entries.size());
  for (const auto& [key, e] : loaded->entries) {
    recorded.insert(e.path);
    if (e.kind == fs::EntryKind::kFolder) continue;
    const fs::FileAttributes* found = onDrive.find(e.path);
    if (found == nullptr) {
      report.missing.push_back({e.path, e.drive.size, "recorded, not on the drive"});
      continue;
    }
    const fs::FileAttributes& st = *found;
    if (e.kind == fs::EntryKind::kLegacy) {
      ++report.bySizeAndTime;  // an older record knows the name only
      continue;
    }
    const fs::FileStamp now{st.size, st.modificationTimeNs};
    // A playlist file whose replacement a kill kept from its name is the
    // one it replaced, known by that one's size and time alone.
    if (st.type == fs::FileType::kRegular && e.kind == fs::EntryKind::kPlaylist &&
        e.source.mtimeNs != 0 && fs::sameStamp(e.drive, now, step) == fs::StampMatch::kDifferent &&
        fs::sameStamp(e.source, now, step) != fs::StampMatch::kDifferent) {
      playlists.push_back(e.path);
      ++report.bySizeAndTime;
      continue;
    }
    if (st.type != fs::FileType::kRegular ||
        fs::sameStamp(e.drive, now, step) == fs::StampMatch::kDifferent) {
      report.changed.push_back(
          {e.path, now.size, "written as " + stampText(e.drive) + ", now " + stampText(now)});
      continue;
    }
    if (e.kind == fs::EntryKind::kPlaylist) playlists.push_back(e.path);
    if (fast || !e.checksum) {
      ++report.bySizeAndTime;
      continue;
    }
    ++report.byContent;
    toHash.push_back({&e, now});
  }
  // The reading is spread over a few threads: a drive, and the page
  // cache, serve several readers faster than one. Results go by index,
  // so the report's order does not depend on the threads.
  std::vector<base::Result<uint64_t>> sums(toHash.size(), base::Result<uint64_t>(uint64_t{0}));
  std::atomic<size_t> next{0};
  auto worker = [&] {
    for (size_t i; (i = next.fetch_add(1)) < toHash.size();) {
      const std::string path = rootPath + "/" + toHash[i].entry->path;
      base::FileError error;
      if (auto sum = files.readBackChecksum(path, &error))
        sums[i] = *sum;
      else
        sums[i] = base::Status::withMessage(error.localizedDescription, path, error.code);
    }
  };
  std::vector<std::thread> threads;
  for (unsigned t = 1; t < std::min<size_t>(kHashThreads, toHash.size()); ++t)
    threads.emplace_back(worker);
  worker();
  for (auto& t : threads) t.join();
  for (size_t i = 0; i < toHash.size(); ++i) {
    const fs::RecordEntry& e = *toHash[i].entry;
    const fs::FileStamp& now = toHash[i].now;
    report.bytesRead += now.size;
    if (!sums[i]) {
      report.damaged.push_back({e.path, now.size, sums[i].status().message()});
    } else if (*sums[i] != *e.checksum) {
      report.damaged.push_back({e.path, now.size, "its content differs from what was written"});
      if (e.kind == fs::EntryKind::kTrack) damagedStamps[e.path] = now;
    }
  }
  // Every file on the drive: the exporter's, or not; and whether the file
  // system holds it.
  for (const auto& [relative, st] : onDrive.items()) {
    bool regular = st.type == fs::FileType::kRegular;
    uint64_t bytes = regular ? st.size : 0;
    size_t slash = relative.rfind('/');
    if (!limits.nameFits(
            std::string_view(relative).substr(slash == std::string::npos ? 0 : slash + 1)))
      report.cannotHold.push_back({relative, bytes, "its name is too long"});
    if (bytes > limits.maxFileBytes)
      report.cannotHold.push_back({relative, bytes, "it is larger than the file system holds"});
    if (!regular || recorded.count(relative) != 0) continue;
    report.notOurs.push_back({relative, bytes, ""});
    report.notOursBytes += bytes;
  }
  // Resolving every entry reads every playlist file: --fast reads none.
  if (!fast)
    for (const std::string& p : playlists)
      danglingEntries(files, rootPath, p, recorded, onDrive, &report);
  if (!fast) {
    // Only a holder of the exporter's lock writes there: while an export
    // runs, nothing is noted (the next check notes what is still damaged).
    std::unordered_map<std::string, fs::FileStamp> note;
    for (const auto& [path, stamp] : damagedStamps)
      note[DestinationLayout::collisionKey(path)] = stamp;
    // A drive with nothing to note, now or before, is not written to (it
    // may be read-only).
    if (!note.empty() || !readDamageNote(rootPath).empty()) {
      report.damageNoted = lock.ok() && writeDamageNote(rootPath, note).ok();
    }
  }
  return report;
}

}  // namespace app
