#include "library/PathMap.h"

#include <filesystem>
#include <map>
#include <stdexcept>

#include "base/Path.h"

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
  if (entries_.empty()) return std::nullopt;  // asked once per track: no copy for nothing
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

namespace {

bool under(const std::string& path, const std::string& folder) {
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         path[folder.size()] == '/';
}

}  // namespace

std::optional<PathMap::Suggestion> PathMap::suggest(const std::vector<std::string>& missing,
                                                    const std::string& mediaFolder,
                                                    const std::vector<std::string>& bases) {
  if (missing.empty()) return std::nullopt;
  std::string from = withSlashes(mediaFolder, isForeignPath(mediaFolder));
  size_t inMedia = 0;
  for (const auto& m : missing) inMedia += !from.empty() && under(m, from);
  if (from.empty() || base::pathComponents(from).size() < 2 || inMedia * 2 <= missing.size()) {
    // The deepest folder that more than half of them lie in.
    std::map<std::string, size_t> counts;
    for (const auto& m : missing) {
      std::string prefix = m.rfind("//", 0) == 0 ? "/" : "";
      auto parts = base::pathComponents(m);
      for (size_t i = 0; i + 1 < parts.size(); ++i) {
        prefix += (i ? "/" : m[0] == '/' ? "/" : "") + parts[i];
        ++counts[prefix];
      }
    }
    from.clear();
    for (const auto& [prefix, count] : counts) {
      if (count * 2 > missing.size() && base::pathComponents(prefix).size() >= 2 &&
          prefix.size() > from.size())
        from = prefix;
    }
    if (from.empty()) return std::nullopt;
  }
  Suggestion s{from, ""};
  // The same folder here: its last components (the longest tail first)
  // below one of the bases, best one that holds one of the missing files.
  auto parts = base::pathComponents(from);
  std::error_code ec;
  std::string fallback;
  for (size_t tail = parts.size() - 1; tail >= 1 && s.to.empty(); --tail) {
    std::string rest;
    for (size_t i = parts.size() - tail; i < parts.size(); ++i) rest += "/" + parts[i];
    for (const auto& base : bases) {
      std::string candidate = std::filesystem::path(base + rest).lexically_normal().string();
      if (base.empty() || !std::filesystem::is_directory(candidate, ec)) continue;
      for (const auto& m : missing) {
        if (under(m, from) && std::filesystem::exists(candidate + m.substr(from.size()), ec)) {
          s.to = candidate;
          break;
        }
      }
      if (!s.to.empty()) break;
      if (fallback.empty() && tail >= 2) fallback = candidate;
    }
  }
  if (s.to.empty()) s.to = fallback;
  return s;
}

}  // namespace app
