// Steps of the fixture recipes that the end-to-end tests run through the shell.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "run_program.h"

// Runs one shell line that must succeed; otherwise the test fails with the line and what it printed.
inline void Sh(const std::string& line) {
  const ProgramResult r = RunShell(line + " 2>&1");
  ASSERT_EQ(r.status, 0) << line << "\n" << r.out;
}

// Options with ample time for a loaded machine, for runs over whole volumes; damage cases set their own bound.
inline ProgramOptions Patient() {
  ProgramOptions options;
  options.timeoutSeconds = 300;
  return options;
}
