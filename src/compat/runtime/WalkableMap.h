// A mutable map from text keys to values that several threads share, and
// whose whole-map walks notice concurrent change the way the platform's
// collections do: a walk that finds the map changed since it began
// throws platform::Exception ("NSGenericException", "... was mutated
// while being enumerated."). Callers contain that exception and walk
// again (compat/shell/FailureContainment.h).
//
// Thread: every member may be called from any thread. A walk visits a
// snapshot taken when it starts, outside the lock, so the visitor may
// call back into the map (which then makes the walk fail, as above).
// Ownership: values are copied in and out (use pointers for objects).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "compat/runtime/Exception.h"

namespace platform {

template <class V>
class WalkableMap {
 public:
  WalkableMap(size_t capacityHint, std::string name) : name_(std::move(name)) {
    map_.reserve(capacityHint);
  }

  std::optional<V> get(const std::string& key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = map_.find(key);
    if (it == map_.end()) return std::nullopt;
    return it->second;
  }

  // Values that leave the map are destroyed after the lock is let go, so
  // their destructors may use the map.
  void set(const std::string& key, V value) {
    std::shared_ptr<const std::vector<V>> kept;
    std::lock_guard<std::mutex> lock(mutex_);
    kept = std::move(values_);
    auto [it, inserted] = map_.try_emplace(key, value);
    if (!inserted) std::swap(it->second, value);
    mutations_.fetch_add(1, std::memory_order_acq_rel);
  }

  // Returns the value stored under `key`, creating it with make() first
  // when absent; `*created` tells which.
  template <class Make>
  V getOrInsert(const std::string& key, Make&& make, bool* created) {
    std::shared_ptr<const std::vector<V>> kept;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = map_.find(key);
    if (it != map_.end()) {
      *created = false;
      return it->second;
    }
    *created = true;
    kept = std::move(values_);
    V value = make();
    map_.emplace(key, value);
    mutations_.fetch_add(1, std::memory_order_acq_rel);
    return value;
  }

  // Removes the entry under `key` when pred(value) holds.
  template <class Pred>
  bool eraseIf(const std::string& key, Pred&& pred) {
    std::optional<V> removed;
    std::shared_ptr<const std::vector<V>> kept;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = map_.find(key);
    if (it == map_.end() || !pred(it->second)) return false;
    kept = std::move(values_);
    removed.emplace(std::move(it->second));
    map_.erase(it);
    mutations_.fetch_add(1, std::memory_order_acq_rel);
    return true;
  }

  void clear() {
    std::unordered_map<std::string, V> removed;
    std::shared_ptr<const std::vector<V>> kept;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      removed.swap(map_);
      kept = std::move(values_);
      mutations_.fetch_add(1, std::memory_order_acq_rel);
    }
  }

  size_t size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return map_.size();
  }

  std::vector<std::pair<std::string, V>> snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {map_.begin(), map_.end()};
  }

  std::vector<std::string> keys() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    out.reserve(map_.size());
    for (const auto& kv : map_) out.push_back(kv.first);
    return out;
  }

  // Visits every entry; throws platform::Exception when the map changes
  // while the walk is under way (checked before each entry and at the
  // end). The order is not defined.
  template <class Visit>
  void forEach(Visit&& visit) const {
    std::vector<std::pair<std::string, V>> entries;
    uint64_t start;
    std::function<void(const std::string&)> observer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      start = mutations_.load(std::memory_order_acquire);
      entries.assign(map_.begin(), map_.end());
      observer = observer_;
    }
    for (const auto& [key, value] : entries) {
      if (observer) observer(key);
      throwIfMutatedSince(start);
      visit(key, value);
    }
    throwIfMutatedSince(start);
  }

  // The same walk for visitors that need only the values. Their snapshot
  // is kept and shared by later walks until the map changes, so repeated
  // walks of an unchanged map copy nothing.
  template <class Visit>
  void forEachValue(Visit&& visit) const {
    std::shared_ptr<const std::vector<V>> values;
    std::shared_ptr<const std::vector<V>> stale;  // let go after the lock
    std::vector<const std::string*> keys;         // for the observer only
    uint64_t start;
    std::function<void(const std::string&)> observer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      start = mutations_.load(std::memory_order_acquire);
      observer = observer_;
      if (!values_ || valuesAt_ != start) {
        auto fresh = std::make_shared<std::vector<V>>();
        fresh->reserve(map_.size());
        for (const auto& kv : map_) fresh->push_back(kv.second);
        stale = std::move(values_);
        values_ = std::move(fresh);
        valuesAt_ = start;
      }
      values = values_;
      // The map is unchanged since the snapshot, so it visits in the same
      // order.
      if (observer) {
        for (const auto& kv : map_) keys.push_back(&kv.first);
      }
    }
    stale.reset();
    for (size_t i = 0; i < values->size(); ++i) {
      // A key is only read while the map is unchanged, so it still exists.
      if (observer) {
        throwIfMutatedSince(start);
        observer(std::string(*keys[i]));
      }
      throwIfMutatedSince(start);
      visit((*values)[i]);
    }
    throwIfMutatedSince(start);
  }

  // Tests only: called with each key just before a walk visits it, so a
  // test can change the map in the middle of a walk.
  void setWalkObserver(std::function<void(const std::string&)> observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    observer_ = std::move(observer);
  }

  const std::string& name() const { return name_; }

 private:
  void throwIfMutatedSince(uint64_t start) const {
    if (mutations_.load(std::memory_order_acquire) != start) {
      throw Exception(Exception::kGenericExceptionName,
                      "*** Collection <" + name_ + "> was mutated while being enumerated.");
    }
  }

  const std::string name_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, V> map_;
  std::atomic<uint64_t> mutations_{0};
  std::function<void(const std::string&)> observer_;
  // The values of the last value walk, taken at mutation count valuesAt_;
  // dropped at every change, so it never keeps a removed value alive.
  mutable std::shared_ptr<const std::vector<V>> values_;
  mutable uint64_t valuesAt_ = 0;
};

}  // namespace platform
