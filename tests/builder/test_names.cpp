#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <cwchar>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "builder/names.h"
#include "image/document.h"
#include "session/document.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/paths.h"
#include "tree/tree.h"

namespace {

struct Item {
  std::wstring name;
  bool folder = false;
};

// A new document whose root folder holds the given entries in list order, under C.UTF-8.
class IsoNamesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = std::setlocale(LC_CTYPE, nullptr);
    ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    AbortCodeSet(0);
    doc_ = ImageNew();
    ASSERT_NE(doc_, nullptr);
  }
  void TearDown() override {
    ImageClose(doc_);
    AbortCodeSet(0);
    std::setlocale(LC_CTYPE, saved_.c_str());
  }

  CTreeFolder* root() const { return doc_->rootFolder; }

  std::vector<CTreeEntry*> Fill(const std::vector<Item>& items) {
    std::vector<CTreeEntry*> entries(items.size());
    for (size_t i = items.size(); i-- > 0;) {
      CTreeEntry* entry = TreeNewEntry();
      entry->name = WstrDupChars(items[i].name.c_str());
      if (items[i].folder) entry->directoryRecord[kDirRecordFlags] = kDirFlagDirectory;
      TreeFolderPrependEntry(root(), entry);
      entries[i] = entry;
    }
    return entries;
  }

  CImageDocument* doc_ = nullptr;
  std::string saved_;
};

// The identifier as the record carries it: its length comes from the record.
std::string IsoId(const CTreeEntry* entry) {
  if (entry->isoName == nullptr) return "<none>";
  return std::string(entry->isoName, entry->directoryRecord[kDirRecordNameLength]);
}

std::u16string JolietId(const CTreeEntry* entry) {
  if (entry->jolietName == nullptr) return u"<none>";
  return std::u16string(entry->jolietName, entry->jolietName + entry->jolietLength);
}

std::u16string U16(const std::wstring& text) {
  std::u16string units;
  for (wchar_t c : text) {
    if (c > 0xFFFF) {
      units.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(c));
    }
  }
  return units;
}

bool PairsWhole(const std::u16string& units) {
  for (size_t i = 0; i < units.size(); ++i) {
    const bool high = units[i] >= 0xD800 && units[i] < 0xDC00;
    const bool low = units[i] >= 0xDC00 && units[i] < 0xE000;
    if (low) return false;
    if (high && (i + 1 == units.size() || units[i + 1] < 0xDC00 || units[i + 1] >= 0xE000)) return false;
    if (high) ++i;
  }
  return true;
}

bool ValidUtf8(const std::string& bytes) {
  std::mbstate_t state{};
  for (size_t at = 0; at < bytes.size();) {
    wchar_t c;
    const size_t n = std::mbrtowc(&c, bytes.data() + at, bytes.size() - at, &state);
    if (n > bytes.size() - at) return false;
    at += n == 0 ? 1 : n;  // the "." identifier is the byte 0
  }
  return true;
}

std::wstring Repeat(const std::wstring& piece, int count) {
  std::wstring text;
  for (int i = 0; i < count; ++i) text += piece;
  return text;
}

TEST_F(IsoNamesTest, IsoNamesFollowTheLimitsAndNumbering) {
  struct Case {
    const char* what;
    int limit;
    int lowerCase;
    int rockRidge;
    std::vector<Item> items;
    std::vector<std::string> expected;
  };
  const std::string e2 = "\xC3\x89";  // É in UTF-8
  const std::vector<Case> cases = {
      {"8.3 cut, second gets ~0", 12, 0, 0, {{L"readme.markdown"}, {L"readme.markup"}},
       {"README.MAR", "README~0.MAR"}},
      {"a name that fits wins over an earlier long one", 12, 0, 0, {{L"readme.markdown"}, {L"readme.mar"}},
       {"README~0.MAR", "README.MAR"}},
      {"8.3 folders drop their extension, bases cut at the first dot", 12, 0, 0,
       {{L"my.folder", true}, {L"photos.2020", true}, {L"averyverylongfoldername.d", true}, {L"a.b.c"},
        {L"my file.txt"}, {L".bashrc"}, {L".git", true}},
       {"MY", "PHOTOS", "AVERYVER", "A.C", "MY_FILE.TXT", ".BAS", "~0"}},
      {"semicolon", 221, 0, 0, {{L"a;b"}}, {"A_B"}},
      {"the exact owner keeps a case-folded name", 221, 0, 0, {{L"readme.txt"}, {L"README.TXT"}},
       {"README~0.TXT", "README.TXT"}},
      {"local names differing only in case", 221, 0, 0, {{L"makefile"}, {L"Makefile"}},
       {"MAKEFILE", "MAKEFILE~0"}},
      {"limit 30 cuts the base", 30, 0, 0, {{L"this is a rather long file name.text"}},
       {"THIS IS A RATHER LONG F~0.TEXT"}},
      {"limit 30 cuts a long extension", 30, 0, 0, {{L"a." + std::wstring(40, L'x')}},
       {"A~0." + std::string(24, 'X')}},
      {"limit 221", 221, 0, 0, {{std::wstring(230, L'a') + L".iso"}}, {std::string(215, 'A') + "~0.ISO"}},
      {"lower case kept", 221, 1, 0, {{L"MixedCase.Txt"}, {L"mixedcase.txt"}}, {"MixedCase.Txt", "mixedcase.txt"}},
      {"Rock Ridge forces 8.3", 221, 0, 1, {{L"readme.markdown"}}, {"README.MAR"}},
      {"dots and the byte that means '..'", 221, 0, 0, {{L"."}, {L".."}, {L"\x01"}},
       {std::string(1, '\0'), "\x01", "\x01~0"}},
      {"multibyte characters are never split", 12, 0, 0, {{L"\u00c9\u00c9\u00c9\u00c9\u00c9\u00c9.txt"}, {L"a\u00c9\u00c9\u00c9\u00c9.txt"}},
       {e2 + e2 + e2 + e2 + ".TXT", "A" + e2 + e2 + e2 + ".TXT"}},
      // Earlier names took ~0..~2 and ~4..~6 of A.BCDE; ~3 was held back because it is a display name, and
      // its owner (whose own plain name A.TXT is taken) still receives it.
      {"a held-back number goes to its owner", 12, 0, 0,
       {{L"A.TXT"}, {L"a.bcdefg0.txt"}, {L"a.bcdefg1.txt"}, {L"a.bcdefg2.txt"}, {L"a.bcdefg3.txt"},
        {L"a.bcdefg4.txt"}, {L"a.bcdefg5.txt"}, {L"A.BCDE~3.TXT"}},
       {"A.TXT", "A.BCDE~0.TXT", "A.BCDE~1.TXT", "A.BCDE~2.TXT", "A.BCDE~4.TXT", "A.BCDE~5.TXT",
        "A.BCDE~6.TXT", "A.BCDE~3.TXT"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ImageClose(doc_);
    doc_ = ImageNew();
    doc_->isoNameLength = c.limit;
    doc_->lowerCaseIsoNames = c.lowerCase;
    doc_->rockRidge = c.rockRidge;
    const std::vector<CTreeEntry*> entries = Fill(c.items);
    ASSERT_EQ(IsoNameTree(doc_, root(), nullptr), 0);
    ASSERT_EQ(entries.size(), c.expected.size());
    for (size_t i = 0; i < entries.size(); ++i) {
      const std::string id = IsoId(entries[i]);
      EXPECT_EQ(id, c.expected[i]) << i;
      EXPECT_TRUE(ValidUtf8(id)) << i;
      const int length = entries[i]->directoryRecord[kDirRecordNameLength];
      EXPECT_EQ(entries[i]->directoryRecord[kDirRecordLength], 33 + length + ((33 + length) & 1)) << i;
    }
    EXPECT_EQ(root()->isoIndex, nullptr);
  }
}

TEST_F(IsoNamesTest, NumbersGrowIntoTheBaseAtEachNewDigit) {
  doc_->isoNameLength = 12;
  std::vector<Item> items;
  for (int i = 0; i < 12; ++i) items.push_back({L"longfilename" + std::to_wstring(100 + i) + L".txt"});
  const std::vector<CTreeEntry*> entries = Fill(items);
  ASSERT_EQ(IsoNameTree(doc_, root(), nullptr), 0);
  EXPECT_EQ(IsoId(entries[0]), "LONGFILE.TXT");
  EXPECT_EQ(IsoId(entries[1]), "LONGFI~0.TXT");
  EXPECT_EQ(IsoId(entries[10]), "LONGFI~9.TXT");
  EXPECT_EQ(IsoId(entries[11]), "LONGF~10.TXT");
}

TEST_F(IsoNamesTest, MakeNameAndLongNameWithNumbers) {
  char iso[kIsoNameBufferSize];
  CTreeEntry* folder = TreeNewEntry();
  folder->directoryRecord[kDirRecordFlags] = kDirFlagDirectory;
  EXPECT_EQ(IsoMakeName(doc_, nullptr, L"report.document", iso, 12, 123456), 12);
  EXPECT_STREQ(iso, "R~123456.DOC");
  EXPECT_EQ(IsoMakeName(doc_, folder, L"my.data.files", iso, 12, 3), 8);
  EXPECT_STREQ(iso, "MY.DAT~3");
  EXPECT_EQ(IsoMakeName(doc_, nullptr, L"..", iso, 12, 5), 2);
  EXPECT_STREQ(iso, "..");
  EXPECT_EQ(IsoMakeName(doc_, nullptr, L"x", iso, 12, kIsoNameLastSuffix + 1), -1);
  TreeFreeEntry(doc_, folder);

  wchar_t joliet[kJolietNameBufferChars];
  const std::wstring longName = std::wstring(100, L'n') + L".txt";
  EXPECT_EQ(IsoMakeLongName(doc_, nullptr, longName.c_str(), joliet, 64, -1), 64);
  EXPECT_EQ(std::wstring(joliet), std::wstring(58, L'n') + L"~0.txt");
  EXPECT_EQ(IsoMakeLongName(doc_, nullptr, longName.c_str(), joliet, 64, 12), 64);
  EXPECT_EQ(std::wstring(joliet), std::wstring(57, L'n') + L"~12.txt");
  EXPECT_EQ(IsoMakeLongName(doc_, nullptr, L"short.txt", joliet, 64, 7), 11);
  EXPECT_STREQ(joliet, L"short~7.txt");
  EXPECT_EQ(IsoMakeLongName(doc_, nullptr, L"a;b", joliet, 64, -1), 3);
  EXPECT_STREQ(joliet, L"a_b");
  doc_->jolietLevel = 0;
  EXPECT_EQ(IsoMakeLongName(doc_, nullptr, L"a;b", joliet, 64, -1), 3);
  EXPECT_STREQ(joliet, L"a;b");  // UDF alone keeps ";"
}

TEST_F(IsoNamesTest, JolietNamesFitTheLimitInUnitsAndRecords) {
  const std::wstring emoji = L"\U0001F600";
  struct Case {
    const char* what;
    int limit;
    int jolietLevel;
    std::vector<Item> items;
    std::vector<std::u16string> expected;  // empty: only the general checks
  };
  const std::wstring shared = std::wstring(80, L'k');
  const std::vector<Case> cases = {
      {"64: long names share a cut base", 64, 3, {{shared + L"1.txt"}, {shared + L"2.txt"}},
       {U16(std::wstring(58, L'k') + L"~0.txt"), U16(std::wstring(58, L'k') + L"~1.txt")}},
      {"110: a 200-character name", 110, 3, {{std::wstring(200, L'x') + L".dat"}},
       {U16(std::wstring(104, L'x') + L"~0.dat")}},
      {"case differences stay", 110, 3, {{L"Makefile"}, {L"makefile"}}, {u"Makefile", u"makefile"}},
      {"semicolon, and another entry's display name", 110, 3, {{L"a;b"}, {L"a_b"}}, {u"a_b~0", u"a_b"}},
      {"UDF alone keeps semicolons", 110, 0, {{L"a;b"}}, {u"a;b"}},
      {"dots", 110, 3, {{L"."}, {L".."}}, {std::u16string(1, u'\0'), u"\x01"}},
      // Surrogate pairs count two units each: 1 + 100 x 2 + 4 units must be cut, and a pair is never split,
      // so the base keeps 51 pairs (103 units) where 104 would split one.
      {"surrogate pairs", 110, 3, {{L"a" + Repeat(emoji, 100) + L".txt"}},
       {U16(L"a" + Repeat(emoji, 51) + L"~0.txt")}},
      // 65 characters but 125 units: as characters it would fit 110 and make a 284-byte record.
      {"records stay within 255 bytes", 110, 3, {{L"a" + Repeat(emoji, 60) + L".txt"}, {Repeat(emoji, 300)}}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ImageClose(doc_);
    doc_ = ImageNew();
    doc_->jolietNameLength = c.limit;
    doc_->jolietLevel = c.jolietLevel;
    doc_->udf = c.jolietLevel == 0 ? 1 : 0;
    const std::vector<CTreeEntry*> entries = Fill(c.items);
    ASSERT_EQ(IsoNameTree(doc_, root(), nullptr), 0);
    std::set<std::u16string> seen;
    for (size_t i = 0; i < entries.size(); ++i) {
      const std::u16string id = JolietId(entries[i]);
      if (!c.expected.empty()) {
        EXPECT_EQ(id, c.expected[i]) << i;
      }
      EXPECT_LE(id.size(), static_cast<size_t>(c.limit)) << i;
      EXPECT_LE(34 + 2 * id.size(), 255u) << i;
      EXPECT_TRUE(PairsWhole(id)) << i;
      EXPECT_EQ(entries[i]->jolietName[entries[i]->jolietLength], 0) << i;
      EXPECT_TRUE(seen.insert(id).second) << i;
    }
  }
}

TEST_F(IsoNamesTest, ThreeThousandAlikeNamesStayUniqueUnderEveryLimit) {
  std::vector<Item> items;
  const std::wstring prefix = L"a very long common prefix that runs past every Joliet limit of sixty-four ";
  for (int i = 0; i < 3000; ++i) {
    std::wstring name;
    switch (i % 5) {
      case 0: name = L"Report " + std::to_wstring(i / 5) + L".txt"; break;
      case 1: name = L"REPORT " + std::to_wstring(i / 5) + L".TXT"; break;
      case 2: name = prefix + std::to_wstring(i) + L".document"; break;
      case 3: name = L"data;" + std::to_wstring(i) + L".bin"; break;
      default: name = L"\u00e9t\u00e9 " + std::to_wstring(i) + L"." + std::wstring(20, L'e'); break;
    }
    items.push_back({name, i % 7 == 0});
  }
  for (int isoLimit : {12, 30, 221}) {
    for (int jolietLimit : {64, 110}) {
      SCOPED_TRACE(std::to_string(isoLimit) + "/" + std::to_string(jolietLimit));
      ImageClose(doc_);
      doc_ = ImageNew();
      doc_->isoNameLength = isoLimit;
      doc_->jolietNameLength = jolietLimit;
      const std::vector<CTreeEntry*> entries = Fill(items);
      ASSERT_EQ(IsoNameTree(doc_, root(), nullptr), 0);
      std::set<std::string> iso;
      std::set<std::u16string> joliet;
      for (const CTreeEntry* entry : entries) {
        const std::string id = IsoId(entry);
        ASSERT_NE(entry->isoName, nullptr);
        ASSERT_NE(entry->jolietName, nullptr);
        EXPECT_LE(id.size(), static_cast<size_t>(isoLimit));
        EXPECT_TRUE(ValidUtf8(id)) << id;
        EXPECT_TRUE(iso.insert(id).second) << id;
        EXPECT_LE(entry->jolietLength, jolietLimit);
        EXPECT_TRUE(joliet.insert(JolietId(entry)).second);
      }
    }
  }
}

// The folder pass resumes numbered searches where earlier ones stopped; naming the same entries one at a time
// through a name index, each search from 0, must give the same names.
TEST_F(IsoNamesTest, FolderPassGivesTheNamesOfTheOneByOneSearch) {
  std::mt19937 random(20240611);
  const std::wstring alphabet = L"aAbB~0123.. \u00e9;";
  std::vector<Item> items;
  std::set<std::wstring> used;
  while (items.size() < 1500) {
    std::wstring name;
    const int length = 1 + static_cast<int>(random() % 16);
    for (int i = 0; i < length; ++i) name += alphabet[random() % alphabet.size()];
    if (name == L"." || name == L".." || !used.insert(name).second) continue;
    items.push_back({name, random() % 9 == 0});
  }
  for (int limit : {12, 30}) {
    for (int lowerCase : {0, 1}) {
      SCOPED_TRACE(std::to_string(limit) + " lower " + std::to_string(lowerCase));
      ImageClose(doc_);
      doc_ = ImageNew();
      doc_->isoNameLength = limit;
      doc_->jolietNameLength = 12;  // the shortest Joliet limit: many Joliet names collide too
      doc_->lowerCaseIsoNames = lowerCase;
      const std::vector<CTreeEntry*> entries = Fill(items);
      ASSERT_EQ(IsoNameTree(doc_, root(), nullptr), 0);
      std::vector<std::string> fast;
      std::vector<std::u16string> fastJoliet;
      for (const CTreeEntry* entry : entries) {
        fast.push_back(IsoId(entry));
        fastJoliet.push_back(JolietId(entry));
      }

      CNameIndex* isoIndex = NameIndexNew();
      CNameIndex* jolietIndex = NameIndexNew();
      for (CTreeEntry* entry : entries) {
        NameIndexAddWideName(isoIndex, entry);
        NameIndexAddWideName(jolietIndex, entry);
      }
      const auto isoFits = [&](const CTreeEntry* entry) {
        char plain[kIsoNameBufferSize];
        std::string bytes(plain, IsoMakeName(doc_, entry, entry->name, plain, 221, -1));
        if (limit != 12) return bytes.size() <= static_cast<size_t>(limit);
        const size_t dot = bytes.find('.');
        if (dot == std::string::npos) return bytes.size() <= 8;
        return dot <= 8 && bytes.size() - dot - 1 < 4;
      };
      for (CTreeEntry* entry : entries) {
        MemFree(entry->isoName);
        entry->isoName = nullptr;
        MemFree(entry->jolietName);
        entry->jolietName = nullptr;
      }
      for (int pass = 0; pass < 2; ++pass) {
        for (CTreeEntry* entry : entries) {
          if (entry->isoName == nullptr && (pass == 1 || isoFits(entry))) {
            ASSERT_EQ(IsoMakeUniqueName(doc_, entry, isoIndex), 1);
          }
        }
      }
      for (int pass = 0; pass < 2; ++pass) {
        for (CTreeEntry* entry : entries) {
          if (entry->jolietName == nullptr && (pass == 1 || U16(entry->name).size() <= 12)) {
            ASSERT_EQ(IsoNameFolder(doc_, entry, jolietIndex), 1);
          }
        }
      }
      for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(IsoId(entries[i]), fast[i]) << i;
        EXPECT_EQ(JolietId(entries[i]), fastJoliet[i]) << i;
      }
      NameIndexDelete(isoIndex);
      NameIndexDelete(jolietIndex);
    }
  }
}

// 100,000 names that all collide: the candidates tried stay in proportion to the entries (a search from 0 for
// each entry would try about five billion).
TEST_F(IsoNamesTest, HundredThousandCollidingNamesStayLinear) {
  constexpr int kCount = 100000;
  doc_->isoNameLength = 12;
  doc_->jolietNameLength = 64;
  std::vector<Item> items;
  for (int i = 0; i < kCount; ++i) {
    wchar_t tail[16];
    std::swprintf(tail, 16, L"%06d", i);
    items.push_back({L"verylongname " + std::wstring(60, L'z') + tail + L".txt"});
  }
  const std::vector<CTreeEntry*> entries = Fill(items);
  const int64_t before = IsoNameProbeCount();
  ASSERT_EQ(IsoNameTree(doc_, root(), nullptr), 0);
  const int64_t probes = IsoNameProbeCount() - before;
  EXPECT_LT(probes, int64_t{20} * kCount);
  std::set<std::string> iso;
  std::set<std::u16string> joliet;
  for (const CTreeEntry* entry : entries) {
    ASSERT_NE(entry->isoName, nullptr);
    EXPECT_TRUE(iso.insert(IsoId(entry)).second);
    EXPECT_TRUE(joliet.insert(JolietId(entry)).second);
  }
  EXPECT_EQ(IsoId(entries[0]), "VERYLONG.TXT");
  EXPECT_EQ(IsoId(entries[kCount - 1]), "VE~99998.TXT");
}

TEST_F(IsoNamesTest, AbortCodeStopsThePass) {
  Fill({{L"a"}, {L"b"}});
  AbortCodeSet(kAbortCancelled);
  EXPECT_EQ(IsoNameTree(doc_, root(), nullptr), -1);
}

}  // namespace
