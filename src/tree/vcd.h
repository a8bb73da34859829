// Video CD and Super Video CD recognition: a raw CD image whose ISO volume carries the Video CD information
// files is recognised when it is opened, and its tree is classified (the information files at their fixed
// sectors, the MPEG track files by their track), so that the commands can tell such an image from a plain one.
#pragma once

#include <cstdint>

struct CImageDocument;

// Video CD kinds of a document.
enum : int32_t {
  kVideoCdNone = 0,
  kVideoCd = 1,
  kSuperVideoCd = 2,
};

// Runs VcdDetect when the image stores 2336- or 2352-byte sectors: the kind found.
int32_t ImageCheckVideoCd(CImageDocument* document);
// Sets the kind to kVideoCd when the track table, the primary descriptor's "CD-XA001" mark and the Mode 2
// information sectors at 150 and 151 say so: 1 then, else 0.
int VcdDetect(CImageDocument* document);
// After the tree is loaded: clears the kind, finds the "VCD" (or "SVCD") folder with its information files at
// sectors 150 and 151, and then marks the Video CD entries and sets the kind. The kind set.
int32_t VcdMarkFiles(CImageDocument* document);
