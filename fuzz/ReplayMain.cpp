// A fuzz target without libFuzzer: replays the inputs it is given, each
// file named on the command line or each file in a folder named there (in
// name order, so a failure names the same input on every run). The normal
// build links every target with it and runs its seeds and its kept crash
// inputs as a test, so a target that stops compiling, or an input that
// crashed once and crashes again, fails `make test` rather than waiting
// for the next `make fuzz`.
//
// Exit status: 0 when every input ran; 1 when there was nothing to replay
// (a seed folder that vanished must not pass quietly) or a path is not
// readable. A crash ends the process, as under libFuzzer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace stdfs = std::filesystem;

int main(int argc, char** argv) {
  std::vector<stdfs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    // "?DIR": a folder that may not exist yet (the kept crash inputs).
    bool optional = !arg.empty() && arg[0] == '?';
    stdfs::path path = optional ? arg.substr(1) : arg;
    std::error_code ec;
    if (stdfs::is_directory(path, ec)) {
      std::vector<stdfs::path> found;
      for (const auto& e : stdfs::directory_iterator(path, ec)) {
        if (e.is_regular_file() && e.path().filename().string()[0] != '.')
          found.push_back(e.path());
      }
      std::sort(found.begin(), found.end());
      inputs.insert(inputs.end(), found.begin(), found.end());
    } else if (stdfs::is_regular_file(path, ec)) {
      inputs.push_back(path);
    } else if (!optional) {
      std::fprintf(stderr, "replay: %s is neither a file nor a folder\n", path.c_str());
      return 1;
    }
  }
  if (inputs.empty()) {
    std::fprintf(stderr, "replay: nothing to replay\n");
    return 1;
  }
  for (const auto& input : inputs) {
    std::ifstream in(input, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
      std::fprintf(stderr, "replay: cannot read %s\n", input.c_str());
      return 1;
    }
    // Printed first, so that the input that crashes is the last one named.
    std::printf("replaying %s (%zu bytes)\n", input.c_str(), bytes.size());
    std::fflush(stdout);
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::printf("replayed %zu inputs\n", inputs.size());
  return 0;
}
