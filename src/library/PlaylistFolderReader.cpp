#include "library/PlaylistFolderReader.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "base/Text.h"
#include "base/Unicode.h"
#include "library/LibrarySource.h"

namespace app {
namespace {

namespace stdfs = std::filesystem;

// Windows-1252's 0x80-0x9F; the five bytes it leaves undefined stay the
// C1 controls Windows itself reads them as.
constexpr char16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

std::optional<int64_t> numberOf(std::string_view s) {
  s = trimmed(s);
  int64_t n = 0;
  auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), n);
  if (error != std::errc() || s.empty()) return std::nullopt;
  return n;
}

// One playlist entry as its file gives it.
struct Entry {
  std::string target;  // a path or URI, as written
  long line = 0;
  std::string title, artist, album;
  std::optional<int64_t> ms;
  bool uri = false;  // XSPF: a URI reference, percent-encoded
};

std::vector<Entry> m3uEntries(const std::string& text) {
  std::vector<Entry> out;
  Entry pending;
  long line = 0;
  std::istringstream in(text);
  for (std::string raw; std::getline(in, raw);) {
    ++line;
    std::string_view s = trimmed(raw);
    if (s.empty()) continue;
    if (base::text::startsWithNoCase(s, "#EXTINF:")) {
      // "#EXTINF:seconds[ attributes],Artist - Title"
      s.remove_prefix(8);
      size_t comma = s.find(',');
      std::string_view seconds = s.substr(0, std::min(s.find_first_of(" ,"), s.size()));
      if (auto n = numberOf(seconds.substr(0, seconds.find('.'))); n && *n >= 0)
        pending.ms = *n * 1000;
      if (comma != std::string_view::npos) {
        std::string_view title = trimmed(s.substr(comma + 1));
        size_t dash = title.find(" - ");
        if (dash != std::string_view::npos) {
          pending.artist = trimmed(title.substr(0, dash));
          title = trimmed(title.substr(dash + 3));
        }
        pending.title = title;
      }
      continue;
    }
    if (s.front() == '#') continue;
    pending.target = s;
    pending.line = line;
    out.push_back(std::move(pending));
    pending = Entry();
  }
  return out;
}

std::vector<Entry> plsEntries(const std::string& text) {
  std::map<int64_t, Entry> byNumber;
  long line = 0;
  std::istringstream in(text);
  for (std::string raw; std::getline(in, raw);) {
    ++line;
    std::string_view s = trimmed(raw);
    size_t eq = s.find('=');
    if (s.empty() || s.front() == '[' || s.front() == ';' || eq == std::string_view::npos) continue;
    std::string key = base::text::asciiLower(trimmed(s.substr(0, eq)));
    std::string_view value = trimmed(s.substr(eq + 1));
    size_t digits = key.find_first_of("0123456789");
    if (digits == std::string::npos) continue;
    auto n = numberOf(std::string_view(key).substr(digits));
    if (!n) continue;
    Entry& e = byNumber[*n];
    std::string_view field = std::string_view(key).substr(0, digits);
    if (field == "file") {
      e.target = value;
      e.line = line;
    } else if (field == "title") {
      e.title = value;
    } else if (field == "length") {
      if (auto seconds = numberOf(value); seconds && *seconds >= 0) e.ms = *seconds * 1000;
    }
  }
  std::vector<Entry> out;
  for (auto& [n, e] : byNumber) {
    if (e.line) out.push_back(std::move(e));
  }
  return out;
}

std::string contentOf(xmlNode* node) {
  xmlChar* text = xmlNodeGetContent(node);
  std::string out = text ? std::string(trimmed(reinterpret_cast<const char*>(text))) : "";
  xmlFree(text);
  return out;
}

bool named(xmlNode* node, const char* name) {
  return node->type == XML_ELEMENT_NODE &&
         std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0;
}

std::vector<Entry> xspfEntries(const std::string& bytes, const std::string& file) {
  std::unique_ptr<xmlParserCtxt, decltype(&xmlFreeParserCtxt)> ctxt(xmlNewParserCtxt(),
                                                                    xmlFreeParserCtxt);
  if (!ctxt) throw LibraryError(file, 0, "out of memory");
  std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)> doc(
      xmlCtxtReadMemory(ctxt.get(), bytes.data(), static_cast<int>(bytes.size()), file.c_str(),
                        nullptr, XML_PARSE_NONET | XML_PARSE_NOWARNING | XML_PARSE_NOERROR),
      xmlFreeDoc);
  if (!doc) {
    const xmlError* e = xmlCtxtGetLastError(ctxt.get());
    std::string why(e && e->message ? trimmed(e->message) : "not well-formed XML");
    throw LibraryError(file, e ? e->line : 0, why);
  }
  xmlNode* root = xmlDocGetRootElement(doc.get());
  if (!root || !named(root, "playlist"))
    throw LibraryError(file, root ? xmlGetLineNo(root) : 0, "not an XSPF playlist (no <playlist>)");
  std::vector<Entry> out;
  for (xmlNode* list = root->children; list; list = list->next) {
    if (!named(list, "trackList")) continue;
    for (xmlNode* track = list->children; track; track = track->next) {
      if (!named(track, "track")) continue;
      Entry e;
      e.uri = true;
      e.line = xmlGetLineNo(track);
      for (xmlNode* f = track->children; f; f = f->next) {
        if (named(f, "location") && e.target.empty()) {
          e.target = contentOf(f);
          e.line = xmlGetLineNo(f);
        } else if (named(f, "title")) {
          e.title = contentOf(f);
        } else if (named(f, "creator")) {
          e.artist = contentOf(f);
        } else if (named(f, "album")) {
          e.album = contentOf(f);
        } else if (named(f, "duration")) {
          if (auto ms = numberOf(contentOf(f)); ms && *ms >= 0) e.ms = ms;
        }
      }
      out.push_back(std::move(e));
    }
  }
  return out;
}

// A playlist file larger than this is not one (the longest real ones hold
// some ten thousand entries, a megabyte or two).
constexpr std::uintmax_t kMaxPlaylistBytes = 64 << 20;

std::string readAll(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in.is_open())
    throw LibraryError(file, 0, std::string("cannot open: ") + std::strerror(errno));
  std::error_code ec;
  if (stdfs::file_size(file, ec) > kMaxPlaylistBytes && !ec)
    throw LibraryError(file, 0, "larger than 64 MiB, too large for a playlist");
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw LibraryError(file, 0, std::string("cannot read: ") + std::strerror(errno));
  return bytes;
}

bool isPlaylistFile(const std::string& name, std::string* kind) {
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return false;
  *kind = base::text::asciiLower(std::string_view(name).substr(dot + 1));
  return *kind == "m3u" || *kind == "m3u8" || *kind == "pls" || *kind == "xspf";
}

bool isFile(const std::string& path, int64_t* size = nullptr) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (size) *size = st.st_size;
  return true;
}

class FolderWalk {
 public:
  FolderWalk(const PathMap& map, const std::string& musicDir)
      : assembly_(lib_, map), musicDir_(musicDir) {}

  Library read(const std::string& folder) {
    lib_.libraryPersistentId = stableId("file paths");
    // A folder without a playlist is not a library: taken for one, it
    // would make every copy on the drive stale.
    if (!walk(folder, "", ""))
      throw LibraryError(folder, 0,
                         "no playlist files (.m3u, .m3u8, .pls, .xspf) in this folder or below");
    if (!musicDir_.empty()) {
      lib_.musicFolderSourcePath = musicDir_;
    } else {
      lib_.musicFolderSourcePath = commonFolder();
    }
    lib_.musicFolderLocalPath = lib_.musicFolderSourcePath;
    assembly_.finish();
    return std::move(lib_);
  }

 private:
  // The folders' contents in name order, folders that hold playlists
  // becoming playlist folders; a folder reached again through a link is
  // read once.
  bool walk(const std::string& dir, const std::string& relative, const std::string& parentId) {
    std::error_code ec;
    auto canonical = stdfs::canonical(dir, ec);
    if (ec) throw LibraryError(dir, 0, "cannot open: " + ec.message());
    if (!visited_.insert(canonical.string()).second || depth_ > 64) return false;
    std::vector<std::pair<std::string, bool>> names;  // name, is a folder
    stdfs::directory_iterator it(dir, ec);
    if (ec) throw LibraryError(dir, 0, "cannot read the folder: " + ec.message());
    for (; it != stdfs::directory_iterator(); it.increment(ec)) {
      std::string name = it->path().filename().string();
      if (name.empty() || name[0] == '.') continue;
      std::error_code typeError;
      names.emplace_back(name, it->is_directory(typeError));
    }
    if (ec) throw LibraryError(dir, 0, "cannot read the folder: " + ec.message());
    std::sort(names.begin(), names.end());
    bool any = false;
    ++depth_;
    for (const auto& [name, isFolder] : names) {
      std::string path = dir + "/" + name;
      std::string inside = relative.empty() ? name : relative + "/" + name;
      std::string kind;
      if (isFolder) {
        size_t at = assembly_.playlist("folder\n" + inside, name, parentId, true);
        std::string id = lib_.playlists[at].persistentId;
        if (walk(path, inside, id)) {
          any = true;
        } else {
          lib_.playlists.erase(lib_.playlists.begin() + static_cast<std::ptrdiff_t>(at));
        }
      } else if (isPlaylistFile(name, &kind)) {
        readPlaylist(path, inside, kind, parentId);
        any = true;
      }
    }
    --depth_;
    return any;
  }

  void readPlaylist(const std::string& file, const std::string& relative, const std::string& kind,
                    const std::string& parentId) {
    std::string bytes = readAll(file);
    std::vector<Entry> entries;
    if (kind == "xspf") {
      entries = xspfEntries(bytes, file);
    } else {
      bool windows1252 = false;
      std::string text = PlaylistFolderReader::textOf(bytes, &windows1252);
      if (windows1252 && kind == "m3u8")
        assembly_.note(file + ": not UTF-8 as an .m3u8 file should be; read as Windows-1252.");
      entries = kind == "pls" ? plsEntries(text) : m3uEntries(text);
    }
    std::string name = stdfs::path(relative).stem().string();
    size_t at = assembly_.playlist("playlist\n" + relative, name, parentId);
    std::string base = stdfs::path(file).parent_path().string();
    for (const Entry& e : entries) add(at, e, file, base);
  }

  // The track an entry names, added to the playlist; an entry that names
  // no file is counted and told.
  void add(size_t playlist, const Entry& e, const std::string& file, const std::string& base) {
    std::string target = e.target;
    auto nothing = [&](const std::string& why) {
      ++lib_.itemsNamingMissingTrack;
      assembly_.note(file + ": line " + std::to_string(e.line) + ": " + why);
    };
    if (target.empty()) return nothing("the entry names no file.");
    std::string path;
    if (base::text::startsWithNoCase(target, "file:")) {
      auto decoded = LibraryReader::decodeFileUrl(target);
      if (!decoded) return nothing("the entry's URL names no file: " + target);
      path = *decoded;
    } else if (target.find("://") != std::string::npos) {
      // A stream or a service's track: no file to copy.
      ++lib_.itemsNamingTrackWithoutFile;
      if (streams_.insert(target).second) ++lib_.tracksWithoutFile;
      return;
    } else {
      if (e.uri) {
        auto decoded = base::text::percentDecode(target);
        if (!decoded) return nothing("the entry's URI is not well formed: " + target);
        target = *decoded;
      }
      path = resolve(target, base);
    }
    int64_t size = 0;
    bool here = isFile(path, &size);
    TrackFields fields{e.title, e.artist, e.album,
                       {},      e.ms,     here ? std::optional<int64_t>(size) : std::nullopt};
    assembly_.append(playlist, assembly_.track("file\n" + path, path, fields));
  }

  // A path as a playlist entry gives it: absolute, a Windows drive's, or
  // relative to the music folder or to the playlist's own folder.
  std::string resolve(std::string target, const std::string& base) const {
    bool drive = target.size() >= 3 && std::isalpha(static_cast<unsigned char>(target[0])) &&
                 target[1] == ':' && (target[2] == '\\' || target[2] == '/');
    bool windows =
        drive || target.rfind("\\\\", 0) == 0 ||
        (target.find('\\') != std::string::npos && target.find('/') == std::string::npos);
    if (windows) std::replace(target.begin(), target.end(), '\\', '/');
    if (drive || target.rfind("//", 0) == 0) return target;
    if (target.front() == '/') return stdfs::path(target).lexically_normal().string();
    std::string besideList = (stdfs::path(base) / target).lexically_normal().string();
    if (musicDir_.empty()) return besideList;
    std::string inMusic = (stdfs::path(musicDir_) / target).lexically_normal().string();
    return isFile(inMusic) || !isFile(besideList) ? inMusic : besideList;
  }

  // The deepest folder, two levels down or more, that holds every
  // track's file: below it the drive keeps the library's own folders.
  std::string commonFolder() const {
    std::optional<std::string> common;
    for (const auto& t : lib_.tracks) {
      std::string_view at = t.location;
      if (at.empty() || at.front() != '/') return {};
      std::string folder(at.substr(0, at.rfind('/')));
      if (!common) {
        common = folder;
        continue;
      }
      while (!common->empty() && !(folder == *common || folder.rfind(*common + "/", 0) == 0))
        common->resize(common->rfind('/'));
    }
    if (!common || std::count(common->begin(), common->end(), '/') < 2) return {};
    return *common;
  }

  Library lib_;
  LibraryAssembly assembly_;
  const std::string& musicDir_;
  std::set<std::string> visited_, streams_;
  int depth_ = 0;
};

}  // namespace

std::string PlaylistFolderReader::textOf(std::string_view bytes, bool* windows1252) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  bool utf8 = base::unicode::isValidUtf8(bytes);
  if (windows1252) *windows1252 = !utf8;
  if (utf8) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char ch : bytes) {
    auto b = static_cast<unsigned char>(ch);
    base::unicode::appendUtf8(out, b >= 0x80 && b < 0xA0 ? kHighControls[b - 0x80] : b);
  }
  return out;
}

Library PlaylistFolderReader::read(const std::string& folder) const {
  std::string musicDir;
  if (!musicDir_.empty()) {
    musicDir = stdfs::absolute(musicDir_).lexically_normal().string();
    while (musicDir.size() > 1 && musicDir.back() == '/') musicDir.pop_back();
  }
  // Absolute, so that a track's identity does not depend on where the
  // command ran.
  std::string root = stdfs::absolute(folder).lexically_normal().string();
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return FolderWalk(map_, musicDir).read(root);
}

}  // namespace app
