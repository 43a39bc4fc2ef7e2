// Points, sizes and rectangles for drawing, in points, with the origin at
// the lower left and y growing upwards (the way the dock tile's layout is
// written down).
//
// Thread: value types; no shared state.
#pragma once

namespace platform {

struct Point {
  double x = 0;
  double y = 0;
};

struct Size {
  double width = 0;
  double height = 0;
};

struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  double maxX() const { return x + width; }
  double maxY() const { return y + height; }
  // Shrinks the rectangle by dx on the left and right and dy at the
  // bottom and top (negative values grow it).
  Rect insetBy(double dx, double dy) const {
    return {x + dx, y + dy, width - 2 * dx, height - 2 * dy};
  }
};

}  // namespace platform
