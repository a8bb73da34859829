// CImageDocument: the one record per image — an image file opened for reading, or a new image being built.
// It owns everything it opens; ImageClose frees it all.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "runtime/wstring.h"

constexpr int kVolumeIdentifierCount = 9;
constexpr int kVolumeIdentifierChars = 512;

// Indexes of the volume identifiers.
enum : int {
  kVolumeLabel = 0,
  kVolumeSystemId = 1,
  kVolumeSetId = 2,
  kVolumePublisherId = 3,
  kVolumePreparerId = 4,
  kVolumeApplicationId = 5,
  kVolumeCopyrightFile = 6,
  kVolumeAbstractFile = 7,
  kVolumeBibliographicFile = 8,
};

// Image type codes beyond the rows of the format table.
enum : int32_t {
  kImageTypeUnknown = -1,
  kImageTypeIso = 0,
  kImageTypeQvf = 2,
  kImageTypeAudioDisc = 100,
  kImageTypeAudioProject = 103,
};

struct CImageDocument {
  CWideString path;           // the image's path
  CWideString companionPath;  // CUE, MDS or NRG descriptor beside it
  FILE* input;
  FILE* output;
  int64_t fileSize;
  int32_t volumeNaming;  // volume naming style of split images (default 1)
  int32_t openFlags;
  int32_t statusMode;
  int32_t storeIdenticalOnce;  // identical files share their data (default 1)
  int32_t outputType;
  int32_t inputType;
  int32_t descriptorPosition[2];
  int32_t noIso9660;
  int32_t treeOwned;
  int32_t readOnly;
  int32_t appendMode;
  int32_t modified;  // the document changed since it was opened or saved
  // Build options.
  int32_t jolietLevel;       // 0..3 (default 3)
  int32_t isoNameLength;     // 12, 30 or 221 (default 221)
  int32_t jolietNameLength;  // 64 or 110 (default 110)
  int32_t lowerCaseIsoNames;
  int32_t rockRidge;
  int32_t udf;
  // Times (seconds since the epoch, 64-bit). fixedTime, when set, dates every file of a new image.
  int64_t fixedTime;
  int64_t creationTime;  // when the document was created
  int64_t volumeCreationTime;
  int64_t volumeModificationTime;
  int64_t volumeEffectiveTime;
  int64_t volumeExpirationTime;
  // Volume identifiers.
  wchar_t identifiers[kVolumeIdentifierCount][kVolumeIdentifierChars];
  int32_t identifiersChanged;
  // The image's comment (bytes as stored), when it carries one.
  std::string comment;
};

// An empty document for building; null on allocation failure.
CImageDocument* ImageNew();
// Frees a document and everything it owns; null is accepted.
void ImageClose(CImageDocument* document);
void ImageResetIsoOptions(CImageDocument* document);

// The process's current document (the one the switches and most commands act on).
CImageDocument* CurrentImageGet();
void CurrentImageSet(CImageDocument* document);
void CurrentImageClear();
int CurrentImageIsReadOnly();
int CurrentImageQueryFeature(int32_t code);
