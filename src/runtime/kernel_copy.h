// Moving a range of one open file into another without passing the bytes through this process.
#pragma once

#include <cstdint>

// Bits of a refusal word kept per source (the document's kernelCopyRefused): what this kernel or this pair of
// file systems answered it cannot do, so that it is not asked again for every file.
inline constexpr int32_t kKernelCopyNoRange = 1;     // copy_file_range (another file system, or none here)
inline constexpr int32_t kKernelCopyNoSendfile = 2;  // sendfile

// Copies `count` bytes at byte `from` of `input` to `output` at its current position (which advances): inside
// one file system by copy_file_range, across two by sendfile. The bytes copied, from 0 up to count; fewer when
// the kernel cannot copy (refused gains its bit) or a call failed (errno tells): the caller moves the rest itself.
int64_t KernelCopyRange(int input, int64_t from, int64_t count, int output, int32_t* refused);
