// Writing the El Torito boot record, catalog and boot images of an opened image into the image being built,
// at the places the layout gives them. The images are copied from the source image as the build reaches them.
#pragma once

#include <cstdint>

struct CBootEntry;
struct CBootInfo;
struct CImageDocument;
struct CProgressCallbacks;

// Places the catalog and then every boot image at the layout cursor of the running build.
void BootCatalogLayout(CImageDocument* document);
// Stores the catalog LBA in the boot record and makes the validation entry sum to 0.
void BootCatalogBuildValidation(CBootInfo* info);
// Writes the entries into the catalog with the images' new LBAs.
void BootCatalogBuildEntries(CBootInfo* info);
// Refreshes the boot information table in the first sector of a no-emulation image for its new LBA;
// `primaryLba` is the LBA of the new image's primary descriptor.
void BootImagePatchInfoTable(uint8_t* firstSector, const CBootEntry* entry, int64_t primaryLba);
// The write steps at the build's write position: 0, or -1 (abort code set).
int BootRecordWrite(CImageDocument* document, CProgressCallbacks* progress);
int BootCatalogWrite(CImageDocument* document, CProgressCallbacks* progress);
int BootImagesWrite(CImageDocument* document, CProgressCallbacks* progress);
