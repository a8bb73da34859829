// LVM2 physical volumes: the label, the volume group described by the first metadata area's text, and the
// mapping of a logical volume's sectors onto the partition that holds the physical volume.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CImageDocument;

// Bytes of metadata text read at most.
constexpr uint64_t kLvmMaxMetadataText = 1 << 20;

struct CLvmPhysicalVolume {
  std::string name;  // "pv0", ...
  std::string id;
  uint64_t deviceSize;  // 512-byte sectors
  uint64_t peStart;     // 512-byte sector of the first extent, from the start of the physical volume
};

struct CLvmStripe {
  std::string physicalVolume;  // name of a physical volume of the group
  uint64_t firstExtent;
};

struct CLvmSegment {
  uint64_t startExtent;  // first extent of the logical volume the segment holds
  uint64_t extentCount;
  std::string type;  // "striped" for linear and striped segments
  uint32_t stripeCount;
  std::vector<CLvmStripe> stripes;
};

struct CLvmLogicalVolume {
  std::string name;
  uint32_t segmentCount;
  std::vector<CLvmSegment> segments;  // in the order of their start extents, never overlapping
};

struct CLvmVolumeGroup {
  std::string name;
  uint64_t extentSize;  // 512-byte sectors
  std::vector<CLvmPhysicalVolume> physicalVolumes;
  std::vector<CLvmLogicalVolume> logicalVolumes;
  int32_t localVolume;     // index of the physical volume this partition holds
  uint64_t partitionStart;  // sector (of the document's size) the label was read at
  int32_t chosenVolume;     // the logical volume LvmMapSector maps; -1 none
};

// Reads the LVM2 label in the first four 512-byte sectors of the partition at `partitionStart` (sectors of the
// document's size) and the volume group of its first metadata area: a new group, or null (no label, a damaged
// or oversized area, text that does not describe a volume group). The first logical volume is chosen.
CLvmVolumeGroup* LvmReadLabel(CImageDocument* document, uint64_t partitionStart);
// The disk sector that holds `sector` of the chosen logical volume of the document's chosen partition, where
// the volume counts from the partition's start; the sector itself when no logical volume is chosen; -1 when the
// sector lies outside the volume or its segment cannot be read from this disk.
int64_t LvmMapSector(CImageDocument* document, int64_t sector);
// Null is allowed.
void LvmFree(CLvmVolumeGroup* group);
