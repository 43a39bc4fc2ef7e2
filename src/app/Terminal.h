// Small helpers for what the commands show on a terminal: byte and time
// texts, bars, and whether colour and redrawn progress lines are wanted.
//
// Thread: pure functions, except the queries of the process's terminal.
#pragma once

#include <cstdint>
#include <string>

namespace app {

// Whether standard output is a terminal.
bool stdoutIsTerminal();
// Colour only on a terminal, and never when NO_COLOR is set.
bool colourWanted();

// "0 bytes", "512 bytes", "1.5 KB", "2.3 MB", "4.01 GB" (powers of 1000).
std::string byteText(uint64_t bytes);
// "12 s", "3 min 05 s", "1 h 02 min".
std::string durationText(double seconds);
// A bar of `width` cells filled in proportion to part / whole (clamped).
std::string bar(double part, double whole, int width);

// Columns a UTF-8 text takes (one per code point; East Asian wide and
// emoji characters two).
size_t displayWidth(const std::string& text);
// The text cut to `width` columns (ending in "~" when cut) and padded
// with blanks to exactly `width`.
std::string fitToWidth(const std::string& text, size_t width);

// Asks a yes/no question on standard output and reads the answer from
// standard input; anything but y or yes (any case), or the end of input,
// is no.
bool askYesNo(const std::string& question);

}  // namespace app
