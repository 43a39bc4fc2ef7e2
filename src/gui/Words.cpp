#include "gui/Words.h"

#include <cmath>
#include <cstdio>

#include "base/ByteCountText.h"

namespace app {

std::string countOf(uint64_t count, const std::string& one, const std::string& many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string playingTime(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) seconds = 0;
  auto whole = static_cast<uint64_t>(std::llround(seconds));
  if (whole >= 2 * 86400) {
    uint64_t days = whole / 86400, hours = (whole % 86400 + 1800) / 3600;
    if (hours == 24) ++days, hours = 0;
    return countOf(days, "day", "days") + (hours ? " " + countOf(hours, "hour", "hours") : "");
  }
  char text[32];
  uint64_t h = whole / 3600, m = whole / 60 % 60, s = whole % 60;
  if (h > 0) {
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", static_cast<unsigned long long>(h),
                  static_cast<unsigned long long>(m), static_cast<unsigned long long>(s));
  } else {
    std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(m),
                  static_cast<unsigned long long>(s));
  }
  return text;
}

namespace {

// "and remove Sunday (1 track, 15.7 KB)": a few names, then how many more.
std::string removalWords(const HeadlineFacts& f) {
  constexpr size_t kNamed = 3;
  const std::string size = base::byteCountText(static_cast<double>(f.removedBytes));
  const auto& names = f.removedPlaylists;
  if (names.empty())
    return " and remove " + countOf(f.removedFiles, "file", "files") +
           " no ticked playlist needs (" + size + ")";
  const size_t shown = names.size() > kNamed ? kNamed : names.size();
  std::string text = " and remove " + names[0];
  for (size_t i = 1; i < shown; ++i) text += (i + 1 == names.size() ? " and " : ", ") + names[i];
  if (names.size() > shown) text += " and " + std::to_string(names.size() - shown) + " more";
  return text + " (" +
         (f.removedTracks == 0 ? std::string("no tracks")
                               : countOf(f.removedTracks, "track", "tracks")) +
         ", " + size + ")";
}

}  // namespace

std::string exportButtonText(const HeadlineFacts& f) {
  if (f.playlists == 0 || f.removedFiles == 0) return "Export";
  return "Export " + countOf(f.playlists, "playlist", "playlists") + removalWords(f);
}

std::string headline(const HeadlineFacts& f) {
  if (!f.libraryLoaded) return "Choose your library file";
  if (!f.destinationChosen) return "Choose a drive or folder";
  if (f.playlists == 0) return "Tick the playlists to export to " + f.destinationName;
  std::string size = f.bytesToCopy == 0 ? "nothing to copy"
                                        : base::byteCountText(static_cast<double>(f.bytesToCopy));
  return "Export " + countOf(f.playlists, "playlist", "playlists") + " (" + size + ") to " +
         f.destinationName + (f.removedFiles == 0 ? "" : removalWords(f));
}

std::string playlistCaption(const std::string& name, uint64_t tracks, double seconds,
                            uint64_t bytesToCopy, double bytesPerSecond) {
  std::string text = name + ": " + countOf(tracks, "track", "tracks") + ", " + playingTime(seconds);
  if (bytesToCopy == 0) return text + ", nothing left to copy";
  text += ", " + base::byteCountText(static_cast<double>(bytesToCopy)) + " still to copy";
  if (bytesPerSecond > 0) {
    double estimate = static_cast<double>(bytesToCopy) / bytesPerSecond;
    text += " (about " + (estimate < 1 ? std::string("a second") : playingTime(estimate)) + ")";
  }
  return text;
}

}  // namespace app
