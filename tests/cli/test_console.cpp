// Console output, progress lines, questions and password entry.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <clocale>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "cli/console.h"
#include "runtime/error.h"
#include "support/console_capture.h"

namespace {

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

TEST(ConsoleOutput, UnshowableCharactersBecomeQuestionMarksAndTheLineGoesOn) {
  setlocale(LC_CTYPE, "C");
  ConsoleSession session("");
  ConsolePrintf(L"%ls|%d\r\n", L"a\u00e9\U0001F600b", 42);
  EXPECT_EQ(session.Output(), "a??b|42\r\n");
}

TEST(ConsoleOutput, WideTextIsWrittenOnceInTheLocale) {
  setlocale(LC_CTYPE, "C.UTF-8");
  ConsoleSession session("");
  ConsolePrintf(L"%ls: %ls\r\n", L"caf\u00e9", L"\U0001F600");
  ConsolePrintfNarrow("%s %d\r\n", "narrow", 7);
  ConsolePrintDone();
  EXPECT_EQ(session.Output(), "caf\xc3\xa9: \xf0\x9f\x98\x80\r\nnarrow 7\r\n done.\r\n");
  setlocale(LC_CTYPE, "C");
}

// The UTF-8 writer takes ASCII eight characters at a time: texts whose other characters fall at each place of
// such a run, or after it, come out as the C library encodes them ('?' where it cannot).
TEST(ConsoleOutput, Utf8OutputMatchesTheLibraryAroundAsciiRuns) {
  setlocale(LC_CTYPE, "C.UTF-8");
  const std::wstring run = L"abcdefgh";
  std::vector<std::wstring> texts = {L"",
                                     L"a",
                                     L"abcdefg",
                                     run,
                                     run + run + L"xyz",
                                     L"\u00e9" + run,
                                     std::wstring(1, static_cast<wchar_t>(0xD800)) + run + L"\x7f\x80"};
  for (size_t at = 0; at < 9; ++at) {
    for (wchar_t other : {L'\u00e9', L'\u20ac', L'\U0001F600', static_cast<wchar_t>(0xDFFF)}) {
      std::wstring text = run + run;
      text[at] = other;
      texts.push_back(text);
    }
  }
  for (const std::wstring& text : texts) {
    std::string expected;
    std::mbstate_t state{};
    for (wchar_t c : text) {
      char bytes[MB_LEN_MAX];
      const size_t n = std::wcrtomb(bytes, c, &state);
      expected += n == static_cast<size_t>(-1) ? std::string("?") : std::string(bytes, n);
      if (n == static_cast<size_t>(-1)) state = std::mbstate_t{};
    }
    ConsoleSession session("");
    ConsolePrintText(text.c_str());
    EXPECT_EQ(session.Output(), expected) << text.size();
  }
  setlocale(LC_CTYPE, "C");
}

TEST(ConsoleOutput, LongPrintsKeepTheirFirst32767Characters) {
  ConsoleSession session("");
  std::wstring text(40000, L'x');
  ConsolePrintf(L"%ls", text.c_str());
  EXPECT_EQ(session.Output().size(), 32767u);
}

TEST(Progress, PercentagesAreDrawnOnlyWhenTheyChange) {
  ConsoleSession session("");
  ProgressBeginTotal(L"Copying", 1000000);
  for (int i = 0; i < 1000000; ++i) ProgressAdd(1);
  ProgressEnd();
  std::string out = session.Output();
  EXPECT_EQ(out.rfind("Copying ...     0%", 0), 0u);
  EXPECT_EQ(Count(out, "%"), 1u + 101u + 1u);  // the begin, 0..100, the end
  EXPECT_NE(out.find("\b\b\b\b\b\b   50%"), std::string::npos);
}

TEST(Progress, OverrunShowsHundredAndZeroTotalShowsNothing) {
  {
    ConsoleSession session("");
    ProgressBegin(L"Work");
    ProgressShowPercent(500, 100);
    EXPECT_EQ(session.Output(), "Work ...     0%\b\b\b\b\b\b  100%");
  }
  {
    ConsoleSession session("");
    ProgressBeginTotal(L"Empty", 0);
    ProgressAdd(10);
    ProgressEndText(L" done.");
    EXPECT_EQ(session.Output(), "Empty ...     0%\b\b\b\b\b\b done.");
  }
}

struct AskCase {
  const char* input;
  bool assumeYes;
  int expected;
  int prompts;  // how many times the question was shown
};

TEST(Questions, YesNoQuestion) {
  const AskCase cases[] = {
      {"y\n", false, kAskYes, 1},       {"YES\n", false, kAskYes, 1},   {"No\n", false, kAskNo, 1},
      {"maybe\nn\n", false, kAskNo, 2}, {"yes \n", false, kAskNo, 2},  // a trailing blank is not an answer
      {"", false, kAskNo, 1},           {"garbage", false, kAskNo, 2}, {"", true, kAskYes, 1},
      {"y\r\n", false, kAskYes, 1},
  };
  for (const AskCase& c : cases) {
    ConsoleSession session(c.input, c.assumeYes);
    EXPECT_EQ(ConsoleAsk(L"Go on? ", kAskYes | kAskNo), c.expected) << c.input;
    std::string out = session.Output();
    EXPECT_EQ(Count(out, "Go on? (y/n): "), static_cast<size_t>(c.prompts)) << c.input;
    if (c.assumeYes) {
      EXPECT_EQ(out, "Go on? (y/n): Yes\r\n");
    }
  }
}

TEST(Questions, OfferedChoicesAreShownInOrder) {
  ConsoleSession session("c\n");
  EXPECT_EQ(ConsoleAsk(L"Q", kAskCancel | kAskOk | kAskNo | kAskYes), kAskCancel);
  EXPECT_EQ(session.Output(), "Q(y/n/Ok/Cancel): ");
}

TEST(Questions, OverwriteQuestion) {
  const AskCase cases[] = {
      {"y\n", false, kAnswerYesOne, 1},       {"n\n", false, kAnswerNoOne, 1},
      {"YESALL\n", false, kAnswerYesAll, 1},  {"noall\n", false, kAnswerNoAll, 1},
      {"Cancel\n", false, kAnswerCancelAll, 1}, {"all\nc\n", false, kAnswerCancelAll, 2},
      {"", false, kAnswerNoAll, 1},           {"", true, kAnswerYesOne, 1},
  };
  for (const AskCase& c : cases) {
    ConsoleSession session(c.input, c.assumeYes);
    EXPECT_EQ(ConsoleAskOverwrite(L"/out/a.txt", 0), c.expected) << c.input;
    std::string out = session.Output();
    EXPECT_EQ(Count(out, "/out/a.txt: The file already exists. Do you want to overwrite it?(Yes/No/YesAll/NoAll/Cancel):"),
              static_cast<size_t>(c.prompts))
        << c.input;
    if (c.assumeYes) {
      EXPECT_NE(out.find("(Yes/No/YesAll/NoAll/Cancel):Yes\r\n"), std::string::npos);
    }
  }
  ConsoleSession session("n\n");
  ConsoleAskOverwrite(L"f", 1);
  EXPECT_EQ(session.Output(),
            "f: The file already exists with read-only attribute. Do you want to overwrite it?"
            "(Yes/No/YesAll/NoAll/Cancel):\r\n");
}

TEST(Questions, TreeOverwriteQuestionRemembersAndCancels) {
  {
    ConsoleSession session("NoAll\n");
    OverwriteAnswerSet(0);
    EXPECT_EQ(MessageAskOverwrite(L"/img", L"a.txt"), kAnswerNoAll);
    EXPECT_EQ(session.Output(),
              "a.txt: The file or folder name already exists. Do you want to overwrite it?"
              "(Yes/No/YesAll/NoAll/Cancel):\r\n");
  }
  {
    ConsoleSession session("");  // never read
    OverwriteAnswerSet(kAnswerYesAll);
    EXPECT_EQ(MessageAskOverwrite(L"/img", L"b.txt"), kAnswerYesAll);
    OverwriteAnswerSet(kAnswerCancelAll);
    AbortCodeSet(0);
    EXPECT_EQ(MessageAskOverwrite(L"/img", L"b.txt"), kAnswerCancelAll);
    EXPECT_EQ(AbortCodeGet(), kAbortCancelled);
    EXPECT_EQ(session.Output(), "");
  }
  {
    ConsoleSession session("");  // end of input: NoAll, and the work goes on
    OverwriteAnswerSet(0);
    AbortCodeSet(0);
    EXPECT_EQ(MessageAskOverwrite(L"/img", L"c.txt"), kAnswerNoAll);
    EXPECT_EQ(AbortCodeGet(), 0);
  }
  OverwriteAnswerSet(0);
  AbortCodeSet(0);
}

TEST(Questions, WrongPasswordNotice) {
  ConsoleSession session("");
  int32_t answer = 0;
  QuestionAsk(kQuestionWrongPassword, 0, 0, 0, nullptr, nullptr, nullptr, &answer, nullptr, nullptr, nullptr);
  EXPECT_EQ(answer, 1);
  CQuestion hidden{};
  hidden.kind = kQuestionOverwrite;
  hidden.flags = 4;
  EXPECT_NE(QuestionDispatch(&hidden), 0);
  EXPECT_EQ(session.Output(), "The password is wrong. \r\n");
}

TEST(Password, ReadFromAPipe) {
  ConsoleSession session("s3cret\nnext\n");
  wchar_t buffer[128];
  ASSERT_NE(ConsoleReadPassword(buffer, 128), nullptr);
  EXPECT_STREQ(buffer, L"s3cret");
  ASSERT_NE(ConsoleReadLine(buffer, 3), nullptr);  // a line longer than the buffer: the rest is dropped
  EXPECT_STREQ(buffer, L"ne");
  EXPECT_EQ(ConsoleReadLine(buffer, 128), nullptr);
}

TEST(Password, EchoIsOffOnATerminalWhileTyping) {
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  int savedStdin = dup(0);
  dup2(slave, 0);
  clearerr(stdin);
  // The "user" types only once echo is off, as a person at the prompt would.
  std::thread typist([&] {
    for (int i = 0; i < 500; ++i) {
      termios t;
      if (tcgetattr(slave, &t) == 0 && !(t.c_lflag & ECHO)) break;
      usleep(2000);
    }
    ASSERT_EQ(write(master, "hidden\n", 7), 7);
  });
  testing::internal::CaptureStdout();
  wchar_t buffer[64];
  wchar_t* got = ConsoleReadPassword(buffer, 64);
  testing::internal::GetCapturedStdout();
  typist.join();
  termios after;
  ASSERT_EQ(tcgetattr(slave, &after), 0);
  EXPECT_TRUE(after.c_lflag & ECHO);  // restored
  ASSERT_NE(got, nullptr);
  EXPECT_STREQ(buffer, L"hidden");
  // Nothing of the password came back to the terminal.
  std::string echoed;
  char chunk[256];
  fcntl(master, F_SETFL, O_NONBLOCK);
  for (ssize_t n; (n = read(master, chunk, sizeof chunk)) > 0;) echoed.append(chunk, static_cast<size_t>(n));
  EXPECT_EQ(echoed.find("hidden"), std::string::npos) << echoed;
  dup2(savedStdin, 0);
  close(savedStdin);
  clearerr(stdin);
  close(slave);
  close(master);
}

}  // namespace
