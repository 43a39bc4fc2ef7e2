// The application's localised string table: a "Localizable.strings" file
// in the platform's format
//     /* comment */  // comment
//     "key" = "value";
// (UTF-8, or UTF-16 with a byte-order mark; escapes \" \\ \n \t \r \UXXXX).
// Lookup by key with a default: an empty default yields the key itself.
//
// Thread: the shared table is loaded once, then read-only.
// Errors: a missing or malformed file leaves an empty table (every lookup
// then yields its default or key) and logs load()'s Status, which names
// the file and the reason; parse() reports the first bad line.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "base/Status.h"

namespace base {

class LocalizedStrings {
 public:
  // The table "Localizable" from the resources folder.
  static const LocalizedStrings& shared();

  // Parses the text of a strings file; on a syntax error returns none
  // and sets *error to a message naming the line.
  static std::optional<LocalizedStrings> parse(std::string_view bytes, std::string* error);
  static Result<LocalizedStrings> load(const std::string& path);

  // The value for `key`; if absent, `defaultValue`, or `key` when the
  // default is empty.
  std::string lookup(const std::string& key, const std::string& defaultValue = "") const;
  bool contains(const std::string& key) const { return table_.count(key) != 0; }
  const std::map<std::string, std::string>& entries() const { return table_; }

 private:
  std::map<std::string, std::string> table_;
};

// Shorthand for LocalizedStrings::shared().lookup(key, "").
std::string localizedString(const std::string& key);

// Turns UTF-16 text with a byte-order mark into UTF-8; other bytes are
// returned as they are (a UTF-8 byte-order mark is dropped).
std::string decodeTextBytes(std::string_view bytes);

}  // namespace base
