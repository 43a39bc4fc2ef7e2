// Prefix substitutions from the paths of a library written on another
// computer to local folders, e.g. "C:/Users/Me/Music=/mnt/music".
// A prefix matches whole path components; Windows ("C:/...") and network
// share ("//server/...") prefixes match without regard to ASCII case and
// with "\" read as "/". The longest matching prefix wins.
//
// Thread: a value type; const member functions may run concurrently.
// Errors: add() and parse() throw std::invalid_argument for an empty
// prefix or a target that is not an absolute path.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace app {

class PathMap {
 public:
  void add(std::string_view from, std::string_view to);
  // "FROM=TO", split at the first "=".
  void parse(std::string_view entry);
  bool empty() const { return entries_.empty(); }

  // The local path for a decoded source path, if an entry applies.
  std::optional<std::string> apply(std::string_view sourcePath) const;

  // True for "C:/..." and "//server/..." paths, which never name a file
  // on this computer as they stand.
  static bool isForeignPath(std::string_view path);

  // For the files of a library written on another computer that are not
  // here (`missing`, their paths as the library records them): the
  // prefix most of them share (the library's media folder when most lie
  // under it, else the deepest folder more than half share) and, when a
  // folder with the same last components exists below one of `bases`,
  // that folder. None when no prefix of two components or more is
  // shared by most of them. `to` is empty when no such folder was found.
  struct Suggestion {
    std::string from, to;
  };
  static std::optional<Suggestion> suggest(const std::vector<std::string>& missing, const std::string& mediaFolder,
                                           const std::vector<std::string>& bases);

 private:
  std::vector<std::pair<std::string, std::string>> entries_;
};

}  // namespace app
