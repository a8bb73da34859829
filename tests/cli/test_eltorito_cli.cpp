// Bootable images stay bootable when edited: images made by xorriso and genisoimage with no-emulation, EFI,
// floppy and hard-disk emulation boot entries are edited, and xorriso's El Torito report, the boot images
// (found through the new catalog) and the refreshed boot information table are compared with the source.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "builder/build_state.h"
#include "builder/builder_map.h"
#include "image/document.h"
#include "session/document.h"
#include "session/open.h"
#include "session/save.h"
#include "image/sectors.h"
#include "runtime/error.h"
#include "support/iso_checker.h"
#include "support/run_program.h"

namespace fs = std::filesystem;

namespace {

uint32_t Le32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
  return value;
}

uint16_t Le16(const std::string& bytes, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8);
}

// Bytes that are not all alike, so that a shifted or truncated copy shows.
std::string Pattern(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    seed = seed * 1103515245u + 12345u;
    bytes[i] = static_cast<char>(seed >> 16);
  }
  return bytes;
}

// Makes the first sector of `disk` a partition table holding one bootable FAT16 partition.
void PutOnePartition(std::string* disk, uint32_t start, uint32_t count) {
  std::memset(disk->data() + 446, 0, 64);
  (*disk)[446] = '\x80';
  (*disk)[446 + 4] = 0x06;
  for (int i = 0; i < 4; ++i) {
    (*disk)[446 + 8 + i] = static_cast<char>(start >> (8 * i));
    (*disk)[446 + 12 + i] = static_cast<char>(count >> (8 * i));
  }
  (*disk)[510] = '\x55';
  (*disk)[511] = '\xAA';
}

struct CatalogEntry {
  uint8_t indicator = 0;
  uint8_t media = 0;
  uint16_t count = 0;
  uint32_t lba = 0;
};

struct Catalog {
  uint32_t lba = 0;
  uint16_t validationSum = 1;
  std::vector<CatalogEntry> entries;
};

// Reads the boot catalog of an image, with code of this test's own: the boot record must be the descriptor at
// sector 17 (right after the primary descriptor).
Catalog ReadCatalog(const std::string& image) {
  Catalog catalog;
  const std::string record = image.substr(17 * 2048, 2048);
  EXPECT_EQ(record.substr(7, 23), "EL TORITO SPECIFICATION");
  catalog.lba = Le32(record, 71);
  const std::string sector = image.substr(static_cast<size_t>(catalog.lba) * 2048, 2048);
  uint16_t sum = 0;
  for (int i = 0; i < 32; i += 2) sum = static_cast<uint16_t>(sum + Le16(sector, i));
  catalog.validationSum = sum;
  for (int i = 1; i < 64; ++i) {
    const std::string raw = sector.substr(32 * i, 32);
    if (raw == std::string(32, '\0')) break;
    CatalogEntry entry;
    entry.indicator = static_cast<uint8_t>(raw[0]);
    entry.media = static_cast<uint8_t>(raw[1]);
    entry.count = Le16(raw, 6);
    entry.lba = Le32(raw, 8);
    catalog.entries.push_back(entry);
  }
  return catalog;
}

// xorriso's El Torito report with the LBA columns and the lines naming files (which no longer coincide with
// the boot images) left out.
std::string ElToritoReport(const std::string& iso) {
  ProgramResult r = RunShell("xorriso -indev '" + iso + "' -report_el_torito plain 2>/dev/null");
  std::istringstream lines(r.out);
  std::string line, report;
  while (std::getline(lines, line)) {
    if (line.rfind("El Torito boot img :", 0) == 0) {
      report += line.substr(0, line.find_last_not_of("0123456789 ") + 1) + "\n";
    } else if (line.rfind("El Torito catalog  :", 0) == 0) {
      report += "catalog entries" + line.substr(line.find_last_of(' ')) + "\n";
    } else if (line.rfind("El Torito hdsiz/512:", 0) == 0) {
      report += line + "\n";
    }
  }
  return report;
}

// Edits the image (only its label) and checks what every bootable image must keep.
std::string EditAndCheck(const std::string& folder, const std::string& source) {
  const std::string edited = folder + "/edited.iso";
  ProgramResult r = RunKestrane({"edit", source, "-label", "X", "-o", edited});
  EXPECT_EQ(r.status, 0) << r.out;
  IsoCheckSummary summary;
  std::vector<std::string> problems = IsoCheckImage(edited, &summary);
  EXPECT_TRUE(problems.empty()) << problems.front();
  EXPECT_EQ(summary.label, "X");
  EXPECT_EQ(summary.volumeSize, summary.imageSectors);
  // The descriptor set: primary, boot record, Joliet (when the source had it), terminator.
  EXPECT_GE(summary.descriptors.size(), 3u);
  if (summary.descriptors.size() >= 2) {
    EXPECT_EQ(summary.descriptors[1].lba, 17u);
    EXPECT_EQ(summary.descriptors[1].type, 0);
  }
  const std::string before = ElToritoReport(source);
  EXPECT_NE(before.find("boot img"), std::string::npos) << before;
  EXPECT_EQ(ElToritoReport(edited), before);
  return edited;
}

TEST(ElToritoCli, BiosAndEfiNoEmulationImagesKeepTheirEntriesAndBytes) {
  const std::string folder = MakeTestFolder("eltorito_bios_efi");
  const std::string src = folder + "/src";
  const std::string bios = Pattern(6000, 1);
  WriteFileBytes(src + "/boot/bios.img", bios);
  WriteFileBytes(src + "/readme.txt", "bootable\n");
  // The EFI image is a FAT volume.
  ASSERT_EQ(RunShell("mkdir -p '" + src + "/EFI' && dd if=/dev/zero of='" + src + "/EFI/efi.img' bs=1k count=2880 "
                  "2>/dev/null && mkfs.vfat -n EFIBOOT '" + src + "/EFI/efi.img' >/dev/null && echo efi > '" +
                  folder + "/x.efi' && mcopy -i '" + src + "/EFI/efi.img' '" + folder + "/x.efi' ::/x.efi").status,
            0);
  const std::string source = folder + "/in.iso";
  ProgramResult made = RunShell("xorriso -as mkisofs -quiet -o '" + source + "' -b boot/bios.img -no-emul-boot "
                             "-boot-load-size 4 -eltorito-alt-boot -e EFI/efi.img -no-emul-boot '" + src + "' 2>&1");
  ASSERT_EQ(made.status, 0) << made.out;
  // Tools that meet an EFI image too large for the 16-bit count load one sector; the image is then known only by
  // its FAT volume. Make the source look so.
  {
    std::string bytes = ReadFileBytes(source);
    const Catalog original = ReadCatalog(bytes);
    ASSERT_EQ(original.entries.size(), 3u);
    const size_t count = static_cast<size_t>(original.lba) * 2048 + 3 * 32 + 6;
    bytes[count] = 1;
    bytes[count + 1] = 0;
    WriteFileBytes(source, bytes);
  }

  const std::string edited = EditAndCheck(folder, source);
  const std::string image = ReadFileBytes(edited);
  const Catalog catalog = ReadCatalog(image);
  EXPECT_EQ(catalog.validationSum, 0);
  ASSERT_EQ(catalog.entries.size(), 3u);
  EXPECT_EQ(catalog.entries[1].indicator, 0x91);  // the EFI section header
  EXPECT_EQ(catalog.entries[1].media, 0xEF);
  // Without a boot information table the BIOS image is what the firmware loads: 4 x 512 bytes.
  EXPECT_EQ(image.substr(static_cast<size_t>(catalog.entries[0].lba) * 2048, 2048), bios.substr(0, 2048));
  // The EFI image is the whole FAT volume, though the entry loads one 512-byte sector.
  const std::string efi = ReadFileBytes(src + "/EFI/efi.img");
  EXPECT_EQ(image.substr(static_cast<size_t>(catalog.entries[2].lba) * 2048, efi.size()), efi);
  // Images lie after the catalog and clear of each other.
  EXPECT_GT(catalog.entries[0].lba, catalog.lba);
  EXPECT_GT(catalog.entries[2].lba, catalog.entries[0].lba);
  // The files of the tree are still there and intact.
  const std::string out = folder + "/x";
  ASSERT_EQ(RunProgram("/usr/bin/7zz", {"x", "-y", "-o" + out, edited}).status, 0);
  EXPECT_EQ(ReadFileBytes(out + "/boot/bios.img"), bios);
  EXPECT_EQ(ReadFileBytes(out + "/EFI/efi.img"), efi);
}

TEST(ElToritoCli, BootInformationTableIsRefreshedForTheNewLocation) {
  const std::string folder = MakeTestFolder("eltorito_info_table");
  const std::string src = folder + "/src";
  const std::string boot = Pattern(10000, 7);
  WriteFileBytes(src + "/isolinux/boot.bin", boot);
  WriteFileBytes(src + "/filler/a.dat", Pattern(70000, 9));
  const std::string source = folder + "/in.iso";
  ProgramResult made = RunShell("genisoimage -quiet -J -o '" + source + "' -b isolinux/boot.bin -c isolinux/boot.cat "
                             "-no-emul-boot -boot-load-size 4 -boot-info-table '" + src + "' 2>&1");
  ASSERT_EQ(made.status, 0) << made.out;
  // Added files grow the directories, so the boot image cannot land where it was.
  for (int i = 0; i < 200; ++i) WriteFileBytes(folder + "/more/added_file_" + std::to_string(i) + ".bin", "x");
  const std::string edited = folder + "/edited.iso";
  ProgramResult r = RunKestrane({"edit", source, "-add", folder + "/more", "/", "-label", "X", "-o", edited});
  ASSERT_EQ(r.status, 0) << r.out;
  IsoCheckSummary summary;
  std::vector<std::string> problems = IsoCheckImage(edited, &summary);
  EXPECT_TRUE(problems.empty()) << problems.front();
  EXPECT_EQ(ElToritoReport(edited), ElToritoReport(source));

  const std::string sourceImage = ReadFileBytes(source);
  const std::string image = ReadFileBytes(edited);
  const Catalog old = ReadCatalog(sourceImage);
  const Catalog now = ReadCatalog(image);
  ASSERT_EQ(now.entries.size(), 1u);
  ASSERT_EQ(old.entries.size(), 1u);
  EXPECT_NE(now.entries[0].lba, old.entries[0].lba);
  // The whole file is the boot image: the table names it.
  const std::string copied = image.substr(static_cast<size_t>(now.entries[0].lba) * 2048, boot.size());
  EXPECT_EQ(Le32(copied, 8), 16u);
  EXPECT_EQ(Le32(copied, 12), now.entries[0].lba);
  EXPECT_EQ(Le32(copied, 16), boot.size());
  uint32_t sum = 0;
  for (size_t at = 64; at < boot.size(); at += 4) sum += Le32(copied, at);
  EXPECT_EQ(Le32(copied, 20), sum);
  // Everything outside the table is the file's own bytes.
  EXPECT_EQ(copied.substr(0, 8), boot.substr(0, 8));
  EXPECT_EQ(copied.substr(64), boot.substr(64));
  // And the source's table agreed with the source's LBA, as genisoimage wrote it.
  EXPECT_EQ(Le32(sourceImage, static_cast<size_t>(old.entries[0].lba) * 2048 + 12), old.entries[0].lba);
}

TEST(ElToritoCli, FloppyAndHardDiskEmulationImagesAreCopiedWhole) {
  const std::string folder = MakeTestFolder("eltorito_emulation");
  // A 1.44 MB floppy.
  const std::string floppy = Pattern(1474560, 11);
  WriteFileBytes(folder + "/fsrc/floppy.img", floppy);
  WriteFileBytes(folder + "/fsrc/note.txt", "floppy\n");
  const std::string floppyIso = folder + "/floppy.iso";
  ProgramResult made = RunShell("genisoimage -quiet -o '" + floppyIso + "' -b floppy.img '" + folder + "/fsrc' 2>&1");
  ASSERT_EQ(made.status, 0) << made.out;
  fs::create_directories(folder + "/f");
  std::string edited = EditAndCheck(folder + "/f", floppyIso);
  std::string image = ReadFileBytes(edited);
  Catalog catalog = ReadCatalog(image);
  ASSERT_EQ(catalog.entries.size(), 1u);
  EXPECT_EQ(catalog.entries[0].media, 2);
  EXPECT_EQ(image.substr(static_cast<size_t>(catalog.entries[0].lba) * 2048, floppy.size()), floppy);

  // A hard disk whose one partition ends at sector 2,048 (1 MiB); the file holds 64 KiB more that the
  // emulated disk does not cover.
  std::string disk = Pattern(2048 * 512 + 65536, 13);
  PutOnePartition(&disk, 1, 2047);
  WriteFileBytes(folder + "/hsrc/hd.img", disk);
  const std::string hdIso = folder + "/hd.iso";
  made = RunShell("genisoimage -quiet -o '" + hdIso + "' -hard-disk-boot -b hd.img '" + folder + "/hsrc' 2>&1");
  ASSERT_EQ(made.status, 0) << made.out;
  fs::create_directories(folder + "/h");
  edited = EditAndCheck(folder + "/h", hdIso);
  image = ReadFileBytes(edited);
  catalog = ReadCatalog(image);
  ASSERT_EQ(catalog.entries.size(), 1u);
  EXPECT_EQ(catalog.entries[0].media, 4);
  const size_t at = static_cast<size_t>(catalog.entries[0].lba) * 2048;
  EXPECT_EQ(image.substr(at, 2048 * 512), disk.substr(0, 2048 * 512));
  // The emulated disk ends with its partition: the copy takes 512 sectors, and what follows it is not the rest of
  // the file.
  ProgramResult report = RunShell("xorriso -indev '" + edited + "' -report_el_torito plain 2>/dev/null");
  EXPECT_NE(report.out.find("El Torito img blks :   1  512"), std::string::npos) << report.out;
  EXPECT_TRUE(image.substr(at + 2048 * 512, 65536) != disk.substr(2048 * 512, 65536));
}

TEST(ElToritoCli, AnImageBuiltForDirectWritingCarriesTheSameBootData) {
  const std::string folder = MakeTestFolder("eltorito_in_memory");
  WriteFileBytes(folder + "/src/boot/loader.bin", Pattern(9000, 21));
  WriteFileBytes(folder + "/src/data.txt", "data\n");
  const std::string source = folder + "/in.iso";
  ProgramResult made = RunShell("genisoimage -quiet -o '" + source + "' -b boot/loader.bin -no-emul-boot "
                             "-boot-load-size 4 -boot-info-table '" + folder + "/src' 2>&1");
  ASSERT_EQ(made.status, 0) << made.out;
  const std::string edited = folder + "/edited.iso";
  ASSERT_EQ(RunKestrane({"edit", source, "-label", "X", "-o", edited}).status, 0);
  const std::string expected = ReadFileBytes(edited);

  AbortCodeSet(kAbortNone);
  const std::wstring path(source.begin(), source.end());
  CImageDocument* document = ImageOpenByPath(path.c_str(), kOpenLoadTree);
  ASSERT_NE(document, nullptr);
  ASSERT_NE(document->bootInfo, nullptr);
  wcscpy(document->identifiers[0], L"X");
  document->builder = ImageBuilderNew(document);
  ASSERT_NE(document->builder, nullptr);
  CProgressCallbacks callbacks{document};
  ASSERT_EQ(ImageBuild(&callbacks), 1);
  const int64_t sectors = document->builder->mapUsed;  // the sectors the build recorded
  ASSERT_EQ(sectors * 2048, static_cast<int64_t>(expected.size()));
  std::string built(static_cast<size_t>(sectors * 2048), '\0');
  document->readFromBuilder = 1;
  EXPECT_EQ(ImageReadSectors(document, 0, built.data(), sectors), sectors);
  document->readFromBuilder = 0;
  ImageClose(document);
  EXPECT_TRUE(built == expected);
  const Catalog catalog = ReadCatalog(built);
  ASSERT_EQ(catalog.entries.size(), 1u);
  EXPECT_EQ(Le32(built, static_cast<size_t>(catalog.entries[0].lba) * 2048 + 12), catalog.entries[0].lba);
}

}  // namespace

// A hard-disk boot image whose partition table claims 4 GB, in an image file that really is that large (sparse):
// opening and listing it reads only the catalog and the disk's first sector, never the claimed disk.
TEST(ElToritoCli, AHugeClaimedBootDiskIsNotLoadedToList) {
  const std::string folder = MakeTestFolder("eltorito_huge_claim");
  std::string disk(1 << 20, '\0');
  PutOnePartition(&disk, 1, 8u << 20);  // 4 GiB of 512-byte sectors
  WriteFileBytes(folder + "/src/hd.img", disk);
  const std::string iso = folder + "/huge.iso";
  ProgramResult made = RunShell("genisoimage -quiet -o '" + iso + "' -hard-disk-boot -b hd.img '" + folder +
                                "/src' 2>&1 && truncate -s 5G '" + iso + "'");
  ASSERT_EQ(made.status, 0) << made.out;
  // The volume claims the whole file, so nothing but the disk's own table limits the image.
  {
    const uint32_t blocks = 5u << 19;  // 5 GiB of 2048-byte blocks
    uint8_t both[8];
    for (int i = 0; i < 4; ++i) {
      both[i] = static_cast<uint8_t>(blocks >> (8 * i));
      both[7 - i] = static_cast<uint8_t>(blocks >> (8 * i));
    }
    std::fstream file(iso, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(16 * 2048 + 80);
    file.write(reinterpret_cast<const char*>(both), sizeof both);
    ASSERT_TRUE(file.good());
  }
  ProgramOptions options;
  options.timeoutSeconds = 60;
  options.env = {"TZ=UTC"};
  // GNU time reports the largest resident size of this one run (in KiB), whatever ran before it.
  ProgramResult r = RunProgram("/usr/bin/time", {"-f", "maxrss=%M", KESTRANE_BIN, "list", iso, "/"}, options);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("HD.IMG"), std::string::npos) << r.out;
  const size_t at = r.out.rfind("maxrss=");
  ASSERT_NE(at, std::string::npos) << r.out;
  // It stayed far below the claimed disk.
  EXPECT_LT(std::stoll(r.out.substr(at + 7)), 400 * 1024) << r.out;
}
