// An image built for direct writing is recorded in the document's sector map instead of a file; reading it back
// through that map must give exactly the bytes the same build writes to an image file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "builder/add_local.h"
#include "builder/build_state.h"
#include "builder/builder_map.h"
#include "image/document.h"
#include "session/document.h"
#include "session/open.h"
#include "session/save.h"
#include "image/sectors.h"
#include "runtime/error.h"
#include "support/run_program.h"

namespace fs = std::filesystem;

namespace {

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// Reads the whole image back through the document's sector map.
std::string ReadBuilt(CImageDocument* document, int64_t sectors) {
  std::string bytes(static_cast<size_t>(sectors * 2048), '\0');
  document->readFromBuilder = 1;
  const int64_t got = ImageReadSectors(document, 0, bytes.data(), sectors);
  document->readFromBuilder = 0;
  EXPECT_EQ(got, sectors);
  return bytes;
}

TEST(BuildInMemory, TheSectorMapHoldsTheSameImageAsTheFile) {
  const std::string folder = MakeTestFolder("build_in_memory");
  const std::string src = folder + "/src";
  WriteFileBytes(src + "/a.txt", "alpha");
  WriteFileBytes(src + "/sub/big.bin", std::string(123457, 'b'));
  WriteFileBytes(src + "/sub/copy.bin", std::string(123457, 'b'));
  WriteFileBytes(src + "/empty.txt", "");
  const std::string iso = folder + "/file.iso";
  ASSERT_EQ(RunKestrane({"create", "-file-datetime", "01-02-2020:03:04:05", "-vol-creation-datetime",
                         "01-02-2020:03:04:05", "-o", iso, "-add", src, "/", "-label", "MEM"})
                .status,
            0);
  const std::string expected = ReadFileBytes(iso);
  ASSERT_FALSE(expected.empty());

  // Built for direct writing: a new document, then an edit of the file image (whose files come from the source
  // image by reference).
  for (int edit = 0; edit < 2; ++edit) {
    AbortCodeSet(kAbortNone);
    CImageDocument* document =
        edit ? ImageOpenByPath(Wide(iso).c_str(), kOpenLoadTree) : ImageNew();
    ASSERT_NE(document, nullptr);
    if (!edit) {
      document->fixedTime = document->creationTime = document->volumeCreationTime = 1577934245;
      ASSERT_EQ(CliAddLocalPath(document, document->rootFolder, Wide(src).c_str()), 1);
      wcscpy(document->identifiers[0], L"MEM");
    }
    document->builder = ImageBuilderNew(document);
    ASSERT_NE(document->builder, nullptr);
    CProgressCallbacks callbacks{document};
    ASSERT_EQ(ImageBuild(&callbacks), 1) << "edit " << edit;
    const int64_t sectors = document->builder->mapUsed;  // the sectors the build recorded
    ASSERT_EQ(sectors * 2048, static_cast<int64_t>(expected.size()));
    const std::string built = ReadBuilt(document, sectors);
    if (!edit) {
      EXPECT_TRUE(built == expected);
    } else {
      // The edited image keeps every file's bytes; write it out and let 7-Zip compare the trees.
      const std::string copy = folder + "/edit.iso";
      std::ofstream(copy, std::ios::binary) << built;
      const std::string out = folder + "/x";
      ASSERT_EQ(RunProgram("/usr/bin/7zz", {"x", "-y", "-o" + out, copy}).status, 0);
      EXPECT_EQ(RunProgram("/usr/bin/diff", {"-r", src, out}).status, 0);
    }
    ImageClose(document);
  }
}

}  // namespace
