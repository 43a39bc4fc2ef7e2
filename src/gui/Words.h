// The window's own words: counts with their plural, playing times and
// copy estimates as a person reads them, the headline that says what
// Export will do (or what is still missing), and the space column's
// caption.
//
// Thread: pure functions; any thread.
// Errors: none.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace app {

// "1 track", "14 tracks".
std::string countOf(uint64_t count, const std::string& one, const std::string& many);
// "0:07", "3:20", "1:02:03" below two days; "2 days 3 hours" from then on.
std::string playingTime(double seconds);

// What the window's headline says, in this order of need.
struct HeadlineFacts {
  bool libraryLoaded = false;
  bool destinationChosen = false;
  std::string destinationName;  // the volume's name or the folder's
  uint64_t playlists = 0;       // ticked
  uint64_t bytesToCopy = 0;
  // What the export's clean-up removes: the playlists whose files go, and
  // the files' count (of them, tracks) and bytes. None: it removes nothing.
  std::vector<std::string> removedPlaylists;
  uint64_t removedFiles = 0, removedTracks = 0, removedBytes = 0;
};
std::string headline(const HeadlineFacts& facts);
// The Export button's words: "Export" alone unless the export removes
// something, which it then says.
std::string exportButtonText(const HeadlineFacts& facts);

// The space column's caption of one playlist: with an estimate of the
// copy's time at the measured rate when something is to copy and a rate
// is known (bytesPerSecond > 0), without one otherwise.
std::string playlistCaption(const std::string& name, uint64_t tracks, double seconds,
                            uint64_t bytesToCopy, double bytesPerSecond);

}  // namespace app
