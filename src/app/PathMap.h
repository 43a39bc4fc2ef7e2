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

 private:
  std::vector<std::pair<std::string, std::string>> entries_;
};

}  // namespace app
