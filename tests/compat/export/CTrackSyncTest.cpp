#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "../catalogue/CatalogueFixture.h"
#include "base/Log.h"
#include "compat/export/CTrackSync.h"
#include "support/FaultInjectingFileManager.h"
#include "support/TempDir.h"

namespace exporter {
namespace {

using catalogue::CTrack;
using catalogue::CTrackList;
using testsupport::exists;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

struct TrackSpec {
  std::string id;
  std::string destPathRel;
  bool enabled = true;
};

class CTrackSyncTest : public testsupport::CatalogueTest {
 protected:
  // An exported (or not) playlist listing the given tracks.
  static void addPlaylist(const std::string& id, bool exported,
                          const std::vector<TrackSpec>& tracks) {
    std::vector<testsupport::TrackSpec> full;
    for (const TrackSpec& t : tracks) full.push_back({t.id, t.enabled, "", t.destPathRel});
    testsupport::loadFull(id, exported, full);
  }

  std::string root() const { return dir_ / "Export"; }

  static std::vector<std::string> listOf(const CTrackSync::Ptr& sync) {
    return sync->deleteList().value_or(PathList{});
  }

  TempDir dir_;
};

bool contains(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

// What is listed as stale, and its size, from the files on the drive and
// the tracks one exported playlist needs.
TEST_F(CTrackSyncTest, ListsWhatNoExportedTrackNeeds) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files;  // relative path, contents
    std::vector<TrackSpec> needed;                           // none: no playlist at all
    std::vector<std::string> stale;
    uint64_t size;
  };
  const std::string partial = std::string("A/") + fs::FileManager::kPartialCopyPrefix + "1.2-x.mp3";
  // clang-format off
  const Case cases[] = {
      {"needed file kept", {{"Artist/Album/Song.mp3", "needed"}, {"Artist/Old.mp3", "12345"}},
       {{"1", "Artist/Album/Song.mp3"}}, {"Artist/Old.mp3"}, 5},
      // Precomposed on the drive, decomposed in the catalogue.
      {"case and composition ignored",
       {{"ARTIST/album/song.MP3", "x"}, {"Caf\u00e9/\u00c9t\u00e9.mp3", "x"},
        {"stra\u00dfe.mp3", "x"}},
       {{"1", "Artist/Album/Song.mp3"}, {"2", "Cafe\u0301/E\u0301te\u0301.mp3"},
        {"3", "STRASSE.mp3"}},
       {}, 0},
      {"empty registry: all but artwork", {{"A/x.mp3", "x"}, {"A/folder.jpg", "j"}}, {},
       {"A/x.mp3", "A"}, 1},
      {"leftover copy temporary", {{"A/x.mp3", "x"}, {partial, "half"}}, {{"1", "A/x.mp3"}},
       {partial}, 4},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CTrackList::resetForTesting();
    TempDir dir;
    std::string base = dir / "Export";
    for (const auto& [rel, bytes] : c.files) writeFile(base + "/" + rel, bytes);
    if (!c.needed.empty()) addPlaylist("P1", true, c.needed);
    CTrack::setDestinationBasePath(base);
    auto sync = CTrackSync::deleteList(nullptr);
    std::vector<std::string> stale;
    for (const auto& rel : c.stale) stale.push_back(base + "/" + rel);
    EXPECT_EQ(listOf(sync), stale);
    EXPECT_EQ(sync->deleteSize(), c.size);
  }
}

TEST_F(CTrackSyncTest, ArtworkKeptOnlyUnderItsExactName) {
  writeFile(root() + "/folder.jpg", "a");
  writeFile(root() + "/Artist/Album/Song.mp3", "s");
  writeFile(root() + "/Artist/Album/folder.jpg", "a");
  writeFile(root() + "/Artist/Album/Folder.jpg", "bb");
  writeFile(root() + "/Gone/folder.jpg", "a");
  addPlaylist("P1", true, {{"1", "Artist/Album/Song.mp3"}});
  CTrack::setDestinationBasePath(root());
  auto sync = CTrackSync::deleteList(nullptr);
  auto list = listOf(sync);
  EXPECT_EQ(list.size(), 2u);
  EXPECT_TRUE(contains(list, root() + "/Artist/Album/Folder.jpg"));
  EXPECT_TRUE(contains(list, root() + "/Gone"));
  EXPECT_EQ(sync->deleteSize(), 2u);

  sync->deleteAllInList();
  EXPECT_TRUE(exists(root() + "/folder.jpg"));
  EXPECT_TRUE(exists(root() + "/Artist/Album/folder.jpg"));
  EXPECT_FALSE(exists(root() + "/Artist/Album/Folder.jpg"));
  EXPECT_FALSE(exists(root() + "/Gone"));  // its folder.jpg went with it
}

TEST_F(CTrackSyncTest, FolderListedAfterItsContentsAndDeleted) {
  writeFile(root() + "/Keep/a.mp3", "k");
  writeFile(root() + "/Old/Sub/b.mp3", "123");
  writeFile(root() + "/Old/.DS_Store", "1234");
  ASSERT_EQ(mkdir((root() + "/Old/Empty").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((root() + "/Old/Empty/Deeper").c_str(), 0755), 0);
  writeFile(root() + "/Keep/._a.mp3", "55555");
  addPlaylist("P1", true, {{"1", "Keep/a.mp3"}});
  CTrack::setDestinationBasePath(root());
  auto sync = CTrackSync::deleteList(nullptr);
  auto list = listOf(sync);
  ASSERT_EQ(list.size(), 7u);
  for (size_t i = 0; i < list.size(); ++i) {
    for (size_t j = i + 1; j < list.size(); ++j) {
      EXPECT_NE(list[j].rfind(list[i] + "/", 0), 0u) << list[j] << " listed after " << list[i];
    }
  }
  EXPECT_EQ(list.back(), root() + "/Old");
  EXPECT_TRUE(contains(list, root() + "/Old/Empty/Deeper"));
  EXPECT_TRUE(contains(list, root() + "/Keep/._a.mp3"));
  EXPECT_EQ(sync->deleteSize(), 3u + 4u + 5u);

  base::LogCapture log;
  sync->deleteAllInList();
  EXPECT_TRUE(log.lines().empty());
  EXPECT_FALSE(exists(root() + "/Old"));
  EXPECT_FALSE(exists(root() + "/Keep/._a.mp3"));
  EXPECT_EQ(readFile(root() + "/Keep/a.mp3"), "k");
  EXPECT_FALSE(sync->deleteList().has_value());
  EXPECT_EQ(sync->fm(), nullptr);
  EXPECT_EQ(sync->deleteSize(), 12u);
  sync->deleteAllInList();  // a second run has nothing to do
  EXPECT_TRUE(exists(root() + "/Keep/a.mp3"));
}

TEST_F(CTrackSyncTest, TracksNotToCopyAreNotNeeded) {
  writeFile(root() + "/a.mp3", "a");
  writeFile(root() + "/b.mp3", "b");
  writeFile(root() + "/c.mp3", "c");
  addPlaylist("P1", true, {{"1", "a.mp3"}, {"2", "b.mp3", false}});
  addPlaylist("P2", false, {{"3", "c.mp3"}});
  CTrack::setDestinationBasePath(root());
  auto list = listOf(CTrackSync::deleteList(nullptr));
  std::sort(list.begin(), list.end());
  EXPECT_EQ(list, (std::vector<std::string>{root() + "/b.mp3", root() + "/c.mp3"}));

  CTrackList::setCopyOnlyCheckedItems(false);
  EXPECT_EQ(listOf(CTrackSync::deleteList(nullptr)), std::vector<std::string>{root() + "/c.mp3"});
}

TEST_F(CTrackSyncTest, NoRootListsNothing) {
  writeFile(root() + "/a.mp3", "a");
  auto sync = CTrackSync::deleteList(nullptr);
  EXPECT_EQ(sync->deleteList(), PathList{});
  EXPECT_EQ(sync->deleteSize(), 0u);
  // A list handed in from outside is not carried out without a root.
  sync->setDeleteList(PathList{root() + "/a.mp3"});
  base::LogCapture log;
  sync->deleteAllInList();
  EXPECT_TRUE(exists(root() + "/a.mp3"));
  EXPECT_EQ(log.lines(), std::vector<std::string>{
                             "deleteAllInList error: The file “a.mp3” couldn’t be removed: it is "
                             "not inside the destination folder."});
}

TEST_F(CTrackSyncTest, NeverDeletesOutsideTheRoot) {
  writeFile(dir_ / "Other/keep.mp3", "k");
  writeFile(dir_ / "Export2/keep.mp3", "k");
  writeFile(root() + "/stale.mp3", "s");
  CTrack::setDestinationBasePath(root());
  auto sync = CTrackSync::deleteList(nullptr);
  sync->setDeleteList(PathList{dir_ / "Other/keep.mp3", dir_ / "Export2/keep.mp3",
                               root() + "/../Other", root(), root() + "/", root() + "/stale.mp3"});
  base::LogCapture log;
  sync->deleteAllInList();
  EXPECT_EQ(log.lines().size(), 5u);
  EXPECT_TRUE(exists(dir_ / "Other/keep.mp3"));
  EXPECT_TRUE(exists(dir_ / "Export2/keep.mp3"));
  EXPECT_TRUE(exists(root()));
  EXPECT_FALSE(exists(root() + "/stale.mp3"));
}

TEST_F(CTrackSyncTest, RootOfTheFileSystemIsNeverWalked) {
  CTrack::setDestinationBasePath(std::string("/"));
  auto sync = CTrackSync::deleteList(nullptr);
  EXPECT_EQ(sync->deleteList(), PathList{});
}

TEST_F(CTrackSyncTest, LinksAreJudgedAsThemselvesNeverFollowed) {
  TempDir outside;
  writeFile(outside / "precious.mp3", "p");
  writeFile(root() + "/A/x.mp3", "x");
  ASSERT_EQ(symlink(outside.path().c_str(), (root() + "/A/linked").c_str()), 0);
  ASSERT_EQ(symlink((outside / "precious.mp3").c_str(), (root() + "/file.mp3").c_str()), 0);
  addPlaylist("P1", true, {{"1", "A/x.mp3"}});
  CTrack::setDestinationBasePath(root());
  auto sync = CTrackSync::deleteList(nullptr);
  auto list = listOf(sync);
  std::sort(list.begin(), list.end());
  EXPECT_EQ(list, (std::vector<std::string>{root() + "/A/linked", root() + "/file.mp3"}));
  sync->deleteAllInList();
  EXPECT_FALSE(exists(root() + "/A/linked"));
  EXPECT_FALSE(exists(root() + "/file.mp3"));
  EXPECT_EQ(readFile(outside / "precious.mp3"), "p");
}

TEST_F(CTrackSyncTest, FolderSwappedForLinkAfterListingIsNotFollowed) {
  TempDir outside;
  writeFile(outside / "a.mp3", "p");
  writeFile(root() + "/Old/a.mp3", "x");
  CTrack::setDestinationBasePath(root());
  auto sync = CTrackSync::deleteList(nullptr);
  ASSERT_EQ(listOf(sync), (std::vector<std::string>{root() + "/Old/a.mp3", root() + "/Old"}));
  ASSERT_EQ(rename((root() + "/Old").c_str(), (dir_ / "moved").c_str()), 0);
  ASSERT_EQ(symlink(outside.path().c_str(), (root() + "/Old").c_str()), 0);
  base::LogCapture log;
  sync->deleteAllInList();
  EXPECT_EQ(readFile(outside / "a.mp3"), "p");
  EXPECT_FALSE(exists(root() + "/Old"));  // the link itself was listed, and goes
  EXPECT_EQ(log.lines().size(), 1u);
}

TEST_F(CTrackSyncTest, UnreadableEntryIsLoggedAndNotListed) {
  writeFile(root() + "/Old.mp3", "x");
  auto fm = std::make_shared<fs::FaultInjectingFileManager>();
  fm->failAll(fs::FileOp::kAttributes, EIO);
  CTrack::setDestinationBasePath(root());
  base::LogCapture log;
  auto sync = CTrackSync::deleteList(fm);
  EXPECT_EQ(listOf(sync), PathList{});
  EXPECT_EQ(log.lines(), std::vector<std::string>{"attributesOfItemAtPath error: The file "
                                                  "“Old.mp3” couldn’t be opened: Input/output "
                                                  "error."});
}

TEST_F(CTrackSyncTest, UnlistableFolderContributesNothingAndReadsOnlyStaleFiles) {
  writeFile(root() + "/Locked/a.mp3", "aaaa");
  writeFile(root() + "/A/needed.mp3", "n");
  writeFile(root() + "/A/stale.mp3", "ss");
  auto fm = std::make_shared<fs::FaultInjectingFileManager>();
  fm->makeUnreadable(root() + "/Locked");
  addPlaylist("P1", true, {{"1", "A/needed.mp3"}, {"2", "Locked/a.mp3"}});
  CTrack::setDestinationBasePath(root());
  auto sync = CTrackSync::deleteList(fm);
  EXPECT_EQ(listOf(sync), PathList{root() + "/A/stale.mp3"});
  EXPECT_EQ(sync->deleteSize(), 2u);
  // Needed entries cost no attribute reads; only the stale file is read.
  EXPECT_EQ(fm->count(fs::FileOp::kAttributes), 1u);
  EXPECT_EQ(fm->count(fs::FileOp::kList), 3u);
}

TEST_F(CTrackSyncTest, DeletionFailuresAreLoggedAndTheRestGoOn) {
  writeFile(root() + "/a.mp3", "a");
  writeFile(root() + "/b.mp3", "b");
  writeFile(root() + "/c.mp3", "c");
  CTrack::setDestinationBasePath(root());
  auto sync = CTrackSync::deleteList(nullptr);
  ASSERT_EQ(listOf(sync).size(), 3u);
  auto fm = std::make_shared<fs::FaultInjectingFileManager>();
  fm->failNth(fs::FileOp::kDeletable, 1, EPERM);  // skipped without a word
  fm->failNth(fs::FileOp::kRemove, 1, EBUSY);     // logged
  sync->setFm(fm);
  base::LogCapture log;
  sync->deleteAllInList();
  auto remaining = *fm->contentsOfDirectoryAtPath(root(), nullptr);
  EXPECT_EQ(remaining.size(), 2u);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].rfind("deleteAllInList error: The file “", 0), 0u);
  EXPECT_NE(log.lines()[0].find("” couldn’t be removed: Device or resource busy."),
            std::string::npos);
  EXPECT_EQ(fm->count(fs::FileOp::kRemove), 2u);
}

TEST_F(CTrackSyncTest, DisturbedRegistryWalkIsLoggedAndDeletesNothing) {
  writeFile(root() + "/A/x.mp3", "x");
  addPlaylist("P1", true, {{"1", "A/x.mp3"}});
  CTrack::setDestinationBasePath(root());
  bool disturbed = false;
  CTrack::trackDict().setWalkObserver([&](const std::string&) {
    if (disturbed) return;
    disturbed = true;
    CTrack::trackDict().set("intruder", catalogue::CTrackCarrier());
  });
  base::LogCapture log;
  auto sync = CTrackSync::deleteList(nullptr);
  CTrack::trackDict().setWalkObserver(nullptr);
  CTrack::trackDict().eraseIf("intruder", [](const catalogue::CTrackCarrier&) { return true; });
  EXPECT_EQ(sync->deleteList(), PathList{});
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].rfind("exception deleteList Exception: NSGenericException Reason: ", 0),
            0u);
}

// Root with or without a trailing slash, relative paths with or without a
// leading one: the needed files are found in every combination.
class CTrackSyncSlashes : public CTrackSyncTest,
                          public ::testing::WithParamInterface<std::tuple<bool, bool>> {};

TEST_P(CTrackSyncSlashes, NothingNeededIsListed) {
  auto [rootSlash, relSlash] = GetParam();
  writeFile(root() + "/Artist/Album/Song.mp3", "s");
  writeFile(root() + "/Artist/Album/Other.mp3", "oo");
  writeFile(root() + "/top.mp3", "t");
  std::string lead = relSlash ? "/" : "";
  addPlaylist("P1", true, {{"1", lead + "Artist/Album/Song.mp3"}, {"2", lead + "top.mp3"}});
  CTrack::setDestinationBasePath(root() + (rootSlash ? "/" : ""));
  auto sync = CTrackSync::deleteList(nullptr);
  EXPECT_EQ(listOf(sync), PathList{root() + "/Artist/Album/Other.mp3"});
  EXPECT_EQ(sync->deleteSize(), 2u);
  sync->deleteAllInList();
  EXPECT_TRUE(exists(root() + "/Artist/Album/Song.mp3"));
  EXPECT_TRUE(exists(root() + "/top.mp3"));
  EXPECT_FALSE(exists(root() + "/Artist/Album/Other.mp3"));
}

INSTANTIATE_TEST_SUITE_P(AllForms, CTrackSyncSlashes,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()));

TEST(CTrackSyncPaths, PathMinusBase) {
  EXPECT_EQ(CTrackSync::pathMinusBaseFromPath("/V/D/a/b", "/V/D"), "/a/b");
  EXPECT_EQ(CTrackSync::pathMinusBaseFromPath("/V/D/a/b", "/V/D/"), "a/b");
  EXPECT_EQ(CTrackSync::pathMinusBaseFromPath("/V/D", "/V/D"), "");
  EXPECT_EQ(CTrackSync::pathMinusBaseFromPath("/V/D2/a", "/V/D"), std::nullopt);
  EXPECT_EQ(CTrackSync::pathMinusBaseFromPath("/W/a", "/V/D"), std::nullopt);
  EXPECT_EQ(CTrackSync::pathMinusBaseFromPath("/V", "/V/D"), std::nullopt);
}

TEST(CTrackSyncPaths, PathMinusBaseFromURL) {
  EXPECT_EQ(CTrackSync::pathMinusBaseFromURL("file:///V/D/My%20Song.mp3", "/V/D"), "/My Song.mp3");
  EXPECT_EQ(CTrackSync::pathMinusBaseFromURL("file://localhost/V/x/../D/./a", "/V/D/"), "a");
  EXPECT_EQ(CTrackSync::pathMinusBaseFromURL("FILE:///V/D/Caf%C3%A9", "/V/D"), "/Cafe\u0301");
  EXPECT_EQ(CTrackSync::pathMinusBaseFromURL("http://host/V/D/a", "/V/D"), std::nullopt);
  EXPECT_EQ(CTrackSync::pathMinusBaseFromURL("file://other/V/D/a", "/V/D"), std::nullopt);
  EXPECT_EQ(CTrackSync::pathMinusBaseFromURL("file:///V/D/%2", "/V/D"), std::nullopt);
  EXPECT_EQ(CTrackSync::pathMinusBaseFromURL("file:///V/D/%00", "/V/D"), std::nullopt);
}

TEST(CTrackSyncPaths, KeysIgnoreSlashesCaseAndComposition) {
  EXPECT_EQ(CTrackSync::keyForRelativePath("/a//b/./c.mp3/"), "A/B/C.MP3");
  EXPECT_EQ(CTrackSync::keyForRelativePath("a/x/../b"), "A/B");
  EXPECT_EQ(CTrackSync::keyForRelativePath("../b"), std::nullopt);
  EXPECT_EQ(CTrackSync::keyForRelativePath("caf\u00e9"),
            CTrackSync::keyForRelativePath("CAFE\u0301"));
  EXPECT_EQ(CTrackSync::keyForRelativePath(""), "");
}

TEST(CTrackSyncPaths, FoldersAddedOnceChainStopsAtFirstPresent) {
  PathDict dict;
  CTrackSync::addDirectoriesOfRelPath("/Artist/Album/Song.mp3", dict);
  EXPECT_EQ(dict, (PathDict{{"ARTIST", true}, {"ARTIST/ALBUM", true}}));
  dict.erase("ARTIST");
  CTrackSync::addDirectoriesOfRelPath("Artist/album/Other.mp3", dict);
  EXPECT_EQ(dict.count("ARTIST"), 0u);  // stopped at ARTIST/ALBUM
  CTrackSync::addDirectoriesOfRelPath("Song.mp3", dict);
  EXPECT_EQ(dict.size(), 1u);
}

}  // namespace
}  // namespace exporter
