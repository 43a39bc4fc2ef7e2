// Object-format strings in the platform's style, used by log lines and
// localised texts:
//   %@            any argument: texts as they are, numbers in decimal
//   %d %i %u %ld %lu %lld %llu %qu   integers (the length only documents)
//   %f %.Nf %g %e with width and precision   reals
//   %s            a text
//   %x %X         hexadecimal
//   %%            a percent sign
//   %1$@, %2$d    positional arguments (as localised texts reorder them)
// A placeholder without an argument prints "(null)"; an argument of
// another kind than its placeholder is converted, never misread.
//
// Thread: pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "base/Value.h"

namespace base {

class FormatArg {
 public:
  template <class T>
  FormatArg(const T& v) : v_(convert(v)) {}  // NOLINT(google-explicit-constructor)

  using Storage = std::variant<std::monostate, std::string, int64_t, uint64_t, double>;
  const Storage& storage() const { return v_; }

 private:
  template <class T>
  static Storage convert(const T& v) {
    if constexpr (std::is_same_v<T, bool>) {
      return int64_t{v ? 1 : 0};
    } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
      return int64_t{v};
    } else if constexpr (std::is_integral_v<T>) {
      return uint64_t{v};
    } else if constexpr (std::is_floating_point_v<T>) {
      return double{v};
    } else if constexpr (std::is_same_v<T, Value>) {
      if (v.isNone()) return std::monostate{};
      if (v.isString()) return *v.string();
      return v.description();
    } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
      return std::string(std::string_view(v));
    } else {
      static_assert(sizeof(T) == 0, "no format conversion for this type");
    }
  }
  Storage v_;
};

std::string formatv(std::string_view fmt, const std::vector<FormatArg>& args);

template <class... A>
std::string format(std::string_view fmt, const A&... args) {
  return formatv(fmt, std::vector<FormatArg>{FormatArg(args)...});
}

}  // namespace base
