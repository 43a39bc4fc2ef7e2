// The plan asks whether a clean-up may run on a thread of its own while
// the stale walk runs: both answers arrive, and a refusal drops what the
// walk found. Run under ThreadSanitizer with the other threaded suites.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "session/ExportOptions.h"
#include "session/ExportSession.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

bool makeSampleLibrary(const std::string& folder) {
  return std::system(("python3 '" TESSALINE_SOURCE_DIR "/scripts/make_sample_library.py' '" +
                      folder + "' >/dev/null")
                         .c_str()) == 0;
}

TEST(SessionPlanThreaded, TheRefusalAndTheStaleWalkSideBySide) {
  testsupport::TempDir dir;
  const std::string drive = dir / "drive";
  fs::create_directories(drive + "/Music/Hand Ripped");
  testsupport::writeFile(drive + "/Music/Hand Ripped/mine.mp3", "mine");
  ASSERT_TRUE(makeSampleLibrary(dir / "lib"));
  // The same library again, reached through a link into the drive.
  ASSERT_EQ(symlink((drive + "/Music").c_str(), (dir / "linked").c_str()), 0);
  ASSERT_TRUE(makeSampleLibrary(dir / "linked/lib"));
  struct Case {
    std::string library;
    bool refused;
  };
  for (const Case& c :
       {Case{dir / "lib/Library.xml", false}, Case{dir / "linked/lib/Library.xml", true}}) {
    SCOPED_TRACE(c.library);
    app::ExportOptions options;
    options.library = c.library;
    options.to = drive;
    app::ExportSession session(options);
    ASSERT_TRUE(session.load().ok());
    for (int again = 0; again < 2; ++again) {
      auto planned = session.plan();
      ASSERT_TRUE(planned.ok()) << planned.error().message();
      const app::ExportPlan& plan = **planned;
      EXPECT_EQ(plan.cleanUpRefusal.empty(), !c.refused) << plan.cleanUpRefusal;
      EXPECT_EQ(plan.cleanUp, !c.refused);
      // Without a refusal the walk finds the user's file (among the
      // linked library's, which the first library does not know).
      bool mine = false;
      for (const auto& item : plan.stale)
        mine = mine || item.path == drive + "/Music/Hand Ripped/mine.mp3";
      EXPECT_EQ(mine, !c.refused);
      if (c.refused) {
        EXPECT_TRUE(plan.stale.empty());
      }
    }
  }
}

}  // namespace
