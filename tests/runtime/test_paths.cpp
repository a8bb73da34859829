#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "runtime/memory.h"
#include "runtime/paths.h"

namespace {

TEST(Paths, GetExtension) {
  struct Case {
    const wchar_t* path;
    const wchar_t* ext;
  } const cases[] = {
      {L"/data/Image.ISO", L"iso"},
      {L"/data/dir.old/file", L"old/file"},  // a '.' in a folder name counts
      {L"/data/noext", L""},
      {L"name.", L""},
      {L"a.tar.GZ", L"gz"},
      {L"/x/\u00c9t\u00c9.B\u00c9N", L"b\u00c9n"},  // only ASCII letters change case
  };
  for (const auto& c : cases) EXPECT_STREQ(PathGetExtension(c.path).c_str(), c.ext) << c.path;
  EXPECT_STREQ(PathGetExtension(nullptr).c_str(), L"");
}

TEST(Paths, FindLastDot) {
  const wchar_t* path = L"a.b/c.d";
  EXPECT_EQ(PathFindLastDot(path), path + 5);
  EXPECT_EQ(PathFindLastDot(L"none"), nullptr);
}

TEST(Paths, ChangeExtension) {
  struct Case {
    const wchar_t* path;
    const wchar_t* ext;
    int add;
    const wchar_t* result;
  } const cases[] = {
      {L"/img/disc.bin", L"cue", 0, L"/img/disc.cue"},
      {L"/img/disc.tar.gz", L"iso", 0, L"/img/disc.tar.iso"},
      {L"a.b/c", L"iso", 1, L"a.b/c.iso"},  // the search stops at '/'
      {L"a.b/c", L"iso", 0, L""},
      {L"a.b\\c", L"iso", 1, L"a.b\\c.iso"},
      {L"d:c", L"iso", 1, L"d:c.iso"},
      {L"file.", L"qvf", 0, L"file.qvf"},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(PathChangeExtension(c.path, c.ext, c.add).c_str(), c.result) << c.path << L" add " << c.add;
  }
}

TEST(Paths, DeviceNameOnlyAtTheStart) {
  EXPECT_EQ(PathIsDeviceName(L"/dev/sr0"), 1);
  EXPECT_EQ(PathIsDeviceName(L"/dev/sg3"), 1);
  EXPECT_EQ(PathIsDeviceName(L"/home/me/dev/disc.iso"), 0);
  EXPECT_EQ(PathIsDeviceName(L"images/dev/disc.iso"), 0);
  EXPECT_EQ(PathIsDeviceName(L"/dev"), 0);
  EXPECT_EQ(PathIsDeviceName(L""), 0);
  EXPECT_EQ(PathIsDeviceName(nullptr), 0);
  // A file in a memory file system below /dev is a file, not a drive.
  if (FILE* f = std::fopen("/dev/shm/kestrane-path-test.iso", "wb")) {
    std::fclose(f);
    EXPECT_EQ(PathIsDeviceName(L"/dev/shm/kestrane-path-test.iso"), 0);
    EXPECT_EQ(PathIsDeviceName(L"/dev/shm"), 0);
    std::remove("/dev/shm/kestrane-path-test.iso");
  }
}

TEST(Paths, DupAndReplace) {
  wchar_t* copy = WstrDupChars(L"a/b/c");
  ASSERT_NE(copy, nullptr);
  WcsReplaceChar(copy, L'/', L'\\');
  EXPECT_STREQ(copy, L"a\\b\\c");
  MemFree(copy);
  EXPECT_EQ(WstrDupChars(nullptr), nullptr);
}

// Output of MessageShow goes to the console; capture it to see whether a message was shown.
std::string Shown(const wchar_t* name, const wchar_t** result) {
  std::fflush(stdout);
  ::testing::internal::CaptureStdout();
  *result = CheckFileNameChars(name);
  std::fflush(stdout);
  return ::testing::internal::GetCapturedStdout();
}

TEST(Paths, CheckFileNameCharsTrimsAndRefuses) {
  const wchar_t* result = nullptr;
  EXPECT_EQ(Shown(L"  name.iso  ", &result), "");
  EXPECT_STREQ(result, L"name.iso");

  for (const wchar_t* quiet : {L"", L"    ", L".", L" .. "}) {
    EXPECT_EQ(Shown(quiet, &result), "") << quiet;
    EXPECT_EQ(result, nullptr) << quiet;
  }
  for (const wchar_t* bad : {L"a:b", L"x/y", L"q?", L"p|q", L"a\"b", L"<", L"b\\s", L"*", L">"}) {
    const std::string message = Shown(bad, &result);
    EXPECT_EQ(result, nullptr) << bad;
    EXPECT_NE(message.find("A file name cannot contain any of the following characters:\r\n\r\n"
                           "            \\ / : * ? \" < > |"),
              std::string::npos)
        << bad << ": " << message;
  }

  const std::wstring longName(2000, L'n');
  EXPECT_EQ(Shown(longName.c_str(), &result), "");
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(std::wcslen(result), 1024u);
}

// The one rule for names that come from an image and become local names, and for what counts as "." or "..".
TEST(Paths, LocalNamesAndDotNames) {
  struct Case {
    const wchar_t* name;
    int dot;
    const wchar_t* local;
    bool changed;
  } const cases[] = {
      {L".", 0, L"_", true},
      {L"..", 1, L"__", true},
      {L"...", -1, L"...", false},
      {L".hidden", -1, L".hidden", false},
      {L"a/b", -1, L"a_b", true},
      {L"x\\y:z*<>", -1, L"x_y_z___", true},
      {L"?|\"a. _", -1, L"?|\"a. _", false},
      {L"", -1, L"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << static_cast<const void*>(c.name));
    EXPECT_EQ(PathDotKind(c.name), c.dot);
    std::wstring local = c.name;
    EXPECT_EQ(PathMakeLocalName(&local), c.changed);
    EXPECT_EQ(local, c.local);
  }
  EXPECT_EQ(PathDotKind(nullptr), -1);
}

TEST(Paths, FormatThousands) {
  struct Case {
    uint64_t value;
    const wchar_t* text;
  } const cases[] = {
      {0, L"0"},
      {999, L"999"},
      {1000, L"1,000"},
      {1234567, L"1,234,567"},
      {UINT64_MAX, L"18,446,744,073,709,551,615"},
  };
  for (const auto& c : cases) EXPECT_STREQ(TextFormatThousands(c.value), c.text) << c.value;
}

TEST(Paths, FormatSize) {
  struct Case {
    uint64_t bytes;
    const wchar_t* text;
  } const cases[] = {
      {0, L"0 KB"},
      {1, L"0.1 KB"},  // a non-empty file never reads as empty
      {1024, L"1 KB"},
      {1536, L"1.5 KB"},
      {1572864, L"1.5 MB"},
      {0x3FFFFFFF, L"1024 MB"},
      {0x40000000, L"1 GB"},
      {2147483648ull, L"2 GB"},
      {10ull << 40, L"10240 GB"},
  };
  for (const auto& c : cases) EXPECT_STREQ(TextFormatSize(c.bytes), c.text) << c.bytes;

  EXPECT_STREQ(FormatSizeKbMb(0xFFFFF), L"1024 KB");
  EXPECT_STREQ(FormatSizeKbMb(0x100000), L"1 MB");
  EXPECT_STREQ(FormatSizeKbMb(2147483648ull), L"2048 MB");

  // Each unit has its own buffer: a KB text survives formatting an MB one.
  const wchar_t* kb = TextFormatSize(2048);
  const wchar_t* mb = TextFormatSize(3 << 20);
  EXPECT_STREQ(kb, L"2 KB");
  EXPECT_STREQ(mb, L"3 MB");
}

}  // namespace
