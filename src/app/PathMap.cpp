#include "app/PathMap.h"

#include <stdexcept>

namespace app {
namespace {

std::string withSlashes(std::string_view path, bool foreign) {
  std::string out(path);
  if (foreign) {
    for (char& c : out)
      if (c == '\\') c = '/';
  }
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

bool asciiEqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

bool PathMap::isForeignPath(std::string_view path) {
  bool drive = path.size() >= 2 && path[1] == ':' &&
               ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
  bool share = path.size() >= 3 && (path[0] == '/' || path[0] == '\\') &&
               (path[1] == '/' || path[1] == '\\') && path[2] != '/' && path[2] != '\\';
  return drive || share;
}

void PathMap::add(std::string_view from, std::string_view to) {
  if (from.empty()) throw std::invalid_argument("path map entry without a prefix to replace");
  if (to.empty() || to.front() != '/') {
    throw std::invalid_argument("path map target must be an absolute path: \"" + std::string(to) +
                                "\"");
  }
  entries_.emplace_back(withSlashes(from, isForeignPath(from)), withSlashes(to, false));
}

void PathMap::parse(std::string_view entry) {
  size_t eq = entry.find('=');
  if (eq == std::string_view::npos) {
    throw std::invalid_argument("path map entry needs the form FROM=TO: \"" + std::string(entry) +
                                "\"");
  }
  add(entry.substr(0, eq), entry.substr(eq + 1));
}

std::optional<std::string> PathMap::apply(std::string_view sourcePath) const {
  bool foreign = isForeignPath(sourcePath);
  std::string path = foreign ? withSlashes(sourcePath, true) : std::string(sourcePath);
  const std::pair<std::string, std::string>* best = nullptr;
  for (const auto& entry : entries_) {
    const std::string& from = entry.first;
    if (path.size() < from.size()) continue;
    std::string_view head(path.data(), from.size());
    bool same = foreign ? asciiEqualNoCase(head, from) : head == from;
    if (!same) continue;
    // Whole components only: "/Music" must not match "/MusicBox".
    bool boundary = path.size() == from.size() || path[from.size()] == '/' || from == "/";
    if (!boundary) continue;
    if (!best || from.size() > best->first.size()) best = &entry;
  }
  if (!best) return std::nullopt;
  std::string rest = path.substr(best->first.size());
  if (best->second == "/") {
    if (rest.empty()) return std::string("/");
    return rest.front() == '/' ? rest : "/" + rest;
  }
  if (!rest.empty() && rest.front() != '/') rest.insert(rest.begin(), '/');
  return best->second + rest;
}

}  // namespace app
