#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "fs/PosixFileManager.h"
#include "support/FaultInjectingFileManager.h"
#include "support/TempDir.h"

namespace fs {
using namespace base;
namespace {

using testsupport::exists;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

class FaultInjectingFileManagerTest : public ::testing::Test {
 protected:
  TempDir dir_;
  FaultInjectingFileManager fm_;
};

TEST_F(FaultInjectingFileManagerTest, UnreadablePathAndEverythingBelow) {
  writeFile(dir_ / "music/x.mp3", "1");
  writeFile(dir_ / "musical/y.mp3", "1");
  fm_.makeUnreadable(dir_ / "music/");
  FileError error;
  EXPECT_FALSE(fm_.contentsOfDirectoryAtPath(dir_ / "music", &error));
  EXPECT_EQ(error.code, EACCES);
  EXPECT_FALSE(fm_.attributesOfItemAtPath(dir_ / "music/x.mp3", &error));
  EXPECT_EQ(error.code, EACCES);
  EXPECT_FALSE(fm_.copyItemAtPath(dir_ / "music/x.mp3", dir_ / "z", &error));
  EXPECT_EQ(error.code, EACCES);
  EXPECT_FALSE(exists(dir_ / "z"));
  // A sibling that only shares the leading characters is not affected.
  EXPECT_TRUE(fm_.contentsOfDirectoryAtPath(dir_ / "musical", &error));
  EXPECT_TRUE(fm_.attributesOfItemAtPath(dir_ / "musical/y.mp3", &error));
  EXPECT_TRUE(fm_.fileExistsAtPath(dir_ / "music/x.mp3", nullptr));
}

TEST_F(FaultInjectingFileManagerTest, ResetCountsKeepsPendingFailureDistance) {
  fm_.fileExistsAtPath(dir_.path(), nullptr);
  fm_.failNth(FileOp::kExists, 2, EIO);
  fm_.resetCounts();
  EXPECT_EQ(fm_.count(FileOp::kExists), 0u);
  EXPECT_TRUE(fm_.fileExistsAtPath(dir_.path(), nullptr));
  EXPECT_FALSE(fm_.fileExistsAtPath(dir_.path(), nullptr));
  EXPECT_TRUE(fm_.fileExistsAtPath(dir_.path(), nullptr));
}

TEST(FaultInjectingFileManagerThreaded, CountsAndOneShotAcrossThreads) {
  TempDir dir;
  writeFile(dir / "a", "1");
  FaultInjectingFileManager fm;
  fm.failNth(FileOp::kAttributes, 500, EIO);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 250; ++i) {
        if (!fm.attributesOfItemAtPath(dir / "a", nullptr)) failures.fetch_add(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(fm.count(FileOp::kAttributes), 1000u);
  EXPECT_EQ(failures.load(), 1);
}

}  // namespace
}  // namespace fs
