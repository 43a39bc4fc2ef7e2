// A raster image that can be drawn into and encoded: the dock tile is
// built from one of these, and named artwork is loaded as one.
//
// Sizes and coordinates are in points with the origin at the lower left
// (compat/drawing/Geometry.h); one point is one pixel. An image made with a
// size has that size rounded up to whole pixels, starts fully
// transparent, and is limited to kMaxSide pixels a side (larger or
// invalid sizes are clamped, never allocated).
//
// Drawing is antialiased: a 1-point stroke on a whole-point line covers
// half of the pixels on either side of it, and rectangles with whole-point
// edges fill whole pixels exactly.
//
// Images are values: copying is cheap (the pixels are shared until one
// side draws) and a copy never sees the other's later drawing.
//
// Thread: an image may be used from one thread at a time; different
// images from different threads at once. imageNamed is safe from any
// thread.
// Errors: decoding and loading return none for unreadable or malformed
// data; a named image that exists but cannot be read is logged once.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "compat/drawing/Color.h"
#include "compat/drawing/Geometry.h"

namespace platform {

// How drawn pixels combine with the pixels underneath.
enum class CompositingOperation {
  kSourceOver,  // the usual painting: the source over the destination
  kCopy,        // the source replaces the destination, alpha included
};

// One pixel as read back: 8 bits per channel, not premultiplied.
struct Pixel {
  uint8_t red = 0;
  uint8_t green = 0;
  uint8_t blue = 0;
  uint8_t alpha = 0;
  bool operator==(const Pixel&) const = default;
};

class Image {
 public:
  static constexpr int kMaxSide = 4096;
  // The name under which the standard application icon is found; without
  // its own artwork file it is the "DockIcon" artwork.
  static constexpr const char* kApplicationIconName = "NSApplicationIcon";

  // An empty image (0 x 0).
  Image();
  Image(double width, double height);
  Image(const Image& other);
  Image(Image&& other) noexcept;
  Image& operator=(const Image& other);
  Image& operator=(Image&& other) noexcept;
  ~Image();

  // The artwork `name` from the resources folder ("<name>.png"), read
  // once per resolved path and then served from memory; none when absent
  // or unreadable.
  static std::optional<Image> imageNamed(const std::string& name);
  static std::optional<Image> decodePNG(std::string_view bytes);
  static std::optional<Image> contentsOfFile(const std::string& path);

  Size size() const;
  bool isEmpty() const;
  int pixelsWide() const;
  int pixelsHigh() const;

  // The PNG encoding (empty for an empty image).
  std::string pngRepresentation() const;

  void fillRect(const Rect& rect, const Color& color);
  // Strokes the outline of `rect`, the line centred on its edges.
  void strokeRect(const Rect& rect, const Color& color, double lineWidth = 1.0);
  // Draws all of `image` at its own size with its lower-left corner at
  // `origin`; fraction is the opacity applied to it (0...1).
  void drawAtPoint(const Image& image, Point origin, CompositingOperation operation,
                   double fraction);
  // Draws the part `source` of `image` (in its points) stretched into
  // `destination`.
  void drawInRect(const Image& image, const Rect& destination, const Rect& source,
                  CompositingOperation operation, double fraction);

  // The pixel in column x, row y counted from the bottom; a transparent
  // black pixel outside the image.
  Pixel pixelAt(int x, int y) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
