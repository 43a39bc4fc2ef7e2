#include "library/PlistScanner.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace app {
namespace {

// Deeper than any export and well short of the parser's own limit (256),
// which the full parser then reports.
constexpr size_t kMaxDepth = 200;
// An export names a dozen kinds of element; a document with many more is
// not one.
constexpr size_t kMaxNames = 64;
constexpr size_t kMaxNameBytes = 1000;
// Tokens handed over per call, so that the reader walks a bounded batch.
constexpr int kTokensPerCall = 4096;

struct ByteClasses {
  std::array<bool, 256> textPlain{};  // needs no look of its own in text
  std::array<bool, 256> nameStart{};
  std::array<bool, 256> name{};
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
  return c;
}
constexpr ByteClasses kBytes = makeByteClasses();

using Byte = unsigned char;

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

void appendUtf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

bool isXmlChar(uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// The length of the reference at p ("&amp;", "&#38;", "&#x26;"), its
// character appended to `out` when given; 0 when the bytes end inside it;
// -1 for a reference the scanner does not take (an entity of the
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
  if (out) appendUtf8(*out, value);
  return length;
}

bool isBlank(Byte c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

[[noreturn]] void refuseForm() { throw PlistScanner::OutOfForm{}; }

// Past the blanks at p, counting lines; a CR must begin a CR LF. At e
// when the bytes end inside the blanks, so the caller asks for more.
const Byte* skipBlanks(const Byte* p, const Byte* e, long& lines) {
  for (; p < e && isBlank(*p); ++p) {
    if (*p == '\r') {
      if (p + 1 == e) return e;
      if (p[1] != '\n') refuseForm();
    }
    lines += *p == '\n';
  }
  return p;
}

// The length of the character at p in a comment or an attribute value,
// its line counted: 0 when the bytes end inside it (or a CR LF); refused
// when it is not one XML allows, or a lone CR.
int markupCharLength(const Byte* p, const Byte* e, long& lines) {
  if (*p == '\r') {
    if (e - p < 2) return 0;
    if (p[1] != '\n') refuseForm();
  }
  int n = charLength(p, e);
  if (n < 0) refuseForm();
  lines += *p == '\n';
  return n;
}

bool allBlank(const Byte* b, const Byte* e) { return std::all_of(b, e, isBlank); }

// Where the push parser says a text is: the line it has reached when it
// hands over the first part of the text that is kept (in a container
// element, a part of layout alone is not). It hands a text over in parts:
// each reference alone; ASCII up to a reference, a CR or a byte past
// ASCII (after a CR LF the LF begins the next part, its line counted);
// from a byte past ASCII on, parts of 300 bytes or more up to the next
// reference, each handed over before the line of its last character is
// counted, a CR LF being one LF.
long parserLineOfText(const Byte* b, const Byte* e, long line, bool container) {
  const long first = line;
  auto kept = [&](const Byte* from, const Byte* to) { return !container || !allBlank(from, to); };
  const Byte* p = b;
  while (p < e) {
    if (*p == '&') {
      std::string character;
      p += referenceLength(p, e, &character);
      const auto* c = reinterpret_cast<const Byte*>(character.data());
      if (kept(c, c + character.size())) return line;
      continue;
    }
    const Byte* from = p;
    bool slow = *p >= 0x80;
    while (!slow) {
      while (p < e && *p < 0x80 && *p != '&' && *p != '\r') line += *p++ == '\n';
      if (p > from && kept(from, p)) return line;
      if (p < e && *p == '\r') {  // its LF begins the next part, its line counted
        from = ++p;
        ++p;
        ++line;
        if (p < e && *p >= 0x80) {  // the slow look starts at the LF and counts it
          --line;
          p = from;
          slow = true;
        }
        continue;
      }
      if (p < e && *p >= 0x80) {
        from = p;
        slow = true;
      }
      break;  // at a reference, at the end, or on to the slow look
    }
    if (!slow) continue;
    size_t bytes = 0;
    while (p < e && *p != '&') {
      const Byte* at = p;
      if (*p == '\r') ++p;  // of a CR LF, taken as its LF
      int n = charLength(p, e);
      if (n <= 0) return first;
      p += n;
      bytes += static_cast<size_t>(n);
      if (bytes >= 300) {
        if (kept(from, p)) return line;
        bytes = 0;
        from = p;
      }
      line += *at == '\n' || *at == '\r';
    }
    if (p > from && kept(from, p)) return line;
  }
  return first;
}

}  // namespace

PlistScanner::PlistScanner(ByteSource& source) : source_(source), buffer_(64 * 1024) {}

// Names are a few bytes long: compared in a loop rather than by a call.
bool sameBytes(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

const PlistScanner::Name& PlistScanner::named(std::string_view name) {
  // Most elements repeat a name seen before: one look in a small table
  // by length and last letter answers them.
  const Name*& seen =
      seen_[(name.size() * 8 + static_cast<unsigned char>(name.back())) % seen_.size()];
  if (seen && seen->text.size() == name.size() &&
      sameBytes(seen->text.data(), name.data(), name.size()))
    return *seen;
  for (const Name& n : names_) {
    if (n.text == name) return *(seen = &n);
  }
  if (names_.size() >= kMaxNames) refuse();
  static constexpr std::string_view kContainers[] = {"dict", "array", "plist", "true", "false"};
  bool container =
      std::find(std::begin(kContainers), std::end(kContainers), name) != std::end(kContainers);
  names_.push_back({std::string(name), container});
  return *(seen = &names_.back());
}

bool PlistScanner::more() {
  if (ended_) return false;
  size_t keep = end_ - at_;
  if (at_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + at_, keep);
    at_ = 0;
    end_ = keep;
  }
  // The unfinished token is scanned again from its start: reading until
  // what is left at least doubles keeps a long one's cost linear.
  size_t target = keep + std::max<size_t>(keep, 1);
  bool grew = false;
  while (end_ < target) {
    std::string_view piece = source_.next();
    if (piece.empty()) {
      ended_ = true;
      break;
    }
    if (buffer_.size() < end_ + piece.size())
      buffer_.resize(std::max(buffer_.size() * 2, end_ + piece.size()));
    std::memcpy(buffer_.data() + end_, piece.data(), piece.size());
    end_ += piece.size();
    grew = true;
  }
  return grew;
}

bool PlistScanner::scanSome(Sink& sink) {
  for (int tokens = 0; tokens < kTokensPerCall && state_ != State::kDone; ++tokens) {
    Step step = Step::kDone;
    switch (state_) {
      case State::kStart:
        step = scanDeclaration();
        break;
      case State::kProlog:
      case State::kEpilog:
        step = scanMisc(sink);
        break;
      case State::kContent:
        step = scanContent(sink);
        break;
      case State::kDone:
        break;
    }
    if (step == Step::kMore && !more()) {
      if (state_ != State::kEpilog || at_ != end_) refuse();  // the document ends inside a token
      state_ = State::kDone;
    }
  }
  return state_ != State::kDone;
}

bool PlistScanner::containerOpen() const { return open_.empty() || open_.back().container; }

PlistScanner::Step PlistScanner::scanDeclaration() {
  const auto* b = reinterpret_cast<const Byte*>(buffer_.data());
  const Byte* p = b + at_;
  const Byte* e = b + end_;
  // Enough bytes to tell a byte order mark and a declaration apart.
  if (e - p < 6 && !ended_) return Step::kMore;
  if (e - p >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) p += 3;
  auto starts = [&](const Byte* at, std::string_view s) {
    return static_cast<size_t>(e - at) >= s.size() && std::memcmp(at, s.data(), s.size()) == 0;
  };
  if (!starts(p, "<?xml")) {
    at_ = static_cast<size_t>(p - b);
    state_ = State::kProlog;
    return Step::kDone;
  }
  const Byte* end = p;
  while (end + 1 < e && !(end[0] == '?' && end[1] == '>')) ++end;
  if (end + 1 >= e) return Step::kMore;
  // version, then encoding, then standalone, each after blanks, each
  // with one value that the scanner takes as it is.
  const Byte* q = p + 5;
  long lines = 0;
  auto blanks = [&] {
    const Byte* from = q;
    q = skipBlanks(q, end + 1, lines);
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
    Byte quote = *q++;
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
  line_ += lines;
  at_ = static_cast<size_t>(end + 2 - b);
  state_ = State::kProlog;
  return Step::kDone;
}

// Blanks, comments, the document type before the root and the root's
// start.
PlistScanner::Step PlistScanner::scanMisc(Sink& sink) {
  const auto* b = reinterpret_cast<const Byte*>(buffer_.data());
  const Byte* e = b + end_;
  const Byte* p = b + at_;
  long lines = 0;
  p = skipBlanks(p, e, lines);
  if (p == e) {
    // Up to a CR that may begin a CR LF.
    while (p > b + at_ && p[-1] == '\r') --p;
    lines = std::count(b + at_, p, '\n');
  }
  line_ += lines;
  at_ = static_cast<size_t>(p - b);
  if (e - p < 4) return Step::kMore;
  if (*p != '<') refuse();  // text outside the root
  if (p[1] == '!') {
    if (std::memcmp(p, "<!--", 4) != 0 && e - p < 9) return Step::kMore;
    size_t at = at_;
    long line = line_;
    Step step;
    if (std::memcmp(p, "<!--", 4) == 0) {
      step = scanComment(at, line);
    } else if (std::memcmp(p, "<!DOCTYPE", 9) == 0 && state_ == State::kProlog && !sawDoctype_) {
      step = scanDoctype(at, line);
      sawDoctype_ = true;
    } else {
      refuse();
    }
    if (step == Step::kMore) {
      sawDoctype_ = false;
      return step;
    }
    at_ = at;
    line_ = line;
    return Step::kDone;
  }
  if (state_ == State::kEpilog || !kBytes.nameStart[p[1]]) refuse();
  Step step = scanStartTag(sink);
  if (step == Step::kDone) state_ = open_.empty() ? State::kEpilog : State::kContent;
  return step;
}

PlistScanner::Step PlistScanner::scanComment(size_t& at, long& line) const {
  const auto* b = reinterpret_cast<const Byte*>(buffer_.data());
  const Byte* e = b + end_;
  const Byte* p = b + at + 4;
  long lines = 0;
  for (;;) {
    if (p == e) return Step::kMore;
    if (*p == '-') {
      if (e - p < 3) return Step::kMore;
      if (p[1] == '-') {
        if (p[2] != '>') refuse();  // "--" inside a comment
        at = static_cast<size_t>(p + 3 - b);
        line += lines;
        return Step::kDone;
      }
      ++p;
      continue;
    }
    int n = markupCharLength(p, e, lines);
    if (n == 0) return Step::kMore;
    p += n;
  }
}

// <!DOCTYPE name>, <!DOCTYPE name SYSTEM "system"> or <!DOCTYPE name
// PUBLIC "public" "system">; an internal subset is refused.
PlistScanner::Step PlistScanner::scanDoctype(size_t& at, long& line) const {
  const auto* b = reinterpret_cast<const Byte*>(buffer_.data());
  const Byte* e = b + end_;
  // Its end first, so that what follows reads from whole bytes.
  const Byte* close = b + at + 9;
  for (Byte quote = 0; close < e && (quote || *close != '>'); ++close) {
    if (quote) {
      quote = *close == quote ? 0 : quote;
    } else if (*close == '"' || *close == '\'') {
      quote = *close;
    } else if (*close == '[') {
      refuse();
    }
  }
  if (close == e) return Step::kMore;
  const Byte* p = b + at + 9;
  long lines = 0;
  auto blanks = [&] {
    const Byte* from = p;
    p = skipBlanks(p, close + 1, lines);  // a CR before the '>' is not a CR LF
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
    Byte quote = *p++;
    while (*p != quote) {
      static constexpr std::string_view kPublic = " \n-'()+,./:=?;!*#@$_%";
      if (publicId && !kBytes.name[*p] && kPublic.find(static_cast<char>(*p)) == kPublic.npos)
        refuse();
      int n = charLength(p, close);
      if (n <= 0 || *p == '\r') refuse();
      lines += *p == '\n';
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
  at = static_cast<size_t>(close + 1 - b);
  line += lines;
  return Step::kDone;
}

PlistScanner::Step PlistScanner::scanContent(Sink& sink) {
  if (end_ - at_ < 2) return Step::kMore;
  const char* p = buffer_.data() + at_;
  if (p[0] != '<') return scanText(sink);
  if (p[1] == '/') return scanEndTag(sink);
  if (p[1] == '!') {
    if (end_ - at_ < 4) return Step::kMore;
    if (std::memcmp(p, "<!--", 4) != 0) refuse();  // CDATA and anything else
    size_t at = at_;
    long line = line_;
    if (scanComment(at, line) == Step::kMore) return Step::kMore;
    at_ = at;
    line_ = line;
    return Step::kDone;
  }
  if (!kBytes.nameStart[static_cast<Byte>(p[1])]) refuse();  // processing instructions and errors
  if (p[1] == 'd' && sink.takesItems() && scanItem(sink)) return Step::kDone;
  return scanStartTag(sink);
}

// A library is mostly playlist entries, each eight tokens in one fixed
// form: matched as a whole here. Anything else, or an entry the bytes at
// hand end inside, is left to the token-by-token scan, which then reads
// it (the same parts, the same lines).
bool PlistScanner::scanItem(Sink& sink) {
  // The scan would open the dict and its key, the limit applying.
  if (open_.size() + 1 >= kMaxDepth) return false;
  const char* p = buffer_.data() + at_;
  const char* const e = buffer_.data() + end_;
  auto take = [&](std::string_view s) {
    if (static_cast<size_t>(e - p) < s.size() || std::memcmp(p, s.data(), s.size()) != 0)
      return false;
    p += s.size();
    return true;
  };
  auto blanks = [&](long& lines) {
    while (p < e && (*p == ' ' || *p == '\t' || *p == '\n')) lines += *p++ == '\n';
  };
  long keyLines = 0, valueLines = 0, endLines = 0;
  if (!take("<dict>")) return false;
  blanks(keyLines);
  if (!take("<key>Track ID</key>")) return false;
  blanks(valueLines);
  if (!take("<integer>")) return false;
  const char* digits = p;
  int64_t id = 0;
  // Past 18 digits the number is refused below: no more are added, so
  // that nothing overflows on the way there.
  while (p < e && *p >= '0' && *p <= '9') {
    if (p - digits < 18) id = id * 10 + (*p - '0');
    ++p;
  }
  const auto count = p - digits;
  // Read back from the number, the text is the same: no leading zero,
  // no overflow.
  if (count == 0 || count > 18 || (count > 1 && *digits == '0')) return false;
  if (!take("</integer>")) return false;
  blanks(endLines);
  if (!take("</dict>")) return false;
  if (keyLines > 255 || valueLines > 255) return false;
  // The layout up to the next tag, which a container does not give.
  if (containerOpen()) {
    const char* q = p;
    long lines = 0;
    while (q < e && (*q == ' ' || *q == '\t' || *q == '\n')) lines += *q++ == '\n';
    if (q < e && *q == '<') {
      p = q;
      endLines += lines;
    }
  }
  // The names as a scan of the parts would intern them, with its limit.
  if (!itemNamesInterned_) {
    named("dict");
    named("key");
    named("integer");
    itemNamesInterned_ = true;
  }
  sink.item(id, line_, static_cast<int>(keyLines), static_cast<int>(valueLines));
  line_ += keyLines + valueLines + endLines;
  at_ = static_cast<size_t>(p - buffer_.data());
  return true;
}

PlistScanner::Step PlistScanner::scanStartTag(Sink& sink) {
  const auto* b = reinterpret_cast<const Byte*>(buffer_.data());
  const Byte* e = b + end_;
  const Byte* p = b + at_ + 1;
  while (p < e && kBytes.name[*p]) ++p;
  if (p == e) return Step::kMore;
  std::string_view name(reinterpret_cast<const char*>(b + at_ + 1),
                        static_cast<size_t>(p - (b + at_ + 1)));
  if (name.size() > kMaxNameBytes) refuse();
  long lines = 0;
  struct {
    const Byte* name;
    size_t length;
  } attributes[8];  // left unset: most tags have none
  size_t attributeCount = 0;
  bool empty = false;
  for (;;) {
    const Byte* from = p;
    p = skipBlanks(p, e, lines);
    if (e - p < 2) return Step::kMore;
    if (*p == '>') break;
    if (*p == '/') {
      if (p[1] != '>') refuse();
      empty = true;
      break;
    }
    if (p == from || !kBytes.nameStart[*p]) refuse();
    const Byte* a = p;
    while (p < e && kBytes.name[*p]) ++p;
    if (p == e) return Step::kMore;
    size_t length = static_cast<size_t>(p - a);
    for (size_t i = 0; i < attributeCount; ++i)
      if (attributes[i].length == length && std::memcmp(attributes[i].name, a, length) == 0)
        refuse();  // said twice
    if (attributeCount == std::size(attributes)) refuse();
    attributes[attributeCount++] = {a, length};
    p = skipBlanks(p, e, lines);
    if (p == e) return Step::kMore;
    if (*p != '=') refuse();
    p = skipBlanks(p + 1, e, lines);
    if (p == e) return Step::kMore;
    if (*p != '"' && *p != '\'') refuse();
    Byte quote = *p++;
    while (p < e && *p != quote) {
      if (*p == '<' || *p == '&') refuse();
      int n = markupCharLength(p, e, lines);
      if (n == 0) return Step::kMore;
      p += n;
    }
    if (p == e) return Step::kMore;
    ++p;
  }
  if (open_.size() >= kMaxDepth) refuse();
  const Name& interned = named(name);
  line_ += lines;
  at_ = static_cast<size_t>(p + (empty ? 2 : 1) - b);
  open_.push_back({interned.text.c_str(), name.size(), interned.container});
  sink.startElement(interned.text.c_str(), line_);
  if (empty) {
    open_.pop_back();
    sink.endElement();
  }
  return Step::kDone;
}

PlistScanner::Step PlistScanner::scanEndTag(Sink& sink) {
  const auto* b = reinterpret_cast<const Byte*>(buffer_.data());
  const Byte* e = b + end_;
  const Byte* p = b + at_ + 2;
  // Only the open element's name may follow: compared as it stands.
  const Open& open = open_.back();
  if (static_cast<size_t>(e - p) <= open.length) return Step::kMore;
  if (!sameBytes(reinterpret_cast<const char*>(p), open.name, open.length)) refuse();
  p += open.length;
  long lines = 0;
  if (*p != '>') {
    p = skipBlanks(p, e, lines);
    if (p == e) return Step::kMore;
    if (*p != '>') refuse();
  }
  line_ += lines;
  at_ = static_cast<size_t>(p + 1 - b);
  open_.pop_back();
  sink.endElement();
  if (open_.empty()) state_ = State::kEpilog;
  return Step::kDone;
}

PlistScanner::Step PlistScanner::scanText(Sink& sink) {
  const auto* b = reinterpret_cast<const Byte*>(buffer_.data()) + at_;
  const Byte* e = reinterpret_cast<const Byte*>(buffer_.data()) + end_;
  const Byte* p = b;
  long lines = 0;
  bool replace = false;
  for (;;) {
    while (p < e && kBytes.textPlain[*p]) ++p;
    if (p == e) return Step::kMore;  // a text ends at a tag
    Byte c = *p;
    if (c == '<') break;
    if (c == '\n') {
      ++lines;
      ++p;
    } else if (c == '&') {
      int n = referenceLength(p, e, nullptr);
      if (n == 0) return Step::kMore;
      if (n < 0) refuse();
      replace = true;
      p += n;
    } else if (c == ']') {
      if (e - p < 3) return Step::kMore;
      if (p[1] == ']' && p[2] == '>') refuse();
      ++p;
    } else if (c == '\r') {
      if (e - p < 2) return Step::kMore;
      if (p[1] != '\n') refuse();
      replace = true;
      ++lines;
      p += 2;
    } else {
      int n = charLength(p, e);
      if (n == 0) return Step::kMore;
      if (n < 0) refuse();
      p += n;
    }
  }
  long line = line_;
  line_ += lines;
  at_ += static_cast<size_t>(p - b);
  if (containerOpen() && std::all_of(b, p, isBlank)) return Step::kDone;
  if (lines) line = parserLineOfText(b, p, line, containerOpen());
  if (!replace) {
    sink.characters({reinterpret_cast<const char*>(b), static_cast<size_t>(p - b)}, line);
    return Step::kDone;
  }
  decoded_.clear();
  for (const Byte* q = b; q < p;) {
    if (*q == '&') {
      q += referenceLength(q, p, &decoded_);
    } else if (*q == '\r') {
      ++q;  // of a CR LF, read as LF
    } else {
      decoded_.push_back(static_cast<char>(*q++));
    }
  }
  sink.characters(decoded_, line);
  return Step::kDone;
}

}  // namespace app
