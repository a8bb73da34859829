// Copies inside the kernel: the bytes arrive whichever call the kernel takes, holes of the source stay holes only
// where the output is written past its end, and a refusal is remembered.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "runtime/kernel_copy.h"
#include "support/run_program.h"

namespace {

constexpr int64_t kMiB = 1 << 20;

// A source of 8 MiB: 1 MiB of data, a 5 MiB hole, 2 MiB of data.
std::string MakeSource(const std::string& folder) {
  const std::string path = folder + "/source.bin";
  const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
  EXPECT_GE(fd, 0);
  std::string front(kMiB, '\0'), back(2 * kMiB, '\0');
  for (size_t i = 0; i < front.size(); ++i) front[i] = static_cast<char>(i % 253 + 1);
  for (size_t i = 0; i < back.size(); ++i) back[i] = static_cast<char>(i % 241 + 1);
  EXPECT_EQ(pwrite(fd, front.data(), front.size(), 0), static_cast<ssize_t>(front.size()));
  EXPECT_EQ(pwrite(fd, back.data(), back.size(), 6 * kMiB), static_cast<ssize_t>(back.size()));
  close(fd);
  return path;
}

TEST(KernelCopy, CopiesEveryByteAndKeepsHolesOnlyPastTheOutputsEnd) {
  const std::string folder = MakeTestFolder("kernel_copy");
  const std::string source = MakeSource(folder);
  const std::string expected = ReadFileBytes(source);
  struct Case {
    const char* what;
    int32_t refused;  // what the kernel is taken to have refused before
    int64_t prefill;  // bytes the output holds before the copy (0xEE), the copy starting at 0
    bool holeKept;
  };
  const std::vector<Case> cases = {
      {"copy_file_range", 0, 0, true},
      {"sendfile", kKernelCopyNoRange, 0, true},
      {"over bytes the output already holds", 0, 8 * kMiB, false},
      {"partly over them", kKernelCopyNoRange, 2 * kMiB, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string target = folder + "/out.bin";
    const int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = open(target.c_str(), O_CREAT | O_TRUNC | O_RDWR | O_CLOEXEC, 0644);
    ASSERT_GE(in, 0);
    ASSERT_GE(out, 0);
    const std::string old(static_cast<size_t>(c.prefill), '\xEE');
    if (c.prefill) ASSERT_EQ(pwrite(out, old.data(), old.size(), 0), static_cast<ssize_t>(old.size()));
    int32_t refused = c.refused;
    EXPECT_EQ(KernelCopyRange(in, 0, 8 * kMiB, out, &refused), 8 * kMiB);
    EXPECT_EQ(lseek(out, 0, SEEK_CUR), 8 * kMiB);
    close(in);
    close(out);
    EXPECT_TRUE(ReadFileBytes(target) == expected);
    struct stat info {};
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 8 * kMiB);
    if (c.holeKept) EXPECT_LE(info.st_blocks * 512, 4 * kMiB) << "the hole was written out";
  }
  // A copy that ends in a hole still gives the output its length; a range from the middle lands at the output's
  // position.
  const int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  const std::string target = folder + "/tail.bin";
  const int out = open(target.c_str(), O_CREAT | O_TRUNC | O_RDWR | O_CLOEXEC, 0644);
  int32_t refused = 0;
  EXPECT_EQ(KernelCopyRange(in, kMiB / 2, 3 * kMiB, out, &refused), 3 * kMiB);
  close(in);
  close(out);
  EXPECT_TRUE(ReadFileBytes(target) == expected.substr(kMiB / 2, 3 * kMiB));
}

}  // namespace
