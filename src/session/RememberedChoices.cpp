#include "session/RememberedChoices.h"

#include <cerrno>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "base/Configuration.h"
#include "base/Log.h"
#include "fs/FileManager.h"

namespace session {
namespace {

namespace stdfs = std::filesystem;
using nlohmann::json;

constexpr size_t kMaxBytes = 16 << 20;

// The whole store of `text` read from `file`; an object, empty when there
// is none to read.
json parse(const std::string& text, const std::string& file) {
  if (text.empty()) return json::object();
  json all = json::parse(text, nullptr, false);
  if (!all.is_object() || !all["destinations"].is_object()) {
    base::logFormat(
        "remembered playlists: %@ is not a store of remembered playlists; it is "
        "left as it is until the next change",
        file);
    return json::object();
  }
  return all;
}

}  // namespace

RememberedChoices::RememberedChoices(std::string file, std::shared_ptr<fs::FileManager> files)
    : file_(std::move(file)), files_(std::move(files)) {}

std::string RememberedChoices::read() const {
  base::FileError why;
  auto text = files_->readSmallFile(file_, kMaxBytes, &why);
  if (text) return *text;
  if (why.code != ENOENT && why.code != ENOTDIR)
    base::logFormat("remembered playlists: %@", why.localizedDescription);
  return {};
}

std::string RememberedChoices::defaultFile(const base::Configuration& config) {
  stdfs::path base =
      !config.configHome.empty() && config.configHome[0] == '/'
          ? stdfs::path(config.configHome)
          : stdfs::path(!config.home.empty() && config.home[0] == '/' ? config.home : "/") /
                ".config";
  return (base / "tessaline" / "remembered-playlists.json").string();
}

std::optional<std::vector<std::string>> RememberedChoices::playlists(const std::string& key) const {
  json all = parse(read(), file_);
  auto destinations = all.find("destinations");
  if (destinations == all.end()) return std::nullopt;
  auto entry = destinations->find(key);
  if (entry == destinations->end() || !entry->is_object()) return std::nullopt;
  auto ids = entry->find("playlists");
  if (ids == entry->end() || !ids->is_array()) return std::nullopt;
  std::vector<std::string> out;
  for (const auto& id : *ids)
    if (id.is_string()) out.push_back(id.get<std::string>());
  return out;
}

bool RememberedChoices::remember(const std::string& key, const std::vector<std::string>& ids) {
  return write(key, "playlists", ids);
}

std::string RememberedChoices::conversion(const std::string& key) const {
  json all = parse(read(), file_);
  auto destinations = all.find("destinations");
  if (destinations == all.end()) return "";
  auto entry = destinations->find(key);
  if (entry == destinations->end() || !entry->is_object()) return "";
  auto codec = entry->find("convertTo");
  return codec != entry->end() && codec->is_string() ? codec->get<std::string>() : "";
}

bool RememberedChoices::rememberConversion(const std::string& key, const std::string& codec) {
  return write(key, "convertTo", codec);
}

std::string RememberedChoices::removal(const std::string& key) const {
  json all = parse(read(), file_);
  const json& entry = all["destinations"][key];
  if (!entry.is_object() || !entry.contains("removal") || !entry["removal"].is_string()) return "";
  std::string choice = entry["removal"].get<std::string>();
  return choice == "remove" || choice == "keep" ? choice : "";
}

bool RememberedChoices::rememberRemoval(const std::string& key, const std::string& choice) {
  return write(key, "removal", choice);
}

bool RememberedChoices::watched(const std::string& key) const {
  json all = parse(read(), file_);
  const json& entry = all["destinations"][key];
  return entry.is_object() && entry.contains("watch") && entry["watch"] == true;
}

bool RememberedChoices::setWatched(const std::string& key, bool watch) {
  return write(key, "watch", watch);
}

std::vector<std::string> RememberedChoices::watchedKeys() const {
  std::vector<std::string> keys;
  json all = parse(read(), file_);
  for (const auto& [key, entry] : all["destinations"].items())
    if (entry.is_object() && entry.contains("watch") && entry["watch"] == true) keys.push_back(key);
  return keys;
}

bool RememberedChoices::write(const std::string& key, const char* field, const json& value) {
  json all = parse(read(), file_);
  if (!all.contains("destinations")) all["destinations"] = json::object();
  // The other fields of the destination stay as they are.
  json& entry = all["destinations"][key];
  if (!entry.is_object()) entry = json::object();
  entry[field] = value;
  base::FileError why;
  const std::string folder = stdfs::path(file_).parent_path().string();
  // Written beside it, flushed and renamed: a reader sees the old store or
  // the new one, never half of one, even after a power cut.
  if (!files_->createDirectoryAtPath(folder, true, &why) ||
      !files_->writeStringAtomically(all.dump(2, ' ', false, json::error_handler_t::replace) + "\n",
                                     file_, &why)) {
    base::logFormat("remembered playlists: %@", why.localizedDescription);
    return false;
  }
  return true;
}

}  // namespace session
