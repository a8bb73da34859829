#include "image/cdsector.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KESTRANE_EDC_CLMUL 1
#endif
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "image/document.h"
#include "runtime/error.h"
#include "runtime/parallel.h"
#include "runtime/ptrarray.h"

namespace {

constexpr uint8_t kSync[12] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};

// Offsets inside a raw sector.
constexpr int kHeaderAt = 12;
constexpr int kMode1DataAt = 16;
constexpr int kMode1EdcAt = 2064;
constexpr int kMode1ZeroAt = 2068;
constexpr int kSubHeaderAt = 16;
constexpr int kMode2DataAt = 24;
constexpr int kForm1EdcAt = 2072;
constexpr int kForm2EdcAt = 2348;
constexpr int kEccPAt = 2076;
constexpr int kEccQAt = 2248;

// The parity is computed over 16-bit words: the even bytes (most significant) and the odd bytes form two
// independent planes. In bytes, the area from offset 12 is a matrix of rows of 86 bytes (43 words): rows 0..23
// hold header and data, rows 24 and 25 the P parity. P codewords are the 86 byte columns of rows 0..23; Q
// codeword n (of 26 per plane) takes word column M (0..42) from row (n + M) mod 26.
constexpr int kRowBytes = 86;
constexpr int kPDataRows = 24;
constexpr int kQRows = 26;
constexpr int kQColumns = 43;
constexpr int kQVectorBytes = 52;

// Where symbol m of each Q codeword n lies in the area from offset 12: word column m of row (n + m) mod 26.
using QOffsets = std::array<std::array<uint16_t, kQRows>, kQColumns>;
constexpr QOffsets MakeQOffsets() {
  QOffsets t{};
  for (int m = 0; m < kQColumns; ++m)
    for (int n = 0; n < kQRows; ++n) t[m][n] = static_cast<uint16_t>((n + m) % kQRows * kRowBytes + 2 * m);
  return t;
}
constexpr QOffsets kQOffsets = MakeQOffsets();

// ---- EDC ----------------------------------------------------------------------------------------------------

constexpr uint32_t kEdcPolynomialReflected = 0xD8018001u;  // 0x8001801B with its bits reversed

using EdcTables = std::array<std::array<uint32_t, 256>, 8>;

// Table 0 advances the register by one byte; table k by one byte followed by k zero bytes, so eight bytes fold
// in with eight independent look-ups.
constexpr EdcTables MakeEdcTables() {
  EdcTables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c >> 1) ^ ((c & 1) ? kEdcPolynomialReflected : 0);
    t[0][i] = c;
  }
  for (size_t k = 1; k < t.size(); ++k) {
    for (uint32_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  }
  return t;
}

constexpr EdcTables kEdc = MakeEdcTables();

// ---- EDC by carry-less multiplication ----------------------------------------------------------------------
//
// The message is folded 16 bytes at a time into a 128-bit remainder that has the same EDC (the register starts
// at 0, so leading zeros change nothing); the tables finish its last 16 bytes and any tail. In the bit order the
// EDC reads bytes (least significant bit first), a 16-byte block loaded little-endian holds its polynomial
// reflected, and the carry-less product of two reflected 64-bit values is the reflected product times x. So a
// block h = hh * x^64 + hl folded d bytes ahead becomes hh * (x^(8d + 63) mod P) + hl * (x^(8d - 1) mod P).

constexpr uint64_t kEdcPolynomial = 0x18001801Bull;  // x^32 + x^31 + x^16 + x^15 + x^4 + x^3 + x + 1

// x^n mod P as a reflected 64-bit operand: the coefficient of x^d at bit 63 - d.
constexpr uint64_t EdcFoldConstant(int n) {
  uint64_t r = 1;
  for (int i = 0; i < n; ++i) {
    r <<= 1;
    if (r & (uint64_t{1} << 32)) r ^= kEdcPolynomial;
  }
  uint64_t reflected = 0;
  for (int d = 0; d < 32; ++d)
    if (r >> d & 1) reflected |= uint64_t{1} << (63 - d);
  return reflected;
}

#ifdef KESTRANE_EDC_CLMUL

constexpr uint64_t kFold16High = EdcFoldConstant(8 * 16 + 63), kFold16Low = EdcFoldConstant(8 * 16 - 1);
constexpr uint64_t kFold64High = EdcFoldConstant(8 * 64 + 63), kFold64Low = EdcFoldConstant(8 * 64 - 1);

__attribute__((target("pclmul,sse4.1"))) inline __m128i Fold(__m128i block, __m128i constants) {
  // constants: the low-half multiplier in the high lane, the high-half one in the low lane.
  return _mm_xor_si128(_mm_clmulepi64_si128(block, constants, 0x00), _mm_clmulepi64_si128(block, constants, 0x11));
}

__attribute__((target("pclmul,sse4.1"))) uint32_t EdcClmul(const uint8_t* p, int64_t length, bool* done) {
  *done = false;
  if (length < 128) return 0;
  const __m128i fold16 = _mm_set_epi64x(static_cast<int64_t>(kFold16Low), static_cast<int64_t>(kFold16High));
  const __m128i fold64 = _mm_set_epi64x(static_cast<int64_t>(kFold64Low), static_cast<int64_t>(kFold64High));
  const auto load = [](const uint8_t* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); };
  __m128i x0 = load(p), x1 = load(p + 16), x2 = load(p + 32), x3 = load(p + 48);
  p += 64;
  length -= 64;
  while (length >= 64) {
    x0 = _mm_xor_si128(Fold(x0, fold64), load(p));
    x1 = _mm_xor_si128(Fold(x1, fold64), load(p + 16));
    x2 = _mm_xor_si128(Fold(x2, fold64), load(p + 32));
    x3 = _mm_xor_si128(Fold(x3, fold64), load(p + 48));
    p += 64;
    length -= 64;
  }
  x1 = _mm_xor_si128(Fold(x0, fold16), x1);
  x2 = _mm_xor_si128(Fold(x1, fold16), x2);
  x3 = _mm_xor_si128(Fold(x2, fold16), x3);
  while (length >= 16) {
    x3 = _mm_xor_si128(Fold(x3, fold16), load(p));
    p += 16;
    length -= 16;
  }
  uint8_t rest[16];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(rest), x3);
  uint32_t c = 0;
  for (uint8_t b : rest) c = (c >> 8) ^ kEdc[0][(c ^ b) & 0xFF];
  for (int64_t i = 0; i < length; ++i) c = (c >> 8) ^ kEdc[0][(c ^ p[i]) & 0xFF];
  *done = true;
  return c;
}

const bool kHasClmul = [] {
  __builtin_cpu_init();  // this may run before main
  return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}();

#endif

inline uint32_t Load32Le(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

inline void Store32Le(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// ---- GF(2^8) with x^8 + x^4 + x^3 + x^2 + 1 -------------------------------------------------------------

constexpr uint8_t GfTimes2(uint8_t x) { return static_cast<uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1D : 0)); }

// x / (1 + alpha), i.e. division by 3: the inverse of y -> y ^ 2y.
constexpr std::array<uint8_t, 256> MakeDivideBy3() {
  std::array<uint8_t, 256> t{};
  for (int y = 0; y < 256; ++y) t[static_cast<uint8_t>(y ^ GfTimes2(static_cast<uint8_t>(y)))] = static_cast<uint8_t>(y);
  return t;
}

constexpr std::array<uint8_t, 256> kDivideBy3 = MakeDivideBy3();
static_assert(kDivideBy3[3] == 1 && kDivideBy3[0] == 0);

// Eight field elements at once: each byte lane multiplied by alpha.
inline uint64_t GfTimes2Lanes(uint64_t x) {
  return ((x & 0x7F7F7F7F7F7F7F7Full) << 1) ^ (((x >> 7) & 0x0101010101010101ull) * 0x1D);
}

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline void Store64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, sizeof v); }

// Each code has the check equations sum(c_i) = 0 and sum(c_i * alpha^(n-1-i)) = 0 over its n symbols, the two
// parity symbols last. With A = sum of the data and B = sum of d_i * alpha^(n-1-i), the parity is
// p0 = (A + B) / (1 + alpha) and p1 = A + p0. Eight codewords share each 64-bit lane; `sum` holds A and
// `horner` sum(d_i * alpha^(n-2-i)), so B = alpha * horner.
template <size_t kWords>
void FinishParity(const uint64_t (&sum)[kWords], const uint64_t (&horner)[kWords], int codewords, uint8_t* p0,
                  uint8_t* p1) {
  uint8_t a[kWords * 8];
  uint8_t ab[kWords * 8];
  for (size_t w = 0; w < kWords; ++w) {
    Store64(a + 8 * w, sum[w]);
    Store64(ab + 8 * w, sum[w] ^ GfTimes2Lanes(horner[w]));
  }
  for (int k = 0; k < codewords; ++k) {
    const uint8_t first = kDivideBy3[ab[k]];
    p0[k] = first;
    p1[k] = static_cast<uint8_t>(first ^ a[k]);
  }
}

void WriteHeader(uint8_t* out, int64_t sector, uint8_t mode) {
  int minute = 0;
  int second = 0;
  int frame = 0;
  CdCodecLbaToMsf(sector, &minute, &second, &frame);
  out[kHeaderAt] = CdToBcd(minute);
  out[kHeaderAt + 1] = CdToBcd(second);
  out[kHeaderAt + 2] = CdToBcd(frame);
  out[kHeaderAt + 3] = mode;
}

void WriteSubHeader(uint8_t* out, uint8_t file, uint8_t channel, uint8_t subMode, uint8_t coding) {
  const uint8_t sub[4] = {file, channel, subMode, coding};
  std::memcpy(out + kSubHeaderAt, sub, 4);
  std::memcpy(out + kSubHeaderAt + 4, sub, 4);
}

// ---- Mode 2 plan --------------------------------------------------------------------------------------------

constexpr int64_t kNoBound = 0xFFFFFFF;
constexpr int kMaxModeChanges = 30;

struct Mode2Plan {
  int defaultForm = 0;
  int64_t a = kNoBound;
  int64_t b = kNoBound;
  int64_t c = kNoBound;
  int count = 0;
  int64_t sectors[kMaxModeChanges] = {};
  uint8_t bits[kMaxModeChanges] = {};
};

constinit Mode2Plan g_mode2Plan;

// ---- Checks -------------------------------------------------------------------------------------------------

int CheckParity(const uint8_t* raw, bool zeroHeader) {
  uint8_t work[kCdRawSectorSize];
  std::memcpy(work, raw, sizeof work);
  if (zeroHeader) std::memset(work + kHeaderAt, 0, 4);
  int faults = 0;
  CdComputeEccP(work);
  if (std::memcmp(work + kEccPAt, raw + kEccPAt, kEccQAt - kEccPAt) != 0) faults |= kCdFaultEccP;
  // Q covers the P bytes as stored, so that damage there is not counted twice.
  std::memcpy(work + kEccPAt, raw + kEccPAt, kEccQAt - kEccPAt);
  CdComputeEccQ(work);
  if (std::memcmp(work + kEccQAt, raw + kEccQAt, kCdRawSectorSize - kEccQAt) != 0) faults |= kCdFaultEccQ;
  return faults;
}

int CheckSyncAndHeader(const uint8_t* raw, int64_t expectedSector, uint8_t mode) {
  int faults = 0;
  if (std::memcmp(raw, kSync, sizeof kSync) != 0) faults |= kCdFaultSync;
  uint8_t header[kHeaderAt + 4];
  WriteHeader(header, expectedSector, mode);
  if (std::memcmp(raw + kHeaderAt, header + kHeaderAt, 4) != 0) faults |= kCdFaultHeader;
  return faults;
}

}  // namespace

void CdCodecLbaToMsf(int64_t sector, int* minute, int* second, int* frame) {
  const int64_t address = sector < -kCdLeadInSectors ? sector + 450150 : sector + kCdLeadInSectors;
  if (minute) *minute = static_cast<int>(address / 4500);
  if (second) *second = static_cast<int>((address % 4500) / kCdSectorsPerSecond);
  if (frame) *frame = static_cast<int>(address % kCdSectorsPerSecond);
}

uint8_t CdToBcd(int value) {
  const int64_t v = value;
  return static_cast<uint8_t>(v + (v / 10) * 6);
}

uint32_t CdComputeEdc(const void* bytes, int64_t length) {
#ifdef KESTRANE_EDC_CLMUL
  if (kHasClmul && bytes != nullptr) {
    bool done = false;
    const uint32_t c = EdcClmul(static_cast<const uint8_t*>(bytes), length, &done);
    if (done) return c;
  }
#endif
  return CdComputeEdcPortable(bytes, length);
}

uint32_t CdComputeEdcPortable(const void* bytes, int64_t length) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  if (p == nullptr || length <= 0) return 0;
  uint32_t c = 0;
  while (length >= 8) {
    const uint32_t lo = Load32Le(p) ^ c;
    const uint32_t hi = Load32Le(p + 4);
    c = kEdc[7][lo & 0xFF] ^ kEdc[6][(lo >> 8) & 0xFF] ^ kEdc[5][(lo >> 16) & 0xFF] ^ kEdc[4][lo >> 24] ^
        kEdc[3][hi & 0xFF] ^ kEdc[2][(hi >> 8) & 0xFF] ^ kEdc[1][(hi >> 16) & 0xFF] ^ kEdc[0][hi >> 24];
    p += 8;
    length -= 8;
  }
  for (int64_t i = 0; i < length; ++i) c = (c >> 8) ^ kEdc[0][(c ^ p[i]) & 0xFF];
  return c;
}

void CdComputeEccPPortable(uint8_t* sector) {
  // Rows run along the 86 columns, so a whole row advances 86 codewords at once.
  constexpr size_t kWords = (kRowBytes + 7) / 8;
  uint64_t sum[kWords] = {};
  uint64_t horner[kWords] = {};
  const uint8_t* area = sector + kHeaderAt;
  // Words are loaded straight from the sector: the last one of a row runs two bytes into the next row (the last
  // row's into the P parity), lanes the parity never reads.
  static_assert(kHeaderAt + (kPDataRows - 1) * kRowBytes + kWords * 8 <= kCdRawSectorSize);
  for (int r = 0; r < kPDataRows; ++r) {
    const uint8_t* row = area + r * kRowBytes;
    for (size_t w = 0; w < kWords; ++w) {
      const uint64_t v = Load64(row + 8 * w);
      sum[w] ^= v;
      horner[w] = GfTimes2Lanes(horner[w] ^ v);
    }
  }
  FinishParity(sum, horner, kRowBytes, sector + kEccPAt, sector + kEccPAt + kRowBytes);
}

void CdComputeEccQPortable(uint8_t* sector) {
  // Step M gathers symbol M of all 52 codewords (word column M of rows M, M + 1, ... wrapping at 26).
  constexpr size_t kWords = (kQVectorBytes + 7) / 8;
  uint64_t sum[kWords] = {};
  uint64_t horner[kWords] = {};
  const uint8_t* area = sector + kHeaderAt;
  // Lanes are assembled in registers from 16-bit loads (bytes stored one by one and read back as 64-bit words
  // would stall on every read).
  const auto word = [](const uint8_t* at) { return uint64_t{at[0]} | uint64_t{at[1]} << 8; };
  for (int m = 0; m < kQColumns; ++m) {
    const uint16_t* offsets = kQOffsets[m].data();
    for (size_t w = 0; w < kWords; ++w) {
      const size_t n = 4 * w;
      uint64_t v = word(area + offsets[n]) | word(area + offsets[n + 1]) << 16;
      if (n + 2 < kQRows) v |= word(area + offsets[n + 2]) << 32 | word(area + offsets[n + 3]) << 48;
      sum[w] ^= v;
      horner[w] = GfTimes2Lanes(horner[w] ^ v);
    }
  }
  FinishParity(sum, horner, kQVectorBytes, sector + kEccQAt, sector + kEccQAt + kQVectorBytes);
}

#ifdef __SSE2__

namespace {

// Sixteen field elements at once: each byte multiplied by alpha.
inline __m128i GfTimes2Bytes(__m128i x) {
  const __m128i high = _mm_cmplt_epi8(x, _mm_setzero_si128());
  return _mm_xor_si128(_mm_add_epi8(x, x), _mm_and_si128(high, _mm_set1_epi8(0x1D)));
}

// FinishParity for codewords kept in 16-byte lanes.
template <size_t kVectors>
void FinishParityVectors(const __m128i (&sum)[kVectors], const __m128i (&horner)[kVectors], int codewords, uint8_t* p0,
                         uint8_t* p1) {
  alignas(16) uint8_t a[kVectors * 16];
  alignas(16) uint8_t ab[kVectors * 16];
  for (size_t v = 0; v < kVectors; ++v) {
    _mm_store_si128(reinterpret_cast<__m128i*>(a) + v, sum[v]);
    _mm_store_si128(reinterpret_cast<__m128i*>(ab) + v, _mm_xor_si128(sum[v], GfTimes2Bytes(horner[v])));
  }
  for (int k = 0; k < codewords; ++k) {
    const uint8_t first = kDivideBy3[ab[k]];
    p0[k] = first;
    p1[k] = static_cast<uint8_t>(first ^ a[k]);
  }
}

}  // namespace

void CdComputeEccP(uint8_t* sector) {
  constexpr size_t kVectors = (kRowBytes + 15) / 16;
  // As in the portable form, the last load of a row runs into the next row, into lanes the parity never reads.
  static_assert(kHeaderAt + (kPDataRows - 1) * kRowBytes + kVectors * 16 <= kCdRawSectorSize);
  __m128i sum[kVectors], horner[kVectors];
  for (size_t v = 0; v < kVectors; ++v) sum[v] = horner[v] = _mm_setzero_si128();
  const uint8_t* area = sector + kHeaderAt;
  for (int r = 0; r < kPDataRows; ++r) {
    const uint8_t* row = area + r * kRowBytes;
    for (size_t v = 0; v < kVectors; ++v) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 16 * v));
      sum[v] = _mm_xor_si128(sum[v], x);
      horner[v] = GfTimes2Bytes(_mm_xor_si128(horner[v], x));
    }
  }
  FinishParityVectors(sum, horner, kRowBytes, sector + kEccPAt, sector + kEccPAt + kRowBytes);
}

void CdComputeEccQ(uint8_t* sector) {
  constexpr size_t kVectors = (kQVectorBytes + 15) / 16;
  __m128i sum[kVectors], horner[kVectors];
  for (size_t v = 0; v < kVectors; ++v) sum[v] = horner[v] = _mm_setzero_si128();
  const uint8_t* area = sector + kHeaderAt;
  const auto word = [area](uint16_t at) {
    uint16_t w;
    std::memcpy(&w, area + at, sizeof w);  // the lane keeps the bytes in memory order, as the portable form
    return static_cast<int>(w);
  };
  for (int m = 0; m < kQColumns; ++m) {
    const uint16_t* o = kQOffsets[m].data();
    __m128i lanes[kVectors];
    for (size_t v = 0; v < kVectors; ++v) {
      const uint16_t* w = o + 8 * v;
      __m128i x = _mm_cvtsi32_si128(word(w[0]));
      x = _mm_insert_epi16(x, word(w[1]), 1);
      if (8 * v + 2 < kQRows) {
        x = _mm_insert_epi16(x, word(w[2]), 2);
        x = _mm_insert_epi16(x, word(w[3]), 3);
        x = _mm_insert_epi16(x, word(w[4]), 4);
        x = _mm_insert_epi16(x, word(w[5]), 5);
        x = _mm_insert_epi16(x, word(w[6]), 6);
        x = _mm_insert_epi16(x, word(w[7]), 7);
      }
      lanes[v] = x;
    }
    for (size_t v = 0; v < kVectors; ++v) {
      sum[v] = _mm_xor_si128(sum[v], lanes[v]);
      horner[v] = GfTimes2Bytes(_mm_xor_si128(horner[v], lanes[v]));
    }
  }
  FinishParityVectors(sum, horner, kQVectorBytes, sector + kEccQAt, sector + kEccQAt + kQVectorBytes);
}

#else

void CdComputeEccP(uint8_t* sector) { CdComputeEccPPortable(sector); }
void CdComputeEccQ(uint8_t* sector) { CdComputeEccQPortable(sector); }

#endif

void CdEncodeMode1Sector(int64_t sector, const uint8_t* data, uint8_t* out) {
  if (!out) return;
  if (data) std::memcpy(out + kMode1DataAt, data, kCdUserDataSize);
  std::memcpy(out, kSync, sizeof kSync);
  WriteHeader(out, sector, 1);
  Store32Le(out + kMode1EdcAt, CdComputeEdc(out, kMode1EdcAt));
  std::memset(out + kMode1ZeroAt, 0, kEccPAt - kMode1ZeroAt);
  CdComputeEccP(out);
  CdComputeEccQ(out);
}

void CdEncodeMode2Sector(int64_t sector, const uint8_t* data, uint8_t* out) {
  if (!out) return;
  uint8_t file = 0;
  uint8_t subMode = kCdSubModeData;
  if (data) {
    const Mode2Plan& plan = g_mode2Plan;
    if ((sector >= plan.a && sector < plan.b && plan.defaultForm == 1) || (sector >= plan.b && sector < plan.c))
      file = 1;
    for (int i = 0; i < plan.count; ++i) {
      if (plan.sectors[i] == sector) subMode = static_cast<uint8_t>(subMode | plan.bits[i]);
    }
    std::memcpy(out + kMode2DataAt, data, kCdUserDataSize);
  }
  std::memcpy(out, kSync, sizeof kSync);
  WriteSubHeader(out, file, 0, subMode, 0);
  Store32Le(out + kForm1EdcAt, CdComputeEdc(out + kSubHeaderAt, kForm1EdcAt - kSubHeaderAt));
  // The parity of Mode 2 sectors is computed as if the header were zero.
  std::memset(out + kHeaderAt, 0, 4);
  CdComputeEccP(out);
  CdComputeEccQ(out);
  WriteHeader(out, sector, 2);
}

void CdBuildMode2Header(int64_t sector, uint8_t file, uint8_t channel, uint8_t subMode, uint8_t coding,
                        const uint8_t* data, uint8_t* out) {
  if (!out) return;
  std::memcpy(out, kSync, sizeof kSync);
  WriteHeader(out, sector, 2);
  WriteSubHeader(out, file, channel, subMode, coding);
  if (data) std::memcpy(out + kMode2DataAt, data, kCdForm2DataSize);
  Store32Le(out + kForm2EdcAt, CdComputeEdc(out + kSubHeaderAt, kForm2EdcAt - kSubHeaderAt));
}

void CdBuildMode2HeaderFrom(int64_t sector, const uint8_t* block, uint8_t* out) {
  if (!out) return;
  std::memcpy(out, kSync, sizeof kSync);
  WriteHeader(out, sector, 2);
  if (block) std::memcpy(out + kSubHeaderAt, block, kCdMode2BlockSize);
}

void CdResetSectorModeList(int defaultForm) {
  g_mode2Plan = Mode2Plan{};
  g_mode2Plan.defaultForm = defaultForm;
}

void CdSetSectorModeBounds(int64_t a, int64_t b, int64_t c) {
  g_mode2Plan.a = a;
  g_mode2Plan.b = b;
  g_mode2Plan.c = c;
}

void CdAddSectorModeChange(int64_t sector, uint8_t subModeBits) {
  Mode2Plan& plan = g_mode2Plan;
  if (plan.count >= kMaxModeChanges) return;
  plan.sectors[plan.count] = sector;
  plan.bits[plan.count] = subModeBits;
  ++plan.count;
}

int64_t CdExtractUserData(const uint8_t* stored, uint8_t* out, int64_t count, int32_t stride,
                          int32_t userDataOffset) {
  if (!stored || !out || count <= 0) return 0;
  for (int64_t i = 0; i < count; ++i) {
    std::memcpy(out + i * kCdUserDataSize, stored + i * stride + userDataOffset, kCdUserDataSize);
  }
  return count * kCdUserDataSize;
}

int CdCheckMode1Sector(const uint8_t* raw, int64_t expectedSector) {
  int faults = CheckSyncAndHeader(raw, expectedSector, 1);
  if (CdComputeEdc(raw, kMode1EdcAt) != Load32Le(raw + kMode1EdcAt)) faults |= kCdFaultEdc;
  for (int i = kMode1ZeroAt; i < kEccPAt; ++i) {
    if (raw[i] != 0) {
      faults |= kCdFaultZeroField;
      break;
    }
  }
  return faults | CheckParity(raw, false);
}

int CdCheckMode2Form1Sector(const uint8_t* raw, int64_t expectedSector) {
  int faults = CheckSyncAndHeader(raw, expectedSector, 2);
  if (std::memcmp(raw + kSubHeaderAt, raw + kSubHeaderAt + 4, 4) != 0) faults |= kCdFaultSubHeader;
  if (CdComputeEdc(raw + kSubHeaderAt, kForm1EdcAt - kSubHeaderAt) != Load32Le(raw + kForm1EdcAt))
    faults |= kCdFaultEdc;
  return faults | CheckParity(raw, true);
}

namespace {

// True when ImageGetSectorKind computes the EDC of the document's sectors (raw 2352-byte Mode 1 sectors).
bool ImageGetSectorKindChecksEdc(const CImageDocument* document) {
  return document && document->inputType != kImageTypeIso && document->inputType != kImageTypeQvf &&
         document->sectorSize == kCdRawSectorSize && !document->rawMode2 && document->userDataOffset == kMode1DataAt;
}

}  // namespace

int ImageGetSectorKind(const CImageDocument* document, const uint8_t* raw, int64_t sector) {
  if (!document || !raw) return 1;
  if (document->inputType == kImageTypeIso || document->inputType == kImageTypeQvf ||
      document->sectorSize == 2048)
    return 1;
  if (document->rawMode2) return 16;
  if (document->sectorSize == kCdMode2BlockSize) return 4;
  if (document->sectorSize == 2448 && document->userDataOffset == kMode2DataAt) return 4;
  if (document->sectorSize == kCdRawSectorSize) {
    if (raw[15] == 2 || document->userDataOffset == kMode2DataAt) return 4;
    if (document->userDataOffset == kMode1DataAt &&
        CdComputeEdc(raw, kMode1EdcAt) != Load32Le(raw + kMode1EdcAt)) {
      EdcErrorListAdd(sector);
      return 2;
    }
  }
  return 1;
}

int64_t ImageCheckEdcRange(const CImageDocument* document, const uint8_t* raw, int64_t firstSector, int64_t count) {
  if (!document || !raw || document->sectorSize <= 0) return 0;
  const int64_t stride = document->sectorSize;
  // Mode 1 sectors of a raw image: the EDCs are computed on all cores, the mismatches recorded in order.
  if (ImageGetSectorKindChecksEdc(document) && count >= 64 && AbortCodeGet() != kAbortCancelled) {
    std::vector<uint8_t> bad(static_cast<size_t>(count), 0);
    ParallelFor(count, 32, [&](int64_t begin, int64_t end) {
      for (int64_t i = begin; i < end; ++i) {
        const uint8_t* sector = raw + i * stride;
        bad[static_cast<size_t>(i)] =
            sector[15] != 2 && CdComputeEdc(sector, kMode1EdcAt) != Load32Le(sector + kMode1EdcAt);
      }
    });
    for (int64_t i = 0; i < count; ++i)
      if (bad[static_cast<size_t>(i)]) EdcErrorListAdd(firstSector + i);
    return count;
  }
  int64_t done = 0;
  for (; done < count; ++done) {
    if (AbortCodeGet() == kAbortCancelled) break;
    ImageGetSectorKind(document, raw + done * stride, firstSector + done);
  }
  return done;
}

int64_t ImageCheckEdcAndExtract(const CImageDocument* document, const uint8_t* raw, int64_t firstSector,
                                int64_t count, uint8_t* out) {
  if (!document || !raw || !out || count <= 0 || document->sectorSize <= 0) return 0;
  const int32_t stride = document->sectorSize;
  const int32_t offset = document->userDataOffset;
  if (!document->edcCheck || !ImageGetSectorKindChecksEdc(document) || count < 64 ||
      AbortCodeGet() == kAbortCancelled) {
    if (document->edcCheck) ImageCheckEdcRange(document, raw, firstSector, count);
    return CdExtractUserData(raw, out, count, stride, offset);
  }
  // Each core checks and copies its own sectors while they are in its cache; the mismatches are recorded in
  // order afterwards.
  std::vector<uint8_t> bad(static_cast<size_t>(count), 0);
  ParallelFor(count, 32, [&](int64_t begin, int64_t end) {
    for (int64_t i = begin; i < end; ++i) {
      const uint8_t* sector = raw + i * stride;
      bad[static_cast<size_t>(i)] =
          sector[15] != 2 && CdComputeEdc(sector, kMode1EdcAt) != Load32Le(sector + kMode1EdcAt);
      std::memcpy(out + i * kCdUserDataSize, sector + offset, kCdUserDataSize);
    }
  });
  for (int64_t i = 0; i < count; ++i)
    if (bad[static_cast<size_t>(i)]) EdcErrorListAdd(firstSector + i);
  return count * kCdUserDataSize;
}

int32_t EdcErrorListAdd(int64_t sector) {
  return g_edcErrorList.Add(reinterpret_cast<void*>(static_cast<intptr_t>(sector)));
}

void EdcErrorListClear() { g_edcErrorList.RemoveAll(); }

int32_t EdcErrorListCount() { return g_edcErrorList.GetCount(); }

int64_t EdcErrorListGet(int32_t index) {
  if (index < 0 || index >= g_edcErrorList.GetCount()) return -1;
  return static_cast<int64_t>(reinterpret_cast<intptr_t>(g_edcErrorList.GetAt(index)));
}
