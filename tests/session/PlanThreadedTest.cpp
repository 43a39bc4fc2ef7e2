// The plan asks whether a clean-up may run on a thread of its own while
// the stale walk runs: both answers arrive, and a refusal drops what the
// walk found. Run under ThreadSanitizer with the other threaded suites.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>

#include "session/ExportOptions.h"
#include "session/ExportSession.h"
#include "support/Services.h"
#include "support/TempDir.h"

namespace stdfs = std::filesystem;

namespace {

using testsupport::makeSampleLibrary;

TEST(SessionPlanThreaded, TheRefusalAndTheStaleWalkSideBySide) {
  testsupport::TempDir dir;
  const std::string drive = dir / "drive";
  stdfs::create_directories(drive + "/Music/Hand Ripped");
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
    app::ExportSession session(options, testsupport::services());
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

// The command line's sessions look at the sources while the destinations
// are laid out: the first plan gets the same figures as one that looks
// then, and a later plan looks again.
TEST(SessionPlanThreaded, SourcesLookedAtWhileLoadingAnswerTheFirstPlanOnly) {
  testsupport::TempDir dir;
  ASSERT_TRUE(makeSampleLibrary(dir / "lib"));
  stdfs::create_directories(dir / "drive");
  struct Figures {
    uint64_t bytes;
    size_t tracks, missing;
    bool operator==(const Figures&) const = default;
  };
  auto figuresOf = [](const app::ExportPlan& plan) {
    return Figures{plan.bytesToCopy, plan.tracksToCopy, plan.missingSources.size()};
  };
  std::vector<Figures> first;
  std::optional<Figures> again;
  for (bool ahead : {false, true}) {
    app::ExportOptions options;
    options.library = dir / "lib/Library.xml";
    options.to = dir / "drive";
    options.sourcesWhileLoading = ahead;
    app::ExportSession session(options, testsupport::services());
    ASSERT_TRUE(session.load().ok());
    auto planned = session.plan();
    ASSERT_TRUE(planned.ok()) << planned.error().message();
    first.push_back(figuresOf(**planned));
    if (!ahead) continue;
    stdfs::remove_all(dir / "lib/Media");
    planned = session.plan();
    ASSERT_TRUE(planned.ok()) << planned.error().message();
    again = figuresOf(**planned);
  }
  EXPECT_EQ(first[0], first[1]);
  EXPECT_GT(first[1].bytes, 0u);
  EXPECT_EQ(again, (Figures{0, 0, first[1].tracks + first[1].missing}));
}

// So do they look at the drive's copies the record names, beside the
// library's read: the first plan then asks only about the others. An
// export that wrote to the drive between the load and the plan makes the
// plan look again; otherwise the plan sees what a plan of its own sees.
TEST(SessionPlanThreaded, TheDriveLookedAtWhileLoadingHoldsWhileTheRecordDoes) {
  testsupport::TempDir dir;
  ASSERT_TRUE(makeSampleLibrary(dir / "lib"));
  const std::string drive = dir / "drive";
  stdfs::create_directories(drive);
  auto session = [&](bool ahead) {
    app::ExportOptions options;
    options.library = dir / "lib/Library.xml";
    options.to = drive;
    options.sourcesWhileLoading = ahead;
    return std::make_unique<app::ExportSession>(options, testsupport::services());
  };
  auto exportAll = [&] {
    auto s = session(false);
    ASSERT_TRUE(s->load().ok());
    ASSERT_TRUE(s->prepare().ok());
    ASSERT_TRUE(s->plan().ok());
    auto outcome = s->copy(nullptr, nullptr);
    ASSERT_TRUE(outcome.ok()) << outcome.error().message();
    ASSERT_TRUE(outcome->notCopied.empty());
  };
  exportAll();
  std::vector<std::string> copies;
  for (const auto& e : stdfs::recursive_directory_iterator(drive + "/Music"))
    if (e.is_regular_file()) copies.push_back(e.path());
  ASSERT_GE(copies.size(), 2u);
  struct Case {
    const char* what;
    bool exportBetween;  // another export repairs the drive after the load
    size_t toCopy;
  };
  for (const Case& c : {Case{"nothing between", false, 1}, Case{"an export between", true, 0}}) {
    SCOPED_TRACE(c.what);
    stdfs::remove(copies[0]);
    auto ahead = session(true), plain = session(false);
    ASSERT_TRUE(ahead->load().ok());
    ASSERT_TRUE(plain->load().ok());
    if (c.exportBetween) exportAll();
    auto seenAhead = ahead->plan(), seen = plain->plan();
    ASSERT_TRUE(seenAhead.ok()) << seenAhead.error().message();
    ASSERT_TRUE(seen.ok()) << seen.error().message();
    EXPECT_EQ((*seenAhead)->tracksToCopy, c.toCopy);
    EXPECT_EQ((*seen)->tracksToCopy, c.toCopy);
    EXPECT_EQ((*seenAhead)->bytesToCopy, (*seen)->bytesToCopy);
    EXPECT_EQ((*seenAhead)->stale.size(), (*seen)->stale.size());
    if (!c.exportBetween) exportAll();
  }
}

}  // namespace
