// The destination check, the single-track copy, the size sum and the
// cover image queries, on real folders.
#include <fcntl.h>
#include <sys/stat.h>

#include "DestinationFixture.h"
#include "support/FaultInjectingFileManager.h"

using catalogue::CTrack;
using catalogue::CTrackList;
using testsupport::loadFull;

class Destination : public testsupport::DestinationTest {
 protected:
  CTrack::Ptr one(size_t size = 1000, bool enabled = true, bool exported = true) {
    list_ = loadFull("P1", exported, {source("T1", size, enabled)});
    return list_->trackList()->at(0);
  }
  CTrackList::Ptr list_;
};

TEST_F(Destination, AnyFileAtTheDestinationCountsAsPresent) {
  auto t = one(1000);
  CTrack::setDestinationBasePath(drive());
  writeFile(drive("Artist/T1.mp3"), 10);  // truncated earlier copy
  EXPECT_TRUE(t->resolveWithFileManager(nullptr));
  EXPECT_TRUE(t->trackTested());
  EXPECT_TRUE(t->presentSetInResolve());
  EXPECT_EQ(t->trackSize(), 1000u);  // the source's size, never the copy's
}

// An empty root (what a lookup of an unknown volume gives) is no root:
// nothing may aim at "/". Writes fail here in case something still does.
TEST_F(Destination, WithoutARootTheStateStaysUnknown) {
  auto fault = std::make_shared<fs::FaultInjectingFileManager>();
  for (auto op : {fs::FileOp::kCreateDirectory, fs::FileOp::kRemove, fs::FileOp::kCopy})
    fault->failAll(op, EACCES);
  fs::FileManager::setFactoryForTesting([fault] { return fault; });
  for (const std::optional<std::string>& root :
       {std::optional<std::string>(), std::optional<std::string>("")}) {
    SCOPED_TRACE(root ? "empty root" : "no root");
    auto t = one();
    CTrack::setDestinationBasePath(root);
    EXPECT_FALSE(CTrack::destinationBasePath());
    EXPECT_FALSE(t->absDestinationPath());
    EXPECT_FALSE(t->resolveWithFileManager(fault.get()));
    EXPECT_FALSE(t->trackTested());
    base::FileError error;
    EXPECT_EQ(t->doCopyWithFileManager(fault.get(), &error), 0u);
    EXPECT_EQ(error.localizedDescription,
              "No destination folder is set, so “Title T1” was not copied.");
    EXPECT_FALSE(t->artDir());
    EXPECT_EQ(CTrack::tracksNeedingArtMkdir(true),
              (std::vector<std::vector<std::string>>{{"T1"}, {""}}));
    EXPECT_EQ(fault->count(fs::FileOp::kCreateDirectory), 0u);
  }
  fs::FileManager::setFactoryForTesting(nullptr);
}

TEST_F(Destination, CopyWritesTheFileKeepsItsTimeAndIsNotRepeated) {
  auto t = one(4096);
  struct timespec times[2] = {{0, UTIME_OMIT}, {1'500'000'000, 0}};
  utimensat(AT_FDCWD, t->sourcePath().c_str(), times, 0);
  CTrack::setDestinationBasePath(drive());
  base::FileError error;
  EXPECT_EQ(t->doCopyWithFileManager(nullptr, &error), 4096u);
  EXPECT_EQ(readFile(drive("Artist/T1.mp3")), std::string(4096, 'x'));
  struct stat st;
  ASSERT_EQ(stat(drive("Artist/T1.mp3").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1'500'000'000);
  EXPECT_TRUE(t->trackTested());
  EXPECT_TRUE(t->trackPresent());
  EXPECT_EQ(t->doCopyWithFileManager(nullptr, &error), 0u);
}

// A copy whose flush fails is not named, and says why.
TEST_F(Destination, AFailedFlushIsReportedByTheSingleCopy) {
  auto t = one(10);
  CTrack::setDestinationBasePath(drive());
  fs::FaultInjectingFileManager fm;
  fm.failAll(fs::FileOp::kFlush, EIO);
  base::FileError error;
  EXPECT_EQ(t->doCopyWithFileManager(&fm, &error), 0u);
  EXPECT_EQ(error.code, EIO);
  EXPECT_FALSE(std::filesystem::exists(drive("Artist/T1.mp3")));
}

TEST_F(Destination, UncheckedTrackIsCopiedOnlyWhenTheSwitchIsOff) {
  auto t = one(20, /*enabled=*/false);
  CTrack::setDestinationBasePath(drive());
  EXPECT_EQ(t->doCopyWithFileManager(nullptr, nullptr), 0u);
  EXPECT_FALSE(std::filesystem::exists(drive("Artist/T1.mp3")));
  CTrackList::setCopyOnlyCheckedItems(false);
  EXPECT_EQ(t->doCopyWithFileManager(nullptr, nullptr), 20u);
}

TEST_F(Destination, OutputContributionIgnoresPresenceButNotTheExportCount) {
  auto t = one(700);
  CTrack::setDestinationBasePath(drive());
  writeFile(drive("Artist/T1.mp3"), 700);
  EXPECT_EQ(t->outputContribution(), 700u);
  CTrackList::setIsExported(false, "P1");
  EXPECT_EQ(t->outputContribution(), 0u);
}

TEST_F(Destination, PathThatClimbsOutOfTheRootIsRefused) {
  writeFile(lib("evil.mp3"), 5);
  auto list = loadFull("P1", true, {{"T1", true, lib("evil.mp3"), "../outside/evil.mp3"}});
  auto t = list->trackList()->at(0);
  CTrack::setDestinationBasePath(drive());
  base::LogCapture log;
  base::FileError error;
  EXPECT_EQ(t->doCopyWithFileManager(nullptr, &error), 0u);
  EXPECT_EQ(error.code, EINVAL);
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{"doCopyWithFileManager refused T1: its destination path "
                                     "“../outside/evil.mp3” leaves the destination folder"});
  // Not offered for a cover image either, nor given a folder.
  EXPECT_EQ(CTrack::tracksNeedingArtMkdir(true), (std::vector<std::vector<std::string>>{{}, {}}));
  EXPECT_FALSE(std::filesystem::exists(base_ + "/outside"));
}

TEST_F(Destination, EachTreatmentOfUnknownDestinations) {
  auto list = loadFull("P1", true, {source("A", 100), source("B", 20)});
  CTrack::setDestinationBasePath(drive());
  writeFile(drive("Artist/B.mp3"), 20);
  EXPECT_EQ(CTrack::getTotalTrackSize(true, CTrack::UnknownDestination::kNotCounted),
            0.0);  // nothing known yet
  EXPECT_EQ(CTrack::getTotalTrackSize(true, CTrack::UnknownDestination::kCounted),
            0.0);  // unknown, with size 0 so far
  EXPECT_EQ(CTrack::getTotalTrackSize(true, CTrack::UnknownDestination::kCheckedNow),
            100.0);  // checked now; B present
  EXPECT_EQ(CTrack::getTotalTrackSize(true, CTrack::UnknownDestination::kNotCounted), 100.0);
  EXPECT_EQ(CTrack::getTotalTrackSize(true, CTrack::UnknownDestination::kCounted), 100.0);
  EXPECT_EQ(CTrack::getTotalTrackSize(true, CTrack::UnknownDestination::kEveryTrack), 120.0);
  CTrack::invalidateAllTrackDestinations();
  EXPECT_EQ(CTrack::getTotalTrackSize(true, CTrack::UnknownDestination::kNotCounted), 0.0);
  EXPECT_EQ(CTrack::getTotalTrackSize(true, CTrack::UnknownDestination::kCounted),
            120.0);  // sizes read before are kept
}

TEST_F(Destination, SizeSumChecksOnlyTheTracksNotYetChecked) {
  auto list = loadFull("P1", true, {source("A", 100), source("B", 20), source("C", 3)});
  CTrack::setDestinationBasePath(drive());
  writeFile(drive("Artist/B.mp3"), 20);
  auto tracks = *list->trackList();
  tracks[0]->resolveWithFileManager(nullptr);
  auto fault = std::make_shared<fs::FaultInjectingFileManager>();
  fs::FileManager::setFactoryForTesting([fault] { return fault; });
  EXPECT_EQ(CTrack::getTotalTrackSize(true, CTrack::UnknownDestination::kCheckedNow), 103.0);
  // B and C only: the destination and the source of each.
  EXPECT_EQ(fault->count(fs::FileOp::kAttributes), 4u);
  fault->resetCounts();
  EXPECT_EQ(CTrack::getTotalTrackSize(true, CTrack::UnknownDestination::kCheckedNow), 103.0);
  EXPECT_EQ(fault->totalCount(), 0u);
  CTrack::invalidateAllTrackDestinations();
  EXPECT_EQ(CTrack::getTotalTrackSize(true, CTrack::UnknownDestination::kCheckedNow), 103.0);
  EXPECT_EQ(fault->count(fs::FileOp::kAttributes), 6u);
  fs::FileManager::setFactoryForTesting(nullptr);
}

TEST_F(Destination, CoverImageQueries) {
  auto list = loadFull("P1", true,
                       {source("A", 1),
                        {"B", true, lib("Artist/A.mp3"), "Other/B.mp3"},
                        {"C", true, lib("Artist/A.mp3"), "Third/C.mp3"}});
  loadFull("P2", false, {{"D", true, lib("Artist/A.mp3"), "Hidden/D.mp3"}});
  CTrack::setDestinationBasePath(drive());
  EXPECT_EQ(CTrack::artFileName(), "folder.jpg");
  writeFile(drive("Artist/folder.jpg"), 1);
  std::filesystem::create_directories(drive("Third/folder.jpg"));  // a folder is no image

  auto art = CTrack::tracksNeedingArtMkdir(false);
  std::map<std::string, std::string> found;
  for (size_t i = 0; i < art[0].size(); ++i) found[art[0][i]] = art[1][i];
  EXPECT_EQ(found, (std::map<std::string, std::string>{{"B", drive("Other/folder.jpg")},
                                                       {"C", drive("Third/folder.jpg")}}));
  EXPECT_FALSE(std::filesystem::exists(drive("Other")));

  CTrack::tracksNeedingArtMkdir(true);
  EXPECT_TRUE(std::filesystem::is_directory(drive("Other")));
  EXPECT_FALSE(std::filesystem::exists(drive("Hidden")));  // not exported
  EXPECT_FALSE(std::filesystem::exists(drive("Other/folder.jpg")));
}

TEST_F(Destination, LeftoverTemporaryDoesNotCountAsPresent) {
  auto t = one(100);
  CTrack::setDestinationBasePath(drive());
  writeFile(drive(std::string("Artist/") + fs::FileManager::kPartialCopyPrefix + "abc-T1.mp3"), 50);
  EXPECT_FALSE(t->resolveWithFileManager(nullptr));
  EXPECT_EQ(t->doCopyWithFileManager(nullptr, nullptr), 100u);
}

// Libraries on Linux often reach their files through symbolic links: the
// size counted must be what the copy reads, checked one by one and in a
// batch alike; a link that leads nowhere counts as a missing source.
TEST_F(Destination, SourceBehindASymbolicLinkCountsTheLinkedFile) {
  auto list =
      loadFull("P1", true, {source("Real", 5000), source("Linked", 1), source("Dangling", 1)});
  auto tracks = *list->trackList();
  std::filesystem::remove(tracks[1]->sourcePath());
  std::filesystem::create_symlink(tracks[0]->sourcePath(), tracks[1]->sourcePath());
  std::filesystem::remove(tracks[2]->sourcePath());
  std::filesystem::create_symlink(lib("nowhere.mp3"), tracks[2]->sourcePath());
  CTrack::setDestinationBasePath(drive());

  EXPECT_FALSE(tracks[1]->resolveWithFileManager(nullptr));
  EXPECT_EQ(tracks[1]->trackSize(), 5000u);
  tracks[2]->resolveWithFileManager(nullptr);
  EXPECT_EQ(tracks[2]->trackSize(), 0u);
  CTrack::invalidateAllTrackDestinations();
  CTrack::resolveAll(tracks, nullptr);
  EXPECT_EQ(tracks[1]->trackSize(), 5000u);
  EXPECT_EQ(tracks[2]->trackSize(), 0u);

  EXPECT_EQ(tracks[1]->doCopyWithFileManager(nullptr, nullptr), 5000u);
  EXPECT_TRUE(std::filesystem::is_regular_file(
      std::filesystem::symlink_status(drive("Artist/Linked.mp3"))));
  EXPECT_EQ(readFile(drive("Artist/Linked.mp3")).size(), 5000u);
}

// Large batches spread their work over threads.
class DestinationThreaded : public Destination {};

TEST_F(DestinationThreaded, BatchCheckOfALargeLibraryAgreesWithOneByOne) {
  std::vector<testsupport::TrackSpec> specs;
  for (int i = 0; i < 8300; ++i) {
    std::string id = "T" + std::to_string(i);
    std::string rel = "Artist " + std::to_string(i % 37) + "/" + id + ".mp3";
    if (i % 3 != 0) writeFile(lib(rel), static_cast<size_t>(i % 50));
    if (i % 3 == 1) writeFile(drive(rel), 1);
    if (i % 101 == 0 && i % 3 != 1) std::filesystem::create_directories(drive(rel));
    if (i % 997 == 0) rel = "../" + rel;
    specs.push_back(testsupport::TrackSpec{id, true, lib(rel), rel});
  }
  auto list = loadFull("P1", true, specs);
  CTrack::setDestinationBasePath(drive());
  CTrack::resolveAll(*list->trackList(), nullptr);
  std::vector<std::pair<bool, uint64_t>> batch;
  for (const auto& t : *list->trackList()) {
    ASSERT_TRUE(t->trackTested());
    batch.emplace_back(t->trackPresent(), t->trackSize());
  }
  CTrack::invalidateAllTrackDestinations();
  size_t i = 0, present = 0;
  for (const auto& t : *list->trackList()) {
    bool single = t->resolveWithFileManager(nullptr);
    EXPECT_EQ(batch[i].first, single) << t->destPathRel();
    EXPECT_EQ(batch[i].second, t->trackSize()) << t->sourcePath();
    present += single ? 1 : 0;
    ++i;
  }
  EXPECT_GT(present, 2000u);
}
