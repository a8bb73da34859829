#include "support/console_capture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "cli/console.h"
#include "cli/driver.h"
#include "cli/settings.h"

ConsoleSession::ConsoleSession(const std::string& input, bool assumeYes) {
  int fds[2];
  if (pipe(fds) != 0) return;
  // Small inputs fit the pipe, so the whole text is there before the first read.
  if (write(fds[1], input.data(), input.size()) != static_cast<ssize_t>(input.size())) ADD_FAILURE();
  close(fds[1]);
  savedStdin_ = dup(0);
  dup2(fds[0], 0);
  close(fds[0]);
  clearerr(stdin);
  CliPrepare();
  if (assumeYes) g_settings->switchFlags |= kSwitchAssumeYes;
  ConsoleModeSet(1);
  testing::internal::CaptureStdout();
  capturing_ = true;
}

std::string ConsoleSession::Output() {
  if (!capturing_) return {};
  capturing_ = false;
  return testing::internal::GetCapturedStdout();
}

ConsoleSession::~ConsoleSession() {
  Output();
  ConsoleModeSet(0);
  if (savedStdin_ >= 0) {
    dup2(savedStdin_, 0);
    close(savedStdin_);
  }
  clearerr(stdin);
}
