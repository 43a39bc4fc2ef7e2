#include "compat/runtime/ObjectValue.h"

#include <cstdlib>

namespace platform {

ObjectValue::ObjectValue(base::Value v)
    : kind_(v.isNone() ? Kind::kNone : Kind::kScalar), scalar_(std::move(v)) {}
ObjectValue::ObjectValue(Array a) : kind_(Kind::kArray), array_(std::move(a)) {}
ObjectValue::ObjectValue(Dictionary d) : kind_(Kind::kDictionary), dictionary_(std::move(d)) {}

std::optional<double> ObjectValue::doubleValue() const {
  if (kind_ != Kind::kScalar) return std::nullopt;
  if (const std::string* s = scalar_.string()) {
    // strtod reads the leading number the way a text's doubleValue does
    // (leading blanks skipped, 0 without digits).
    return std::strtod(s->c_str(), nullptr);
  }
  if (scalar_.isBool()) return scalar_.boolValue() ? 1.0 : 0.0;
  // Through the description keeps negative integers and reals exact.
  return std::strtod(scalar_.description().c_str(), nullptr);
}

std::optional<bool> ObjectValue::boolValue() const {
  if (kind_ != Kind::kScalar) return std::nullopt;
  return scalar_.boolValue();
}

std::string ObjectValue::description() const {
  switch (kind_) {
    case Kind::kNone:
      return "(null)";
    case Kind::kScalar:
      return scalar_.string() ? *scalar_.string() : scalar_.description();
    case Kind::kArray: {
      std::string out = "(";
      for (size_t i = 0; i < array_.size(); ++i) out += (i ? ", " : "") + array_[i].description();
      return out + ")";
    }
    case Kind::kDictionary: {
      std::string out = "{";
      for (const auto& [k, v] : dictionary_) out += k + " = " + v.description() + "; ";
      return out + "}";
    }
  }
  return "";
}

}  // namespace platform
