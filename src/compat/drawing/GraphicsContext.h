// Where a cell draws: a surface in a view's coordinates, in points with
// the origin at the top left and y growing downwards (the way a table
// lays out its rows). One point is one pixel.
//
// Implementations: PainterContext (compat/drawing/PainterContext.h) draws with
// the desktop toolkit's painter, onto a window or into an image.
//
// Thread: whoever owns the surface; no shared state.
#pragma once

#include <string>

#include "compat/drawing/AttributedString.h"
#include "compat/drawing/Color.h"
#include "compat/drawing/Geometry.h"

namespace platform {

class GraphicsContext {
 public:
  virtual ~GraphicsContext() = default;

  virtual void fillRect(const Rect& rect, const Color& color) = 0;
  // The outline of `rect`, the line inside its edges.
  virtual void strokeRect(const Rect& rect, const Color& color) = 0;
  virtual void strokeLine(Point from, Point to, const Color& color, double width) = 0;
  // One line of text from the top left of `rect`, clipped to it; with
  // truncateTail a text too wide ends in an ellipsis instead.
  virtual void drawText(const AttributedString& text, const Rect& rect, bool truncateTail) = 0;
  // The width of the text on one line, in points.
  virtual double textWidth(const AttributedString& text) = 0;
};

}  // namespace platform
