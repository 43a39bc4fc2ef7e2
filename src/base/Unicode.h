// Unicode text operations on UTF-8 strings, backed by ICU.
//
// Text that is not valid UTF-8 (a file name on Linux may be any bytes)
// is returned unchanged by every function here, so that such a name is
// still compared byte for byte rather than mangled.
//
// Thread: pure functions; safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace base::unicode {

bool isValidUtf8(std::string_view s);
// Appends the code point's UTF-8; nothing for a surrogate or one past
// U+10FFFF.
void appendUtf8(std::string& out, char32_t c);

// Canonical decomposition (Normalization Form D).
std::string nfd(std::string_view s);
// Canonical composition (Normalization Form C), as names are written.
std::string nfc(std::string_view s);

// Upper case with the full, locale-independent case mapping
// ("straße" -> "STRASSE").
std::string upper(std::string_view s);

// Appends a path component as folded names are compared (decomposed, then
// upper-cased): upper(nfd(name)), with plain ASCII names, nearly all of
// them, taken without ICU.
void appendFoldedName(std::string& out, std::string_view name);
// Whether `name`, as it stands or decomposed, is `decomposed`: a name
// met in either normalization form (a cover's "folder.jpg").
bool sameDecomposed(std::string_view name, std::string_view decomposed);

// Removes blanks and tabs (horizontal white space: TAB and the Unicode
// space separators, but no line breaks) from both ends.
std::string trimBlanksAndTabs(std::string_view s);

}  // namespace base::unicode
