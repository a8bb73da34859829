#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "builder/build_state.h"
#include "builder/file_batch.h"
#include "image/document.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "runtime/memory.h"
#include "runtime/paths.h"
#include "session/document.h"
#include "support/console_capture.h"
#include "support/run_program.h"
#include "tree/tree.h"

namespace {

constexpr int64_t kFirstLba = 50;

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

int64_t Padded(int64_t size) { return (size + 2047) / 2048 * 2048; }

// The whole file in one read (the images here run to tens of megabytes).
std::string ReadWhole(const std::string& path) {
  std::string bytes;
  if (FILE* file = std::fopen(path.c_str(), "rb")) {
    std::fseek(file, 0, SEEK_END);
    bytes.resize(static_cast<size_t>(std::ftell(file)));
    std::fseek(file, 0, SEEK_SET);
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file));
    std::fclose(file);
  }
  return bytes;
}

std::string Pattern(int64_t size, uint32_t seed) {
  std::string bytes(static_cast<size_t>(size) + 8, '\0');
  uint64_t x = seed * 2654435761u + 7;
  for (size_t i = 0; i < static_cast<size_t>(size); i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    std::memcpy(&bytes[i], &x, 8);
  }
  bytes.resize(static_cast<size_t>(size));
  return bytes;
}

// Local files laid one after another from kFirstLba of a plain image being written, as the layout leaves
// them for the file pass.
class FileBatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AbortCodeSet(0);
    doc_ = ImageNew();
    ASSERT_NE(doc_, nullptr);
    progress_.document = doc_;
    folder_ =
        MakeTestFolder(std::string("file_batch_") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    out_ = folder_ + "/out.iso";
    doc_->output = FileCreate(Widen(out_).c_str());
    ASSERT_NE(doc_->output, nullptr);
    doc_->outputPath = Widen(out_).c_str();
    doc_->outputType = 0;
    *IsoBuildState(doc_) = CIsoBuildState{};
    IsoBuildState(doc_)->writePosition = kFirstLba;
    next_ = kFirstLba;
  }
  void TearDown() override {
    for (CTreeEntry* entry : entries_) TreeFreeEntry(nullptr, entry);
    ImageClose(doc_);
    AbortCodeSet(0);
  }

  std::string PathOf(size_t index) const { return folder_ + "/f" + std::to_string(index); }

  void AddFile(const std::string& bytes) {
    const std::string path = PathOf(entries_.size());
    std::ofstream(path, std::ios::binary) << bytes;
    CTreeEntry* entry = TreeNewEntry();
    entry->sourcePath = WstrDupChars(Widen(path).c_str());
    entry->size = static_cast<int64_t>(bytes.size());
    entry->outputLba = next_;
    next_ += Padded(entry->size) / 2048;
    entries_.push_back(entry);
    contents_.push_back(bytes);
  }

  int WriteAll() {
    for (CTreeEntry* entry : entries_) EXPECT_EQ(IsoSmallFileBatchable(doc_, entry), 1);
    const int result = IsoWriteSmallFiles(doc_, &progress_, entries_.data(), entries_.size());
    std::fflush(doc_->output);
    return result;
  }

  // The first `count` files stand in the output at their sectors, each padded with zeros.
  void ExpectWritten(size_t count) {
    const std::string image = ReadWhole(out_);
    for (size_t i = 0; i < count; ++i) {
      const int64_t at = entries_[i]->outputLba * 2048;
      const int64_t padded = Padded(entries_[i]->size);
      ASSERT_GE(static_cast<int64_t>(image.size()), at + padded) << i;
      std::string expected = contents_[i];
      expected.resize(static_cast<size_t>(padded), '\0');
      ASSERT_EQ(image.compare(static_cast<size_t>(at), static_cast<size_t>(padded), expected), 0) << "file " << i;
    }
  }

  CImageDocument* doc_ = nullptr;
  CProgressCallbacks progress_{};
  std::string folder_;
  std::string out_;
  int64_t next_ = 0;
  std::vector<CTreeEntry*> entries_;
  std::vector<std::string> contents_;
};

// Several blocks, the last one in a buffer that held large files before: every file lands at its sector with
// the rest of its last sector zero, and the write position ends past the last one.
TEST_F(FileBatchTest, WritesEveryFileAtItsSectorsAcrossBlocks) {
  for (uint32_t i = 0; i < 32; ++i) AddFile(Pattern((1 << 20) - 1000 - i, i));
  for (uint32_t i = 0; i < 300; ++i) AddFile(Pattern(1 + (i * 37) % 5000, 100 + i));
  AddFile(Pattern(1 << 20, 99));  // the largest file a block takes
  AddFile(Pattern(2048, 98));     // exactly one sector
  ASSERT_EQ(WriteAll(), 0);
  EXPECT_EQ(AbortCodeGet(), 0);
  EXPECT_EQ(IsoBuildState(doc_)->writePosition, next_);
  ExpectWritten(entries_.size());
}

// A file that changed since it was added stops the write after the files before it, with the one-file
// writer's message and abort code; a pipe put in a file's place does not stall the build.
TEST_F(FileBatchTest, ChangedFileEndsTheWriteAfterTheFilesBeforeIt) {
  struct Case {
    const char* name;
    int change;  // 0 removed, 1 grown, 2 shrunk, 3 replaced by a pipe
    int32_t abortCode;
    const char* message;
  };
  for (const Case& c :
       {Case{"removed", 0, kAbortLocalFile, "No such file"}, Case{"grown", 1, kAbortReadFailed, "File size changed."},
        Case{"shrunk", 2, kAbortReadFailed, "File size changed."},
        Case{"pipe", 3, kAbortReadFailed, "File size changed."}}) {
    SCOPED_TRACE(c.name);
    TearDown();
    entries_.clear();
    contents_.clear();
    SetUp();
    for (size_t i = 0; i < 40; ++i) AddFile(Pattern(3000 + static_cast<int64_t>(i), static_cast<uint32_t>(i)));
    const std::string broken = PathOf(25);
    ASSERT_EQ(std::remove(broken.c_str()), 0);
    if (c.change == 1) std::ofstream(broken, std::ios::binary) << Pattern(3026, 1);
    if (c.change == 2) std::ofstream(broken, std::ios::binary) << Pattern(3024, 1);
    if (c.change == 3) {
      ASSERT_EQ(mkfifo(broken.c_str(), 0600), 0);
    }
    ConsoleSession console("");
    EXPECT_EQ(WriteAll(), -1);
    const std::string output = console.Output();
    EXPECT_EQ(AbortCodeGet(), c.abortCode);
    EXPECT_NE(output.find(broken), std::string::npos) << output;
    EXPECT_NE(output.find(c.message), std::string::npos) << output;
    EXPECT_EQ(IsoBuildState(doc_)->writePosition, entries_[25]->outputLba);
    ExpectWritten(25);
  }
}

}  // namespace
