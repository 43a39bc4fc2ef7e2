#include "base/Path.h"

namespace base {

void splitPath(const std::string& path, std::string* folder, std::string* name) {
  std::string_view p = path;
  while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
  size_t slash = p.rfind('/');
  if (slash == std::string_view::npos) {
    folder->assign(1, '.');
    *name = p;
  } else if (slash == 0) {
    folder->assign(1, '/');
    *name = p.substr(1);
  } else {
    *folder = p.substr(0, slash);
    *name = p.substr(slash + 1);
  }
}

std::string_view lastComponentOf(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string lastComponent(std::string_view path) { return std::string(lastComponentOf(path)); }

std::string parentOf(std::string_view path) {
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return "";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

void appendJoinedPath(std::string* out, std::string_view root, std::string_view relative) {
  size_t end = root.size();
  while (end > 1 && root[end - 1] == '/') --end;
  size_t begin = 0;
  while (begin < relative.size() && relative[begin] == '/') ++begin;
  size_t start = out->size();
  out->append(root.substr(0, end));
  if (begin >= relative.size()) return;
  if (out->size() == start || out->back() != '/') out->push_back('/');
  out->append(relative.substr(begin));
}

std::string joinPath(std::string_view root, std::string_view relative) {
  std::string out;
  out.reserve(root.size() + relative.size() + 1);
  appendJoinedPath(&out, root, relative);
  return out;
}

std::vector<std::string> pathComponents(std::string_view path) {
  std::vector<std::string> parts;
  size_t i = 0;
  while (i < path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    if (j > i) parts.emplace_back(path.substr(i, j - i));
    i = j + 1;
  }
  return parts;
}

void splitRelativePath(std::string_view relative, std::string_view* folder,
                       std::string_view* name) {
  size_t slash = relative.rfind('/');
  if (slash == std::string_view::npos) {
    *folder = std::string_view();
    *name = relative;
  } else {
    *folder = relative.substr(0, slash);
    *name = relative.substr(slash + 1);
  }
}

}  // namespace base
