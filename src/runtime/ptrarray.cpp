#include "runtime/ptrarray.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

constinit CIsoPointerArray g_edcErrorList;
constinit CIsoPointerArray g_tempFileList;

CIsoPointerArray::~CIsoPointerArray() { std::free(items); }

void* CIsoPointerArray::GetAt(int32_t index) const {
  return index >= 0 && index < count ? items[index] : nullptr;
}

void* CIsoPointerArray::GetLast() const { return count > 0 ? items[count - 1] : nullptr; }

int CIsoPointerArray::Grow() {
  // Small arrays grow 20 entries at a time; large ones by half their size, so that building a long list costs
  // linear time rather than a copy of the whole list every 20 items.
  constexpr int64_t kMaxCapacity = INT32_MAX;
  const int64_t step = std::max<int64_t>(20, capacity / 2);
  const int64_t grown = std::min<int64_t>(capacity + step, kMaxCapacity);
  if (grown <= capacity) return 0;
  void* fresh = std::realloc(items, static_cast<size_t>(grown) * sizeof(void*));
  if (fresh == nullptr) return 0;
  items = static_cast<void**>(fresh);
  capacity = static_cast<int32_t>(grown);
  return 1;
}

int32_t CIsoPointerArray::Add(void* item) {
  if (count >= capacity && !Grow()) return -1;
  items[count++] = item;
  return count;
}

int32_t CIsoPointerArray::RemoveAt(int32_t index) {
  if (index < 0 || index >= count) return -1;
  std::memmove(items + index, items + index + 1, static_cast<size_t>(count - index - 1) * sizeof(void*));
  return --count;
}

int32_t CIsoPointerArray::RemoveLast() {
  if (count > 0) --count;
  return count;
}

int32_t CIsoPointerArray::Find(const void* item) const {
  for (int32_t i = 0; i < count; ++i) {
    if (items[i] == item) return i;
  }
  return -1;
}

void CIsoPointerArray::RemoveValue(const void* item) {
  // One pass that keeps the order of the rest, instead of closing a gap for every match.
  void** end = std::remove(items, items + count, item);
  count = static_cast<int32_t>(end - items);
}

int32_t CIsoPointerArray::InsertAt(int32_t index, void* item) {
  if (index < 0 || index > count) return -1;
  if (count >= capacity && !Grow()) return -1;
  std::memmove(items + index + 1, items + index, static_cast<size_t>(count - index) * sizeof(void*));
  items[index] = item;
  return ++count;
}

int32_t CIsoPointerArray::SetAt(int32_t index, void* item) {
  if (index < 0 || index >= count) return -1;
  items[index] = item;
  return count;
}
