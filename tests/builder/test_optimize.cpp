#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "builder/build_state.h"
#include "builder/optimize.h"
#include "cli/console.h"
#include "image/document.h"
#include "session/document.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "runtime/memory.h"
#include "runtime/paths.h"
#include "support/console_capture.h"
#include "support/run_program.h"
#include "tree/tree.h"

namespace {

constexpr int64_t kFirstLba = 100;

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

int64_t Sectors(int64_t bytes) { return (bytes + 2047) / 2048; }

// `size` bytes of a pattern chosen by `seed`.
std::string Pattern(int64_t size, uint32_t seed) {
  std::string bytes(static_cast<size_t>(size), '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (auto& byte : bytes) {
    x = x * 1103515245u + 12345u;
    byte = static_cast<char>(x >> 24);
  }
  return bytes;
}

// A document under construction, with a layout cursor at kFirstLba, that places files the way the layout's
// file pass does: a folder's files, then its subfolders; each new file at the cursor, then offered to the merge.
class OptimizeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AbortCodeSet(0);
    doc_ = ImageNew();
    ASSERT_NE(doc_, nullptr);
    doc_->storeIdenticalOnce = 1;
    progress_.document = doc_;
    files_ = 0;
    folder_ = MakeTestFolder(std::string("optimize_") +
                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    *IsoBuildState(doc_) = CIsoBuildState{};
    IsoBuildState(doc_)->nextFreeLba = kFirstLba;
  }
  void TearDown() override {
    OptimizeEnd(doc_, nullptr);
    ImageClose(doc_);
    AbortCodeSet(0);
  }

  CTreeFolder* root() const { return doc_->rootFolder; }

  CTreeFolder* AddFolder(CTreeFolder* parent, const wchar_t* name) {
    CTreeEntry* entry = TreeAddFolderNode(doc_, parent, name);
    EXPECT_NE(entry, nullptr);
    return entry ? entry->folder : nullptr;
  }

  // An entry at the head of the folder's list: add a folder's files last to first.
  CTreeEntry* NewFile(CTreeFolder* folder, const std::string& name, int64_t size) {
    CTreeEntry* entry = TreeNewEntry();
    entry->name = WstrDupChars(Widen(name).c_str());
    entry->size = size;
    TreeFolderPrependEntry(folder, entry);
    return entry;
  }
  CTreeEntry* AddLocal(CTreeFolder* folder, const std::string& name, const std::string& bytes) {
    const std::string path = folder_ + "/" + std::to_string(++files_) + "_" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    CTreeEntry* entry = NewFile(folder, name, static_cast<int64_t>(bytes.size()));
    entry->sourcePath = WstrDupChars(Widen(path).c_str());
    return entry;
  }
  CTreeEntry* AddInline(CTreeFolder* folder, const std::string& name, const std::string& bytes) {
    CTreeEntry* entry = NewFile(folder, name, static_cast<int64_t>(bytes.size()));
    entry->inlineData = static_cast<uint8_t*>(MemAlloc(bytes.size()));
    std::memcpy(entry->inlineData, bytes.data(), bytes.size());
    entry->inlineSize = static_cast<int64_t>(bytes.size());
    return entry;
  }

  // The layout's file pass over the whole tree; -1 as soon as a merge fails.
  int PlaceAll(CProgressCallbacks* progress) {
    std::vector<CTreeFolder*> pending{root()};
    while (!pending.empty()) {
      CTreeFolder* folder = pending.back();
      pending.pop_back();
      std::vector<CTreeFolder*> children;
      for (CTreeEntry* entry = folder->firstEntry; entry; entry = entry->next) {
        if (entry->folder) {
          children.push_back(entry->folder);
          continue;
        }
        if (entry->size <= 0 || entry->outputLba != 0) continue;
        if (entry->requestedLba != 0) {
          entry->outputLba = entry->requestedLba;
        } else {
          entry->outputLba = IsoBuildState(doc_)->nextFreeLba;
          IsoBuildState(doc_)->nextFreeLba += Sectors(entry->size);
        }
        if (OptimizeMergeDuplicates(doc_, entry, progress) < 0) return -1;
      }
      pending.insert(pending.end(), children.rbegin(), children.rend());
    }
    return 0;
  }
  int Layout() {
    if (OptimizeBegin(doc_, &progress_) != 0) return -1;
    return PlaceAll(&progress_);
  }

  CImageDocument* doc_ = nullptr;
  CProgressCallbacks progress_{};
  std::string folder_;
  int files_ = 0;
};

TEST_F(OptimizeTest, IdenticalFilesShareOneExtentOnlyWhenOptimising) {
  struct Case {
    int32_t storeOnce;
    int32_t outputType;
    bool merged;
  };
  for (const Case& c : {Case{1, -1, true}, Case{1, 0, true}, Case{0, -1, false}, Case{1, kInputTypeContainer, false},
                        Case{1, kInputTypeContainerAlt, false}}) {
    SCOPED_TRACE(testing::Message() << "store once " << c.storeOnce << ", output type " << c.outputType);
    TearDown();
    SetUp();
    doc_->storeIdenticalOnce = c.storeOnce;
    doc_->outputType = c.outputType;
    const std::string same = Pattern(5000, 1);
    CTreeFolder* sub = AddFolder(root(), L"sub");
    std::vector<CTreeEntry*> copies;
    for (int i = 0; i < 5; ++i) copies.push_back(AddLocal(sub, "copy" + std::to_string(i), same));
    CTreeEntry* other = AddLocal(root(), "other", Pattern(5000, 2));
    for (int i = 0; i < 5; ++i) copies.push_back(AddLocal(root(), "twin" + std::to_string(i), same));
    CTreeEntry* small = AddLocal(root(), "small", "x");
    ASSERT_EQ(Layout(), 0);
    EXPECT_EQ(AbortCodeGet(), 0);

    std::set<int64_t> lbas;
    for (CTreeEntry* copy : copies) lbas.insert(copy->outputLba);
    if (c.merged) {
      EXPECT_EQ(lbas.size(), 1u);
      EXPECT_EQ(IsoBuildState(doc_)->nextFreeLba, kFirstLba + 3 + 3 + 1);
    } else {
      EXPECT_EQ(lbas.size(), 10u);
      EXPECT_EQ(IsoBuildState(doc_)->nextFreeLba, kFirstLba + 11 * 3 + 1);
    }
    EXPECT_EQ(lbas.count(other->outputLba), 0u);
    EXPECT_EQ(lbas.count(small->outputLba), 0u);
  }
}

// Files that differ in one byte are stored apart, whether the fingerprint sees the difference (whole small
// files; sectors 0, n/4, n/2, 3n/4 and n-1 of large ones) or only the full comparison does. Copies of each
// still merge.
TEST_F(OptimizeTest, FilesDifferingInOneByteAreKeptApart) {
  struct Case {
    int64_t size;
    int64_t at;
  };
  // 102,400 bytes are 50 sectors: the fingerprint reads sectors 0, 12, 25, 37 and 49.
  for (const Case& c : {Case{5000, 0}, Case{5000, 4999}, Case{32768, 20000}, Case{102400, 0}, Case{102400, 102399},
                        Case{102400, 10 * 2048 + 7}, Case{102400, 30 * 2048}}) {
    SCOPED_TRACE(testing::Message() << "size " << c.size << ", byte " << c.at);
    TearDown();
    SetUp();
    const std::string a = Pattern(c.size, 7);
    std::string b = a;
    b[static_cast<size_t>(c.at)] ^= 0x01;
    CTreeEntry* b2 = AddLocal(root(), "b2", b);
    CTreeEntry* a2 = AddInline(root(), "a2", a);
    CTreeEntry* fileB = AddLocal(root(), "b", b);
    CTreeEntry* fileA = AddLocal(root(), "a", a);
    ASSERT_EQ(Layout(), 0);
    EXPECT_NE(fileA->outputLba, fileB->outputLba);
    EXPECT_EQ(a2->outputLba, fileA->outputLba);
    EXPECT_EQ(b2->outputLba, fileB->outputLba);
    EXPECT_EQ(IsoBuildState(doc_)->nextFreeLba, kFirstLba + 2 * Sectors(c.size));
  }
}

// Many files of one size whose fingerprinted sectors agree but whose middles differ: six kinds among thirty.
TEST_F(OptimizeTest, FilesAlikeInTheFingerprintMergeByContent) {
  const int64_t size = 102400;
  std::vector<CTreeEntry*> files;
  for (int i = 29; i >= 0; --i) {
    std::string bytes = Pattern(size, 3);
    bytes[10 * 2048 + 100] = static_cast<char>(i % 6);
    files.insert(files.begin(), i % 2 ? AddInline(root(), "f" + std::to_string(i), bytes)
                                      : AddLocal(root(), "f" + std::to_string(i), bytes));
  }
  ASSERT_EQ(Layout(), 0);
  for (int i = 0; i < 30; ++i)
    for (int j = 0; j < 30; ++j)
      EXPECT_EQ(files[i]->outputLba == files[j]->outputLba, i % 6 == j % 6) << i << " " << j;
  EXPECT_EQ(IsoBuildState(doc_)->nextFreeLba, kFirstLba + 6 * Sectors(size));
}

TEST_F(OptimizeTest, FileWithRequestedLbaNeverMerges) {
  for (const bool requestedFirst : {true, false}) {
    SCOPED_TRACE(requestedFirst ? "requested file placed first" : "requested file waits");
    TearDown();
    SetUp();
    const std::string same = Pattern(3000, 5);
    CTreeEntry* last = AddLocal(root(), "z", same);
    CTreeEntry* fixed = AddLocal(root(), "fixed", same);
    fixed->requestedLba = 5000;
    CTreeEntry* first = AddLocal(root(), "a", same);
    if (requestedFirst) {
      // The requested file heads the list.
      root()->firstEntry = fixed;
      first->next = last;
      fixed->next = first;
      last->next = nullptr;
    }
    ASSERT_EQ(Layout(), 0);
    EXPECT_EQ(fixed->outputLba, 5000);
    EXPECT_EQ(first->outputLba, kFirstLba);
    EXPECT_EQ(last->outputLba, kFirstLba);
  }
}

// Weighted files come first, heaviest first, ties in folder order (a folder's files before its subfolders');
// each is offered to the merge; only they are written by the ordered pass.
TEST_F(OptimizeTest, WeightedFilesArePlacedAndWrittenFirst) {
  CTreeFolder* b = AddFolder(root(), L"b");
  CTreeFolder* a = AddFolder(root(), L"a");
  CTreeEntry* plain = AddLocal(root(), "plain", "plain data");
  CTreeEntry* light = AddLocal(root(), "light", "light data");
  light->sortWeight = 10;
  CTreeEntry* tied = AddLocal(a, "tied", "tied data");
  tied->sortWeight = 10;
  CTreeEntry* heavyCopy = AddInline(a, "heavy-copy", Pattern(4096, 9));
  CTreeEntry* heavy = AddLocal(b, "heavy", Pattern(4096, 9));
  heavy->sortWeight = 100;
  CTreeEntry* empty = AddLocal(b, "empty", "");
  empty->sortWeight = 50;

  ASSERT_EQ(OptimizeBegin(doc_, &progress_), 0);
  ASSERT_EQ(FileOrderBuild(doc_), 3);
  EXPECT_EQ(doc_->orderedFiles, (std::vector<CTreeEntry*>{heavy, light, tied}));
  ASSERT_EQ(FileOrderAssignExtents(doc_, &progress_), 0);
  EXPECT_EQ(heavy->outputLba, kFirstLba);
  EXPECT_EQ(light->outputLba, kFirstLba + 2);
  EXPECT_EQ(tied->outputLba, kFirstLba + 3);
  EXPECT_EQ(heavyCopy->outputLba, heavy->outputLba);
  ASSERT_EQ(PlaceAll(&progress_), 0);
  EXPECT_EQ(plain->outputLba, kFirstLba + 4);
  EXPECT_EQ(empty->outputLba, 0);

  // The ordered pass writes the three files at sectors 100..103 of the output.
  const std::string out = folder_ + "/out.iso";
  doc_->output = FileCreate(Widen(out).c_str());
  ASSERT_NE(doc_->output, nullptr);
  doc_->outputType = 0;
  IsoBuildState(doc_)->writePosition = kFirstLba;
  ASSERT_EQ(FileOrderWriteFiles(doc_, root(), &progress_), 0);
  EXPECT_EQ(IsoBuildState(doc_)->writePosition, kFirstLba + 4);
  std::fflush(doc_->output);
  const std::string image = ReadFileBytes(out);
  ASSERT_EQ(image.size(), static_cast<size_t>((kFirstLba + 4) * 2048));
  EXPECT_EQ(image.substr(kFirstLba * 2048, 4096), Pattern(4096, 9));
  EXPECT_EQ(image.substr((kFirstLba + 2) * 2048, 10), "light data");
  EXPECT_EQ(image.substr((kFirstLba + 3) * 2048, 2048), std::string("tied data") + std::string(2039, '\0'));

  // Without weights nothing is ordered.
  light->sortWeight = tied->sortWeight = heavy->sortWeight = 0;
  light->outputLba = tied->outputLba = heavy->outputLba = 0;
  EXPECT_EQ(FileOrderBuild(doc_), 0);
  EXPECT_TRUE(doc_->orderedFiles.empty());
}

// A local file that cannot be opened (abort code 10) or whose size changed since it was added (abort code 4)
// stops the merge when it shares its size with another file; a file whose size nobody shares is never opened.
TEST_F(OptimizeTest, UnreadableOrChangedLocalFile) {
  struct Case {
    const char* name;
    int64_t size;     // of the entry; the other file has 6,000 bytes
    bool remove;      // else the file grows by one byte
    int32_t abortCode;
    const char* message;
  };
  for (const Case& c : {Case{"missing, shared size", 6000, true, kAbortLocalFile, ""},
                        Case{"missing, unique size", 7000, true, 0, nullptr},
                        Case{"grown, shared size", 6000, false, kAbortReadFailed, "File size changed."},
                        Case{"grown, unique size", 7000, false, 0, nullptr}}) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    const std::string same = Pattern(6000, 1);
    CTreeEntry* odd = AddLocal(root(), "odd", c.size == 6000 ? same : Pattern(c.size, 2));
    AddLocal(root(), "other", same);
    const std::string path = folder_ + "/1_odd";
    if (c.remove) {
      ASSERT_EQ(std::remove(path.c_str()), 0);
    } else {
      std::ofstream(path, std::ios::binary | std::ios::app) << 'x';
    }
    ConsoleSession console("");
    const int placed = Layout();
    const std::string output = console.Output();
    EXPECT_EQ(AbortCodeGet(), c.abortCode);
    if (c.message) {
      EXPECT_EQ(placed, -1);
      EXPECT_NE(output.find(path), std::string::npos) << output;
      EXPECT_NE(output.find(c.message), std::string::npos) << output;
    } else {
      EXPECT_EQ(placed, 0);
      EXPECT_NE(odd->outputLba, 0);
      EXPECT_EQ(output, "");
    }
  }
}

// Files of an opened image are compared through its sectors: contiguous data at another LBA, an extent list
// holding the same bytes and an entry naming the same LBA all merge; a last byte that differs does not.
TEST_F(OptimizeTest, ImageFilesCompareByTheirSectors) {
  const std::string data = Pattern(4000, 11);
  std::string different = data;
  different.back() ^= 0x40;
  std::string image(20 * 2048, '\0');
  image.replace(2 * 2048, data.size(), data);
  image.replace(6 * 2048, data.size(), data);
  image.replace(10 * 2048, different.size(), different);
  image.replace(14 * 2048, 2048, data.substr(0, 2048));
  image.replace(17 * 2048, 1952, data.substr(2048));
  const std::string path = folder_ + "/source.iso";
  std::ofstream(path, std::ios::binary) << image;
  doc_->input = FileOpenRead(Widen(path).c_str());
  ASSERT_NE(doc_->input, nullptr);
  doc_->inputType = 0;
  doc_->readableLimit = 20;

  CTreeEntry* split = NewFile(root(), "split", 4000);
  split->extents = static_cast<CTreeExtent*>(MemAlloc(2 * sizeof(CTreeExtent)));
  split->extents[0] = {14, 2048};
  split->extents[1] = {17, 1952};
  split->extentCount = 2;
  split->sourceLba = 14;
  CTreeEntry* sameLba = NewFile(root(), "same", 4000);
  sameLba->sourceLba = 2;
  CTreeEntry* changed = NewFile(root(), "changed", 4000);
  changed->sourceLba = 10;
  CTreeEntry* moved = NewFile(root(), "moved", 4000);
  moved->sourceLba = 6;
  CTreeEntry* first = NewFile(root(), "first", 4000);
  first->sourceLba = 2;
  ASSERT_EQ(Layout(), 0);
  EXPECT_EQ(AbortCodeGet(), 0);
  EXPECT_EQ(moved->outputLba, first->outputLba);
  EXPECT_EQ(sameLba->outputLba, first->outputLba);
  EXPECT_EQ(split->outputLba, first->outputLba);
  EXPECT_NE(changed->outputLba, first->outputLba);
}

// 100,000 files in 100 folders, all of one size with different data, then of four sizes with many copies; and
// 3,000 files of 36 KiB that differ only outside the fingerprinted sectors. The merge stays near-linear (a
// merge that compared each placed file with every other file of its size would take 10 s and more here).
TEST_F(OptimizeTest, LargeRunsMergeInLinearTime) {
  struct Case {
    const char* name;
    int folders;
    int kinds;  // different contents per size
    std::vector<int64_t> sizes;
    size_t kindOffset;  // where the kind number is written
  };
  // 36,864 bytes are 18 sectors: the fingerprint reads sectors 0, 4, 9, 13 and 17, not sector 2.
  for (const Case& c : {Case{"one size, all different", 100, 100000, {64}, 0},
                        Case{"four sizes, 100 kinds each", 100, 100, {16, 64, 256, 1000}, 0},
                        Case{"fingerprints alike, all different", 3, 3000, {36864}, 2 * 2048 + 5}}) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    std::map<int64_t, std::string> base;
    for (const int64_t size : c.sizes) base[size] = Pattern(size, 17);
    std::vector<CTreeEntry*> files;
    std::vector<std::pair<int64_t, int>> kindOf;
    for (int f = 0; f < c.folders; ++f) {
      CTreeFolder* folder = AddFolder(root(), Widen("d" + std::to_string(f)).c_str());
      for (int i = 999; i >= 0; --i) {
        const int n = f * 1000 + i;
        const int64_t size = c.sizes[static_cast<size_t>(n) % c.sizes.size()];
        const int kind = n / static_cast<int>(c.sizes.size()) % c.kinds;
        std::string bytes = base[size];
        std::memcpy(bytes.data() + c.kindOffset, &kind, sizeof kind);
        files.push_back(AddInline(folder, "f", bytes));
        kindOf.emplace_back(size, kind);
      }
    }
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Layout(), 0);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    RecordProperty(c.name, std::to_string(seconds));
    EXPECT_LT(seconds, 6.0);  // room for sanitizers and a loaded machine

    std::map<std::pair<int64_t, int>, int64_t> lbaOfKind;
    int64_t expectedEnd = kFirstLba;
    for (size_t i = 0; i < files.size(); ++i) {
      auto [it, fresh] = lbaOfKind.emplace(kindOf[i], files[i]->outputLba);
      if (fresh) expectedEnd += Sectors(kindOf[i].first);
      ASSERT_EQ(files[i]->outputLba, it->second) << i;
    }
    std::set<int64_t> distinct;
    for (const auto& [kind, lba] : lbaOfKind) distinct.insert(lba);
    EXPECT_EQ(distinct.size(), lbaOfKind.size());
    EXPECT_EQ(IsoBuildState(doc_)->nextFreeLba, expectedEnd);
  }
}

// Without a progress block the console's progress line shows files handled out of files listed: redrawn a few
// times a second at most, and complete at the end.
TEST_F(OptimizeTest, ConsoleProgressIsShownSparingly) {
  for (int i = 0; i < 20000; ++i) AddInline(root(), "f", Pattern(100, static_cast<uint32_t>(i % 50)));
  ConsoleSession console("");
  ProgressBegin(L"Scanning and optimizing files ");
  ASSERT_EQ(OptimizeBegin(doc_, nullptr), 0);
  ASSERT_EQ(PlaceAll(nullptr), 0);
  const std::string output = console.Output();
  EXPECT_EQ(output.substr(output.size() - 4), "100%") << output;
  size_t redraws = 0;
  for (size_t at = 0; (at = output.find('%', at)) != std::string::npos; ++at) ++redraws;
  EXPECT_LE(redraws, 20u) << output;
  EXPECT_EQ(IsoBuildState(doc_)->nextFreeLba, kFirstLba + 50);
}

}  // namespace
