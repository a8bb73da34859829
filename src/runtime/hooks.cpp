#include "runtime/hooks.h"

#include <strings.h>

#include <cwctype>

#include "runtime/file.h"
#include "runtime/strutil.h"

void UiHookNotify() {}
void UiHookTreeCopyA() {}
void UiHookTreeCopyB() {}
void UiHookIdle() {}
void UiHookDiscId() {}
void UiHookImageShown() {}
void UiHookNtfs() {}
void UiHookImagePath(const wchar_t* /*path*/) {}
void UiHookEntryAdded() {}
void UiHookVolumeIds() {}
void UiHookEntryChanged() {}
void UiHookVcd1() {}
void UiHookVcd2() {}
void UiHookVcd3() {}
void UiHookVcd4() {}
void UiHookEntryFreed() {}
void UiHookImageClosed() {}
void UiHookTrackTableFreed() {}
void UiHookQvf() {}
void UiHookBurnState() {}
void UiHookWavHeader() {}
void UiHookNodeAdded() {}
void UiHookIsoTree() {}
void UiHookUniqueName() {}
void UiHookWriteSectors() {}
void DebugTrace(const wchar_t* /*text*/) {}
void DebugDump(const void* /*data*/, int64_t /*size*/) {}
void ImageNotifyModified() {}

int UiHookImageOpenCheck() { return 0; }
int UiHookSaveAllowed() { return 1; }
int UiHookFileData() { return 0; }
int UiHookUsedSectorMap() { return 0; }
int UiHookDiskRead() { return 0; }
int UiHookDiskRead2() { return 0; }
void* UiHookNull() { return nullptr; }
void* UiHookNull2() { return nullptr; }
double UiHookZeroFloat() { return 0.0; }
int UiHookOne() { return 1; }
int UiHookExtract() { return 0; }
int UiHookDriveLock() { return 0; }
int UiHookContinue() { return 1; }
int UiHookBurnProgress() { return 1; }
int UiHookBufferProgress() { return 1; }
int UiHookSaveOption1() { return 0; }
int UiHookSaveOption2() { return 0; }
int UiHookSaveOption3() { return 0; }
int UiHookSaveOption4() { return 0; }
int UiHookSaveOption5() { return 0; }
int UiHookSaveOption6() { return 0; }
int UiHookSaveOption7() { return 0; }
int UiHookPrepareWrite() { return 1; }
int FsProbeHookA() { return 0; }
int FsProbeHookB() { return 0; }
int FsProbeHookC() { return 0; }
int FsProbeHookD() { return -1; }
int UiHookMediaError() { return 0; }
int UiHookSaveTempA() { return 0; }
int UiHookSaveTempB() { return 0; }
FILE* ArchiveOpenHook(const wchar_t* /*path*/) { return nullptr; }
const void* SfxResourceHook() { return nullptr; }
int CliCheckDrive(const wchar_t* /*name*/) { return 1; }
int FormatCharWidth() { return 4; }

wchar_t* WideUpperCall(wchar_t* text) { return WcsToUpperAscii(text); }
wchar_t* WideLowerCall(wchar_t* text) { return WcsToLowerAscii(text); }
const wchar_t* WcsFindChar(const wchar_t* text, wchar_t c) { return std::wcschr(text, c); }
const wchar_t* WideFindLastChar(const wchar_t* text, wchar_t c) { return std::wcsrchr(text, c); }
const wchar_t* WideFindString(const wchar_t* text, const wchar_t* sub) { return std::wcsstr(text, sub); }
const wchar_t* WcsFindAnyOf(const wchar_t* text, const wchar_t* set) { return std::wcspbrk(text, set); }
int WideCompareN(const wchar_t* a, const wchar_t* b, size_t n) { return std::wcsncmp(a, b, n); }
int WcsCompare(const wchar_t* a, const wchar_t* b) { return std::wcscmp(a, b); }
const wchar_t* WideNextChar(const wchar_t* text) { return *text != L'\0' ? text + 1 : text; }
int IsAsciiDigit(wchar_t c) { return c >= L'0' && c <= L'9' ? 1 : 0; }
int64_t WcsToInt64(const wchar_t* text) { return std::wcstoll(text, nullptr, 10); }
int WcsIsSpace(wchar_t c) { return std::iswspace(static_cast<wint_t>(c)) ? 1 : 0; }
int StrCompareNoCase(const char* a, const char* b) { return strcasecmp(a, b); }
void SysSleepMs(uint32_t ms) { SysSleepMs2(ms); }

void StoreIntPair(int32_t* first, int32_t* second, int32_t firstValue, int32_t secondValue) {
  *first = firstValue;
  *second = secondValue;
}

int64_t StoreInt64(int64_t* target, int64_t value) {
  *target = value;
  return value;
}
