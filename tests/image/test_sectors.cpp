// Sector reads and writes through the format table, the readable limit, and the descriptor scan.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "image/cdsector.h"
#include "image/document.h"
#include "session/document.h"
#include "session/format_table.h"
#include "session/open.h"
#include "image/sectors.h"
#include "runtime/error.h"
#include "support/console_capture.h"

namespace {

constexpr int64_t kSectors = 40;

// 2048 bytes of user data that say which sector they are.
std::vector<uint8_t> UserData(int64_t sector) {
  std::vector<uint8_t> data(2048);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(sector * 7 + i);
  std::memcpy(data.data(), &sector, sizeof sector);
  return data;
}

// A document over an in-memory file laid out as `type` of the format table.
struct StoredImage {
  explicit StoredImage(int32_t type, int64_t sectors = kSectors) {
    const CImageFormatInfo* row = ImageFormatGet(type);
    std::vector<uint8_t> bytes;
    if (row->headerSize > 0) bytes.assign(static_cast<size_t>(row->headerSize), 0xEE);
    for (int64_t s = 0; s < sectors; ++s) {
      std::vector<uint8_t> stored(static_cast<size_t>(row->sectorSize), 0);
      std::vector<uint8_t> data = UserData(s);
      if (row->sectorSize >= 2352) {
        CdEncodeMode1Sector(s, data.data(), stored.data());
        if (row->userDataOffset == 24) std::memcpy(stored.data() + 24, data.data(), 2048);
      } else {
        std::memcpy(stored.data() + row->userDataOffset, data.data(), 2048);
      }
      int64_t position = row->headerSize + s * row->sectorSize;
      if (position < 0) continue;  // a negative header: the file starts inside the image
      bytes.insert(bytes.end(), stored.begin(), stored.end());
    }
    content = bytes;
    document = ImageAlloc();
    document->input = fmemopen(content.data(), content.size(), "rb");
    document->inputType = type;
    document->sectorSize = row->sectorSize;
    document->userDataOffset = row->userDataOffset;
    document->headerSize = row->headerSize;
    document->fileSize = static_cast<int64_t>(content.size());
    document->readableLimit = (document->fileSize - document->headerSize) / row->sectorSize;
  }
  ~StoredImage() { ImageClose(document); }
  std::vector<uint8_t> content;
  CImageDocument* document;
};

TEST(FormatTable, ExtensionsSelectTheFirstMatchingRow) {
  struct Case {
    const wchar_t* extension;
    int32_t type;
  } cases[] = {{L"iso", 0}, {L"BIN", 1}, {L"bwi", 10}, {L"gi", 19}, {L"lcd", 15}, {L"qdi", 2}, {L"exe", 2},
               {L"xyz", -1}, {L"", -1}};
  for (const Case& c : cases) EXPECT_EQ(ImageFormatFindByExtension(c.extension), c.type) << c.extension;
  EXPECT_STREQ(ImagePathGetExtension(L"/data/Image.ISO").c_str(), L"iso");
  EXPECT_STREQ(ImagePathGetExtension(L"/data/dir.old/file").c_str(), L"");
  EXPECT_STREQ(ImagePathGetExtension(L"a.toolong").c_str(), L"");
}

TEST(SectorReads, EveryRowDeliversTheUserData) {
  for (int32_t type : {0, 1, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 18, 19}) {
    StoredImage image(type);
    std::vector<uint8_t> out(5 * 2048);
    ASSERT_EQ(ImageReadSectors(image.document, 20, out.data(), 5), 5) << type;
    for (int64_t s = 0; s < 5; ++s)
      EXPECT_EQ(std::memcmp(out.data() + s * 2048, UserData(20 + s).data(), 2048), 0) << "type " << type;
  }
}

TEST(SectorReads, NegativeHeaderReadsTheFirstSectorsAsZeros) {
  // An ".fcd" image: the file starts 32,256 bytes into the image.
  std::vector<uint8_t> content;
  for (int64_t s = 0; s < kSectors; ++s) {
    std::vector<uint8_t> data = UserData(s);
    content.insert(content.end(), data.begin(), data.end());
  }
  content.erase(content.begin(), content.begin() + 32256);
  CImageDocument* document = ImageAlloc();
  document->input = fmemopen(content.data(), content.size(), "rb");
  document->inputType = 17;
  document->sectorSize = 2048;
  document->headerSize = -32256;
  std::vector<uint8_t> out(20 * 2048, 0xAA);
  ASSERT_EQ(ImageReadSectors(document, 0, out.data(), 20), 20);
  for (int64_t s = 0; s < 15; ++s) EXPECT_TRUE(std::all_of(out.begin() + s * 2048, out.begin() + (s + 1) * 2048, [](uint8_t b) { return b == 0; })) << s;
  EXPECT_EQ(std::memcmp(out.data() + 16 * 2048, UserData(16).data(), 2048), 0);
  ImageClose(document);
}

TEST(SectorReads, PastTheLimitReadsZerosAndIsReportedOnce) {
  StoredImage image(1);
  ErrorStateReset();
  std::vector<uint8_t> out(6 * 2048, 0xAA);
  // Sectors 36..39 lie inside, 40 and 41 beyond.
  EXPECT_EQ(ImageReadSectors(image.document, 36, out.data(), 6), 4);
  EXPECT_EQ(AbortCodeGet(), kAbortImageRead);
  EXPECT_EQ(std::memcmp(out.data() + 3 * 2048, UserData(39).data(), 2048), 0);
  EXPECT_TRUE(std::all_of(out.begin() + 4 * 2048, out.end(), [](uint8_t b) { return b == 0; }));
  ErrorStateReset();
  EXPECT_EQ(ImageReadSectors(image.document, 38, out.data(), 4), 4);
  EXPECT_EQ(AbortCodeGet(), 0);
}

TEST(SectorReads, ATruncatedFileIsAFailureNeverSilentZeros) {
  StoredImage image(0);
  image.document->readableLimit = 1000;  // the volume claims more than the file holds
  ErrorStateReset();
  std::vector<uint8_t> out(4 * 2048);
  ConsoleSession session("");
  EXPECT_LT(ImageReadSectors(image.document, 38, out.data(), 4), 4);
  EXPECT_EQ(AbortCodeGet(), kAbortImageRead);
  std::string printed = session.Output();
  EXPECT_NE(printed.find("The image file ends before the data it holds."), std::string::npos) << printed;
  ErrorStateReset();
}

TEST(SectorWrites, RawSectorsCarryTheirOwnAddressInAnyOrder) {
  CImageDocument* document = ImageAlloc();
  document->output = std::tmpfile();
  document->outputType = 1;
  std::vector<uint8_t> data(10 * 2048);
  for (int64_t s = 0; s < 10; ++s) std::memcpy(data.data() + s * 2048, UserData(s).data(), 2048);
  // The tail first, then the head in two pieces, the second of which starts past where the first ended.
  ASSERT_EQ(RawWriteSectors(document, 6, data.data() + 6 * 2048, 4), 4);
  ASSERT_EQ(RawWriteSectors(document, 3, data.data() + 3 * 2048, 3), 3);
  ASSERT_EQ(RawWriteSectors(document, 0, data.data(), 3), 3);
  std::vector<uint8_t> file(10 * 2352);
  ASSERT_EQ(std::fseek(document->output, 0, SEEK_SET), 0);
  ASSERT_EQ(std::fread(file.data(), 1, file.size(), document->output), file.size());
  for (int64_t s = 0; s < 10; ++s) EXPECT_EQ(CdCheckMode1Sector(file.data() + s * 2352, s), 0) << s;
  ImageClose(document);
}

TEST(DescriptorScan, FindsAnUnknownSectorSize) {
  // Descriptors at 2336-byte sectors, no header: the primary at sector 16, the terminator at 17.
  std::vector<uint8_t> content(20 * 2336, 0);
  const uint8_t primary[] = {1, 'C', 'D', '0', '0', '1', 1};
  const uint8_t terminator[] = {255, 'C', 'D', '0', '0', '1', 1};
  std::memcpy(content.data() + 16 * 2336, primary, sizeof primary);
  std::memcpy(content.data() + 17 * 2336, terminator, sizeof terminator);
  CImageDocument* document = ImageAlloc();
  document->input = fmemopen(content.data(), content.size(), "rb");
  ImageScanForDescriptor(document);
  EXPECT_EQ(document->scannedPosition, 16 * 2336);
  EXPECT_EQ(document->scannedSizes[0], 2336);
  ASSERT_EQ(ImageSetScannedGeometry(document, 1000), 0);
  EXPECT_EQ(document->sectorSize, 2336);
  EXPECT_EQ(document->headerSize, 0);
  ImageClose(document);
}

}  // namespace
