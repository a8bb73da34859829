// The small data ISO that the drive and recorder tests share: genisoimage (or xorriso) over a tree of one patterned
// file of a few megabytes and a text file in a folder, with fixed times, so that every run makes the same image.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct IsoFixture {
  std::string name = "image.iso";  // made in the test's folder, from the tree beside it
  size_t bigBytes = 2 * 1024 * 1024 + 1000;
  std::string readme = "burned by the test\n";
  std::vector<std::string> options;  // further genisoimage options, e.g. {"-C", "0,12000"} for a later session
  bool xorriso = false;              // made by xorriso's mkisofs emulation instead
};

// Makes the image in `folder` and returns its path (the test fails when genisoimage does).
std::string MakeGenisoimageIso(const std::string& folder, const IsoFixture& fixture = {});
