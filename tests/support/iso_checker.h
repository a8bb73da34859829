// An ISO 9660 + Joliet structure checker for the tests. It decodes the image with code of its own, sharing
// nothing with the reader in src/tree, so that a fault in the image builder cannot hide behind the same fault in
// the reader the product lists and extracts with.
//
// It reports structural faults only: the descriptor set, both-endian pairs, path tables against the directory
// hierarchy, directory record layout and order, extents inside the volume and clear of the volume's own
// structures. Character sets and name lengths are not held to the interchange levels (long and lower-case ISO
// names are legitimate output), but no identifier may hold '/' or NUL.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A volume descriptor met between sector 16 and the terminator: type 0 boot record, 1 primary, 2 supplementary,
// 3 partition, 255 terminator.
struct IsoCheckDescriptor {
  uint32_t lba = 0;
  int type = 0;
};

// One file or directory of a hierarchy. Paths start with "/" and join identifiers with "/": primary
// identifiers as recorded (";1" included), Joliet identifiers converted to UTF-8. Directories leave out "." and
// "..". A multi-extent file appears once: the LBA of its first extent, the size of all its extents.
struct IsoCheckEntry {
  std::string path;
  uint32_t lba = 0;
  uint64_t size = 0;
  int extents = 1;
};

struct IsoCheckHierarchy {
  bool present = false;
  uint32_t rootLba = 0;
  uint32_t rootSize = 0;
  uint32_t pathTableSize = 0;  // bytes of one path table
  uint32_t lTable = 0, lTableCopy = 0, mTable = 0, mTableCopy = 0;
  std::vector<IsoCheckEntry> directories;  // the root ("/") first, then the walk's pre-order
  std::vector<IsoCheckEntry> files;        // in the same walk order
};

struct IsoCheckSummary {
  std::vector<IsoCheckDescriptor> descriptors;
  uint64_t imageSectors = 0;  // whole 2048-byte sectors in the file
  uint32_t volumeSize = 0;    // the primary descriptor's volume space size, in sectors
  std::string label;          // the primary volume identifier without its trailing spaces
  std::string jolietLabel;    // the Joliet volume identifier in UTF-8, without trailing spaces
  int jolietLevel = 0;        // 1..3 from the escape sequence; 0 when no Joliet descriptor exists
  IsoCheckHierarchy primary;
  IsoCheckHierarchy joliet;
  std::string sector19;       // the 2048 bytes of sector 19, empty when the image is shorter
};

// Checks the image file at `path` (2048-byte sectors, sector 0 at byte 0). Returns the problems found, one
// human-readable line each ("primary /DIR: ..."); an empty list means the structures are sound. `summary`,
// when given, receives what was read. Bounded in time and memory on any input.
std::vector<std::string> IsoCheckImage(const std::string& path, IsoCheckSummary* summary);
