// The exFAT reader on a volume made by mkfs.exfat and filled by tests/fixtures/exfat_fill.h: reads across the
// end of the valid data, and which sectors are in use.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "filesystems/exfat.h"
#include "fixtures/exfat_fill.h"
#include "image/document.h"
#include "session/document.h"
#include "support/run_program.h"
#include "tree/tree.h"

namespace {

struct DocumentCloser {
  void operator()(CImageDocument* document) const { ImageClose(document); }
};
using Document = std::unique_ptr<CImageDocument, DocumentCloser>;

}  // namespace

TEST(ExfatReader, ValidDataAndSectorsInUse) {
  if (RunShell("command -v mkfs.exfat").status != 0) GTEST_SKIP() << "mkfs.exfat missing";
  const std::string folder = MakeTestFolder("exfat_reader");
  const std::string image = folder + "/volume.img";
  ASSERT_EQ(RunShell("truncate -s 16M '" + image + "' && mkfs.exfat -c 4K '" + image + "' >/dev/null").status, 0);
  std::string data;
  for (int i = 0; i < 50000; ++i) data.push_back(static_cast<char>(i % 251));
  uint32_t first = 0;
  {
    ExfatFill fill(image, 0);
    fill.AddFile(fill.Root(), u"partly.bin", data, ExfatFill::kFragmented, 20000);
    first = fill.LastFirstCluster();
    fill.Finish();
  }
  Document document(ImageAlloc());
  document->input = std::fopen(image.c_str(), "rb");
  document->sectorSize = 512;
  document->loadTree = 1;
  document->quiet = 1;
  ASSERT_EQ(ExfatOpenVolume(document.get()), 1);
  const CTreeEntry* entry = TreeFindEntryByPath(document.get(), nullptr, L"/partly.bin");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->size, 50000);
  std::string got(3000, '\x55');
  ASSERT_EQ(ExfatReadFileData(document.get(), entry, 18500, got.data(), 3000), 3000);
  EXPECT_EQ(got, data.substr(18500, 1500) + std::string(1500, '\0'));
  // A fragmented file's second cluster is not the one after its first.
  uint64_t byte = 0;
  EXPECT_EQ(ExfatFileRun(document.get(), entry, 0, &byte), 4096);
  EXPECT_EQ(byte, ExfatClusterToOffset(document->exfat, first));

  const CExfatVolume* v = document->exfat;
  const int64_t fileSector = static_cast<int64_t>(ExfatClusterToOffset(v, first) / 512);
  const int64_t lastSector = static_cast<int64_t>(ExfatClusterToOffset(v, v->clusterCount + 1) / 512);
  EXPECT_EQ(ExfatIsSectorInUse(document.get(), 0), 1);               // the boot region
  EXPECT_EQ(ExfatIsSectorInUse(document.get(), fileSector + 3), 1);  // the file
  EXPECT_EQ(ExfatIsSectorInUse(document.get(), fileSector + 8), 0);  // the gap the fragmented file left
  EXPECT_EQ(ExfatIsSectorInUse(document.get(), lastSector), 0);      // a free cluster at the end
}
