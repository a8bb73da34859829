// Wii disc headers: recognised when nothing else is, listed without a file system, with the game title as the
// label and the region from the game code.
#include <gtest/gtest.h>

#include <cwchar>
#include <filesystem>
#include <fstream>
#include <string>

#include "image/document.h"
#include "session/document.h"
#include "session/open.h"
#include "runtime/memory.h"
#include "runtime/textconv.h"
#include "support/run_program.h"

namespace {

// A Wii disc image: sector 0 holds the game code, the magic (unless left out) and the title.
std::string WiiImage(const std::string& code, const std::string& title, bool magic = true) {
  std::string bytes(64 * 2048, '\0');
  bytes.replace(0, code.size(), code);
  if (magic) bytes.replace(24, 4, "\x5D\x1C\x9E\xA3");
  bytes.replace(32, title.size(), title);
  bytes[96] = 'Z';  // the byte after the title field is no part of the title
  return bytes;
}

CImageDocument* Open(const std::string& path) {
  wchar_t* wide = TextMultiByteToWideDup(path.c_str());
  CImageDocument* document = ImageOpenByPath(wide, kOpenLoadTree | kOpenQuiet);
  MemFree(wide);
  return document;
}

TEST(WiiDisc, TitleBecomesTheLabelAndTheGameCodeGivesTheRegion) {
  const std::string folder = MakeTestFolder("wii_header");
  struct Case {
    const char* code;
    const char* title;
    const wchar_t* region;
  };
  const Case cases[] = {
      {"RSPP01", "Bowling Practice Disc", L"PAL"},
      {"RSPE01", "Tennis For Two", L"NTSC"},
      {"RSPJ01", "A title that fills all sixty-four bytes of its field, exactly!!!", L"NTSC"},
      {"RSPK01", "Korean Release", L""},
  };
  for (const Case& c : cases) {
    const std::string path = folder + "/" + c.code + ".iso";
    std::ofstream(path, std::ios::binary) << WiiImage(c.code, c.title);
    CImageDocument* document = Open(path);
    ASSERT_NE(document, nullptr) << c.code;
    EXPECT_EQ(document->wiiDisc, 1);
    EXPECT_EQ(document->readOnly, 1);
    wchar_t expected[128] = {};
    std::mbstowcs(expected, c.title, 127);
    EXPECT_STREQ(document->identifiers[kVolumeLabel], expected) << c.code;
    EXPECT_STREQ(document->regionText.c_str(), c.region) << c.code;
    ASSERT_NE(document->rootFolder, nullptr);
    ImageClose(document);

    ProgramResult listing = RunKestrane({"list", path, "/"});
    EXPECT_EQ(listing.status, 0) << listing.out;
    // The disc is only read: edit says so and writes nothing.
    ProgramResult edit = RunKestrane({"edit", path, "-label", "X", "-o", folder + "/edited.iso"});
    EXPECT_EQ(edit.status, 1) << edit.out;
    EXPECT_NE(edit.out.find("This image file can not be edited."), std::string::npos) << edit.out;
    EXPECT_FALSE(std::filesystem::exists(folder + "/edited.iso"));
  }
  // Without the magic the same header is not recognised at all.
  const std::string plain = folder + "/nomagic.iso";
  std::ofstream(plain, std::ios::binary) << WiiImage("RSPP01", "Bowling Practice Disc", false);
  EXPECT_EQ(Open(plain), nullptr);
  ProgramResult listing = RunKestrane({"list", plain, "/"});
  EXPECT_EQ(listing.status, 1) << listing.out;
  EXPECT_NE(listing.out.find("The file format is invalid or unsupported."), std::string::npos) << listing.out;
}

}  // namespace
