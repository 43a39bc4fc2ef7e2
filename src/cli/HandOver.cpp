#include "cli/HandOver.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "base/Resources.h"

namespace app {
namespace {

int failed(const std::string& what, int error) {
  std::cerr << "tessaline: cannot run " << what
            << ", which this command needs: " << std::strerror(error) << "\n";
  return error == ENOENT ? 127 : 126;
}

}  // namespace

int handOverToDrawingProgram(char* const* argv, char* const* envp) {
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) {
    return failed(std::string(base::kDrawingProgramName) +
                      " (this program's folder is unknown: /proc/self/exe)",
                  ec.value());
  }
  std::string program = (self.parent_path() / base::kDrawingProgramName).string();
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  ::execve(program.c_str(), argv, envp);
  return failed(program, errno);
}

DrawingCommands drawingCommandsHandedOver(std::function<int()> handOver) {
  // A status from a callback reaches runCommandLine as CLI::RuntimeError.
  auto fail = [handOver] { throw CLI::RuntimeError(handOver()); };
  return {[fail](const std::string&) { fail(); }, [fail](const TileOptions&) { fail(); },
          [handOver] { return handOver(); }, [handOver](const GuiOptions&) { return handOver(); }};
}

}  // namespace app
