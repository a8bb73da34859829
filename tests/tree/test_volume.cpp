// Volume identifiers: defaults, loading from descriptors, the descriptor field codecs and the primary and
// Joliet descriptors of a new image.
#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "image/document.h"
#include "session/document.h"
#include "tree/iso_helpers.h"
#include "tree/volume.h"

namespace {

struct DocumentCloser {
  void operator()(CImageDocument* document) const { ImageClose(document); }
};
using Document = std::unique_ptr<CImageDocument, DocumentCloser>;

class VolumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::setlocale(LC_CTYPE, nullptr);
    saved_ = old ? old : "C";
    ASSERT_TRUE(std::setlocale(LC_CTYPE, "C.UTF-8"));
  }
  void TearDown() override { std::setlocale(LC_CTYPE, saved_.c_str()); }

 private:
  std::string saved_;
};

std::string Bytes(const uint8_t* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

// UCS-2 big-endian bytes of an ASCII text.
std::string Ucs2(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += '\0';
    out += c;
  }
  return out;
}

TEST_F(VolumeTest, DefaultLabelIsTheCreationTime) {
  Document document(ImageAlloc());
  struct tm local {};
  local.tm_year = 2024 - 1900;
  local.tm_mon = 2;
  local.tm_mday = 3;
  local.tm_hour = 14;
  local.tm_min = 5;
  local.tm_isdst = -1;
  document->creationTime = static_cast<int64_t>(std::mktime(&local));
  VolumeInitIdentifiers(document.get());
  EXPECT_STREQ(document->identifiers[kVolumeLabel], L"20240303_1405");
  EXPECT_STREQ(document->identifiers[kVolumeSystemId], L"Win32");
  EXPECT_STREQ(document->identifiers[kVolumeApplicationId], L"Kestrane");
  EXPECT_STREQ(document->identifiers[kVolumePublisherId], L"");
}

TEST_F(VolumeTest, UcsTwoFields) {
  struct Case {
    const char* name;
    const wchar_t* text;
    size_t length;
    std::string expected;
  };
  const Case cases[] = {
      // 20 characters in a 32-byte field: the first 16, and no padding left.
      {"cut", L"ABCDEFGHIJKLMNOPQRST", 32, Ucs2("ABCDEFGHIJKLMNOP")},
      // An odd field ends with the first byte of a pad pair.
      {"odd", L"AB", 37, Ucs2("AB") + Ucs2(std::string(16, ' ')) + std::string(1, '\0')},
      {"astral", L"A\U0001F600", 6, Ucs2("A") + std::string("\xD8\x3D\xDE\x00", 4)},
      // A surrogate pair that does not fit whole is left out.
      {"astral cut", L"A\U0001F600", 4, Ucs2("A ")},
      {"empty", L"", 4, Ucs2("  ")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> field(c.length + 1, 0xCC);
    VolumePutUcs2Field(field.data(), c.text, c.length);
    EXPECT_EQ(Bytes(field.data(), c.length), c.expected);
    EXPECT_EQ(field[c.length], 0xCC);
  }
}

TEST_F(VolumeTest, DCharFields) {
  struct Case {
    const char* name;
    const wchar_t* text;
    size_t length;
    std::string expected;
  };
  const wchar_t unpaired[] = {L'A', static_cast<wchar_t>(0xD800), L'B', 0};
  const Case cases[] = {
      {"padded", L"MY_DISC", 10, "MY_DISC   "},
      {"cut", L"ABCDEFGHIJ", 4, "ABCD"},
      // Never half a character: the two-byte é does not fit in the last byte.
      {"whole characters", L"ab\u00e9", 3, "ab "},
      {"multibyte", L"\u00e9t\u00e9", 5, "\xC3\xA9t\xC3\xA9"},
      {"not writable", unpaired, 4, "A_B "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> field(c.length + 1, 0xCC);
    VolumePutDCharField(field.data(), c.text, c.length);
    EXPECT_EQ(Bytes(field.data(), c.length), c.expected);
    EXPECT_EQ(field[c.length], 0xCC);
  }
}

TEST_F(VolumeTest, DatesOfDescriptors) {
  uint8_t field[17];
  std::memset(field, 0xCC, sizeof field);
  VolumeEncodeDate(field, 0);
  EXPECT_EQ(Bytes(field, 16), std::string(16, '0'));
  EXPECT_EQ(field[16], 0);

  const int64_t time = 1709474700;  // 2024-03-03 14:05:00 UTC
  VolumeEncodeDate(field, time);
  const time_t t = static_cast<time_t>(time);
  struct tm local {};
  localtime_r(&t, &local);
  char expected[40];
  std::snprintf(expected, sizeof expected, "%04d%02d%02d%02d%02d%02d00", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  EXPECT_EQ(Bytes(field, 16), expected);
  EXPECT_EQ(static_cast<int8_t>(field[16]), local.tm_gmtoff / 900);
  EXPECT_EQ(IsoParseVolumeDate(field), time);
}

TEST_F(VolumeTest, LoadedFromPrimaryJolietAndHighSierraDescriptors) {
  Document document(ImageAlloc());
  uint8_t sector[2048];
  std::memset(sector, ' ', sizeof sector);
  std::memcpy(sector + 40, "MY_DISC", 7);
  std::memcpy(sector + 8, "LINUX", 5);
  std::memcpy(sector + 318, "PUBLISHER \xE9", 11);  // a Latin-1 byte keeps its value
  std::memcpy(sector + 702, "COPY.TXT;1", 10);
  VolumeLoadPrimaryIdentifiers(document.get(), sector);
  EXPECT_STREQ(document->identifiers[kVolumeLabel], L"MY_DISC");
  EXPECT_STREQ(document->identifiers[kVolumeSystemId], L"LINUX");
  EXPECT_STREQ(document->identifiers[kVolumePublisherId], L"PUBLISHER \u00e9");
  EXPECT_STREQ(document->identifiers[kVolumeCopyrightFile], L"COPY.TXT;1");
  EXPECT_STREQ(document->identifiers[kVolumeApplicationId], L"");

  for (int i = 0; i < 2048; i += 2) {
    sector[i] = 0;
    sector[i + 1] = ' ';
  }
  const std::string label = Ucs2("Disc ") + std::string("\xD8\x3D\xDE\x00", 4);
  std::memcpy(sector + 40, label.data(), label.size());
  VolumeLoadJolietIdentifiers(document.get(), sector);
  EXPECT_STREQ(document->identifiers[kVolumeLabel], L"Disc \U0001F600");
  EXPECT_STREQ(document->identifiers[kVolumeSystemId], L"");

  std::memset(sector, ' ', sizeof sector);
  std::memcpy(sector + 16, "HSSYS", 5);
  std::memcpy(sector + 48, "HSVOL", 5);
  VolumeSetIdentifier(document.get(), kVolumePublisherId, L"left over");
  VolumeLoadHighSierraIdentifiers(document.get(), sector);
  EXPECT_STREQ(document->identifiers[kVolumeLabel], L"HSVOL");
  EXPECT_STREQ(document->identifiers[kVolumeSystemId], L"HSSYS");
  EXPECT_STREQ(document->identifiers[kVolumePublisherId], L"");
}

// Descriptors of a new image: the fixed fields, identifiers, layout values, root record and dates.
TEST_F(VolumeTest, PrimaryAndJolietDescriptorsOfANewImage) {
  Document document(ImageAlloc());
  VolumeInitIdentifiers(document.get());
  VolumeSetIdentifier(document.get(), kVolumeLabel, L"NEW_DISC");
  document->volumeCreationTime = 1709474700;
  document->volumeModificationTime = 1709474760;
  CIsoDescriptorLayout& layout = IsoDescriptorLayout(document.get());
  const CIsoDescriptorLayout saved = layout;
  layout.nextFreeLba = 1234;
  layout.pathTableBytes = 10;
  layout.pathTableL = 19;
  layout.pathTableM = 21;
  layout.jolietPathTableBytes = 12;
  layout.jolietPathTableL = 23;
  layout.jolietPathTableM = 25;
  std::memset(layout.primaryRoot, 0, 34);
  layout.primaryRoot[0] = 34;
  PutBothEndian32(layout.primaryRoot + 2, 27);
  std::memset(layout.jolietRoot, 0, 34);
  layout.jolietRoot[0] = 34;
  PutBothEndian32(layout.jolietRoot + 2, 29);

  uint8_t* primary = document->primaryDescriptor;
  IsoBuildPrimaryDescriptor(document.get(), primary, 0);
  EXPECT_EQ(Bytes(primary, 7), std::string("\x01" "CD001\x01", 7));
  EXPECT_EQ(GetBothEndian16(primary + 120), 1);
  EXPECT_EQ(GetBothEndian16(primary + 124), 1);
  EXPECT_EQ(GetBothEndian16(primary + 128), 2048);
  EXPECT_TRUE(BothEndian16Matches(primary + 128));
  EXPECT_EQ(primary[881], 1);
  EXPECT_EQ(Bytes(primary + 40, 32), "NEW_DISC" + std::string(24, ' '));
  EXPECT_EQ(Bytes(primary + 8, 6), "Win32 ");
  EXPECT_EQ(Bytes(primary + 574, 9), "Kestrane ");
  EXPECT_EQ(GetBothEndian32(primary + 80), 1234u);
  EXPECT_TRUE(BothEndian32Matches(primary + 80));
  EXPECT_EQ(GetBothEndian32(primary + 132), 10u);
  EXPECT_EQ(GetLittleEndian32(primary + 140), 19u);
  EXPECT_EQ(GetBigEndian32(primary + 148), 21u);
  EXPECT_EQ(GetBothEndian32(primary + 156 + 2), 27u);
  // A new document without a fixed time dates its root with the modification date.
  EXPECT_EQ(IsoDecodeRecordDate(primary + 156 + 18), 1709474760);
  EXPECT_EQ(IsoParseVolumeDate(primary + 813), 1709474700);
  EXPECT_EQ(IsoParseVolumeDate(primary + 830), 1709474760);
  EXPECT_EQ(Bytes(primary + 847, 16), std::string(16, '0'));

  uint8_t joliet[2048];
  IsoBuildJolietDescriptor(document.get(), joliet, 0);
  EXPECT_EQ(joliet[0], 2);
  EXPECT_EQ(Bytes(joliet + 1, 5), "CD001");
  EXPECT_EQ(Bytes(joliet + 88, 3), "%/E");
  EXPECT_EQ(Bytes(joliet + 40, 18), Ucs2("NEW_DISC ") );
  EXPECT_EQ(GetBothEndian32(joliet + 80), 1234u);
  EXPECT_EQ(GetBothEndian32(joliet + 132), 12u);
  EXPECT_EQ(GetLittleEndian32(joliet + 140), 23u);
  EXPECT_EQ(GetBigEndian32(joliet + 148), 25u);
  EXPECT_EQ(GetBothEndian32(joliet + 156 + 2), 29u);
  EXPECT_EQ(IsoParseVolumeDate(joliet + 813), 1709474700);

  // Identifiers only: nothing but the identifier fields changes.
  VolumeSetIdentifier(document.get(), kVolumeLabel, L"OTHER");
  std::vector<uint8_t> before(primary, primary + 2048);
  IsoBuildPrimaryDescriptor(document.get(), primary, 1);
  EXPECT_EQ(Bytes(primary + 40, 32), "OTHER" + std::string(27, ' '));
  std::memcpy(before.data() + 40, primary + 40, 32);
  EXPECT_EQ(std::memcmp(before.data(), primary, 2048), 0);
  std::vector<uint8_t> jolietBefore(joliet, joliet + 2048);
  IsoBuildJolietDescriptor(document.get(), joliet, 1);
  EXPECT_EQ(Bytes(joliet + 40, 12), Ucs2("OTHER "));
  std::memcpy(jolietBefore.data() + 40, joliet + 40, 32);
  EXPECT_EQ(std::memcmp(jolietBefore.data(), joliet, 2048), 0);
  layout = saved;
}

// A descriptor read from the source volume is kept: only the identifiers and the layout's fields change.
TEST_F(VolumeTest, PrimaryDescriptorOfAnOpenedVolumeKeepsItsOtherFields) {
  Document document(ImageAlloc());
  document->primarySeen = 1;
  uint8_t* primary = document->primaryDescriptor;
  primary[0] = 1;
  std::memcpy(primary + 1, "CD001", 5);
  primary[6] = 1;
  std::memcpy(primary + 1395, "application use", 15);
  PutBothEndian16(primary + 120, 7);
  VolumeSetIdentifier(document.get(), kVolumeLabel, L"KEPT");
  IsoBuildPrimaryDescriptor(document.get(), primary, 0);
  EXPECT_EQ(Bytes(primary + 1395, 15), "application use");
  EXPECT_EQ(GetBothEndian16(primary + 120), 7);
  EXPECT_EQ(Bytes(primary + 40, 4), "KEPT");
}

}  // namespace
