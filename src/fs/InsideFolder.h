// Whether paths lie inside one folder, by what the file system says
// rather than by their text: every folder on a path's way up is compared
// with the folder by device and inode, and a link on the way is followed
// to where it leads, so a symbolic link to the folder or to one below it,
// a bind mount of it, "//", "/./" and ".." are all seen through.
//
// Thread: an object is used by one thread (it keeps what it learned).
// Errors: a path whose folders cannot be looked at counts as outside,
// except where a folder on its way that can be looked at is the folder.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <unordered_map>

namespace fs {

class InsideFolder {
 public:
  // `folder` as it is now; a folder that cannot be looked at holds nothing.
  explicit InsideFolder(const std::string& folder);

  // Whether `path` (absolute) is the folder or lies below it.
  // `plainFile`: the caller has just seen that `path` is a regular file,
  // not a link, so it is not looked at again (its folders still are).
  bool contains(std::string_view path, bool plainFile = false);

 private:
  bool known_ = false;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  std::unordered_map<std::string, bool> folders_;  // what each folder on the way answered
  // The folder of the last plain file asked about and its answer: the
  // files of one folder are mostly asked about one after another.
  std::string lastFolder_;
  bool lastInside_ = false, lastKnown_ = false;
};

}  // namespace fs
