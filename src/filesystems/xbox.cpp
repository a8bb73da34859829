#include "filesystems/xbox.h"

#include <cstring>
#include <unordered_set>
#include <vector>

#include "image/document.h"
#include "image/sectors.h"
#include "runtime/byte_reader.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "tree/iso_helpers.h"
#include "tree/tree.h"
#include "tree/volume.h"

namespace {

constexpr int64_t kDescriptorSector = 32;
constexpr char kSignature[] = "MICROSOFT*XBOX*MEDIA";
constexpr size_t kSignatureBytes = 20;
constexpr int64_t kSectorBytes = 2048;
// Directories larger than this are damaged.
constexpr uint32_t kMaxDirectoryBytes = 64u << 20;
constexpr uint8_t kAttributeDirectory = 0x10;
constexpr size_t kEntryHeader = 14;

struct CXboxDirectory {
  CTreeEntry* entry;  // its entry in the parent (directories found), or null
  CTreeFolder* folder;
  uint32_t sector;
  uint32_t size;
};

// Reads one directory's entries (in name order) onto `folder`; directories found are added to `below`.
bool ReadDirectoryInto(CImageDocument* document, CTreeFolder* folder, uint32_t sector, uint32_t size,
                       std::vector<CXboxDirectory>* below) {
  if (size == 0) return true;
  if (size > kMaxDirectoryBytes) return false;
  const int64_t sectors = (int64_t{size} + kSectorBytes - 1) / kSectorBytes;
  std::vector<uint8_t> data(static_cast<size_t>(sectors * kSectorBytes));
  if (ImageReadSectors(document, sector, data.data(), sectors) != sectors) return false;
  bool whole = true;
  std::vector<CTreeEntry*> made;
  std::unordered_set<uint32_t> visited;
  // Left, node, right: a stack of offsets whose left subtrees are done or pending.
  std::vector<std::pair<uint32_t, bool>> stack{{0, false}};
  while (!stack.empty()) {
    auto [offset, leftDone] = stack.back();
    stack.pop_back();
    ByteReader r(data.data(), size);
    const uint16_t left = r.U16LEAt(offset);
    const uint16_t right = r.U16LEAt(offset + 2);
    const uint32_t start = r.U32LEAt(offset + 4);
    const uint32_t fileSize = r.U32LEAt(offset + 8);
    const uint8_t attributes = r.U8At(offset + 12);
    const uint8_t nameLength = r.U8At(offset + 13);
    if (!r.ok() || offset + kEntryHeader + nameLength > size) {
      whole = false;
      continue;
    }
    if (left == 0xFFFF) continue;  // padding: no entry here
    if (!leftDone) {
      // Each offset is taken once: a subtree that leads back into its own path ends there.
      if (!visited.insert(offset).second) {
        whole = false;
        continue;
      }
      stack.push_back({offset, true});
      if (left != 0) stack.push_back({uint32_t{left} * 4, false});
      continue;
    }
    if (right != 0) stack.push_back({uint32_t{right} * 4, false});
    if (nameLength == 0) {
      whole = false;
      continue;
    }
    wchar_t name[256];
    VolumeDecodeDiscText(data.data() + offset + kEntryHeader, nameLength, name, 256);
    if (!name[0] || std::wcschr(name, L'/')) {
      whole = false;
      continue;
    }
    CTreeEntry* entry = TreeNewEntry();
    const size_t chars = std::wcslen(name) + 1;
    if (entry) entry->name = static_cast<wchar_t*>(MemAlloc(chars * sizeof(wchar_t)));
    if (!entry || !entry->name) {
      TreeFreeEntry(document, entry);
      return false;
    }
    std::wmemcpy(entry->name, name, chars);
    const bool directory = attributes & kAttributeDirectory;
    entry->size = directory ? 0 : fileSize;
    entry->sourceLba = start;
    uint8_t* record = entry->directoryRecord;
    record[kDirRecordLength] = kDirRecordCopySize;
    PutBothEndian32(record + kDirRecordExtent, start);
    PutBothEndian32(record + kDirRecordDataLength, static_cast<uint32_t>(entry->size));
    PutBothEndian16(record + kDirRecordVolumeSequence, 1);
    record[kDirRecordFlags] = directory ? kDirFlagDirectory : 0;
    made.push_back(entry);
    if (directory) below->push_back({entry, nullptr, start, fileSize});
  }
  // Prepending in reverse keeps the name order; folders get their nodes in that order.
  for (auto it = made.rbegin(); it != made.rend(); ++it) TreeFolderPrependEntry(folder, *it);
  return whole;
}

}  // namespace

int ImageProbeXboxDisc(CImageDocument* document) {
  if (!document) return 0;
  uint8_t sector[kSectorBytes];
  const int32_t savedQuiet = document->quiet;
  document->quiet = 1;
  const bool read = ImageReadSectors(document, kDescriptorSector, sector, 1) == 1;
  document->quiet = savedQuiet;
  ErrorStateReset();
  if (!read) return 0;
  if (std::memcmp(sector, kSignature, kSignatureBytes) != 0 ||
      std::memcmp(sector + 2028, kSignature, kSignatureBytes) != 0)
    return 0;
  const uint32_t root = LoadU32LE(sector + 20);
  const uint32_t size = LoadU32LE(sector + 24);
  if (root == 0 || size == 0) return 0;
  document->xboxRootSector = root;
  document->xboxRootSize = size;
  return 1;
}

int XdvdfsReadDirectory(CImageDocument* document, CTreeFolder* folder, uint32_t sector, uint32_t size) {
  std::vector<CXboxDirectory> below;
  return ReadDirectoryInto(document, folder, sector, size, &below) ? 0 : -1;
}

int XdvdfsReadTree(CImageDocument* document, CTreeFolder* folder, uint32_t sector, uint32_t size) {
  if (!document || !folder) return -1;
  bool whole = true;
  std::unordered_set<uint32_t> read{sector};
  std::vector<CXboxDirectory> work{{nullptr, folder, sector, size}};
  while (!work.empty()) {
    CXboxDirectory item = work.back();
    work.pop_back();
    std::vector<CXboxDirectory> below;
    if (!ReadDirectoryInto(document, item.folder, item.sector, item.size, &below)) whole = false;
    std::vector<CXboxDirectory> next;
    for (CXboxDirectory& directory : below) {
      CTreeFolder* node = TreeInsertFolderNode(document, item.folder, directory.entry->name, directory.entry, 0);
      if (!node) {
        whole = false;
        continue;
      }
      if (directory.size == 0) continue;
      // A directory whose sectors were read already (a loop) or that lies too deep stays empty.
      if (node->depth > kTreePathMaxDepth || !read.insert(directory.sector).second) {
        whole = false;
        continue;
      }
      next.push_back({nullptr, node, directory.sector, directory.size});
    }
    for (auto it = next.rbegin(); it != next.rend(); ++it) work.push_back(*it);
  }
  return whole ? 0 : -1;
}
