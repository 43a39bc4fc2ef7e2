// Copies flushed together: nothing is named before its batch commits,
// and every failure leaves neither a final file nor a temporary.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>

#include "fs/DestinationRoot.h"
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

std::vector<std::string> namesIn(const std::string& folder) {
  std::vector<std::string> names;
  auto entries = PosixFileManager().contentsOfDirectoryAtPath(folder, nullptr);
  if (!entries) return {"(unreadable)"};
  for (const auto& e : *entries) names.push_back(e.name);
  std::sort(names.begin(), names.end());
  return names;
}

size_t temporariesIn(const std::string& folder) {
  size_t n = 0;
  for (const auto& name : namesIn(folder)) n += FileManager::isPartialCopyName(name);
  return n;
}

class CopyBatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir((dir_ / "src").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir_ / "dst").c_str(), 0755), 0);
    for (int i = 0; i < 3; ++i)
      writeFile(src(i), std::string(1000 + i, static_cast<char>('a' + i)));
  }
  std::string src(int i) { return dir_ / ("src/" + std::to_string(i) + ".mp3"); }
  std::string dst(int i) { return dir_ / ("dst/" + std::to_string(i) + ".mp3"); }
  TempDir dir_;
};

TEST_F(CopyBatchTest, NamesNothingBeforeCommitThenEverything) {
  PosixFileManager fm;
  auto batch = fm.makeCopyBatch();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(batch->addCopy(src(i), dst(i), nullptr));
  EXPECT_EQ(batch->pendingCount(), 3u);
  EXPECT_EQ(batch->pendingBytes(), 3003u);
  EXPECT_EQ(temporariesIn(dir_ / "dst"), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(exists(dst(i)));

  std::vector<FileError> errors;
  EXPECT_EQ(batch->commit(&errors), (std::vector<bool>{true, true, true}));
  EXPECT_EQ(batch->pendingCount(), 0u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(readFile(dst(i)), readFile(src(i)));
  EXPECT_EQ(temporariesIn(dir_ / "dst"), 0u);
  EXPECT_TRUE(batch->commit(&errors).empty());
}

TEST_F(CopyBatchTest, AFileThatAppearsBeforeCommitIsKeptAndOnlyThatCopyFails) {
  PosixFileManager fm;
  auto batch = fm.makeCopyBatch();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(batch->addCopy(src(i), dst(i), nullptr));
  writeFile(dst(1), "someone else's");
  std::vector<FileError> errors;
  EXPECT_EQ(batch->commit(&errors), (std::vector<bool>{true, false, true}));
  EXPECT_EQ(errors[1].code, EEXIST);
  EXPECT_EQ(errors[1].localizedDescription, "The file “1.mp3” couldn’t be copied: File exists.");
  EXPECT_EQ(readFile(dst(1)), "someone else's");
  EXPECT_EQ(readFile(dst(2)), readFile(src(2)));
  EXPECT_EQ(temporariesIn(dir_ / "dst"), 0u);
}

TEST_F(CopyBatchTest, FailedAddsLeaveNothingAndDroppingABatchRemovesItsTemporaries) {
  PosixFileManager fm;
  writeFile(dst(0), "there already");
  {
    auto batch = fm.makeCopyBatch();
    FileError error;
    EXPECT_FALSE(batch->addCopy(src(0), dst(0), &error));
    EXPECT_EQ(error.code, EEXIST);
    EXPECT_FALSE(batch->addCopy(dir_ / "src/missing.mp3", dst(1), &error));
    EXPECT_EQ(error.code, ENOENT);
    EXPECT_TRUE(batch->addCopy(src(2), dst(2), nullptr));
    EXPECT_EQ(batch->pendingCount(), 1u);
    EXPECT_EQ(temporariesIn(dir_ / "dst"), 1u);
  }
  EXPECT_EQ(namesIn(dir_ / "dst"), (std::vector<std::string>{"0.mp3"}));
  EXPECT_EQ(readFile(dst(0)), "there already");
}

TEST_F(CopyBatchTest, AFailedFlushFailsTheWholeBatchAndTheNextOneWorks) {
  FaultInjectingFileManager fm;
  auto batch = fm.makeCopyBatch();
  fm.failNth(FileOp::kFlush, 1, EIO);
  ASSERT_TRUE(batch->addCopy(src(0), dst(0), nullptr));
  ASSERT_TRUE(batch->addCopy(src(1), dst(1), nullptr));
  std::vector<FileError> errors;
  EXPECT_EQ(batch->commit(&errors), (std::vector<bool>{false, false}));
  EXPECT_EQ(errors[0].localizedDescription,
            "The file “0.mp3” couldn’t be copied: Input/output error.");
  EXPECT_EQ(errors[1].localizedDescription,
            "The file “1.mp3” couldn’t be copied: Input/output error.");
  EXPECT_TRUE(namesIn(dir_ / "dst").empty());

  ASSERT_TRUE(batch->addCopy(src(2), dst(2), nullptr));
  EXPECT_EQ(batch->commit(&errors), (std::vector<bool>{true}));
  EXPECT_EQ(readFile(dst(2)), readFile(src(2)));
  EXPECT_EQ(fm.count(FileOp::kCopy), 3u);
  EXPECT_EQ(fm.count(FileOp::kFlush), 2u);
}

// A drive that goes read-only after the renames (its journal aborted)
// would lose the names: the copies do not count as made.
TEST_F(CopyBatchTest, CopiesCountOnlyOnceTheirNamesAreFlushed) {
  PosixFileManager::Options options;
  int flushes = 0;
  options.stepHook = [&](CopyStep step, const std::string&) {
    return step == CopyStep::kNamesFlushed && ++flushes == 1 ? EROFS : 0;
  };
  PosixFileManager fm(options);
  auto batch = fm.makeCopyBatch();
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(batch->addCopy(src(i), dst(i), nullptr));
  std::vector<FileError> errors;
  EXPECT_EQ(batch->commit(&errors), (std::vector<bool>{false, false}));
  EXPECT_EQ(errors[0].code, EROFS);
  ASSERT_TRUE(batch->addCopy(src(2), dst(2), nullptr));
  EXPECT_EQ(batch->commit(&errors), (std::vector<bool>{true}));
  EXPECT_EQ(flushes, 2);
}

TEST_F(CopyBatchTest, RunningOutOfSpaceFailsTheCopyThatCrossesTheLimit) {
  FaultInjectingFileManager fm;
  fm.setNoSpaceAfterBytes(1500);
  auto batch = fm.makeCopyBatch();
  FileError error;
  EXPECT_TRUE(batch->addCopy(src(0), dst(0), &error));
  EXPECT_FALSE(batch->addCopy(src(1), dst(1), &error));
  EXPECT_EQ(error.code, ENOSPC);
  EXPECT_EQ(temporariesIn(dir_ / "dst"), 1u);
  EXPECT_EQ(batch->commit(nullptr), (std::vector<bool>{true}));
  EXPECT_EQ(namesIn(dir_ / "dst"), (std::vector<std::string>{"0.mp3"}));
}

// A manager with no batch of its own copies each file as it is added.
TEST_F(CopyBatchTest, AWrapperOverAWrapperNamesOnlyAtTheCommit) {
  auto inner = std::make_shared<FaultInjectingFileManager>();
  FaultInjectingFileManager outer(inner);
  auto batch = outer.makeCopyBatch();
  ASSERT_TRUE(batch->addCopy(src(0), dst(0), nullptr));
  EXPECT_FALSE(exists(dst(0)));
  EXPECT_EQ(batch->commit(nullptr), (std::vector<bool>{true}));
  EXPECT_EQ(readFile(dst(0)), readFile(src(0)));
  EXPECT_EQ(outer.count(FileOp::kCopy), 1u);
  EXPECT_EQ(inner->count(FileOp::kCopy), 1u);
}

// A folder the batch makes is not looked in before each copy: the name
// is still never taken from anyone at commit, whether a second copy of
// the batch or a file someone put there in the meantime wants it.
TEST_F(CopyBatchTest, InFoldersItMadeTheBatchStillNamesNothingTwice) {
  PosixFileManager fm;
  auto root = DestinationRoot::open(dir_ / "dst");
  auto batch = fm.makeCopyBatch(CopyBatchOptions{root, nullptr});
  const std::string album = dir_ / "dst/Artist/Album";
  ASSERT_TRUE(batch->addCopy(src(0), album + "/1.mp3", nullptr));
  ASSERT_TRUE(batch->addCopy(src(1), album + "/1.mp3", nullptr));
  ASSERT_TRUE(batch->addCopy(src(2), album + "/2.mp3", nullptr));
  writeFile(album + "/2.mp3", "someone else's");
  std::vector<FileError> errors;
  EXPECT_EQ(batch->commit(&errors), (std::vector<bool>{true, false, false}));
  EXPECT_EQ(errors[1].code, EEXIST);
  EXPECT_EQ(errors[2].code, EEXIST);
  EXPECT_EQ(readFile(album + "/1.mp3"), readFile(src(0)));
  EXPECT_EQ(readFile(album + "/2.mp3"), "someone else's");
  EXPECT_EQ(temporariesIn(album), 0u);
}

// Pages of `path` held in memory (mincore over a mapping of it).
size_t residentPages(const std::string& path, size_t bytes) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return SIZE_MAX;
  void* map = mmap(nullptr, bytes, PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (map == MAP_FAILED) return SIZE_MAX;
  size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> in((bytes + page - 1) / page);
  size_t n = 0;
  if (mincore(map, bytes, in.data()) == 0) {
    for (unsigned char c : in) n += c & 1;
  } else {
    n = SIZE_MAX;
  }
  munmap(map, bytes);
  return n;
}

// Copies of many megabytes would otherwise crowd the rest of the system
// out of memory, and a later read would check memory, not the drive.
TEST_F(CopyBatchTest, LargeCopiesLeaveMemoryOnceFlushed) {
  struct statfs fs;
  ASSERT_EQ(statfs(dir_.path().c_str(), &fs), 0);
  if (fs.f_type == TMPFS_MAGIC) GTEST_SKIP() << "on tmpfs a file's pages are its only copy";
  const size_t big = 1u << 20;
  for (int i = 3; i < 8; ++i) writeFile(src(i), std::string(big, static_cast<char>('a' + i)));
  PosixFileManager fm;
  // Five copies flushed at once, then one flushed on its own.
  for (auto [from, to] : {std::pair{3, 8}, std::pair{8, 9}}) {
    auto batch = fm.makeCopyBatch();
    for (int i = from; i < to; ++i)
      ASSERT_TRUE(batch->addCopy(src(i == 8 ? 3 : i), dst(i), nullptr));
    std::vector<FileError> errors;
    for (bool named : batch->commit(&errors)) EXPECT_TRUE(named);
  }
  for (int i = 3; i < 9; ++i) EXPECT_EQ(residentPages(dst(i), big), 0u) << dst(i);
  for (int i = 3; i < 8; ++i) EXPECT_EQ(readFile(dst(i)), readFile(src(i)));
}

}  // namespace
}  // namespace fs
