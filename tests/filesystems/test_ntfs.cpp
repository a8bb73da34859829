// NTFS driver pieces that can be checked on their own: LZNT1 blocks, update sequences, mapping pairs and the
// upcase table; names compared through the volume's own upcase table; and
// hostile volumes, made by damaging a small volume from mkntfs and wimlib-imagex, that must end with a message and
// exit status 1 in bounded time.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "filesystems/lznt1.h"
#include "filesystems/ntfs.h"
#include "filesystems/ntfs_upcase.h"
#include "support/ntfs_edit.h"
#include "support/run_program.h"
#include "support/shell_step.h"

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

TEST(Lznt1, DecodesWhatAnIndependentEncoderMade) {
  std::mt19937 random(1);
  struct Case {
    const char* what;
    std::vector<uint8_t> data;
  };
  std::vector<Case> cases;
  std::string text;
  for (int i = 0; text.size() < 65536; ++i) text += "row " + std::to_string(i % 97) + " repeats often\n";
  cases.push_back({"text, every chunk compressed", std::vector<uint8_t>(text.begin(), text.begin() + 65536)});
  std::vector<uint8_t> mixed(65536);
  for (size_t i = 0; i < mixed.size(); ++i) mixed[i] = (i / 4096) % 2 ? static_cast<uint8_t>(random()) : 'a' + i % 7;
  cases.push_back({"random chunks stored among compressed ones", mixed});
  cases.push_back({"a short last chunk", std::vector<uint8_t>(text.begin(), text.begin() + 5000)});
  cases.push_back({"one run of a byte (overlapping copies)", std::vector<uint8_t>(9000, 'z')});
  for (const Case& c : cases) {
    std::vector<uint8_t> packed = NtfsEditCompress(c.data.data(), c.data.size());
    std::vector<uint8_t> out(65536, 0xEE);
    ASSERT_GE(Lznt1DecodeBlock(packed.data(), packed.size(), out.data(), out.size()), 0) << c.what;
    EXPECT_TRUE(std::equal(c.data.begin(), c.data.end(), out.begin())) << c.what;
    EXPECT_TRUE(std::all_of(out.begin() + c.data.size(), out.end(), [](uint8_t b) { return b == 0; })) << c.what;
  }
}

TEST(Lznt1, RefusesDamagedChunks) {
  struct Case {
    const char* what;
    std::vector<uint8_t> stream;
  };
  const std::vector<Case> cases = {
      {"back-reference before the chunk's start", Bytes({0x03, 0xB0, 0x02, 'a', 0x00, 0x10})},
      {"back-reference as the first token", Bytes({0x02, 0xB0, 0x01, 0x00, 0x00})},
      {"chunk longer than the stored bytes", Bytes({0x20, 0xB0, 0x00, 'a'})},
      {"uncompressed chunk shorter than 4096", Bytes({0x03, 0x30, 'a', 'b', 'c', 'd'})},
      {"a token cut in half", Bytes({0x02, 0xB0, 0x02, 'a', 0x00})},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> out(4096);
    EXPECT_EQ(Lznt1DecodeBlock(c.stream.data(), c.stream.size(), out.data(), out.size()), -1) << c.what;
  }
  // Output past 4,096 bytes in one chunk: 'a' then a copy of 4,095 from offset 1 is exactly full; one more is not.
  std::vector<uint8_t> full = Bytes({0x00, 0xB0, 0x02, 'a', 0xFC, 0x0F});
  full[0] = static_cast<uint8_t>(full.size() - 3);
  std::vector<uint8_t> out(8192);
  EXPECT_EQ(Lznt1DecodeBlock(full.data(), full.size(), out.data(), 4096), 4096);
  EXPECT_EQ(out[4095], 'a');
  std::vector<uint8_t> over = Bytes({0x00, 0xB0, 0x06, 'a', 0xFC, 0x0F, 0x00, 0x00});
  over[0] = static_cast<uint8_t>(over.size() - 3);
  EXPECT_EQ(Lznt1DecodeBlock(over.data(), over.size(), out.data(), 8192), -1);
}

// A record of `size` bytes with an update sequence at 48 protecting every 512 bytes.
std::vector<uint8_t> ProtectedRecord(uint32_t size) {
  std::vector<uint8_t> r(size, 0);
  std::memcpy(r.data(), "FILE", 4);
  const uint16_t count = static_cast<uint16_t>(size / 512 + 1);
  r[4] = 48;
  r[6] = static_cast<uint8_t>(count);
  r[48] = 0x34;
  r[49] = 0x12;
  for (uint16_t i = 1; i < count; ++i) {
    r[48 + 2 * i] = static_cast<uint8_t>(i);
    r[49 + 2 * i] = 0xAB;
    r[i * 512 - 2] = 0x34;
    r[i * 512 - 1] = 0x12;
  }
  return r;
}

TEST(NtfsFixups, RestoreEverySectorOfSmallAndLargeRecords) {
  for (uint32_t size : {1024u, 4096u}) {
    std::vector<uint8_t> r = ProtectedRecord(size);
    ASSERT_EQ(NtfsApplyFixups(r.data(), size), 1) << size;
    for (uint32_t i = 1; i <= size / 512; ++i) {
      EXPECT_EQ(r[i * 512 - 2], i) << size;
      EXPECT_EQ(r[i * 512 - 1], 0xAB) << size;
    }
    std::vector<uint8_t> torn = ProtectedRecord(size);
    torn[size - 1] = 0;  // the last sector was not written with the others
    EXPECT_EQ(NtfsApplyFixups(torn.data(), size), kNtfsBadFixups) << size;
    EXPECT_EQ(std::memcmp(torn.data(), "BAAD", 4), 0);
  }
  // An update sequence that does not describe the record leaves it as it is.
  std::vector<uint8_t> odd = ProtectedRecord(1024);
  odd[6] = 1;
  const std::vector<uint8_t> before = odd;
  EXPECT_EQ(NtfsApplyFixups(odd.data(), 1024), 1);
  EXPECT_EQ(odd, before);
}

// A non-resident attribute header with the mapping pairs at 64.
std::vector<uint8_t> Attribute(const std::vector<uint8_t>& pairs) {
  std::vector<uint8_t> a(64, 0);
  a[32] = 64;
  a.insert(a.end(), pairs.begin(), pairs.end());
  a.resize((a.size() + 7) & ~size_t{7}, 0);
  return a;
}

TEST(NtfsMappingPairs, DecodeRunsHolesAndRefuseDamage) {
  struct Case {
    const char* what;
    std::vector<uint8_t> pairs;
    int result;
    std::vector<CNtfsRun> runs;
  };
  const std::vector<Case> cases = {
      {"two runs, the second before the first",
       Bytes({0x21, 0x10, 0x00, 0x01, 0x11, 0x08, 0xF0, 0x00}),
       1,
       {{0, 256, 16}, {16, 240, 8}}},
      {"a hole between runs",
       Bytes({0x11, 0x04, 0x20, 0x01, 0x0C, 0x11, 0x02, 0x10, 0x00}),
       1,
       {{0, 32, 4}, {4, -1, 12}, {16, 48, 2}}},
      {"length nibble of zero", Bytes({0x10, 0x20, 0x00}), kNtfsCorrupt, {}},
      {"length field of nine bytes", Bytes({0x19, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0x00}), kNtfsCorrupt, {}},
      {"negative length", Bytes({0x11, 0xFF, 0x10, 0x00}), kNtfsCorrupt, {}},
      {"run past the volume", Bytes({0x21, 0x10, 0xF8, 0x03, 0x00}), kNtfsCorrupt, {}},
      {"cluster number below zero", Bytes({0x11, 0x01, 0xF0, 0x00}), kNtfsCorrupt, {}},
      {"pairs running past the attribute", Bytes({0x44, 0x01}), kNtfsCorrupt, {}},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> a = Attribute(c.pairs);
    std::vector<CNtfsRun> runs;
    const int result = NtfsDecodeMappingPairs(a.data(), static_cast<uint32_t>(a.size()), 1024, &runs);
    EXPECT_EQ(result, c.result) << c.what;
    if (c.result != 1) continue;
    ASSERT_EQ(runs.size(), c.runs.size()) << c.what;
    for (size_t i = 0; i < runs.size(); ++i) {
      EXPECT_EQ(runs[i].vcn, c.runs[i].vcn) << c.what << " run " << i;
      EXPECT_EQ(runs[i].lcn, c.runs[i].lcn) << c.what << " run " << i;
      EXPECT_EQ(runs[i].length, c.runs[i].length) << c.what << " run " << i;
    }
  }
}

// ---- Hostile volumes ----

bool HaveTools() { return RunShell("command -v mkntfs && command -v wimlib-imagex").status == 0; }

ProgramOptions Timeout(int seconds) {
  ProgramOptions options;
  options.timeoutSeconds = seconds;
  return options;
}

// Patches the first attribute of `type` in the record of file `name`: `edit` gets the record (fixed up) and the
// attribute's offset.
bool PatchRecord(NtfsImageEditor* editor, int64_t record, uint32_t type,
                 const std::function<void(std::vector<uint8_t>&, int)>& edit) {
  std::vector<uint8_t> bytes;
  if (record < 0 || !editor->ReadRecord(record, &bytes)) return false;
  const int at = NtfsImageEditor::FindAttribute(bytes, type);
  if (at < 0) return false;
  edit(bytes, at);
  return editor->WriteRecord(record, bytes);
}

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

TEST(NtfsHostile, DamagedVolumesEndWithAMessageInBoundedTime) {
  if (!HaveTools()) GTEST_SKIP() << "mkntfs or wimlib-imagex missing";
  const std::string folder = MakeTestFolder("ntfs_hostile");
  const std::string tree = folder + "/tree";
  WriteFileBytes(tree + "/dir/inner.txt", "inner");
  WriteFileBytes(tree + "/data.bin", std::string(100000, 'd'));
  for (int i = 0; i < 200; ++i) WriteFileBytes(tree + "/big/f" + std::to_string(i), "x");
  const std::string clean = folder + "/clean.img";
  Sh("truncate -s 8M '" + clean + "' && mkntfs -F -Q -q '" + clean + "'");
  Sh("wimlib-imagex capture '" + tree + "' '" + folder + "/x.wim' --compress=none --no-acls >/dev/null");
  Sh("wimlib-imagex apply '" + folder + "/x.wim' 1 '" + clean + "' >/dev/null");

  struct Case {
    const char* what;
    std::function<bool(NtfsImageEditor&)> damage;
  };
  const std::vector<Case> cases = {
      {"a directory record whose update sequence does not match",
       [](NtfsImageEditor& e) {
         const int64_t at = e.RecordPosition(e.FindRecord("dir"));
         uint8_t tail[2];
         if (at < 0 || !e.ReadBytes(at + 510, tail, 2)) return false;
         tail[0] ^= 0x5A;  // the first sector's tail no longer carries the sequence number
         return e.WriteBytes(at + 510, tail, 2);
       }},
      {"attribute length 0",
       [](NtfsImageEditor& e) {
         return PatchRecord(&e, e.FindRecord("data.bin"), 0x30,
                            [](std::vector<uint8_t>& b, int at) { Put32(b, at + 4, 0); });
       }},
      {"attribute length past the record",
       [](NtfsImageEditor& e) {
         return PatchRecord(&e, e.FindRecord("dir"), 0x10,
                            [](std::vector<uint8_t>& b, int at) { Put32(b, at + 4, 0x7FF0); });
       }},
      {"run past the volume",
       [](NtfsImageEditor& e) {
         return PatchRecord(&e, e.FindRecord("data.bin"), 0x80, [](std::vector<uint8_t>& b, int at) {
           const int pairs = b[at + 32] | b[at + 33] << 8;
           b[at + pairs] = 0x41;  // four bytes of cluster number
           b[at + pairs + 1] = 25;
           Put32(b, at + pairs + 2, 0x00F00000);
           b[at + pairs + 6] = 0;
         });
       }},
      {"index entries past their block",
       [](NtfsImageEditor& e) {
         return PatchRecord(&e, e.FindRecord("big"), 0x90, [](std::vector<uint8_t>& b, int at) {
           const int value = at + (b[at + 20] | b[at + 21] << 8);
           Put32(b, value + 16 + 4, 0x10000);  // bytes in use of the index header
         });
       }},
      {"an extent record that is the base itself (an attribute-list loop)",
       [](NtfsImageEditor& e) {
         const int64_t record = e.FindRecord("data.bin");
         std::vector<NtfsEditRun> runs;
         int64_t size = 0;
         if (!e.DataRuns(record, &runs, &size) || !e.SpreadData(record, runs, size, 1)) return false;
         // Point the list's $DATA entry back at the base record.
         return PatchRecord(&e, record, 0x20, [record](std::vector<uint8_t>& b, int at) {
           const int value = at + (b[at + 20] | b[at + 21] << 8);
           const uint32_t length = b[at + 16] | b[at + 17] << 8;
           for (uint32_t i = 0; i + 32 <= length; i += 32)
             if (b[value + i] == 0x80) Put32(b, value + i + 16, static_cast<uint32_t>(record));
         });
       }},
      {"a directory that lists itself under another name",
       [](NtfsImageEditor& e) {
         const int64_t dir = e.FindRecord("dir");
         return PatchRecord(&e, dir, 0x90, [dir](std::vector<uint8_t>& b, int at) {
           const int value = at + (b[at + 20] | b[at + 21] << 8);
           const int first = value + 16 + (b[value + 16] | b[value + 17] << 8);
           Put32(b, first, static_cast<uint32_t>(dir));  // inner.txt now names the directory itself
         });
       }},
      {"the root directory's record torn",
       [](NtfsImageEditor& e) {
         std::vector<uint8_t> bytes;
         if (!e.ReadRecord(5, &bytes)) return false;
         std::memcpy(bytes.data(), "BAAD", 4);
         return e.WriteRecord(5, bytes);
       }},
  };
  for (const Case& c : cases) {
    const std::string image = folder + "/damaged.img";
    Sh("cp '" + clean + "' '" + image + "'");
    {
      NtfsImageEditor editor;
      ASSERT_TRUE(editor.Open(image)) << c.what;
      ASSERT_TRUE(c.damage(editor)) << c.what;
    }
    for (const char* command : {"list", "extract"}) {
      std::vector<std::string> args{command, image, "/"};
      if (std::string(command) == "list")
        args.push_back("-r");
      else
        args.insert(args.end(), {"-od", folder + "/out", "-y"});
      const ProgramResult r = RunKestrane(args, Timeout(30));
      EXPECT_FALSE(r.timedOut) << c.what << " " << command;
      EXPECT_EQ(r.status, 1) << c.what << " " << command << "\n" << r.out.substr(0, 3000);
      RunShell("rm -rf '" + folder + "/out'");
    }
  }
}

// ---- Upcase table ----

std::string UnitsBytes(const std::vector<uint16_t>& units) {
  std::string bytes;
  for (uint16_t u : units) bytes += {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
  return bytes;
}

TEST(NtfsUpcase, DefaultTableIsTheOneMkntfsWritesAndOnlyOtherTablesAreKept) {
  if (!HaveTools() || RunShell("command -v ntfscat").status != 0) GTEST_SKIP() << "ntfs-3g missing";
  const std::string folder = MakeTestFolder("ntfs_upcase");
  Sh("truncate -s 8M '" + folder + "/v.img' && mkntfs -F -Q -q '" + folder + "/v.img'");
  Sh("ntfscat '" + folder + "/v.img' '$UpCase' > '" + folder + "/upcase.bin'");
  const std::string written = ReadFileBytes(folder + "/upcase.bin");
  ASSERT_EQ(written.size(), 2 * kNtfsUpcaseUnits);
  const uint16_t* standard = NtfsMakeDefaultUpcase();
  for (size_t u = 0; u < kNtfsUpcaseUnits; ++u) {
    const uint16_t stored = static_cast<uint8_t>(written[2 * u]) | static_cast<uint8_t>(written[2 * u + 1]) << 8;
    ASSERT_EQ(standard[u], stored) << "unit " << std::hex << u;
  }

  std::vector<uint16_t> changed(standard, standard + kNtfsUpcaseUnits);
  changed[0xE9] = 0xE9;  // this volume leaves é as it is
  const std::vector<uint16_t> shortOwn = {0, 1, 2, 'X'};
  struct Case {
    const char* what;
    std::string bytes;
    int own;
    uint16_t unit, upper;
  };
  const std::vector<Case> cases = {
      {"mkntfs's table", written, 0, 0xE9, 0xC9},
      {"the default's first units only", written.substr(0, 600), 0, 'a', 'A'},
      {"one unit differs", UnitsBytes(changed), 1, 0xE9, 0xE9},
      {"a short table of its own", UnitsBytes(shortOwn), 1, 3, 'X'},
      {"past a short table units stay", UnitsBytes(shortOwn), 1, 'a', 'a'},
      {"odd size", written.substr(0, 601), 0, 0xE9, 0xC9},
      {"below two bytes", written.substr(0, 1), 0, 'b', 'B'},
      {"above 65,536 units", written + written.substr(0, 2), 0, 'z', 'Z'},
  };
  for (const Case& c : cases) {
    CNtfsVolume volume;
    EXPECT_EQ(NtfsChooseUpcase(&volume, reinterpret_cast<const uint8_t*>(c.bytes.data()),
                               static_cast<int64_t>(c.bytes.size())),
              c.own)
        << c.what;
    EXPECT_EQ(volume.upcase == standard, c.own == 0) << c.what;
    EXPECT_EQ(NtfsUpcaseUnit(&volume, c.unit), c.upper) << c.what;
  }
  CNtfsVolume unreadable;
  EXPECT_EQ(NtfsChooseUpcase(&unreadable, nullptr, 0), 0);
  EXPECT_EQ(unreadable.upcase, standard);
}

TEST(NtfsUpcase, NamesCompareUnitByUnitOrThroughTheTable) {
  CNtfsVolume volume;
  NtfsChooseUpcase(&volume, nullptr, 0);
  struct Case {
    std::u16string a, b;
    bool ignoreCase;
    int result;
  };
  const std::vector<Case> cases = {
      {u"$I30", u"$I30", false, 0}, {u"$I30", u"$i30", false, -1},
      {u"$i30", u"$I30", true, 0},  {u"\u00e9t\u00e9", u"\u00c9T\u00c9", true, 0},
      {u"ab", u"abc", true, -1},    {u"abd", u"ABC", true, 1},
      {u"", u"", true, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(NtfsCompareNames(&volume, c.a.data(), c.a.size(), c.b.data(), c.b.size(), c.ignoreCase), c.result)
        << std::string(c.a.begin(), c.a.end()) << " / " << std::string(c.b.begin(), c.b.end());
}

// A directory whose index attributes are named "$i30" opens through the upcase table, and through the volume's
// own table: one that leaves 'i' as it is makes the same directory unreadable.
TEST(NtfsUpcase, IndexNamesMatchThroughTheVolumesTable) {
  if (!HaveTools()) GTEST_SKIP() << "mkntfs or wimlib-imagex missing";
  const std::string folder = MakeTestFolder("ntfs_upcase_volume");
  WriteFileBytes(folder + "/tree/dir/inner.txt", "inner");
  const std::string clean = folder + "/clean.img";
  Sh("truncate -s 8M '" + clean + "' && mkntfs -F -Q -q '" + clean + "'");
  Sh("wimlib-imagex capture '" + folder + "/tree' '" + folder + "/x.wim' --compress=none --no-acls >/dev/null");
  Sh("wimlib-imagex apply '" + folder + "/x.wim' 1 '" + clean + "' >/dev/null");
  auto lowerIndexName = [](NtfsImageEditor& e) {
    return PatchRecord(&e, e.FindRecord("dir"), 0x90, [](std::vector<uint8_t>& b, int at) {
      const int name = at + (b[at + 10] | b[at + 11] << 8);
      if (b[at + 9] == 4 && b[name + 2] == 'I') b[name + 2] = 'i';
    });
  };
  struct Case {
    const char* what;
    bool ownTable;
    int status;
  };
  for (const Case& c : {Case{"default table", false, 0}, Case{"the volume's table keeps i", true, 1}}) {
    const std::string image = folder + "/v.img";
    Sh("cp '" + clean + "' '" + image + "'");
    {
      NtfsImageEditor editor;
      ASSERT_TRUE(editor.Open(image));
      ASSERT_TRUE(lowerIndexName(editor)) << c.what;
      if (c.ownTable) {
        std::vector<NtfsEditRun> runs;
        int64_t size = 0;
        ASSERT_TRUE(editor.DataRuns(10, &runs, &size) && !runs.empty() && size == 2 * 65536);
        const uint8_t same[2] = {'i', 0};
        ASSERT_TRUE(editor.WriteBytes(runs[0].lcn * editor.clusterSize() + 2 * 'i', same, 2));
      }
    }
    const ProgramResult r = RunKestrane({"list", image, "/", "-r"}, Timeout(30));
    EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.out;
    EXPECT_EQ(r.out.find("inner.txt") != std::string::npos, c.status == 0) << c.what << "\n" << r.out;
  }
}

}  // namespace
