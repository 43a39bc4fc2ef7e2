// The session's plan as the window uses it: planned again and again in
// one process while the drive and the computer change in between.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "session/ExportOptions.h"
#include "session/ExportSession.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

// Every plan looks at the drive and at the sources as they are then: a
// listing or a source lookup of an earlier plan must not answer for it.
TEST(ExportSession, EachPlanSeesTheDriveAndTheSourcesAsTheyAreThen) {
  testsupport::TempDir dir;
  std::string lib = dir / "lib", drive = dir / "drive";
  ASSERT_EQ(std::system(("python3 '" TESSALINE_SOURCE_DIR "/scripts/make_sample_library.py' '" +
                         lib + "' >/dev/null")
                            .c_str()),
            0);
  fs::create_directories(drive);
  app::ExportOptions options;
  options.library = lib + "/Library.xml";
  options.to = drive;
  app::ExportSession session(options);
  ASSERT_TRUE(session.load().ok());
  ASSERT_TRUE(session.prepare().ok());
  ASSERT_TRUE(session.plan().ok());
  auto outcome = session.copy(nullptr, nullptr);
  ASSERT_TRUE(outcome.ok()) << outcome.error().message();
  app::CopyOutcome& copied = *outcome;
  ASSERT_TRUE(copied.notCopied.empty());
  ASSERT_FALSE(copied.copied.empty());
  const std::string track = copied.copied[0];
  const uint64_t trackBytes = fs::file_size(track);
  // Beside the album folders: only the stale walk lists that folder.
  const std::string mine = fs::path(track).parent_path().parent_path().string() + "/mine.mp3";

  struct Step {
    const char* what;
    std::function<void()> change;
    uint64_t bytesToCopy;
    std::vector<std::string> staleKept;  // the user's, in plan order
    size_t missingSources;
  };
  const std::vector<Step> steps = {
      {"after the copy", [] {}, 0, {}, 0},
      {"a file of the user's where an earlier plan listed nothing",
       [&] { testsupport::writeFile(mine, "mine"); },
       0,
       {mine},
       0},
      {"an exported file gone from the drive", [&] { fs::remove(track); }, trackBytes, {mine}, 0},
      {"every source gone from the computer",
       [&] { fs::remove_all(lib + "/Media"); },
       0,
       {mine},
       1},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    step.change();
    auto planned = session.plan();
    ASSERT_TRUE(planned.ok()) << planned.error().message();
    const app::ExportPlan& plan = **planned;
    EXPECT_EQ(plan.bytesToCopy, step.bytesToCopy);
    std::vector<std::string> kept;
    for (const auto& item : plan.stale) {
      EXPECT_FALSE(item.ours) << item.path;
      kept.push_back(item.path);
    }
    EXPECT_EQ(kept, step.staleKept);
    EXPECT_EQ(plan.missingSources.size(), step.missingSources);
  }
}
