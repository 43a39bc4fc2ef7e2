// The playlists a person ticked (and the conversion chosen), remembered
// per destination so that the
// window shows them ticked again after a restart and `tessaline export
// --remembered` exports the same ones. A destination is known by its
// volume's UUID when the drive finder found it (a drive keeps its UUID
// wherever it is mounted), else by the folder's canonical path.
//
// The store is one JSON file in the user's configuration folder
// ($XDG_CONFIG_HOME/tessaline/remembered-playlists.json), read afresh on
// every call and replaced whole on every change (written beside it, then
// renamed), so that the window and a command line see each other's word.
//
// Thread: any thread; two writers at once may lose one change, never the
// file.
// Errors: a missing file remembers nothing; a broken one logs one line
// and remembers nothing (it is replaced at the next change); a change
// that cannot be written logs one line and returns false.
#pragma once

#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

#include "base/Configuration.h"

namespace fs {
class FileManager;
}

namespace session {

class RememberedChoices {
 public:
  // Reads and writes `file` through `files` (shared, never null).
  RememberedChoices(std::string file, std::shared_ptr<fs::FileManager> files);
  // The file below the configuration's folder ($XDG_CONFIG_HOME, else
  // ~/.config).
  static std::string defaultFile(const base::Configuration& config);

  static std::string keyForVolume(const std::string& uuid) { return "uuid:" + uuid; }
  static std::string keyForFolder(const std::string& canonicalPath) {
    return "folder:" + canonicalPath;
  }

  // The playlist identifiers remembered for `key`, in the order ticked;
  // none when nothing is remembered there.
  std::optional<std::vector<std::string>> playlists(const std::string& key) const;
  bool remember(const std::string& key, const std::vector<std::string>& playlistIds);
  // The codec the tracks the drive cannot play are converted to there
  // ("": none), beside its playlists.
  std::string conversion(const std::string& key) const;
  bool rememberConversion(const std::string& key, const std::string& codec);
  // Whether the window's export there removes what no checked playlist
  // needs without asking: "remove", "keep" (export only), "" (ask).
  std::string removal(const std::string& key) const;
  bool rememberRemoval(const std::string& key, const std::string& choice);

  // Whether `tessaline watch` exports to `key` when it is plugged in;
  // the keys it does, in the store's order.
  bool watched(const std::string& key) const;
  bool setWatched(const std::string& key, bool watch);
  std::vector<std::string> watchedKeys() const;

  const std::string& file() const { return file_; }

 private:
  std::string read() const;
  // Sets one field of the destination's entry, keeping the others.
  bool write(const std::string& key, const char* field, const nlohmann::json& value);

  std::string file_;
  std::shared_ptr<fs::FileManager> files_;
};

}  // namespace session
