#include "runtime/parallel.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// One job: the body and how [0, count) is cut into slices. `generation` tells jobs apart.
struct Job {
  const std::function<void(int64_t, int64_t)>* body = nullptr;
  int64_t count = 0;
  int64_t slices = 0;
  uint32_t generation = 0;
};

// Worker threads started on first use and kept for the life of the process, so that a job costs a wake-up
// instead of a thread start per core. One job runs at a time; the caller takes slices of it too. A slice is
// claimed through one ticket that carries the job's generation, so a worker that wakes late can never take a
// slice of a job that is over.
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

  void Run(int64_t count, int64_t slices, const std::function<void(int64_t, int64_t)>& body) {
    std::lock_guard<std::mutex> serial(runMutex_);
    Job job;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      job = {&body, count, slices, ++generation_};
      job_ = job;
      unfinished_ = slices;
      ticket_.store(static_cast<uint64_t>(job.generation) << 32);
    }
    wake_.notify_all();
    TakeSlices(job);
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return unfinished_ == 0; });
    job_.body = nullptr;
  }

 private:
  void Work() {
    uint32_t seen = 0;
    for (;;) {
      Job job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return job_.body != nullptr && job_.generation != seen; });
        job = job_;
        seen = job.generation;
      }
      TakeSlices(job);
    }
  }

  void TakeSlices(const Job& job) {
    const int64_t size = (job.count + job.slices - 1) / job.slices;
    for (;;) {
      uint64_t ticket = ticket_.load();
      if ((ticket >> 32) != job.generation) return;
      const int64_t slice = static_cast<int64_t>(ticket & 0xFFFFFFFFu);
      if (slice >= job.slices) return;
      if (!ticket_.compare_exchange_weak(ticket, ticket + 1)) continue;
      const int64_t begin = slice * size, end = std::min(job.count, begin + size);
      if (begin < end) (*job.body)(begin, end);
      std::lock_guard<std::mutex> lock(mutex_);
      if (--unfinished_ == 0) done_.notify_all();
    }
  }

  std::mutex runMutex_;
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  Job job_;
  std::atomic<uint64_t> ticket_{0};
  int64_t unfinished_ = 0;
  uint32_t generation_ = 0;
  int64_t workers_ = 0;
};

WorkerPool& Pool() {
  // Never destroyed: its threads run until the process ends.
  static WorkerPool* pool = new WorkerPool();
  return *pool;
}

}  // namespace

constexpr int64_t kSlicesPerThread = 4;

void ParallelFor(int64_t count, int64_t minPerThread, const std::function<void(int64_t, int64_t)>& body) {
  if (count <= 0) return;
  const int64_t most = count / std::max<int64_t>(1, minPerThread);
  if (most < 2) {
    body(0, count);
    return;
  }
  WorkerPool& pool = Pool();
  // A few slices a thread: the threads that run take more of them, so one that is held up (a loaded machine
  // gives its core to others) keeps back a small part of the job instead of its whole share.
  const int64_t slices = std::min({(pool.Workers() + 1) * kSlicesPerThread, most, int64_t{0xFFFFFFF}});
  if (slices < 2) {
    body(0, count);
    return;
  }
  pool.Run(count, slices, body);
}
