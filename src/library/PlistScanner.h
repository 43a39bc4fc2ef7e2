// A scanner for property-list XML in the form library exports take: an
// optional UTF-8 byte order mark and XML declaration (UTF-8), an optional
// document type without an internal subset, comments, elements with ASCII
// names and attributes, text with XML's predefined entities and character
// references, lines ended by LF or CR LF. It hands the document to a sink
// in the order and with the line numbers the push parser's callbacks
// would, at a fraction of the parser's cost: a library of a hundred
// thousand tracks is a hundred megabytes of such XML.
//
// It never judges a document. Anything outside that form (another
// encoding, CDATA, processing instructions, entities of the document's
// own, lone CR) and every error (bytes that are not UTF-8 or not XML
// characters, a tag left open, a second root, ...) raise OutOfForm; the
// caller then reads the document again from the start with the full
// parser, which gives its own verdict and message. What the sink was
// given before is to be thrown away.
//
// Thread: one scanner reads one document on one thread.
// Errors: OutOfForm, and whatever the byte source throws.
#pragma once

#include <array>
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
};

class PlistScanner {
 public:
  struct OutOfForm {};

  // Receives the document as the push parser's callbacks give it: names
  // come interned (one pointer per name, from intern()), an empty element
  // as a start and an end, a text in one or more parts; layout between
  // elements of a container element (dict, array, plist, true, false) is
  // not given.
  class Sink {
   public:
    virtual void startElement(const char* name, long line) = 0;
    virtual void endElement() = 0;
    virtual void characters(std::string_view text, long line) = 0;
    // A sink that takes items is given each playlist entry in the form
    // exports write it, <dict><key>Track ID</key><integer>N</integer></dict>
    // with blanks (space, tab, LF) between the tags, as one call instead of
    // its eight parts: N (decimal digits without a leading zero) at `line`
    // (the dict's), its key keyLines below that and its integer valueLines
    // below the key; blanks that follow it inside a container are not given.
    virtual bool takesItems() const { return false; }
    virtual void item(int64_t /*trackId*/, long /*line*/, int /*keyLines*/, int /*valueLines*/) {}

   protected:
    ~Sink() = default;
  };

  explicit PlistScanner(ByteSource& source);
  PlistScanner(const PlistScanner&) = delete;
  PlistScanner& operator=(const PlistScanner&) = delete;

  // Gives the sink the next part of the document; false once the
  // document has ended (the sink may have been given its last part).
  bool scanSome(Sink& sink);

  // The interned pointer for `name`, stable for the scanner's life.
  const char* intern(std::string_view name) { return named(name).text.c_str(); }

  // The line the scan has reached.
  long line() const { return line_; }

 private:
  enum class State { kStart, kProlog, kContent, kEpilog, kDone };
  enum class Step { kDone, kMore };

  [[noreturn]] static void refuse() { throw OutOfForm{}; }
  // Reads the next piece onto what is left; false at the end of input.
  bool more();
  Step scanDeclaration();
  Step scanMisc(Sink& sink);
  Step scanContent(Sink& sink);
  Step scanComment(size_t& at, long& line) const;
  Step scanDoctype(size_t& at, long& line) const;
  Step scanStartTag(Sink& sink);
  Step scanEndTag(Sink& sink);
  Step scanText(Sink& sink);
  bool scanItem(Sink& sink);
  bool containerOpen() const;

  ByteSource& source_;
  std::vector<char> buffer_;
  size_t at_ = 0, end_ = 0;
  bool ended_ = false;  // no more input
  long line_ = 1;
  State state_ = State::kStart;
  bool sawDoctype_ = false;
  bool itemNamesInterned_ = false;
  struct Open {
    const char* name;
    size_t length;
    bool container;
  };
  std::vector<Open> open_;
  struct Name {
    std::string text;
    bool container;  // its layout is not text
  };
  const Name& named(std::string_view name);
  std::deque<Name> names_;  // interned; a deque keeps them in place
  std::array<const Name*, 64> seen_{};
  std::string decoded_;     // a text whose entities or CR LF were replaced
};

}  // namespace app
