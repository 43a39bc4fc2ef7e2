// Looking at many items at once must answer exactly as looking at each.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>

#include "fs/DestinationRoot.h"
#include "fs/FolderListings.h"
#include "fs/PosixFileManager.h"
#include "support/FaultInjectingFileManager.h"
#include "support/TempDir.h"

namespace {

void expectSameAsOneByOne(fs::FileManager& fm, const std::vector<std::string>& paths,
                          bool needSize) {
  for (unsigned threads : {1u, 3u}) {
    auto batch = fm.attributesOfItemsAtPaths(paths, threads, needSize);
    ASSERT_EQ(batch.size(), paths.size());
    for (size_t i = 0; i < paths.size(); ++i) {
      auto single = fm.attributesOfItemAtPath(paths[i], nullptr);
      ASSERT_EQ(batch[i].has_value(), single.has_value()) << paths[i];
      if (!single) continue;
      EXPECT_EQ(batch[i]->type, single->type) << paths[i];
      if (needSize) {
        EXPECT_EQ(batch[i]->size, single->size) << paths[i];
      }
    }
  }
}

// The same paths as one mixed batch whose paths are views into a single
// buffer with no NUL between them, sizes wanted on every other item.
void expectMixedBatchSameAsOneByOne(fs::FileManager& fm, const std::vector<std::string>& paths) {
  std::string buffer;
  for (const auto& p : paths) buffer += p;
  for (unsigned threads : {1u, 4u}) {
    std::vector<fs::FileManager::ItemQuery> queries;
    size_t at = 0;
    for (size_t i = 0; i < paths.size(); ++i) {
      queries.push_back({std::string_view(buffer).substr(at, paths[i].size()), i % 2 == 1});
      at += paths[i].size();
    }
    auto batch = fm.attributesOfItems(queries, threads);
    ASSERT_EQ(batch.size(), paths.size());
    for (size_t i = 0; i < paths.size(); ++i) {
      auto single = fm.attributesOfItemAtPath(paths[i], nullptr);
      ASSERT_EQ(batch[i].has_value(), single.has_value()) << paths[i];
      if (!single) continue;
      EXPECT_EQ(batch[i]->type, single->type) << paths[i];
      if (queries[i].needSize) {
        EXPECT_EQ(batch[i]->size, single->size) << paths[i];
      }
    }
  }
}

}  // namespace

TEST(BatchAttributes, ListingAndLookupsAgreeWithSingleLookups) {
  testsupport::TempDir dir;
  std::vector<std::string> paths;
  for (int i = 0; i < 6; ++i) {
    std::string p = dir / ("album/track " + std::to_string(i) + ".mp3");
    testsupport::writeFile(p, std::string(static_cast<size_t>(i) * 10, 'a'));
    paths.push_back(p);
  }
  std::filesystem::create_directories(dir / "album/sub");
  std::filesystem::create_symlink(dir / "album/track 0.mp3", dir / "album/link.mp3");
  paths.push_back(dir / "album/sub");
  paths.push_back(dir / "album/link.mp3");
  paths.push_back(dir / "album/missing.mp3");
  paths.push_back(dir / "album/TRACK 1.MP3");  // another spelling
  paths.push_back(dir / "no such folder/x.mp3");
  paths.push_back(dir / "album/track 2.mp3");  // twice
  paths.push_back("/");
  paths.push_back(dir.path() + "/album/");
  // Folders below one that is missing, or below a file or a dangling
  // link, are missing too; a folder that is missing says nothing of its
  // neighbours, asked about after it.
  std::filesystem::create_directory_symlink(dir / "nowhere", dir / "dangling");
  testsupport::writeFile(dir / "here/sub/x.mp3", "x");
  for (const char* p : {"gone/a/b/x.mp3", "gone/a/c/y.mp3", "gone/d/z.mp3", "here/new/x.mp3",
                        "here/sub/x.mp3", "here/new/deeper/x.mp3", "album/track 0.mp3/w/z.mp3",
                        "album/track 3.mp3", "dangling/q/x.mp3", "dangling/r/x.mp3"})
    paths.push_back(dir / p);
  fs::PosixFileManager fm;
  expectSameAsOneByOne(fm, paths, true);
  expectSameAsOneByOne(fm, paths, false);
  std::vector<fs::FileManager::ItemQuery> shared;
  for (const auto& p : paths) shared.push_back({p, true, true});
  fm.shareListings(std::make_shared<fs::FolderListings>());
  auto batch = fm.attributesOfItems(shared, 1);
  for (size_t i = 0; i < paths.size(); ++i)
    EXPECT_EQ(batch[i].has_value(), fm.attributesOfItemAtPath(paths[i], nullptr).has_value())
        << paths[i];
}

TEST(BatchAttributesThreaded, MixedBatchOverManyFoldersAgreesWithSingleLookups) {
  testsupport::TempDir dir;
  std::vector<std::string> paths;
  // Folders whose names share long beginnings, each listed in full and
  // with sizes, twice over, in an order that mixes folders.
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 8; ++i) {
      for (int f = 0; f < 40; ++f) {
        std::string folder = dir / ("a rather long shared folder name/album " + std::to_string(f));
        std::string p = folder + "/track " + std::to_string(i) + ".mp3";
        if (round == 0) testsupport::writeFile(p, std::string(static_cast<size_t>(f + i), 'a'));
        paths.push_back(p);
      }
    }
  }
  std::filesystem::create_directories(dir / "a rather long shared folder name/album 3/sub");
  paths.push_back(dir / "a rather long shared folder name/album 3/sub");
  paths.push_back(dir / "a rather long shared folder name/album 3/missing.mp3");
  paths.push_back(dir / "a rather long shared folder name/album 99/track 1.mp3");
  paths.push_back("");
  paths.push_back("/");
  paths.push_back("relative/track.mp3");
  paths.push_back(dir.path() + "/a rather long shared folder name/");
  // A NUL ends the path for the system, in a batch as alone.
  paths.push_back(paths[0] + std::string(1, '\0') + "/x.mp3");
  paths.push_back(paths[0].substr(0, paths[0].size() - 4) + std::string(1, '\0') + ".mp3");
  fs::PosixFileManager fm;
  expectMixedBatchSameAsOneByOne(fm, paths);
  // Keeping the listings for a walk changes no answer, from any thread;
  // every folder with an existence-only item is kept: the even albums
  // (sizes are wanted of the odd ones) and album 3, for its "sub".
  auto listings = std::make_shared<fs::FolderListings>();
  fm.shareListings(listings);
  expectMixedBatchSameAsOneByOne(fm, paths);
  EXPECT_EQ(listings->size(), 21u);
}

TEST(BatchAttributes, OtherManagersAnswerAMixedBatchItemByItemInOrder) {
  testsupport::TempDir dir;
  testsupport::writeFile(dir / "a", "12345");
  auto fm = std::make_shared<fs::FaultInjectingFileManager>();
  std::string a = dir / "a", missing = dir / "missing";
  // The second lookup fails by injection: in order, that is `missing`
  // (which fails anyway) and the third item, `a` again, is answered.
  fm->failNth(fs::FileOp::kAttributes, 2, EIO);
  auto batch = fm->attributesOfItems({{a, false}, {missing, true}, {a, true}});
  ASSERT_EQ(batch.size(), 3u);
  EXPECT_TRUE(batch[0].has_value());
  EXPECT_FALSE(batch[1].has_value());
  ASSERT_TRUE(batch[2].has_value());
  EXPECT_EQ(batch[2]->size, 5u);
  EXPECT_EQ(fm->count(fs::FileOp::kAttributes), 3u);
  fm->failNth(fs::FileOp::kAttributes, 3, EIO);
  batch = fm->attributesOfItems({{a, true}, {a, true}, {a, true}});
  EXPECT_TRUE(batch[0].has_value());
  EXPECT_TRUE(batch[1].has_value());
  EXPECT_FALSE(batch[2].has_value());
}

// With no descriptor left to open a folder, the batch must not report its
// items missing (a present track would be copied again, a source counted
// as empty): it falls back to single lookups, which need none. Run in a
// child process so the lowered limit touches nothing else.
TEST(BatchAttributes, NoDescriptorLeftFallsBackToSingleLookups) {
  testsupport::TempDir dir;
  std::filesystem::create_directories(dir / "d");
  std::vector<std::string> paths;
  for (int i = 0; i < 6; ++i) {
    paths.push_back(dir / ("d/" + std::to_string(i) + ".mp3"));
    testsupport::writeFile(paths.back(), std::string(100 + i, 'x'));
  }
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    fs::PosixFileManager fm;
    // Once with descriptors to spare: the sanitizers' first check of a
    // call needs a descriptor of its own.
    fm.attributesOfItemsAtPaths(paths, 1, false);
    struct rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = 16;
    setrlimit(RLIMIT_NOFILE, &limit);
    while (open("/dev/null", O_RDONLY) >= 0) {
    }
    int failures = 0;
    for (bool needSize : {false, true}) {
      auto found = fm.attributesOfItemsAtPaths(paths, 1, needSize);
      for (size_t i = 0; i < paths.size(); ++i) {
        if (!found[i] || (needSize && found[i]->size != 100 + i)) ++failures;
      }
    }
    _exit(failures == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A folder the lookups listed is answered from that listing while nothing
// is written, and read again after any write through the manager (even
// one the lookups listed between a batch's copy and its commit): a
// listing kept past a write would hide what the exporter just wrote or
// removed from the stale walk. A folder reached through a link is not
// kept (a walk must find it "not a folder").
TEST(BatchAttributes, SharedListingsServeTheWalkUntilTheManagerWrites) {
  struct Write {
    const char* what;
    std::function<bool(fs::FileManager&, const testsupport::TempDir&)> run;
  };
  auto root = [](const testsupport::TempDir& d) { return fs::DestinationRoot::open(d / "drive"); };
  const std::vector<Write> writes = {
      {"copy",
       [](fs::FileManager& fm, const testsupport::TempDir& d) {
         return fm.copyItemAtPath(d / "source.mp3", d / "drive/album/copy.mp3", nullptr);
       }},
      {"batch",
       [&](fs::FileManager& fm, const testsupport::TempDir& d) {
         auto batch = fm.makeCopyBatch(fs::CopyBatchOptions{root(d), nullptr});
         bool added = batch->addCopy(d / "source.mp3", d / "drive/album/copy.mp3", nullptr);
         // Listed with the copy's temporary and without its name.
         fm.attributesOfItemsAtPaths({d / "drive/album/track 1.mp3"}, 1, false);
         return added && batch->commit(nullptr) == std::vector<bool>{true};
       }},
      {"folder",
       [](fs::FileManager& fm, const testsupport::TempDir& d) {
         return fm.createDirectoryAtPath(d / "drive/album/sub", false, nullptr);
       }},
      {"remove",
       [](fs::FileManager& fm, const testsupport::TempDir& d) {
         return fm.removeItemAtPath(d / "drive/album/track 0.mp3", nullptr);
       }},
      {"remove below root",
       [&](fs::FileManager& fm, const testsupport::TempDir& d) {
         return fm.removeItemBelowRoot(*root(d), d / "drive/album/track 0.mp3",
                                       fs::RemoveKind::kFile, nullptr);
       }},
      {"text",
       [](fs::FileManager& fm, const testsupport::TempDir& d) {
         return fm.writeStringAtomically("x", d / "drive/album/notes.txt", nullptr);
       }},
      {"text below root",
       [&](fs::FileManager& fm, const testsupport::TempDir& d) {
         return fm.writeStringBelowRoot(*root(d), "x", d / "drive/album/notes.txt", nullptr);
       }},
  };
  auto names = [](const std::optional<std::vector<fs::DirectoryEntry>>& entries) {
    std::set<std::string> out;
    for (const auto& e : entries.value_or(std::vector<fs::DirectoryEntry>{})) out.insert(e.name);
    return out;
  };
  for (const auto& write : writes) {
    SCOPED_TRACE(write.what);
    testsupport::TempDir dir;
    testsupport::writeFile(dir / "source.mp3", "data");
    std::vector<std::string> tracks;
    for (const char* folder : {"album", "other"}) {
      for (int i = 0; i < 2; ++i) {
        tracks.push_back(dir /
                         ("drive/" + std::string(folder) + "/track " + std::to_string(i) + ".mp3"));
        testsupport::writeFile(tracks.back(), "a");
      }
    }
    std::filesystem::create_directories(dir / "drive/elsewhere");
    std::filesystem::create_symlink(dir / "drive/elsewhere", dir / "drive/linked");
    testsupport::writeFile(dir / "drive/elsewhere/x.mp3", "a");
    auto fm = std::make_shared<fs::PosixFileManager>();
    auto listings = std::make_shared<fs::FolderListings>();
    fm->shareListings(listings);
    tracks.push_back(dir / "drive/linked/x.mp3");
    auto found = fm->attributesOfItemsAtPaths(tracks, 2, false);
    ASSERT_EQ(std::count(found.begin(), found.end(), std::nullopt), 0);
    EXPECT_EQ(listings->size(), 2u);
    EXPECT_FALSE(fm->contentsOfDirectoryAtPath(dir / "drive/linked", nullptr));

    // Written behind the manager's back: the kept listing answers.
    testsupport::writeFile(dir / "drive/album/user.mp3", "u");
    testsupport::writeFile(dir / "drive/other/user.mp3", "u");
    EXPECT_EQ(names(fm->contentsOfDirectoryAtPath(dir / "drive/other", nullptr)),
              (std::set<std::string>{"track 0.mp3", "track 1.mp3"}));

    ASSERT_TRUE(write.run(*fm, dir));
    std::set<std::string> now;
    for (const auto& e : std::filesystem::directory_iterator(dir / "drive/album"))
      now.insert(e.path().filename().string());
    EXPECT_EQ(names(fm->contentsOfDirectoryAtPath(dir / "drive/album", nullptr)), now);
  }
}
