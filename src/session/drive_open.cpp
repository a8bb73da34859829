#include "session/drive_open.h"

#include <algorithm>
#include <new>

#include "burner/disc_read.h"
#include "burner/media.h"
#include "burner/mmc.h"
#include "filesystems/udf.h"
#include "image/document.h"
#include "image/tracktable.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "session/document.h"

namespace {

// What a document opened on a drive keeps: the descriptor, the command results and the read-error state.
struct CDriveState {
  CScsiContext scsi;
  CDiscReadState read;
  int device = 0;
};

void DriveStateFree(void* state) {
  auto* drive = static_cast<CDriveState*>(state);
  if (drive->device > 0) RawFileClose(drive->device);
  delete drive;
}

int64_t DriveRead(CImageDocument* document, int64_t sector, void* buffer, int64_t n, int raw) {
  auto* drive = static_cast<CDriveState*>(document->driveState);
  if (!drive || !buffer || n <= 0 || sector < 0) return 0;
  // Reads while probing give up quietly; the user is asked only about the files being read.
  const int mayAsk = document->quiet ? 0 : 1;
  return DiscReadSectorsWithRetry(&drive->scsi, drive->device, &drive->read, static_cast<uint8_t*>(buffer), sector, n,
                                  raw, mayAsk, 0, document->path.c_str(), nullptr)
             ? n
             : 0;
}

int64_t DriveReadSectors(CImageDocument* document, int64_t sector, void* buffer, int64_t n) {
  return DriveRead(document, sector, buffer, n, 0);
}

int64_t DriveReadRawSectors(CImageDocument* document, int64_t sector, void* buffer, int64_t n) {
  return DriveRead(document, sector, buffer, n, 1);
}

// The drive a UDF probe reads through, borrowed from the caller for the probe's length.
struct CProbeDrive {
  CScsiContext* scsi;
  int device;
  CDiscReadState read;
};

int64_t ProbeReadSectors(CImageDocument* document, int64_t sector, void* buffer, int64_t n) {
  auto* probe = static_cast<CProbeDrive*>(document->driveState);
  if (!probe || !buffer || n <= 0 || sector < 0) return 0;
  return DiscReadSectorsWithRetry(probe->scsi, probe->device, &probe->read, static_cast<uint8_t*>(buffer), sector, n, 0,
                                  0, 0, nullptr, nullptr)
             ? n
             : 0;
}

}  // namespace

int64_t DriveUdfVolumeEnd(CScsiContext* scsi, int device, int64_t discSectors) {
  if (!scsi || device <= 0 || discSectors <= 0) return -1;
  CProbeDrive probe{scsi, device, {}};
  CImageDocument* view = ImageAlloc();
  if (!view) return -1;
  view->deviceFlag = 1;
  view->inputType = kImageTypeIso;
  view->sectorSize = 2048;
  view->readableLimit = discSectors;
  view->quiet = 1;
  view->driveState = &probe;
  view->driveReader = ProbeReadSectors;
  // A probe leaves the outcome of the operation that asked for it as it was.
  const int32_t abortCode = AbortCodeGet();
  UdfMount(view, 0, 0);
  int64_t end = -1;
  if (UdfIsMounted(view)) {
    const CUdfVolume* volume = view->udfVolume;
    for (int32_t i = 0; i < volume->mapCount && i < kUdfMaxPartitionMaps; ++i) {
      const CUdfPartitionMap& map = volume->maps[i];
      if (map.bound) end = std::max<int64_t>(end, int64_t{map.start} + map.length);
    }
  }
  view->driveState = nullptr;
  view->driveReader = nullptr;
  ImageClose(view);
  ErrorStateClear();
  AbortCodeSet(abortCode);
  return end;
}

void DriveUseFileSystemProbes(CScsiContext* scsi) {
  if (scsi) scsi->udfVolumeEnd = DriveUdfVolumeEnd;
}

int ImageLoadOpticalDisc(CImageDocument* document) {
  if (!document) return 0;
  document->emptyDisc = 0;
  auto* drive = new (std::nothrow) CDriveState;
  CTrackTable* table = TrackTableAlloc();
  if (!drive || !table) {
    delete drive;
    TrackTableFree(table);
    return 0;
  }
  drive->device = RawFileOpen(document->path.c_str());
  if (drive->device <= 0) {
    drive->device = 0;
    DriveStateFree(drive);
    TrackTableFree(table);
    return 0;
  }
  auto fail = [&] {
    DriveStateFree(drive);
    TrackTableFree(table);
    return 0;
  };
  if (MediaDetectType(&drive->scsi, drive->device) == kMediaNone) {
    LastErrorSetText(L"There is no disc in the drive.");
    return fail();
  }
  document->sectorSize = 2048;
  DriveUseFileSystemProbes(&drive->scsi);
  uint32_t address = 0;
  if (MmcGetNextWritableAddress(&drive->scsi, drive->device, 255, 0, &address, nullptr))
    document->fileSize = static_cast<int64_t>(address) * 2048;
  if (!DiscReadTrackList(&drive->scsi, drive->device, table, document->path.c_str(), 0)) {
    const wchar_t* text = LastErrorGetText();
    if (LastErrorGetCode() == 0 && (!text || !*text)) LastErrorSetText(L"Error reading media information.");
    return fail();
  }
  if (table->trackCount < 1) {
    if (document->openFlags & kOpenSessionAppend) document->emptyDisc = 1;
    return fail();
  }
  TrackTableFree(document->trackTable);
  document->trackTable = table;
  document->readableLimit = TrackTableGetEndSector(table);
  document->driveState = drive;
  document->driveStateFree = DriveStateFree;
  document->driveReader = DriveReadSectors;
  document->driveRawReader = DriveReadRawSectors;
  return 1;
}
