// Writing one playlist's .m3u8 file.
#include "catalogue/CTrackList.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "platform/Log.h"
#include "shell/stAutoReleasePool.h"

namespace catalogue {
namespace {

bool nameLeavesFolder(const std::string& name) {
  return name.find('/') != std::string::npos || name.find('\0') != std::string::npos || name == "." ||
         name == "..";
}

// A player reads one entry per line, so a line break in a text would end
// the #EXTINF line early and turn the rest of the text into an entry of
// its own; other control characters have no business there either.
std::string onOneLine(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  return text;
}

}  // namespace

std::string CTrackList::playlistFileText() const {
  TrackArrayPtr tracks = trackList();
  std::vector<std::string> lines;
  lines.reserve(tracks->size() * 2 + 10);
  lines.push_back("#EXTM3U");
  for (const auto& track : *tracks) {
    auto destination = track->absDestinationPath();
    if (!destination) {
      throw platform::Exception("NSInvalidArgumentException",
                                "track " + track->uniqueID() + " has no destination path: no destination folder is set");
    }
    // A path that leaves the root names no file of ours, and one with a
    // line break cannot stand on its line: such a track is left out whole.
    std::string rel = track->destPathRel();
    if (CTrack::leavesRoot(rel) || destination->find_first_of("\n\r") != std::string::npos) {
      platform::logFormat(
          "playlist file of %@ leaves out track %@: its destination path “%@” cannot be listed",
          uniqueID(), track->uniqueID(), rel);
      continue;
    }
    lines.push_back(platform::format("#EXTINF:%@,%@ - %@", onOneLine(track->trackDuration()),
                                     onOneLine(track->trackArtist()),
                                     onOneLine(track->trackTitle())));
    lines.push_back(*destination);
  }
  std::string text;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i) text.push_back('\n');
    text += lines[i];
  }
  return text;
}

void CTrackList::doGeneratePlaylistinFolder(const std::string& folder) {
  shell::stAutoReleasePool pool;
  auto fm = platform::FileManager::makePrivate();
  std::string name = playlistFileName();
  if (nameLeavesFolder(name)) {
    platform::logFormat("doGeneratePlaylistinFolder refused the file name “%@” of playlist %@: it would leave the folder",
                        name, uniqueID());
    return;
  }
  fm->createDirectoryAtPath(folder, true, nullptr);
  std::string path = joinPathComponents(folder, name + ".m3u8");
  std::string text = playlistFileText();
  bool isDirectory = false;
  // A folder that happens to carry the name is not removed with its contents;
  // the write below then fails and says so.
  if (fm->fileExistsAtPath(path, &isDirectory) && !isDirectory && fm->isDeletableFileAtPath(path)) {
    platform::FileError error;
    if (!fm->removeItemAtPath(path, &error)) {
      platform::logFormat("doGeneratePlaylistinFolder pre-delete error: %@", error.localizedDescription);
    }
  }
  platform::FileError error;
  if (!fm->writeStringAtomically(text, path, &error)) {
    platform::logFormat("doGeneratePlaylistinFolder write error: %@", error.localizedDescription);
  }
}

}  // namespace catalogue
