// Partition tables read from disks made by sfdisk and sgdisk and from hand-built sectors: MBR primaries, extended
// chains (also looping and overlong ones), GPTs (damaged, hostile, 4096-byte sectors), the whole-disk entry,
// the probe callback, names and size texts.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "disks/partitions.h"
#include "image/disk.h"
#include "image/document.h"
#include "session/document.h"
#include "support/run_program.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct ListDeleter {
  void operator()(CPartitionList* list) const { PartitionListFree(list); }
};
using ListPtr = std::unique_ptr<CPartitionList, ListDeleter>;

void Put16(Bytes& b, size_t at, uint16_t v) {
  for (int i = 0; i < 2; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(Bytes& b, size_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// One MBR-style slot of the table in the sector at `sector` (of 512 bytes), with the signature.
void PutSlot(Bytes& disk, uint64_t sector, int slot, uint8_t type, uint32_t start, uint32_t length,
             uint8_t boot = 0) {
  const size_t base = static_cast<size_t>(sector * 512);
  const size_t at = base + 446 + 16 * static_cast<size_t>(slot);
  disk[at] = boot;
  disk[at + 4] = type;
  Put32(disk, at + 8, start);
  Put32(disk, at + 12, length);
  Put16(disk, base + 510, 0xAA55);
}

ListPtr ReadMemory(const Bytes& disk, int32_t sectorSize = 512, int32_t openMode = 0,
                   PartitionProbe probe = nullptr, PartitionDocumentClose close = nullptr) {
  return ListPtr(PartitionListRead(nullptr, openMode, sectorSize, nullptr, disk.data(),
                                   static_cast<int64_t>(disk.size()), probe, close));
}

struct Span {
  uint64_t start;
  uint64_t length;
  bool operator==(const Span&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Span& s) { return out << s.start << "+" << s.length; }

std::vector<Span> Spans(const CPartitionList* list) {
  std::vector<Span> spans;
  for (const CPartitionEntry& e : list->entries) spans.push_back({e.start, e.length});
  return spans;
}

std::string Narrow(const wchar_t* text) {
  std::string out;
  for (; *text; ++text) out.push_back(*text < 128 ? static_cast<char>(*text) : '?');
  return out;
}

// ----- Hand-built GPT disks. -----

struct GptPart {
  uint8_t typeFirst;  // first byte of a type GUID otherwise filled with 0x11
  uint64_t first;
  uint64_t last;
};

constexpr uint8_t kEfiType[16] = {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11,
                                  0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B};

struct GptDisk {
  uint32_t sectorSize = 512;
  uint64_t sectors = 2048;
  uint32_t headerSize = 92;
  uint32_t entrySize = 128;
  uint32_t count = 128;
  uint64_t arrayLba = 2;
  uint64_t myLba = 1;
  std::vector<GptPart> parts = {{0xEF, 34, 99}, {0x01, 100, 599}, {0x02, 600, 1999}};
  bool efiFirst = true;

  // A protective MBR, the header and the entry array with their CRCs (zlib's).
  Bytes Make() const {
    Bytes disk(static_cast<size_t>(sectors * sectorSize));
    PutSlot(disk, 0, 0, 0xEE, 1, static_cast<uint32_t>(std::min<uint64_t>(sectors - 1, 0xFFFFFFFF)));
    Bytes array(size_t{count} * entrySize);
    for (size_t n = 0; n < parts.size() && (n + 1) * entrySize <= array.size(); ++n) {
      const size_t at = n * entrySize;
      if (n == 0 && efiFirst) {
        std::memcpy(&array[at], kEfiType, 16);
      } else {
        std::memset(&array[at], 0x11, 16);
        array[at] = parts[n].typeFirst;
      }
      std::memset(&array[at + 16], static_cast<int>(0x40 + n), 16);
      Put64(array, at + 32, parts[n].first);
      Put64(array, at + 40, parts[n].last);
      array[at + 56] = static_cast<uint8_t>('a' + n);
    }
    const size_t h = sectorSize;  // the header's sector
    std::memcpy(&disk[h], "EFI PART", 8);
    Put32(disk, h + 8, 0x00010000);
    Put32(disk, h + 12, headerSize);
    Put64(disk, h + 24, myLba);
    Put64(disk, h + 32, sectors - 1);
    Put64(disk, h + 40, 34);
    Put64(disk, h + 48, sectors - 34);
    std::memset(&disk[h + 56], 0x5A, 16);
    Put64(disk, h + 72, arrayLba);
    Put32(disk, h + 80, count);
    Put32(disk, h + 84, entrySize);
    Put32(disk, h + 88, static_cast<uint32_t>(crc32(0, array.data(), static_cast<uInt>(array.size()))));
    const size_t arrayAt = static_cast<size_t>(arrayLba * sectorSize);
    if (arrayAt < disk.size() && !array.empty())
      std::memcpy(&disk[arrayAt], array.data(), std::min(array.size(), disk.size() - arrayAt));
    const size_t crcBytes = std::min<size_t>(headerSize, sectorSize);
    Put32(disk, h + 16, static_cast<uint32_t>(crc32(0, &disk[h], static_cast<uInt>(crcBytes))));
    return disk;
  }
};

bool HaveTool(const std::string& name) {
  return RunShell("PATH=\"$PATH:/usr/sbin:/sbin\" command -v " + name + " >/dev/null 2>&1").status == 0;
}

// Runs a shell command with the system folders on the path (sfdisk and sgdisk live in sbin).
ProgramResult Shell(const std::string& command) { return RunShell("PATH=\"$PATH:/usr/sbin:/sbin\" " + command); }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

FILE* OpenDisk(const std::string& path) { return std::fopen(path.c_str(), "rb"); }

struct FileCloser {
  void operator()(FILE* f) const {
    if (f) std::fclose(f);
  }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

}  // namespace

// ----- MBR -----

struct MbrCase {
  const char* name;
  std::vector<std::vector<uint32_t>> slots;  // {type, start, length[, boot]}
  std::vector<Span> expected;                // empty: the whole-disk entry
};

TEST(PartitionMbr, PrimaryEntriesAndWhatIsRefused) {
  const MbrCase cases[] = {
      {"one partition", {{0x0C, 2048, 1024}}, {{2048, 1024}}},
      {"four primaries", {{0x83, 64, 100}, {0x07, 200, 100, 0x80}, {0x82, 300, 100}, {0x0C, 400, 100}},
       {{64, 100}, {200, 100}, {300, 100}, {400, 100}}},
      {"boot indicator 0x01 is no MBR", {{0x83, 64, 100, 0x01}}, {}},
      {"empty table", {}, {}},
      {"start past the disk refused, end past the disk cut", {{0x83, 5000, 10}, {0x83, 3000, 5000}},
       {{3000, 1096}}},
      {"empty entry skipped", {{0x83, 64, 0}, {0x83, 100, 10}}, {{100, 10}}},
      {"after the extended entry only LVM is kept", {{0x0F, 2000, 0}, {0x83, 64, 10}, {0x8E, 100, 10}},
       {{100, 10}}},
  };
  for (const MbrCase& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes disk(4096 * 512);
    Put16(disk, 510, 0xAA55);
    for (size_t n = 0; n < c.slots.size(); ++n) {
      const auto& s = c.slots[n];
      PutSlot(disk, 0, static_cast<int>(n), static_cast<uint8_t>(s[0]), s[1], s[2],
              static_cast<uint8_t>(s.size() > 3 ? s[3] : 0));
    }
    Put32(disk, 440, 0xCAFEF00D);
    ListPtr list = ReadMemory(disk);
    ASSERT_TRUE(list);
    EXPECT_EQ(list->diskSize, 4096u);
    if (c.expected.empty()) {
      EXPECT_EQ(list->wholeDisk, 1);
      EXPECT_EQ(list->hasEntries, 0);
      EXPECT_EQ(Spans(list.get()), (std::vector<Span>{{0, 4096}}));
    } else {
      EXPECT_EQ(list->wholeDisk, 0);
      EXPECT_EQ(list->hasEntries, 1);
      EXPECT_EQ(list->diskSignature, 0xCAFEF00Du);
      EXPECT_EQ(Spans(list.get()), c.expected);
      for (const CPartitionEntry& e : list->entries) EXPECT_EQ(e.primary, 1);
    }
  }
}

TEST(PartitionMbr, DescriptionsAndSizeTextsOfEntries) {
  Bytes disk(1 << 20);
  PutSlot(disk, 0, 0, 0x0C, 64, 1024, 0x80);
  PutSlot(disk, 0, 1, 0x05, 1100, 900);
  PutSlot(disk, 1100, 0, 0x83, 10, 100);
  ListPtr list = ReadMemory(disk);
  ASSERT_TRUE(list);
  ASSERT_EQ(list->entries.size(), 2u);
  const CPartitionEntry& primary = list->entries[0];
  EXPECT_EQ(primary.bootIndicator, 0x80);
  EXPECT_EQ(primary.mbrType, 0x0C);
  EXPECT_EQ(Narrow(primary.description), "Primary FAT32 (0C)");
  EXPECT_EQ(Narrow(primary.sizeText), "0.5 MB");
  EXPECT_EQ(Narrow(list->entries[1].description), "Extended Linux (83)");
  EXPECT_EQ(list->entries[1].primary, 0);
  EXPECT_EQ(Narrow(list->entries[1].usedText), "");
}

TEST(PartitionMbr, DiskWithoutTable) {
  Bytes zeros(100 * 512);
  ListPtr plain = ReadMemory(zeros);
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->wholeDisk, 1);
  EXPECT_EQ(Spans(plain.get()), (std::vector<Span>{{0, 100}}));
  EXPECT_EQ(Narrow(plain->entries[0].description), "Primary  (00)");
  // A caller that wants a table only gets a list for a disk that starts with an MBR or a Linux file system.
  EXPECT_FALSE(ReadMemory(zeros, 512, -1));
  Bytes ext = zeros;
  Put16(ext, 1080, 0xEF53);
  ListPtr extList = ReadMemory(ext, 512, -1);
  ASSERT_TRUE(extList);
  EXPECT_EQ(extList->wholeDisk, 1);
  Bytes xfs = zeros;
  std::memcpy(xfs.data(), "XFSB", 4);
  EXPECT_TRUE(ReadMemory(xfs, 512, -1));
  // Sector 0 cannot be read: no list.
  EXPECT_FALSE(ReadMemory(Bytes(100)));
}

// ----- Extended chains -----

TEST(PartitionExtended, ChainOfSixLogicals) {
  Bytes disk(20000 * 512);
  PutSlot(disk, 0, 0, 0x07, 64, 900);
  PutSlot(disk, 0, 1, 0x0F, 1000, 18000);
  // Each record describes its logical partition relative to itself and links to the next relative to the base.
  for (uint32_t n = 0; n < 6; ++n) {
    const uint32_t record = 1000 + n * 2000;
    PutSlot(disk, record, 0, 0x83, 63, 1000 + n);
    if (n < 5) PutSlot(disk, record, 1, 0x05, (n + 1) * 2000, 2000);
  }
  ListPtr list = ReadMemory(disk);
  ASSERT_TRUE(list);
  std::vector<Span> expected = {{64, 900}};
  for (uint32_t n = 0; n < 6; ++n) expected.push_back({1000 + n * 2000 + 63, 1000 + n});
  EXPECT_EQ(Spans(list.get()), expected);
  EXPECT_EQ(list->tableSectors.size(), 6u);
  EXPECT_TRUE(PartitionListIsNearTableSector(list.get(), 1000 + 5 * 2000 + 2048));
  EXPECT_FALSE(PartitionListIsNearTableSector(list.get(), 1000 + 5 * 2000 + 2049));
}

TEST(PartitionExtended, LoopsAndOverlongChainsEnd) {
  {
    SCOPED_TRACE("the second record links back to the first");
    Bytes disk(4000 * 512);
    PutSlot(disk, 0, 0, 0x05, 100, 3000);
    PutSlot(disk, 100, 0, 0x83, 10, 10);
    PutSlot(disk, 100, 1, 0x05, 200, 100);
    PutSlot(disk, 300, 0, 0x83, 10, 10);
    PutSlot(disk, 300, 1, 0x05, 0, 100);
    ListPtr list = ReadMemory(disk);
    ASSERT_TRUE(list);
    EXPECT_EQ(Spans(list.get()), (std::vector<Span>{{110, 10}, {310, 10}}));
  }
  {
    SCOPED_TRACE("a record that links to itself");
    Bytes disk(400 * 512);
    PutSlot(disk, 0, 0, 0x05, 100, 300);
    PutSlot(disk, 100, 0, 0x83, 10, 10);
    PutSlot(disk, 100, 1, 0x0F, 0, 10);
    ListPtr list = ReadMemory(disk);
    ASSERT_TRUE(list);
    EXPECT_EQ(Spans(list.get()), (std::vector<Span>{{110, 10}}));
  }
  {
    SCOPED_TRACE("400 distinct links: the first 300 are followed");
    Bytes disk(1000 * 512);
    PutSlot(disk, 0, 0, 0x05, 100, 800);
    for (uint32_t n = 0; n < 400 && 100 + 2 * n < 1000; ++n) {
      PutSlot(disk, 100 + n, 0, 0x83, 1, 1);
      PutSlot(disk, 100 + n, 1, 0x05, n + 1, 1);
    }
    ListPtr list = ReadMemory(disk);
    ASSERT_TRUE(list);
    EXPECT_EQ(list->entries.size(), static_cast<size_t>(kPartitionMaxTableSectors));
    EXPECT_EQ(list->tableSectors.size(), static_cast<size_t>(kPartitionMaxTableSectors));
    EXPECT_FALSE(PartitionListAddTableSector(list.get(), 999));
    EXPECT_TRUE(PartitionListAddTableSector(list.get(), 100));  // already known
  }
  {
    SCOPED_TRACE("a link past the disk and a record without signature end the chain");
    Bytes disk(400 * 512);
    PutSlot(disk, 0, 0, 0x05, 100, 300);
    PutSlot(disk, 100, 0, 0x83, 10, 10);
    PutSlot(disk, 100, 1, 0x05, 0xFFFFFF00u, 10);
    ListPtr list = ReadMemory(disk);
    ASSERT_TRUE(list);
    EXPECT_EQ(Spans(list.get()), (std::vector<Span>{{110, 10}}));
    Bytes unsignedRecord = disk;
    PutSlot(unsignedRecord, 0, 0, 0x05, 200, 100);
    PutSlot(unsignedRecord, 200, 0, 0x83, 10, 10);
    Put16(unsignedRecord, 200 * 512 + 510, 0);
    ListPtr none = ReadMemory(unsignedRecord);
    ASSERT_TRUE(none);
    EXPECT_EQ(none->wholeDisk, 1);
  }
}

TEST(PartitionExtended, SfdiskDiskMatchesItsDump) {
  if (!HaveTool("sfdisk")) GTEST_SKIP() << "sfdisk is not installed (scripts/setup installs fdisk)";
  const std::string folder = MakeTestFolder("partitions-sfdisk");
  const std::string disk = folder + "/disk.img";
  std::string script = "label: dos\nstart=2048, size=2048, type=c\nstart=4096, size=2048, type=7\n"
                       "start=6144, size=2048, type=82\nstart=8192, size=65536, type=f\n";
  for (int n = 0; n < 6; ++n) script += "size=" + std::to_string(4096 + 8 * n) + ", type=83\n";
  WriteFileBytes(folder + "/script", script);
  ASSERT_EQ(Shell("truncate -s 64M " + disk + " && sfdisk -q " + disk + " < " + folder + "/script").status, 0);
  const ProgramResult dump = Shell("sfdisk -d " + disk);
  ASSERT_EQ(dump.status, 0);
  // What sfdisk says is on the disk, leaving out the extended partition itself.
  std::vector<Span> expected;
  for (const std::string& line : Lines(dump.out)) {
    unsigned long long start = 0, size = 0;
    char type[8] = "";
    const size_t at = line.find("start=");
    if (at != std::string::npos && std::sscanf(line.c_str() + at, "start= %llu, size= %llu, type=%7s", &start, &size,
                                               type) == 3 && std::string(type) != "f")
      expected.push_back({start, size});
  }
  ASSERT_EQ(expected.size(), 9u);
  FilePtr file(OpenDisk(disk));
  ASSERT_TRUE(file);
  ListPtr list(PartitionListRead(file.get(), 0, 512, nullptr, nullptr, 0));
  ASSERT_TRUE(list);
  EXPECT_EQ(Spans(list.get()), expected);
  EXPECT_EQ(list->diskSize, 64u * 2048);
  EXPECT_EQ(Narrow(list->entries[2].description), "Primary Linux Swap (82)");
  EXPECT_EQ(Narrow(list->entries[3].description), "Extended Linux (83)");
}

// ----- GPT -----

TEST(PartitionGpt, SgdiskDiskWithThreePartitions) {
  if (!HaveTool("sgdisk")) GTEST_SKIP() << "sgdisk is not installed (scripts/setup installs gdisk)";
  const std::string folder = MakeTestFolder("partitions-sgdisk");
  const std::string disk = folder + "/disk.img";
  ASSERT_EQ(Shell("truncate -s 64M " + disk + " && sgdisk -n 1:2048:+4M -t 1:ef00 -n 2:0:+8M -t 2:0700 "
                  "-n 3:0:0 -t 3:8300 -c 3:data " + disk + " >/dev/null").status, 0);
  const ProgramResult print = Shell("sgdisk -p " + disk);
  std::vector<Span> expected;
  for (const std::string& line : Lines(print.out)) {
    unsigned number = 0;
    unsigned long long first = 0, last = 0;
    char size[16];
    if (std::sscanf(line.c_str(), " %u %llu %llu %15s", &number, &first, &last, size) == 4)
      expected.push_back({first, last - first + 1});
  }
  ASSERT_EQ(expected.size(), 3u) << print.out;

  FilePtr file(OpenDisk(disk));
  ASSERT_TRUE(file);
  ListPtr list(PartitionListRead(file.get(), 0, 512, nullptr, nullptr, 0));
  ASSERT_TRUE(list);
  EXPECT_EQ(list->gpt, 1);
  EXPECT_EQ(list->diskSignature, 0u);
  EXPECT_EQ(Spans(list.get()), expected);
  EXPECT_EQ(Narrow(list->entries[0].description), "GPT EFI");
  EXPECT_EQ(Narrow(list->entries[1].description), "GPT NTFS");
  EXPECT_EQ(Narrow(list->entries[2].description), "GPT ");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(list->entries[2].gptName), 8),
            std::string("d\0a\0t\0a\0", 8));
  EXPECT_EQ(list->entries[0].primary, 0);
}

TEST(PartitionGpt, DamagedTablesKeepTheMbrEntries) {
  // A hybrid MBR: the protective entry beside one ordinary entry, which stays whatever the GPT holds.
  GptDisk gpt;
  Bytes good = gpt.Make();
  PutSlot(good, 0, 1, 0x0C, 100, 500);
  ListPtr list = ReadMemory(good);
  ASSERT_TRUE(list);
  EXPECT_EQ(list->gpt, 1);
  EXPECT_EQ(Spans(list.get()), (std::vector<Span>{{100, 500}, {34, 66}, {100, 500}, {600, 1400}}));
  EXPECT_EQ(list->diskGuid[0], 0x5A);

  struct Damage {
    const char* name;
    size_t offset;
  };
  const Damage damages[] = {
      {"header CRC", 512 + 16},
      {"header byte covered by the CRC", 512 + 40},
      {"entry byte covered by the array CRC", 2 * 512 + 128 + 60},
      {"signature", 512 + 3},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.name);
    Bytes disk = good;
    disk[d.offset] ^= 0x01;
    ListPtr damaged = ReadMemory(disk);
    ASSERT_TRUE(damaged);
    EXPECT_EQ(damaged->gpt, 0);
    EXPECT_EQ(damaged->diskSignature, 0u);
    EXPECT_EQ(Spans(damaged.get()), (std::vector<Span>{{100, 500}}));
  }
}

TEST(PartitionGpt, HostileHeadersAndEntries) {
  // Each header carries correct CRCs: only the checks of its fields can refuse it.
  struct Case {
    const char* name;
    GptDisk disk;
    std::vector<Span> expected;  // empty: no GPT entry (the whole-disk entry)
  };
  auto with = [](auto change) {
    GptDisk d;
    change(d);
    return d;
  };
  const std::vector<Case> cases = {
      {"header size below 92", with([](GptDisk& d) { d.headerSize = 91; }), {}},
      {"header size above the sector", with([](GptDisk& d) { d.headerSize = 513; }), {}},
      {"header size of a whole sector", with([](GptDisk& d) { d.headerSize = 512; }),
       {{34, 66}, {100, 500}, {600, 1400}}},
      {"entry size below 128", with([](GptDisk& d) { d.entrySize = 64; }), {}},
      {"entry size not a multiple of 8", with([](GptDisk& d) { d.entrySize = 132; }), {}},
      {"entry size 256", with([](GptDisk& d) { d.entrySize = 256; }), {{34, 66}, {100, 500}, {600, 1400}}},
      {"array larger than 1 MiB", with([](GptDisk& d) { d.count = 8193; d.sectors = 4096; }), {}},
      {"array past the disk", with([](GptDisk& d) { d.arrayLba = 2040; }), {}},
      {"array over the header", with([](GptDisk& d) { d.arrayLba = 1; }), {}},
      {"header names another sector", with([](GptDisk& d) { d.myLba = 7; }), {}},
      {"no entries", with([](GptDisk& d) { d.count = 0; }), {}},
      {"first after last, past the disk, reaching past the disk",
       with([](GptDisk& d) { d.parts = {{1, 50, 40}, {2, 3000, 3100}, {3, 1000, 5000}, {4, 40, 40}}; }),
       {{1000, 1048}, {40, 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ListPtr list = ReadMemory(c.disk.Make());
    ASSERT_TRUE(list);
    if (c.expected.empty()) {
      EXPECT_EQ(list->wholeDisk, 1);
    } else {
      EXPECT_EQ(list->gpt, 1);
      EXPECT_EQ(Spans(list.get()), c.expected);
    }
  }
}

TEST(PartitionGpt, HandBuiltDiskPassesSgdiskVerify) {
  // The generator the hostile cases start from makes a GPT that sgdisk accepts.
  if (!HaveTool("sgdisk")) GTEST_SKIP() << "sgdisk is not installed (scripts/setup installs gdisk)";
  const std::string folder = MakeTestFolder("partitions-gpt-verify");
  GptDisk gpt;
  const Bytes bytes = gpt.Make();
  WriteFileBytes(folder + "/disk.img", std::string(bytes.begin(), bytes.end()));
  const ProgramResult verify = Shell("sgdisk -v " + folder + "/disk.img");
  // Only the primary structures are made: the backup header is missing on purpose.
  EXPECT_NE(verify.out.find("Main header: OK"), std::string::npos) << verify.out;
  EXPECT_NE(verify.out.find("Main partition table: OK"), std::string::npos) << verify.out;
}

TEST(PartitionGpt, DiskOf4096ByteSectors) {
  GptDisk gpt;
  gpt.sectorSize = 4096;
  gpt.sectors = 600;
  gpt.parts = {{0xEF, 34, 99}, {0x01, 100, 566}};
  const Bytes bytes = gpt.Make();
  ListPtr list = ReadMemory(bytes, 4096);
  ASSERT_TRUE(list);
  EXPECT_EQ(list->gpt, 1);
  EXPECT_EQ(list->sectorSize, 4096);
  EXPECT_EQ(Spans(list.get()), (std::vector<Span>{{34, 66}, {100, 467}}));
  EXPECT_EQ(Narrow(list->entries[1].sizeText), "1.8 MB");
  // With 512-byte sectors the header is not where the protective entry says: the whole disk.
  ListPtr small = ReadMemory(bytes, 512);
  ASSERT_TRUE(small);
  EXPECT_EQ(small->gpt, 0);
  EXPECT_EQ(small->wholeDisk, 1);

  // The same disk through a file and through a document of 512-byte sectors (byte reads).
  const std::string folder = MakeTestFolder("partitions-4k");
  WriteFileBytes(folder + "/disk.img", std::string(bytes.begin(), bytes.end()));
  FilePtr file(OpenDisk(folder + "/disk.img"));
  ASSERT_TRUE(file);
  ListPtr fromFile(PartitionListRead(file.get(), 0, 4096, nullptr, nullptr, 0));
  ASSERT_TRUE(fromFile);
  EXPECT_EQ(Spans(fromFile.get()), Spans(list.get()));
  CImageDocument* document = ImageAlloc();
  ASSERT_TRUE(document);
  document->input = OpenDisk(folder + "/disk.img");
  document->sectorSize = 512;
  ListPtr fromDocument(PartitionListRead(nullptr, 0, 4096, document, nullptr, 0));
  ASSERT_TRUE(fromDocument);
  EXPECT_EQ(Spans(fromDocument.get()), Spans(list.get()));
  EXPECT_EQ(fromDocument->diskSize, 600u);
  ImageClose(document);
}

// ----- Probing each partition -----

namespace {

struct ProbeLog {
  int calls = 0;
  int closes = 0;
  std::vector<int64_t> starts;
  FILE* input = nullptr;
  int32_t sectorSize = 0;
};
ProbeLog g_probe;

int RecordingProbe(CImageDocument* document, CPartitionEntry* entry) {
  ++g_probe.calls;
  g_probe.starts.push_back(document->partitionStart);
  g_probe.input = document->input;
  g_probe.sectorSize = document->sectorSize;
  EXPECT_EQ(document->partitionLength, static_cast<int64_t>(entry->length));
  EXPECT_EQ(document->readableLimit, static_cast<int64_t>(entry->length));
  // The partition's first sector, read through the document the way a file-system reader does.
  uint8_t first[512];
  if (ImageReadDiskBytes(document, document->partitionStart * document->sectorSize, first, 512) != 512) return 0;
  if (std::memcmp(first + 3, "MYFS", 4) != 0) return 0;
  std::swprintf(entry->fileSystemName, 64, L"MyFS");
  entry->unitSize = 4096;
  entry->totalUnits = 1000;
  entry->usedUnits = 256;
  return 1;
}

void CountingClose(CImageDocument* document) {
  ++g_probe.closes;
  EXPECT_EQ(document->input, nullptr);
  ImageClose(document);
}

}  // namespace

TEST(PartitionProbe, EachEntryGetsADocumentOverItsSectors) {
  g_probe = {};
  Bytes disk(3000 * 512);
  PutSlot(disk, 0, 0, 0x83, 100, 1000);
  PutSlot(disk, 0, 1, 0x07, 1200, 1000);
  std::memcpy(&disk[1200 * 512 + 3], "MYFS", 4);
  std::memcpy(&disk[100 * 512 + 3], "-FVE-FS-", 8);
  const std::string folder = MakeTestFolder("partitions-probe");
  WriteFileBytes(folder + "/disk.img", std::string(disk.begin(), disk.end()));
  CImageDocument* parent = ImageAlloc();
  ASSERT_TRUE(parent);
  parent->input = OpenDisk(folder + "/disk.img");
  parent->sectorSize = 512;
  {
    ListPtr list(PartitionListRead(nullptr, 0, 512, parent, nullptr, 0, RecordingProbe, CountingClose));
    ASSERT_TRUE(list);
    EXPECT_EQ(g_probe.calls, 2);
    EXPECT_EQ(g_probe.starts, (std::vector<int64_t>{100, 1200}));
    EXPECT_EQ(g_probe.input, parent->input);
    EXPECT_EQ(g_probe.sectorSize, 512);
    const CPartitionEntry& linuxEntry = list->entries[0];
    EXPECT_EQ(linuxEntry.bitLocker, 1);
    EXPECT_EQ(linuxEntry.fileSystem, nullptr);
    EXPECT_EQ(Narrow(linuxEntry.description), "Primary Linux (83)");
    const CPartitionEntry& mine = list->entries[1];
    EXPECT_EQ(mine.bitLocker, 0);
    ASSERT_NE(mine.fileSystem, nullptr);
    EXPECT_EQ(mine.fileSystem->input, nullptr);  // kept without the shared source
    EXPECT_EQ(Narrow(mine.description), "Primary MyFS (07)");
    EXPECT_EQ(Narrow(mine.usedText), "1.0 MB");
    EXPECT_EQ(g_probe.closes, 1);  // the failed probe's document
  }
  EXPECT_EQ(g_probe.closes, 2);  // and the kept one, with the list
  ImageClose(parent);
}

// ----- Texts -----

TEST(PartitionTexts, SizeTexts) {
  struct Case {
    uint64_t bytes;
    int32_t sectorSize;
    const char* text;
  };
  const Case cases[] = {
      {10ull << 20, 512, "10 MB"},  // above 10,485,759 bytes: whole megabytes
      {(10ull << 20) - 512, 512, "10.0 MB"},
      {11ull << 20, 512, "11 MB"},
      {(1ull << 30) - 4096, 4096, "1023 MB"},
      {1ull << 30, 512, "1.0 GB"},
      {3ull << 29, 4096, "1.5 GB"},
      {1ull << 20, 512, "1.0 MB"},
      {512, 512, "0.0 MB"},
      {5ull << 40, 4096, "5120.0 GB"},
  };
  for (const Case& c : cases) {
    CPartitionList list{};
    list.sectorSize = c.sectorSize;
    CPartitionEntry entry{};
    entry.length = c.bytes / static_cast<uint64_t>(c.sectorSize);
    PartitionFormatSize(&list, &entry);
    EXPECT_EQ(Narrow(entry.sizeText), c.text) << c.bytes;
  }
}

TEST(PartitionTexts, TypeNames) {
  struct Case {
    const wchar_t* mounted;
    uint8_t type;
    const char* text;
  };
  const Case cases[] = {
      {nullptr, 0x83, "Linux (83)"},    {nullptr, 0x8E, "Linux (8E)"},     {nullptr, 0x82, "Linux Swap (82)"},
      {nullptr, 0x01, "FAT12 (01)"},    {nullptr, 0x0E, "FAT16 (0E)"},     {nullptr, 0x1C, "FAT32 (1C)"},
      {nullptr, 0x87, "NTFS (87)"},     {nullptr, 0x0F, "Extended (0F)"},  {nullptr, 0x00, " (00)"},
      {nullptr, 0xA5, "Unknown (A5)"},  {L"", 0x07, "NTFS (07)"},          {L"exFAT", 0x07, "exFAT (07)"},
  };
  for (const Case& c : cases) {
    wchar_t text[64];
    PartitionGetTypeName(c.mounted, c.type, text, 64);
    EXPECT_EQ(Narrow(text), c.text);
  }
}
