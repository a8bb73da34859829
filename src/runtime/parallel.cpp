#include "runtime/parallel.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Worker threads started on first use and kept for the life of the process, so that a job costs two wake-ups
// instead of a thread start per core. One job runs at a time; the caller takes a share of it too.
class WorkerPool {
 public:
  WorkerPool() {
    int64_t cores = std::max<int64_t>(1, std::min<int64_t>(16, std::thread::hardware_concurrency()));
    for (int64_t i = 1; i < cores; ++i) {
      try {
        std::thread(&WorkerPool::Work, this).detach();
        ++workers_;
      } catch (...) {
        break;  // fewer workers, or none: the caller does the rest
      }
    }
  }

  int64_t Workers() const { return workers_; }

  // Runs body over `slices` slices of [0, count): the caller and the workers take slices until none is left.
  void Run(int64_t count, int64_t slices, const std::function<void(int64_t, int64_t)>& body) {
    std::lock_guard<std::mutex> serial(runMutex_);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      body_ = &body;
      count_ = count;
      slices_ = slices;
      next_.store(0);
      unfinished_ = slices;
      ++generation_;
    }
    wake_.notify_all();
    TakeSlices();
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return unfinished_ == 0; });
    body_ = nullptr;
  }

 private:
  void Work() {
    uint64_t seen = 0;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return generation_ != seen && body_ != nullptr; });
        seen = generation_;
      }
      TakeSlices();
    }
  }

  void TakeSlices() {
    for (;;) {
      int64_t slice = next_.fetch_add(1);
      if (slice >= slices_) return;
      const int64_t size = (count_ + slices_ - 1) / slices_;
      const int64_t begin = slice * size, end = std::min(count_, begin + size);
      if (begin < end) (*body_)(begin, end);
      std::lock_guard<std::mutex> lock(mutex_);
      if (--unfinished_ == 0) done_.notify_all();
    }
  }

  std::mutex runMutex_;
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  const std::function<void(int64_t, int64_t)>* body_ = nullptr;
  int64_t count_ = 0;
  int64_t slices_ = 0;
  std::atomic<int64_t> next_{0};
  int64_t unfinished_ = 0;
  uint64_t generation_ = 0;
  int64_t workers_ = 0;
};

WorkerPool& Pool() {
  // Never destroyed: its threads run until the process ends.
  static WorkerPool* pool = new WorkerPool();
  return *pool;
}

}  // namespace

void ParallelFor(int64_t count, int64_t minPerThread, const std::function<void(int64_t, int64_t)>& body) {
  if (count <= 0) return;
  const int64_t most = count / std::max<int64_t>(1, minPerThread);
  if (most < 2) {
    body(0, count);
    return;
  }
  WorkerPool& pool = Pool();
  const int64_t slices = std::min(pool.Workers() + 1, most);
  if (slices < 2) {
    body(0, count);
    return;
  }
  pool.Run(count, slices, body);
}
