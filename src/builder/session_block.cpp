#include "builder/session_block.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "builder/build_state.h"
#include "builder/iso_writer.h"
#include "burner/jobs.h"
#include "burner/media.h"
#include "burner/mmc.h"
#include "filesystems/udf.h"
#include "image/document.h"
#include "image/format_row.h"
#include "image/sectors.h"
#include "image/tracktable.h"
#include "qvf/deflate.h"
#include "qvf/inflate.h"
#include "runtime/byte_reader.h"
#include "runtime/crc.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "runtime/memory.h"
#include "runtime/ui.h"

namespace {

constexpr int64_t kSector = 2048;

void Store32(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
  p[2] = static_cast<uint8_t>(value >> 16);
  p[3] = static_cast<uint8_t>(value >> 24);
}

void RefreshCrc(std::vector<uint8_t>* block) {
  Store32(block->data() + 4, Crc32Compute(block->data() + 8, block->size() - 8));
}

void OutOfMemory() {
  MessageShow(L"Out of memory. Program abort.");
  AbortCodeSet(kAbortNoMemory);
}

// A block is sound in its place when its header lies inside the session it describes and the rest of the block
// lies before the header within the same session.
bool FitsItsSession(const CSessionBlockInfo& info, int64_t headerLba, int64_t blockSectors) {
  const int64_t first = headerLba - blockSectors + 1;
  const int64_t end = int64_t{info.start} + info.length;
  // Tracks count sectors in 32 bits: a session that ends past that is no session of a disc.
  return info.length > 0 && info.start <= first && headerLba < end && end <= INT32_MAX;
}

std::wstring AtSector(const wchar_t* what, int64_t lba) {
  return std::wstring(what) + L" (sector " + std::to_wstring(lba) + L")";
}

}  // namespace

int64_t SessionBlockSectors(size_t bytes) { return static_cast<int64_t>((bytes + kSector - 1) / kSector); }

std::vector<uint8_t> SessionBlockEncode(const CSessionBlockInfo& info) {
  if (info.packed.size() > kSessionMaxPackedBytes) return {};
  const size_t size = kSessionBlockHeaderBytes + info.packed.size();
  std::vector<uint8_t> block(size, 0);
  uint8_t* p = block.data();
  Store32(p + 0, kSessionBlockMagic);
  Store32(p + 8, static_cast<uint32_t>(size));
  Store32(p + 16, info.sessionIndex);
  Store32(p + 20, info.start);
  Store32(p + 24, info.length);
  Store32(p + 28, info.leaveOpen);
  Store32(p + 32, info.previousHeader);
  Store32(p + 40, info.packedSectors);
  Store32(p + 44, static_cast<uint32_t>(info.packed.size()));
  if (!info.packed.empty()) std::memcpy(p + kSessionBlockHeaderBytes, info.packed.data(), info.packed.size());
  RefreshCrc(&block);
  return block;
}

void SessionBlockFinish(std::vector<uint8_t>* block, uint32_t length, uint32_t leaveOpen) {
  if (!block || block->size() < kSessionBlockHeaderBytes) return;
  Store32(block->data() + 24, length);
  Store32(block->data() + 28, leaveOpen);
  RefreshCrc(block);
}

std::vector<uint8_t> SessionBlockToSectors(const std::vector<uint8_t>& block) {
  const int64_t sectors = SessionBlockSectors(block.size());
  std::vector<uint8_t> out(static_cast<size_t>(sectors * kSector), 0);
  if (sectors == 0) return out;
  // Bytes from 2048 on fill the sectors before the header sector, in order; the header sector comes last.
  if (block.size() > kSector) std::memcpy(out.data(), block.data() + kSector, block.size() - kSector);
  std::memcpy(out.data() + (sectors - 1) * kSector, block.data(), std::min<size_t>(block.size(), kSector));
  return out;
}

int SessionReadBlockAt(SessionSectorReader read, void* context, int64_t headerLba, CSessionBlockInfo* info,
                       std::wstring* damage) {
  *info = CSessionBlockInfo{};
  std::vector<uint8_t> header(kSector);
  if (headerLba < 0 || read(context, headerLba, header.data(), 1) != 1) return 0;
  ByteReader r(header.data(), header.size());
  if (r.U32LE() != kSessionBlockMagic) return 0;
  const uint32_t crc = r.U32LE();
  const uint32_t size = r.U32LE();
  if (size < kSessionBlockHeaderBytes || size - kSessionBlockHeaderBytes > kSessionMaxPackedBytes) {
    *damage = AtSector(L"a session block has an impossible size", headerLba);
    return -1;
  }
  const int64_t sectors = SessionBlockSectors(size);
  if (headerLba < sectors - 1) {
    *damage = AtSector(L"a session block reaches before the start of the disc", headerLba);
    return -1;
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(sectors * kSector));
  std::memcpy(bytes.data(), header.data(), kSector);
  if (sectors > 1 && read(context, headerLba - sectors + 1, bytes.data() + kSector, sectors - 1) != sectors - 1) {
    *damage = AtSector(L"a session block cannot be read whole", headerLba);
    return -1;
  }
  if (Crc32Compute(bytes.data() + 8, size - 8) != crc) {
    *damage = AtSector(L"a session block fails its checksum", headerLba);
    return -1;
  }
  ByteReader words(bytes.data(), size);
  words.Skip(16);
  info->sessionIndex = words.U32LE();
  info->start = words.U32LE();
  info->length = words.U32LE();
  info->leaveOpen = words.U32LE();
  info->previousHeader = words.U32LE();
  words.Skip(4);
  info->packedSectors = words.U32LE();
  const uint32_t packedLength = words.U32LE();
  if (!words.ok() || packedLength != size - kSessionBlockHeaderBytes ||
      (info->packedSectors != 0 && info->packedSectors != kSessionHeadSectors)) {
    *damage = AtSector(L"a session block describes its packed copy wrongly", headerLba);
    return -1;
  }
  info->packed.assign(bytes.data() + kSessionBlockHeaderBytes, bytes.data() + size);
  return 1;
}

int SessionUnpackHead(const CSessionBlockInfo& info, std::vector<uint8_t>* head) {
  head->clear();
  if (info.packedSectors != kSessionHeadSectors || info.packed.size() < 4) return 0;
  // The declared total decides the allocation: anything but the 320 sectors is refused before it is made.
  if (LoadU32LE(info.packed.data()) != kSessionHeadBytes) return 0;
  uint8_t* out = nullptr;
  if (InflateChunkedAlloc(info.packed.data(), info.packed.size(), &out, nullptr) != 0) return 0;
  head->assign(out, out + kSessionHeadBytes);
  MemFree(out);
  return 1;
}

int64_t SessionFindIsoRoot(SessionSectorReader read, void* context, int64_t sessionStart) {
  uint8_t sector[kSector];
  if (sessionStart < 0 || read(context, sessionStart + 16, sector, 1) != 1) return -1;
  if (sector[0] != 1 || std::memcmp(sector + 1, "CD001", 5) != 0) return -1;
  // The root directory record sits at byte 156; its extent's little-endian LBA at byte 158.
  return LoadU32LE(sector + 158);
}

int SessionReadChain(SessionSectorReader read, void* context, CSessionChain* chain) {
  return SessionReadChainFrom(read, context, SessionFindIsoRoot(read, context, 0), chain);
}

int SessionReadChainFrom(SessionSectorReader read, void* context, int64_t root, CSessionChain* chain) {
  *chain = CSessionChain{};
  // A root at sector 0 has no sector before it to hold a block.
  if (root <= 0) return 0;
  int64_t header = root - 1;
  CSessionBlockInfo info;
  std::wstring damage;
  if (SessionReadBlockAt(read, context, header, &info, &damage) <= 0) {
    chain->damage = damage;
    return 0;
  }
  if (info.sessionIndex > kSessionMaxIndex) {
    chain->damage = AtSector(L"a session block counts more sessions than a disc holds", header);
    return 0;
  }
  if (!FitsItsSession(info, header, SessionBlockSectors(info.packed.size() + kSessionBlockHeaderBytes))) {
    chain->damage = AtSector(L"a session block lies outside its session", header);
    return 0;
  }
  chain->sessionCount = static_cast<int32_t>(info.sessionIndex) + 1;
  chain->newestHeaderLba = header;
  std::vector<CSessionExtent> found;
  // Each step reads a block below the previous session's start and one session index lower, so the walk ends
  // after at most 100 blocks whatever the links say.
  for (;;) {
    const int64_t blockSectors = SessionBlockSectors(info.packed.size() + kSessionBlockHeaderBytes);
    if (!FitsItsSession(info, header, blockSectors)) {
      chain->damage = AtSector(L"a session block lies outside its session", header);
      break;
    }
    if (!found.empty() && int64_t{info.start} + info.length > found.back().start) {
      chain->damage = AtSector(L"a session block overlaps the session after it", header);
      break;
    }
    if (info.packedSectors == kSessionHeadSectors && info.sessionIndex == 1) {
      if (!SessionUnpackHead(info, &chain->firstHead)) {
        chain->damage = AtSector(L"the packed copy of the first sectors is damaged", header);
        break;
      }
    }
    found.push_back({info.start, info.length, static_cast<int32_t>(info.sessionIndex)});
    if (info.previousHeader == 0) {
      // The session written before the first block starts at sector 0 and ends where the block's session starts.
      if (info.sessionIndex == 1) {
        found.push_back({0, info.start, 0});
      } else if (info.sessionIndex >= 2) {
        chain->damage = AtSector(L"the chain of session blocks ends before the first session", header);
      }
      break;
    }
    if (info.sessionIndex == 0 || info.previousHeader >= info.start) {
      chain->damage = AtSector(L"a session block links to a later one", header);
      break;
    }
    const uint32_t expected = info.sessionIndex - 1;
    header = info.previousHeader;
    const int got = SessionReadBlockAt(read, context, header, &info, &damage);
    if (got <= 0) {
      chain->damage = got < 0 ? damage : AtSector(L"a session block links to a sector without a block", header);
      break;
    }
    if (info.sessionIndex != expected) {
      chain->damage = AtSector(L"a session block carries the wrong session count", header);
      break;
    }
  }
  std::reverse(found.begin(), found.end());
  chain->sessions = std::move(found);
  return 1;
}

CSessionState* SessionStateOf(CImageDocument* document) {
  if (!document) return nullptr;
  if (!document->sessionBlock) document->sessionBlock = new (std::nothrow) CSessionState();
  return document->sessionBlock;
}

void SessionStateFree(CImageDocument* document) {
  if (!document) return;
  delete document->sessionBlock;
  document->sessionBlock = nullptr;
}

namespace {

struct OpenReader {
  CImageDocument* document;
  int64_t base;  // file offset of sector 0
};

int64_t ReadOpened(void* context, int64_t lba, uint8_t* out, int64_t n) {
  auto* reader = static_cast<OpenReader*>(context);
  CImageDocument* document = reader->document;
  if (lba < 0 || n <= 0) return 0;
  if (document->deviceFlag) {
    const int32_t quiet = document->quiet;
    document->quiet = 1;
    // The opener has not chosen the image's format yet: the drive's own reads, without the format's reader.
    const int64_t got = IsoReadSectors(document, lba, out, n);
    document->quiet = quiet;
    return got;
  }
  if (!document->input) return 0;
  const int64_t got =
      FileReadAtCount(document->input, out, reader->base + lba * kSector, static_cast<size_t>(n * kSector));
  return got < 0 ? 0 : got / kSector;
}

// A layout the chain may stand for: none yet, or a single session of 2048-byte data tracks.
bool TakesChain(const CTrackTable* table) {
  if (!table) return true;
  if (table->sessionCount > 1 || table->nrgLayout) return false;
  for (int32_t i = 0; i < table->trackCount && i < kTrackTableMaxTracks; ++i) {
    const CTrackInfo& track = table->tracks[i];
    if (track.mode == kTrackModeAudio || track.sectorSize != 2048 || track.session != 0) return false;
  }
  return true;
}

}  // namespace

namespace {

int64_t FindDescriptor(CImageDocument* document, int64_t base, int64_t sessionStart) {
  OpenReader reader{document, base};
  const int64_t root = SessionFindIsoRoot(ReadOpened, &reader, sessionStart);
  if (root >= 0 || document->deviceFlag || !document->input) return root;
  // Without ISO 9660 the session is found through its UDF volume: the sector of the root directory's file entry,
  // read with the plain geometry the opener has not chosen yet.
  const int32_t type = document->inputType, sectorSize = document->sectorSize, offset = document->userDataOffset;
  const int64_t header = document->headerSize;
  const int32_t quiet = document->quiet;
  document->inputType = kImageTypeIso;
  document->sectorSize = 2048;
  document->userDataOffset = 0;
  document->headerSize = base;
  document->quiet = 1;
  int64_t sector = -1;
  UdfMount(document, sessionStart, 0);
  if (UdfIsMounted(document))
    sector = UdfBlockToSector(document, document->udfVolume->rootIcbBlock, document->udfVolume->rootIcbPartition, 0);
  UdfFreeVolume(document);
  document->inputType = type;
  document->sectorSize = sectorSize;
  document->userDataOffset = offset;
  document->headerSize = header;
  document->quiet = quiet;
  ErrorStateReset();
  return sector;
}

}  // namespace

int64_t SessionFindDescriptor(CImageDocument* document, int64_t sessionStart) {
  return document ? FindDescriptor(document, 0, sessionStart) : -1;
}

int SessionReadBlock(CImageDocument* document) {
  if (!document || !TakesChain(document->trackTable)) return 0;
  OpenReader reader{document, 0};
  if (const CTrackTable* old = document->trackTable; old && old->trackCount > 0 && old->tracks[0].dataOffset > 0)
    reader.base = old->tracks[0].dataOffset - int64_t{old->tracks[0].start} * kSector;
  CSessionChain chain;
  if (!SessionReadChainFrom(ReadOpened, &reader, FindDescriptor(document, reader.base, 0), &chain)) {
    if (!chain.damage.empty()) UiPrintf(L"Session blocks ignored: %ls.\r\n", chain.damage.c_str());
    return 0;
  }
  if (!chain.damage.empty()) UiPrintf(L"Earlier sessions not shown: %ls.\r\n", chain.damage.c_str());
  CSessionState* state = SessionStateOf(document);
  CTrackTable* table = TrackTableAlloc();
  if (!state || !table) {
    TrackTableFree(table);
    return 0;
  }
  if (const CTrackTable* old = document->trackTable) {
    table->discMode = old->discMode;
    table->discValue = old->discValue;
    table->flags = old->flags;
    table->dataFileName = old->dataFileName;
    table->cueSheetPath = old->cueSheetPath;
    table->fromDrive = old->fromDrive;
    table->discKind = old->discKind;
  }
  // The disc was written in sessions with blocks: a further one may follow.
  table->flags |= kTrackTableFurtherSession;
  table->firstTrackNumber = 1;
  table->sectorSizeMode = 2048;
  table->sessionCount = chain.sessionCount;
  for (const CSessionExtent& session : chain.sessions) {
    if (table->trackCount >= kTrackTableMaxTracks) break;
    CTrackInfo& track = table->tracks[table->trackCount++];
    track.mode = kTrackModeMode1;
    track.start = static_cast<int32_t>(session.start);
    track.length = static_cast<int32_t>(session.length);
    track.sectorSize = 2048;
    track.session = session.index;
    track.dataOffset = reader.base + session.start * kSector;
    track.dataEnd = track.dataOffset + session.length * kSector;
  }
  TrackTableFree(document->trackTable);
  document->trackTable = table;
  state->chainSessions = chain.sessionCount;
  state->newestHeaderLba = chain.newestHeaderLba;
  state->cachedHead = std::move(chain.firstHead);
  if (!chain.sessions.empty()) document->readableLimit = chain.sessions.back().start + chain.sessions.back().length;
  return 1;
}

int SessionBuildBlock(CImageDocument* document) {
  CSessionState* state = SessionStateOf(document);
  if (!state) {
    OutOfMemory();
    return 0;
  }
  const int64_t start = IsoBuildState(document)->sessionStart;
  CSessionBlockInfo info;
  info.sessionIndex = state->chainSessions > 0 ? static_cast<uint32_t>(state->chainSessions) : start > 0 ? 1 : 0;
  info.start = static_cast<uint32_t>(start);
  info.previousHeader = static_cast<uint32_t>(state->newestHeaderLba);
  try {
    if (info.sessionIndex > 0 && state->cachedHead.empty()) {
      std::vector<uint8_t> head(kSessionHeadBytes);
      const int32_t quiet = document->quiet;
      document->quiet = 1;
      const int64_t got = ImageReadSectors(document, 0, head.data(), kSessionHeadSectors);
      document->quiet = quiet;
      if (got != kSessionHeadSectors) {
        MessageShow(L"Error reading data on disc.");
        AbortCodeSet(kAbortReadFailed);
        return 0;
      }
      DeflateStatePtr deflater(DeflateStateAlloc());
      info.packed.resize(static_cast<size_t>(DeflateChunkedBound(kSessionHeadBytes)));
      const int64_t packed =
          deflater ? DeflateCompressChunked(deflater.get(), head.data(), info.packed.data(), kSessionHeadBytes) : -1;
      if (packed < 0) {
        OutOfMemory();
        return 0;
      }
      info.packed.resize(static_cast<size_t>(packed));
      info.packedSectors = kSessionHeadSectors;
    }
    state->block = SessionBlockEncode(info);
  } catch (const std::bad_alloc&) {
    OutOfMemory();
    return 0;
  }
  if (state->block.empty()) {
    OutOfMemory();
    return 0;
  }
  return 1;
}

int SessionPrepareBlock(CImageDocument* document) {
  if (CSessionState* state = document->sessionBlock) {
    state->block.clear();
    state->blockLba = state->blockSectors = 0;
  }
  if (!document->multisession) return 0;
  if (!SessionBuildBlock(document)) return -1;
  CSessionState* state = document->sessionBlock;
  CIsoBuildState* build = IsoBuildState(document);
  state->sessionStart = build->sessionStart;
  state->blockLba = build->nextFreeLba;
  state->blockSectors = SessionBlockSectors(state->block.size());
  build->nextFreeLba += state->blockSectors;
  return 0;
}

int SessionWriteBlock(CImageDocument* document, CProgressCallbacks* progress) {
  CSessionState* state = document->sessionBlock;
  if (!document->multisession || !state || state->block.empty()) return 0;
  if (!IsoAtPlannedPosition(document, state->blockLba)) return -1;
  const CIsoBuildState* build = IsoBuildState(document);
  SessionBlockFinish(&state->block, static_cast<uint32_t>(build->nextFreeLba - build->sessionStart),
                     document->multisessionLeaveOpen ? 1 : 0);
  const std::vector<uint8_t> sectors = SessionBlockToSectors(state->block);
  return IsoWriteSectors(document, sectors.data(), state->blockSectors, progress);
}

void SessionUpdateBlockCopy(CSessionState* state, int64_t lba, const uint8_t* data, int64_t sectors) {
  if (!state || !data || state->headUpdated.size() != static_cast<size_t>(kSessionHeadBytes)) return;
  // Only what lands in the first 320 sectors of the session belongs to the head.
  const int64_t from = std::max<int64_t>(lba, state->sessionStart);
  const int64_t to = std::min<int64_t>(lba + sectors, state->sessionStart + kSessionHeadSectors);
  if (from >= to) return;
  std::memcpy(state->headUpdated.data() + (from - state->sessionStart) * kSector, data + (from - lba) * kSector,
              static_cast<size_t>((to - from) * kSector));
}

void UdfRetagDescriptors(uint8_t* sector, int64_t sessionStart, int64_t written) {
  const uint16_t identifier = LoadU16LE(sector);
  const uint16_t version = LoadU16LE(sector + 2);
  if (!((identifier >= 1 && identifier <= 9) || (identifier >= 256 && identifier <= 266))) return;
  if (version != 2 && version != 3) return;
  auto checksum = [&] {
    uint8_t sum = 0;
    for (int i = 0; i < 16; ++i)
      if (i != 4) sum = static_cast<uint8_t>(sum + sector[i]);
    return sum;
  };
  if (checksum() != sector[4] || LoadU32LE(sector + 12) != static_cast<uint32_t>(sessionStart + written)) return;
  Store32(sector + 12, static_cast<uint32_t>(written));
  sector[4] = checksum();
}

namespace {

// Before the session is written: the disc's first sectors as they are, and the head that will replace them.
int StageMultisession(CBurnJob* job) {
  CBurnRun* run = job->run;
  CSessionState* state = SessionStateOf(run->document);
  if (!state) return 0;
  state->sessionStart = run->appendStart;
  state->validSectors = 0;
  state->headRead.assign(static_cast<size_t>(kSessionHeadBytes), 0);
  for (int32_t lba = 0; lba < kSessionHeadSectors; lba += 16) {
    uint32_t length = 0;
    if (!MmcRead10(&run->scsi, job->device, static_cast<uint32_t>(lba), 16, state->headRead.data() + lba * kSector,
                   &length)) {
      BurnJobPrint(job, kBurnLevelError, L"%ls(%ls%d-%d)", L"Error reading data on disc.", L"sector offset: ", lba,
                   lba + 15);
      return 0;
    }
  }
  state->headUpdated =
      state->cachedHead.size() == static_cast<size_t>(kSessionHeadBytes) ? state->cachedHead : state->headRead;
  state->validSectors = kSessionHeadSectors;
  return 1;
}

int StagePacket(CBurnJob* job, int64_t lba, const uint8_t* data, int32_t sectors) {
  CSessionState* state = job->run->document ? job->run->document->sessionBlock : nullptr;
  if (!state || state->validSectors != kSessionHeadSectors) return 0;
  SessionUpdateBlockCopy(state, lba, data, sectors);
  return 1;
}

// After the session: the first sectors take the newest head, in steps of the write unit, leaving out the steps
// at the end that would not change.
int StageFinish(CBurnJob* job, int32_t packetSectors) {
  CBurnRun* run = job->run;
  CImageDocument* document = run->document;
  CSessionState* state = document ? document->sessionBlock : nullptr;
  if (!state || state->validSectors != kSessionHeadSectors) return 0;
  const int64_t unit = packetSectors > 0 ? std::min<int64_t>(packetSectors, kSessionHeadSectors) : 16;
  const uint8_t* updated = state->headUpdated.data();
  const uint8_t* read = state->headRead.data();
  int64_t end = kSessionHeadSectors;
  while (end > 0) {
    const int64_t from = (end - 1) / unit * unit;
    if (std::memcmp(updated + from * kSector, read + from * kSector, static_cast<size_t>((end - from) * kSector)) != 0)
      break;
    end = from;
  }
  for (int64_t lba = 0; lba < end; lba += unit) {
    const int64_t n = std::min<int64_t>(unit, kSessionHeadSectors - lba);
    uint8_t* piece = state->headUpdated.data() + lba * kSector;
    if (document->udf)
      for (int64_t k = 0; k < n; ++k) UdfRetagDescriptors(piece + k * kSector, state->sessionStart, lba + k);
    if (!MmcWrite10(&run->scsi, job->device, static_cast<uint32_t>(lba), piece, static_cast<uint32_t>(n * kSector),
                    kSector)) {
      BurnJobPrint(job, kBurnLevelError, L"%ls (%d-%08x)", L"Error writing data.", 298, static_cast<uint32_t>(lba));
      return 0;
    }
  }
  // What sectors 0..319 now hold: the steps written (retagged) and, past them, the sectors that were already
  // equal. The run keeps it for the verification, which reads the disc's head back against it; the work area is
  // done with.
  run->rewrittenHead = std::move(state->headUpdated);
  state->headUpdated.clear();
  state->validSectors = 0;
  return 1;
}

}  // namespace

void SessionUseMultisessionStages(CBurnRun* run) {
  run->stages.multisession = StageMultisession;
  run->stages.multisessionPacket = StagePacket;
  run->stages.multisessionFinish = StageFinish;
}
