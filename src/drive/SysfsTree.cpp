#include "drive/SysfsTree.h"

#include <algorithm>
#include <system_error>

#include "base/WholeFile.h"

namespace drive {
namespace stdfs = std::filesystem;

namespace {
constexpr size_t kMaxAttributeBytes = 4096;
}

SysfsTree::SysfsTree(stdfs::path root) : root_(std::move(root)) {}

std::optional<stdfs::path> SysfsTree::resolve(const stdfs::path& path) const {
  // The root is resolved on every call: it may be created, or remounted,
  // after this object.
  std::error_code ec;
  stdfs::path canonicalRoot = stdfs::canonical(root_, ec);
  if (ec) return std::nullopt;
  stdfs::path canonical = stdfs::canonical(path, ec);
  if (ec) return std::nullopt;
  // Inside the root means the root is a prefix of the components.
  auto [rootEnd, pathIt] =
      std::mismatch(canonicalRoot.begin(), canonicalRoot.end(), canonical.begin(), canonical.end());
  if (rootEnd != canonicalRoot.end()) return std::nullopt;
  return canonical;
}

std::optional<std::string> SysfsTree::readFile(const stdfs::path& resolved, size_t limit) const {
  return base::readWholeFile(resolved.string(), limit).take();
}

std::optional<std::string> SysfsTree::readBinaryAttribute(const stdfs::path& path) const {
  auto resolved = resolve(path);
  if (!resolved) return std::nullopt;
  return readFile(*resolved, kMaxAttributeBytes);
}

std::optional<std::string> SysfsTree::readAttribute(const stdfs::path& path) const {
  auto read = readBinaryAttribute(path);
  if (!read) return std::nullopt;
  std::string text = std::move(*read);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 && c != '\t') return std::nullopt;
    if (u == 0x7F) return std::nullopt;
  }
  return text;
}

std::optional<std::string> SysfsTree::readTrimmedAttribute(const stdfs::path& path) const {
  auto text = readAttribute(path);
  if (!text) return std::nullopt;
  size_t begin = text->find_first_not_of(" \t");
  if (begin == std::string::npos) return std::string();
  size_t end = text->find_last_not_of(" \t");
  return text->substr(begin, end - begin + 1);
}

std::optional<std::string> SysfsTree::blockDeviceBelow(const stdfs::path& deviceDir) {
  std::error_code ec;
  stdfs::directory_iterator it(deviceDir / "block", ec);
  if (ec) return std::nullopt;
  std::optional<std::string> found;
  for (; it != stdfs::directory_iterator(); it.increment(ec)) {
    if (ec) return std::nullopt;
    std::string name = it->path().filename().string();
    if (!isPlausibleDeviceName(name) || found) return std::nullopt;
    found = name;
  }
  return found;
}

bool SysfsTree::isPlausibleDeviceName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos && name.size() <= 255;
}

}  // namespace drive
