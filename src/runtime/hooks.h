// Named points where the deeper layers report events to, or ask decisions of, a user interface. The command
// line attaches nothing: each hook does nothing or returns the answer that lets the operation go on, so that
// another front end can attach behaviour without touching the callers. Also the thin named wrappers over the
// standard wide-string routines.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cwchar>

// Events: nothing happens.
void UiHookNotify();
void UiHookTreeCopyA();
void UiHookTreeCopyB();
void UiHookIdle();
void UiHookDiscId();
void UiHookImageShown();
void UiHookNtfs();
void UiHookImagePath(const wchar_t* path);
void UiHookEntryAdded();
void UiHookVolumeIds();
void UiHookEntryChanged();
void UiHookVcd1();
void UiHookVcd2();
void UiHookVcd3();
void UiHookVcd4();
void UiHookEntryFreed();
void UiHookImageClosed();
void UiHookTrackTableFreed();
void UiHookQvf();
void UiHookBurnState();
void UiHookWavHeader();
void UiHookNodeAdded();
void UiHookIsoTree();
void UiHookUniqueName();
void UiHookWriteSectors();
void DebugTrace(const wchar_t* text);
void DebugDump(const void* data, int64_t size);
void ImageNotifyModified();

// Decisions with a fixed answer.
int UiHookImageOpenCheck();      // 0: nothing to refuse after an image opened
int UiHookSaveAllowed();         // 1: the image may be kept or saved
int UiHookFileData();            // 0: go on
int UiHookUsedSectorMap();       // 0: go on
int UiHookDiskRead();            // 0: go on
int UiHookDiskRead2();           // 0: go on
void* UiHookNull();              // no object supplied
void* UiHookNull2();             // no object supplied
double UiHookZeroFloat();        // 0.0
int UiHookOne();                 // 1: success
int UiHookExtract();             // 0: extract in 2,048-byte form, not raw
int UiHookDriveLock();           // 0
int UiHookContinue();            // 1: go on writing or verifying
int UiHookBurnProgress();        // 1: go on
int UiHookBufferProgress();      // 1: go on
int UiHookSaveOption1();         // 0: no writer for this kind of document
int UiHookSaveOption2();
int UiHookSaveOption3();
int UiHookSaveOption4();
int UiHookSaveOption5();
int UiHookSaveOption6();
int UiHookSaveOption7();
int UiHookPrepareWrite();        // 1: the tree may be written
int FsProbeHookA();              // 0: file system not recognised
int FsProbeHookB();              // 0
int FsProbeHookC();              // 0
int FsProbeHookD();              // -1: file system not recognised
int UiHookMediaError();          // 0: no decision on a media error
int UiHookSaveTempA();           // 0: confirmation refused
int UiHookSaveTempB();           // 0: confirmation refused
FILE* ArchiveOpenHook(const wchar_t* path);  // null: such archives cannot be opened
const void* SfxResourceHook();   // null: no self-extractor resource
int CliCheckDrive(const wchar_t* name);      // 1: every drive name is accepted
int FormatCharWidth();           // 4: bytes per wide character in format-length estimates

// Wrappers.
wchar_t* WideUpperCall(wchar_t* text);  // ASCII letters, in place
wchar_t* WideLowerCall(wchar_t* text);
const wchar_t* WcsFindChar(const wchar_t* text, wchar_t c);
const wchar_t* WideFindLastChar(const wchar_t* text, wchar_t c);
const wchar_t* WideFindString(const wchar_t* text, const wchar_t* sub);
const wchar_t* WcsFindAnyOf(const wchar_t* text, const wchar_t* set);
int WideCompareN(const wchar_t* a, const wchar_t* b, size_t n);
int WcsCompare(const wchar_t* a, const wchar_t* b);
const wchar_t* WideNextChar(const wchar_t* text);  // the position after one character; the NUL stays put
int IsAsciiDigit(wchar_t c);
int64_t WcsToInt64(const wchar_t* text);  // base 10
int WcsIsSpace(wchar_t c);                // the locale's space class
int StrCompareNoCase(const char* a, const char* b);
void SysSleepMs(uint32_t ms);
void StoreIntPair(int32_t* first, int32_t* second, int32_t firstValue, int32_t secondValue);
int64_t StoreInt64(int64_t* target, int64_t value);  // stores and returns the value
