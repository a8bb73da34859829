// LVM2 physical volumes made by a small generator (label, metadata area header, volume-group text): the group
// read from them, sectors of a logical volume read through the mapping, and damaged or hostile metadata.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "disks/lvm.h"
#include "disks/partitions.h"
#include "image/disk.h"
#include "image/document.h"
#include "session/document.h"
#include "support/lvm_disk.h"
#include "support/run_program.h"

namespace {

using namespace lvm_test;

// A disk document over the bytes, with the partition list read from them.
struct OpenedDisk {
  CImageDocument* document = nullptr;
  std::string path;

  OpenedDisk(const std::string& name, const Bytes& bytes, int32_t sectorSize = 512) {
    path = MakeTestFolder("lvm-" + name) + "/disk.img";
    WriteFileBytes(path, std::string(bytes.begin(), bytes.end()));
    document = ImageAlloc();
    document->input = std::fopen(path.c_str(), "rb");
    document->sectorSize = sectorSize;
  }
  ~OpenedDisk() {
    document->lvmMap = nullptr;
    PartitionListFree(document->partitions);
    document->partitions = nullptr;
    ImageClose(document);
  }
  OpenedDisk(const OpenedDisk&) = delete;
  OpenedDisk& operator=(const OpenedDisk&) = delete;
};

struct GroupDeleter {
  void operator()(CLvmVolumeGroup* group) const { LvmFree(group); }
};
using GroupPtr = std::unique_ptr<CLvmVolumeGroup, GroupDeleter>;

GroupPtr ReadGroup(const std::string& name, const LvmDisk& disk) {
  OpenedDisk opened(name, disk.Make());
  return GroupPtr(LvmReadLabel(opened.document, disk.partitionStart));
}

}  // namespace

TEST(Lvm, LabelAndVolumeGroup) {
  LvmDisk disk;
  disk.text = GroupText(Segment(1, 0, 6, "\"pv0\", 10"), 1);
  GroupPtr group = ReadGroup("group", disk);
  ASSERT_TRUE(group);
  EXPECT_EQ(group->name, "vg0");
  EXPECT_EQ(group->extentSize, 8u);
  ASSERT_EQ(group->physicalVolumes.size(), 1u);
  EXPECT_EQ(group->physicalVolumes[0].name, "pv0");
  EXPECT_EQ(group->physicalVolumes[0].id, "abcdef-ghij-klmn-opqr-stuv-wxyz-012345");
  EXPECT_EQ(group->physicalVolumes[0].deviceSize, 4096u);
  EXPECT_EQ(group->physicalVolumes[0].peStart, 2048u);
  EXPECT_EQ(group->localVolume, 0);
  ASSERT_EQ(group->logicalVolumes.size(), 1u);
  const CLvmLogicalVolume& volume = group->logicalVolumes[0];
  EXPECT_EQ(volume.name, "data");
  ASSERT_EQ(volume.segments.size(), 1u);
  EXPECT_EQ(volume.segments[0].extentCount, 6u);
  EXPECT_EQ(volume.segments[0].type, "striped");
  ASSERT_EQ(volume.segments[0].stripes.size(), 1u);
  EXPECT_EQ(volume.segments[0].stripes[0].physicalVolume, "pv0");
  EXPECT_EQ(volume.segments[0].stripes[0].firstExtent, 10u);
  EXPECT_EQ(group->chosenVolume, 0);
  EXPECT_EQ(group->partitionStart, 2048u);
}

// Reads of the logical volume's sectors through the disk document land on the extents the segments name.
TEST(Lvm, MappedReadsFollowTheSegments) {
  struct Case {
    const char* name;
    int32_t sectorSize;
    std::string segments;
    int segmentCount;
    std::vector<std::pair<uint64_t, int64_t>> extents;  // logical extent -> physical extent (-1: unmapped)
  };
  const Case cases[] = {
      {"one linear segment", 512, Segment(1, 0, 6, "\"pv0\", 10"), 1, {{0, 10}, {5, 15}, {6, -1}}},
      {"one linear segment, 4096-byte sectors", 4096, Segment(1, 0, 6, "\"pv0\", 10"), 1, {{0, 10}, {5, 15}}},
      {"two segments", 512, Segment(1, 0, 4, "\"pv0\", 10") + Segment(2, 4, 2, "\"pv0\", 100"), 2,
       {{3, 13}, {4, 100}, {5, 101}, {6, -1}}},
      {"segments listed out of order", 512, Segment(1, 4, 2, "\"pv0\", 100") + Segment(2, 0, 4, "\"pv0\", 10"), 2,
       {{0, 10}, {4, 100}}},
      {"a hole between segments", 512, Segment(1, 0, 2, "\"pv0\", 10") + Segment(2, 4, 2, "\"pv0\", 100"), 2,
       {{1, 11}, {2, -1}, {3, -1}, {4, 100}}},
      {"two stripes are not read from one disk", 512, Segment(1, 0, 4, "\"pv0\", 10, \"pv0\", 50", 2), 1,
       {{0, -1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LvmDisk disk;
    disk.text = GroupText(c.segments, c.segmentCount);
    disk.mbrSectorSize = static_cast<uint32_t>(c.sectorSize);
    Bytes bytes = disk.Make();
    // Every 512-byte sector of the physical volume's extents says which extent and sector it is.
    const size_t pvData = static_cast<size_t>((disk.partitionStart + 2048) * 512);
    for (size_t at = pvData; at + 512 <= bytes.size(); at += 512) {
      const uint32_t sector = static_cast<uint32_t>((at - pvData) / 512);
      Put32(bytes, at, 0xE0000000u | sector);
    }
    OpenedDisk opened(std::string("map-") + std::to_string(&c - cases), bytes, c.sectorSize);
    CImageDocument* document = opened.document;
    document->partitions = PartitionListRead(nullptr, 0, c.sectorSize, document, nullptr, 0);
    ASSERT_TRUE(document->partitions);
    const uint64_t start = disk.partitionStart * 512 / static_cast<uint64_t>(c.sectorSize);
    ASSERT_EQ(document->partitions->entries[0].start, start);
    CPartitionEntry& entry = document->partitions->entries[0];
    entry.lvm = LvmReadLabel(document, start);
    ASSERT_TRUE(entry.lvm);
    document->chosenPartition = 0;
    document->partitionStart = static_cast<int64_t>(start);
    document->lvmMap = LvmMapSector;
    const uint64_t perExtent = 8 * 512 / static_cast<uint64_t>(c.sectorSize);
    for (const auto& [logical, physical] : c.extents) {
      const int64_t sector = static_cast<int64_t>(start + logical * perExtent);
      std::vector<uint8_t> read(static_cast<size_t>(c.sectorSize));
      if (physical < 0) {
        EXPECT_EQ(LvmMapSector(document, sector), -1) << logical;
        EXPECT_EQ(ImageReadDiskSectors(document, sector, read.data(), 1), 0) << logical;
        continue;
      }
      ASSERT_EQ(ImageReadDiskSectors(document, sector, read.data(), 1), 1) << logical;
      uint32_t marker = 0;
      std::memcpy(&marker, read.data(), 4);
      EXPECT_EQ(marker, 0xE0000000u | static_cast<uint32_t>(physical * 8)) << logical;
    }
    // Sectors before the volume's partition are not part of the volume.
    EXPECT_EQ(LvmMapSector(document, static_cast<int64_t>(start) - 1), -1);
    // No logical volume chosen: sectors are the disk's own.
    entry.lvm->chosenVolume = -1;
    EXPECT_EQ(LvmMapSector(document, 5), 5);
  }
}

TEST(Lvm, DamagedAndHostileMetadata) {
  std::string deep;
  for (int n = 0; n < 100; ++n) deep += "b" + std::to_string(n) + " {\n";
  struct Case {
    const char* name;
    std::function<void(LvmDisk&)> change;
    int volumes;  // logical volumes read; -1: no group at all
  };
  const Case cases[] = {
      {"label in the fourth sector", [](LvmDisk& d) { d.labelSector = 3; d.labelSelf = 3; }, 1},
      {"text across the end of the ring", [](LvmDisk& d) { d.wrap = true; }, 1},
      {"no label", [](LvmDisk& d) { d.labelSector = 4; d.labelSelf = 4; }, -1},
      {"label naming another sector", [](LvmDisk& d) { d.labelSelf = 2; }, -1},
      {"text length above 1 MiB", [](LvmDisk& d) { d.textSizeField = (1 << 20) + 1; }, -1},
      {"metadata area past the disk", [](LvmDisk& d) { d.areaOffset = 4096ull * 512 - 1024; }, -1},
      {"text beyond its area", [](LvmDisk& d) { d.textOffset = d.areaSize + 10; }, -1},
      {"unterminated string", [](LvmDisk& d) { d.text = "vg0 {\nextent_size = \"8\n"; }, -1},
      {"blocks nested 100 deep", [&deep](LvmDisk& d) { d.text = deep; }, -1},
      {"no extent size", [](LvmDisk& d) { d.text.replace(d.text.find("extent_size = 8"), 15, "extent_size = 0"); },
       -1},
      {"stripe past its physical volume", [](LvmDisk& d) { d.text = GroupText(Segment(1, 0, 6, "\"pv0\", 251"), 1); },
       0},
      {"stripe on an unknown physical volume",
       [](LvmDisk& d) { d.text = GroupText(Segment(1, 0, 6, "\"pv9\", 0"), 1); }, 0},
      {"stripe list of the wrong length", [](LvmDisk& d) { d.text = GroupText(Segment(1, 0, 6, "\"pv0\""), 1); }, 0},
      {"overlapping segments",
       [](LvmDisk& d) { d.text = GroupText(Segment(1, 0, 4, "\"pv0\", 0") + Segment(2, 3, 2, "\"pv0\", 50"), 2); },
       0},
      {"segment missing", [](LvmDisk& d) { d.text = GroupText(Segment(1, 0, 4, "\"pv0\", 0"), 2); }, 0},
      {"extent count overflowing", [](LvmDisk& d) {
         d.text = GroupText(Segment(1, 18446744073709551615ull, 2, "\"pv0\", 0"), 1); }, 0},
      {"physical volume larger than the disk",
       [](LvmDisk& d) { d.text.replace(d.text.find("dev_size = 4096"), 15, "dev_size = 99999"); }, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LvmDisk disk;
    c.change(disk);
    GroupPtr group = ReadGroup("hostile", disk);
    if (c.volumes < 0) {
      EXPECT_FALSE(group);
    } else {
      ASSERT_TRUE(group);
      EXPECT_EQ(group->logicalVolumes.size(), static_cast<size_t>(c.volumes));
      EXPECT_LE(group->physicalVolumes[0].deviceSize, 4096u);
    }
  }
}
