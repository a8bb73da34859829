// Xbox game discs (XDVDFS): the volume descriptor at sector 32 of the optical sectors and the directory trees,
// each a binary tree of entries sorted by name, read into the document's tree. Files are single runs of
// sectors (CTreeEntry::sourceLba and size), read like ISO 9660 files.
#pragma once

#include <cstdint>

struct CImageDocument;
struct CTreeFolder;

// 1 when sector 32 carries the volume descriptor (both signatures, a root sector and size that are not 0); the
// root directory's sector and size are then kept in the document.
int ImageProbeXboxDisc(CImageDocument* document);
// Adds an entry to `folder` for every entry of the directory at `sector` of `size` bytes, walking its tree
// left, node, right and visiting each offset once: 0, or -1 when the directory cannot be read or is damaged
// (the entries read so far stay).
int XdvdfsReadDirectory(CImageDocument* document, CTreeFolder* folder, uint32_t sector, uint32_t size);
// Reads the directory and, depth first, every directory below it (each directory's sectors read once): 0, or
// -1 when any part could not be read (what could be read stays).
int XdvdfsReadTree(CImageDocument* document, CTreeFolder* folder, uint32_t sector, uint32_t size);
