// The program as a user runs it: what each command line prints after the banner, and its exit status.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_program.h"

namespace {

std::string Usage() {
  std::ifstream in(std::string(KESTRANE_SOURCE_DIR) + "/tests/cli/data/usage.txt", std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// What the program printed after its banner; fails the test when the banner is not there.
std::string AfterBanner(const ProgramResult& r) {
  std::string banner = kBanner;
  EXPECT_EQ(r.out.compare(0, banner.size(), banner), 0) << r.out;
  return r.out.size() >= banner.size() ? r.out.substr(banner.size()) : r.out;
}

struct ParseCase {
  std::vector<std::string> args;
  std::string printed;  // after the banner; "<usage>" stands for the usage text
  int status;
};

class CommandLine : public ::testing::TestWithParam<ParseCase> {};

TEST_P(CommandLine, PrintsAndExits) {
  const ParseCase& c = GetParam();
  ProgramResult r = RunKestrane(c.args);
  ASSERT_FALSE(r.timedOut);
  std::string expected = c.printed;
  if (size_t at = expected.find("<usage>"); at != std::string::npos) expected.replace(at, 7, Usage());
  EXPECT_EQ(AfterBanner(r), expected);
  EXPECT_EQ(r.status, c.status);
}

const std::string kTooLong(128, 'p');

INSTANTIATE_TEST_SUITE_P(
    Table, CommandLine,
    ::testing::Values(
        // Nothing, help, and words that are not in the table.
        ParseCase{{}, "", 0}, ParseCase{{"-?"}, "<usage>", 0}, ParseCase{{"-h"}, "<usage>", 0},
        ParseCase{{"-help"}, "<usage>", 0}, ParseCase{{"LIST", "a.iso", "/"}, "Unrecognized parameter: LIST\r\n", 2},
        ParseCase{{"-r"}, "", 1},
        // Commands and their arguments; a refused word stops the run before the command.
        ParseCase{{"list", "a.iso"}, "Bad parameter: list\r\n", 2},
        ParseCase{{"list", "a.iso", "/", "-x"}, "Unrecognized parameter: -x\r\n", 2},
        ParseCase{{"list", "a.iso", "/", "convert", "b.iso"}, "Bad parameter: convert\r\n", 2},
        ParseCase{{"-?", "list", "a.iso", "/"}, "Bad parameter: list\r\n", 2},
        ParseCase{
            {"list", "/nonexistent/a.iso", "/", "-r"}, "No such file or directory: /nonexistent/a.iso\r\n\r\n", 1},
        ParseCase{{"extract", "/nonexistent/a.iso", "/"}, "Please specify extract output directory.\r\n", 1},
        ParseCase{{"list", "/", "/"}, "Is a directory: /\r\n\r\n", 1},
        ParseCase{{"extract", "/nonexistent/a.iso", "/", "-od", "out"},
                  "No such file or directory: /nonexistent/a.iso\r\n\r\n",
                  1},
        ParseCase{{"create"}, "Bad parameter: create\r\n", 2}, ParseCase{{"edit"}, "Bad parameter: edit\r\n", 2},
        ParseCase{{"create", "-o", "/nonexistent/dir/out.iso"},
                  "No such file or directory: /nonexistent/dir/out.iso\r\n\r\n",
                  1},
        ParseCase{{"burn-image", "a.iso"}, "Bad parameter: burn-image\r\n", 2},
        ParseCase{{"erase-disc", "/dev/kestrane-no-drive", "-full-erase"},
                  "Error opening device /dev/kestrane-no-drive.\r\n",
                  1},
        ParseCase{{"edit", "/nonexistent/a.iso"}, "No such file or directory: /nonexistent/a.iso\r\n\r\n", 1},
        ParseCase{{"show-comment"}, "Usage: show-comment <image file>\r\nBad parameter: show-comment\r\n", 2},
        ParseCase{{"extract-comment-to-file", "a.qvf"},
                  "Usage: extract-comment-to-file <image file> <comment file>\r\n"
                  "Bad parameter: extract-comment-to-file\r\n",
                  2},
        // -wd: only a trailing pair is taken, and dropped.
        ParseCase{{"-?", "-wd", "x"}, "<usage>", 0}, ParseCase{{"-wd", "x"}, "", 0},
        ParseCase{{"-wd", "x", "-?"}, "Bad parameter: -wd\r\n", 2},
        // -volsize
        ParseCase{{"-volsize", "100M", "-?"}, "<usage>", 0}, ParseCase{{"-volsize", "8192G", "-?"}, "<usage>", 0},
        ParseCase{{"-volsize", "1,000,000", "-?"}, "<usage>", 0},
        ParseCase{{"-volsize", "100M-200M", "-?"}, "<usage>", 0},
        ParseCase{{"-volsize", "127K", "-?"}, "Bad parameter: -volsize\r\n", 2},
        ParseCase{{"-volsize", "8193G", "-?"}, "Bad parameter: -volsize\r\n", 2},
        ParseCase{{"-volsize", "10KB", "-?"}, "Bad parameter: -volsize\r\n", 2},
        ParseCase{{"-volsize", "99999999999999999999999", "-?"}, "Bad parameter: -volsize\r\n", 2},
        // -speed
        ParseCase{{"-speed", "dvd8x", "-?"}, "<usage>", 0}, ParseCase{{"-speed", "CD2.5X", "-?"}, "<usage>", 0},
        ParseCase{{"-speed", "8x", "-?"}, "Invalid speed settings.\r\nBad parameter: -speed\r\n", 2},
        ParseCase{{"-speed", "hd8x", "-?"}, "Bad parameter: -speed\r\n", 2},
        ParseCase{{"-speed", "cd0x", "-?"}, "Invalid speed settings.\r\nBad parameter: -speed\r\n", 2},
        ParseCase{{"-speed", "bdinfx", "-?"}, "Invalid speed settings.\r\nBad parameter: -speed\r\n", 2},
        // Dates
        ParseCase{{"-file-datetime", "02-30-2020:10:00:00", "-?"}, "<usage>", 0},
        ParseCase{{"-vol-creation-datetime", "12:31:2800-23:59:59", "-?"}, "<usage>", 0},
        ParseCase{{"-vol-expiration-datetime", "13-01-2020:10:00:00", "-?"},
                  "Usage: -vol-expiration-datetime mm-dd-yyyy:hh:mm:ss\r\nBad parameter: -vol-expiration-datetime\r\n",
                  2},
        ParseCase{{"-file-datetime", "01-01-2020:10:00", "-?"},
                  "Usage: -file-datetime mm-dd-yyyy:hh:mm:ss\r\nBad parameter: -file-datetime\r\n",
                  2},
        ParseCase{{"-file-datetime", "01-01-2020:10:00:00:00", "-?"},
                  "Usage: -file-datetime mm-dd-yyyy:hh:mm:ss\r\nBad parameter: -file-datetime\r\n",
                  2},
        ParseCase{
            {"-file-datetime"}, "Usage: -file-datetime mm-dd-yyyy:hh:mm:ss\r\nBad parameter: -file-datetime\r\n", 2},
        // Volume switches
        ParseCase{{"-joliet", "3", "-?"}, "<usage>", 0},
        ParseCase{{"-joliet", "4"}, "Jolitet level must be from 0 tp 3.\r\nBad parameter: -joliet\r\n", 2},
        ParseCase{{"-joliet", "x"}, "Jolitet level must be from 0 tp 3.\r\nBad parameter: -joliet\r\n", 2},
        ParseCase{{"-udf", "ON", "-?"}, "<usage>", 0},
        ParseCase{{"-udf", "yes"}, "Usage: -udf on | off\r\nBad parameter: -udf\r\n", 2},
        ParseCase{{"-iso-name-len", "30", "-?"}, "<usage>", 0},
        ParseCase{{"-iso-name-len", "31"}, "Usage: -iso-name-len 12 | 30 | 221\r\nBad parameter: -iso-name-len\r\n", 2},
        ParseCase{
            {"-joliet-name-len", "100"}, "Usage: -joliet-name-len 64 | 110\r\nBad parameter: -joliet-name-len\r\n", 2},
        ParseCase{{"-label", "X", "-allow-lower-case-iso-name", "-disable-optimization", "-?"}, "<usage>", 0},
        // Output, passwords, method, comments
        ParseCase{{"-ot", "ISO", "-?"}, "<usage>", 0}, ParseCase{{"-ot", "img"}, "Bad parameter: -ot\r\n", 2},
        ParseCase{{"-method", "BEST", "-?"}, "<usage>", 0},
        ParseCase{{"-method", "fast"}, "Bad parameter: -method\r\n", 2},
        ParseCase{{"-password", kTooLong}, "Bad parameter: -password\r\n", 2},
        ParseCase{{"-password", kTooLong.substr(1), "-?"}, "<usage>", 0},
        ParseCase{{"-setpassword", ""},
                  "The password must be between 1-64 characters in length\r\nBad parameter: -setpassword\r\n",
                  2},
        ParseCase{{"-setpassword", std::string(65, 'x')},
                  "The password must be between 1-64 characters in length\r\nBad parameter: -setpassword\r\n",
                  2},
        ParseCase{{"-setpassword", std::string(64, 'x'), "-?"}, "<usage>", 0},
        ParseCase{{"-comment"}, "Usage: -comment <string>\r\nBad parameter: -comment\r\n", 2},
        ParseCase{{"-comment", "a note", "-?"}, "<usage>", 0},
        ParseCase{
            {"-comment-from-file", "/nonexistent/c.txt"},
            "open file /nonexistent/c.txt failed.\r\nUsage: -comment <string>\r\nBad parameter: -comment-from-file\r\n",
            2},
        // -add
        ParseCase{{"-add", "/nonexistent/x", "/"},
                  "Adding /nonexistent/x \r\nCan not find file or folder: /nonexistent/x\r\nBad parameter: -add\r\n",
                  2},
        ParseCase{{"-add", "/tmp", "dir"}, "Bad parameter: -add\r\n", 2},
        ParseCase{{"-add", "/tmp"}, "Bad parameter: -add\r\n", 2}));

TEST(CommandLineText, NonAsciiArgumentsSurviveEveryLocale) {
  for (std::vector<std::string> env : {std::vector<std::string>{"LC_ALL=C.UTF-8"},
                                       std::vector<std::string>{"LC_ALL=C"},
                                       std::vector<std::string>{"LC_ALL=", "LANG=", "LC_CTYPE="}}) {
    ProgramOptions options;
    options.env = env;
    ProgramResult r = RunKestrane({"caf\xc3\xa9/\xc3\xbc.iso"}, options);
    EXPECT_EQ(AfterBanner(r), "Unrecognized parameter: caf\xc3\xa9/\xc3\xbc.iso\r\n") << env[0];
    EXPECT_EQ(r.status, 2);
  }
}

TEST(CommandLineText, UnreadableArgumentBytesAreShownNotDropped) {
  ProgramResult r = RunKestrane({"bad\xff-name"});
  EXPECT_EQ(AfterBanner(r), "Unrecognized parameter: bad\xef\xbf\xbd-name\r\n");
}

}  // namespace
