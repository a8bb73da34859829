#include "qvf/volume.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include "image/document.h"
#include "qvf/container.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "runtime/ui.h"

namespace {

bool SameNoCase(const wchar_t* a, const wchar_t* b, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i]))) return false;
  return true;
}

// The three-letter extension of `name` when it is one of the container's ("qvf", "exe", "qdi", "ktm"), lower
// case; empty otherwise. A name of four characters or fewer has none.
std::wstring KnownExtension(const std::wstring& name) {
  if (name.size() <= 4 || name[name.size() - 4] != L'.') return {};
  const wchar_t* ext = name.c_str() + name.size() - 3;
  for (const wchar_t* known : {L"qvf", L"exe", L"qdi", L"ktm"})
    if (SameNoCase(ext, known, 3)) return known;
  return {};
}

bool AllDigits(const std::wstring& text, size_t from, size_t count) {
  if (from + count > text.size()) return false;
  for (size_t i = from; i < from + count; ++i)
    if (text[i] < L'0' || text[i] > L'9') return false;
  return true;
}

std::wstring Number(int32_t value, int width) {
  wchar_t digits[16];
  std::swprintf(digits, 16, L"%0*d", width, value);
  return digits;
}

// Where ".part" followed by `digits` digits starts when `name` (with a known extension) ends in it; npos else.
size_t PartSuffix(const std::wstring& name, size_t digits) {
  const size_t stem = name.size() - 4;  // before ".ext"
  if (stem < 5 + digits) return std::wstring::npos;
  const size_t at = stem - digits - 5;
  if (!SameNoCase(name.c_str() + at, L".part", 5) || !AllDigits(name, stem - digits, digits)) return std::wstring::npos;
  return at;
}

// Usable stream bytes of volume `k` (its file less the head, or on volume 0 less a trailer).
uint64_t Usable(const CQvfContext* context, size_t k) {
  const uint64_t size = context->volumeSizes[k];
  uint64_t head = kQvfVolumeHeadSize;
  if (k == 0) head = context->selfExtracting ? kSfxTrailerSize : (context->appended ? kQvfAppendedTrailerSize : 0);
  return size > head ? size - head : 0;
}

void MakeVolumeParams(const CQvfContext* context, int32_t k, uint8_t block[kQvfVolumeParamsSize]) {
  std::memset(block, 0, kQvfVolumeParamsSize);
  QvfStore32(block, kQvfBlockVolumeParams);
  QvfStore32(block + 4, kQvfVolumeParamsSize);
  QvfStore32(block + 8, static_cast<uint32_t>(context->volumeCount));
  QvfStore32(block + 12, static_cast<uint32_t>(k));
  QvfStore64(block + 32, context->volumeStarts[k]);
  QvfStore64(block + 40, context->volumeSizes[k]);
  QvfStore32(block + 48, static_cast<uint32_t>(context->naming) & 0xF);
}

uint32_t VolumeSizesBlockLength(int32_t style) { return 16 + 5 * static_cast<uint32_t>(QvfGetMaxVolumes(style)); }

// Opens volume `k` of a split image for reading, checking its head; null with the error state set.
FILE* OpenVolumeForRead(CQvfContext* context, int32_t k) {
  if (k == 0) return context->file;
  if (context->currentVolume == k && context->currentVolumeFile) return context->currentVolumeFile;
  if (context->currentVolumeFile) std::fclose(context->currentVolumeFile);
  context->currentVolumeFile = nullptr;
  context->currentVolume = -1;
  const std::wstring name = QvfMakeVolumeName(context->firstVolumeName.c_str(), k, context->naming);
  FILE* file = name.empty() ? nullptr : FileOpenForRead(name.c_str());
  uint8_t head[kQvfVolumeHeadSize];
  // A file of that name that is not volume k of this image is as good as missing.
  if (file && (!FileReadAt(file, head, 0, sizeof head) || !QvfCheckVolumeHeader(head) ||
               QvfLoad32(head + kQvfVolumeHeaderSize) != kQvfBlockVolumeParams ||
               QvfLoad32(head + kQvfVolumeHeaderSize + 12) != static_cast<uint32_t>(k))) {
    std::fclose(file);
    file = nullptr;
  }
  if (!file) {
    context->errorState = kQvfErrorRead;
    context->failedVolumeName = name.empty() ? context->firstVolumeName : name;
    return nullptr;
  }
  context->currentVolumeFile = file;
  context->currentVolume = k;
  return file;
}

// Writes to a volume file at its end, counting what lands. With `open` set, a short write is not a failure:
// the rest is offered again in halving lengths, and the count of what landed is returned.
size_t WriteCounted(FILE* file, const uint8_t* data, size_t length, bool open) {
  size_t landed = std::fwrite(data, 1, length, file);
  if (landed == length || !open) return landed;
  std::clearerr(file);
  for (size_t piece = (length - landed) / 2; piece > 0 && landed < length;) {
    const size_t want = std::min(piece, length - landed);
    const size_t got = std::fwrite(data + landed, 1, want, file);
    landed += got;
    std::clearerr(file);
    if (got < want) piece /= 2;
  }
  return landed;
}

// The file of volume `k` for writing, or null.
FILE* VolumeFile(CQvfContext* context, int32_t k) {
  if (k == 0) return context->file;
  return k == context->currentVolume ? context->currentVolumeFile : nullptr;
}

// Ends the current volume and starts the next: 1, or 0 when the style has no room for it, the operation was
// cancelled, or the file cannot be made.
int SwitchVolume(CQvfContext* context) {
  const int32_t k = context->volumeCount - 1;
  if (k == 0) {
    if (context->selfExtracting) {
      uint8_t trailer[kSfxTrailerSize];
      QvfMakeSfxTrailer(context->sfxTrailer, trailer);
      if (std::fwrite(trailer, 1, sizeof trailer, context->file) != sizeof trailer) return 0;
      context->volumeSizes[0] += kSfxTrailerSize;
    }
    if (std::fflush(context->file) != 0) return 0;
  } else {
    FILE* file = context->currentVolumeFile;
    context->currentVolumeFile = nullptr;
    context->currentVolume = -1;
    if (FileClose(file) != 0) return 0;
  }
  if (k + 1 >= QvfGetMaxVolumes(context->naming)) {
    LastErrorSetText(L"The image needs more volume files than their naming allows: choose a larger volume size.");
    return 0;
  }
  const std::wstring name = QvfMakeVolumeName(context->firstVolumeName.c_str(), k + 1, context->naming);
  if (name.empty()) {
    LastErrorSetText(L"No name can be made for the next volume file.");
    return 0;
  }
  if (UiInteractive()) UiPrintf(L"\r\nWriting %ls: ", name.c_str());
  if (AbortCodeGet() == kAbortCancelled) return 0;
  FILE* file = FileCreate(name.c_str());
  if (!file) {
    ErrorStateSetFileName(name.c_str());
    return 0;
  }
  context->createdVolumes.push_back(name);
  if (context->volumeSize == kQvfVolumeSizeOpen) std::setvbuf(file, nullptr, _IONBF, 0);
  // The head is filled in when the output is finished.
  uint8_t head[kQvfVolumeHeadSize] = {};
  QvfMakeVolumeHeader(head);
  if (std::fwrite(head, 1, sizeof head, file) != sizeof head) {
    std::fclose(file);
    return 0;
  }
  context->volumeStarts.push_back(context->volumeStarts[k] + Usable(context, static_cast<size_t>(k)));
  context->volumeSizes.push_back(kQvfVolumeHeadSize);
  context->volumeCount = k + 2;
  context->currentVolumeFile = file;
  context->currentVolume = k + 1;
  context->volumeOpenEnded = 0;
  return 1;
}

}  // namespace

int32_t QvfGetMaxVolumes(int32_t style) {
  switch (style) {
    case kQvfNamingTwoDigits: return 99;
    case kQvfNamingThreeDigits: return 9999;
    case kQvfNamingShort: return 101;
    default: return 0;
  }
}

std::wstring QvfGetFirstVolumeName(const wchar_t* name, int32_t style) {
  if (!name) return {};
  const std::wstring text = name;
  const std::wstring ext = KnownExtension(text);
  switch (style) {
    case kQvfNamingTwoDigits:
    case kQvfNamingThreeDigits: {
      const wchar_t* part = style == kQvfNamingTwoDigits ? L".part01" : L".part001";
      if (ext.empty()) return text + part + L".qvf";
      return text.substr(0, text.size() - 4) + part + text.substr(text.size() - 4);
    }
    case kQvfNamingShort:
      if (!ext.empty() && ext != L"ktm") return text;
      return text + L".qvf";
    default:
      return {};
  }
}

std::wstring QvfMakeVolumeName(const wchar_t* firstName, int32_t n, int32_t style) {
  if (!firstName || n < 0 || n >= QvfGetMaxVolumes(style)) return {};
  const std::wstring first = firstName;
  const std::wstring ext = KnownExtension(first);
  if (ext.empty()) return {};
  const bool selfExtracting = ext == L"exe";
  const std::wstring dotExt = first.substr(first.size() - 4);
  switch (style) {
    case kQvfNamingTwoDigits:
    case kQvfNamingThreeDigits: {
      const size_t digits = style == kQvfNamingTwoDigits ? 2 : 3;
      const size_t at = PartSuffix(first, digits);
      if (at == std::wstring::npos) return {};
      return first.substr(0, at + 5) + Number(n + 1, static_cast<int>(digits)) +
             (selfExtracting && n >= 1 ? std::wstring(L".qvf") : dotExt);
    }
    case kQvfNamingShort: {
      if (n == 0) return first;
      const size_t extAt = first.size() - 3;
      return first.substr(0, extAt) + (selfExtracting ? L'q' : first[extAt]) + Number(n - 1, 2);
    }
    default:
      return {};
  }
}

std::vector<std::wstring> QvfVolumeToFirstNames(const wchar_t* name, int32_t style) {
  std::vector<std::wstring> names;
  if (!name) return names;
  const std::wstring text = name;
  auto add = [&](const std::wstring& candidate) {
    if (std::find(names.begin(), names.end(), candidate) == names.end()) names.push_back(candidate);
  };
  const std::wstring ext = KnownExtension(text);
  if (!ext.empty()) {
    for (int32_t s : {kQvfNamingThreeDigits, kQvfNamingTwoDigits}) {
      if (style >= 0 && style != s) continue;
      const size_t digits = s == kQvfNamingTwoDigits ? 2 : 3;
      size_t at = PartSuffix(text, digits);
      // Volumes past 999 of the three-digit style carry four digits.
      if (at == std::wstring::npos && s == kQvfNamingThreeDigits) at = PartSuffix(text, 4);
      if (at == std::wstring::npos) continue;
      const std::wstring stem = text.substr(0, at + 5) + Number(1, static_cast<int>(digits));
      add(stem + text.substr(text.size() - 4));
      add(stem + L".exe");
    }
  }
  if (style < 0 || style == kQvfNamingShort) {
    if (!ext.empty() && ext != L"ktm") add(text);
    const size_t extAt = text.size() >= 4 ? text.size() - 3 : 0;
    if (text.size() > 4 && text[extAt - 1] == L'.' && (text[extAt] == L'q' || text[extAt] == L'Q') &&
        AllDigits(text, extAt + 1, 2)) {
      const std::wstring stem = text.substr(0, extAt);
      for (const wchar_t* e : {L"qvf", L"exe", L"qdi"}) add(stem + e);
    }
  }
  return names;
}

std::vector<std::wstring> QvfVolumeNames(const CQvfContext* context) {
  std::vector<std::wstring> names;
  if (!context) return names;
  names.push_back(context->firstVolumeName);
  for (int32_t k = 1; context->split && k < context->volumeCount; ++k) {
    std::wstring name = QvfMakeVolumeName(context->firstVolumeName.c_str(), k, context->naming);
    if (!name.empty()) names.push_back(std::move(name));
  }
  return names;
}

int QvfReadVolumeParams(CQvfContext* context, const uint8_t* area, size_t areaLength) {
  ByteReader params = QvfBlockInArea(area, areaLength, kQvfBlockVolumeParams);
  if (!params.ok()) return 0;
  ByteReader sizes = QvfBlockInArea(area, areaLength, kQvfBlockVolumeSizes);
  if (params.size() < static_cast<size_t>(kQvfVolumeParamsSize) || !sizes.ok() || sizes.size() < 16) return -1;
  const uint32_t count = params.U32LEAt(8);
  const int32_t style = static_cast<int32_t>(params.U32LEAt(48) & 0xF);
  const int32_t capacity = QvfGetMaxVolumes(style);
  // The count must fit the naming style and agree with the size table, which must hold it.
  if (params.U32LEAt(12) != 0 || capacity == 0 || count == 0 || count > static_cast<uint32_t>(capacity) ||
      sizes.U32LEAt(8) != count || sizes.U32LEAt(12) != 1 || (sizes.size() - 16) / 5 < count || !params.ok())
    return -1;
  sizes.Seek(16);
  context->split = 1;
  context->naming = style;
  context->volumeCount = static_cast<int32_t>(count);
  context->volumeSizes.assign(count, 0);
  context->volumeStarts.assign(count, 0);
  for (uint32_t k = 0; k < count; ++k) {
    const uint32_t low = sizes.U32LE();
    context->volumeSizes[k] = low | uint64_t{sizes.U8()} << 32;
    if (k >= 1) {
      if (context->volumeSizes[k] < kQvfVolumeHeadSize) return -1;
      context->volumeStarts[k] = context->volumeStarts[k - 1] + Usable(context, k - 1);
    }
  }
  return 1;
}

uint64_t QvfStreamEnd(const CQvfContext* context) {
  if (context->volumeStarts.empty()) return 0;
  const size_t last = context->volumeStarts.size() - 1;
  return context->volumeStarts[last] + Usable(context, last);
}

int32_t QvfLocateOffset(CQvfContext* context, uint64_t position, uint64_t* positionInFile) {
  const auto& starts = context->volumeStarts;
  if (starts.empty()) return -1;
  // The last volume whose share starts at or before the position; an empty share holds nothing.
  size_t k = static_cast<size_t>(std::upper_bound(starts.begin(), starts.end(), position) - starts.begin());
  if (k == 0) return -1;
  --k;
  if (position - starts[k] >= Usable(context, k)) return -1;
  *positionInFile = position - starts[k] + (k == 0 ? 0 : kQvfVolumeHeadSize);
  return static_cast<int32_t>(k);
}

int QvfReadAcross(CQvfContext* context, uint8_t* buffer, uint64_t position, size_t length) {
  while (length > 0) {
    uint64_t inFile = 0;
    const int32_t k = QvfLocateOffset(context, position, &inFile);
    if (k < 0) {
      context->errorState = kQvfErrorShort;
      return 0;
    }
    FILE* file = OpenVolumeForRead(context, k);
    if (!file) return 0;
    const uint64_t left = Usable(context, static_cast<size_t>(k)) - (position - context->volumeStarts[k]);
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, length));
    const int64_t got = FileReadAtCount(file, buffer, static_cast<int64_t>(inFile), n);
    if (got < 0) {
      context->errorState = kQvfErrorRead;
      return 0;
    }
    if (static_cast<size_t>(got) < n) {
      context->errorState = kQvfErrorShort;
      if (k > 0) context->failedVolumeName = QvfMakeVolumeName(context->firstVolumeName.c_str(), k, context->naming);
      return 0;
    }
    buffer += n;
    position += n;
    length -= n;
  }
  return 1;
}

int QvfReadStream(CQvfContext* context, uint8_t* buffer, uint64_t position, size_t length) {
  if (context->split) return QvfReadAcross(context, buffer, position, length);
  if (position > static_cast<uint64_t>(INT64_MAX)) {
    context->errorState = kQvfErrorShort;
    return 0;
  }
  const int64_t got = FileReadAtCount(context->file, buffer, static_cast<int64_t>(position), length);
  if (got < 0) {
    context->errorState = kQvfErrorRead;
    return 0;
  }
  if (static_cast<size_t>(got) < length) {
    context->errorState = kQvfErrorShort;
    return 0;
  }
  return 1;
}

uint32_t QvfSetupSplit(CQvfContext* context) {
  context->split = 1;
  context->volumeCount = 1;
  context->volumeSizes.assign(1, 0);
  context->volumeStarts.assign(1, 0);
  return QvfVolumeBlocksLength(context->naming);
}

uint32_t QvfVolumeBlocksLength(int32_t style) { return kQvfVolumeParamsSize + VolumeSizesBlockLength(style); }

int QvfWriteSplit(CQvfContext* context, const uint8_t* data, size_t length) {
  const bool open = context->volumeSize == kQvfVolumeSizeOpen;
  while (length > 0) {
    const int32_t k = context->volumeCount - 1;
    uint64_t room = length;
    if (!open) {
      const uint64_t reserved = (k == 0 && context->selfExtracting) ? kSfxTrailerSize : 0;
      const uint64_t used = context->volumeSizes[k] + reserved;
      room = used < context->volumeSize ? context->volumeSize - used : 0;
    } else if (context->volumeOpenEnded) {
      room = 0;
    }
    if (room == 0) {
      if (!SwitchVolume(context)) return 0;
      continue;
    }
    FILE* file = VolumeFile(context, k);
    if (!file) return 0;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(room, length));
    const size_t landed = WriteCounted(file, data, n, open);
    context->volumeSizes[k] += landed;
    data += landed;
    length -= landed;
    if (landed < n) {
      if (!open) return 0;
      // The file system took no more: the volume ends here.
      context->volumeOpenEnded = 1;
    }
  }
  return 1;
}

int QvfWriteSplitFixed(CQvfContext* context, uint64_t position, const uint8_t* data, size_t length) {
  while (length > 0) {
    uint64_t inFile = 0;
    const int32_t k = QvfLocateOffset(context, position, &inFile);
    if (k < 0) return 0;
    const uint64_t left = Usable(context, static_cast<size_t>(k)) - (position - context->volumeStarts[k]);
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, length));
    FILE* file = k == 0 ? context->file : nullptr;
    FILE* opened = nullptr;
    if (!file) {
      const std::wstring name = QvfMakeVolumeName(context->firstVolumeName.c_str(), k, context->naming);
      opened = file = name.empty() ? nullptr : FileOpenReadWrite(name.c_str());
      if (!file) return 0;
    }
    bool ok = FileWriteAt(file, data, static_cast<int64_t>(inFile), n) == 1;
    if (opened && FileClose(opened) != 0) ok = false;
    if (!ok) return 0;
    data += n;
    position += n;
    length -= n;
  }
  return 1;
}

int QvfFinishSplit(CQvfContext* context) {
  const int32_t last = context->volumeCount - 1;
  if (last == 0) {
    if (context->selfExtracting) {
      uint8_t trailer[kSfxTrailerSize];
      QvfMakeSfxTrailer(context->sfxTrailer, trailer);
      if (std::fwrite(trailer, 1, sizeof trailer, context->file) != sizeof trailer) return 0;
      context->volumeSizes[0] += kSfxTrailerSize;
    }
  } else {
    FILE* file = context->currentVolumeFile;
    context->currentVolumeFile = nullptr;
    context->currentVolume = -1;
    if (FileClose(file) != 0) return 0;
  }
  for (const uint64_t size : context->volumeSizes)
    if (size > kQvfMaxVolumeBytes) return 0;
  // The heads of the later volumes, now that the count and every size are known.
  for (int32_t k = 1; k <= last; ++k) {
    uint8_t head[kQvfVolumeHeadSize];
    QvfMakeVolumeHeader(head);
    MakeVolumeParams(context, k, head + kQvfVolumeHeaderSize);
    const std::wstring name = QvfMakeVolumeName(context->firstVolumeName.c_str(), k, context->naming);
    FILE* file = name.empty() ? nullptr : FileOpenReadWrite(name.c_str());
    if (!file) return 0;
    const bool ok = FileWriteAt(file, head, 0, sizeof head) == 1;
    if (FileClose(file) != 0 || !ok) return 0;
  }
  // Volume 0: the parameter block and the size table right after the main header.
  std::vector<uint8_t> blocks(kQvfVolumeParamsSize + VolumeSizesBlockLength(context->naming), 0);
  MakeVolumeParams(context, 0, blocks.data());
  uint8_t* table = blocks.data() + kQvfVolumeParamsSize;
  QvfStore32(table, kQvfBlockVolumeSizes);
  QvfStore32(table + 4, VolumeSizesBlockLength(context->naming));
  QvfStore32(table + 8, static_cast<uint32_t>(context->volumeCount));
  QvfStore32(table + 12, 1);
  for (int32_t k = 0; k <= last; ++k) QvfStore40(table + 16 + 5 * k, context->volumeSizes[k]);
  return FileWriteAt(context->file, blocks.data(), static_cast<int64_t>(context->streamBase + kQvfHeaderSize),
                     blocks.size());
}
