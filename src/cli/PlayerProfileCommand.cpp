#include "cli/PlayerProfileCommand.h"

#include <xxhash.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <vector>

#include "cli/CommandLine.h"
#include "cli/PlayerSettingsText.h"
#include "fs/FileManager.h"
#include "session/ExportSession.h"
#include "session/PlayerProfile.h"

namespace app {
namespace {

constexpr std::string_view kOwnLineStart = "# Written by tessaline player-profile; checksum ";

std::string hex16(uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

struct Asked {
  std::string dir;
  bool write = false;
  std::vector<std::string> formats;
  std::string playlistFormat;
};

int run(Asked a, CLI::Option* formats, CLI::Option* playlistFormat, const Services& services) {
  auto fm = services.fileManager();
  std::error_code ec;
  a.dir = std::filesystem::absolute(a.dir, ec).lexically_normal().string();
  const std::string name = "tessaline player-profile: ";
  bool isDirectory = false;
  if (!fm->fileExistsAtPath(a.dir, &isDirectory) || !isDirectory) {
    std::cerr << name << a.dir << " is not a folder.\n";
    return kExitUsage;
  }
  std::string path = (std::filesystem::path(a.dir) / session::kPlayerProfileFile).string();
  auto read = session::readPlayerProfile(*fm, a.dir);
  if (!read) {
    std::cerr << name << read.status().message() << "\n";
    return kExitUsage;
  }
  session::AskedSettings asked;
  if (formats->count() > 0) asked.formats = a.formats;
  if (playlistFormat->count() > 0) asked.playlistFormat = a.playlistFormat;
  session::PlayerSettings settings = session::resolveSettings(*read, asked);
  for (const auto& p : settings.problems)
    std::cerr << name << path << " line " << p.line << ": " << p.why << " (ignored)\n";
  std::string text = ownProfileText(session::profileText(settings));
  if (!a.write) {
    std::cout << text;
    return kExitOk;
  }
  base::FileError why;
  auto existing = fm->readSmallFile(path, 64 * 1024, &why);
  if (!existing && why.code != ENOENT) {
    std::cerr << name << "cannot read " << path << " ("
              << (why.localizedDescription.empty() ? std::strerror(why.code)
                                                   : why.localizedDescription)
              << "): left as it is, nothing written.\n";
    return kExitPartial;
  }
  if (existing && *existing == text) {
    std::cout << path << " already says this; nothing written.\n";
    return kExitOk;
  }
  if (existing && !isOwnProfile(*existing)) {
    std::cerr << name << path
              << " was not written by tessaline player-profile (or has been edited since): left "
                 "as it is, nothing written. Edit it yourself, or move it aside and run this "
                 "again.\n";
    return kExitPartial;
  }
  if (!fm->writeStringAtomically(text, path, &why)) {
    std::cerr << name << "cannot write " << path << ": "
              << (why.localizedDescription.empty() ? std::strerror(why.code)
                                                   : why.localizedDescription)
              << "\n";
    return kExitPartial;
  }
  std::cout << (existing ? "Replaced " : "Wrote ") << path << ":\n" << text;
  return kExitOk;
}

}  // namespace

std::string ownProfileText(const std::string& body) {
  return std::string(kOwnLineStart) + hex16(XXH3_64bits(body.data(), body.size())) + "\n" + body;
}

bool isOwnProfile(std::string_view text) {
  if (text.substr(0, kOwnLineStart.size()) != kOwnLineStart) return false;
  size_t end = text.find('\n');
  if (end != kOwnLineStart.size() + 16) return false;
  std::string_view body = text.substr(end + 1);
  return text.substr(kOwnLineStart.size(), 16) == hex16(XXH3_64bits(body.data(), body.size()));
}

void registerPlayerProfileCommand(CLI::App& cli, const Services& services) {
  auto a = std::make_shared<Asked>();
  auto* cmd = cli.add_subcommand(
      "player-profile",
      "Print (or write) the drive's .is_audio_player as an export to DIR uses it now");
  cmd->add_option("DIR", a->dir, "The drive's folder")->required()->type_name("DIR");
  cmd->add_flag("--write", a->write,
                "Write it into DIR's root; a file there that this command did not write (or that "
                "was edited since) is left as it is");
  auto* formats =
      cmd->add_option("--formats", a->formats, "What the drive plays, as export --formats takes it")
          ->type_name("LIST")
          ->delimiter(',');
  auto* playlistFormat = cmd->add_option("--playlist-format", a->playlistFormat,
                                         "The playlist files, as export --playlist-format takes it")
                             ->type_name("FORMAT")
                             ->check(CLI::IsMember({"m3u8", "m3u8-root", "m3u", "m3u-root"}));
  cmd->callback([a, formats, playlistFormat, &services] {
    int status = run(*a, formats, playlistFormat, services);
    if (status != kExitOk) throw CLI::RuntimeError(status);
  });
}

}  // namespace app
