// Discs that read back other than they were written: a list of sectors (corrupt.txt in the disc folder, one LBA a
// line) whose user data every read returns inverted, as a disc with a bad spot does after a burn that the drive
// accepted. Verification and disc-copy tests use it.
#include <fstream>
#include <string>
#include <vector>

#include "simdrive/sim_drive.h"

namespace simdrive {

std::vector<int64_t> LoadCorrupt(const std::string& discDir) {
  std::vector<int64_t> sectors;
  std::ifstream in(discDir + "/corrupt.txt");
  int64_t lba;
  while (in >> lba) sectors.push_back(lba);
  return sectors;
}

void ApplyReadFaults(const std::vector<int64_t>& corrupt, int64_t lba, uint32_t count, uint32_t blockSize,
                     uint8_t* data) {
  if (!data || (blockSize != 2048 && blockSize != 2352)) return;
  for (int64_t bad : corrupt) {
    if (bad < lba || bad >= lba + count) continue;
    uint8_t* block = data + static_cast<size_t>(bad - lba) * blockSize;
    uint8_t* user = blockSize == 2352 ? block + 16 : block;
    for (int i = 0; i < 2048; ++i) user[i] = static_cast<uint8_t>(~user[i]);
  }
}

int ToolCorrupt(const std::vector<std::string>& args) {
  if (args.size() != 2) return 2;
  std::ofstream out(args[0] + "/corrupt.txt", std::ios::app);
  out << std::stoll(args[1]) << "\n";
  out.close();
  TouchDisc(args[0]);
  return out ? 0 : 1;
}

}  // namespace simdrive
