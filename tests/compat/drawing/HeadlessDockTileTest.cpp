#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/Log.h"
#include "compat/drawing/HeadlessDockTile.h"
#include "support/FakeDockTile.h"
#include "support/TempDir.h"

namespace platform {
using namespace base;
namespace {

class HeadlessDockTileTest : public testing::Test {
 protected:
  testsupport::TempDir dir_;
};

Image redSquare() {
  Image image(128, 128);
  image.fillRect({10, 10, 20, 20}, {1, 0, 0, 1});
  return image;
}

TEST_F(HeadlessDockTileTest, KeepsTheTileWithoutWritingAFile) {
  HeadlessDockTile tile;
  EXPECT_TRUE(tile.showsStandardIcon());
  tile.showImage(redSquare());
  ASSERT_TRUE(tile.currentImage());
  EXPECT_EQ(tile.currentImage()->pixelAt(15, 15), (Pixel{255, 0, 0, 255}));
  tile.restoreStandardIcon();
  EXPECT_TRUE(tile.showsStandardIcon());
  EXPECT_FALSE(tile.currentImage());
}

TEST_F(HeadlessDockTileTest, WritesEachChangeAsPng) {
  auto path = dir_ / "tile.png";
  HeadlessDockTile tile(path);
  EXPECT_FALSE(std::filesystem::exists(path));  // nothing until a change

  tile.showImage(redSquare());
  auto written = Image::decodePNG(testsupport::readFile(path));
  ASSERT_TRUE(written);
  EXPECT_EQ(written->pixelAt(15, 15), (Pixel{255, 0, 0, 255}));
  EXPECT_EQ(written->pixelAt(50, 50).alpha, 0);

  tile.restoreStandardIcon();
  auto icon = Image::imageNamed(Image::kApplicationIconName);
  ASSERT_TRUE(icon);
  EXPECT_EQ(testsupport::readFile(path), icon->pngRepresentation());

  // Only the tile itself is left in the folder: no temporaries.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 1);
}

TEST_F(HeadlessDockTileTest, FailedWriteIsLoggedOnceAndDoesNotStopTheCaller) {
  std::filesystem::path path = dir_ / "missing-folder/tile.png";
  HeadlessDockTile tile(path.string());
  LogCapture log;
  tile.showImage(redSquare());
  tile.showImage(redSquare());
  tile.restoreStandardIcon();
  EXPECT_TRUE(tile.showsStandardIcon());
  EXPECT_EQ(log.lines(), std::vector<std::string>{"dock tile not written to " + path.string() +
                                                  ": No such file or directory"});

  // Once the folder exists the next change is written, and a later
  // failure is reported again.
  std::filesystem::create_directories(path.parent_path());
  tile.showImage(redSquare());
  EXPECT_TRUE(std::filesystem::exists(path));
  std::filesystem::remove_all(path.parent_path());
  tile.showImage(redSquare());
  EXPECT_EQ(log.lines().size(), 2u);
}

}  // namespace
}  // namespace platform
