// Checksums and bit counts shared by several formats: the CRC-32 of QVF headers, chunks and the multisession
// block, the CRC-16/CCITT of CD-TEXT packs and UDF descriptor tags, the CRC-32C of VHDX headers, and the
// Adler-32 of zlib streams, and the trailing-zero counts of the VHDX and WIM readers.
#pragma once

#include <cstddef>
#include <cstdint>

// CRC-32 (reflected polynomial 0x04C11DB7, initial value and result inverted) of `length` bytes.
uint32_t Crc32Compute(const void* bytes, size_t length);
// Continues a CRC-32: `crc` is the finished CRC of the bytes before (0 for none), so
// Crc32Update(Crc32Compute(a), b) equals the CRC-32 of a followed by b.
uint32_t Crc32Update(uint32_t crc, const void* bytes, size_t length);

// CRC-16 with polynomial 0x1021, not reflected, from `initial`, with no final inversion (callers invert where
// their format asks).
uint16_t Crc16CcittUpdate(uint16_t initial, const void* bytes, size_t length);

// CRC-32C (Castagnoli, reflected polynomial 0x82F63B78): `crc` is the finished CRC of the bytes before (0 for
// none), so Crc32cUpdate(0, data, n) is the standard CRC-32C of data.
uint32_t Crc32cUpdate(uint32_t crc, const void* bytes, size_t length);
// The CRC-32C of `length` bytes with the four bytes at `fieldOffset` taken as zeros (a stored checksum field).
uint32_t Crc32cWithZeroedField(uint32_t crc, const void* bytes, size_t length, size_t fieldOffset);

// Adler-32 (RFC 1950): `adler` is the checksum of the bytes before (1 for none).
uint32_t Adler32Update(uint32_t adler, const void* bytes, size_t length);

// Trailing zero bits of `value`; 32 for 0.
int CountTrailingZeros32(uint32_t value);
// Trailing zero bits of `value`; 64 for 0.
int CountTrailingZeros64(uint64_t value);
