// The ext reader on small volumes made by mke2fs: reads at any offset and length give the source's bytes
// (holes as zeros) through extents and through indirect blocks, a link gives its target, and the runs offered
// to the kernel copy point at the file's own bytes in the image.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "filesystems/ext.h"
#include "image/document.h"
#include "session/document.h"
#include "support/run_program.h"
#include "tree/tree.h"

namespace {

struct DocumentCloser {
  void operator()(CImageDocument* document) const { ImageClose(document); }
};
using Document = std::unique_ptr<CImageDocument, DocumentCloser>;

Document Open(const std::string& image) {
  Document document(ImageAlloc());
  document->input = std::fopen(image.c_str(), "rb");
  document->sectorSize = 512;
  document->loadTree = 1;
  document->quiet = 1;
  return document;
}

std::string Read(CImageDocument* document, const CTreeEntry* entry, int64_t offset, int64_t count) {
  std::string bytes(static_cast<size_t>(count), '\x55');
  const int64_t got = ExtReadFileData(document, entry, offset, bytes.data(), count);
  bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return bytes;
}

}  // namespace

TEST(ExtReader, ReadsAnyRangeThroughExtentsAndIndirectBlocks) {
  if (RunShell("command -v mke2fs").status != 0) GTEST_SKIP() << "mke2fs missing";
  const std::string folder = MakeTestFolder("ext_reader");
  std::string odd;
  for (int i = 0; i < 9999; ++i) odd.push_back(static_cast<char>(i * 31 + i / 7));
  WriteFileBytes(folder + "/src/odd.bin", odd);
  WriteFileBytes(folder + "/src/sparse.bin", odd.substr(0, 5000));
  ASSERT_EQ(RunShell("cd '" + folder +
                     "/src' && printf 'tail!!' | dd of=sparse.bin bs=1 seek=200000 conv=notrunc "
                     "status=none && truncate -s 300000 sparse.bin && ln -s ../lib lib-link")
                .status,
            0);
  std::string sparse = odd.substr(0, 5000) + std::string(195000, '\0') + "tail!!";
  sparse.resize(300000, '\0');
  for (const char* flags : {"-t ext4", "-t ext4 -O ^extent,^64bit -b 1024", "-t ext2 -b 2048"}) {
    SCOPED_TRACE(flags);
    const std::string image = folder + "/volume.img";
    ASSERT_EQ(RunShell("mke2fs -q -F " + std::string(flags) + " -d '" + folder + "/src' '" + image + "' 8M").status, 0);
    Document document = Open(image);
    ASSERT_EQ(ExtOpenVolume(document.get()), 1);
    const CTreeEntry* oddEntry = TreeFindEntryByPath(document.get(), nullptr, L"/odd.bin");
    const CTreeEntry* sparseEntry = TreeFindEntryByPath(document.get(), nullptr, L"/sparse.bin");
    const CTreeEntry* link = TreeFindEntryByPath(document.get(), nullptr, L"/lib-link");
    ASSERT_TRUE(oddEntry && sparseEntry && link);
    struct Range {
      int64_t offset, count;
    };
    for (const Range& r : {Range{0, 9999}, Range{1, 1023}, Range{1023, 2}, Range{4095, 5000}, Range{9000, 5000}}) {
      const size_t from = static_cast<size_t>(std::min<int64_t>(r.offset, 9999));
      EXPECT_EQ(Read(document.get(), oddEntry, r.offset, r.count), odd.substr(from, static_cast<size_t>(r.count)))
          << r.offset;
    }
    for (const Range& r : {Range{0, 300000}, Range{4999, 3}, Range{150000, 60000}, Range{199999, 100001}}) {
      EXPECT_EQ(Read(document.get(), sparseEntry, r.offset, r.count),
                sparse.substr(static_cast<size_t>(r.offset), static_cast<size_t>(r.count)))
          << r.offset;
    }
    EXPECT_EQ(Read(document.get(), link, 0, 100), "../lib");
    // The first run of odd.bin is its data, as it lies in the image.
    uint64_t byte = 0;
    const int64_t run = ExtFileRun(document.get(), oddEntry, 0, &byte);
    ASSERT_GT(run, 0);
    const std::string whole = ReadFileBytes(image);
    EXPECT_EQ(whole.substr(static_cast<size_t>(byte), static_cast<size_t>(run)),
              odd.substr(0, static_cast<size_t>(run)));
    // A hole is never offered as a run.
    EXPECT_EQ(ExtFileRun(document.get(), sparseEntry, 16384 * 4, &byte), 0);
  }
}
