// Virtual disks from the command line: every form qemu-img writes lists and extracts the FAT tree it was made
// from; disks with a parent and broken VMDK descriptors end with a message and exit status 1.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/virtual_disk_fixture.h"

namespace {

constexpr const char* kInvalid = "The file format is invalid or unsupported.";

std::string Fixtures() {
  std::string why;
  const std::string folder = VirtualDiskFixtures(&why);
  if (folder.empty()) std::printf("skipped: %s\n", why.c_str());
  return folder;
}

class VirtualDiskCli : public testing::TestWithParam<VirtualDiskForm> {};

TEST_P(VirtualDiskCli, ListsAndExtractsTheTreeItWasMadeFrom) {
  const std::string folder = Fixtures();
  if (folder.empty()) GTEST_SKIP();
  const VirtualDiskForm& form = GetParam();
  const std::string disk = folder + "/" + form.name + "/" + form.file;
  ProgramOptions options;
  options.timeoutSeconds = 120;
  const ProgramResult listed = RunKestrane({"list", disk, "/", "-r", "-y"}, options);
  ASSERT_EQ(listed.status, 0) << listed.out;
  EXPECT_NE(listed.out.find("1   <No Label>           Primary FAT32 (0C)"), std::string::npos) << listed.out;
  for (const char* line :
       {"200,000,000  big.bin", "300,000  data.bin", "6  Hello.txt", "A Rather Long Mixed Case Name.text"})
    EXPECT_NE(listed.out.find(line), std::string::npos) << line << "\n" << listed.out;

  const std::string out = MakeTestFolder(std::string("vdisk_extract_") + form.name);
  const ProgramResult extracted = RunKestrane({"extract", disk, "/", "-od", out, "-y"}, options);
  ASSERT_EQ(extracted.status, 0) << extracted.out;
  const ProgramResult diff = RunProgram("/usr/bin/diff", {"-r", folder + "/tree", out}, options);
  EXPECT_EQ(diff.status, 0) << diff.out;
  RunShell("rm -rf '" + out + "'");
}

INSTANTIATE_TEST_SUITE_P(Forms, VirtualDiskCli, testing::ValuesIn(VirtualDiskForms()),
                         [](const testing::TestParamInfo<VirtualDiskForm>& info) {
                           std::string name = info.param.name;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

TEST(VirtualDiskCliRefusals, DisksWithAParentAndBrokenDescriptorsEndWithAMessage) {
  const std::string folder = Fixtures();
  if (folder.empty()) GTEST_SKIP();
  const std::string work = MakeTestFolder("vdisk_refusals");
  const std::string extents = folder + "/vmdk-extents/";
  const std::string header = "# Disk DescriptorFile\nversion=1\nCID=1\nparentCID=ffffffff\ncreateType=\"custom\"\n";
  WriteFileBytes(work + "/no-extent.vmdk", header + "\nddb.adapterType = \"ide\"\n");
  WriteFileBytes(work + "/missing.vmdk", header + "RW 2048 FLAT \"not-here.bin\" 0\n");
  WriteFileBytes(work + "/nul.vmdk", header + std::string("RW 204800 FLAT \"") + extents + "a.bin\" 2048\n" +
                                         std::string(1, '\0') + "RW 20480 ZERO\n");
  WriteFileBytes(work + "/lone-cr.vmdk", header + "RW 204800 FLAT \"" + extents + "a.bin\" 2048\r");
  struct Case {
    std::string path;
    std::string message;
  };
  for (const Case& c : {Case{folder + "/child/child.vmdk", kInvalid}, Case{work + "/no-extent.vmdk", kInvalid},
                        Case{work + "/missing.vmdk", "not-here.bin"}, Case{work + "/missing.vmdk", kInvalid},
                        Case{work + "/nul.vmdk", kInvalid}, Case{work + "/lone-cr.vmdk", kInvalid}}) {
    SCOPED_TRACE(c.path);
    const ProgramResult r = RunKestrane({"list", c.path, "-y"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
  }
}

}  // namespace

// Extraction copies the data straight from the disk file and leaves the blocks the disk does not hold as holes:
// a file whose middle and end lie in such blocks comes out whole, copied inside one file system and onto
// another (a memory file system when there is one).
TEST(VirtualDiskCliCopies, FilesEndingInBlocksTheDiskDoesNotHoldComeOutWhole) {
  const ProgramResult tools = RunShell("for t in sfdisk mkfs.fat mcopy qemu-img; do command -v $t; done");
  if (tools.status != 0) GTEST_SKIP() << "sfdisk, mkfs.fat, mtools or qemu-img missing";
  const std::string work = MakeTestFolder("vdisk_tail_hole");
  // 1 MB of data, 12 MB of zeros, 1 MB of data, 20 MB of zeros: the only file of a FAT32 volume.
  const ProgramResult made = RunShell(
      "cd '" + work + "' && mkdir -p src && seq 1 200000 | head -c 1000000 > src/z.bin; seq 5 200000 | head -c " +
      "1000000 > b && truncate -s 12000000 src/z.bin && cat b >> src/z.bin && truncate -s 34000000 src/z.bin && " +
      "truncate -s 48M raw.img && printf 'label: dos\\nstart=2048, type=c\\n' | sfdisk -q raw.img && " +
      "mkfs.fat -F 32 --offset=2048 raw.img 47000 >/dev/null 2>&1 && mcopy -m -i raw.img@@1048576 src/z.bin :: && " +
      "qemu-img convert -f raw -O vhdx raw.img d.vhdx && qemu-img convert -f raw -O vpc -o subformat=dynamic " +
      "raw.img d.vhd && qemu-img convert -f raw -O vmdk raw.img d.vmdk 2>&1");
  ASSERT_EQ(made.status, 0) << made.out;
  std::vector<std::string> outs = {work + "/out"};
  if (RunShell("test -d /dev/shm -a -w /dev/shm").status == 0) outs.push_back("/dev/shm/kestrane-test-vdisk-tail-hole");
  for (const char* disk : {"d.vhdx", "d.vhd", "d.vmdk"}) {
    for (const std::string& out : outs) {
      SCOPED_TRACE(std::string(disk) + " into " + out);
      RunShell("rm -rf '" + out + "'");
      const ProgramResult extracted = RunKestrane({"extract", work + "/" + disk, "/z.bin", "-od", out, "-y"});
      ASSERT_EQ(extracted.status, 0) << extracted.out;
      const ProgramResult same = RunShell("cmp '" + work + "/src/z.bin' '" + out + "/z.bin' 2>&1");
      EXPECT_EQ(same.status, 0) << same.out;
      RunShell("rm -rf '" + out + "'");
    }
  }
}
