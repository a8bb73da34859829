#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "runtime/ptrarray.h"
#include "runtime/tempfiles.h"

namespace {

namespace fs = std::filesystem;

std::wstring W(const std::string& s) { return std::wstring(s.begin(), s.end()); }
std::string N(const wchar_t* s) {
  std::string out;
  for (; *s; ++s) out.push_back(static_cast<char>(*s));
  return out;
}

void Touch(const std::string& path, const char* text = "x") { std::ofstream(path) << text; }

unsigned ModeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFF;
}

class TempFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kestrane-temp-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    base_ = pattern;
  }
  void TearDown() override { fs::remove_all(base_); }
  std::string Path(const std::string& name) const { return base_ + "/" + name; }
  std::string Folder() const { return Path("$Kestrane$"); }

  std::string base_;
};

TEST_F(TempFiles, FolderCreatePathMakesEveryPrefixBeforeASlash) {
  Touch(Path("file"));
  struct Case {
    const char* path;
    int result;
    const char* madeDeepest;   // relative; null when nothing is expected
    const char* notMade;
  };
  const Case cases[] = {
      {"a/b/c", 1, "a/b", "a/b/c"},
      {"d/e/f/", 1, "d/e/f", nullptr},
      {"a/b/c", 1, "a/b", "a/b/c"},  // again: the folders exist, which is no failure
      {"file/x/y", 0, nullptr, "file/x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    errno = 0;
    EXPECT_EQ(FolderCreatePath(nullptr, W(Path(c.path)).c_str()), c.result);
    if (c.result == 1) {
      EXPECT_EQ(errno, 0) << "an existing folder must not leave an error behind";
    }
    if (c.madeDeepest) {
      EXPECT_TRUE(fs::is_directory(Path(c.madeDeepest)));
    }
    if (c.notMade) {
      EXPECT_FALSE(fs::exists(Path(c.notMade)));
    }
  }
}

TEST_F(TempFiles, FolderDeleteTreeRemovesEverythingButNeverFollowsALink) {
  fs::create_directories(Path("outside/inner"));
  Touch(Path("outside/keep"));
  for (const char* path : {"t", "t/"}) {
    SCOPED_TRACE(path);
    fs::create_directories(Path("t/sub/deeper"));
    Touch(Path("t/f1"));
    Touch(Path("t/sub/f2"));
    Touch(Path("t/sub/deeper/f3"));
    fs::create_directory_symlink(Path("outside"), Path("t/sub/dirlink"));
    fs::create_symlink(Path("outside/keep"), Path("t/filelink"));
    fs::create_symlink(Path("nowhere"), Path("t/dangling"));
    EXPECT_EQ(FolderDeleteTree(W(Path(path)).c_str()), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(Path("t"))));
    EXPECT_TRUE(fs::exists(Path("outside/keep")));
    EXPECT_TRUE(fs::is_directory(Path("outside/inner")));
  }
  // A link given as the folder itself is left alone, with or without a final '/'.
  fs::create_directory_symlink(Path("outside"), Path("dirlink"));
  for (const char* path : {"dirlink", "dirlink/"}) {
    FolderDeleteTree(W(Path(path)).c_str());
    EXPECT_TRUE(fs::is_symlink(Path("dirlink"))) << path;
    EXPECT_TRUE(fs::exists(Path("outside/keep"))) << path;
  }
}

enum class Planted { kNothing, kPlainFile, kOwnOpenFolder, kLinkToFolder, kForeignFolder };

TEST_F(TempFiles, FolderIsOurOwnPrivateDirectoryOrUnusable) {
  struct Case {
    const char* what;
    Planted planted;
    bool usable;
  };
  const Case cases[] = {
      {"nothing", Planted::kNothing, true},
      {"a plain file", Planted::kPlainFile, true},
      {"our folder open to others", Planted::kOwnOpenFolder, true},
      {"a link to a folder", Planted::kLinkToFolder, false},
      {"another user's folder", Planted::kForeignFolder, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(Folder());
    fs::remove_all(Path("elsewhere"));
    fs::create_directory(Path("elsewhere"));
    switch (c.planted) {
      case Planted::kNothing:
        break;
      case Planted::kPlainFile:
        Touch(Folder());
        break;
      case Planted::kOwnOpenFolder:
        fs::create_directory(Folder());
        chmod(Folder().c_str(), 0777);
        break;
      case Planted::kLinkToFolder:
        fs::create_directory_symlink(Path("elsewhere"), Folder());
        break;
      case Planted::kForeignFolder:
        if (geteuid() != 0) continue;  // only root can give a folder away
        fs::create_directory(Folder());
        ASSERT_EQ(chown(Folder().c_str(), 65534, 65534), 0);
        chmod(Folder().c_str(), 0777);
        break;
    }
    EXPECT_EQ(TempFolderInitAt(W(base_).c_str()), c.usable ? 1 : 0);
    CWideString path;
    FILE* f = TempFileCreateUnique(L"probe", L".tmp", path);
    if (c.usable) {
      ASSERT_NE(TempFolderGetPath(), nullptr);
      EXPECT_EQ(N(TempFolderGetPath()), Folder() + "/");
      EXPECT_EQ(ModeOf(Folder()), 0700u);
      EXPECT_NE(f, nullptr);
    } else {
      EXPECT_EQ(TempFolderGetPath(), nullptr);
      EXPECT_EQ(f, nullptr);
      EXPECT_TRUE(fs::is_empty(Path("elsewhere")));
    }
    if (f) std::fclose(f);
  }
}

TEST_F(TempFiles, UniqueFilesAreNewAndPrivate) {
  ASSERT_EQ(TempFolderInitAt(W(base_ + "/").c_str()), 1);
  const std::string folder = Folder() + "/";
  std::set<std::string> seen;
  for (int i = 0; i < 3; ++i) {
    CWideString path;
    FILE* f = TempFileCreateUnique(L"kestranecopy", L".tmp", path);
    ASSERT_NE(f, nullptr);
    std::string p = N(path.c_str());
    EXPECT_TRUE(seen.insert(p).second) << p;
    EXPECT_EQ(p.rfind(folder + "kestranecopy", 0), 0u) << p;
    EXPECT_EQ(p.substr(p.size() - 4), ".tmp");
    EXPECT_EQ(ModeOf(p), 0600u);
    EXPECT_EQ(std::fputs("data", f), 1);
    std::fclose(f);
    EXPECT_EQ(fs::file_size(p), 4u);
  }
  CWideString path;
  EXPECT_EQ(TempFileCreateUnique(L"../escape", L"", path), nullptr);
  EXPECT_EQ(TempFileCreateUnique(L"x", L"/y", path), nullptr);

  // Removed behind our back (a cleaner of /tmp): made again, still private.
  fs::remove_all(Folder());
  FILE* f = TempFileCreateUnique(L"again", L"", path);
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  EXPECT_EQ(ModeOf(Folder()), 0700u);
}

TEST_F(TempFiles, PurgeClosesAndDeletesEveryRegisteredFile) {
  ASSERT_EQ(g_tempFileList.GetCount(), 0);
  Touch(Path("closed"));
  FILE* open = std::fopen(Path("open").c_str(), "w");
  ASSERT_NE(open, nullptr);
  EXPECT_EQ(TempFileAdd(W(Path("open")).c_str(), open, 0), 1);
  EXPECT_EQ(TempFileAdd(W(Path("closed")).c_str(), nullptr, 0), 1);
  EXPECT_EQ(TempFileAdd(W(Path("never-made")).c_str(), nullptr, 0), 1);
  EXPECT_EQ(g_tempFileList.GetCount(), 3);
  EXPECT_TRUE(fs::exists(Path("open")));
  TempFilePurge();
  EXPECT_EQ(g_tempFileList.GetCount(), 0);
  EXPECT_FALSE(fs::exists(Path("open")));
  EXPECT_FALSE(fs::exists(Path("closed")));

  Touch(Path("now"));
  EXPECT_EQ(TempFileAdd(W(Path("now")).c_str(), nullptr, 1), 1);
  EXPECT_FALSE(fs::exists(Path("now")));
  EXPECT_EQ(g_tempFileList.GetCount(), 0);
}

}  // namespace
