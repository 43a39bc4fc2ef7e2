#include "compat/export/BackgroundRun.h"

#include <thread>

namespace exporter {

void BackgroundRun::start(std::function<void()> work) {
  auto finished = std::make_shared<std::atomic<bool>>(false);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = finished;
  }
  std::thread([work = std::move(work), finished] {
    work();
    finished->store(true);
    finished->notify_all();
  }).detach();
}

bool BackgroundRun::isRunning() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return finished_ && !finished_->load();
}

void BackgroundRun::waitUntilFinished() const {
  std::shared_ptr<std::atomic<bool>> finished;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finished = finished_;
  }
  if (finished) finished->wait(false);
}

}  // namespace exporter
