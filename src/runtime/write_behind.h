// Writing behind reading: a small ring of large buffers and one writer thread that writes them out in the order
// they were filled, while the caller fills the next one. A long copy (a disc read into an image) keeps its source
// busy without a thread per block and without waiting for each write.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class CWriteBehind {
 public:
  // Writes one filled buffer on the writer thread: the buffer, the position and count it was handed over with;
  // false stops the writing (later buffers are dropped unwritten).
  using WriteFn = std::function<bool(const uint8_t* data, int64_t position, int64_t count)>;

  // `buffers` of `bytes` each (at least 2, so that one fills while another is written).
  CWriteBehind(int buffers, size_t bytes, WriteFn write);
  // Writes what was handed over, then ends the thread.
  ~CWriteBehind();
  CWriteBehind(const CWriteBehind&) = delete;
  CWriteBehind& operator=(const CWriteBehind&) = delete;

  // The buffer to fill next: waits until one is free. Null once a write has failed, with errno set to what the
  // failed write left in it on the writer thread (so that the caller's message can name the reason).
  uint8_t* Next();
  // Hands the buffer from Next() to the writer with its position and count. Without a writer thread (none could
  // be started) the buffer is written here and now.
  void Submit(int64_t position, int64_t count);
  // Waits until every handed-over buffer is written: false when a write failed, with errno set as for Next.
  bool Drain();
  // The counts of the buffers written since the last call, added up.
  int64_t TakeWritten();
  size_t bytes() const { return bytes_; }

 private:
  struct Slot {
    std::vector<uint8_t> data;
    int64_t position = 0;
    int64_t count = 0;
  };
  void Run();
  // Writes the oldest buffer not yet finished; called with the lock held, which it lets go while writing.
  void WriteOldest(std::unique_lock<std::mutex>& lock);

  std::vector<Slot> slots_;
  size_t bytes_;
  WriteFn write_;
  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t submitted_ = 0;  // buffers handed over so far
  uint64_t finished_ = 0;   // of those, written (or dropped after a failure)
  int64_t writtenCount_ = 0;
  bool failed_ = false;
  int error_ = 0;  // errno after the failed write
  bool stopping_ = false;
  std::thread thread_;
};
