// Small text rules shared by the readers of kernel tables, library files
// and file URLs, so that each exists once.
//
// Thread: pure functions; any thread.
// Errors: none thrown; decoders that can refuse answer none.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace base::text {

// The value of one hexadecimal digit (either case); -1 for any other
// character.
int hexDigitValue(char c);

// ASCII case-insensitive prefix test.
bool startsWithNoCase(std::string_view s, std::string_view prefix);

// Undoes the kernel's octal escapes ("\040" is a blank, "\134" a
// backslash) in mountinfo fields; anything else stays as it is.
std::string unescapeOctal(std::string_view field);

// Undoes udev's and blkid's "\x20" escapes; anything else stays.
std::string unescapeHex(std::string_view name);

// The one rule for the percent escapes of a file URL's path: every '%'
// must start two hexadecimal digits, and no escape may give a NUL byte.
// A path that breaks the rule names no file anyone can trust, so it
// decodes to none rather than to a guess.
std::optional<std::string> percentDecode(std::string_view encoded);

// ASCII letters made lower case; other bytes kept (UTF-8 stays UTF-8).
std::string asciiLower(std::string_view s);

}  // namespace base::text
