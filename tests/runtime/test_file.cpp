#include <fcntl.h>
#include <gtest/gtest.h>

#include "support/run_program.h"
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "runtime/file.h"
#include "runtime/hooks.h"
#include "runtime/memory.h"

namespace {

namespace fs = std::filesystem;

std::wstring W(const std::string& s) { return std::wstring(s.begin(), s.end()); }

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

class FileIo : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kestrane-file-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Path(const char* name) const { return dir_ + "/" + name; }

  std::string dir_;
};

uint8_t PatternByte(int64_t i) { return static_cast<uint8_t>(i % 251); }

TEST_F(FileIo, ReadsAtAnOffsetOrWhereThePreviousReadEnded) {
  std::string bytes;
  for (int i = 0; i < 1000; ++i) bytes.push_back(static_cast<char>(PatternByte(i)));
  WriteAll(Path("data"), bytes);
  FILE* f = FileOpenRead(W(Path("data")).c_str());
  ASSERT_NE(f, nullptr);

  struct Step {
    int64_t offset;
    size_t n;
    int64_t count;     // expected result of FileReadAtCount
    int64_t firstByte; // file offset of the first byte read
  };
  const Step steps[] = {
      {100, 10, 10, 100}, {-1, 5, 5, 110},  {-1, 3, 3, 115},  {0, 4, 4, 0},
      {995, 10, 5, 995},  {-1, 10, 0, 1000}, {-5, 1, -1, 0},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(testing::Message() << "offset " << s.offset << " n " << s.n);
    uint8_t buf[16] = {};
    ASSERT_EQ(FileReadAtCount(f, buf, s.offset, s.n), s.count);
    for (int64_t i = 0; i < s.count; ++i) EXPECT_EQ(buf[i], PatternByte(s.firstByte + i));
  }

  uint8_t buf[8];
  EXPECT_EQ(FileReadAt(f, buf, 995, 5), 1);
  EXPECT_EQ(FileReadAt(f, buf, 995, 6), 0);  // short
  ASSERT_EQ(FileSeek(f, 500), 1);
  EXPECT_EQ(FileSeek(f, -1), 1);
  EXPECT_EQ(ftello(f), 500);
  EXPECT_EQ(FileReadExact(f, buf, 2), 1);
  EXPECT_EQ(buf[0], PatternByte(500));
  EXPECT_EQ(buf[1], PatternByte(501));
  EXPECT_EQ(FileReadAt(f, nullptr, 0, 1), 0);
  EXPECT_EQ(FileReadAtCount(f, nullptr, 0, 1), -1);
  FileClose(f);
}

TEST_F(FileIo, NullStreamFailsEverywhere) {
  uint8_t buf[4] = {};
  EXPECT_EQ(FileSeek(nullptr, -1), 0);
  EXPECT_EQ(FileSeek(nullptr, 0), 0);
  EXPECT_EQ(FileReadAtCount(nullptr, buf, 0, 4), -1);
  EXPECT_EQ(FileReadAt(nullptr, buf, -1, 4), 0);
  EXPECT_EQ(FileWriteAtCount(nullptr, buf, -1, 4), -1);
  EXPECT_EQ(FileWriteAt(nullptr, buf, 0, 4), 0);
  EXPECT_EQ(FileGetSize(nullptr), 0);
  EXPECT_EQ(FileClose(nullptr), 0);
}

TEST_F(FileIo, WritesContinueAtTheCurrentPositionAndSizeRewinds) {
  FILE* f = FileCreate(W(Path("out")).c_str());
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(FileWriteAt(f, "abc", 10, 3), 1);
  EXPECT_EQ(FileWriteAtCount(f, "de", -1, 2), 2);
  EXPECT_EQ(FileWriteWideText(f, L"line\r\n", -1), 6);
  EXPECT_EQ(FileWriteWideText(f, L"", -1), -1);
  EXPECT_EQ(FileGetSize(f), 21);
  EXPECT_EQ(ftello(f), 0);  // callers read from the start after sizing
  EXPECT_EQ(FileWriteExactAt(f, "Z", -1, 1), 1);
  ASSERT_EQ(FileClose(f), 0);
  EXPECT_EQ(ReadFileBytes(Path("out")), std::string("Z") + std::string(9, '\0') + "abcdeline\r\n");
  EXPECT_EQ(FileGetSizeByPath(W(Path("out")).c_str()), 21);
  EXPECT_EQ(FileGetSizeByPath(W(Path("missing")).c_str()), -1);
}

TEST_F(FileIo, OffsetsBeyondFourGigabytes) {
  const int64_t far = (int64_t{5} << 30) + 7;
  FILE* f = FileOpenCreate(W(Path("sparse")).c_str());
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(FileWriteAt(f, "z", far, 1), 1);
  EXPECT_EQ(FileGetSize(f), far + 1);
  char c = 0;
  EXPECT_EQ(FileReadAt(f, &c, far, 1), 1);
  EXPECT_EQ(c, 'z');
  FileClose(f);
  EXPECT_EQ(FileGetSizeByPath(W(Path("sparse")).c_str()), far + 1);
}

TEST_F(FileIo, OpenModes) {
  WriteAll(Path("old"), "previous");
  EXPECT_EQ(FileOpenRead(W(Path("missing")).c_str()), nullptr);
  EXPECT_EQ(FileOpenReadWrite(W(Path("missing")).c_str()), nullptr);
  EXPECT_EQ(FileOpenRead(nullptr), nullptr);

  FILE* rw = FileOpenReadWrite(W(Path("old")).c_str());
  ASSERT_NE(rw, nullptr);
  EXPECT_EQ(FileWriteAt(rw, "P", 0, 1), 1);
  FileClose(rw);
  EXPECT_EQ(ReadFileBytes(Path("old")), "Previous");

  FILE* created = FileCreate2(W(Path("old")).c_str());
  ASSERT_NE(created, nullptr);
  FileClose(created);
  EXPECT_EQ(fs::file_size(Path("old")), 0u);
}

// Extraction writes through FileOpenCreate into folders whose names came from an image: a link planted at the
// target name must not carry the write elsewhere. The user's own output names (FileCreate) may be links.
TEST_F(FileIo, CreateForExtractionRefusesALinkAtTheName) {
  WriteAll(Path("target"), "keep");
  fs::create_symlink(Path("target"), Path("link"));
  EXPECT_EQ(FileOpenCreate(W(Path("link")).c_str()), nullptr);
  EXPECT_EQ(ReadFileBytes(Path("target")), "keep");

  FILE* f = FileCreate(W(Path("link")).c_str());
  ASSERT_NE(f, nullptr);
  FileClose(f);
  EXPECT_EQ(ReadFileBytes(Path("target")), "");
}

TEST_F(FileIo, DeleteAndRename) {
  WriteAll(Path("a"), "x");
  fs::create_directory(Path("folder"));
  struct Case {
    const char* what;
    int result;
    int expected;
  };
  const Case cases[] = {
      {"rename a to b", FileRename(W(Path("a")).c_str(), W(Path("b")).c_str()), 1},
      {"rename missing", FileRename(W(Path("a")).c_str(), W(Path("c")).c_str()), 0},
      {"delete b", FileDelete(W(Path("b")).c_str()), 1},
      {"delete b again", FileDelete(W(Path("b")).c_str()), 0},
      {"delete a folder", FileDelete(W(Path("folder")).c_str()), 0},
      {"delete null", FileDelete(nullptr), 0},
  };
  for (const Case& c : cases) EXPECT_EQ(c.result, c.expected) << c.what;
  EXPECT_TRUE(fs::is_directory(Path("folder")));
}

TEST_F(FileIo, OverwriteIsConfirmedOnlyForAnExistingFile) {
  // Nothing at the path: no question is asked (standard input is not read).
  EXPECT_EQ(FileConfirmOverwrite(W(Path("new")).c_str()), 0);
  FILE* f = FileCreateChecked(W(Path("new")).c_str());
  ASSERT_NE(f, nullptr);
  FileClose(f);
  EXPECT_TRUE(fs::exists(Path("new")));
}

// Standard input reads from a file for the life of the object.
class StdinFromFile {
 public:
  explicit StdinFromFile(const std::string& path) : saved_(dup(0)) {
    std::fflush(stdout);
    int fd = open(path.c_str(), O_RDONLY);
    dup2(fd, 0);
    close(fd);
    std::clearerr(stdin);
  }
  ~StdinFromFile() {
    dup2(saved_, 0);
    close(saved_);
    std::clearerr(stdin);
  }

 private:
  int saved_;
};

TEST_F(FileIo, OverwriteQuestionAnswers) {
  struct Case {
    const char* answer;
    bool opened;
    const char* contentAfter;
  };
  const Case cases[] = {{"n\n", false, "keep"}, {"y\n", true, ""}, {"maybe\nno\n", false, "keep"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    WriteAll(Path("exists"), "keep");
    WriteAll(Path("answer"), c.answer);
    FILE* f;
    {
      StdinFromFile input(Path("answer"));
      f = FileCreateChecked(W(Path("exists")).c_str());
    }
    EXPECT_EQ(f != nullptr, c.opened);
    FileClose(f);
    EXPECT_EQ(ReadFileBytes(Path("exists")), c.contentAfter);
  }
}

TEST_F(FileIo, RawDescriptors) {
  WriteAll(Path("dev"), "raw");
  int fd = RawFileOpen(W(Path("dev")).c_str());
  EXPECT_GT(fd, 0);
  RawFileClose(fd);
  EXPECT_EQ(RawFileOpen2(W(Path("missing")).c_str()), 0);
  RawFileClose(0);  // "not open": nothing to close
}

// Descriptor 0 means "not open" to every caller, so a device must never be handed out on it.
TEST(RawFileDeathTest, DescriptorIsNeverZero) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        close(0);
        int fd = RawFileOpen(L"/dev/null");
        bool ok = fd > 0 && fcntl(fd, F_GETFD) != -1 && fcntl(0, F_GETFD) == -1;
        std::_Exit(ok ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(FilePaths, SlashHelpers) {
  struct Case {
    const wchar_t* path;
    int endsWithSlash;
    const wchar_t* appended;
    const wchar_t* stripped;
  };
  const Case cases[] = {
      {L"/a/b", 0, L"/a/b/", L"/a/b"},
      {L"/a/b/", 1, L"/a/b/", L"/a/b"},
      {L"/a//", 1, L"/a//", L"/a/"},
      {L"", 0, L"/", L""},
      {L"/", 1, L"/", L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "path '" << testing::PrintToString(std::wstring(c.path)) << "'");
    EXPECT_EQ(PathEndsWithSlash(c.path), c.endsWithSlash);
    wchar_t buf[16];
    std::wcscpy(buf, c.path);
    EXPECT_EQ(PathAppendSlash(buf), std::wcslen(c.appended));
    EXPECT_STREQ(buf, c.appended);
    std::wcscpy(buf, c.path);
    EXPECT_EQ(PathStripTrailingSlash(buf), std::wcslen(c.stripped));
    EXPECT_STREQ(buf, c.stripped);
  }
  EXPECT_EQ(PathEndsWithSlash(nullptr), 0);
  EXPECT_EQ(PathAppendSlash(nullptr), 0u);
  EXPECT_EQ(PathStripTrailingSlash(nullptr), 0u);
  const wchar_t* p = L"/x/y/name";
  EXPECT_EQ(PathFindLastSlash(p), p + 4);
  EXPECT_EQ(PathFindLastSlash(L"name"), nullptr);
}

TEST(MemoryBlocks, ReallocCopiesTheSmallerSize) {
  const size_t sizes[][2] = {{8, 16}, {16, 4}, {32, 32}, {0, 8}};
  for (const auto& s : sizes) {
    SCOPED_TRACE(testing::Message() << s[0] << " -> " << s[1]);
    auto* old = static_cast<uint8_t*>(MemAlloc(s[0]));
    ASSERT_NE(old, nullptr);
    for (size_t i = 0; i < s[0]; ++i) old[i] = static_cast<uint8_t>(i + 1);
    auto* grown = static_cast<uint8_t*>(MemRealloc(old, s[0], s[1]));
    ASSERT_NE(grown, nullptr);
    for (size_t i = 0; i < std::min(s[0], s[1]); ++i) EXPECT_EQ(grown[i], i + 1);
    MemFree(grown);
  }
  void* fresh = MemRealloc(nullptr, 100, 8);
  EXPECT_NE(fresh, nullptr);
  MemFree(fresh);
  MemFree(nullptr);
}

TEST(MemoryBlocks, ZeroAllocIsCleared) {
  const std::vector<uint8_t> zeros(4096, 0);
  void* block = MemAllocAligned(4096, zeros.size());
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(std::memcmp(block, zeros.data(), zeros.size()), 0);
  MemFreeAligned(block);
}

// A failed allocation prints its size and leaves the caller's block alone. The child process runs with the
// sanitizer told to return null for impossible sizes instead of ending the process.
TEST(MemoryBlocksDeathTest, FailureReportsTheSizeAndKeepsTheOldBlock) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const char* previous = std::getenv("ASAN_OPTIONS");
  std::string saved = previous ? previous : "";
  setenv("ASAN_OPTIONS", (saved + (saved.empty() ? "" : ":") + "allocator_may_return_null=1").c_str(), 1);
  EXPECT_EXIT(
      {
        const size_t huge = size_t{1} << 62;
        auto* old = static_cast<char*>(MemAlloc(8));
        std::memcpy(old, "kestrel", 8);
        testing::internal::CaptureStdout();
        void* grown = MemRealloc(old, 8, huge);
        void* zeroed = MemZeroAlloc(huge);
        std::string printed = testing::internal::GetCapturedStdout();
        bool ok = grown == nullptr && zeroed == nullptr && std::memcmp(old, "kestrel", 8) == 0 &&
                  printed == "malloc failed: 4611686018427387904\r\nzmalloc failed: 4611686018427387904\r\n";
        MemFree(old);
        std::_Exit(ok ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
  if (previous)
    setenv("ASAN_OPTIONS", saved.c_str(), 1);
  else
    unsetenv("ASAN_OPTIONS");
}

// The child is a fresh process, so its first tick is the first of its life.
TEST(SysTickDeathTest, FirstCallIsOneMillionThenCountsUp) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        uint32_t first = SysGetTickCountMs();
        SysSleepMs2(30);
        uint32_t later = SysGetTickCountMs();
        std::_Exit(first == 1000000u && later - first >= 30 && later - first < 5000 ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(Hooks, WrappersKeepTheirStandardMeaning) {
  wchar_t text[] = L"Ab\u00e9z";
  EXPECT_STREQ(WideUpperCall(text), L"AB\u00e9Z");
  EXPECT_STREQ(WcsMakeLower(text), L"ab\u00e9z");
  const wchar_t* s = L"x";
  EXPECT_EQ(WideNextChar(s), s + 1);
  EXPECT_EQ(WideNextChar(s + 1), s + 1);  // never past the end
  EXPECT_EQ(WcsToInt64(L"-5000000000"), -5000000000LL);  // the full 64-bit range
}

}  // namespace
