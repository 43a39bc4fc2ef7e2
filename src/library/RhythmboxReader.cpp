#include "library/RhythmboxReader.h"

#include <libxml/xmlreader.h>
#include <sys/stat.h>

#include <charconv>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>

#include "library/LibrarySource.h"

namespace app {
namespace {

// The versions of rhythmdb.xml whose song entries are read as written
// (Rhythmbox 0.9 to 3.x).
const std::set<std::string> kKnownVersions = {"1.0", "1.1", "1.2", "1.3", "1.4", "1.5",
                                              "1.6", "1.7", "1.8", "1.9", "2.0"};

std::optional<int64_t> numberOf(const std::string& s) {
  int64_t n = 0;
  auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), n);
  if (error != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
  return n;
}

// Walks an XML file element by element with libxml2's reader: no network,
// no DTD, no entities beyond XML's own. Calls `element(depth, name)` at each
// start tag; `text()` gives the current element's text.
class XmlWalk {
 public:
  explicit XmlWalk(const std::string& file) : file_(file) {
    reader_ = xmlReaderForFile(file.c_str(), nullptr,
                               XML_PARSE_NONET | XML_PARSE_NOWARNING | XML_PARSE_NOERROR);
    if (!reader_) throw LibraryError(file, 0, std::string("cannot open: ") + std::strerror(errno));
    xmlTextReaderSetErrorHandler(reader_, &XmlWalk::onError, this);
  }
  ~XmlWalk() { xmlFreeTextReader(reader_); }
  XmlWalk(const XmlWalk&) = delete;
  XmlWalk& operator=(const XmlWalk&) = delete;

  // Calls `element` at every start tag, `end` at every end tag.
  void run(const std::function<void(int depth, const std::string& name, bool empty)>& element,
           const std::function<void(int depth, const std::string& name)>& end) {
    int ret;
    while ((ret = xmlTextReaderRead(reader_)) == 1) {
      int type = xmlTextReaderNodeType(reader_);
      if (type != XML_READER_TYPE_ELEMENT && type != XML_READER_TYPE_END_ELEMENT) continue;
      const xmlChar* local = xmlTextReaderConstLocalName(reader_);
      std::string name = local ? reinterpret_cast<const char*>(local) : "";
      int depth = xmlTextReaderDepth(reader_);
      if (type == XML_READER_TYPE_ELEMENT) {
        bool empty = xmlTextReaderIsEmptyElement(reader_) == 1;
        element(depth, name, empty);
        if (empty) end(depth, name);
      } else {
        end(depth, name);
      }
    }
    if (ret < 0 || !error_.empty())
      throw LibraryError(file_, errorLine_ ? errorLine_ : line(),
                         error_.empty() ? "not well-formed XML" : error_);
  }
  std::string text() {
    xmlChar* s = xmlTextReaderReadString(reader_);
    std::string out = s ? reinterpret_cast<const char*>(s) : "";
    xmlFree(s);
    return out;
  }
  std::string attribute(const char* name) {
    xmlChar* s = xmlTextReaderGetAttribute(reader_, reinterpret_cast<const xmlChar*>(name));
    std::string out = s ? reinterpret_cast<const char*>(s) : "";
    xmlFree(s);
    return out;
  }
  // The current element's own line: the parser itself may have read on.
  long line() {
    xmlNode* node = xmlTextReaderCurrentNode(reader_);
    long at = node ? xmlGetLineNo(node) : -1;
    return at > 0 ? at : xmlTextReaderGetParserLineNumber(reader_);
  }

 private:
  static void onError(void* self, const char* message, xmlParserSeverities severity,
                      xmlTextReaderLocatorPtr locator) {
    auto* walk = static_cast<XmlWalk*>(self);
    if (!walk->error_.empty() || severity == XML_PARSER_SEVERITY_WARNING ||
        severity == XML_PARSER_SEVERITY_VALIDITY_WARNING)
      return;
    walk->error_ = message ? message : "not well-formed XML";
    while (!walk->error_.empty() && (walk->error_.back() == '\n' || walk->error_.back() == ' '))
      walk->error_.pop_back();
    walk->errorLine_ = xmlTextReaderLocatorLineNumber(locator);
  }

  const std::string& file_;
  xmlTextReaderPtr reader_ = nullptr;
  std::string error_;
  long errorLine_ = 0;
};

class Reading {
 public:
  Reading(const PathMap& map) : assembly_(lib_, map) {}

  Library read(const std::string& db) {
    lib_.libraryPersistentId = stableId("file paths");
    readSongs(db);
    std::string playlists = (std::filesystem::path(db).parent_path() / "playlists.xml").string();
    struct stat st {};
    if (::stat(playlists.c_str(), &st) == 0)
      readPlaylists(playlists);
    else
      assembly_.note("no playlists.xml beside " + db + ": the library has no playlists.");
    assembly_.finish();
    return std::move(lib_);
  }

 private:
  void readSongs(const std::string& db) {
    XmlWalk walk(db);
    bool song = false;
    long line = 0;
    std::map<std::string, std::string> fields;
    walk.run(
        [&](int depth, const std::string& name, bool) {
          if (depth == 0) {
            if (name != "rhythmdb")
              throw LibraryError(db, walk.line(), "not a Rhythmbox library (no <rhythmdb>)");
            std::string version = walk.attribute("version");
            if (!kKnownVersions.count(version))
              assembly_.note(db + ": version \"" + version +
                             "\" of Rhythmbox's library is not one known (up to 2.0): its "
                             "song entries were read as 2.0 writes them.");
          } else if (depth == 1 && name == "entry") {
            song = walk.attribute("type") == "song";
            line = walk.line();
            fields.clear();
          } else if (depth == 2 && song) {
            fields[name] = walk.text();
          }
        },
        [&](int depth, const std::string& name) {
          if (depth == 1 && name == "entry" && song) addSong(db, line, fields);
        });
  }

  void addSong(const std::string& db, long line, std::map<std::string, std::string>& f) {
    const std::string& location = f["location"];
    auto path = LibraryReader::decodeFileUrl(location);
    if (!path) {
      // Songs on a network share or a phone are no file here.
      ++lib_.tracksWithoutFile;
      if (location.empty())
        assembly_.note(db + ": line " + std::to_string(line) + ": a song without a location.");
      else
        withoutFile_.insert(location);
      return;
    }
    auto seconds = numberOf(f["duration"]);
    TrackFields fields{f["title"],
                       f["artist"],
                       f["album"],
                       f["album-artist"],
                       seconds ? std::optional<int64_t>(*seconds * 1000) : std::nullopt,
                       numberOf(f["file-size"])};
    assembly_.track("file\n" + *path, *path, fields);
  }

  void readPlaylists(const std::string& file) {
    XmlWalk walk(file);
    std::optional<size_t> at;  // the static playlist being read
    walk.run(
        [&](int depth, const std::string& name, bool) {
          if (depth == 0 && name != "rhythmdb-playlists")
            throw LibraryError(file, walk.line(),
                               "not Rhythmbox's playlists (no <rhythmdb-playlists>)");
          if (depth == 1 && name == "playlist") {
            at.reset();
            std::string title = walk.attribute("name"), type = walk.attribute("type");
            if (type == "static" || type == "queue") {
              at = assembly_.playlist("rhythmbox playlist\n" + title, title);
              if (type == "queue") lib_.playlists[*at].distinguishedKind = 0;
            } else if (type == "automatic") {
              lib_.notExportable.emplace_back(
                  title,
                  "an automatic playlist: Rhythmbox keeps its query, not its tracks, and "
                  "its queries are not read yet");
            } else {
              lib_.notExportable.emplace_back(title, "a playlist of the kind \"" + type +
                                                         "\", which is not known (line " +
                                                         std::to_string(walk.line()) + ")");
            }
          } else if (depth == 2 && at && name == "location") {
            addItem(file, walk.line(), *at, walk.text());
          }
        },
        [](int, const std::string&) {});
  }

  void addItem(const std::string& file, long line, size_t playlist, const std::string& location) {
    auto path = LibraryReader::decodeFileUrl(location);
    if (!path) {
      if (location.empty() || location.find("://") == std::string::npos) {
        ++lib_.itemsNamingMissingTrack;
        assembly_.note(file + ": line " + std::to_string(line) + ": the entry names no file.");
      } else {
        ++lib_.itemsNamingTrackWithoutFile;
        if (withoutFile_.insert(location).second) ++lib_.tracksWithoutFile;
      }
      return;
    }
    // A file the library does not hold (added to the list by hand) is a
    // track all the same.
    assembly_.append(playlist, assembly_.track("file\n" + *path, *path, {}));
  }

  Library lib_;
  LibraryAssembly assembly_;
  std::set<std::string> withoutFile_;
};

}  // namespace

Library RhythmboxReader::read(const std::string& rhythmdb) const {
  return Reading(map_).read(rhythmdb);
}

}  // namespace app
