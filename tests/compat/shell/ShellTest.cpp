// The scope object and the two failure-containment forms.
#include <gtest/gtest.h>

#include <stdexcept>

#include "base/Log.h"
#include "compat/runtime/AutoreleasePool.h"
#include "compat/shell/FailureContainment.h"
#include "compat/shell/stAutoReleasePool.h"

namespace {
struct Tracked {
  explicit Tracked(int* deaths) : deaths_(deaths) {}
  ~Tracked() { ++*deaths_; }
  int* deaths_;
};
constexpr const char* kLine = "exeception invalidateFirstExportTotals Exception: %@ Reason: %@";
}  // namespace

TEST(stAutoReleasePool, ReleasesDuringExceptionUnwinding) {
  int deaths = 0;
  EXPECT_THROW(
      {
        shell::stAutoReleasePool pool;
        platform::AutoreleasePool::autoreleased(std::make_shared<Tracked>(&deaths));
        throw std::runtime_error("boom");
      },
      std::runtime_error);
  EXPECT_EQ(deaths, 1);
  EXPECT_EQ(platform::AutoreleasePool::depth(), 0u);
}

TEST(stAutoReleasePool, KeptObjectMovesToTheEnclosingPool) {
  int deaths = 0;
  shell::stAutoReleasePool outer;
  {
    shell::stAutoReleasePool inner;
    inner.keep(std::make_shared<Tracked>(&deaths));
  }
  EXPECT_EQ(deaths, 0);
  EXPECT_EQ(platform::AutoreleasePool::pendingCount(), 1u);
}

TEST(FailureContainment, RepeatUntilCleanLogsOneLinePerFailedRun) {
  base::LogCapture log;
  int runs = 0;
  shell::repeatUntilClean(kLine, [&] {
    if (++runs < 3) throw platform::Exception("NSGenericException", "run " + std::to_string(runs));
  });
  EXPECT_EQ(runs, 3);
  EXPECT_EQ(
      log.lines(),
      (std::vector<std::string>{
          "exeception invalidateFirstExportTotals Exception: NSGenericException Reason: run 1",
          "exeception invalidateFirstExportTotals Exception: NSGenericException Reason: run 2"}));
}

TEST(FailureContainment, OtherThrownObjectsPassThroughUnchanged) {
  base::LogCapture log;
  int runs = 0;
  EXPECT_THROW(shell::repeatUntilClean(kLine,
                                       [&] {
                                         ++runs;
                                         throw std::logic_error("not ours");
                                       }),
               std::logic_error);
  EXPECT_EQ(runs, 1);
  EXPECT_THROW(shell::logAndContinue(kLine, [] { throw 42; }), int);
  EXPECT_TRUE(log.lines().empty());
}

TEST(FailureContainment, LogAndContinueSwallowsOnce) {
  base::LogCapture log;
  int runs = 0;
  EXPECT_FALSE(shell::logAndContinue("exception deleteList Exception: %@ Reason: %@", [&] {
    ++runs;
    throw platform::Exception("Name", "Why");
  }));
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{"exception deleteList Exception: Name Reason: Why"});
}
