#include <gtest/gtest.h>

#include <cmath>

#include "base/Log.h"
#include "compat/drawing/Image.h"
#include "support/ScopedConfiguration.h"
#include "support/TempDir.h"

namespace platform {
using namespace base;
namespace {

// Points the resources folder somewhere else for one test.
struct ResourceFolder {
  testsupport::TempDir dir;
  testsupport::ScopedConfiguration config{[this](auto& c) { c.resources = dir.path(); }};
};

constexpr Pixel kRed{255, 0, 0, 255};
constexpr Pixel kClear{0, 0, 0, 0};

TEST(ImageDrawing, ArtworkRowsReadBottomUp) {
  // The gradient artwork is light at the top of the file and deep at the
  // bottom; the bottom row must come back as row 0.
  auto gradient = Image::imageNamed("MiniProgressGradient");
  ASSERT_TRUE(gradient);
  Pixel bottom = gradient->pixelAt(0, 0);
  Pixel top = gradient->pixelAt(0, gradient->pixelsHigh() - 1);
  EXPECT_LT(bottom.red, top.red);
  EXPECT_LT(bottom.green, top.green);
}

TEST(ImageDrawing, OnePointStrokeCoversHalfOfEachSide) {
  Image image(20, 20);
  image.strokeRect({4, 4, 12, 12}, Color::black(), 1.0);
  // The left edge x = 4 is the middle of the line: columns 3 and 4 each
  // get half a pixel of black; column 5 nothing.
  EXPECT_NEAR(image.pixelAt(3, 10).alpha, 128, 2);
  EXPECT_NEAR(image.pixelAt(4, 10).alpha, 128, 2);
  EXPECT_EQ(image.pixelAt(5, 10).alpha, 0);
  EXPECT_EQ(image.pixelAt(10, 10).alpha, 0);
  EXPECT_NEAR(image.pixelAt(10, 15).alpha, 128, 2);
  EXPECT_NEAR(image.pixelAt(10, 16).alpha, 128, 2);
}

TEST(ImageDrawing, DrawsAtPointAndStretches) {
  Image dot(2, 2);
  dot.fillRect({0, 0, 2, 2}, {1, 0, 0, 1});
  Image image(10, 10);
  image.drawAtPoint(dot, {6, 1}, CompositingOperation::kSourceOver, 1.0);
  EXPECT_EQ(image.pixelAt(6, 1), kRed);
  EXPECT_EQ(image.pixelAt(7, 2), kRed);
  EXPECT_EQ(image.pixelAt(8, 1), kClear);
  EXPECT_EQ(image.pixelAt(6, 3), kClear);

  Image stretched(10, 10);
  stretched.drawInRect(dot, {0, 0, 10, 4}, {0, 0, 2, 2}, CompositingOperation::kCopy, 1.0);
  EXPECT_EQ(stretched.pixelAt(9, 3), kRed);
  EXPECT_EQ(stretched.pixelAt(9, 4), kClear);
}

TEST(ImageDrawing, CopiesDoNotShareLaterDrawing) {
  Image a(4, 4);
  Image b = a;
  a.fillRect({0, 0, 4, 4}, Color::black());
  EXPECT_EQ(b.pixelAt(1, 1), kClear);
  EXPECT_EQ(a.pixelAt(1, 1), (Pixel{0, 0, 0, 255}));
}

TEST(ImageDrawing, BadSizesAndCoordinatesDrawNothing) {
  EXPECT_TRUE(Image(-5, 10).isEmpty());
  EXPECT_TRUE(Image(std::nan(""), 10).isEmpty());
  EXPECT_EQ(Image(1e12, 1).pixelsWide(), Image::kMaxSide);
  EXPECT_EQ(Image(2.2, 3).pixelsWide(), 3);

  Image image(4, 4);
  image.fillRect({std::nan(""), 0, 4, 4}, Color::black());
  image.fillRect({0, 0, -4, 4}, Color::black());
  image.strokeRect({0, 0, 4, 4}, Color::black(), std::nan(""));
  Image empty;
  image.drawAtPoint(empty, {0, 0}, CompositingOperation::kCopy, 1.0);
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 4; ++x) EXPECT_EQ(image.pixelAt(x, y), kClear);
  }
  // Outside the image: transparent, never a crash.
  image.fillRect({0, 0, 4, 4}, Color::black());
  EXPECT_EQ(image.pixelAt(-1, 0), kClear);
  EXPECT_EQ(image.pixelAt(0, 4), kClear);
}

TEST(ImagePng, RoundTripKeepsEveryPixel) {
  Image image(32, 20);
  image.fillRect({0, 0, 16, 20}, {0.2, 0.4, 0.6, 1});
  image.fillRect({16, 10, 16, 10}, Color::white());
  image.fillRect({16, 0, 8, 10}, {1, 0, 0, 0.5});
  std::string png = image.pngRepresentation();
  ASSERT_GT(png.size(), 8u);
  EXPECT_EQ(png.substr(1, 3), "PNG");

  auto decoded = Image::decodePNG(png);
  ASSERT_TRUE(decoded);
  ASSERT_EQ(decoded->pixelsWide(), 32);
  ASSERT_EQ(decoded->pixelsHigh(), 20);
  for (int y = 0; y < 20; ++y) {
    for (int x = 0; x < 32; ++x) {
      Pixel want = image.pixelAt(x, y);
      Pixel got = decoded->pixelAt(x, y);
      if (want.alpha == 255 || want.alpha == 0) {
        ASSERT_EQ(got, want) << x << "," << y;
      } else {  // premultiplied storage may round a translucent pixel
        ASSERT_NEAR(got.red, want.red, 2) << x << "," << y;
        ASSERT_EQ(got.alpha, want.alpha) << x << "," << y;
      }
    }
  }
}

TEST(ImagePng, MalformedDataIsRejected) {
  EXPECT_FALSE(Image::decodePNG(""));
  EXPECT_FALSE(Image::decodePNG("not a picture at all"));
  std::string png = Image(8, 8).pngRepresentation();
  EXPECT_FALSE(Image::decodePNG(png.substr(0, png.size() / 2)));
  EXPECT_TRUE(Image().pngRepresentation().empty());
  EXPECT_FALSE(Image::contentsOfFile("/nonexistent/tile.png"));
}

TEST(ImageNamed, NamesArePlainFileNames) {
  EXPECT_FALSE(Image::imageNamed("NoSuchArtwork"));
  EXPECT_FALSE(Image::imageNamed(""));
  EXPECT_FALSE(Image::imageNamed("../resources/DockIcon"));
}

TEST(ImageNamed, UnreadableArtworkIsReportedOnce) {
  ResourceFolder folder;
  testsupport::writeFile(folder.dir / "Broken.png", "\x89PNG but nothing after");
  LogCapture log;
  EXPECT_FALSE(Image::imageNamed("Broken"));
  EXPECT_FALSE(Image::imageNamed("Broken"));
  std::string path = folder.dir / "Broken.png";
  EXPECT_EQ(log.lines(), std::vector<std::string>{"image Broken could not be read from " + path});
}

TEST(ImageNamed, ArtworkAddedLaterIsFound) {
  ResourceFolder folder;
  EXPECT_FALSE(Image::imageNamed("Late"));
  testsupport::writeFile(folder.dir / "Late.png", Image(3, 3).pngRepresentation());
  auto late = Image::imageNamed("Late");
  ASSERT_TRUE(late);
  EXPECT_EQ(late->pixelsWide(), 3);
}

}  // namespace
}  // namespace platform
