#include "runtime/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>

#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/strutil.h"
#include "runtime/textconv.h"
#include "runtime/wstring.h"
#include "runtime/ui.h"

namespace {

using MultiBytePath = std::unique_ptr<char, MemFreeDeleter>;

// The platform form of a wide path; null when it cannot be converted (errno says why).
MultiBytePath ToPlatform(const wchar_t* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  return MultiBytePath(TextWideToMultiByteDup(path));
}

FILE* OpenWithMode(const wchar_t* path, const char* mode) {
  MultiBytePath mb = ToPlatform(path);
  return mb ? std::fopen(mb.get(), mode) : nullptr;
}

}  // namespace

FILE* FileOpenRead(const wchar_t* path) { return OpenWithMode(path, "rb"); }
FILE* FileOpenForRead(const wchar_t* path) { return OpenWithMode(path, "rb"); }
FILE* FileOpenReadWrite(const wchar_t* path) { return OpenWithMode(path, "r+b"); }
FILE* FileCreate(const wchar_t* path) { return OpenWithMode(path, "w+b"); }
FILE* FileCreate2(const wchar_t* path) { return OpenWithMode(path, "w+b"); }

// Extracted files land in a folder whose contents came from elsewhere: a symbolic link planted at the target
// name must not redirect the write.
FILE* FileOpenCreate(const wchar_t* path) {
  MultiBytePath mb = ToPlatform(path);
  if (!mb) return nullptr;
  int fd = open(mb.get(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  FILE* stream = fdopen(fd, "w+b");
  if (stream == nullptr) {
    int saved = errno;
    close(fd);
    errno = saved;
  }
  return stream;
}

int FileConfirmOverwrite(const wchar_t* path) {
  MultiBytePath mb = ToPlatform(path);
  struct stat st;
  if (!mb || stat(mb.get(), &st) != 0) return 0;
  CWideString question = CWideString(path) + L": " + L"The file already exists. Do you want to overwrite it?";
  return UiAsk(question.c_str(), kAskYes | kAskNo) == kAskYes ? 0 : -1;
}

FILE* FileCreateChecked(const wchar_t* path) {
  if (FileConfirmOverwrite(path) != 0) return nullptr;
  FILE* stream = OpenWithMode(path, "w+b");
  if (stream == nullptr) ErrorReport(path);
  return stream;
}

int FileClose(FILE* stream) { return stream == nullptr ? 0 : std::fclose(stream); }

int FileSeek(FILE* stream, int64_t offset) {
  if (stream == nullptr) return 0;
  if (offset == kFileNoSeek) return 1;
  return fseeko(stream, static_cast<off_t>(offset), SEEK_SET) == 0 ? 1 : 0;
}

int64_t FileReadAtCount(FILE* stream, void* buffer, int64_t offset, size_t n) {
  if (stream == nullptr || buffer == nullptr || !FileSeek(stream, offset)) return -1;
  return static_cast<int64_t>(std::fread(buffer, 1, n, stream));
}

int FileReadAt(FILE* stream, void* buffer, int64_t offset, size_t n) {
  return FileReadAtCount(stream, buffer, offset, n) == static_cast<int64_t>(n) ? 1 : 0;
}

int FileReadExact(FILE* stream, void* buffer, size_t n) { return FileReadAt(stream, buffer, kFileNoSeek, n); }

int64_t FileWriteAtCount(FILE* stream, const void* buffer, int64_t offset, size_t n) {
  if (stream == nullptr || buffer == nullptr || !FileSeek(stream, offset)) return -1;
  return static_cast<int64_t>(std::fwrite(buffer, 1, n, stream));
}

int FileWriteAt(FILE* stream, const void* buffer, int64_t offset, size_t n) {
  return FileWriteAtCount(stream, buffer, offset, n) == static_cast<int64_t>(n) ? 1 : 0;
}

int FileWriteExactAt(FILE* stream, const void* buffer, int64_t offset, size_t n) {
  return FileWriteAt(stream, buffer, offset, n);
}

int64_t FileWriteWideText(FILE* stream, const wchar_t* text, int64_t offset) {
  if (text == nullptr) return -1;
  MultiBytePath mb(TextWideToMultiByteDup(text));
  if (!mb) return -1;
  size_t n = std::strlen(mb.get());
  if (n == 0) return -1;
  return FileWriteAt(stream, mb.get(), offset, n) ? static_cast<int64_t>(n) : -1;
}

int64_t FileGetSize(FILE* stream) {
  if (stream == nullptr || fseeko(stream, 0, SEEK_END) != 0) return 0;
  off_t size = ftello(stream);
  if (fseeko(stream, 0, SEEK_SET) != 0 || size < 0) return 0;
  return static_cast<int64_t>(size);
}

int64_t FileGetSizeByPath(const wchar_t* path) {
  FILE* stream = FileOpenRead(path);
  if (stream == nullptr) return -1;
  int64_t size = FileGetSize(stream);
  std::fclose(stream);
  return size;
}

int FileDelete(const wchar_t* path) {
  MultiBytePath mb = ToPlatform(path);
  return mb && unlink(mb.get()) == 0 ? 1 : 0;
}

int FileRename(const wchar_t* oldPath, const wchar_t* newPath) {
  MultiBytePath from = ToPlatform(oldPath);
  if (!from) return 0;
  MultiBytePath to = ToPlatform(newPath);
  return to && std::rename(from.get(), to.get()) == 0 ? 1 : 0;
}

int RawFileOpen(const wchar_t* path) {
  MultiBytePath mb = ToPlatform(path);
  if (!mb) return 0;
  int fd = open(mb.get(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return 0;
  if (fd == 0) {
    // Descriptor 0 means "not open" to every caller: move the device off it.
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    int saved = errno;
    close(fd);
    errno = saved;
    fd = moved < 0 ? 0 : moved;
  }
  return fd;
}

int RawFileOpen2(const wchar_t* path) { return RawFileOpen(path); }

void RawFileClose(int descriptor) {
  if (descriptor != 0) close(descriptor);
}

void RawFileCloseHook(int /*descriptor*/) {}

FILE* FileOpenNullHook(const wchar_t* /*path*/) { return nullptr; }

int64_t DeviceGetSizeHook(int /*descriptor*/) { return 0; }

namespace {

uint32_t MonotonicMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(ts.tv_sec) * 1000u + static_cast<uint32_t>(ts.tv_nsec / 1000000);
}

}  // namespace

uint32_t SysGetTickCountMs() {
  uint32_t now = MonotonicMs();
  static const uint32_t base = now;  // taken once, by the first call
  return now - base + 1000000u;
}

void SysSleepMs2(uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

wchar_t* WcsMakeUpper(wchar_t* text) { return WcsToUpperAscii(text); }
wchar_t* WcsMakeLower(wchar_t* text) { return WcsToLowerAscii(text); }

wchar_t* WcsDup(const wchar_t* text) { return text == nullptr ? nullptr : wcsdup(text); }

const wchar_t* PathFindLastSlash(const wchar_t* path) { return path == nullptr ? nullptr : std::wcsrchr(path, L'/'); }

int PathEndsWithSlash(const wchar_t* path) {
  if (path == nullptr || path[0] == L'\0') return 0;
  return path[std::wcslen(path) - 1] == L'/' ? 1 : 0;
}

size_t PathAppendSlash(wchar_t* path) {
  if (path == nullptr) return 0;
  size_t n = std::wcslen(path);
  if (n == 0 || path[n - 1] != L'/') {
    path[n++] = L'/';
    path[n] = L'\0';
  }
  return n;
}

size_t PathStripTrailingSlash(wchar_t* path) {
  if (path == nullptr) return 0;
  size_t n = std::wcslen(path);
  if (n > 0 && path[n - 1] == L'/') path[--n] = L'\0';
  return n;
}
