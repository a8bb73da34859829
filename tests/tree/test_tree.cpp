#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "image/document.h"
#include "image/tracktable.h"
#include "runtime/memory.h"
#include "runtime/paths.h"
#include "runtime/textconv.h"
#include "session/document.h"
#include "tree/iso_helpers.h"
#include "tree/tree.h"

namespace {

// A new document (it starts with an empty root folder); closing it frees the whole tree.
class TreeDoc {
 public:
  TreeDoc() : doc_(ImageNew()) {}
  ~TreeDoc() { ImageClose(doc_); }
  TreeDoc(const TreeDoc&) = delete;
  TreeDoc& operator=(const TreeDoc&) = delete;

  CImageDocument* doc() const { return doc_; }
  CTreeFolder* root() const { return doc_->rootFolder; }

  CTreeEntry* AddFile(CTreeFolder* folder, const wchar_t* name, int64_t size = 0) {
    CTreeEntry* entry = TreeNewEntry();
    entry->name = WstrDupChars(name);
    entry->size = size;
    TreeFolderPrependEntry(folder, entry);
    return entry;
  }
  CTreeFolder* AddDir(CTreeFolder* parent, const wchar_t* name) {
    return TreeAddFolderNode(doc_, parent, name)->folder;
  }

 private:
  CImageDocument* doc_;
};

std::wstring Take(wchar_t* text) {
  std::wstring result = text != nullptr ? text : L"<null>";
  MemFree(text);
  return result;
}

TEST(TreeLookup, SmallFolderIgnoresCase) {
  TreeDoc t;
  for (int i = 0; i < 9; ++i) t.AddFile(t.root(), (L"file" + std::to_wstring(i)).c_str());
  CTreeEntry* readme = t.AddFile(t.root(), L"readme.txt");
  EXPECT_EQ(TreeFolderFindEntry(t.root(), L"README.TXT"), readme);
  EXPECT_EQ(TreeFolderFindEntry(t.root(), L"missing"), nullptr);
  EXPECT_EQ(t.root()->wideIndex, nullptr);  // small folders get no index
  EXPECT_EQ(TreeFindChildEntry(t.root(), L"ReadMe.Txt"), readme);
}

TEST(TreeLookup, LargeFolderBecomesExactPastTheLinearLimit) {
  TreeDoc t;
  // Entries are prepended, so the first one added ends the list, far past the first 1,001.
  CTreeEntry* readme = t.AddFile(t.root(), L"readme.txt");
  CTreeEntry* head = nullptr;
  for (int i = 0; i < 1999; ++i) head = t.AddFile(t.root(), (L"file" + std::to_wstring(i)).c_str());
  EXPECT_EQ(TreeFolderFindEntry(t.root(), L"README.TXT"), nullptr);
  ASSERT_NE(t.root()->wideIndex, nullptr);
  EXPECT_EQ(TreeFolderFindEntry(t.root(), L"readme.txt"), readme);
  // From now on even the head of the list is found only by its exact name.
  EXPECT_EQ(TreeFolderFindEntry(t.root(), L"FILE1998"), nullptr);
  EXPECT_EQ(TreeFolderFindEntry(t.root(), L"file1998"), head);

  // The index follows additions and deletions.
  CTreeEntry* late = t.AddFile(t.root(), L"late.bin");
  EXPECT_EQ(TreeFolderFindEntry(t.root(), L"late.bin"), late);
  EXPECT_EQ(TreeDeleteEntry(t.doc(), late), t.root()->firstEntry);
  EXPECT_EQ(TreeFolderFindEntry(t.root(), L"late.bin"), nullptr);
  TreeDeleteEntry(t.doc(), readme);
  EXPECT_EQ(TreeFolderFindEntry(t.root(), L"readme.txt"), nullptr);

  TreeFreeEntryIndex(t.doc(), t.root());
  EXPECT_EQ(t.root()->wideIndex, nullptr);
}

class TreePathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    a = t.AddDir(t.root(), L"a");
    b = t.AddDir(a, L"b");
    file = t.AddFile(a, L"file.txt", 10);
  }
  TreeDoc t;
  CTreeFolder* a = nullptr;
  CTreeFolder* b = nullptr;
  CTreeEntry* file = nullptr;
};

TEST_F(TreePathTest, FindFolderByPath) {
  const struct {
    const wchar_t* path;
    CTreeFolder* expected;
  } cases[] = {
      {L"/", t.root()}, {L"a/b", b},     {L"/a/b", b},      {L"A/B", b},       {L"a", a},
      {L"a/b/", nullptr}, {L"", nullptr}, {L"a/x", nullptr}, {L"a//b", nullptr}, {L"a/file.txt", nullptr},
  };
  for (const auto& c : cases) EXPECT_EQ(TreeFindFolderByPath(t.doc(), nullptr, c.path), c.expected) << c.path;
  EXPECT_EQ(TreeFindFolderByPath(t.doc(), a, L"b"), b);
}

TEST_F(TreePathTest, FindEntryByPath) {
  const struct {
    const wchar_t* path;
    CTreeEntry* expected;
  } cases[] = {
      {L"/", t.doc()->rootEntry},
      {L"a/file.txt", file},
      {L"/A/FILE.TXT", file},
      {L"a/", a->entry},
      {L"a/b", b->entry},
      {L"a/missing", nullptr},
      {L"a/file.txt/x", nullptr},  // a file has nothing below it
      {L"", nullptr},
  };
  for (const auto& c : cases) EXPECT_EQ(TreeFindEntryByPath(t.doc(), nullptr, c.path), c.expected) << c.path;
}

TEST_F(TreePathTest, BuildPaths) {
  EXPECT_EQ(Take(TreeBuildEntryPath(t.doc(), b, nullptr, 0)), L"/a/b");
  EXPECT_EQ(Take(TreeBuildEntryPath(t.doc(), t.root(), nullptr, 0)), L"/");
  EXPECT_EQ(Take(TreeBuildEntryPath(t.doc(), b, a, 0)), L"/b");
  EXPECT_EQ(Take(TreeBuildEntryPath(t.doc(), a, b, 0)), L"<null>");  // not below the top
  EXPECT_EQ(Take(TreeGetNodeFullPath(t.doc(), file)), L"/a/file.txt");
  EXPECT_EQ(Take(TreeGetNodeFullPath(t.doc(), t.AddFile(t.root(), L"top\\x"))), L"/top/x");

  // The room asked for is there (the sanitizer checks the writes).
  wchar_t* path = TreeBuildEntryPath(t.doc(), b, nullptr, 10);
  std::wcscat(path, L"/012345678");
  EXPECT_STREQ(path, L"/a/b/012345678");
  MemFree(path);

  // Names from an image are made safe for local folders.
  CTreeFolder* odd = t.AddDir(t.AddDir(b, L"x:y*<z>"), L"..");
  EXPECT_EQ(Take(TreeGetNodeRelativePath(t.doc(), odd, nullptr, 0)), L"/a/b/x_y__z_/__");
  EXPECT_EQ(Take(TreeGetNodeRelativePath(t.doc(), t.AddDir(t.root(), L"."), nullptr, 0)), L"/_");
}

TEST_F(TreePathTest, WalkFolderPathCreatesMissingFolders) {
  t.doc()->fixedTime = 1709647629;
  CTreeFolder* deeper = TreeWalkFolderPath(t.doc(), L"A/new/deeper");
  ASSERT_NE(deeper, nullptr);
  EXPECT_EQ(deeper->parent->parent, a);  // "A" matched the existing "a"
  EXPECT_EQ(deeper->depth, 3);
  EXPECT_EQ(TreeWalkFolderPath(t.doc(), L"/a/new/deeper/"), deeper);
  EXPECT_EQ(TreeWalkFolderPath(t.doc(), L""), t.root());
  const uint8_t* record = deeper->entry->directoryRecord;
  EXPECT_EQ(record[kDirRecordFlags], kDirFlagDirectory);
  EXPECT_EQ(GetBothEndian16(record + kDirRecordVolumeSequence), 1);
  EXPECT_TRUE(BothEndian16Matches(record + kDirRecordVolumeSequence));
  EXPECT_EQ(IsoDecodeRecordDate(record + kDirRecordDate), 1709647629);
  EXPECT_EQ(TreeFindEntryByPath(t.doc(), nullptr, L"a/new/deeper"), deeper->entry);
}

TEST_F(TreePathTest, DepthLimitOfPaths) {
  CTreeFolder* folder = t.root();
  for (int i = 0; i < kTreePathMaxDepth; ++i) folder = t.AddDir(folder, L"d");
  EXPECT_EQ(Take(TreeBuildEntryPath(t.doc(), folder, nullptr, 0)).size(), size_t{2} * kTreePathMaxDepth);
  EXPECT_EQ(Take(TreeBuildEntryPath(t.doc(), t.AddDir(folder, L"d"), nullptr, 0)), L"<null>");
}

TEST(TreeStructure, StatisticsCountFilesFoldersAndBytes) {
  TreeDoc t;
  t.AddFile(t.root(), L"big.bin", int64_t{5} << 30);
  t.AddFile(t.root(), L"small", 100);
  CTreeFolder* sub = t.AddDir(t.root(), L"sub");
  t.AddFile(sub, L"x", 1);
  t.AddDir(sub, L"inner");
  for (const wchar_t* dot : {L".", L".."}) {
    CTreeEntry* entry = t.AddFile(sub, dot);
    entry->directoryRecord[kDirRecordFlags] = kDirFlagDirectory;
  }
  CTreeStatistics s{};
  EXPECT_EQ(TreeGetStatistics(t.doc(), t.root(), &s, 0), (int64_t{5} << 30) + 100);
  EXPECT_EQ(s.fileCount, 2);
  EXPECT_EQ(s.folderCount, 1);
  EXPECT_EQ(TreeGetStatistics(t.doc(), t.root(), &s, 1), (int64_t{5} << 30) + 101);
  EXPECT_EQ(s.fileCount, 3);
  EXPECT_EQ(s.folderCount, 2);
  EXPECT_EQ(s.totalBytes, s.fileBytes);

  // Audio tracks of a mixed-mode disc add to the total.
  t.doc()->trackTable = TrackTableAlloc();
  t.doc()->trackTable->trackCount = 2;
  t.doc()->trackTable->tracks[0].mode = kTrackModeMode1;
  t.doc()->trackTable->tracks[0].length = 1000;
  t.doc()->trackTable->tracks[1].mode = kTrackModeAudio;
  t.doc()->trackTable->tracks[1].length = 75;
  EXPECT_EQ(TreeGetStatistics(t.doc(), t.root(), &s, 0), (int64_t{5} << 30) + 100 + 75 * 2048);
  EXPECT_EQ(s.audioTrackCount, 1);
  EXPECT_EQ(s.audioBytes, 75 * 2048);

  EXPECT_EQ(TreeFindLargeFile(t.doc(), sub), nullptr);
  EXPECT_STREQ(TreeFindLargeFile(t.doc(), t.root())->name, L"big.bin");
}

TEST(TreeStructure, ListedSizeOfCdXaFilesInRawMode2) {
  TreeDoc t;
  CTreeEntry* entry = t.AddFile(t.root(), L"AVSEQ01.DAT", 2048 * 10);
  const uint8_t xa[14] = {0, 0, 0, 0, 0x15, 0x55, 'X', 'A', 1, 0, 0, 0, 0, 0};
  entry->systemUse = static_cast<uint8_t*>(MemAlloc(sizeof xa));
  std::memcpy(entry->systemUse, xa, sizeof xa);
  entry->systemUseLength = sizeof xa;
  EXPECT_EQ(TreeGetEntryListedSize(t.doc(), entry), 2048 * 10);
  t.doc()->rawMode2 = 1;
  EXPECT_EQ(TreeGetEntryListedSize(t.doc(), entry), 2352 * 10 + 44);
  entry->systemUse[8] = 0;  // no CD-XA file number: plain data
  EXPECT_EQ(TreeGetEntryListedSize(t.doc(), entry), 2048 * 10);
}

TEST(TreeStructure, ExtentsOfMultiExtentFiles) {
  TreeDoc t;
  CTreeFolder* visible = t.AddDir(t.root(), L"v");
  CTreeFolder* hidden = t.AddDir(t.root(), L"h");
  hidden->flags |= kTreeHidden;
  const auto addSplit = [&](CTreeFolder* folder, int64_t secondLba) {
    CTreeEntry* entry = t.AddFile(folder, L"split", 0);
    entry->extents = static_cast<CTreeExtent*>(MemAlloc(2 * sizeof(CTreeExtent)));
    entry->extents[0] = {100, 4096 - 2048};  // 1 sector
    entry->extents[1] = {secondLba, 3000};   // 2 sectors
    entry->extentCount = 2;
    entry->size = 2048 + 3000;
    return entry;
  };
  CTreeEntry* split = addSplit(visible, 101);
  EXPECT_EQ(TreeGetEntryLastSector(t.doc(), split), 102);
  EXPECT_EQ(TreeCheckExtentsContiguous(t.doc(), t.root()), 1);
  addSplit(hidden, 500);  // hidden folders are not checked
  EXPECT_EQ(TreeCheckExtentsContiguous(t.doc(), t.root()), 1);
  split->extents[1].lba = 90;
  EXPECT_EQ(TreeGetEntryLastSector(t.doc(), split), 100);
  EXPECT_EQ(TreeCheckExtentsContiguous(t.doc(), t.root()), 0);

  CTreeEntry* plain = t.AddFile(t.root(), L"plain", 2049);
  plain->sourceLba = 20;
  EXPECT_EQ(TreeGetEntryLastSector(t.doc(), plain), 21);
}

TEST(TreeStructure, DeleteKeepsListsConsistent) {
  TreeDoc t;
  CTreeEntry* e1 = t.AddFile(t.root(), L"1");
  CTreeEntry* e2 = t.AddFile(t.root(), L"2");
  CTreeEntry* e3 = t.AddFile(t.root(), L"3");  // list: 3 2 1
  EXPECT_EQ(TreeDeleteEntry(t.doc(), e2), e3);
  EXPECT_EQ(TreeDeleteEntry(t.doc(), e3), e1);  // the new head
  EXPECT_EQ(t.root()->firstEntry, e1);

  CTreeFolder* first = t.AddDir(t.root(), L"first");
  CTreeFolder* last = t.AddDir(t.root(), L"last");
  t.AddFile(t.AddDir(last, L"inner"), L"deep.txt");
  EXPECT_EQ(TreeDeleteFolder(t.doc(), t.root()), -1);
  EXPECT_EQ(TreeDeleteFolder(t.doc(), last), 0);
  EXPECT_EQ(TreeFindFolderByPath(t.doc(), nullptr, L"last"), nullptr);
  EXPECT_EQ(TreeFindEntryByPath(t.doc(), nullptr, L"last"), nullptr);
  // The subfolder list still appends at its real end.
  CTreeFolder* again = t.AddDir(t.root(), L"again");
  EXPECT_EQ(t.root()->firstChild, first);
  EXPECT_EQ(first->next, again);
  EXPECT_EQ(again->next, nullptr);
}

TEST(TreeStructure, RootEntryIsClearedNotFreed) {
  TreeDoc t;
  CTreeEntry* root = t.doc()->rootEntry;
  root->name = WstrDupChars(L"CDROM");
  root->isoName = static_cast<char*>(MemAlloc(2));
  TreeFreeEntry(t.doc(), root);
  EXPECT_EQ(t.doc()->rootEntry, root);
  EXPECT_EQ(root->name, nullptr);
  EXPECT_EQ(root->isoName, nullptr);
  EXPECT_EQ(root->folder, t.root());
}

TEST(TreeStructure, VeryDeepTreeIsWalkedAndFreedWithoutRecursion) {
  TreeDoc t;
  constexpr int kDepth = 100000;
  CTreeFolder* folder = t.root();
  for (int i = 0; i < kDepth; ++i) {
    CTreeEntry* entry = TreeNewEntry();
    entry->name = WstrDupChars(L"d");
    entry->directoryRecord[kDirRecordFlags] = kDirFlagDirectory;
    TreeFolderPrependEntry(folder, entry);
    folder = TreeInsertFolderNode(t.doc(), folder, L"d", entry, 0);
    ASSERT_NE(folder, nullptr);
  }
  t.AddFile(folder, L"bottom.txt", 7);
  CTreeStatistics s{};
  EXPECT_EQ(TreeGetStatistics(t.doc(), t.root(), &s, 1), 7);
  EXPECT_EQ(s.folderCount, kDepth);
  EXPECT_STREQ(TreeFindEntryRecursive(t.root(), L"BOTTOM.TXT")->name, L"bottom.txt");
  folder->depth = 0;
  t.root()->firstChild->depth = 5;
  TreeFixDepths(t.root());
  EXPECT_EQ(folder->depth, kDepth);
  EXPECT_EQ(Take(TreeBuildEntryPath(t.doc(), folder, nullptr, 0)), L"<null>");
  // ~TreeDoc frees the chain.
}

// Entries carved from an arena: each keeps its own name and System Use bytes however many share a block, they
// outlive the arena, and they are freed, replaced and deleted like heap entries (ASan and LSan see every misstep).
// A large tree's later blocks are huge-page mappings: they go back to the system when their last entry goes
// (LSan does not see mappings, so the test looks for the range itself).
TEST(TreeArena, CarvedEntriesOutliveTheArenaAndAreFreedLikeOthers) {
  auto mapped = [](const void* at) {
    const auto page = reinterpret_cast<uintptr_t>(at) & ~uintptr_t{4095};
    unsigned char resident = 0;
    return mincore(reinterpret_cast<void*>(page), 1, &resident) == 0;
  };
  const void* late = nullptr;
  {
    TreeDoc t;
    constexpr int kCount = 3000;        // many blocks
    constexpr size_t kBigName = 20000;  // more than a block holds
    std::vector<CTreeEntry*> carved;
    {
      CTreeEntryArena arena;
      for (int i = 0; i < kCount; ++i) {
        const int32_t systemUse = i % 3 == 0 ? 0 : 1 + i % 250;
        CTreeEntry* entry = TreeArenaNewEntry(&arena, 12, systemUse);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->containerItem, -1);
        EXPECT_EQ(entry->size, 0);
        EXPECT_EQ(entry->systemUse == nullptr, systemUse == 0);
        std::swprintf(entry->name, 13, L"file%08d", i);
        if (systemUse > 0) std::memset(entry->systemUse, i & 0xFF, static_cast<size_t>(systemUse));
        entry->systemUseLength = systemUse;
        carved.push_back(entry);
      }
      CTreeEntry* big = TreeArenaNewEntry(&arena, kBigName, 8);
      ASSERT_NE(big, nullptr);
      std::wmemset(big->name, L'x', kBigName);
      big->name[kBigName] = 0;
      std::memset(big->systemUse, 0xEE, 8);
      carved.push_back(big);
      EXPECT_EQ(TreeArenaNewEntry(&arena, 1, -1), nullptr);
    }
    for (int i = 0; i < kCount; ++i) {
      wchar_t expected[13];
      std::swprintf(expected, 13, L"file%08d", i);
      ASSERT_STREQ(carved[i]->name, expected);
      for (int32_t b = 0; b < carved[i]->systemUseLength; ++b) ASSERT_EQ(carved[i]->systemUse[b], i & 0xFF) << i;
    }
    EXPECT_EQ(std::wcslen(carved.back()->name), kBigName);
    EXPECT_EQ(carved.back()->systemUse[7], 0xEE);

    // Replaced fields are heap blocks the entry then owns.
    TreeEntryFreeName(carved[1]);
    TreeEntryFreeSystemUse(carved[1]);
    EXPECT_EQ(carved[1]->name, nullptr);
    EXPECT_EQ(carved[1]->systemUse, nullptr);
    carved[1]->name = WstrDupChars(L"renamed");
    carved[1]->systemUse = static_cast<uint8_t*>(MemAlloc(4));

    // Every other entry goes into the tree (freed with the document, one deleted first); the rest are freed now,
    // from the last, so blocks empty in no particular order.
    for (size_t i = 0; i < carved.size(); i += 2) TreeFolderPrependEntry(t.root(), carved[i]);
    EXPECT_NE(TreeDeleteEntry(t.doc(), carved[2]), nullptr);
    for (size_t i = carved.size() - 1; i > 0; --i) {
      if (i % 2 == 1) TreeFreeEntry(t.doc(), carved[i]);
    }
    EXPECT_STREQ(TreeFindChildEntry(t.root(), L"FILE00000004")->name, L"file00000004");
    EXPECT_EQ(TreeFindChildEntry(t.root(), L"file00000002"), nullptr);
    late = carved[kCount - 2];
    EXPECT_EQ(reinterpret_cast<uintptr_t>(carved[kCount - 2]->block) % kMemHugeBytes, 0u);
    EXPECT_TRUE(mapped(late));
  }
  EXPECT_FALSE(mapped(late));
}

TEST(TreeNameIndex, HashesAndExactLookups) {
  EXPECT_EQ(NameIndexHashIsoName("README.TXT;1"), NameIndexHashIsoName("README.TXT"));
  EXPECT_EQ(NameIndexHashIsoName(""), 0u);
  EXPECT_EQ(NameIndexHashIsoName(";1"), 0u);
  // The wide hash works on the UTF-16 form, surrogate pairs included.
  for (const wchar_t* name : {L"plain.txt", L"\u00e9t\u00e9", L"\U0001F600 smile", L"\u4e2d\u6587"}) {
    uint16_t units[64];
    ASSERT_GE(TextWideToUtf16(name, -1, units, 64), 0);
    EXPECT_EQ(NameIndexHashWide(name), NameIndexHashUtf16(units)) << name;
  }

  CNameIndex* index = NameIndexNew();
  CTreeEntry* a = TreeNewEntry();
  CTreeEntry* b = TreeNewEntry();
  a->isoName = static_cast<char*>(MemAlloc(16));
  std::strcpy(a->isoName, "README.TXT;1");
  const uint16_t joliet[] = {'r', 'e', 'a', 'd', 0};
  b->jolietName = static_cast<uint16_t*>(MemAlloc(sizeof joliet));
  std::memcpy(b->jolietName, joliet, sizeof joliet);
  EXPECT_EQ(NameIndexAddIsoName(index, a), 1);
  EXPECT_EQ(NameIndexAddIsoName(index, b), 0);  // no ISO name
  EXPECT_EQ(NameIndexAddWideName(index, b), 1);
  EXPECT_EQ(NameIndexFindByIsoName(index, "README.TXT;1"), a);
  EXPECT_EQ(NameIndexFindByIsoName(index, "README.TXT"), nullptr);
  EXPECT_EQ(NameIndexFindByJolietName(index, joliet), b);
  NameIndexRemoveIsoName(index, a);
  EXPECT_EQ(NameIndexFindByIsoName(index, "README.TXT;1"), nullptr);
  NameIndexDelete(index);
  TreeFreeEntry(nullptr, a);
  TreeFreeEntry(nullptr, b);
}

}  // namespace
