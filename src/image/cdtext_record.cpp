#include "image/cdtext_record.h"

#include <algorithm>
#include <climits>
#include <cwchar>
#include <iterator>
#include <new>

CCdTextRecord* CdTextRecordNew() { return new (std::nothrow) CCdTextRecord{}; }

void CdTextRecordFree(CCdTextRecord* record) { delete record; }

CCdTextRecord* CdTextRecordClone(const CCdTextRecord* record) {
  if (!record) return nullptr;
  CCdTextRecord* copy = CdTextRecordNew();
  if (!copy) return nullptr;
  copy->flags = record->flags;
  copy->indexCount = record->indexCount;
  std::copy(std::begin(record->index), std::end(record->index), copy->index);
  for (int slot = 0; slot < kCdTextSlotCount; ++slot) {
    // A fresh buffer: a clone may be handed to another thread, and shared strings count their users plainly.
    const CWideString& text = record->texts[slot];
    copy->texts[slot] = CWideString(text.c_str(), WstrGetLength(text));
    copy->multiByteTexts[slot] = record->multiByteTexts[slot];
  }
  return copy;
}

int CdTextSetText(CCdTextRecord* record, int slot, const wchar_t* text, int32_t maxChars) {
  if (!record || slot < 0 || slot >= kCdTextSlotCount) return 0;
  if (!text || !*text) {
    record->texts[slot] = CWideString();
    return 1;
  }
  size_t n = std::wcslen(text);
  if (maxChars >= 0) n = std::min<size_t>(n, static_cast<size_t>(maxChars));
  n = std::min<size_t>(n, INT32_MAX);
  record->texts[slot] = CWideString(text, static_cast<int32_t>(n));
  return 1;
}

const wchar_t* CdTextGetText(const CCdTextRecord* record, int slot) {
  if (!record || slot < 0 || slot >= kCdTextSlotCount) return nullptr;
  return WstrIsEmpty(record->texts[slot]) ? nullptr : record->texts[slot].c_str();
}
