// The reading side of the simulated recorder: pressed (read-only) discs made from an image or a BIN file with its
// CUE sheet, raw 2352-byte sectors for READ CD, and sectors that cannot be read.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "simdrive/sim_drive.h"

namespace simdrive {
namespace {

struct CueTrack {
  int number = 0;
  int session = 1;
  bool audio = false;
  int dataMode = 1;
  int64_t index0 = -1;  // file sector of INDEX 00, -1 none
  int64_t index1 = -1;  // file sector of INDEX 01
};

int64_t MsfToFrames(const std::string& text) {
  int m = 0, s = 0, f = 0;
  if (std::sscanf(text.c_str(), "%d:%d:%d", &m, &s, &f) != 3) return -1;
  return (static_cast<int64_t>(m) * 60 + s) * 75 + f;
}

bool ParseCue(const std::string& path, std::vector<CueTrack>* tracks) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  int session = 1;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string word;
    words >> word;
    for (char& ch : word) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    if (word == "REM") {
      std::string what;
      words >> what >> session;
    } else if (word == "TRACK") {
      CueTrack t;
      std::string type;
      words >> t.number >> type;
      t.session = session;
      t.audio = type == "AUDIO";
      t.dataMode = type.rfind("MODE2", 0) == 0 ? 2 : 1;
      if (!t.audio && type != "MODE1/2352" && type != "MODE2/2352") return false;
      tracks->push_back(t);
    } else if (word == "INDEX" && !tracks->empty()) {
      int number = 0;
      std::string msf;
      words >> number >> msf;
      int64_t at = MsfToFrames(msf);
      if (at < 0) return false;
      if (number == 0) tracks->back().index0 = at;
      if (number == 1) tracks->back().index1 = at;
    } else if (word == "PREGAP" || word == "POSTGAP") {
      return false;  // gaps that the file does not hold are not simulated
    }
  }
  return !tracks->empty();
}

int64_t FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

bool CopyRange(int from, int to, int64_t inOffset, int64_t outOffset, int64_t bytes) {
  std::vector<char> buffer(1 << 20);
  while (bytes > 0) {
    ssize_t n = pread(from, buffer.data(), static_cast<size_t>(std::min<int64_t>(bytes, buffer.size())), inOffset);
    if (n <= 0) return false;
    if (pwrite(to, buffer.data(), static_cast<size_t>(n), outOffset) != n) return false;
    bytes -= n, inOffset += n, outOffset += n;
  }
  return true;
}

}  // namespace

int PressDisc(const std::string& dir, const std::string& media, const std::string& image, const std::string& cue,
              const std::vector<int64_t>& sessions) {
  mkdir(dir.c_str(), 0755);
  unlink((dir + "/data.bin").c_str());
  unlink((dir + "/raw.bin").c_str());
  unlink((dir + "/unreadable.txt").c_str());
  std::ostringstream disc;
  disc << "media=" << media << "\nstatus=2\nlss=3\nformatted=0\n";
  int in = open(image.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    std::fprintf(stderr, "simdrive: cannot read %s\n", image.c_str());
    return 1;
  }
  const int64_t size = FileSize(image);
  int status = 0;
  if (cue.empty()) {
    // A data disc of 2048-byte blocks.
    int out = open((dir + "/data.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int64_t blocks = (size + 2047) / 2048;
    if (out < 0 || !CopyRange(in, out, 0, 0, size) || ftruncate(out, blocks * 2048) != 0) status = 1;
    if (out >= 0) close(out);
    disc << "capacity=" << blocks << "\n";
    // One track a session; each session after the first starts on the next ECC block (16 sectors on DVD, 32 on
    // BD), its first sector counted from the image's.
    int64_t start = 0;
    for (size_t i = 0; i <= sessions.size() && start < blocks; ++i) {
      int64_t end = i < sessions.size() ? std::min(blocks, start + sessions[i]) : blocks;
      if (end <= start) break;
      disc << "track=" << i + 1 << "," << i + 1 << "," << start << "," << end - start << "," << end << ",2,0\n";
      const int64_t unit = media.rfind("bd", 0) == 0 ? 32 : 16;
      start = (end + unit - 1) / unit * unit;
    }
  } else {
    std::vector<CueTrack> tracks;
    if (!ParseCue(cue, &tracks) || size % 2352 != 0) {
      std::fprintf(stderr, "simdrive: cannot use the CUE sheet %s\n", cue.c_str());
      close(in);
      return 1;
    }
    const int64_t sectors = size / 2352;
    int raw = open((dir + "/raw.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int data = open((dir + "/data.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    // Each session after the first lies behind the previous one's lead-out and its own lead-in.
    int64_t shift = 0;
    int64_t end = 0;
    std::vector<uint8_t> sector(2352);
    for (size_t i = 0; i < tracks.size() && status == 0; ++i) {
      const CueTrack& t = tracks[i];
      int64_t from = t.index0 >= 0 ? t.index0 : t.index1;
      if (i > 0 && t.session != tracks[i - 1].session) shift += t.session == 2 ? 11400 : 6900;
      int64_t to = sectors;
      if (i + 1 < tracks.size()) to = tracks[i + 1].index0 >= 0 ? tracks[i + 1].index0 : tracks[i + 1].index1;
      if (t.index1 < from || to < t.index1) {
        status = 1;
        break;
      }
      // Track numbers, session, start, size, next writable address, state (closed), audio, data mode.
      int64_t start = t.index1 + shift;
      int64_t trackEnd = to + shift;
      if (i + 1 < tracks.size() && tracks[i + 1].session == t.session) {
        int64_t nextFirst = (tracks[i + 1].index0 >= 0 ? tracks[i + 1].index0 : tracks[i + 1].index1) + shift;
        trackEnd = nextFirst;
      }
      disc << "track=" << t.number << "," << t.session << "," << start << "," << trackEnd - start << "," << trackEnd
           << ",2," << (t.audio ? 1 : 0) << "," << t.dataMode << "\n";
      if (!CopyRange(in, raw, from * 2352, (from + shift) * 2352, (to - from) * 2352)) status = 1;
      for (int64_t s = from; s < to && !t.audio && status == 0; ++s) {
        if (pread(in, sector.data(), 2352, s * 2352) != 2352) status = 1;
        const uint8_t* user = sector.data() + (sector[15] == 2 ? 24 : 16);
        if (pwrite(data, user, 2048, (s + shift) * 2048) != 2048) status = 1;
      }
      end = to + shift;
    }
    if (raw < 0 || data < 0 || ftruncate(data, end * 2048) != 0) status = 1;
    if (raw >= 0) close(raw);
    if (data >= 0) close(data);
    disc << "capacity=" << end << "\n";
  }
  close(in);
  std::ofstream out(dir + "/disc.txt");
  out << disc.str();
  out.close();
  if (!out) status = 1;
  return status;
}

int MarkUnreadable(const std::string& dir, int64_t first, int64_t count) {
  std::ofstream out(dir + "/unreadable.txt", std::ios::app);
  out << first << "," << count << "\n";
  out.close();
  TouchDisc(dir);
  return out ? 0 : 1;
}

std::vector<SectorRange> LoadUnreadable(const std::string& discDir) {
  std::vector<SectorRange> out;
  std::ifstream in(discDir + "/unreadable.txt");
  long long first = 0, count = 0;
  char comma = 0;
  while (in >> first >> comma >> count) out.push_back({first, count});
  return out;
}

bool SectorsUnreadable(const std::vector<SectorRange>& unreadable, int64_t lba, int64_t count) {
  for (const SectorRange& r : unreadable)
    if (lba < r.first + r.count && r.first < lba + count) return true;
  return false;
}

bool ReadRawSectors(const std::string& discDir, int64_t lba, uint32_t count, uint8_t* out) {
  int fd = open((discDir + "/raw.bin").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && (lba + count) * 2352 <= st.st_size &&
            pread(fd, out, static_cast<size_t>(count) * 2352, lba * 2352) == static_cast<ssize_t>(count) * 2352;
  close(fd);
  return ok;
}

std::vector<uint8_t> LeadInCdTextPacks(const std::string& discDir) {
  std::vector<uint8_t> bytes;
  FILE* in = std::fopen((discDir + "/leadin.bin").c_str(), "rb");
  if (!in) return bytes;
  // Four 6-bit symbols make three bytes, 96 symbols four packs.
  uint8_t block[96];
  while (std::fread(block, 1, 96, in) == 96) {
    for (int i = 0; i < 96; i += 4) {
      uint32_t v =
          (block[i] & 0x3F) << 18 | (block[i + 1] & 0x3F) << 12 | (block[i + 2] & 0x3F) << 6 | (block[i + 3] & 0x3F);
      bytes.push_back(v >> 16), bytes.push_back(v >> 8), bytes.push_back(v);
    }
  }
  std::fclose(in);
  std::vector<uint8_t> packs;
  for (size_t at = 0; at + 18 <= bytes.size(); at += 18) {
    if (at > 0 && std::equal(bytes.begin(), bytes.begin() + 18, bytes.begin() + at)) break;
    packs.insert(packs.end(), bytes.begin() + at, bytes.begin() + at + 18);
  }
  return packs;
}

}  // namespace simdrive
