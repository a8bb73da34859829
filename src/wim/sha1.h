// SHA-1 of the data streams and metadata resources of a WIM archive.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kSha1DigestBytes = 20;

struct CSha1Context {
  uint32_t state[5];
  uint32_t blocksLow;   // 64-byte blocks compressed so far, low half
  uint32_t blocksHigh;  // and high half
  uint32_t held;        // bytes waiting in `block` (0-63)
  uint8_t block[64];
};

void Sha1Init(CSha1Context* context);
// Sha1Init and no bytes held.
void Sha1Reset(CSha1Context* context);
void Sha1Update(CSha1Context* context, const void* bytes, size_t n);
// Pads, writes the 20-byte digest and starts the context afresh.
void Sha1Final(CSha1Context* context, uint8_t digest[kSha1DigestBytes]);
// The digest of one buffer.
void Sha1Buffer(const void* bytes, size_t n, uint8_t digest[kSha1DigestBytes]);

// The block function: the processor's SHA extensions when it has them (chosen once, at first use), else
// portable code. Both are reachable for tests.
enum : int { kSha1Chosen = 0, kSha1Portable = 1, kSha1Hardware = 2 };
// 1 when this processor has the SHA extensions (and the hardware block function is the one chosen).
int Sha1HardwareAvailable();
// Runs `count` 64-byte blocks through the state with one method (kSha1Hardware without the extensions: portable).
void Sha1CompressBlocks(uint32_t state[5], const uint8_t* blocks, size_t count, int method);
