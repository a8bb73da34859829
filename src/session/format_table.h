// The image-format table: one row per optical image layout, the row index being the image type code. This is
// the one place where the rows meet the readers and writers of every format.
#pragma once

#include <cstdint>

#include "image/format_row.h"

// The whole table (kImageFormatCount rows); documents point at it.
const CImageFormatInfo* ImageFormatTable();
const CImageFormatInfo* ImageFormatGet(int32_t type);
// The first row whose extension equals `extension` ignoring case; 2 (QVF) for "qdi" and "exe"; else -1.
int32_t ImageFormatFindByExtension(const wchar_t* extension);
