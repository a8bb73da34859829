#include "runtime/write_behind.h"

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

CWriteBehind::CWriteBehind(int buffers, size_t bytes, WriteFn write)
    : slots_(static_cast<size_t>(std::max(2, buffers))), bytes_(bytes), write_(std::move(write)) {
  for (Slot& slot : slots_) slot.data.resize(bytes);
  try {
    thread_ = std::thread(&CWriteBehind::Run, this);
  } catch (const std::system_error&) {
    // No thread: Submit writes each buffer itself.
  }
}

CWriteBehind::~CWriteBehind() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

uint8_t* CWriteBehind::Next() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return failed_ || submitted_ - finished_ < slots_.size(); });
  if (failed_) {
    errno = error_;
    return nullptr;
  }
  return slots_[submitted_ % slots_.size()].data.data();
}

void CWriteBehind::Submit(int64_t position, int64_t count) {
  std::unique_lock<std::mutex> lock(mutex_);
  Slot& slot = slots_[submitted_ % slots_.size()];
  slot.position = position;
  slot.count = count;
  ++submitted_;
  if (!thread_.joinable()) {
    WriteOldest(lock);
    return;
  }
  lock.unlock();
  changed_.notify_all();
}

bool CWriteBehind::Drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return finished_ == submitted_; });
  if (failed_) errno = error_;
  return !failed_;
}

int64_t CWriteBehind::TakeWritten() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(writtenCount_, 0);
}

void CWriteBehind::WriteOldest(std::unique_lock<std::mutex>& lock) {
  Slot& slot = slots_[finished_ % slots_.size()];
  const bool skip = failed_;
  lock.unlock();
  errno = 0;
  const bool ok = skip || write_(slot.data.data(), slot.position, slot.count);
  const int error = errno;
  lock.lock();
  if (!ok) {
    failed_ = true;
    error_ = error;
  }
  if (ok && !skip) writtenCount_ += slot.count;
  ++finished_;
}

void CWriteBehind::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stopping_ || finished_ < submitted_; });
    if (finished_ == submitted_) return;  // stopping, with nothing left to write
    WriteOldest(lock);
    changed_.notify_all();
  }
}
