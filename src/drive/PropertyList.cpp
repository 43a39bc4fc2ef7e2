#include "drive/PropertyList.h"

#include <plist/plist.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <sstream>

#include "base/WholeFile.h"

namespace drive {
namespace {

// libplist parses and frees nested containers by recursion, which a list
// of a few megabytes nested deeply enough turns into a stack overflow. A
// list with more containers (XML) or objects (binary) than this is refused
// before libplist sees it; real reports hold a few hundred. Counting only
// openings cannot be fooled by closing tags hidden in comments or CDATA.
constexpr size_t kMaxContainers = 10000;

bool withinContainerLimit(std::string_view bytes) {
  if (bytes.substr(0, 6) == "bplist") {
    // The trailer's object count, big-endian at 8 bytes into the last 32.
    if (bytes.size() < 6 + 32) return true;  // too short for libplist too
    std::string_view trailer = bytes.substr(bytes.size() - 32);
    uint64_t objects = 0;
    for (size_t i = 8; i < 16; ++i) objects = objects << 8 | static_cast<uint8_t>(trailer[i]);
    return objects <= kMaxContainers;
  }
  size_t containers = 0;
  for (size_t at = bytes.find('<'); at != std::string_view::npos; at = bytes.find('<', at + 1)) {
    std::string_view tag = bytes.substr(at + 1, 5);
    if ((tag == "array" || tag.substr(0, 4) == "dict") && ++containers > kMaxContainers) {
      return false;
    }
  }
  return true;
}

}  // namespace

struct PropertyListConversion {
  // Disk reports and bundle descriptions nest a few levels. The bound keeps
  // a hostile list from exhausting the stack, here and in the recursive
  // destruction of the result.
  static constexpr int kMaxDepth = 64;

  // None for a list nested deeper than kMaxDepth, or holding a string with
  // a NUL byte (no XML text can; libplist lets a raw one through and then
  // aborts in plist_get_string_val).
  static std::optional<PropertyList> from(plist_t node, int depth) {
    if (depth > kMaxDepth) return std::nullopt;
    switch (plist_get_node_type(node)) {
      case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return PropertyList::boolean(b != 0);
      }
      case PLIST_UINT: {
        uint64_t u = 0;
        plist_get_uint_val(node, &u);
        return PropertyList::integer(static_cast<int64_t>(u));
      }
      case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return PropertyList::real(d);
      }
      case PLIST_STRING: {
        uint64_t length = 0;
        const char* s = plist_get_string_ptr(node, &length);
        if (s == nullptr) return PropertyList::string(std::string());
        if (strnlen(s, length) != length) return std::nullopt;
        return PropertyList::string(std::string(s, length));
      }
      case PLIST_ARRAY: {
        PropertyList::Array items;
        uint32_t n = plist_array_get_size(node);
        for (uint32_t i = 0; i < n; ++i) {
          std::optional<PropertyList> item = from(plist_array_get_item(node, i), depth + 1);
          if (!item) return std::nullopt;
          items.push_back(std::move(*item));
        }
        return PropertyList::array(std::move(items));
      }
      case PLIST_DICT: {
        PropertyList::Dict entries;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        std::unique_ptr<void, void (*)(void*)> iterGuard(it, std::free);
        for (;;) {
          char* key = nullptr;
          plist_t value = nullptr;
          plist_dict_next_item(node, it, &key, &value);
          if (key == nullptr) break;
          std::unique_ptr<char, void (*)(void*)> keyGuard(key, std::free);
          std::optional<PropertyList> item =
              value ? from(value, depth + 1) : std::optional<PropertyList>(PropertyList());
          if (!item) return std::nullopt;
          entries.emplace_back(key, std::move(*item));
        }
        return PropertyList::dict(std::move(entries));
      }
      default:
        return PropertyList();
    }
  }

  static plist_t to(const PropertyList& value) {
    const auto& v = value.v_;
    if (auto b = std::get_if<bool>(&v)) return plist_new_bool(*b ? 1 : 0);
    if (auto i = std::get_if<int64_t>(&v)) return plist_new_uint(static_cast<uint64_t>(*i));
    if (auto d = std::get_if<double>(&v)) return plist_new_real(*d);
    if (auto s = std::get_if<std::string>(&v)) return plist_new_string(s->c_str());
    if (auto a = std::get_if<PropertyList::Array>(&v)) {
      plist_t node = plist_new_array();
      for (const auto& item : *a) plist_array_append_item(node, to(item));
      return node;
    }
    if (auto d = std::get_if<PropertyList::Dict>(&v)) {
      plist_t node = plist_new_dict();
      for (const auto& [key, item] : *d) plist_dict_set_item(node, key.c_str(), to(item));
      return node;
    }
    return plist_new_string("");
  }
};

std::optional<PropertyList> PropertyList::parse(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max() ||
      !withinContainerLimit(bytes)) {
    return std::nullopt;
  }
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  if (root == nullptr) return std::nullopt;
  std::unique_ptr<void, void (*)(plist_t)> guard(root, plist_free);
  return PropertyListConversion::from(root, 0);
}

base::Result<PropertyList> PropertyList::load(const std::string& path) {
  auto bytes = base::readWholeFile(path, base::kSmallFileLimit);
  if (!bytes) return bytes.status();
  auto parsed = parse(*bytes);
  if (!parsed) return base::Status::failure("cannot read", path, "it is not a property list");
  return std::move(*parsed);
}

std::optional<int64_t> PropertyList::asInteger() const {
  if (auto i = std::get_if<int64_t>(&v_)) return *i;
  return std::nullopt;
}

std::optional<double> PropertyList::asReal() const {
  if (auto d = std::get_if<double>(&v_)) return *d;
  return std::nullopt;
}

const PropertyList* PropertyList::find(std::string_view key) const {
  const Dict* d = asDict();
  if (d == nullptr) return nullptr;
  const PropertyList* found = nullptr;
  for (const auto& [k, v] : *d) {
    if (k == key) found = &v;
  }
  return found;
}

base::Value PropertyList::toValue() const {
  if (auto b = std::get_if<bool>(&v_)) return base::Value(*b);
  if (auto i = std::get_if<int64_t>(&v_)) return base::Value(*i);
  if (auto d = std::get_if<double>(&v_)) return base::Value(*d);
  if (auto s = std::get_if<std::string>(&v_)) return base::Value(*s);
  return base::Value();
}

std::string PropertyList::toXml() const {
  plist_t node = PropertyListConversion::to(*this);
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(node, &xml, &length);
  std::string out = xml ? std::string(xml, length) : std::string();
  if (xml) plist_to_xml_free(xml);
  plist_free(node);
  return out;
}

}  // namespace drive
