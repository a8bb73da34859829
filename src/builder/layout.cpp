#include "builder/layout.h"

#include <algorithm>
#include <cstring>

#include "builder/add_local.h"
#include "builder/build_state.h"
#include "builder/eltorito_writer.h"
#include "builder/iso_writer.h"
#include "builder/optimize.h"
#include "builder/rockridge.h"
#include "builder/session_block.h"
#include "builder/udf_writer.h"
#include "image/document.h"
#include "runtime/error.h"
#include "tree/eltorito.h"
#include "tree/tree.h"
#include "tree/volume.h"

namespace {

bool Stopped() { return AbortCodeGet() != kAbortNone; }

// Zero sectors from the write position up to `lba`.
int PadTo(CImageDocument* document, int64_t lba, CProgressCallbacks* progress) {
  const int64_t count = lba - IsoBuildState(document)->writePosition;
  return count > 0 ? IsoWriteZeroSectors(document, count, progress) : 0;
}

}  // namespace

void IsoSetSessionStart(CImageDocument* document) {
  // Only a session appended to a disc starts further in, at the disc's next writable address; images start at 0.
  if (document)
    document->buildSessionStart =
        document->multisession && document->discAppendStart > 0 ? document->discAppendStart : 0;
}

void IsoResetWritePosition(CImageDocument* document) {
  IsoBuildState(document)->writePosition = IsoBuildState(document)->sessionStart;
}

int IsoPrepareTree(CImageDocument* document, CProgressCallbacks* progress) {
  if (!document || !document->rootFolder) return 0;
  CIsoBuildState* state = IsoBuildState(document);
  *state = CIsoBuildState{};
  if (document->noIso9660 && !document->udf) {
    LastErrorSetText(L"The image would hold neither an ISO 9660 nor a UDF file system.");
    ErrorReport(nullptr);
    AbortCodeSet(kAbortSaveFailed);
    return 0;
  }
  // Folders nested deeper than ISO 9660 allows get their ISO 9660 records in the Rock Ridge relocation folder.
  if (document->rockRidge && !document->noIso9660 && RockRidgeRelocateDeepFolders(document) != 0) return 0;
  if (TreePrepareAddedFiles(document, document->rootFolder, progress) != 0) return 0;
  if ((document->jolietLevel != 0 || document->udf != 0) &&
      JolietSizeDirectories(document, document->rootFolder) != 0)
    return 0;
  return Stopped() ? 0 : 1;
}

int IsoLayoutImage(CImageDocument* document, CProgressCallbacks* progress, int64_t sessionStart) {
  CIsoBuildState* state = IsoBuildState(document);
  const int64_t start = sessionStart < 0 ? document->buildSessionStart : sessionStart;
  state->sessionStart = start;
  const bool iso = document->noIso9660 == 0;
  const bool joliet = iso && document->jolietLevel != 0;

  if (OptimizeBegin(document, progress) != 0 || Stopped()) return 1;
  IsoAssignDirectoryExtents(document, document->rootFolder, 1);
  if (joliet) JolietAssignDirectoryExtents(document, document->rootFolder, 1);
  IsoAssignFileExtents(document, document->rootFolder, 1, progress);
  if (Stopped() || FileOrderBuild(document) < 0) return 1;

  state->nextFreeLba = start + 16;
  if (iso) {
    state->nextFreeLba += 1;               // primary descriptor
    if (document->bootInfo) state->nextFreeLba += 1;  // El Torito boot record
    if (joliet) state->nextFreeLba += 1;   // Joliet descriptor
    state->nextFreeLba += 1;               // terminator
    if (!document->udf) state->nextFreeLba += 1;  // marker
  }
  if (document->udf) {
    UdfReserveVrs(document);
    if (iso) state->nextFreeLba += 1;  // marker, after the recognition sequence
    UdfReserveUpTo32(document);
    UdfReserveMainVds(document);
    UdfReserveReserveVds(document);
    UdfReserveLvid(document);
    UdfReserveUpTo256(document);
    UdfReservePartitionStart(document);
    // Without ISO 9660 the session block precedes the UDF directories, past the head the burn job rewrites.
    if (!iso && document->multisession) {
      state->nextFreeLba = std::max<int64_t>(state->nextFreeLba, start + kSessionHeadSectors);
      if (SessionPrepareBlock(document) != 0) return 1;
    }
    if (UdfSizeFileIdentifiers(document) != 0) return 1;
    UdfCountFileEntries(document);
  }
  state->headLength = state->nextFreeLba - start;
  // A further session keeps its first 320 sectors to the descriptors: the burn job copies them over the disc's.
  if (document->multisession && iso)
    state->nextFreeLba = std::max<int64_t>(state->nextFreeLba, start + kSessionHeadSectors);
  if (iso) {
    IsoReservePathTables(document);
    if (joliet) JolietReservePathTables(document);
    // The session block lies directly before the first directory, the root, where the opener looks for it.
    if (SessionPrepareBlock(document) != 0) return 1;
    IsoAssignDirectoryExtents(document, document->rootFolder, 0);
    if (joliet) JolietAssignDirectoryExtents(document, document->rootFolder, 0);
    if (document->bootInfo) BootCatalogLayout(document);
  }
  // The Rock Ridge ER sector and continuation areas follow the directories (and the boot catalog).
  if (iso && document->rockRidge && !Stopped()) RockRidgePlaceErSector(document, state->nextFreeLba);
  if (!Stopped()) FileOrderAssignExtents(document, progress);
  if (!Stopped()) IsoAssignFileExtents(document, document->rootFolder, 0, progress);
  OptimizeEnd(document, progress);
  if (document->udf && !Stopped()) UdfReserveClosingAnchor(document);
  return 1;
}

int IsoWriteImage(CImageDocument* document, CProgressCallbacks* progress) {
  CIsoBuildState* state = IsoBuildState(document);
  const bool iso = document->noIso9660 == 0;
  const bool joliet = iso && document->jolietLevel != 0;
  IsoResetWritePosition(document);
  ErrorStateClear();
  if (IsoWriteZeroSectors(document, 16, progress) != 0) return -1;

  CIsoDescriptorLayout& layout = IsoDescriptorLayout(document);
  layout.nextFreeLba = state->nextFreeLba;
  IsoBuildPrimaryDescriptor(document, document->primaryDescriptor, 0);
  if (iso) {
    if (IsoWritePrimaryDescriptor(document, progress) != 0) return -1;
    if (document->bootInfo && BootRecordWrite(document, progress) != 0) return -1;
    if (joliet && JolietWriteDescriptor(document, progress) != 0) return -1;
    if (IsoWriteTerminator(document, progress) != 0) return -1;
    if (!document->udf && IsoWriteMarkerSector(document, progress) != 0) return -1;
  }
  if (document->udf) {
    if (UdfWriteVrs(document, progress) != 0) return -1;
    if (iso && IsoWriteMarkerSector(document, progress) != 0) return -1;
    if (UdfPadTo32(document, progress) != 0 || UdfWriteVds(document, progress) != 0 ||
        UdfWriteVds(document, progress) != 0 || UdfWriteLvid(document, progress) != 0 ||
        UdfPadTo256(document, progress) != 0 || UdfWriteAvdp(document, progress) != 0 ||
        UdfWriteFsd(document, progress) != 0)
      return -1;
    if (!iso && document->multisession &&
        (PadTo(document, state->sessionStart + kSessionHeadSectors, progress) != 0 ||
         SessionWriteBlock(document, progress) != 0))
      return -1;
    if (UdfWriteDirectories(document, progress) != 0 || UdfWriteFileEntries(document, progress) != 0) return -1;
  }
  if (iso && document->multisession && PadTo(document, state->sessionStart + kSessionHeadSectors, progress) != 0)
    return -1;
  if (iso) {
    if (IsoWritePathTables(document, progress) != 0) return -1;
    if (joliet && JolietWritePathTables(document, progress) != 0) return -1;
    if (SessionWriteBlock(document, progress) != 0) return -1;
    if (IsoWriteDirectoryTree(document, document->rootFolder, progress) != 0) return -1;
    if (joliet && JolietWriteDirectoryTree(document, document->rootFolder, progress) != 0) return -1;
    if (document->bootInfo &&
        (BootCatalogWrite(document, progress) != 0 || BootImagesWrite(document, progress) != 0))
      return -1;
  }
  if (iso && document->rockRidge && RockRidgeWriteErSector(document, progress) != 0) return -1;
  if (FileOrderWriteFiles(document, document->rootFolder, progress) != 0) return -1;
  if (IsoWriteAllFileData(document, document->rootFolder, progress) != 0) return -1;
  if (document->udf && UdfWriteAvdp(document, progress) != 0) return -1;
  if (state->writePosition != state->nextFreeLba) {
    // Something was laid out but not written (or the other way round): the image would be wrong.
    LastErrorSetText(L"The image layout and the data written disagree.");
    AbortCodeSet(kAbortSaveFailed);
    return -1;
  }
  return Stopped() ? -1 : 0;
}
