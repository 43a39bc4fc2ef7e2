#include "app/LibraryReader.h"

#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlreader.h>
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
#include <limits>
#include <memory>
#include <unordered_set>
#include <utility>

#include "platform/Configuration.h"
#include "platform/Text.h"

namespace app {
using platform::text::startsWithNoCase;

namespace {

// No network, no DTD, no external entities, no entity substitution beyond
// XML's own; element and text line numbers past 65535 kept for messages.
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOCDATA | XML_PARSE_COMPACT |
                              XML_PARSE_BIG_LINES | XML_PARSE_NOWARNING;

struct ReaderCloser {
  void operator()(xmlTextReaderPtr r) const { xmlFreeTextReader(r); }
};

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

// The property-list elements, compared by the reader's interned name.
enum Tag {
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
constexpr const char* kTagNames[kTagCount] = {
    "plist", "dict", "key", "string", "integer", "array", "true", "false", "date", "data", "real"};

// A pull parser for the property-list grammar on top of xmlTextReader.
// Convention: every read function starts on the value's start element and
// returns with the reader on the value's last node (its end element, or
// the start element itself when it is empty).
class PlistStream {
 public:
  PlistStream(xmlTextReaderPtr reader, const std::string& file) : r_(reader), file_(file) {
    xmlTextReaderSetStructuredErrorHandler(r_, &PlistStream::onError, this);
    // The encoding layer reports through libxml2's generic channel, which
    // prints to standard error: kept here instead (per thread, restored
    // when the read ends), so the user sees one message that names the file.
    previousGeneric_ = xmlGenericError;
    previousGenericContext_ = xmlGenericErrorContext;
    xmlSetGenericErrorFunc(this, &PlistStream::onGenericError);
    // Element names come from the parser's dictionary, so one interned
    // pointer per name replaces string comparisons on every node.
    for (int t = 0; t < kTagCount; ++t) {
      tags_[t] = reinterpret_cast<const char*>(
          xmlTextReaderConstString(r_, reinterpret_cast<const xmlChar*>(kTagNames[t])));
    }
  }

  ~PlistStream() { xmlSetGenericErrorFunc(previousGenericContext_, previousGeneric_); }
  PlistStream(const PlistStream&) = delete;
  PlistStream& operator=(const PlistStream&) = delete;

  [[noreturn]] void fail(long line, const std::string& message) const {
    throw LibraryError(file_, line, message);
  }
  [[noreturn]] void fail(const std::string& message) const { fail(line(), message); }

  // Moves to the next element start, element end or text; false at the
  // end of the document.
  bool advance() {
    for (;;) {
      int rc = xmlTextReaderRead(r_);
      if (rc != 1) {
        checkError();
        if (rc == 0) return false;
        if (generic_.find("conversion failed") != std::string::npos)
          fail("the file is not well-formed XML: its bytes are not in the encoding it declares");
        fail("the file is not well-formed XML");
      }
      type_ = xmlTextReaderNodeType(r_);
      switch (type_) {
        case XML_READER_TYPE_ELEMENT:
          name_ = reinterpret_cast<const char*>(xmlTextReaderConstLocalName(r_));
          empty_ = xmlTextReaderIsEmptyElement(r_) == 1;
          return true;
        case XML_READER_TYPE_END_ELEMENT:
          name_ = reinterpret_cast<const char*>(xmlTextReaderConstLocalName(r_));
          return true;
        case XML_READER_TYPE_TEXT:
        case XML_READER_TYPE_CDATA:
          return true;
        case XML_READER_TYPE_ENTITY_REFERENCE:
          fail("entity reference \"&" +
               std::string(reinterpret_cast<const char*>(xmlTextReaderConstName(r_))) +
               ";\" is not allowed in a library file");
        default:  // blanks, declarations, comments, processing instructions
          continue;
      }
    }
  }

  void advanceOrFail(const char* inside) {
    if (!advance()) fail(std::string("the file ends inside <") + inside + ">");
  }

  bool isStart() const { return type_ == XML_READER_TYPE_ELEMENT; }
  bool isStart(Tag t) const { return isStart() && name_ == tags_[t]; }
  bool isEnd(Tag t) const { return type_ == XML_READER_TYPE_END_ELEMENT && name_ == tags_[t]; }
  bool isText() const { return type_ == XML_READER_TYPE_TEXT || type_ == XML_READER_TYPE_CDATA; }
  bool isEmpty() const { return empty_; }

  // The line of the current node. Element nodes record at most 65535
  // (text nodes record any line); past that the line comes from a
  // neighbouring text node or, failing that, from where the parser is.
  long line() const {
    xmlNodePtr node = xmlTextReaderCurrentNode(r_);
    long l = node ? xmlGetLineNo(node) : -1;
    if (l <= 0 || (l == 65535 && !isText())) {
      long parser = xmlTextReaderGetParserLineNumber(r_);
      if (parser > l) l = parser;
    }
    return l;
  }

  std::string describeNode() const {
    if (isStart()) return "<" + std::string(name_) + ">";
    if (type_ == XML_READER_TYPE_END_ELEMENT) return "</" + std::string(name_) + ">";
    return "text";
  }

  bool isValueStart() const {
    if (!isStart()) return false;
    for (int t = kDictTag; t < kTagCount; ++t)
      if (t != kKeyTag && name_ == tags_[t]) return true;
    return false;
  }

  // Calls f(key, keyLine) for each entry of the <dict> the reader is on,
  // with the reader on the entry's value; f must read or skip the value.
  // The key stays valid until the next entry.
  template <class F>
  void forEachEntry(F&& f) {
    if (empty_) return;
    std::string key;
    for (;;) {
      advanceOrFail("dict");
      if (isEnd(kDictTag)) return;
      if (!isStart(kKeyTag)) fail("expected <key> in <dict>, found " + describeNode());
      long keyLine = 0;
      readTextInto(&key, &keyLine);
      advanceOrFail("dict");
      if (isEnd(kDictTag)) fail(keyLine, "key \"" + key + "\" has no value");
      if (!isValueStart()) {
        fail("key \"" + key + "\" has no value (found " + describeNode() + ")");
      }
      f(std::string_view(key), keyLine);
    }
  }

  // Calls f() for each element of the <array> the reader is on, with the
  // reader on the element's start.
  template <class F>
  void forEachElement(F&& f) {
    if (empty_) return;
    for (;;) {
      advanceOrFail("array");
      if (isEnd(kArrayTag)) return;
      if (!isValueStart()) fail("expected a value in <array>, found " + describeNode());
      f();
    }
  }

  // Checks the form of any value and drops it.
  void skipValue() {
    if (isStart(kDictTag)) {
      forEachEntry([this](std::string_view, long) { skipValue(); });
    } else if (isStart(kArrayTag)) {
      forEachElement([this] { skipValue(); });
    } else if (isStart(kTrueTag) || isStart(kFalseTag)) {
      readBoolean("");
    } else {
      readTextInto(nullptr);  // most of a library's values: not copied
    }
  }

  void readString(std::string_view key, std::string& into) {
    if (!isStart(kStringTag)) {
      fail("\"" + std::string(key) + "\" must be a <string>, found " + describeNode());
    }
    readTextInto(&into);
  }

  std::string readString(std::string_view key) {
    std::string s;
    readString(key, s);
    return s;
  }

  int64_t readInteger(std::string_view key) {
    if (!isStart(kIntegerTag)) {
      fail("\"" + std::string(key) + "\" must be an <integer>, found " + describeNode());
    }
    long at = 0;
    std::string_view text = readTextInto(&text_, &at);
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    const char* first = text.data();
    const char* last = first + text.size();
    while (first < last && blank(*first)) ++first;
    while (last > first && blank(last[-1])) --last;
    int64_t value = 0;
    if (first < last) {
      if (*first == '+') ++first;
      auto [ptr, ec] = std::from_chars(first, last, value);
      if (ec == std::errc() && ptr == last) return value;
    }
    fail(at ? at : line(),
         "\"" + std::string(key) + "\" is not a 64-bit integer: \"" + std::string(text) + "\"");
  }

  bool readBoolean(std::string_view key) {
    bool value;
    if (isStart(kTrueTag)) {
      value = true;
    } else if (isStart(kFalseTag)) {
      value = false;
    } else {
      fail("\"" + std::string(key) + "\" must be <true/> or <false/>, found " + describeNode());
    }
    if (!empty_) {
      Tag tag = value ? kTrueTag : kFalseTag;
      advanceOrFail(kTagNames[tag]);
      if (!isEnd(tag)) fail(describeNode() + " inside <" + kTagNames[tag] + ">");
    }
    return value;
  }

 private:
  // Reads the text of the scalar element the reader is on into `into`
  // (checked and dropped when null); `line`, when given, receives the line
  // of its text (0 when empty).
  std::string_view readTextInto(std::string* into, long* line = nullptr) {
    if (into) into->clear();
    if (empty_) return {};
    // Element names live in the reader's dictionary for the whole read.
    const char* element = name_;
    for (;;) {
      advanceOrFail(element);
      if (isText()) {
        if (line && !*line) *line = this->line();
        if (into) *into += reinterpret_cast<const char*>(xmlTextReaderConstValue(r_));
      } else if (type_ == XML_READER_TYPE_END_ELEMENT && name_ == element) {
        return into ? std::string_view(*into) : std::string_view();
      } else {
        fail(describeNode() + " inside <" + element + ">");
      }
    }
  }

  static void onError(void* self, xmlErrorPtr error) {
    auto* stream = static_cast<PlistStream*>(self);
    if (!error || error->level == XML_ERR_WARNING || stream->xmlError_) return;
    std::string message = error->message ? error->message : "XML error";
    while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
      message.pop_back();
    stream->xmlError_ = true;
    stream->xmlErrorLine_ = error->line;
    stream->xmlErrorMessage_ = "not well-formed XML: " + message;
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

  void checkError() const {
    if (xmlError_) fail(xmlErrorLine_, xmlErrorMessage_);
  }

  xmlTextReaderPtr r_;
  const std::string& file_;
  int type_ = XML_READER_TYPE_NONE;
  const char* name_ = "";
  bool empty_ = false;
  const char* tags_[kTagCount] = {};
  std::string text_;
  bool xmlError_ = false;
  long xmlErrorLine_ = 0;
  std::string xmlErrorMessage_;
  std::string generic_;  // what the generic channel said, bounded
  xmlGenericErrorFunc previousGeneric_ = nullptr;
  void* previousGenericContext_ = nullptr;
};

// Builds the library from the stream; playlist items are resolved at the
// end because the file may list the playlists before the tracks.
class LibraryBuilder {
 public:
  LibraryBuilder(PlistStream& in, const PathMap& map) : in_(in), map_(map) {}

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
    // Sorted by the identifier's first eight bytes as a number, then by
    // the whole identifier, then by position: the same order as comparing
    // the strings, at the cost of an integer comparison almost always.
    struct Entry {
      uint64_t head;
      uint32_t index;
    };
    std::vector<Entry> order(tracks.size());
    for (size_t i = 0; i < order.size(); ++i) {
      std::string_view id = tracks[i].persistentId;
      uint64_t head = 0;
      for (size_t b = 0; b < 8; ++b)
        head = head << 8 | (b < id.size() ? static_cast<uint8_t>(id[b]) : 0u);
      order[i] = {head, static_cast<uint32_t>(i)};
    }
    std::sort(order.begin(), order.end(), [&](const Entry& a, const Entry& b) {
      if (a.head != b.head) return a.head < b.head;
      int c = tracks[a.index].persistentId.compare(tracks[b.index].persistentId);
      return c != 0 ? c < 0 : a.index < b.index;
    });
    std::vector<bool> repeated(tracks.size(), false);
    bool any = false;
    for (size_t i = 1; i < order.size(); ++i) {
      if (order[i].head == order[i - 1].head &&
          tracks[order[i].index].persistentId == tracks[order[i - 1].index].persistentId) {
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

  void readItems(std::vector<int64_t>& ids) {
    in_.forEachElement([&] {
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
    });
  }

  void resolveItems() {
    // Track IDs come in ascending order in real exports; the sort is then
    // cheap. For a repeated Track ID the last track wins.
    std::stable_sort(trackIndex_.begin(), trackIndex_.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    auto find = [&](int64_t id) -> const std::pair<int64_t, size_t>* {
      auto it = std::upper_bound(trackIndex_.begin(), trackIndex_.end(), id,
                                 [](int64_t v, const auto& e) { return v < e.first; });
      if (it == trackIndex_.begin() || (it - 1)->first != id) return nullptr;
      return &*(it - 1);
    };
    for (size_t i = 0; i < lib_.playlists.size(); ++i) {
      auto& items = lib_.playlists[i].items;
      items.reserve(itemIds_[i].size());
      for (int64_t id : itemIds_[i]) {
        const auto* entry = find(id);
        if (!entry) {
          ++lib_.itemsNamingMissingTrack;
        } else if (entry->second == kNoFile) {
          ++lib_.itemsNamingTrackWithoutFile;
        } else {
          items.push_back(lib_.tracks[entry->second].persistentId);
        }
      }
      std::vector<int64_t>().swap(itemIds_[i]);
    }
  }

  // The string value the reader is on, kept in the library's text.
  std::string_view keep(std::string_view key) {
    in_.readString(key, scratch_);
    return lib_.text->add(scratch_);
  }
  // The same for values many tracks repeat (artists, albums): kept once.
  std::string_view keepShared(std::string_view key) {
    in_.readString(key, scratch_);
    auto it = shared_.find(scratch_);
    if (it != shared_.end()) return *it;
    return *shared_.insert(lib_.text->add(scratch_)).first;
  }

  PlistStream& in_;
  const PathMap& map_;
  Library lib_;
  std::string scratch_;
  std::unordered_set<std::string_view> shared_;
  std::vector<std::pair<int64_t, size_t>> trackIndex_;  // Track ID -> index or kNoFile
  std::unordered_set<std::string> playlistIds_;
  std::vector<std::vector<int64_t>> itemIds_;
  std::string url_;
};

Library readWith(xmlTextReaderPtr raw, const std::string& name, const PathMap& map) {
  std::unique_ptr<xmlTextReader, ReaderCloser> reader(raw);
  if (!reader) throw LibraryError(name, 0, "cannot start the XML reader");
  PlistStream stream(reader.get(), name);
  LibraryBuilder builder(stream, map);
  return builder.build();
}

}  // namespace

std::string_view LibraryText::add(std::string_view s) {
  if (s.empty()) return {};
  constexpr size_t kBlock = 64 * 1024;
  if (s.size() > capacity_ - used_) {
    // A long text gets a block of its own, put before the one being
    // filled, which stays last.
    if (s.size() > kBlock / 4) {
      auto own = std::make_unique<char[]>(s.size());
      std::memcpy(own.get(), s.data(), s.size());
      std::string_view kept(own.get(), s.size());
      blocks_.insert(blocks_.empty() ? blocks_.end() : blocks_.end() - 1, std::move(own));
      return kept;
    }
    blocks_.push_back(std::make_unique<char[]>(kBlock));
    used_ = 0;
    capacity_ = kBlock;
  }
  char* at = blocks_.back().get() + used_;
  std::memcpy(at, s.data(), s.size());
  used_ += s.size();
  return {at, s.size()};
}

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
  // A query or fragment is not part of a file's path.
  size_t cut = rest.find_first_of("?#");
  if (cut != std::string_view::npos) rest = rest.substr(0, cut);

  std::optional<std::string> decoded = platform::text::percentDecode(rest);
  if (!decoded) return std::nullopt;
  std::string path;
  bool local = host.empty() || (host.size() == 9 && startsWithNoCase(host, "localhost"));
  if (!local) path = "//" + std::string(host);
  path += *decoded;
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
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw LibraryError(file, 0, std::string("cannot open: ") + std::strerror(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    throw LibraryError(file, 0, "not a regular file");
  }
  if (st.st_size == 0) {
    ::close(fd);
    throw LibraryError(file, 0, "the file is empty");
  }
  try {
    Library lib = readWith(xmlReaderForFd(fd, file.c_str(), nullptr, kParseOptions), file, map_);
    ::close(fd);
    return lib;
  } catch (...) {
    ::close(fd);
    throw;
  }
}

Library LibraryReader::readMemory(std::string_view xml, const std::string& name) const {
  if (xml.size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
    throw LibraryError(name, 0, "too large to read from memory");
  }
  if (xml.empty()) throw LibraryError(name, 0, "the file is empty");
  return readWith(xmlReaderForMemory(xml.data(), static_cast<int>(xml.size()), name.c_str(),
                                     nullptr, kParseOptions),
                  name, map_);
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

std::optional<std::string> LibraryReader::defaultExport() {
  std::string home = platform::configuration()->home;
  if (home.empty()) return std::nullopt;
  std::string music = home + "/Music";
  for (const char* folder : {"/iTunes", "/Music", ""}) {
    if (auto found = findExportIn(music + folder)) return found;
  }
  return std::nullopt;
}

}  // namespace app
