// Whether a path lies inside a folder, by what the file system says: a
// library's tracks seen through a link to the drive, present or missing,
// must keep a clean-up from judging them stale.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "fs/InsideFolder.h"
#include "support/TempDir.h"

namespace fs {
namespace {

using testsupport::TempDir;
using testsupport::writeFile;

TEST(InsideFolder, AnswersByTheFileSystemForFilesThereAndMissing) {
  TempDir dir;
  std::filesystem::create_directories(dir / "drive/Music/Album");
  std::filesystem::create_directories(dir / "elsewhere/Album");
  writeFile(dir / "drive/Music/Album/1.mp3", "x");
  writeFile(dir / "elsewhere/Album/1.mp3", "x");
  ASSERT_EQ(symlink((dir / "drive/Music").c_str(), (dir / "link").c_str()), 0);
  ASSERT_EQ(
      symlink((dir / "drive/Music/Album/1.mp3").c_str(), (dir / "elsewhere/to-drive.mp3").c_str()),
      0);
  struct Case {
    std::string path;
    bool inside;
  };
  InsideFolder drive(dir / "drive");
  // Asked in this order: the answers a folder keeps must not leak to the
  // missing paths asked after it.
  for (const Case& c : std::vector<Case>{
           {dir / "drive", true},
           {dir / "drive/Music/Album/1.mp3", true},
           {dir / "link/Album/1.mp3", true},
           {dir / "link/Album/missing.mp3", true},
           {dir / "link/Missing Album/missing.mp3", true},
           {dir / "drive/../drive/Music/Album/missing.mp3", true},
           {dir / "elsewhere/to-drive.mp3", true},
           {dir / "elsewhere/Album/1.mp3", false},
           {dir / "elsewhere/Album/missing.mp3", false},
           {dir / "elsewhere/Missing Album/missing.mp3", false},
           {dir / "drive-like/Music/1.mp3", false},
           {"/no/such/place/1.mp3", false},
       }) {
    EXPECT_EQ(drive.contains(c.path), c.inside) << c.path;
  }
}

}  // namespace
}  // namespace fs
