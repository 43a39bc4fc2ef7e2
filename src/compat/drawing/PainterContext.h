// A GraphicsContext over the desktop toolkit's painter: the table of the
// window draws its cells through one, and tests draw into an image.
//
// Ownership: does not own the painter, which must outlive it.
// Thread: the painter's (the main thread for a window).
#pragma once

#include "compat/drawing/GraphicsContext.h"

class QPainter;

namespace platform {

class PainterContext : public GraphicsContext {
 public:
  explicit PainterContext(QPainter& painter) : painter_(painter) {}

  void fillRect(const Rect& rect, const Color& color) override;
  void strokeRect(const Rect& rect, const Color& color) override;
  void strokeLine(Point from, Point to, const Color& color, double width) override;
  void drawText(const AttributedString& text, const Rect& rect, bool truncateTail) override;
  double textWidth(const AttributedString& text) override;

 private:
  QPainter& painter_;
};

}  // namespace platform
