// An object value as a table cell receives it: none, a scalar (boolean,
// number, text), an array or a dictionary with text keys. The space
// usage cell reads its figures from a dictionary of these; the script
// may hand the dictionary over as two parallel arrays.
//
// Thread: a value type; no shared state.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/Value.h"

namespace platform {

class ObjectValue {
 public:
  using Array = std::vector<ObjectValue>;
  using Dictionary = std::map<std::string, ObjectValue>;

  ObjectValue() = default;
  ObjectValue(base::Value v);                             // NOLINT(google-explicit-constructor)
  ObjectValue(bool b) : ObjectValue(base::Value(b)) {}    // NOLINT
  ObjectValue(int i) : ObjectValue(base::Value(i)) {}     // NOLINT
  ObjectValue(double d) : ObjectValue(base::Value(d)) {}  // NOLINT
  ObjectValue(const char* s) : ObjectValue(base::Value(s)) {}             // NOLINT
  ObjectValue(std::string s) : ObjectValue(base::Value(std::move(s))) {}  // NOLINT
  ObjectValue(Array a);                                                   // NOLINT
  ObjectValue(Dictionary d);                                              // NOLINT

  bool isNone() const { return kind_ == Kind::kNone; }
  bool isArray() const { return kind_ == Kind::kArray; }
  bool isDictionary() const { return kind_ == Kind::kDictionary; }
  // A number object (not a boolean, not a text).
  bool isNumber() const { return kind_ == Kind::kScalar && scalar_.isNumber(); }
  const base::Value* scalar() const { return kind_ == Kind::kScalar ? &scalar_ : nullptr; }
  const Array* array() const { return kind_ == Kind::kArray ? &array_ : nullptr; }
  const Dictionary* dictionary() const {
    return kind_ == Kind::kDictionary ? &dictionary_ : nullptr;
  }

  // What answers a double: numbers, booleans (1 or 0) and texts (their
  // leading decimal number, 0 when there is none). Arrays, dictionaries
  // and none answer nothing.
  std::optional<double> doubleValue() const;
  // What answers a boolean: scalars (Value::boolValue). Others: none.
  std::optional<bool> boolValue() const;
  // The text shown for the value: a text as it is, a number in decimal.
  std::string description() const;

 private:
  enum class Kind { kNone, kScalar, kArray, kDictionary };
  Kind kind_ = Kind::kNone;
  base::Value scalar_;
  Array array_;
  Dictionary dictionary_;
};

}  // namespace platform
