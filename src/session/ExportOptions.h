// What one export was asked to do, as the command line and the window
// fill it in and the export session reads it. A plain value: copied
// freely, no thread of its own.
#pragma once

#include <string>
#include <vector>

namespace app {

struct ExportOptions {
  std::string library;                   // empty: the usual places
  std::string musicDir;                  // a playlist folder's relative entries start here
  std::string to;                        // the drive's folder; empty: the chosen drive volume
  std::string drive;                     // a drive volume's title, as `tessaline drives` shows it
  std::vector<std::string> playlists;    // mode 1 when not empty
  std::vector<std::string> mapPrefixes;  // "FROM=TO"
  bool allTracks = false;
  bool dryRun = false;
  bool yes = false;
  bool noClean = false;
  bool clean = false;
  bool cleanAll = false;  // also delete stale files the exporter did not write
  bool json = false;
  bool absolutePaths = false;           // entries as absolute paths, not relative to the file
  std::string playlistFormat = "m3u8";  // see session::PlaylistFormat::named
  // What the drive plays (any case): file extensions, codec names, MIME
  // types (session/PlayableFormats.h); others are named in the plan.
  std::vector<std::string> playableFormats = {"mp3", "m4a", "aac", "flac", "wav", "ogg", "opus"};
  // Given by the user: they win over the drive's .is_audio_player.
  bool playlistFormatGiven = false, playableFormatsGiven = false;
  // Tracks the drive cannot play are converted to this codec ("mp3",
  // "aac", "opus", "vorbis"; empty: copied as they are), at `quality`
  // (session::ConvertSettings; -1: the codec's default).
  std::string convertTo;
  int quality = -1;
  // Given by the user ("none" included): it wins over the conversion the
  // window remembered for the destination, which --remembered takes.
  bool convertToGiven = false;
  bool verbose = false;     // list each file copied and deleted
  bool quiet = false;       // only what went wrong
  bool verify = false;      // read each copy back and compare it with what was written
  bool remembered = false;  // the playlists ticked in the window for this destination
  // The first plan follows the load at once (the command line, and the
  // window's figures after a load): the sources are looked at while the
  // destinations are laid out, and that plan takes that look. Later plans
  // look again.
  bool sourcesWhileLoading = false;
};

}  // namespace app
