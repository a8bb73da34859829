#include "runtime/tempfiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "runtime/file.h"
#include "runtime/memory.h"
#include "runtime/ptrarray.h"
#include "runtime/textconv.h"

namespace {

constexpr size_t kTempFolderCapacity = 1025;  // characters, the NUL included
constexpr wchar_t kTempFolderName[] = L"$Kestrane$";
constexpr int kUniqueNameAttempts = 64;

wchar_t g_tempFolder[kTempFolderCapacity];  // with its final '/' once ready; "" while unusable

using MultiByte = std::unique_ptr<char, MemFreeDeleter>;

MultiByte ToPlatform(const wchar_t* text) {
  if (text == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  return MultiByte(TextWideToMultiByteDup(text));
}

class FdOwner {
 public:
  explicit FdOwner(int fd) : fd_(fd) {}
  FdOwner(const FdOwner&) = delete;
  FdOwner& operator=(const FdOwner&) = delete;
  ~FdOwner() {
    if (fd_ >= 0) {
      int saved = errno;
      close(fd_);
      errno = saved;
    }
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// Makes the temporary folder when it is missing and opens it, refusing anything but a directory of our own:
// the descriptor, or -1 with errno set. A folder of ours that others may enter is closed to them first.
int OpenOwnFolder(const char* folder) {
  if (mkdir(folder, 0700) != 0 && errno != EEXIST) return -1;
  int fd = open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;  // ELOOP for a link, ENOTDIR for a file
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
    close(fd);
    errno = EACCES;
    return -1;
  }
  if ((st.st_mode & 077) != 0 && fchmod(fd, 0700) != 0) {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

// The temporary folder without its final '/', in platform form.
MultiByte TempFolderPlatformPath() {
  size_t n = std::wcslen(g_tempFolder);
  if (n == 0) {
    errno = ENOENT;
    return nullptr;
  }
  std::wstring folder(g_tempFolder, n - 1);
  return ToPlatform(folder.c_str());
}

uint32_t RandomWord() {
  uint32_t value = 0;
  if (getrandom(&value, sizeof value, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof value)) {
    static uint32_t counter = 0;
    value = static_cast<uint32_t>(SysGetTickCountMs()) * 2654435761u + ++counter;
  }
  return value;
}

// Removes what the open folder `dirFd` holds. Takes ownership of the descriptor.
void DeleteFolderContents(int dirFd) {
  DIR* dir = fdopendir(dirFd);
  if (dir == nullptr) {
    close(dirFd);
    return;
  }
  while (dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    bool isFolder = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat st;
      isFolder = fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    }
    if (isFolder) {
      // O_NOFOLLOW: should the folder have been swapped for a link meanwhile, the link is not entered.
      int sub = openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub >= 0) DeleteFolderContents(sub);
      unlinkat(dirFd, name, AT_REMOVEDIR);
    } else {
      unlinkat(dirFd, name, 0);
    }
  }
  closedir(dir);
}

}  // namespace

void TempFolderInitAtStart() { TempFolderInit(); }

int TempFolderInit() { return TempFolderInitAt(L"/tmp"); }

int TempFolderInitAt(const wchar_t* base) {
  g_tempFolder[0] = L'\0';
  if (base == nullptr || base[0] == L'\0') return 0;
  std::wstring folder(base);
  if (folder.back() != L'/') folder += L'/';
  folder += kTempFolderName;
  if (folder.size() + 1 >= kTempFolderCapacity) {  // room for the final '/' and the NUL
    errno = ENAMETOOLONG;
    return 0;
  }
  MultiByte mb = ToPlatform(folder.c_str());
  if (!mb) return 0;

  // A plain file left at the folder's name is removed; a link or anything else there is refused below.
  struct stat st;
  if (lstat(mb.get(), &st) == 0 && S_ISREG(st.st_mode)) unlink(mb.get());
  FolderCreatePath(nullptr, folder.c_str());
  FdOwner fd(OpenOwnFolder(mb.get()));
  if (fd.get() < 0) return 0;

  folder += L'/';
  std::wmemcpy(g_tempFolder, folder.c_str(), folder.size() + 1);
  return 1;
}

const wchar_t* TempFolderGetPath() { return g_tempFolder[0] != L'\0' ? g_tempFolder : nullptr; }

int FolderCreatePath(const void* /*unused*/, const wchar_t* path) {
  MultiByte mb = ToPlatform(path);
  if (!mb) return 0;
  int savedErrno = errno;
  char* text = mb.get();
  char* deepest = nullptr;
  // Multibyte text never holds the byte '/' inside another character, so the cuts fall where the wide ones do.
  for (char* slash = text[0] != '\0' ? std::strchr(text + 1, '/') : nullptr; slash != nullptr;
       slash = std::strchr(slash + 1, '/')) {
    *slash = '\0';
    mkdir(text, 0777);
    *slash = '/';
    deepest = slash;
  }
  if (deepest == nullptr) return 1;
  *deepest = '\0';
  struct stat st;
  int made = stat(text, &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
  if (made) errno = savedErrno;  // an existing folder is no failure for the caller's error report
  return made;
}

int FolderDeleteTree(const wchar_t* path) {
  MultiByte mb = ToPlatform(path);
  if (!mb) return 0;
  // A trailing '/' would make the open below go through a link standing at the path.
  std::string folder(mb.get());
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (folder.empty() || folder == "/") return 0;
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return 0;
  DeleteFolderContents(fd);
  rmdir(folder.c_str());
  return 0;
}

int TempFileAdd(const wchar_t* path, FILE* file, int purgeNow) {
  std::unique_ptr<CTempFileEntry> entry(new (std::nothrow) CTempFileEntry{CWideString(path), file});
  if (!entry || g_tempFileList.Add(entry.get()) < 0) {
    if (file != nullptr) std::fclose(file);
    FileDelete(path);
    return 0;
  }
  entry.release();  // the list owns it until the purge
  if (purgeNow == 1) TempFilePurge();
  return 1;
}

void TempFilePurge() {
  int32_t count = g_tempFileList.GetCount();
  for (int32_t i = 0; i < count; ++i) {
    std::unique_ptr<CTempFileEntry> entry(static_cast<CTempFileEntry*>(g_tempFileList.GetAt(i)));
    if (!entry) continue;
    if (entry->file != nullptr) std::fclose(entry->file);
    FileDelete(entry->path.c_str());
  }
  g_tempFileList.RemoveAll();
}

FILE* TempFileCreateUnique(const wchar_t* prefix, const wchar_t* suffix, CWideString& path) {
  if (prefix == nullptr) prefix = L"";
  if (suffix == nullptr) suffix = L"";
  if (std::wcschr(prefix, L'/') != nullptr || std::wcschr(suffix, L'/') != nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  MultiByte folder = TempFolderPlatformPath();
  if (!folder) return nullptr;
  // The folder is opened and checked again: it may have been removed since start-up.
  FdOwner dirFd(OpenOwnFolder(folder.get()));
  if (dirFd.get() < 0) return nullptr;

  for (int attempt = 0; attempt < kUniqueNameAttempts; ++attempt) {
    wchar_t unique[32];
    std::swprintf(unique, sizeof unique / sizeof unique[0], L"%x-%08x", static_cast<unsigned>(getpid()),
                  RandomWord());
    std::wstring name = std::wstring(prefix) + unique + suffix;
    MultiByte mbName = ToPlatform(name.c_str());
    if (!mbName) return nullptr;
    int fd = openat(dirFd.get(), mbName.get(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return nullptr;
    }
    FILE* stream = fdopen(fd, "w+b");
    if (stream == nullptr) {
      int saved = errno;
      close(fd);
      unlinkat(dirFd.get(), mbName.get(), 0);
      errno = saved;
      return nullptr;
    }
    path = CWideString(g_tempFolder) + name.c_str();
    return stream;
  }
  errno = EEXIST;
  return nullptr;
}
