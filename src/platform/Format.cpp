#include "platform/Format.h"

#include <cinttypes>
#include <cstdio>

namespace platform {
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
  if (auto d = std::get_if<double>(&s)) return static_cast<int64_t>(*d);
  if (auto t = std::get_if<std::string>(&s)) return std::strtoll(t->c_str(), nullptr, 10);
  return 0;
}

uint64_t asUnsigned(const FormatArg::Storage& s) {
  if (auto i = std::get_if<int64_t>(&s)) return static_cast<uint64_t>(*i);
  if (auto u = std::get_if<uint64_t>(&s)) return *u;
  if (auto d = std::get_if<double>(&s)) return *d <= 0 ? 0 : static_cast<uint64_t>(*d);
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
    while (j < fmt.size() && fmt[j] >= '0' && fmt[j] <= '9') position = position * 10 + (fmt[j++] - '0');
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
    while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') spec.push_back(fmt[i++]);
    if (i < fmt.size() && fmt[i] == '.') {
      spec.push_back(fmt[i++]);
      while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') spec.push_back(fmt[i++]);
    }
    // Length modifiers are read and dropped: the argument knows its kind.
    while (i < fmt.size() && std::string_view("hlqLjzt").find(fmt[i]) != std::string_view::npos) ++i;
    if (i >= fmt.size()) {
      out.append(fmt.substr(start));
      break;
    }
    char conv = fmt[i++];
    size_t index = positional ? position - 1 : next++;
    FormatArg::Storage none;
    const FormatArg::Storage& arg = index < args.size() ? args[index].storage() : none;
    char buf[512];
    switch (conv) {
      case '@':
      case 's':
        out += asText(arg);
        break;
      case 'd':
      case 'i':
        if (std::holds_alternative<std::monostate>(arg)) { out += "(null)"; break; }
        spec += PRId64;
        snprintf(buf, sizeof buf, spec.c_str(), asSigned(arg));
        out += buf;
        break;
      case 'u':
      case 'x':
      case 'X':
      case 'o':
        if (std::holds_alternative<std::monostate>(arg)) { out += "(null)"; break; }
        spec += conv == 'u' ? PRIu64 : conv == 'x' ? PRIx64 : conv == 'X' ? PRIX64 : PRIo64;
        snprintf(buf, sizeof buf, spec.c_str(), asUnsigned(arg));
        out += buf;
        break;
      case 'f':
      case 'F':
      case 'g':
      case 'G':
      case 'e':
      case 'E':
        if (std::holds_alternative<std::monostate>(arg)) { out += "(null)"; break; }
        spec.push_back(conv);
        snprintf(buf, sizeof buf, spec.c_str(), asDouble(arg));
        out += buf;
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

}  // namespace platform
