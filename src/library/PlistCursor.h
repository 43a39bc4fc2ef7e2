// Reading a property list element by element: the grammar every reader of
// one shares (PlistReading), and a cursor that walks the bytes of the
// plain XML exports are written in (PlistCursor) without a parser, an
// event list or a line count in between.
//
// Thread: one cursor reads one document on one thread.
// Ownership: the cursor reads from a ByteSource it does not own.
// Errors: OutOfForm for anything outside the form it takes and for every
// error; the caller then reads the document with the full parser.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace app {

// Where a document's bytes come from: the next piece, empty at the end.
// Pieces stay valid until the next call; rewind() starts again at the
// first byte.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::string_view next() = 0;
  virtual void rewind() = 0;
  // The next bytes, up to `room`, put at `into`: 0 at the end. What
  // next() would give, read where the reader keeps it, not copied there.
  virtual size_t readInto(char* into, size_t room) = 0;
};

// The property-list elements.
enum PlistTag : uint8_t {
  kPlistTag,
  kDictTag,
  kKeyTag,
  kStringTag,
  kIntegerTag,
  kArrayTag,
  kTrueTag,
  kFalseTag,
  kDateTag,
  kDataTag,
  kRealTag,
  kTagCount
};
inline constexpr const char* kPlistTagNames[kTagCount] = {
    "plist", "dict", "key", "string", "integer", "array", "true", "false", "date", "data", "real"};

// The grammar on a stream S that gives advance(), advanceOrFail(inside),
// isStart(tag), isEnd(tag), isEmpty(), describeNode(), fail(...) and
// readTextInto(into): the text of the scalar element it is on, the
// stream left on its end. Every read starts on the value's start element
// and returns with the stream on the value's last event.
template <class S>
class PlistReading {
 public:
  bool isValueStart() const {
    for (int t = kDictTag; t < kTagCount; ++t)
      if (t != kKeyTag && self().isStart(static_cast<PlistTag>(t))) return true;
    return false;
  }

  // Calls f(key, keyLine) for each entry of the <dict> the stream is on,
  // with the stream on the entry's value; f must read or skip the value.
  // The key stays valid until the next entry.
  template <class F>
  void forEachEntry(F&& f) {
    S& s = self();
    if (s.isEmpty()) return;
    // One key a level, kept from dict to dict for its buffer: the key of
    // the level above stays while a value's entries are read.
    if (level_ == keys_.size()) keys_.emplace_back();
    std::string& key = keys_[level_++];
    long keyLine = 0;
    while (s.nextEntry(key, keyLine)) f(std::string_view(key), keyLine);
    --level_;
  }

  // Moves onto the value of the <dict>'s next entry, its key in `key` and
  // the key's line in `keyLine`; false at the dict's end. A stream may
  // read the usual form in one step and hand the rest to this.
  bool nextEntry(std::string& key, long& keyLine) {
    S& s = self();
    s.advanceOrFail("dict");
    if (s.isEnd(kDictTag)) return false;
    if (!s.isStart(kKeyTag)) s.fail("expected <key> in <dict>, found " + s.describeNode());
    keyLine = 0;
    s.readTextInto(&key, &keyLine);
    s.advanceOrFail("dict");
    if (s.isEnd(kDictTag)) s.fail(keyLine, "key \"" + key + "\" has no value");
    if (!isValueStart())
      s.fail("key \"" + key + "\" has no value (found " + s.describeNode() + ")");
    return true;
  }

  // Calls f() for each element of the <array> the stream is on, with the
  // stream on the element's start.
  template <class F>
  void forEachElement(F&& f) {
    S& s = self();
    if (s.isEmpty()) return;
    for (;;) {
      s.advanceOrFail("array");
      if (s.isEnd(kArrayTag)) return;
      if (!isValueStart()) s.fail("expected a value in <array>, found " + s.describeNode());
      f();
    }
  }

  // Checks the form of any value and drops it.
  void skipValue() {
    S& s = self();
    if (s.isStart(kDictTag)) {
      forEachEntry([this](std::string_view, long) { skipValue(); });
    } else if (s.isStart(kArrayTag)) {
      forEachElement([this] { skipValue(); });
    } else if (s.isStart(kTrueTag) || s.isStart(kFalseTag)) {
      readBoolean("");
    } else {
      s.readTextInto(nullptr);  // most of a library's values: not copied
    }
  }

  void readString(std::string_view key, std::string& into) {
    S& s = self();
    if (!s.isStart(kStringTag))
      s.fail("\"" + std::string(key) + "\" must be a <string>, found " + s.describeNode());
    s.readTextInto(&into);
  }
  std::string readString(std::string_view key) {
    std::string text;
    readString(key, text);
    return text;
  }

  int64_t readInteger(std::string_view key) {
    S& s = self();
    if (!s.isStart(kIntegerTag))
      s.fail("\"" + std::string(key) + "\" must be an <integer>, found " + s.describeNode());
    long at = 0;
    std::string_view text = s.readTextInto(&integerText_, &at);
    const char* first = text.data();
    const char* last = first + text.size();
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (first < last && blank(*first)) ++first;
    while (last > first && blank(last[-1])) --last;
    int64_t value = 0;
    if (first < last) {
      if (*first == '+') ++first;
      auto [ptr, ec] = std::from_chars(first, last, value);
      if (ec == std::errc() && ptr == last) return value;
    }
    s.fail(at ? at : s.line(),
           "\"" + std::string(key) + "\" is not a 64-bit integer: \"" + std::string(text) + "\"");
  }

  bool readBoolean(std::string_view key) {
    S& s = self();
    bool value = false;
    if (s.isStart(kTrueTag)) {
      value = true;
    } else if (!s.isStart(kFalseTag)) {
      s.fail("\"" + std::string(key) + "\" must be <true/> or <false/>, found " + s.describeNode());
    }
    if (!s.isEmpty()) {
      PlistTag tag = value ? kTrueTag : kFalseTag;
      s.advanceOrFail(kPlistTagNames[tag]);
      if (!s.isEnd(tag)) s.fail(s.describeNode() + " inside <" + kPlistTagNames[tag] + ">");
    }
    return value;
  }

 private:
  S& self() { return static_cast<S&>(*this); }
  const S& self() const { return static_cast<const S&>(*this); }

  std::deque<std::string> keys_;  // a deque: a level's key stays in place
  size_t level_ = 0;              // dicts open; an error ends the read
  std::string integerText_;
};

class PlistCursor : public PlistReading<PlistCursor> {
 public:
  struct OutOfForm {};

  explicit PlistCursor(ByteSource& source);
  PlistCursor(const PlistCursor&) = delete;
  PlistCursor& operator=(const PlistCursor&) = delete;

  // Moves to the next start or end of an element; false at the end of
  // the document. Text between a container's elements is out of form.
  bool advance();
  void advanceOrFail(const char*) {
    if (!advance()) refuse();
  }
  // Moves on in an <array>, as advance() does; an element that is a
  // playlist entry in the form exports write, <dict><key>Track ID</key>
  // <integer>N</integer></dict>, is passed over whole and true returned,
  // with its N in `id`.
  bool advanceItem(int64_t& id);
  // The grammar's, with a key and its value's start read in one step.
  bool nextEntry(std::string& key, long& keyLine);

  bool isStart(PlistTag t) const { return kind_ == kStart && tag_ == t; }
  bool isEnd(PlistTag t) const { return kind_ == kEnd && tag_ == t; }
  bool isEmpty() const { return empty_; }
  std::string_view readTextInto(std::string* into, long* line = nullptr);

  // What the full parser says instead.
  std::string describeNode() const { return {}; }
  long line() const { return 0; }
  [[noreturn]] static void fail(long, const std::string&) { refuse(); }
  [[noreturn]] static void fail(const std::string&) { refuse(); }

 private:
  enum Kind : uint8_t { kNone, kStart, kEnd };
  enum class State : uint8_t { kProlog, kContent, kEpilog, kDone };

  [[noreturn]] static void refuse() { throw OutOfForm{}; }
  // Runs scan() from the same place until the bytes at hand hold what it
  // reads; out of form when the document ends first.
  template <class F>
  auto whole(F&& scan) -> decltype(scan());
  void fill(size_t want);
  void scanProlog();
  bool scanEpilog();
  void scanContent();
  size_t scanComment(size_t at) const;
  size_t scanDoctype(size_t at) const;
  size_t scanTag(size_t at);

  ByteSource& source_;
  std::vector<char> buffer_;
  size_t at_ = 0, end_ = 0;
  bool ended_ = false;
  State state_ = State::kProlog;
  Kind kind_ = kNone;
  PlistTag tag_ = kPlistTag;
  bool empty_ = false;
  std::vector<PlistTag> open_;
};

}  // namespace app
