// The space usage cell of the playlist table: a thin level-indicator bar
// 10 points high, ending 5 points above the bottom of the row, with a
// caption above it. Its object value is the psum dictionary (or the same
// as two parallel arrays, values then keys), from which every setObjectValue,
// drawing and size query derives afresh the display mode, the bar's
// value, minimum, maximum and thresholds, and the caption:
//   mode 0 (or 2 for an item not exported) and no valid mode (65535):
//     an empty cell; nothing else is derived;
//   mode 1: the bar is scaled to the largest item ("psumLargestItemSize",
//     10,000,000 when below 1), normal colour up to the largest item;
//   mode 2: the bar is scaled to the space left on the disk.
// Whatever the dictionary leaves out keeps the setting of an earlier row
// (the table uses one cell for all rows of the column).
// An object value that is not a dictionary goes to the level indicator
// unchanged (a number draws as a plain bar).
//
// The byte and duration texts ("sbFormat"..."TBFormat", "SecondFormat"...
// "DayFormat") are scaled so that each unit starts at 2 of it; the caption
// formats are "PlaylistInfo" and "PlaylistInfoZero" of the "Localizable"
// table.
//
// Thread: main thread only (the formatters are stateless and safe
// anywhere once the string table is loaded).
// Errors: two arrays that cannot be paired are logged ("exeception
// creating NSDictionary from ASS NSArrays ...") and handed on unchanged.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "compat/drawing/AttributedString.h"
#include "compat/drawing/LevelIndicatorCell.h"

namespace ui {

class PlaylistSpaceUsageCell : public platform::LevelIndicatorCell {
 public:
  static constexpr int32_t kNoMode = 0xFFFF;
  static constexpr double kBarHeight = 10.0;
  static constexpr double kBarBottomInset = 15.0;  // from the row's bottom to the bar's top
  static constexpr double kCopyBytesPerSecond = 25000000.0;
  static constexpr double kCopyStartSeconds = 3.0;

  PlaylistSpaceUsageCell();  // init

  std::unique_ptr<platform::Cell> copy() const override {
    return std::make_unique<PlaylistSpaceUsageCell>(*this);
  }
  const char* className() const override { return "PlaylistSpaceUsageCell"; }

  void setObjectValue(const platform::ObjectValue& value) override;
  // Derives mode, bar settings and caption from ovObjectValue; false when
  // it is not a psum dictionary (then nothing changes).
  bool setupFromObjectValue();

  const platform::ObjectValue& ovObjectValue() const { return ovObjectValue_; }
  void setOvObjectValue(const platform::ObjectValue& value) { ovObjectValue_ = value; }
  const std::optional<std::string>& caption() const { return caption_; }
  void setCaption(std::optional<std::string> caption) { caption_ = std::move(caption); }
  int32_t usageMode() const { return usageMode_; }
  const platform::Rect& levelIndicatorBounds() const { return levelIndicatorBounds_; }
  bool libValid() const { return libValid_; }

  // The caption at the 12-point system font, white when highlighted and
  // black otherwise; none without a caption.
  std::optional<platform::AttributedString> attributedSubTitle() const;

  // The bar: 10 high, its top 15 above the bottom of the bounds, as wide
  // as the bounds. Records it in levelIndicatorBounds.
  platform::Rect levelIndRectForBounds(const platform::Rect& bounds);
  // From the top of the bounds down to the bar, as wide as the caption
  // but not past the bounds' right edge; zero without a caption.
  // `measure` gives the caption's width (the view's fonts decide it).
  platform::Rect rectForAttributedSubTitleBasedOnLevelIndRect(
      const platform::Rect& bar, const platform::Rect& bounds,
      platform::GraphicsContext& measure) const;
  platform::Rect subtitleRectForBounds(const platform::Rect& bounds,
                                       platform::GraphicsContext& measure);
  platform::Rect titleRectForBounds(const platform::Rect& bounds) const {
    return drawingRectForBounds(bounds);
  }
  platform::Rect imageRectForBounds(const platform::Rect& bounds) const {
    return {bounds.x, bounds.y, 0, 0};
  }

  // Logs "cellSizeForBounds:(NSRect)bounds" on every call; the zero size
  // unless the mode is 1 or 2, else the bar's size within the bounds.
  platform::Size cellSizeForBounds(const platform::Rect& bounds) override;
  void drawWithFrame(const platform::Rect& frame, platform::ControlView& view) override;
  void drawInteriorWithFrame(const platform::Rect& frame, platform::ControlView& view) override;

  // "sbFormat", "KBFormat", "MBFormat", "GBFormat" or "TBFormat" with the
  // byte count scaled to that unit. NaN lands in the last row.
  static std::string bytesString(double bytes);

  // "SecondFormat", "MinuteFormat", "HourFormat" or "DayFormat" with the
  // duration scaled to that unit. Reads no state of the cell.
  std::string secondsString(double seconds) const;

  // The table rows, exposed so that callers and tests can see which key
  // and value a count maps to without going through the string table.
  struct ScaledText {
    const char* key;
    double value;
  };
  static ScaledText scaleBytes(double bytes);
  static ScaledText scaleSeconds(double seconds);

 private:
  void updateFocus(const platform::ControlView& view);
  void drawCaption(const platform::Rect& bar, const platform::Rect& frame,
                   platform::ControlView& view);

  platform::ObjectValue ovObjectValue_;
  std::optional<std::string> caption_;
  int32_t usageMode_ = 0;
  platform::Rect levelIndicatorBounds_;
  bool libValid_ = false;
};

}  // namespace ui
