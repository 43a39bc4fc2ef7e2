#include "session/RememberedChoices.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "base/Configuration.h"
#include "base/Log.h"

namespace session {
namespace {

namespace stdfs = std::filesystem;
using nlohmann::json;

constexpr size_t kMaxBytes = 16 << 20;

// The whole store; an object, or null when there is none to read.
json read(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return json::object();
  std::ostringstream bytes;
  bytes << in.rdbuf();
  json all = json::parse(bytes.str(), nullptr, false);
  if (bytes.str().size() > kMaxBytes || !all.is_object() || !all["destinations"].is_object()) {
    base::logFormat(
        "remembered playlists: %@ is not a store of remembered playlists; it is "
        "left as it is until the next change",
        file);
    return json::object();
  }
  return all;
}

}  // namespace

RememberedChoices::RememberedChoices(std::string file) : file_(std::move(file)) {}

std::string RememberedChoices::defaultFile(const base::Configuration& config) {
  stdfs::path base =
      !config.configHome.empty() && config.configHome[0] == '/'
          ? stdfs::path(config.configHome)
          : stdfs::path(!config.home.empty() && config.home[0] == '/' ? config.home : "/") /
                ".config";
  return (base / "tessaline" / "remembered-playlists.json").string();
}

std::optional<std::vector<std::string>> RememberedChoices::playlists(const std::string& key) const {
  json all = read(file_);
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
  return change(key, "playlists", ids);
}

std::string RememberedChoices::conversion(const std::string& key) const {
  json all = read(file_);
  auto destinations = all.find("destinations");
  if (destinations == all.end()) return "";
  auto entry = destinations->find(key);
  if (entry == destinations->end() || !entry->is_object()) return "";
  auto codec = entry->find("convertTo");
  return codec != entry->end() && codec->is_string() ? codec->get<std::string>() : "";
}

bool RememberedChoices::rememberConversion(const std::string& key, const std::string& codec) {
  return change(key, "convertTo", codec);
}

bool RememberedChoices::change(const std::string& key, const char* field,
                               const nlohmann::json& value) {
  json all = read(file_);
  if (!all.contains("destinations")) all["destinations"] = json::object();
  json& entry = all["destinations"][key];
  if (!entry.is_object()) entry = json::object();
  entry[field] = value;
  std::error_code ec;
  stdfs::create_directories(stdfs::path(file_).parent_path(), ec);
  // Written beside it and renamed: a reader sees the old store or the
  // new one, never half of one.
  std::string temporary = file_ + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << all.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
    out.flush();
    if (!out) {
      base::logFormat("remembered playlists: %@ could not be written: %@", temporary,
                      std::string(std::strerror(errno)));
      ::unlink(temporary.c_str());
      return false;
    }
  }
  if (::rename(temporary.c_str(), file_.c_str()) != 0) {
    base::logFormat("remembered playlists: %@ could not be replaced: %@", file_,
                    std::string(std::strerror(errno)));
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace session
