// Named settings keys. The program keeps no settings store: every read gives the default and every write is
// accepted and forgotten. The accessors and the key table below are the contract a store would have to keep.
#pragma once

#include <cstdint>
#include <string_view>

enum class SettingsKind : uint8_t { kInt, kText, kBytes };

struct SettingsKeyInfo {
  std::wstring_view name;
  SettingsKind kind;
  uint32_t defaultValue;  // integer keys
  uint32_t min;           // accepted range of integer keys; values outside it read as the default
  uint32_t max;
};

inline constexpr SettingsKeyInfo kSettingsKeys[] = {
    {L"TimeFixed", SettingsKind::kInt, 0, 0, UINT32_MAX},
    {L"UseFileCreationTime", SettingsKind::kInt, 0, 0, 1},
    {L"DefaultFileType", SettingsKind::kInt, 0, 0, 1},  // 0: new documents are QVF, 1: ISO
    {L"ShowMacFiles", SettingsKind::kInt, 0, 0, 1},
    {L"LameEncodeMode", SettingsKind::kInt, 0, 0, 4},
    {L"ApeCompressionLevel", SettingsKind::kInt, 2, 1, 5},
    {L"FlacCompressionLevel", SettingsKind::kInt, 5, 0, 8},
    {L"OggEncodeQuality", SettingsKind::kInt, 0x101770, 0x100000, 0x3001F4},
    {L"AudioOutputFormat", SettingsKind::kInt, 3, 1, 6},
    {L"AudioOutputMode", SettingsKind::kInt, 0, 0, 1},
    {L"AudioFileNameFormat", SettingsKind::kText, 0, 0, 0},  // empty reads as "|#-|t"
    {L"DmFlags", SettingsKind::kInt, 0, 0, UINT32_MAX},
    {L"DmFileName", SettingsKind::kText, 0, 0, 0},
    {L"BurnBuffer", SettingsKind::kInt, 8, 8, 128},
    {L"WriteCDText", SettingsKind::kInt, 1, 0, 1},
    {L"EraseTime", SettingsKind::kBytes, 0, 0, 0},
    {L"Status", SettingsKind::kInt, 5, 0, UINT32_MAX},  // bits 24 to 27: the burn status mode
};

// The table row of a key, or null.
constexpr const SettingsKeyInfo* SettingsFindKey(std::wstring_view name) {
  for (const SettingsKeyInfo& key : kSettingsKeys) {
    if (key.name == name) return &key;
  }
  return nullptr;
}

// The range rule of every clamped read: `value` when it lies in [min, max] compared unsigned, else the default.
constexpr uint32_t SettingsClampValue(uint32_t value, uint32_t defaultValue, uint32_t min, uint32_t max) {
  return value < min || value > max ? defaultValue : value;
}

uint32_t SettingsGetInt(const wchar_t* key, uint32_t defaultValue);
uint32_t SettingsGetIntClamped(const wchar_t* key, uint32_t defaultValue, uint32_t min, uint32_t max);
// The key's text; valid until the next call. Always empty here.
const wchar_t* SettingsGetString(const wchar_t* key);
// Copies the key's bytes into the buffer: the count copied (always 0 here).
int32_t SettingsGetBytes(const wchar_t* key, void* buffer, int32_t size);
// 1: accepted.
int SettingsSetInt(const wchar_t* key, uint32_t value);
int SettingsSetString(const wchar_t* key, const wchar_t* text);

// "Status" (default 5).
uint32_t SettingsGetStatus();
// Bits 24 to 27 of "Status": 0..2 (a larger value reads as 0).
uint32_t SettingsGetStatusMode();
void SettingsSetStatusMode(uint32_t mode);
// The track file-name pattern: the key's text, or "|#-|t" when it is empty.
const wchar_t* SettingsGetAudioFileNameFormat();
// "TimeFixed": a fixed time for the dates of a built image, 0 for none.
uint32_t SettingsGetFixedTime();
