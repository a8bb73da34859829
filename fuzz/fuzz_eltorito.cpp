// The El Torito catalog reader over any bytes. The input holds the image from sector 16 on (the system area
// reads as zeros, the last sector is completed with zeros); the descriptor set is scanned and the tree loaded as
// the opener does, so that boot images found through files are reached too. Whatever is read must stay inside
// the source, and the catalog built back from it must be well formed.
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "image/document.h"
#include "session/document.h"
#include "iso_input.h"
#include "image/sectors.h"
#include "builder/eltorito_writer.h"
#include "tree/eltorito.h"
#include "tree/iso9660.h"
#include "tree/iso_helpers.h"

namespace {


void CheckInfo(CImageDocument* document) {
  CBootInfo* info = document->bootInfo;
  if (!info) return;
  if (info->entryCount < 1 || info->entryCount > kBootMaxEntries) std::abort();
  const int64_t limitBytes = document->readableLimit * 2048;
  int64_t total = 0;
  for (int i = 0; i < info->entryCount; ++i) {
    const CBootEntry& entry = info->entries[i];
    if (entry.size < 0 || entry.size > limitBytes) std::abort();
    if (!BootEntryIsImage(&entry)) continue;
    // Every image lies inside the source, and together they are no larger than it.
    if (entry.sourceLba < 0 || entry.sourceLba * 2048 + entry.size > limitBytes) std::abort();
    total += (entry.size + 2047) / 2048 * 2048;
  }
  if (total > limitBytes) std::abort();
  // Lay the images out as a build would and build the catalog back.
  int64_t next = 100;
  info->catalogLba = next++;
  for (int i = 0; i < info->entryCount; ++i) {
    CBootEntry& entry = info->entries[i];
    if (!BootEntryIsImage(&entry) || entry.size <= 0) continue;
    entry.lba = next;
    next += (entry.size + 2047) / 2048;
  }
  BootCatalogBuildValidation(info);
  BootCatalogBuildEntries(info);
  uint16_t sum = 0;
  for (int i = 0; i < 32; i += 2) sum = static_cast<uint16_t>(sum + GetLittleEndian16(info->catalog + i));
  if (sum != 0) std::abort();
  // A refreshed table is valid for the image's new place.
  for (int i = 0; i < info->entryCount; ++i) {
    const CBootEntry& entry = info->entries[i];
    if (!entry.hasInfoTable) continue;
    std::vector<uint8_t> image(static_cast<size_t>((entry.size + 2047) / 2048 * 2048));
    if (ImageReadSectors(document, entry.sourceLba, image.data(), static_cast<int64_t>(image.size() / 2048)) !=
        static_cast<int64_t>(image.size() / 2048))
      std::abort();
    BootImagePatchInfoTable(image.data(), &entry, 16);
    if (!BootInfoTableIsValid(image.data(), entry.size, entry.lba)) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzIsoInput input = FuzzOpenIsoInput(data, size);
  CImageDocument* document = input.document;
  if (!document) return 0;
  if (document->primarySeen || document->highSierra || document->jolietTree) IsoLoadTree(document);
  BootCatalogRead(document);
  CheckInfo(document);
  ImageClose(document);
  return 0;
}
