#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>

#include "base/Unicode.h"
#include "session/DestinationLayout.h"

// The names the layout gives: what a FAT or exFAT volume can store and a
// player reads back, cut to the volume's limit, numbered when taken.
namespace app {
namespace {

bool isTrailingJunk(char c) { return c == '.' || c == ' '; }

void stripTrailingDotsAndBlanks(std::string& s) {
  while (!s.empty() && isTrailingJunk(s.back())) s.pop_back();
}

// Control characters and bytes that do not form UTF-8 cannot be stored in
// a FAT or exFAT name (which is UTF-16); each becomes "_".
std::string replaceUnstorable(std::string_view s) {
  // No control character and UTF-8 throughout, as most names are:
  // nothing to replace.
  bool plain = true;
  for (char c : s) plain = plain && (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
  if (plain && base::unicode::isValidUtf8(s)) return std::string(s);
  std::string out;
  out.reserve(s.size());
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  int32_t length = static_cast<int32_t>(s.size());
  for (int32_t i = 0; i < length;) {
    int32_t start = i;
    UChar32 c;
    U8_NEXT(p, i, length, c);
    if (c < 0 || c < 0x20 || c == 0x7F) {
      out.push_back('_');
    } else {
      out.append(s.substr(start, i - start));
    }
  }
  return out;
}

// The characters replaceUnsafe() turns into "_".
constexpr std::string_view kUnsafe = "\\/:*?\"<>|#%";

// What a FAT or exFAT name cannot hold becomes "_", and so do "#" and
// "%": players read a playlist entry as a URI, where they begin a
// fragment or an escape. Typographic double quotes go too and single
// ones become "'", as names have always been on the drive. "$", ";" and
// "'" are ordinary characters in a name and stay.
constexpr std::array<bool, 256> kUnsafeByte = [] {
  std::array<bool, 256> unsafe{};
  for (char c : kUnsafe) unsafe[static_cast<unsigned char>(c)] = true;
  return unsafe;
}();

std::string replaceUnsafe(std::string_view name) {
  // Most names hold none of them, nor a typographic quote (E2 80 ..).
  bool plain = true;
  for (char c : name)
    plain = plain && !kUnsafeByte[static_cast<unsigned char>(c)] &&
            static_cast<unsigned char>(c) != 0xE2;
  if (plain) return std::string(name);
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (kUnsafeByte[static_cast<unsigned char>(c)]) {
      out.push_back('_');
      continue;
    }
    if (static_cast<unsigned char>(c) == 0xE2 && i + 2 < name.size() &&
        static_cast<unsigned char>(name[i + 1]) == 0x80) {
      unsigned char third = static_cast<unsigned char>(name[i + 2]);
      if (third == 0x9C || third == 0x9D || third == 0x98 || third == 0x99) {
        out.push_back(third >= 0x9C ? '_' : '\'');
        i += 2;
        continue;
      }
    }
    out.push_back(c);
  }
  return out;
}

bool isReservedDeviceName(std::string_view name) {
  // Windows refuses these as a whole name and as the part before any dot.
  std::string_view stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  if (stem.size() != 3 && stem.size() != 4) return false;
  std::string upper;
  for (char c : stem) upper.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c);
  static const std::array<const char*, 4> plain = {"CON", "PRN", "AUX", "NUL"};
  for (const char* r : plain)
    if (upper == r) return true;
  if (upper.size() == 4 && (upper.compare(0, 3, "COM") == 0 || upper.compare(0, 3, "LPT") == 0) &&
      upper[3] >= '1' && upper[3] <= '9') {
    return true;
  }
  return false;
}

// The extension (with its dot) that shortening keeps; a name that starts
// with its only dot, or whose "extension" is long, has none.
size_t extensionStart(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || name.size() - dot > 16) return name.size();
  return dot;
}

// The longest prefix of s of at most max bytes that ends on a character
// boundary and does not separate a base letter from its combining marks.
std::string_view cutUtf8(std::string_view s, size_t max) {
  if (s.size() <= max) return s;
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  int32_t end = static_cast<int32_t>(max);
  U8_SET_CP_START(p, 0, end);
  // Back off while the character at `end` continues the one before it.
  while (end > 0) {
    int32_t i = end;
    UChar32 c;
    U8_NEXT(p, i, static_cast<int32_t>(s.size()), c);
    if (c < 0 || !u_hasBinaryProperty(c, UCHAR_GRAPHEME_EXTEND)) break;
    U8_BACK_1(p, 0, end);
  }
  return s.substr(0, static_cast<size_t>(end));
}

std::string fit(std::string_view base, std::string_view tail, size_t reserve) {
  size_t budget = DestinationLayout::kMaxNameBytes - reserve;
  size_t room = tail.size() < budget ? budget - tail.size() : 0;
  std::string b(cutUtf8(base, room));
  stripTrailingDotsAndBlanks(b);
  if (b.empty()) b = "_";
  std::string out = b + std::string(tail);
  if (out.size() > budget) out = std::string(cutUtf8(out, budget));
  stripTrailingDotsAndBlanks(out);
  return out.empty() ? "_" : out;
}

// Printable ASCII without a character that replaceUnsafe() changes: the
// name as it stands is already composed and storable.
bool plainSafeAscii(std::string_view name) {
  for (char c : name) {
    if (c < 0x20 || c >= 0x7F || kUnsafe.find(c) != std::string_view::npos) return false;
  }
  return true;
}

}  // namespace

std::string DestinationLayout::safeComponent(std::string_view name, size_t reserve) {
  // Composed, as other systems write names and expect to read them.
  std::string s = plainSafeAscii(name) ? std::string(name)
                                       : replaceUnstorable(base::unicode::nfc(replaceUnsafe(name)));
  stripTrailingDotsAndBlanks(s);
  // A leading dot hides a file or folder ("...And More" would vanish
  // from a file manager's view and from players that skip hidden items).
  s.erase(0, s.find_first_not_of('.'));
  if (s.empty()) s = "_";
  if (isReservedDeviceName(s)) s.insert(s.begin(), '_');
  if (s.size() + reserve <= kMaxNameBytes) return s;
  size_t ext = extensionStart(s);
  return fit(std::string_view(s).substr(0, ext), std::string_view(s).substr(ext), reserve);
}

std::string DestinationLayout::numbered(std::string_view safeName, int n, size_t reserve,
                                        bool keepExtension) {
  size_t ext = keepExtension ? extensionStart(safeName) : safeName.size();
  std::string tail = " (" + std::to_string(n) + ")" + std::string(safeName.substr(ext));
  return fit(safeName.substr(0, ext), tail, reserve);
}

std::string DestinationLayout::durationText(std::optional<int64_t> totalTimeMs) {
  if (!totalTimeMs || *totalTimeMs < 0) return "-1";
  return std::to_string((*totalTimeMs + 500) / 1000);
}

// A component as the layout spelled it before names were composed and
// kept "$" and ";" and their leading dots: a track the drive holds under
// such a name is still its own, and moves to its new name.
std::string DestinationLayout::legacyComponent(std::string_view name) {
  std::string s = replaceUnsafe(name);
  for (char& c : s)
    if (c == '$' || c == ';') c = '_';
  s = replaceUnstorable(s);
  stripTrailingDotsAndBlanks(s);
  if (s.empty()) s = "_";
  if (isReservedDeviceName(s)) s.insert(s.begin(), '_');
  if (s.size() <= kMaxNameBytes) return s;
  size_t ext = extensionStart(s);
  return fit(std::string_view(s).substr(0, ext), std::string_view(s).substr(ext), 0);
}

}  // namespace app
