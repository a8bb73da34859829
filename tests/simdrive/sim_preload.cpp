// Loaded into a process under test (LD_PRELOAD): "/dev/sgN" paths whose drive exists in the state folder named
// by KESTRANE_SIMDRIVE_DIR open as simulated drives, and SG_IO on them is answered by the simulator. Everything
// else passes through to the C library unchanged.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "simdrive/sim_drive.h"

namespace {

constexpr int kMaxFd = 4096;
int g_driveOfFd[kMaxFd];       // drive number + 1 of a simulated descriptor, 0 otherwise
std::recursive_mutex g_mutex;  // the simulator itself opens and closes its state files while it holds it

const char* StateDir() { return std::getenv("KESTRANE_SIMDRIVE_DIR"); }

// CPU time the simulator spent answering commands in this process (thread CPU clock around each command), so
// that a benchmark can tell the program's own CPU time from the simulator's. Added to sim-cpu.log in the state
// folder when the process ends.
std::atomic<int64_t> g_simulatorCpuNs{0};

// Reading a thread's CPU clock is a system call, two for each command: a timed run that does not want the
// figure turns the accounting off with KESTRANE_SIMDRIVE_CPU=0.
bool CountingCpu() {
  static const bool counting = [] {
    const char* value = std::getenv("KESTRANE_SIMDRIVE_CPU");
    return !value || std::strcmp(value, "0") != 0;
  }();
  return counting;
}

int64_t ThreadCpuNs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

__attribute__((destructor)) void ReportSimulatorCpu() {
  {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    simdrive::StoreState();
  }
  const char* dir = StateDir();
  int64_t ns = g_simulatorCpuNs.load();
  if (!dir || !*dir || ns == 0) return;
  if (FILE* log = std::fopen((std::string(dir) + "/sim-cpu.log").c_str(), "a")) {
    std::fprintf(log, "%lld\n", static_cast<long long>(ns));
    std::fclose(log);
  }
}

template <typename F>
F Next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// The drive a path names, or -1 when the path is not one of the simulated drives.
int SimulatedDrive(const char* path) {
  const char* dir = StateDir();
  if (!dir || !*dir) return -1;
  int n = simdrive::DriveNumberOfPath(path);
  if (n < 0 || !simdrive::DriveExists(dir, n)) return -1;
  return n;
}

int OpenDrive(int n, int flags) {
  using OpenFn = int (*)(const char*, int, ...);
  static OpenFn realOpen = Next<OpenFn>("open");
  int fd = realOpen("/dev/null", (flags & O_CLOEXEC) | O_RDWR);
  if (fd < 0) return fd;
  if (fd >= kMaxFd) {
    close(fd);
    errno = EMFILE;
    return -1;
  }
  std::lock_guard<std::recursive_mutex> lock(g_mutex);
  g_driveOfFd[fd] = n + 1;
  return fd;
}

int DriveOfFd(int fd) {
  if (fd < 0 || fd >= kMaxFd) return -1;
  std::lock_guard<std::recursive_mutex> lock(g_mutex);
  return g_driveOfFd[fd] - 1;
}

void FillStat(int n, struct stat* st) {
  std::memset(st, 0, sizeof *st);
  st->st_mode = S_IFCHR | 0660;
  st->st_rdev = makedev(21, n);
  st->st_dev = makedev(0, 5);
  st->st_ino = 1000 + n;
  st->st_nlink = 1;
  st->st_blksize = 4096;
}

int ModeArg(int flags, va_list ap) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, int) : 0;
}

int SgIo(int n, sg_io_hdr_t* h) {
  if (!h || h->interface_id != 'S') {
    errno = ENOSYS;
    return -1;
  }
  if (!h->cmdp || h->cmd_len == 0 || h->cmd_len > 16 || (h->dxfer_len && !h->dxferp)) {
    errno = EINVAL;
    return -1;
  }
  simdrive::Request req;
  req.cdb = h->cmdp;
  req.cdbLength = h->cmd_len;
  req.data = static_cast<uint8_t*>(h->dxferp);
  req.dataLength = h->dxfer_direction == SG_DXFER_NONE ? 0 : h->dxfer_len;
  req.direction = h->dxfer_direction;
  req.timeoutMs = h->timeout;
  req.senseCapacity = h->mx_sb_len;
  req.interfaceId = static_cast<char>(h->interface_id);
  simdrive::Reply reply;
  {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    const bool counting = CountingCpu();
    const int64_t started = counting ? ThreadCpuNs() : 0;
    // The state stays in memory while this process runs commands; it is stored when a drive is closed and when
    // the process ends.
    static bool keeping = (simdrive::KeepStateInMemory(true), true);
    (void)keeping;
    bool known = simdrive::Execute(StateDir(), n, req, &reply);
    if (counting) g_simulatorCpuNs += ThreadCpuNs() - started;
    if (!known) {
      errno = ENODEV;
      return -1;
    }
  }
  h->status = reply.status;
  h->masked_status = reply.status >> 1;
  h->msg_status = 0;
  h->host_status = reply.hostStatus;
  h->driver_status = reply.driverStatus | (reply.senseLength ? 0x08 : 0);
  int sb = reply.senseLength < h->mx_sb_len ? reply.senseLength : h->mx_sb_len;
  if (sb > 0 && h->sbp) std::memcpy(h->sbp, reply.sense, sb);
  h->sb_len_wr = sb > 0 ? sb : 0;
  h->resid = static_cast<int>(req.dataLength - std::min(reply.transferred, req.dataLength));
  h->duration = 1;
  h->info = (reply.status || h->host_status || h->driver_status) ? SG_INFO_CHECK : SG_INFO_OK;
  return 0;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  int mode = ModeArg(flags, ap);
  va_end(ap);
  int n = SimulatedDrive(path);
  if (n >= 0) return OpenDrive(n, flags);
  using OpenFn = int (*)(const char*, int, ...);
  static OpenFn real = Next<OpenFn>("open");
  return real(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  int mode = ModeArg(flags, ap);
  va_end(ap);
  int n = SimulatedDrive(path);
  if (n >= 0) return OpenDrive(n, flags);
  using OpenFn = int (*)(const char*, int, ...);
  static OpenFn real = Next<OpenFn>("open64");
  return real(path, flags, mode);
}

int __open_2(const char* path, int flags) { return open(path, flags); }
int __open64_2(const char* path, int flags) { return open64(path, flags); }

int openat(int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  int mode = ModeArg(flags, ap);
  va_end(ap);
  int n = SimulatedDrive(path);
  if (n >= 0) return OpenDrive(n, flags);
  using OpenAtFn = int (*)(int, const char*, int, ...);
  static OpenAtFn real = Next<OpenAtFn>("openat");
  return real(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  int mode = ModeArg(flags, ap);
  va_end(ap);
  int n = SimulatedDrive(path);
  if (n >= 0) return OpenDrive(n, flags);
  using OpenAtFn = int (*)(int, const char*, int, ...);
  static OpenAtFn real = Next<OpenAtFn>("openat64");
  return real(dirfd, path, flags, mode);
}

int close(int fd) {
  if (fd >= 0 && fd < kMaxFd) {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    if (g_driveOfFd[fd]) simdrive::StoreState();
    g_driveOfFd[fd] = 0;
  }
  using CloseFn = int (*)(int);
  static CloseFn real = Next<CloseFn>("close");
  return real(fd);
}

int stat(const char* path, struct stat* st) {
  int n = SimulatedDrive(path);
  if (n >= 0) {
    FillStat(n, st);
    return 0;
  }
  using StatFn = int (*)(const char*, struct stat*);
  static StatFn real = Next<StatFn>("stat");
  return real(path, st);
}

int stat64(const char* path, struct stat64* st) {
  int n = SimulatedDrive(path);
  if (n >= 0) {
    FillStat(n, reinterpret_cast<struct stat*>(st));
    return 0;
  }
  using StatFn = int (*)(const char*, struct stat64*);
  static StatFn real = Next<StatFn>("stat64");
  return real(path, st);
}

int lstat(const char* path, struct stat* st) {
  int n = SimulatedDrive(path);
  if (n >= 0) {
    FillStat(n, st);
    return 0;
  }
  using StatFn = int (*)(const char*, struct stat*);
  static StatFn real = Next<StatFn>("lstat");
  return real(path, st);
}

int fstat(int fd, struct stat* st) {
  int n = DriveOfFd(fd);
  if (n >= 0) {
    FillStat(n, st);
    return 0;
  }
  using FstatFn = int (*)(int, struct stat*);
  static FstatFn real = Next<FstatFn>("fstat");
  return real(fd, st);
}

int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  int n = DriveOfFd(fd);
  if (n >= 0) {
    if (request == SG_IO) return SgIo(n, static_cast<sg_io_hdr_t*>(arg));
    if (request == SG_GET_VERSION_NUM && arg) {
      *static_cast<int*>(arg) = 30536;
      return 0;
    }
    errno = ENOTTY;
    return -1;
  }
  using IoctlFn = int (*)(int, unsigned long, ...);
  static IoctlFn real = Next<IoctlFn>("ioctl");
  return real(fd, request, arg);
}

}  // extern "C"
