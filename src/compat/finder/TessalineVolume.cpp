#include "compat/finder/TessalineVolume.h"

#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "base/Configuration.h"
#include "base/Log.h"
#include "base/Resources.h"
#include "base/Unicode.h"
#include "compat/finder/FSNamesAndTags.h"
#include "drive/PropertyList.h"
#include "drive/VolumeJudgement.h"

namespace finder {
namespace {

constexpr const char* kMacDiskTool = "/usr/sbin/diskutil";

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (;;) {
    size_t at = text.find(separator, start);
    if (at == std::string::npos) {
      pieces.push_back(text.substr(start));
      return pieces;
    }
    pieces.push_back(text.substr(start, at - start));
    start = at + 1;
  }
}

// A size as the property list gives it: an integer, or a real that is a
// finite number within range (else -1, implausible).
std::optional<int64_t> sizeValue(const drive::PropertyList* value) {
  if (value == nullptr) return std::nullopt;
  if (auto i = value->asInteger()) return *i;
  if (auto d = value->asReal()) {
    if (!std::isfinite(*d) || *d < 0 || *d >= 9.2e18) return -1;
    return static_cast<int64_t>(*d);
  }
  return std::nullopt;
}

std::optional<std::string> stringValue(const drive::PropertyList* value) {
  if (value == nullptr || value->asString() == nullptr) return std::nullopt;
  return *value->asString();
}

}  // namespace

TessalineVolume::TessalineVolume(ShellRunner runner, const FSNamesAndTags* catalogue)
    : runner_(std::move(runner)), catalogue_(catalogue) {}

const FSNamesAndTags& TessalineVolume::catalogue() const {
  return catalogue_ != nullptr ? *catalogue_ : FSNamesAndTags::sharedOrEmpty();
}

int TessalineVolume::run(const std::string& command, std::optional<std::string>* output) const {
  if (runner_) return runner_(command, output);
  base::logFormat("TessalineVolume cannot inspect slice %@: no command runner", diskSlice());
  return -1;
}

TessalineVolume& TessalineVolume::initWithSliceName(const std::string& sliceName) {
  setDiskSlice(sliceName);
  initFSVars10_5();
  return *this;
}

void TessalineVolume::initFSVars10_5() {
  fsIsCompatible_ = false;
  fsIsNTFS_ = false;
  fsLimit4G_ = false;
  std::string slice = diskSlice();
  std::optional<std::string> output;
  int status = run(diskToolCommand() + " info -plist " + shellQuoted(slice), &output);
  if (status != 0) return;
  std::optional<drive::PropertyList> report =
      output ? drive::PropertyList::parse(*output) : std::nullopt;
  if (!report || !report->isDict()) {
    initFSVars10_4();
    return;
  }
  std::optional<std::string> personality = stringValue(report->find("FilesystemName"));
  if (personality) setFsName(catalogue().userFSNameForPersonality(*personality));
  setContentTag(stringValue(report->find("Content")));
  classify(personality);
  const drive::PropertyList* writable = report->find("Writable");
  fsIsWritable_ = writable != nullptr && writable->toValue().boolValue();
  setTotalBytes(sizeValue(report->find("TotalSize")));
  setFreeBytes(sizeValue(report->find("FreeSpace")));
  dropImplausibleSizes();
}

void TessalineVolume::initFSVars10_4() {
  fsIsCompatible_ = false;
  fsIsNTFS_ = false;
  fsLimit4G_ = false;
  std::string slice = diskSlice();
  base::logFormat("initFSVars10_4 entered for slice %@", slice);
  std::optional<std::string> output;
  int status = run(diskToolCommand() + " info " + shellQuoted(slice), &output);
  if (status != 0) return;
  base::logFormat("initFSVars10_4 good cmdResult data is:\n%@",
                  output ? base::Value(*output) : base::Value());

  std::optional<std::string> personality;
  for (const std::string& line : split(output.value_or(std::string()), '\n')) {
    if (line.empty()) continue;
    std::vector<std::string> pieces = split(line, ':');
    if (pieces.size() != 2) continue;
    std::string key = base::unicode::trimBlanksAndTabs(pieces[0]);
    std::string value = base::unicode::trimBlanksAndTabs(pieces[1]);
    base::logFormat("initFSVars10_4 found key \"%@\" for value \"%@\" for slice %@", key, value,
                    slice);
    if (key == "File System") {
      personality = value;
      setFsName(catalogue().userFSNameForPersonality(value));
    } else if (key == "Partition Type") {
      setContentTag(value);
    } else if (key == "Read Only" || key == "Read-Only Volume") {
      fsIsWritable_ = value == "No";
    } else if (key == "Total Size") {
      setTotalBytes(parseDiskSize(value));
    } else if (key == "Free Space" || key == "Volume Free Space") {
      setFreeBytes(parseDiskSize(value));
    }
  }
  classify(personality);
  dropImplausibleSizes();
}

void TessalineVolume::classify(const std::optional<std::string>& personality) {
  drive::FileSystemJudgement j =
      judgeFileSystem(personality, contentTag(), catalogue().catalogue());
  fsIsCompatible_ = j.compatible;
  fsIsNTFS_ = j.ntfs;
  fsLimit4G_ = j.limit4G;
}

void TessalineVolume::dropImplausibleSizes() {
  auto implausible = drive::sizeIsImplausible;
  std::optional<int64_t> total = totalBytes();
  std::optional<int64_t> free = freeBytes();
  if (!implausible(total) && !implausible(free)) return;
  base::logFormat("TessalineVolume implausible sizes for slice %@ (total %@, free %@): unusable",
                  diskSlice(), total ? base::Value(*total) : base::Value(),
                  free ? base::Value(*free) : base::Value());
  if (implausible(total)) setTotalBytes(std::nullopt);
  if (implausible(free)) setFreeBytes(std::nullopt);
  fsIsWritable_ = false;
  fsIsCompatible_ = false;
  fsIsNTFS_ = false;
  fsLimit4G_ = false;
}

int64_t TessalineVolume::parseDiskSize(const std::string& sizeText) {
  const char* p = sizeText.c_str();
  const char* end = p + sizeText.size();
  while (p < end && isBlank(*p)) ++p;
  // The number: [sign] digits [. digits] [exponent], read in the C
  // locale whatever the process locale is.
  const char* numberStart = p;
  const char* q = p;
  if (q < end && (*q == '+' || *q == '-')) ++q;
  const char* digitsStart = q;
  while (q < end && *q >= '0' && *q <= '9') ++q;
  bool intDigits = q > digitsStart;
  bool fracDigits = false;
  if (q < end && *q == '.') {
    const char* f = q + 1;
    while (f < end && *f >= '0' && *f <= '9') ++f;
    fracDigits = f > q + 1;
    if (intDigits || fracDigits) q = f;
  }
  if (!intDigits && !fracDigits) return 0;
  if (q < end && (*q == 'e' || *q == 'E')) {
    const char* e = q + 1;
    if (e < end && (*e == '+' || *e == '-')) ++e;
    const char* expDigits = e;
    while (e < end && *e >= '0' && *e <= '9') ++e;
    if (e > expDigits) q = e;
  }
  const char* parseFrom = *numberStart == '+' ? numberStart + 1 : numberStart;
  float number = 0;
  auto [ptr, ec] = std::from_chars(parseFrom, q, number);
  if (ec == std::errc::result_out_of_range) return -1;
  if (ec != std::errc() || ptr != q) return 0;

  float tenthsFloat = number * 10.0f;
  if (!std::isfinite(tenthsFloat) || std::fabs(tenthsFloat) >= 9.2e18f) return -1;
  int64_t tenths = static_cast<int64_t>(tenthsFloat);  // truncates toward zero

  p = q;
  while (p < end && isBlank(*p)) ++p;
  const char* tokenStart = p;
  while (p < end && !isBlank(*p)) ++p;
  std::string_view unit(tokenStart, static_cast<size_t>(p - tokenStart));
  int shift = 0;
  if (unit == "TB" || unit == "Ti")
    shift = 40;
  else if (unit == "GB" || unit == "Gi")
    shift = 30;
  else if (unit == "MB" || unit == "Mi")
    shift = 20;
  else if (unit == "KB" || unit == "Ki")
    shift = 10;
  int64_t scaled = 0;
  if (__builtin_mul_overflow(tenths, int64_t{1} << shift, &scaled)) return -1;
  return scaled / 10;
}

std::string TessalineVolume::shellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += "'";
  return quoted;
}

std::string TessalineVolume::diskToolCommand() {
  if (auto config = base::configuration(); !config->diskTool.empty()) {
    return shellQuoted(config->diskTool);
  }
  if (::access(kMacDiskTool, X_OK) == 0) return kMacDiskTool;
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec && (self.filename() == "tessaline" || self.filename() == base::kDrawingProgramName)) {
    return shellQuoted(self.string()) + " diskutil";
  }
  return "tessaline diskutil";
}

std::string TessalineVolume::diskSlice() const { return diskSlice_.get(); }
void TessalineVolume::setDiskSlice(const std::string& slice) { diskSlice_.set(slice); }
std::optional<std::string> TessalineVolume::fsName() const { return fsName_.get(); }
void TessalineVolume::setFsName(const std::optional<std::string>& name) { fsName_.set(name); }
std::optional<std::string> TessalineVolume::contentTag() const { return contentTag_.get(); }
void TessalineVolume::setContentTag(const std::optional<std::string>& tag) { contentTag_.set(tag); }
std::optional<int64_t> TessalineVolume::totalBytes() const { return totalBytes_.get(); }
void TessalineVolume::setTotalBytes(std::optional<int64_t> bytes) { totalBytes_.set(bytes); }
std::optional<int64_t> TessalineVolume::freeBytes() const { return freeBytes_.get(); }
void TessalineVolume::setFreeBytes(std::optional<int64_t> bytes) { freeBytes_.set(bytes); }

}  // namespace finder
