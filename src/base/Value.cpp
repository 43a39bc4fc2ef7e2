#include "base/Value.h"

#include <cmath>
#include <limits>

namespace base {

bool Value::boolValue() const {
  if (auto b = std::get_if<bool>(&v_)) return *b;
  if (auto i = std::get_if<int64_t>(&v_)) return *i != 0;
  if (auto u = std::get_if<uint64_t>(&v_)) return *u != 0;
  if (auto d = std::get_if<double>(&v_)) return *d != 0.0 && !std::isnan(*d);
  if (auto s = std::get_if<std::string>(&v_)) {
    size_t i = 0;
    while (i < s->size() &&
           ((*s)[i] == ' ' || (*s)[i] == '\t' || (*s)[i] == '\n' || (*s)[i] == '\r'))
      ++i;
    if (i < s->size() && ((*s)[i] == '+' || (*s)[i] == '-')) ++i;
    while (i < s->size() && (*s)[i] == '0') ++i;
    if (i >= s->size()) return false;
    char c = (*s)[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
  }
  return false;
}

uint64_t Value::unsignedValue() const {
  if (auto b = std::get_if<bool>(&v_)) return *b ? 1 : 0;
  if (auto i = std::get_if<int64_t>(&v_)) return static_cast<uint64_t>(*i);
  if (auto u = std::get_if<uint64_t>(&v_)) return *u;
  if (auto d = std::get_if<double>(&v_)) {
    if (std::isnan(*d) || *d <= 0) return 0;
    if (*d >= 18446744073709551615.0) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(*d);
  }
  return 0;
}

std::optional<std::string> Value::identifierText() const {
  if (auto s = std::get_if<std::string>(&v_)) return *s;
  if (isNumber()) return std::to_string(unsignedValue());
  return std::nullopt;
}

std::string Value::description() const {
  if (auto s = std::get_if<std::string>(&v_)) return *s;
  if (auto b = std::get_if<bool>(&v_)) return *b ? "1" : "0";
  if (auto i = std::get_if<int64_t>(&v_)) return std::to_string(*i);
  if (auto u = std::get_if<uint64_t>(&v_)) return std::to_string(*u);
  if (auto d = std::get_if<double>(&v_)) {
    char buf[64];
    snprintf(buf, sizeof buf, "%.17g", *d);
    return buf;
  }
  return "(null)";
}

}  // namespace base
