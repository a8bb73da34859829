#include "disks/lvm.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "disks/partitions.h"
#include "image/disk.h"
#include "image/document.h"
#include "runtime/byte_reader.h"
#include "runtime/file.h"

namespace {

constexpr uint64_t kLvmSector = 512;
// Sectors at the start of a physical volume that may hold the label.
constexpr int kLabelSectors = 4;
constexpr std::string_view kAreaMagic = " LVM2 x[5A%r0N*>";
// Nesting of metadata blocks accepted (a volume group uses four levels).
constexpr int kMaxDepth = 16;

// ----- The metadata text: "name = value" pairs and "name { ... }" blocks. -----

enum class Token { Word, String, List, Open, Close, Equals, End, Bad };

class Lexer {
 public:
  explicit Lexer(std::string_view text) : text_(text) {}

  // The next token; its text (without quotes or brackets) in `value`.
  Token Next(std::string_view& value) {
    SkipBlanks();
    if (pos_ >= text_.size()) return Token::End;
    const char c = text_[pos_];
    if (c == '{' || c == '}' || c == '=') {
      ++pos_;
      return c == '{' ? Token::Open : c == '}' ? Token::Close : Token::Equals;
    }
    if (c == '"') {
      const size_t start = ++pos_;
      if (!SkipString()) return Token::Bad;
      value = text_.substr(start, pos_ - 1 - start);
      return Token::String;
    }
    if (c == '[') {
      const size_t start = ++pos_;
      while (pos_ < text_.size() && text_[pos_] != ']') {
        if (text_[pos_] == '[') return Token::Bad;
        if (text_[pos_++] == '"' && !SkipString()) return Token::Bad;
      }
      if (pos_ >= text_.size()) return Token::Bad;
      value = text_.substr(start, pos_++ - start);
      return Token::List;
    }
    const size_t start = pos_;
    while (pos_ < text_.size() && !IsDelimiter(text_[pos_])) ++pos_;
    if (pos_ == start) return Token::Bad;
    value = text_.substr(start, pos_ - start);
    return Token::Word;
  }

  static bool IsDelimiter(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '{' || c == '}' || c == '[' || c == ']' ||
           c == '=' || c == '"' || c == '#' || c == ',';
  }

 private:
  void SkipBlanks() {
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == '#') {
        while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
      } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\0' || c == ',') {
        ++pos_;
      } else {
        return;
      }
    }
  }
  // From just after an opening quote to just after its closing quote; a backslash escapes the next character.
  bool SkipString() {
    while (pos_ < text_.size()) {
      const char c = text_[pos_++];
      if (c == '\\') {
        ++pos_;
      } else if (c == '"') {
        return true;
      }
    }
    return false;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

struct Node {
  std::string_view name;
  bool block = false;
  Token kind = Token::Word;  // of a value
  std::string_view value;    // a value's text, a list's text between its brackets
  std::vector<Node> children;

  const Node* Find(std::string_view key, bool wantBlock) const {
    for (const Node& child : children) {
      if (child.name == key && child.block == wantBlock) return &child;
    }
    return nullptr;
  }
};

bool ParseItems(Lexer& lexer, Node& into, int depth) {
  for (;;) {
    std::string_view word;
    const Token token = lexer.Next(word);
    if (token == Token::End) return depth == 0;
    if (token == Token::Close) return depth > 0;
    if (token != Token::Word && token != Token::String) return false;
    Node node;
    node.name = word;
    std::string_view value;
    const Token after = lexer.Next(value);
    if (after == Token::Equals) {
      node.kind = lexer.Next(node.value);
      if (node.kind != Token::Word && node.kind != Token::String && node.kind != Token::List) return false;
    } else if (after == Token::Open) {
      if (depth + 1 >= kMaxDepth) return false;
      node.block = true;
      if (!ParseItems(lexer, node, depth + 1)) return false;
    } else {
      return false;
    }
    into.children.push_back(std::move(node));
  }
}

bool ParseNumber(std::string_view text, uint64_t& out) {
  if (text.empty()) return false;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), out, 10);
  return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

bool NumberOf(const Node& block, std::string_view key, uint64_t& out) {
  const Node* node = block.Find(key, false);
  return node && node->kind == Token::Word && ParseNumber(node->value, out);
}

std::string TextOf(const Node& block, std::string_view key) {
  const Node* node = block.Find(key, false);
  return node && node->kind != Token::List ? std::string(node->value) : std::string();
}

// The elements of a bracketed list: quoted strings without their quotes, bare words as they stand.
bool ListElements(std::string_view list, std::vector<std::string_view>& out) {
  Lexer lexer(list);
  for (;;) {
    std::string_view element;
    const Token token = lexer.Next(element);
    if (token == Token::End) return true;
    if (token != Token::Word && token != Token::String) return false;
    out.push_back(element);
  }
}

bool ParseSegment(const Node& block, CLvmSegment& segment) {
  uint64_t stripeCount = 0;
  if (!NumberOf(block, "start_extent", segment.startExtent) || !NumberOf(block, "extent_count", segment.extentCount) ||
      !NumberOf(block, "stripe_count", stripeCount))
    return false;
  if (segment.extentCount == 0 || segment.startExtent > UINT64_MAX - segment.extentCount || stripeCount == 0 ||
      stripeCount > 256)
    return false;
  segment.type = TextOf(block, "type");
  segment.stripeCount = static_cast<uint32_t>(stripeCount);
  const Node* stripes = block.Find("stripes", false);
  if (!stripes || stripes->kind != Token::List) return false;
  std::vector<std::string_view> elements;
  if (!ListElements(stripes->value, elements) || elements.size() != 2 * stripeCount) return false;
  for (size_t i = 0; i < elements.size(); i += 2) {
    CLvmStripe stripe;
    stripe.physicalVolume = std::string(elements[i]);
    if (!ParseNumber(elements[i + 1], stripe.firstExtent)) return false;
    segment.stripes.push_back(std::move(stripe));
  }
  return true;
}

// Extents a stripe of the segment occupies on its physical volume.
uint64_t StripeExtents(const CLvmSegment& segment) {
  return (segment.extentCount + segment.stripeCount - 1) / segment.stripeCount;
}

const CLvmPhysicalVolume* FindVolume(const CLvmVolumeGroup& group, std::string_view name) {
  for (const CLvmPhysicalVolume& volume : group.physicalVolumes) {
    if (volume.name == name) return &volume;
  }
  return nullptr;
}

// A logical volume whose segments are complete, in order, apart, and whose stripes lie inside their physical
// volumes.
bool ParseLogicalVolume(const CLvmVolumeGroup& group, const Node& block, CLvmLogicalVolume& volume) {
  uint64_t count = 0;
  if (!NumberOf(block, "segment_count", count) || count == 0 || count > block.children.size()) return false;
  volume.name = std::string(block.name);
  volume.segmentCount = static_cast<uint32_t>(count);
  for (uint64_t n = 1; n <= count; ++n) {
    const Node* node = block.Find("segment" + std::to_string(n), true);
    CLvmSegment segment;
    if (!node || !ParseSegment(*node, segment)) return false;
    for (const CLvmStripe& stripe : segment.stripes) {
      const CLvmPhysicalVolume* pv = FindVolume(group, stripe.physicalVolume);
      if (!pv) return false;
      const uint64_t extents = (pv->deviceSize - pv->peStart) / group.extentSize;
      if (stripe.firstExtent > extents || StripeExtents(segment) > extents - stripe.firstExtent) return false;
    }
    volume.segments.push_back(std::move(segment));
  }
  std::sort(volume.segments.begin(), volume.segments.end(),
            [](const CLvmSegment& a, const CLvmSegment& b) { return a.startExtent < b.startExtent; });
  for (size_t i = 1; i < volume.segments.size(); ++i) {
    const CLvmSegment& before = volume.segments[i - 1];
    if (before.startExtent + before.extentCount > volume.segments[i].startExtent) return false;
  }
  return true;
}

// The volume group the text describes: the first block of the text. Logical volumes that do not hold together
// are left out.
bool ParseVolumeGroup(std::string_view text, uint64_t partitionBytes, CLvmVolumeGroup& group) {
  Node root;
  Lexer lexer(text);
  if (!ParseItems(lexer, root, 0)) return false;
  const Node* vg = nullptr;
  for (const Node& child : root.children) {
    if (child.block) {
      vg = &child;
      break;
    }
  }
  if (!vg) return false;
  group.name = std::string(vg->name);
  if (!NumberOf(*vg, "extent_size", group.extentSize) || group.extentSize == 0 ||
      group.extentSize > UINT64_MAX / kLvmSector)
    return false;
  const Node* pvs = vg->Find("physical_volumes", true);
  if (!pvs) return false;
  for (const Node& node : pvs->children) {
    if (!node.block || node.name.substr(0, 2) != "pv") continue;
    CLvmPhysicalVolume pv;
    pv.name = std::string(node.name);
    pv.id = TextOf(node, "id");
    if (!NumberOf(node, "dev_size", pv.deviceSize) || !NumberOf(node, "pe_start", pv.peStart) ||
        pv.peStart >= pv.deviceSize || pv.deviceSize > UINT64_MAX / kLvmSector)
      return false;
    // No physical volume reaches past the end of the disk from the partition's start.
    if (partitionBytes && pv.deviceSize * kLvmSector > partitionBytes) pv.deviceSize = partitionBytes / kLvmSector;
    if (pv.peStart >= pv.deviceSize) return false;
    group.physicalVolumes.push_back(std::move(pv));
  }
  if (group.physicalVolumes.empty()) return false;
  if (const Node* lvs = vg->Find("logical_volumes", true)) {
    for (const Node& node : lvs->children) {
      if (!node.block) continue;
      CLvmLogicalVolume volume;
      if (ParseLogicalVolume(group, node, volume)) group.logicalVolumes.push_back(std::move(volume));
    }
  }
  return true;
}

std::string WithoutDashes(std::string_view id) {
  std::string out;
  for (char c : id) {
    if (c != '-') out.push_back(c);
  }
  return out;
}

// Restores the document's logical-volume mapping on leaving: labels and metadata are read where they lie.
class RawReads {
 public:
  explicit RawReads(CImageDocument* document) : document_(document), saved_(document->lvmMap) {
    document->lvmMap = nullptr;
  }
  ~RawReads() { document_->lvmMap = saved_; }
  RawReads(const RawReads&) = delete;
  RawReads& operator=(const RawReads&) = delete;

 private:
  CImageDocument* document_;
  int64_t (*saved_)(CImageDocument*, int64_t);
};

// Bytes the disk holds from `offset` on; UINT64_MAX when its size is not known.
uint64_t BytesFrom(const CImageDocument* document, uint64_t offset) {
  const uint64_t size = document->sectorSize > 0 ? static_cast<uint64_t>(document->sectorSize) : 512;
  uint64_t disk = 0;
  if (document->readableLimit > 0) {
    const uint64_t limit = static_cast<uint64_t>(document->readableLimit);
    disk = limit > UINT64_MAX / size ? UINT64_MAX : limit * size;
  } else if (document->input && !document->diskReader && !document->qvf) {
    disk = static_cast<uint64_t>(FileGetSize(document->input));
  } else {
    return UINT64_MAX;
  }
  return disk > offset ? disk - offset : 0;
}

bool ReadAt(CImageDocument* document, uint64_t offset, void* out, uint64_t count) {
  if (offset > INT64_MAX || count > INT64_MAX) return false;
  return ImageReadDiskBytes(document, static_cast<int64_t>(offset), out, static_cast<int64_t>(count)) ==
         static_cast<int64_t>(count);
}

}  // namespace

CLvmVolumeGroup* LvmReadLabel(CImageDocument* document, uint64_t partitionStart) {
  if (!document) return nullptr;
  RawReads raw(document);
  const uint64_t size = document->sectorSize > 0 ? static_cast<uint64_t>(document->sectorSize) : 512;
  if (partitionStart > UINT64_MAX / size) return nullptr;
  const uint64_t base = partitionStart * size;
  const uint64_t available = BytesFrom(document, base);
  uint8_t label[kLabelSectors * kLvmSector];
  if (available < sizeof(label) || !ReadAt(document, base, label, sizeof(label))) return nullptr;

  // The label, and in it the first metadata area of the physical volume header.
  std::string labelId;
  uint64_t areaOffset = 0, areaSize = 0;
  bool found = false;
  for (int s = 0; s < kLabelSectors && !found; ++s) {
    ByteReader sector(label + s * kLvmSector, kLvmSector);
    if (sector.Chars(8) != "LABELONE") continue;
    if (sector.U64LEAt(8) != static_cast<uint64_t>(s)) continue;
    const uint32_t headerAt = sector.U32LEAt(20);
    if (!sector.ok() || headerAt < 32 || !sector.Seek(headerAt)) continue;
    labelId = std::string(sector.Chars(32));
    sector.Skip(8);  // device size
    // Data areas, then metadata areas: (offset, size) pairs, each list ended by a zero pair.
    while (sector.Has(16)) {
      const uint64_t offset = sector.U64LE(), length = sector.U64LE();
      if (offset == 0 && length == 0) break;
    }
    areaOffset = sector.U64LE();
    areaSize = sector.U64LE();
    found = sector.ok() && areaOffset != 0;
  }
  if (!found || areaSize < kLvmSector || areaOffset > available || areaSize > available - areaOffset) return nullptr;

  uint8_t header[kLvmSector];
  if (!ReadAt(document, base + areaOffset, header, sizeof(header))) return nullptr;
  ByteReader h(header, sizeof(header));
  h.Skip(4);
  if (h.Chars(kAreaMagic.size()) != kAreaMagic) return nullptr;
  const uint64_t areaStart = h.U64LEAt(24);
  const uint64_t textOffset = h.U64LEAt(40);
  const uint64_t textSize = h.U64LEAt(48);
  if (!h.ok() || areaStart != areaOffset || textSize == 0 || textSize > kLvmMaxMetadataText ||
      textOffset < kLvmSector || textOffset >= areaSize)
    return nullptr;

  // The area is a ring after its header: text that reaches its end goes on just after the header.
  std::string text;
  try {
    text.resize(textSize);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  const uint64_t firstPart = std::min(textSize, areaSize - textOffset);
  if (!ReadAt(document, base + areaStart + textOffset, text.data(), firstPart)) return nullptr;
  if (firstPart < textSize) {
    const uint64_t rest = textSize - firstPart;
    if (rest > textOffset - kLvmSector) return nullptr;
    if (!ReadAt(document, base + areaStart + kLvmSector, text.data() + firstPart, rest)) return nullptr;
  }
  const size_t end = text.find('\0');
  if (end != std::string::npos) text.resize(end);

  std::unique_ptr<CLvmVolumeGroup> group(new (std::nothrow) CLvmVolumeGroup{});
  if (!group) return nullptr;
  try {
    if (!ParseVolumeGroup(text, available == UINT64_MAX ? 0 : available, *group)) return nullptr;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  group->partitionStart = partitionStart;
  group->localVolume = 0;
  for (size_t i = 0; i < group->physicalVolumes.size(); ++i) {
    if (WithoutDashes(group->physicalVolumes[i].id) == labelId) group->localVolume = static_cast<int32_t>(i);
  }
  group->chosenVolume = group->logicalVolumes.empty() ? -1 : 0;
  return group.release();
}

int64_t LvmMapSector(CImageDocument* document, int64_t sector) {
  if (!document || !document->partitions || document->chosenPartition < 0 ||
      static_cast<size_t>(document->chosenPartition) >= document->partitions->entries.size())
    return sector;
  const CLvmVolumeGroup* group = document->partitions->entries[document->chosenPartition].lvm;
  if (!group || group->chosenVolume < 0 || static_cast<size_t>(group->chosenVolume) >= group->logicalVolumes.size())
    return sector;
  if (sector < 0) return -1;
  const uint64_t size = document->sectorSize > 0 ? static_cast<uint64_t>(document->sectorSize) : 512;
  const uint64_t start = group->partitionStart;
  if (static_cast<uint64_t>(sector) < start) return -1;
  const uint64_t offset = (static_cast<uint64_t>(sector) - start) * size;  // byte in the logical volume
  if (offset / size != static_cast<uint64_t>(sector) - start) return -1;
  const uint64_t extentBytes = group->extentSize * kLvmSector;
  const uint64_t extent = offset / extentBytes;
  const CLvmLogicalVolume& volume = group->logicalVolumes[static_cast<size_t>(group->chosenVolume)];
  // The last segment that starts at or before the extent.
  const CLvmSegment* segment = nullptr;
  for (const CLvmSegment& s : volume.segments) {
    if (s.startExtent <= extent) segment = &s;
  }
  if (!segment || extent - segment->startExtent >= segment->extentCount) return -1;
  // Only a one-stripe segment on this partition's physical volume is read from here.
  if (segment->type != "striped" || segment->stripeCount != 1 || segment->stripes.empty()) return -1;
  const CLvmPhysicalVolume* pv = FindVolume(*group, segment->stripes[0].physicalVolume);
  if (!pv || pv != &group->physicalVolumes[static_cast<size_t>(group->localVolume)]) return -1;
  const uint64_t pvExtent = segment->stripes[0].firstExtent + (extent - segment->startExtent);
  const uint64_t pvByte = pv->peStart * kLvmSector + pvExtent * extentBytes + offset % extentBytes;
  if (pvByte / kLvmSector >= pv->deviceSize || pvByte % size != 0) return -1;
  return static_cast<int64_t>(start + pvByte / size);
}

void LvmFree(CLvmVolumeGroup* group) { delete group; }
