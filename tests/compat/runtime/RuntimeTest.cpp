// The run loop, the pools of deferred releases, the shared map's walks
// and the log sink.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "base/Log.h"
#include "compat/runtime/AutoreleasePool.h"
#include "compat/runtime/Exception.h"
#include "compat/runtime/RunLoop.h"
#include "compat/runtime/WalkableMap.h"

using namespace std::chrono_literals;
using platform::MainRunLoop;

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

TEST(WalkableMap, ValueWalksSeeEveryChangeAndKeepNothingAlive) {
  platform::WalkableMap<std::shared_ptr<int>> map(4, "testMap");
  std::weak_ptr<int> watched;
  {
    auto value = std::make_shared<int>(1);
    watched = value;
    map.set("a", value);
  }
  map.set("b", std::make_shared<int>(2));
  auto sum = [&] {
    int total = 0;
    map.forEachValue([&](const std::shared_ptr<int>& v) { total += *v; });
    return total;
  };
  EXPECT_EQ(sum(), 3);
  EXPECT_EQ(sum(), 3);  // an unchanged map walks the same values again
  map.set("b", std::make_shared<int>(20));
  EXPECT_EQ(sum(), 21);
  map.eraseIf("a", [](const std::shared_ptr<int>&) { return true; });
  EXPECT_TRUE(watched.expired()) << "a walked-over value outlived its removal";
  EXPECT_EQ(sum(), 20);
  bool created = false;
  map.getOrInsert(
      "c", [] { return std::make_shared<int>(300); }, &created);
  EXPECT_EQ(sum(), 320);
  std::weak_ptr<int> last = *map.get("c");
  map.clear();
  EXPECT_TRUE(last.expired());
  EXPECT_EQ(sum(), 0);
}

TEST(WalkableMap, ValueWalkDisturbedByAChangeThrowsAndTheNextWalkSeesIt) {
  platform::WalkableMap<int> map(4, "testMap");
  for (int i = 0; i < 5; ++i) map.set("k" + std::to_string(i), i);
  map.forEachValue([](int) {});  // a kept snapshot of five values
  EXPECT_THROW(map.forEachValue([&](int) { map.set("new", 100); }), platform::Exception);
  int total = 0, visited = 0;
  EXPECT_NO_THROW(map.forEachValue([&](int v) {
    total += v;
    ++visited;
  }));
  EXPECT_EQ(visited, 6);
  EXPECT_EQ(total, 110);
}

TEST(WalkableMapThreaded, ValueWalksRunAlongsideChanges) {
  platform::WalkableMap<std::shared_ptr<int>> map(64, "testMap");
  for (int i = 0; i < 64; ++i) map.set("k" + std::to_string(i), std::make_shared<int>(1));
  std::atomic<bool> stop{false};
  std::atomic<int> clean{0};
  std::vector<std::thread> walkers;
  for (int w = 0; w < 3; ++w) {
    walkers.emplace_back([&] {
      while (!stop.load()) {
        int total = 0;
        try {
          map.forEachValue([&](const std::shared_ptr<int>& v) { total += *v; });
        } catch (const platform::Exception&) {
          continue;
        }
        EXPECT_GE(total, 64);
        clean.fetch_add(1);
      }
    });
  }
  for (int i = 0; i < 2000; ++i) {
    map.set("k" + std::to_string(i % 80), std::make_shared<int>(1));
    if (i % 7 == 0)
      map.eraseIf("k" + std::to_string(64 + i % 16), [](const auto&) { return true; });
  }
  while (clean.load() < 3) std::this_thread::yield();
  stop = true;
  for (auto& w : walkers) w.join();
  int total = 0;
  map.forEachValue([&](const std::shared_ptr<int>& v) { total += *v; });
  EXPECT_EQ(static_cast<size_t>(total), map.size());
}

TEST(Log, CaptureRecordsExactLinesAndNests) {
  base::LogCapture outer;
  {
    base::LogCapture inner;
    base::logFormat("%@ is %llu", "total", uint64_t{7});
    EXPECT_EQ(inner.lines(), std::vector<std::string>{"total is 7"});
  }
  base::logLine("100% literal");
  EXPECT_EQ(outer.lines(), std::vector<std::string>{"100% literal"});
}
