// Lzma86 framing and the x86 branch filter around the LZMA SDK's one-call coder.
#include "qvf/lzma86.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

#include <lzma/LzmaDec.h>
#include <lzma/LzmaEnc.h>

static_assert(kLzma86Ok == SZ_OK && kLzma86ErrorData == SZ_ERROR_DATA && kLzma86ErrorMem == SZ_ERROR_MEM &&
              kLzma86ErrorUnsupported == SZ_ERROR_UNSUPPORTED && kLzma86ErrorParam == SZ_ERROR_PARAM &&
              kLzma86ErrorInputEof == SZ_ERROR_INPUT_EOF && kLzma86ErrorOutputEof == SZ_ERROR_OUTPUT_EOF);
static_assert(kLzma86HeaderSize == 1 + LZMA_PROPS_SIZE + 8);

namespace {

constexpr size_t kPropsOffset = 1;
constexpr size_t kSizeOffset = 1 + LZMA_PROPS_SIZE;

void* SdkAlloc(void*, size_t size) { return size == 0 ? nullptr : std::malloc(size); }
void SdkFree(void*, void* address) { std::free(address); }
ISzAlloc g_sdkAlloc = {SdkAlloc, SdkFree};

struct FreeDeleter {
  void operator()(uint8_t* p) const { std::free(p); }
};

uint64_t LoadLe64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

void StoreLe64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Near calls and jumps have displacements whose top byte is all zeros or all ones; only those are rewritten.
bool IsNearTopByte(uint8_t b) { return b == 0x00 || b == 0xFF; }

// The x86 branch filter: the 32-bit displacement after each E8 (call) or E9 (jmp) opcode becomes an absolute
// target when encoding (relative again when decoding), so repeated calls to one routine compress as repeats.
// `recent` remembers, for the last few bytes, which were E8/E9 left as they were (low bits) and whether their
// fourth following byte looked like a displacement top (0x10 bits); it vetoes conversions that overlap an
// earlier candidate so that decoding makes exactly the same choices as encoding did. Positions count from the
// start of the buffer, modulo 2^32. The last four bytes can hold no whole operand and stay untouched.
void X86Convert(uint8_t* data, size_t size, bool encoding) {
  static constexpr bool kConvertible[8] = {true, true, true, false, true, false, false, false};
  static constexpr unsigned kProbeByte[8] = {0, 1, 2, 2, 3, 3, 3, 3};
  if (size < 5) return;
  const size_t lastStart = size - 5;
  uint32_t recent = 0;
  size_t previous = 0;
  bool havePrevious = false;
  size_t pos = 0;
  while (pos <= lastStart) {
    if ((data[pos] & 0xFE) != 0xE8) {
      ++pos;
      continue;
    }
    const size_t gap = havePrevious ? pos - previous : 6;
    previous = pos;
    havePrevious = true;
    if (gap > 5) {
      recent = 0;
    } else {
      for (size_t step = 0; step < gap; ++step) recent = (recent & 0x77) << 1;
    }

    const uint8_t top = data[pos + 4];
    const uint32_t window = recent >> 1;
    if (IsNearTopByte(top) && window < 8 && kConvertible[window]) {
      uint32_t operand = uint32_t(data[pos + 1]) | uint32_t(data[pos + 2]) << 8 | uint32_t(data[pos + 3]) << 16 |
                         uint32_t(top) << 24;
      const uint32_t next = static_cast<uint32_t>(pos) + 5;
      uint32_t converted;
      for (;;) {
        converted = encoding ? operand + next : operand - next;
        if (recent == 0) break;
        const unsigned shift = 24 - kProbeByte[window] * 8;
        if (!IsNearTopByte(static_cast<uint8_t>(converted >> shift))) break;
        operand = converted ^ ((uint32_t(1) << shift << 8) - 1);
      }
      // Keep 25 significant bits and sign-extend them into the top byte.
      data[pos + 1] = static_cast<uint8_t>(converted);
      data[pos + 2] = static_cast<uint8_t>(converted >> 8);
      data[pos + 3] = static_cast<uint8_t>(converted >> 16);
      data[pos + 4] = (converted & 0x01000000) ? 0xFF : 0x00;
      pos += 5;
      recent = 0;
    } else {
      recent |= IsNearTopByte(top) ? 0x11 : 0x01;
      ++pos;
    }
  }
}

}  // namespace

int Lzma86_Encode(uint8_t* dest, size_t* destLen, const uint8_t* src, size_t srcLen, int level, uint32_t dictSize,
                  int filterMode) {
  const size_t capacity = *destLen;
  *destLen = 0;
  if (filterMode != kLzma86FilterNone && filterMode != kLzma86FilterX86) return SZ_ERROR_PARAM;
  if (capacity < kLzma86HeaderSize) return SZ_ERROR_OUTPUT_EOF;

  const uint8_t* input = src;
  std::unique_ptr<uint8_t, FreeDeleter> filtered;
  if (filterMode == kLzma86FilterX86 && srcLen > 0) {
    filtered.reset(static_cast<uint8_t*>(std::malloc(srcLen)));
    if (!filtered) return SZ_ERROR_MEM;
    std::copy(src, src + srcLen, filtered.get());
    X86Convert(filtered.get(), srcLen, true);
    input = filtered.get();
  }

  CLzmaEncProps props;
  LzmaEncProps_Init(&props);
  props.level = level;
  props.dictSize = dictSize;
  // A dictionary larger than the input buys nothing and costs its match-finder tables on every call.
  props.reduceSize = srcLen < UINT32_MAX ? static_cast<UInt32>(srcLen) : UINT32_MAX;
  SizeT packedLen = capacity - kLzma86HeaderSize;
  SizeT propsLen = LZMA_PROPS_SIZE;
  const SRes res = LzmaEncode(dest + kLzma86HeaderSize, &packedLen, input, srcLen, &props, dest + kPropsOffset,
                              &propsLen, 0, nullptr, &g_sdkAlloc, &g_sdkAlloc);
  if (res != SZ_OK) return res;
  if (propsLen != LZMA_PROPS_SIZE) return SZ_ERROR_PARAM;
  dest[0] = static_cast<uint8_t>(filterMode);
  StoreLe64(dest + kSizeOffset, srcLen);
  *destLen = kLzma86HeaderSize + packedLen;
  return SZ_OK;
}

int Lzma86_GetUnpackSize(const uint8_t* src, size_t srcLen, uint64_t* unpackSize) {
  if (srcLen < kLzma86HeaderSize) return SZ_ERROR_INPUT_EOF;
  *unpackSize = LoadLe64(src + kSizeOffset);
  return SZ_OK;
}

int Lzma86_Decode(uint8_t* dest, size_t* destLen, const uint8_t* src, size_t* srcLen) {
  const size_t capacity = *destLen;
  const size_t available = *srcLen;
  *destLen = 0;
  *srcLen = 0;
  if (available < kLzma86HeaderSize) return SZ_ERROR_INPUT_EOF;
  const uint8_t filter = src[0];
  if (filter != kLzma86FilterNone && filter != kLzma86FilterX86) return SZ_ERROR_UNSUPPORTED;
  const uint64_t declared = LoadLe64(src + kSizeOffset);
  if (declared > capacity) return SZ_ERROR_OUTPUT_EOF;

  SizeT produced = static_cast<SizeT>(declared);
  SizeT consumed = available - kLzma86HeaderSize;
  ELzmaStatus status;
  const SRes res = LzmaDecode(dest, &produced, src + kLzma86HeaderSize, &consumed, src + kPropsOffset,
                              LZMA_PROPS_SIZE, LZMA_FINISH_ANY, &status, &g_sdkAlloc);
  if (res != SZ_OK) return res;
  // An end marker before the declared size leaves the rest of the output unwritten: a damaged stream.
  if (produced != declared) return SZ_ERROR_DATA;
  if (filter == kLzma86FilterX86) X86Convert(dest, produced, false);
  *destLen = produced;
  *srcLen = kLzma86HeaderSize + consumed;
  return SZ_OK;
}
