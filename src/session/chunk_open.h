// Opening chunk-compressed images (DMG, UIF, ISZ): as optical images through their rows of the format table,
// and a DMG that holds a disk as the disk of a disk-image document.
#pragma once

#include <cstdint>

struct CImageDocument;

// Opens the document as the DMG, UIF or ISZ row `type` and mounts its file system: 0, or -1 with nothing kept.
int ImageOpenChunkImage(CImageDocument* document, int32_t type);
// Loads the DMG chunk map of a disk-image document and installs it as the disk's reader: 1 when the file is a
// DMG, else 0.
int ImageAttachChunkDisk(CImageDocument* document);
// Copies `bytes` of user data from 2048-byte sector `sector` of a DMG, UIF or ISZ document opened as a disc into
// `fd`, straight from its decoded chunks: the bytes copied, 0 when the document is no such image or the range
// passes its readable limit. A copy that falls short leaves the rest to the reads, which report why.
int64_t ImageCopyChunkUserDataToFd(CImageDocument* document, int64_t sector, int64_t bytes, int fd);
