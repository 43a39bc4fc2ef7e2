#include "cli/CommandLine.h"

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "cli/CheckCommand.h"
#include "cli/CompleteCommand.h"
#include "cli/DiskutilCommand.h"
#include "cli/DockTileCommand.h"
#include "cli/DrivesCommand.h"
#include "cli/EjectCommand.h"
#include "cli/ExportCommand.h"
#include "cli/FormatCommand.h"
#include "cli/GuiCommand.h"
#include "cli/PlayerProfileCommand.h"
#include "cli/PlaylistsCommand.h"
#include "cli/ScriptCommand.h"
#include "cli/Terminal.h"
#include "cli/WatchCommand.h"
#include "session/ExportSession.h"

namespace app {
namespace {

// Help texts wrapped to the terminal (80 columns into a pipe, which is
// also what the manual page is made from); which options exclude each
// other is said in the descriptions, in words.
class HelpFormatter : public CLI::Formatter {
 public:
  explicit HelpFormatter(std::shared_ptr<const base::Configuration> config)
      : config_(std::move(config)) {}
  std::string make_option_opts(const CLI::Option* opt) const override {
    std::string out;
    if (opt->get_type_size() != 0) {
      if (!opt->get_type_name().empty()) out += " " + opt->get_type_name();
      if (opt->get_expected_max() == CLI::detail::expected_max_vector_size) out += " ...";
    }
    return out;
  }
  std::string make_option_desc(const CLI::Option* opt) const override {
    size_t columns = stdoutIsTerminal() ? static_cast<size_t>(terminalColumns(1, *config_)) : 80;
    size_t width = columns > get_column_width() + 20 ? columns - get_column_width() - 1 : 40;
    std::string out, word, line;
    auto flushWord = [&] {
      if (word.empty()) return;
      if (!line.empty() && displayWidth(line) + 1 + displayWidth(word) > width) {
        out += line + "\n";
        line.clear();
      }
      line += (line.empty() ? "" : " ") + word;
      word.clear();
    };
    for (char c : opt->get_description()) {
      if (c == ' ') {
        flushWord();
      } else {
        word += c;
      }
    }
    flushWord();
    return out + line;
  }

 private:
  std::shared_ptr<const base::Configuration> config_;
};

// The command a parse error belongs to: the first argument naming one.
std::string commandOf(CLI::App& cli, int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.empty() || arg[0] == '-') continue;
    for (const auto* sub : cli.get_subcommands({})) {
      if (sub->get_name() == arg) return arg;
    }
    return "";
  }
  return "";
}

// Whether the command line asks `command` for a JSON report: a script
// reading one gets one, also when the words around it were wrong.
bool jsonAsked(CLI::App& cli, const std::string& command, int argc, char** argv) {
  if (command.empty()) return false;
  // commandOf() found it among the subcommands.
  if (cli.get_subcommand(command)->get_option_no_throw("--json") == nullptr) return false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--") break;
    if (arg == "--json") return true;
  }
  return false;
}

}  // namespace

CLI::Option* addLibraryOption(CLI::App& command, std::string& file,
                              const std::string& description) {
  return command.add_option("--library", file, description)->type_name("FILE");
}

CLI::Option* addMusicDirOption(CLI::App& command, std::string& folder) {
  return command
      .add_option("--music-dir", folder,
                  "For a folder of playlists: the music folder their relative entries start from "
                  "(MPD's music_directory); default: each playlist file's own folder")
      ->type_name("DIR");
}

CLI::Option* addToOption(CLI::App& command, std::string& folder, const std::string& description) {
  return command.add_option("--to", folder, description)->type_name("DIR");
}

CLI::Option* addJsonFlag(CLI::App& command, bool& json, const std::string& description) {
  return command.add_flag("--json", json, description);
}

int runCommandLine(int argc, char** argv, const DrawingCommands& drawing,
                   const Services& services) {
  flushOutputByLine();
  CLI::App cli{
      "Tessaline Exporter: copies iTunes playlists and their media files onto a Tessaline drive.",
      "tessaline"};
  cli.formatter(std::make_shared<HelpFormatter>(services.configuration));
  cli.set_version_flag("--version", std::string("tessaline ") + TESSALINE_VERSION);
  cli.require_subcommand(0, 1);
  cli.footer(
      "Run `tessaline help COMMAND` or `tessaline COMMAND --help` for the options of a command.");
  // Read by the main before the services are made (hardwareOption() in
  // MachineServices.h): declared here for --help, completion and its check.
  cli.add_option("--fake-hardware", "Read drives and volumes from this fake hardware tree")
      ->type_name("DIR")
      ->check(CLI::ExistingDirectory);
  registerExportCommand(cli, services);
  registerPlaylistsCommand(cli, services);
  registerDiskutilCommand(cli);
  registerDockTileCommand(cli, drawing);
  registerScriptCommand(cli, drawing);
  registerDrivesCommand(cli, services);
  registerCheckCommand(cli, services);
  registerPlayerProfileCommand(cli, services);
  registerEjectCommand(cli, services);
  registerFormatCommand(cli, services);
  registerWatchCommand(cli, services);
  registerGuiCommand(cli, drawing);
  // What scripts, the test suites and the bridge use is listed apart, so
  // that --help starts with what an owner runs.
  constexpr const char* kForScripts = "For scripts and tests";
  for (const char* name : {"diskutil", "dock-tile", "script"})
    cli.get_subcommand(name)->group(kForScripts);
  for (const char* name : {"--fake-hardware", "--dock-tile"})
    cli.get_option(name)->group(kForScripts);

  auto topic = std::make_shared<std::string>();
  auto* help = cli.add_subcommand("help", "Show the options of the program or of a command");
  help->add_option("COMMAND", *topic, "The command to explain, e.g. export");
  help->callback([&cli, topic] {
    if (topic->empty()) {
      // cli.help() would show the help of the command being run: this one.
      std::cout << cli.get_formatter()->make_help(&cli, "tessaline", CLI::AppFormatMode::Normal);
      return;
    }
    for (const auto* sub : cli.get_subcommands({})) {
      if (sub->get_name() == *topic && *topic != "help") {
        std::cout << sub->help("tessaline");
        return;
      }
    }
    std::cerr << "tessaline help: no command is named \"" << *topic
              << "\"; run `tessaline help` for the list.\n";
    throw CLI::RuntimeError(kExitUsage);
  });

  registerCompleteCommand(cli, services);

  try {
    cli.parse(argc, argv);
  } catch (const CLI::RuntimeError& e) {
    // A command's own exit status, its message already shown.
    return e.get_exit_code();
  } catch (const CLI::CallForHelp& e) {
    return cli.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return cli.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return cli.exit(e);
  } catch (const CLI::ParseError& e) {
    // The same prefix as the commands' own messages.
    std::string command = commandOf(cli, argc, argv);
    std::string name = command.empty() ? "tessaline" : "tessaline " + command;
    std::cerr << name << ": " << e.what() << "\nRun `" << name << " --help` for the options.\n";
    if (jsonAsked(cli, command, argc, argv)) {
      nlohmann::json report = {
          {"status", "usage error"}, {"error", e.what()}, {"exitStatus", kExitUsage}};
      std::cout << report.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    }
    return kExitUsage;
  }
  if (cli.get_subcommands().empty()) {
    std::cout << cli.help();
    return kExitOk;
  }
  return kExitOk;
}

}  // namespace app
