// A check box cell: its object value is the state (on when it answers
// true), drawn as a 12-point box centred in the cell, ticked when on.
//
// Thread: main thread only.
#pragma once

#include "compat/drawing/Cell.h"

namespace platform {

class ButtonCell : public Cell {
 public:
  static constexpr double kBoxSide = 12;

  std::unique_ptr<Cell> copy() const override { return std::make_unique<ButtonCell>(*this); }
  const char* className() const override { return "NSButtonCell"; }

  bool state() const { return objectValue().boolValue().value_or(false); }
  // The box within a cell frame.
  static Rect boxRectForBounds(const Rect& frame);

  void drawInteriorWithFrame(const Rect& frame, ControlView& view) override;
};

}  // namespace platform
