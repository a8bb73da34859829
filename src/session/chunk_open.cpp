#include "session/chunk_open.h"

#include <cerrno>
#include <string>

#include "formats/chunkmap.h"
#include "formats/dmg.h"
#include "formats/isz.h"
#include "formats/uif.h"
#include "image/document.h"
#include "qvf/cipher.h"
#include "runtime/error.h"
#include "runtime/ui.h"
#include "session/open.h"

namespace {

void DropMap(CImageDocument* document) {
  ChunkMapFree(document->chunkMap);
  document->chunkMap = nullptr;
}

int64_t SectorsOf(const CChunkMap* map, uint64_t size) {
  return static_cast<int64_t>(map->uncompressedTotal / size + (map->uncompressedTotal % size ? 1 : 0));
}

// Mounts the file system of a document whose chunk map is loaded; the map goes when nothing mounts.
int Mount(CImageDocument* document, int32_t type, int64_t limit) {
  document->sectorSize = 2048;
  document->userDataOffset = 0;
  document->headerSize = 0;
  document->readableLimit = limit;
  if (ImageMountFileSystem(document, type) == 0) return 0;
  DropMap(document);
  document->readableLimit = 0;
  return -1;
}

int OpenDmg(CImageDocument* document) {
  // A file without a trailer is searched for its property list only when its name says DMG.
  CDmgTrailer trailer;
  if (!DmgReadTrailer(&trailer, document->input) && !DmgIsFileName(document)) return -1;
  if (DmgLoadChunkMap(document) != 0) return -1;
  return Mount(document, kImageTypeDmg, SectorsOf(document->chunkMap, 2048));
}

int OpenUif(CImageDocument* document) {
  static constexpr int32_t kForms[3][2] = {{2048, 0}, {2352, 16}, {2352, 24}};
  for (const auto& form : kForms) {
    if (UifParseImage(document, form[0], form[1]) != 0) return -1;
    if (Mount(document, kImageTypeUif, static_cast<int64_t>(document->chunkMap->totalSectors)) == 0) return 0;
  }
  return -1;
}

int OpenIsz(CImageDocument* document) {
  int32_t keyLength = 0;
  std::wstring failed;
  if (IszParseHeader(document, &keyLength, &failed) != 0) {
    if (!failed.empty()) {
      // A segment of the set is missing or does not match its table: the user is told which.
      if (errno == 0) errno = ENOENT;
      ErrorReport(failed.c_str());
    }
    return -1;
  }
  CChunkMap* map = document->chunkMap;
  const int64_t limit = static_cast<int64_t>(map->totalSectors);
  if (keyLength == 0) return Mount(document, kImageTypeIsz, limit);
  // An encrypted image: a password that gives no file system is wrong, and the user may try another.
  for (;;) {
    CImagePassword password{};
    if (!ImageAskPassword(kPasswordForIsz, nullptr, &password) ||
        IszSetPassword(document->chunkMap, password.bytes, keyLength) != 0) {
      document->qvfRefusal = 14;  // the image needs a password the user did not give
      DropMap(document);
      return -1;
    }
    document->sectorSize = 2048;
    document->readableLimit = limit;
    if (ImageMountFileSystem(document, kImageTypeIsz) == 0) {
      document->passwordSet = 1;
      std::snprintf(document->password, sizeof document->password, "%s", password.bytes);
      return 0;
    }
    if (UiAssumeYes() || UiAsk(L"Password wrong! Do you want to try again?", kAskYes | kAskNo) != kAskYes) {
      document->qvfRefusal = 18;  // data error or wrong password
      DropMap(document);
      document->readableLimit = 0;
      return -1;
    }
    if (wchar_t* remembered = UiOpenPassword()) remembered[0] = 0;
  }
}

}  // namespace

int ImageOpenChunkImage(CImageDocument* document, int32_t type) {
  if (!document || !document->input || document->chunkMap) return -1;
  int result = -1;
  if (type == kImageTypeDmg)
    result = OpenDmg(document);
  else if (type == kImageTypeUif)
    result = OpenUif(document);
  else if (type == kImageTypeIsz)
    result = OpenIsz(document);
  if (result != 0) {
    DropMap(document);
    document->inputType = kImageTypeUnknown;
    return -1;
  }
  return 0;
}

int ImageAttachChunkDisk(CImageDocument* document) {
  if (!document || !document->input) return 0;
  CDmgTrailer trailer;
  if (!DmgReadTrailer(&trailer, document->input) && !DmgIsFileName(document)) return 0;
  if (DmgLoadChunkMap(document) != 0) return 0;
  document->diskReader = ChunkMapReadDiskSectors;
  document->diskPrefetch = ChunkMapPrefetchDiskBytes;
  document->sectorSize = 512;
  document->readableLimit = SectorsOf(document->chunkMap, 512);
  return 1;
}

int64_t ImageCopyChunkUserDataToFd(CImageDocument* document, int64_t sector, int64_t bytes, int fd) {
  if (!document || !document->chunkMap || document->diskReader || bytes <= 0 || sector < 0 || fd < 0) return 0;
  if (document->builder && document->readFromBuilder && document->readBuilt) return 0;
  CChunkMap* map = document->chunkMap;
  // DMG sectors are read from the map by byte; UIF and ISZ sectors so only when they are stored as user data.
  const int32_t type = document->inputType;
  if (type != kImageTypeDmg && !((type == kImageTypeUif || type == kImageTypeIsz) && map->sectorSize == 2048)) return 0;
  const int64_t limit = document->savedLimit ? document->savedLimit : document->readableLimit;
  if (limit <= 0 || sector > limit || (bytes + 2047) / 2048 > limit - sector) return 0;
  return ChunkMapCopyToFd(map, static_cast<uint64_t>(sector) * 2048, static_cast<uint64_t>(bytes), fd);
}
