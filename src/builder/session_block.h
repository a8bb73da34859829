// The session block of a disc written in several sessions. Every session that a burn job appends carries one:
// a small record found just before the session's root directory that names the session, its start and length,
// the header of the previous session's block and, in the second session, a packed copy of the disc's first 320
// sectors as they were before anything was appended. On media whose first sectors can be rewritten, the burn
// job copies the newest session's head over sectors 0..319 so that sector 16 always describes the newest
// session; the packed copy keeps what was there. Opening a disc or an image of one walks the chain of blocks
// back and makes one track per session.
//
// Block layout (little-endian 32-bit words, then the packed data; size = packed length + 48):
//   0 "SESN"  1 CRC-32 of bytes 8..end  2 size  3 0  4 sessions already on the disc (the session's index)
//   5 session start  6 session length  7 leave-open flag  8 header LBA of the previous block (0 none)  9 0
//   10 packed sector count (320 or 0)  11 packed length  12.. the packed copy (chunk-list deflate framing).
// On the medium the block takes ceil(size / 2048) sectors; the header sector (bytes 0..2047) is the last of
// them, the bytes from 2048 on fill the sectors before it in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct CImageDocument;
struct CProgressCallbacks;
struct CBurnRun;
struct CBurnJob;

constexpr uint32_t kSessionBlockMagic = 0x4E534553;  // "SESN"
constexpr int32_t kSessionHeadSectors = 320;
constexpr int64_t kSessionHeadBytes = int64_t{kSessionHeadSectors} * 2048;  // 655,360
constexpr uint32_t kSessionBlockHeaderBytes = 48;
constexpr uint32_t kSessionMaxPackedBytes = 0xFFFCF;
constexpr uint32_t kSessionMaxIndex = 99;

// One block, decoded (or about to be encoded).
struct CSessionBlockInfo {
  uint32_t sessionIndex = 0;
  uint32_t start = 0;
  uint32_t length = 0;
  uint32_t leaveOpen = 0;
  uint32_t previousHeader = 0;
  uint32_t packedSectors = 0;
  std::vector<uint8_t> packed;
};

// One session found by the chain walk.
struct CSessionExtent {
  int64_t start;
  int64_t length;
  int32_t index;
};

// What the walk of a disc's chain found: its sessions, oldest first, the newest block's header and the
// unpacked copy of the first session's head when the second session's block carries one.
struct CSessionChain {
  std::vector<CSessionExtent> sessions;
  int32_t sessionCount = 0;
  int64_t newestHeaderLba = 0;
  std::vector<uint8_t> firstHead;  // kSessionHeadBytes or empty
  std::wstring damage;             // why a block that was found was not taken (empty: none)
};

// The document's session state: the chain read when it was opened, the block of the session being built and,
// while a burn job appends that session, the disc's first sectors as read (`headRead`) and as they will be
// written back (`headUpdated`).
struct CSessionState {
  int32_t chainSessions = 0;  // sessions the chain described (0: the disc had no chain)
  int64_t newestHeaderLba = 0;
  std::vector<uint8_t> cachedHead;  // the first session's head as it was before any appending, or empty
  std::vector<uint8_t> block;       // the block being built
  int64_t blockLba = 0;             // first sector reserved for it
  int64_t blockSectors = 0;
  int64_t sessionStart = 0;
  std::vector<uint8_t> headRead;
  std::vector<uint8_t> headUpdated;
  int32_t validSectors = 0;
};

// Reads `n` 2048-byte sectors at `lba`; the count read.
using SessionSectorReader = int64_t (*)(void* context, int64_t lba, uint8_t* out, int64_t n);

// ---- The block itself ----

// Sectors a block of `bytes` bytes takes on the medium.
int64_t SessionBlockSectors(size_t bytes);
// The block's bytes for `info`, its CRC computed. Empty when the packed copy is larger than a block may hold.
std::vector<uint8_t> SessionBlockEncode(const CSessionBlockInfo& info);
// Sets the session length and leave-open flag of an encoded block and refreshes its CRC.
void SessionBlockFinish(std::vector<uint8_t>* block, uint32_t length, uint32_t leaveOpen);
// The sectors the block occupies, in medium order (header sector last), zero-padded.
std::vector<uint8_t> SessionBlockToSectors(const std::vector<uint8_t>& block);
// Reads and checks the block whose header sector is `headerLba`: magic, size, room for its other sectors before
// the header, CRC, packed count 0 or 320 with a packed length that fits. 1 with `info` filled; 0 when the sector
// holds no block (`damage` stays empty); -1 when it holds a damaged one (`damage` says how).
int SessionReadBlockAt(SessionSectorReader read, void* context, int64_t headerLba, CSessionBlockInfo* info,
                       std::wstring* damage);
// Unpacks a block's packed copy: 1 with exactly kSessionHeadBytes in `head`, else 0.
int SessionUnpackHead(const CSessionBlockInfo& info, std::vector<uint8_t>* head);

// ---- Reading a disc's chain ----

// The root directory LBA of the ISO 9660 volume of the session at `sessionStart` (primary descriptor at start
// + 16), or -1.
int64_t SessionFindIsoRoot(SessionSectorReader read, void* context, int64_t sessionStart);
// Walks the chain from the block just before the root directory of the volume at sector 16. 1 with the chain;
// 0 when there is none, or the newest block is damaged (`chain->damage` says so). Bounded: every step goes to a
// lower LBA and at most 100 blocks are read.
int SessionReadChain(SessionSectorReader read, void* context, CSessionChain* chain);
// The same walk from the block just before `root` (the root directory of the newest session's volume).
int SessionReadChainFrom(SessionSectorReader read, void* context, int64_t root, CSessionChain* chain);
// On open: reads the chain of a disc image with at most one recorded session of data and, when one is found,
// replaces the track table with a data track per session, keeps the chain in the document's session state and
// sets the readable limit to the end of the newest session. A damaged chain leaves the document as it was and
// says so once. 1 when a chain was taken, else 0.
int SessionReadBlock(CImageDocument* document);
// The root directory LBA of the ISO 9660 volume of the session at `sessionStart` of the document, or without
// ISO 9660 the sector of the UDF root directory's file entry; -1 when neither is there.
int64_t SessionFindDescriptor(CImageDocument* document, int64_t sessionStart);
// The document's session state, made on first use (null when memory runs out); freed with the document.
CSessionState* SessionStateOf(CImageDocument* document);
void SessionStateFree(CImageDocument* document);

// ---- Building ----

// Fills the block of the session being built (abort code 4 when the disc's first sectors cannot be read, 6 for
// memory). 1, or 0 on failure.
int SessionBuildBlock(CImageDocument* document);
// Layout step: frees an old block and, for a multisession build, builds one and reserves its sectors at the
// layout cursor. 0, or -1 on failure.
int SessionPrepareBlock(CImageDocument* document);
// Write step: the block's sectors at the write position, header last. 0, or -1.
int SessionWriteBlock(CImageDocument* document, CProgressCallbacks* progress);

// ---- The burn job's side ----

// Copies the part of a written run (`sectors` sectors at `lba`) that falls in the first 320 sectors of the
// session into the updated head.
void SessionUpdateBlockCopy(CSessionState* state, int64_t lba, const uint8_t* data, int64_t sectors);
// Sets the UDF descriptor tags of a head sector written at `sector` (taken from `sessionStart` + `sector`) to
// their new location.
void UdfRetagDescriptors(uint8_t* sector, int64_t sessionStart, int64_t written);
// Installs the multisession stages of the recording layer in `run`.
void SessionUseMultisessionStages(CBurnRun* run);
