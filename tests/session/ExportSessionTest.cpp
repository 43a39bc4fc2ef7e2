// The session's plan as the window uses it: planned again and again in
// one process while the drive and the computer change in between.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "fs/DestinationRoot.h"
#include "fs/ReplaceFile.h"
#include "session/ExportOptions.h"
#include "session/ExportSession.h"
#include "support/FaultInjectingFileManager.h"
#include "support/Services.h"
#include "support/TempDir.h"

namespace stdfs = std::filesystem;

// The bundled sample library (tracks and their files) written to `folder`.
static bool makeSampleLibrary(const std::string& folder) {
  return std::system(("python3 '" TESSALINE_SOURCE_DIR "/scripts/make_sample_library.py' '" +
                      folder + "' >/dev/null")
                         .c_str()) == 0;
}

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
