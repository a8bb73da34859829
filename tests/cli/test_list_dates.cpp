// Listing shows the instant a record means, in the viewer's time zone: the records' own GMT offsets are
// applied, the same listing shifts with the zone, and it equals the times extraction gives the files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <fstream>
#include <string>

#include "support/run_program.h"

namespace {

// Sets the GMT offset byte of the root directory record named `identifier` in a plain ISO 9660 image.
bool SetRecordOffset(const std::string& iso, const std::string& identifier, int8_t offset) {
  std::fstream file(iso, std::ios::in | std::ios::out | std::ios::binary);
  std::string sector(2048, '\0');
  file.seekg(16 * 2048);
  file.read(sector.data(), 2048);
  auto le32 = [](const std::string& s, size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(s[at])) | static_cast<uint32_t>(static_cast<uint8_t>(s[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(s[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(s[at + 3])) << 24;
  };
  const uint32_t root = le32(sector, 156 + 2);
  file.seekg(static_cast<std::streamoff>(root) * 2048);
  file.read(sector.data(), 2048);
  for (size_t at = 0; at < 2048 && sector[at] != 0; at += static_cast<uint8_t>(sector[at])) {
    const size_t nameLength = static_cast<uint8_t>(sector[at + 32]);
    if (sector.compare(at + 33, nameLength, identifier) != 0 || nameLength != identifier.size()) continue;
    file.seekp(static_cast<std::streamoff>(root) * 2048 + static_cast<std::streamoff>(at + 18 + 6));
    file.put(static_cast<char>(offset));
    return file.good();
  }
  return false;
}

TEST(ListDates, RecordsShowTheirInstantInTheViewersZone) {
  const std::string folder = MakeTestFolder("list_dates");
  for (const char* name : {"a.txt", "b.txt", "c.txt"}) WriteFileBytes(folder + "/src/" + name, name);
  // 2024-03-05 14:07:09 UTC for every file; the image records 14:07:09 with offset 0 (made at TZ=UTC).
  ProgramResult made = RunShell("cd '" + folder + "' && touch -d @1709647629 src/*.txt && TZ=UTC genisoimage -quiet "
                                "-o d.iso src 2>&1");
  ASSERT_EQ(made.status, 0) << made.out;
  const std::string iso = folder + "/d.iso";
  ASSERT_TRUE(SetRecordOffset(iso, "A.TXT;1", -28));  // recorded at UTC-7
  ASSERT_TRUE(SetRecordOffset(iso, "C.TXT;1", 36));   // recorded at UTC+9

  struct Row {
    const char* name;
    const char* utc;
    const char* tokyo;
    int64_t mtime;
  } const rows[] = {
      {"A.TXT", "2024-03-05 21:07", "2024-03-06 06:07", 1709647629 + 7 * 3600},
      {"B.TXT", "2024-03-05 14:07", "2024-03-05 23:07", 1709647629},
      {"C.TXT", "2024-03-05 05:07", "2024-03-05 14:07", 1709647629 - 9 * 3600},
  };
  ProgramResult utc = RunKestrane({"list", iso, "/"});
  ProgramOptions east;
  east.env = {"TZ=JST-9"};
  ProgramResult tokyo = RunKestrane({"list", iso, "/"}, east);
  ASSERT_EQ(utc.status, 0) << utc.out;
  ASSERT_EQ(tokyo.status, 0) << tokyo.out;
  ProgramResult extracted = RunKestrane({"extract", iso, "/", "-od", folder + "/out", "-y"});
  ASSERT_EQ(extracted.status, 0) << extracted.out;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // Date, the 18-character size column holding 5, the name.
    const std::string tail = std::string(21, ' ') + "5  " + row.name + "\r\n";
    EXPECT_NE(utc.out.find(row.utc + tail), std::string::npos) << utc.out;
    EXPECT_NE(tokyo.out.find(row.tokyo + tail), std::string::npos) << tokyo.out;
    struct stat status {};
    ASSERT_EQ(stat((folder + "/out/" + row.name).c_str(), &status), 0);
    EXPECT_EQ(status.st_mtime, row.mtime);
  }
}

}  // namespace
