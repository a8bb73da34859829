// CD-TEXT pack blocks and pack files over any bytes. The first byte chooses the table's track count (0-99); the
// rest is both a pack block handed to the decoder as it stands and the content of a pack file loaded by path.
// Whatever decodes is converted and built back into packs, whose subchannel form must come out in whole groups
// of four packs of at most 256.
#include <sys/mman.h>
#include <unistd.h>

#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "formats/cdtext.h"
#include "image/tracktable.h"

namespace {

void CheckBuild(CTrackTable* table) {
  CdTextConvertStrings(table);
  if (!CdTextBuildPacks(table)) return;
  const size_t bytes = table->cdTextSubchannel.size();
  if (bytes % 96 != 0 || bytes > 256 * 4 * 24) std::abort();
  (void)CdTextIsPresent(table);
}

void DecodeInto(int32_t tracks, const uint8_t* block, size_t length) {
  CTrackTable* table = TrackTableAlloc();
  if (!table) return;
  for (int32_t i = 0; i < tracks; ++i) table->tracks[i].mode = kTrackModeAudio;
  table->trackCount = tracks;
  table->firstTrackNumber = 1;
  CdTextDecodePacks(table, block, length);
  for (int32_t i = tracks; i < kTrackTableMaxTracks; ++i) {
    if (table->tracks[i].cdText) std::abort();  // a text for a track the table does not have
  }
  CheckBuild(table);
  TrackTableFree(table);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int32_t tracks = data[0] % 100;
  const uint8_t* block = data + 1;
  const size_t length = size - 1;

  DecodeInto(tracks, block, length);
  (void)CdTextBlockLooksValid(block, length);
  for (size_t at = 0; at + kCdTextPackBytes <= length; at += kCdTextPackBytes) {
    uint8_t pack[kCdTextPackBytes];
    std::memcpy(pack, block + at, sizeof pack);
    if (CdTextRepairPack(pack) && !CdTextPackIsValid(pack)) std::abort();
  }

  const int fd = memfd_create("cdtext", 0);
  if (fd < 0) return 0;
  if (write(fd, block, length) == static_cast<ssize_t>(length)) {
    const std::wstring path = L"/proc/self/fd/" + std::to_wstring(fd);
    std::vector<uint8_t> loaded;
    if (CdTextLoadFile(path.c_str(), &loaded)) {
      for (size_t at = 4; at < loaded.size(); at += kCdTextPackBytes) {
        if (!CdTextPackIsValid(&loaded[at])) std::abort();  // a loaded block holds only valid packs
      }
      DecodeInto(tracks, loaded.data(), loaded.size());
    }
  }
  close(fd);
  return 0;
}
