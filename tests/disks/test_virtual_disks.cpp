// Virtual disks read sector by sector: every form qemu-img writes (VHD dynamic and fixed, VHDX with two block
// sizes, VMDK sparse, split sparse, flat, split flat and a descriptor over hand-cut extents, VDI dynamic and
// static) must read as the same disk qemu-img reads from it, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "disks/virtual_disk.h"
#include "image/disk.h"
#include "image/document.h"
#include "runtime/wstring.h"
#include "session/document.h"
#include "support/run_program.h"
#include "support/virtual_disk_fixture.h"

namespace {

struct DocumentCloser {
  void operator()(CImageDocument* d) const { ImageClose(d); }
};
using Document = std::unique_ptr<CImageDocument, DocumentCloser>;

// A document over `path` with its virtual disk opened (result of VirtualDiskOpen in *result).
Document OpenVirtual(const std::string& path, int* result) {
  Document document(ImageAlloc());
  document->input = std::fopen(path.c_str(), "rb");
  std::wstring wide(path.begin(), path.end());
  document->path = wide.c_str();
  *result = document->input ? VirtualDiskOpen(document.get()) : -2;
  document->sectorSize = 512;
  return document;
}

class VirtualDiskReads : public testing::TestWithParam<VirtualDiskForm> {};

TEST_P(VirtualDiskReads, EveryByteEqualsQemuImgsReading) {
  std::string why;
  const std::string folder = VirtualDiskFixtures(&why);
  if (folder.empty()) GTEST_SKIP() << why;
  const VirtualDiskForm& form = GetParam();
  int opened = 0;
  Document document = OpenVirtual(folder + "/" + form.name + "/" + form.file, &opened);
  ASSERT_EQ(opened, 1);
  FILE* raw = std::fopen((folder + "/" + form.name + ".raw").c_str(), "rb");
  ASSERT_NE(raw, nullptr);
  std::fseek(raw, 0, SEEK_END);
  int64_t rawSize = std::ftell(raw);
  const int64_t sectors = document->readableLimit;
  if (std::string(form.name) == "vhd-fixed") {
    // qemu-img reads a fixed VHD's footer as one more sector of the disk; the footer's size field says where
    // the disk ends.
    ASSERT_EQ(rawSize, sectors * 512 + 512);
    rawSize -= 512;
  }
  ASSERT_EQ(sectors * 512, rawSize);

  constexpr int64_t kChunk = 8 << 11;  // sectors: 8 MiB
  std::vector<uint8_t> mine(kChunk * 512), theirs(kChunk * 512);
  for (int64_t at = 0; at < sectors; at += kChunk) {
    const int64_t n = std::min(kChunk, sectors - at);
    ASSERT_EQ(ImageReadDiskSectors(document.get(), at, mine.data(), n), n) << "sector " << at;
    ASSERT_EQ(std::fseek(raw, at * 512, SEEK_SET), 0);
    ASSERT_EQ(std::fread(theirs.data(), 1, n * 512, raw), static_cast<size_t>(n * 512));
    ASSERT_EQ(std::memcmp(mine.data(), theirs.data(), n * 512), 0) << "in the 8 MiB from sector " << at;
  }
  // Small reads that cross the block, grain and extent boundaries of every form, and the last sector.
  for (int64_t at : {int64_t{127}, int64_t{2047}, int64_t{4095}, int64_t{65535}, int64_t{204799}, sectors - 3}) {
    SCOPED_TRACE(at);
    ASSERT_EQ(ImageReadDiskSectors(document.get(), at, mine.data(), 3), 3);
    ASSERT_EQ(std::fseek(raw, at * 512, SEEK_SET), 0);
    ASSERT_EQ(std::fread(theirs.data(), 1, 3 * 512, raw), 3u * 512);
    EXPECT_EQ(std::memcmp(mine.data(), theirs.data(), 3 * 512), 0);
  }
  // Past the end nothing is read.
  EXPECT_EQ(ImageReadDiskSectors(document.get(), sectors - 1, mine.data(), 2), 0);
  // A document of 4,096-byte sectors reads the same bytes in larger units.
  document->sectorSize = 4096;
  ASSERT_EQ(ImageReadDiskSectors(document.get(), 2047, mine.data(), 2), 2);
  ASSERT_EQ(std::fseek(raw, 2047 * 4096, SEEK_SET), 0);
  ASSERT_EQ(std::fread(theirs.data(), 1, 8192, raw), 8192u);
  EXPECT_EQ(std::memcmp(mine.data(), theirs.data(), 8192), 0);
  std::fclose(raw);
}

INSTANTIATE_TEST_SUITE_P(Forms, VirtualDiskReads, testing::ValuesIn(VirtualDiskForms()),
                         [](const testing::TestParamInfo<VirtualDiskForm>& info) {
                           std::string name = info.param.name;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

}  // namespace
