#include <gtest/gtest.h>

#include <vector>

#include "runtime/ptrarray.h"

namespace {

// Distinct fake pointers: the array never dereferences its items.
void* P(intptr_t n) { return reinterpret_cast<void*>(n * 16); }

std::vector<void*> Items(const CIsoPointerArray& a) {
  std::vector<void*> v;
  for (int32_t i = 0; i < a.GetCount(); ++i) v.push_back(a.GetAt(i));
  return v;
}

TEST(PtrArray, EmptyArrayAndBounds) {
  CIsoPointerArray a;
  EXPECT_EQ(a.GetCount(), 0);
  EXPECT_EQ(a.GetLast(), nullptr);
  EXPECT_EQ(a.GetAt(0), nullptr);
  EXPECT_EQ(a.RemoveLast(), 0);
  EXPECT_EQ(a.RemoveAt(0), -1);
  EXPECT_EQ(a.SetAt(0, P(1)), -1);
  EXPECT_EQ(a.Find(P(1)), -1);

  EXPECT_EQ(a.Add(P(1)), 1);
  EXPECT_EQ(a.Add(P(2)), 2);
  EXPECT_EQ(a.GetAt(a.GetCount()), nullptr);
  EXPECT_EQ(a.GetAt(-1), nullptr);
  EXPECT_EQ(a.GetLast(), P(2));
  EXPECT_EQ(a.RemoveAt(2), -1);
  EXPECT_EQ(a.RemoveAt(-1), -1);
  EXPECT_EQ(Items(a), (std::vector<void*>{P(1), P(2)}));
}

TEST(PtrArray, GrowsTwentyAtFirst) {
  CIsoPointerArray a;
  for (int i = 0; i < 20; ++i) a.Add(P(i + 1));
  EXPECT_EQ(a.GetCapacity(), 20);
  EXPECT_EQ(a.Add(P(21)), 21);
  EXPECT_EQ(a.GetCapacity(), 40);
  for (int i = 0; i < 21; ++i) EXPECT_EQ(a.GetAt(i), P(i + 1));
}

TEST(PtrArray, LongListKeepsEveryItemInOrder) {
  CIsoPointerArray a;
  constexpr int kItems = 200000;
  for (int i = 0; i < kItems; ++i) ASSERT_EQ(a.Add(P(i + 1)), i + 1);
  for (int i = 0; i < kItems; i += 997) ASSERT_EQ(a.GetAt(i), P(i + 1));
  EXPECT_EQ(a.GetLast(), P(kItems));
  a.RemoveAll();
  EXPECT_EQ(a.GetCount(), 0);
  EXPECT_GE(a.GetCapacity(), kItems);  // the items array is kept
}

TEST(PtrArray, RemoveValueAllOccurrencesKeepsOrder) {
  CIsoPointerArray a;
  for (int v : {7, 1, 7, 2, 3, 7, 4}) a.Add(P(v));
  a.RemoveValue(P(7));
  EXPECT_EQ(Items(a), (std::vector<void*>{P(1), P(2), P(3), P(4)}));
  a.RemoveValue(P(9));
  EXPECT_EQ(a.GetCount(), 4);
}

TEST(PtrArray, InsertRemoveAndSet) {
  CIsoPointerArray a;
  EXPECT_EQ(a.InsertAt(1, P(1)), -1);  // past the end of an empty array
  EXPECT_EQ(a.InsertAt(0, P(2)), 1);
  EXPECT_EQ(a.InsertAt(0, P(1)), 2);
  EXPECT_EQ(a.InsertAt(2, P(4)), 3);  // at count: appends
  EXPECT_EQ(a.InsertAt(2, P(3)), 4);
  EXPECT_EQ(a.InsertAt(5, P(9)), -1);
  EXPECT_EQ(a.InsertAt(-1, P(9)), -1);
  EXPECT_EQ(Items(a), (std::vector<void*>{P(1), P(2), P(3), P(4)}));

  EXPECT_EQ(a.RemoveAt(1), 3);
  EXPECT_EQ(Items(a), (std::vector<void*>{P(1), P(3), P(4)}));
  EXPECT_EQ(a.SetAt(2, P(5)), 3);
  EXPECT_EQ(a.Find(P(5)), 2);
  EXPECT_EQ(a.RemoveLast(), 2);
  EXPECT_EQ(Items(a), (std::vector<void*>{P(1), P(3)}));

  // Inserting into a full array grows it and shifts the tail.
  CIsoPointerArray full;
  for (int i = 0; i < 20; ++i) full.Add(P(i + 1));
  EXPECT_EQ(full.InsertAt(0, P(100)), 21);
  EXPECT_EQ(full.GetAt(0), P(100));
  EXPECT_EQ(full.GetAt(20), P(20));
}

}  // namespace
