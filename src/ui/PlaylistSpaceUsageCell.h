// The space usage cell of the playlist table: here its two text
// formatters, which turn a byte count or a duration into a short localised
// text. Each unit is used from 2 of that unit upward (all sizes binary);
// the format strings come from the "Localizable" table and decide the
// number of decimals, so nothing is rounded here.
//
// Thread: stateless; safe from any thread once the string table is
// loaded (it loads itself on first use).
// Errors: none; a key missing from the table yields the bare key.
#pragma once

#include <string>

namespace ui {

class PlaylistSpaceUsageCell {
 public:
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
};

}  // namespace ui
