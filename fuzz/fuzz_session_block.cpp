// A disc given sector by sector, walked as a chain of session blocks. Input: u32 sector count of the disc (at
// most 2^20), u32 root directory LBA written into a primary descriptor at sector 16, then records of a u32 LBA
// and 2048 bytes. Sectors not given read as zeros; sectors at or past the count cannot be read. Every given
// sector is also read as a block header on its own, and a packed copy it carries is unpacked.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "builder/session_block.h"
#include "runtime/byte_reader.h"

namespace {

constexpr int64_t kSector = 2048;

struct SparseDisc {
  int64_t sectors = 0;
  std::map<int64_t, const uint8_t*> given;
  uint8_t primary[kSector] = {};
};

int64_t ReadSparse(void* context, int64_t lba, uint8_t* out, int64_t n) {
  auto* disc = static_cast<SparseDisc*>(context);
  int64_t done = 0;
  for (; done < n && lba + done >= 0 && lba + done < disc->sectors; ++done) {
    uint8_t* to = out + done * kSector;
    auto hit = disc->given.find(lba + done);
    if (lba + done == 16)
      std::memcpy(to, disc->primary, kSector);
    else if (hit != disc->given.end())
      std::memcpy(to, hit->second, kSector);
    else
      std::memset(to, 0, kSector);
  }
  return done;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ByteReader reader(data, size);
  SparseDisc disc;
  disc.sectors = reader.U32LE() & 0xFFFFF;
  const uint32_t root = reader.U32LE();
  if (!reader.ok()) return 0;
  disc.primary[0] = 1;
  std::memcpy(disc.primary + 1, "CD001", 5);
  for (int i = 0; i < 4; ++i) disc.primary[158 + i] = static_cast<uint8_t>(root >> (8 * i));
  while (reader.Has(4 + kSector)) {
    const int64_t lba = reader.U32LE() & 0xFFFFF;
    disc.given[lba] = data + reader.pos();
    reader.Skip(kSector);
  }

  CSessionChain chain;
  const int found = SessionReadChain(ReadSparse, &disc, &chain);
  if (found != 0 && found != 1) std::abort();
  if (!found && !chain.sessions.empty()) std::abort();
  if (chain.sessions.size() > kSessionMaxIndex + 2) std::abort();
  if (!chain.firstHead.empty() && chain.firstHead.size() != static_cast<size_t>(kSessionHeadBytes)) std::abort();
  for (size_t i = 1; i < chain.sessions.size(); ++i) {
    // Oldest first, never overlapping: every step of the walk went below the session after it.
    if (chain.sessions[i - 1].start + chain.sessions[i - 1].length > chain.sessions[i].start) std::abort();
  }

  for (const auto& [lba, bytes] : disc.given) {
    (void)bytes;
    CSessionBlockInfo info;
    std::wstring damage;
    const int got = SessionReadBlockAt(ReadSparse, &disc, lba, &info, &damage);
    if (got == 1) {
      if (info.packed.size() > kSessionMaxPackedBytes) std::abort();
      std::vector<uint8_t> head;
      if (SessionUnpackHead(info, &head) && head.size() != static_cast<size_t>(kSessionHeadBytes)) std::abort();
      // What was read encodes back to a block that reads the same.
      std::vector<uint8_t> again = SessionBlockEncode(info);
      if (again.empty() || SessionBlockSectors(again.size()) > 512) std::abort();
    } else if (got == 0 && !damage.empty()) {
      std::abort();
    }
  }
  return 0;
}
