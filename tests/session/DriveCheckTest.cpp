// `tessaline check` against a drive whose record the test writes: each
// kind of finding lands in its group, --fast reads no file, and the next
// export's look at the drive takes a damaged track for one to repair.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "fs/ContentHash.h"
#include "fs/DestinationRoot.h"
#include "session/DestinationLayout.h"
#include "session/DriveCheck.h"
#include "session/Plan.h"
#include "support/TempDir.h"

namespace stdfs = std::filesystem;
using fs::EntryKind;
using fs::RecordEntry;

namespace {

// Records `path` below `root` as the exporter's, as it is now.
RecordEntry recorded(const std::string& root, const std::string& path, EntryKind kind, bool sum) {
  struct stat st;
  EXPECT_EQ(lstat((root + "/" + path).c_str(), &st), 0) << path;
  fs::ContentHash hash;
  std::string bytes = testsupport::readFile(root + "/" + path);
  hash.update(bytes.data(), bytes.size());
  RecordEntry e{
      app::DestinationLayout::collisionKey(path),
      path,
      kind,
      "T-" + path,
      "L",
      {static_cast<uint64_t>(st.st_size), st.st_mtim.tv_sec * 1'000'000'000 + st.st_mtim.tv_nsec},
      {static_cast<uint64_t>(st.st_size), 0},
      std::nullopt};
  if (sum) e.checksum = hash.digest();
  return e;
}

}  // namespace

TEST(DriveCheckThreaded, EachFindingLandsInItsGroupAndADamagedTrackIsRepairedNextTime) {
  testsupport::TempDir dir;
  const std::string root = dir / "drive";
  for (const char* name : {"good", "damaged", "longer", "gone", "old"})
    testsupport::writeFile(root + "/Music/" + name + ".mp3", std::string(100, 'a'));
  testsupport::writeFile(root + "/Playlists/Mix.m3u8",
                         "#EXTM3U\n../Music/good.mp3\n../Music/gone.mp3\n../Music/never.mp3\n"
                         // The same and others spelt otherwise, each resolved as a player does.
                         "./../Music/./good.mp3\n../Music/x/../gone.mp3\n../../outside.mp3\n"
                         "../Music\n../Music/..\n..//Music/good.mp3\n");
  std::vector<RecordEntry> entries;
  for (const char* name : {"good", "damaged", "longer", "gone"})
    entries.push_back(
        recorded(root, std::string("Music/") + name + ".mp3", EntryKind::kTrack, true));
  entries.push_back(recorded(root, "Music/old.mp3", EntryKind::kTrack, false));  // before checksums
  entries.push_back(recorded(root, "Playlists/Mix.m3u8", EntryKind::kPlaylist, true));
  auto record =
      fs::DriveRecord::open(fs::DestinationRoot::open(root), &app::DestinationLayout::collisionKey);
  ASSERT_TRUE(record.ok());
  ASSERT_TRUE((*record)->append(entries, true).ok());
  record->reset();
  // The drive since: one bit flipped in place (size and time kept), one
  // file grown, one gone, one file of the user's.
  struct stat st;
  ASSERT_EQ(stat((root + "/Music/damaged.mp3").c_str(), &st), 0);
  testsupport::writeFile(root + "/Music/damaged.mp3", std::string(99, 'a') + "b");
  timespec times[2] = {st.st_atim, st.st_mtim};
  utimensat(AT_FDCWD, (root + "/Music/damaged.mp3").c_str(), times, 0);
  testsupport::writeFile(root + "/Music/longer.mp3", std::string(200, 'a'));
  stdfs::remove(root + "/Music/gone.mp3");
  testsupport::writeFile(root + "/notes.txt", "mine");

  auto paths = [](const std::vector<app::CheckedFile>& files) {
    std::vector<std::string> out;
    for (const auto& f : files)
      out.push_back(f.path + (f.detail.rfind("../", 0) == 0 ? " " + f.detail : ""));
    std::sort(out.begin(), out.end());
    return out;
  };
  using V = std::vector<std::string>;
  for (bool fast : {true, false}) {
    auto checked = app::checkDrive(*fs::FileManager::makePrivate(), root, fast);
    ASSERT_TRUE(checked.ok()) << checked.status().message();
    const app::CheckReport& r = *checked;
    EXPECT_EQ(paths(r.damaged), fast ? V{} : V{"Music/damaged.mp3"}) << fast;
    EXPECT_EQ(paths(r.changed), V{"Music/longer.mp3"});
    EXPECT_EQ(paths(r.missing), V{"Music/gone.mp3"});
    // --fast reads no playlist file, so resolves no entry.
    EXPECT_EQ(paths(r.dangling), fast ? V{}
                                      : (V{"Playlists/Mix.m3u8 ../Music/gone.mp3",
                                           "Playlists/Mix.m3u8 ../Music/x/../gone.mp3"}));
    EXPECT_EQ(paths(r.neverCopied),
              fast
                  ? V{}
                  : (V{"Playlists/Mix.m3u8 ../../outside.mp3", "Playlists/Mix.m3u8 ../Music",
                       "Playlists/Mix.m3u8 ../Music/..", "Playlists/Mix.m3u8 ../Music/never.mp3"}));
    EXPECT_EQ(paths(r.notOurs), V{"notes.txt"});
    EXPECT_EQ(r.byContent, fast ? 0u : 3u);  // good, damaged, the playlist file
    EXPECT_EQ(r.bySizeAndTime, fast ? 4u : 1u);
    EXPECT_FALSE(r.ok());
  }
  // The export's look at the drive: the damaged copy is to be repaired
  // while it stays as the check found it, and taken for the track again
  // once the note is gone.
  auto contents = fs::DriveRecord::load(*fs::DestinationRoot::open(root),
                                        &app::DestinationLayout::collisionKey);
  ASSERT_TRUE(contents.ok());
  session::Snapshot snapshot{
      {{"T-Music/damaged.mp3", root + "/Music/good.mp3", "damaged.mp3", true}}, {}};
  auto damaged = app::readDamageNote(root);
  auto fm = fs::FileManager::makePrivate();
  session::DriveView view{&*contents, "L", fs::kExactTimeStepNs, &damaged};
  // The source as recorded: its size, time 0.
  timespec zero[2] = {{0, 0}, {0, 0}};
  utimensat(AT_FDCWD, (root + "/Music/good.mp3").c_str(), zero, 0);
  EXPECT_EQ(session::observe(snapshot, root + "/Music", *fm, view).at[0],
            session::AtDestination::kRepair);
  ASSERT_TRUE(app::writeDamageNote(root, {}).ok());
  damaged = app::readDamageNote(root);
  EXPECT_EQ(session::observe(snapshot, root + "/Music", *fm, view).at[0],
            session::AtDestination::kTrack);
}
