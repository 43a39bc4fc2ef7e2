#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <random>

#include "fs/PosixFileManager.h"
#include "support/TempDir.h"

namespace fs {
using namespace base;
namespace {

using testsupport::exists;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

std::string randomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

void setMtime(const std::string& path, time_t seconds, long nanos) {
  struct timespec times[2] = {{0, UTIME_OMIT}, {seconds, nanos}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

// Names in `folder` that are leftovers of copies or atomic writes.
std::vector<std::string> temporaries(const std::string& folder) {
  std::vector<std::string> found;
  auto list = PosixFileManager().contentsOfDirectoryAtPath(folder, nullptr);
  if (!list) return {"(folder unreadable)"};
  for (const auto& e : *list) {
    if (FileManager::isPartialCopyName(e.name)) found.push_back(e.name);
  }
  return found;
}

class PosixFileManagerCopy : public ::testing::TestWithParam<bool> {
 protected:
  PosixFileManagerCopy() : fm_(makeOptions(GetParam())) {}
  static PosixFileManager::Options makeOptions(bool copyRange) {
    PosixFileManager::Options o;
    o.useCopyFileRange = copyRange;
    o.copyChunkBytes = 4u << 20;  // several chunks for the large file
    return o;
  }
  TempDir dir_;
  PosixFileManager fm_;
};

// Empty, small, at the edges of the read buffer (a read that ends short
// at the size is the end) and over several chunks: the bytes and the
// modification time, and no temporary left.
TEST_P(PosixFileManagerCopy, KeepsBytesAndModificationTime) {
  const size_t buffer = PosixFileManager::Options().bufferBytes;
  for (size_t size : {size_t{0}, size_t{1}, size_t{100000}, buffer - 1, buffer, buffer + 1,
                      2 * buffer, size_t{20} << 20}) {
    SCOPED_TRACE(size);
    std::string data = randomBytes(size, 1), to = dir_ / ("dst" + std::to_string(size));
    writeFile(dir_ / "src.mp3", data);
    setMtime(dir_ / "src.mp3", 1234567890, 123456789);
    FileError error;
    ASSERT_TRUE(fm_.copyItemAtPath(dir_ / "src.mp3", to, &error)) << error.localizedDescription;
    EXPECT_TRUE(readFile(to) == data);
    auto a = fm_.attributesOfItemAtPath(to, nullptr);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->modificationTimeNs, 1234567890LL * 1000000000 + 123456789);
    EXPECT_EQ(a->size, data.size());
  }
  EXPECT_TRUE(temporaries(dir_.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(CopyRangeAndReadWrite, PosixFileManagerCopy, ::testing::Bool());

class PosixFileManagerTest : public ::testing::Test {
 protected:
  TempDir dir_;
  PosixFileManager fm_;
};

// A copy that cannot be made says why and changes nothing: not what
// stands at its destination, not where a link there points.
TEST_F(PosixFileManagerTest, FailedCopiesChangeNothing) {
  writeFile(dir_ / "a.mp3", "new");
  writeFile(dir_ / "b.mp3", "old");
  writeFile(dir_ / "folder/inside", "x");
  ASSERT_EQ(symlink("nowhere", (dir_ / "dangling").c_str()), 0);
  struct Case {
    const char *from, *to;
    int code;
    const char* message;  // naming `to`, or `from` when that is missing
  };
  // clang-format off
  const Case cases[] = {
      {"a.mp3", "b.mp3", EEXIST, "The file “b.mp3” couldn’t be copied: File exists."},
      {"missing.mp3", "x", ENOENT,
       "The file “missing.mp3” couldn’t be copied: No such file or directory."},
      {"a.mp3", "folder", EISDIR, nullptr}, {"a.mp3", "dangling", EEXIST, nullptr},
      {"folder", "y", EISDIR, nullptr}, {"a.mp3", "no/such/b", ENOENT, nullptr},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.to);
    FileError error;
    EXPECT_FALSE(fm_.copyItemAtPath(dir_ / c.from, dir_ / c.to, &error));
    EXPECT_EQ(error.code, c.code);
    if (c.message) {
      EXPECT_EQ(error.localizedDescription, c.message);
      EXPECT_EQ(error.path, dir_ / (c.code == EEXIST ? c.to : c.from));
    }
  }
  EXPECT_EQ(readFile(dir_ / "b.mp3"), "old");
  EXPECT_EQ(readFile(dir_ / "folder/inside"), "x");
  for (const char* absent : {"nowhere", "x", "y"}) EXPECT_FALSE(exists(dir_ / absent));
  EXPECT_TRUE(temporaries(dir_.path()).empty());
}

TEST_F(PosixFileManagerTest, GateFailureHalfWayLeavesNothing) {
  writeFile(dir_ / "a", randomBytes(3u << 20, 3));
  uint64_t budget = 1500000;
  auto gate = [&](uint64_t, uint64_t* length) {
    if (*length <= budget) {
      budget -= *length;
      return 0;
    }
    *length = budget;
    budget = 0;
    return ENOSPC;
  };
  FileError error;
  EXPECT_FALSE(fm_.copyItemAtPath(dir_ / "a", dir_ / "b", &error, gate));
  EXPECT_EQ(error.code, ENOSPC);
  EXPECT_EQ(error.localizedDescription,
            "The file “b” couldn’t be copied: No space left on device.");
  EXPECT_FALSE(exists(dir_ / "b"));
  EXPECT_TRUE(temporaries(dir_.path()).empty());
}

TEST_F(PosixFileManagerTest, TemporaryNameFitsLongNames) {
  std::string name(250, 'n');
  writeFile(dir_ / "a", "1");
  ASSERT_TRUE(fm_.copyItemAtPath(dir_ / "a", dir_ / name, nullptr));
  EXPECT_EQ(readFile(dir_ / name), "1");
}

TEST_F(PosixFileManagerTest, AtomicWriteReplacesExistingFile) {
  writeFile(dir_ / "list.m3u8", "old contents that are longer");
  FileError error;
  ASSERT_TRUE(fm_.writeStringAtomically("#EXTM3U\nü\n", dir_ / "list.m3u8", &error));
  EXPECT_EQ(readFile(dir_ / "list.m3u8"), "#EXTM3U\nü\n");
  ASSERT_TRUE(fm_.writeStringAtomically("new", dir_ / "fresh", &error));
  EXPECT_EQ(readFile(dir_ / "fresh"), "new");
  EXPECT_TRUE(temporaries(dir_.path()).empty());
}

TEST_F(PosixFileManagerTest, AtomicWriteOntoFolderFailsCleanly) {
  ASSERT_EQ(mkdir((dir_ / "d").c_str(), 0755), 0);
  writeFile(dir_ / "d/keep", "k");
  FileError error;
  EXPECT_FALSE(fm_.writeStringAtomically("x", dir_ / "d", &error));
  EXPECT_NE(error.code, 0);
  EXPECT_EQ(readFile(dir_ / "d/keep"), "k");
  EXPECT_TRUE(temporaries(dir_.path()).empty());
  EXPECT_FALSE(fm_.writeStringAtomically("x", dir_ / "none/f", &error));
  EXPECT_EQ(error.code, ENOENT);
}

TEST_F(PosixFileManagerTest, RemoveTreeDoesNotFollowLinks) {
  TempDir outside;
  writeFile(outside / "precious/file", "keep");
  writeFile(dir_ / "tree/a/b/c.mp3", "x");
  writeFile(dir_ / "tree/.hidden", "h");
  ASSERT_EQ(symlink(outside.path().c_str(), (dir_ / "tree/a/link").c_str()), 0);
  ASSERT_EQ(symlink((outside / "precious/file").c_str(), (dir_ / "tree/filelink").c_str()), 0);
  FileError error;
  ASSERT_TRUE(fm_.removeItemAtPath(dir_ / "tree", &error)) << error.localizedDescription;
  EXPECT_FALSE(exists(dir_ / "tree"));
  EXPECT_EQ(readFile(outside / "precious/file"), "keep");
}

TEST_F(PosixFileManagerTest, ListGivesTypesWithoutFollowing) {
  writeFile(dir_ / "f.mp3", "1");
  ASSERT_EQ(mkdir((dir_ / "d").c_str(), 0755), 0);
  ASSERT_EQ(symlink((dir_ / "d").c_str(), (dir_ / "ld").c_str()), 0);
  ASSERT_EQ(symlink("missing", (dir_ / "lm").c_str()), 0);
  ASSERT_EQ(mkfifo((dir_ / "p").c_str(), 0644), 0);
  auto list = fm_.contentsOfDirectoryAtPath(dir_.path(), nullptr);
  ASSERT_TRUE(list);
  std::vector<std::pair<std::string, FileType>> types;
  for (const auto& e : *list) types.emplace_back(e.name, e.type);
  std::sort(types.begin(), types.end());
  EXPECT_EQ(types, (std::vector<std::pair<std::string, FileType>>{{"d", FileType::kDirectory},
                                                                  {"f.mp3", FileType::kRegular},
                                                                  {"ld", FileType::kSymbolicLink},
                                                                  {"lm", FileType::kSymbolicLink},
                                                                  {"p", FileType::kOther}}));
  FileError error;
  EXPECT_FALSE(fm_.contentsOfDirectoryAtPath(dir_ / "ld", &error));
  EXPECT_EQ(error.code, ENOTDIR);
  EXPECT_FALSE(fm_.contentsOfDirectoryAtPath(dir_ / "none", &error));
  EXPECT_EQ(error.code, ENOENT);
}

TEST_F(PosixFileManagerTest, ExistsAndAttributesDoNotFollowLinks) {
  ASSERT_EQ(mkdir((dir_ / "d").c_str(), 0755), 0);
  ASSERT_EQ(symlink((dir_ / "d").c_str(), (dir_ / "ld").c_str()), 0);
  bool isDir = false;
  EXPECT_TRUE(fm_.fileExistsAtPath(dir_ / "d", &isDir));
  EXPECT_TRUE(isDir);
  EXPECT_TRUE(fm_.fileExistsAtPath(dir_ / "ld", &isDir));
  EXPECT_FALSE(isDir);
  EXPECT_FALSE(fm_.fileExistsAtPath(dir_ / "none", &isDir));
  EXPECT_EQ(fm_.attributesOfItemAtPath(dir_ / "ld", nullptr)->type, FileType::kSymbolicLink);
  FileError error;
  EXPECT_FALSE(fm_.attributesOfItemAtPath(dir_ / "none", &error));
  EXPECT_EQ(error.code, ENOENT);
}

TEST_F(PosixFileManagerTest, CreateDirectoryWithAndWithoutParents) {
  FileError error;
  EXPECT_FALSE(fm_.createDirectoryAtPath(dir_ / "a/b/c", false, &error));
  EXPECT_EQ(error.code, ENOENT);
  ASSERT_TRUE(fm_.createDirectoryAtPath(dir_ / "a/b/c", true, &error));
  bool isDir = false;
  EXPECT_TRUE(fm_.fileExistsAtPath(dir_ / "a/b/c", &isDir) && isDir);
  EXPECT_TRUE(fm_.createDirectoryAtPath(dir_ / "a/b/c", true, &error));
  EXPECT_FALSE(fm_.createDirectoryAtPath(dir_ / "a/b/c", false, &error));
  EXPECT_EQ(error.code, EEXIST);
  writeFile(dir_ / "file", "x");
  EXPECT_FALSE(fm_.createDirectoryAtPath(dir_ / "file/sub", true, &error));
  EXPECT_FALSE(fm_.createDirectoryAtPath(dir_ / "file", true, &error));
}

TEST_F(PosixFileManagerTest, DeletableFollowsFolderPermission) {
  writeFile(dir_ / "ro/f", "1");
  EXPECT_TRUE(fm_.isDeletableFileAtPath(dir_ / "ro/f"));
  EXPECT_FALSE(fm_.isDeletableFileAtPath(dir_ / "ro/none"));
  if (geteuid() == 0) GTEST_SKIP() << "root may remove anything";
  ASSERT_EQ(chmod((dir_ / "ro").c_str(), 0555), 0);
  EXPECT_FALSE(fm_.isDeletableFileAtPath(dir_ / "ro/f"));
}

TEST(FileManagerTest, TestingSettersReplaceAndRestore) {
  auto original = FileManager::defaultManager();
  EXPECT_EQ(FileManager::defaultManager(), original);
  auto mine = std::make_shared<PosixFileManager>();
  FileManager::setDefaultForTesting(mine);
  EXPECT_EQ(FileManager::defaultManager(), mine);
  FileManager::setFactoryForTesting([mine] { return mine; });
  EXPECT_EQ(FileManager::makePrivate(), mine);
  FileManager::setFactoryForTesting(nullptr);
  FileManager::setDefaultForTesting(nullptr);
  EXPECT_NE(FileManager::makePrivate(), mine);
  EXPECT_NE(FileManager::defaultManager(), mine);
  EXPECT_NE(FileManager::defaultManager(), nullptr);
}

// Each way of naming a finished copy (the fallbacks run only on some
// target file systems): a new name is taken, an existing one never
// replaced, no temporary stays.
TEST(PosixFileManagerNaming, EveryMethodNamesNewFilesAndNeverReplaces) {
  using Method = PosixFileManager::NamingMethod;
  for (Method method : {Method::kExclusiveRename, Method::kLink, Method::kCheckThenRename}) {
    SCOPED_TRACE(static_cast<int>(method));
    TempDir dir;
    PosixFileManager::Options options;
    options.naming = method;
    PosixFileManager fm(options);
    writeFile(dir / "a.mp3", "new");
    writeFile(dir / "old.mp3", "old");
    FileError error;
    EXPECT_TRUE(fm.copyItemAtPath(dir / "a.mp3", dir / "b.mp3", &error))
        << error.localizedDescription;
    EXPECT_EQ(readFile(dir / "b.mp3"), "new");
    auto batch = fm.makeCopyBatch();
    ASSERT_TRUE(batch->addCopy(dir / "a.mp3", dir / "c.mp3", nullptr));
    ASSERT_TRUE(batch->addCopy(dir / "a.mp3", dir / "d.mp3", nullptr));
    // Something takes the name between the copy and its naming.
    writeFile(dir / "d.mp3", "taken");
    std::vector<FileError> errors;
    EXPECT_EQ(batch->commit(&errors), (std::vector<bool>{true, false}));
    EXPECT_EQ(errors[1].code, EEXIST);
    EXPECT_EQ(readFile(dir / "c.mp3"), "new");
    EXPECT_EQ(readFile(dir / "d.mp3"), "taken");
    EXPECT_TRUE(temporaries(dir.path()).empty());
  }
}

}  // namespace
}  // namespace fs
