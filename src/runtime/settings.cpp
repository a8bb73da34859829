#include "runtime/settings.h"

namespace {

constexpr uint32_t kStatusModeShift = 24;
constexpr uint32_t kStatusModeMask = 0xFu << kStatusModeShift;

constexpr uint32_t kStatusDefault = SettingsFindKey(L"Status")->defaultValue;
constexpr uint32_t kFixedTimeDefault = SettingsFindKey(L"TimeFixed")->defaultValue;

}  // namespace

uint32_t SettingsGetInt(const wchar_t* /*key*/, uint32_t defaultValue) { return defaultValue; }

uint32_t SettingsGetIntClamped(const wchar_t* key, uint32_t defaultValue, uint32_t min, uint32_t max) {
  return SettingsClampValue(SettingsGetInt(key, defaultValue), defaultValue, min, max);
}

const wchar_t* SettingsGetString(const wchar_t* /*key*/) {
  static const wchar_t empty[1] = {L'\0'};
  return empty;
}

int32_t SettingsGetBytes(const wchar_t* /*key*/, void* /*buffer*/, int32_t /*size*/) { return 0; }

int SettingsSetInt(const wchar_t* /*key*/, uint32_t /*value*/) { return 1; }

int SettingsSetString(const wchar_t* /*key*/, const wchar_t* /*text*/) { return 1; }

uint32_t SettingsGetStatus() { return SettingsGetInt(L"Status", kStatusDefault); }

uint32_t SettingsGetStatusMode() {
  uint32_t mode = (SettingsGetStatus() & kStatusModeMask) >> kStatusModeShift;
  return mode > 2 ? 0 : mode;
}

void SettingsSetStatusMode(uint32_t mode) {
  uint32_t status = (SettingsGetStatus() & ~kStatusModeMask) | ((mode << kStatusModeShift) & kStatusModeMask);
  SettingsSetInt(L"Status", status);
}

const wchar_t* SettingsGetAudioFileNameFormat() {
  const wchar_t* text = SettingsGetString(L"AudioFileNameFormat");
  return text[0] != L'\0' ? text : L"|#-|t";
}

uint32_t SettingsGetFixedTime() { return SettingsGetInt(L"TimeFixed", kFixedTimeDefault); }
