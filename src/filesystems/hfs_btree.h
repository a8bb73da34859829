// The B-trees of HFS and HFS+ volumes (catalog, extents overflow, attributes): the header record, a node cache
// that validates every node it loads, search by key and stepping from record to record. The tree reads its
// nodes through the owning volume's reader and compares keys through the volume's rule, so one engine serves
// both file systems; HFS keys carry a one-byte length and pad their record to an even offset, HFS+ keys a
// two-byte length.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

struct CHfsBTree;
struct CImageDocument;
struct CTreeEntry;
struct CTreeFolder;

// Node kinds of the node descriptor.
enum : int8_t { kHfsNodeIndex = 0, kHfsNodeHeader = 1, kHfsNodeMap = 2, kHfsNodeLeaf = -1 };

// Reads node `node` (nodeSize bytes) into `out`: 1, or 0.
using HfsNodeReader = int (*)(CHfsBTree* tree, uint32_t node, uint8_t* out);
// Compares a search key with a record's key (both as stored, length field included): <0, 0, >0.
using HfsKeyCompare = int (*)(const CHfsBTree* tree, std::span<const uint8_t> search, std::span<const uint8_t> key);

struct CHfsBTreeNode {
  uint32_t number;
  uint32_t forward;
  uint32_t backward;
  int8_t kind;
  uint8_t height;
  uint16_t recordCount;
  int32_t state;                  // 1: failed validation
  std::vector<uint16_t> offsets;  // recordCount + 1 offsets, the last one where free space begins
  std::vector<uint8_t> bytes;
};

struct CHfsBTree {
  void* volume;  // the owning volume
  uint32_t fileId;
  int32_t classicKeys;  // HFS: one-byte key lengths, records padded to even offsets
  HfsNodeReader readNode;
  HfsKeyCompare compare;
  uint32_t rootNode;
  uint32_t leafRecords;
  uint32_t nodeSize;
  uint32_t nodeSizeBits;
  uint32_t totalNodes;
  uint32_t maxKeyLength;
  uint32_t depth;
  uint8_t keyCompareType;  // 0xBC: binary names (HFSX)
  uint32_t attributes;
  std::unordered_map<uint32_t, std::unique_ptr<CHfsBTreeNode>> cache;
  uint64_t cachedBytes;
};

// A position in the leaf level: node and record index (-1: before the node's first record).
struct CHfsRecordRef {
  uint32_t node;
  int32_t index;
};

// Takes the header record from node 0 (as read, `size` bytes) and checks it: node size a power of two from 512
// to 32,768, a node count that fits the tree's file (`fileBytes`), a root inside the tree, a depth of at most
// 16. 1, or 0.
int HfsBTreeOpen(CHfsBTree* tree, const uint8_t* node0, size_t size, uint64_t fileBytes);
// The node, read and validated on first use; null when it cannot be read or fails validation.
CHfsBTreeNode* HfsBTreeGetNode(CHfsBTree* tree, uint32_t number);
// Finds the leaf record with the key, or the last one before it: 1 exact, 0 not exact (*ref is the nearest
// smaller record, index -1 when the key sorts before the whole leaf), -1 when the tree is damaged or empty.
int HfsBTreeFind(CHfsBTree* tree, std::span<const uint8_t> key, CHfsRecordRef* ref);
// Moves to the next leaf record: 1, 0 at the end of the tree, -1 when the chain of leaves is damaged. `steps`
// counts the leaf nodes entered and bounds the walk by the tree's node count.
int HfsBTreeNext(CHfsBTree* tree, CHfsRecordRef* ref, uint32_t* steps);
// The key (length field included) and the data of a record of a node: 1, or 0 when they do not fit.
int HfsBTreeRecord(const CHfsBTree* tree, const CHfsBTreeNode* node, int index, std::span<const uint8_t>* key,
                   std::span<const uint8_t>* data);
// The same for a leaf position.
int HfsBTreeRecordAt(CHfsBTree* tree, const CHfsRecordRef& ref, std::span<const uint8_t>* key,
                     std::span<const uint8_t>* data);

// ---- The catalog walk both Mac file systems share ----

// A folder of the tree whose catalog children are still to be read.
struct CMacPendingFolder {
  CTreeFolder* folder;
  uint32_t id;
  uint32_t valence;
};

struct CMacCatalogWalk {
  CImageDocument* document;
  std::vector<CMacPendingFolder> pending;
  std::unordered_set<uint32_t> walked;  // folder ids met, so that a loop is listed once and not walked
};

// A new file or folder entry with its name, size and time (in the directory-record copy listings read); null when
// out of memory.
CTreeEntry* MacNewEntry(const std::wstring& name, bool folder, int64_t size, int64_t when);
// Lists subfolder `id` of `parent`: its entry joins `made`, and the folder is queued unless it was met before or
// lies too deep. 1 queued, 0 listed only (the tree is damaged there), -1 out of memory.
int MacAddSubfolder(CMacCatalogWalk* walk, const CMacPendingFolder& parent, const std::wstring& name, uint32_t id,
                    uint32_t valence, int64_t when, std::vector<CTreeEntry*>* made);
// Reads the tree from the root folder (catalog id `rootId` with `rootValence` children) without recursion:
// loadFolder reads one folder's children, queueing subfolders through MacAddSubfolder, and returns false when the
// folder's records are damaged; the document's tree is then marked damaged.
void MacWalkCatalog(CImageDocument* document, uint32_t rootId, uint32_t rootValence,
                    const std::function<bool(CMacCatalogWalk*, const CMacPendingFolder&)>& loadFolder);
