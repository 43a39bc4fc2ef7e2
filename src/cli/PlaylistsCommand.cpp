#include "cli/PlaylistsCommand.h"

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <unordered_map>

#include "cli/CommandLine.h"
#include "cli/Terminal.h"
#include "library/LibraryReader.h"
#include "session/ExportSession.h"

namespace app {
namespace {

struct Options {
  std::string library;
  std::string musicDir;
  bool json = false;
};

int listPlaylists(const Options& o, const base::Configuration& config) {
  std::string file =
      o.library.empty() ? LibraryReader::defaultExport(config.home).value_or("") : o.library;
  if (file.empty()) {
    std::cerr << "tessaline playlists: No library found (an iTunes-style XML export under "
                 "~/Music, a Rhythmbox, Strawberry or Clementine library, or a folder of "
                 "playlists in ~/Music/Playlists); name one with --library PATH.\n";
    return kExitUsage;
  }
  auto read = LibraryReader().withMusicDir(o.musicDir).load(file);
  if (!read) {
    std::cerr << "tessaline playlists: " << read.status().message() << "\n";
    return kExitUsage;
  }
  Library library = std::move(*read);
  std::unordered_map<std::string, const LibraryPlaylist*> byId;
  for (const auto& p : library.playlists) byId[p.persistentId] = &p;
  // The folder a playlist is in, by its own name only: a whole path would
  // make the listing of folders nested n deep take n * n. A playlist
  // given as its own parent is in no folder.
  auto folderOf = [&](const LibraryPlaylist& p) {
    auto it = byId.find(p.parentPersistentId);
    return it == byId.end() || it->second == &p ? std::string() : it->second->name;
  };

  nlohmann::json rows = nlohmann::json::array();
  struct Row {
    std::string name, tracks, size, builtIn, folder;
  };
  std::vector<Row> table = {{"Playlist", "Tracks", "Size", "Built-in", "Folder"}};
  // Each track counted once a playlist: marked with the playlist's number
  // rather than put in a set, one look per entry.
  std::vector<uint32_t> countedFor(library.tracks.size(), 0);
  uint32_t number = 0;
  for (const auto& p : library.playlists) {
    uint64_t bytes = 0;
    ++number;
    for (uint32_t t : p.tracks) {
      if (t >= countedFor.size() || countedFor[t] == number) continue;
      countedFor[t] = number;
      bytes += static_cast<uint64_t>(library.tracks[t].size.value_or(0));
    }
    std::string folder = folderOf(p);
    rows.push_back({{"name", p.name},
                    {"id", p.persistentId},
                    {"tracks", p.items.size()},
                    {"bytes", bytes},
                    {"builtIn", p.builtIn()},
                    {"isFolder", p.folder},
                    {"folder", folder},
                    {"exportedByDefault", p.exportedByDefault()}});
    table.push_back({p.folder ? p.name + "/" : p.name,
                     p.folder ? "" : std::to_string(p.items.size()),
                     p.folder ? "" : byteText(bytes), p.builtIn() ? "yes" : "", folder});
  }
  for (const auto& [name, why] : library.notExportable) {
    rows.push_back({{"name", name}, {"exportable", false}, {"reason", why}});
    table.push_back({name, "", "", "", "not exportable: " + why});
  }
  // Notes go with the table, or to standard error beside the JSON.
  std::ostream& notes = o.json ? std::cerr : std::cout;
  notes << "Library: " << library.sourceKind << " " << library.sourcePath << "\n";
  for (const auto& note : library.notes) notes << "Note: " << note << "\n";
  if (o.json) {
    std::cout << rows.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    return kExitOk;
  }
  // Names take what the other columns leave of the terminal.
  size_t width = stdoutIsTerminal() ? static_cast<size_t>(terminalColumns(1, config)) : 120;
  size_t nameWidth = 8, folderWidth = 6;
  for (const auto& r : table) {
    nameWidth = std::max(nameWidth, displayWidth(r.name));
    folderWidth = std::max(folderWidth, displayWidth(r.folder));
  }
  const size_t fixed = 2 + 1 + 6 + 1 + 10 + 1 + 8 + 1;
  size_t room = width > fixed + 1 ? width - fixed - 1 : 16;
  nameWidth = std::max<size_t>(8, std::min(nameWidth, room * 2 / 3));
  folderWidth = std::max<size_t>(6, std::min(folderWidth, room > nameWidth ? room - nameWidth : 6));
  for (const auto& r : table) {
    char numbers[64];
    snprintf(numbers, sizeof numbers, " %6s %10s %-8s ", r.tracks.c_str(), r.size.c_str(),
             r.builtIn.c_str());
    std::string line =
        "  " + fitToWidth(r.name, nameWidth) + numbers + fitToWidth(r.folder, folderWidth);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    std::cout << line << "\n";
  }
  // The plan's figures can differ: it looks at the files themselves.
  std::cout << "Sizes are the library's own word for each track, counted once; an export's plan "
               "counts the media files as they are now.\n";
  std::cout << "Export one with: tessaline export --playlist NAME (a folder's name exports the "
               "playlists in it).\n";
  return kExitOk;
}

}  // namespace

void registerPlaylistsCommand(CLI::App& cli, const Services& services) {
  auto options = std::make_shared<Options>();
  auto* cmd = cli.add_subcommand("playlists",
                                 "List the library's playlists: tracks, size, built-in, folder");
  addLibraryOption(*cmd, options->library,
                   "The library (XML export, Rhythmbox's rhythmdb.xml, Strawberry or Clementine "
                   "database, folder of playlists); default: the first in the usual places");
  addMusicDirOption(*cmd, options->musicDir);
  addJsonFlag(*cmd, options->json, "Print JSON instead of a table");
  cmd->callback([options, config = services.configuration] {
    int status = listPlaylists(*options, *config);
    if (status != kExitOk) throw CLI::RuntimeError(status);
  });
}

}  // namespace app
