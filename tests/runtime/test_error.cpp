// The last error, its texts, and the reports built from it.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "runtime/error.h"
#include "support/console_capture.h"

namespace {

std::string Narrow(const wchar_t* text) {
  std::string out;
  for (const wchar_t* p = text; *p; ++p) out.push_back(static_cast<char>(*p));
  return out;
}

TEST(LastError, TextFollowsTheCodeUnlessATextWasSet) {
  LastErrorSetText(nullptr);
  errno = ENOENT;
  EXPECT_EQ(Narrow(LastErrorGetText()), std::string(strerror(ENOENT)));
  LastErrorSetCode(0);
  EXPECT_EQ(errno, 0);
  EXPECT_STREQ(LastErrorGetText(), L"Error occured.");
  LastErrorSetCode(kErrorNoMedia);
  EXPECT_STREQ(LastErrorGetText(), L"There is no media in the drive.");
  LastErrorSetText(L"explicit");
  EXPECT_STREQ(LastErrorGetText(), L"explicit");
  LastErrorSetText(nullptr);
  EXPECT_EQ(LastErrorGetCode(), 0);
  EXPECT_STREQ(LastErrorGetText(), L"Error occured.");
  LastErrorSetText(std::wstring(2000, L'x').c_str());
  EXPECT_EQ(wcslen(LastErrorGetText()), 511u);
  LastErrorSetText(nullptr);
}

TEST(LastError, SenseDataMapsToDeviceCodes) {
  uint8_t sense[18] = {0x70};
  struct Case {
    uint8_t key, asc, ascq;
    int32_t before, after;
  } cases[] = {
      {0x02, 0x3A, 0x01, 0, kErrorNoMedia},      {0x02, 0x3A, 0x00, 0, kErrorNotReady},
      {0x12, 0x04, 0x01, 0, kErrorNotReady},     // only the low nibble of the key counts
      {0x03, 0x11, 0x06, 0, kErrorCdc},          {0x04, 0x3E, 0x02, 0, kErrorDeviceIo},
      {0x05, 0x24, 0x00, 0, kErrorDeviceRead},   // no row: the fallback
      {0x05, 0x24, 0x00, kErrorCdc, kErrorCdc},  // no row, a code already set: kept
  };
  for (const Case& c : cases) {
    LastErrorSetText(nullptr);
    LastErrorSetCode(c.before);
    sense[2] = c.key;
    sense[12] = c.asc;
    sense[13] = c.ascq;
    EXPECT_EQ(LastErrorSetFromSense(sense, kErrorDeviceRead), 1);
    EXPECT_EQ(LastErrorGetCode(), c.after) << int(c.key) << " " << int(c.asc);
  }
  LastErrorSetText(nullptr);
}

TEST(ErrorReports, ReportNamesTheErrorThenThePathAndClears) {
  ConsoleSession session("");
  LastErrorSetCode(kErrorDeviceIo);
  ErrorReport(L"/dev/sg1");
  EXPECT_EQ(LastErrorGetCode(), 0);
  LastErrorSetText(L"Disk full");
  ErrorReport(nullptr);
  EXPECT_EQ(session.Output(), "Device I/O error.: /dev/sg1\r\n\r\nDisk full\r\n");
}

TEST(ErrorReports, BurnJobModeNamesEachFailingPathOnce) {
  ConsoleSession session("");
  ErrorSetBurnJobMode(1);
  LastErrorReportPathOnce(nullptr, 1);
  for (const wchar_t* path : {L"/a.iso", L"/A.ISO", L"/b.iso", L"/a.iso"}) {
    LastErrorSetText(L"read failed");
    ErrorReport(path);
  }
  ErrorSetBurnJobMode(0);
  LastErrorReportPathOnce(nullptr, 1);
  LastErrorSetText(nullptr);
  EXPECT_EQ(session.Output(), "/a.iso: read failed\r\n/b.iso: read failed\r\n/a.iso: read failed\r\n");
}

TEST(ErrorReports, ImageOpenMessages) {
  struct Case {
    int32_t code;
    const char* printed;
  } cases[] = {
      {6, ""},
      {8, "x.iso: The file format is invalid or unsupported.\r\n"},
      {11, ""},
      {17, "x.iso\r\n\r\nPlease insert an Audio CD in the drive.\r\n"},
      {19, "x.iso: The password is wrong or the archive is corrupt.\r\n"},
      {99, ""},
  };
  for (const Case& c : cases) {
    ConsoleSession session("");
    ImageOpenErrorReport(L"x.iso", c.code);
    EXPECT_EQ(session.Output(), c.printed) << c.code;
  }
  ConsoleSession session("");
  LastErrorSetText(L"Can not read compressed image file. ");
  ImageOpenErrorReport(L"y.dmg", 16);
  EXPECT_EQ(session.Output(), "y.dmg: Can not read compressed image file. \r\n");
  LastErrorSetText(nullptr);
}

TEST(ErrorReports, PasswordLengthIsCheckedBeforeCopying) {
  ConsoleSession session("");
  char out[65];
  std::memset(out, 'z', sizeof out);
  EXPECT_EQ(PasswordCopyChecked(std::wstring(200, L'p').c_str(), out, 0, 64), 0);
  EXPECT_EQ(out[0], 'z');  // untouched
  EXPECT_EQ(PasswordCopyChecked(L"", out, 1, 64), 0);
  EXPECT_EQ(PasswordCopyChecked(L"pw", out, 0, 64), 1);
  EXPECT_STREQ(out, "pw");
  EXPECT_EQ(session.Output(), "The password must be between 1-64 characters in length\r\n");
}

TEST(ErrorState, ResetAndClear) {
  AbortCodeSet(kAbortImageRead);
  AnswerWordSet(2);
  ErrorStateSetFileName(L"file.txt");
  ErrorStateClear();
  EXPECT_EQ(AbortCodeGet(), 0);
  EXPECT_EQ(AnswerWordGet(), 2);
  EXPECT_EQ(ErrorStateGetFileName(), nullptr);
  AbortCodeRaise(kAbortWriteFailed);
  AbortCodeRaise(kAbortCancelled);
  EXPECT_EQ(AbortCodeGet(), kAbortWriteFailed);
  ErrorStateReset();
  EXPECT_EQ(AnswerWordGet(), 0);
  EXPECT_EQ(AbortCodeGet(), 0);
}

}  // namespace
