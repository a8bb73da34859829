#include "filesystems/ntfs_upcase.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "filesystems/ntfs.h"
#include "runtime/byte_reader.h"

namespace {

// The default table as changes to the identity, in the order they apply: ranges [first, last) moved by a
// constant, ranges in which every second unit (first + 1, first + 3, ...) is lowered by one, single units.
struct UpcaseRun {
  uint16_t first, last;
  int32_t add;
};
struct UpcasePairs {
  uint16_t first, last;
};
struct UpcaseUnit {
  uint16_t unit, upper;
};

constexpr UpcaseRun kRuns[] = {
    {0x0061, 0x007B, -32}, {0x00E0, 0x00F7, -32}, {0x00F8, 0x00FF, -32}, {0x037B, 0x037E, 130},   {0x03AD, 0x03B0, -37},
    {0x03B1, 0x03C2, -32}, {0x03C3, 0x03CC, -32}, {0x0430, 0x0450, -32}, {0x0450, 0x0460, -80},   {0x0561, 0x0587, -48},
    {0x1F00, 0x1F08, 8},   {0x1F10, 0x1F16, 8},   {0x1F20, 0x1F28, 8},   {0x1F30, 0x1F38, 8},     {0x1F40, 0x1F46, 8},
    {0x1F60, 0x1F68, 8},   {0x1F72, 0x1F76, 86},  {0x1F80, 0x1F88, 8},   {0x1F90, 0x1F98, 8},     {0x1FA0, 0x1FA8, 8},
    {0x2170, 0x2180, -16}, {0x24D0, 0x24EA, -26}, {0x2C30, 0x2C5F, -48}, {0x2D00, 0x2D26, -7264}, {0xFF41, 0xFF5B, -32},
};

constexpr UpcasePairs kPairs[] = {
    {0x0100, 0x0130}, {0x0132, 0x0138}, {0x0139, 0x0149}, {0x014A, 0x0178}, {0x0179, 0x017F}, {0x0182, 0x0186},
    {0x01A0, 0x01A6}, {0x01B3, 0x01B7}, {0x01CD, 0x01DD}, {0x01DE, 0x01F0}, {0x01F8, 0x0220}, {0x0222, 0x0234},
    {0x0246, 0x0250}, {0x0370, 0x0374}, {0x03D8, 0x03F0}, {0x0460, 0x0482}, {0x048A, 0x04C0}, {0x04C1, 0x04CF},
    {0x04D0, 0x0524}, {0x1E00, 0x1E96}, {0x1EA0, 0x1F00}, {0x2C67, 0x2C6D}, {0x2C80, 0x2CE4}, {0xA640, 0xA660},
    {0xA662, 0xA66E}, {0xA680, 0xA698}, {0xA722, 0xA730}, {0xA732, 0xA770}, {0xA779, 0xA77D}, {0xA77E, 0xA788},
};

constexpr UpcaseUnit kUnits[] = {
    {0x00FF, 0x0178}, {0x0180, 0x0243}, {0x0188, 0x0187}, {0x018C, 0x018B}, {0x0192, 0x0191}, {0x0195, 0x01F6},
    {0x0199, 0x0198}, {0x019A, 0x023D}, {0x019E, 0x0220}, {0x01A8, 0x01A7}, {0x01AD, 0x01AC}, {0x01B0, 0x01AF},
    {0x01B9, 0x01B8}, {0x01BD, 0x01BC}, {0x01BF, 0x01F7}, {0x01C6, 0x01C4}, {0x01C9, 0x01C7}, {0x01CC, 0x01CA},
    {0x01DD, 0x018E}, {0x01F3, 0x01F1}, {0x01F5, 0x01F4}, {0x023C, 0x023B}, {0x0242, 0x0241}, {0x0250, 0x2C6F},
    {0x0251, 0x2C6D}, {0x0253, 0x0181}, {0x0254, 0x0186}, {0x0256, 0x0189}, {0x0257, 0x018A}, {0x0259, 0x018F},
    {0x025B, 0x0190}, {0x0260, 0x0193}, {0x0263, 0x0194}, {0x0268, 0x0197}, {0x0269, 0x0196}, {0x026B, 0x2C62},
    {0x026F, 0x019C}, {0x0271, 0x2C6E}, {0x0272, 0x019D}, {0x0275, 0x019F}, {0x027D, 0x2C64}, {0x0280, 0x01A6},
    {0x0283, 0x01A9}, {0x0288, 0x01AE}, {0x0289, 0x0244}, {0x028A, 0x01B1}, {0x028B, 0x01B2}, {0x028C, 0x0245},
    {0x0292, 0x01B7}, {0x0377, 0x0376}, {0x03AC, 0x0386}, {0x03CC, 0x038C}, {0x03CD, 0x038E}, {0x03CE, 0x038F},
    {0x03D7, 0x03CF}, {0x03F2, 0x03F9}, {0x03F8, 0x03F7}, {0x03FB, 0x03FA}, {0x04CF, 0x04C0}, {0x1D79, 0xA77D},
    {0x1D7D, 0x2C63}, {0x1F51, 0x1F59}, {0x1F53, 0x1F5B}, {0x1F55, 0x1F5D}, {0x1F57, 0x1F5F}, {0x1F70, 0x1FBA},
    {0x1F71, 0x1FBB}, {0x1F76, 0x1FDA}, {0x1F77, 0x1FDB}, {0x1F78, 0x1FF8}, {0x1F79, 0x1FF9}, {0x1F7A, 0x1FEA},
    {0x1F7B, 0x1FEB}, {0x1F7C, 0x1FFA}, {0x1F7D, 0x1FFB}, {0x1FB0, 0x1FB8}, {0x1FB1, 0x1FB9}, {0x1FB3, 0x1FBC},
    {0x1FC3, 0x1FCC}, {0x1FD0, 0x1FD8}, {0x1FD1, 0x1FD9}, {0x1FE0, 0x1FE8}, {0x1FE1, 0x1FE9}, {0x1FE5, 0x1FEC},
    {0x1FF3, 0x1FFC}, {0x214E, 0x2132}, {0x2184, 0x2183}, {0x2C61, 0x2C60}, {0x2C65, 0x023A}, {0x2C66, 0x023E},
    {0x2C73, 0x2C72}, {0x2C76, 0x2C75}, {0xA78C, 0xA78B},
};

std::vector<uint16_t> BuildDefault() {
  std::vector<uint16_t> table(kNtfsUpcaseUnits);
  for (size_t i = 0; i < table.size(); ++i) table[i] = static_cast<uint16_t>(i);
  for (const UpcaseRun& run : kRuns)
    for (uint32_t u = run.first; u < run.last; ++u) table[u] = static_cast<uint16_t>(static_cast<int32_t>(u) + run.add);
  for (const UpcasePairs& pairs : kPairs)
    for (uint32_t u = pairs.first + 1u; u < pairs.last; u += 2) table[u] = static_cast<uint16_t>(table[u] - 1);
  for (const UpcaseUnit& one : kUnits) table[one.unit] = one.upper;
  return table;
}

}  // namespace

const uint16_t* NtfsMakeDefaultUpcase() {
  static const std::vector<uint16_t> table = BuildDefault();
  return table.data();
}

int NtfsChooseUpcase(CNtfsVolume* volume, const uint8_t* data, int64_t bytes) {
  if (!volume) return 0;
  const uint16_t* standard = NtfsMakeDefaultUpcase();
  volume->ownUpcase.clear();
  volume->upcase = standard;
  volume->upcaseLength = kNtfsUpcaseUnits;
  if (!data || bytes < 2 || bytes > kNtfsMaxUpcaseBytes || bytes % 2 != 0) return 0;
  const size_t units = static_cast<size_t>(bytes / 2);
  ByteReader r(data, static_cast<size_t>(bytes));
  bool same = true;
  for (size_t i = 0; i < units && same; ++i) same = r.U16LEAt(2 * i) == standard[i];
  if (same) return 0;
  try {
    volume->ownUpcase.resize(units);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  for (size_t i = 0; i < units; ++i) volume->ownUpcase[i] = r.U16LEAt(2 * i);
  volume->upcase = volume->ownUpcase.data();
  volume->upcaseLength = static_cast<uint32_t>(units);
  return 1;
}

uint16_t NtfsUpcaseUnit(const CNtfsVolume* volume, uint16_t unit) {
  const uint16_t* table = volume && volume->upcase ? volume->upcase : NtfsMakeDefaultUpcase();
  const size_t length = volume && volume->upcase ? volume->upcaseLength : kNtfsUpcaseUnits;
  return unit < length ? table[unit] : unit;
}

int NtfsCompareNames(const CNtfsVolume* volume, const char16_t* a, size_t aLength, const char16_t* b, size_t bLength,
                     bool ignoreCase) {
  const size_t n = std::min(aLength, bLength);
  for (size_t i = 0; i < n; ++i) {
    uint16_t x = static_cast<uint16_t>(a[i]);
    uint16_t y = static_cast<uint16_t>(b[i]);
    if (ignoreCase) {
      x = NtfsUpcaseUnit(volume, x);
      y = NtfsUpcaseUnit(volume, y);
    }
    if (x != y) return x < y ? -1 : 1;
  }
  if (aLength == bLength) return 0;
  return aLength < bLength ? -1 : 1;
}
