#include "tree/wii.h"

#include <cstring>
#include <cwchar>

#include "image/document.h"
#include "image/sectors.h"
#include "runtime/error.h"
#include "tree/volume.h"

namespace {

constexpr uint8_t kWiiMagic[4] = {0x5D, 0x1C, 0x9E, 0xA3};
constexpr int kMagicOffset = 24;
constexpr int kRegionOffset = 3;  // the fourth character of the game code
constexpr int kTitleOffset = 32;
constexpr int kTitleBytes = 64;  // bytes 32 to 95

}  // namespace

int ImageProbeWiiDisc(CImageDocument* document) {
  if (!document) return 0;
  uint8_t sector[2048];
  const int32_t savedQuiet = document->quiet;
  document->quiet = 1;
  const bool read = ImageReadSectors(document, 0, sector, 1) == 1;
  document->quiet = savedQuiet;
  ErrorStateClear();
  if (!read || std::memcmp(sector + kMagicOffset, kWiiMagic, sizeof kWiiMagic) != 0) return 0;
  std::memset(document->primaryDescriptor, 0, sizeof document->primaryDescriptor);
  const uint8_t region = sector[kRegionOffset];
  document->regionText = region == 'E' || region == 'J' ? L"NTSC" : region == 'P' ? L"PAL" : L"";
  // The title is text of the disc's own making: bytes the locale cannot read keep their value rather than
  // emptying the label.
  VolumeDecodeDiscText(sector + kTitleOffset, kTitleBytes, document->identifiers[kVolumeLabel],
                       kVolumeIdentifierChars);
  return 1;
}
