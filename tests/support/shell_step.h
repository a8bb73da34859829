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

// A path or word put in single quotes for a shell line.
inline std::string Quote(const std::string& text) { return "'" + text + "'"; }

inline bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// `text` with every `from` replaced by `to`.
inline std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
  return text;
}
