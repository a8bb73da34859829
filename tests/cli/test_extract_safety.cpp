// Extraction never writes over the image it reads, even when the image holds a file of the image's own name
// and -y answers every question.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "support/run_program.h"

namespace {

TEST(ExtractSafety, TheImageItselfIsNeverOverwritten) {
  const std::string folder = MakeTestFolder("extract_over_image");
  std::filesystem::create_directories(folder + "/src");
  std::ofstream(folder + "/src/self.iso") << "a file that shares the image's name\n";
  std::ofstream(folder + "/src/other.txt") << "other\n";
  const std::string image = folder + "/self.iso";
  ASSERT_EQ(RunProgram("/usr/bin/genisoimage", {"-quiet", "-R", "-o", image, folder + "/src"}).status, 0);
  const std::string before = ReadFileBytes(image);
  ProgramResult r = RunKestrane({"extract", image, "/", "-od", folder, "-y"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("The source file name and destination file name can not be same."), std::string::npos)
      << r.out;
  EXPECT_EQ(ReadFileBytes(image), before);
  EXPECT_EQ(ReadFileBytes(folder + "/other.txt"), "other\n");  // the rest is still extracted
}

}  // namespace
