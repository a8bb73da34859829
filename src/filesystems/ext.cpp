#include "filesystems/ext.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <string>
#include <unordered_set>

#include "image/disk.h"
#include "image/document.h"
#include "runtime/byte_reader.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "runtime/memory.h"
#include "runtime/textconv.h"
#include "tree/iso_helpers.h"
#include "tree/tree.h"

namespace {

constexpr uint32_t kRecordMagic = 0x45787446;  // marks a CExtFileRecord
constexpr uint16_t kSuperMagic = 0xEF53;
constexpr uint16_t kExtentMagic = 0xF30A;
constexpr int kMaxExtentDepth = 5;
constexpr uint32_t kRootInode = 2;
// Inline data and extents flags of an inode.
constexpr uint32_t kFlagExtents = 0x80000;
constexpr uint32_t kFlagInlineData = 0x10000000;
// Feature bits.
constexpr uint32_t kCompatSparseSuper2 = 0x200;
constexpr uint32_t kIncompatJournalDevice = 0x8;
constexpr uint32_t kIncompatMetaGroups = 0x10;
constexpr uint32_t kIncompat64Bit = 0x80;
constexpr uint32_t kRoCompatSparseSuper = 0x1;
// Modes.
constexpr uint16_t kModeTypeMask = 0xF000;
constexpr uint16_t kModeDirectory = 0x4000;
constexpr uint16_t kModeRegular = 0x8000;
constexpr uint16_t kModeLink = 0xA000;
// Directory data read for one directory at most.
constexpr uint64_t kMaxDirectoryBytes = uint64_t{1} << 30;
// Bytes of an inode table read at once.
constexpr uint32_t kInodeWindowBytes = 64 * 1024;

bool ReadBlocks(CImageDocument* document, const CExtVolume* v, uint64_t block, uint64_t count, void* buffer) {
  if (block >= v->blocksCount || count > v->blocksCount - block) return false;
  return ImageReadVolumeBytes(document, block * v->blockSize, buffer, count * v->blockSize);
}

bool IsPowerOf(uint32_t n, uint32_t base) {
  while (n > 1 && n % base == 0) n /= base;
  return n == 1;
}

bool GroupHasSuperblock(const CExtVolume* v, uint64_t group) {
  if (group == 0) return true;
  if (v->compat & kCompatSparseSuper2) {
    ByteReader r(v->superblock, sizeof v->superblock);
    return group == r.U32LEAt(0x24C) || group == r.U32LEAt(0x250);
  }
  if (!(v->roCompat & kRoCompatSparseSuper)) return true;
  if (group == 1) return true;
  if (group > UINT32_MAX) return false;
  const auto g = static_cast<uint32_t>(group);
  return IsPowerOf(g, 3) || IsPowerOf(g, 5) || IsPowerOf(g, 7);
}

// The volume block of group descriptor block `index`.
uint64_t DescriptorBlock(const CExtVolume* v, uint64_t index) {
  const uint64_t superBlock = v->blockSize == 1024 ? 1 : 0;
  ByteReader r(v->superblock, sizeof v->superblock);
  const uint32_t firstMeta = r.U32LEAt(260);
  if (!(v->incompat & kIncompatMetaGroups) || index < firstMeta) return superBlock + 1 + index;
  const uint64_t group = index * v->descriptorsPerBlock;
  uint64_t block = uint64_t{v->firstDataBlock} + group * v->blocksPerGroup;
  if (GroupHasSuperblock(v, group)) ++block;
  if (v->blockSize == 1024 && index == 0 && v->firstDataBlock == 0) ++block;
  return block;
}

struct Inode {
  std::vector<uint8_t> bytes;  // the whole on-disk inode
  uint16_t mode;
  uint32_t flags;
  uint64_t size;
  int64_t mtime;
  uint32_t Field(size_t at) const {
    ByteReader r(bytes.data(), bytes.size());
    return r.U32LEAt(at);
  }
  const uint8_t* Area() const { return bytes.data() + 40; }  // the 60-byte block area
};

bool ReadInode(CImageDocument* document, CExtVolume* v, uint32_t number, Inode* out) {
  ByteReader sb(v->superblock, sizeof v->superblock);
  const uint32_t firstInode = sb.U32LEAt(76) == 0 ? 11 : sb.U32LEAt(84);
  if (number == 0 || (number != kRootInode && (number < firstInode || number > v->inodesCount))) return false;
  const uint64_t group = (number - 1) / v->inodesPerGroup;
  if (group >= v->groupCount || v->inodeTables[group] == UINT64_MAX) return false;
  const uint64_t offset = uint64_t{v->inodeSize} * ((number - 1) % v->inodesPerGroup);
  const uint64_t block = v->inodeTables[group] + offset / v->blockSize;
  if (block < v->inodeWindowBlock || block >= v->inodeWindowBlock + v->inodeWindowBlocks) {
    // Read ahead within the group's table.
    const uint64_t tableBlocks = (uint64_t{v->inodesPerGroup} * v->inodeSize + v->blockSize - 1) / v->blockSize;
    const uint64_t tableEnd = std::min(v->inodeTables[group] + tableBlocks, v->blocksCount);
    uint64_t count = std::max<uint64_t>(1, kInodeWindowBytes / v->blockSize);
    count = std::min(count, tableEnd - block);
    v->inodeWindow.resize(static_cast<size_t>(count * v->blockSize));
    v->inodeWindowBlock = UINT64_MAX;
    if (!ReadBlocks(document, v, block, count, v->inodeWindow.data())) return false;
    v->inodeWindowBlock = block;
    v->inodeWindowBlocks = static_cast<uint32_t>(count);
  }
  const uint8_t* p = v->inodeWindow.data() + (block - v->inodeWindowBlock) * v->blockSize + offset % v->blockSize;
  out->bytes.assign(p, p + v->inodeSize);
  ByteReader r(out->bytes.data(), out->bytes.size());
  out->mode = r.U16LEAt(0);
  out->flags = r.U32LEAt(32);
  out->size = r.U32LEAt(4);
  if ((out->mode & kModeTypeMask) == kModeRegular) out->size |= uint64_t{r.U32LEAt(108)} << 32;
  out->mtime = static_cast<int32_t>(r.U32LEAt(16));
  // Inodes with room for the extra times carry two more epoch bits.
  if (v->inodeSize > 128) {
    const uint16_t extra = r.U16LEAt(128);
    if (extra >= 12 && 128u + extra <= v->inodeSize) out->mtime += static_cast<int64_t>(r.U32LEAt(136) & 3) << 32;
  }
  return r.ok();
}

// The value of the inode's "system.data" attribute (the rest of an inline file), stored inside the inode.
bool InlineAttribute(const CExtVolume* v, const Inode& inode, std::vector<uint8_t>* value) {
  value->clear();
  if (v->inodeSize <= 128) return true;
  ByteReader r(inode.bytes.data(), inode.bytes.size());
  const uint32_t extra = r.U16LEAt(128);
  const size_t start = 128 + extra;
  if (!r.ok() || start + 4 > inode.bytes.size() || r.U32LEAt(start) != 0xEA020000) return true;
  const size_t first = start + 4;
  const size_t end = inode.bytes.size();
  for (size_t at = first; at + 16 <= end;) {
    if (r.U32LEAt(at) == 0) break;
    const uint8_t nameLength = r.U8At(at);
    const uint8_t nameIndex = r.U8At(at + 1);
    const uint16_t valueOffset = r.U16LEAt(at + 2);
    const uint32_t valueSize = r.U32LEAt(at + 8);
    if (at + 16 + nameLength > end) return false;
    if (nameIndex == 7 && nameLength == 4 && std::memcmp(inode.bytes.data() + at + 16, "data", 4) == 0) {
      if (first + valueOffset > end || valueSize > end - first - valueOffset) return false;
      const uint8_t* p = inode.bytes.data() + first + valueOffset;
      value->assign(p, p + valueSize);
      return true;
    }
    at += (16 + nameLength + 3) & ~size_t{3};
  }
  return r.ok();
}

// The block map of a file, its holes and unwritten extents as zero runs; false when the map is damaged.
class MapBuilder {
 public:
  MapBuilder(CImageDocument* document, CExtVolume* v, uint64_t fileBlocks, std::vector<CExtRun>* runs)
      : document_(document), v_(v), fileBlocks_(fileBlocks), runs_(runs) {
    const int64_t source = ImageVolumeSourceBytes(document);
    mappedLimit_ = std::min<uint64_t>(v->blocksCount, static_cast<uint64_t>(source) / v->blockSize + 1);
  }

  bool Extents(const uint8_t* area) {
    struct Node {
      uint64_t block;
      int depth;
    };
    std::vector<Node> pending;
    std::unordered_set<uint64_t> visited;
    std::vector<uint8_t> buffer(v_->blockSize);
    // The root lives in the inode; its children are read one by one, depth first, last entry pushed first.
    int depth = -1;
    if (!Node_(area, 60, kMaxExtentDepth, &depth, &pending)) return false;
    while (!pending.empty()) {
      const Node node = pending.back();
      pending.pop_back();
      if (!visited.insert(node.block).second) return false;
      if (node.block < v_->firstDataBlock || !ReadBlocks(document_, v_, node.block, 1, buffer.data())) return false;
      int got = -1;
      if (!Node_(buffer.data(), buffer.size(), node.depth, &got, &pending) || got != node.depth) return false;
    }
    return Finish();
  }

  bool Indirect(const uint8_t* area) {
    ByteReader r(area, 60);
    for (uint64_t i = 0; i < 12; ++i) Add(i, r.U32LEAt(i * 4), 1);
    const uint64_t perBlock = v_->blockSize / 4;
    uint64_t logical = 12, span = perBlock;
    for (int level = 1; level <= 3 && logical < fileBlocks_; ++level) {
      if (!Walk(r.U32LEAt(static_cast<size_t>(44 + level * 4)), level, logical, span, perBlock)) return false;
      logical += span;
      span = span > UINT64_MAX / perBlock ? UINT64_MAX : span * perBlock;
    }
    return Finish();
  }

 private:
  // Reads one extent node: its entries are leaves (added as runs) or indexes (pushed for later, last first).
  template <typename Pending>
  bool Node_(const uint8_t* data, size_t bytes, int maxDepth, int* depthOut, Pending* pending) {
    ByteReader r(data, bytes);
    const uint16_t magic = r.U16LEAt(0);
    const uint16_t entries = r.U16LEAt(2);
    const uint16_t depth = r.U16LEAt(6);
    if (!r.ok() || magic != kExtentMagic || depth > maxDepth || 12 + size_t{entries} * 12 > bytes) return false;
    *depthOut = depth;
    if (depth == 0) {
      for (uint16_t i = 0; i < entries; ++i) {
        const size_t at = 12 + size_t{i} * 12;
        const uint32_t first = r.U32LEAt(at);
        uint32_t length = r.U16LEAt(at + 4);
        const uint64_t start = uint64_t{r.U16LEAt(at + 6)} << 32 | r.U32LEAt(at + 8);
        const bool unwritten = length > 32768;
        if (unwritten) length -= 32768;
        if (length == 0) continue;
        if (start >= v_->blocksCount || length > v_->blocksCount - start) return false;
        if (!unwritten) mapped_ += length;
        runs_->push_back({first, start, length, unwritten});
      }
      return r.ok();
    }
    // Children in reverse, so the first is walked first.
    for (int i = entries - 1; i >= 0; --i) {
      const size_t at = 12 + static_cast<size_t>(i) * 12;
      const uint64_t child = uint64_t{r.U16LEAt(at + 8)} << 32 | r.U32LEAt(at + 4);
      pending->push_back({child, depth - 1});
    }
    return r.ok();
  }

  void Add(uint64_t logical, uint64_t physical, uint64_t count) {
    if (logical >= fileBlocks_) return;
    count = std::min(count, fileBlocks_ - logical);
    const bool zero = physical == 0;
    if (!zero) mapped_ += count;
    if (!runs_->empty()) {
      CExtRun& last = runs_->back();
      if (last.zero == zero && last.logical + last.count == logical &&
          (zero || last.physical + last.count == physical)) {
        last.count += count;
        return;
      }
    }
    runs_->push_back({logical, physical, count, zero});
  }

  bool Walk(uint32_t pointer, int level, uint64_t logical, uint64_t span, uint64_t perBlock) {
    if (logical >= fileBlocks_) return true;
    if (pointer == 0) {
      Add(logical, 0, span);
      return true;
    }
    if (pointer >= v_->blocksCount || mapped_ > mappedLimit_) return false;
    if (level == 0) {
      Add(logical, pointer, 1);
      return true;
    }
    std::vector<uint8_t> block(v_->blockSize);
    if (!ReadBlocks(document_, v_, pointer, 1, block.data())) return false;
    const uint64_t childSpan = span / perBlock;
    for (uint64_t i = 0; i < perBlock && logical + i * childSpan < fileBlocks_; ++i) {
      if (!Walk(LoadU32LE(block.data() + i * 4), level - 1, logical + i * childSpan, childSpan, perBlock)) return false;
    }
    return true;
  }

  // Sorts the runs, refuses overlaps and more mapped blocks than the volume holds.
  bool Finish() {
    if (mapped_ > mappedLimit_) return false;
    std::sort(runs_->begin(), runs_->end(), [](const CExtRun& a, const CExtRun& b) { return a.logical < b.logical; });
    for (size_t i = 1; i < runs_->size(); ++i)
      if ((*runs_)[i].logical < (*runs_)[i - 1].logical + (*runs_)[i - 1].count) return false;
    return true;
  }

  CImageDocument* document_;
  CExtVolume* v_;
  uint64_t fileBlocks_;
  std::vector<CExtRun>* runs_;
  uint64_t mapped_ = 0;
  uint64_t mappedLimit_;
};

// Builds the volume's current map for an inode (kept until another inode is asked for): 1, or -1 when damaged.
int EnsureMap(CImageDocument* document, uint32_t number, const Inode* known = nullptr) {
  CExtVolume* v = document->ext;
  if (v->mapInode == number && v->mapState != 0) return v->mapState;
  v->mapInode = number;
  v->mapState = -1;
  v->mapInline = 0;
  v->runs.clear();
  v->inlineData.clear();
  Inode read;
  if (!known) {
    if (!ReadInode(document, v, number, &read)) return -1;
    known = &read;
  }
  const Inode& inode = *known;
  if (inode.flags & kFlagInlineData) {
    std::vector<uint8_t> rest;
    if (!InlineAttribute(v, inode, &rest)) return -1;
    v->inlineData.assign(inode.Area(), inode.Area() + 60);
    v->inlineData.insert(v->inlineData.end(), rest.begin(), rest.end());
    v->mapInline = 1;
    return v->mapState = 1;
  }
  // A short symbolic link keeps its target in the block area.
  if ((inode.mode & kModeTypeMask) == kModeLink && inode.size < 60 && !(inode.flags & kFlagExtents)) {
    v->inlineData.assign(inode.Area(), inode.Area() + 60);
    v->mapInline = 1;
    return v->mapState = 1;
  }
  const uint64_t fileBlocks = inode.size / v->blockSize + (inode.size % v->blockSize ? 1 : 0);
  MapBuilder builder(document, v, fileBlocks, &v->runs);
  const bool ok = (inode.flags & kFlagExtents) ? builder.Extents(inode.Area()) : builder.Indirect(inode.Area());
  if (!ok) {
    v->runs.clear();
    return -1;
  }
  return v->mapState = 1;
}

// The run holding logical block `block`, or null when it falls in a gap of the map (a hole).
const CExtRun* FindRun(const CExtVolume* v, uint64_t block, uint64_t* gapEnd) {
  auto it = std::upper_bound(v->runs.begin(), v->runs.end(), block,
                             [](uint64_t b, const CExtRun& run) { return b < run.logical; });
  *gapEnd = it == v->runs.end() ? UINT64_MAX : it->logical;
  if (it == v->runs.begin()) return nullptr;
  --it;
  return block < it->logical + it->count ? &*it : nullptr;
}

// Reads a file's bytes through the current map (EnsureMap done): the bytes copied.
int64_t ReadMapped(CImageDocument* document, uint64_t size, uint64_t offset, uint8_t* out, uint64_t count) {
  CExtVolume* v = document->ext;
  if (offset >= size) return 0;
  count = std::min(count, size - offset);
  if (v->mapInline) {
    const uint64_t have = v->inlineData.size();
    if (offset + count > have) {
      LastErrorSetText(L"The file's data is not all described in the image.");
      if (offset >= have) return 0;
      count = have - offset;
    }
    std::memcpy(out, v->inlineData.data() + offset, static_cast<size_t>(count));
    return static_cast<int64_t>(count);
  }
  const uint64_t bs = v->blockSize;
  uint64_t done = 0;
  while (done < count) {
    const uint64_t at = offset + done;
    const uint64_t block = at / bs;
    uint64_t gapEnd = 0;
    const CExtRun* run = FindRun(v, block, &gapEnd);
    const uint64_t runEnd = run ? run->logical + run->count : gapEnd;
    const uint64_t piece = std::min(count - done, runEnd > UINT64_MAX / bs ? UINT64_MAX : runEnd * bs - at);
    if (!run || run->zero) {
      std::memset(out + done, 0, static_cast<size_t>(piece));
    } else if (!ImageReadVolumeBytes(document, (run->physical + (block - run->logical)) * bs + at % bs, out + done,
                                     piece)) {
      if (LastErrorGetCode() == 0) LastErrorSetText(L"The image file ends before the data it holds.");
      break;
    }
    done += piece;
  }
  return static_cast<int64_t>(done);
}

std::wstring WidenName(const uint8_t* bytes, size_t n) {
  std::wstring wide(n + 1, L'\0');
  const size_t got = TextMultiByteToWideLenient(reinterpret_cast<const char*>(bytes), n, wide.data());
  wide.resize(got);
  return wide;
}

wchar_t* DupWide(const std::wstring& text) {
  auto* copy = static_cast<wchar_t*>(MemAlloc((text.size() + 1) * sizeof(wchar_t)));
  if (copy) std::wmemcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

uint8_t FileTypeOf(uint16_t mode) {
  switch (mode & kModeTypeMask) {
    case kModeRegular:
      return 1;
    case kModeDirectory:
      return 2;
    case kModeLink:
      return 7;
    default:
      return 0;
  }
}

CTreeEntry* MakeEntry(CImageDocument* document, const std::wstring& name, uint32_t number, const Inode& inode) {
  const uint8_t type = FileTypeOf(inode.mode);
  CTreeEntry* entry = TreeNewEntry();
  if (!entry) return nullptr;
  auto* record = static_cast<CExtFileRecord*>(MemZeroAlloc(sizeof(CExtFileRecord)));
  entry->name = DupWide(name);
  if (!record || !entry->name) {
    MemFree(record);
    TreeFreeEntry(document, entry);
    return nullptr;
  }
  record->magic = kRecordMagic;
  record->inode = number;
  record->fileType = type;
  entry->fsRecord = reinterpret_cast<uint8_t*>(record);
  entry->fsRecordSize = sizeof(CExtFileRecord);
  const bool directory = type == 2;
  entry->size = directory ? 0 : static_cast<int64_t>(std::min<uint64_t>(inode.size, INT64_MAX));
  entry->sourceLba = number;
  uint8_t* dr = entry->directoryRecord;
  dr[kDirRecordLength] = kDirRecordCopySize;
  PutBothEndian32(dr + kDirRecordDataLength, static_cast<uint32_t>(std::min<int64_t>(entry->size, UINT32_MAX)));
  PutBothEndian16(dr + kDirRecordVolumeSequence, 1);
  IsoEncodeRecordDate(dr + kDirRecordDate, inode.mtime);
  dr[kDirRecordFlags] = directory ? kDirFlagDirectory : 0;
  return entry;
}

struct PendingDirectory {
  CTreeFolder* folder;
  uint32_t inode;
};

class TreeLoader {
 public:
  explicit TreeLoader(CImageDocument* document) : document_(document), v_(document->ext) {}

  void Run() {
    std::vector<PendingDirectory> work{{document_->rootFolder, kRootInode}};
    visited_.insert(kRootInode);
    while (!work.empty()) {
      const PendingDirectory item = work.back();
      work.pop_back();
      made_.clear();
      LoadDirectory(item);
      for (const Made& m : made_) {
        if (!m.directory) continue;
        CTreeFolder* node = TreeInsertFolderNode(document_, item.folder, m.entry->name, m.entry, 0);
        if (!node) {
          damaged_ = true;
        } else if (node->depth > kTreePathMaxDepth || !visited_.insert(m.inode).second) {
          damaged_ = true;  // too deep, or a directory met twice (a loop)
        } else {
          work.push_back({node, m.inode});
        }
      }
      // Prepending in reverse keeps the directory's order.
      for (auto it = made_.rbegin(); it != made_.rend(); ++it) TreeFolderPrependEntry(item.folder, it->entry);
    }
    if (damaged_) document_->treeDamaged = 1;
  }

 private:
  struct Made {
    CTreeEntry* entry;
    uint32_t inode;
    bool directory;
  };

  void LoadDirectory(const PendingDirectory& item) {
    Inode dir;
    if (!ReadInode(document_, v_, item.inode, &dir) || (dir.mode & kModeTypeMask) != kModeDirectory) {
      damaged_ = true;
      return;
    }
    if (dir.flags & kFlagInlineData) {
      std::vector<uint8_t> rest;
      if (!InlineAttribute(v_, dir, &rest)) damaged_ = true;
      // The block area starts with the parent's inode; entries follow, then go on in the attribute.
      ParseEntries(dir.Area() + 4, 56);
      if (!rest.empty()) ParseEntries(rest.data(), rest.size());
      return;
    }
    if (dir.size == 0) return;
    if (dir.size > kMaxDirectoryBytes || EnsureMap(document_, item.inode, &dir) != 1) {
      damaged_ = true;
      return;
    }
    // The map is the volume's current one: keep a copy, since reading the entries' inodes does not touch it,
    // but the next directory will.
    const std::vector<CExtRun> runs = v_->runs;
    const uint64_t bs = v_->blockSize;
    const uint64_t blocks = (dir.size + bs - 1) / bs;
    std::vector<uint8_t> data;
    const uint64_t step = std::max<uint64_t>(1, (uint64_t{1} << 20) / bs);
    for (const CExtRun& run : runs) {
      if (run.zero || run.logical >= blocks) continue;
      const uint64_t count = std::min(run.count, blocks - run.logical);
      for (uint64_t done = 0; done < count;) {
        const uint64_t n = std::min(step, count - done);
        data.resize(static_cast<size_t>(n * bs));
        if (!ReadBlocks(document_, v_, run.physical + done, n, data.data())) {
          damaged_ = true;
        } else {
          for (uint64_t b = 0; b < n; ++b) ParseEntries(data.data() + b * bs, bs);
        }
        done += n;
      }
    }
  }

  uint32_t RecordLength(uint16_t raw) const {
    if (v_->blockSize < 65536) return raw;
    if (raw == 0xFFFF || raw == 0) return 65536;
    return (raw & 0xFFFCu) | ((raw & 3u) << 16);
  }

  // Walks the entries of one block (or inline area) by record length.
  void ParseEntries(const uint8_t* data, size_t bytes) {
    ByteReader r(data, bytes);
    for (size_t at = 0; at + 8 <= bytes;) {
      const uint32_t number = r.U32LEAt(at);
      const uint32_t length = RecordLength(r.U16LEAt(at + 4));
      const uint8_t nameLength = r.U8At(at + 6);
      if (length < 8 || length % 4 != 0 || length > bytes - at || size_t{nameLength} + 8 > length) {
        damaged_ = true;  // the rest of the block cannot be walked
        return;
      }
      const size_t nameAt = at + 8;
      at += length;
      if (number == 0 || nameLength == 0) continue;
      const uint8_t* name = data + nameAt;
      if ((nameLength == 1 && name[0] == '.') || (nameLength == 2 && name[0] == '.' && name[1] == '.')) continue;
      Inode inode;
      if (!ReadInode(document_, v_, number, &inode)) {
        damaged_ = true;
        continue;
      }
      const uint8_t type = FileTypeOf(inode.mode);
      if (type == 0) continue;  // devices, pipes and sockets hold no data
      CTreeEntry* entry = MakeEntry(document_, WidenName(name, nameLength), number, inode);
      if (!entry) {
        damaged_ = true;
        continue;
      }
      made_.push_back({entry, number, type == 2});
    }
  }

  CImageDocument* document_;
  CExtVolume* v_;
  std::unordered_set<uint32_t> visited_;
  std::vector<Made> made_;
  bool damaged_ = false;
};

// Reads the superblock and checks the geometry; false when this is no ext volume the reader can walk.
bool ReadSuperblock(CImageDocument* document, CExtVolume* v) {
  if (!ImageReadVolumeBytes(document, 1024, v->superblock, 1024)) return false;
  ByteReader r(v->superblock, sizeof v->superblock);
  if (r.U16LEAt(56) != kSuperMagic) return false;
  v->inodesCount = r.U32LEAt(0);
  const uint32_t logBlock = r.U32LEAt(24);
  v->firstDataBlock = r.U32LEAt(20);
  v->blocksPerGroup = r.U32LEAt(32);
  v->inodesPerGroup = r.U32LEAt(40);
  const uint32_t revision = r.U32LEAt(76);
  v->compat = r.U32LEAt(92);
  v->incompat = r.U32LEAt(96);
  v->roCompat = r.U32LEAt(100);
  v->inodeSize = revision == 0 ? 128 : r.U16LEAt(88);
  if (logBlock > 6 || v->blocksPerGroup == 0 || v->inodesPerGroup == 0 || (v->incompat & kIncompatJournalDevice))
    return false;
  v->blockSize = 1024u << logBlock;
  if (v->inodeSize < 128 || v->inodeSize > v->blockSize || (v->inodeSize & (v->inodeSize - 1))) return false;
  if (v->blocksPerGroup > v->blockSize * 8u || v->inodesPerGroup > v->blockSize * 8u) return false;
  const bool wide = (v->incompat & kIncompat64Bit) != 0;
  v->blocksCount = r.U32LEAt(4) | (wide ? uint64_t{r.U32LEAt(0x150)} << 32 : 0);
  v->freeBlocks = r.U32LEAt(12) | (wide ? uint64_t{r.U32LEAt(0x158)} << 32 : 0);
  if (v->blocksCount <= v->firstDataBlock || v->firstDataBlock > 1) return false;
  const uint64_t groups = (v->blocksCount - v->firstDataBlock - 1) / v->blocksPerGroup + 1;
  if (groups > UINT32_MAX || v->inodesCount > groups * v->inodesPerGroup) return false;
  v->groupCount = static_cast<uint32_t>(groups);
  v->descriptorSize = 32;
  if (wide) {
    v->descriptorSize = r.U16LEAt(254);
    if (v->descriptorSize < 64 || v->descriptorSize > 1024 || (v->descriptorSize & (v->descriptorSize - 1)))
      return false;
  }
  v->descriptorsPerBlock = v->blockSize / v->descriptorSize;
  return r.ok();
}

// Reads every group descriptor and keeps each group's inode table; false when the table cannot be read.
bool ReadDescriptors(CImageDocument* document, CExtVolume* v) {
  const uint64_t descriptorBlocks = (uint64_t{v->groupCount} + v->descriptorsPerBlock - 1) / v->descriptorsPerBlock;
  const uint64_t source = static_cast<uint64_t>(ImageVolumeSourceBytes(document));
  if (descriptorBlocks > source / v->blockSize) return false;
  try {
    v->inodeTables.assign(v->groupCount, UINT64_MAX);
  } catch (const std::bad_alloc&) {
    return false;
  }
  const uint64_t tableBlocks = (uint64_t{v->inodesPerGroup} * v->inodeSize + v->blockSize - 1) / v->blockSize;
  const bool wide = v->descriptorSize >= 64;
  constexpr uint64_t kStepBytes = 1 << 20;
  const uint64_t stepBlocks = std::max<uint64_t>(1, kStepBytes / v->blockSize);
  std::vector<uint8_t> buffer;
  for (uint64_t b = 0; b < descriptorBlocks;) {
    // Consecutive descriptor blocks are read together.
    const uint64_t first = DescriptorBlock(v, b);
    uint64_t n = 1;
    while (b + n < descriptorBlocks && n < stepBlocks && DescriptorBlock(v, b + n) == first + n) ++n;
    buffer.resize(static_cast<size_t>(n * v->blockSize));
    if (!ReadBlocks(document, v, first, n, buffer.data())) return false;
    for (uint64_t i = 0; i < n * v->descriptorsPerBlock; ++i) {
      const uint64_t group = b * v->descriptorsPerBlock + i;
      if (group >= v->groupCount) break;
      const uint8_t* d = buffer.data() + i * v->descriptorSize;
      const uint64_t table = LoadU32LE(d + 8) | (wide ? uint64_t{LoadU32LE(d + 0x28)} << 32 : 0);
      // A table outside the volume leaves the group's inodes unreadable.
      if (table > v->firstDataBlock && table < v->blocksCount && tableBlocks <= v->blocksCount - table)
        v->inodeTables[group] = table;
    }
    b += n;
  }
  return true;
}

void SetLabel(CImageDocument* document, const CExtVolume* v) {
  size_t n = 0;
  while (n < 16 && v->superblock[120 + n]) ++n;
  std::wstring label = WidenName(v->superblock + 120, n);
  label.resize(std::min<size_t>(label.size(), kVolumeIdentifierChars - 1));
  std::wmemcpy(document->identifiers[kVolumeLabel], label.c_str(), label.size() + 1);
}

}  // namespace

int ExtOpenVolume(CImageDocument* document) {
  if (!document) return 0;
  ExtFreeVolume(document);
  std::unique_ptr<CExtVolume> volume(new (std::nothrow) CExtVolume{});
  if (!volume) return 0;
  CExtVolume* v = volume.get();
  if (!ReadSuperblock(document, v) || !ReadDescriptors(document, v)) return 0;
  Inode root;
  if (!ReadInode(document, v, kRootInode, &root) || (root.mode & kModeTypeMask) != kModeDirectory) return 0;
  v->ext4 = (root.flags & kFlagExtents) ? 1 : 0;
  if (!document->rootFolder && ImageCreateRoot(document) != 0) return 0;
  document->ext = volume.release();
  SetLabel(document, v);
  if (document->rootEntry) IsoEncodeRecordDate(document->rootEntry->directoryRecord + kDirRecordDate, root.mtime);
  if (document->loadTree) TreeLoader(document).Run();
  return 1;
}

int64_t ExtFindSuperblock(CImageDocument* document, int64_t sectors) {
  if (!document || sectors < 2) return -1;
  const int64_t unit = document->sectorSize > 0 ? document->sectorSize : 512;
  // One read covers every candidate's superblock.
  const int64_t span = std::min<int64_t>(ImageVolumeSourceBytes(document), (sectors - 1) * unit + 2048);
  if (span < unit + 2048) return -1;
  std::vector<uint8_t> area;
  try {
    area.resize(static_cast<size_t>(span));
  } catch (const std::bad_alloc&) {
    return -1;
  }
  if (!ImageReadVolumeBytes(document, 0, area.data(), static_cast<uint64_t>(span))) return -1;
  const int64_t start = document->partitionStart;
  const int64_t length = document->partitionLength;
  int64_t found = -1;
  for (int64_t k = 1; k * unit + 2048 <= span && found < 0; ++k) {
    if (LoadU16LE(area.data() + k * unit + 1024 + 56) != kSuperMagic) continue;
    // The whole superblock must hold, read where the volume would start.
    document->partitionStart = start + k;
    document->partitionLength = length > k ? length - k : length;
    CExtVolume probe{};
    if (ReadSuperblock(document, &probe)) found = k;
    document->partitionStart = start;
    document->partitionLength = length;
  }
  return found;
}

void ExtFreeVolume(CImageDocument* document) {
  if (!document || !document->ext) return;
  std::unique_ptr<CExtVolume> volume(document->ext);
  document->ext = nullptr;
}

const CExtFileRecord* ExtGetRecord(const CTreeEntry* entry) {
  if (!entry || !entry->fsRecord || entry->fsRecordSize != static_cast<int32_t>(sizeof(CExtFileRecord))) return nullptr;
  const auto* record = reinterpret_cast<const CExtFileRecord*>(entry->fsRecord);
  return record->magic == kRecordMagic ? record : nullptr;
}

int64_t ExtReadFileData(CImageDocument* document, const CTreeEntry* entry, int64_t offset, void* buffer,
                        int64_t count) {
  const CExtFileRecord* record = ExtGetRecord(entry);
  if (!document || !document->ext || !record || !buffer || offset < 0 || count <= 0) return 0;
  if (EnsureMap(document, record->inode) != 1) {
    LastErrorSetText(L"The file's data is not all described in the image.");
    return 0;
  }
  return ReadMapped(document, static_cast<uint64_t>(std::max<int64_t>(entry->size, 0)), static_cast<uint64_t>(offset),
                    static_cast<uint8_t*>(buffer), static_cast<uint64_t>(count));
}

int64_t ExtFileRun(CImageDocument* document, const CTreeEntry* entry, uint64_t offset, uint64_t* volumeByte) {
  const CExtFileRecord* record = ExtGetRecord(entry);
  if (!document || !document->ext || !record || !volumeByte || entry->size <= 0) return 0;
  CExtVolume* v = document->ext;
  const auto size = static_cast<uint64_t>(entry->size);
  if (offset >= size || offset % v->blockSize != 0) return 0;
  if (EnsureMap(document, record->inode) != 1 || v->mapInline) return 0;
  uint64_t gapEnd = 0;
  const uint64_t block = offset / v->blockSize;
  const CExtRun* run = FindRun(v, block, &gapEnd);
  if (!run || run->zero) return 0;
  *volumeByte = (run->physical + (block - run->logical)) * v->blockSize;
  const uint64_t end = std::min(size, (run->logical + run->count) * v->blockSize);
  return static_cast<int64_t>(end - offset);
}
