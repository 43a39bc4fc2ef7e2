#include "compat/ui/PlaylistSpaceUsageCell.h"

#include <algorithm>
#include <cmath>

#include "base/ByteCountText.h"
#include "base/Format.h"
#include "base/LocalizedStrings.h"
#include "base/Log.h"

namespace ui {
namespace {

using platform::ObjectValue;
using platform::Rect;

std::string render(PlaylistSpaceUsageCell::ScaledText scaled) {
  return base::format(base::localizedString(scaled.key), scaled.value);
}

// The psum keys, in the order they are read.
struct Psum {
  const ObjectValue *minValue, *maxValue, *warningValue, *criticalValue, *value, *caption, *mode,
      *diskAvailable, *largestItemSize, *itemUncopiedSize, *itemChainUncopiedSize, *itemExported,
      *itemName, *itemDuration, *itemTrackCount;
};

Psum readPsum(const ObjectValue::Dictionary& d) {
  auto get = [&](const char* key) -> const ObjectValue* {
    auto it = d.find(key);
    return it == d.end() || it->second.isNone() ? nullptr : &it->second;
  };
  return {get("psumLIMinValue"),
          get("psumLIMaxValue"),
          get("psumLIWarningValue"),
          get("psumLICriticalValue"),
          get("psumLIValue"),
          get("psumStrCaption"),
          get("psumMode"),
          get("psumDiskAvailable"),
          get("psumLargestItemSize"),
          get("psumItemUncopiedSize"),
          get("psumItemChainUncopiedSize"),
          get("psumItemExported"),
          get("psumItemName"),
          get("psumItemDuration"),
          get("psumItemTrackCount")};
}

// A number figure: present and answering a double. Anything else counts
// as absent rather than as an error.
std::optional<double> number(const ObjectValue* v) { return v ? v->doubleValue() : std::nullopt; }

int32_t intValue(const ObjectValue& v) {
  double d = v.doubleValue().value_or(0.0);
  if (std::isnan(d)) return 0;
  return static_cast<int32_t>(std::clamp(std::trunc(d), -2147483648.0, 2147483647.0));
}

}  // namespace

PlaylistSpaceUsageCell::PlaylistSpaceUsageCell() {
  setLineBreakMode(platform::LineBreakMode::kTruncatingTail);
}

void PlaylistSpaceUsageCell::setObjectValue(const ObjectValue& value) {
  setOvObjectValue(value);
  if (!setupFromObjectValue()) LevelIndicatorCell::setObjectValue(value);
}

bool PlaylistSpaceUsageCell::setupFromObjectValue() {
  ObjectValue value = ovObjectValue_;
  if (const auto* pair = value.array();
      pair && pair->size() == 2 && (*pair)[0].isArray() && (*pair)[1].isArray()) {
    const auto& objects = *(*pair)[0].array();
    const auto& keys = *(*pair)[1].array();
    if (objects.size() != keys.size()) {
      base::logFormat(
          "exeception creating NSDictionary from ASS NSArrays  Exception: %@ Reason: %@",
          "NSInvalidArgumentException",
          base::format("*** -[NSDictionary initWithObjects:forKeys:]: count of objects (%lu) "
                       "differs from count of keys (%lu)",
                       objects.size(), keys.size()));
    } else {
      ObjectValue::Dictionary d;
      // Like a dictionary built from two arrays: a repeated key keeps its last value.
      for (size_t i = 0; i < keys.size(); ++i) d[keys[i].description()] = objects[i];
      value = ObjectValue(std::move(d));
    }
  }
  const ObjectValue::Dictionary* d = value.dictionary();
  if (!d) return false;
  Psum p = readPsum(*d);

  int32_t mode = kNoMode;
  if (p.mode) {
    int32_t asked = intValue(*p.mode);
    if (asked == 0 || asked == 1) {
      mode = asked;
    } else if (asked == 2) {
      bool notExported = p.itemExported && !p.itemExported->boolValue().value_or(true);
      mode = notExported ? 0 : 2;
    }
  }
  usageMode_ = mode;
  if (mode == kNoMode || mode == 0) return true;

  std::optional<double> largest = number(p.largestItemSize);
  std::optional<double> maximum = number(p.maxValue);
  if (!p.maxValue) {
    if (mode == 1 && largest)
      maximum = *largest >= 1.0 ? *largest : 1.0e7;  // NaN too gets the default
    if (mode == 2 && largest) maximum = number(p.diskAvailable);
  }
  std::optional<double> minimum = number(p.minValue);
  // A bar of no width has no point to spare for an empty item.
  if (!p.minValue && libValid_ && maximum && levelIndicatorBounds_.width > 0) {
    minimum = -(2.0 / static_cast<float>(levelIndicatorBounds_.width)) * *maximum;
  }
  double m = minimum.value_or(0.0);
  std::optional<double> warning = number(p.warningValue);
  if (!p.warningValue) {
    if (mode == 1 && largest) warning = *largest + 1.0;
    if (mode == 2) warning = m + 0.1;
  }
  std::optional<double> critical = number(p.criticalValue);
  if (!p.criticalValue) {
    if (mode == 1 && largest) critical = *largest + 2.0;
    if (mode == 2) critical = m + 0.2;
  }
  std::optional<double> barValue = number(p.value);
  if (!p.value)
    barValue =
        p.itemChainUncopiedSize ? number(p.itemChainUncopiedSize) : number(p.itemUncopiedSize);

  std::optional<std::string> caption;
  if (p.caption) {
    caption = p.caption->description();
  } else if (barValue) {
    std::string name = p.itemName ? p.itemName->description() : "unknown";
    std::string tracks = p.itemTrackCount ? p.itemTrackCount->description() : "unknown";
    std::optional<double> duration = number(p.itemDuration);
    std::string durationText = duration ? secondsString(*duration) : "unknown";
    std::string timeText = secondsString(*barValue / kCopyBytesPerSecond + kCopyStartSeconds);
    if (*barValue > 1023.0) {
      caption = base::format(base::localizedString("PlaylistInfo"), name, tracks, durationText,
                             bytesString(*barValue), timeText);
    } else {
      caption = base::format(base::localizedString("PlaylistInfoZero"), name, tracks, durationText,
                             timeText);
    }
  }

  if (barValue) LevelIndicatorCell::setObjectValue(ObjectValue(*barValue));
  if (minimum) setMinValue(*minimum);
  if (maximum) setMaxValue(*maximum);
  if (warning) setWarningValue(*warning);
  if (critical) setCriticalValue(*critical);
  if (caption) setCaption(std::move(caption));
  return true;
}

std::optional<platform::AttributedString> PlaylistSpaceUsageCell::attributedSubTitle() const {
  if (!caption_) return std::nullopt;
  return platform::AttributedString{
      *caption_, 12.0, isHighlighted() ? platform::Color::white() : platform::Color::black()};
}

Rect PlaylistSpaceUsageCell::levelIndRectForBounds(const Rect& bounds) {
  levelIndicatorBounds_ = {bounds.x, bounds.y + (bounds.height - kBarBottomInset),
                           std::max(0.0, bounds.width), kBarHeight};
  libValid_ = true;
  return levelIndicatorBounds_;
}

Rect PlaylistSpaceUsageCell::rectForAttributedSubTitleBasedOnLevelIndRect(
    const Rect& bar, const Rect& bounds, platform::GraphicsContext& measure) const {
  auto text = attributedSubTitle();
  if (!text) return {};
  double width = measure.textWidth(*text);
  double overshoot = (bounds.x + width) - bounds.maxX();
  if (overshoot > 0) width -= overshoot;
  return {bounds.x, bounds.y, width, bar.y - bounds.y};
}

Rect PlaylistSpaceUsageCell::subtitleRectForBounds(const Rect& bounds,
                                                   platform::GraphicsContext& measure) {
  return rectForAttributedSubTitleBasedOnLevelIndRect(levelIndRectForBounds(bounds), bounds,
                                                      measure);
}

platform::Size PlaylistSpaceUsageCell::cellSizeForBounds(const Rect& bounds) {
  base::logLine("cellSizeForBounds:(NSRect)bounds");
  if (usageMode_ != 1 && usageMode_ != 2) return {0, 0};
  setupFromObjectValue();
  Rect bar = levelIndRectForBounds(bounds);
  return {std::min(bounds.width, bar.width), std::min(bar.height, bounds.height)};
}

void PlaylistSpaceUsageCell::updateFocus(const platform::ControlView& view) {
  setShowsFirstResponder(isHighlighted() && view.windowIsKey &&
                         (view.isFirstResponder || view.fieldEditorIsFirstResponder));
}

void PlaylistSpaceUsageCell::drawCaption(const Rect& bar, const Rect& frame,
                                         platform::ControlView& view) {
  if (!caption_ || caption_->empty() || !view.context) return;
  Rect where = rectForAttributedSubTitleBasedOnLevelIndRect(bar, frame, *view.context);
  view.context->drawText(*attributedSubTitle(), where, false);
}

void PlaylistSpaceUsageCell::drawWithFrame(const Rect& frame, platform::ControlView& view) {
  bool active = usageMode_ == 1 || usageMode_ == 2;
  if (ovObjectValue_.isNone()) return;
  if (!setupFromObjectValue()) LevelIndicatorCell::drawWithFrame(frame, view);
  updateFocus(view);
  if (!active) return;
  Rect bar = levelIndRectForBounds(frame);
  LevelIndicatorCell::drawWithFrame(bar, view);
  drawCaption(bar, frame, view);
}

void PlaylistSpaceUsageCell::drawInteriorWithFrame(const Rect& frame, platform::ControlView& view) {
  bool active = usageMode_ == 1 || usageMode_ == 2;
  setupFromObjectValue();
  updateFocus(view);
  if (!active) return;
  Rect bar = levelIndRectForBounds(frame);
  LevelIndicatorCell::drawInteriorWithFrame(bar, view);
  drawCaption(bar, frame, view);
}

PlaylistSpaceUsageCell::ScaledText PlaylistSpaceUsageCell::scaleBytes(double b) {
  base::ScaledByteCount scaled = base::scaleByteCount(b);
  return {scaled.key, scaled.value};
}

PlaylistSpaceUsageCell::ScaledText PlaylistSpaceUsageCell::scaleSeconds(double s) {
  if (s < 120) return {"SecondFormat", s};
  if (s < 7200) return {"MinuteFormat", s / 60};
  if (s < 172800) return {"HourFormat", s / 3600};
  return {"DayFormat", s / 86400};
}

std::string PlaylistSpaceUsageCell::bytesString(double bytes) { return base::byteCountText(bytes); }

std::string PlaylistSpaceUsageCell::secondsString(double seconds) const {
  return render(scaleSeconds(seconds));
}

}  // namespace ui
