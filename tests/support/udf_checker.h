// A UDF structure walker for the tests, with code of its own (it shares nothing with the image builder): from the
// anchor at sector 256 through the volume descriptor sequence, the integrity descriptor and the file set to
// every file entry and file identifier. Every descriptor tag it meets is checked (identifier, checksum, CRC of
// the bytes after the tag, location); unique IDs are checked (root 0, the others from 16 upward and distinct,
// the integrity descriptor's next ID above them all).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

// One file or directory: its data extents as the allocation descriptors give them.
struct UdfCheckEntry {
  bool directory = false;
  uint64_t size = 0;        // information length
  uint64_t uniqueId = 0;
  int descriptors = 0;      // short allocation descriptors of data (links to extension sectors not counted)
  int extensionSectors = 0; // allocation extent descriptors followed
  std::vector<std::pair<uint32_t, uint32_t>> extents;  // (partition block, bytes)
};

struct UdfCheckSummary {
  uint32_t mainVds = 0, reserveVds = 0, lvid = 0;
  uint32_t partitionStart = 0, partitionLength = 0;
  uint32_t fileSetBlock = 0, rootBlock = 0;
  uint64_t nextUniqueId = 0;
  uint32_t lvidFiles = 0, lvidDirectories = 0;
  uint16_t minimumReadRevision = 0;
  // "/" for the root, then "/dir/name" in UTF-8, pre-order.
  std::map<std::string, UdfCheckEntry> entries;
};

// CRC-16/CCITT (polynomial 0x1021, initial 0) computed bit by bit.
uint16_t UdfCheckCrc(const uint8_t* bytes, size_t length);
// Checks the tag of the descriptor at `d` (`available` bytes readable): "" when sound, else what is wrong.
std::string UdfCheckTag(const uint8_t* d, size_t available, uint16_t identifier, uint32_t location);

// Reads the file entry at partition block `block` (with any allocation extent sectors it links to) through
// `readBlock` (2048 bytes of a partition block, "" when it cannot be read). Problems are appended.
UdfCheckEntry UdfCheckFileEntry(const std::function<std::string(uint32_t)>& readBlock, uint32_t block,
                                std::vector<std::string>* problems);

// Walks the UDF volume of the image file at `path`. Returns the problems found; empty means sound.
std::vector<std::string> UdfCheckImage(const std::string& path, UdfCheckSummary* summary);
