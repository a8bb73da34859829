#include "runtime/kernel_copy.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

// One call moves at most this much, so that sizes stay far from the limits of both calls.
constexpr int64_t kCallBytes = int64_t{1} << 30;
// Ranges this long are asked for their holes; shorter ones are copied as they are.
constexpr int64_t kHoleCheckBytes = int64_t{1} << 20;

// The answers that mean "not possible here" rather than "this copy failed".
bool IsRefusal(int error) { return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP; }

// Copies [from, from + count) of the input, all data, by whichever call the kernel takes: the bytes copied.
int64_t CopyData(int input, int64_t from, int64_t count, int output, int32_t* refused) {
  int64_t done = 0;
  while (done < count && !(*refused & kKernelCopyNoRange)) {
    loff_t at = from + done;
    const ssize_t n =
        copy_file_range(input, &at, output, nullptr, static_cast<size_t>(std::min(kCallBytes, count - done)), 0);
    if (n < 0 && done == 0 && IsRefusal(errno)) *refused |= kKernelCopyNoRange;
    if (n <= 0) {
      if (n < 0 && !(*refused & kKernelCopyNoRange)) return done;
      break;
    }
    done += n;
  }
  while (done < count && (*refused & kKernelCopyNoRange) && !(*refused & kKernelCopyNoSendfile)) {
    off_t at = from + done;
    const ssize_t n = sendfile(output, input, &at, static_cast<size_t>(std::min(kCallBytes, count - done)));
    if (n < 0 && done == 0 && IsRefusal(errno)) *refused |= kKernelCopyNoSendfile;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

}  // namespace

int64_t KernelCopyRange(int input, int64_t from, int64_t count, int output, int32_t* refused) {
  int32_t none = 0;
  if (!refused) refused = &none;
  if (input < 0 || output < 0 || from < 0 || count <= 0 || from > INT64_MAX - count) return 0;
  if ((*refused & kKernelCopyNoRange) && (*refused & kKernelCopyNoSendfile)) return 0;
  // A hole of the input that is written past the output's end stays a hole there: the output's position moves
  // over it and nothing is read or written.
  struct stat info;
  off_t position = -1;
  off_t outputEnd = 0;
  if (count >= kHoleCheckBytes && fstat(output, &info) == 0 && S_ISREG(info.st_mode)) {
    position = lseek(output, 0, SEEK_CUR);
    outputEnd = info.st_size;
  }
  int64_t done = 0;
  bool endsInHole = false;
  while (done < count) {
    int64_t piece = count - done;
    if (position >= 0 && position >= outputEnd) {
      off_t data = lseek(input, from + done, SEEK_DATA);
      if (data < 0 && errno == ENXIO) data = from + count;  // nothing but a hole up to the input's end
      if (data < 0) {
        position = -1;  // no hole map here: plain copies from now on
      } else if (data > from + done) {
        const int64_t skip = std::min<int64_t>(data, from + count) - (from + done);
        if (lseek(output, skip, SEEK_CUR) < 0) return done;
        position += skip;
        done += skip;
        endsInHole = true;
        continue;
      } else {
        const off_t hole = lseek(input, from + done, SEEK_HOLE);
        if (hole > from + done) piece = std::min<int64_t>(piece, hole - (from + done));
      }
    }
    const int64_t copied = CopyData(input, from + done, piece, output, refused);
    done += copied;
    endsInHole = false;
    if (position >= 0) {
      position += copied;
      outputEnd = std::max(outputEnd, position);
    }
    if (copied < piece) break;
  }
  // A range that ends in a hole still gives the output its length.
  if (endsInHole && position > outputEnd && ftruncate(output, position) != 0) {
    lseek(output, -(position - outputEnd), SEEK_CUR);
    return done - (position - outputEnd);
  }
  return done;
}
