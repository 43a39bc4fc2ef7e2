#include "drive/MountinfoVolumeTable.h"

#include <cctype>
#include <optional>
#include <sstream>
#include <string_view>
#include <system_error>

#include "base/Log.h"
#include "base/Text.h"
#include "base/WholeFile.h"
#include "drive/SysfsTree.h"

namespace drive {
namespace stdfs = std::filesystem;

namespace {

constexpr size_t kMaxMountinfoBytes = 16 << 20;

std::vector<std::string> splitBlanks(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  std::string field;
  while (in >> field) fields.push_back(field);
  return fields;
}

bool parseInt(const std::string& s, int* out) {
  if (s.empty() || s.size() > 9) return false;
  for (char c : s) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  *out = std::stoi(s);
  return true;
}

// Mount IDs grow from small numbers, so folding them into the negative
// 16-bit range keeps them distinct in practice; a collision is moved to
// the next free number in the order of the file (-1 follows -32768).
// Past 32,768 volumes no number is left: the later volumes get none.
class RefNums {
 public:
  std::optional<int16_t> take(int mountId) {
    if (taken_ == kCount) return std::nullopt;
    // Slot s is the number -1 - s; next(s) leads to a free slot at or
    // after s, with paths halved as they are walked.
    int slot = find(mountId % 32767);
    setNext(slot, (slot + 1) % kCount);
    ++taken_;
    return static_cast<int16_t>(-1 - slot);
  }

 private:
  static constexpr int kCount = 32768;
  // link_[s] holds next(s) + 1, and 0 for a slot that leads to itself,
  // so that a table starts as one cleared block (a table of a few dozen
  // volumes should not pay for 32,768 stores).
  int next(int slot) const {
    int link = link_[static_cast<size_t>(slot)];
    return link == 0 ? slot : link - 1;
  }
  void setNext(int slot, int next) { link_[static_cast<size_t>(slot)] = next + 1; }
  int find(int slot) {
    while (next(slot) != slot) {
      int halved = next(next(slot));
      setNext(slot, halved);
      slot = halved;
    }
    return slot;
  }
  std::unique_ptr<int[]> link_ = std::make_unique<int[]>(kCount);
  int taken_ = 0;
};

}  // namespace

MountinfoVolumeTable::MountinfoVolumeTable(stdfs::path procRoot, stdfs::path sysRoot,
                                           stdfs::path devRoot)
    : procRoot_(std::move(procRoot)), sysRoot_(std::move(sysRoot)), devRoot_(std::move(devRoot)) {}

std::map<std::string, std::string> MountinfoVolumeTable::labelsByDevice() const {
  std::map<std::string, std::string> labels;
  std::error_code ec;
  stdfs::directory_iterator it(devRoot_ / "disk" / "by-label", ec);
  if (ec) return labels;
  for (; it != stdfs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    stdfs::path target = stdfs::read_symlink(it->path(), ec);
    if (ec) continue;
    std::string device = target.filename().string();
    if (SysfsTree::isPlausibleDeviceName(device)) {
      labels[device] = base::text::unescapeHex(it->path().filename().string());
    }
  }
  return labels;
}

MountinfoVolumeTable::Line MountinfoVolumeTable::parseLine(
    const std::string& text, const std::map<std::string, std::string>& labels) const {
  Line line;
  // mountID parentID major:minor root mountpoint options [optional...] - fstype source superoptions
  std::vector<std::string> f = splitBlanks(text);
  size_t dash = 6;
  while (dash < f.size() && f[dash] != "-") ++dash;
  if (f.size() < 7 || dash + 2 >= f.size()) return line;
  int mountId = 0;
  if (!parseInt(f[0], &mountId)) return line;
  size_t colon = f[2].find(':');
  int major = 0, minor = 0;
  if (colon == std::string::npos || !parseInt(f[2].substr(0, colon), &major) ||
      !parseInt(f[2].substr(colon + 1), &minor)) {
    return line;
  }
  std::string mountPoint = base::text::unescapeOctal(f[4]);
  if (mountPoint.empty() || mountPoint[0] != '/') return line;
  // A bind mount of a folder (root field other than "/") shows part of a
  // volume that is, or could be, mounted whole elsewhere: offered under
  // the file system's label, it would send the export into that folder.
  if (f[3] != "/") {
    line.notAVolume = true;
    return line;
  }

  MountedVolume& v = line.volume;
  v.rootPath = mountPoint;
  SysfsTree sys(sysRoot_);
  stdfs::path link = sysRoot_ / "dev" / "block" / f[2];
  if (auto dir = sys.resolve(link)) {
    v.deviceName = dir->filename().string();
  } else {
    std::string source = base::text::unescapeOctal(f[dash + 2]);
    if (source.rfind("/dev/", 0) == 0 && SysfsTree::isPlausibleDeviceName(source.substr(5))) {
      v.deviceName = source.substr(5);
    }
  }
  auto label = v.deviceName.empty() ? labels.end() : labels.find(v.deviceName);
  if (label != labels.end() && !label->second.empty()) {
    v.name = label->second;
  } else {
    std::string folder = stdfs::path(mountPoint).filename().string();
    v.name = folder.empty() ? "/" : folder;
  }
  line.mountId = mountId;
  line.readable = true;
  return line;
}

void MountinfoVolumeTable::rescan() {
  lines_.clear();
  stdfs::path file = procRoot_ / "self" / "mountinfo";
  auto read = base::readWholeFile(file.string(), kMaxMountinfoBytes, base::Oversize::kTruncate);
  if (!read) {
    base::logFormat("cannot read the mounted volumes: %@", read.status().message());
    return;
  }
  rescanText(*read);
}

void MountinfoVolumeTable::rescanText(std::string_view mountinfo) {
  lines_.clear();
  auto labels = labelsByDevice();
  RefNums refNums;
  int unnumbered = 0;
  size_t total = 0;
  while (!mountinfo.empty()) {
    size_t end = mountinfo.find('\n');
    std::string text(mountinfo.substr(0, end));
    mountinfo.remove_prefix(end == std::string_view::npos ? mountinfo.size() : end + 1);
    total += text.size() + 1;
    if (total > kMaxMountinfoBytes) break;
    Line line = parseLine(text, labels);
    if (line.notAVolume) continue;
    if (line.readable) {
      // A volume without a number could not be told apart from the
      // others by its tag, so it is unreadable and never offered.
      if (auto refNum = refNums.take(line.mountId)) {
        line.volume.refNum = *refNum;
      } else {
        line.readable = false;
        ++unnumbered;
      }
    }
    lines_.push_back(std::move(line));
  }
  if (unnumbered > 0) {
    base::logFormat("%d mounted volumes left out: all 32768 reference numbers are taken",
                    unnumbered);
  }
}

int MountinfoVolumeTable::volumeAtIndex(int index, MountedVolume* volume) const {
  if (index < 1 || static_cast<size_t>(index) > lines_.size()) return kNoSuchVolume;
  const Line& line = lines_[static_cast<size_t>(index - 1)];
  if (!line.readable) return kVolumeUnreadable;
  *volume = line.volume;
  return kNoError;
}

std::optional<std::string> MountinfoVolumeTable::rootPathForRefNum(int16_t refNum) {
  rescan();
  for (const Line& line : lines_) {
    if (line.readable && line.volume.refNum == refNum) return line.volume.rootPath;
  }
  return std::nullopt;
}

}  // namespace drive
