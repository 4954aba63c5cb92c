// Work handed to the one worker pool (oneTBB). Every parallel section of the
// engine goes through these wrappers.
//
// oneTBB's runtime library is not built with the thread sanitizer, so when a
// worker's results pass back to the thread that waited for them, the
// hand-off happens inside the library where the sanitizer cannot see it, and
// the waiter's first read of a result is reported as a race. Each task here
// ends with a release on a counter that the waiter reads with acquire after
// the join: the ordering the library already gives, stated where the
// sanitizer sees it. It costs one atomic add per task.
#pragma once

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_invoke.h>
#include <oneapi/tbb/task_group.h>

#include <atomic>
#include <cstddef>
#include <utility>

namespace kelpo {

class PoolJoin {
 public:
  void finished() { done_.fetch_add(1, std::memory_order_release); }
  void joined() const { (void)done_.load(std::memory_order_acquire); }

 private:
  std::atomic<size_t> done_{0};
};

// body(i) for every i in [0, count), on the pool.
template <class F>
void pool_for(size_t count, F&& body) {
  PoolJoin join;
  oneapi::tbb::parallel_for(size_t{0}, count, [&](size_t i) {
    body(i);
    join.finished();
  });
  join.joined();
}

// body(begin, end) over pieces of [0, count) of at least `grain` rows each.
template <class F>
void pool_for_ranges(size_t count, size_t grain, F&& body) {
  PoolJoin join;
  oneapi::tbb::parallel_for(oneapi::tbb::blocked_range<size_t>(0, count, grain),
                            [&](const oneapi::tbb::blocked_range<size_t>& r) {
                              body(r.begin(), r.end());
                              join.finished();
                            });
  join.joined();
}

// Runs every function given, on the pool, and returns when all have.
template <class... F>
void pool_invoke(F&&... tasks) {
  PoolJoin join;
  oneapi::tbb::parallel_invoke([&] {
    tasks();
    join.finished();
  }...);
  join.joined();
}

// One piece of work run beside the caller's own until wait().
class BesideTask {
 public:
  BesideTask() = default;
  BesideTask(const BesideTask&) = delete;
  BesideTask& operator=(const BesideTask&) = delete;
  ~BesideTask() { wait(); }

  template <class F>
  void run(F&& task) {
    group_.run([this, task = std::forward<F>(task)]() {
      task();
      join_.finished();
    });
  }
  void wait() {
    group_.wait();
    join_.joined();
  }

 private:
  oneapi::tbb::task_group group_;
  PoolJoin join_;
};

}  // namespace kelpo
