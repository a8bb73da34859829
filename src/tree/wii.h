// Wii optical discs: no ISO 9660 file system, but a disc header that names the game. The mount step recognises
// such an image last, so that it can still be listed, converted and burned as a whole, with the game title as
// its volume label and the region shown.
#pragma once

#include <cstdint>

struct CImageDocument;

// 1 when sector 0 of the image is a Wii disc header (the magic 0x5D1C9EA3 at byte 24): the document's primary
// descriptor copy is cleared, its region text set from the game code ("NTSC" for E and J, "PAL" for P) and its
// volume label set to the game title. Else 0, with nothing changed.
int ImageProbeWiiDisc(CImageDocument* document);
