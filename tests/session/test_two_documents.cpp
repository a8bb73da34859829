// Two documents open in one process, built one after the other in reverse order: each image equals the one a
// separate run of `edit` makes from the same source, so nothing of one open or build reaches the other.
#include <gtest/gtest.h>

#include <string>

#include "cli/settings.h"
#include "image/document.h"
#include "runtime/error.h"
#include "runtime/tempfiles.h"
#include "runtime/textconv.h"
#include "session/document.h"
#include "session/open.h"
#include "session/save.h"
#include "support/run_program.h"

namespace {

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

TEST(TwoDocuments, EachBuildsAsIfItWereAlone) {
  const std::string folder = MakeTestFolder("two_documents");
  WriteFileBytes(folder + "/a/sub/deep/x.txt", "a file with Rock Ridge\n");
  WriteFileBytes(folder + "/a/LongMixedCaseName.text", "more\n");
  WriteFileBytes(folder + "/b/y.txt", "plain\n");
  // A has Rock Ridge and Joliet and one date; B only Joliet and another date.
  ProgramResult made = RunShell("cd '" + folder + "' && SOURCE_DATE_EPOCH=1000000000 xorriso -as mkisofs -quiet -R -J "
                                "-o A.iso a 2>&1 && SOURCE_DATE_EPOCH=1500000000 genisoimage -quiet -J "
                                "-o B.iso b 2>&1");
  ASSERT_EQ(made.status, 0) << made.out;
  for (const char* name : {"A", "B"}) {
    ProgramResult alone = RunKestrane({"edit", folder + "/" + name + ".iso", "-o", folder + "/" + name + "-alone.iso"});
    ASSERT_EQ(alone.status, 0) << alone.out;
  }

  TempFolderInit();
  g_sessionAppendMode = 1;
  CImageDocument* a = ImageOpenByPath(Wide(folder + "/A.iso").c_str(), kOpenLoadTree);
  CImageDocument* b = ImageOpenByPath(Wide(folder + "/B.iso").c_str(), kOpenLoadTree);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(a->rockRidge, 1);
  EXPECT_EQ(b->rockRidge, 0);
  EXPECT_EQ(ImageSaveAs(b, Wide(folder + "/B-together.iso").c_str()), 0);
  AbortCodeSet(kAbortNone);
  EXPECT_EQ(ImageSaveAs(a, Wide(folder + "/A-together.iso").c_str()), 0);
  ImageClose(a);
  ImageClose(b);
  g_sessionAppendMode = 0;
  for (const char* name : {"A", "B"}) {
    SCOPED_TRACE(name);
    const std::string together = ReadFileBytes(folder + "/" + name + "-together.iso");
    EXPECT_FALSE(together.empty());
    EXPECT_TRUE(together == ReadFileBytes(folder + "/" + name + "-alone.iso"));
  }
}

}  // namespace
