// A progress bar as the rest of the system drives it: a minimum, a
// maximum and a value, and whether it is hidden. A window's bar
// implements it, and so does the dock tile's bar (compat/ui/ZtDockProgressIndicator.h),
// so that code outside the interface layer can hold either.
//
// The values are not tied together: no range check, a value outside the
// range is the implementation's to show.
//
// Thread: main thread only, like all interface objects.
#pragma once

namespace platform {

class ProgressIndicator {
 public:
  virtual ~ProgressIndicator() = default;

  virtual double minValue() const = 0;
  virtual double maxValue() const = 0;
  virtual double doubleValue() const = 0;
  virtual void setMinValue(double value) = 0;
  virtual void setMaxValue(double value) = 0;
  virtual void setDoubleValue(double value) = 0;

  virtual bool isHidden() const = 0;
  virtual void setHidden(bool hidden) = 0;

  // Draws now / marks as needing to be drawn at the next pass.
  virtual void display() = 0;
  virtual void setNeedsDisplay(bool needed) = 0;
};

}  // namespace platform
