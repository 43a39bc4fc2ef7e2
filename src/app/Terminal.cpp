#include "app/Terminal.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace app {

bool stdoutIsTerminal() { return isatty(STDOUT_FILENO) != 0; }

bool colourWanted() {
  const char* noColour = std::getenv("NO_COLOR");
  return stdoutIsTerminal() && !(noColour && *noColour);
}

std::string byteText(uint64_t bytes) {
  if (bytes == 1) return "1 byte";
  if (bytes < 1000) return std::to_string(bytes) + " bytes";
  static const char* kUnits[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
  double value = static_cast<double>(bytes);
  int unit = -1;
  while (value >= 1000 && unit < 5) {
    value /= 1000;
    ++unit;
  }
  char buf[32];
  snprintf(buf, sizeof buf, value < 10 ? "%.2f %s" : value < 100 ? "%.1f %s" : "%.0f %s", value, kUnits[unit]);
  return buf;
}

std::string durationText(double seconds) {
  if (!(seconds >= 0) || std::isinf(seconds)) return "?";
  auto s = static_cast<long long>(std::llround(seconds));
  char buf[48];
  if (s < 60) {
    snprintf(buf, sizeof buf, "%lld s", s);
  } else if (s < 3600) {
    snprintf(buf, sizeof buf, "%lld min %02lld s", s / 60, s % 60);
  } else {
    snprintf(buf, sizeof buf, "%lld h %02lld min", s / 3600, (s % 3600) / 60);
  }
  return buf;
}

std::string bar(double part, double whole, int width) {
  double fraction = whole > 0 ? std::clamp(part / whole, 0.0, 1.0) : 0.0;
  int filled = static_cast<int>(std::lround(fraction * width));
  std::string out;
  for (int i = 0; i < width; ++i) out += i < filled ? "\u2588" : "\u2591";
  return out;
}

bool askYesNo(const std::string& question) {
  std::cout << question << " [y/N] " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) {
    std::cout << "\n";
    return false;
  }
  std::transform(answer.begin(), answer.end(), answer.begin(), [](unsigned char c) { return std::tolower(c); });
  while (!answer.empty() && (answer.back() == ' ' || answer.back() == '\r')) answer.pop_back();
  return answer == "y" || answer == "yes";
}

}  // namespace app
