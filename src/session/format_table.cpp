#include "session/format_table.h"

#include <cwchar>

#include "image/document.h"
#include "formats/nrg.h"
#include "formats/dmg.h"
#include "formats/isz.h"
#include "formats/uif.h"
#include "qvf/reader.h"
#include "qvf/writer.h"

namespace {

constexpr CImageFormatInfo kFormats[kImageFormatCount] = {
    {L"iso", 2048, 0, 0, IsoReadSectors, IsoWriteSectors},
    {L"bin", 2352, 16, 0, RawReadSectors, RawWriteSectors},
    {L"qvf", 0, 0, 0, QvfReadSectors, QvfWriteSectors},
    {L"nrg", 2352, 16, 0, NrgReadSectors, nullptr},
    {L"dmg", 0, 0, 0, DmgReadSectors, nullptr},
    {L"uif", 0, 0, 0, UifReadSectors, nullptr},
    {L"isz", 0, 0, 0, IszReadSectors, nullptr},
    {L"bin", 2352, 24, 0, RawReadSectors, nullptr},
    {L"cdi", 2048, 0, 307200, IsoReadSectors, nullptr},
    {L"mdf", 2448, 16, 0, RawReadSectors, nullptr},
    {L"bwi", 2352, 16, 352800, RawReadSectors, nullptr},
    {L"bwi", 2352, 24, 352800, RawReadSectors, nullptr},
    {L"bwi", 2448, 16, 367200, RawReadSectors, nullptr},
    {L"bwi", 2448, 24, 367200, RawReadSectors, nullptr},
    {L"b5i", 2352, 16, 352800, RawReadSectors, nullptr},
    {L"lcd", 2352, 24, 4096, RawReadSectors, nullptr},
    {L"lcd", 2049, 1, 4096, RawReadSectors, nullptr},
    {L"fcd", 2048, 0, -32256, IsoReadSectors, nullptr},
    {L"cif", 2056, 0, 436, RawReadSectors, nullptr},
    {L"gi", 2048, 0, 152, IsoReadSectors, nullptr},
    {L"gi", 2336, 0, 160, RawReadSectors, nullptr},
};

}  // namespace

const CImageFormatInfo* ImageFormatTable() { return kFormats; }

const CImageFormatInfo* ImageFormatGet(int32_t type) {
  return type >= 0 && type < kImageFormatCount ? &kFormats[type] : nullptr;
}

int32_t ImageFormatFindByExtension(const wchar_t* extension) {
  if (!extension || !*extension) return -1;
  for (int32_t i = 0; i < kImageFormatCount; ++i)
    if (wcscasecmp(kFormats[i].extension, extension) == 0) return i;
  if (wcscasecmp(extension, L"qdi") == 0 || wcscasecmp(extension, L"exe") == 0) return kImageTypeQvf;
  return -1;
}
