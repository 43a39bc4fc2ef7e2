#include "library/LibraryReader.h"

#include <fcntl.h>
#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <limits>
#include <memory>
#include <ostream>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "base/Configuration.h"
#include "base/Text.h"
#include "library/LibrarySource.h"
#include "library/PlayerDatabaseReader.h"
#include "library/PlaylistFolderReader.h"
#include "library/PlistCursor.h"
#include "library/RhythmboxReader.h"

namespace app {
using base::text::startsWithNoCase;

namespace {

// No network, no DTD, no external entities, no entity substitution beyond
// XML's own.
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOCDATA | XML_PARSE_NOWARNING;

// The keys the reader uses; everything else is checked for form and skipped.
enum class Key {
  kOther,
  kTrackId,
  kName,
  kArtist,
  kAlbum,
  kAlbumArtist,
  kTotalTime,
  kSize,
  kLocation,
  kDisabled,
  kPersistentId,
  kPlaylistPersistentId,
  kParentPersistentId,
  kPlaylistItems,
  kMaster,
  kVisible,
  kDistinguishedKind,
  kFolder,
  kSmartInfo,
  kSmartCriteria,
  kTracks,
  kPlaylists,
  kMusicFolder,
  kApplicationVersion,
  kLibraryPersistentId,
};

// With the length known at compile time the comparison is a few integer
// comparisons instead of a call.
template <size_t N>
bool is(std::string_view k, const char (&name)[N]) {
  return k.size() == N - 1 && std::memcmp(k.data(), name, N - 1) == 0;
}

// Called for every key of the file, so it looks at the length first.
Key keyOf(std::string_view k) {
  switch (k.size()) {
    case 4:
      if (is(k, "Name")) return Key::kName;
      if (is(k, "Size")) return Key::kSize;
      break;
    case 5:
      if (is(k, "Album")) return Key::kAlbum;
      break;
    case 6:
      if (is(k, "Artist")) return Key::kArtist;
      if (is(k, "Master")) return Key::kMaster;
      if (is(k, "Folder")) return Key::kFolder;
      if (is(k, "Tracks")) return Key::kTracks;
      break;
    case 8:
      if (is(k, "Track ID")) return Key::kTrackId;
      if (is(k, "Disabled")) return Key::kDisabled;
      if (is(k, "Location")) return Key::kLocation;
      break;
    case 7:
      if (is(k, "Visible")) return Key::kVisible;
      break;
    case 9:
      if (is(k, "Playlists")) return Key::kPlaylists;
      break;
    case 10:
      if (is(k, "Total Time")) return Key::kTotalTime;
      if (is(k, "Smart Info")) return Key::kSmartInfo;
      break;
    case 12:
      if (is(k, "Album Artist")) return Key::kAlbumArtist;
      if (is(k, "Music Folder")) return Key::kMusicFolder;
      break;
    case 13:
      if (is(k, "Persistent ID")) return Key::kPersistentId;
      break;
    case 14:
      if (is(k, "Playlist Items")) return Key::kPlaylistItems;
      if (is(k, "Smart Criteria")) return Key::kSmartCriteria;
      break;
    case 18:
      if (is(k, "Distinguished Kind")) return Key::kDistinguishedKind;
      break;
    case 19:
      if (is(k, "Application Version")) return Key::kApplicationVersion;
      break;
    case 20:
      if (is(k, "Parent Persistent ID")) return Key::kParentPersistentId;
      break;
    case 21:
      if (is(k, "Library Persistent ID")) return Key::kLibraryPersistentId;
      break;
    case 22:
      if (is(k, "Playlist Persistent ID")) return Key::kPlaylistPersistentId;
      break;
    default:
      break;
  }
  return Key::kOther;
}

// One callback of the parser, as the stream keeps it.
struct Event {
  enum Kind : uint8_t { kNone, kStart, kEnd, kText, kEntity, kError };
  Kind kind = kNone;
  bool empty = false;             // a start element with nothing inside
  const char* name = "";          // interned element name
  uint32_t text = 0, length = 0;  // text or entity name, in the batch's texts
  uint32_t line = 0;
};

// Keeps the parser's callbacks as events, a batch at a time: an element
// with nothing inside as one event, a text given in parts as one, no
// layout between a container's elements, nothing after an error.
struct EventRecorder {
  std::vector<Event> events;
  std::string texts;
  std::vector<std::pair<const char*, long>> open;  // elements open, with their lines
  const char* const* tags = nullptr;               // the interned tag names
  bool failed = false;

  Event& record(Event::Kind kind, long line) {
    Event& e = events.emplace_back();
    e.kind = kind;
    e.line = static_cast<uint32_t>(line);
    if (kind == Event::kError) failed = true;
    return e;
  }

  static bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
  static bool blank(std::string_view text) {
    for (char c : text)
      if (!isBlank(c)) return false;
    return true;
  }

  bool containerOpen() const {
    if (open.empty()) return true;
    const char* n = open.back().first;
    return n == tags[kDictTag] || n == tags[kArrayTag] || n == tags[kPlistTag] ||
           n == tags[kTrueTag] || n == tags[kFalseTag];
  }

  void startElement(const char* name, long line) {
    if (failed) return;
    record(Event::kStart, line).name = name;
    open.emplace_back(name, line);
  }

  void endElement() {
    if (failed || open.empty()) return;
    auto [name, line] = open.back();
    open.pop_back();
    // The start still waiting in this batch, with nothing after it, makes
    // an empty element: one event instead of two.
    if (!events.empty()) {
      Event& last = events.back();
      if (last.kind == Event::kStart && last.name == name) {
        last.empty = true;
        return;
      }
    }
    record(Event::kEnd, line).name = name;
  }

  void characters(std::string_view text, long line) {
    if (failed || text.empty()) return;
    // Layout between a container's elements is not content.
    if (containerOpen() && blank(text)) return;
    if (!events.empty() && events.back().kind == Event::kText) {
      texts += text;  // the same text, given in parts
      events.back().length += static_cast<uint32_t>(text.size());
      return;
    }
    Event& e = record(Event::kText, line);
    e.text = static_cast<uint32_t>(texts.size());
    e.length = static_cast<uint32_t>(text.size());
    texts += text;
  }
};

// A pull parser for the property-list grammar on top of libxml2's push
// parser, for the documents the cursor does not take. The
// callbacks record each piece of input as a list of events (element start,
// element end, text) that the pull interface then walks, so the builder
// reads like the grammar while the parsing itself costs what a SAX pass
// costs: no node objects, no per-node calls back into the parser.
// Convention: every read function starts on the value's start element and
// returns with the stream on the value's last event (its end element, or
// the start element itself when it is empty).
class PlistStream : public PlistReading<PlistStream> {
 public:
  PlistStream(ByteSource& source, const std::string& file) : source_(source), file_(file) {
    rec_.tags = tags_;
    std::string_view first = source_.next();
    // The encoding layer reports through libxml2's generic channel, which
    // prints to standard error: kept here instead (per thread, restored
    // when the read ends), so the user sees one message that names the file.
    previousGeneric_ = xmlGenericError;
    previousGenericContext_ = xmlGenericErrorContext;
    xmlSetGenericErrorFunc(this, &PlistStream::onGenericError);

    // The default handlers keep the internal subset's entity declarations,
    // so that a reference to one is reported as such; everything that would
    // build a tree is replaced or dropped.
    xmlSAXHandler sax;
    xmlSAXVersion(&sax, 2);
    sax.startElementNs = &PlistStream::onStart;
    sax.endElementNs = &PlistStream::onEnd;
    sax.characters = &PlistStream::onText;
    sax.ignorableWhitespace = &PlistStream::onText;
    sax.cdataBlock = &PlistStream::onText;
    sax.reference = &PlistStream::onReference;
    sax.comment = nullptr;
    sax.processingInstruction = nullptr;
    sax.serror = &PlistStream::onError;
    sax.error = nullptr;
    sax.warning = nullptr;
    // The default handlers take the parser as their context, so the
    // stream is found through the parser's private pointer.
    ctxt_ = xmlCreatePushParserCtxt(&sax, nullptr, first.data(), static_cast<int>(first.size()),
                                    file_.c_str());
    if (!ctxt_) {
      xmlSetGenericErrorFunc(previousGenericContext_, previousGeneric_);
      throw LibraryError(file_, 0, "cannot start the XML parser");
    }
    ctxt_->_private = this;
    xmlCtxtUseOptions(ctxt_, kParseOptions);
    // Element names come from the parser's dictionary, so one interned
    // pointer per name replaces string comparisons on every event.
    for (int t = 0; t < kTagCount; ++t) {
      tags_[t] = reinterpret_cast<const char*>(
          xmlDictLookup(ctxt_->dict, reinterpret_cast<const xmlChar*>(kPlistTagNames[t]), -1));
    }
    finished_ = first.empty();
  }

  ~PlistStream() {
    if (ctxt_) {
      if (ctxt_->myDoc) xmlFreeDoc(ctxt_->myDoc);
      ctxt_->myDoc = nullptr;
      xmlFreeParserCtxt(ctxt_);
    }
    xmlSetGenericErrorFunc(previousGenericContext_, previousGeneric_);
  }
  PlistStream(const PlistStream&) = delete;
  PlistStream& operator=(const PlistStream&) = delete;

  [[noreturn]] void fail(long line, const std::string& message) const {
    throw LibraryError(file_, line, message);
  }
  [[noreturn]] void fail(const std::string& message) const { fail(line(), message); }

  // Moves to the next element start, element end or text; false at the
  // end of the document.
  bool advance() {
    size_t at = next_ + 1;
    if (at >= rec_.events.size()) {
      if (!fill()) {
        current_ = Event{};
        return false;
      }
      at = 0;
    }
    take(at);
    return true;
  }

  // Moves on as advance() does, in an <array>: the cursor's playlist
  // entries in one step; here every entry is read part by part.
  bool advanceItem(int64_t&) {
    advanceOrFail("array");
    return false;
  }

  void advanceOrFail(const char* inside) {
    if (!advance()) fail(std::string("the file ends inside <") + inside + ">");
  }

  bool isStart() const { return current_.kind == Event::kStart; }
  bool isStart(PlistTag t) const { return isStart() && current_.name == tags_[t]; }
  bool isEnd(PlistTag t) const { return current_.kind == Event::kEnd && current_.name == tags_[t]; }
  bool isText() const { return current_.kind == Event::kText; }
  bool isEmpty() const { return current_.empty; }

  // The line of the current event: an element's start tag, or where its
  // text begins.
  long line() const { return current_.kind == Event::kNone ? parserLine() : current_.line; }

  std::string describeNode() const {
    if (isStart()) return "<" + std::string(current_.name) + ">";
    if (current_.kind == Event::kEnd) return "</" + std::string(current_.name) + ">";
    return "text";
  }

  // Reads the text of the scalar element the stream is on into `into`
  // (checked and dropped when null); `line`, when given, receives the line
  // of its text (0 when empty).
  std::string_view readTextInto(std::string* into, long* line = nullptr) {
    if (into) into->clear();
    if (isEmpty()) return {};
    // Element names live in the parser's dictionary for the whole read.
    const char* element = current_.name;
    for (;;) {
      advanceOrFail(element);
      if (isText()) {
        if (line && !*line) *line = current_.line;
        if (into) *into += textOf(current_);
      } else if (current_.kind == Event::kEnd && current_.name == element) {
        return into ? std::string_view(*into) : std::string_view();
      } else {
        fail(describeNode() + " inside <" + element + ">");
      }
    }
  }

 private:
  std::string_view textOf(const Event& e) const { return {rec_.texts.data() + e.text, e.length}; }

  void take(size_t at) {
    next_ = at;
    current_ = rec_.events[at];
    switch (current_.kind) {
      case Event::kError:
        fail(current_.line, errorMessage_);
      case Event::kEntity:
        fail("entity reference \"&" + std::string(textOf(current_)) +
             ";\" is not allowed in a library file");
      default:
        return;
    }
  }

  // Parses pieces until there are events to walk; false at the end.
  bool fill() {
    rec_.events.clear();
    rec_.texts.clear();
    next_ = 0;
    while (rec_.events.empty()) {
      if (finished_) return false;
      std::string_view piece = source_.next();
      if (piece.size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
        fail(0, "a piece of the file is too large to parse");
      }
      int rc = xmlParseChunk(ctxt_, piece.data(), static_cast<int>(piece.size()), piece.empty());
      finished_ = piece.empty();
      if ((rc != 0 || !ctxt_->wellFormed) && !rec_.failed) {
        // Refused without a message of its own: the input's bytes could
        // not be decoded, or the parser stopped.
        errorMessage_ = undecodable() ? kUndecodable : "the file is not well-formed XML";
        rec_.record(Event::kError, parserLine());
      }
      if (rec_.failed) finished_ = true;  // nothing after an error is read
    }
    return true;
  }

  static constexpr const char* kUndecodable =
      "the file is not well-formed XML: its bytes are not in the encoding it declares";
  bool undecodable() const { return generic_.find("conversion failed") != std::string::npos; }

  long parserLine() const { return ctxt_ && ctxt_->input ? ctxt_->input->line : 0; }

  // False for the callbacks of an entity's content, which libxml2 parses
  // on its first use to check it.
  bool recording() const { return ctxt_->depth == 0; }

  // The stream of a parser, or of the one it checks an entity for.
  static PlistStream* of(void* parser) {
    return static_cast<PlistStream*>(static_cast<xmlParserCtxtPtr>(parser)->_private);
  }

  static void onStart(void* self, const xmlChar* localname, const xmlChar*, const xmlChar*, int,
                      const xmlChar**, int, int, const xmlChar**) {
    auto* s = of(self);
    if (s && s->recording())
      s->rec_.startElement(reinterpret_cast<const char*>(localname), s->parserLine());
  }

  static void onEnd(void* self, const xmlChar*, const xmlChar*, const xmlChar*) {
    auto* s = of(self);
    if (s && s->recording()) s->rec_.endElement();
  }

  static void onText(void* self, const xmlChar* chars, int length) {
    auto* s = of(self);
    if (!s || !s->recording() || length <= 0) return;
    s->rec_.characters({reinterpret_cast<const char*>(chars), static_cast<size_t>(length)},
                       s->parserLine());
  }

  static void onReference(void* self, const xmlChar* name) {
    auto* s = of(self);
    if (!s || !s->recording() || s->rec_.failed) return;
    std::string_view text(reinterpret_cast<const char*>(name));
    Event& e = s->rec_.record(Event::kEntity, s->parserLine());
    e.text = static_cast<uint32_t>(s->rec_.texts.size());
    e.length = static_cast<uint32_t>(text.size());
    s->rec_.texts += text;
  }

  static void onError(void* self, xmlErrorPtr error) {
    auto* s = of(self);
    if (!s || !error || error->level == XML_ERR_WARNING || s->rec_.failed) return;
    std::string message = error->message ? error->message : "XML error";
    while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
      message.pop_back();
    // Bytes the decoder refused end the input early, and the parser then
    // complains of what is left: the cause is the one to tell.
    s->errorMessage_ = s->undecodable() ? kUndecodable : "not well-formed XML: " + message;
    s->rec_.record(Event::kError, error->line);
  }

  static void onGenericError(void* self, const char* format, ...) {
    auto* stream = static_cast<PlistStream*>(self);
    if (stream->generic_.size() > 1024) return;
    char piece[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(piece, sizeof piece, format, args);
    va_end(args);
    stream->generic_ += piece;
  }

  ByteSource& source_;
  const std::string& file_;
  xmlParserCtxtPtr ctxt_ = nullptr;
  const char* tags_[kTagCount] = {};
  EventRecorder rec_;  // the batch being walked
  size_t next_ = 0;
  Event current_;
  bool finished_ = false;
  std::string errorMessage_;
  std::string generic_;  // what the generic channel said, bounded
  xmlGenericErrorFunc previousGeneric_ = nullptr;
  void* previousGenericContext_ = nullptr;
};

// Builds the library from the stream; playlist items are resolved at the
// end because the file may list the playlists before the tracks.
template <class Stream>
class LibraryBuilder {
 public:
  LibraryBuilder(Stream& in, const PathMap& map) : in_(in), map_(map) {}

  Library build() {
    if (!in_.advance()) in_.fail("the file is empty");
    if (!in_.isStart(kPlistTag)) {
      in_.fail("not a property list: the document starts with " + in_.describeNode());
    }
    if (in_.isEmpty()) in_.fail("not a music library: the property list is empty");
    in_.advanceOrFail("plist");
    if (!in_.isStart(kDictTag)) {
      in_.fail("not a music library: the property list holds " + in_.describeNode() +
               " instead of <dict>");
    }
    bool sawTracks = false;
    in_.forEachEntry([&](std::string_view key, long) {
      switch (keyOf(key)) {
        case Key::kTracks:
          if (!in_.isStart(kDictTag)) in_.fail("\"Tracks\" must be a <dict>");
          readTracks();
          sawTracks = true;
          break;
        case Key::kPlaylists:
          if (!in_.isStart(kArrayTag)) in_.fail("\"Playlists\" must be an <array>");
          readPlaylists();
          break;
        case Key::kMusicFolder:
          lib_.musicFolder = in_.readString(key);
          break;
        case Key::kApplicationVersion:
          lib_.applicationVersion = in_.readString(key);
          break;
        case Key::kLibraryPersistentId:
          lib_.libraryPersistentId = in_.readString(key);
          break;
        default:
          in_.skipValue();
      }
    });
    in_.advanceOrFail("plist");
    if (!in_.isEnd(kPlistTag)) in_.fail("expected </plist>, found " + in_.describeNode());
    // Read to the end so that anything after </plist> is noticed.
    if (in_.advance()) in_.fail("unexpected " + in_.describeNode() + " after </plist>");
    if (!sawTracks) in_.fail(0, "not a music library: no \"Tracks\" dictionary");

    if (!lib_.musicFolder.empty()) {
      if (auto path = LibraryReader::decodeFileUrl(lib_.musicFolder)) {
        lib_.musicFolderSourcePath = *path;
        lib_.musicFolderLocalPath = localPathFor(*path);
      }
    }
    dropRepeatedIdentifiers();
    for (const LibraryTrack& t : lib_.tracks)
      if (!t.onThisComputer()) ++lib_.tracksNotOnThisComputer;
    resolveItems();
    return std::move(lib_);
  }

 private:
  static constexpr size_t kNoFile = std::numeric_limits<size_t>::max();

  std::string localPathFor(const std::string& sourcePath) const {
    if (auto mapped = map_.apply(sourcePath)) return *mapped;
    if (PathMap::isForeignPath(sourcePath)) return {};
    return sourcePath;
  }

  void readTracks() {
    in_.forEachEntry([&](std::string_view key, long keyLine) {
      if (!in_.isStart(kDictTag)) in_.fail("track \"" + std::string(key) + "\" must be a <dict>");
      LibraryTrack t;
      std::string& url = url_;
      url.clear();
      bool hasTrackId = false;
      in_.forEachEntry([&](std::string_view k, long) {
        switch (keyOf(k)) {
          case Key::kTrackId:
            t.trackId = in_.readInteger(k);
            hasTrackId = true;
            break;
          case Key::kName:
            t.name = keep(k);
            break;
          case Key::kArtist:
            t.artist = keepShared(k);
            break;
          case Key::kAlbum:
            t.album = keepShared(k);
            break;
          case Key::kAlbumArtist:
            t.albumArtist = keepShared(k);
            break;
          case Key::kTotalTime:
            t.totalTimeMs = in_.readInteger(k);
            break;
          case Key::kSize:
            t.size = in_.readInteger(k);
            break;
          case Key::kLocation:
            in_.readString(k, url);
            break;
          case Key::kDisabled:
            t.disabled = in_.readBoolean(k);
            break;
          case Key::kPersistentId:
            t.persistentId = keep(k);
            break;
          default:
            in_.skipValue();
        }
      });
      if (!hasTrackId) {
        int64_t id = 0;
        auto [ptr, ec] = std::from_chars(key.data(), key.data() + key.size(), id);
        if (ec != std::errc() || ptr != key.data() + key.size()) {
          in_.fail(keyLine, "track \"" + std::string(key) + "\" has no \"Track ID\"");
        }
        t.trackId = id;
      }
      addTrack(std::move(t), url);
    });
  }

  void addTrack(LibraryTrack&& t, std::string_view url) {
    std::optional<std::string> path = LibraryReader::decodeFileUrl(url);
    if (!path || t.persistentId.empty()) {
      if (path) {
        ++lib_.tracksWithoutIdentifier;
      } else {
        ++lib_.tracksWithoutFile;
      }
      trackIndex_.emplace_back(t.trackId, kNoFile);
      return;
    }
    t.location = lib_.text->add(*path);
    if (auto mapped = map_.apply(t.location)) t.mappedPath = lib_.text->add(*mapped);
    trackIndex_.emplace_back(t.trackId, lib_.tracks.size());
    lib_.tracks.push_back(std::move(t));
  }

  // A persistent ID names one track: later tracks that repeat one are left
  // out. Found by sorting once at the end rather than by a set kept while
  // reading, which costs an allocation per track.
  void dropRepeatedIdentifiers() {
    auto& tracks = lib_.tracks;
    // Sorted by a hash of the identifier, then by the identifier, then by
    // position: equal identifiers end up side by side, the first in the
    // file first, at the cost of an integer comparison almost always
    // (identifiers may share any prefix).
    struct Entry {
      uint64_t head;
      uint32_t index;
    };
    std::vector<Entry> order(tracks.size());
    for (size_t i = 0; i < order.size(); ++i)
      order[i] = {std::hash<std::string_view>{}(tracks[i].persistentId), static_cast<uint32_t>(i)};
    std::sort(order.begin(), order.end(), [&](const Entry& a, const Entry& b) {
      if (a.head != b.head) return a.head < b.head;
      int c = tracks[a.index].persistentId.view().compare(tracks[b.index].persistentId);
      return c != 0 ? c < 0 : a.index < b.index;
    });
    std::vector<bool> repeated(tracks.size(), false);
    bool any = false;
    for (size_t i = 1; i < order.size(); ++i) {
      if (order[i].head == order[i - 1].head &&
          tracks[order[i].index].persistentId == tracks[order[i - 1].index].persistentId.view()) {
        repeated[order[i].index] = true;
        any = true;
      }
    }
    if (!any) return;
    std::vector<size_t> newIndex(tracks.size(), kNoFile);
    std::deque<LibraryTrack> kept;
    for (size_t i = 0; i < tracks.size(); ++i) {
      if (repeated[i]) {
        ++lib_.tracksWithoutIdentifier;
        continue;
      }
      newIndex[i] = kept.size();
      kept.push_back(std::move(tracks[i]));
    }
    tracks = std::move(kept);
    for (auto& entry : trackIndex_) {
      if (entry.second != kNoFile) entry.second = newIndex[entry.second];
    }
  }

  void readPlaylists() {
    in_.forEachElement([&] {
      if (!in_.isStart(kDictTag)) in_.fail("a playlist must be a <dict>");
      LibraryPlaylist p;
      std::vector<int64_t> ids;
      in_.forEachEntry([&](std::string_view k, long) {
        switch (keyOf(k)) {
          case Key::kName:
            in_.readString(k, p.name);
            break;
          case Key::kPlaylistPersistentId:
            in_.readString(k, p.persistentId);
            break;
          case Key::kParentPersistentId:
            in_.readString(k, p.parentPersistentId);
            break;
          case Key::kMaster:
            p.master = in_.readBoolean(k);
            break;
          case Key::kVisible:
            p.visible = in_.readBoolean(k);
            break;
          case Key::kFolder:
            p.folder = in_.readBoolean(k);
            break;
          case Key::kDistinguishedKind:
            p.distinguishedKind = in_.readInteger(k);
            break;
          case Key::kSmartInfo:
          case Key::kSmartCriteria:
            p.smart = true;
            in_.skipValue();
            break;
          case Key::kPlaylistItems:
            if (!in_.isStart(kArrayTag)) in_.fail("\"Playlist Items\" must be an <array>");
            readItems(ids);
            break;
          default:
            in_.skipValue();
        }
      });
      if (p.persistentId.empty() || !playlistIds_.insert(p.persistentId).second) {
        ++lib_.playlistsWithoutIdentifier;
        return;
      }
      lib_.playlists.push_back(std::move(p));
      itemIds_.push_back(std::move(ids));
    });
  }

  // forEachElement, with the entries the cursor takes whole read in one
  // step each.
  void readItems(std::vector<int64_t>& ids) {
    if (in_.isEmpty()) return;
    for (;;) {
      int64_t id;
      if (in_.advanceItem(id)) {
        ids.push_back(id);
        continue;
      }
      if (in_.isEnd(kArrayTag)) return;
      if (!in_.isValueStart()) in_.fail("expected a value in <array>, found " + in_.describeNode());
      readItem(ids);
    }
  }

  void readItem(std::vector<int64_t>& ids) {
    {
      if (!in_.isStart(kDictTag)) in_.fail("a playlist item must be a <dict>");
      bool found = false;
      in_.forEachEntry([&](std::string_view k, long) {
        if (keyOf(k) == Key::kTrackId) {
          ids.push_back(in_.readInteger(k));
          found = true;
        } else {
          in_.skipValue();
        }
      });
      if (!found) in_.fail("a playlist item has no \"Track ID\"");
    }
  }

  void resolveItems() {
    // Track IDs come in ascending order in real exports; the sort is then
    // cheap. For a repeated Track ID the last track wins.
    std::stable_sort(trackIndex_.begin(), trackIndex_.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    // Track IDs are numbered from some start with few gaps: where they
    // are, a table by number answers each entry in one look instead of a
    // search through the tracks.
    std::vector<uint32_t> byNumber;
    int64_t first = trackIndex_.empty() ? 0 : trackIndex_.front().first;
    if (!trackIndex_.empty() && trackIndex_.size() < (uint64_t{1} << 31) &&
        static_cast<uint64_t>(trackIndex_.back().first) - static_cast<uint64_t>(first) <
            4 * static_cast<uint64_t>(trackIndex_.size())) {
      byNumber.assign(static_cast<size_t>(trackIndex_.back().first - first) + 1, UINT32_MAX);
      for (size_t i = 0; i < trackIndex_.size(); ++i)
        byNumber[static_cast<size_t>(trackIndex_[i].first - first)] = static_cast<uint32_t>(i);
    }
    auto find = [&](int64_t id) -> const std::pair<int64_t, size_t>* {
      if (!byNumber.empty()) {
        uint64_t at = static_cast<uint64_t>(id) - static_cast<uint64_t>(first);
        if (at >= byNumber.size() || byNumber[at] == UINT32_MAX) return nullptr;
        return &trackIndex_[byNumber[at]];
      }
      auto it = std::upper_bound(trackIndex_.begin(), trackIndex_.end(), id,
                                 [](int64_t v, const auto& e) { return v < e.first; });
      if (it == trackIndex_.begin() || (it - 1)->first != id) return nullptr;
      return &*(it - 1);
    };
    // Entries come in any order: the identifiers side by side, rather
    // than one visit to a track and one to its text per entry.
    std::vector<std::string_view> ids(lib_.tracks.size());
    for (size_t i = 0; i < ids.size(); ++i) ids[i] = lib_.tracks[i].persistentId;
    for (size_t i = 0; i < lib_.playlists.size(); ++i) {
      auto& items = lib_.playlists[i].items;
      auto& tracks = lib_.playlists[i].tracks;
      items.reserve(itemIds_[i].size());
      tracks.reserve(itemIds_[i].size());
      for (int64_t id : itemIds_[i]) {
        const auto* entry = find(id);
        if (!entry) {
          ++lib_.itemsNamingMissingTrack;
        } else if (entry->second == kNoFile) {
          ++lib_.itemsNamingTrackWithoutFile;
        } else {
          items.push_back(ids[entry->second]);
          tracks.push_back(static_cast<uint32_t>(entry->second));
        }
      }
      std::vector<int64_t>().swap(itemIds_[i]);
    }
  }

  // The string value the reader is on, kept in the library's text.
  LibraryString keep(std::string_view key) {
    in_.readString(key, scratch_);
    return lib_.text->add(scratch_);
  }
  // The same for values many tracks repeat (artists, albums): kept once.
  LibraryString keepShared(std::string_view key) {
    in_.readString(key, scratch_);
    auto it = shared_.find(scratch_);
    if (it != shared_.end()) return it->second;
    LibraryString kept = lib_.text->add(scratch_);
    shared_.emplace(kept, kept);
    return kept;
  }

  Stream& in_;
  const PathMap& map_;
  Library lib_;
  std::string scratch_;
  std::unordered_map<std::string_view, LibraryString> shared_;
  std::vector<std::pair<int64_t, size_t>> trackIndex_;  // Track ID -> index or kNoFile
  std::unordered_set<std::string> playlistIds_;
  std::vector<std::vector<int64_t>> itemIds_;
  std::string url_;
};

// Pieces of this size keep the parser's input and the events waiting to be
// walked at a few hundred kilobytes, for one read call per 64 KB.
constexpr size_t kPiece = 64 * 1024;

// The most a library file may hold. The largest real exports are a few
// hundred megabytes; anything past this is not one, and reading it whole
// would only take the machine's memory.
constexpr uint64_t kMaxLibraryBytes = uint64_t{2} << 30;

// Counts what it actually reads: st_size says nothing true of /proc,
// sysfs or a file still growing.
class FileSource : public ByteSource {
 public:
  FileSource(int fd, const std::string& file) : fd_(fd), file_(file), buffer_(new char[kPiece]) {}
  std::string_view next() override { return {buffer_.get(), readInto(buffer_.get(), kPiece)}; }
  size_t readInto(char* into, size_t room) override {
    for (;;) {
      ssize_t n = ::read(fd_, into, room);
      if (n == 0 && total_ == 0) throw LibraryError(file_, 0, "the file is empty");
      if (n >= 0) {
        total_ += static_cast<uint64_t>(n);
        if (total_ > kMaxLibraryBytes)
          throw LibraryError(file_, 0, "the file is larger than 2 GiB, too large for a library");
        return static_cast<size_t>(n);
      }
      if (errno != EINTR)
        throw LibraryError(file_, 0, std::string("cannot read: ") + std::strerror(errno));
    }
  }
  void rewind() override {
    if (::lseek(fd_, 0, SEEK_SET) != 0)
      throw LibraryError(file_, 0, std::string("cannot read again: ") + std::strerror(errno));
    total_ = 0;
  }

 private:
  int fd_;
  const std::string& file_;
  std::unique_ptr<char[]> buffer_;
  uint64_t total_ = 0;
};

class MemorySource : public ByteSource {
 public:
  explicit MemorySource(std::string_view bytes) : all_(bytes), rest_(bytes) {}
  std::string_view next() override {
    std::string_view piece = rest_.substr(0, kPiece);
    rest_.remove_prefix(piece.size());
    return piece;
  }
  size_t readInto(char* into, size_t room) override {
    std::string_view piece = rest_.substr(0, std::min(room, kPiece));
    rest_.remove_prefix(piece.size());
    std::copy_n(piece.data(), piece.size(), into);
    return piece.size();
  }
  void rewind() override { rest_ = all_; }

 private:
  std::string_view all_, rest_;
};

// Exports are read by the cursor; a document it does not take, or one
// the library cannot be built from, is read again by the full parser,
// whose verdict and messages hold. What the cursor gives is what the full
// parser's reading would: the builder is the same.
Library readFrom(ByteSource& source, const std::string& name, const PathMap& map,
                 LibraryReader::Parsers parsers) {
  if (parsers != LibraryReader::Parsers::kFullOnly) {
    try {
      PlistCursor cursor(source);
      return LibraryBuilder<PlistCursor>(cursor, map).build();
    } catch (const PlistCursor::OutOfForm&) {
      if (parsers == LibraryReader::Parsers::kCursorOnly)
        throw LibraryError(name, 0, "out of the cursor's form");
      source.rewind();
    }
  }
  PlistStream stream(source, name);
  return LibraryBuilder<PlistStream>(stream, map).build();
}

}  // namespace

LibraryString LibraryText::add(std::string_view s) {
  if (s.empty()) return {};
  unsigned char length[10];
  size_t lengthBytes = 0;
  for (size_t n = s.size();; n >>= 7) {
    length[lengthBytes++] = static_cast<unsigned char>(n & 0x7F);
    if (n < 0x80) break;
  }
  // Stored as read: the byte next to the text holds the lowest bits, and
  // each byte but the farthest says that another comes before it.
  for (size_t b = 0; b + 1 < lengthBytes; ++b) length[b] |= 0x80;
  size_t need = lengthBytes + s.size();
  constexpr size_t kBlock = 64 * 1024;
  char* at;
  if (need > capacity_ - used_) {
    // A long text gets a block of its own, put before the one being
    // filled, which stays last.
    if (need > kBlock / 4) {
      auto own = std::make_unique<char[]>(need);
      at = own.get();
      blocks_.insert(blocks_.empty() ? blocks_.end() : blocks_.end() - 1, std::move(own));
    } else {
      blocks_.push_back(std::make_unique<char[]>(kBlock));
      used_ = 0;
      capacity_ = kBlock;
      at = blocks_.back().get();
      used_ = need;
    }
  } else {
    at = blocks_.back().get() + used_;
    used_ += need;
  }
  for (size_t b = 0; b < lengthBytes; ++b) at[b] = static_cast<char>(length[lengthBytes - 1 - b]);
  std::memcpy(at + lengthBytes, s.data(), s.size());
  return LibraryString(at + lengthBytes);
}

std::ostream& operator<<(std::ostream& out, const LibraryString& s) { return out << s.view(); }

std::string_view LibraryTrack::localPath() const {
  if (!mappedPath.empty()) return mappedPath;
  return PathMap::isForeignPath(location) ? std::string_view() : location;
}

std::optional<std::string> LibraryReader::decodeFileUrl(std::string_view url) {
  if (!startsWithNoCase(url, "file:")) return std::nullopt;
  std::string_view rest = url.substr(5);
  std::string_view host;
  if (rest.substr(0, 2) == "//") {
    rest.remove_prefix(2);
    size_t slash = rest.find('/');
    host = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
  }
  // A query or fragment is not part of a file's path. (A loop: the
  // library's find_first_of searches the set once per character.)
  for (size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == '?' || rest[i] == '#') {
      rest = rest.substr(0, i);
      break;
    }
  }

  std::optional<std::string> decoded = base::text::percentDecode(rest);
  if (!decoded) return std::nullopt;
  bool local = host.empty() || (host.size() == 9 && startsWithNoCase(host, "localhost"));
  std::string path = local ? std::move(*decoded) : "//" + std::string(host) + *decoded;
  if (path.empty()) return std::nullopt;
  // "/C:/Users/..." (and the old "/C|/...") is a Windows drive path.
  if (path.size() >= 3 && path[0] == '/' && (path[2] == ':' || path[2] == '|') &&
      ((path[1] >= 'A' && path[1] <= 'Z') || (path[1] >= 'a' && path[1] <= 'z')) &&
      (path.size() == 3 || path[3] == '/' || path[3] == '\\')) {
    path.erase(0, 1);
    path[1] = ':';
  }
  if (PathMap::isForeignPath(path)) {
    for (char& ch : path)
      if (ch == '\\') ch = '/';
  }
  return path;
}

Library LibraryReader::read(const std::string& file) const {
  LibraryKind kind = sniffLibrary(file);
  Library lib;
  switch (kind) {
    case LibraryKind::kITunesXml:
      lib = readXml(file);
      break;
    case LibraryKind::kPlaylistFolder:
      lib = PlaylistFolderReader(map_, musicDir_).read(file);
      break;
    case LibraryKind::kRhythmbox:
      lib = RhythmboxReader(map_).read(file);
      break;
    case LibraryKind::kStrawberry:
    case LibraryKind::kClementine:
      lib = PlayerDatabaseReader(map_).read(file, kind);
      break;
  }
  lib.sourceKind = libraryKindName(kind);
  lib.sourcePath =
      kind == LibraryKind::kITunesXml ? file : std::filesystem::absolute(file).string();
  return lib;
}

Library LibraryReader::readXml(const std::string& file) const {
  // Non-blocking: opening a FIFO (or a device) put where the library
  // should be would otherwise wait for a writer forever.
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) throw LibraryError(file, 0, std::string("cannot open: ") + std::strerror(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    throw LibraryError(file, 0, "not a regular file");
  }
  try {
    FileSource source(fd, file);
    Library lib = readFrom(source, file, map_, parsers_);
    ::close(fd);
    return lib;
  } catch (...) {
    ::close(fd);
    throw;
  }
}

Library LibraryReader::readMemory(std::string_view xml, const std::string& name) const {
  if (xml.empty()) throw LibraryError(name, 0, "the file is empty");
  MemorySource source(xml);
  return readFrom(source, name, map_, parsers_);
}

const std::vector<std::string>& LibraryReader::exportFileNames() {
  static const std::vector<std::string> names = {"iTunes Music Library.xml", "iTunes Library.xml",
                                                 "Library.xml"};
  return names;
}

std::optional<std::string> LibraryReader::findExportIn(const std::string& folder) {
  for (const std::string& name : exportFileNames()) {
    std::string path = folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return path;
  }
  return std::nullopt;
}

std::optional<std::string> LibraryReader::defaultExport(const std::string& home) {
  if (home.empty()) return std::nullopt;
  std::string music = home + "/Music";
  for (const char* folder : {"/iTunes", "/Music", ""}) {
    if (auto found = findExportIn(music + folder)) return found;
  }
  return findPlayerLibrary(home);
}

base::Result<Library> LibraryReader::load(const std::string& file) const {
  // The parse unwinds from deep in its callbacks with LibraryError; it
  // ends here, as a value.
  try {
    return read(file);
  } catch (const LibraryError& e) {
    return base::Status::withMessage(e.what(), file);
  } catch (const std::exception& e) {
    return base::Status::withMessage("The library " + file + " cannot be read: " + e.what(), file);
  }
}

}  // namespace app
