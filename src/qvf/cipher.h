// The QVF password scrambling: stored chunks (data and CRC together) are scrambled by permuting the nibbles of
// every 128-byte piece with a table derived from the password bytes. It hides the data from a casual look and
// tells a right password from a wrong one; it is not strong protection. Also the password check block (typed
// block 3) and ImageAskPassword, the console prompt shared by QVF and ISZ images.
//
// Nothing here knows CQvfContext: the container keeps a CQvfCipher and hands plain buffers in.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/memory.h"

// Largest piece scrambled with one table; a buffer is cut into pieces of this size, the last one shorter.
inline constexpr int kQvfCipherPiece = 128;
// Bytes of the password check block (typed block 3), header included.
inline constexpr int kQvfCheckBlockSize = 144;
// Bytes of the scrambled random sample inside the check block, and where it starts.
inline constexpr int kQvfCheckSampleSize = 128;
inline constexpr int kQvfCheckSampleOffset = 16;
// Longest password of a QVF stream, in multibyte bytes.
inline constexpr int kQvfPasswordMax = 64;

// Derived tables of one password and the scratch buffer the container (de)scrambles chunks through. A normal
// C++ object: value-initialise it (CQvfCipher cipher{}) and let it go out of scope, or call QvfCipherFree.
struct CQvfCipher {
  int32_t ready;  // 1 once the tables are built
  // T_n for n = 1..128 back to back: T_n (2n nibble positions) starts at (n - 1) * n. Scrambled nibble k is the
  // plain nibble forward[...][k]; inverse holds the reverse mapping for unscrambling.
  uint8_t forward[kQvfCipherPiece * (kQvfCipherPiece + 1)];
  uint8_t inverse[kQvfCipherPiece * (kQvfCipherPiece + 1)];
};

// The 2n entries of T_n (n = 1..128); null for another n or before the tables are built.
const uint8_t* QvfCipherTable(const CQvfCipher* cipher, int n);

// Derives T_1..T_128 from `length` password bytes (at least 1). 1, or 0 for an empty password (the cipher is
// then left not ready).
int QvfCipherBuildTables(CQvfCipher* cipher, const char* password, int32_t length);
// Forgets the tables; null is accepted.
void QvfCipherFree(CQvfCipher* cipher);

// Scrambles `length` bytes from input to output, 128 bytes at a time (the last piece of n bytes with T_n).
// Input and output may be the same buffer, not overlap otherwise. 1, or 0 when the tables are not built.
int QvfCipherEncryptBuffer(const CQvfCipher* cipher, const uint8_t* input, uint8_t* output, size_t length);
// The reverse of QvfCipherEncryptBuffer with the same piece cutting. 1, or 0 when the tables are not built.
int QvfCipherDecryptBuffer(const CQvfCipher* cipher, const uint8_t* input, uint8_t* output, size_t length);

// Fills a 144-byte check block: u32 3, u32 144, u32 0, u32 CRC-32 of 128 random bytes R, then R scrambled with
// T_128. R is the low byte of successive rand() values after srandom(SysGetTickCountMs()). 1, or 0 when the
// tables are not built.
int QvfCipherMakeCheckBlock(const CQvfCipher* cipher, uint8_t block[kQvfCheckBlockSize]);
// 1 when `length` password bytes unscramble the stored sample of `block` (kQvfCheckBlockSize bytes) to bytes
// whose CRC-32 equals the stored CRC; 0 otherwise (an empty password included). Only the sample and the CRC
// are read: the caller has checked type, length and the zero word.
int QvfCipherTestCheckBlock(const uint8_t* block, const char* password, int32_t length);

// What kind of image asks for its password: it decides the length limit and whether a check block is tested.
enum : int32_t {
  kPasswordForOther = 0,  // up to 256 bytes, no test
  kPasswordForQvf = 1,    // up to 64 bytes, tested against the check block
  kPasswordForIsz = 2,    // up to 32 bytes, no test
};

// Longest password any image accepts, and the longest of an ISZ image, in multibyte bytes.
inline constexpr int kImagePasswordMax = 256;
inline constexpr int kIszPasswordMax = 32;

// The password the user gave, as multibyte bytes with a NUL after them.
struct CImagePassword {
  int32_t length;
  char bytes[kImagePasswordMax + 1];
};

// Asks for an image's password on the console. The candidate is the -password of the settings when given,
// else a line typed at "Please input password:" with echo off. A candidate of 0 or more than the kind's limit
// bytes, or one that fails `checkBlock` (kQvfCheckBlockSize bytes; tested only for kPasswordForQvf and only
// when not null), is wrong: the user is asked "Password wrong! Do you want to try again?" and Yes forgets
// -password and prompts again. Returns 1 with the accepted bytes in `accepted`; 0 when the user answers No,
// the input ends, -y is in force after a wrong password (never asked again), outside console mode, or when
// `accepted` is null. The caller keeps the bytes: for QVF as the stream's password (QvfCipherBuildTables), for
// ISZ in its chunk map, and in every case as the document's save password.
int ImageAskPassword(int32_t kind, const uint8_t* checkBlock, CImagePassword* accepted);
