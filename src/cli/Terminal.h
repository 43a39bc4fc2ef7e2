// Small helpers for what the commands show on a terminal: byte and time
// texts, bars, the progress line, questions, and what the terminal can
// take (its width, colour, characters beyond ASCII).
//
// Thread: pure functions, except the queries of the process's terminal
// and askYesNo(); the environment comes as the main read it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "base/Configuration.h"

namespace app {

// Standard output is flushed line by line, also into a pipe or a file,
// so that what was said before a Ctrl-C or a crash is there.
void flushOutputByLine();

// Whether standard output / standard error is a terminal.
bool stdoutIsTerminal();
bool stderrIsTerminal();
// Colour only on a terminal, and never when NO_COLOR is set.
bool colourWanted(const base::Configuration& config);
// Bars and marks beyond ASCII only when the locale's characters are
// UTF-8 and the terminal is not TERM=dumb.
bool unicodeWanted(const base::Configuration& config);
// Whether the terminal understands "erase to the end of the line".
bool terminalCanErase(const base::Configuration& config);
// The width of the terminal on `fd`: its window size, else $COLUMNS,
// else 80.
int terminalColumns(int fd, const base::Configuration& config);

// The byte counts of the drive listing and the window, in the same
// units: "0 bytes", "1 byte", "1536 bytes", "2.0 KB", "14.89 GB"
// (powers of 1024).
std::string byteText(uint64_t bytes);
// "7", "1,305", "12,345,678": a count with its thousands set apart.
std::string numberText(uint64_t number);
// "0.4 s", "3.2 s", "12 s", "3 min 05 s", "1 h 02 min".
std::string durationText(double seconds);
// "1 track", "2 tracks": the count with the word it goes with.
std::string countText(uint64_t count, const std::string& one, const std::string& many);
// A bar of `width` cells filled in proportion to part / whole (clamped);
// "#" and "-" without unicode.
std::string bar(double part, double whole, int width, bool unicode = true);

// One redrawable progress line of at most columns - 1 columns:
// bar, `tracks` (a count in words, left out when short of room), bytes
// done of total, rate and time left, parts dropped from the bar onwards
// when the width is short. rate in bytes per second (0: not yet known).
std::string progressLine(uint64_t done, uint64_t total, double rate, int columns, bool unicode,
                         const std::string& tracks = "");

// Columns a UTF-8 text takes (one per code point; East Asian wide and
// emoji characters two).
size_t displayWidth(const std::string& text);
// The text cut to `width` columns (ending in "~" when cut) and padded
// with blanks to exactly `width`.
std::string fitToWidth(const std::string& text, size_t width);

// Asks a yes/no question on standard error (the terminal, also when the
// output goes to a file) and reads the answer from standard input;
// anything but y or yes (any case), or the end of input, is no. With
// `stop`, the wait also ends (as a no) soon after the flag is raised.
bool askYesNo(const std::string& question, const std::atomic<bool>* stop = nullptr);

}  // namespace app
