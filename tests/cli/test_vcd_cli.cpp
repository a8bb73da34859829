// Video CD images made by vcdimager (from an MPEG-1 clip made by ffmpeg) are recognised: listed with their
// MPEGAV folder, refused by convert and by a save with the Video CD message; the same volume as a plain
// 2048-byte image, or with its entry table damaged, is not a Video CD.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "image/document.h"
#include "session/document.h"
#include "session/open.h"
#include "tree/vcd.h"
#include "runtime/memory.h"
#include "runtime/textconv.h"
#include "support/run_program.h"
#include "tree/tree.h"

namespace fs = std::filesystem;

namespace {

ProgramResult Shell(const std::string& command) { return RunProgram("/bin/sh", {"-c", command}); }

const char kRefusal[] = "This is a Video CD image file, and can not be converted.";

// vcd.bin and vcd.cue in `folder`: two tracks, the ISO volume in the first, the clip in the second.
void MakeVideoCd(const std::string& folder) {
  ProgramResult made = Shell("cd '" + folder + "' && ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi "
                             "-i testsrc=size=352x240:rate=29.97 -f lavfi -i sine=frequency=440:sample_rate=44100 "
                             "-t 1 -target ntsc-vcd clip.mpg && vcdimager -t vcd2 -c vcd.cue -b vcd.bin clip.mpg "
                             ">/dev/null 2>&1");
  ASSERT_EQ(made.status, 0) << made.out;
}

TEST(VideoCdCli, IsListedAndRefusedByConvertAndSave) {
  const std::string folder = MakeTestFolder("vcd_recognised");
  MakeVideoCd(folder);
  for (const char* name : {"vcd.cue", "vcd.bin"}) {
    ProgramResult listing = RunKestrane({"list", folder + "/" + name, "/"});
    EXPECT_EQ(listing.status, 0) << listing.out;
    EXPECT_NE(listing.out.find("<DIR>  MPEGAV"), std::string::npos) << listing.out;
    EXPECT_NE(listing.out.find("<DIR>  VCD"), std::string::npos) << listing.out;

    const std::string target = folder + "/x.iso";
    ProgramResult convert = RunKestrane({"convert", folder + "/" + name, "-o", target});
    EXPECT_EQ(convert.status, 1) << convert.out;
    EXPECT_NE(convert.out.find(std::string("vcd.bin\r\n\r\n") + kRefusal), std::string::npos) << convert.out;
    EXPECT_FALSE(fs::exists(target));
  }
  // Written as a plain image it would lose its MPEG track: a save is refused too, and leaves nothing.
  const std::string edited = folder + "/edited.iso";
  ProgramResult edit = RunKestrane({"edit", folder + "/vcd.cue", "-label", "X", "-o", edited});
  EXPECT_EQ(edit.status, 1) << edit.out;
  EXPECT_NE(edit.out.find(kRefusal), std::string::npos) << edit.out;
  EXPECT_FALSE(fs::exists(edited));
}

TEST(VideoCdCli, OnlyRawImagesWithTheirEntryTableAreVideoCds) {
  const std::string folder = MakeTestFolder("vcd_not_recognised");
  MakeVideoCd(folder);
  const std::string raw = ReadFileBytes(folder + "/vcd.bin");
  ASSERT_GT(raw.size(), 160u * 2352);

  // The first track's user data as a plain 2048-byte image: "CD-XA001" and the VCD folder are there, but only
  // raw sectors are examined.
  std::string plain;
  for (size_t at = 0; at + 2352 <= raw.size() && at < 300 * 2352; at += 2352) plain += raw.substr(at + 24, 2048);
  { std::ofstream(folder + "/plain.iso", std::ios::binary) << plain; }
  ASSERT_NE(plain.find("CD-XA001"), std::string::npos);
  ProgramResult listing = RunKestrane({"list", folder + "/plain.iso", "/"});
  EXPECT_NE(listing.out.find("<DIR>  MPEGAV"), std::string::npos) << listing.out;
  ProgramResult convert = RunKestrane({"convert", folder + "/plain.iso", "-o", folder + "/plain.qvf"});
  EXPECT_EQ(convert.status, 0) << convert.out;
  EXPECT_EQ(convert.out.find(kRefusal), std::string::npos) << convert.out;

  // Sector 151 no longer holds the entry table: a two-track disc, not a Video CD.
  std::string damaged = raw;
  const size_t entries = 151 * 2352 + 24;
  ASSERT_EQ(damaged.substr(entries, 8), "ENTRYVCD");
  damaged[entries] = 'X';
  fs::create_directories(folder + "/damaged");
  { std::ofstream(folder + "/damaged/vcd.bin", std::ios::binary) << damaged; }
  fs::copy_file(folder + "/vcd.cue", folder + "/damaged/vcd.cue");
  convert = RunKestrane({"convert", folder + "/damaged/vcd.cue", "-o", folder + "/damaged/x.iso"});
  EXPECT_EQ(convert.status, 1) << convert.out;
  EXPECT_EQ(convert.out.find(kRefusal), std::string::npos) << convert.out;
  EXPECT_NE(convert.out.find("This image file can not be converted."), std::string::npos) << convert.out;
}

TEST(VideoCdCli, OpeningClassifiesTheVideoCdEntries) {
  const std::string folder = MakeTestFolder("vcd_marks");
  MakeVideoCd(folder);
  wchar_t* path = TextMultiByteToWideDup((folder + "/vcd.cue").c_str());
  ASSERT_NE(path, nullptr);
  CImageDocument* document = ImageOpenByPath(path, kOpenLoadTree | kOpenQuiet);
  MemFree(path);
  ASSERT_NE(document, nullptr);
  EXPECT_EQ(document->videoCdKind, kVideoCd);
  EXPECT_EQ(document->isoNameLength, 30);
  const CTreeEntry* info = TreeFindEntryByPath(document, nullptr, L"/VCD/INFO.VCD");
  const CTreeEntry* entries = TreeFindEntryByPath(document, nullptr, L"/VCD/ENTRIES.VCD");
  const CTreeEntry* clip = TreeFindEntryByPath(document, nullptr, L"/MPEGAV/AVSEQ01.DAT");
  ASSERT_TRUE(info && entries && clip);
  EXPECT_EQ(info->requestedLba, 150);
  EXPECT_EQ(entries->requestedLba, 151);
  // The clip is the MPEG file of track 2.
  EXPECT_EQ(clip->requestedLba, 0xFFFFFF02);
  ImageClose(document);
}

}  // namespace
