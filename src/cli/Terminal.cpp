#include "cli/Terminal.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string_view>

#include "base/ByteCountText.h"
#include "base/Configuration.h"

namespace app {

void flushOutputByLine() { setvbuf(stdout, nullptr, _IOLBF, 0); }

bool stdoutIsTerminal() { return isatty(STDOUT_FILENO) != 0; }

bool stderrIsTerminal() { return isatty(STDERR_FILENO) != 0; }

bool colourWanted(const base::Configuration& config) {
  return stdoutIsTerminal() && !config.noColour;
}

bool terminalCanErase(const base::Configuration& config) { return config.terminal != "dumb"; }

bool unicodeWanted(const base::Configuration& config) {
  if (!terminalCanErase(config)) return false;
  // The locale's character set, as the C library would pick it.
  std::string lower = config.characterLocale;
  if (lower.empty()) return false;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower.find("utf-8") != std::string::npos || lower.find("utf8") != std::string::npos;
}

int terminalColumns(int fd, const base::Configuration& config) {
  struct winsize size {};
  if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  int columns = config.columns;
  return columns > 0 ? columns : 80;
}

std::string byteText(uint64_t bytes) {
  if (bytes == 1) return "1 byte";
  if (bytes < 2048) return std::to_string(bytes) + " bytes";
  return base::byteCountText(static_cast<double>(bytes));
}

std::string numberText(uint64_t number) {
  std::string digits = std::to_string(number), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string durationText(double seconds) {
  if (!(seconds >= 0) || std::isinf(seconds)) return "?";
  char buf[48];
  if (seconds < 9.95) {
    snprintf(buf, sizeof buf, "%.1f s", seconds);
    return buf;
  }
  auto s = static_cast<long long>(std::llround(seconds));
  if (s < 60) {
    snprintf(buf, sizeof buf, "%lld s", s);
  } else if (s < 3600) {
    snprintf(buf, sizeof buf, "%lld min %02lld s", s / 60, s % 60);
  } else {
    snprintf(buf, sizeof buf, "%lld h %02lld min", s / 3600, (s % 3600) / 60);
  }
  return buf;
}

std::string countText(uint64_t count, const std::string& one, const std::string& many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string bar(double part, double whole, int width, bool unicode) {
  double fraction = whole > 0 ? std::clamp(part / whole, 0.0, 1.0) : 0.0;
  int filled = static_cast<int>(std::lround(fraction * width));
  std::string out;
  for (int i = 0; i < width; ++i)
    out += i < filled ? (unicode ? "\u2588" : "#") : (unicode ? "\u2591" : "-");
  return out;
}

std::string progressLine(uint64_t done, uint64_t total, double rate, int columns, bool unicode,
                         const std::string& tracks) {
  size_t room = columns > 1 ? static_cast<size_t>(columns - 1) : 0;
  std::string amount = byteText(done) + " of " + byteText(total);
  // The tracks' count goes first when the line is short of room.
  if (!tracks.empty() && displayWidth(tracks) + displayWidth(amount) + 14 <= room)
    amount = tracks + ", " + amount;
  std::string speed = rate > 0 ? byteText(static_cast<uint64_t>(rate)) + "/s" : "";
  std::string left = rate > 0 && total > done
                         ? durationText(static_cast<double>(total - done) / rate) + " left"
                         : "";
  // The bar takes what the words leave, from 10 to 30 cells; the words
  // go from the end when even they do not fit.
  std::string words = amount;
  for (const std::string* part : {&speed, &left}) {
    if (!part->empty()) words += ", " + *part;
  }
  size_t wordsWidth = displayWidth(words);
  if (room >= wordsWidth + 12) {
    int cells = static_cast<int>(std::min<size_t>(30, room - wordsWidth - 1));
    return bar(static_cast<double>(done), static_cast<double>(total), cells, unicode) + " " + words;
  }
  if (wordsWidth <= room) return words;
  if (displayWidth(amount) <= room) return amount;
  return room > 0 ? fitToWidth(amount, room) : std::string();
}

namespace {

// Decodes one code point at s[i] (advancing i); invalid bytes count as one.
uint32_t nextCodePoint(const std::string& s, size_t& i) {
  auto b = static_cast<unsigned char>(s[i]);
  int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
  uint32_t c = extra ? b & (0x3F >> extra) : b;
  ++i;
  for (int k = 0; k < extra && i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80;
       ++k, ++i)
    c = c << 6 | (static_cast<unsigned char>(s[i]) & 0x3F);
  return c;
}

int columnsOf(uint32_t c) {
  if ((c >= 0x0300 && c <= 0x036F) || c == 0x200B) return 0;  // combining marks, zero width space
  if ((c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) ||
      (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
      (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
      (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1FAFF) ||
      (c >= 0x20000 && c <= 0x3FFFD))
    return 2;
  return 1;
}

}  // namespace

size_t displayWidth(const std::string& text) {
  size_t width = 0;
  for (size_t i = 0; i < text.size();) width += columnsOf(nextCodePoint(text, i));
  return width;
}

std::string fitToWidth(const std::string& text, size_t width) {
  if (displayWidth(text) <= width) return text + std::string(width - displayWidth(text), ' ');
  std::string out;
  size_t used = 0;
  for (size_t i = 0; i < text.size();) {
    size_t start = i;
    int w = columnsOf(nextCodePoint(text, i));
    if (used + w + 1 > width) break;
    out.append(text, start, i - start);
    used += w;
  }
  out += "~";
  ++used;
  return out + std::string(width > used ? width - used : 0, ' ');
}

namespace {

// One line of standard input, read byte by byte so that nothing past it
// is taken and a raised `stop` is seen within a tenth of a second (the
// signal that raised it may have gone to another thread).
bool readAnswer(std::string& answer, const std::atomic<bool>* stop) {
  if (stop == nullptr) return static_cast<bool>(std::getline(std::cin, answer));
  while (!stop->load()) {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char c;
    ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return !answer.empty();
    if (c == '\n') return true;
    answer += c;
  }
  return false;
}

}  // namespace

bool askYesNo(const std::string& question, const std::atomic<bool>* stop) {
  std::cout << std::flush;
  std::cerr << question << " [y/N] " << std::flush;
  std::string answer;
  if (!readAnswer(answer, stop)) {
    std::cerr << "\n";
    return false;
  }
  std::transform(answer.begin(), answer.end(), answer.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  while (!answer.empty() && (answer.back() == ' ' || answer.back() == '\r')) answer.pop_back();
  return answer == "y" || answer == "yes";
}

}  // namespace app
