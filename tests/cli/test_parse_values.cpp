// What the parser stores: the settings record and the current document after a command line is taken.
#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "cli/driver.h"
#include "cli/settings.h"
#include "image/document.h"
#include "session/document.h"
#include "support/run_program.h"

namespace {

// Parses `args` (the program name is added) in this process; returns the parser's result.
class Parsed {
 public:
  explicit Parsed(std::vector<std::wstring> args) : words_{L"kestrane"} {
    for (auto& a : args) words_.push_back(std::move(a));
    for (auto& w : words_) argv_.push_back(w.data());
    EXPECT_EQ(CliPrepare(), 0);
    CliSetArguments(static_cast<int>(argv_.size()), argv_.data());
    testing::internal::CaptureStdout();
    result = CliParseArgs();
    printed = testing::internal::GetCapturedStdout();
  }
  ~Parsed() { CliSetArguments(0, nullptr); }
  int result;
  std::string printed;

 private:
  std::vector<std::wstring> words_;
  std::vector<wchar_t*> argv_;
};

TEST(ParseValues, CommandsFillTheirArguments) {
  {
    Parsed p({L"list", L"a.iso", L"\\dir\\sub", L"-r", L"-y"});
    ASSERT_EQ(p.result, 0);
    EXPECT_EQ(g_settings->command, kCommandList);
    EXPECT_STREQ(g_settings->firstArgument, L"a.iso");
    EXPECT_STREQ(g_settings->secondArgument, L"/dir/sub");
    EXPECT_EQ(g_settings->switchFlags, kSwitchRecursive | kSwitchAssumeYes);
    EXPECT_EQ(g_settings->outputType, kOutputTypeBySuffix);
  }
  {
    Parsed p({L"extract", L"img.iso", L"a\\b", L"-od", L"out"});
    ASSERT_EQ(p.result, 0);
    EXPECT_STREQ(g_settings->firstArgument, L"./img.iso");
    EXPECT_STREQ(g_settings->secondArgument, L"a/b");
    EXPECT_STREQ(g_settings->outputFolder, L"out");
  }
  {
    Parsed p({L"extract", L"d:\\x.iso", L"/", L"-od", L"o"});
    EXPECT_STREQ(g_settings->firstArgument, L"d:/x.iso");
  }
  {
    // The word after create is kept and still parsed as a switch.
    Parsed p({L"create", L"-o", L"out.iso"});
    ASSERT_EQ(p.result, 0);
    EXPECT_EQ(g_settings->command, kCommandCreate);
    EXPECT_STREQ(g_settings->firstArgument, L"-o");
    EXPECT_STREQ(g_settings->outputFile, L"out.iso");
  }
  {
    Parsed p({L"copy-disc", L"/dev/sg1", L"/dev/sg2", L"-create-temp-file-for-copy", L"-verify", L"-eject"});
    EXPECT_EQ(g_settings->command, kCommandCopyDisc);
    EXPECT_STREQ(g_settings->firstArgument, L"/dev/sg1");
    EXPECT_STREQ(g_settings->drive, L"/dev/sg2");
    EXPECT_EQ(g_settings->switchFlags, kSwitchTempFileForCopy | kSwitchVerify | kSwitchEject);
  }
}

TEST(ParseValues, VolumeSizes) {
  struct Case {
    const wchar_t* text;
    int accepted;
    int64_t bytes;
  } cases[] = {
      {L"100M", 1, 104857600},        {L"8192G", 1, 8796093022208LL}, {L"1,000,000", 1, 1000000},
      {L"100M-200M", 1, 104857600},   {L" 128k ", 1, 131072},         {L"127K", 0, 0},
      {L"8193G", 0, 0},               {L"", 0, 0},                    {L"-5M", 0, 0},
      {L"10KB", 0, 0},                {L"18446744073709551615", 1, -1}, {L"18446744073709551616", 0, 0},
      {L"17179869184G", 0, 0},
  };
  for (const Case& c : cases) {
    int64_t bytes = 0;
    EXPECT_EQ(CliParseVolumeSizeText(c.text, &bytes), c.accepted) << c.text;
    if (c.accepted) {
      EXPECT_EQ(bytes, c.bytes) << c.text;
    }
  }
  Parsed p({L"-volsize", L"100M"});
  EXPECT_EQ(g_settings->saveOptions.splitVolumes, 1);
  EXPECT_EQ(g_settings->saveOptions.volumeSize, 104857600);
}

TEST(ParseValues, Speeds) {
  struct Case {
    const wchar_t* text;
    int accepted, kind;
    double factor;
    int message;
  } cases[] = {
      {L"dvd8x", 1, 2, 8.0, 0}, {L"CD2.5X", 1, 1, 2.5, 0}, {L"cd10x", 1, 1, 10.0, 0}, {L"bd2x", 1, 3, 2.0, 0},
      {L"8x", 0, 0, 0, 1},      {L"hd8x", 0, 0, 0, 0},     {L"cd8", 0, 0, 0, 1},      {L"cd-1x", 0, 0, 0, 1},
      {L"cdnanx", 0, 0, 0, 1},  {L"cd8zx", 0, 0, 0, 1},
  };
  for (const Case& c : cases) {
    int32_t kind = 0;
    double factor = 0;
    int message = -1;
    EXPECT_EQ(CliParseSpeedText(c.text, &kind, &factor, &message), c.accepted) << c.text;
    if (c.accepted) {
      EXPECT_EQ(kind, c.kind) << c.text;
      EXPECT_DOUBLE_EQ(factor, c.factor) << c.text;
    } else {
      EXPECT_EQ(message, c.message) << c.text;
    }
  }
}

TEST(ParseValues, DatesAreLocalTimesNormalisedByTheCalendar) {
  ASSERT_STREQ(getenv("TZ"), "UTC");
  int64_t time = 0;
  ASSERT_EQ(CliParseDateTimeText(L"02-30-2020:10:00:00", &time), 1);
  time_t t = static_cast<time_t>(time);
  struct tm out {};
  gmtime_r(&t, &out);
  EXPECT_EQ(out.tm_mon, 2);  // March
  EXPECT_EQ(out.tm_mday, 1);
  EXPECT_EQ(out.tm_hour, 10);
  ASSERT_EQ(CliParseDateTimeText(L"12:31:2800-23:59:59", &time), 1);
  EXPECT_GT(time, int64_t{INT32_MAX});  // far past 2038, kept whole
  for (const wchar_t* bad : {L"00-01-2020:00:00:00", L"01-32-2020:00:00:00", L"01-01-1899:00:00:00",
                             L"01-01-2801:00:00:00", L"01-01-2020:24:00:00", L"01-01-2020:00:60:00",
                             L"01-01-2020:00:00:60", L"01-01-2020::00:00", L"01-01-2020:00:00", L"1x-01-2020:00:00:00",
                             L"01-01-2020:00:00:00:", L""})
    EXPECT_EQ(CliParseDateTimeText(bad, &time), 0) << bad;
  Parsed p({L"-file-datetime", L"01-02-2021:03:04:05", L"-vol-effective-datetime", L"01-01-2000:00:00:00"});
  ASSERT_EQ(p.result, 0);
  EXPECT_EQ(CurrentImageGet()->fixedTime, 1609556645);
  EXPECT_EQ(CurrentImageGet()->volumeEffectiveTime, 946684800);
}

TEST(ParseValues, VolumeSwitchesChangeTheCurrentDocument) {
  Parsed p({L"-label", L"BACKUP", L"-joliet", L"1", L"-udf", L"ON", L"-iso-name-len", L"12", L"-joliet-name-len",
            L"64", L"-allow-lower-case-iso-name", L"-disable-optimization", L"-ot", L"Bin", L"-method", L"Better"});
  ASSERT_EQ(p.result, 0) << p.printed;
  CImageDocument* d = CurrentImageGet();
  EXPECT_STREQ(d->identifiers[kVolumeLabel], L"BACKUP");
  EXPECT_EQ(d->identifiersChanged, 1);
  EXPECT_EQ(d->jolietLevel, 1);
  EXPECT_EQ(d->udf, 1);
  EXPECT_EQ(d->isoNameLength, 12);
  EXPECT_EQ(d->jolietNameLength, 64);
  EXPECT_EQ(d->lowerCaseIsoNames, 1);
  EXPECT_EQ(d->storeIdenticalOnce, 0);
  EXPECT_EQ(g_settings->outputType, kOutputTypeBin);
  EXPECT_EQ(g_settings->saveOptions.compressionLevel, 2);
}

TEST(ParseValues, NewDocumentDefaults) {
  Parsed p({});
  CImageDocument* d = CurrentImageGet();
  EXPECT_EQ(d->inputType, kImageTypeQvf);
  EXPECT_EQ(d->jolietLevel, 3);
  EXPECT_EQ(d->isoNameLength, 221);
  EXPECT_EQ(d->jolietNameLength, 110);
  EXPECT_EQ(d->storeIdenticalOnce, 1);
  EXPECT_STREQ(d->identifiers[kVolumeSystemId], L"Win32");
  EXPECT_STREQ(d->identifiers[kVolumeApplicationId], L"Kestrane");
  // The label is the creation time, yyyymmdd_hhmm.
  time_t created = static_cast<time_t>(d->creationTime);
  struct tm local {};
  localtime_r(&created, &local);
  wchar_t expected[32];
  swprintf(expected, 32, L"%04d%02d%02d_%02d%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
           local.tm_hour, local.tm_min);
  EXPECT_STREQ(d->identifiers[kVolumeLabel], expected);
}

TEST(ParseValues, Passwords) {
  {
    Parsed p({L"-setpassword", L"58203146", L"-password", L"secret"});
    ASSERT_EQ(p.result, 0);
    EXPECT_EQ(g_settings->saveOptions.passwordSet, 1);
    EXPECT_STREQ(g_settings->saveOptions.password, "58203146");
    EXPECT_STREQ(g_settings->openPassword, L"secret");
  }
  {
    // 64 bytes is the limit, counted in the locale's bytes: 32 two-byte characters fit, 33 do not.
    setlocale(LC_CTYPE, "C.UTF-8");
    Parsed fits({L"-setpassword", std::wstring(32, L'\u00e9')});
    EXPECT_EQ(fits.result, 0);
    EXPECT_EQ(strlen(g_settings->saveOptions.password), 64u);
    Parsed over({L"-setpassword", std::wstring(33, L'\u00e9')});
    EXPECT_EQ(over.result, -1);
    EXPECT_EQ(g_settings->saveOptions.passwordSet, 0);
    setlocale(LC_CTYPE, "C");
  }
}

TEST(ParseValues, Comments) {
  setlocale(LC_CTYPE, "C.UTF-8");
  {
    Parsed p({L"-comment", L"caf\u00e9"});
    EXPECT_EQ(g_settings->saveOptions.commentLength, 5);
    EXPECT_STREQ(g_settings->saveOptions.comment, "caf\xc3\xa9");
  }
  {
    // 70,000 characters keep their first 65,536 bytes; a two-byte character is never cut in half.
    Parsed p({L"-comment", L"x" + std::wstring(70000, L'\u00e9')});
    EXPECT_EQ(g_settings->saveOptions.commentLength, 65535);
    EXPECT_EQ(g_settings->saveOptions.comment[65535], 0);
  }
  {
    Parsed p({L"-comment", L""});
    EXPECT_EQ(g_settings->saveOptions.commentLength, 0);
  }
  {
    std::string folder = MakeTestFolder("comment-from-file");
    std::ofstream(folder + "/c.txt", std::ios::binary) << std::string("note\0hidden", 11);
    std::wstring path(folder.begin(), folder.end());
    Parsed p({L"-comment-from-file", path + L"/c.txt"});
    ASSERT_EQ(p.result, 0);
    EXPECT_EQ(g_settings->saveOptions.commentLength, 4);
    EXPECT_STREQ(g_settings->saveOptions.comment, "note");
    std::ofstream(folder + "/big.txt", std::ios::binary) << std::string(100000, 'b');
    Parsed big({L"-comment-from-file", path + L"/big.txt"});
    EXPECT_EQ(g_settings->saveOptions.commentLength, 65536);
  }
  setlocale(LC_CTYPE, "C");
}

}  // namespace
