// One state folder of simulated recorders (tests/simdrive) and the runs of kestrane that reach them through the
// preloaded library: what the drive and recorder tests share.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/run_program.h"

struct SimDrives {
  // `name` is the test's folder under the build folder's test output.
  explicit SimDrives(const std::string& name) : folder(MakeTestFolder(name)), state(folder + "/state") {}

  // Runs the simdrive command on this state folder; it must succeed. Returns what it printed.
  std::string Tool(const std::vector<std::string>& args) {
    std::vector<std::string> all = {state};
    all.insert(all.end(), args.begin(), args.end());
    ProgramResult r = RunProgram(SIMDRIVE_BIN, all);
    EXPECT_EQ(r.status, 0) << "simdrive " << args[0] << ": " << r.out;
    return r.out;
  }
  // Drive `n` with a disc of `media` in state `how` ("" media: an empty drive).
  void Drive(int n, const std::string& media, const std::string& how, std::vector<std::string> options = {}) {
    std::vector<std::string> create = {"create-drive", std::to_string(n)};
    create.insert(create.end(), options.begin(), options.end());
    Tool(create);
    if (media.empty()) return;
    const std::string disc = folder + "/disc" + std::to_string(n);
    Tool({"make-disc", disc, media, how});
    Tool({"insert", std::to_string(n), disc});
  }
  // The environment that sends "/dev/sgN" to the simulated drives.
  std::vector<std::string> Environment() const {
    return {std::string("LD_PRELOAD=") + SIMDRIVE_PRELOAD_LIB, "KESTRANE_SIMDRIVE_DIR=" + state,
            "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1"};
  }
  ProgramResult Run(const std::vector<std::string>& args, const std::string& input = "", int timeoutSeconds = 180) {
    ProgramOptions options;
    options.env = Environment();
    options.input = input;
    options.timeoutSeconds = timeoutSeconds;
    ProgramResult r = RunKestrane(args, options);
    EXPECT_FALSE(r.timedOut) << r.out;
    return r;
  }
  // The opcodes of the CDBs drive `n` received, in order, as two hex digits each.
  std::vector<std::string> Cdbs(int n) const {
    std::ifstream in(state + "/sg" + std::to_string(n) + "/cdb.log");
    std::vector<std::string> cdbs;
    std::string line;
    while (std::getline(in, line))
      if (line.rfind("cdb=", 0) == 0) cdbs.push_back(line.substr(4, line.find(' ') - 4));
    return cdbs;
  }
  bool Sent(int n, const std::string& prefix) const {
    for (const std::string& c : Cdbs(n))
      if (c.rfind(prefix, 0) == 0) return true;
    return false;
  }
  // Commands that change a disc.
  bool SentAnyWrite(int n) const {
    for (const char* op : {"2a", "a1", "04", "5d", "53", "5b", "35"})
      if (Sent(n, op)) return true;
    return false;
  }
  // The session written at once: its raw sectors (kept in `dumped`), its lead-in packs and the layout report.
  std::string DumpRaw(int n, std::string* packs) {
    const std::string image = folder + "/dump.raw", packFile = folder + "/dump.cdt";
    std::string layout = Tool({"dump-raw", std::to_string(n), image, packFile});
    if (packs) *packs = ReadFileBytes(packFile);
    dumped = ReadFileBytes(image);
    return layout;
  }

  std::string folder;
  std::string state;
  std::string dumped;
};
