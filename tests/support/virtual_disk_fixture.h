// The virtual-disk fixtures of tests/fixtures/make_virtual_disks.sh: made once into the build folder and shared
// by every test process (the first one makes them under a lock, the others wait and reuse them).
#pragma once

#include <string>
#include <vector>

struct VirtualDiskForm {
  const char* name;  // folder of the disk in the fixture folder; NAME.raw is qemu-img's raw reading of it
  const char* file;  // the file a user opens, inside that folder
};

// Every form qemu-img writes, and the hand-cut VMDK descriptor.
const std::vector<VirtualDiskForm>& VirtualDiskForms();

// The fixture folder, or "" when qemu-img or the FAT tools are missing or the script failed (*why says which).
std::string VirtualDiskFixtures(std::string* why);
