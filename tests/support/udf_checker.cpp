#include "support/udf_checker.h"

#include <cstring>
#include <fstream>
#include <set>

namespace {

constexpr size_t kSector = 2048;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) { return static_cast<uint32_t>(Le16(p)) | static_cast<uint32_t>(Le16(p + 2)) << 16; }
uint64_t Le64(const uint8_t* p) { return static_cast<uint64_t>(Le32(p)) | static_cast<uint64_t>(Le32(p + 4)) << 32; }

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

void AppendUtf8(std::string* out, uint32_t code) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | code >> 6));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | code >> 12));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | code >> 18));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// An OSTA compressed Unicode identifier as UTF-8; "" (with a problem) for an unknown compression id.
std::string DecodeName(const uint8_t* p, size_t length, std::vector<std::string>* problems) {
  std::string out;
  if (length == 0) return out;
  if (p[0] == 8) {
    for (size_t i = 1; i < length; ++i) AppendUtf8(&out, p[i]);
  } else if (p[0] == 16 && length % 2 == 1) {
    for (size_t i = 1; i + 1 < length; i += 2) {
      uint32_t unit = static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
      if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < length) {
        const uint32_t low = static_cast<uint32_t>(p[i + 2] << 8 | p[i + 3]);
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
      AppendUtf8(&out, unit);
    }
  } else {
    problems->push_back("identifier with compression id " + std::to_string(p[0]) + " and length " +
                        std::to_string(length));
  }
  return out;
}

class ImageFile {
 public:
  explicit ImageFile(const std::string& path) : in_(path, std::ios::binary) {}
  std::string Sector(uint64_t lba) {
    std::string s(kSector, '\0');
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(lba * kSector));
    in_.read(s.data(), static_cast<std::streamsize>(kSector));
    return in_.gcount() == static_cast<std::streamsize>(kSector) ? s : std::string();
  }

 private:
  std::ifstream in_;
};

}  // namespace

uint16_t UdfCheckCrc(const uint8_t* bytes, size_t length) {
  uint16_t crc = 0;
  for (size_t i = 0; i < length; ++i) {
    crc = static_cast<uint16_t>(crc ^ bytes[i] << 8);
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

std::string UdfCheckTag(const uint8_t* d, size_t available, uint16_t identifier, uint32_t location) {
  if (available < 16) return "descriptor cut short";
  uint8_t sum = 0;
  for (int i = 0; i < 16; ++i)
    if (i != 4) sum = static_cast<uint8_t>(sum + d[i]);
  const std::string where = "tag " + std::to_string(identifier) + " at " + std::to_string(location) + ": ";
  if (Le16(d) != identifier) return where + "identifier " + std::to_string(Le16(d));
  if (sum != d[4]) return where + "checksum";
  if (Le16(d + 2) != 2) return where + "version " + std::to_string(Le16(d + 2));
  const size_t crcLength = Le16(d + 10);
  if (16 + crcLength > available) return where + "CRC length past the descriptor";
  if (UdfCheckCrc(d + 16, crcLength) != Le16(d + 8)) return where + "CRC";
  if (Le32(d + 12) != location) return where + "location " + std::to_string(Le32(d + 12));
  return "";
}

UdfCheckEntry UdfCheckFileEntry(const std::function<std::string(uint32_t)>& readBlock, uint32_t block,
                                std::vector<std::string>* problems) {
  UdfCheckEntry entry;
  const std::string fe = readBlock(block);
  if (fe.size() != kSector) {
    problems->push_back("file entry at block " + std::to_string(block) + " unreadable");
    return entry;
  }
  const uint8_t* d = Bytes(fe);
  const uint32_t extendedLength = Le32(d + 168), descriptorLength = Le32(d + 172);
  if (176ull + extendedLength + descriptorLength > kSector) {
    problems->push_back("file entry at block " + std::to_string(block) + ": descriptors past the sector");
    return entry;
  }
  const std::string tag = UdfCheckTag(d, kSector, 261, block);
  if (!tag.empty()) problems->push_back(tag);
  if (Le16(d + 34) & 7) problems->push_back("file entry at block " + std::to_string(block) + ": not short_ad");
  entry.directory = d[27] == 4;
  entry.size = Le64(d + 56);
  entry.uniqueId = Le64(d + 160);
  std::string container = fe;
  size_t at = 176 + extendedLength, end = at + descriptorLength;
  std::set<uint32_t> visited{block};
  uint32_t containerBlock = block;
  while (at + 8 <= end) {
    const uint8_t* ad = Bytes(container) + at;
    const uint32_t raw = Le32(ad), position = Le32(ad + 4);
    const uint32_t type = raw >> 30, length = raw & 0x3FFFFFFF;
    at += 8;
    if (length == 0) break;
    if (type == 3) {
      if (at != end) problems->push_back("a link to more descriptors before the last slot");
      if (!visited.insert(position).second || visited.size() > 10000) {
        problems->push_back("allocation extent chain loops");
        break;
      }
      container = readBlock(position);
      if (container.size() != kSector) {
        problems->push_back("allocation extent unreadable");
        break;
      }
      const uint8_t* e = Bytes(container);
      const std::string eTag = UdfCheckTag(e, kSector, 258, position);
      if (!eTag.empty()) problems->push_back(eTag);
      if (Le32(e + 16) != containerBlock) problems->push_back("allocation extent: wrong previous location");
      containerBlock = position;
      ++entry.extensionSectors;
      at = 24;
      end = at + Le32(e + 20);
      if (end > kSector) {
        problems->push_back("allocation extent: descriptors past the sector");
        break;
      }
      continue;
    }
    if (type != 0) problems->push_back("extent of type " + std::to_string(type));
    entry.extents.emplace_back(position, length);
    ++entry.descriptors;
  }
  uint64_t total = 0;
  for (const auto& extent : entry.extents) total += extent.second;
  if (total != entry.size)
    problems->push_back("file entry at block " + std::to_string(block) + ": extents hold " + std::to_string(total) +
                        " bytes, the entry says " + std::to_string(entry.size));
  return entry;
}

std::vector<std::string> UdfCheckImage(const std::string& path, UdfCheckSummary* out) {
  std::vector<std::string> problems;
  UdfCheckSummary summary;
  ImageFile image(path);
  const auto check = [&](const std::string& s, uint16_t id, uint32_t location, size_t available = kSector) {
    if (s.size() != kSector) {
      problems.push_back("sector " + std::to_string(location) + " unreadable");
      return false;
    }
    const std::string tag = UdfCheckTag(Bytes(s), available, id, location);
    if (!tag.empty()) problems.push_back(tag);
    return tag.empty();
  };
  const std::string anchor = image.Sector(256);
  if (!check(anchor, 2, 256)) return problems;
  summary.mainVds = Le32(Bytes(anchor) + 20);
  summary.reserveVds = Le32(Bytes(anchor) + 28);
  bool sawPartition = false, sawVolume = false;
  for (uint32_t sequence : {summary.mainVds, summary.reserveVds}) {
    for (uint32_t lba = sequence; lba < sequence + 16; ++lba) {
      const std::string s = image.Sector(lba);
      if (s.size() != kSector) break;
      const uint16_t id = Le16(Bytes(s));
      if (!check(s, id, lba)) break;
      const uint8_t* d = Bytes(s);
      if (id == 5) {
        summary.partitionStart = Le32(d + 188);
        summary.partitionLength = Le32(d + 192);
        sawPartition = true;
      } else if (id == 6) {
        summary.fileSetBlock = Le32(d + 252);
        summary.lvid = Le32(d + 436);
        sawVolume = true;
      } else if (id == 8) {
        break;
      }
    }
  }
  if (!sawPartition || !sawVolume) {
    problems.push_back("no partition or logical volume descriptor");
    return problems;
  }
  const std::string lvid = image.Sector(summary.lvid);
  if (check(lvid, 9, summary.lvid)) {
    const uint8_t* d = Bytes(lvid);
    summary.nextUniqueId = Le64(d + 40);
    const uint32_t partitions = Le32(d + 72);
    const uint8_t* use = d + 80 + 8 * partitions;
    if (partitions == 1 && Le32(d + 84) != summary.partitionLength) problems.push_back("LVID size differs");
    summary.lvidFiles = Le32(use + 32);
    summary.lvidDirectories = Le32(use + 36);
    summary.minimumReadRevision = Le16(use + 40);
  }
  const auto readBlock = [&](uint32_t block) -> std::string {
    if (block >= summary.partitionLength) return "";
    return image.Sector(static_cast<uint64_t>(summary.partitionStart) + block);
  };
  const std::string fsd = readBlock(summary.fileSetBlock);
  if (!check(fsd, 256, summary.fileSetBlock)) return problems;
  summary.rootBlock = Le32(Bytes(fsd) + 404);

  std::set<uint64_t> ids;
  uint64_t largest = 0;
  struct Pending {
    std::string path;
    uint32_t block;
    int depth;
    uint32_t linkedId;  // the unique ID the identifier pointing here carries
  };
  std::vector<Pending> pending{{"/", summary.rootBlock, 0, 0}};
  std::set<uint32_t> seenDirectories;
  while (!pending.empty()) {
    Pending item = pending.back();
    pending.pop_back();
    UdfCheckEntry entry = UdfCheckFileEntry(readBlock, item.block, &problems);
    if (item.path == "/") {
      if (entry.uniqueId != 0) problems.push_back("root unique ID " + std::to_string(entry.uniqueId));
    } else if (entry.uniqueId < 16 || !ids.insert(entry.uniqueId).second) {
      problems.push_back(item.path + ": unique ID " + std::to_string(entry.uniqueId));
    }
    if (static_cast<uint32_t>(entry.uniqueId) != item.linkedId)
      problems.push_back(item.path + ": its identifier carries another unique ID");
    largest = std::max(largest, entry.uniqueId);
    summary.entries[item.path] = entry;
    if (!entry.directory) continue;
    if (!seenDirectories.insert(item.block).second || item.depth > 64) {
      problems.push_back(item.path + ": directory loop");
      continue;
    }
    // The directory's identifiers, extent by extent.
    std::string data;
    std::vector<uint32_t> blockOf;  // partition block of each sector of `data`
    for (const auto& [position, length] : entry.extents) {
      for (uint32_t i = 0; i * kSector < length; ++i) {
        const std::string s = readBlock(position + i);
        if (s.size() != kSector) {
          problems.push_back(item.path + ": directory data unreadable");
          break;
        }
        data += s.substr(0, std::min<size_t>(kSector, length - i * kSector));
        blockOf.push_back(position + i);
      }
    }
    std::vector<Pending> children;
    size_t at = 0;
    bool first = true;
    while (at + 38 <= data.size()) {
      const uint8_t* f = Bytes(data) + at;
      const size_t nameLength = f[19], useLength = Le16(f + 36);
      const size_t length = (38 + useLength + nameLength + 3) / 4 * 4;
      const std::string tag = UdfCheckTag(f, data.size() - at, 257, blockOf[at / kSector]);
      if (!tag.empty()) {
        problems.push_back(item.path + ": " + tag);
        break;
      }
      if (at + 38 + useLength + nameLength > data.size()) break;
      const uint8_t characteristics = f[18];
      const uint32_t target = Le32(f + 24);
      const uint32_t targetId = Le32(f + 32);
      if (first != ((characteristics & 0x08) != 0)) problems.push_back(item.path + ": parent link not first");
      if (!(characteristics & 0x08)) {
        const std::string name = DecodeName(f + 38 + useLength, nameLength, &problems);
        const std::string child = (item.path == "/" ? "/" : item.path + "/") + name;
        children.push_back({child, target, item.depth + 1, targetId});
      }
      first = false;
      at += length;
    }
    if (at != data.size()) problems.push_back(item.path + ": identifiers do not fill the directory");
    for (auto it = children.rbegin(); it != children.rend(); ++it) pending.push_back(*it);
  }
  if (summary.nextUniqueId <= largest || summary.nextUniqueId < 16)
    problems.push_back("next unique ID " + std::to_string(summary.nextUniqueId) + " not above " +
                       std::to_string(largest));
  if (out) *out = summary;
  return problems;
}
