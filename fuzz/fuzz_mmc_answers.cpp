// Arbitrary drive answers (disc and track information, TOC, configuration features, format capacities, mode
// pages, DVD and BD disc structures, ATIP) fed to the parsers of the MMC layer and the media detection.
#include <cstdint>
#include <cstring>
#include <vector>

#include "burner/media.h"
#include "burner/mmc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t selector = data[0];
  // An exact-size copy, so that any read past the answer is caught.
  std::vector<uint8_t> answer(data + 1, data + size);
  const uint8_t* a = answer.empty() ? nullptr : answer.data();
  const uint32_t n = static_cast<uint32_t>(answer.size());
  int lss = 0, status = 0;
  MmcParseDiscStatus(a, n, &lss, &status);
  uint32_t address = 0, free = 0, blocks = 0, parameter = 0;
  MmcParseNextWritable(a, n, selector & 1, &address, &free);
  MmcParseCurrentFeature(a, n);
  MmcParseFormatCapacity(a, n, selector >> 2 & 0x3F, selector & 3, &blocks, &parameter);
  uint8_t tracks[100];
  uint32_t addresses[100];
  MmcParseToc(a, n, tracks, addresses, 100);
  MmcParseWriteParametersPage(a, n);
  MediaCodeOfAtip(a, n);
  MediaCodeOfDvdStructure(a, n);
  MediaRefineByBdStructure(selector, a, n);
  MediaRefineByBdStructure(255, a, n);
  return 0;
}
