// Disk images from the command line: partition tables made by sfdisk and sgdisk, FAT volumes made by mkfs.vfat
// and filled by mcopy, listed, extracted and edited, checked against mtools and fsck.fat.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "image/document.h"
#include "qvf/writer.h"
#include "runtime/error.h"
#include "session/document.h"
#include "support/lvm_disk.h"
#include "support/run_program.h"
#include "support/shell_step.h"

namespace {

bool HaveTools() {
  return RunShell("command -v sfdisk && command -v sgdisk && command -v mkfs.vfat && command -v mcopy && "
                  "command -v fsck.fat")
             .status == 0;
}

#define REQUIRE_TOOLS()                                                           \
  do {                                                                            \
    if (!HaveTools()) GTEST_SKIP() << "sfdisk, sgdisk, mkfs.vfat, mtools or fsck.fat missing"; \
  } while (0)

// A source tree with long, mixed-case, accented and CJK names, an empty file and nested folders.
void MakeTree(const std::string& root) {
  WriteFileBytes(root + "/Hello.txt", "hello\n");
  WriteFileBytes(root + "/empty", "");
  WriteFileBytes(root + "/A Rather Long Mixed Case Name.text", std::string(70000, 'q'));
  WriteFileBytes(root + "/caf\xc3\xa9 na\xc3\xafve.txt", "accented");
  WriteFileBytes(root + "/\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.txt", "cjk");
  std::string bytes;
  for (int i = 0; i < 300000; ++i) bytes.push_back(static_cast<char>(i * 7 + i / 251));
  WriteFileBytes(root + "/sub/deeper/data.bin", bytes);
}

// Runs a shell line and fails the test when it does not succeed.
// A disk of `mib` MiB whose sfdisk script is `table`, with a FAT volume (mkfs.vfat `fatFlags`) made in the
// partition that starts at sector `start` (512-byte sectors) and filled from `tree`.
void MakeFatDisk(const std::string& disk, int mib, const std::string& table, int64_t start, int64_t sectors,
                 const std::string& fatFlags, const std::string& tree) {
  Sh("truncate -s " + std::to_string(mib) + "M '" + disk + "'");
  Sh("printf '" + table + "' | sfdisk -q '" + disk + "'");
  Sh("mkfs.vfat " + fatFlags + " --offset=" + std::to_string(start) + " '" + disk + "' " +
     std::to_string(sectors / 2) + " >/dev/null");
  if (!tree.empty())
    // The files keep a fixed time (-m), so the times extraction sets can be compared with the tree's.
    Sh("cd '" + tree + "' && find . -exec touch -h -d @1577934240 {} + && LC_ALL=C.UTF-8 mcopy -s -m -i '" + disk +
       "@@" + std::to_string(start * 512) + "' * ::");
}

std::string Tree(const std::string& folder) { return folder + "/tree"; }

}  // namespace

TEST(DiskImageCli, OnePartitionListsAndExtractsLikeMtools) {
  REQUIRE_TOOLS();
  const std::string folder = MakeTestFolder("disk_one_partition");
  MakeTree(Tree(folder));
  const std::string disk = folder + "/disk.img";
  MakeFatDisk(disk, 64, "label: dos\\nstart=2048, type=c\\n", 2048, 129024, "-F 32", Tree(folder));

  const ProgramResult listed = RunKestrane({"list", disk, "/", "-r", "-y"});
  ASSERT_EQ(listed.status, 0) << listed.out;
  EXPECT_NE(listed.out.find("Partitions found in " + disk + ":\r\n#   Label                Type             Size\r\n"
                            "1   <No Label>           Primary FAT32 (0C) 63 MB\r\n"),
            std::string::npos)
      << listed.out;
  for (const char* name : {"Hello.txt", "A Rather Long Mixed Case Name.text", "caf\xc3\xa9 na\xc3\xafve.txt",
                           "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.txt", "data.bin", "deeper", "empty"})
    EXPECT_NE(listed.out.find(name), std::string::npos) << name << "\n" << listed.out;
  EXPECT_NE(listed.out.find("300,000  data.bin"), std::string::npos) << listed.out;

  const ProgramResult extracted = RunKestrane({"extract", disk, "/", "-od", folder + "/out", "-y"});
  ASSERT_EQ(extracted.status, 0) << extracted.out;
  Sh("diff -r '" + Tree(folder) + "' '" + folder + "/out'");
  // Into another file system the data cannot be copied inside the kernel: the same files come by reading.
  if (RunShell("test -d /dev/shm -a -w /dev/shm").status == 0) {
    const std::string other = "/dev/shm/kestrane-test-disk-" + std::to_string(getpid());
    const ProgramResult again = RunKestrane({"extract", disk, "/", "-od", other, "-y"});
    EXPECT_EQ(again.status, 0) << again.out;
    EXPECT_EQ(RunShell("diff -r '" + Tree(folder) + "' '" + other + "'").status, 0);
    RunShell("rm -rf '" + other + "'");
  }
  // Times come back at FAT's two-second precision (mcopy rounds up).
  Sh("a=$(stat -c %Y '" + Tree(folder) + "/sub/deeper/data.bin'); b=$(stat -c %Y '" + folder +
     "/out/sub/deeper/data.bin'); d=$((a - b)); test ${d#-} -le 2");
}

TEST(DiskImageCli, ThePartitionIsChosenOnStandardInput) {
  REQUIRE_TOOLS();
  const std::string folder = MakeTestFolder("disk_choose");
  WriteFileBytes(folder + "/one/first.txt", "1");
  WriteFileBytes(folder + "/two/second.txt", "2");
  const std::string disk = folder + "/disk.img";
  MakeFatDisk(disk, 40, "label: dos\\nstart=2048, size=30720, type=6\\nstart=34816, size=30720, type=e\\n", 2048,
              30720, "-F 16", folder + "/one");
  Sh("mkfs.vfat -F 16 --offset=34816 '" + disk + "' 15360 >/dev/null && mcopy -i '" + disk + "@@" +
     std::to_string(34816 * 512) + "' '" + folder + "/two/second.txt' ::");

  struct Case {
    const char* input;
    int status;
    const char* expected;
  };
  // Short names without a long name read as stored on FAT16 (mtools' lower-case bits are not used).
  for (const Case& c : {Case{"2\n", 0, "SECOND.TXT"}, Case{"9\nx\n1\n", 0, "FIRST.TXT"}, Case{"", 1, nullptr}}) {
    SCOPED_TRACE(c.input);
    ProgramOptions options;
    options.input = c.input;
    const ProgramResult r = RunKestrane({"list", disk, "/"}, options);
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_NE(r.out.find("Please select a partition(1 -- 2):"), std::string::npos) << r.out;
    // A FAT16 volume without a label entry shows the boot sector's label.
    EXPECT_NE(r.out.find("2   NO NAME              Primary FAT16 (0E) 15 MB"), std::string::npos) << r.out;
    if (c.expected) {
      EXPECT_NE(r.out.find(c.expected), std::string::npos) << r.out;
    } else {
      EXPECT_NE(r.out.find("No partition was chosen."), std::string::npos) << r.out;
    }
    if (std::string(c.input).find('9') != std::string::npos) {
      EXPECT_NE(r.out.find("The input value should be between 1 and 2."), std::string::npos) << r.out;
    }
  }
}

// Tables of every kind: four primaries, an extended chain of six logicals, a GPT with a FAT16 partition, a disk
// of 4096-byte sectors, and a floppy without any table.
TEST(DiskImageCli, TablesOfEveryKindList) {
  REQUIRE_TOOLS();
  const std::string folder = MakeTestFolder("disk_tables");
  WriteFileBytes(folder + "/tree/inside.txt", "inside");

  const std::string four = folder + "/four.img";
  MakeFatDisk(four, 48, "label: dos\\nsize=10240, type=6\\nsize=10240, type=83\\nsize=10240, type=7\\ntype=c\\n",
              2048, 10240, "-F 12", folder + "/tree");
  ProgramResult r = RunKestrane({"list", four, "/", "-y"});
  EXPECT_EQ(r.status, 0) << r.out;
  for (const char* row : {"1   NO NAME              Primary FAT12 (06) 5.0 MB", "2                        Primary Linux (83)",
                          "3                        Primary NTFS (07)", "4                        Primary FAT32 (0C)"})
    EXPECT_NE(r.out.find(row), std::string::npos) << row << "\n" << r.out;
  EXPECT_NE(r.out.find("INSIDE.TXT"), std::string::npos) << r.out;

  const std::string logical = folder + "/logical.img";
  std::string script = "label: dos\\nstart=2048, type=5\\n";
  for (int i = 0; i < 6; ++i) script += "size=4096, type=6\\n";
  MakeFatDisk(logical, 32, script, 4096, 4096, "-F 12", folder + "/tree");
  r = RunKestrane({"list", logical, "/", "-y"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("\r\n6   "), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("\r\n7   "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Extended FAT12 (06)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("INSIDE.TXT"), std::string::npos) << r.out;

  const std::string gpt = folder + "/gpt.img";
  Sh("truncate -s 40M '" + gpt + "' && sgdisk -o -n 1:2048:+8M -t 1:ef00 -n 2:0:+16M -t 2:0700 -n 3:0:0 -t 3:8300 '" +
     gpt + "' >/dev/null");
  Sh("mkfs.vfat -F 16 --offset=18432 '" + gpt + "' 16384 >/dev/null && mcopy -i '" + gpt + "@@" +
     std::to_string(18432 * 512) + "' '" + folder + "/tree/inside.txt' ::");
  ProgramOptions second;
  second.input = "2\n";
  r = RunKestrane({"list", gpt, "/"}, second);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("GPT EFI"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("2   NO NAME              GPT FAT16"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("INSIDE.TXT"), std::string::npos) << r.out;

  // 4096-byte sectors: the table counts in 4 KiB units, which the sizes show. The volume's own sectors are of
  // 4 KiB too, which this FAT reader does not take: the partition is listed and refused by name.
  std::string large(64 << 20, '\0');
  large[446 + 4] = 0x0C;
  for (int i = 0; i < 4; ++i) {
    large[446 + 8 + i] = static_cast<char>(256 >> (8 * i));
    large[446 + 12 + i] = static_cast<char>(16128 >> (8 * i));
  }
  large[510] = 0x55;
  large[511] = static_cast<char>(0xAA);
  WriteFileBytes(folder + "/large.img", large);
  Sh("mkfs.vfat -F 32 -S 4096 --offset=256 '" + folder + "/large.img' 64512 >/dev/null");
  r = RunKestrane({"list", folder + "/large.img", "/", "-y"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("1                        Primary FAT32 (0C) 63 MB"), std::string::npos) << r.out;

  const std::string floppy = folder + "/floppy.img";
  Sh("mkfs.vfat -C '" + floppy + "' 1440 >/dev/null && mcopy -i '" + floppy + "' '" + folder +
     "/tree/inside.txt' ::");
  r = RunKestrane({"list", floppy, "/"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("Partitions found"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("INSIDE.TXT"), std::string::npos) << r.out;
}

TEST(DiskImageCli, EditAddsFilesThatFsckAndMtoolsAccept) {
  REQUIRE_TOOLS();
  const std::string folder = MakeTestFolder("disk_edit");
  MakeTree(Tree(folder));
  WriteFileBytes(folder + "/add/New Folder/nested.bin", std::string(123457, 'n'));
  WriteFileBytes(folder + "/add/Readme first.txt", "read me");
  for (const char* fat : {"-F 12 -s 32", "-F 16 -s 4", "-F 32 -s 1"}) {
    SCOPED_TRACE(fat);
    const std::string disk = folder + "/disk.img";
    std::remove(disk.c_str());
    MakeFatDisk(disk, 40, "label: dos\\nstart=2048, type=6\\n", 2048, 79872, fat,
                Tree(folder));
    const std::string before = ReadFileBytes(disk);
    const std::string out = folder + "/out.img";
    std::remove(out.c_str());
    // The image opens while the command line is read, before any -y: the one partition is chosen on input.
    ProgramOptions first;
    first.input = "1\n";
    const ProgramResult r = RunKestrane({"edit", disk, "-add", folder + "/add", "/", "-o", out}, first);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(ReadFileBytes(disk), before) << "the source image changed";
    const std::string at = "'" + out + "@@1M'";
    // fsck.fat reads whole devices: check the volume cut out of the disk.
    Sh("dd if='" + out + "' of='" + folder + "/volume.img' bs=512 skip=2048 status=none && fsck.fat -n '" + folder +
       "/volume.img'");
    Sh("mtype -i " + at + " '::/Readme first.txt' | grep -qx 'read me'");
    Sh("mcopy -n -i " + at + " '::/New Folder/nested.bin' '" + folder + "/nested.out' && cmp '" + folder +
       "/nested.out' '" + folder + "/add/New Folder/nested.bin'");
    Sh("mcopy -n -i " + at + " ::/sub/deeper/data.bin '" + folder + "/data.out' && cmp '" + folder +
       "/data.out' '" + Tree(folder) + "/sub/deeper/data.bin'");
    std::remove((folder + "/nested.out").c_str());
    std::remove((folder + "/data.out").c_str());
  }
}

TEST(DiskImageCli, EditWithoutOutputReplacesTheImageOnlyWhenDone) {
  REQUIRE_TOOLS();
  const std::string folder = MakeTestFolder("disk_edit_in_place");
  const std::string floppy = folder + "/floppy.img";
  Sh("mkfs.vfat -C '" + floppy + "' 1440 >/dev/null");
  WriteFileBytes(folder + "/small.txt", "small");
  ProgramResult r = RunKestrane({"edit", floppy, "-add", folder + "/small.txt", "/"});
  ASSERT_EQ(r.status, 0) << r.out;
  Sh("mtype -i '" + floppy + "' ::/small.txt | grep -qx small && fsck.fat -n '" + floppy + "'");
  // A file larger than the volume is refused, and the image stays as it was.
  const std::string before = ReadFileBytes(floppy);
  WriteFileBytes(folder + "/big.bin", std::string(2 << 20, 'b'));
  r = RunKestrane({"edit", floppy, "-add", folder + "/big.bin", "/", "-y"});
  EXPECT_NE(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("There is not enough free space to hold the file."), std::string::npos) << r.out;
  EXPECT_EQ(ReadFileBytes(floppy), before);
}

// Damaged tables and volumes end with a message and a failure, in bounded time.
TEST(DiskImageCli, HostileDisksFailCleanly) {
  REQUIRE_TOOLS();
  const std::string folder = MakeTestFolder("disk_hostile");
  // An extended boot record that links to itself.
  std::string disk(4 << 20, '\0');
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) disk[at + i] = static_cast<char>(v >> (8 * i));
  };
  disk[446 + 4] = 0x05;
  put32(446 + 8, 2048);
  put32(446 + 12, 4096);
  disk[510] = 0x55;
  disk[511] = static_cast<char>(0xAA);
  const size_t ebr = 2048 * 512;
  disk[ebr + 446 + 4] = 0x06;
  put32(ebr + 446 + 8, 63);
  put32(ebr + 446 + 12, 100);
  disk[ebr + 462 + 4] = 0x05;
  put32(ebr + 462 + 8, 0);  // back to itself
  put32(ebr + 462 + 12, 4096);
  disk[ebr + 510] = 0x55;
  disk[ebr + 511] = static_cast<char>(0xAA);
  WriteFileBytes(folder + "/loop.img", disk);
  ProgramOptions options;
  options.timeoutSeconds = 20;
  ProgramResult r = RunKestrane({"list", folder + "/loop.img", "/", "-y"}, options);
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("Kestrane can't open the following partition: \r\n\r\nPartition1:    Extended FAT16 (06)"),
            std::string::npos)
      << r.out;
}

// A FAT volume inside an LVM2 logical volume whose two segments lie on the physical volume in the other order:
// it lists and extracts only when every read goes through the sector mapping.
TEST(DiskImageCli, ALogicalVolumeReadsThroughItsMapping) {
  REQUIRE_TOOLS();
  using namespace lvm_test;
  const std::string folder = MakeTestFolder("disk_lvm");
  std::string data;
  for (int i = 0; i < 500000; ++i) data.push_back(static_cast<char>(i % 251));
  WriteFileBytes(folder + "/tree/In The Volume.bin", data);
  Sh("mkfs.vfat -C '" + folder + "/volume.img' 800 >/dev/null && mcopy -i '" + folder + "/volume.img' '" + folder +
     "/tree/In The Volume.bin' ::");
  const std::string volume = ReadFileBytes(folder + "/volume.img");
  ASSERT_EQ(volume.size(), 800u * 1024);

  LvmDisk layout;
  layout.text = GroupText(Segment(1, 0, 100, "\"pv0\", 150") + Segment(2, 100, 100, "\"pv0\", 10"), 2);
  Bytes disk = layout.Make();
  const size_t dataStart = (layout.partitionStart + 2048) * 512;  // pe_start of the group's one volume
  for (size_t extent = 0; extent < 200; ++extent) {
    const size_t pvExtent = extent < 100 ? 150 + extent : 10 + (extent - 100);
    std::memcpy(&disk[dataStart + pvExtent * 4096], volume.data() + extent * 4096, 4096);
  }
  WriteFileBytes(folder + "/lvm.img", std::string(disk.begin(), disk.end()));

  const ProgramResult r = RunKestrane({"extract", folder + "/lvm.img", "/", "-od", folder + "/out", "-y"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("1                        Primary Linux (8E)"), std::string::npos) << r.out;
  EXPECT_EQ(ReadFileBytes(folder + "/out/In The Volume.bin"), data);
}

// A disk kept as a QVF stream of 512-byte sectors opens as the disk it holds; it is only read.
TEST(DiskImageCli, AQvfStreamOfDiskSectorsOpensAsTheDisk) {
  REQUIRE_TOOLS();
  const std::string folder = MakeTestFolder("disk_qvf");
  const std::string floppy = folder + "/floppy.img";
  WriteFileBytes(folder + "/Packed Inside.txt", "packed");
  Sh("mkfs.vfat -C '" + floppy + "' 1440 >/dev/null && mcopy -i '" + floppy + "' '" + folder +
     "/Packed Inside.txt' ::");
  const std::string bytes = ReadFileBytes(floppy);
  const std::string qvf = folder + "/floppy.qvf";
  {
    CImageDocument* document = ImageAlloc();
    document->output = std::fopen(qvf.c_str(), "w+b");
    ASSERT_NE(document->output, nullptr);
    document->outputPath = CWideString(std::wstring(qvf.begin(), qvf.end()).c_str());
    document->sectorSize = 512;
    const int64_t sectors = static_cast<int64_t>(bytes.size() / 512);
    document->readableLimit = sectors;
    EXPECT_EQ(QvfWriteSectors(document, 0, bytes.data(), sectors), sectors);
    EXPECT_EQ(document->qvfWriter, nullptr);  // finished with the last sector
    ImageClose(document);
    ErrorStateReset();
  }
  ProgramResult r = RunKestrane({"extract", qvf, "/", "-od", folder + "/out"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(ReadFileBytes(folder + "/out/Packed Inside.txt"), "packed");
  WriteFileBytes(folder + "/more.txt", "more");
  r = RunKestrane({"edit", qvf, "-add", folder + "/more.txt", "/", "-o", folder + "/out.img"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("This image file can not be edited."), std::string::npos) << r.out;
  EXPECT_NE(RunShell("test -e '" + folder + "/out.img'").status, 0) << "nothing is written";
}

// An APFS container is recognised and named, its files are not read, and the image is only read.
TEST(DiskImageCli, AnApfsContainerIsNamedNotRead) {
  REQUIRE_TOOLS();
  const std::string folder = MakeTestFolder("disk_apfs");
  const std::string disk = folder + "/apfs.img";
  Sh("truncate -s 8M '" + disk + "' && sgdisk -o -n 1:2048:0 -t 1:af0a '" + disk + "' >/dev/null");
  std::string superblock(512, '\0');
  superblock[8] = 1;  // object id
  superblock.replace(32, 4, "NXSB");
  superblock[37] = 0x10;  // 4,096-byte blocks
  superblock[40] = static_cast<char>(0xF8);  // 1,528 blocks
  superblock[41] = 0x05;
  {
    std::FILE* file = std::fopen(disk.c_str(), "r+b");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fseek(file, 2048 * 512, SEEK_SET), 0);
    ASSERT_EQ(std::fwrite(superblock.data(), 1, superblock.size(), file), superblock.size());
    std::fclose(file);
  }
  ProgramResult r = RunKestrane({"list", disk, "/", "-y"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("1                        GPT APFS"), std::string::npos) << r.out;
  WriteFileBytes(folder + "/add.txt", "x");
  ProgramOptions first;
  first.input = "1\n";
  // Adding to an image that is only read is a refused word, as on every read-only image.
  r = RunKestrane({"edit", disk, "-add", folder + "/add.txt", "/", "-o", folder + "/out.img"}, first);
  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_NE(r.out.find("Bad parameter: -add"), std::string::npos) << r.out;
  EXPECT_NE(RunShell("test -e '" + folder + "/out.img'").status, 0) << "nothing is written";
}
