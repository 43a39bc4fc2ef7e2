// A property list held as plain C++ values, read from and written to the
// platform's XML and binary forms through libplist.
//
// Dictionaries keep the order of their keys as the file has them, which
// is the enumeration order the catalogue and the disk tool rely on.
// Integers are signed 64-bit; a value that does not fit (libplist keeps
// unsigned values up to 2^64-1) reads as its two's complement, which
// callers that need a size treat as implausible.
//
// Thread: value type; parse and toXml are pure.
// Errors: parse returns none for bytes that are not a whole property
// list (truncated, malformed, empty), that hold more than 10000 arrays and
// dictionaries (XML) or objects (binary), nest deeper than 64 levels or
// hold a string with a NUL byte; it never throws. load answers a Status
// naming the file: its read error, or "it is not a property list".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "base/Status.h"
#include "base/Value.h"

namespace drive {

class PropertyList {
 public:
  using Array = std::vector<PropertyList>;
  using Dict = std::vector<std::pair<std::string, PropertyList>>;

  PropertyList() = default;
  static PropertyList boolean(bool b) { return PropertyList(Storage(b)); }
  static PropertyList integer(int64_t i) { return PropertyList(Storage(i)); }
  static PropertyList real(double d) { return PropertyList(Storage(d)); }
  static PropertyList string(std::string s) { return PropertyList(Storage(std::move(s))); }
  static PropertyList dict(Dict d) { return PropertyList(Storage(std::move(d))); }
  static PropertyList array(Array a) { return PropertyList(Storage(std::move(a))); }

  // XML (UTF-8) or binary ("bplist00") bytes.
  static std::optional<PropertyList> parse(std::string_view bytes);
  // Reads a whole file and parses it; none when unreadable or not a list.
  static base::Result<PropertyList> load(const std::string& path);

  bool isDict() const { return std::holds_alternative<Dict>(v_); }
  const Dict* asDict() const { return std::get_if<Dict>(&v_); }
  const std::string* asString() const { return std::get_if<std::string>(&v_); }
  std::optional<int64_t> asInteger() const;
  std::optional<double> asReal() const;
  bool isBoolean() const { return std::holds_alternative<bool>(v_); }

  // The value under `key` of a dictionary (the last one if repeated);
  // null for other kinds or a missing key.
  const PropertyList* find(std::string_view key) const;

  // As a loose script value (booleans, numbers, texts; none otherwise).
  base::Value toValue() const;

  std::string toXml() const;

 private:
  // Data and dates are read as none: nothing here needs them.
  using Storage = std::variant<std::monostate, bool, int64_t, double, std::string, Array, Dict>;
  explicit PropertyList(Storage v) : v_(std::move(v)) {}
  friend struct PropertyListConversion;
  Storage v_;
};

}  // namespace drive
