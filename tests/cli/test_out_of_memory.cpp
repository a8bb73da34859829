// Memory that runs out ends the command with the program's message and exit status 1, never with an abort. The
// program runs with a library loaded that makes every large allocation fail.
#include <gtest/gtest.h>

#include <string>

#include "support/run_program.h"

TEST(OutOfMemory, EndsTheCommandWithTheMessage) {
  if (RunShell("command -v mkfs.vfat && command -v mcopy").status != 0) GTEST_SKIP() << "mkfs.vfat or mtools missing";
  const std::string folder = MakeTestFolder("out_of_memory");
  WriteFileBytes(folder + "/file.txt", std::string(3000, 'm'));
  ASSERT_EQ(RunShell("mkfs.vfat -C '" + folder + "/floppy.img' 1440 >/dev/null && mcopy -i '" + folder +
                     "/floppy.img' '" + folder + "/file.txt' ::")
                .status,
            0);
  ProgramOptions options;
  // The sanitizers' own allocator stays out of the way of the loaded one; what the unwinding leaves is no leak.
  options.env = {std::string("LD_PRELOAD=") + NEW_LIMIT_LIB, "KESTRANE_TEST_NEW_LIMIT=600000",
                 "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
  // Listing needs no large block; extracting takes a buffer of a mebibyte, which cannot be had.
  const ProgramResult listed = RunKestrane({"list", folder + "/floppy.img", "/"}, options);
  EXPECT_EQ(listed.status, 0) << listed.out;
  EXPECT_NE(listed.out.find("FILE.TXT"), std::string::npos) << listed.out;
  const ProgramResult extracted = RunKestrane({"extract", folder + "/floppy.img", "/", "-od", folder + "/out"}, options);
  EXPECT_EQ(extracted.status, 1) << extracted.out;
  EXPECT_NE(extracted.out.find("Out of memory. Program abort."), std::string::npos) << extracted.out;
}
