// Password scrambling of QVF chunks, the password check block and the password prompt.
#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "cli/console.h"
#include "cli/settings.h"
#include "qvf/cipher.h"
#include "support/console_capture.h"

namespace {

// Passwords that reach every branch of the table derivation: first bytes with and without the 0x18 shuffle
// bits, with zero and non-zero low three bits, a single byte, bytes above 0x7F and a long one.
const std::vector<std::string> kPasswords = {
    "a", "\x18", "\x07", "password", "\xff\xfe\x01\x80", "\x98\x10zz\xc3\xa9", std::string(64, '\xd9'),
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ!?",
};

// The derivation read literally: every advance walks one position at a time, however many turns that takes.
int NaiveAdvance(int d, int s, int lo, int hi, const std::vector<bool>& used) {
  while (s > 0) {
    d = d == hi ? lo : d + 1;
    if (!used[d]) --s;
  }
  return d;
}

std::vector<int> NaiveTable(const std::string& password, int n) {
  const int t = 2 * n;
  const auto p = [&](int k) { return static_cast<int>(static_cast<uint8_t>(password[k])); };
  const int len = static_cast<int>(password.size());
  std::vector<int> table(t);
  std::vector<bool> used(t, false);
  int d;
  if (n <= 32) {
    d = std::min(p(0) / 32, t - 1);
    for (int k = 0; k < t; ++k) {
      d = NaiveAdvance(d, 11, 0, t - 1, used);
      table[k] = d;
      used[d] = true;
    }
    return table;
  }
  d = 32 + p(0) / 32;
  table[0] = d;
  used[d] = true;
  for (int k = 1; k <= t - 33; ++k) {
    d = NaiveAdvance(d, k < len && p(k) != 0 ? p(k) : 11, 32, t - 1, used);
    table[k] = d;
    used[d] = true;
  }
  for (int k = t - 32; k < t; ++k) {
    d = NaiveAdvance(d, (p(0) & 7) ? (p(0) & 7) : 7, 0, t - 1, used);
    table[k] = d;
    used[d] = true;
  }
  if (p(0) & 0x18) {
    std::vector<int> old = table;
    used.assign(t, false);
    d = 0;
    for (int k = 0; k < t; ++k) {
      d = NaiveAdvance(d, p(0) & 0x18, 0, t - 1, used);
      table[k] = old[d];
      used[d] = true;
    }
  }
  return table;
}

struct Cipher {
  CQvfCipher c{};
  explicit Cipher(const std::string& password) {
    EXPECT_EQ(QvfCipherBuildTables(&c, password.data(), static_cast<int32_t>(password.size())), 1);
  }
  std::vector<int> Table(int n) const {
    const uint8_t* t = QvfCipherTable(&c, n);
    return t ? std::vector<int>(t, t + 2 * n) : std::vector<int>{};
  }
};

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(n);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

TEST(QvfCipherTables, EveryTableIsAPermutationAndFollowsTheDerivation) {
  for (const std::string& password : kPasswords) {
    Cipher cipher(password);
    for (int n = 1; n <= kQvfCipherPiece; ++n) {
      std::vector<int> table = cipher.Table(n);
      ASSERT_EQ(table.size(), static_cast<size_t>(2 * n));
      std::vector<int> sorted = table;
      std::sort(sorted.begin(), sorted.end());
      std::vector<int> identity(2 * n);
      std::iota(identity.begin(), identity.end(), 0);
      ASSERT_EQ(sorted, identity) << "n=" << n << " password=" << password;
      ASSERT_EQ(table, NaiveTable(password, n)) << "n=" << n << " password=" << password;
    }
  }
}

TEST(QvfCipherTables, SmallTablesWorkedByHand) {
  // 'a' = 97: the cursor starts at min(97 / 32, t - 1).
  EXPECT_EQ(Cipher("a").Table(1), (std::vector<int>{0, 1}));
  EXPECT_EQ(Cipher("a").Table(2), (std::vector<int>{2, 0, 1, 3}));
  EXPECT_EQ(Cipher("\x01").Table(1), (std::vector<int>{1, 0}));
  // Enciphering picks input nibbles by the table: nibbles 1,2,3,4 through {2,0,1,3} give 3,1,2,4.
  Cipher a("a");
  const uint8_t plain[2] = {0x21, 0x43};
  uint8_t out[2];
  ASSERT_EQ(QvfCipherEncryptBuffer(&a.c, plain, out, 2), 1);
  EXPECT_EQ(out[0], 0x13);
  EXPECT_EQ(out[1], 0x42);
  Cipher one("\x01");
  const uint8_t single = 0xAB;
  uint8_t swapped = 0;
  ASSERT_EQ(QvfCipherEncryptBuffer(&one.c, &single, &swapped, 1), 1);
  EXPECT_EQ(swapped, 0xBA);
}

TEST(QvfCipherTables, OnlyTheFirstByteMattersUpTo32Bytes) {
  Cipher first("apple"), second("azure-and-more");
  for (int n = 1; n <= 32; ++n) EXPECT_EQ(first.Table(n), second.Table(n)) << n;
  bool differs = false;
  for (int n = 33; n <= kQvfCipherPiece; ++n) differs = differs || first.Table(n) != second.Table(n);
  EXPECT_TRUE(differs);
}

TEST(QvfCipherTables, RefusesAnEmptyPasswordAndCannotScrambleWithout) {
  CQvfCipher cipher{};
  EXPECT_EQ(QvfCipherBuildTables(&cipher, "", 0), 0);
  EXPECT_EQ(QvfCipherTable(&cipher, 1), nullptr);
  uint8_t byte = 1;
  EXPECT_EQ(QvfCipherEncryptBuffer(&cipher, &byte, &byte, 1), 0);
  EXPECT_EQ(QvfCipherDecryptBuffer(&cipher, &byte, &byte, 1), 0);
  ASSERT_EQ(QvfCipherBuildTables(&cipher, "x", 1), 1);
  EXPECT_EQ(QvfCipherTable(&cipher, 0), nullptr);
  EXPECT_EQ(QvfCipherTable(&cipher, 129), nullptr);
  QvfCipherFree(&cipher);
  EXPECT_EQ(QvfCipherTable(&cipher, 1), nullptr);
  EXPECT_EQ(QvfCipherTable(&cipher, 1), nullptr);
}

TEST(QvfCipherBuffers, RoundTripEveryLengthInPlaceAndApart) {
  for (const std::string& password : {std::string("password"), std::string("\x18"), std::string("a")}) {
    Cipher cipher(password);
    const std::vector<uint8_t> plain = RandomBytes(300, 7);
    for (size_t length = 1; length <= plain.size(); ++length) {
      std::vector<uint8_t> scrambled(length), back(length);
      ASSERT_EQ(QvfCipherEncryptBuffer(&cipher.c, plain.data(), scrambled.data(), length), 1);
      ASSERT_EQ(QvfCipherDecryptBuffer(&cipher.c, scrambled.data(), back.data(), length), 1);
      ASSERT_TRUE(std::equal(back.begin(), back.end(), plain.begin())) << "length " << length;
      std::vector<uint8_t> inPlace(plain.begin(), plain.begin() + static_cast<long>(length));
      ASSERT_EQ(QvfCipherEncryptBuffer(&cipher.c, inPlace.data(), inPlace.data(), length), 1);
      ASSERT_EQ(inPlace, scrambled) << "length " << length;
      ASSERT_EQ(QvfCipherDecryptBuffer(&cipher.c, inPlace.data(), inPlace.data(), length), 1);
      ASSERT_TRUE(std::equal(inPlace.begin(), inPlace.end(), plain.begin())) << "length " << length;
    }
  }
}

TEST(QvfCipherBuffers, PiecesOf128BytesAreScrambledOnTheirOwn) {
  Cipher cipher("password");
  const std::vector<uint8_t> plain = RandomBytes(300, 11);
  std::vector<uint8_t> whole(300), pieces(300);
  ASSERT_EQ(QvfCipherEncryptBuffer(&cipher.c, plain.data(), whole.data(), 300), 1);
  // 128 + 128 + 44: the last piece uses T_44.
  for (size_t at : {0u, 128u, 256u}) {
    size_t n = std::min<size_t>(128, 300 - at);
    ASSERT_EQ(QvfCipherEncryptBuffer(&cipher.c, plain.data() + at, pieces.data() + at, n), 1);
  }
  EXPECT_EQ(whole, pieces);
  // The data really is moved about, and a different password moves it differently.
  EXPECT_NE(whole, plain);
  Cipher other("passwore");
  std::vector<uint8_t> otherWhole(300);
  ASSERT_EQ(QvfCipherEncryptBuffer(&other.c, plain.data(), otherWhole.data(), 300), 1);
  EXPECT_NE(whole, otherWhole);
}

uint32_t U32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

TEST(QvfCheckBlock, AcceptsTheRightPasswordOnly) {
  for (const std::string& password : kPasswords) {
    Cipher cipher(password);
    uint8_t block[kQvfCheckBlockSize];
    ASSERT_EQ(QvfCipherMakeCheckBlock(&cipher.c, block), 1);
    EXPECT_EQ(U32(block), 3u);
    EXPECT_EQ(U32(block + 4), 144u);
    EXPECT_EQ(U32(block + 8), 0u);
    const int32_t len = static_cast<int32_t>(password.size());
    EXPECT_EQ(QvfCipherTestCheckBlock(block, password.data(), len), 1) << password;
    std::string wrong = password;
    wrong.back() = static_cast<char>(wrong.back() ^ 0x01);
    EXPECT_EQ(QvfCipherTestCheckBlock(block, wrong.data(), len), 0) << password;
    EXPECT_EQ(QvfCipherTestCheckBlock(block, password.data(), 0), 0);
    block[kQvfCheckSampleOffset + 5] ^= 0x40;  // a damaged sample refuses every password
    EXPECT_EQ(QvfCipherTestCheckBlock(block, password.data(), len), 0) << password;
  }
}

// ---- the prompt --------------------------------------------------------------------------------------------

struct Prompt {
  std::string secret = "secret";
  CQvfCipher cipher{};
  uint8_t block[kQvfCheckBlockSize];
  Prompt() {
    EXPECT_EQ(QvfCipherBuildTables(&cipher, secret.data(), static_cast<int32_t>(secret.size())), 1);
    EXPECT_EQ(QvfCipherMakeCheckBlock(&cipher, block), 1);
  }
};

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

constexpr const char* kPromptText = "Please input password:";
constexpr const char* kWrongText = "Password wrong! Do you want to try again?(y/n): ";

struct AskCase {
  const char* what;
  const wchar_t* settingsPassword;  // -password
  std::string input;
  bool assumeYes;
  int expected;
  const char* accepted;  // the bytes handed back on success
  int prompts;           // "Please input password:" shown
  int wrongQuestions;    // "Password wrong!..." shown
};

TEST(ImageAskPassword, QvfTestsTheCheckBlockAndEndsOnNoEndOfInputAndAssumeYes) {
  const AskCase cases[] = {
      {"-password right", L"secret", "", false, 1, "secret", 0, 0},
      {"typed right", L"", "secret\n", false, 1, "secret", 1, 0},
      {"-password wrong, No", L"guess", "n\n", false, 0, nullptr, 0, 1},
      {"-password wrong, Yes, typed right", L"guess", "y\nsecret\n", false, 1, "secret", 1, 1},
      {"typed wrong twice then right", L"", "a\ny\nb\nyes\nsecret\n", false, 1, "secret", 3, 2},
      {"end of input at the prompt", L"", "", false, 0, nullptr, 1, 0},
      {"end of input at the question", L"", "wrong\n", false, 0, nullptr, 1, 1},
      {"-y never asks again", L"guess", "secret\n", true, 0, nullptr, 0, 0},
      {"-y with a right -password", L"secret", "", true, 1, "secret", 0, 0},
  };
  Prompt prompt;
  for (const AskCase& c : cases) {
    ConsoleSession session(c.input, c.assumeYes);
    std::wcscpy(g_settings->openPassword, c.settingsPassword);
    CImagePassword got{};
    EXPECT_EQ(ImageAskPassword(kPasswordForQvf, prompt.block, &got), c.expected) << c.what;
    std::string out = session.Output();
    EXPECT_EQ(Count(out, kPromptText), static_cast<size_t>(c.prompts)) << c.what << ": " << out;
    EXPECT_EQ(Count(out, kWrongText), static_cast<size_t>(c.wrongQuestions)) << c.what << ": " << out;
    if (c.accepted) {
      EXPECT_EQ(std::string(got.bytes, static_cast<size_t>(got.length)), c.accepted) << c.what;
      EXPECT_EQ(got.bytes[got.length], 0) << c.what;
      // A typed password serves later opens of the run like -password.
      EXPECT_STREQ(g_settings->openPassword, L"secret") << c.what;
    }
  }
}

TEST(ImageAskPassword, PromptLayoutOnAPipe) {
  Prompt prompt;
  ConsoleSession session("nope\nn\n");
  CImagePassword got{};
  EXPECT_EQ(ImageAskPassword(kPasswordForQvf, prompt.block, &got), 0);
  EXPECT_EQ(session.Output(), std::string(kPromptText) + "\r\n" + kWrongText);
}

TEST(ImageAskPassword, LengthLimitsDependOnTheKindOfImage) {
  setlocale(LC_CTYPE, "C.UTF-8");
  std::wstring accents;
  for (int i = 0; i < 100; ++i) accents += L'\u00e9';  // 100 characters, 200 bytes
  const struct {
    int32_t kind;
    std::wstring password;
    int expected;
  } cases[] = {
      {kPasswordForQvf, std::wstring(65, L'x'), 0}, {kPasswordForQvf, std::wstring(64, L'x'), 1},
      {kPasswordForQvf, std::wstring(40, L'x'), 1}, {kPasswordForQvf, std::wstring(33, L'\u00e9'), 0},
      {kPasswordForIsz, std::wstring(33, L'x'), 0}, {kPasswordForIsz, std::wstring(32, L'x'), 1},
      {kPasswordForIsz, std::wstring(17, L'\u00e9'), 0}, {kPasswordForOther, accents, 1},
      {kPasswordForOther, std::wstring(127, L'x'), 1},
  };
  for (const auto& c : cases) {
    ConsoleSession session("n\n");
    std::wcscpy(g_settings->openPassword, c.password.c_str());
    CImagePassword got{};
    // No check block: only the length decides.
    EXPECT_EQ(ImageAskPassword(c.kind, nullptr, &got), c.expected) << c.kind << " " << c.password.size();
    if (c.expected) {
      std::string bytes(got.bytes, static_cast<size_t>(got.length));
      EXPECT_EQ(bytes.size(), c.password == accents ? 200u : c.password.size());
    } else {
      EXPECT_NE(session.Output().find(kWrongText), std::string::npos);
    }
  }
  // A typed password is limited by the prompt and the kind alike.
  {
    ConsoleSession session(std::string(200, 'z') + "\nn\n");
    CImagePassword got{};
    EXPECT_EQ(ImageAskPassword(kPasswordForIsz, nullptr, &got), 0);
  }
  setlocale(LC_CTYPE, "C");
}

TEST(ImageAskPassword, AnIszPasswordIsNeverTestedAndNothingAnswersOutsideTheConsole) {
  Prompt prompt;
  {
    ConsoleSession session("");
    std::wcscpy(g_settings->openPassword, L"anything");
    CImagePassword got{};
    EXPECT_EQ(ImageAskPassword(kPasswordForIsz, prompt.block, &got), 1);
    EXPECT_STREQ(got.bytes, "anything");
    EXPECT_EQ(ImageAskPassword(kPasswordForQvf, prompt.block, nullptr), 0);
  }
  ConsoleSession session("secret\n");
  ConsoleModeSet(0);
  CImagePassword got{};
  EXPECT_EQ(ImageAskPassword(kPasswordForQvf, prompt.block, &got), 0);
  EXPECT_EQ(session.Output(), "");
}

}  // namespace
