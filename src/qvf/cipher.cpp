#include "qvf/cipher.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "runtime/crc.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "runtime/ui.h"

namespace {

constexpr int kMaxPositions = 2 * kQvfCipherPiece;
// Characters read at the password prompt.
constexpr int kPromptChars = 128;

size_t TableOffset(int n) { return static_cast<size_t>(n - 1) * static_cast<size_t>(n); }

void PutU32(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
  p[2] = static_cast<uint8_t>(value >> 16);
  p[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// Moves the cursor forward over [lo, hi], wrapping from hi to lo, and stops on the s-th free position it meets
// (the position it starts on is not counted). Free positions recur with a period of their count, so s is
// reduced by it first: every step then walks the range at most once.
int Advance(int cursor, int s, int lo, int hi, const bool* used) {
  int freeCount = 0;
  for (int p = lo; p <= hi; ++p) freeCount += used[p] ? 0 : 1;
  if (freeCount == 0) return cursor;  // never happens: every caller leaves a free position
  int left = (s - 1) % freeCount + 1;
  for (;;) {
    cursor = cursor >= hi || cursor < lo ? lo : cursor + 1;
    if (!used[cursor] && --left == 0) return cursor;
  }
}

// Derives T_n (2n nibble positions) from the password. Short blocks depend on the first byte only; longer ones
// spread the other bytes over their upper positions, then place the lower 32 with a step from the first byte,
// and, when the first byte says so, shuffle the whole table once more.
void BuildTable(const uint8_t* password, int32_t length, int n, uint8_t* table) {
  const int t = 2 * n;
  const int first = password[0];
  bool used[kMaxPositions] = {};
  if (n <= 32) {
    int cursor = std::min(first / 32, t - 1);
    for (int k = 0; k < t; ++k) {
      cursor = Advance(cursor, 11, 0, t - 1, used);
      table[k] = static_cast<uint8_t>(cursor);
      used[cursor] = true;
    }
    return;
  }
  int cursor = 32 + first / 32;
  table[0] = static_cast<uint8_t>(cursor);
  used[cursor] = true;
  for (int k = 1; k <= t - 33; ++k) {
    int s = k < length && password[k] != 0 ? password[k] : 11;
    cursor = Advance(cursor, s, 32, t - 1, used);
    table[k] = static_cast<uint8_t>(cursor);
    used[cursor] = true;
  }
  const int lowStep = (first & 7) != 0 ? (first & 7) : 7;
  for (int k = t - 32; k < t; ++k) {
    cursor = Advance(cursor, lowStep, 0, t - 1, used);
    table[k] = static_cast<uint8_t>(cursor);
    used[cursor] = true;
  }
  const int shuffleStep = first & 0x18;
  if (shuffleStep == 0) return;
  uint8_t previous[kMaxPositions];
  std::memcpy(previous, table, static_cast<size_t>(t));
  std::fill(used, used + t, false);
  cursor = 0;
  for (int k = 0; k < t; ++k) {
    cursor = Advance(cursor, shuffleStep, 0, t - 1, used);
    table[k] = previous[cursor];
    used[cursor] = true;
  }
}

void InvertTable(const uint8_t* table, int n, uint8_t* inverse) {
  for (int k = 0; k < 2 * n; ++k) inverse[table[k]] = static_cast<uint8_t>(k);
}

// Output nibble k of an n-byte piece is input nibble map[k]. The input is split into nibbles first, so input
// and output may be the same bytes.
void PermutePiece(const uint8_t* map, const uint8_t* input, uint8_t* output, int n) {
  uint8_t nibbles[kMaxPositions];
  for (int i = 0; i < n; ++i) {
    nibbles[2 * i] = input[i] & 0x0F;
    nibbles[2 * i + 1] = input[i] >> 4;
  }
  for (int i = 0; i < n; ++i)
    output[i] = static_cast<uint8_t>(nibbles[map[2 * i]] | nibbles[map[2 * i + 1]] << 4);
}

void PermuteBuffer(const uint8_t* tables, const uint8_t* input, uint8_t* output, size_t length) {
  size_t done = 0;
  while (done < length) {
    int n = static_cast<int>(std::min<size_t>(kQvfCipherPiece, length - done));
    PermutePiece(tables + TableOffset(n), input + done, output + done, n);
    done += static_cast<size_t>(n);
  }
}

}  // namespace

const uint8_t* QvfCipherTable(const CQvfCipher* cipher, int n) {
  if (!cipher || !cipher->ready || n < 1 || n > kQvfCipherPiece) return nullptr;
  return cipher->forward + TableOffset(n);
}

int QvfCipherBuildTables(CQvfCipher* cipher, const char* password, int32_t length) {
  if (!cipher) return 0;
  cipher->ready = 0;
  if (!password || length < 1) return 0;
  const auto* bytes = reinterpret_cast<const uint8_t*>(password);
  for (int n = 1; n <= kQvfCipherPiece; ++n) {
    BuildTable(bytes, length, n, cipher->forward + TableOffset(n));
    InvertTable(cipher->forward + TableOffset(n), n, cipher->inverse + TableOffset(n));
  }
  cipher->ready = 1;
  return 1;
}

void QvfCipherFree(CQvfCipher* cipher) {
  if (!cipher) return;
  cipher->ready = 0;
}

int QvfCipherEncryptBuffer(const CQvfCipher* cipher, const uint8_t* input, uint8_t* output, size_t length) {
  if (!cipher || !cipher->ready) return 0;
  if (length == 0) return 1;
  if (!input || !output) return 0;
  PermuteBuffer(cipher->forward, input, output, length);
  return 1;
}

int QvfCipherDecryptBuffer(const CQvfCipher* cipher, const uint8_t* input, uint8_t* output, size_t length) {
  if (!cipher || !cipher->ready) return 0;
  if (length == 0) return 1;
  if (!input || !output) return 0;
  PermuteBuffer(cipher->inverse, input, output, length);
  return 1;
}

int QvfCipherMakeCheckBlock(const CQvfCipher* cipher, uint8_t block[kQvfCheckBlockSize]) {
  if (!cipher || !cipher->ready || !block) return 0;
  uint8_t sample[kQvfCheckSampleSize];
  srandom(SysGetTickCountMs());
  for (uint8_t& byte : sample) byte = static_cast<uint8_t>(rand() & 0xFF);
  PutU32(block, 3);
  PutU32(block + 4, kQvfCheckBlockSize);
  PutU32(block + 8, 0);
  PutU32(block + 12, Crc32Compute(sample, sizeof sample));
  PermutePiece(cipher->forward + TableOffset(kQvfCipherPiece), sample, block + kQvfCheckSampleOffset,
               kQvfCipherPiece);
  return 1;
}

int QvfCipherTestCheckBlock(const uint8_t* block, const char* password, int32_t length) {
  if (!block || !password || length < 1) return 0;
  // Only T_128 is needed, so the full set of tables is not built for a candidate.
  uint8_t table[kMaxPositions];
  uint8_t inverse[kMaxPositions];
  BuildTable(reinterpret_cast<const uint8_t*>(password), length, kQvfCipherPiece, table);
  InvertTable(table, kQvfCipherPiece, inverse);
  uint8_t sample[kQvfCheckSampleSize];
  PermutePiece(inverse, block + kQvfCheckSampleOffset, sample, kQvfCipherPiece);
  return Crc32Compute(sample, sizeof sample) == GetU32(block + 12) ? 1 : 0;
}

int ImageAskPassword(int32_t kind, const uint8_t* checkBlock, CImagePassword* accepted) {
  if (!accepted || !UiInteractive()) return 0;
  const int32_t limit = kind == kPasswordForQvf   ? kQvfPasswordMax
                        : kind == kPasswordForIsz ? kIszPasswordMax
                                                  : kImagePasswordMax;
  const bool tested = kind == kPasswordForQvf && checkBlock != nullptr;
  wchar_t typed[kPromptChars + 1];
  for (;;) {
    const wchar_t* candidate = nullptr;
    bool fromPrompt = false;
    wchar_t* remembered = UiOpenPassword();
    if (remembered && remembered[0] != 0) {
      candidate = remembered;
    } else {
      UiPrintText(L"Please input password:");
      candidate = UiReadPassword(typed, kPromptChars + 1);
      if (!candidate) return 0;  // end of input gives up
      // A terminal gets its line break from the prompt reader; piped input was not echoed either.
      if (!isatty(STDIN_FILENO)) UiPrintText(L"\r\n");
      fromPrompt = true;
    }
    CImagePassword bytes{};
    bool right = PasswordCopyChecked(candidate, bytes.bytes, 1, limit) != 0;
    if (right) {
      bytes.length = static_cast<int32_t>(std::strlen(bytes.bytes));
      if (tested) right = QvfCipherTestCheckBlock(checkBlock, bytes.bytes, bytes.length) != 0;
    }
    if (right) {
      // The typed password also serves later opens of the same run, as -password would.
      size_t chars = std::wcslen(candidate);
      if (fromPrompt && remembered && chars < static_cast<size_t>(kUiOpenPasswordChars)) {
        std::wmemcpy(remembered, candidate, chars);
        remembered[chars] = 0;
      }
      *accepted = bytes;
      return 1;
    }
    // With -y the answer would always be Yes: a wrong password is not asked for again.
    if (UiAssumeYes()) return 0;
    if (UiAsk(L"Password wrong! Do you want to try again?", kAskYes | kAskNo) != kAskYes) return 0;
    if (remembered) remembered[0] = 0;
  }
}
