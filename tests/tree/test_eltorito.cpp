// El Torito catalog reading over small hand-made images (hostile sizes and LBAs included), the sizes of
// emulated hard disks, and the sums the writer makes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "image/document.h"
#include "session/document.h"
#include "builder/eltorito_writer.h"
#include "tree/eltorito.h"
#include "tree/iso_helpers.h"

namespace {

constexpr int64_t kSector = 2048;

struct DocumentCloser {
  void operator()(CImageDocument* document) const { ImageClose(document); }
};
using Document = std::unique_ptr<CImageDocument, DocumentCloser>;

// An image of `sectors` 2048-byte sectors with a boot record at 17 naming the catalog at 18.
struct BootImage {
  std::vector<uint8_t> bytes;
  explicit BootImage(int64_t sectors) : bytes(static_cast<size_t>(sectors * kSector), 0) {
    uint8_t* record = Sector(17);
    record[0] = 0;
    std::memcpy(record + 1, "CD001", 5);
    record[6] = 1;
    std::memcpy(record + 7, "EL TORITO SPECIFICATION", 23);
    PutLittleEndian32(record + 71, 18);
    uint8_t* validation = Sector(18);
    validation[0] = 1;
    validation[30] = 0x55;
    validation[31] = 0xAA;
  }
  uint8_t* Sector(int64_t lba) { return bytes.data() + lba * kSector; }
  // Entry `index` (0 = the default entry) of the catalog.
  void Entry(int index, uint8_t indicator, uint8_t media, uint16_t count, uint32_t lba) {
    uint8_t* entry = Sector(18) + 32 * (index + 1);
    entry[0] = indicator;
    entry[1] = media;
    PutLittleEndian16(entry + 6, count);
    PutLittleEndian32(entry + 8, lba);
  }
  // Reads the catalog through a document over the bytes; the document keeps the stream.
  Document Read() {
    FILE* stream = fmemopen(bytes.data(), bytes.size(), "rb");
    Document document(ImageAlloc());
    document->input = stream;
    document->inputType = kImageTypeIso;
    document->sectorSize = 2048;
    document->readableLimit = static_cast<int64_t>(bytes.size()) / kSector;
    document->bootRecordLba = 17;
    BootCatalogRead(document.get());
    return document;
  }
};

void PutPartition(uint8_t* mbr, int index, uint8_t type, uint32_t start, uint32_t count) {
  uint8_t* partition = mbr + 446 + 16 * index;
  partition[4] = type;
  PutLittleEndian32(partition + 8, start);
  PutLittleEndian32(partition + 12, count);
}

TEST(ElTorito, HardDiskRunsToTheEndOfItsLastPartition) {
  struct Case {
    const char* what;
    std::vector<std::vector<uint32_t>> partitions;  // type, start, count
    int64_t sectors;
  };
  const Case cases[] = {
      {"one partition", {{6, 1, 2047}}, 2048},
      {"the second ends last", {{6, 1, 100}, {0x83, 101, 900}}, 1001},
      {"the first ends last", {{6, 500, 1000}, {0x83, 1, 100}}, 1500},
      {"a count above 16 bits", {{0x0C, 63, 200000}}, 200063},
      {"empty entries are no partitions", {{0, 1, 5000}, {6, 1, 10}, {6, 20, 0}}, 11},
      {"no partition at all", {}, 0},
  };
  for (const Case& c : cases) {
    uint8_t mbr[512] = {};
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    int index = 0;
    for (const auto& p : c.partitions) PutPartition(mbr, index++, static_cast<uint8_t>(p[0]), p[1], p[2]);
    EXPECT_EQ(BootImageCheckMbr(mbr), 1) << c.what;
    EXPECT_EQ(BootImageGetMbrSectors(mbr), c.sectors) << c.what;
  }
}

TEST(ElTorito, ValidationEntrySumsToZeroAndTablesAreRefreshed) {
  CBootInfo info{};
  info.catalog[0] = 1;
  std::memcpy(info.catalog + 4, "SOME MAKER", 10);
  info.catalog[30] = 0x55;
  info.catalog[31] = 0xAA;
  info.catalogLba = 0x123456;
  BootCatalogBuildValidation(&info);
  uint16_t sum = 0;
  for (int i = 0; i < 32; i += 2) sum = static_cast<uint16_t>(sum + GetLittleEndian16(info.catalog + i));
  EXPECT_EQ(sum, 0);
  EXPECT_EQ(GetLittleEndian32(info.bootRecord + 71), 0x123456u);

  // A no-emulation image with a table for its old place: refreshed for the new one, only bytes 8..63 change.
  CBootEntry& entry = info.entries[0];
  entry.indicator = kBootIndicatorBootable;
  entry.size = 5000;
  std::vector<uint8_t> image(6144, 0);
  for (size_t i = 0; i < 5000; ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
  PutLittleEndian32(image.data() + 12, 40);
  PutLittleEndian32(image.data() + 16, 5000);
  PutLittleEndian32(image.data() + 20, BootInfoTableChecksum(image.data(), 5000));
  EXPECT_EQ(BootInfoTableIsValid(image.data(), 5000, 40), 1);
  EXPECT_EQ(BootInfoTableIsValid(image.data(), 5000, 41), 0);
  EXPECT_EQ(BootInfoTableIsValid(image.data(), 4999, -1), 0);
  const std::vector<uint8_t> before = image;
  info.entryCount = 1;
  entry.lba = 77;
  BootCatalogBuildEntries(&info);
  BootImagePatchInfoTable(image.data(), &entry, 16);
  EXPECT_EQ(GetLittleEndian32(image.data() + 8), 16u);
  EXPECT_EQ(BootInfoTableIsValid(image.data(), 5000, 77), 1);
  EXPECT_EQ(std::memcmp(image.data() + 64, before.data() + 64, 5000 - 64), 0);
  EXPECT_EQ(std::memcmp(image.data(), before.data(), 8), 0);
  EXPECT_EQ(GetLittleEndian32(info.catalog + 32 + 8), 77u);
  // A flipped byte past the table makes the old sum wrong.
  image[100] ^= 1;
  EXPECT_EQ(BootInfoTableIsValid(image.data(), 5000, 77), 0);
}

TEST(ElTorito, HostileCatalogsAreCappedByTheSource) {
  BootImage image(64);
  // A default entry without a table: what the firmware loads.
  image.Entry(0, kBootIndicatorBootable, kBootMediaNoEmulation, 4, 20);
  // An EFI section header whose "count" and "LBA" are identifier bytes: never an image.
  image.Entry(1, kBootIndicatorFinalHeader, kBootPlatformEfi, 0xFFFF, 0xFFFFFFF0);
  // The EFI image: a FAT boot sector claiming 4 GiB; it is cut at the end of the source.
  image.Entry(2, kBootIndicatorBootable, kBootMediaNoEmulation, 1, 30);
  uint8_t* fat = image.Sector(30);
  PutLittleEndian16(fat + 11, 512);
  fat[13] = 4;
  PutLittleEndian32(fat + 32, 0x7FFFFFFF);
  fat[510] = 0x55;
  fat[511] = 0xAA;
  // A hard disk whose partition runs far past the source.
  image.Entry(3, kBootIndicatorNotBootable, kBootMediaHardDisk, 1, 40);
  uint8_t* mbr = image.Sector(40);
  PutPartition(mbr, 0, 6, 1, 0xFFFFFFF0);
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  Document document = image.Read();
  const CBootInfo* info = document->bootInfo;
  ASSERT_NE(info, nullptr);
  ASSERT_EQ(info->entryCount, 4);
  EXPECT_EQ(info->entries[0].size, 2048);
  EXPECT_EQ(info->entries[1].size, 0);
  EXPECT_EQ(BootCatalogFindEfiSection(info), 2);
  EXPECT_EQ(info->entries[2].size, (64 - 30) * kSector);
  EXPECT_EQ(info->entries[3].size, (64 - 40) * kSector);
  for (int i : {0, 2, 3}) EXPECT_EQ(info->entries[i].sourceLba, info->entries[i].lba);
}

TEST(ElTorito, AnImageOutsideTheSourceEndsTheWalk) {
  BootImage image(40);
  image.Entry(0, kBootIndicatorBootable, kBootMedia144Floppy, 1, 20);  // 720 sectors: past the end
  Document none = image.Read();
  EXPECT_EQ(none->bootInfo, nullptr);

  BootImage two(40);
  two.Entry(0, kBootIndicatorBootable, kBootMediaNoEmulation, 4, 20);
  two.Entry(1, kBootIndicatorBootable, kBootMediaNoEmulation, 4, 0xFFFFFFFF);
  two.Entry(2, kBootIndicatorBootable, kBootMediaNoEmulation, 4, 21);
  Document kept = two.Read();
  ASSERT_NE(kept->bootInfo, nullptr);
  EXPECT_EQ(kept->bootInfo->entryCount, 1);

  // Sixteen entries for one emulated disk as large as the rest of the source: the copies stop before they
  // take more memory than the source holds.
  BootImage same(64);
  for (int i = 0; i < kBootMaxEntries; ++i) same.Entry(i, kBootIndicatorBootable, kBootMediaHardDisk, 1, 20);
  PutPartition(same.Sector(20), 0, 6, 0, 0xFFFFFF);
  same.Sector(20)[510] = 0x55;
  same.Sector(20)[511] = 0xAA;
  Document capped = same.Read();
  ASSERT_NE(capped->bootInfo, nullptr);
  EXPECT_EQ(capped->bootInfo->entryCount, 1);
  EXPECT_EQ(capped->bootInfo->entries[0].size, 44 * kSector);

  // A boot record naming a catalog outside the source leaves no boot information.
  BootImage lost(40);
  PutLittleEndian32(lost.Sector(17) + 71, 5000);
  lost.Entry(0, kBootIndicatorBootable, kBootMediaNoEmulation, 4, 20);
  EXPECT_EQ(lost.Read()->bootInfo, nullptr);
}

}  // namespace
