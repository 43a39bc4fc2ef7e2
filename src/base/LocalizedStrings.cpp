#include "base/LocalizedStrings.h"

#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include "base/Log.h"
#include "base/Resources.h"
#include "base/Unicode.h"
#include "base/WholeFile.h"

namespace base {
namespace {

class Parser {
 public:
  explicit Parser(std::string_view s) : s_(s) {}

  bool run(std::map<std::string, std::string>& table, std::string* error) {
    for (;;) {
      skipSpace();
      if (pos_ >= s_.size()) return true;
      std::string key, value;
      if (!quoted(key)) return fail(error, "expected a quoted key");
      skipSpace();
      if (peek() == ';') {  // "key"; means the key is its own value
        ++pos_;
        table[key] = key;
        continue;
      }
      if (peek() != '=') return fail(error, "expected '=' after the key");
      ++pos_;
      skipSpace();
      if (!quoted(value)) return fail(error, "expected a quoted value");
      skipSpace();
      if (peek() != ';') return fail(error, "expected ';' after the value");
      ++pos_;
      table[key] = value;
    }
  }

 private:
  char peek() const { return pos_ < s_.size() ? s_[pos_] : '\0'; }

  bool fail(std::string* error, const char* what) {
    if (error) {
      size_t line = 1;
      for (size_t i = 0; i < pos_ && i < s_.size(); ++i) line += s_[i] == '\n';
      *error = "line " + std::to_string(line) + ": " + what;
    }
    return false;
  }

  void skipSpace() {
    while (pos_ < s_.size()) {
      char c = s_[pos_];
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
        ++pos_;
      } else if (s_.substr(pos_, 2) == "/*") {
        size_t end = s_.find("*/", pos_ + 2);
        pos_ = end == std::string_view::npos ? s_.size() : end + 2;
      } else if (s_.substr(pos_, 2) == "//") {
        size_t end = s_.find('\n', pos_);
        pos_ = end == std::string_view::npos ? s_.size() : end + 1;
      } else {
        return;
      }
    }
  }

  bool quoted(std::string& out) {
    if (peek() != '"') return false;
    ++pos_;
    while (pos_ < s_.size()) {
      char c = s_[pos_++];
      if (c == '"') return true;
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (pos_ >= s_.size()) return false;
      char e = s_[pos_++];
      switch (e) {
        case 'n':
          out.push_back('\n');
          break;
        case 't':
          out.push_back('\t');
          break;
        case 'r':
          out.push_back('\r');
          break;
        case 'U':
        case 'u': {
          uint32_t code = 0;
          int digits = 0;
          while (digits < 4 && pos_ < s_.size() && isxdigit(static_cast<unsigned char>(s_[pos_]))) {
            code =
                code * 16 + static_cast<uint32_t>(std::stoi(std::string(1, s_[pos_]), nullptr, 16));
            ++pos_;
            ++digits;
          }
          if (digits == 0) return false;
          unicode::appendUtf8(out, code);
          break;
        }
        default:
          out.push_back(e);
          break;
      }
    }
    return false;
  }

  std::string_view s_;
  size_t pos_ = 0;
};

}  // namespace

std::string decodeTextBytes(std::string_view bytes) {
  auto b = [&](size_t i) { return static_cast<uint8_t>(bytes[i]); };
  if (bytes.size() >= 3 && b(0) == 0xEF && b(1) == 0xBB && b(2) == 0xBF)
    return std::string(bytes.substr(3));
  bool be = bytes.size() >= 2 && b(0) == 0xFE && b(1) == 0xFF;
  bool le = bytes.size() >= 2 && b(0) == 0xFF && b(1) == 0xFE;
  if (!be && !le) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size());
  size_t i = 2;
  auto unit = [&](size_t at) -> uint16_t {
    return be ? static_cast<uint16_t>(b(at) << 8 | b(at + 1))
              : static_cast<uint16_t>(b(at + 1) << 8 | b(at));
  };
  while (i + 1 < bytes.size()) {
    uint32_t c = unit(i);
    i += 2;
    if (U16_IS_LEAD(c) && i + 1 < bytes.size() && U16_IS_TRAIL(unit(i))) {
      c = U16_GET_SUPPLEMENTARY(c, unit(i));
      i += 2;
    } else if (U16_IS_SURROGATE(c)) {
      c = 0xFFFD;
    }
    unicode::appendUtf8(out, c);
  }
  return out;
}

std::optional<LocalizedStrings> LocalizedStrings::parse(std::string_view bytes,
                                                        std::string* error) {
  std::string text = decodeTextBytes(bytes);
  LocalizedStrings result;
  Parser parser(text);
  if (!parser.run(result.table_, error)) return std::nullopt;
  return result;
}

Result<LocalizedStrings> LocalizedStrings::load(const std::string& path) {
  auto bytes = readWholeFile(path);
  if (!bytes) return bytes.status();
  std::string error;
  auto parsed = parse(*bytes, &error);
  if (!parsed) return Status::failure("cannot read", path, error);
  return std::move(*parsed);
}

const LocalizedStrings& LocalizedStrings::shared() {
  static const LocalizedStrings* table = [] {
    auto loaded = load(resourcePath("Localizable.strings"));
    if (!loaded) logLine(loaded.status().message());
    return new LocalizedStrings(loaded ? std::move(*loaded) : LocalizedStrings());
  }();
  return *table;
}

std::string LocalizedStrings::lookup(const std::string& key,
                                     const std::string& defaultValue) const {
  auto it = table_.find(key);
  if (it != table_.end()) return it->second;
  return defaultValue.empty() ? key : defaultValue;
}

std::string localizedString(const std::string& key) {
  return LocalizedStrings::shared().lookup(key);
}

}  // namespace base
