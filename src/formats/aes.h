// AES (FIPS-197) block cipher with 128-, 192- and 256-bit keys, used in ECB mode to decipher the chunks of
// encrypted ISZ images. The lookup tables are built once, before first use, and only read afterwards.
#pragma once

#include <cstdint>

struct CAesContext {
  int32_t keyLength;         // 16, 24 or 32
  uint32_t encryptKeys[60];  // round keys of the cipher
  uint32_t decryptKeys[60];  // round keys of the equivalent inverse cipher
};

// Builds the process-wide tables; later calls do nothing. Every other routine calls it too.
void AesGenerateTables();
// Keys the context with the zero-terminated `key` text, zero-padded (or cut) to `keyLength` bytes: 0, or -1
// (the context unchanged) when keyLength is not 16, 24 or 32.
int AesSetKey(CAesContext* context, const char* key, int32_t keyLength);
// The same with `keyLength` raw key bytes.
int AesSetKeyBytes(CAesContext* context, const uint8_t* key, int32_t keyLength);
// One 16-byte block; output and input may be the same buffer.
void AesDecryptBlock(const CAesContext* context, uint8_t* output, const uint8_t* input);
void AesEncryptBlock(const CAesContext* context, uint8_t* output, const uint8_t* input);
