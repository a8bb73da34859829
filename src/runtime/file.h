// Files by wide path, raw device nodes, the millisecond tick and small wide-path helpers.
//
// Paths are converted to the locale's multibyte text just before each call; a path that cannot be converted
// fails like a failed open. Files are stdio streams with 64-bit offsets. In every routine that takes an offset,
// -1 means "the current position": no seek is made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cwchar>

constexpr int64_t kFileNoSeek = -1;

// "rb": stream or null.
FILE* FileOpenRead(const wchar_t* path);
FILE* FileOpenForRead(const wchar_t* path);
// "r+b": stream or null.
FILE* FileOpenReadWrite(const wchar_t* path);
// "w+b" (creates or truncates). FileOpenCreate, which writes extracted files, does not follow a symbolic link
// standing at the path; FileCreate and FileCreate2 do.
FILE* FileOpenCreate(const wchar_t* path);
FILE* FileCreate(const wchar_t* path);
FILE* FileCreate2(const wchar_t* path);
// FileConfirmOverwrite, then "w+b". Null when the user declines, or when the open fails (reported through
// ErrorReport with the path).
FILE* FileCreateChecked(const wchar_t* path);
// 0 when nothing exists at the path or the user answers Yes to the overwrite question; -1 otherwise.
int FileConfirmOverwrite(const wchar_t* path);
// Closes a stream; null is accepted. 0, or EOF when the close (its final write) failed.
int FileClose(FILE* stream);

// 1 when the stream is positioned at `offset` (or offset is -1); 0 for a null stream or a failed seek.
int FileSeek(FILE* stream, int64_t offset);
// Reads up to n bytes at `offset`: the count read, or -1 for a null stream or buffer or a failed seek.
int64_t FileReadAtCount(FILE* stream, void* buffer, int64_t offset, size_t n);
// 1 when exactly n bytes were read at `offset`, else 0.
int FileReadAt(FILE* stream, void* buffer, int64_t offset, size_t n);
// 1 when exactly n bytes were read at the current position, else 0.
int FileReadExact(FILE* stream, void* buffer, size_t n);
// Writes n bytes at `offset`: the count written, or -1 for a null stream or buffer or a failed seek.
int64_t FileWriteAtCount(FILE* stream, const void* buffer, int64_t offset, size_t n);
// 1 when all n bytes were written at `offset`, else 0.
int FileWriteAt(FILE* stream, const void* buffer, int64_t offset, size_t n);
int FileWriteExactAt(FILE* stream, const void* buffer, int64_t offset, size_t n);
// Writes the multibyte form of `text` (without its NUL) at `offset`: the byte count, or -1 when the text
// converts to nothing or the write is short.
int64_t FileWriteWideText(FILE* stream, const wchar_t* text, int64_t offset);

// Size of an open stream, which is left positioned at 0; 0 when it cannot be sized.
int64_t FileGetSize(FILE* stream);
// Size of the file at `path`, or -1 when it cannot be opened.
int64_t FileGetSizeByPath(const wchar_t* path);
// Removes the file (never a folder): 1 on success, 0 on failure.
int FileDelete(const wchar_t* path);
// 1 on success, 0 on failure.
int FileRename(const wchar_t* oldPath, const wchar_t* newPath);

// Raw device nodes: a read-write descriptor, or 0 when the open fails (0 always means "not open").
int RawFileOpen(const wchar_t* path);
int RawFileOpen2(const wchar_t* path);
// Closes a non-zero descriptor.
void RawFileClose(int descriptor);
void RawFileCloseHook(int descriptor);
// No alternative opener exists: always null.
FILE* FileOpenNullHook(const wchar_t* path);
// The device size is not available through this layer: always 0.
int64_t DeviceGetSizeHook(int descriptor);

// Milliseconds from a monotonic clock: the first call answers 1,000,000 and later calls count up from there.
// 32-bit: differences are valid modulo 2^32.
uint32_t SysGetTickCountMs();
void SysSleepMs2(uint32_t ms);

// ASCII case changes in place; the text is returned.
wchar_t* WcsMakeUpper(wchar_t* text);
wchar_t* WcsMakeLower(wchar_t* text);
// A heap copy freed with MemFree; null on failure.
wchar_t* WcsDup(const wchar_t* text);
// The last '/' of the path, or null.
const wchar_t* PathFindLastSlash(const wchar_t* path);
// 1 when the path is non-null, non-empty and ends in '/'.
int PathEndsWithSlash(const wchar_t* path);
// Appends '/' unless the path ends in one (the buffer needs room for one more character): the new length.
// Null gives 0.
size_t PathAppendSlash(wchar_t* path);
// Removes one trailing '/': the new length. Null gives 0.
size_t PathStripTrailingSlash(wchar_t* path);
