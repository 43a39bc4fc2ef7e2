#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "compat/drawing/DockProgressFactory.h"
#include "compat/drawing/HeadlessDockTile.h"
#include "compat/drawing/Image.h"
#include "compat/ui/ZtDockProgressIndicator.h"
#include "support/Services.h"
#include "support/TempDir.h"

namespace app {
namespace {

class DockTileCommandTest : public testing::Test {
 protected:
  void TearDown() override { platform::DockTile::setShared(nullptr); }
  int run(std::vector<std::string> args) {
    args.insert(args.begin(), "tessaline");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    // As tessaline-qt's main sets the program up.
    ui::ZtDockProgressIndicator::installAsDockProgressFactory();
    int status = runCommandLine(static_cast<int>(argv.size()), argv.data(),
                                drawingCommandsInProcess(), testsupport::services());
    out_ = testing::internal::GetCapturedStdout();
    err_ = testing::internal::GetCapturedStderr();
    return status;
  }
  std::optional<platform::Image> read(const std::string& path) {
    return platform::Image::decodePNG(testsupport::readFile(path));
  }
  testsupport::TempDir dir_;
  std::string out_, err_;
};

TEST_F(DockTileCommandTest, DrawsTheProgressTile) {
  std::string path = dir_ / "tile.png";
  ASSERT_EQ(run({"dock-tile", "--max", "10", "--value", "5", "-o", path}), kExitOk);
  auto tile = read(path);
  ASSERT_TRUE(tile);
  EXPECT_EQ(tile->pixelsWide(), 128);
  // Half a bar: the fill ends after 59 of the bar's 118 points.
  EXPECT_NE(tile->pixelAt(63, 12), (platform::Pixel{255, 255, 255, 255}));
  EXPECT_EQ(tile->pixelAt(64, 12), (platform::Pixel{255, 255, 255, 255}));

  ASSERT_EQ(run({"dock-tile", "--hidden", "-o", path}), kExitOk);
  auto icon = platform::Image::imageNamed(platform::Image::kApplicationIconName);
  ASSERT_TRUE(icon);
  EXPECT_EQ(read(path)->pngRepresentation(), icon->pngRepresentation());
}

TEST_F(DockTileCommandTest, GlobalOptionInstallsAWritingTile) {
  std::string path = dir_ / "live.png";
  ASSERT_EQ(run({"--dock-tile", path}), kExitOk);
  auto* tile = dynamic_cast<platform::HeadlessDockTile*>(platform::DockTile::shared().get());
  ASSERT_NE(tile, nullptr);
  EXPECT_EQ(tile->outputPath(), path);

  // A copy run's bar now draws there.
  auto bar = platform::makeDockProgressIndicator();
  EXPECT_NE(platform::makeDockProgressIndicator(), bar);  // one bar per run
  platform::setDockProgressIndicatorFactory(nullptr);
  ASSERT_NE(dynamic_cast<ui::ZtDockProgressIndicator*>(bar.get()), nullptr);
  bar->setMaxValue(2);
  bar->setDoubleValue(2);
  auto written = read(path);
  ASSERT_TRUE(written);
  EXPECT_NE(written->pixelAt(122, 12), (platform::Pixel{255, 255, 255, 255}));
}

TEST_F(DockTileCommandTest, BadPathsAreUsageErrorsAndWriteNothing) {
  std::string missing = dir_ / "no-such-folder/tile.png";
  EXPECT_EQ(run({"dock-tile", "-o", missing}), kExitUsage);
  EXPECT_NE(err_.find("folder does not exist: " + dir_ / "no-such-folder"), std::string::npos)
      << err_;
  EXPECT_EQ(run({"--dock-tile", dir_.path()}), kExitUsage);
  EXPECT_NE(err_.find("is a folder"), std::string::npos) << err_;
  EXPECT_EQ(run({"dock-tile"}), kExitUsage);  // -o is required
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
}

}  // namespace
}  // namespace app
