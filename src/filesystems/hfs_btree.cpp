#include "filesystems/hfs_btree.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <new>

#include "image/document.h"
#include "runtime/byte_reader.h"
#include "runtime/file.h"
#include "tree/iso_helpers.h"
#include "tree/tree.h"

namespace {

// Nodes kept before the cache starts over (between searches, never in the middle of one).
constexpr uint64_t kCacheLimit = uint64_t{256} << 20;
constexpr uint32_t kMaxDepth = 16;

// The length of a record's key field and where its data starts, by the tree's key rule.
bool SplitRecord(const CHfsBTree* tree, std::span<const uint8_t> record, size_t* keyBytes, size_t* dataAt) {
  if (tree->classicKeys) {
    if (record.size() < 1) return false;
    *keyBytes = 1 + static_cast<size_t>(record[0]);
    *dataAt = (*keyBytes + 1) & ~size_t{1};
  } else {
    if (record.size() < 2) return false;
    *keyBytes = 2 + LoadU16BE(record.data());
    *dataAt = *keyBytes;
  }
  return *dataAt <= record.size();
}

bool Validate(const CHfsBTree* tree, CHfsBTreeNode* node) {
  ByteReader r(node->bytes.data(), node->bytes.size());
  node->forward = r.U32BE();
  node->backward = r.U32BE();
  node->kind = static_cast<int8_t>(r.U8());
  node->height = r.U8();
  node->recordCount = r.U16BE();
  if (!r.ok()) return false;
  switch (node->kind) {
    case kHfsNodeHeader:
    case kHfsNodeMap:
      if (node->height != 0) return false;
      break;
    case kHfsNodeLeaf:
      if (node->height != 1) return false;
      break;
    case kHfsNodeIndex:
      if (node->height < 2 || node->height > tree->depth) return false;
      break;
    default:
      return false;
  }
  const size_t size = node->bytes.size();
  // The offset table (one more entry than records) grows down from the end of the node.
  const size_t tableBytes = 2 * (static_cast<size_t>(node->recordCount) + 1);
  if (tableBytes > size - 14) return false;
  const size_t tableStart = size - tableBytes;
  node->offsets.resize(node->recordCount + 1u);
  for (size_t i = 0; i <= node->recordCount; ++i) node->offsets[i] = LoadU16BE(node->bytes.data() + size - 2 * (i + 1));
  if (node->offsets[0] != 14) return false;
  for (size_t i = 1; i <= node->recordCount; ++i) {
    if (node->offsets[i] <= node->offsets[i - 1] || (node->offsets[i] & 1) || node->offsets[i] > tableStart)
      return false;
  }
  if (node->kind == kHfsNodeIndex || node->kind == kHfsNodeLeaf) {
    for (int i = 0; i < node->recordCount; ++i) {
      std::span<const uint8_t> record(node->bytes.data() + node->offsets[i], node->offsets[i + 1] - node->offsets[i]);
      size_t keyBytes = 0, dataAt = 0;
      if (!SplitRecord(tree, record, &keyBytes, &dataAt)) return false;
      if (!tree->classicKeys && ((keyBytes & 1) || keyBytes >= record.size())) return false;
      if (tree->classicKeys && keyBytes > record.size()) return false;
      // An index record holds the child's node number after its key.
      if (node->kind == kHfsNodeIndex && record.size() - dataAt < 4) return false;
    }
  }
  return true;
}

}  // namespace

int HfsBTreeOpen(CHfsBTree* tree, const uint8_t* node0, size_t size, uint64_t fileBytes) {
  ByteReader r(node0, size);
  r.Seek(14);
  tree->depth = r.U16BE();
  tree->rootNode = r.U32BE();
  tree->leafRecords = r.U32BE();
  r.Skip(8);  // first and last leaf
  tree->nodeSize = r.U16BE();
  tree->maxKeyLength = r.U16BE();
  tree->totalNodes = r.U32BE();
  r.Seek(14 + 37);
  tree->keyCompareType = r.U8();
  tree->attributes = r.U32BE();
  if (!r.ok()) return 0;
  // HFS trees leave the compare type and attributes zero.
  if (tree->nodeSize < 512 || tree->nodeSize > 32768 || !std::has_single_bit(tree->nodeSize)) return 0;
  tree->nodeSizeBits = static_cast<uint32_t>(std::countr_zero(tree->nodeSize));
  if (tree->totalNodes == 0 || tree->totalNodes > fileBytes / tree->nodeSize) return 0;
  if (tree->depth > kMaxDepth || tree->rootNode >= tree->totalNodes) return 0;
  if (tree->depth > 0 && tree->rootNode == 0) return 0;
  return 1;
}

CHfsBTreeNode* HfsBTreeGetNode(CHfsBTree* tree, uint32_t number) {
  if (number >= tree->totalNodes) return nullptr;
  if (auto it = tree->cache.find(number); it != tree->cache.end())
    return it->second->state ? nullptr : it->second.get();
  auto node = std::unique_ptr<CHfsBTreeNode>(new (std::nothrow) CHfsBTreeNode{});
  if (!node) return nullptr;
  node->number = number;
  try {
    node->bytes.resize(tree->nodeSize);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  if (!tree->readNode(tree, number, node->bytes.data()) || !Validate(tree, node.get())) {
    // A node that failed is remembered as failed, without its bytes.
    node->state = 1;
    std::vector<uint8_t>().swap(node->bytes);
  }
  CHfsBTreeNode* result = node->state ? nullptr : node.get();
  tree->cachedBytes += node->bytes.size() + sizeof(CHfsBTreeNode);
  tree->cache.emplace(number, std::move(node));
  return result;
}

int HfsBTreeRecord(const CHfsBTree* tree, const CHfsBTreeNode* node, int index, std::span<const uint8_t>* key,
                   std::span<const uint8_t>* data) {
  if (!node || index < 0 || index >= node->recordCount) return 0;
  std::span<const uint8_t> record(node->bytes.data() + node->offsets[index],
                                  node->offsets[index + 1] - node->offsets[index]);
  size_t keyBytes = 0, dataAt = 0;
  if (!SplitRecord(tree, record, &keyBytes, &dataAt) || keyBytes > record.size()) return 0;
  *key = record.subspan(0, keyBytes);
  *data = record.subspan(dataAt);
  return 1;
}

int HfsBTreeRecordAt(CHfsBTree* tree, const CHfsRecordRef& ref, std::span<const uint8_t>* key,
                     std::span<const uint8_t>* data) {
  return HfsBTreeRecord(tree, HfsBTreeGetNode(tree, ref.node), ref.index, key, data);
}

int HfsBTreeFind(CHfsBTree* tree, std::span<const uint8_t> search, CHfsRecordRef* ref) {
  if (tree->depth == 0 || tree->rootNode == 0) return -1;
  if (tree->cachedBytes > kCacheLimit) {
    tree->cache.clear();
    tree->cachedBytes = 0;
  }
  uint32_t number = tree->rootNode;
  int expectedHeight = static_cast<int>(tree->depth);
  // Each level must sit one below the last, so the descent ends within the depth.
  for (;;) {
    CHfsBTreeNode* node = HfsBTreeGetNode(tree, number);
    if (!node || node->height != expectedHeight) return -1;
    // The last record whose key is not above the search key.
    int low = 0, high = node->recordCount - 1, found = -1;
    bool exact = false;
    while (low <= high) {
      const int mid = low + (high - low) / 2;
      std::span<const uint8_t> key, data;
      if (!HfsBTreeRecord(tree, node, mid, &key, &data)) return -1;
      const int order = tree->compare(tree, search, key);
      if (order == 0) {
        found = mid;
        exact = true;
        break;
      }
      if (order > 0) {
        found = mid;
        low = mid + 1;
      } else {
        high = mid - 1;
      }
    }
    if (node->kind == kHfsNodeLeaf) {
      ref->node = number;
      ref->index = found;
      return exact ? 1 : 0;
    }
    if (node->kind != kHfsNodeIndex) return -1;
    // A key below every index key can still only live in the first child.
    std::span<const uint8_t> key, data;
    if (!HfsBTreeRecord(tree, node, found < 0 ? 0 : found, &key, &data) || data.size() < 4) return -1;
    number = LoadU32BE(data.data());
    if (--expectedHeight < 1) return -1;
  }
}

int HfsBTreeNext(CHfsBTree* tree, CHfsRecordRef* ref, uint32_t* steps) {
  CHfsBTreeNode* node = HfsBTreeGetNode(tree, ref->node);
  if (!node || node->kind != kHfsNodeLeaf) return -1;
  if (ref->index + 1 < node->recordCount) {
    ++ref->index;
    return 1;
  }
  uint32_t next = node->forward;
  for (;;) {
    if (next == 0) return 0;
    if (++*steps > tree->totalNodes) return -1;
    CHfsBTreeNode* following = HfsBTreeGetNode(tree, next);
    if (!following || following->kind != kHfsNodeLeaf) return -1;
    if (following->recordCount > 0) {
      ref->node = next;
      ref->index = 0;
      return 1;
    }
    next = following->forward;
  }
}

CTreeEntry* MacNewEntry(const std::wstring& name, bool folder, int64_t size, int64_t when) {
  CTreeEntry* entry = TreeNewEntry();
  if (!entry) return nullptr;
  entry->name = WcsDup(name.c_str());
  entry->size = size;
  uint8_t* record = entry->directoryRecord;
  record[kDirRecordLength] = kDirRecordCopySize;
  PutBothEndian32(record + kDirRecordDataLength, static_cast<uint32_t>(std::min<int64_t>(size, UINT32_MAX)));
  PutBothEndian16(record + kDirRecordVolumeSequence, 1);
  IsoEncodeRecordDate(record + kDirRecordDate, when);
  record[kDirRecordFlags] = folder ? kDirFlagDirectory : 0;
  return entry;
}

int MacAddSubfolder(CMacCatalogWalk* walk, const CMacPendingFolder& parent, const std::wstring& name, uint32_t id,
                    uint32_t valence, int64_t when, std::vector<CTreeEntry*>* made) {
  CTreeEntry* entry = MacNewEntry(name, true, 0, when);
  if (!entry || !entry->name) {
    TreeFreeEntry(walk->document, entry);
    return -1;
  }
  CTreeFolder* node = TreeInsertFolderNode(walk->document, parent.folder, entry->name, entry, 0);
  made->push_back(entry);
  if (!node) return -1;
  if (node->depth > kTreePathMaxDepth || !walk->walked.insert(id).second) return 0;
  walk->pending.push_back({node, id, valence});
  return 1;
}

void MacWalkCatalog(CImageDocument* document, uint32_t rootId, uint32_t rootValence,
                    const std::function<bool(CMacCatalogWalk*, const CMacPendingFolder&)>& loadFolder) {
  CMacCatalogWalk walk{document, {{document->rootFolder, rootId, rootValence}}, {rootId}};
  bool sound = true;
  while (!walk.pending.empty()) {
    const CMacPendingFolder item = walk.pending.back();
    walk.pending.pop_back();
    if (!loadFolder(&walk, item)) sound = false;
  }
  if (!sound) document->treeDamaged = 1;
}
