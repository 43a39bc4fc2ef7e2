// The text of one playlist file, from plain values: an extended M3U list
// ("#EXTM3U", then "#EXTINF:<seconds>,<artist> - <title>" and the entry
// for each track, lines joined by one LF with none after the last).
//
// Formats: UTF-8 (".m3u8", the default) or Windows-1252 (".m3u", with
// "\" between folders, as players that read plain M3U on Windows-made
// drives expect); entries relative to the playlist file (the default: they
// play wherever the drive is mounted), from the drive's root ("/Music/..."),
// or absolute paths of this computer.
//
// A track whose path on the drive Windows-1252 cannot spell is left out
// of an ".m3u" file rather than named by a transliteration, which would
// name no file on the drive; the caller tells the user which. Its
// #EXTINF texts are only shown, so there a letter without its accent or
// "?" stands in for what Windows-1252 lacks.
//
// Thread: pure functions, any thread. Errors: none; what cannot be
// written is left out and said.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace session {

struct PlaylistFormat {
  enum class Entries { kRelativeToFile, kFromRoot, kAbsolute };
  bool windows1252 = false;
  Entries entries = Entries::kRelativeToFile;
  const char* extension() const { return windows1252 ? ".m3u" : ".m3u8"; }
  // "m3u8", "m3u8-root", "m3u", "m3u-root"; none for another word.
  static std::optional<PlaylistFormat> named(std::string_view word);
  static constexpr const char* kNames = "m3u8, m3u8-root, m3u, m3u-root";
};

// Views of text the caller keeps while the playlist's text is made.
struct PlaylistLine {
  std::string_view path;  // relative to the drive's root: "Music/Artist/Album/01 Song.mp3"
  std::string_view duration, artist, title;
};

// A playlist's text is kHeader and then each line's two, each line's
// the same whichever lines come before it (a caller may keep them).
// `root`: the drive's folder; `folder`: the playlist files' folder, both
// absolute. The maker keeps references to its arguments.
class PlaylistTextMaker {
 public:
  static constexpr std::string_view kHeader = "#EXTM3U";
  PlaylistTextMaker(const PlaylistFormat& format, const std::string& root,
                    const std::string& folder);
  // Appends the line's entry; false, and nothing appended, when the entry
  // cannot be written (it leaves the root, or the format cannot spell it).
  bool append(std::string& text, const PlaylistLine& line) const;

 private:
  const PlaylistFormat& format_;
  const std::string& root_;
  std::filesystem::path base_;
  std::string up_;
  bool asText_ = false, rootOnOneLine_ = true;
};

// The whole text; `leftOut` receives the indexes of the lines not written.
std::string playlistText(const std::vector<PlaylistLine>& lines, const PlaylistFormat& format,
                         const std::string& root, const std::string& folder,
                         std::vector<size_t>* leftOut = nullptr);

// The Windows-1252 bytes of UTF-8 text; none when a character has none.
std::optional<std::string> toWindows1252(std::string_view utf8);

}  // namespace session
