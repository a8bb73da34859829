// The four virtual-disk readers on small disks built in memory: what reads as data and what as zeros, and the
// damaged headers, tables and maps each one refuses (VirtualDiskOpen -1, so the file is not taken for a raw
// disk either).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "../fixtures/virtual_disk_images.h"
#include "disks/vhdx.h"
#include "disks/virtual_disk.h"
#include "disks/vmdk.h"
#include "image/disk.h"
#include "image/document.h"
#include "runtime/crc.h"
#include "session/document.h"
#include "support/run_program.h"

namespace {

using vdisk_test::Bytes;

struct DocumentCloser {
  void operator()(CImageDocument* d) const { ImageClose(d); }
};
using Document = std::unique_ptr<CImageDocument, DocumentCloser>;

struct Opened {
  Document document;
  int result;
};

Opened OpenBytes(const std::string& name, const Bytes& bytes) {
  const std::string path = MakeTestFolder("vdisk_formats_" + name) + "/disk";
  WriteFileBytes(path, std::string(bytes.begin(), bytes.end()));
  Document document(ImageAlloc());
  document->input = std::fopen(path.c_str(), "rb");
  document->path = std::wstring(path.begin(), path.end()).c_str();
  document->sectorSize = 512;
  const int result = VirtualDiskOpen(document.get());
  return {std::move(document), result};
}

// Reads `n` sectors at `sector`; empty when the read fails.
Bytes Read(CImageDocument* document, int64_t sector, int64_t n) {
  Bytes out(static_cast<size_t>(n * 512), 0xEE);
  if (ImageReadDiskSectors(document, sector, out.data(), n) != n) return {};
  return out;
}

Bytes Filled(size_t sectors, uint8_t value) { return Bytes(sectors * 512, value); }

Bytes Join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(Crc32c, KnownValuesAndTheZeroedField) {
  EXPECT_EQ(Crc32cUpdate(0, "abc", 3), 0x364B3FB7u);
  EXPECT_EQ(Crc32cUpdate(0, "123456789", 9), 0xE3069283u);
  EXPECT_EQ(Crc32cUpdate(Crc32cUpdate(0, "1234", 4), "56789", 5), 0xE3069283u);
  uint8_t with[12] = {'1', '2', '3', '4', 0xAA, 0xBB, 0xCC, 0xDD, '9', '0', 'a', 'b'};
  uint8_t zeroed[12] = {'1', '2', '3', '4', 0, 0, 0, 0, '9', '0', 'a', 'b'};
  EXPECT_EQ(Crc32cWithZeroedField(0, with, 12, 4), Crc32cUpdate(0, zeroed, 12));
  const uint32_t crc = Crc32cUpdate(0, zeroed, 12);
  vdisk_test::Bytes stored(with, with + 12);
  vdisk_test::Put32(stored, 4, crc);
  EXPECT_TRUE(VhdxCheckCrc(stored.data(), stored.size(), 4));
  stored[0] ^= 1;
  EXPECT_FALSE(VhdxCheckCrc(stored.data(), stored.size(), 4));
}

TEST(Vhd, StoredSectorsBitmapGapsAndUnallocatedBlocks) {
  Opened vhd = OpenBytes("vhd", vdisk_test::Vhd{}.Make());
  ASSERT_EQ(vhd.result, 1);
  EXPECT_EQ(vhd.document->readableLimit, 32);
  // Block 0 stored but for its last sector, block 1 unallocated, block 2 stored: one read across all three.
  const Bytes expected = Join(Join(Join(Filled(7, 1), Filled(1, 0)), Filled(8, 0)), Join(Filled(7, 3), Filled(1, 0)));
  EXPECT_EQ(Read(vhd.document.get(), 0, 24), expected);
  EXPECT_EQ(Read(vhd.document.get(), 6, 4), Bytes(expected.begin() + 6 * 512, expected.begin() + 10 * 512));
  EXPECT_TRUE(Read(vhd.document.get(), 30, 3).empty());
}

TEST(Vhd, DamagedAndDifferencingDisksAreRefused) {
  struct Case {
    const char* what;
    vdisk_test::Vhd vhd;
  };
  auto with = [](auto change) {
    vdisk_test::Vhd v;
    change(v);
    return v;
  };
  const Case cases[] = {
      {"differencing", with([](auto& v) { v.diskType = 4; })},
      {"unknown type", with([](auto& v) { v.diskType = 5; })},
      {"block size not a power of two", with([](auto& v) { v.blockSize = 6144; })},
      {"block size below 4 KiB", with([](auto& v) {
         v.blockSize = 2048;
         v.currentSize = 8 * 2048;
       })},
      {"table shorter than the disk", with([](auto& v) { v.maxEntries = 3; })},
      {"BAT entry past the file", with([](auto& v) {
         v.batEntryOverride[0] = 2;
         v.batEntryOverride[1] = 0x100000;
       })},
      {"BAT past the file", with([](auto& v) { v.batOffsetOverride = 1 << 30; })},
      {"size not whole sectors", with([](auto& v) { v.currentSize = 4 * 4096 - 100; })},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(OpenBytes("vhd_bad", c.vhd.Make()).result, -1);
  }
  Bytes notVhd = vdisk_test::Vhd{}.Make();
  notVhd[notVhd.size() - 512] = 'C';
  EXPECT_EQ(OpenBytes("vhd_not", notVhd).result, 0);
}

TEST(Vhdx, BlockStatesAndTheHeaderChosen) {
  Opened vhdx = OpenBytes("vhdx", vdisk_test::Vhdx{}.Make());
  ASSERT_EQ(vhdx.result, 1);
  ASSERT_EQ(vhdx.document->readableLimit, 8192);
  // Block 0 present, 1 zero, 2 not present, 3 present: a read across the first two blocks and one at the end.
  EXPECT_EQ(Read(vhdx.document.get(), 2046, 4), Join(Filled(2, 1), Filled(2, 0)));
  EXPECT_EQ(Read(vhdx.document.get(), 4095, 4097), Join(Filled(1, 0), Join(Filled(2048, 0), Filled(2048, 4))));

  // A bad CRC in one header leaves the other; a partially present block ends the read before it.
  vdisk_test::Vhdx v;
  v.badCrc[1] = true;
  v.states = {6, 7, 0, 0};
  Opened first = OpenBytes("vhdx_first", v.Make());
  ASSERT_EQ(first.result, 1);
  Bytes buffer(4096 * 512);
  EXPECT_EQ(VhdxReadSectors(first.document->vhdx, 2000, buffer.data(), 100), 48);
  EXPECT_TRUE(Read(first.document.get(), 2047, 2).empty());
  v = vdisk_test::Vhdx{};
  v.badCrc[0] = true;
  EXPECT_EQ(OpenBytes("vhdx_second", v.Make()).result, 1);
}

TEST(Vhdx, ThirtyTwoMebibyteBlocksSkipTheSectorBitmapEntry) {
  // 129 blocks of 32 MiB: BAT entry 128 is the first chunk's sector-bitmap entry, block 128 uses entry 129.
  vdisk_test::Vhdx v;
  v.blockSize = 32 << 20;
  v.virtualSize = uint64_t{129} * (32 << 20);
  v.states.assign(129, 0);
  v.states[128] = 6;
  v.batOverride[0] = 128;
  v.batOverride[1] = 6 | (uint64_t{1} << 20);  // a bitmap entry that would read the header area as data
  Opened vhdx = OpenBytes("vhdx_32m", v.Make());
  ASSERT_EQ(vhdx.result, 1);
  EXPECT_EQ(Read(vhdx.document.get(), int64_t{128} * 65536, 2), Filled(2, 129));
  EXPECT_EQ(Read(vhdx.document.get(), int64_t{127} * 65536, 2), Filled(2, 0));
}

TEST(Vhdx, DamagedHeadersRegionsMetadataAndTablesAreRefused) {
  struct Case {
    const char* what;
    void (*change)(vdisk_test::Vhdx&);
  };
  const Case cases[] = {
      {"both header CRCs wrong", [](auto& v) { v.badCrc[0] = v.badCrc[1] = true; }},
      {"equal sequences, other contents",
       [](auto& v) {
         v.sequence[1] = 1;
         v.headerTweak = 7;
       }},
      {"a log to replay", [](auto& v) { v.logGuid = true; }},
      {"a parent", [](auto& v) { v.fileFlags = 2; }},
      {"overlapping regions", [](auto& v) { v.overlappingRegions = true; }},
      {"a second BAT region", [](auto& v) { v.duplicateBatRegion = true; }},
      {"no disk size item", [](auto& v) { v.dropDiskSize = true; }},
      {"block size not a power of two",
       [](auto& v) {
         v.blockSize = 3 << 20;
         v.states = {0, 0};
       }},
      {"block size above 256 MiB",
       [](auto& v) {
         v.blockSize = 512u << 20;
         v.states = {0};
       }},
      {"4,096-byte logical sectors", [](auto& v) { v.logicalSectorSize = 4096; }},
      {"BAT entry past the file",
       [](auto& v) {
         v.batOverride[0] = 3;
         v.batOverride[1] = 6 | (uint64_t{64} << 20);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    vdisk_test::Vhdx v;
    c.change(v);
    EXPECT_EQ(OpenBytes("vhdx_bad", v.Make()).result, -1);
  }
  // Equal sequence numbers with identical headers choose header 1.
  vdisk_test::Vhdx same;
  same.sequence[1] = 1;
  EXPECT_EQ(OpenBytes("vhdx_same", same.Make()).result, 1);
}

TEST(Vdi, BlocksZerosAndRefusals) {
  Opened vdi = OpenBytes("vdi", vdisk_test::Vdi{}.Make());
  ASSERT_EQ(vdi.result, 1);
  ASSERT_EQ(vdi.document->readableLimit, 8192);
  EXPECT_EQ(Read(vdi.document.get(), 2047, 2), Join(Filled(1, 1), Filled(1, 0)));
  EXPECT_EQ(Read(vdi.document.get(), 4095, 4097), Join(Filled(1, 0), Join(Filled(2048, 3), Filled(2048, 0))));
  EXPECT_TRUE(Read(vdi.document.get(), 8191, 2).empty());

  struct Case {
    const char* what;
    void (*change)(vdisk_test::Vdi&);
  };
  const Case cases[] = {
      {"differencing", [](auto& v) { v.imageType = 4; }},
      {"block size not a power of two", [](auto& v) { v.blockSize = 3 << 19; }},
      {"two disk blocks on one data block", [](auto& v) { v.map[2] = 0; }},
      {"map entry past the allocated blocks", [](auto& v) { v.map[2] = 5; }},
      {"blocks shorter than the disk", [](auto& v) { v.diskSize = 5 << 20; }},
      {"extra bytes not a power of two", [](auto& v) { v.extraBytes = 3; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    vdisk_test::Vdi v;
    c.change(v);
    EXPECT_EQ(OpenBytes("vdi_bad", v.Make()).result, -1);
  }
  // A data block that the file does not hold.
  Bytes cut = vdisk_test::Vdi{}.Make();
  cut.resize(cut.size() - 4096);
  EXPECT_EQ(OpenBytes("vdi_cut", cut).result, -1);
}

TEST(Vmdk, GrainsZerosAndRefusals) {
  Opened vmdk = OpenBytes("vmdk", vdisk_test::Vmdk{}.Make());
  ASSERT_EQ(vmdk.result, 1);
  ASSERT_EQ(vmdk.document->readableLimit, 4096);
  EXPECT_EQ(Read(vmdk.document.get(), 6, 12), Join(Join(Filled(2, 1), Filled(8, 0)), Filled(2, 3)));
  EXPECT_EQ(Read(vmdk.document.get(), 4000, 96), Filled(96, 0));
  vdisk_test::Vmdk redundant;
  redundant.redundant = true;
  EXPECT_EQ(OpenBytes("vmdk_rgd", redundant.Make()).result, 1);

  struct Case {
    const char* what;
    void (*change)(vdisk_test::Vmdk&);
  };
  const Case cases[] = {
      {"grains of 4 sectors", [](auto& v) { v.grainSize = 4; }},
      {"tables of 64 entries", [](auto& v) { v.entriesPerGt = 64; }},
      {"a grain table past the file",
       [](auto& v) {
         v.gdEntryOverride[0] = 1;
         v.gdEntryOverride[1] = 1 << 20;
       }},
      {"compressed grains", [](auto& v) { v.flags = 1 << 16; }},
      {"redundant tables that differ", [](auto& v) { v.redundant = v.redundantDiffers = true; }},
      {"a parent",
       [](auto& v) {
         v.descriptor = "version=1\nparentCID=12345678\nparentFileNameHint=\"base.vmdk\"\nRW 4096 SPARSE \"x.vmdk\"\n";
       }},
      {"two extents", [](auto& v) { v.descriptor = "RW 2048 SPARSE \"x.vmdk\"\nRW 2048 ZERO\n"; }},
      {"more sectors than the extent holds", [](auto& v) { v.descriptor = "RW 8192 SPARSE \"x.vmdk\"\n"; }},
      {"an extent line of another type", [](auto& v) { v.descriptor = "RW 4096 VMFS \"x.vmdk\"\n"; }},
      {"a header line after an extent", [](auto& v) { v.descriptor = "RW 4096 SPARSE \"x.vmdk\"\nCID=1\n"; }},
      {"an extent after the database", [](auto& v) { v.descriptor = "ddb.a = \"1\"\nRW 4096 SPARSE \"x.vmdk\"\n"; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    vdisk_test::Vmdk v;
    c.change(v);
    EXPECT_EQ(OpenBytes("vmdk_bad", v.Make()).result, -1);
  }
}

TEST(Vmdk, DescriptorLinesAndNumbers) {
  CVmdkImage image{};
  EXPECT_EQ(VmdkParseDescriptor(&image,
                                "# Disk Descriptor File\r\nRW 8 FLAT  \t\"a b.bin\" 16\r\nRDONLY 4 ZERO\n"
                                "NOACCESS 2 SPARSE \"c.vmdk\"\n\nddb.x = \"1\"\n" +
                                    std::string(40, '\0')),
            0);
  ASSERT_EQ(image.extents.size(), 3u);
  EXPECT_EQ(image.extents[0].name, "a b.bin");
  EXPECT_EQ(image.extents[0].offset, 16u);
  EXPECT_EQ(image.extents[1].kind, kVmdkZero);
  EXPECT_EQ(image.extents[2].access, kVmdkNoAccess);
  using namespace std::string_literals;
  for (const std::string& bad : {"RW 8 FLAT \"a.bin\"\rx\n"s, "RW 8 FLAT \"a.bin\" 16 7\n"s, "RW 8 ZERO \"z\"\n"s,
                                 "ddb.a=1\n"s, "RW 8 FLAT \"a.bin\"\n\0RW 8 ZERO\n"s}) {
    SCOPED_TRACE(bad);
    CVmdkImage other{};
    EXPECT_EQ(VmdkParseDescriptor(&other, bad), -1);
  }
  std::string many;
  for (int i = 0; i < 200; ++i) many += "RW 1 ZERO\n";
  CVmdkImage tooMany{};
  EXPECT_EQ(VmdkParseDescriptor(&tooMany, many), -1);

  int64_t value = 0;
  const char* end = nullptr;
  const char text[] = "-+-0x1F z";
  EXPECT_EQ(VmdkParseNumber(text, text + 8, &end, 0, &value), 0);
  EXPECT_EQ(value, 31);
  EXPECT_EQ(end, text + 7);
  EXPECT_EQ(VmdkParseNumber("017", "017" + 3, &end, 0, &value), 0);
  EXPECT_EQ(value, 15);
  EXPECT_EQ(VmdkParseNumber("x", "x" + 1, &end, 10, &value), -1);
}

}  // namespace
