// The simulated recorder: state files, the media table and the command set.
#include "simdrive/sim_drive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

namespace simdrive {
namespace {

// ---------------------------------------------------------------------------------------------------------------
// Media

enum Family { kCd, kDvd, kBd };
enum Kind { kRom, kSequential, kOverwrite };

struct MediaInfo {
  const char* name;
  int profile;
  Family family;
  Kind kind;
  bool erasable;
  int64_t capacity;  // user blocks of a blank or freshly formatted disc
  int layers;
  int book;      // DVD book type, BD disc type letter
  bool pow;      // BD-R pseudo-overwrite
  int speedKBs;  // highest write speed
};

// Capacities of common real media: 80-minute CDs, 4.7/8.5 GB DVDs, 25/50 GB BDs.
const MediaInfo kMedia[] = {
    {"cd-rom", 0x08, kCd, kRom, false, 333000, 1, 0, false, 0},
    {"cd-r", 0x09, kCd, kSequential, false, 359849, 1, 0, false, 8467},
    {"cd-rw", 0x0A, kCd, kSequential, true, 359849, 1, 0, false, 4234},
    {"dvd-rom", 0x10, kDvd, kRom, false, 2298496, 1, 0, false, 0},
    {"dvd-r", 0x11, kDvd, kSequential, false, 2298496, 1, 2, false, 22160},
    {"dvd-r-dl", 0x15, kDvd, kSequential, false, 4171712, 2, 2, false, 11080},
    {"dvd-rw", 0x14, kDvd, kSequential, true, 2298496, 1, 3, false, 8310},
    {"dvd-rw-ro", 0x13, kDvd, kOverwrite, true, 2298496, 1, 3, false, 8310},
    {"dvd+r", 0x1B, kDvd, kSequential, false, 2295104, 1, 10, false, 22160},
    {"dvd+r-dl", 0x2B, kDvd, kSequential, false, 4173824, 2, 14, false, 11080},
    {"dvd+rw", 0x1A, kDvd, kOverwrite, true, 2295104, 1, 9, false, 11080},
    {"dvd-ram", 0x12, kDvd, kOverwrite, true, 2236704, 1, 1, false, 6925},
    {"bd-rom", 0x40, kBd, kRom, false, 12219392, 1, 'O', false, 0},
    {"bd-r", 0x41, kBd, kSequential, false, 12219392, 1, 'R', false, 26970},
    {"bd-r-pow", 0x41, kBd, kSequential, false, 12219392, 1, 'R', true, 26970},
    {"bd-r-dl", 0x41, kBd, kSequential, false, 24438784, 2, 'R', false, 26970},
    {"bd-r-rrm", 0x42, kBd, kOverwrite, false, 12219392, 1, 'R', false, 26970},
    {"bd-re", 0x43, kBd, kOverwrite, true, 11826176, 1, 'W', false, 8990},
    {"bd-re-dl", 0x43, kBd, kOverwrite, true, 23652352, 2, 'W', false, 8990},
};

const MediaInfo* FindMedia(const std::string& name) {
  for (const MediaInfo& m : kMedia)
    if (name == m.name) return &m;
  return nullptr;
}

// ---------------------------------------------------------------------------------------------------------------
// State

struct Fault {
  int opcode = -1;
  int nth = 1;    // first command of that opcode (1-based) that fails
  int count = 1;  // how many in a row; 0: every one from nth on
  int key = 0, asc = 0, ascq = 0;
  int status = 2;   // SCSI status; 8 (BUSY) answers without sense
  int shortBy = 0;  // instead of failing, transfer this many bytes less
  int host = 0;     // a transport failure (host status), with no answer of the device
};

struct Drive {
  int inquiryType = 5;
  bool legacy = false;       // refuses GET CONFIGURATION
  int profileOverride = -1;  // reports this current profile whatever the disc
  bool badLengths = false;   // answers claim lengths and counts they do not hold
  bool paced = false;        // writes take the time the disc's write speed (or a slower SET CD SPEED) implies
  std::string disc;          // disc folder, empty: no disc
  std::vector<std::string> queue;
  std::vector<Fault> faults;
  std::map<int, int> counts;
  int speed = 0;
};

enum TrackState { kInvisible = 0, kReserved = 1, kClosed = 2 };

struct Track {
  int number = 1, session = 1;
  int64_t start = 0, size = 0, nwa = 0;
  int state = kInvisible;
  int audio = 0;
  int dataMode = 1;  // 1 Mode 1, 2 Mode 2 (pressed discs)
};

struct Disc {
  std::string dir;
  std::string media;
  const MediaInfo* info = nullptr;
  int status = 0;  // 0 empty, 1 incomplete, 2 complete
  int lss = 0;     // state of the last session: 0 empty, 1 incomplete, 3 complete
  bool formatted = false;
  int bgFormat = 0;
  bool writeProtected = false;
  int64_t capacity = 0;
  std::vector<Track> tracks;
  std::vector<uint8_t> page5;
  std::vector<uint8_t> cue;
  bool saoPending = false;
  int64_t saoNext = 0, saoLeadout = 0;
  std::string timestamp;
  // The cue sheet of the last session written at once and the LBA its times count from, for the layout report.
  std::vector<uint8_t> lastCue;
  int64_t lastBase = 0;
  // Read faults of the disc folder, read with the disc.
  std::vector<SectorRange> unreadable;
  std::vector<int64_t> corrupt;
};

// Start of the lead-in of a blank CD (ATIP 97:26:66), where CD-TEXT packs of the first session go.
constexpr int64_t kLeadInStart = (97 * 60 + 26) * 75 + 66 - 450150;

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string out;
  char b[3];
  for (uint8_t v : bytes) {
    std::snprintf(b, sizeof b, "%02x", v);
    out += b;
  }
  return out;
}

std::vector<uint8_t> Unhex(const std::string& text) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < text.size(); i += 2) out.push_back(std::strtoul(text.substr(i, 2).c_str(), nullptr, 16));
  return out;
}

std::map<std::string, std::vector<std::string>> ReadKeys(const std::string& path) {
  std::map<std::string, std::vector<std::string>> keys;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    keys[line.substr(0, eq)].push_back(line.substr(eq + 1));
  }
  return keys;
}

std::string First(const std::map<std::string, std::vector<std::string>>& keys, const char* key,
                  const std::string& fallback = "") {
  auto it = keys.find(key);
  return it == keys.end() || it->second.empty() ? fallback : it->second.front();
}

int64_t Num(const std::string& text) { return std::strtoll(text.c_str(), nullptr, 0); }

std::vector<int64_t> Fields(const std::string& text) {
  std::vector<int64_t> out;
  std::stringstream ss(text);
  std::string item;
  while (std::getline(ss, item, ',')) out.push_back(Num(item));
  return out;
}

bool WriteText(const std::string& path, const std::string& text) {
  std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << text;
    if (!out) return false;
  }
  return std::rename(tmp.c_str(), path.c_str()) == 0;
}

std::string DriveDir(const std::string& stateDir, int n) { return stateDir + "/sg" + std::to_string(n); }

bool LoadDrive(const std::string& dir, Drive* d) {
  auto keys = ReadKeys(dir + "/drive.txt");
  if (keys.empty()) return false;
  d->inquiryType = Num(First(keys, "inquiry_type", "5"));
  d->legacy = Num(First(keys, "legacy", "0")) != 0;
  d->profileOverride = Num(First(keys, "profile_override", "-1"));
  d->badLengths = Num(First(keys, "bad_lengths", "0")) != 0;
  d->paced = Num(First(keys, "paced", "0")) != 0;
  d->disc = First(keys, "disc");
  d->speed = Num(First(keys, "speed", "0"));
  for (const std::string& q : keys["queue"]) d->queue.push_back(q);
  for (const std::string& f : keys["fault"]) {
    auto v = Fields(f);
    if (v.size() < 8) continue;
    Fault fault;
    fault.opcode = v[0], fault.nth = v[1], fault.count = v[2], fault.key = v[3], fault.asc = v[4], fault.ascq = v[5],
    fault.status = v[6], fault.shortBy = v[7];
    if (v.size() > 8) fault.host = v[8];
    d->faults.push_back(fault);
  }
  for (const std::string& c : keys["count"]) {
    auto v = Fields(c);
    if (v.size() == 2) d->counts[v[0]] = v[1];
  }
  return true;
}

bool SaveDrive(const std::string& dir, const Drive& d) {
  std::ostringstream o;
  o << "inquiry_type=" << d.inquiryType << "\nlegacy=" << d.legacy << "\nprofile_override=" << d.profileOverride
    << "\nbad_lengths=" << d.badLengths << "\npaced=" << d.paced << "\ndisc=" << d.disc << "\nspeed=" << d.speed
    << "\n";
  for (const std::string& q : d.queue) o << "queue=" << q << "\n";
  for (const Fault& f : d.faults)
    o << "fault=" << f.opcode << "," << f.nth << "," << f.count << "," << f.key << "," << f.asc << "," << f.ascq << ","
      << f.status << "," << f.shortBy << "," << f.host << "\n";
  for (auto [op, n] : d.counts) o << "count=" << op << "," << n << "\n";
  return WriteText(dir + "/drive.txt", o.str());
}

std::vector<uint8_t> DefaultPage5() {
  std::vector<uint8_t> p(0x34, 0);
  p[0] = 0x05;
  p[1] = 0x32;
  p[2] = 0x01;  // write type TAO
  p[3] = 0x04;  // track mode 4 (data, uninterrupted)
  p[4] = 0x08;  // data block type: Mode 1
  p[8] = 0x00;  // session format CD-DA/CD-ROM
  p[15] = 150;  // audio pause length
  return p;
}

bool LoadDisc(const std::string& dir, Disc* disc) {
  auto keys = ReadKeys(dir + "/disc.txt");
  if (keys.empty()) return false;
  disc->dir = dir;
  disc->media = First(keys, "media");
  disc->info = FindMedia(disc->media);
  if (!disc->info) return false;
  disc->status = Num(First(keys, "status", "0"));
  disc->lss = Num(First(keys, "lss", "0"));
  disc->formatted = Num(First(keys, "formatted", "0")) != 0;
  disc->bgFormat = Num(First(keys, "bg_format", "0"));
  disc->writeProtected = Num(First(keys, "write_protected", "0")) != 0;
  disc->capacity = Num(First(keys, "capacity", std::to_string(disc->info->capacity)));
  for (const std::string& t : keys["track"]) {
    auto v = Fields(t);
    if (v.size() < 7) continue;
    Track tr;
    tr.number = v[0], tr.session = v[1], tr.start = v[2], tr.size = v[3], tr.nwa = v[4], tr.state = v[5],
    tr.audio = v[6];
    if (v.size() > 7) tr.dataMode = v[7];
    disc->tracks.push_back(tr);
  }
  disc->page5 = Unhex(First(keys, "page5"));
  if (disc->page5.size() < 0x34) disc->page5 = DefaultPage5();
  disc->cue = Unhex(First(keys, "cue"));
  disc->saoPending = Num(First(keys, "sao_pending", "0")) != 0;
  disc->saoNext = Num(First(keys, "sao_next", "0"));
  disc->saoLeadout = Num(First(keys, "sao_leadout", "0"));
  disc->timestamp = First(keys, "timestamp");
  disc->lastCue = Unhex(First(keys, "last_cue"));
  disc->lastBase = Num(First(keys, "last_base", "0"));
  disc->unreadable = LoadUnreadable(dir);
  disc->corrupt = LoadCorrupt(dir);
  return true;
}

bool SaveDisc(const Disc& disc) {
  std::ostringstream o;
  o << "media=" << disc.media << "\nstatus=" << disc.status << "\nlss=" << disc.lss << "\nformatted=" << disc.formatted
    << "\nbg_format=" << disc.bgFormat << "\nwrite_protected=" << disc.writeProtected << "\ncapacity=" << disc.capacity
    << "\npage5=" << Hex(disc.page5) << "\ncue=" << Hex(disc.cue) << "\nsao_pending=" << disc.saoPending
    << "\nsao_next=" << disc.saoNext << "\nsao_leadout=" << disc.saoLeadout << "\ntimestamp=" << disc.timestamp
    << "\nlast_cue=" << Hex(disc.lastCue) << "\nlast_base=" << disc.lastBase << "\n";
  for (const Track& t : disc.tracks)
    o << "track=" << t.number << "," << t.session << "," << t.start << "," << t.size << "," << t.nwa << "," << t.state
      << "," << t.audio << "," << t.dataMode << "\n";
  return WriteText(disc.dir + "/disc.txt", o.str());
}

// ---------------------------------------------------------------------------------------------------------------
// Disc rules

int Sessions(const Disc& disc) {
  int n = 0;
  for (const Track& t : disc.tracks) n = std::max(n, t.session);
  return n;
}

Track* OpenTrack(Disc& disc) {
  for (Track& t : disc.tracks)
    if (t.state != kClosed && t.nwa < t.start + (t.state == kReserved ? t.size : disc.capacity)) return &t;
  return nullptr;
}

Track* Invisible(Disc& disc) {
  for (Track& t : disc.tracks)
    if (t.state == kInvisible) return &t;
  return nullptr;
}

int64_t AlignUp(int64_t v, int64_t unit) { return (v + unit - 1) / unit * unit; }

int64_t Granule(const Disc& disc) { return disc.info->family == kBd ? 32 : disc.info->family == kDvd ? 16 : 1; }

// The last block recorded on the disc, + 1.
int64_t RecordedEnd(const Disc& disc) {
  if (disc.info->kind == kOverwrite) return disc.formatted ? disc.capacity : 0;
  int64_t end = 0;
  for (const Track& t : disc.tracks) {
    if (t.state == kClosed)
      end = std::max(end, t.start + t.size);
    else
      end = std::max(end, t.nwa);
  }
  return end;
}

void MakeBlank(Disc& disc) {
  disc.tracks.clear();
  Track t;
  if (disc.info->kind == kOverwrite) {
    t.state = kClosed;
    t.size = disc.capacity;
    disc.status = disc.formatted ? 2 : 0;
    disc.lss = disc.formatted ? 3 : 0;
  } else {
    disc.status = 0;
    disc.lss = 0;
  }
  disc.tracks.push_back(t);
  disc.saoPending = false;
  disc.cue.clear();
  disc.lastCue.clear();
}

// Starts the invisible track of a further session after the closed ones (CD: lead-out, lead-in and pregap).
void OpenNextSession(Disc& disc) {
  int64_t end = RecordedEnd(disc);
  int sessions = Sessions(disc);
  Track t;
  t.number = disc.tracks.empty() ? 1 : disc.tracks.back().number + 1;
  t.session = sessions + 1;
  if (disc.info->family == kCd) {
    int64_t gap = sessions == 1 ? 6750 + 4500 : 2250 + 4500;
    t.start = end + gap;
    t.nwa = t.start + 150;
  } else {
    t.start = AlignUp(end, Granule(disc));
    t.nwa = t.start;
  }
  if (t.nwa >= disc.capacity) {
    disc.status = 2;
    return;
  }
  disc.tracks.push_back(t);
}

void CloseSession(Disc& disc, bool finalize) {
  std::vector<Track> kept;
  for (Track t : disc.tracks) {
    if (t.state == kInvisible && t.nwa == t.start + (disc.info->family == kCd && t.session > 1 ? 150 : 0)) continue;
    if (t.state != kClosed) {
      if (t.state == kInvisible) t.size = t.nwa - t.start;
      t.state = kClosed;
    }
    kept.push_back(t);
  }
  disc.tracks = kept;
  disc.lss = 3;
  // CD and DVD-R: the multi-session field of the write parameters page decides; DVD+R and BD-R: the close function.
  bool multi = disc.info->family == kCd || (disc.info->family == kDvd && disc.info->book <= 3)
                   ? (disc.page5[3] >> 6) == 3
                   : !finalize;
  if (multi) {
    disc.status = 1;
    disc.lss = 0;  // the next session is open and empty
    OpenNextSession(disc);
  } else {
    disc.status = 2;
  }
}

// ---------------------------------------------------------------------------------------------------------------
// DVD and BD rules

// A DVD-R or DVD-RW written incrementally in fixed packets (write type 0 with FP set in the write parameters
// page) takes one whole packet of the page's packet size per write, on a packet boundary.
bool WholePackets(const Disc& disc, int64_t lba, uint32_t count) {
  if (disc.info->family != kDvd || disc.info->kind != kSequential || disc.info->book > 3) return true;
  const std::vector<uint8_t>& p = disc.page5;
  if ((p[2] & 0x0F) != 0 || !(p[3] & 0x20)) return true;
  int64_t packet = static_cast<int64_t>(p[10]) << 24 | p[11] << 16 | p[12] << 8 | p[13];
  return packet > 0 && count == packet && lba % packet == 0;
}

// DVD-R and DVD-RW written disc at once close themselves once the cache is flushed after the last block of the
// reserved track.
bool FinishDiscAtOnce(Disc& disc) {
  if (disc.info->family != kDvd || disc.info->kind != kSequential || disc.info->book > 3) return false;
  if ((disc.page5[2] & 0x0F) != 2 || disc.lss == 3) return false;
  for (const Track& t : disc.tracks) {
    if (t.state != kReserved) continue;
    if (t.nwa != t.start + t.size) return false;
    CloseSession(disc, true);
    return true;
  }
  return false;
}

// Background format of a DVD+RW: 0 none, 1 stopped before it completed, 2 running, 3 complete. FORMAT UNIT
// starts it (a restart goes on from a stopped one); closing the session stops a running one; finalizing
// completes it.
void StartBackgroundFormat(Disc& disc) { disc.bgFormat = 2; }

void CloseBackgroundFormat(Disc& disc, int function) {
  if (disc.info->profile != 0x1A) return;
  if (function == 2 && disc.bgFormat == 2) disc.bgFormat = 1;
  if (function == 3) disc.bgFormat = 3;
}

// Writes zero blocks as holes, so that a disc that takes a large sparse image stays small on the test machine:
// past the end of the file (`size`) there is nothing to do, inside it the block's space is given back.
bool PutBlock(int fd, const uint8_t* user, int64_t offset, int64_t size) {
  static const uint8_t kZero[2048] = {};
  if (std::memcmp(user, kZero, 2048) == 0 &&
      (offset >= size || fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset, 2048) == 0))
    return true;
  return pwrite(fd, user, 2048, offset) == 2048;
}

// ---------------------------------------------------------------------------------------------------------------
// Answers

struct Context {
  Drive drive;
  Disc disc;
  bool hasDisc = false;
  bool discInMemory = false;  // the disc came from the state kept in memory, not from its files
  bool discChanged = false;
  bool driveChanged = false;
  const Request* req = nullptr;
  Reply* reply = nullptr;
  std::string driveDir;
};

void SetSense(Reply* r, int key, int asc, int ascq) {
  r->status = 2;
  std::memset(r->sense, 0, sizeof r->sense);
  r->sense[0] = 0x70;
  r->sense[2] = key;
  r->sense[7] = 10;
  r->sense[12] = asc;
  r->sense[13] = ascq;
  r->senseLength = 18;
}

bool Fail(Context& c, int key, int asc, int ascq) {
  SetSense(c.reply, key, asc, ascq);
  return false;
}

// Sends `answer` to the host, cut to the allocation length and the buffer.
bool Answer(Context& c, const std::vector<uint8_t>& answer, uint32_t alloc) {
  uint32_t n = std::min<uint32_t>({static_cast<uint32_t>(answer.size()), alloc, c.req->dataLength});
  if (n && c.req->data) std::memcpy(c.req->data, answer.data(), n);
  c.reply->transferred = n;
  return true;
}

void Put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = v >> 8;
  b[at + 1] = v;
}
void Put24(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = v >> 16;
  b[at + 1] = v >> 8;
  b[at + 2] = v;
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = v >> 24;
  b[at + 1] = v >> 16;
  b[at + 2] = v >> 8;
  b[at + 3] = v;
}
uint32_t Get16(const uint8_t* p) { return p[0] << 8 | p[1]; }
uint32_t Get24(const uint8_t* p) { return p[0] << 16 | p[1] << 8 | p[2]; }
uint32_t Get32(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

bool NeedDisc(Context& c) {
  if (!c.hasDisc) return Fail(c, 2, 0x3A, 0x00);
  return true;
}

int CurrentProfile(const Context& c) {
  if (c.drive.profileOverride >= 0) return c.drive.profileOverride;
  return c.hasDisc ? c.disc.info->profile : 0;
}

bool Inquiry(Context& c) {
  const uint8_t* cdb = c.req->cdb;
  if (cdb[1] & 1) return Fail(c, 5, 0x24, 0);
  std::vector<uint8_t> a(36, ' ');
  a[0] = c.drive.inquiryType;
  a[1] = 0x80;
  a[2] = 0x05;
  a[3] = 0x02;
  a[4] = 31;
  a[5] = a[6] = a[7] = 0;
  std::memcpy(&a[8], "KSIM    SimRecorder     1.00", 28);
  return Answer(c, a, Get16(cdb + 3));
}

struct FeatureDef {
  int code;
  int version;
};

bool FeatureCurrent(const Context& c, int code) {
  if (!c.hasDisc) return code < 0x10 && code != 0;
  const MediaInfo& m = *c.disc.info;
  switch (code) {
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x10:
      return true;
    case 0x1E:
    case 0x2D:
    case 0x2E:
      return m.family == kCd;
    case 0x1F:
      return m.family == kDvd;
    case 0x23:
      return m.kind == kOverwrite || (m.family == kBd && m.kind == kSequential);
    case 0x2A:
      return m.profile == 0x1A;
    case 0x2B:
      return m.profile == 0x1B || m.profile == 0x2B;
    case 0x2C:
      return m.profile == 0x13;
    case 0x2F:
      return m.profile == 0x11 || m.profile == 0x13 || m.profile == 0x14 || m.profile == 0x15;
    case 0x38:
      return m.pow;
    case 0x3B:
      return m.profile == 0x2B;
    case 0x40:
      return m.family == kBd;
    case 0x41:
      return m.family == kBd && m.kind != kRom;
  }
  return false;
}

bool GetConfiguration(Context& c) {
  if (c.drive.legacy) return Fail(c, 5, 0x20, 0);
  const uint8_t* cdb = c.req->cdb;
  int rt = cdb[1] & 3;
  int startFeature = Get16(cdb + 2);
  static const FeatureDef kFeatures[] = {{0x00, 0}, {0x01, 2}, {0x02, 1}, {0x03, 0}, {0x10, 0}, {0x1E, 2},
                                         {0x1F, 1}, {0x23, 1}, {0x2A, 1}, {0x2B, 0}, {0x2C, 0}, {0x2D, 2},
                                         {0x2E, 0}, {0x2F, 2}, {0x38, 0}, {0x3B, 0}, {0x40, 0}, {0x41, 0}};
  std::vector<uint8_t> a(8, 0);
  Put16(a, 6, CurrentProfile(c));
  for (const FeatureDef& f : kFeatures) {
    if (rt == 2 ? f.code != startFeature : f.code < startFeature) continue;
    bool current = f.code == 0 || FeatureCurrent(c, f.code);
    if (rt == 1 && !current) continue;
    std::vector<uint8_t> d(4, 0);
    Put16(d, 0, f.code);
    d[2] = f.version << 2 | (f.code <= 0x03 ? 2 : 0) | (current ? 1 : 0);
    if (f.code == 0) {
      for (const MediaInfo& m : kMedia) {
        bool seen = false;
        for (size_t i = 4; i < d.size(); i += 4) seen |= static_cast<int>(Get16(&d[i])) == m.profile;
        if (seen) continue;
        size_t at = d.size();
        d.resize(at + 4, 0);
        Put16(d, at, m.profile);
        d[at + 2] = CurrentProfile(c) == m.profile ? 1 : 0;
      }
    } else {
      d.resize(8, 0);
      if (f.code == 0x1E) d[4] = 0x01;  // reads CD-Text
      if (f.code == 0x2F) d[4] = 0x46;  // BUF, test write, DVD-RW
    }
    d[3] = d.size() - 4;
    a.insert(a.end(), d.begin(), d.end());
  }
  Put32(a, 0, c.drive.badLengths ? 0xFFFFFFF0u : a.size() - 4);
  return Answer(c, a, Get16(cdb + 7));
}

// The disc type of a CD's TOC and disc information: 0x20 when a data track is Mode 2 (CD-ROM XA).
int CdDiscType(const Disc& d) {
  for (const Track& t : d.tracks)
    if (!t.audio && t.dataMode == 2) return 0x20;
  return 0x00;
}

bool ReadDiscInformation(Context& c) {
  if (!NeedDisc(c)) return false;
  if (c.req->cdb[1] & 7) return Fail(c, 5, 0x24, 0);
  const Disc& d = c.disc;
  std::vector<uint8_t> a(34, 0);
  Put16(a, 0, c.drive.badLengths ? 0xFFFF : 32);
  int status = d.info->kind == kRom ? 2 : d.status;
  int lss = d.info->kind == kRom ? 3 : d.lss;
  a[2] = (d.info->erasable ? 0x10 : 0) | lss << 2 | status;
  a[3] = 1;
  int sessions = std::max(1, Sessions(d));
  int lastTrack = d.tracks.empty() ? 1 : d.tracks.back().number;
  int firstInLast = lastTrack;
  for (const Track& t : d.tracks)
    if (t.session == d.tracks.back().session) {
      firstInLast = t.number;
      break;
    }
  if (c.drive.badLengths) sessions = lastTrack = firstInLast = 0xFF;
  a[4] = sessions;
  a[5] = firstInLast;
  a[6] = lastTrack;
  a[7] = 0x20 | (d.info->profile == 0x1A ? d.bgFormat : 0);  // unrestricted use
  a[8] = d.info->family == kCd ? CdDiscType(d) : 0xFF;
  Put32(a, 20, d.info->family == kCd ? 0x00FF0000 | 79 << 8 | 59 : d.capacity);
  if (d.info->family == kCd && d.status != 2 && Sessions(d) <= 1) a[17] = 97, a[18] = 26, a[19] = 66;
  return Answer(c, a, Get16(c.req->cdb + 7));
}

const Track* FindTrackByNumber(const Disc& d, uint32_t n) {
  for (const Track& t : d.tracks)
    if (static_cast<uint32_t>(t.number) == n) return &t;
  return nullptr;
}

bool ReadTrackInformation(Context& c) {
  if (!NeedDisc(c)) return false;
  const uint8_t* cdb = c.req->cdb;
  Disc& d = c.disc;
  uint32_t addr = Get32(cdb + 2);
  const Track* t = nullptr;
  switch (cdb[1] & 3) {
    case 0:
      for (const Track& x : d.tracks) {
        int64_t end = x.state == kClosed || x.state == kReserved ? x.start + x.size : d.capacity;
        if (addr >= x.start && addr < end) t = &x;
      }
      break;
    case 1:
      t = addr == 0xFF ? Invisible(d) : FindTrackByNumber(d, addr);
      break;
    case 2:
      for (const Track& x : d.tracks)
        if (static_cast<uint32_t>(x.session) == addr) {
          t = &x;
          break;
        }
      break;
    default:
      return Fail(c, 5, 0x24, 0);
  }
  if (!t) return Fail(c, 5, 0x24, 0);
  std::vector<uint8_t> a(48, 0);
  Put16(a, 0, c.drive.badLengths ? 0xFFFF : 46);
  a[2] = t->number;
  a[3] = t->session;
  a[5] = t->audio ? 0x00 : 0x04;
  bool blank = t->state == kInvisible && t->nwa == t->start;
  a[6] = (t->state != kClosed ? 0x40 : 0) | (blank ? 0x20 : 0) | (t->dataMode & 0x0F);  // RT, blank, data mode
  bool nwaValid = d.info->kind == kSequential && t->state != kClosed;
  if (d.info->profile == 0x1A) nwaValid = true;  // DVD+RW reports its next writable address
  a[7] = nwaValid ? 0x01 : 0x00;
  int64_t size = t->state == kInvisible ? d.capacity - t->start : t->size;
  int64_t nwa = d.info->profile == 0x1A ? 0 : t->nwa;
  Put32(a, 8, t->start);
  Put32(a, 12, nwaValid ? nwa : 0);
  int64_t free = t->state == kClosed ? 0 : t->state == kReserved ? t->start + t->size - t->nwa : d.capacity - t->nwa;
  if (d.info->profile == 0x1A) free = d.capacity;
  Put32(a, 16, std::max<int64_t>(free, 0));
  Put32(a, 24, size);
  Put32(a, 28, t->nwa > t->start ? t->nwa - 1 : t->start);
  return Answer(c, a, Get16(cdb + 7));
}

void PutAddress(std::vector<uint8_t>& a, size_t at, int64_t lba, bool msf) {
  if (!msf) {
    Put32(a, at, static_cast<uint32_t>(lba));
    return;
  }
  int64_t v = lba + 150;
  a[at] = 0;
  a[at + 1] = v / (75 * 60);
  a[at + 2] = v / 75 % 60;
  a[at + 3] = v % 75;
}

bool ReadToc(Context& c) {
  if (!NeedDisc(c)) return false;
  const uint8_t* cdb = c.req->cdb;
  const Disc& d = c.disc;
  bool msf = cdb[1] & 2;
  int format = cdb[2] & 0x0F;
  std::vector<const Track*> closed;
  for (const Track& t : d.tracks)
    if (t.state == kClosed && (t.size > 0 || d.info->kind == kOverwrite)) closed.push_back(&t);
  if (d.info->kind == kOverwrite && !d.formatted) closed.clear();
  std::vector<uint8_t> a(4, 0);
  if (format == 0 || format == 1) {
    if (closed.empty()) return Fail(c, 5, 0x24, 0);
    a[2] = closed.front()->number;
    a[3] = format == 1 ? closed.back()->session : closed.back()->number;
    if (format == 1) a[2] = 1;
    auto add = [&](int number, int64_t lba, bool audio) {
      size_t at = a.size();
      a.resize(at + 8, 0);
      a[at + 1] = 0x10 | (audio ? 0x00 : 0x04);
      a[at + 2] = number;
      PutAddress(a, at + 4, lba, msf);
    };
    if (format == 1) {
      const Track* firstOfLast = closed.back();
      for (const Track* t : closed)
        if (t->session == closed.back()->session) {
          firstOfLast = t;
          break;
        }
      add(firstOfLast->number, firstOfLast->start, firstOfLast->audio);
    } else {
      for (const Track* t : closed) add(t->number, t->start, t->audio);
      add(0xAA, closed.back()->start + closed.back()->size, false);
    }
    if (c.drive.badLengths) a[3] = 0xFF;
  } else if (format == 2) {
    if (d.info->family != kCd || closed.empty()) return Fail(c, 5, 0x24, 0);
    a[2] = 1;
    a[3] = closed.back()->session;
    auto add = [&](int session, int point, int64_t lba, int pmin) {
      size_t at = a.size();
      a.resize(at + 11, 0);
      a[at] = session;
      a[at + 1] = 0x14;
      a[at + 3] = point;
      if (pmin >= 0) {
        a[at + 8] = pmin;
      } else {
        int64_t v = lba + 150;
        a[at + 8] = v / 4500;
        a[at + 9] = v / 75 % 60;
        a[at + 10] = v % 75;
      }
    };
    for (int s = 1; s <= closed.back()->session; ++s) {
      std::vector<const Track*> in;
      for (const Track* t : closed)
        if (t->session == s) in.push_back(t);
      if (in.empty()) continue;
      add(s, 0xA0, 0, in.front()->number);
      a[a.size() - 2] = CdDiscType(d);
      add(s, 0xA1, 0, in.back()->number);
      add(s, 0xA2, in.back()->start + in.back()->size, -1);
      for (const Track* t : in) {
        add(s, t->number, t->start, -1);
        if (t->audio) a[a.size() - 10] = 0x10;  // ADR 1, an audio track's control
      }
    }
  } else if (format == 4) {
    if (d.info->family != kCd || d.info->kind == kRom) return Fail(c, 5, 0x24, 0);
    a.resize(28, 0);
    a[4] = 0x80 | 0x50;                           // write power, reference speed
    a[6] = 0x80 | (d.info->erasable ? 0x40 : 0);  // disc type: CD-RW
    a[8] = 97, a[9] = 26, a[10] = 66;             // lead-in start 97:26:66
    a[12] = 79, a[13] = 59, a[14] = 74;           // last possible lead-out start 79:59:74
  } else if (format == 5) {
    if (d.info->family != kCd) return Fail(c, 5, 0x24, 0);
    const std::vector<uint8_t> packs = LeadInCdTextPacks(d.dir);
    a.insert(a.end(), packs.begin(), packs.end());
  } else {
    return Fail(c, 5, 0x24, 0);
  }
  Put16(a, 0, c.drive.badLengths ? 0xFFFF : a.size() - 2);
  return Answer(c, a, Get16(cdb + 7));
}

bool ReadCapacity(Context& c) {
  if (!NeedDisc(c)) return false;
  std::vector<uint8_t> a(8, 0);
  int64_t end = RecordedEnd(c.disc);
  Put32(a, 0, end > 0 ? end - 1 : 0);
  Put32(a, 4, 2048);
  return Answer(c, a, 8);
}

bool ReadFormatCapacities(Context& c) {
  if (!NeedDisc(c)) return false;
  const Disc& d = c.disc;
  const MediaInfo& m = *d.info;
  std::vector<uint8_t> a(12, 0);
  Put32(a, 4, d.capacity);
  bool unformatted = m.kind == kOverwrite ? !d.formatted : d.status == 0;
  a[8] = unformatted ? 1 : 2;
  Put24(a, 9, 2048);
  auto add = [&](int64_t blocks, int type, uint32_t param) {
    size_t at = a.size();
    a.resize(at + 8, 0);
    Put32(a, at, blocks);
    a[at + 4] = type << 2;
    Put24(a, at + 5, param);
  };
  if (m.profile == 0x1A) add(d.capacity, 0x26, 0);
  if (m.profile == 0x12) add(m.capacity, 0x00, 0);
  if (m.profile == 0x13 || m.profile == 0x14) {
    add(m.capacity, 0x10, 16);
    add(m.capacity, 0x15, 16);
  }
  if (m.profile == 0x43) {
    add(m.capacity, 0x00, 0x3000);
    add(m.capacity, 0x30, 0x3000);
    add(m.capacity + 4096 * m.layers * 32, 0x30, 0x1800);
    add(m.capacity - 131072 * m.layers, 0x30, 0x6000);
    add(m.capacity + 393216 * m.layers, 0x31, 0);
  }
  if (m.family == kBd && m.kind == kSequential && d.status == 0) {
    add(m.capacity - 393216 * m.layers, 0x32, 0x3000);
    add(m.capacity - 786432 * m.layers, 0x32, 0x6000);
  }
  a[3] = c.drive.badLengths ? 0xF8 : a.size() - 4;
  return Answer(c, a, Get16(c.req->cdb + 7));
}

bool ModeSense(Context& c) {
  const uint8_t* cdb = c.req->cdb;
  int page = cdb[2] & 0x3F, pc = cdb[2] >> 6;
  std::vector<uint8_t> p;
  if (page == 0x05) {
    if (!c.hasDisc) {
      p = DefaultPage5();
    } else {
      p = c.disc.page5;
    }
    if (pc == 1) std::fill(p.begin() + 2, p.end(), 0xFF);
    if (c.drive.badLengths) p[1] = 0xFF;
  } else if (page == 0x2A) {
    p.assign(0x1E, 0);
    p[0] = 0x2A;
    p[1] = 0x1C;
    p[2] = 0x3F;
    p[3] = 0x37;
    int speed = c.hasDisc ? c.disc.info->speedKBs : 8467;
    Put16(p, 8, speed);
    Put16(p, 28, c.drive.speed ? c.drive.speed : speed);
  } else {
    return Fail(c, 5, 0x24, 0);
  }
  std::vector<uint8_t> a(8, 0);
  a.insert(a.end(), p.begin(), p.end());
  Put16(a, 0, c.drive.badLengths ? 0xFFFF : a.size() - 2);
  return Answer(c, a, Get16(cdb + 7));
}

bool ModeSelect(Context& c) {
  const uint8_t* cdb = c.req->cdb;
  uint32_t n = std::min<uint32_t>(Get16(cdb + 7), c.req->dataLength);
  if (!(cdb[1] & 0x10)) return Fail(c, 5, 0x24, 0);
  if (n < 10 || !c.req->data) return Fail(c, 5, 0x1A, 0);
  const uint8_t* b = c.req->data;
  uint32_t bd = Get16(b + 6);
  if (8 + bd + 2 > n) return Fail(c, 5, 0x26, 0);
  const uint8_t* p = b + 8 + bd;
  uint32_t len = p[1] + 2;
  if ((p[0] & 0x3F) != 0x05 || p[1] < 0x32 || 8 + bd + len > n) return Fail(c, 5, 0x26, 0);
  if (!NeedDisc(c)) return false;
  c.disc.page5.assign(p, p + std::max<uint32_t>(len, 0x34));
  c.disc.page5.resize(0x34);
  c.disc.page5[0] &= 0x3F;
  c.discChanged = true;
  return true;
}

bool WritableCheck(Context& c) {
  if (!NeedDisc(c)) return false;
  if (c.disc.writeProtected) return Fail(c, 7, 0x27, 0);
  if (c.disc.info->kind == kRom) return Fail(c, 5, 0x30, 0x05);
  return true;
}

int64_t MsfToLba(const uint8_t* p) { return (p[0] * 60 + p[1]) * 75 + p[2] - 150; }

bool SendCueSheet(Context& c) {
  if (!WritableCheck(c)) return false;
  Disc& d = c.disc;
  uint32_t n = std::min<uint32_t>(Get24(c.req->cdb + 6), c.req->dataLength);
  if (d.info->family != kCd || d.status == 2) return Fail(c, 5, 0x2C, 0);
  if (n == 0 || n % 8 || !c.req->data) return Fail(c, 5, 0x26, 0);
  Track* open = Invisible(d);
  if (!open || open->nwa != (open->session > 1 ? open->start + 150 : 0)) return Fail(c, 5, 0x2C, 0);
  const uint8_t* e = c.req->data;
  int64_t first = INT64_MAX, leadout = -1, firstIndex1 = -1;
  for (uint32_t i = 0; i < n; i += 8) {
    if ((e[i] & 0x0F) != 1) continue;  // catalog number and ISRC entries carry no times
    int64_t lba = MsfToLba(e + i + 5);
    if (e[i + 1] == 0xAA) leadout = lba;
    if (e[i + 1] != 0 && e[i + 1] != 0xAA) first = std::min(first, lba);
    if (e[i + 1] != 0 && e[i + 1] != 0xAA && e[i + 2] == 1 && firstIndex1 < 0) firstIndex1 = lba;
  }
  int64_t base = open->session > 1 ? open->start : 0;
  if (leadout < 0 || first == INT64_MAX || firstIndex1 < 0 || leadout <= firstIndex1) return Fail(c, 5, 0x26, 0);
  if (base + leadout > d.capacity) return Fail(c, 5, 0x21, 0);
  d.cue.assign(e, e + n);
  d.saoPending = true;
  d.saoNext = base + first;
  d.saoLeadout = base + leadout;
  c.discChanged = true;
  return true;
}

int BlockSizeOfPage5(const Disc& d) {
  switch (d.page5[4] & 0x0F) {
    case 0:
      return 2352;
    case 1:
      return 2368;
    case 2:
      return 2448;
    case 3:
      return 2448;
    case 8:
      return 2048;
    case 9:
      return 2336;
    case 10:
      return 2048;
    case 12:
      return 2056;
    case 13:
      return 2324;
  }
  return 2048;
}

// Stores blocks of user data; raw CD blocks keep their Mode 1 user data.
bool StoreBlocks(Context& c, int64_t lba, uint32_t count, const uint8_t* data, uint32_t blockSize) {
  int fd = open((c.disc.dir + "/data.bin").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return Fail(c, 3, 0x0C, 0);
  struct stat st;
  bool ok = fstat(fd, &st) == 0;
  for (uint32_t i = 0; i < count && ok; ++i) {
    if (lba + i < 0) continue;
    const uint8_t* b = data + static_cast<size_t>(i) * blockSize;
    const uint8_t* user = blockSize >= 2352 ? b + (b[15] == 2 ? 24 : 16) : blockSize == 2336 ? b + 8 : b;
    ok = PutBlock(fd, user, (lba + i) * 2048, st.st_size);
  }
  int64_t end = (lba + count) * 2048;
  if (ok && st.st_size < end) ok = ftruncate(fd, end) == 0;
  close(fd);
  if (!ok) return Fail(c, 3, 0x0C, 0);
  return true;
}

// The index entry of the cue sheet whose track holds `lba` (counted from the session's start), or null.
const uint8_t* SaoEntryFor(const Disc& d, int64_t lba) {
  const uint8_t* found = nullptr;
  for (size_t i = 0; i + 8 <= d.cue.size(); i += 8) {
    const uint8_t* e = &d.cue[i];
    if ((e[0] & 0x0F) != 1 || e[1] == 0 || e[1] == 0xAA) continue;
    if (MsfToLba(e + 5) <= lba) found = e;
  }
  return found;
}

// Raw 2352-byte blocks as they were sent: audio samples, or the whole data sector.
bool StoreRaw(Context& c, int64_t lba, uint32_t count, const uint8_t* data) {
  int fd = open((c.disc.dir + "/raw.bin").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return Fail(c, 3, 0x0C, 0);
  int64_t first = std::max<int64_t>(lba, 0);
  size_t skip = static_cast<size_t>(first - lba) * 2352;
  size_t bytes = static_cast<size_t>(count) * 2352 > skip ? static_cast<size_t>(count) * 2352 - skip : 0;
  bool ok = bytes == 0 || pwrite(fd, data + skip, bytes, first * 2352) == static_cast<ssize_t>(bytes);
  close(fd);
  return ok || Fail(c, 3, 0x0C, 0);
}

// R-W subchannel blocks of the lead-in: CD-TEXT packs, taken only when the cue sheet announced them.
bool WriteLeadIn(Context& c, int64_t lba, uint32_t count) {
  Disc& d = c.disc;
  bool announced = false;
  for (size_t i = 0; i + 8 <= d.cue.size(); i += 8)
    if ((d.cue[i] & 0x0F) == 1 && d.cue[i + 1] == 0 && (d.cue[i + 3] & 0x40)) announced = true;
  if (!announced || Sessions(d) > 1) return Fail(c, 5, 0x24, 0);
  if (lba < kLeadInStart || lba + count > -150) return Fail(c, 5, 0x21, 0);
  int fd = open((d.dir + "/leadin.bin").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return Fail(c, 3, 0x0C, 0);
  bool ok = pwrite(fd, c.req->data, count * 96, (lba - kLeadInStart) * 96) == static_cast<ssize_t>(count * 96);
  close(fd);
  if (!ok) return Fail(c, 3, 0x0C, 0);
  c.reply->transferred = count * 96;
  return true;
}

// Writes a whole SAO session from the cue sheet once its last block has come.
void FinishSao(Disc& d) {
  int64_t base = d.saoLeadout - MsfToLba(&d.cue[d.cue.size() - 8 + 5]);
  Track* open = Invisible(d);
  int session = open ? open->session : Sessions(d) + 1;
  int number = open ? open->number : 1;
  d.tracks.erase(std::remove_if(d.tracks.begin(), d.tracks.end(), [](const Track& t) { return t.state == kInvisible; }),
                 d.tracks.end());
  std::vector<Track> made;
  for (size_t i = 0; i + 8 <= d.cue.size(); i += 8) {
    const uint8_t* e = &d.cue[i];
    if ((e[0] & 0x0F) != 1 || e[1] == 0 || e[1] == 0xAA || e[2] != 1) continue;
    Track t;
    t.number = number + static_cast<int>(made.size());
    t.session = session;
    t.start = base + MsfToLba(e + 5);
    t.state = kClosed;
    t.audio = (e[0] & 0x40) == 0;
    made.push_back(t);
  }
  for (size_t i = 0; i < made.size(); ++i) {
    int64_t end = i + 1 < made.size() ? made[i + 1].start : d.saoLeadout;
    made[i].size = end - made[i].start;
    made[i].nwa = end;
    d.tracks.push_back(made[i]);
  }
  d.saoPending = false;
  d.lastCue = d.cue;
  d.lastBase = base;
  d.cue.clear();
  d.status = 1;
  CloseSession(d, false);
}

bool Write10(Context& c) {
  if (!WritableCheck(c)) return false;
  Disc& d = c.disc;
  const uint8_t* cdb = c.req->cdb;
  int64_t lba = static_cast<int32_t>(Get32(cdb + 2));
  uint32_t count = Get16(cdb + 7);
  if (count == 0) return true;
  uint32_t blockSize = d.saoPending ? c.req->dataLength / count : 2048;
  if (blockSize == 0 || static_cast<uint64_t>(count) * blockSize > c.req->dataLength || !c.req->data)
    return Fail(c, 5, 0x24, 0);
  if (d.saoPending) {
    int64_t base = d.saoLeadout - MsfToLba(&d.cue[d.cue.size() - 8 + 5]);
    if (blockSize == 96 && lba < -150) return WriteLeadIn(c, lba, count);
    if (lba != d.saoNext) return Fail(c, 5, 0x21, 0x02);
    if (lba + count > d.saoLeadout) return Fail(c, 5, 0x21, 0x00);
    // Every block of one command belongs to the track that holds its first block and has that track's size.
    const uint8_t* entry = SaoEntryFor(d, lba - base);
    if (!entry) return Fail(c, 5, 0x21, 0x00);
    int form = entry[3] & 0x3F;
    int expected = form == 0x00 || form == 0x11 ? 2352 : form == 0x10 ? 2048 : static_cast<int>(blockSize);
    if (static_cast<int>(blockSize) != expected) return Fail(c, 5, 0x24, 0);
    if (blockSize == 2352 && !StoreRaw(c, lba, count, c.req->data)) return false;
    if ((entry[0] & 0x40) && !StoreBlocks(c, lba, count, c.req->data, blockSize)) return false;
    d.saoNext += count;
    c.discChanged = true;
    c.reply->transferred = count * blockSize;
    return true;
  }
  if (!WholePackets(d, lba, count)) return Fail(c, 5, 0x21, 0x02);
  if (d.info->kind == kOverwrite) {
    if (!d.formatted) return Fail(c, 2, 0x30, 0x10);
    if (lba < 0 || lba + count > d.capacity) return Fail(c, 5, 0x21, 0);
  } else {
    if (d.status == 2) return Fail(c, 5, 0x21, 0x02);
    Track* t = nullptr;
    for (Track& x : d.tracks)
      if (x.state != kClosed && x.nwa == lba) t = &x;
    bool overwrite = d.info->pow && lba >= 0 && lba + count <= RecordedEnd(d);
    if (!t && !overwrite) return Fail(c, 5, 0x21, 0x02);
    if (t) {
      int64_t limit = t->state == kReserved ? t->start + t->size : d.capacity;
      if (lba + count > limit) return Fail(c, 5, 0x21, 0x00);
      t->nwa += count;
      d.status = 1;
      d.lss = 1;
    }
  }
  if (!StoreBlocks(c, lba, count, c.req->data, 2048)) return false;
  c.discChanged = true;
  c.reply->transferred = count * 2048;
  return true;
}

// Files a process that keeps the state in memory holds open between commands instead of opening them for each
// one: a whole disc is read in over a hundred thousand commands.
struct HeldFiles {
  bool enabled = false;
  std::string dataDir;  // the disc folder whose data.bin dataFd is
  int dataFd = -1;
  std::string logDir;  // the drive folder whose cdb.log logFd is
  int logFd = -1;
};
HeldFiles g_held;

void ForgetHeldFiles() {
  if (g_held.dataFd >= 0) close(g_held.dataFd);
  if (g_held.logFd >= 0) close(g_held.logFd);
  g_held.dataFd = g_held.logFd = -1;
  g_held.dataDir.clear();
  g_held.logDir.clear();
}

// The disc's user data open for reading, or -1 when there is none yet; DoneReading gives it back.
int DataForReading(const Disc& d) {
  if (!g_held.enabled) return open((d.dir + "/data.bin").c_str(), O_RDONLY | O_CLOEXEC);
  if (g_held.dataFd < 0 || g_held.dataDir != d.dir) {
    if (g_held.dataFd >= 0) close(g_held.dataFd);
    g_held.dataFd = open((d.dir + "/data.bin").c_str(), O_RDONLY | O_CLOEXEC);
    g_held.dataDir = d.dir;
  }
  return g_held.dataFd;
}

void DoneReading(int fd) {
  if (fd >= 0 && fd != g_held.dataFd) close(fd);
}

bool ReadBlocks(Context& c, int64_t lba, uint32_t count, uint32_t blockSize) {
  if (!NeedDisc(c)) return false;
  const Disc& d = c.disc;
  int64_t end = d.info->kind == kOverwrite ? d.capacity : RecordedEnd(d);
  if (lba < 0 || lba + count > end) return Fail(c, 5, 0x21, 0);
  if (static_cast<uint64_t>(count) * blockSize > c.req->dataLength || (count && !c.req->data))
    return Fail(c, 5, 0x24, 0);
  if (SectorsUnreadable(d.unreadable, lba, count)) return Fail(c, 3, 0x11, 0x05);
  if (blockSize == 2352 && ReadRawSectors(d.dir, lba, count, c.req->data)) {
    ApplyReadFaults(d.corrupt, lba, count, blockSize, c.req->data);
    c.reply->transferred = count * blockSize;
    return true;
  }
  int fd = DataForReading(d);
  if (blockSize == 2048) {
    // User data in one read; what lies past the end of the file reads as zeros.
    size_t bytes = static_cast<size_t>(count) * 2048;
    ssize_t got = fd >= 0 ? pread(fd, c.req->data, bytes, lba * 2048) : 0;
    if (got < 0) got = 0;
    std::memset(c.req->data + got, 0, bytes - static_cast<size_t>(got));
    DoneReading(fd);
    ApplyReadFaults(d.corrupt, lba, count, blockSize, c.req->data);
    c.reply->transferred = count * blockSize;
    return true;
  }
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t* out = c.req->data + static_cast<size_t>(i) * blockSize;
    std::memset(out, 0, blockSize);
    uint8_t* user = blockSize == 2352 ? out + 16 : out;
    if (fd >= 0) {
      ssize_t got = pread(fd, user, 2048, (lba + i) * 2048);
      (void)got;
    }
    if (blockSize == 2352) {
      static const uint8_t sync[12] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
      std::memcpy(out, sync, 12);
      int64_t v = lba + i + 150;
      auto bcd = [](int x) { return static_cast<uint8_t>(x / 10 << 4 | x % 10); };
      out[12] = bcd(v / 4500);
      out[13] = bcd(v / 75 % 60);
      out[14] = bcd(v % 75);
      out[15] = 1;
    }
  }
  DoneReading(fd);
  ApplyReadFaults(d.corrupt, lba, count, blockSize, c.req->data);
  c.reply->transferred = count * blockSize;
  return true;
}

bool ReserveTrack(Context& c) {
  if (!WritableCheck(c)) return false;
  Disc& d = c.disc;
  Track* t = Invisible(d);
  if (d.info->kind != kSequential || !t || t->nwa != t->start) return Fail(c, 5, 0x2C, 0);
  int64_t size = Get32(c.req->cdb + 5);
  if (size == 0 || t->start + size > d.capacity) return Fail(c, 5, 0x24, 0);
  t->state = kReserved;
  t->size = size;
  Track next;
  next.number = t->number + 1;
  next.session = t->session;
  next.start = next.nwa = AlignUp(t->start + size, Granule(d));
  if (next.start < d.capacity) d.tracks.push_back(next);
  d.status = 1;
  d.lss = 1;
  c.discChanged = true;
  return true;
}

bool CloseTrackSession(Context& c) {
  if (!WritableCheck(c)) return false;
  Disc& d = c.disc;
  int function = c.req->cdb[2] & 7;
  uint32_t number = Get16(c.req->cdb + 4);
  if (d.info->kind == kOverwrite) {  // nothing to close on a formatted disc but its background format
    CloseBackgroundFormat(d, function);
    c.discChanged = true;
    return true;
  }
  if (d.status == 2) return Fail(c, 5, 0x2C, 0);
  if (function == 1) {
    Track* t = nullptr;
    for (Track& x : d.tracks)
      if (static_cast<uint32_t>(x.number) == number && x.state != kClosed) t = &x;
    if (!t || t->nwa == t->start) return Fail(c, 5, 0x24, 0);
    bool wasInvisible = t->state == kInvisible;
    if (wasInvisible) t->size = t->nwa - t->start;
    t->state = kClosed;
    if (wasInvisible) {
      Track next;
      next.number = t->number + 1;
      next.session = t->session;
      next.start = next.nwa = AlignUp(t->start + t->size, Granule(d));
      if (next.start < d.capacity) d.tracks.push_back(next);
    }
  } else if (function == 2 || function == 3 || function == 5 || function == 6) {
    bool written = false;
    int session = Sessions(d);
    for (const Track& t : d.tracks)
      if (t.session == session && t.nwa > t.start + (d.info->family == kCd && session > 1 ? 150 : 0)) written = true;
    if (!written || d.lss == 3) return Fail(c, 5, 0x2C, 0);
    CloseSession(d, function != 2);
  } else {
    return Fail(c, 5, 0x24, 0);
  }
  c.discChanged = true;
  return true;
}

bool SynchronizeCache(Context& c) {
  if (!NeedDisc(c)) return false;
  Disc& d = c.disc;
  if (d.saoPending && d.saoNext == d.saoLeadout) {
    FinishSao(d);
    c.discChanged = true;
  }
  if (FinishDiscAtOnce(d)) c.discChanged = true;
  return true;
}

bool Blank(Context& c) {
  if (!WritableCheck(c)) return false;
  Disc& d = c.disc;
  int type = c.req->cdb[1] & 7;
  if (!d.info->erasable || d.info->family == kBd || d.info->profile == 0x1A || d.info->profile == 0x12)
    return Fail(c, 5, 0x30, 0x05);
  if (type > 1) return Fail(c, 5, 0x24, 0);
  if (d.info->profile == 0x13) {
    d.media = "dvd-rw";
    d.info = FindMedia(d.media);
  }
  MakeBlank(d);
  if (truncate((d.dir + "/data.bin").c_str(), 0) != 0 && errno != ENOENT) return Fail(c, 3, 0x0C, 0);
  unlink((d.dir + "/raw.bin").c_str());
  unlink((d.dir + "/leadin.bin").c_str());
  c.discChanged = true;
  return true;
}

bool FormatUnit(Context& c) {
  if (!WritableCheck(c)) return false;
  Disc& d = c.disc;
  const uint8_t* cdb = c.req->cdb;
  if ((cdb[1] & 0x17) != 0x11 || c.req->dataLength < 12 || !c.req->data) return Fail(c, 5, 0x24, 0);
  const uint8_t* list = c.req->data;
  if (Get16(list + 2) != 8) return Fail(c, 5, 0x26, 0);
  int64_t blocks = Get32(list + 4);
  int type = list[8] >> 2, sub = list[8] & 3;
  int profile = d.info->profile;
  bool ok = (profile == 0x1A && type == 0x26) || (profile == 0x12 && (type == 0x00 || type == 0x01)) ||
            ((profile == 0x13 || profile == 0x14) && (type == 0x10 || type == 0x15)) ||
            (profile == 0x43 && (type == 0x00 || type == 0x30 || type == 0x31)) ||
            (profile == 0x41 && d.status == 0 && type == 0x32);
  if (!ok) return Fail(c, 5, 0x26, 0);
  if (profile == 0x41) {
    if (sub == 2)
      d.media = "bd-r-rrm";
    else if (sub == 0)
      d.media = d.info->layers > 1 ? "bd-r-dl" : "bd-r-pow";
    d.info = FindMedia(d.media);
    if (blocks > 0 && blocks < d.capacity) d.capacity = blocks;
    MakeBlank(d);
    if (d.info->kind == kOverwrite) d.formatted = true, MakeBlank(d);
  } else {
    if (profile == 0x14) {
      d.media = "dvd-rw-ro";
      d.info = FindMedia(d.media);
    }
    if (blocks > 0 && blocks <= d.info->capacity + 393216LL * d.info->layers) d.capacity = blocks;
    if (profile == 0x1A) {
      bool restart = Get24(list + 9) == 1 && d.formatted && d.bgFormat == 1;
      StartBackgroundFormat(d);
      if (restart) {
        c.discChanged = true;
        return true;  // the format goes on where it stopped; what was written stays
      }
    }
    d.formatted = true;
    MakeBlank(d);
  }
  c.discChanged = true;
  return true;
}

bool ReadDiscStructure(Context& c) {
  if (!NeedDisc(c)) return false;
  const uint8_t* cdb = c.req->cdb;
  const Disc& d = c.disc;
  int mediaType = cdb[1] & 0x0F, format = cdb[7];
  std::vector<uint8_t> a;
  if (mediaType == 0 && format == 0) {
    if (d.info->family != kDvd) return Fail(c, 5, 0x30, 0x02);
    a.assign(4 + 2048, 0);
    a[4] = d.info->book << 4 | 0x01;
    a[5] = 0x0F;
    a[6] = (d.info->layers - 1) << 5 | (d.info->layers > 1 ? 0x10 : 0) | 0x01;
    Put32(a, 8, 0x30000);
    Put32(a, 12, 0x30000 + d.capacity / d.info->layers - 1);
  } else if (mediaType == 1 && format == 0) {
    if (d.info->family != kBd) return Fail(c, 5, 0x30, 0x02);
    a.assign(4 + 4096, 0);
    uint8_t* u = &a[4];
    u[0] = 'D', u[1] = 'I', u[2] = 1, u[3] = 1;
    u[8] = 'B', u[9] = 'D', u[10] = d.info->book;
    u[12] = d.info->layers << 4 | 0x01;
  } else {
    return Fail(c, 5, 0x24, 0);
  }
  Put16(a, 0, c.drive.badLengths ? 0xFFFF : a.size() - 2);
  return Answer(c, a, Get16(cdb + 8));
}

bool SendDiscStructure(Context& c) {
  if (!WritableCheck(c)) return false;
  const uint8_t* cdb = c.req->cdb;
  uint32_t n = std::min<uint32_t>(Get16(cdb + 8), c.req->dataLength);
  if (cdb[7] != 0x0F) return Fail(c, 5, 0x24, 0);
  if (n < 22 || !c.req->data || Get16(c.req->data) != 20) return Fail(c, 5, 0x26, 0);
  c.disc.timestamp.assign(reinterpret_cast<const char*>(c.req->data + 8), 14);
  c.discChanged = true;
  return true;
}

bool StartStopUnit(Context& c) {
  uint8_t b = c.req->cdb[4];
  if ((b & 2) && !(b & 1)) {
    if (c.hasDisc && !c.disc.dir.empty()) {
      c.drive.disc.clear();
      if (!c.drive.queue.empty()) {
        c.drive.disc = c.drive.queue.front();
        c.drive.queue.erase(c.drive.queue.begin());
      }
      c.driveChanged = true;
    }
  }
  return true;
}

bool GetPerformance(Context& c) {
  const uint8_t* cdb = c.req->cdb;
  int type = cdb[10];
  std::vector<uint8_t> a(8, 0);
  int speed = c.hasDisc ? c.disc.info->speedKBs : 0;
  if (type == 0) {
    a.resize(24, 0);
    Put32(a, 12, speed);
    Put32(a, 16, c.hasDisc ? c.disc.capacity - 1 : 0);
    Put32(a, 20, speed);
  } else if (type == 3) {
    for (int div = 1; div <= 4 && speed; div *= 2) {
      size_t at = a.size();
      a.resize(at + 16, 0);
      Put32(a, at + 4, c.hasDisc ? c.disc.capacity : 0);
      Put32(a, at + 8, speed / div);
      Put32(a, at + 12, speed / div);
    }
  } else {
    return Fail(c, 5, 0x24, 0);
  }
  Put32(a, 0, a.size() - 4);
  return Answer(c, a, Get16(cdb + 8) * 16 + 8);
}

bool Dispatch(Context& c) {
  const uint8_t* cdb = c.req->cdb;
  switch (cdb[0]) {
    case 0x00:
      return NeedDisc(c);
    case 0x12:
      return Inquiry(c);
    case 0x46:
      return GetConfiguration(c);
    case 0x51:
      return ReadDiscInformation(c);
    case 0x52:
      return ReadTrackInformation(c);
    case 0x43:
      return ReadToc(c);
    case 0x25:
      return ReadCapacity(c);
    case 0x23:
      return ReadFormatCapacities(c);
    case 0x5A:
      return ModeSense(c);
    case 0x55:
      return ModeSelect(c);
    case 0x5D:
      return SendCueSheet(c);
    case 0x2A:
      return Write10(c);
    case 0x28:
      return ReadBlocks(c, static_cast<int32_t>(Get32(cdb + 2)), Get16(cdb + 7), 2048);
    case 0xBE:
      return ReadBlocks(c, static_cast<int32_t>(Get32(cdb + 2)), Get24(cdb + 6), cdb[9] ? 2352 : 2048);
    case 0x53:
      return ReserveTrack(c);
    case 0x5B:
      return CloseTrackSession(c);
    case 0x35:
      return SynchronizeCache(c);
    case 0xA1:
      return Blank(c);
    case 0x04:
      return FormatUnit(c);
    case 0xAD:
      return ReadDiscStructure(c);
    case 0xBF:
      return SendDiscStructure(c);
    case 0x54:
      return NeedDisc(c) && WritableCheck(c);
    case 0x1B:
      return StartStopUnit(c);
    case 0xBB:
      c.drive.speed = Get16(cdb + 4), c.driveChanged = true;
      return true;
    case 0xAC:
      return GetPerformance(c);
  }
  return Fail(c, 5, 0x20, 0);
}

// State kept in memory between the commands of one process (see KeepStateInMemory). The files are the truth
// while the memory is clean: a file changed since it was read or stored is read again.
struct Stamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = -1;
  int64_t mtimeNs = 0;
  bool operator==(const Stamp&) const = default;
};

Stamp StampOfStat(const struct stat& st) {
  return {st.st_dev, st.st_ino, st.st_size, static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

Stamp StampOf(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return {};
  return StampOfStat(st);
}

// A state file looked at before every command. It is held open, so that a look is one fstat and no walk of its
// path: a file rewritten in place or touched shows its new size and time there, and a file replaced by a rename
// (the way WriteText stores) or deleted has no links left, and is then looked up by name again.
struct WatchedFile {
  std::string dir;
  int fd = -1;
};
WatchedFile g_watchedDrive, g_watchedDisc;

Stamp WatchedStamp(WatchedFile& w, const std::string& dir, const char* name) {
  struct stat st;
  if (w.fd >= 0 && w.dir == dir && fstat(w.fd, &st) == 0 && st.st_nlink > 0) return StampOfStat(st);
  if (w.fd >= 0) close(w.fd);
  w.dir = dir;
  w.fd = open((dir + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
  if (w.fd < 0 || fstat(w.fd, &st) != 0) return {};
  return StampOfStat(st);
}

struct MemoryState {
  bool enabled = false;
  bool valid = false;
  std::string driveDir;
  Drive drive;
  Stamp driveStamp;
  bool driveDirty = false;
  Disc disc;
  bool hasDisc = false;
  Stamp discStamp;
  bool discDirty = false;
};
MemoryState g_memory;

// A disc put in or taken out from outside (the simdrive command, as a user at the drive) while this process holds
// the drive's state with changes of its own: the outside's disc and queue win, the process's other changes stay.
void TakeOutsideDiscChange(MemoryState& m) {
  if (!m.valid || !m.driveDirty) return;
  const Stamp now = StampOf(m.driveDir + "/drive.txt");
  Drive outside;
  if (now == m.driveStamp || !LoadDrive(m.driveDir, &outside)) return;
  m.drive.disc = outside.disc;
  m.drive.queue = outside.queue;
  m.driveStamp = now;
}

// Loads the drive of `c.driveDir` and the disc in it: from memory when it holds them, else from the files.
bool Recall(Context* c) {
  MemoryState& m = g_memory;
  TakeOutsideDiscChange(m);
  bool driveKnown = m.enabled && m.valid && m.driveDir == c->driveDir &&
                    (m.driveDirty || WatchedStamp(g_watchedDrive, c->driveDir, "drive.txt") == m.driveStamp);
  // The state in memory moves into the command and back out of it (Keep): nothing is copied per command.
  if (driveKnown) {
    c->drive = std::move(m.drive);
  } else {
    StoreState();
    m.valid = false;
    if (!LoadDrive(c->driveDir, &c->drive)) return false;
  }
  if (c->drive.disc.empty()) return true;
  bool discKnown = driveKnown && m.hasDisc && m.disc.dir == c->drive.disc &&
                   (m.discDirty || WatchedStamp(g_watchedDisc, c->drive.disc, "disc.txt") == m.discStamp);
  if (discKnown) {
    c->disc = std::move(m.disc);
    c->hasDisc = true;
    c->discInMemory = true;
  } else {
    if (m.valid && m.discDirty && m.hasDisc) SaveDisc(m.disc);
    m.discDirty = false;
    ForgetHeldFiles();
    c->hasDisc = LoadDisc(c->drive.disc, &c->disc);
  }
  return true;
}

// Stores what a command changed: in memory when it is kept there, else in the files at once.
void Keep(Context& c) {
  MemoryState& m = g_memory;
  if (!m.enabled) {
    if (c.discChanged && c.hasDisc) SaveDisc(c.disc);
    if (c.driveChanged) SaveDrive(c.driveDir, c.drive);
    return;
  }
  if (!m.valid) {
    m.driveStamp = StampOf(c.driveDir + "/drive.txt");
    m.discStamp = c.hasDisc ? StampOf(c.disc.dir + "/disc.txt") : Stamp{};
  } else if (c.hasDisc && !c.discInMemory) {
    m.discStamp = StampOf(c.disc.dir + "/disc.txt");
  }
  m.valid = true;
  if (m.driveDir != c.driveDir) m.driveDir = c.driveDir;
  m.drive = std::move(c.drive);
  m.driveDirty = m.driveDirty || c.driveChanged;
  m.hasDisc = c.hasDisc;
  if (c.hasDisc) {
    m.disc = std::move(c.disc);
    m.discDirty = m.discDirty || c.discChanged;
  }
}

// Pieces of a CDB log line, put together by hand: the line is written for every command.
struct LineBuilder {
  char text[192];
  size_t n = 0;
  void Text(const char* s) {
    while (*s && n < sizeof text) text[n++] = *s++;
  }
  void Char(char ch) {
    if (n < sizeof text) text[n++] = ch;
  }
  void Hex(unsigned v, int digits) {
    static const char kDigits[] = "0123456789abcdef";
    for (int i = digits - 1; i >= 0; --i) Char(kDigits[(v >> (4 * i)) & 0xF]);
  }
  void Unsigned(uint64_t v) {
    char digits[24];
    int k = 0;
    do digits[k++] = static_cast<char>('0' + v % 10);
    while ((v /= 10) != 0);
    while (k > 0) Char(digits[--k]);
  }
  void Signed(int64_t v) {
    if (v < 0) Char('-');
    Unsigned(v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v));
  }
};

void LogCommand(const Context& c) {
  LineBuilder line;
  line.Text("cdb=");
  for (int i = 0; i < c.req->cdbLength; ++i) line.Hex(c.req->cdb[i], 2);
  line.Text(" len="), line.Unsigned(c.req->dataLength);
  line.Text(" dir="), line.Signed(c.req->direction);
  line.Text(" timeout="), line.Unsigned(c.req->timeoutMs);
  line.Text(" sense="), line.Signed(c.req->senseCapacity);
  line.Text(" iface="), line.Char(c.req->interfaceId);
  line.Text(" status="), line.Signed(c.reply->status);
  line.Text(" key="), line.Hex(c.reply->sense[2] & 0x0F, 1);
  line.Text(" asc="), line.Hex(c.reply->sense[12], 2);
  line.Text(" ascq="), line.Hex(c.reply->sense[13], 2);
  line.Char('\n');
  if (line.n >= sizeof line.text) return;
  const char* text = line.text;
  const size_t n = line.n;
  // Appends go to the end of the file as it is now, so a log emptied by a test meanwhile grows again from 0.
  int fd = g_held.enabled && g_held.logDir == c.driveDir ? g_held.logFd : -1;
  if (fd < 0) {
    fd = open((c.driveDir + "/cdb.log").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (g_held.enabled) {
      if (g_held.logFd >= 0) close(g_held.logFd);
      g_held.logFd = fd;
      g_held.logDir = c.driveDir;
    }
  }
  ssize_t written = write(fd, text, n);
  (void)written;
  if (!g_held.enabled) close(fd);
}

}  // namespace

int DriveNumberOfPath(const char* path) {
  if (!path || std::strncmp(path, "/dev/sg", 7) != 0) return -1;
  const char* p = path + 7;
  if (!*p) return -1;
  int n = 0;
  for (; *p; ++p) {
    if (*p < '0' || *p > '9' || n > 100) return -1;
    n = n * 10 + (*p - '0');
  }
  return n <= 31 ? n : -1;
}

bool DriveExists(const std::string& stateDir, int number) {
  struct stat st;
  return stat((DriveDir(stateDir, number) + "/drive.txt").c_str(), &st) == 0;
}

std::vector<std::string> MediaNames() {
  std::vector<std::string> out;
  for (const MediaInfo& m : kMedia) out.push_back(m.name);
  return out;
}

bool Execute(const std::string& stateDir, int number, const Request& request, Reply* reply) {
  Context c;
  c.driveDir = DriveDir(stateDir, number);
  if (!Recall(&c)) return false;
  *reply = Reply{};
  c.req = &request;
  c.reply = reply;
  int op = request.cdbLength > 0 ? request.cdb[0] : -1;
  int seen = ++c.drive.counts[op];
  // Sector reads change nothing of the drive but their count, which only matters to a fault on them: without
  // one the drive's state is not stored again (a whole disc is read in over a hundred thousand commands).
  bool readFault = false;
  for (const Fault& f : c.drive.faults) readFault |= f.opcode == op;
  c.driveChanged = !((op == 0x28 || op == 0xBE) && !readFault);
  const Fault* fault = nullptr;
  for (const Fault& f : c.drive.faults)
    if (f.opcode == op && seen >= f.nth && (f.count == 0 || seen < f.nth + f.count)) fault = &f;
  if (request.cdbLength < 6) {
    Fail(c, 5, 0x20, 0);
  } else if (fault && fault->shortBy > 0) {
    if (Dispatch(c))
      reply->transferred =
          reply->transferred > static_cast<uint32_t>(fault->shortBy) ? reply->transferred - fault->shortBy : 0;
  } else if (fault && fault->host) {
    reply->hostStatus = fault->host;
  } else if (fault) {
    reply->status = fault->status;
    if (fault->status == 2) SetSense(reply, fault->key, fault->asc, fault->ascq);
  } else {
    Dispatch(c);
  }
  LogCommand(c);
  if (c.drive.paced && op == 0x2A && reply->status == 0 && c.hasDisc && c.disc.info->speedKBs > 0) {
    int speed = c.disc.info->speedKBs;
    if (c.drive.speed > 0 && c.drive.speed < speed) speed = c.drive.speed;
    usleep(static_cast<useconds_t>(static_cast<uint64_t>(reply->transferred) * 1000 / speed));
  }
  Keep(c);
  return true;
}

void KeepStateInMemory(bool on) {
  StoreState();
  ForgetHeldFiles();
  for (WatchedFile* w : {&g_watchedDrive, &g_watchedDisc}) {
    if (w->fd >= 0) close(w->fd);
    *w = WatchedFile{};
  }
  g_memory.enabled = on;
  g_held.enabled = on;
  g_memory.valid = false;
}

void TouchDisc(const std::string& discDir) { utimensat(AT_FDCWD, (discDir + "/disc.txt").c_str(), nullptr, 0); }

void StoreState() {
  MemoryState& m = g_memory;
  if (!m.valid) return;
  TakeOutsideDiscChange(m);
  if (m.discDirty && m.hasDisc) SaveDisc(m.disc);
  if (m.driveDirty) SaveDrive(m.driveDir, m.drive);
  m.discDirty = m.driveDirty = false;
  m.driveStamp = StampOf(m.driveDir + "/drive.txt");
  m.discStamp = m.hasDisc ? StampOf(m.disc.dir + "/disc.txt") : Stamp{};
}

// ---------------------------------------------------------------------------------------------------------------
// The simdrive command

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: simdrive STATE COMMAND ...\n"
               "  create-drive N [--inquiry-type T] [--legacy] [--profile P] [--bad-lengths] [--paced]\n"
               "  make-disc DISC MEDIA blank|appendable|closed|formatted [--from IMAGE] [--write-protected]\n"
               "    [--capacity BLOCKS]\n"
               "  press DISC MEDIA IMAGE [--cue CUE] [--sessions N,N...]: a finished disc from an image (split into\n"
               "    sessions of N sectors), or from a BIN and its CUE\n"
               "  unreadable DISC FIRST COUNT: sectors that every read fails on\n"
               "  insert N DISC | eject N | queue N DISC\n"
               "  fault N OPCODE NTH COUNT KEY ASC ASCQ [--status S] [--short BYTES] [--host H] | clear-faults N\n"
               "  dump N IMAGE (prints the track layout) | show N | log N\n"
               "  corrupt DISC LBA: the sector's user data reads back inverted\n"
               "  dump-raw N IMAGE PACKS: 2352-byte sectors of the last session written at once and its lead-in\n"
               "    CD-TEXT packs; prints its layout\n");
  return 2;
}

bool CopyImage(const std::string& from, const std::string& dataPath, int64_t* blocks) {
  FILE* in = std::fopen(from.c_str(), "rb");
  if (!in) return false;
  FILE* out = std::fopen(dataPath.c_str(), "wb");
  if (!out) {
    std::fclose(in);
    return false;
  }
  std::vector<char> buf(1 << 20);
  int64_t total = 0;
  size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), in)) > 0) {
    std::fwrite(buf.data(), 1, n, out);
    total += n;
  }
  int64_t pad = (2048 - total % 2048) % 2048;
  for (int64_t i = 0; i < pad; ++i) std::fputc(0, out);
  std::fclose(in);
  bool ok = std::fclose(out) == 0;
  *blocks = (total + 2047) / 2048;
  return ok;
}

int MakeDisc(const std::string& dir, const std::string& media, const std::string& state, const std::string& from,
             bool writeProtected, int64_t capacity) {
  const MediaInfo* m = FindMedia(media);
  if (!m) {
    std::fprintf(stderr, "simdrive: unknown medium %s\n", media.c_str());
    return 2;
  }
  mkdir(dir.c_str(), 0755);
  Disc d;
  d.dir = dir;
  d.media = media;
  d.info = m;
  d.capacity = capacity > 0 ? capacity : m->capacity;
  d.page5 = DefaultPage5();
  d.writeProtected = writeProtected;
  d.formatted = m->kind == kOverwrite && state != "blank";
  if (d.formatted && m->profile == 0x1A) d.bgFormat = 3;
  int64_t blocks = 0;
  std::string dataPath = dir + "/data.bin";
  unlink(dataPath.c_str());
  if (!from.empty() && !CopyImage(from, dataPath, &blocks)) {
    std::fprintf(stderr, "simdrive: cannot read %s\n", from.c_str());
    return 1;
  }
  MakeBlank(d);
  if (m->kind == kRom) {
    if (blocks == 0) blocks = 1000;
    d.tracks[0].state = kClosed;
    d.tracks[0].size = d.tracks[0].nwa = blocks;
    d.capacity = blocks;
    d.status = 2;
    d.lss = 3;
  } else if (m->kind == kSequential && state != "blank") {
    if (blocks == 0) blocks = 1000;
    d.tracks[0].nwa = blocks;
    d.status = 1;
    d.lss = 1;
    if (state == "closed")
      d.page5[3] &= 0x3F;
    else
      d.page5[3] |= 0xC0;
    CloseSession(d, state == "closed");
  } else if (m->kind == kOverwrite && d.formatted && blocks) {
    d.status = 2;
  }
  if (!SaveDisc(d)) return 1;
  return 0;
}

std::string Flag(std::vector<std::string>& args, const std::string& name, const std::string& fallback = "") {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] != name) continue;
    std::string v = i + 1 < args.size() ? args[i + 1] : "";
    args.erase(args.begin() + i, args.begin() + std::min(args.size(), i + 2));
    return v;
  }
  return fallback;
}

bool Switch(std::vector<std::string>& args, const std::string& name) {
  auto it = std::find(args.begin(), args.end(), name);
  if (it == args.end()) return false;
  args.erase(it);
  return true;
}

std::string Absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char cwd[4096];
  return getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" + path : path;
}

int DumpRaw(const Disc& disc, const std::string& imagePath, const std::string& packsPath) {
  const std::vector<uint8_t>& cue = disc.lastCue;
  if (cue.size() < 16) {
    std::printf("no session written at once\n");
    return 1;
  }
  int64_t leadout = MsfToLba(&cue[cue.size() - 8 + 5]);
  bool catalogOpen = false;
  for (size_t i = 0; i + 8 <= cue.size(); i += 8) {
    const uint8_t* e = &cue[i];
    int adr = e[0] & 0x0F;
    if (adr == 2) {
      std::printf(catalogOpen ? "%.6s\n" : "catalog %.7s", reinterpret_cast<const char*>(e + 1));
      catalogOpen = !catalogOpen;
      continue;
    }
    if (adr == 3) {
      std::printf("isrc %d %.6s\n", e[1], reinterpret_cast<const char*>(e + 2));
      continue;
    }
    const char* what = e[1] == 0 ? "leadin" : e[1] == 0xAA ? "leadout" : "track";
    std::printf("%s %d index %d lba %lld %s form %02x\n", what, e[1] == 0xAA ? 0 : e[1], e[2],
                static_cast<long long>(disc.lastBase + MsfToLba(e + 5)), (e[0] & 0x40) ? "data" : "audio", e[3]);
  }
  FILE* out = std::fopen(imagePath.c_str(), "wb");
  if (!out) return 1;
  int in = open((disc.dir + "/raw.bin").c_str(), O_RDONLY | O_CLOEXEC);
  std::vector<uint8_t> buf(2352 * 64);
  for (int64_t lba = 0; lba < leadout; lba += 64) {
    size_t n = static_cast<size_t>(std::min<int64_t>(64, leadout - lba)) * 2352;
    std::fill(buf.begin(), buf.end(), 0);
    if (in >= 0) {
      ssize_t got = pread(in, buf.data(), n, (disc.lastBase + lba) * 2352);
      (void)got;
    }
    std::fwrite(buf.data(), 1, n, out);
  }
  if (in >= 0) close(in);
  if (std::fclose(out) != 0) return 1;
  std::vector<uint8_t> packs = LeadInCdTextPacks(disc.dir);
  std::printf("cdtext packs %zu\n", packs.size() / 18);
  FILE* p = std::fopen(packsPath.c_str(), "wb");
  if (!p) return 1;
  std::fwrite(packs.data(), 1, packs.size(), p);
  return std::fclose(p) == 0 ? 0 : 1;
}

}  // namespace

int ToolMain(int argc, char** argv) {
  if (argc < 3) return Usage();
  std::string state = argv[1], cmd = argv[2];
  std::vector<std::string> args(argv + 3, argv + argc);
  mkdir(state.c_str(), 0755);
  if (cmd == "press") {
    std::string cue = Flag(args, "--cue");
    std::vector<int64_t> sessions = Fields(Flag(args, "--sessions"));
    if (args.size() != 3) return Usage();
    return PressDisc(Absolute(args[0]), args[1], args[2], cue, sessions);
  }
  if (cmd == "unreadable") {
    if (args.size() != 3) return Usage();
    return MarkUnreadable(Absolute(args[0]), std::atoll(args[1].c_str()), std::atoll(args[2].c_str()));
  }
  if (cmd == "make-disc") {
    std::string from = Flag(args, "--from");
    bool wp = Switch(args, "--write-protected");
    int64_t capacity = Num(Flag(args, "--capacity", "0"));
    if (args.size() != 3) return Usage();
    return MakeDisc(Absolute(args[0]), args[1], args[2], from, wp, capacity);
  }
  if (cmd == "corrupt") return args.size() == 2 ? ToolCorrupt({Absolute(args[0]), args[1]}) : Usage();
  if (args.empty()) return Usage();
  int n = std::atoi(args[0].c_str());
  std::string dir = DriveDir(state, n);
  Drive d;
  if (cmd == "create-drive") {
    mkdir(dir.c_str(), 0755);
    d.inquiryType = std::atoi(Flag(args, "--inquiry-type", "5").c_str());
    d.profileOverride = std::strtol(Flag(args, "--profile", "-1").c_str(), nullptr, 0);
    d.legacy = Switch(args, "--legacy");
    d.badLengths = Switch(args, "--bad-lengths");
    d.paced = Switch(args, "--paced");
    return SaveDrive(dir, d) ? 0 : 1;
  }
  if (!LoadDrive(dir, &d)) {
    std::fprintf(stderr, "simdrive: no drive sg%d in %s\n", n, state.c_str());
    return 1;
  }
  if (cmd == "insert" && args.size() == 2) {
    d.disc = Absolute(args[1]);
  } else if (cmd == "eject") {
    d.disc = d.queue.empty() ? "" : d.queue.front();
    if (!d.queue.empty()) d.queue.erase(d.queue.begin());
  } else if (cmd == "queue" && args.size() == 2) {
    d.queue.push_back(Absolute(args[1]));
  } else if (cmd == "fault" && args.size() >= 7) {
    Fault f;
    f.status = std::atoi(Flag(args, "--status", "2").c_str());
    f.shortBy = std::atoi(Flag(args, "--short", "0").c_str());
    f.host = std::atoi(Flag(args, "--host", "0").c_str());
    f.opcode = std::strtol(args[1].c_str(), nullptr, 0);
    f.nth = std::atoi(args[2].c_str());
    f.count = std::atoi(args[3].c_str());
    f.key = std::strtol(args[4].c_str(), nullptr, 0);
    f.asc = std::strtol(args[5].c_str(), nullptr, 0);
    f.ascq = std::strtol(args[6].c_str(), nullptr, 0);
    d.faults.push_back(f);
  } else if (cmd == "clear-faults") {
    d.faults.clear();
    d.counts.clear();
  } else if (cmd == "show" || cmd == "dump") {
    Disc disc;
    if (d.disc.empty() || !LoadDisc(d.disc, &disc)) {
      std::printf("no disc\n");
      return cmd == "show" ? 0 : 1;
    }
    std::printf("media %s status %d sessions %d\n", disc.media.c_str(), disc.status, Sessions(disc));
    for (const Track& t : disc.tracks)
      std::printf("track %d session %d start %lld size %lld nwa %lld state %d\n", t.number, t.session,
                  static_cast<long long>(t.start), static_cast<long long>(t.size), static_cast<long long>(t.nwa),
                  t.state);
    if (cmd == "dump") {
      if (args.size() != 2) return Usage();
      int64_t end = RecordedEnd(disc);
      if (disc.info->kind == kOverwrite) {
        struct stat st;
        end = stat((disc.dir + "/data.bin").c_str(), &st) == 0 ? st.st_size / 2048 : 0;
      }
      // Zero blocks stay holes of the dump.
      int out = open(args[1].c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      int in = open((disc.dir + "/data.bin").c_str(), O_RDONLY | O_CLOEXEC);
      if (out < 0) return 1;
      bool ok = true;
      constexpr int64_t kRun = 512;
      std::vector<uint8_t> buf(kRun * 2048);
      for (int64_t at = 0; at < end && ok; at += kRun) {
        size_t n = static_cast<size_t>(std::min(kRun, end - at)) * 2048;
        std::fill(buf.begin(), buf.end(), 0);
        if (in >= 0) {
          ssize_t got = pread(in, buf.data(), n, at * 2048);
          (void)got;
        }
        for (size_t b = 0; b < n && ok; b += 2048)
          if (std::any_of(buf.begin() + b, buf.begin() + b + 2048, [](uint8_t v) { return v != 0; }))
            ok = pwrite(out, buf.data() + b, 2048, at * 2048 + static_cast<int64_t>(b)) == 2048;
      }
      if (in >= 0) close(in);
      ok = ok && ftruncate(out, end * 2048) == 0;
      return close(out) == 0 && ok ? 0 : 1;
    }
    return 0;
  } else if (cmd == "dump-raw") {
    Disc disc;
    if (args.size() != 3 || d.disc.empty() || !LoadDisc(d.disc, &disc)) return Usage();
    return DumpRaw(disc, args[1], args[2]);
  } else if (cmd == "log") {
    std::ifstream in(dir + "/cdb.log");
    std::cout << in.rdbuf();
    return 0;
  } else {
    return Usage();
  }
  return SaveDrive(dir, d) ? 0 : 1;
}

}  // namespace simdrive
