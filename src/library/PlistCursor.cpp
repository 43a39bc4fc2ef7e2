#include "library/PlistCursor.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <initializer_list>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "base/Unicode.h"

namespace app {
namespace {

// Deeper than any export and well short of the full parser's own limit
// (256), which it then reports.
constexpr size_t kMaxDepth = 200;
// Bytes at hand before each step: a step reads one tag or one text, so
// only a text longer than this has to ask for more in the middle.
constexpr size_t kSlack = 16 * 1024;
// What one refill brings: a few of the source's pieces, so that the rest
// of the window is moved down rarely.
constexpr size_t kWindow = 256 * 1024;

using Byte = unsigned char;

struct ByteClasses {
  std::array<bool, 256> textPlain{};  // needs no look of its own in text
  std::array<bool, 256> nameStart{};
  std::array<bool, 256> name{};
  std::array<bool, 256> blank{};
};

constexpr ByteClasses makeByteClasses() {
  ByteClasses c;
  for (int b = 0x20; b < 0x7F; ++b) c.textPlain[b] = b != '<' && b != '&' && b != ']';
  c.textPlain['\t'] = true;
  for (int b = 'a'; b <= 'z'; ++b) c.nameStart[b] = c.nameStart[b - 32] = true;
  c.nameStart['_'] = true;
  c.name = c.nameStart;
  for (int b = '0'; b <= '9'; ++b) c.name[b] = true;
  c.name['-'] = c.name['.'] = true;
  c.blank[' '] = c.blank['\t'] = c.blank['\n'] = c.blank['\r'] = true;
  return c;
}
constexpr ByteClasses kBytes = makeByteClasses();

struct Starved {};
[[noreturn]] void starved() { throw Starved{}; }
[[noreturn]] void refuseForm() { throw PlistCursor::OutOfForm{}; }
// At least n bytes from p on, or the step is taken again with more.
inline void need(const Byte* p, const Byte* e, std::ptrdiff_t n) {
  if (e - p < n) starved();
}

// The length of the UTF-8 character XML allows at p: 1 to 4; 0 when the
// bytes end inside it; -1 when it is not one (a control character other
// than tab, LF and CR, DEL, bytes that are not UTF-8, U+FFFE, U+FFFF).
int charLength(const Byte* p, const Byte* e) {
  Byte c = p[0];
  if (c < 0x80) return (c >= 0x20 && c != 0x7F) || c == '\t' || c == '\n' || c == '\r' ? 1 : -1;
  int n;
  Byte low = 0x80, high = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return -1;
  }
  if (e - p < n) return 0;
  if (p[1] < low || p[1] > high) return -1;
  for (int i = 2; i < n; ++i)
    if (p[i] < 0x80 || p[i] > 0xBF) return -1;
  if (n == 3 && c == 0xEF && p[1] == 0xBF && p[2] >= 0xBE) return -1;
  return n;
}

bool isXmlChar(uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// The length of the reference at p ("&amp;", "&#38;", "&#x26;"), its
// character appended to `out` when given; 0 when the bytes end inside it;
// -1 for a reference the cursor does not take (an entity of the
// document's own, a character XML does not allow, a long spelling).
int referenceLength(const Byte* p, const Byte* e, std::string* out) {
  constexpr int kLongest = 12;
  const Byte* semicolon = p + 1;
  while (semicolon < e && semicolon - p < kLongest && *semicolon != ';') ++semicolon;
  if (semicolon == e) return semicolon - p < kLongest ? 0 : -1;
  if (*semicolon != ';') return -1;
  std::string_view name(reinterpret_cast<const char*>(p + 1),
                        static_cast<size_t>(semicolon - p - 1));
  int length = static_cast<int>(semicolon - p) + 1;
  char plain = 0;
  if (name == "amp") plain = '&';
  if (name == "lt") plain = '<';
  if (name == "gt") plain = '>';
  if (name == "quot") plain = '"';
  if (name == "apos") plain = '\'';
  if (plain) {
    if (out) out->push_back(plain);
    return length;
  }
  if (name.size() < 2 || name[0] != '#') return -1;
  bool hex = name[1] == 'x';
  std::string_view digits = name.substr(hex ? 2 : 1);
  if (digits.empty()) return -1;
  uint32_t value = 0;
  for (char d : digits) {
    int v;
    if (d >= '0' && d <= '9') {
      v = d - '0';
    } else if (hex && d >= 'a' && d <= 'f') {
      v = d - 'a' + 10;
    } else if (hex && d >= 'A' && d <= 'F') {
      v = d - 'A' + 10;
    } else {
      return -1;
    }
    value = value * (hex ? 16 : 10) + static_cast<uint32_t>(v);
    if (value > 0x10FFFF) return -1;
  }
  if (!isXmlChar(value)) return -1;
  if (out) base::unicode::appendUtf8(*out, value);
  return length;
}

// Past the blanks at p; a CR must begin a CR LF.
inline const Byte* skipBlanks(const Byte* p, const Byte* e) {
  for (;; ++p) {
    while (p < e && (*p == ' ' || *p == '\t' || *p == '\n')) ++p;
    need(p, e, 1);
    if (*p != '\r') return p;
    need(p, e, 2);
    if (p[1] != '\n') refuseForm();
  }
}

// The length of each element's name.
constexpr std::array<uint8_t, kTagCount> kTagLengths = [] {
  std::array<uint8_t, kTagCount> n{};
  for (int t = 0; t < kTagCount; ++t)
    while (kPlistTagNames[t][n[t]]) ++n[t];
  return n;
}();

// Past the bytes at p that a text takes as they are (printable ASCII but
// '<', '&' and ']', and tab), sixteen at a time where the bytes allow.
inline const Byte* plainRun(const Byte* p, const Byte* e) {
#ifdef __SSE2__
  const __m128i lt = _mm_set1_epi8('<'), amp = _mm_set1_epi8('&'), br = _mm_set1_epi8(']');
  const __m128i tab = _mm_set1_epi8('\t'), below = _mm_set1_epi8(0x20), del = _mm_set1_epi8(0x7E);
  while (e - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // Signed: bytes past ASCII count as below 0x20.
    __m128i stop = _mm_or_si128(_mm_cmplt_epi8(v, below), _mm_cmpgt_epi8(v, del));
    stop = _mm_andnot_si128(_mm_cmpeq_epi8(v, tab), stop);
    stop = _mm_or_si128(stop,
                        _mm_or_si128(_mm_cmpeq_epi8(v, lt),
                                     _mm_or_si128(_mm_cmpeq_epi8(v, amp), _mm_cmpeq_epi8(v, br))));
    const int mask = _mm_movemask_epi8(stop);
    if (mask) return p + __builtin_ctz(static_cast<unsigned>(mask));
    p += 16;
  }
#endif
  while (p < e && kBytes.textPlain[*p]) ++p;
  return p;
}

// The length of the character at p in a comment or an attribute value;
// refused when it is not one XML allows, or a lone CR.
int markupCharLength(const Byte* p, const Byte* e) {
  if (*p == '\r') {
    need(p, e, 2);
    if (p[1] != '\n') refuseForm();
  }
  int n = charLength(p, e);
  if (n == 0) starved();
  if (n < 0) refuseForm();
  return n;
}

bool sameBytes(const Byte* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (a[i] != static_cast<Byte>(b[i])) return false;
  return true;
}

// The property-list element a name names; kTagCount for any other.
PlistTag tagNamed(const Byte* p, size_t n) {
  auto is = [&](PlistTag t) { return sameBytes(p, kPlistTagNames[t], n); };
  switch (n) {
    case 3:
      return is(kKeyTag) ? kKeyTag : kTagCount;
    case 4:
      if (p[0] == 'd')
        return is(kDictTag)   ? kDictTag
               : is(kDateTag) ? kDateTag
               : is(kDataTag) ? kDataTag
                              : kTagCount;
      if (p[0] == 't') return is(kTrueTag) ? kTrueTag : kTagCount;
      return is(kRealTag) ? kRealTag : kTagCount;
    case 5:
      return is(kPlistTag)   ? kPlistTag
             : is(kArrayTag) ? kArrayTag
             : is(kFalseTag) ? kFalseTag
                             : kTagCount;
    case 6:
      return is(kStringTag) ? kStringTag : kTagCount;
    case 7:
      return is(kIntegerTag) ? kIntegerTag : kTagCount;
    default:
      return kTagCount;
  }
}

// The elements whose layout is not text.
bool isContainer(PlistTag t) {
  return t == kDictTag || t == kArrayTag || t == kPlistTag || t == kTrueTag || t == kFalseTag;
}

}  // namespace

PlistCursor::PlistCursor(ByteSource& source) : source_(source), buffer_(kWindow + kSlack) {}

void PlistCursor::fill(size_t want) {
  if (ended_) return;
  size_t keep = end_ - at_;
  if (at_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + at_, keep);
    at_ = 0;
    end_ = keep;
  }
  if (buffer_.size() < want) buffer_.resize(std::max(buffer_.size() * 2, want));
  while (end_ < want) {
    const size_t n = source_.readInto(buffer_.data() + end_, buffer_.size() - end_);
    if (n == 0) {
      ended_ = true;
      return;
    }
    end_ += n;
  }
}

template <class F>
auto PlistCursor::whole(F&& scan) -> decltype(scan()) {
  if (end_ - at_ < kSlack) fill(kWindow);
  for (;;) {
    try {
      return scan();
    } catch (const Starved&) {
      if (ended_) refuse();  // the document ends inside what the step reads
      fill(2 * (end_ - at_) + kWindow);
    }
  }
}

bool PlistCursor::advance() {
  // A scalar's text is read by readTextInto alone.
  if (kind_ == kStart && !empty_ && !isContainer(tag_)) refuse();
  switch (state_) {
    case State::kProlog:
      whole([&] { scanProlog(); });
      return true;
    case State::kContent:
      whole([&] { scanContent(); });
      return true;
    case State::kEpilog:
      whole([&] { return scanEpilog(); });
      state_ = State::kDone;
      [[fallthrough]];
    case State::kDone:
      kind_ = kNone;
      empty_ = false;
      return false;
  }
  return false;
}

bool PlistCursor::advanceItem(int64_t& id) {
  if (state_ != State::kContent || (kind_ == kStart && !empty_ && !isContainer(tag_))) refuse();
  // The entry opens a dict and its key inside it, the limit applying.
  if (open_.size() + 2 > kMaxDepth) {
    advance();
    return false;
  }
  return whole([&] {
    const auto* b = reinterpret_cast<const Byte*>(buffer_.data());
    const Byte* const e = b + end_;
    const Byte* p = skipBlanks(b + at_, e);
    auto take = [&](std::string_view s) {
      need(p, e, static_cast<std::ptrdiff_t>(s.size()));
      if (std::memcmp(p, s.data(), s.size()) != 0) return false;
      p += s.size();
      return true;
    };
    auto blanks = [&] {
      for (need(p, e, 1); *p == ' ' || *p == '\t' || *p == '\n'; need(p, e, 1)) ++p;
    };
    bool entry = take("<dict>");
    if (entry) blanks();
    entry = entry && take("<key>Track ID</key>");
    if (entry) blanks();
    entry = entry && take("<integer>");
    if (entry) {
      const Byte* digits = p;
      int64_t n = 0;
      // Past 18 digits the number is left to the step-by-step reading, so
      // nothing overflows on the way there.
      for (need(p, e, 1); *p >= '0' && *p <= '9'; need(p, e, 1)) {
        if (p - digits < 18) n = n * 10 + (*p - '0');
        ++p;
      }
      const auto count = p - digits;
      entry = count > 0 && count <= 18 && (count == 1 || *digits != '0') && take("</integer>");
      if (entry) blanks();
      entry = entry && take("</dict>");
      id = n;
    }
    if (!entry) {
      scanContent();
      return false;
    }
    at_ = static_cast<size_t>(p - b);
    kind_ = kEnd;
    tag_ = kDictTag;
    empty_ = false;
    return true;
  });
}

bool PlistCursor::nextEntry(std::string& key, long& keyLine) {
  if (kind_ == kStart && !empty_ && !isContainer(tag_)) refuse();
  // The form exports write, <key>plain text</key> and the value's start
  // tag, in one step; anything else step by step.
  const bool taken = whole([&] {
    const auto* b = reinterpret_cast<const Byte*>(buffer_.data());
    const Byte* const e = b + end_;
    const Byte* p = skipBlanks(b + at_, e);
    need(p, e, 6);
    if (std::memcmp(p, "<key>", 5) != 0) return false;
    const Byte* t = plainRun(p + 5, e);
    need(t, e, 8);
    if (std::memcmp(t, "</key>", 6) != 0) return false;
    const Byte* v = skipBlanks(t + 6, e);
    need(v, e, 2);
    if (v[0] != '<' || !kBytes.nameStart[v[1]]) return false;
    const size_t next = scanTag(static_cast<size_t>(v - b));
    if (tag_ == kKeyTag || tag_ == kPlistTag) refuse();  // no value
    key.assign(reinterpret_cast<const char*>(p + 5), static_cast<size_t>(t - p - 5));
    at_ = next;
    return true;
  });
  return taken || PlistReading::nextEntry(key, keyLine);
}

std::string_view PlistCursor::readTextInto(std::string* into, long*) {
  if (into) into->clear();
  if (kind_ != kStart || isContainer(tag_)) refuse();
  if (empty_) return {};
  whole([&] {
    if (into) into->clear();  // from the start again, with more at hand
    const auto* b = reinterpret_cast<const Byte*>(buffer_.data());
    const Byte* const e = b + end_;
    const Byte* p = b + at_;
    for (;;) {
      const Byte* run = p;
      p = plainRun(p, e);
      if (into && p > run)
        into->append(reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
      need(p, e, 1);
      const Byte c = *p;
      if (c == '<') break;
      if (c == '\n') {
        if (into) into->push_back('\n');
        ++p;
      } else if (c == '&') {
        int n = referenceLength(p, e, into);
        if (n == 0) starved();
        if (n < 0) refuse();
        p += n;
      } else if (c == ']') {
        need(p, e, 3);
        if (p[1] == ']' && p[2] == '>') refuse();
        if (into) into->push_back(']');
        ++p;
      } else if (c == '\r') {  // of a CR LF, read as LF
        need(p, e, 2);
        if (p[1] != '\n') refuse();
        if (into) into->push_back('\n');
        p += 2;
      } else {
        int n = charLength(p, e);
        if (n == 0) starved();
        if (n < 0) refuse();
        if (into) into->append(reinterpret_cast<const char*>(p), static_cast<size_t>(n));
        p += n;
      }
    }
    // Only the element's end may close its text: a comment or an element
    // inside it is left to the full parser.
    const char* name = kPlistTagNames[tag_];
    const size_t length = kTagLengths[tag_];
    need(p, e, static_cast<std::ptrdiff_t>(length) + 3);
    if (p[1] != '/' || !sameBytes(p + 2, name, length)) refuse();
    p += 2 + length;
    if (*p != '>') p = skipBlanks(p, e);
    if (*p != '>') refuse();
    at_ = static_cast<size_t>(p + 1 - b);
    kind_ = kEnd;
    open_.pop_back();
  });
  return into ? std::string_view(*into) : std::string_view();
}

// A start tag at `at` (its '<'): the element made current and opened.
size_t PlistCursor::scanTag(size_t at) {
  const auto* b = reinterpret_cast<const Byte*>(buffer_.data());
  const Byte* const e = b + end_;
  const Byte* p = b + at + 1;
  for (need(p, e, 1); kBytes.name[*p]; need(p, e, 1)) ++p;
  const PlistTag tag = tagNamed(b + at + 1, static_cast<size_t>(p - (b + at + 1)));
  if (tag == kTagCount) refuse();  // no element of a property list
  struct {
    const Byte* name;
    size_t length;
  } attributes[8];  // left unset: most tags have none
  size_t attributeCount = 0;
  bool empty = false;
  // Most tags end right after their name.
  need(p, e, 2);
  bool ended = *p == '>';
  if (p[0] == '/' && p[1] == '>') {
    empty = ended = true;
    ++p;
  }
  while (!ended) {
    const Byte* from = p;
    p = skipBlanks(p, e);
    need(p, e, 2);
    if (*p == '>') break;
    if (*p == '/') {
      if (p[1] != '>') refuse();
      empty = true;
      ++p;
      break;
    }
    if (p == from || !kBytes.nameStart[*p]) refuse();
    const Byte* a = p;
    for (need(p, e, 1); kBytes.name[*p]; need(p, e, 1)) ++p;
    const size_t length = static_cast<size_t>(p - a);
    for (size_t i = 0; i < attributeCount; ++i)
      if (attributes[i].length == length && std::memcmp(attributes[i].name, a, length) == 0)
        refuse();  // said twice
    if (attributeCount == std::size(attributes)) refuse();
    attributes[attributeCount++] = {a, length};
    p = skipBlanks(p, e);
    if (*p != '=') refuse();
    p = skipBlanks(p + 1, e);
    if (*p != '"' && *p != '\'') refuse();
    const Byte quote = *p++;
    for (need(p, e, 1); *p != quote; need(p, e, 1)) {
      if (*p == '<' || *p == '&') refuse();
      p += markupCharLength(p, e);
    }
    ++p;
  }
  if (!empty && open_.size() >= kMaxDepth) refuse();
  kind_ = kStart;
  tag_ = tag;
  empty_ = empty;
  if (!empty) open_.push_back(tag);
  return static_cast<size_t>(p + 1 - b);
}

void PlistCursor::scanContent() {
  const auto* b = reinterpret_cast<const Byte*>(buffer_.data());
  const Byte* const e = b + end_;
  const Byte* p = b + at_;
  for (;;) {
    p = skipBlanks(p, e);
    need(p, e, 2);
    if (*p != '<') refuse();  // text between a container's elements
    if (p[1] == '/') {
      const PlistTag open = open_.back();
      const char* name = kPlistTagNames[open];
      const size_t length = kTagLengths[open];
      need(p, e, static_cast<std::ptrdiff_t>(length) + 3);
      if (!sameBytes(p + 2, name, length)) refuse();
      p += 2 + length;
      if (*p != '>') p = skipBlanks(p, e);
      if (*p != '>') refuse();
      at_ = static_cast<size_t>(p + 1 - b);
      kind_ = kEnd;
      tag_ = open;
      empty_ = false;
      open_.pop_back();
      if (open_.empty()) state_ = State::kEpilog;
      return;
    }
    if (p[1] == '!') {
      need(p, e, 4);
      if (std::memcmp(p, "<!--", 4) != 0) refuse();  // CDATA and anything else
      p = b + scanComment(static_cast<size_t>(p - b));
      continue;
    }
    if (!kBytes.nameStart[p[1]]) refuse();  // processing instructions and errors
    at_ = scanTag(static_cast<size_t>(p - b));
    return;
  }
}

// The byte order mark, the declaration, comments, the document type and
// the root's start.
void PlistCursor::scanProlog() {
  const auto* b = reinterpret_cast<const Byte*>(buffer_.data());
  const Byte* const e = b + end_;
  const Byte* p = b + at_;
  if (e - p >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) p += 3;
  auto starts = [&](const Byte* at, std::string_view s) {
    return static_cast<size_t>(e - at) >= s.size() && std::memcmp(at, s.data(), s.size()) == 0;
  };
  if (starts(p, "<?xml")) {
    const Byte* end = p;
    while (!(end[0] == '?' && end[1] == '>')) {
      ++end;
      need(end, e, 2);
    }
    // version, then encoding, then standalone, each after blanks, each
    // with one value that the cursor takes as it is.
    const Byte* q = p + 5;
    auto blanks = [&] {
      const Byte* from = q;
      while (q < end && kBytes.blank[*q]) {
        if (*q == '\r' && q[1] != '\n') refuse();
        ++q;
      }
      return q > from;
    };
    auto attribute = [&](std::string_view name, std::initializer_list<std::string_view> values,
                         bool anyCase) {
      if (!starts(q, name)) return false;
      q += name.size();
      blanks();
      if (q == end || *q != '=') refuse();
      ++q;
      blanks();
      if (q == end || (*q != '"' && *q != '\'')) refuse();
      const Byte quote = *q++;
      const Byte* v = q;
      while (q < end && *q != quote) ++q;
      if (q == end) refuse();
      std::string value(v, q);
      ++q;
      if (anyCase)
        for (char& c : value) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
      if (std::find(values.begin(), values.end(), value) == values.end()) refuse();
      return true;
    };
    if (!blanks() || !attribute("version", {"1.0"}, false)) refuse();
    bool spaced = blanks();
    if (spaced && attribute("encoding", {"UTF-8"}, true)) spaced = blanks();
    if (spaced && attribute("standalone", {"yes", "no"}, false)) blanks();
    if (q != end) refuse();
    p = end + 2;
  }
  bool sawDoctype = false;
  for (;;) {
    p = skipBlanks(p, e);
    need(p, e, 2);
    if (*p != '<') refuse();  // text outside the root
    if (p[1] == '!') {
      need(p, e, 4);
      if (std::memcmp(p, "<!--", 4) == 0) {
        p = b + scanComment(static_cast<size_t>(p - b));
        continue;
      }
      need(p, e, 9);
      if (std::memcmp(p, "<!DOCTYPE", 9) != 0 || sawDoctype) refuse();
      p = b + scanDoctype(static_cast<size_t>(p - b));
      sawDoctype = true;
      continue;
    }
    if (!kBytes.nameStart[p[1]]) refuse();
    at_ = scanTag(static_cast<size_t>(p - b));
    state_ = empty_ ? State::kEpilog : State::kContent;
    return;
  }
}

// Blanks and comments after the root, to the end; anything else is out
// of form.
bool PlistCursor::scanEpilog() {
  const auto* b = reinterpret_cast<const Byte*>(buffer_.data());
  const Byte* const e = b + end_;
  const Byte* p = b + at_;
  for (;;) {
    while (p < e && kBytes.blank[*p]) {
      if (*p == '\r') {
        need(p, e, 2);
        if (p[1] != '\n') refuse();
      }
      ++p;
    }
    if (p == e) {
      if (!ended_) starved();
      at_ = end_;
      return false;
    }
    need(p, e, 4);
    if (std::memcmp(p, "<!--", 4) != 0) refuse();
    p = b + scanComment(static_cast<size_t>(p - b));
  }
}

size_t PlistCursor::scanComment(size_t at) const {
  const auto* b = reinterpret_cast<const Byte*>(buffer_.data());
  const Byte* const e = b + end_;
  const Byte* p = b + at + 4;
  for (;;) {
    need(p, e, 1);
    if (*p == '-') {
      need(p, e, 3);
      if (p[1] == '-') {
        if (p[2] != '>') refuse();  // "--" inside a comment
        return static_cast<size_t>(p + 3 - b);
      }
      ++p;
      continue;
    }
    p += markupCharLength(p, e);
  }
}

// <!DOCTYPE name>, <!DOCTYPE name SYSTEM "system"> or <!DOCTYPE name
// PUBLIC "public" "system">; an internal subset is refused.
size_t PlistCursor::scanDoctype(size_t at) const {
  const auto* b = reinterpret_cast<const Byte*>(buffer_.data());
  const Byte* const e = b + end_;
  // Its end first, so that what follows reads from whole bytes.
  const Byte* close = b + at + 9;
  for (Byte quote = 0; need(close, e, 1), quote || *close != '>'; ++close) {
    if (quote) {
      quote = *close == quote ? 0 : quote;
    } else if (*close == '"' || *close == '\'') {
      quote = *close;
    } else if (*close == '[') {
      refuse();
    }
  }
  const Byte* p = b + at + 9;
  auto blanks = [&] {
    const Byte* from = p;
    while (p < close && kBytes.blank[*p]) {
      if (*p == '\r' && p[1] != '\n') refuse();  // a CR before the '>' is not a CR LF
      ++p;
    }
    return p > from;
  };
  auto word = [&](std::string_view w) {
    if (static_cast<size_t>(close - p) < w.size() || std::memcmp(p, w.data(), w.size()) != 0)
      return false;
    p += w.size();
    return true;
  };
  auto literal = [&](bool publicId) {
    if (p == close || (*p != '"' && *p != '\'')) refuse();
    const Byte quote = *p++;
    while (*p != quote) {
      static constexpr std::string_view kPublic = " \n-'()+,./:=?;!*#@$_%";
      if (publicId && !kBytes.name[*p] && kPublic.find(static_cast<char>(*p)) == kPublic.npos)
        refuse();
      int n = charLength(p, close);
      if (n <= 0 || *p == '\r') refuse();
      p += n;
    }
    ++p;
  };
  if (!blanks() || p == close || !kBytes.nameStart[*p]) refuse();
  while (p < close && kBytes.name[*p]) ++p;
  if (blanks()) {
    if (word("PUBLIC")) {
      if (!blanks()) refuse();
      literal(true);
      if (!blanks()) refuse();
      literal(false);
    } else if (word("SYSTEM")) {
      if (!blanks()) refuse();
      literal(false);
    }
    blanks();
  }
  if (p != close) refuse();
  return static_cast<size_t>(close + 1 - b);
}

}  // namespace app
