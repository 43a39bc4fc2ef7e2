// A loosely typed value as a script hands it over: none, a boolean, a
// number or a text. Used where an operation takes "an object answering a
// boolean value" or an identifier that may be a number.
//
// Thread: a value type; no shared state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace base {

class Value {
 public:
  Value() = default;
  Value(bool b) : v_(b) {}                       // NOLINT(google-explicit-constructor)
  Value(int i) : v_(static_cast<int64_t>(i)) {}  // NOLINT
  Value(int64_t i) : v_(i) {}                    // NOLINT
  Value(uint64_t u) : v_(u) {}                   // NOLINT
  Value(double d) : v_(d) {}                     // NOLINT
  Value(std::string s) : v_(std::move(s)) {}     // NOLINT
  Value(const char* s) : v_(std::string(s)) {}   // NOLINT

  bool isNone() const { return std::holds_alternative<std::monostate>(v_); }
  bool isBool() const { return std::holds_alternative<bool>(v_); }
  bool isString() const { return std::holds_alternative<std::string>(v_); }
  // Integers and reals; a boolean is not a number here.
  bool isNumber() const {
    return std::holds_alternative<int64_t>(v_) || std::holds_alternative<uint64_t>(v_) ||
           std::holds_alternative<double>(v_);
  }
  const std::string* string() const { return std::get_if<std::string>(&v_); }

  // Booleans as they are; numbers: not zero; texts: the first character
  // after blanks, signs and leading zeros is Y, y, T, t or a digit 1-9
  // (so "YES", "true", "1" and "-3" are YES; "no", "0", "" are NO).
  bool boolValue() const;

  // A number's value as unsigned 64 bits: negative integers wrap as they
  // do in two's complement, reals are truncated (negative and NaN give 0,
  // too large gives the largest value); booleans give 1 or 0.
  uint64_t unsignedValue() const;

  // The text of a text, or the "%llu" text of a number; none otherwise.
  std::optional<std::string> identifierText() const;

  // A short description for messages.
  std::string description() const;

 private:
  std::variant<std::monostate, bool, int64_t, uint64_t, double, std::string> v_;
};

}  // namespace base
