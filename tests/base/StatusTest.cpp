// What a failure tells: the system's reason, the path and what was being
// done, carried unchanged between the file manager's errors and Status.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <iterator>

#include "base/Status.h"
#include "base/WholeFile.h"
#include "fs/FileManager.h"
#include "support/TempDir.h"

using base::Oversize;
using base::readWholeFile;
using base::Status;

TEST(Status, SaysWhatFailedWhereAndWhy) {
  EXPECT_TRUE(Status().ok());
  EXPECT_EQ(Status().message(), "OK");
  Status denied = Status::fromErrno(EACCES, "cannot open", "/media/x/a.mp3");
  EXPECT_FALSE(denied.ok());
  EXPECT_TRUE(denied.notPermitted());
  EXPECT_EQ(denied.code(), EACCES);
  EXPECT_EQ(denied.path(), "/media/x/a.mp3");
  EXPECT_EQ(denied.message(), "cannot open /media/x/a.mp3: Permission denied");
  EXPECT_EQ(Status::failure("Could not find disk:", "sdz").message(), "Could not find disk: sdz");
  EXPECT_FALSE(Status::failure("cannot parse", "/p", "bad").notPermitted());

  base::FileError full{ENOSPC, "The file “a.mp3” couldn’t be copied: No space left on device.",
                       "/d/a.mp3"};
  Status carried = Status::fromFileError(full);
  EXPECT_EQ(carried.message(), full.localizedDescription);
  base::FileError back = carried.toFileError();
  EXPECT_EQ(back.code, ENOSPC);
  EXPECT_EQ(back.path, "/d/a.mp3");
  EXPECT_EQ(back.localizedDescription, full.localizedDescription);
  EXPECT_EQ(Status::fromFileError({ENOENT, "", "/gone"}).message(),
            "cannot use /gone: No such file or directory");
}

TEST(WholeFile, ReadsOrNamesThePathAndTheReason) {
  testsupport::TempDir dir;
  testsupport::writeFile(dir / "f", "12345");
  EXPECT_EQ(*readWholeFile(dir / "f"), "12345");
  EXPECT_EQ(*readWholeFile(dir / "f", 3, Oversize::kTruncate), "123");
  struct Case {
    std::string path;
    size_t limit;
    int code;
    std::string message;
  } cases[] = {
      {dir / "none", 10, ENOENT, "cannot read " + dir / "none" + ": No such file or directory"},
      {dir.path(), 10, EINVAL, "cannot read " + dir.path() + ": it is not a regular file"},
      {dir / "f", 4, EFBIG, "cannot read " + dir / "f" + ": it is larger than 4 bytes"},
  };
  for (const auto& c : cases) {
    auto read = readWholeFile(c.path, c.limit);
    ASSERT_FALSE(read.ok()) << c.path;
    EXPECT_EQ(read.status().code(), c.code) << c.path;
    EXPECT_EQ(read.status().message(), c.message);
    EXPECT_EQ(read.status().path(), c.path);
  }
}

TEST(WholeFile, ReplacesWholeOrLeavesTheOldFile) {
  testsupport::TempDir dir;
  std::string file = dir / "prefs.plist";
  testsupport::writeFile(file, "old");
  ASSERT_TRUE(base::replaceWholeFile(file, "new").ok());
  EXPECT_EQ(*readWholeFile(file), "new");
  // A folder standing at the name: the rename fails, the old stays, no
  // temporary file is left behind.
  std::string blocked = dir / "blocked";
  std::filesystem::create_directories(blocked + "/inside");
  Status refused = base::replaceWholeFile(blocked, "x");
  EXPECT_EQ(refused.message(), "cannot write " + blocked + ": Is a directory");
  EXPECT_TRUE(std::filesystem::is_directory(blocked + "/inside"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
}
