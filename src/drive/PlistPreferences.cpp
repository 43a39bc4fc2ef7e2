#include "drive/PlistPreferences.h"

#include <plist/plist.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <system_error>

#include "base/Configuration.h"
#include "base/Log.h"
#include "base/WholeFile.h"

namespace drive {
namespace stdfs = std::filesystem;

namespace {

struct PlistFree {
  void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

enum class Load { kMissing, kDictionary, kBroken };

// Reads the file into *dict; kBroken for anything but a dictionary, and
// then a file that could not be read leaves its reason in *why.
Load loadDictionary(const stdfs::path& file, PlistPtr* dict, base::Status* why) {
  auto bytes = base::readWholeFile(file.string(), base::kSmallFileLimit);
  if (!bytes) {
    if (bytes.status().code() == ENOENT) return Load::kMissing;
    *why = bytes.status();
    return Load::kBroken;
  }
  if (bytes->empty()) return Load::kBroken;
  plist_t root = nullptr;
  plist_from_memory(bytes->data(), static_cast<uint32_t>(bytes->size()), &root);
  PlistPtr owned(root);
  if (!root || plist_get_node_type(root) != PLIST_DICT) return Load::kBroken;
  *dict = std::move(owned);
  return Load::kDictionary;
}

void reportBroken(const stdfs::path& file, const base::Status& why) {
  if (!why.ok()) {
    base::logFormat("preferences: %@; the file is left as it is", why.message());
    return;
  }
  base::logFormat("preferences file %@ is not a property-list dictionary; it is left as it is",
                  file.string());
}

Load loadDictionary(const stdfs::path& file, PlistPtr* dict) {
  base::Status why;
  Load load = loadDictionary(file, dict, &why);
  if (load == Load::kBroken) reportBroken(file, why);
  return load;
}

}  // namespace

stdfs::path PlistPreferences::defaultPath() {
  auto config = base::configuration();
  stdfs::path base;
  if (!config->configHome.empty() && config->configHome[0] == '/') {
    base = config->configHome;
  } else {
    base = stdfs::path(!config->home.empty() && config->home[0] == '/' ? config->home : "/") /
           ".config";
  }
  return base / "tessaline" / "preferences.plist";
}

bool PlistPreferences::hasValue(const std::string& key) {
  PlistPtr dict;
  Load load = loadDictionary(file_, &dict);
  return load == Load::kDictionary && plist_dict_get_item(dict.get(), key.c_str()) != nullptr;
}

std::optional<std::string> PlistPreferences::stringValue(const std::string& key) {
  PlistPtr dict;
  Load load = loadDictionary(file_, &dict);
  if (load != Load::kDictionary) return std::nullopt;
  plist_t node = plist_dict_get_item(dict.get(), key.c_str());
  if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  // Not plist_get_string_val: it aborts on a string holding a NUL byte,
  // which libplist lets through raw in XML. Such a value is no usable text
  // and reads as none, as a value of another kind does.
  uint64_t length = 0;
  const char* value = plist_get_string_ptr(node, &length);
  if (!value || strnlen(value, length) != length) return std::nullopt;
  return std::string(value, length);
}

void PlistPreferences::setStringValue(const std::string& key, const std::string& value) {
  PlistPtr dict;
  Load load = loadDictionary(file_, &dict);
  if (load == Load::kBroken) return;
  if (load == Load::kMissing) dict.reset(plist_new_dict());
  plist_dict_set_item(dict.get(), key.c_str(), plist_new_string(value.c_str()));
  write(dict.get());
}

bool PlistPreferences::removeValue(const std::string& key) {
  PlistPtr dict;
  Load load = loadDictionary(file_, &dict);  // a broken file is reported there
  if (load != Load::kDictionary || plist_dict_get_item(dict.get(), key.c_str()) == nullptr) return false;
  plist_dict_remove_item(dict.get(), key.c_str());
  return write(dict.get());
}

bool PlistPreferences::write(plist_t dict) {
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(dict, &xml, &length);
  if (!xml) {
    base::logFormat("could not write preferences file %@: %@", file_.string(),
                    "the value cannot be encoded");
    return false;
  }
  std::string text(xml, length);
  plist_to_xml_free(xml);

  std::error_code ec;
  stdfs::create_directories(file_.parent_path(), ec);
  if (base::Status written = base::replaceWholeFile(file_.string(), text); !written.ok()) {
    base::logFormat("could not write preferences file %@: %@", file_.string(), written.message());
    return false;
  }
  return true;
}

}  // namespace drive
