// Xbox (XDVDFS) volumes of a generated image: a directory tree with left and right subtrees, padding to the end
// of a sector, a nested folder; subtree offsets and folders that lead back into their own path are refused.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/run_program.h"

namespace {

constexpr size_t kSector = 2048;

struct XboxImage {
  std::vector<uint8_t> bytes = std::vector<uint8_t>(48 * kSector, 0);

  uint8_t* At(size_t offset) { return bytes.data() + offset; }
  void Put16(size_t at, uint16_t v) { bytes[at] = v & 0xFF, bytes[at + 1] = v >> 8; }
  void Put32(size_t at, uint32_t v) { Put16(at, v & 0xFFFF), Put16(at + 2, v >> 16); }
  // An entry at byte `offset` of the directory that starts at `sector`; left and right in bytes (0: none).
  void Entry(uint32_t sector, size_t offset, uint32_t left, uint32_t right, uint32_t start, uint32_t size, bool folder,
             const std::string& name) {
    const size_t at = size_t{sector} * kSector + offset;
    Put16(at, static_cast<uint16_t>(left / 4));
    Put16(at + 2, static_cast<uint16_t>(right / 4));
    Put32(at + 4, start);
    Put32(at + 8, size);
    bytes[at + 12] = folder ? 0x10 : 0x20;
    bytes[at + 13] = static_cast<uint8_t>(name.size());
    std::memcpy(At(at + 14), name.data(), name.size());
  }
  void Data(uint32_t sector, const std::string& data) {
    std::memcpy(At(size_t{sector} * kSector), data.data(), data.size());
  }
};

const std::string kInner(3000, 'i');

// Root (sectors 33-34): "m.txt" with "c.txt" on its left and "sub" on its right, the rest of the first sector
// padding, and "z.txt" (right of "sub") in the second sector. "sub" (sector 35) holds "inner.bin".
XboxImage MakeVolume() {
  XboxImage image;
  uint8_t* descriptor = image.At(32 * kSector);
  std::memcpy(descriptor, "MICROSOFT*XBOX*MEDIA", 20);
  std::memcpy(descriptor + 2028, "MICROSOFT*XBOX*MEDIA", 20);
  image.Put32(32 * kSector + 20, 33);
  image.Put32(32 * kSector + 24, 2 * kSector);
  std::memset(image.At(33 * kSector), 0xFF, 2 * kSector);
  image.Entry(33, 0, 20, 40, 36, 6, false, "m.txt");
  image.Entry(33, 20, 0, 0, 37, 5, false, "c.txt");
  // A name of 3 bytes: the next entry would follow 20 bytes later.
  image.Entry(33, 40, 0, 2048, 35, kSector, true, "sub");
  image.Entry(33, 2048, 0, 0, 38, 4, false, "z.txt");
  std::memset(image.At(35 * kSector), 0xFF, kSector);
  image.Entry(35, 0, 0, 0, 39, static_cast<uint32_t>(kInner.size()), false, "inner.bin");
  image.Data(36, "middle");
  image.Data(37, "first");
  image.Data(38, "last");
  image.Data(39, kInner);
  return image;
}

std::string Save(const std::string& folder, const std::string& name, const XboxImage& image) {
  const std::string path = folder + "/" + name;
  WriteFileBytes(path, std::string(image.bytes.begin(), image.bytes.end()));
  return path;
}

}  // namespace

TEST(XboxRead, TreeListsAndExtracts) {
  const std::string folder = MakeTestFolder("xbox_tree");
  const std::string image = Save(folder, "game.iso", MakeVolume());
  const ProgramResult listed = RunKestrane({"list", image, "/", "-r"});
  ASSERT_EQ(listed.status, 0) << listed.out;
  EXPECT_NE(listed.out.find("Total:\r\n\t4 Files, 3 Folders"), std::string::npos) << listed.out;
  const ProgramResult extracted = RunKestrane({"extract", image, "/", "-od", folder + "/out", "-y"});
  ASSERT_EQ(extracted.status, 0) << extracted.out;
  EXPECT_EQ(ReadFileBytes(folder + "/out/m.txt"), "middle");
  EXPECT_EQ(ReadFileBytes(folder + "/out/c.txt"), "first");
  EXPECT_EQ(ReadFileBytes(folder + "/out/z.txt"), "last");
  EXPECT_EQ(ReadFileBytes(folder + "/out/sub/inner.bin"), kInner);
}

TEST(XboxRead, LoopsAreRefusedAndOtherVolumesAreNotXbox) {
  const std::string folder = MakeTestFolder("xbox_hostile");
  XboxImage subtreeLoop = MakeVolume();
  subtreeLoop.Put16(33 * kSector + 40 + 2, 40 / 4);  // "sub"'s right subtree is "sub" itself
  XboxImage folderLoop = MakeVolume();
  folderLoop.Put32(35 * kSector + 4, 33);  // "inner.bin" becomes a folder whose sectors are the root's
  folderLoop.bytes[35 * kSector + 12] = 0x10;
  folderLoop.Put32(35 * kSector + 8, 2 * kSector);
  XboxImage entryPastEnd = MakeVolume();
  entryPastEnd.Put16(33 * kSector + 2, 0x0800);  // "m.txt"'s right subtree lies past the directory
  for (const auto& [name, image] : {std::pair{"subtree_loop", subtreeLoop}, std::pair{"folder_loop", folderLoop},
                                    std::pair{"entry_past_end", entryPastEnd}}) {
    SCOPED_TRACE(name);
    const std::string path = Save(folder, std::string(name) + ".iso", image);
    const ProgramResult listed = RunKestrane({"list", path, "/", "-r"});
    EXPECT_FALSE(listed.timedOut);
    EXPECT_EQ(listed.status, 1) << listed.out;
    EXPECT_NE(listed.out.find(path + ": "), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("m.txt"), std::string::npos) << listed.out;
  }
  // The signature only at the start of the sector: not an Xbox volume, and nothing else either.
  XboxImage half = MakeVolume();
  std::memset(half.At(32 * kSector + 2028), 0, 20);
  const ProgramResult refused = RunKestrane({"list", Save(folder, "half.iso", half), "/"});
  EXPECT_EQ(refused.status, 1) << refused.out;
  EXPECT_EQ(refused.out.find("m.txt"), std::string::npos) << refused.out;
}
