// Runs a program the way a user at a terminal or a script would, and captures what it prints.
#pragma once

#include <string>
#include <vector>

struct ProgramResult {
  std::string out;   // standard output and standard error, in the order written
  int status = -1;   // exit status, or 128 + signal
  bool timedOut = false;
};

struct ProgramOptions {
  std::string input;                 // fed to standard input, which then ends
  std::vector<std::string> env;      // "NAME=value" entries added to (or replacing) the environment
  std::string workDir;               // run there when set
  int timeoutSeconds = 30;
};

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const ProgramOptions& options = {});

// The built kestrane, run with TZ=UTC.
ProgramResult RunKestrane(const std::vector<std::string>& args, const ProgramOptions& options = {});

// The banner every run prints first.
extern const char* const kBanner;

// A fresh, empty folder under the build folder for one test.
std::string MakeTestFolder(const std::string& name);

// The whole content of a file ("" when it cannot be read).
std::string ReadFileBytes(const std::string& path);

// Writes `bytes` to the file at `path`, creating its folders first.
void WriteFileBytes(const std::string& path, const std::string& bytes);

// Runs a command line through /bin/sh.
ProgramResult RunShell(const std::string& command);
