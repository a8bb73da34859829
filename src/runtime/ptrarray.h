// CIsoPointerArray: the system's growable array of untyped pointers, and the process-wide lists kept in one:
// the extraction selection, the sectors that failed their EDC check and the temporary files created.
//
// The array does not own what its items point to. Index arguments outside the array are refused with -1 (or
// null), never used.
#pragma once

#include <cstdint>

class CIsoPointerArray {
 public:
  constexpr CIsoPointerArray() = default;
  CIsoPointerArray(const CIsoPointerArray&) = delete;
  CIsoPointerArray& operator=(const CIsoPointerArray&) = delete;
  // Releases the items array; the pointed-to objects are left alone.
  virtual ~CIsoPointerArray();

  // The item, or null when the index is outside 0..count - 1.
  void* GetAt(int32_t index) const;
  // The last item, or null when empty.
  void* GetLast() const;
  int32_t GetCount() const { return count; }
  // Forgets every item; the items array is kept for reuse.
  void RemoveAll() { count = 0; }
  // Enlarges the items array (by 20 entries at first, then by half the capacity); 1 on success, 0 when memory
  // runs out (the array is then unchanged).
  int Grow();
  // Appends; the new count, or -1 when memory runs out.
  int32_t Add(void* item);
  // Removes the item at `index`, closing the gap; the new count, or -1 for an index outside 0..count - 1.
  int32_t RemoveAt(int32_t index);
  // Drops the last item, if any; the new count.
  int32_t RemoveLast();
  // Index of the first item equal to `item`, or -1.
  int32_t Find(const void* item) const;
  // Removes every item equal to `item`, keeping the order of the rest.
  void RemoveValue(const void* item);
  // Inserts before `index` (at count: appends); the new count, or -1 for an index below 0 or above count, or
  // when memory runs out.
  int32_t InsertAt(int32_t index, void* item);
  // Replaces the item at `index`; the count, or -1 for an index outside 0..count - 1.
  int32_t SetAt(int32_t index, void* item);

  // The items themselves (count of them), e.g. for sorting in place.
  void** GetData() { return items; }
  int32_t GetCapacity() const { return capacity; }

 protected:
  void** items = nullptr;
  int32_t count = 0;
  int32_t capacity = 0;
};

// Heap int32 sector numbers whose EDC check failed.
extern constinit CIsoPointerArray g_edcErrorList;
// The temporary files created, to be removed by their owner.
extern constinit CIsoPointerArray g_tempFileList;
