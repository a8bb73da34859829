// zlib as the reference deflate coder of the tests: raw streams (no header, window bits -15).
#pragma once

#include <zlib.h>

#include <cstdint>
#include <vector>

// `data` compressed by zlib at `level` with `strategy` as one raw deflate stream.
std::vector<uint8_t> ZlibRawDeflate(const std::vector<uint8_t>& data, int level = 6,
                                    int strategy = Z_DEFAULT_STRATEGY);
