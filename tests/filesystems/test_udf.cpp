// The UDF reader on images of our generator: every partition kind (physical, sparable with a moved packet,
// virtual with its allocation table, metadata with its mirror), extended file entries, data inside the entry,
// extents continued in allocation extent descriptors, CS0 names; and damaged volumes, which end with a message
// and exit status 1 in bounded time.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "filesystems/udf.h"
#include "fixtures/udf_image.h"
#include "image/document.h"
#include "image/sectors.h"
#include "runtime/byte_reader.h"
#include "session/document.h"
#include "session/open.h"
#include "session/udf_view.h"
#include "support/run_program.h"
#include "tree/iso_helpers.h"
#include "tree/tree.h"

namespace {

using udfgen::Node;
using udfgen::Options;
using udfgen::Partition;
using udfgen::Storage;

std::string Pattern(size_t n, int seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 7 + i / 2048) & 0xFF);
  return s;
}

Node File(const std::string& name, std::string data, Storage storage = Storage::kExtents, uint32_t extentBytes = 0,
          bool extended = false) {
  Node n;
  n.name = name;
  n.data = std::move(data);
  n.storage = storage;
  n.extentBytes = extentBytes;
  n.extended = extended;
  return n;
}

Node Folder(const std::string& name, std::vector<Node> children) {
  Node n;
  n.name = name;
  n.directory = true;
  n.children = std::move(children);
  return n;
}

// A tree that exercises every way a file's data is described. The folder "many" holds enough names that its
// identifiers run over a sector boundary.
Node SampleTree() {
  std::vector<Node> many;
  for (int i = 0; i < 70; ++i)
    many.push_back(File("file number " + std::to_string(i) + ".txt", "n" + std::to_string(i)));
  return Folder("", {
                        File("Hello.txt", "hello\n"),
                        File("inline.txt", "data kept inside the file entry", Storage::kInline),
                        File("extended.bin", Pattern(5000, 1), Storage::kExtents, 0, true),
                        File("three extents.bin", Pattern(3 * 4096 - 300, 2), Storage::kContinued, 4096),
                        File("spliced.bin", Pattern(3 * 4096 - 5, 3), Storage::kContinuedMiddle, 4096),
                        File("caf\xc3\xa9 \xe2\x98\x83 \xf0\x9f\x8e\xb5.txt", "names in 16-bit CS0"),
                        File("empty", ""),
                        Folder("sub", {Folder("deeper", {File("data.bin", Pattern(300000, 4))})}),
                        Folder("many", many),
                    });
}

void WriteImage(const std::string& path, const std::vector<uint8_t>& bytes) {
  WriteFileBytes(path, std::string(bytes.begin(), bytes.end()));
}

// Every file of `node` lies below `local` with its data and the generator's time.
void ExpectExtracted(const Node& node, const std::string& local) {
  for (const Node& child : node.children) {
    const std::string path = local + "/" + child.name;
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0) << path;
    if (child.directory) {
      EXPECT_TRUE(S_ISDIR(info.st_mode)) << path;
      ExpectExtracted(child, path);
      continue;
    }
    EXPECT_EQ(ReadFileBytes(path), child.data) << path;
    EXPECT_EQ(info.st_mtime, udfgen::Generator::kTime) << path;
  }
}

ProgramResult ListImage(const std::string& image) {
  ProgramOptions options;
  options.timeoutSeconds = 60;
  return RunKestrane({"list", image, "/", "-r"}, options);
}

// Recomputes a descriptor's CRC (over the length its tag names, within `available` bytes) and checksum.
void Retag(uint8_t* d, size_t available = udfgen::kSector) {
  const uint16_t crcLength = LoadU16LE(d + 10);
  if (16u + crcLength <= available) {
    uint16_t crc = 0;
    for (size_t i = 0; i < crcLength; ++i) {
      crc ^= static_cast<uint16_t>(d[16 + i] << 8);
      for (int b = 0; b < 8; ++b) crc = crc & 0x8000 ? static_cast<uint16_t>(crc << 1 ^ 0x1021) : crc << 1;
    }
    d[8] = crc & 0xFF, d[9] = crc >> 8;
  }
  uint8_t sum = 0;
  for (int i = 0; i < 16; ++i)
    if (i != 4) sum = static_cast<uint8_t>(sum + d[i]);
  d[4] = sum;
}

uint32_t SectorOf(const udfgen::Layout& layout, const std::string& path) {
  for (const auto& [name, sector] : layout.fileEntrySectors)
    if (name == path) return sector;
  ADD_FAILURE() << "no entry for " << path;
  return 0;
}

}  // namespace

TEST(UdfRead, EveryPartitionKindListsAndExtractsItsTree) {
  const std::string folder = MakeTestFolder("udf_kinds");
  const Node tree = SampleTree();
  struct Case {
    const char* name;
    Options options;
  };
  Options physicalShort;
  physicalShort.shortAds = true;
  Options physicalLong;
  physicalLong.nsr03 = true;
  Options sparable;
  sparable.partition = Partition::kSparable;
  sparable.spareFile = "/sub/deeper/data.bin";
  Options virtual200;
  virtual200.partition = Partition::kVirtual;
  virtual200.nsr03 = true;
  Options virtual150;
  virtual150.partition = Partition::kVirtual150;
  Options metadata;
  metadata.partition = Partition::kMetadata;
  metadata.nsr03 = true;
  Options mirror = metadata;
  mirror.breakMainMetadata = true;
  const Case cases[] = {{"physical_short", physicalShort}, {"physical_long", physicalLong}, {"sparable", sparable},
                        {"virtual200", virtual200},        {"virtual150", virtual150},      {"metadata", metadata},
                        {"metadata_mirror", mirror}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string image = folder + "/" + c.name + ".iso";
    WriteImage(image, udfgen::MakeImage(tree, c.options));
    const ProgramResult listed = ListImage(image);
    ASSERT_EQ(listed.status, 0) << listed.out;
    EXPECT_NE(listed.out.find("caf\xc3\xa9 \xe2\x98\x83 \xf0\x9f\x8e\xb5.txt"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("Objects in /many:"), std::string::npos);
    EXPECT_NE(listed.out.find("78 Files, 5 Folders"), std::string::npos) << listed.out;
    const std::string out = folder + "/" + c.name;
    const ProgramResult extracted = RunKestrane({"extract", image, "/", "-od", out, "-y"});
    ASSERT_EQ(extracted.status, 0) << extracted.out;
    ExpectExtracted(tree, out);
  }
}

// The sparing table matters: the packet's first place holds other bytes, so reading it there would differ.
TEST(UdfRead, AMovedPacketIsReadFromWhereTheSparingTableSays) {
  const std::string folder = MakeTestFolder("udf_sparing");
  Options options;
  options.partition = Partition::kSparable;
  options.spareFile = "/a.bin";
  const Node tree = Folder("", {File("a.bin", Pattern(70000, 9))});
  const std::vector<uint8_t> bytes = udfgen::MakeImage(tree, options);
  // The generator filled the packet's first place with 0xEE.
  ASSERT_NE(std::string(bytes.begin(), bytes.end()).find(std::string(4096, '\xEE')), std::string::npos);
  WriteImage(folder + "/s.iso", bytes);
  ASSERT_EQ(RunKestrane({"extract", folder + "/s.iso", "/", "-od", folder + "/out", "-y"}).status, 0);
  EXPECT_EQ(ReadFileBytes(folder + "/out/a.bin"), tree.children[0].data);
}

// The allocation table is found back from the last sector; a 2.00 table of 1,000 bytes with its 152-byte header
// has 212 entries, however many sectors were read.
TEST(UdfRead, VirtualPartitionTableEntriesComeFromItsLength) {
  const std::string folder = MakeTestFolder("udf_vat");
  Options options;
  options.partition = Partition::kVirtual;
  options.vatBytes = 1000;
  WriteImage(folder + "/v.iso", udfgen::MakeImage(Folder("", {File("a.txt", "a")}), options));
  const std::wstring path(folder.begin(), folder.end());
  CImageDocument* document = ImageOpenByPath((path + L"/v.iso").c_str(), kOpenLoadTree);
  ASSERT_NE(document, nullptr);
  ASSERT_TRUE(UdfIsMounted(document));
  const CUdfVolume* volume = document->udfVolume;
  ASSERT_EQ(volume->mapCount, 2);
  EXPECT_EQ(volume->maps[1].kind, kUdfMapVirtual200);
  EXPECT_EQ(volume->maps[1].vatEntryOffset, 152);
  EXPECT_EQ(volume->maps[1].vatEntryCount, 212u);
  EXPECT_NE(volume->vatSector, 0u);
  EXPECT_NE(TreeFindEntryByPath(document, nullptr, L"/a.txt"), nullptr);
  EXPECT_STREQ(document->identifiers[kVolumeLabel], L"GENERATED");
  ImageClose(document);
}

TEST(UdfRead, NamesAndTimestamps) {
  struct NameCase {
    std::vector<uint8_t> bytes;
    bool ok;
    std::wstring text;
  };
  const NameCase names[] = {
      {{16, 0x00, 0x41, 0x00, 0x42}, true, L"AB"},
      {{8, 'a', 0xE9}, true, L"a\u00E9"},  // 8-bit units are the first 256 code points
      {{16, 0xD8, 0x3C, 0xDF, 0xB5}, true, L"\U0001F3B5"},
      {{16, 0xDC, 0x00, 0x00, 0x41}, true, L"\uFFFDA"},  // a lone surrogate cannot stand
      {{254, 'a'}, false, L""},
      {{}, false, L""},
  };
  for (const NameCase& c : names) {
    std::wstring out;
    EXPECT_EQ(UdfDecodeName(c.bytes.data(), c.bytes.size(), &out), c.ok);
    EXPECT_EQ(out, c.text);
  }
  uint8_t field[32] = {8, 'L', 'A', 'B', 'E', 'L', ' ', ' '};
  field[31] = 8;
  std::wstring label;
  ASSERT_TRUE(UdfDecodeDString(field, sizeof field, &label));
  EXPECT_EQ(label, L"LABEL");
  field[31] = 200;  // a used length past the field is cut to it
  EXPECT_TRUE(UdfDecodeDString(field, sizeof field, &label));

  // 2020-01-02 03:04:05 at the zone the stamp names; without a zone, local time (TZ=UTC here).
  uint8_t stamp[12] = {0, 0, 0xE4, 0x07, 1, 2, 3, 4, 5};
  stamp[0] = 60, stamp[1] = 0x10;
  EXPECT_EQ(UdfTimestampToTime(stamp), 1577934245 - 3600);
  stamp[0] = 0x88, stamp[1] = 0x1F;  // -120 minutes
  EXPECT_EQ(UdfTimestampToTime(stamp), 1577934245 + 7200);
  stamp[0] = 0x01, stamp[1] = 0x18;  // -2047: no zone
  EXPECT_EQ(UdfTimestampToTime(stamp), 1577934245);
  stamp[4] = 13;
  EXPECT_EQ(UdfTimestampToTime(stamp), 0);
}

// Damaged volumes: the program says what went wrong and exits with status 1, in bounded time; what could be
// read is still listed.
TEST(UdfHostile, DamagedVolumesEndWithAMessage) {
  const std::string folder = MakeTestFolder("udf_hostile");
  const Node tree =
      Folder("", {File("a.txt", "alpha"), File("continued.bin", Pattern(3 * 4096, 5), Storage::kContinued, 4096),
                  Folder("sub", {File("b.txt", "beta")})});
  udfgen::Layout layout;
  Options options;
  options.shortAds = true;
  const std::vector<uint8_t> good = udfgen::MakeImage(tree, options, &layout);
  auto at = [](std::vector<uint8_t>& image, uint32_t sector) { return image.data() + size_t{sector} * 2048; };
  // The root directory's identifiers: parent, a.txt, continued.bin, sub.
  uint32_t rootData = 0;
  for (const auto& [path, sector] : layout.directoryDataSectors)
    if (path == "/") rootData = sector;
  ASSERT_NE(rootData, 0u);
  auto fidAt = [&](std::vector<uint8_t>& image, int index) {
    uint8_t* p = at(image, rootData);
    for (int i = 0; i < index; ++i) p += (38 + LoadU16LE(p + 36) + p[19] + 3) & ~3;
    return p;
  };
  struct Patch {
    std::string name;
    std::function<void(std::vector<uint8_t>&)> apply;
    bool mounts;  // the volume opens and what could be read is listed
  };
  const uint32_t fileA = SectorOf(layout, "/a.txt");
  const uint32_t continued = SectorOf(layout, "/continued.bin");
  const std::vector<Patch> patches = {
      {"anchor_past_image",
       [&](std::vector<uint8_t>& image) {
         uint8_t* anchor = at(image, 256);
         std::memcpy(anchor + 20, "\x00\xFF\xFF\x7F", 4);
         std::memcpy(anchor + 28, "\x00\xFF\xFF\x7F", 4);
         Retag(anchor);
       },
       false},
      {"anchor_checksum", [&](std::vector<uint8_t>& image) { at(image, 256)[4] ^= 1; }, false},
      {"file_entry_checksum", [&](std::vector<uint8_t>& image) { at(image, fileA)[4] ^= 1; }, true},
      {"file_entry_crc", [&](std::vector<uint8_t>& image) { at(image, fileA)[60] ^= 1; }, true},
      {"extent_leaves_partition",
       [&](std::vector<uint8_t>& image) {
         uint8_t* entry = at(image, fileA);
         std::memcpy(entry + 176 + 4, "\x00\x00\xF0\x7F", 4);
         Retag(entry);
       },
       true},
      {"continuation_loop",
       [&](std::vector<uint8_t>& image) {
         // The allocation extent descriptor continues into itself.
         uint8_t* entry = at(image, continued);
         const uint32_t aed = LoadU32LE(entry + 176 + 8 + 4);
         uint8_t* d = at(image, layout.partitionStart + aed);
         std::memcpy(d + 24, "\x00\x08\x00\xC0", 4);
         std::memcpy(d + 28, &aed, 4);
         Retag(d);
       },
       true},
      {"directory_contains_itself",
       [&](std::vector<uint8_t>& image) {
         uint8_t* sub = fidAt(image, 3);
         const uint32_t root = layout.rootIcbSector - layout.partitionStart;
         std::memcpy(sub + 24, &root, 4);
       },
       true},
      {"identifier_length_zero", [&](std::vector<uint8_t>& image) { fidAt(image, 3)[19] = 0; }, true},
      {"identifier_past_descriptor", [&](std::vector<uint8_t>& image) { fidAt(image, 2)[19] = 255; }, true},
      {"seventeen_maps",
       [&](std::vector<uint8_t>& image) {
         for (uint32_t lvd : {34u, 50u}) {
           uint8_t* d = at(image, lvd);
           d[268] = 17;
           Retag(d);
         }
       },
       false},
  };
  for (const Patch& patch : patches) {
    SCOPED_TRACE(patch.name);
    std::vector<uint8_t> image = good;
    patch.apply(image);
    const std::string path = folder + "/" + patch.name + ".iso";
    WriteImage(path, image);
    const ProgramResult listed = ListImage(path);
    EXPECT_FALSE(listed.timedOut);
    EXPECT_EQ(listed.status, 1) << listed.out;
    EXPECT_NE(listed.out.find(path + ": "), std::string::npos) << listed.out;
    if (patch.mounts) {
      EXPECT_NE(listed.out.find("Objects in /:"), std::string::npos) << listed.out;
    }
  }
}

// A file of 5 GiB and 5 bytes in six extents (the last ones continued): its size, its extents and its last
// bytes, read where the extents put them. The data is a hole of the image file but for its last bytes.
TEST(UdfRead, AFileOverFourGigabytesReadsToItsLastByte) {
  const std::string folder = MakeTestFolder("udf_huge");
  Node huge = File("huge.raw", "", Storage::kContinued);
  huge.sparseSize = (uint64_t{5} << 30) + 5;
  udfgen::Layout layout;
  Options options;
  options.shortAds = true;
  const std::string image = folder + "/huge.iso";
  WriteImage(image, udfgen::MakeImage(Folder("", {huge, File("small.txt", "small")}), options, &layout));
  ASSERT_EQ(truncate(image.c_str(), static_cast<off_t>(layout.imageBytes)), 0);
  {
    FILE* file = std::fopen(image.c_str(), "r+b");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(fseeko(file, static_cast<off_t>(layout.sparseDataOffset + huge.sparseSize - 4), SEEK_SET), 0);
    ASSERT_EQ(std::fwrite("tail", 1, 4, file), 4u);
    std::fclose(file);
  }
  const ProgramResult listed = ListImage(image);
  ASSERT_EQ(listed.status, 0) << listed.out;
  EXPECT_NE(listed.out.find("5,368,709,125  huge.raw"), std::string::npos) << listed.out;

  const std::wstring path(image.begin(), image.end());
  CImageDocument* document = ImageOpenByPath(path.c_str(), kOpenLoadTree);
  ASSERT_NE(document, nullptr);
  const CTreeEntry* entry = TreeFindEntryByPath(document, nullptr, L"/huge.raw");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->size, static_cast<int64_t>(huge.sparseSize));
  int64_t total = 0, tailSector = -1;
  for (int32_t i = 0; i < entry->extentCount; ++i) {
    const CTreeExtent& extent = entry->extents[i];
    const int64_t want = static_cast<int64_t>(huge.sparseSize) - 4;
    if (want >= total && want < total + extent.length) tailSector = extent.lba + (want - total) / 2048;
    total += extent.length;
  }
  EXPECT_EQ(total, static_cast<int64_t>(huge.sparseSize));
  ASSERT_GE(tailSector, 0);
  std::vector<uint8_t> sector(2048);
  ASSERT_EQ(ImageReadSectors(document, tailSector, sector.data(), 1), 1);
  EXPECT_EQ(std::memcmp(sector.data() + (huge.sparseSize - 4) % 2048, "tail", 4), 0);
  ImageClose(document);
}

// mkudffs volumes of each media type and revision it writes here mount with the label udfinfo reads, their file
// set served by the partition kind of the medium: physical, sparable or virtual (mkudffs writes no metadata
// partition; the generator's images cover it).
TEST(UdfRead, MkudffsVolumesOfEachMediaTypeMount) {
  if (RunShell("command -v mkudffs && command -v udfinfo").status != 0) GTEST_SKIP() << "udftools missing";
  const std::string folder = MakeTestFolder("udf_mkudffs");
  struct Case {
    const char* media;
    const char* revision;
    uint16_t kind;
  };
  const Case cases[] = {{"hd", "0x0102", kUdfMapPhysical},    {"hd", "0x0150", kUdfMapPhysical},
                        {"hd", "0x0201", kUdfMapPhysical},    {"dvdrw", "0x0150", kUdfMapSparable},
                        {"dvdrw", "0x0201", kUdfMapSparable}, {"cdr", "0x0150", kUdfMapVirtual150},
                        {"cdr", "0x0250", kUdfMapVirtual200}, {"bdr", "0x0250", kUdfMapVirtual200}};
  for (const Case& c : cases) {
    const std::string name = std::string(c.media) + "_" + c.revision;
    SCOPED_TRACE(name);
    const std::string image = folder + "/" + name + ".img";
    const ProgramResult made =
        RunShell("truncate -s 0 '" + image + "' && mkudffs --media-type=" + c.media + " --udfrev=" + c.revision +
                 " --blocksize=2048 --label=Vol_" + name + " '" + image + "' 20000 2>&1");
    ASSERT_EQ(made.status, 0) << made.out;
    const ProgramResult info = RunShell("udfinfo '" + image + "' 2>&1");
    ASSERT_NE(info.out.find("label=Vol_" + name + "\n"), std::string::npos) << info.out;
    const std::wstring path(image.begin(), image.end());
    CImageDocument* document = ImageOpenByPath(path.c_str(), kOpenLoadTree);
    ASSERT_NE(document, nullptr);
    ASSERT_TRUE(UdfIsMounted(document));
    const CUdfVolume* volume = document->udfVolume;
    EXPECT_EQ(std::wstring(document->identifiers[kVolumeLabel]), L"Vol_" + std::wstring(name.begin(), name.end()));
    ASSERT_LT(volume->fileSetPartition, static_cast<uint32_t>(volume->mapCount));
    EXPECT_EQ(volume->maps[volume->fileSetPartition].kind, c.kind);
    EXPECT_EQ(document->treeDamaged, 0);
    ImageClose(document);
  }
}

// A view mounts the volume of an open image without a tree and gives back what it borrowed.
TEST(UdfRead, ViewOfAnOpenImageGivesTheLabelAndFileSet) {
  const std::string folder = MakeTestFolder("udf_view");
  Options options;
  options.label = "VIEWED";
  udfgen::Layout layout;
  const std::string image = folder + "/v.iso";
  WriteImage(image, udfgen::MakeImage(Folder("", {File("a.txt", "a")}), options, &layout));
  const std::wstring path(image.begin(), image.end());
  CImageDocument* document = ImageOpenByPath(path.c_str(), kOpenLoadTree);
  ASSERT_NE(document, nullptr);
  CImageDocument* view = UdfOpenView(document, 0, nullptr, 0);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view->rootFolder, nullptr);
  EXPECT_STREQ(view->identifiers[kVolumeLabel], L"VIEWED");
  const CUdfVolume* volume = view->udfVolume;
  EXPECT_EQ(volume->maps[volume->fileSetPartition].start + volume->rootIcbBlock, layout.rootIcbSector);
  ImageClose(view);
  // The document still reads its image.
  EXPECT_NE(TreeFindEntryByPath(document, nullptr, L"/a.txt"), nullptr);
  EXPECT_EQ(UdfOpenView(document, 0, nullptr, 16), nullptr);
  ImageClose(document);
}
