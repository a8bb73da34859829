// A rewritable DVD or BD that holds a UDF volume and no ISO 9660 one opens from its drive as one track that ends
// where the volume's partition ends, rounded up to the disc's write unit: the drive itself reports the whole
// formatted disc. A partition too small to be a volume, or one that reaches past the disc, leaves the track as the
// drive reports it.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "burner/disc_read.h"
#include "burner/sim_child.h"
#include "burner/transport.h"
#include "fixtures/udf_fill.h"
#include "fixtures/udf_image.h"
#include "image/document.h"
#include "image/tracktable.h"
#include "runtime/file.h"
#include "session/document.h"
#include "session/drive_open.h"
#include "session/open.h"
#include "support/run_program.h"

namespace {

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

uint32_t Load32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
void Store32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The sectors of the volume's partition descriptors: tag 5 with a sound checksum and its own location.
std::vector<uint32_t> PartitionDescriptors(const std::vector<uint8_t>& image) {
  std::vector<uint32_t> found;
  for (uint32_t s = 19; (size_t{s} + 1) * 2048 <= image.size(); ++s) {
    const uint8_t* tag = image.data() + size_t{s} * 2048;
    uint8_t sum = 0;
    for (int i = 0; i < 16; ++i)
      if (i != 4) sum = static_cast<uint8_t>(sum + tag[i]);
    if (tag[0] == 5 && tag[1] == 0 && sum == tag[4] && Load32(tag + 12) == s) found.push_back(s);
  }
  return found;
}

// Where the partition ends, as its descriptor says.
int64_t PartitionEnd(const std::vector<uint8_t>& image) {
  const std::vector<uint32_t> pds = PartitionDescriptors(image);
  if (pds.empty()) return -1;
  const uint8_t* pd = image.data() + pds[0] * 2048;
  return int64_t{Load32(pd + 188)} + Load32(pd + 192);
}

// Gives every partition descriptor a new start and length; with a new start the partition's blocks move there.
void SetPartition(std::vector<uint8_t>* image, uint32_t start, uint32_t length) {
  const std::vector<uint32_t> pds = PartitionDescriptors(*image);
  ASSERT_FALSE(pds.empty());
  const uint32_t oldStart = Load32(image->data() + pds[0] * 2048 + 188);
  if (start != oldStart) {
    const size_t used = image->size() - size_t{oldStart} * 2048;
    std::vector<uint8_t> blocks(image->begin() + oldStart * 2048, image->end());
    std::fill(image->begin() + oldStart * 2048, image->end(), 0);
    if (image->size() < (start * 2048 + used)) image->resize(start * 2048 + used);
    std::memcpy(image->data() + size_t{start} * 2048, blocks.data(), used);
  }
  for (uint32_t s : pds) {
    uint8_t* pd = image->data() + s * 2048;
    Store32(pd + 188, start);
    Store32(pd + 192, length);
    udfgen::Generator::Tag(pd, 5, s, 512, pd[2]);
  }
}

void Save(const std::string& path, const std::vector<uint8_t>& image) {
  WriteFileBytes(path, std::string(image.begin(), image.end()));
}

// A small volume made by our generator: its partition starts at 272 and holds a few blocks.
std::vector<uint8_t> SmallVolume() {
  udfgen::Node root;
  root.directory = true;
  udfgen::Node file;
  file.name = "small.txt";
  file.data = "tiny";
  root.children.push_back(file);
  return udfgen::MakeImage(root, udfgen::Options{});
}

struct Disc {
  const char* name;
  const char* media;
  int64_t partitionEnd;  // as the probe finds it
  int64_t trimmedTo;     // the track's length when opened; 0: the track as the drive reports it
};

// Drives 0.. hold these discs, in this order.
const Disc kDiscs[] = {
    {"filled", "dvd+rw", 2985, 2992},  // 16-sector units
    {"filled", "bd-re", 2985, 3008},   // 32-sector units
    {"edge", "dvd+rw", 257, 272},      // a volume just large enough
    {"small", "dvd+rw", 256, 0},       // too small to be taken for a volume
    {"beyond", "dvd+rw", 5000272, 0},  // reaches past the disc
};

void MakeDiscs(const std::string& state) {
  // mkudffs formats the volume (a physical partition) and our filler adds files to it.
  const std::string filled = state + "/filled.img";
  ASSERT_EQ(
      RunShell("mkudffs --media-type=hd --blocksize=2048 --label=Trimmed '" + filled + "' 3004 >/dev/null").status, 0);
  std::string bytes = ReadFileBytes(filled);
  std::vector<uint8_t> volume(bytes.begin(), bytes.end());
  std::string big;
  for (int i = 0; i < 70000; ++i) big.push_back(static_cast<char>(i * 7 + i / 251));
  ASSERT_EQ(udffill::Filler(&volume).Fill({{"a.txt", "alpha"}, {"sub", "", true}, {"sub/b.bin", big}}), "");
  ASSERT_EQ(PartitionEnd(volume), 2985);
  Save(filled, volume);

  std::vector<uint8_t> edge = SmallVolume();
  SetPartition(&edge, 64, 257 - 64);
  Save(state + "/edge.img", edge);
  std::vector<uint8_t> small = SmallVolume();
  SetPartition(&small, 64, 256 - 64);
  Save(state + "/small.img", small);
  std::vector<uint8_t> beyond = SmallVolume();
  SetPartition(&beyond, 272, 5000000);
  Save(state + "/beyond.img", beyond);

  int drive = 0;
  for (const Disc& disc : kDiscs) {
    const std::string n = std::to_string(drive++), folder = state + "/disc" + n;
    Sim(state, {"create-drive", n});
    Sim(state, {"make-disc", folder, disc.media, "formatted", "--from", state + "/" + disc.name + ".img"});
    Sim(state, {"insert", n, folder});
  }
}

}  // namespace

TEST(DriveUdfVolume, AnOverwritableDiscWithOnlyUdfIsAsLongAsItsPartition) {
  if (RunShell("command -v mkudffs").status != 0) GTEST_SKIP() << "udftools missing";
  if (!InSimulator(MakeDiscs)) return;
  const std::string state = SimState();
  int drive = 0;
  for (const Disc& disc : kDiscs) {
    const std::string device = "/dev/sg" + std::to_string(drive++);
    SCOPED_TRACE(std::string(disc.name) + " on " + disc.media);
    // The layout the drive reports, read without the file-system probe.
    CScsiContext scsi;
    scsi.retryDelayMs = scsi.longDelayMs = 1;
    const int fd = RawFileOpen(Wide(device).c_str());
    ASSERT_GT(fd, 0);
    CTrackTable* reported = TrackTableAlloc();
    ASSERT_EQ(DiscReadTrackList(&scsi, fd, reported, Wide(device).c_str(), 0), 1);
    ASSERT_EQ(reported->trackCount, 1);
    const int32_t whole = reported->tracks[0].length;
    TrackTableFree(reported);
    EXPECT_EQ(DriveUdfVolumeEnd(&scsi, fd, whole), disc.partitionEnd);
    RawFileClose(fd);
    EXPECT_GT(whole, 3008);

    CImageDocument* opened = ImageOpenByPath(Wide(device).c_str(), kOpenLoadTree);
    ASSERT_NE(opened, nullptr);
    ASSERT_NE(opened->trackTable, nullptr);
    ASSERT_EQ(opened->trackTable->trackCount, 1);
    const CTrackInfo& track = opened->trackTable->tracks[0];
    EXPECT_EQ(track.start, 0);
    EXPECT_EQ(track.length, disc.trimmedTo ? disc.trimmedTo : whole);
    if (disc.trimmedTo) {
      EXPECT_EQ(opened->trackTable->discStatus, 1);
      EXPECT_EQ(opened->readableLimit, disc.trimmedTo);
    }
    ImageClose(opened);
  }

  // The trimmed disc lists and extracts as the image it was made from.
  const std::string image = state + "/filled.img";
  for (const char* device : {"/dev/sg0", "/dev/sg1"}) {
    SCOPED_TRACE(device);
    const ProgramResult fromImage = RunKestrane({"list", image, "/", "-r"});
    const ProgramResult fromDisc = RunKestrane({"list", device, "/", "-r"});
    EXPECT_EQ(fromDisc.status, 0);
    EXPECT_NE(fromImage.out.find("b.bin"), std::string::npos) << fromImage.out;
    EXPECT_EQ(fromDisc.out, fromImage.out);
    const std::string out = state + "/x" + std::string(device).substr(7);
    ASSERT_EQ(RunKestrane({"extract", device, "/", "-od", out}).status, 0);
    EXPECT_EQ(ReadFileBytes(out + "/a.txt"), "alpha");
    std::string big;
    for (int i = 0; i < 70000; ++i) big.push_back(static_cast<char>(i * 7 + i / 251));
    EXPECT_EQ(ReadFileBytes(out + "/sub/b.bin"), big);
  }
  // An image made from the disc holds the volume up to the end of its partition, as the image did.
  const std::string made = state + "/made.iso";
  const ProgramResult r = RunKestrane({"make-image", "/dev/sg0", "-o", made});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(ReadFileBytes(made), ReadFileBytes(image).substr(0, 2992 * 2048));
}
