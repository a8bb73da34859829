#include "tree/volume.h"

#include <climits>
#include <cstring>
#include <ctime>
#include <cwchar>

#include "image/document.h"
#include "runtime/textconv.h"
#include "tree/iso_helpers.h"
#include "tree/tree.h"

namespace {

// Where each identifier lives in a primary or Joliet descriptor.
struct IdentifierField {
  int offset;
  int length;
};
constexpr IdentifierField kIdentifierFields[kVolumeIdentifierCount] = {
    {40, 32}, {8, 32}, {190, 128}, {318, 128}, {446, 128}, {574, 128}, {702, 37}, {739, 37}, {776, 37},
};

void TrimTrailingBlanks(wchar_t* text) {
  size_t n = std::wcslen(text);
  while (n > 0 && text[n - 1] == L' ') text[--n] = 0;
}

// Documents whose primary descriptor is made from scratch: nothing was read from a primary descriptor (a new
// document, or a volume without ISO 9660), a container, or a High Sierra volume whose descriptor has another
// layout.
bool DescriptorIsFresh(const CImageDocument* document) {
  return !document->primarySeen || document->highSierra || document->inputType == 101 ||
         document->inputType == 151;
}

// The root record's date: the root entry's own date, the fixed time, or for a fresh document the volume's
// modification date; otherwise the date the layout's template already carries (the source volume's root).
void PutRootDate(CImageDocument* document, uint8_t* date) {
  const CTreeEntry* root = document->rootEntry;
  static const uint8_t kNoDate[7] = {};
  if (root && std::memcmp(root->directoryRecord + 18, kNoDate, 7) != 0) {
    std::memcpy(date, root->directoryRecord + 18, 7);
  } else if (document->fixedTime) {
    IsoEncodeRecordDate(date, document->fixedTime);
  } else if (DescriptorIsFresh(document)) {
    IsoEncodeRecordDate(date, document->volumeModificationTime);
  }
}

void PutVolumeDates(const CImageDocument* document, uint8_t* descriptor) {
  VolumeEncodeDate(descriptor + 813, document->volumeCreationTime);
  VolumeEncodeDate(descriptor + 830, document->volumeModificationTime);
  VolumeEncodeDate(descriptor + 847, document->volumeExpirationTime);
  VolumeEncodeDate(descriptor + 864, document->volumeEffectiveTime);
}

}  // namespace

CIsoDescriptorLayout& IsoDescriptorLayout(CImageDocument* document) { return document->descriptorLayout; }

void VolumeInitIdentifiers(CImageDocument* document) {
  if (!document) return;
  for (auto& identifier : document->identifiers) identifier[0] = 0;
  time_t created = static_cast<time_t>(document->creationTime);
  struct tm local {};
  localtime_r(&created, &local);
  std::swprintf(document->identifiers[kVolumeLabel], kVolumeIdentifierChars, L"%4.4d%2.2d%2.2d_%2.2d%2.2d",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min);
  std::wcscpy(document->identifiers[kVolumeSystemId], L"Win32");
  std::wcscpy(document->identifiers[kVolumeApplicationId], L"Kestrane");
}

void VolumeSetIdentifier(CImageDocument* document, int index, const wchar_t* text) {
  if (!document) return;
  if (index >= 0 && index < kVolumeIdentifierCount) {
    size_t n = text ? std::wcslen(text) : 0;
    if (n > kVolumeIdentifierChars - 1) n = kVolumeIdentifierChars - 1;
    std::wmemcpy(document->identifiers[index], text ? text : L"", n);
    document->identifiers[index][n] = 0;
  }
  document->identifiersChanged = 1;
}

size_t VolumeDecodeDiscText(const uint8_t* bytes, size_t length, wchar_t* out, size_t capacity) {
  if (!out || capacity == 0) return 0;
  size_t n = 0;
  if (bytes) {
    const uint8_t* end = static_cast<const uint8_t*>(std::memchr(bytes, 0, length));
    if (end) length = static_cast<size_t>(end - bytes);
    std::mbstate_t state{};
    bool initial = true;  // the state is the initial one (an ASCII byte read in it leaves it so)
    size_t at = 0;
    while (at < length && n + 1 < capacity) {
      if (bytes[at] < 0x80 && initial) {
        out[n++] = bytes[at++];  // ASCII stands for itself in every locale we run in
        continue;
      }
      wchar_t c = 0;
      size_t used = std::mbrtowc(&c, reinterpret_cast<const char*>(bytes + at), length - at, &state);
      if (used == static_cast<size_t>(-1) || used == static_cast<size_t>(-2) || used == 0) {
        // A byte the locale cannot read (or a character cut at the end of the field) keeps its own value.
        state = std::mbstate_t{};
        c = static_cast<wchar_t>(bytes[at]);
        used = 1;
      }
      initial = std::mbsinit(&state) != 0;
      out[n++] = c;
      at += used;
    }
  }
  out[n] = 0;
  return n;
}

void VolumeLoadPrimaryIdentifiers(CImageDocument* document, const uint8_t* descriptor) {
  if (!document || !descriptor) return;
  for (int i = 0; i < kVolumeIdentifierCount; ++i) {
    const IdentifierField& field = kIdentifierFields[i];
    VolumeDecodeDiscText(descriptor + field.offset, static_cast<size_t>(field.length), document->identifiers[i],
                         kVolumeIdentifierChars);
    TrimTrailingBlanks(document->identifiers[i]);
  }
}

void VolumeLoadJolietIdentifiers(CImageDocument* document, const uint8_t* descriptor) {
  if (!document || !descriptor) return;
  for (int i = 0; i < kVolumeIdentifierCount; ++i) {
    const IdentifierField& field = kIdentifierFields[i];
    uint16_t units[65];
    const int count = field.length / 2;
    for (int u = 0; u < count; ++u) {
      const uint8_t* p = descriptor + field.offset + 2 * u;
      units[u] = static_cast<uint16_t>(p[0] << 8 | p[1]);
    }
    units[count] = 0;
    TextUtf16ToWide(units, count, document->identifiers[i], kVolumeIdentifierChars);
    TrimTrailingBlanks(document->identifiers[i]);
  }
}

void VolumeLoadHighSierraIdentifiers(CImageDocument* document, const uint8_t* descriptor) {
  if (!document || !descriptor) return;
  for (auto& identifier : document->identifiers) identifier[0] = 0;
  VolumeDecodeDiscText(descriptor + 16, 32, document->identifiers[kVolumeSystemId], kVolumeIdentifierChars);
  TrimTrailingBlanks(document->identifiers[kVolumeSystemId]);
  VolumeDecodeDiscText(descriptor + 48, 32, document->identifiers[kVolumeLabel], kVolumeIdentifierChars);
  TrimTrailingBlanks(document->identifiers[kVolumeLabel]);
}

void VolumeEncodeDate(uint8_t* field, int64_t time) {
  if (!field) return;
  if (time == 0) {
    std::memset(field, '0', 16);
    field[16] = 0;
    return;
  }
  IsoFormatVolumeDate(time, field);
}

void VolumePutDCharField(uint8_t* field, const wchar_t* text, size_t length) {
  if (!field) return;
  std::memset(field, ' ', length);
  if (!text) return;
  size_t at = 0;
  for (const wchar_t* p = text; *p; ++p) {
    char bytes[MB_LEN_MAX];
    std::mbstate_t state{};
    size_t n = std::wcrtomb(bytes, *p, &state);
    if (n == static_cast<size_t>(-1)) {
      bytes[0] = '_';
      n = 1;
    }
    if (at + n > length) break;
    std::memcpy(field + at, bytes, n);
    at += n;
  }
}

void VolumePutUcs2Field(uint8_t* field, const wchar_t* text, size_t length) {
  if (!field) return;
  for (size_t i = 0; i < length; ++i) field[i] = (i & 1) ? 0x20 : 0x00;
  if (!text) return;
  const size_t room = length / 2;
  size_t at = 0;
  for (const wchar_t* p = text; *p; ++p) {
    uint16_t units[2];
    size_t n = 0;
    const uint32_t c = static_cast<uint32_t>(*p);
    if (c > 0x10FFFF) {
      units[n++] = 0xFFFD;
    } else if (c > 0xFFFF) {
      units[n++] = static_cast<uint16_t>(0xD800 + ((c - 0x10000) >> 10));
      units[n++] = static_cast<uint16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      units[n++] = static_cast<uint16_t>(c);
    }
    if (at + n > room) break;
    for (size_t u = 0; u < n; ++u, ++at) {
      field[2 * at] = static_cast<uint8_t>(units[u] >> 8);
      field[2 * at + 1] = static_cast<uint8_t>(units[u]);
    }
  }
}

void IsoBuildPrimaryDescriptor(CImageDocument* document, uint8_t* descriptor, int identifiersOnly) {
  if (!document || !descriptor) return;
  if (!identifiersOnly && DescriptorIsFresh(document)) {
    std::memset(descriptor, 0, 2048);
    descriptor[0] = 1;
    std::memcpy(descriptor + 1, "CD001", 5);
    descriptor[6] = 1;
    PutBothEndian16(descriptor + 120, 1);
    PutBothEndian16(descriptor + 124, 1);
    PutBothEndian16(descriptor + 128, 2048);
    descriptor[881] = 1;
  }
  for (int i = 0; i < kVolumeIdentifierCount; ++i) {
    const IdentifierField& field = kIdentifierFields[i];
    VolumePutDCharField(descriptor + field.offset, document->identifiers[i], static_cast<size_t>(field.length));
  }
  if (identifiersOnly) return;
  const CIsoDescriptorLayout& layout = document->descriptorLayout;
  PutBothEndian32(descriptor + 80, static_cast<uint32_t>(layout.nextFreeLba));
  PutBothEndian32(descriptor + 132, layout.pathTableBytes);
  PutLittleEndian32(descriptor + 140, layout.pathTableL);
  PutLittleEndian32(descriptor + 144, 0);
  PutBigEndian32(descriptor + 148, layout.pathTableM);
  PutBigEndian32(descriptor + 152, 0);
  std::memcpy(descriptor + 156, layout.primaryRoot, 34);
  PutRootDate(document, descriptor + 156 + 18);
  PutVolumeDates(document, descriptor);
}

void IsoBuildJolietDescriptor(CImageDocument* document, uint8_t* descriptor, int identifiersOnly) {
  if (!document || !descriptor) return;
  const CIsoDescriptorLayout& layout = document->descriptorLayout;
  if (!identifiersOnly) {
    if (descriptor != document->primaryDescriptor) std::memcpy(descriptor, document->primaryDescriptor, 2048);
    descriptor[0] = 2;
    descriptor[88] = '%';
    descriptor[89] = '/';
    descriptor[90] = 'E';
    PutBothEndian32(descriptor + 132, layout.jolietPathTableBytes);
    PutLittleEndian32(descriptor + 140, layout.jolietPathTableL);
    PutLittleEndian32(descriptor + 144, 0);
    PutBigEndian32(descriptor + 148, layout.jolietPathTableM);
    PutBigEndian32(descriptor + 152, 0);
    std::memcpy(descriptor + 156, layout.jolietRoot, 34);
  }
  for (int i = 0; i < kVolumeIdentifierCount; ++i) {
    const IdentifierField& field = kIdentifierFields[i];
    VolumePutUcs2Field(descriptor + field.offset, document->identifiers[i], static_cast<size_t>(field.length));
  }
  if (identifiersOnly) return;
  PutRootDate(document, descriptor + 156 + 18);
  PutVolumeDates(document, descriptor);
}
