// The paths a recursive `list -r` shows, for tests that compare them with another tool's view of the same volume.
#pragma once

#include <set>
#include <sstream>
#include <string>

// Every entry of the listing as "/folder/name", folders with a trailing "/". Entry lines are "%-18s  %18s  %s"
// (date, size or "<DIR>" right-aligned, name); each block starts with "Objects in <folder>:".
inline std::set<std::string> ListedPaths(const std::string& listing) {
  std::set<std::string> paths;
  std::istringstream in(listing);
  std::string line, folder;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("Objects in ", 0) == 0) {
      folder = line.substr(11, line.size() - 12);
      if (folder == "/") folder.clear();
    } else if (line.size() > 40 && line[18] == ' ' && line[19] == ' ' && line[38] == ' ') {
      const bool isFolder = line.compare(33, 5, "<DIR>") == 0;
      paths.insert(folder + "/" + line.substr(40) + (isFolder ? "/" : ""));
    }
  }
  return paths;
}
