#include "ui/PlaylistSpaceUsageCell.h"

#include "platform/Format.h"
#include "platform/LocalizedStrings.h"

namespace ui {
namespace {

constexpr double kKiB = 1024.0;
constexpr double kMiB = kKiB * 1024.0;
constexpr double kGiB = kMiB * 1024.0;
constexpr double kTiB = kGiB * 1024.0;

std::string render(PlaylistSpaceUsageCell::ScaledText scaled) {
  return platform::format(platform::localizedString(scaled.key), scaled.value);
}

}  // namespace

PlaylistSpaceUsageCell::ScaledText PlaylistSpaceUsageCell::scaleBytes(double b) {
  // Written as "less than" tests in order, so that NaN falls through to
  // the last row.
  if (b < 2 * kKiB) return {"sbFormat", b};
  if (b < 2 * kMiB) return {"KBFormat", b / kKiB};
  if (b < 2 * kGiB) return {"MBFormat", b / kMiB};
  if (b < 2 * kTiB) return {"GBFormat", b / kGiB};
  return {"TBFormat", b / kTiB};
}

PlaylistSpaceUsageCell::ScaledText PlaylistSpaceUsageCell::scaleSeconds(double s) {
  if (s < 120) return {"SecondFormat", s};
  if (s < 7200) return {"MinuteFormat", s / 60};
  if (s < 172800) return {"HourFormat", s / 3600};
  return {"DayFormat", s / 86400};
}

std::string PlaylistSpaceUsageCell::bytesString(double bytes) { return render(scaleBytes(bytes)); }

std::string PlaylistSpaceUsageCell::secondsString(double seconds) const {
  return render(scaleSeconds(seconds));
}

}  // namespace ui
