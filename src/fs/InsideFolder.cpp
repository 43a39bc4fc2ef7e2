#include "fs/InsideFolder.h"

#include <sys/stat.h>

#include <cstdlib>
#include <vector>

namespace fs {

InsideFolder::InsideFolder(const std::string& folder) {
  struct stat st;
  if (stat(folder.c_str(), &st) == 0) {
    known_ = true;
    device_ = st.st_dev;
    inode_ = st.st_ino;
  }
}

bool InsideFolder::contains(std::string_view path, bool plainFile) {
  if (!known_ || path.empty() || path[0] != '/') return false;
  std::string_view plainFolder;
  if (plainFile) {
    // Its folder, as the way up below spells it.
    size_t slash = path.rfind('/');
    plainFolder = path.substr(0, slash == 0 ? 1 : slash);
    while (plainFolder.size() > 1 && plainFolder.back() == '/') plainFolder.remove_suffix(1);
    if (lastKnown_ && plainFolder == lastFolder_) return lastInside_;
  }
  std::string at(path);
  // A file reached through a link lies where the link leads.
  struct stat leaf;
  if (plainFile) {
    size_t slash = at.rfind('/');
    at.resize(slash == 0 ? 1 : slash);
  } else if (lstat(at.c_str(), &leaf) == 0) {
    if (S_ISLNK(leaf.st_mode)) {
      if (char* resolved = realpath(at.c_str(), nullptr)) {
        std::string target(resolved);
        free(resolved);
        if (target != at && contains(target)) return true;
      }
    } else if (!S_ISDIR(leaf.st_mode)) {
      size_t slash = at.rfind('/');
      at.resize(slash == 0 ? 1 : slash);
    }
  } else {
    // Nothing there (or nothing to be seen): not the folder itself, so its
    // folders answer, and a library of missing files is not remembered
    // path by path.
    size_t slash = at.rfind('/');
    at.resize(slash == 0 ? 1 : slash);
  }
  // The way up, as written, until a folder already answered; each one
  // learns the answer of the first that says yes, or no when none does.
  std::vector<std::string> way;
  bool inside = false;
  for (;;) {
    while (at.size() > 1 && at.back() == '/') at.pop_back();
    auto known = folders_.find(at);
    if (known != folders_.end()) {
      inside = known->second;
      break;
    }
    struct stat st;
    bool looked = lstat(at.c_str(), &st) == 0;
    if (looked && S_ISLNK(st.st_mode)) {
      // A link on the way (a music folder linked to one on the drive):
      // what lies below it lies where it leads, which is then walked up
      // in its turn.
      char* resolved = realpath(at.c_str(), nullptr);
      if (resolved) {
        std::string target(resolved);
        free(resolved);
        if (target != at && contains(target)) {
          inside = true;
          way.push_back(at);
          break;
        }
      }
    } else if (looked && st.st_dev == device_ && st.st_ino == inode_) {
      inside = true;
      way.push_back(at);
      break;
    }
    way.push_back(at);
    if (at == "/") break;
    size_t slash = at.rfind('/');
    at.resize(slash == 0 ? 1 : slash);
  }
  for (const auto& folder : way) folders_.emplace(folder, inside);
  if (plainFile) {
    // Answered once, a folder keeps its answer (folders_): so does the memo.
    lastFolder_.assign(plainFolder);
    lastInside_ = inside;
    lastKnown_ = true;
  }
  return inside;
}

}  // namespace fs
