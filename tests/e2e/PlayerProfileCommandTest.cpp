// `tessaline player-profile`: writes its own .is_audio_player, replaces
// only its own unchanged one, and never a file the user wrote or edited.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "support/TempDir.h"

namespace {

const std::filesystem::path kProgram = TESSALINE_EXECUTABLE;

TEST(PlayerProfileCommand, WritesOnlyOverItsOwnUnchangedFile) {
  if (!std::filesystem::exists(kProgram)) GTEST_SKIP() << "program not built";
  testsupport::TempDir dir;
  const std::string file = dir / ".is_audio_player";
  auto run = [&](const std::string& args) {
    int status = std::system(("'" + kProgram.string() + "' player-profile " + args + " '" +
                              dir.path() + "' >'" + (dir / "out") + "' 2>'" + (dir / "err") + "'")
                                 .c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  struct Step {
    std::string before;  // written first unless empty; "-": the file as it stands
    std::string args;
    int status;
    std::string after;  // a line the file then holds
  };
  const std::vector<Step> steps = {
      {"-", "--write --formats mp3,alac", 0, "output_formats=audio/mpeg,audio/x-alac\n"},
      {"-", "--write --formats flac", 0, "output_formats=audio/flac\n"},
      {"-", "--write", 0, "output_formats=audio/flac\n"},  // already says this
      {"output_formats=audio/mpeg\nname=mine\n", "--write --formats flac", 1, "name=mine\n"},
      {"-", "", 0, "name=mine\n"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.args);
    if (step.before != "-") testsupport::writeFile(file, step.before);
    std::string before = testsupport::exists(file) ? testsupport::readFile(file) : "";
    EXPECT_EQ(run(step.args), step.status) << testsupport::readFile(dir / "err");
    EXPECT_NE(testsupport::readFile(file).find(step.after), std::string::npos);
    if (step.status != 0) {
      EXPECT_EQ(testsupport::readFile(file), before);
    }
  }
  // Printing says what the export would use, and names a line it cannot read.
  testsupport::writeFile(file, "audio_folders=MUSIC/\nnonsense\n");
  EXPECT_EQ(run(""), 0);
  EXPECT_NE(testsupport::readFile(dir / "out").find("audio_folders=MUSIC/\n"), std::string::npos);
  EXPECT_NE(testsupport::readFile(dir / "err").find("line 2"), std::string::npos);
}

}  // namespace
