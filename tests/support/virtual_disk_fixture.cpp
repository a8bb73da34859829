#include "support/virtual_disk_fixture.h"

#include <filesystem>

#include "support/run_program.h"

const std::vector<VirtualDiskForm>& VirtualDiskForms() {
  static const std::vector<VirtualDiskForm> forms = {
      {"vhd-dynamic", "disk.vhd"}, {"vhd-fixed", "disk.vhd"},        {"vhdx", "disk.vhdx"},
      {"vhdx-32m", "disk.vhdx"},   {"vmdk-sparse", "disk.vmdk"},     {"vmdk-split-sparse", "disk.vmdk"},
      {"vmdk-flat", "disk.vmdk"},  {"vmdk-split-flat", "disk.vmdk"}, {"vmdk-extents", "disk.vmdk"},
      {"vdi", "disk.vdi"},         {"vdi-static", "disk.vdi"},
  };
  return forms;
}

std::string VirtualDiskFixtures(std::string* why) {
  if (RunShell("command -v qemu-img && command -v sfdisk && command -v mkfs.fat && command -v mcopy && "
               "command -v flock")
          .status != 0) {
    *why = "qemu-img, sfdisk, mkfs.fat, mtools or flock missing";
    return "";
  }
  const std::filesystem::path folder = std::filesystem::path(KESTRANE_BUILD_DIR) / "test-output" / "virtual-disks";
  const std::string script = std::string(KESTRANE_SOURCE_DIR) + "/tests/fixtures/make_virtual_disks.sh";
  std::filesystem::create_directories(folder.parent_path());
  const std::string f = folder.string();
  // Made again when the script is newer than the fixtures.
  ProgramOptions options;
  options.timeoutSeconds = 600;  // other test processes wait here while the first one makes the disks
  const ProgramResult made =
      RunProgram("/bin/sh",
                 {"-c", "flock '" + f + ".lock' sh -c 'test -f \"" + f + "/done\" -a ! \"" + script + "\" -nt \"" + f +
                            "/done\" || sh \"" + script + "\" \"" + f + "\"' 2>&1"},
                 options);
  if (made.status != 0) {
    *why = "make_virtual_disks.sh failed: " + made.out;
    return "";
  }
  return f;
}
