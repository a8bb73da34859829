// A document over fuzz input that holds an ISO 9660 image from sector 16 on: the system area before it reads as
// zeros and the last sector is completed with zeros, so that small seeds reach the descriptors. The descriptor set
// is scanned as the opener scans it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "image/document.h"
#include "session/document.h"
#include "image/sectors.h"
#include "tree/iso9660.h"

// Owns the padded copy of the input the document reads from; null document when nothing could be set up.
struct FuzzIsoInput {
  std::vector<uint8_t> bytes;
  CImageDocument* document = nullptr;
};

inline FuzzIsoInput FuzzOpenIsoInput(const uint8_t* data, size_t size) {
  constexpr int64_t kSystemAreaSectors = 16;
  constexpr int kDescriptorSectors = 50;
  FuzzIsoInput input;
  if (size == 0) return input;
  input.bytes.assign((size + 2047) / 2048 * 2048, 0);
  std::memcpy(input.bytes.data(), data, size);
  FILE* stream = fmemopen(input.bytes.data(), input.bytes.size(), "rb");
  if (!stream) return input;
  CImageDocument* document = ImageAlloc();
  if (!document) {
    std::fclose(stream);
    return input;
  }
  document->input = stream;
  document->inputType = kImageTypeIso;
  document->sectorSize = 2048;
  document->headerSize = -kSystemAreaSectors * 2048;
  document->readableLimit = kSystemAreaSectors + static_cast<int64_t>(input.bytes.size() / 2048);
  document->quiet = 1;
  IsoResetParseState(document);
  uint8_t sector[2048];
  for (int64_t lba = kSystemAreaSectors; lba < kSystemAreaSectors + kDescriptorSectors; ++lba) {
    if (ImageReadSectors(document, lba, sector, 1) != 1) break;
    const int result = IsoParseVolumeDescriptors(document, lba, sector);
    if (result == kIsoDescriptorTerminator || result == kIsoDescriptorHighSierra) break;
  }
  input.document = document;
  return input;
}
