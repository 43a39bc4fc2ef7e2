// Writing one playlist's .m3u8 file.
#include <cerrno>
#include <filesystem>

#include "base/Format.h"
#include "base/Log.h"
#include "compat/catalogue/CTrackList.h"
#include "compat/catalogue/ScriptCopyRecord.h"
#include "compat/runtime/Exception.h"
#include "compat/shell/stAutoReleasePool.h"

namespace catalogue {
namespace {

bool nameLeavesFolder(const std::string& name) {
  return name.find('/') != std::string::npos || name.find('\0') != std::string::npos ||
         name == "." || name == "..";
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

std::string CTrackList::playlistFileText(const std::string& folder) const {
  TrackArrayPtr tracks = trackList();
  bool relative = entryForm() == EntryForm::kRelativeToFile && !folder.empty();
  std::filesystem::path base = std::filesystem::path(folder).lexically_normal();
  if (!base.has_filename()) base = base.parent_path();
  std::vector<std::string> lines;
  lines.reserve(tracks->size() * 2 + 10);
  lines.push_back("#EXTM3U");
  for (const auto& track : *tracks) {
    auto destination = track->absDestinationPath();
    if (!destination) {
      throw platform::Exception(
          "NSInvalidArgumentException",
          "track " + track->uniqueID() + " has no destination path: no destination folder is set");
    }
    // A path that leaves the root names no file of ours, and one with a
    // line break cannot stand on its line: such a track is left out whole.
    std::string rel = track->destPathRel();
    if (CTrack::leavesRoot(rel) || destination->find_first_of("\n\r") != std::string::npos) {
      base::logFormat(
          "playlist file of %@ leaves out track %@: its destination path “%@” cannot be listed",
          uniqueID(), track->uniqueID(), rel);
      continue;
    }
    lines.push_back(base::format("#EXTINF:%@,%@ - %@", onOneLine(track->trackDuration()),
                                 onOneLine(track->trackArtist()), onOneLine(track->trackTitle())));
    std::string entry = *destination;
    if (relative) {
      std::string fromFile = std::filesystem::path(entry).lexically_relative(base).string();
      if (!fromFile.empty()) entry = fromFile;
    }
    lines.push_back(entry);
  }
  std::string text;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i) text.push_back('\n');
    text += lines[i];
  }
  return text;
}

void CTrackList::doGeneratePlaylistinFolder(const std::string& folder) {
  doGeneratePlaylistinFolder(folder, nullptr, nullptr);
}

bool CTrackList::doGeneratePlaylistinFolder(const std::string& folder,
                                            const fs::DestinationRoot* root,
                                            base::FileError* error) {
  shell::stAutoReleasePool pool;
  auto fm = fs::FileManager::makePrivate();
  std::string name = playlistFileName();
  if (nameLeavesFolder(name)) {
    base::logFormat(
        "doGeneratePlaylistinFolder refused the file name “%@” of playlist %@: it would leave the "
        "folder",
        name, uniqueID());
    if (error) {
      error->code = EINVAL;
      error->path = name;
      error->localizedDescription = "The playlist file name “" + name + "” would leave the folder.";
    }
    return false;
  }
  std::string path = joinPathComponents(folder, name + ".m3u8");
  std::string text = playlistFileText(folder);
  // The file is written below a root that is never created: the
  // destination root when the folder lies in it, else the folder's
  // parent, so that a drive that is gone is not stood in for by new
  // folders on the system disk.
  std::shared_ptr<fs::DestinationRoot> opened;
  if (root == nullptr) {
    std::string base = CTrack::destinationBasePath().value_or("");
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    bool inBase = !base.empty() && folder.compare(0, base.size(), base) == 0 &&
                  (folder.size() == base.size() || folder[base.size()] == '/');
    size_t slash = folder.find_last_of('/');
    opened = fs::DestinationRoot::open(inBase ? base
                                       : slash == std::string::npos || slash == 0
                                           ? folder
                                           : folder.substr(0, slash));
    root = opened.get();
  }
  // The new text replaces the old file in one step; the old one is never
  // deleted first, so a failed write leaves it as it was.
  // Below an export's root, the file is recorded by identity first, as
  // the exporter's own playlist files are.
  base::FileError failure;
  auto identities = ScriptCopyRecord::of(CTrack::destinationBasePath().value_or(""));
  std::vector<base::FileError> errors;
  bool written = identities ? fm->writeStringsBelowRoot(*root, {{path, text}}, &errors,
                                                        identities->playlistFiles())[0]
                            : fm->writeStringBelowRoot(*root, text, path, &failure);
  if (!errors.empty()) failure = errors[0];
  if (!written) {
    base::logFormat("doGeneratePlaylistinFolder write error: %@", failure.localizedDescription);
    if (error) *error = failure;
    return false;
  }
  return true;
}

}  // namespace catalogue
