// One property value of a device registry entry: nothing, a boolean, a
// number, a text or raw bytes (the registry's "data" values, such as the
// 4-byte PCI identifiers).
//
// Thread: a value type; no shared state.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace drive {

class RegistryValue {
 public:
  using Bytes = std::vector<uint8_t>;

  RegistryValue() = default;
  static RegistryValue boolean(bool b) { return RegistryValue(Storage(b)); }
  static RegistryValue number(int64_t n) { return RegistryValue(Storage(n)); }
  static RegistryValue text(std::string s) { return RegistryValue(Storage(std::move(s))); }
  static RegistryValue data(Bytes bytes) { return RegistryValue(Storage(std::move(bytes))); }

  bool isNone() const { return std::holds_alternative<std::monostate>(v_); }
  // True only for a boolean that is true (a registry flag "present and true").
  bool isTrue() const {
    const bool* b = std::get_if<bool>(&v_);
    return b != nullptr && *b;
  }
  const std::string* string() const { return std::get_if<std::string>(&v_); }
  const Bytes* bytes() const { return std::get_if<Bytes>(&v_); }

 private:
  using Storage = std::variant<std::monostate, bool, int64_t, std::string, Bytes>;
  explicit RegistryValue(Storage v) : v_(std::move(v)) {}
  Storage v_;
};

}  // namespace drive
