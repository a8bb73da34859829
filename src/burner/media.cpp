#include "burner/media.h"

#include <algorithm>
#include <vector>

#include "burner/mmc.h"
#include "image/document.h"
#include "image/tracktable.h"
#include "runtime/byte_reader.h"
#include "tree/tree.h"

namespace {

struct ProfileRow {
  uint8_t profile;
  uint8_t code;
};

constexpr ProfileRow kProfiles[] = {
    {0x00, 0},  {0x08, 1},  {0x09, 2},  {0x0A, 3},  {0x10, 16}, {0x11, 17}, {0x12, 20}, {0x13, 19},
    {0x14, 18}, {0x15, 23}, {0x16, 23}, {0x1A, 22}, {0x1B, 21}, {0x2A, 26}, {0x2B, 24}, {0x40, 32},
    {0x41, 33}, {0x42, 35}, {0x43, 39}, {0x50, 64}, {0x51, 65}, {0x52, 66},
};

bool Known(int code) { return code != 0 && code != 255 && code >= 0; }

}  // namespace

uint8_t MediaCodeOfProfile(uint32_t profile) {
  for (const ProfileRow& row : kProfiles)
    if (row.profile == profile) return row.code;
  return 255;
}

const wchar_t* MediaTypeName(int code) {
  switch (code) {
    case 0:
      return L"No Disc";
    case 1:
      return L"CD-ROM";
    case 2:
      return L"CD-R";
    case 3:
      return L"CD-RW";
    case 16:
      return L"DVD-ROM";
    case 17:
      return L"DVD-R";
    case 18:
    case 19:
      return L"DVD-RW";
    case 20:
      return L"DVD-RAM";
    case 21:
      return L"DVD+R";
    case 22:
      return L"DVD+RW";
    case 23:
      return L"DVD-R DL";
    case 24:
      return L"DVD+R DL";
    case 25:
      return L"DVD-RW DL";
    case 26:
      return L"DVD+RW DL";
    case 32:
      return L"BD-ROM";
    case 33:
    case 34:
    case 35:
      return L"BD-R";
    case 36:
    case 37:
    case 38:
      return L"BD-R DL";
    case 39:
      return L"BD-RE";
    case 40:
      return L"BD-RE DL";
    case 41:
    case 42:
    case 43:
      return L"BD-R TL";
    case 44:
      return L"BD-RE TL";
    case 45:
    case 46:
    case 47:
      return L"BD-R QL";
    case 48:
      return L"BD-RE QL";
    case 64:
      return L"HD DVD-ROM";
    case 65:
      return L"HD DVD-R";
    case 66:
      return L"HD DVD-RAM";
  }
  return L"Unknown Disc Type";
}

int MediaIsCdOrNone(const CTrackTable* table) { return table && (table->discMode < 16 || table->discMode == 255); }

int MediaIsWriteOnce(int code) {
  switch (code) {
    case 2:
    case 3:
    case 17:
    case 21:
    case 23:
    case 24:
    case 33:
    case 36:
    case 41:
    case 45:
      return 1;
  }
  return 0;
}

int MediaIsOverwritable(int code) {
  switch (code) {
    case 19:
    case 20:
    case 22:
    case 25:
    case 26:
    case 39:
    case 40:
    case 44:
    case 48:
      return 1;
  }
  return 0;
}

int MediaIsPseudoOverwrite(int code) { return code == 34 || code == 37 || code == 42 || code == 46; }

int MediaIsReadOnly(int code) { return code == 1 || code == 16 || code == 32; }

int MediaIsRewritable(int code) {
  switch (code) {
    case 18:
    case 19:
    case 20:
    case 22:
    case 25:
    case 26:
    case 34:
    case 37:
    case 39:
    case 40:
    case 42:
    case 44:
    case 46:
    case 48:
      return 1;
  }
  return 0;
}

int MediaCodeOfAtip(const uint8_t* answer, uint32_t length) {
  ByteReader r(answer, length);
  uint32_t dataLength = r.U16BEAt(0);
  uint8_t discType = r.U8At(6);
  if (!r.ok() || dataLength <= 4) return -1;
  return discType & 0x40 ? 3 : 2;
}

int MediaCodeOfDvdStructure(const uint8_t* answer, uint32_t length) {
  ByteReader r(answer, length);
  uint32_t dataLength = r.U16BEAt(0);
  uint8_t book = r.U8At(4);
  if (!r.ok() || dataLength <= 2 || book >= 0xF0) return -1;
  switch (book >> 4) {
    case 0:
      return 16;
    case 1:
      return 20;
    case 2: {
      ByteReader layers(answer, length);
      uint8_t b6 = layers.U8At(6);
      return dataLength > 4 && layers.ok() && (b6 >> 5 & 3) == 1 ? 23 : 17;
    }
    case 3:
      return 18;
    case 4:
      return 64;
    case 5:
      return 66;
    case 6:
      return 65;
    case 9:
      return 22;
    case 10:
      return 21;
    case 13:
      return 26;
    case 14:
      return 24;
  }
  return -1;
}

int MediaRefineByBdStructure(int code, const uint8_t* answer, uint32_t length) {
  // The disc information unit follows the 4-byte header.
  ByteReader r(answer, length);
  if (!r.Skip(4)) return code;
  size_t claimed = static_cast<size_t>(ByteReader(answer, length).U16BEAt(0)) + 2;
  ByteReader unit(r.data() + 4, std::min<size_t>(r.remaining(), claimed > 4 ? claimed - 4 : 0));
  if (!Known(code) || code == 32) {
    std::string_view head = unit.Chars(2);
    unit.Seek(8);
    std::string_view type = unit.Chars(3);
    if (unit.ok() && head == "DI" && type.substr(0, 2) == "BD") {
      if (type[2] == 'O')
        code = 32;
      else if (type[2] == 'W')
        code = 39;
      else if (type[2] == 'R')
        code = 33;
    }
  }
  ByteReader layersAt(unit.data(), unit.size());
  uint8_t b12 = layersAt.U8At(12);
  if (layersAt.ok()) {
    int layers = b12 >> 4;
    static constexpr int kBase[3] = {39, 33, 35};
    static constexpr int kByLayers[3][3] = {{40, 36, 38}, {44, 41, 43}, {48, 45, 47}};
    for (int i = 0; i < 3; ++i)
      if (code == kBase[i] && layers >= 2 && layers <= 4) code = kByLayers[layers - 2][i];
  }
  return code;
}

uint8_t MediaDetectType(CScsiContext* scsi, int device) {
  std::vector<uint8_t> answer(4100);
  int code = -1;  // -1: none
  uint32_t n = 1024;
  if (MmcGetConfiguration(scsi, device, 0, 0, answer.data(), &n) && n >= 8) {
    uint32_t profile = LoadU16BE(answer.data() + 6);
    if (profile <= 0x52) code = MediaCodeOfProfile(profile);
  }
  bool dvd = false;
  if (code >= 2 && code <= 254) {
    dvd = code == 16;
  } else {
    n = 32;
    int atip = MmcReadToc(scsi, device, 4, 1, answer.data(), &n) ? MediaCodeOfAtip(answer.data(), n) : -1;
    if (atip > 0) {
      code = atip;
    } else if (code != 1) {
      dvd = true;
    }
  }
  if (dvd) {
    int refined = -1;
    if (MmcHasCurrentFeature(scsi, device, 0x3B, 16)) {
      refined = 24;
    } else if (MmcHasCurrentFeature(scsi, device, 0x2A, 16)) {
      refined = 22;
    } else if (MmcHasCurrentFeature(scsi, device, 0x2B, 16)) {
      refined = 21;
    }
    if (refined < 0 && MmcHasCurrentFeature(scsi, device, 0x2F, 16)) {
      uint8_t info[42];
      uint32_t in = sizeof info;
      if (MmcReadDiscInfo(scsi, device, 0, info, &in) && in >= 3 && (info[2] & 0x10))
        refined = MmcHasCurrentFeature(scsi, device, 0x2C, 16) ? 19 : 18;
    }
    if (refined < 0) {
      n = 2052;
      if (MmcReadDiscStructure(scsi, device, 0, 0, 0, 0, answer.data(), &n))
        refined = MediaCodeOfDvdStructure(answer.data(), n);
    }
    if (refined >= 0) code = refined;
  }
  if (code >= 0 && Known(code) && (code < 32 || code > 63)) return static_cast<uint8_t>(code);
  n = 4100;
  if (MmcReadDiscStructure(scsi, device, 1, 0, 0, 0, answer.data(), &n))
    code = MediaRefineByBdStructure(code < 0 ? 255 : code, answer.data(), n);
  if (MmcHasCurrentFeature(scsi, device, 0x38, 16)) {
    if (code == 33)
      code = 34;
    else if (code == 36)
      code = 37;
    else if (code == 41)
      code = 42;
    else if (code == 45)
      code = 46;
  }
  return code < 0 ? 255 : static_cast<uint8_t>(code);
}

int DiscGetAppendStart(CScsiContext* scsi, int device, CImageDocument* document, int64_t dataEnd, int32_t* trackNumber,
                       int64_t* startLba, int64_t* endLba) {
  // A blank disc opened to take a new session starts it at the beginning.
  if (document && document->emptyDisc) {
    if (trackNumber) *trackNumber = 0;
    if (startLba) *startLba = 0;
    if (endLba) *endLba = 0;
    return 1;
  }
  CTrackTable* table = document ? document->trackTable : nullptr;
  int64_t failEnd = dataEnd;
  if (table && table->trackCount > 0 && table->trackCount <= kTrackTableMaxTracks) {
    const CTrackInfo& last = table->tracks[table->trackCount - 1];
    failEnd = static_cast<int64_t>(last.start) + last.length + last.postgap;
  }
  auto finish = [&](int result, int32_t track, int64_t start) {
    if (result == 1) {
      if (trackNumber) *trackNumber = track;
      if (startLba) *startLba = start;
      if (endLba) *endLba = start;
    } else if (endLba) {
      *endLba = failEnd;
    }
    return result;
  };
  if (!device || !table || table->sessionCount <= 0 || table->trackCount <= 0) return finish(0, 0, 0);
  uint8_t info[42];
  uint32_t n = sizeof info;
  if (!MmcReadDiscInfo(scsi, device, 0, info, &n) || n < 7) return finish(0, 0, 0);
  int code = table->discMode;
  if (MediaIsReadOnly(code)) return finish(kAppendNotWritable, 0, 0);
  // A further session rewrites the UDF structures as one extent per file: a volume whose files lie in pieces
  // cannot be carried over.
  if (document->udfVolume && !TreeCheckExtentsContiguous(document, document->rootFolder))
    return finish(kAppendClosed, 0, 0);
  int32_t next = table->firstTrackNumber + table->trackCount;
  int discStatus = info[2] & 3;
  if (MediaIsWriteOnce(code)) {
    uint32_t address = 0;
    if (!MmcGetNextWritableAddress(scsi, device, next, 1, &address, nullptr))
      return finish(discStatus == 2 ? kAppendClosed : 0, 0, 0);
    return finish(1, next, address);
  }
  if (MediaIsOverwritable(code)) {
    if (!(table->flags & kTrackTableFurtherSession)) return finish(kAppendClosed, 0, 0);
    int64_t start = std::max<int64_t>(dataEnd, 320);
    int64_t unit = code >= 32 && code < 64 ? 32 : code >= 16 ? 16 : 1;
    start = (start + unit - 1) / unit * unit;
    return finish(1, next, start);
  }
  if (MediaIsPseudoOverwrite(code)) {
    if ((table->flags & kTrackTablePowSession) || discStatus == 2)
      return finish(discStatus == 2 ? kAppendClosed : 0, 0, 0);
    uint32_t lastTrack = info[6] | (n > 11 ? info[11] << 8 : 0);
    uint32_t address = 0;
    if (!MmcGetNextWritableAddress(scsi, device, lastTrack, 0, &address, nullptr)) return finish(0, 0, 0);
    return finish(1, next, address);
  }
  if (code == 18) return finish(kAppendClosed, 0, 0);
  return finish(0, 0, 0);
}
