// The base of the table's cells: one cell object draws every row of its
// column, given each row's object value in turn. It keeps the object
// value, the highlighted state (the row is selected), the control size,
// the focus flag (the highlighted cell of the focused table in the key
// window) and the line-break mode for its text.
//
// Coordinates are a view's (compat/drawing/GraphicsContext.h): y grows down.
//
// Ownership: cells are owned by their table column; copies are new cells
// that share nothing with the original.
// Thread: main thread only, like the table that drives it.
#pragma once

#include <memory>
#include <string>

#include "compat/drawing/GraphicsContext.h"
#include "compat/runtime/ObjectValue.h"

namespace platform {

enum class ControlSize { kRegular = 0, kSmall = 1, kMini = 2 };
enum class LineBreakMode { kClipping = 2, kTruncatingTail = 4 };

// What a cell needs to know of the view it draws in.
struct ControlView {
  GraphicsContext* context = nullptr;
  bool windowIsKey = false;                  // the view's window is the key window
  bool isFirstResponder = false;             // the view itself has the keyboard focus
  bool fieldEditorIsFirstResponder = false;  // its active field editor has it
};

class Cell {
 public:
  virtual ~Cell() = default;

  virtual std::unique_ptr<Cell> copy() const = 0;
  // The name of the cell's class, as the script sees it.
  virtual const char* className() const = 0;

  virtual void setObjectValue(const ObjectValue& value) { objectValue_ = value; }
  const ObjectValue& objectValue() const { return objectValue_; }
  std::string stringValue() const {
    return objectValue_.isNone() ? "" : objectValue_.description();
  }
  double doubleValue() const { return objectValue_.doubleValue().value_or(0.0); }

  bool isHighlighted() const { return highlighted_; }
  void setHighlighted(bool highlighted) { highlighted_ = highlighted; }
  ControlSize controlSize() const { return controlSize_; }
  void setControlSize(ControlSize size) { controlSize_ = size; }
  bool showsFirstResponder() const { return showsFirstResponder_; }
  void setShowsFirstResponder(bool shows) { showsFirstResponder_ = shows; }
  LineBreakMode lineBreakMode() const { return lineBreakMode_; }
  void setLineBreakMode(LineBreakMode mode) { lineBreakMode_ = mode; }

  // The frame and then the interior; here the frame adds nothing.
  virtual void drawWithFrame(const Rect& frame, ControlView& view) {
    drawInteriorWithFrame(frame, view);
  }
  virtual void drawInteriorWithFrame(const Rect& frame, ControlView& view) = 0;
  virtual Rect drawingRectForBounds(const Rect& bounds) const { return bounds; }
  virtual Size cellSizeForBounds(const Rect& bounds) { return {bounds.width, bounds.height}; }

 private:
  ObjectValue objectValue_;
  bool highlighted_ = false;
  ControlSize controlSize_ = ControlSize::kRegular;
  bool showsFirstResponder_ = false;
  LineBreakMode lineBreakMode_ = LineBreakMode::kClipping;
};

}  // namespace platform
