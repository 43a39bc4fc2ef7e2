// Looking at many items at once must answer exactly as looking at each.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/PosixFileManager.h"
#include "support/TempDir.h"

namespace {

void expectSameAsOneByOne(platform::FileManager& fm, const std::vector<std::string>& paths, bool needSize) {
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
  platform::PosixFileManager fm;
  expectSameAsOneByOne(fm, paths, true);
  expectSameAsOneByOne(fm, paths, false);
}
