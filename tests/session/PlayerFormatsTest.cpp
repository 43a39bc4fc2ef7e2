// What the drive plays comes from its .is_audio_player unless the
// command line says otherwise, and is judged by each file's content,
// which the drive's record then remembers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "fs/DestinationRoot.h"
#include "fs/DriveRecord.h"
#include "session/DestinationLayout.h"
#include "session/ExportSession.h"
#include "support/Services.h"
#include "support/TempDir.h"

namespace stdfs = std::filesystem;

TEST(PlayerFormats, TheProfileSetsTheDefaultsAndEachFileIsJudgedByWhatItHolds) {
  if (std::system("ffmpeg -version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg";
  testsupport::TempDir dir;
  std::string lib = dir / "lib", drive = dir / "drive";
  ASSERT_TRUE(testsupport::makeSampleLibrary(lib));
  // A FLAC file under a .wav name.
  const std::string odd = lib + "/Media/Music/Nena/99 Luftballons/18 99 Luftballons.wav";
  ASSERT_EQ(std::system(("ffmpeg -nostdin -loglevel error -i '" + odd + "' -f flac '" + dir / "x" +
                         "' && mv '" + dir / "x" + "' '" + odd + "'")
                            .c_str()),
            0);
  // A file FFmpeg cannot tell, judged by its name.
  const std::string noise = lib + "/Media/Music/坂本龍一/音楽図鑑/07 Tibetan Dance.wav";
  ASSERT_EQ(std::system(
                ("test -f '" + noise + "' && head -c 3000 /dev/urandom > '" + noise + "'").c_str()),
            0);
  testsupport::writeFile(drive + "/.is_audio_player",
                         "output_formats=audio/x-wav\nplaylist_format=audio/x-mpegurl\nbad\n");
  struct Row {
    std::vector<std::string> formats;  // empty: none given
    size_t unplayable;
    std::string playlistFormat;
  };
  for (const Row& row :
       std::vector<Row>{{{}, 1, "m3u"}, {{"flac", "pcm"}, 0, "m3u"}, {{"audio/flac"}, 18, "m3u"}}) {
    SCOPED_TRACE(row.unplayable);
    app::ExportOptions options;
    options.library = lib + "/Library.xml";
    options.to = drive;
    options.playableFormatsGiven = !row.formats.empty();
    if (!row.formats.empty()) options.playableFormats = row.formats;
    app::ExportSession session(options, testsupport::services());
    ASSERT_TRUE(session.load().ok());
    EXPECT_EQ(session.playerSettings().playlistFormat.value, row.playlistFormat);
    ASSERT_EQ(session.playerSettings().problems.size(), 1u);
    EXPECT_EQ(session.playerSettings().problems[0].line, 3u);
    auto plan = session.plan();
    ASSERT_TRUE(plan.ok());
    ASSERT_EQ((*plan)->unplayable.size(), row.unplayable);
    if (row.unplayable == 1) {
      EXPECT_EQ((*plan)->unplayable[0].reason,
                "its .wav file holds FLAC, which the drive does not play "
                "(.is_audio_player line 1)");
    }
    if (row.formats.empty()) {
      ASSERT_TRUE(session.prepare().ok());
      ASSERT_TRUE(session.copy(nullptr, nullptr).ok());
    }
  }
  // Found once, remembered by the source's size and time.
  auto record = fs::DriveRecord::load(*fs::DestinationRoot::open(drive),
                                      &app::DestinationLayout::collisionKey);
  ASSERT_TRUE(record.ok());
  EXPECT_EQ(record->probed.size(), 19u);
  EXPECT_EQ(record->probed.at(odd).codec, "flac");
  EXPECT_FALSE(record->probed.at(noise).told);
}

namespace {

// What one whole export did.
struct Exported {
  size_t copied = 0, written = 0, covers = 0, deleted = 0, moved = 0;
  std::string failed;
};

Exported exportAll(const std::string& library, const std::string& drive,
                   const std::vector<std::string>& only = {}) {
  app::ExportOptions options;
  options.library = library;
  options.to = drive;
  options.yes = true;
  options.playlists = only;
  app::ExportSession session(options, testsupport::services());
  Exported out;
  if (auto r = session.load(); !r) return {0, 0, 0, 0, 0, r.error().message()};
  if (!session.prepare().ok() || !session.plan().ok()) return {0, 0, 0, 0, 0, "no plan"};
  auto copied = session.copy(nullptr, nullptr);
  if (!copied) return {0, 0, 0, 0, 0, copied.error().message()};
  out.copied = copied->copied.size();
  out.moved = session.renamed().moved.size();
  for (const auto& why : session.renamed().notMoved) out.failed += "not moved " + why + "\n";
  std::vector<app::CoverFailure> covers;
  out.covers = session.covers(nullptr, &covers);
  for (const auto& f : covers) out.failed += "cover " + f.path + ": " + f.reason + "\n";
  app::PlaylistOutcome lists = session.playlistFiles();
  out.written = lists.written.size();
  for (const auto& f : lists.notWritten) out.failed += "list " + f.file + ": " + f.reason + "\n";
  app::CleanOutcome cleaned = session.clean(true);
  out.deleted = cleaned.deleted;
  for (const auto& i : cleaned.items)
    if (i.item.ours && !i.deleted) out.failed += "kept " + i.item.path + ": " + i.reason + "\n";
  return out;
}

}  // namespace

// Where the profile puts playlist files and covers, followed export after
// export: what an earlier profile had written elsewhere goes, the owner's
// files stay, every entry plays, and an export with nothing changed
// changes nothing.
TEST(PlayerFormats, PlaylistFilesAndCoversGoWhereTheProfileSays) {
  testsupport::TempDir dir;
  std::string lib = dir / "lib", drive = dir / "drive";
  ASSERT_TRUE(testsupport::makeSampleLibrary(lib));
  testsupport::writeFile(drive + "/Playlists/Mine.m3u8", "#EXTM3U\n");
  testsupport::writeFile(drive + "/Music/Mine/mine.mp3", "the owner's");
  struct Row {
    const char* profile;  // none: no .is_audio_player
    std::string folder;   // of the playlist files, below the drive
    std::string cover;
    bool again;  // nothing changed since the last export
    std::string music = "Music";
    bool moves = false;  // the tracks move to another music folder, none is copied
  };
  const std::vector<Row> rows = {
      {nullptr, "Playlists", "folder.jpg", false},
      {"audio_folders=AUDIO/\nplaylist_path=/Lists/%File\n", "Lists", "folder.jpg", false, "AUDIO",
       true},
      {"audio_folders=AUDIO/\nplaylist_path=/Lists/%File\n", "Lists", "folder.jpg", true, "AUDIO"},
      {"audio_folders=/Media/Music\n", "Playlists", "folder.jpg", false, "Media/Music", true},
      // The root is not followed.
      {"audio_folders=/\n", "Playlists", "folder.jpg", false, "Music", true},
      {"playlist_path=/Lists/./%File\ncover_art_file_name=cover\n", "Lists", "cover.jpg", false},
      {"playlist_path=/Lists/./%File\ncover_art_file_name=cover\n", "Lists", "cover.jpg", true},
      {"playlist_path=%File\n", "", "folder.jpg", false},
      {"playlist_path=Music/Lists/../Playlists/%File\n", "Music/Playlists", "folder.jpg", false},
      {"playlist_path=Music/Lists/../Playlists/%File\n", "Music/Playlists", "folder.jpg", true},
      {"cover_art_file_name=AlbumArt.png\n", "Playlists", "AlbumArt.png", false},
      {"cover_art_file_name=AlbumArt.png\ncover_art_size=40\n", "Playlists", "AlbumArt.png", false},
      {"cover_art_file_name=AlbumArt.png\ncover_art_size=40\n", "Playlists", "AlbumArt.png", true},
      {"cover_art_file_type=jpg\ncover_art_size=40\n", "Playlists", "folder.jpg", false},
  };
  size_t lists = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.profile ? row.profile : "no profile");
    if (row.profile) testsupport::writeFile(drive + "/.is_audio_player", row.profile);
    Exported done = exportAll(lib + "/Library.xml", drive);
    EXPECT_EQ(done.failed, "");
    if (row.again) {
      EXPECT_EQ(done.copied + done.written + done.covers + done.deleted, 0u);
    }
    if (row.moves) {
      EXPECT_EQ(done.copied, 0u);
      EXPECT_GT(done.moved, 2u);
    }
    EXPECT_TRUE(stdfs::exists(drive + "/Music/Mine/mine.mp3"));
    // Every track is in the music folder named, and what the exporter
    // made in the others is gone but for what holds the owner's file.
    for (const auto& e : stdfs::recursive_directory_iterator(drive)) {
      std::string relative = e.path().lexically_relative(drive).generic_string();
      std::string name = e.path().filename().string();
      bool music = relative.rfind("Music", 0) == 0 || relative.rfind("AUDIO", 0) == 0 ||
                   relative.rfind("Media", 0) == 0;
      if (e.is_directory() && music && relative != row.folder && relative != row.music &&
          row.music.rfind(relative + "/", 0) != 0 && name != ".tessaline" && name != "Playlists") {
        EXPECT_FALSE(stdfs::is_empty(e.path())) << relative;
      }
      if (!e.is_regular_file() || name[0] == '.' ||
          relative.find(".tessaline/") != std::string::npos || relative == "Music/Mine/mine.mp3" ||
          e.path().extension() == ".m3u8" || name == row.cover)
        continue;
      EXPECT_EQ(relative.rfind(row.music + "/", 0), 0u) << relative;
    }
    // Every playlist file on the drive is in the folder asked for (but the
    // owner's), and every entry of each names a file there.
    std::vector<std::string> found, covers;
    for (const auto& e : stdfs::recursive_directory_iterator(drive)) {
      std::string relative = e.path().lexically_relative(drive).generic_string();
      std::string name = e.path().filename().string();
      if (name == "folder.jpg" || name == "cover.jpg" || name == "AlbumArt.png") {
        covers.push_back(name);
        // What the name says it is, and of the size asked (the sample's
        // are 1 x 1): as a PNG's header or a JPEG's frame says.
        std::string bytes = testsupport::readFile(e.path());
        bool png = name.ends_with(".png");
        EXPECT_EQ(bytes.substr(0, png ? 4 : 3), png ? "\x89PNG" : "\xFF\xD8\xFF");
        size_t at = png ? 18 : bytes.find("\xFF\xC0") + 5;
        auto at16 = [&](size_t i) {
          return i + 1 < bytes.size()
                     ? static_cast<uint8_t>(bytes[i]) * 256 + static_cast<uint8_t>(bytes[i + 1])
                     : -1;
        };
        int side =
            row.profile && std::string_view(row.profile).find("size=40") != std::string_view::npos
                ? 40
                : 1;
        EXPECT_EQ(at16(at), side) << relative;
        EXPECT_EQ(at16(at + (png ? 4 : 2)), side) << relative;
      }
      if (e.path().extension() != ".m3u8" || relative == "Playlists/Mine.m3u8") continue;
      EXPECT_EQ(e.path().parent_path().lexically_relative(drive).generic_string(),
                row.folder.empty() ? "." : row.folder);
      found.push_back(relative);
      std::ifstream in(e.path());
      for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line[0] != '#') {
          EXPECT_TRUE(stdfs::is_regular_file(e.path().parent_path() / line)) << relative << line;
        }
      }
    }
    if (lists == 0) lists = found.size();
    EXPECT_EQ(found.size(), lists);
    EXPECT_GT(lists, 2u);
    EXPECT_EQ(covers, std::vector<std::string>(3, row.cover));
    EXPECT_TRUE(stdfs::exists(drive + "/Playlists/Mine.m3u8"));
  }
  // An image FFmpeg cannot read is named with the reason, and nothing is
  // written in its place.
  for (const auto& e : stdfs::recursive_directory_iterator(lib + "/Media"))
    if (e.path().filename() == "folder.jpg") testsupport::writeFile(e.path(), "not an image");
  testsupport::writeFile(drive + "/.is_audio_player",
                         "cover_art_file_name=Art.png\ncover_art_file_type=png\n");
  Exported done = exportAll(lib + "/Library.xml", drive);
  EXPECT_NE(done.failed.find("/Art.png: cannot convert the cover image " + lib), std::string::npos)
      << done.failed;
  EXPECT_NE(done.failed.find("folder.jpg: it is neither a JPEG nor a PNG image"),
            std::string::npos);
  EXPECT_EQ(done.covers, 2u);
}

// An export of one playlist keeps the others' files as they stand: the
// copies they list stay where they find them when the music folder moves,
// and the playlist's tracks among them are copied anew.
TEST(PlayerFormats, ACopyAPlaylistFileLeftOnTheDriveListsDoesNotMove) {
  testsupport::TempDir dir;
  std::string lib = dir / "lib", drive = dir / "drive";
  ASSERT_TRUE(testsupport::makeSampleLibrary(lib));
  stdfs::create_directories(drive);
  ASSERT_EQ(exportAll(lib + "/Library.xml", drive).failed, "");
  testsupport::writeFile(drive + "/.is_audio_player", "audio_folders=Audio\n");
  Exported done = exportAll(lib + "/Library.xml", drive, {"Road Trip"});
  EXPECT_EQ(done.failed, "");
  EXPECT_GT(done.copied, 0u);
  size_t stayed = 0, moved = 0;
  for (const auto& e : stdfs::directory_iterator(drive + "/Playlists")) {
    std::ifstream in(e.path());
    for (std::string line; std::getline(in, line);) {
      if (line.empty() || line[0] == '#') continue;
      EXPECT_TRUE(stdfs::is_regular_file(e.path().parent_path() / line)) << e.path() << line;
      stayed += line.rfind("../Music/", 0) == 0;
      moved += line.rfind("../Audio/", 0) == 0;
    }
  }
  EXPECT_GT(stayed, 0u);
  EXPECT_GT(moved, 0u);
}
