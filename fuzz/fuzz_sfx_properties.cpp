// Any bytes as the property block of a self-extracting image, and as a whole small file whose last 28 bytes are
// taken for its trailer. A block that parses must build back into a block that parses to the same slots; a
// damaged one must be refused without reading outside the bytes or allocating beyond them.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "qvf/sfx.h"

namespace {

struct TableFree {
  void operator()(CSfxPropertyTable* t) const { QvfFreeSfxProperties(t); }
};
using Table = std::unique_ptr<CSfxPropertyTable, TableFree>;

void CheckRebuild(const CSfxPropertyTable& table, size_t parsedLength) {
  std::vector<uint8_t> block;
  if (!QvfBuildSfxPropertyBlock(&table, &block)) std::abort();
  // A parsed table never needs more room than the bytes it came from.
  if (block.size() > parsedLength) std::abort();
  Table again(QvfNewSfxProperties());
  if (!again) return;
  if (!QvfParseSfxPropertyBlock(again.get(), block.data(), block.size())) std::abort();
  for (int slot = 0; slot < kSfxPropertySlots; ++slot) {
    if (again->slots[slot].used != table.slots[slot].used || again->slots[slot].bytes != table.slots[slot].bytes)
      std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Table table(QvfNewSfxProperties());
  if (!table) return 0;
  if (QvfParseSfxPropertyBlock(table.get(), data, size)) CheckRebuild(*table, size);

  CSfxTrailer trailer{};
  if (size < kSfxTrailerSize || !QvfParseSfxTrailer(data + size - kSfxTrailerSize, kSfxTrailerSize, &trailer))
    return 0;
  const int fd = memfd_create("sfx", 0);
  if (fd < 0) return 0;
  FILE* file = nullptr;
  if (write(fd, data, size) == static_cast<ssize_t>(size)) file = fdopen(fd, "rb");
  if (!file) {
    close(fd);
    return 0;
  }
  Table read(QvfNewSfxProperties());
  if (read && QvfReadSfxProperties(read.get(), file, static_cast<int64_t>(size), trailer)) {
    if (read->propertyOffset + read->propertySize > read->imageOffset) std::abort();
    CheckRebuild(*read, static_cast<size_t>(read->propertySize));
  }
  std::fclose(file);
  return 0;
}
