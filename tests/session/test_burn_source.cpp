// What the session hands the recorder for a burn: the reader of the image's sectors, the names of the items at
// each sector for the progress title, and the CD-TEXT of a sheet built into lead-in packs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "burner/jobs.h"
#include "image/document.h"
#include "image/tracktable.h"
#include "session/burn.h"
#include "session/document.h"
#include "session/open.h"
#include "support/run_program.h"

namespace {

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// The first sector of a file as xorriso reports it.
int64_t LbaOf(const std::string& iso, const std::string& path) {
  ProgramResult r = RunShell("xorriso -indev '" + iso + "' -find '" + path + "' -exec report_lba -- 2>/dev/null");
  size_t at = r.out.find("File data lba:");
  if (at == std::string::npos) return -1;
  std::string rest = r.out.substr(at + 14);
  size_t comma = rest.find(',');
  return std::stoll(rest.substr(comma + 1));
}

}  // namespace

TEST(BurnSource, SectorsItemNamesAndCdTextPacks) {
  const std::string folder = MakeTestFolder("burn_source");
  WriteFileBytes(folder + "/tree/a.bin", std::string(5 * 2048 + 7, 'a'));
  WriteFileBytes(folder + "/tree/sub/b.bin", std::string(3 * 2048, 'b'));
  const std::string iso = folder + "/image.iso";
  ProgramOptions quiet;
  quiet.env = {"SOURCE_DATE_EPOCH=1700000000"};
  ASSERT_EQ(RunProgram("/usr/bin/genisoimage", {"-quiet", "-J", "-R", "-o", iso, folder + "/tree"}, quiet).status, 0);
  const int64_t a = LbaOf(iso, "/a.bin"), b = LbaOf(iso, "/sub/b.bin");
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);

  CImageDocument* document = ImageOpenByPath(Wide(iso).c_str(), kOpenLoadTree);
  ASSERT_NE(document, nullptr);
  auto run = std::make_unique<CBurnRun>();
  SessionPrepareBurn(run.get(), document);
  const CBurnSource& source = run->source;
  EXPECT_EQ(source.dataEnd, static_cast<int64_t>(ReadFileBytes(iso).size() / 2048));
  std::vector<uint8_t> sector(2048);
  ASSERT_EQ(source.readUser(source.context, a + 5, sector.data(), 1), 1);
  EXPECT_EQ(std::string(sector.begin(), sector.begin() + 8), std::string(7, 'a') + '\0');
  struct Case {
    int64_t lba;
    const wchar_t* name;
  } cases[] = {{a, L"a.bin"}, {a + 5, L"a.bin"}, {b + 2, L"b.bin"}, {b + 3, nullptr}, {16, nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lba);
    const wchar_t* name = source.itemAt(source.context, c.lba);
    if (c.name)
      EXPECT_EQ(std::wstring(name ? name : L"(none)"), c.name);
    else
      EXPECT_EQ(name, nullptr);
  }
  run.reset();
  ImageClose(document);

  // An audio sheet with texts gets its lead-in packs; one without texts gets none.
  const std::string tone(300 * 2352, '\0');
  WriteFileBytes(folder + "/a.bin", tone);
  for (bool texts : {true, false}) {
    SCOPED_TRACE(texts);
    WriteFileBytes(folder + "/a.cue", std::string(texts ? "TITLE \"Disc\"\n" : "") +
                                          "FILE \"a.bin\" BINARY\n  TRACK 01 AUDIO\n" +
                                          (texts ? "    TITLE \"Song\"\n" : "") + "    INDEX 01 00:00:00\n");
    CImageDocument* cue = ImageOpenByPath(Wide(folder + "/a.cue").c_str(), 0);
    ASSERT_NE(cue, nullptr);
    ASSERT_NE(cue->trackTable, nullptr);
    auto burn = std::make_unique<CBurnRun>();
    SessionPrepareBurn(burn.get(), cue);
    const std::vector<uint8_t>& blocks = cue->trackTable->cdTextSubchannel;
    if (texts) {
      ASSERT_FALSE(blocks.empty());
      EXPECT_EQ(blocks.size() % 96, 0u);
    } else {
      EXPECT_TRUE(blocks.empty());
    }
    burn.reset();
    ImageClose(cue);
  }
}
