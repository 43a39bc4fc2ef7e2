#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "library/LibraryReader.h"
#include "support/Fixtures.h"
#include "support/LibraryOutcome.h"

namespace app {
namespace {

const std::string kFixtures = TESSALINE_SOURCE_DIR "/../shared/fixtures/itunes-library/";

#define REQUIRE_FIXTURE(name) \
  TESSALINE_REQUIRE_FIXTURE(std::filesystem::exists(kFixtures + (name)), kFixtures + (name))

const LibraryTrack* trackById(const Library& lib, const std::string& id) {
  for (const auto& t : lib.tracks)
    if (t.persistentId == id) return &t;
  return nullptr;
}

const LibraryPlaylist* playlistByName(const Library& lib, const std::string& name) {
  for (const auto& p : lib.playlists)
    if (p.name == name) return &p;
  return nullptr;
}

std::string doc(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple Computer//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\">\n<dict>\n" +
         body + "</dict>\n</plist>\n";
}

std::string track(int id, const std::string& pid, const std::string& location,
                  const std::string& extra = "") {
  std::string s = "<key>" + std::to_string(id) + "</key><dict><key>Track ID</key><integer>" +
                  std::to_string(id) + "</integer><key>Persistent ID</key><string>" + pid +
                  "</string>";
  if (!location.empty()) s += "<key>Location</key><string>" + location + "</string>";
  return s + extra + "</dict>\n";
}

std::string playlist(const std::string& pid, const std::string& name,
                     std::initializer_list<int> ids, const std::string& extra = "") {
  std::string s = "<dict><key>Name</key><string>" + name +
                  "</string><key>Playlist Persistent ID</key><string>" + pid + "</string>" + extra +
                  "<key>Playlist Items</key><array>";
  for (int id : ids)
    s += "<dict><key>Track ID</key><integer>" + std::to_string(id) + "</integer></dict>";
  return s + "</array></dict>\n";
}

// --- The real exports -------------------------------------------------------

Library readFixture(const std::string& name, const PathMap& map = {}) {
  return LibraryReader(map).read(kFixtures + name);
}

// What each export holds, counted.
TEST(LibraryReaderFixtures, CountsPerExport) {
  struct Row {
    const char* file;
    size_t tracks, playlists, withoutFile, notHere, missingItems, itemsWithoutFile;
    const char* musicFolder;
  } rows[] = {
      {"directorymirror-mac-itunes-10.xml", 55, 14, 0, 0, 0, 0,
       "/Users/cervantes_vive/Music/iTunes/iTunes Music/"},
      {"listfix-windows-itunes-10.xml", 17, 1, 0, 17, 0, 0,
       "C:/Users/jcaron/Music/iTunes/iTunes Music/"},
      {"directorymirror-windows-itunes-10-crlf.xml", 6, 14, 0, 6, 0, 0,
       "C:/Users/Administrator/Music/iTunes/iTunes Media/"},
      {"tracklist-music-app-2020.xml", 4, 4, 3, 0, 8, 0, "/Users/rgrimm/Music/"},
      // 7 remote videos, 7 streams; Music Folder comes after the playlists.
      {"libpytunes-test-library.xml", 388, 11, 14, 0, 84, 2,
       "/Users/nathan/Music/iTunes/iTunes Media/"},
      {"mac-itunes-library-7.4.xml", 18, 2, 0, 0, 0, 0,
       "/Users/dinomite/Music/iTunes/iTunes Music/"},
      {"plist-stream-folders.xml", 2, 4, 0, 0, 0, 0, "/Users/coolaj86/Music/iTunes/iTunes Media/"},
  };
  for (const Row& r : rows) {
    REQUIRE_FIXTURE(r.file);
    Library lib = readFixture(r.file);
    EXPECT_EQ((std::vector<size_t>{lib.tracks.size(), lib.playlists.size(), lib.tracksWithoutFile,
                                   lib.tracksNotOnThisComputer, lib.itemsNamingMissingTrack,
                                   lib.itemsNamingTrackWithoutFile}),
              (std::vector<size_t>{r.tracks, r.playlists, r.withoutFile, r.notHere, r.missingItems,
                                   r.itemsWithoutFile}))
        << r.file;
    EXPECT_EQ(lib.musicFolderSourcePath, r.musicFolder) << r.file;
  }
}

// Locations in each form an export writes them: escapes kept as the bytes
// they stand for ("e" + U+0301), "&#38;" an ampersand, file://localhost.
TEST(LibraryReaderFixtures, LocationsPerExport) {
  const char* rows[][3] = {
      {"directorymirror-mac-itunes-10.xml", "5A57A1ED3D4BA2B4",
       "/Users/cervantes_vive/Music/iTunes/iTunes Music/Eminem/3 A.M. [Explicit]/"
       "01 3 A.M. [Explicit].mp3"},
      {"listfix-windows-itunes-10.xml", "811FBBED7D020E36",
       "C:/Users/jcaron/Music/MP3s/07. Techno/01. Compilations/02. Tunnel Trance Rips/"
       "Tunnel Trance Force Vol. 20 (2002)/105. DJ Sammy & Yanou - Heaven (Green Court Mix).mp3"},
      {"directorymirror-windows-itunes-10-crlf.xml", "7508F901D8A69A12",
       "C:/Users/Public/Music/Sample Music/Kalimba.mp3"},
      {"tracklist-music-app-2020.xml", "247979196C3601D5",
       "/Users/rgrimm/Music/Music/Beyonce\xCC\x81/HOMECOMING_ THE LIVE ALBUM/"
       "02 Crazy In Love (Homecoming Live).m4a"},
      {"libpytunes-test-library.xml", "ECF2584D15DCF139",
       "/Users/nathan/Music/iTunes/iTunes Media/Music/Nina Simone/"
       "Four Women_ The Complete Nina Simone On Philips/3-16 That's All I Ask 1.m4a"},
      {"mac-itunes-library-7.4.xml", "DAC2FC501CCA2031",
       "/Users/dinomite/Music/iTunes/iTunes Music/ATB/Unknown Album/Push the Limits.mp3"},
  };
  for (const auto& [file, id, location] : rows) {
    REQUIRE_FIXTURE(file);
    Library lib = readFixture(file);
    const LibraryTrack* t = trackById(lib, id);
    ASSERT_NE(t, nullptr) << file;
    EXPECT_EQ(t->location, location) << file;
  }
}

// Every field of a track and a playlist, from real exports.
TEST(LibraryReaderFixtures, TrackAndPlaylistFields) {
  REQUIRE_FIXTURE("directorymirror-mac-itunes-10.xml");
  REQUIRE_FIXTURE("tracklist-music-app-2020.xml");
  Library lib = readFixture("directorymirror-mac-itunes-10.xml");
  EXPECT_EQ(std::count_if(lib.tracks.begin(), lib.tracks.end(),
                          [](const LibraryTrack& t) { return t.disabled; }),
            1);
  const LibraryTrack* t = trackById(lib, "D3633F5215BA8CA4");
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(t->disabled);
  EXPECT_EQ(t->artist, "Eric Miraglia");
  EXPECT_EQ(t->totalTimeMs, 3727794);
  EXPECT_EQ(t->size, 246158728);
  EXPECT_EQ(t->localPath(), t->location);
  EXPECT_EQ(t->mappedPath, "");
  const LibraryPlaylist* master = playlistByName(lib, "Library");
  ASSERT_NE(master, nullptr);
  EXPECT_TRUE(master->master);
  EXPECT_FALSE(master->smart);
  EXPECT_FALSE(master->visible);
  EXPECT_EQ(master->items.size(), 55u);
  EXPECT_TRUE(playlistByName(lib, "90\u2019s Music")->smart);
  EXPECT_EQ(playlistByName(lib, "Podcasts")->distinguishedKind, 10);

  Library app = readFixture("tracklist-music-app-2020.xml");
  const LibraryTrack* fog = trackById(app, "B563F0DC6BAC1D6A");
  ASSERT_NE(fog, nullptr);
  EXPECT_EQ(fog->albumArtist, "Flame 1");
  EXPECT_EQ(fog->album, "Fog / Shrine");
  EXPECT_EQ(trackById(app, "B0321D889A22D699"), nullptr);  // Remote
  EXPECT_EQ(playlistByName(app, "Library")->persistentId, "0000000000000005");
}

TEST(LibraryReaderFixtures, WindowsLibraryIsNotOnThisComputerUntilMapped) {
  REQUIRE_FIXTURE("listfix-windows-itunes-10.xml");
  Library plain = readFixture("listfix-windows-itunes-10.xml");
  EXPECT_FALSE(trackById(plain, "811FBBED7D020E36")->onThisComputer());
  EXPECT_EQ(plain.musicFolderLocalPath, "");
  PathMap map;
  map.parse("c:\\Users\\jcaron\\Music=/mnt/music");
  Library mapped = readFixture("listfix-windows-itunes-10.xml", map);
  EXPECT_EQ(mapped.tracksNotOnThisComputer, 0u);
  EXPECT_EQ(
      trackById(mapped, "811FBBED7D020E36")->localPath(),
      "/mnt/music/MP3s/07. Techno/01. Compilations/02. Tunnel Trance Rips/"
      "Tunnel Trance Force Vol. 20 (2002)/105. DJ Sammy & Yanou - Heaven (Green Court Mix).mp3");
  EXPECT_EQ(mapped.musicFolderLocalPath, "/mnt/music/iTunes/iTunes Music");
}

TEST(LibraryReaderFixtures, FoldersParentsAndRepeatedItems) {
  REQUIRE_FIXTURE("plist-stream-folders.xml");
  Library lib = readFixture("plist-stream-folders.xml");
  EXPECT_TRUE(playlistByName(lib, "Awesome Playlists")->folder);
  const LibraryPlaylist* favs = playlistByName(lib, "Fav's");
  ASSERT_NE(favs, nullptr);
  EXPECT_EQ(favs->parentPersistentId, "280D89F98B2872B5");
  EXPECT_EQ(favs->items, (std::vector<std::string_view>{"E1A111CC35A94FE3", "E1A111CC35A94FE3"}));
}

TEST(LibraryReaderFixtures, MalformedExportIsRejectedWithItsLine) {
  REQUIRE_FIXTURE("lastfm-malformed-remote.xml");
  try {
    LibraryReader().read(kFixtures + "lastfm-malformed-remote.xml");
    FAIL() << "a key without a value was accepted";
  } catch (const LibraryError& e) {
    EXPECT_EQ(e.line(), 112);
    EXPECT_EQ(e.message(), "key \"Playlist Items\" has no value");
    EXPECT_NE(std::string(e.what()).find("lastfm-malformed-remote.xml: line 112: "),
              std::string::npos);
  }
}

// --- Synthetic documents ------------------------------------------------------

long errorLine(const std::string& xml, std::string* message = nullptr) {
  try {
    LibraryReader().readMemory(xml, "test.xml");
  } catch (const LibraryError& e) {
    if (message) *message = e.message();
    return e.line();
  }
  ADD_FAILURE() << "accepted: " << xml.substr(0, 200);
  return -1;
}

TEST(LibraryReaderErrors, TruncatedFileGivesTheLineAndNothingElse) {
  std::string xml =
      doc("<key>Tracks</key><dict>\n" + track(1, "A1", "file:///a.mp3") + "</dict>\n");
  std::string cut = xml.substr(0, xml.size() - 20);
  std::string message;
  long line = errorLine(cut, &message);
  EXPECT_GE(line, 5);
  EXPECT_NE(message.find("not well-formed XML"), std::string::npos) << message;
}

TEST(LibraryReaderErrors, StructuralProblemsAreNamed) {
  std::string m;
  EXPECT_EQ(errorLine("", &m), 0);
  EXPECT_EQ(m, "the file is empty");
  errorLine("  \n", &m);
  EXPECT_EQ(m.rfind("not well-formed XML: ", 0), 0u) << m;
  // Bytes that are not in the declared encoding: said once, in the error,
  // and not printed by the parser on standard error.
  testing::internal::CaptureStderr();
  EXPECT_EQ(errorLine("<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>\n<plist><dict>\x81\x7f\xff"
                      "</dict></plist>",
                      &m),
            2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(m, "the file is not well-formed XML: its bytes are not in the encoding it declares");
  EXPECT_EQ(errorLine("<?xml version=\"1.0\"?>\n<html/>\n", &m), 2);
  EXPECT_EQ(m, "not a property list: the document starts with <html>");
  errorLine(doc("<key>Major Version</key><integer>1</integer>\n"), &m);
  EXPECT_EQ(m, "not a music library: no \"Tracks\" dictionary");
  EXPECT_EQ(errorLine(doc("<key>Tracks</key><dict>\n" +
                          track(1, "A1", "file:///a", "<key>Size</key><integer>12x</integer>") +
                          "</dict>\n"),
                      &m),
            6);
  EXPECT_EQ(m, "\"Size\" is not a 64-bit integer: \"12x\"");
  errorLine(doc("<key>Tracks</key><dict>" +
                track(1, "A1", "file:///a", "<key>Name</key><integer>3</integer>") + "</dict>"),
            &m);
  EXPECT_EQ(m, "\"Name\" must be a <string>, found <integer>");
  errorLine(doc("<key>Tracks</key><dict><key>1</key><dict><string>x</string></dict></dict>"), &m);
  EXPECT_EQ(m, "expected <key> in <dict>, found <string>");
  errorLine(doc("<key>Tracks</key><dict/><key>Playlists</key><array><dict><key>Name</key>"
                "<string>a<b/></string></dict></array>"),
            &m);
  EXPECT_EQ(m, "<b> inside <string>");
}

TEST(LibraryReaderErrors, EntitiesBeyondXmlsOwnAreRefused) {
  std::string withEntity =
      "<?xml version=\"1.0\"?>\n<!DOCTYPE plist [<!ENTITY e \"boom\">]>\n<plist><dict>"
      "<key>Tracks</key><dict/><key>Application Version</key><string>&e;</string>"
      "</dict></plist>";
  std::string m;
  errorLine(withEntity, &m);
  EXPECT_EQ(m, "entity reference \"&e;\" is not allowed in a library file");
  std::string external =
      "<?xml version=\"1.0\"?>\n<!DOCTYPE plist [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>\n"
      "<plist><dict><key>Tracks</key><dict/><key>Application Version</key><string>&x;</string>"
      "</dict></plist>";
  errorLine(external, &m);
  EXPECT_EQ(m.find("root:"), std::string::npos);
}

TEST(LibraryReaderErrors, LineNumbersStayExactInLargeFiles) {
  std::string body = "<key>Tracks</key>\n<dict>\n";
  for (int i = 1; i <= 30000; ++i) {
    body += "<key>" + std::to_string(i) + "</key>\n<dict>\n<key>Persistent ID</key><string>P" +
            std::to_string(i) + "</string>\n</dict>\n";
  }
  body += "<key>9</key>\n<dict>\n<key>Total Time</key>\n</dict>\n</dict>\n";
  std::string xml = doc(body);
  long keyLine = 1 + std::count(xml.begin(), xml.begin() + xml.find("<key>Total Time"), '\n');
  ASSERT_GT(keyLine, 65535);
  std::string m;
  EXPECT_EQ(errorLine(xml, &m), keyLine);
  EXPECT_EQ(m, "key \"Total Time\" has no value");
}

// --- The cursor against the full parser --------------------------------------

// Whether the cursor reads the document to a library without handing it
// over, in small pieces so that tokens cross them.
bool cursorTakes(std::string_view xml) {
  try {
    LibraryReader().withCursorOnly().readMemory(xml, "Library.xml");
    return true;
  } catch (const LibraryError& e) {
    if (e.message() == "out of the cursor's form") return false;
    ADD_FAILURE() << "the cursor alone raised " << e.what();
    return false;
  }
}

void expectSameReading(const std::string& what, const std::string& xml, bool inForm) {
  EXPECT_EQ(cursorTakes(xml), inForm) << what;
  EXPECT_EQ(testsupport::libraryOutcome(LibraryReader(), xml),
            testsupport::libraryOutcome(LibraryReader().withFullParserOnly(), xml))
      << what;
}

TEST(LibraryCursor, ReadsWhatTheFullParserReads) {
  const std::string tracks =
      "<key>Tracks</key><dict>\n" +
      track(1, "A1", "file:///m/a%20b.mp3", "<key>Name</key><string>N</string>") +
      track(2, "A2", "file:///m/c.mp3") + "</dict>\n";
  const std::string body =
      tracks + "<key>Playlists</key><array>\n" + playlist("P1", "Mix", {2, 1, 2}) + "</array>\n";
  const std::string root = "<plist version=\"1.0\"><dict>" + body + "</dict></plist>";
  auto crlf = [](std::string s, std::string_view eol) {
    for (size_t at = 0; (at = s.find('\n', at)) != std::string::npos; at += eol.size())
      s.replace(at, 1, eol);
    return s;
  };
  auto named = [&](const std::string& name) {
    return doc("<key>Tracks</key><dict>" +
               track(1, "A1", "file:///a", "<key>Name</key><string>" + name + "</string>") +
               "</dict>");
  };
  auto valued = [&](const std::string& key, const std::string& value) {
    return doc("<key>Tracks</key><dict>\n" + track(1, "A1", "file:///a", key + value) + "</dict>");
  };
  std::string longName(70000, 'x');
  longName.replace(65530, 5, "&amp;");
  std::string deep = doc("<key>Tracks</key><dict/><key>X</key>");
  deep.insert(deep.rfind("</dict>\n</plist>"), std::string(300 * 7, ' '));
  for (size_t i = 0; i < 300; ++i) deep.replace(deep.find("       "), 7, "<array>");
  struct Case {
    std::string what, xml;
    bool inForm;
  };
  const Case cases[] = {
      {"an export", doc(body), true},
      {"no declaration, no document type", root, true},
      {"a byte order mark, encoding in lower case, standalone",
       "\xEF\xBB\xBF<?xml version='1.0' encoding='utf-8' standalone='yes'?>\n" + root, true},
      {"CR LF line ends", crlf(doc(body), "\r\n"), true},
      {"comments everywhere",
       "<!-- a -->\n<plist><dict><!-- b -->" + body + "<!---->\n</dict></plist>\n<!-- c -->\n",
       true},
      {"a comment inside a name", named("Na<!-- - -->me"), false},
      {"references", named("A &amp; B &lt;&gt;&quot;&apos; &#38;&#x26;&#x1F3B5;&#233;"), true},
      {"empty elements",
       doc(tracks + "<key>Application Version</key><string/><key>Playlists</key><array/>"), true},
      {"one empty element", valued("<key>Disabled</key>", "<true></true>"), true},
      {"keys read step by step: a reference, letters past ASCII, none",
       valued("<key>Na&#109;e</key><string>x</string><key>Gr\xC3\xBC\xC3\x9F</key><integer>1"
              "</integer><key/>",
              "<string a='1'>y</string>"),
       true},
      {"a comment between a key and its value",
       valued("<key>Name</key><!-- c -->", "<string>x</string>"), true},
      {"a number over lines", valued("<key>Size</key>", "<integer>\n12x\n</integer>"), false},
      {"a number past ASCII over lines",
       valued("<key>Size</key>", "<integer>\xC3\xA9\n\nx</integer>"), false},
      {"a number starting with a reference",
       valued("<key>Size</key>", "<integer>&#49;\nx</integer>"), false},
      {"a number over CR LF lines", valued("<key>Size</key>", "<integer>\r\n1\r\nx</integer>"),
       false},
      {"a number past ASCII after CR LF",
       valued("<key>Size</key>", "<integer>\r\n\xC3\xA9\r\nx</integer>"), false},
      {"a number that is a CR LF", valued("<key>Size</key>", "<integer>\r\n</integer>"), false},
      {"layout, then text over CR LF lines",
       doc("<key>Tracks</key><dict><key>7</key>\n\t\t\r\ndict>\n\t<key>A</key></dict>"), false},
      {"a key over lines without a value", valued("<key>\nTotal Time\n</key>", ""), false},
      {"a start tag over lines", "<?xml version=\"1.0\"?>\n<html\n a='1'\n\n/>\n", false},
      {"a value of the wrong kind", valued("<key>Name</key>", "<integer>3</integer>"), false},
      {"text between entries", valued(" x\n", ""), false},
      {"a long name across pieces", named(longName), true},
      {"an encoding of its own",
       "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n" + named("\xE9t\xE9"), false},
      {"bytes not in the declared encoding",
       "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>\n<plist><dict>\x81\x7f\xff</dict></plist>",
       false},
      {"CDATA", named("<![CDATA[a<b]]>"), false},
      {"a processing instruction", doc("<?pi x?>" + body), false},
      {"an entity of the document's own",
       "<?xml version=\"1.0\"?>\n<!DOCTYPE plist [<!ENTITY e \"boom\">]>\n" + root, false},
      {"an undeclared entity", named("a&e;"), false},
      {"a lone CR", named("a\rb"), false},
      {"CR LF inside a name", named("a\r\nb"), true},
      {"bytes that are not UTF-8", named("a\xFF"), false},
      {"a surrogate", named("a\xED\xA0\x80"), false},
      {"U+FFFE", named("a\xEF\xBF\xBE"), false},
      {"a control character", named("a\x01"), false},
      {"a reference to NUL", named("a&#0;"), false},
      {"]]> in text", named("a]]>b"), false},
      {"tags that do not match", named("a</key>"), false},
      {"the file ends early", doc(body).substr(0, 200), false},
      {"a second root", root + "<plist/>", false},
      {"text after the root", root + "x", false},
      {"nesting deeper than the parser allows", deep, false},
      {"a namespace prefix", "<p:plist xmlns:p='x'><p:dict>" + body + "</p:dict></p:plist>", false},
      {"an attribute said twice", "<plist a='1' a='2'><dict>" + body + "</dict></plist>", false},
      {"only blanks", " \n", false},
  };
  for (const Case& c : cases) expectSameReading(c.what, c.xml, c.inForm);
}

// A document longer than the cursor's window is read in refills: what
// it finds late (the end of the library, an error, a form the cursor
// hands over) must come out as it does from the full parser.
TEST(LibraryCursor, ReadsALongDocumentAcrossRefillsAsTheFullParserDoes) {
  std::string body = "<key>Tracks</key><dict>\n";
  for (int i = 1; i <= 3000; ++i) {
    std::string n = std::to_string(i);
    body += track(i, "P" + n, "file:///m/" + n + ".mp3",
                  "<key>Name</key><string>T&amp;" + n + "</string>");
  }
  body += "</dict>\n";
  const std::string whole =
      doc(body + "<key>Playlists</key><array>" + playlist("L1", "All", {3, 1, 2999}) + "</array>");
  const struct {
    std::string what, xml;
    bool inForm;
  } cases[] = {
      {"a long library", whole, true},
      {"a long library that ends early", whole.substr(0, whole.size() - 30), false},
      {"an error late", doc(body + "<key>Music Folder</key><integer>3</integer>"), false},
      {"CDATA late", doc(body + "<key>Music Folder</key><string><![CDATA[x]]></string>"), false},
  };
  for (const auto& c : cases) expectSameReading(c.what, c.xml, c.inForm);
}

// Playlist entries in the export's form are taken whole by the cursor;
// entries in any other form, and the same form where the reader walks it
// part by part, must read as the full parser reads them.
TEST(LibraryCursor, PlaylistEntriesInEveryFormReadAsTheFullParserReads) {
  std::string tracks = "<key>Tracks</key><dict>\n";
  for (int i = 1; i <= 50; ++i)
    tracks += track(i, "P" + std::to_string(i), "file:///m/" + std::to_string(i) + ".mp3");
  // A track with nothing but its number has an entry's form.
  tracks +=
      "<key>77</key>\n<dict>\n\t<key>Track ID</key> <integer>77</integer>\n</dict>\n</dict>\n";
  const std::string forms[] = {
      "<dict>\n\t\t<key>Track ID</key><integer>7</integer>\n\t</dict>\n\t",
      "<dict><key>Track ID</key><integer>12</integer></dict>",
      "<dict> <key>Track ID</key>\n\n<integer>3</integer> </dict>",
      "<dict><key>Track ID</key><integer>007</integer></dict>",
      "<dict><key>Track ID</key><integer>99</integer><key>X</key><true/></dict>",
      "<dict><key>Track ID</key><integer> 5</integer></dict>\r\n",
      "<dict><key>Track ID</key><integer>77</integer></dict>",
      "<array/>",
  };
  std::string playlists = "<key>Playlists</key><array>\n";
  for (int p = 0; p < 60; ++p) {
    playlists += "<dict><key>Name</key><string>L" + std::to_string(p) +
                 "</string><key>Playlist Persistent ID</key><string>L" + std::to_string(p) +
                 "</string><key>Playlist Items</key><array>\n";
    for (int e = 0; e < 150; ++e)
      playlists += forms[(p + e * (p % 3 + 1)) % 8 == 7 ? 1 : (p + e) % 7];
    // Now and then a playlist without an identifier, its entries none.
    if (p % 9 == 4) playlists += "</array></dict>\n<dict><key>Playlist Items</key><array>\n";
    playlists += "</array></dict>\n";
  }
  const std::string whole = doc(tracks + playlists + "</array>\n");
  const std::string entryAsValue = "<dict>\n<key>Track ID</key>\n\n<integer>1</integer></dict>";
  const struct {
    std::string what, xml;
    bool inForm = false;
  } cases[] = {
      {"entries of every form", whole, true},
      {"an entry in place of the playlists", doc(tracks + "<key>Playlists</key>\n" + entryAsValue)},
      {"an entry as the library", doc(playlists + "</array>\n<key>Tracks</key>" + entryAsValue)},
      {"an entry where a playlist belongs",
       doc(tracks + "<key>Playlists</key><array>" + entryAsValue + "</array>"), true},
      {"an entry with too large a number",
       doc(tracks + playlists +
           "<dict><key>Playlist Items</key><array>\n<dict><key>Track "
           "ID</key><integer>99999999999999999999</integer></dict>"
           "</array></dict></array>\n")},
      {"the file ends inside the entries", whole.substr(0, whole.size() / 2)},
  };
  for (const auto& c : cases) expectSameReading(c.what, c.xml, c.inForm);
}

TEST(LibraryCursor, TakesEveryRealExport) {
  std::vector<std::filesystem::path> files;
  if (std::filesystem::exists(kFixtures)) {
    for (const auto& entry : std::filesystem::directory_iterator(kFixtures))
      files.push_back(entry.path());
  }
  TESSALINE_REQUIRE_FIXTURE(!files.empty(), kFixtures);
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    std::string xml((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Every export the full parser reads, the cursor reads; a malformed one
    // it hands over.
    bool library = true;
    try {
      LibraryReader().withFullParserOnly().readMemory(xml, "Library.xml");
    } catch (const LibraryError&) {
      library = false;
    }
    expectSameReading(file.filename().string(), xml, library);
  }
}

TEST(LibraryReaderErrors, MissingFileIsReported) {
  try {
    LibraryReader().read("/nonexistent/iTunes Library.xml");
    FAIL();
  } catch (const LibraryError& e) {
    EXPECT_EQ(e.line(), 0);
    EXPECT_EQ(e.message(), "cannot open: No such file or directory");
  }
}

TEST(LibraryReaderContent, ItemsAreResolvedEvenWhenPlaylistsComeFirst) {
  std::string xml = doc(
      "<key>Playlists</key><array>\n" + playlist("PL1", "Mix", {2, 1, 9, 3, 2}) +
      playlist("PL2", "Mix", {1}) + playlist("PL1", "Same ID again", {1}) +
      "</array>\n<key>Tracks</key><dict>\n" +
      track(1, "T1", "file://localhost/m/a%20b.mp3", "<key>Size</key><integer> +42\n</integer>") +
      track(2, "T2", "file:///m/c.mp3", "<key>Disabled</key><true/>") +
      track(3, "T3", "", "<key>Track Type</key><string>Remote</string>") +
      track(4, "T1", "file:///m/dup.mp3") + "</dict>\n");
  Library lib = LibraryReader().readMemory(xml, "mem");
  ASSERT_EQ(lib.tracks.size(), 2u);
  EXPECT_EQ(lib.tracks[0].location, "/m/a b.mp3");
  EXPECT_EQ(lib.tracks[0].size, 42);  // blanks around a number are allowed
  EXPECT_TRUE(lib.tracks[1].disabled);
  EXPECT_EQ(lib.tracksWithoutFile, 1u);
  EXPECT_EQ(lib.tracksWithoutIdentifier, 1u);  // the repeated "T1"
  ASSERT_EQ(lib.playlists.size(), 2u);
  EXPECT_EQ(lib.playlistsWithoutIdentifier, 1u);
  EXPECT_EQ(lib.playlists[0].items, (std::vector<std::string_view>{"T2", "T1", "T2"}));
  EXPECT_EQ(lib.playlists[1].name, "Mix");  // same names are kept apart
  EXPECT_EQ(lib.itemsNamingMissingTrack, 1u);
  EXPECT_EQ(lib.itemsNamingTrackWithoutFile, 1u);
}

TEST(LibraryReaderContent, CdataAndCharacterReferencesAreText) {
  std::string xml =
      doc("<key>Tracks</key><dict>" +
          track(1, "T1", "file:///m/x.mp3", "<key>Name</key><string>R&#233;sum&eacute;</string>") +
          "</dict>");
  // &eacute; is not one of XML's own entities: refused.
  EXPECT_THROW(LibraryReader().readMemory(xml, "mem"), LibraryError);
  std::string ok = doc("<key>Tracks</key><dict>" +
                       track(1, "T1", "file:///m/x.mp3",
                             "<key>Name</key><string>R&#233;s<![CDATA[<um>]]>&amp;&lt;</string>") +
                       "</dict>");
  EXPECT_EQ(LibraryReader().readMemory(ok, "mem").tracks[0].name, "R\u00E9s<um>&<");
}

// The file is parsed a piece at a time: texts and elements that a piece
// boundary cuts, a text longer than a piece, and empty elements at either
// side of one come out whole, whichever byte the boundary falls on.
TEST(LibraryReaderContent, WhatAPieceBoundaryCutsComesOutWhole) {
  std::string body = "<key>Tracks</key><dict>\n";
  std::vector<std::string> names;
  for (int i = 1; i <= 900; ++i) {
    names.push_back(std::string(i == 450 ? 200000 : 37 + i % 211, static_cast<char>('a' + i % 26)) +
                    "&amp;" + std::to_string(i));
    body += track(i, "P" + std::to_string(i), "file:///m/" + std::to_string(i) + ".mp3",
                  "<key>Name</key><string>" + names.back() + "</string><key>Disabled</key>" +
                      (i % 2 ? "<true/>" : "<true></true>"));
  }
  Library lib = LibraryReader().readMemory(doc(body + "</dict>\n"), "mem");
  ASSERT_EQ(lib.tracks.size(), names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    std::string want = names[i];
    want.replace(want.find("&amp;"), 5, "&");
    ASSERT_EQ(lib.tracks[i].name, want) << i;
    ASSERT_TRUE(lib.tracks[i].disabled) << i;
  }
}

// --- Locations and the path map ------------------------------------------------

// Texts of any length, short ones filling blocks and long ones in blocks
// of their own, stay as they were added.
TEST(LibraryText, KeepsEveryTextWhole) {
  LibraryText text;
  std::vector<std::string> added;
  std::vector<std::string_view> kept;
  for (size_t i = 0; i < 400; ++i) {
    added.push_back(
        std::string(i % 50 == 7 ? 20000 + i : i % 300, static_cast<char>('a' + i % 26)));
    kept.push_back(text.add(added.back()));
  }
  for (size_t i = 0; i < added.size(); ++i) ASSERT_EQ(kept[i], added[i]) << i;
}

TEST(FileUrl, DecodesTheForms) {
  EXPECT_EQ(LibraryReader::decodeFileUrl("file://localhost/Users/a/b%20c.mp3"), "/Users/a/b c.mp3");
  EXPECT_EQ(LibraryReader::decodeFileUrl("file:///Users/a/b.mp3"), "/Users/a/b.mp3");
  EXPECT_EQ(LibraryReader::decodeFileUrl("FILE://LOCALHOST/x"), "/x");
  EXPECT_EQ(LibraryReader::decodeFileUrl("file://localhost/C:/Music/a.mp3"), "C:/Music/a.mp3");
  EXPECT_EQ(LibraryReader::decodeFileUrl("file:///d|/Music/a.mp3"), "d:/Music/a.mp3");
  EXPECT_EQ(LibraryReader::decodeFileUrl("file://nas/share/a.mp3"), "//nas/share/a.mp3");
  EXPECT_EQ(LibraryReader::decodeFileUrl("file://localhost//nas/share/a.mp3"), "//nas/share/a.mp3");
  EXPECT_EQ(LibraryReader::decodeFileUrl("file:///a/100%25"), "/a/100%");
  EXPECT_EQ(LibraryReader::decodeFileUrl("file:///a/100%zz"), std::nullopt);
  EXPECT_EQ(LibraryReader::decodeFileUrl("file:///a/x.mp3?q#f"), "/a/x.mp3");
  EXPECT_EQ(LibraryReader::decodeFileUrl("file:///a/%00x"), std::nullopt);
  EXPECT_EQ(LibraryReader::decodeFileUrl("http://example.com/a.mp3"), std::nullopt);
  EXPECT_EQ(LibraryReader::decodeFileUrl("file://"), std::nullopt);
}

TEST(PathMap, MatchesWholeComponentsAndTheLongestPrefix) {
  PathMap map;
  map.parse("C:/Users/Me/Music=/mnt/music");
  map.parse("C:/Users/Me/Music/Live=/mnt/live/");
  map.parse("/Users/me=/home/me");
  EXPECT_EQ(map.apply("C:/Users/Me/Music/a/b.mp3"), "/mnt/music/a/b.mp3");
  EXPECT_EQ(map.apply("c:/users/me/music/a.mp3"), "/mnt/music/a.mp3");
  EXPECT_EQ(map.apply("C:/Users/Me/Music/Live/x.mp3"), "/mnt/live/x.mp3");
  EXPECT_EQ(map.apply("C:/Users/Me/MusicBox/x.mp3"), std::nullopt);
  EXPECT_EQ(map.apply("/Users/me/x.mp3"), "/home/me/x.mp3");
  EXPECT_EQ(map.apply("/Users/Me/x.mp3"), std::nullopt);  // POSIX prefixes keep their case
  EXPECT_EQ(map.apply("D:/x.mp3"), std::nullopt);
  EXPECT_THROW(map.parse("no equals sign"), std::invalid_argument);
  EXPECT_THROW(map.parse("C:/x=relative/path"), std::invalid_argument);
  EXPECT_THROW(map.parse("=/mnt"), std::invalid_argument);
}

TEST(LibraryReaderFiles, FindsTheExportByItsUsualNames) {
  auto dir = std::filesystem::temp_directory_path() / "tessaline-library-find";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  EXPECT_EQ(LibraryReader::findExportIn(dir.string()), std::nullopt);
  std::ofstream(dir / "Library.xml") << "x";
  EXPECT_EQ(LibraryReader::findExportIn(dir.string()), (dir / "Library.xml").string());
  std::ofstream(dir / "iTunes Music Library.xml") << "x";
  EXPECT_EQ(LibraryReader::findExportIn(dir.string()), (dir / "iTunes Music Library.xml").string());
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace app
