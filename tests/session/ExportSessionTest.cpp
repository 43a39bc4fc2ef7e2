// The session's plan as the window uses it: planned again and again in
// one process while the drive and the computer change in between.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>

#include "fs/DestinationRoot.h"
#include "fs/DriveRecord.h"
#include "fs/ReplaceFile.h"
#include "session/DestinationLayout.h"
#include "session/DriveCheck.h"
#include "session/ExportOptions.h"
#include "session/ExportSession.h"
#include "support/FaultInjectingFileManager.h"
#include "support/Services.h"
#include "support/TempDir.h"

namespace stdfs = std::filesystem;

using testsupport::makeSampleLibrary;

// Every plan looks at the drive and at the sources as they are then: a
// listing or a source lookup of an earlier plan must not answer for it.
TEST(ExportSession, EachPlanSeesTheDriveAndTheSourcesAsTheyAreThen) {
  testsupport::TempDir dir;
  std::string lib = dir / "lib", drive = dir / "drive";
  ASSERT_TRUE(makeSampleLibrary(lib));
  stdfs::create_directories(drive);
  app::ExportOptions options;
  options.library = lib + "/Library.xml";
  options.to = drive;
  app::ExportSession session(options, testsupport::services());
  ASSERT_TRUE(session.load().ok());
  ASSERT_TRUE(session.prepare().ok());
  ASSERT_TRUE(session.plan().ok());
  auto outcome = session.copy(nullptr, nullptr);
  ASSERT_TRUE(outcome.ok()) << outcome.error().message();
  app::CopyOutcome& copied = *outcome;
  ASSERT_TRUE(copied.notCopied.empty());
  ASSERT_FALSE(copied.copied.empty());
  const std::string track = copied.copied[0];
  const uint64_t trackBytes = stdfs::file_size(track);
  // Beside the album folders: only the stale walk lists that folder.
  const std::string mine = stdfs::path(track).parent_path().parent_path().string() + "/mine.mp3";

  struct Step {
    const char* what;
    std::function<void()> change;
    uint64_t bytesToCopy;
    std::vector<std::string> staleKept;  // the user's, in plan order
    size_t missingSources;
  };
  const std::vector<Step> steps = {
      {"after the copy", [] {}, 0, {}, 0},
      {"a file of the user's where an earlier plan listed nothing",
       [&] { testsupport::writeFile(mine, "mine"); },
       0,
       {mine},
       0},
      {"an exported file gone from the drive",
       [&] { stdfs::remove(track); },
       trackBytes,
       {mine},
       0},
      {"every source gone from the computer",
       [&] { stdfs::remove_all(lib + "/Media"); },
       0,
       {mine},
       1},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    step.change();
    auto planned = session.plan();
    ASSERT_TRUE(planned.ok()) << planned.error().message();
    const app::ExportPlan& plan = **planned;
    EXPECT_EQ(plan.bytesToCopy, step.bytesToCopy);
    std::vector<std::string> kept;
    for (const auto& item : plan.stale) {
      EXPECT_FALSE(item.ours) << item.path;
      kept.push_back(item.path);
    }
    EXPECT_EQ(kept, step.staleKept);
    EXPECT_EQ(plan.missingSources.size(), step.missingSources);
  }
}

// --verify: a copy the drive returns otherwise when read back is removed
// and its track reported; the others are counted as verified.
TEST(ExportSession, VerifyRemovesACopyTheDriveReturnsOtherwise) {
  testsupport::TempDir dir;
  std::string lib = dir / "lib", drive = dir / "drive";
  ASSERT_TRUE(makeSampleLibrary(lib));
  stdfs::create_directories(drive);
  auto faulty = std::make_shared<fs::FaultInjectingFileManager>();
  faulty->corruptReadBack(".wav");
  app::ExportOptions options;
  options.library = lib + "/Library.xml";
  options.to = drive;
  options.verify = true;
  app::ExportSession session(options, testsupport::services(faulty));
  ASSERT_TRUE(session.load().ok());
  ASSERT_TRUE(session.prepare().ok());
  ASSERT_TRUE(session.plan().ok());
  auto outcome = session.copy(nullptr, nullptr);
  ASSERT_TRUE(outcome.ok());
  const app::CopyOutcome& copied = *outcome;
  ASSERT_FALSE(copied.notCopied.empty());
  for (const auto& f : copied.notCopied) {
    EXPECT_NE(f.reason.find("the drive returned different data"), std::string::npos) << f.reason;
    EXPECT_FALSE(stdfs::exists(f.destination)) << f.destination;
    EXPECT_EQ(stdfs::path(f.destination).extension(), ".wav");
  }
  EXPECT_EQ(copied.verified, copied.copied.size());
  EXPECT_EQ(copied.unverified, 0u);
  for (const auto& path : copied.copied) EXPECT_NE(stdfs::path(path).extension(), ".wav") << path;
}

// A replacement a kill cut short is settled before anything is written:
// the old file goes back under its name, or the aside copy goes.
TEST(ExportSession, PrepareSettlesReplacementsCutShort) {
  testsupport::TempDir dir;
  std::string lib = dir / "lib", drive = dir / "drive";
  ASSERT_TRUE(makeSampleLibrary(lib));
  testsupport::writeFile(drive + "/Playlists/" + fs::asideName("Old.m3u8"), "old");
  testsupport::writeFile(drive + "/Playlists/" + fs::asideName("New.m3u8"), "older");
  testsupport::writeFile(drive + "/Playlists/New.m3u8", "new");
  // Set aside by an export that noted them first.
  auto root = fs::DestinationRoot::open(drive);
  ASSERT_EQ(root->noteAside("Playlists/Old.m3u8"), 0);
  ASSERT_EQ(root->noteAside("Playlists/New.m3u8"), 0);
  // A name alone is nothing: the user's own look-alike stays as it is.
  testsupport::writeFile(drive + "/Playlists/" + fs::asideName("Mine.m3u8"), "mine");
  app::ExportOptions options;
  options.library = lib + "/Library.xml";
  options.to = drive;
  app::ExportSession session(options, testsupport::services());
  ASSERT_TRUE(session.load().ok());
  ASSERT_TRUE(session.prepare().ok());
  EXPECT_EQ(testsupport::readFile(drive + "/Playlists/Old.m3u8"), "old");
  EXPECT_EQ(testsupport::readFile(drive + "/Playlists/New.m3u8"), "new");
  EXPECT_FALSE(stdfs::exists(drive + "/Playlists/Mine.m3u8"));
  EXPECT_EQ(testsupport::readFile(drive + "/Playlists/" + fs::asideName("Mine.m3u8")), "mine");
  for (const auto& e : stdfs::directory_iterator(drive + "/Playlists")) {
    std::string name = e.path().filename().string();
    EXPECT_TRUE(!fs::isAsideName(name) || name == fs::asideName("Mine.m3u8")) << name;
  }
  EXPECT_TRUE(root->intents().empty());
}

// What the window says an export removes for a set of ticks, worked out
// once from a plan of every playlist, is what a plan of those ticks
// judges the clean-up's, and what the clean-up then deletes: the
// exporter's files only (not the user's file, nor a copy edited since),
// with a deleted playlist's file named after it.
TEST(ExportSession, RemovalsForAnyTicksAreWhatTheCleanUpRemoves) {
  testsupport::TempDir dir;
  std::string lib = dir / "lib", drive = dir / "drive";
  ASSERT_TRUE(makeSampleLibrary(lib));
  stdfs::create_directories(drive);
  app::ExportOptions options;
  options.library = lib + "/Library.xml";
  options.to = drive;
  std::string forgotten;
  {
    app::ExportSession first(options, testsupport::services());
    ASSERT_TRUE(first.load().ok());
    ASSERT_TRUE(first.prepare().ok());
    ASSERT_TRUE(first.plan().ok());
    auto copied = first.copy(nullptr, nullptr);
    ASSERT_TRUE(copied.ok() && copied->notCopied.empty());
    ASSERT_TRUE(first.playlistFiles().notWritten.empty());
    // One copy is edited since: the user's now.
    testsupport::writeFile(copied->copied[0], "edited");
    forgotten = copied->copied[1];
  }
  {
    // Another, as it was copied, is named by the record no more: a file
    // a playlist lists that the clean-up would not take either.
    auto record = fs::DriveRecord::open(fs::DestinationRoot::open(drive),
                                        &app::DestinationLayout::collisionKey);
    ASSERT_TRUE(record.ok());
    ASSERT_TRUE(
        (*record)
            ->remove({app::DestinationLayout::collisionKey(forgotten.substr(drive.size() + 1))},
                     true)
            .ok());
  }
  testsupport::writeFile(drive + "/Music/mine.mp3", "mine");
  options.library = lib + "/Library-fewer.xml";  // Sunday deleted since
  app::ExportSession session(options, testsupport::services());
  ASSERT_TRUE(session.load().ok());
  ASSERT_TRUE(session.prepare().ok());
  std::map<std::string, std::string> ids;  // by name
  std::vector<std::string> all;
  for (const auto& [name, id] : session.loadedPlaylists()) ids[name] = id, all.push_back(id);
  ASSERT_TRUE(session.plan().ok());
  session::RemovalTally tally(session.removals());
  const std::vector<std::vector<std::string>> tickSets = {
      {"Nordic", "Road Trip", "World", "Favourites ♥"},
      {"Road Trip", "World", "Favourites ♥"},  // Nordic's own tracks go, Jóga stays
      {"Nordic"},
      {"World"},  // last: cleaned up for real
  };
  for (const auto& ticks : tickSets) {
    SCOPED_TRACE(ticks.size());
    std::vector<std::string> chosen;
    for (const auto& name : ticks) chosen.push_back(ids.at(name));
    tally.setTicked(chosen);
    const session::RemovalFigures said = tally.figures();
    session.choose(chosen);
    auto planned = session.plan();
    ASSERT_TRUE(planned.ok());
    session::RemovalFigures judged;
    std::vector<std::string> stems;
    for (const auto& item : (*planned)->stale) {
      EXPECT_FALSE(item.ours && item.path == drive + "/Music/mine.mp3");
      if (!item.ours || item.folder) continue;
      ++judged.files;
      judged.tracks += !item.playlistFile;
      judged.bytes += item.bytes;
      if (item.playlistFile) stems.push_back(stdfs::path(item.path).stem().string());
    }
    EXPECT_EQ(said.files, judged.files);
    EXPECT_EQ(said.tracks, judged.tracks);
    EXPECT_EQ(said.bytes, judged.bytes);
    EXPECT_EQ(said.onDisk >= said.bytes, true);
    std::vector<std::string> names = said.playlists;
    std::sort(names.begin(), names.end());
    std::sort(stems.begin(), stems.end());
    EXPECT_EQ(names, stems);  // the sample's names are their files' names
    EXPECT_EQ(std::count(names.begin(), names.end(), "Sunday"), 1);
  }
  app::CleanOutcome cleaned = session.clean(true);
  size_t deletedFiles = 0;
  for (const auto& item : cleaned.items) deletedFiles += item.deleted && !item.item.folder;
  EXPECT_EQ(deletedFiles, tally.figures().files);
  EXPECT_EQ(cleaned.notDeleted, 0u);
  EXPECT_TRUE(stdfs::exists(drive + "/Music/mine.mp3"));
  EXPECT_TRUE(stdfs::exists(forgotten));
}

// A playlist file whose replacement a kill kept from its name (the record
// names the new text, which never came; the drive holds the old file) is
// still the exporter's: the check says so, and a clean-up that finds it
// stale removes it rather than leaving it as the owner's.
TEST(ExportSession, APlaylistFileWhoseReplacementNeverCameIsStillTheExporters) {
  testsupport::TempDir dir;
  std::string lib = dir / "lib", drive = dir / "drive";
  ASSERT_TRUE(makeSampleLibrary(lib));
  stdfs::create_directories(drive);
  auto exportAll = [&](const std::string& library) {
    app::ExportOptions options;
    options.library = library;
    options.to = drive;
    app::ExportSession session(options, testsupport::services());
    auto loaded = session.load();
    EXPECT_TRUE(loaded.ok()) << loaded.error().message();
    EXPECT_TRUE(session.prepare().ok());
    EXPECT_TRUE(session.plan().ok());
    EXPECT_TRUE(session.copy(nullptr, nullptr).ok());
    session.playlistFiles();
    return session.clean(true);
  };
  exportAll(lib + "/Library.xml");
  auto root = fs::DestinationRoot::open(drive);
  auto loaded = fs::DriveRecord::load(*root, &app::DestinationLayout::collisionKey);
  ASSERT_TRUE(loaded.ok());
  std::vector<fs::RecordEntry> replaced;
  for (const auto& [key, e] : loaded->entries) {
    if (e.kind != fs::EntryKind::kPlaylist) continue;
    fs::RecordEntry next = e;
    next.source = e.drive;
    next.drive = {e.drive.size + 7, e.drive.mtimeNs + 2'000'000'000};
    next.checksum = *e.checksum + 1;
    replaced.push_back(next);
  }
  ASSERT_GE(replaced.size(), 2u);
  {
    auto writer = fs::DriveRecord::open(root, &app::DestinationLayout::collisionKey);
    ASSERT_TRUE(writer.ok());
    ASSERT_TRUE((*writer)->append(replaced, true).ok());
  }
  auto checked = app::checkDrive(*fs::FileManager::makePrivate(), drive, false);
  ASSERT_TRUE(checked.ok());
  EXPECT_TRUE(checked->ok()) << checked->changed.size() << " changed";
  app::CleanOutcome cleaned = exportAll(lib + "/Library-fewer.xml");
  size_t playlistsDeleted = 0;
  for (const auto& i : cleaned.items) {
    EXPECT_TRUE(i.deleted || !i.item.playlistFile) << i.item.path << ": " << i.reason;
    playlistsDeleted += i.deleted && i.item.playlistFile;
  }
  EXPECT_GE(playlistsDeleted, 1u);
}
