// Runs a test body against the simulated recorder: the test process sets up the drives in a state folder of its
// own with the simdrive command, then runs the same test again in a child with the simulator preloaded, so that
// the program's real open() and SG_IO calls on "/dev/sgN" reach the simulated drives.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/run_program.h"

// The state folder inside the child; empty in the parent.
inline std::string SimState() {
  const char* dir = std::getenv("KESTRANE_SIMDRIVE_DIR");
  return dir ? dir : "";
}

// Runs the simdrive command on `state`; fails the test when it fails.
inline std::string Sim(const std::string& state, const std::vector<std::string>& args) {
  std::vector<std::string> all = {state};
  all.insert(all.end(), args.begin(), args.end());
  ProgramResult r = RunProgram(SIMDRIVE_BIN, all);
  EXPECT_EQ(r.status, 0) << "simdrive " << args[0] << ": " << r.out;
  return r.out;
}

// In the parent: makes the state folder, calls `setup` with it, runs this test in a child under the simulator and
// returns false (the child's result is the test's). In the child: returns true, and the test body goes on.
inline bool InSimulator(const std::function<void(const std::string& state)>& setup) {
  if (!SimState().empty()) return true;
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "." + info->name();
  std::string state = MakeTestFolder("simdrive/" + name);
  setup(state);
  ProgramOptions options;
  options.env = {std::string("LD_PRELOAD=") + SIMDRIVE_PRELOAD_LIB, "KESTRANE_SIMDRIVE_DIR=" + state,
                 "ASAN_OPTIONS=verify_asan_link_order=0", "TZ=UTC"};
  options.timeoutSeconds = 120;
  ProgramResult r =
      RunProgram(std::filesystem::read_symlink("/proc/self/exe").string(), {"--gtest_filter=" + name}, options);
  EXPECT_FALSE(r.timedOut) << r.out;
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("[  PASSED  ] 1 test"), std::string::npos) << r.out;
  return false;
}
