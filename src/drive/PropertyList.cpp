#include "drive/PropertyList.h"

#include <plist/plist.h>

#include <cstdlib>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>

namespace drive {

struct PropertyListConversion {
  static PropertyList from(plist_t node) {
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
        char* s = nullptr;
        plist_get_string_val(node, &s);
        std::string text = s ? s : "";
        std::free(s);
        return PropertyList::string(std::move(text));
      }
      case PLIST_ARRAY: {
        PropertyList::Array items;
        uint32_t n = plist_array_get_size(node);
        for (uint32_t i = 0; i < n; ++i) items.push_back(from(plist_array_get_item(node, i)));
        return PropertyList::array(std::move(items));
      }
      case PLIST_DICT: {
        PropertyList::Dict entries;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        for (;;) {
          char* key = nullptr;
          plist_t value = nullptr;
          plist_dict_next_item(node, it, &key, &value);
          if (key == nullptr) break;
          entries.emplace_back(key, value ? from(value) : PropertyList());
          std::free(key);
        }
        std::free(it);
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
  if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  if (root == nullptr) return std::nullopt;
  std::unique_ptr<void, void (*)(plist_t)> guard(root, plist_free);
  return PropertyListConversion::from(root);
}

std::optional<PropertyList> PropertyList::load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream ss;
  ss << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return parse(ss.str());
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

platform::Value PropertyList::toValue() const {
  if (auto b = std::get_if<bool>(&v_)) return platform::Value(*b);
  if (auto i = std::get_if<int64_t>(&v_)) return platform::Value(*i);
  if (auto d = std::get_if<double>(&v_)) return platform::Value(*d);
  if (auto s = std::get_if<std::string>(&v_)) return platform::Value(*s);
  return platform::Value();
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
