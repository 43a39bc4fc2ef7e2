#include "base/Format.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace base {
namespace {

std::string asText(const FormatArg::Storage& s) {
  if (auto t = std::get_if<std::string>(&s)) return *t;
  if (auto i = std::get_if<int64_t>(&s)) return std::to_string(*i);
  if (auto u = std::get_if<uint64_t>(&s)) return std::to_string(*u);
  if (auto d = std::get_if<double>(&s)) {
    char buf[64];
    snprintf(buf, sizeof buf, "%g", *d);
    return buf;
  }
  return "(null)";
}

int64_t asSigned(const FormatArg::Storage& s) {
  if (auto i = std::get_if<int64_t>(&s)) return *i;
  if (auto u = std::get_if<uint64_t>(&s)) return static_cast<int64_t>(*u);
  if (auto d = std::get_if<double>(&s)) {
    // A real beyond the range (or NaN) has no integer value; the nearest
    // end keeps the text meaningful where a plain cast would be undefined.
    if (std::isnan(*d)) return 0;
    if (*d >= 0x1p63) return INT64_MAX;
    if (*d < -0x1p63) return INT64_MIN;
    return static_cast<int64_t>(*d);
  }
  if (auto t = std::get_if<std::string>(&s)) return std::strtoll(t->c_str(), nullptr, 10);
  return 0;
}

uint64_t asUnsigned(const FormatArg::Storage& s) {
  if (auto i = std::get_if<int64_t>(&s)) return static_cast<uint64_t>(*i);
  if (auto u = std::get_if<uint64_t>(&s)) return *u;
  if (auto d = std::get_if<double>(&s)) {
    if (std::isnan(*d) || *d <= 0) return 0;
    return *d >= 0x1p64 ? UINT64_MAX : static_cast<uint64_t>(*d);
  }
  if (auto t = std::get_if<std::string>(&s)) return std::strtoull(t->c_str(), nullptr, 10);
  return 0;
}

double asDouble(const FormatArg::Storage& s) {
  if (auto i = std::get_if<int64_t>(&s)) return static_cast<double>(*i);
  if (auto u = std::get_if<uint64_t>(&s)) return static_cast<double>(*u);
  if (auto d = std::get_if<double>(&s)) return *d;
  if (auto t = std::get_if<std::string>(&s)) return std::strtod(t->c_str(), nullptr);
  return 0;
}

constexpr size_t kMaxField = 1000;

// Appends printf's text for one value, however long (a 1e300 with 300
// decimals is 602 characters): measured first, then written in place.
template <class V>
void appendPrintf(std::string& out, const std::string& conversion, V value) {
  int n = snprintf(nullptr, 0, conversion.c_str(), value);
  if (n <= 0) return;
  size_t at = out.size();
  out.resize(at + static_cast<size_t>(n) + 1);
  snprintf(out.data() + at, static_cast<size_t>(n) + 1, conversion.c_str(), value);
  out.resize(at + static_cast<size_t>(n));
}

}  // namespace

std::string formatv(std::string_view fmt, const std::vector<FormatArg>& args) {
  std::string out;
  out.reserve(fmt.size() + 16 * args.size());
  size_t next = 0;  // the next sequential argument
  size_t i = 0;
  while (i < fmt.size()) {
    char c = fmt[i];
    if (c != '%') {
      out.push_back(c);
      ++i;
      continue;
    }
    size_t start = i++;
    if (i < fmt.size() && fmt[i] == '%') {
      out.push_back('%');
      ++i;
      continue;
    }
    // Optional position "N$".
    size_t j = i;
    size_t position = 0;
    while (j < fmt.size() && fmt[j] >= '0' && fmt[j] <= '9')
      position = position * 10 + (fmt[j++] - '0');
    bool positional = j < fmt.size() && fmt[j] == '$' && j > i && position > 0;
    if (positional) {
      i = j + 1;
    } else {
      position = 0;
    }
    // Flags, width, precision.
    std::string spec = "%";
    while (i < fmt.size() && std::string_view("-+ #0'").find(fmt[i]) != std::string_view::npos) {
      if (fmt[i] != '\'') spec.push_back(fmt[i]);
      ++i;
    }
    // A width or precision beyond kMaxField is no placeholder we know
    // (it would have the C library allocate gigabytes): kept as written.
    size_t width = 0, precision = 0;
    while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
      width = std::min<size_t>(width * 10 + static_cast<size_t>(fmt[i] - '0'), kMaxField + 1);
      spec.push_back(fmt[i++]);
    }
    if (i < fmt.size() && fmt[i] == '.') {
      spec.push_back(fmt[i++]);
      while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
        precision =
            std::min<size_t>(precision * 10 + static_cast<size_t>(fmt[i] - '0'), kMaxField + 1);
        spec.push_back(fmt[i++]);
      }
    }
    bool fieldTooWide = width > kMaxField || precision > kMaxField;
    // Length modifiers are read and dropped: the argument knows its kind.
    while (i < fmt.size() && std::string_view("hlqLjzt").find(fmt[i]) != std::string_view::npos)
      ++i;
    if (i >= fmt.size()) {
      out.append(fmt.substr(start));
      break;
    }
    char conv = fmt[i++];
    if (fieldTooWide) conv = '\0';  // falls to the default: kept as written
    size_t index = positional ? position - 1 : next++;
    FormatArg::Storage none;
    const FormatArg::Storage& arg = index < args.size() ? args[index].storage() : none;
    switch (conv) {
      case '@':
      case 's':
        out += asText(arg);
        break;
      case 'd':
      case 'i':
        if (std::holds_alternative<std::monostate>(arg)) {
          out += "(null)";
          break;
        }
        spec += PRId64;
        appendPrintf(out, spec, asSigned(arg));
        break;
      case 'u':
      case 'x':
      case 'X':
      case 'o':
        if (std::holds_alternative<std::monostate>(arg)) {
          out += "(null)";
          break;
        }
        spec += conv == 'u' ? PRIu64 : conv == 'x' ? PRIx64 : conv == 'X' ? PRIX64 : PRIo64;
        appendPrintf(out, spec, asUnsigned(arg));
        break;
      case 'f':
      case 'F':
      case 'g':
      case 'G':
      case 'e':
      case 'E':
        if (std::holds_alternative<std::monostate>(arg)) {
          out += "(null)";
          break;
        }
        spec.push_back(conv);
        appendPrintf(out, spec, asDouble(arg));
        break;
      default:
        // Not a conversion we know: keep the text as written.
        out.append(fmt.substr(start, i - start));
        if (!positional) --next;
        break;
    }
  }
  return out;
}

}  // namespace base
