// The NTFS upcase table: how the volume maps each UTF-16 unit to its capital, used where names compare without
// regard to case. A volume carries its own table in $UpCase; the default one (the table the usual formatting
// tools write) stands in when the volume's cannot be read and is shared when the volume's equals it.
#pragma once

#include <cstddef>
#include <cstdint>

struct CNtfsVolume;

inline constexpr size_t kNtfsUpcaseUnits = 65536;
// The largest $UpCase data a volume may carry: two bytes per unit.
inline constexpr int64_t kNtfsMaxUpcaseBytes = 2 * static_cast<int64_t>(kNtfsUpcaseUnits);

// The default table, 65,536 units, made on first use and kept for the process.
const uint16_t* NtfsMakeDefaultUpcase();
// Installs the volume's table from its $UpCase data (`bytes` bytes, little-endian units; null when the file could
// not be read): 1 when the volume's own table is used, 0 when the default is (unreadable, size odd, below 2 or
// above 131,072 bytes, or the same as the default over its first units).
int NtfsChooseUpcase(CNtfsVolume* volume, const uint8_t* data, int64_t bytes);
// The unit in capitals through the volume's table (units past a short table stay as they are).
uint16_t NtfsUpcaseUnit(const CNtfsVolume* volume, uint16_t unit);
// Compares two UTF-16 names unit by unit, through the upcase table when ignoreCase is set; a name that runs out
// first sorts first. -1, 0 or 1.
int NtfsCompareNames(const CNtfsVolume* volume, const char16_t* a, size_t aLength, const char16_t* b, size_t bLength,
                     bool ignoreCase);
