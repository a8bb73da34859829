#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "image/cdsector.h"
#include "image/document.h"
#include "runtime/error.h"
#include "support/cd_reference.h"
#include "support/run_program.h"

namespace {

using Sector = std::vector<uint8_t>;

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : v) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 24);
  }
  return v;
}

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24; }

const uint8_t kSync[12] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};

TEST(CdSector, AddressesAndBcd) {
  struct Case {
    int64_t sector;
    int minute, second, frame;
  } const cases[] = {
      {0, 0, 2, 0},      {-150, 0, 0, 0},     {-1, 0, 1, 74},     {-151, 99, 59, 74},
      {74, 0, 2, 74},    {75, 0, 3, 0},       {4350, 1, 0, 0},    {449849, 99, 59, 74},
      {-11000, 97, 35, 25},
  };
  for (const auto& c : cases) {
    int m = -1, s = -1, f = -1;
    CdCodecLbaToMsf(c.sector, &m, &s, &f);
    EXPECT_EQ(m, c.minute) << c.sector;
    EXPECT_EQ(s, c.second) << c.sector;
    EXPECT_EQ(f, c.frame) << c.sector;
  }
  struct Bcd {
    int value;
    uint8_t bcd;
  } const bcds[] = {{0, 0x00}, {9, 0x09}, {10, 0x10}, {59, 0x59}, {74, 0x74}, {99, 0x99}};
  for (const auto& b : bcds) EXPECT_EQ(CdToBcd(b.value), b.bcd) << b.value;

  // The header as written into sectors.
  Sector raw(kCdRawSectorSize);
  CdEncodeMode1Sector(0, nullptr, raw.data());
  EXPECT_EQ((std::vector<uint8_t>(raw.begin() + 12, raw.begin() + 16)), (std::vector<uint8_t>{0x00, 0x02, 0x00, 1}));
  CdEncodeMode2Sector(-151, nullptr, raw.data());
  EXPECT_EQ((std::vector<uint8_t>(raw.begin() + 12, raw.begin() + 16)), (std::vector<uint8_t>{0x99, 0x59, 0x74, 2}));
}

TEST(CdSector, EdcMatchesCatalogueAndBitwiseReference) {
  EXPECT_EQ(CdComputeEdc("123456789", 9), 0x6EC2EDC4u);  // the published check value of this CRC
  EXPECT_EQ(CdComputeEdc("abc", 0), 0u);
  EXPECT_EQ(CdComputeEdc("abc", -5), 0u);
  const std::vector<uint8_t> data = Pattern(2400, 7);
  // Lengths around the folding steps of the carry-less path (64-byte rounds, 16-byte blocks, a tail) and the
  // table path it falls back to, which must agree wherever either runs.
  for (size_t offset : {0u, 1u, 3u, 5u}) {
    for (size_t n :
         {1u, 7u, 8u, 9u, 15u, 16u, 17u, 127u, 128u, 129u, 143u, 144u, 191u, 192u, 207u, 2056u, 2064u, 2332u, 2351u}) {
      const uint32_t want = ReferenceEdc(data.data() + offset, n);
      EXPECT_EQ(CdComputeEdc(data.data() + offset, static_cast<int64_t>(n)), want) << offset << " " << n;
      EXPECT_EQ(CdComputeEdcPortable(data.data() + offset, static_cast<int64_t>(n)), want) << offset << " " << n;
    }
  }
  const std::vector<uint8_t> ones(2064, 0xFF);
  EXPECT_EQ(CdComputeEdc(ones.data(), 2064), ReferenceEdc(ones.data(), 2064));
  // One changed byte changes the EDC.
  std::vector<uint8_t> changed = data;
  changed[1000] ^= 0x01;
  EXPECT_NE(CdComputeEdc(changed.data(), 2064), CdComputeEdc(data.data(), 2064));
}

// The vector parity routines and the 64-bit ones they stand in for give the same bytes, on sectors whose P and Q
// areas start out stale.
TEST(CdSector, ParityFormsAgree) {
  for (uint32_t seed : {1u, 2u, 3u, 40u, 500u}) {
    Sector start = Pattern(kCdRawSectorSize, seed);
    if (seed == 40) std::fill(start.begin() + 12, start.begin() + 2076, 0xFF);  // every symbol with its top bit
    Sector fast = start, portable = start;
    CdComputeEccP(fast.data());
    CdComputeEccPPortable(portable.data());
    ASSERT_EQ(fast, portable) << "P, seed " << seed;
    CdComputeEccQ(fast.data());
    CdComputeEccQPortable(portable.data());
    ASSERT_EQ(fast, portable) << "Q, seed " << seed;
    EXPECT_EQ(ReferenceBadCodewords(fast.data(), false), 0) << seed;
  }
}

// Built sectors of both kinds, checked against the definitions rather than against the codec's own routines.
TEST(CdSector, EncodedSectorsSatisfyEdcAndParityChecks) {
  struct Case {
    int mode;  // 1, or 2 for Mode 2 Form 1
    int64_t sector;
    bool zeros;
  } const cases[] = {{1, 0, true}, {1, 16, false}, {1, 333000, false}, {1, -151, false},
                     {2, 0, true}, {2, 17, false}, {2, 449000, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << c.mode << " sector " << c.sector);
    const std::vector<uint8_t> data = c.zeros ? std::vector<uint8_t>(2048) : Pattern(2048, static_cast<uint32_t>(c.sector));
    Sector raw = Pattern(kCdRawSectorSize, 99);  // stale bytes that must all be overwritten
    if (c.mode == 1) {
      CdEncodeMode1Sector(c.sector, data.data(), raw.data());
      EXPECT_EQ(0, std::memcmp(raw.data() + 16, data.data(), 2048));
      EXPECT_EQ(Le32(raw.data() + 2064), ReferenceEdc(raw.data(), 2064));
      EXPECT_EQ(std::vector<uint8_t>(raw.begin() + 2068, raw.begin() + 2076), std::vector<uint8_t>(8));
      EXPECT_EQ(CdCheckMode1Sector(raw.data(), c.sector), 0);
    } else {
      CdEncodeMode2Sector(c.sector, data.data(), raw.data());
      EXPECT_EQ((std::vector<uint8_t>(raw.begin() + 16, raw.begin() + 24)),
                (std::vector<uint8_t>{0, 0, 8, 0, 0, 0, 8, 0}));
      EXPECT_EQ(0, std::memcmp(raw.data() + 24, data.data(), 2048));
      EXPECT_EQ(Le32(raw.data() + 2072), ReferenceEdc(raw.data() + 16, 2056));
      EXPECT_EQ(CdCheckMode2Form1Sector(raw.data(), c.sector), 0);
    }
    EXPECT_EQ(0, std::memcmp(raw.data(), kSync, 12));
    EXPECT_EQ(ReferenceBadCodewords(raw.data(), c.mode == 2), 0);
  }
}

TEST(CdSector, ChecksNameEachFault) {
  Sector good(kCdRawSectorSize);
  const std::vector<uint8_t> data = Pattern(2048, 3);
  CdEncodeMode1Sector(1234, data.data(), good.data());
  struct Case {
    const char* what;
    int offset;
    int expected;
  } const cases[] = {
      {"sync", 5, kCdFaultSync | kCdFaultEdc},
      {"address", 14, kCdFaultHeader | kCdFaultEdc | kCdFaultEccP | kCdFaultEccQ},
      {"user data", 700, kCdFaultEdc | kCdFaultEccP | kCdFaultEccQ},
      {"EDC", 2065, kCdFaultEdc | kCdFaultEccP | kCdFaultEccQ},
      {"zero field", 2070, kCdFaultZeroField | kCdFaultEccP | kCdFaultEccQ},
      {"P parity", 2100, kCdFaultEccP | kCdFaultEccQ},
      {"Q parity", 2300, kCdFaultEccQ},
  };
  for (const auto& c : cases) {
    Sector bad = good;
    bad[c.offset] ^= 0x10;
    EXPECT_EQ(CdCheckMode1Sector(bad.data(), 1234), c.expected) << c.what;
  }
  EXPECT_EQ(CdCheckMode1Sector(good.data(), 1235), kCdFaultHeader);

  Sector form1(kCdRawSectorSize);
  CdEncodeMode2Sector(50, data.data(), form1.data());
  Sector bad = form1;
  bad[14] ^= 1;  // Mode 2 parity leaves the header out
  EXPECT_EQ(CdCheckMode2Form1Sector(bad.data(), 50), kCdFaultHeader);
  bad = form1;
  bad[20] ^= 1;
  EXPECT_EQ(CdCheckMode2Form1Sector(bad.data(), 50), kCdFaultSubHeader | kCdFaultEdc | kCdFaultEccP | kCdFaultEccQ);
}

TEST(CdSector, Mode2PlanSetsFileNumberAndSubMode) {
  const std::vector<uint8_t> data = Pattern(2048, 11);
  auto subHeader = [&](int64_t sector, const uint8_t* d) {
    Sector raw(kCdRawSectorSize);
    CdEncodeMode2Sector(sector, d, raw.data());
    EXPECT_EQ(CdCheckMode2Form1Sector(raw.data(), sector), 0) << sector;
    return std::make_pair(raw[16], raw[18]);
  };
  CdResetSectorModeList(1);
  CdSetSectorModeBounds(10, 20, 30);
  CdAddSectorModeChange(25, 0x81);
  CdAddSectorModeChange(12, 0x01);
  struct Case {
    int64_t sector;
    uint8_t file, subMode;
  } const withDefaultForm[] = {{9, 0, 8}, {10, 1, 8}, {12, 1, 9}, {19, 1, 8}, {20, 1, 8}, {25, 1, 0x89}, {30, 0, 8}};
  for (const auto& c : withDefaultForm) {
    EXPECT_EQ(subHeader(c.sector, data.data()), std::make_pair(c.file, c.subMode)) << c.sector;
  }
  // Without data (a generated gap) the plan is not applied.
  EXPECT_EQ(subHeader(25, nullptr), std::make_pair(uint8_t{0}, uint8_t{8}));

  // Flag 0: only [B, C) takes file number 1. Reset forgets the bounds and the pairs.
  CdResetSectorModeList(0);
  CdSetSectorModeBounds(10, 20, 30);
  EXPECT_EQ(subHeader(15, data.data()).first, 0);
  EXPECT_EQ(subHeader(25, data.data()), std::make_pair(uint8_t{1}, uint8_t{8}));
  CdResetSectorModeList(1);
  EXPECT_EQ(subHeader(15, data.data()).first, 0);

  // The plan holds 30 pairs; a 31st is ignored.
  for (int i = 0; i < 31; ++i) CdAddSectorModeChange(100 + i, 0x40);
  EXPECT_EQ(subHeader(129, data.data()).second, 0x48);
  EXPECT_EQ(subHeader(130, data.data()).second, 0x08);
  CdResetSectorModeList(0);
}

TEST(CdSector, Form2AndStoredBlocks) {
  const std::vector<uint8_t> data = Pattern(kCdForm2DataSize, 5);
  Sector raw(kCdRawSectorSize);
  CdBuildMode2Header(300, 1, 2, kCdSubModeForm2, 3, data.data(), raw.data());
  EXPECT_EQ(0, std::memcmp(raw.data(), kSync, 12));
  EXPECT_EQ((std::vector<uint8_t>(raw.begin() + 12, raw.begin() + 24)),
            (std::vector<uint8_t>{0x00, 0x06, 0x00, 2, 1, 2, 0x20, 3, 1, 2, 0x20, 3}));
  EXPECT_EQ(0, std::memcmp(raw.data() + 24, data.data(), data.size()));
  EXPECT_EQ(Le32(raw.data() + 2348), ReferenceEdc(raw.data() + 16, 2332));

  // A stored 2336-byte block regains its sync and header and is the same sector again.
  Sector form1(kCdRawSectorSize);
  CdEncodeMode2Sector(4321, Pattern(2048, 8).data(), form1.data());
  Sector rebuilt(kCdRawSectorSize, 0xAA);
  CdBuildMode2HeaderFrom(4321, form1.data() + 16, rebuilt.data());
  EXPECT_EQ(rebuilt, form1);
}

TEST(CdSector, ExtractUserData) {
  const std::vector<uint8_t> stored = Pattern(3 * 2448, 21);
  std::vector<uint8_t> out(3 * 2048);
  EXPECT_EQ(CdExtractUserData(stored.data(), out.data(), 3, 2448, 24), 3 * 2048);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(0, std::memcmp(out.data() + i * 2048, stored.data() + i * 2448 + 24, 2048)) << i;
  EXPECT_EQ(CdExtractUserData(stored.data(), out.data(), 0, 2448, 24), 0);
}

struct DocumentDeleter {
  void operator()(CImageDocument* d) const { delete d; }
};

TEST(CdSector, SectorKindsAndTheEdcErrorList) {
  std::unique_ptr<CImageDocument, DocumentDeleter> doc(new CImageDocument{});
  Sector mode1(kCdRawSectorSize);
  CdEncodeMode1Sector(7, Pattern(2048, 1).data(), mode1.data());
  Sector damaged = mode1;
  damaged[100] ^= 0xFF;
  Sector mode2(kCdRawSectorSize);
  CdEncodeMode2Sector(7, Pattern(2048, 1).data(), mode2.data());
  Sector damagedMode2 = mode2;
  damagedMode2[100] ^= 0xFF;

  struct Case {
    int32_t inputType, sectorSize, userDataOffset;
    uint8_t rawMode2;
    const Sector* raw;
    int kind;
  } const cases[] = {
      {0, 2352, 16, 0, &damaged, 1},  // plain ISO types never check
      {2, 2352, 16, 0, &damaged, 1},
      {1, 2048, 0, 0, &damaged, 1},
      {1, 2352, 16, 1, &damaged, 16},
      {1, 2336, 0, 0, &damaged, 4},
      {9, 2448, 24, 0, &damaged, 4},
      {9, 2448, 16, 0, &damaged, 1},
      {1, 2352, 24, 0, &damaged, 4},
      {1, 2352, 16, 0, &damagedMode2, 4},  // the mode byte says 2
      {1, 2352, 16, 0, &mode1, 1},
      {1, 2352, 16, 0, &damaged, 2},
  };
  EdcErrorListClear();
  for (const auto& c : cases) {
    doc->inputType = c.inputType;
    doc->sectorSize = c.sectorSize;
    doc->userDataOffset = c.userDataOffset;
    doc->rawMode2 = c.rawMode2;
    EXPECT_EQ(ImageGetSectorKind(doc.get(), c.raw->data(), 5000000000LL), c.kind)
        << c.inputType << " " << c.sectorSize << "/" << c.userDataOffset;
  }
  ASSERT_EQ(EdcErrorListCount(), 1);
  EXPECT_EQ(EdcErrorListGet(0), 5000000000LL);
  EXPECT_EQ(EdcErrorListGet(1), -1);
  EXPECT_EQ(EdcErrorListGet(-1), -1);

  // A range records the damaged sectors by number, and stops once the operation is cancelled.
  std::vector<uint8_t> range;
  for (const Sector* s : {&mode1, &damaged, &mode1, &damaged}) range.insert(range.end(), s->begin(), s->end());
  EdcErrorListClear();
  EXPECT_EQ(ImageCheckEdcRange(doc.get(), range.data(), 40, 4), 4);
  ASSERT_EQ(EdcErrorListCount(), 2);
  EXPECT_EQ(EdcErrorListGet(0), 41);
  EXPECT_EQ(EdcErrorListGet(1), 43);
  AbortCodeSet(kAbortCancelled);
  EXPECT_EQ(ImageCheckEdcRange(doc.get(), range.data(), 40, 4), 0);
  AbortCodeSet(kAbortNone);
  EXPECT_EQ(EdcErrorListCount(), 2);
  EdcErrorListClear();
  EXPECT_EQ(EdcErrorListCount(), 0);
}

// ---- The raw layout generator ----

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string FindOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    const size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

enum class Stored { kPlain, kMode1, kForm1, kBlock };

struct RawLayout {
  const char* file;
  int32_t sectorSize, userDataOffset;
  int64_t header;  // of the format table row: user data of sector s at header + s * size + offset
  Stored form;
};

// The geometry of the format table's raw rows, written out here independently of the generator's own table.
constexpr RawLayout kRawLayouts[] = {
    {"row01.bin", 2352, 16, 0, Stored::kMode1},        {"row07.bin", 2352, 24, 0, Stored::kForm1},
    {"row08.cdi", 2048, 0, 307200, Stored::kPlain},    {"row09.mdf", 2448, 16, 0, Stored::kMode1},
    {"row10.bwi", 2352, 16, 352800, Stored::kMode1},   {"row11.bwi", 2352, 24, 352800, Stored::kForm1},
    {"row12.bwi", 2448, 16, 367200, Stored::kMode1},   {"row13.bwi", 2448, 24, 367200, Stored::kForm1},
    {"row14.b5i", 2352, 16, 352800, Stored::kMode1},   {"row15.lcd", 2352, 24, 4096, Stored::kForm1},
    {"row16.lcd", 2049, 1, 4096, Stored::kPlain},      {"row17.fcd", 2048, 0, -32256, Stored::kPlain},
    {"row18.cif", 2056, 0, 436, Stored::kPlain},       {"row19.gi", 2048, 0, 152, Stored::kPlain},
    {"row20.gi", 2336, 0, 160, Stored::kBlock},        {"scan2336.xyz", 2336, 0, 8, Stored::kBlock},
};

TEST(RawLayouts, EveryLayoutHoldsTheImageWithSoundSectors) {
  const std::string folder = MakeTestFolder("raw_layouts");
  constexpr int64_t kSectors = 40;
  // Distinct bytes in every sector, and a last sector cut short: the generator completes it with zeros.
  std::vector<uint8_t> iso = Pattern(kSectors * 2048 - 100, 42);
  {
    std::ofstream out(folder + "/in.iso", std::ios::binary);
    out.write(reinterpret_cast<const char*>(iso.data()), static_cast<std::streamsize>(iso.size()));
  }
  iso.resize(kSectors * 2048, 0);
  const ProgramResult run = RunProgram(MAKE_RAW_LAYOUTS_BIN, {folder + "/in.iso", folder});
  ASSERT_EQ(run.status, 0) << run.out;

  for (const RawLayout& layout : kRawLayouts) {
    SCOPED_TRACE(layout.file);
    const std::vector<uint8_t> file = ReadFile(folder + "/" + layout.file);
    // A stored sector starts `lead` bytes before its user data (a 2336-byte block with its 8-byte sub-header).
    const int64_t lead = layout.form == Stored::kBlock ? 8 : layout.userDataOffset;
    const int64_t firstSector = layout.header + layout.userDataOffset - lead;  // file position of sector 0
    ASSERT_EQ(static_cast<int64_t>(file.size()), firstSector + kSectors * layout.sectorSize);
    for (int64_t i = 0; i < firstSector; ++i) ASSERT_EQ(file[static_cast<size_t>(i)], 0) << "header byte " << i;
    for (int64_t s = 0; s < kSectors; ++s) {
      const int64_t dataAt = layout.header + s * layout.sectorSize + layout.userDataOffset;
      if (dataAt < 0) continue;  // before the start of the file: read as zeros
      ASSERT_LE(dataAt + 2048, static_cast<int64_t>(file.size()));
      const uint8_t* stored = file.data() + dataAt - lead;
      ASSERT_EQ(0, std::memcmp(file.data() + dataAt, iso.data() + s * 2048, 2048)) << "sector " << s;
      switch (layout.form) {
        case Stored::kPlain:
          for (int32_t i = 0; i < layout.sectorSize; ++i) {
            if (i >= layout.userDataOffset && i < layout.userDataOffset + 2048) continue;
            ASSERT_EQ(stored[i], 0) << "sector " << s << " byte " << i;
          }
          break;
        case Stored::kMode1:
          ASSERT_EQ(CdCheckMode1Sector(stored, s), 0) << "sector " << s;
          break;
        case Stored::kForm1:
          ASSERT_EQ(CdCheckMode2Form1Sector(stored, s), 0) << "sector " << s;
          break;
        case Stored::kBlock: {
          Sector raw(kCdRawSectorSize);
          CdBuildMode2HeaderFrom(s, stored, raw.data());
          ASSERT_EQ(CdCheckMode2Form1Sector(raw.data(), s), 0) << "sector " << s;
          break;
        }
      }
      for (int32_t i = kCdRawSectorSize; layout.form != Stored::kPlain && i < layout.sectorSize; ++i) {
        ASSERT_EQ(stored[i], 0) << "subchannel byte " << i << " of sector " << s;
      }
    }
  }

  // bchunk, reading the Mode 1 and Mode 2 BIN files through a CUE sheet, gives back the image byte for byte.
  const std::string bchunk = FindOnPath("bchunk");
  ASSERT_FALSE(bchunk.empty()) << "bchunk is missing (scripts/setup installs it)";
  for (const auto& [bin, mode] : {std::pair{"row01.bin", "MODE1/2352"}, std::pair{"row07.bin", "MODE2/2352"}}) {
    const std::string cue = std::string(bin) + ".cue";
    std::ofstream(folder + "/" + cue) << "FILE \"" << bin << "\" BINARY\n  TRACK 01 " << mode
                                      << "\n    INDEX 01 00:00:00\n";
    ProgramOptions options;
    options.workDir = folder;
    const ProgramResult result = RunProgram(bchunk, {bin, cue, std::string("back_") + bin}, options);
    ASSERT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(ReadFile(folder + "/back_" + bin + "01.iso"), iso) << bin;
  }
}

TEST(RawLayouts, RefusesMissingInput) {
  const std::string folder = MakeTestFolder("raw_layouts_missing");
  const ProgramResult run = RunProgram(MAKE_RAW_LAYOUTS_BIN, {folder + "/absent.iso", folder});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("absent.iso"), std::string::npos) << run.out;
  EXPECT_EQ(RunProgram(MAKE_RAW_LAYOUTS_BIN, {}).status, 2);
}

}  // namespace
