// Session blocks: how a block sits on the medium, the checks a block read from a disc must pass, the walk of a
// chain of blocks (sound and hostile), and where a multisession build puts its block.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "builder/add_local.h"
#include "builder/build_state.h"
#include "builder/builder_map.h"
#include "builder/session_block.h"
#include "image/document.h"
#include "image/sectors.h"
#include "image/tracktable.h"
#include "qvf/deflate.h"
#include "runtime/byte_reader.h"
#include "runtime/error.h"
#include "session/document.h"
#include "session/open.h"
#include "session/save.h"
#include "support/run_program.h"
#include "tree/tree.h"

namespace {

constexpr int64_t kSector = 2048;

// A disc held in memory: sectors past its end cannot be read.
struct MemDisc {
  std::vector<uint8_t> bytes;
  explicit MemDisc(int64_t sectors) : bytes(static_cast<size_t>(sectors * kSector), 0) {}
  uint8_t* At(int64_t lba) { return bytes.data() + lba * kSector; }
};

int64_t ReadMem(void* context, int64_t lba, uint8_t* out, int64_t n) {
  auto* disc = static_cast<MemDisc*>(context);
  const int64_t have = static_cast<int64_t>(disc->bytes.size()) / kSector;
  if (lba < 0 || lba >= have) return 0;
  n = std::min(n, have - lba);
  std::memcpy(out, disc->At(lba), static_cast<size_t>(n * kSector));
  return n;
}

void PutPrimary(MemDisc* disc, int64_t sessionStart, uint32_t root) {
  uint8_t* p = disc->At(sessionStart + 16);
  p[0] = 1;
  std::memcpy(p + 1, "CD001", 5);
  for (int i = 0; i < 4; ++i) p[158 + i] = static_cast<uint8_t>(root >> (8 * i));
}

// Places the block so that its header sector is `header`.
void PutBlock(MemDisc* disc, int64_t header, const std::vector<uint8_t>& block) {
  const std::vector<uint8_t> sectors = SessionBlockToSectors(block);
  const int64_t count = static_cast<int64_t>(sectors.size()) / kSector;
  std::memcpy(disc->At(header - count + 1), sectors.data(), sectors.size());
}

// The first 320 sectors of a disc, recognisable, and their chunked deflate framing.
std::vector<uint8_t> SampleHead() {
  std::vector<uint8_t> head(static_cast<size_t>(kSessionHeadBytes));
  for (size_t i = 0; i < head.size(); ++i) head[i] = static_cast<uint8_t>((i * 7) ^ (i >> 11));
  return head;
}

std::vector<uint8_t> Pack(const std::vector<uint8_t>& bytes) {
  DeflateStatePtr state(DeflateStateAlloc());
  std::vector<uint8_t> out(static_cast<size_t>(DeflateChunkedBound(static_cast<int64_t>(bytes.size()))));
  const int64_t n = DeflateCompressChunked(state.get(), bytes.data(), out.data(), static_cast<int64_t>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

CSessionBlockInfo Block(uint32_t index, uint32_t start, uint32_t length, uint32_t previous) {
  CSessionBlockInfo info;
  info.sessionIndex = index;
  info.start = start;
  info.length = length;
  info.previousHeader = previous;
  return info;
}

}  // namespace

TEST(SessionBlock, TheHeaderSectorComesLastOnTheMedium) {
  struct Case {
    size_t packedBytes;
    int64_t sectors;
  };
  for (const Case& c : {Case{0, 1}, Case{2000, 1}, Case{2001, 2}, Case{5000, 3}}) {
    CSessionBlockInfo info = Block(1, 400, 500, 339);
    info.packed.assign(c.packedBytes, 0x5A);
    if (c.packedBytes) info.packedSectors = 0;  // only the placement matters here
    const std::vector<uint8_t> block = SessionBlockEncode(info);
    ASSERT_EQ(SessionBlockSectors(block.size()), c.sectors);
    const std::vector<uint8_t> sectors = SessionBlockToSectors(block);
    ASSERT_EQ(static_cast<int64_t>(sectors.size()), c.sectors * kSector);
    EXPECT_EQ(LoadU32LE(&sectors[(c.sectors - 1) * kSector]), kSessionBlockMagic) << c.packedBytes;
    // Read back from a disc whose header sector is 700.
    MemDisc disc(800);
    PutBlock(&disc, 700, block);
    CSessionBlockInfo read;
    std::wstring damage;
    ASSERT_EQ(SessionReadBlockAt(ReadMem, &disc, 700, &read, &damage), 1) << c.packedBytes;
    EXPECT_EQ(read.sessionIndex, 1u);
    EXPECT_EQ(read.start, 400u);
    EXPECT_EQ(read.previousHeader, 339u);
    EXPECT_EQ(read.packed, info.packed);
  }
}

TEST(SessionBlock, DamagedBlocksAreRefused) {
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> harm;
    int expected;
  };
  const std::vector<Case> cases = {
      {"checksum", [](std::vector<uint8_t>& b) { b[20] ^= 1; }, -1},
      {"not a block", [](std::vector<uint8_t>& b) { b[0] = 'X'; }, 0},
      {"size too large", [](std::vector<uint8_t>& b) { b[8] = 0xD0, b[9] = 0xFF, b[10] = 0x0F; }, -1},
      {"size below the header", [](std::vector<uint8_t>& b) { b[8] = 47, b[9] = 0, b[10] = 0; }, -1},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> block = SessionBlockEncode(Block(0, 0, 400, 0));
    c.harm(block);
    MemDisc disc(400);
    PutBlock(&disc, 339, block);
    CSessionBlockInfo info;
    std::wstring damage;
    EXPECT_EQ(SessionReadBlockAt(ReadMem, &disc, 339, &info, &damage), c.expected) << c.what;
    EXPECT_EQ(damage.empty(), c.expected == 0) << c.what;
  }
  // A packed count other than 0 or 320, and a block whose sectors would reach before sector 0, each with a
  // valid checksum.
  CSessionBlockInfo odd = Block(1, 0, 400, 0);
  odd.packedSectors = 100;
  MemDisc disc(400);
  PutBlock(&disc, 339, SessionBlockEncode(odd));
  CSessionBlockInfo info;
  std::wstring damage;
  EXPECT_EQ(SessionReadBlockAt(ReadMem, &disc, 339, &info, &damage), -1);
  CSessionBlockInfo big = Block(1, 0, 400, 0);
  big.packed.assign(5000, 1);
  const std::vector<uint8_t> sectors = SessionBlockToSectors(SessionBlockEncode(big));
  std::memcpy(disc.At(0), sectors.data() + 2 * kSector, kSector);  // its header at sector 0, two sectors short
  EXPECT_EQ(SessionReadBlockAt(ReadMem, &disc, 0, &info, &damage), -1);
}

TEST(SessionBlock, APackedCopyMustUnpackToExactlyTheFirst320Sectors) {
  const std::vector<uint8_t> head = SampleHead();
  CSessionBlockInfo info = Block(1, 400, 500, 339);
  info.packedSectors = 320;
  info.packed = Pack(head);
  std::vector<uint8_t> out;
  ASSERT_EQ(SessionUnpackHead(info, &out), 1);
  EXPECT_TRUE(out == head);
  // One byte short or over, and a declared total far beyond the head, are all refused.
  for (size_t size : {head.size() - 1, head.size() + 1}) {
    std::vector<uint8_t> other(size, 3);
    info.packed = Pack(other);
    EXPECT_EQ(SessionUnpackHead(info, &out), 0) << size;
    EXPECT_TRUE(out.empty());
  }
  info.packed = Pack(head);
  info.packed[0] = info.packed[1] = info.packed[2] = info.packed[3] = 0xFF;
  EXPECT_EQ(SessionUnpackHead(info, &out), 0);
  // The declared total right but the pieces yielding less.
  info.packed = Pack(head);
  std::vector<uint8_t> cut = Pack(std::vector<uint8_t>(head.begin(), head.end() - 1));
  std::memcpy(cut.data(), info.packed.data(), 4);
  info.packed = cut;
  EXPECT_EQ(SessionUnpackHead(info, &out), 0);
}

namespace {

// Three sessions: 0..399 (block count 0), 400..899 (count 1, carrying the packed first head), 900..1399 (count
// 2). Each block's header lies just before its root directory.
struct ChainDisc {
  MemDisc disc{1500};
  std::vector<uint8_t> head = SampleHead();
  CSessionBlockInfo blocks[3] = {Block(0, 0, 400, 0), Block(1, 400, 500, 339), Block(2, 900, 500, 739)};
  int64_t headers[3] = {339, 739, 1239};
  uint32_t root = 1240;
  ChainDisc() {
    blocks[1].packedSectors = 320;
    blocks[1].packed = Pack(head);
  }
  void Lay() {
    for (int i = 0; i < 3; ++i) PutBlock(&disc, headers[i], SessionBlockEncode(blocks[i]));
    PutPrimary(&disc, 0, root);
  }
};

}  // namespace

TEST(SessionChain, ASoundChainGivesEverySessionAndTheFirstHead) {
  ChainDisc c;
  c.Lay();
  CSessionChain chain;
  ASSERT_EQ(SessionReadChain(ReadMem, &c.disc, &chain), 1);
  EXPECT_TRUE(chain.damage.empty()) << std::string(chain.damage.begin(), chain.damage.end());
  EXPECT_EQ(chain.sessionCount, 3);
  EXPECT_EQ(chain.newestHeaderLba, 1239);
  ASSERT_EQ(chain.sessions.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(chain.sessions[i].index, i);
    EXPECT_EQ(chain.sessions[i].start, c.blocks[i].start);
    EXPECT_EQ(chain.sessions[i].length, c.blocks[i].length);
  }
  EXPECT_TRUE(chain.firstHead == c.head);

  // A first session written before any block: the second session's block has no link, and the walk adds the
  // session from sector 0 to where the block's session starts.
  ChainDisc two;
  two.blocks[1].previousHeader = 0;
  two.root = 740;
  two.Lay();
  ASSERT_EQ(SessionReadChain(ReadMem, &two.disc, &chain), 1);
  ASSERT_EQ(chain.sessions.size(), 2u);
  EXPECT_EQ(chain.sessions[0].start, 0);
  EXPECT_EQ(chain.sessions[0].length, 400);
  EXPECT_EQ(chain.sessions[1].start, 400);
}

TEST(SessionChain, HostileChainsEndWithAReasonInBoundedTime) {
  struct Case {
    const char* what;
    std::function<void(ChainDisc&)> harm;
    int result;       // of the walk
    size_t sessions;  // sessions kept
    bool damaged;     // a reason is given
  };
  const std::vector<Case> cases = {
      {"link to itself", [](ChainDisc& c) { c.blocks[2].previousHeader = 1239; }, 1, 1, true},
      {"link forward", [](ChainDisc& c) { c.blocks[1].previousHeader = 1239; }, 1, 2, true},
      {"loop between two blocks",
       [](ChainDisc& c) {
         c.blocks[1].previousHeader = 1239;
         c.blocks[1].sessionIndex = 3;
       },
       1, 1, true},
      {"count that overflows", [](ChainDisc& c) { c.blocks[2].sessionIndex = 0xFFFFFFFFu; }, 0, 0, true},
      {"count above 99", [](ChainDisc& c) { c.blocks[2].sessionIndex = 100; }, 0, 0, true},
      {"wrong count below", [](ChainDisc& c) { c.blocks[1].sessionIndex = 5; }, 1, 1, true},
      {"link to an empty sector", [](ChainDisc& c) { c.blocks[2].previousHeader = 700; }, 1, 1, true},
      {"session length that wraps 32 bits", [](ChainDisc& c) { c.blocks[2].length = 0xFFFFFFF0u; }, 0, 0, true},
      {"block outside its session", [](ChainDisc& c) { c.blocks[2].start = 1300; }, 0, 0, true},
      {"packed copy one byte short",
       [](ChainDisc& c) { c.blocks[1].packed = Pack(std::vector<uint8_t>(kSessionHeadBytes - 1, 1)); }, 1, 1, true},
      {"chain that stops at session 2", [](ChainDisc& c) { c.blocks[2].previousHeader = 0; }, 1, 1, true},
      {"root past the end of the disc", [](ChainDisc& c) { c.root = 0xFFFFFFF0u; }, 0, 0, false},
      {"root at sector 0", [](ChainDisc& c) { c.root = 0; }, 0, 0, false},
  };
  for (const Case& k : cases) {
    ChainDisc c;
    k.harm(c);
    c.Lay();
    CSessionChain chain;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(SessionReadChain(ReadMem, &c.disc, &chain), k.result) << k.what;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2)) << k.what;
    EXPECT_EQ(chain.sessions.size(), k.sessions) << k.what;
    EXPECT_EQ(!chain.damage.empty(), k.damaged) << k.what;
  }
}

namespace {

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

}  // namespace

TEST(SessionBuild, AMultisessionBuildPadsItsHeadAndPutsItsBlockBeforeTheRoot) {
  const std::string folder = MakeTestFolder("session_block_build");
  WriteFileBytes(folder + "/src/a.txt", "alpha");
  WriteFileBytes(folder + "/src/sub/b.txt", std::string(5000, 'b'));
  for (int udf = 0; udf < 2; ++udf) {
    AbortCodeSet(kAbortNone);
    CImageDocument* document = ImageNew();
    ASSERT_NE(document, nullptr);
    document->udf = udf;
    document->multisession = 1;
    ASSERT_EQ(CliAddLocalPath(document, document->rootFolder, Wide(folder + "/src").c_str()), 1);
    const std::string iso = folder + "/first" + std::to_string(udf) + ".iso";
    ASSERT_EQ(ImageSaveAs(document, Wide(iso).c_str()), 0);
    ImageClose(document);
    const std::string bytes = ReadFileBytes(iso);
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    const uint32_t root = LoadU32LE(p + 16 * kSector + 158);
    EXPECT_GE(root, 320u + 2) << "path tables and block come after the 320-sector head";
    const uint8_t* header = p + (root - 1) * kSector;
    ASSERT_EQ(LoadU32LE(header), kSessionBlockMagic) << "udf " << udf;
    EXPECT_EQ(LoadU32LE(header + 16), 0u);  // no session before it
    EXPECT_EQ(LoadU32LE(header + 20), 0u);  // starts at 0
    EXPECT_EQ(LoadU32LE(header + 24) * kSector, static_cast<int64_t>(bytes.size()));
    EXPECT_EQ(LoadU32LE(header + 40), 0u);  // nothing packed on a blank disc
    // Opened again, the image is one session with its block, ready for a further one.
    document = ImageOpenByPath(Wide(iso).c_str(), kOpenLoadTree);
    ASSERT_NE(document, nullptr);
    ASSERT_NE(document->trackTable, nullptr);
    EXPECT_EQ(document->trackTable->trackCount, 1);
    EXPECT_EQ(document->trackTable->sessionCount, 1);
    ASSERT_NE(document->sessionBlock, nullptr);
    EXPECT_EQ(document->sessionBlock->newestHeaderLba, root - 1);
    ImageClose(document);
    // 7-Zip reads the image as a plain one.
    EXPECT_EQ(RunProgram("/usr/bin/7zz", {"t", iso}).status, 0);
  }
}

TEST(SessionBuild, FilesOfThePreviousSessionStayUnlessTheRewrittenHeadHoldsThem) {
  const std::string folder = MakeTestFolder("session_block_kept");
  WriteFileBytes(folder + "/src/a.txt", "alpha");
  WriteFileBytes(folder + "/src/big.bin", std::string(1 << 20, 'g'));
  WriteFileBytes(folder + "/src/z.txt", "zulu");
  const std::string iso = folder + "/plain.iso";
  ASSERT_EQ(RunKestrane({"create", "-o", iso, "-add", folder + "/src", "/"}).status, 0);
  for (int chain = 0; chain < 2; ++chain) {
    AbortCodeSet(kAbortNone);
    CImageDocument* document = ImageOpenByPath(Wide(iso).c_str(), kOpenLoadTree);
    ASSERT_NE(document, nullptr);
    CTreeEntry* a = TreeFindEntryByPath(document, document->rootFolder, L"/a.txt");
    CTreeEntry* z = TreeFindEntryByPath(document, document->rootFolder, L"/z.txt");
    ASSERT_TRUE(a && z);
    const int64_t aSource = a->sourceLba, zSource = z->sourceLba;
    ASSERT_LT(aSource, 320);
    ASSERT_GE(zSource, 320);
    document->multisession = 1;
    document->discAppendStart = 1024;
    // A disc whose sessions carry blocks was written by us, and never with a file in its first 320 sectors.
    if (chain) SessionStateOf(document)->chainSessions = 1;
    document->builder = ImageBuilderNew(document);
    CProgressCallbacks callbacks{document};
    if (chain) {
      EXPECT_EQ(ImageBuild(&callbacks), 0);
      EXPECT_EQ(AbortCodeGet(), kAbortReadFailed);
    } else {
      ASSERT_EQ(ImageBuild(&callbacks), 1);
      // The file in the sectors the burn job rewrites is written again into the new session; the other stays.
      EXPECT_GE(a->outputLba, 1024 + 320);
      EXPECT_EQ(z->outputLba, zSource);
      std::vector<uint8_t> sector(2048);
      document->readFromBuilder = 1;
      ASSERT_EQ(ImageReadSectors(document, a->outputLba, sector.data(), 1), 1);
      document->readFromBuilder = 0;
      EXPECT_EQ(std::string(sector.begin(), sector.begin() + 5), "alpha");
    }
    ImageClose(document);
  }
}

TEST(SessionBlock, RewrittenHeadSectorsTakeTheirNewTagLocations) {
  // An anchor descriptor (tag 2) written at session sector 256 of a session at 1024, and one that is not ours.
  auto tagged = [](uint32_t location) {
    std::vector<uint8_t> sector(2048, 0);
    sector[0] = 2;
    sector[2] = 2;
    for (int i = 0; i < 4; ++i) sector[12 + i] = static_cast<uint8_t>(location >> (8 * i));
    uint8_t sum = 0;
    for (int i = 0; i < 16; ++i)
      if (i != 4) sum = static_cast<uint8_t>(sum + sector[i]);
    sector[4] = sum;
    return sector;
  };
  std::vector<uint8_t> anchor = tagged(1024 + 256);
  UdfRetagDescriptors(anchor.data(), 1024, 256);
  EXPECT_EQ(anchor, tagged(256));
  std::vector<uint8_t> other = tagged(77);
  UdfRetagDescriptors(other.data(), 1024, 256);
  EXPECT_EQ(other, tagged(77));
  std::vector<uint8_t> plain(2048, 0);
  UdfRetagDescriptors(plain.data(), 1024, 0);
  EXPECT_EQ(plain, std::vector<uint8_t>(2048, 0));
}

TEST(SessionBuild, AUdfOnlySessionCarriesItsBlockBeforeItsRootAndIsFoundThroughUdf) {
  const std::string folder = MakeTestFolder("session_block_udf_only");
  WriteFileBytes(folder + "/src/a.txt", "alpha");
  AbortCodeSet(kAbortNone);
  CImageDocument* document = ImageNew();
  ASSERT_NE(document, nullptr);
  document->noIso9660 = 1;
  document->udf = 1;
  document->multisession = 1;
  ASSERT_EQ(CliAddLocalPath(document, document->rootFolder, Wide(folder + "/src").c_str()), 1);
  const std::string image = folder + "/udf.iso";
  ASSERT_EQ(ImageSaveAs(document, Wide(image).c_str()), 0);
  ImageClose(document);
  // No ISO 9660 volume; the block takes the sector after the 320-sector head, the root's file entry the next.
  const std::string bytes = ReadFileBytes(image);
  ASSERT_GT(bytes.size(), 322u * 2048);
  EXPECT_NE(std::memcmp(bytes.data() + 16 * kSector + 1, "CD001", 5), 0);
  EXPECT_EQ(LoadU32LE(reinterpret_cast<const uint8_t*>(bytes.data()) + 320 * kSector), kSessionBlockMagic);
  document = ImageOpenByPath(Wide(image).c_str(), kOpenLoadTree);
  ASSERT_NE(document, nullptr);
  ASSERT_NE(document->sessionBlock, nullptr);
  EXPECT_EQ(document->sessionBlock->newestHeaderLba, 320);
  ASSERT_NE(document->trackTable, nullptr);
  EXPECT_EQ(document->trackTable->trackCount, 1);
  EXPECT_NE(TreeFindEntryByPath(document, document->rootFolder, L"/a.txt"), nullptr);
  ImageClose(document);
}
