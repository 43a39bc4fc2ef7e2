// The run loop, the pools of deferred releases, the shared map's walks
// and the log sink.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/AutoreleasePool.h"
#include "platform/Exception.h"
#include "platform/Log.h"
#include "platform/RunLoop.h"
#include "platform/WalkableMap.h"

using namespace std::chrono_literals;
using platform::MainRunLoop;

TEST(RunLoopThreaded, CallsRunInTheOrderSentAndOnlyWhenPumped) {
  auto& loop = MainRunLoop::shared();
  std::vector<int> order;
  std::thread sender([&] {
    for (int i = 0; i < 50; ++i) loop.performAsync([&order, i] { order.push_back(i); });
  });
  sender.join();
  EXPECT_TRUE(order.empty());
  EXPECT_EQ(loop.runPending(), 50u);
  ASSERT_EQ(order.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
}

TEST(RunLoopThreaded, WaitingCallReturnsAfterTheMainThreadRanIt) {
  auto& loop = MainRunLoop::shared();
  std::atomic<bool> ran{false}, returned{false};
  std::thread worker([&] {
    loop.performAndWait([&] {
      EXPECT_TRUE(loop.isMainThread());
      ran = true;
    });
    returned = true;
  });
  EXPECT_TRUE(loop.runUntil([&] { return returned.load(); }, 5s));
  worker.join();
  EXPECT_TRUE(ran);
}

TEST(RunLoopThreaded, WaitingCallPassesItsExceptionBack) {
  auto& loop = MainRunLoop::shared();
  std::atomic<bool> caught{false};
  std::thread worker([&] {
    try {
      loop.performAndWait([] { throw platform::Exception("N", "R"); });
    } catch (const platform::Exception& e) {
      caught = e.reason() == "R";
    }
  });
  loop.runUntil([&] { return caught.load(); }, 5s);
  worker.join();
  EXPECT_TRUE(caught);
}

TEST(RunLoop, WaitingCallFromTheMainThreadRunsInline) {
  bool ran = false;
  MainRunLoop::shared().performAndWait([&] { ran = true; });
  EXPECT_TRUE(ran);
}

TEST(RunLoop, RunUntilGivesUpAtTheTimeout) {
  EXPECT_FALSE(MainRunLoop::shared().runUntil([] { return false; }, 30ms, 5ms));
}

namespace {
struct Tracked {
  explicit Tracked(int* deaths) : deaths_(deaths) {}
  ~Tracked() { ++*deaths_; }
  int* deaths_;
};
}  // namespace

TEST(AutoreleasePool, ReleasesAtPopAndNests) {
  using platform::AutoreleasePool;
  int deaths = 0;
  AutoreleasePool::push();
  AutoreleasePool::autoreleased(std::make_shared<Tracked>(&deaths));
  AutoreleasePool::push();
  AutoreleasePool::autoreleased(std::make_shared<Tracked>(&deaths));
  AutoreleasePool::pop();
  EXPECT_EQ(deaths, 1);
  AutoreleasePool::pop();
  EXPECT_EQ(deaths, 2);
}

TEST(AutoreleasePool, WithoutAPoolNothingIsKept) {
  int deaths = 0;
  ASSERT_EQ(platform::AutoreleasePool::depth(), 0u);
  { platform::AutoreleasePool::autoreleased(std::make_shared<Tracked>(&deaths)); }
  EXPECT_EQ(deaths, 1);
}

TEST(WalkableMap, WalkNoticesAChangeMadeWhileItRuns) {
  platform::WalkableMap<int> map(4, "testMap");
  for (int i = 0; i < 5; ++i) map.set("k" + std::to_string(i), i);
  int visited = 0;
  EXPECT_NO_THROW(map.forEach([&](const std::string&, int) { ++visited; }));
  EXPECT_EQ(visited, 5);
  try {
    map.forEach([&](const std::string&, int) { map.set("new", 1); });
    FAIL() << "a mutated walk must throw";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), "NSGenericException");
    EXPECT_EQ(e.reason(), "*** Collection <testMap> was mutated while being enumerated.");
  }
}

TEST(Log, CaptureRecordsExactLinesAndNests) {
  platform::LogCapture outer;
  {
    platform::LogCapture inner;
    platform::logFormat("%@ is %llu", "total", uint64_t{7});
    EXPECT_EQ(inner.lines(), std::vector<std::string>{"total is 7"});
  }
  platform::logLine("100% literal");
  EXPECT_EQ(outer.lines(), std::vector<std::string>{"100% literal"});
}
