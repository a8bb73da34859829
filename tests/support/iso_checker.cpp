#include "support/iso_checker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace {

constexpr uint32_t kSectorSize = 2048;
constexpr uint32_t kFirstDescriptor = 16;
constexpr int kMaxDescriptors = 256;
constexpr size_t kMaxProblems = 1000;
constexpr int kMaxDepth = 1000;
constexpr size_t kMaxDirectories = 1000000;
constexpr uint64_t kMaxDirectoryBytes = 64ull << 20;     // one directory
constexpr uint64_t kMaxWalkBytes = 512ull << 20;         // all directories of one hierarchy
constexpr uint32_t kMaxPathTableBytes = 64u << 20;

// Directory record flags.
constexpr uint8_t kFlagDirectory = 0x02;
constexpr uint8_t kFlagAssociated = 0x04;
constexpr uint8_t kFlagMultiExtent = 0x80;

// ---------- text ----------

void Append(std::string& out, std::string_view text) { out += text; }
template <typename T>
  requires std::is_integral_v<T>
void Append(std::string& out, T value) {
  out += std::to_string(value);
}
template <typename... Args>
std::string Cat(const Args&... args) {
  std::string out;
  (Append(out, args), ...);
  return out;
}

void AppendUtf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | c >> 18);
    out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// UCS-2 / UTF-16 big-endian bytes as UTF-8; unpaired surrogates and a stray odd byte become U+FFFD.
std::string Utf8FromUtf16Be(std::string_view bytes) {
  std::string out;
  auto unit = [&](size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at]) << 8 | static_cast<uint8_t>(bytes[at + 1]));
  };
  size_t i = 0;
  for (; i + 1 < bytes.size(); i += 2) {
    uint32_t c = unit(i);
    if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes.size() && unit(i + 2) >= 0xDC00 && unit(i + 2) < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
      i += 2;
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    AppendUtf8(out, c);
  }
  if (i < bytes.size()) AppendUtf8(out, 0xFFFD);
  return out;
}

// Text fit for a message: control bytes shown as \xNN.
std::string Printable(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : text) {
    const auto byte = static_cast<uint8_t>(ch);
    if (byte < 0x20 || byte == 0x7F) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

std::string TrimRight(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  return text;
}

// ---------- bytes ----------

// Little/big-endian loads over a byte range; a load past the end reads zero bytes.
struct Bytes {
  const uint8_t* data = nullptr;
  size_t size = 0;

  uint8_t U8(size_t at) const { return at < size ? data[at] : 0; }
  uint16_t Le16(size_t at) const { return static_cast<uint16_t>(U8(at) | U8(at + 1) << 8); }
  uint16_t Be16(size_t at) const { return static_cast<uint16_t>(U8(at) << 8 | U8(at + 1)); }
  uint32_t Le32(size_t at) const {
    return static_cast<uint32_t>(U8(at)) | static_cast<uint32_t>(U8(at + 1)) << 8 |
           static_cast<uint32_t>(U8(at + 2)) << 16 | static_cast<uint32_t>(U8(at + 3)) << 24;
  }
  uint32_t Be32(size_t at) const {
    return static_cast<uint32_t>(U8(at)) << 24 | static_cast<uint32_t>(U8(at + 1)) << 16 |
           static_cast<uint32_t>(U8(at + 2)) << 8 | static_cast<uint32_t>(U8(at + 3));
  }
  std::string_view Text(size_t at, size_t n) const {
    if (at >= size) return {};
    return {reinterpret_cast<const char*>(data + at), std::min(n, size - at)};
  }
};

Bytes View(const std::vector<uint8_t>& buffer, size_t at = 0, size_t n = SIZE_MAX) {
  if (at > buffer.size()) return {};
  return {buffer.data() + at, std::min(n, buffer.size() - at)};
}

uint64_t SectorsFor(uint64_t bytes) { return (bytes + kSectorSize - 1) / kSectorSize; }

// ---------- the image ----------

class ImageFile {
 public:
  explicit ImageFile(const std::string& path) : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    struct stat st {};
    if (fd_ >= 0 && fstat(fd_, &st) == 0 && st.st_size > 0) sectors_ = static_cast<uint64_t>(st.st_size) / kSectorSize;
  }
  ~ImageFile() {
    if (fd_ >= 0) close(fd_);
  }
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  uint64_t Sectors() const { return sectors_; }

  // Whole sectors into `out`; false when any of them lies past the end of the file or cannot be read.
  bool Read(uint64_t lba, uint64_t count, std::vector<uint8_t>* out) const {
    if (count > sectors_ || lba > sectors_ - count) return false;
    out->resize(count * kSectorSize);
    size_t done = 0;
    while (done < out->size()) {
      const ssize_t n = pread(fd_, out->data() + done, out->size() - done,
                              static_cast<off_t>(lba * kSectorSize + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

 private:
  int fd_ = -1;
  uint64_t sectors_ = 0;
};

// ---------- identifier order ----------

int ComparePadded(std::string_view a, std::string_view b, uint8_t pad) {
  const size_t n = std::max(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const uint8_t x = i < a.size() ? static_cast<uint8_t>(a[i]) : pad;
    const uint8_t y = i < b.size() ? static_cast<uint8_t>(b[i]) : pad;
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

// Version numbers: the higher one sorts first. Anything but digits is left unordered.
int CompareVersions(std::string_view a, std::string_view b) {
  auto digits = [](std::string_view v) {
    return !v.empty() && std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (!digits(a) || !digits(b)) return 0;
  while (a.size() > 1 && a.front() == '0') a.remove_prefix(1);
  while (b.size() > 1 && b.front() == '0') b.remove_prefix(1);
  if (a.size() != b.size()) return a.size() > b.size() ? -1 : 1;
  const int c = a.compare(b);
  return c == 0 ? 0 : (c > 0 ? -1 : 1);
}

// Order of 8-bit file identifiers in a directory: the name, then the extension, each compared as if padded
// with spaces to the longer one, then versions from the highest. Lax names may hold more than one '.': every
// '.' then separates one more part compared the same way, a missing part counting as empty.
int CompareIsoIdentifiers(std::string_view a, std::string_view b) {
  auto split = [](std::string_view id) {
    const size_t semi = id.find(';');
    if (semi == std::string_view::npos) return std::pair{id, std::string_view{}};
    return std::pair{id.substr(0, semi), id.substr(semi + 1)};
  };
  auto [aBase, aVersion] = split(a);
  auto [bBase, bVersion] = split(b);
  while (!aBase.empty() || !bBase.empty()) {
    const size_t aDot = aBase.find('.');
    const size_t bDot = bBase.find('.');
    const int c = ComparePadded(aBase.substr(0, aDot), bBase.substr(0, bDot), ' ');
    if (c != 0) return c;
    aBase = aDot == std::string_view::npos ? std::string_view{} : aBase.substr(aDot + 1);
    bBase = bDot == std::string_view::npos ? std::string_view{} : bBase.substr(bDot + 1);
  }
  return CompareVersions(aVersion, bVersion);
}

// A trailing UCS-2 ";" and digits.
std::string_view WithoutJolietVersion(std::string_view id) {
  size_t end = id.size() & ~static_cast<size_t>(1);
  size_t at = end;
  while (at >= 2 && id[at - 2] == '\0' && id[at - 1] >= '0' && id[at - 1] <= '9') at -= 2;
  if (at < end && at >= 2 && id[at - 2] == '\0' && id[at - 1] == ';') return id.substr(0, at - 2);
  return id;
}

// Joliet identifiers sort by their UCS-2 code units (big-endian bytes compare the same way), a prefix first;
// a version suffix, where a writer adds one, does not take part.
int CompareJolietIdentifiers(std::string_view a, std::string_view b) {
  const int c = WithoutJolietVersion(a).compare(WithoutJolietVersion(b));
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

// Path table order within one parent: 8-bit identifiers padded with spaces, Joliet ones by code units.
int ComparePathIdentifiers(std::string_view a, std::string_view b, bool joliet) {
  if (!joliet) return ComparePadded(a, b, ' ');
  const int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

// ---------- the check ----------

struct Context {
  const ImageFile* image = nullptr;
  uint32_t volumeSize = 0;
  std::vector<std::string> problems;
  size_t leftOut = 0;

  void Problem(std::string text) {
    if (problems.size() < kMaxProblems) {
      problems.push_back(std::move(text));
    } else {
      ++leftOut;
    }
  }
};

uint32_t Both32(Context& ctx, Bytes b, size_t at, std::string_view where, std::string_view field) {
  const uint32_t le = b.Le32(at), be = b.Be32(at + 4);
  if (le != be) {
    ctx.Problem(Cat(where, ": both-endian ", field, " disagrees (little-endian ", le, ", big-endian ", be, ")"));
  }
  return le;
}

uint16_t Both16(Context& ctx, Bytes b, size_t at, std::string_view where, std::string_view field) {
  const uint16_t le = b.Le16(at), be = b.Be16(at + 2);
  if (le != be) {
    ctx.Problem(Cat(where, ": both-endian ", field, " disagrees (little-endian ", le, ", big-endian ", be, ")"));
  }
  return le;
}

// What a primary or supplementary descriptor says about its hierarchy.
struct Volume {
  uint32_t lba = 0;
  uint32_t spaceSize = 0;
  uint16_t setSize = 0;
  uint16_t sequence = 0;
  uint32_t pathTableSize = 0;
  uint32_t lTable = 0, lTableCopy = 0, mTable = 0, mTableCopy = 0;
  std::string rootRecord;  // the 34 bytes
  uint32_t rootLba = 0;
  uint32_t rootSize = 0;
  uint8_t rootExtAttr = 0;
};

Volume DecodeVolume(Context& ctx, Bytes s, uint32_t lba, std::string_view kind, bool supplementary) {
  const std::string where = Cat("sector ", lba, " (", kind, " descriptor)");
  Volume v;
  v.lba = lba;
  v.spaceSize = Both32(ctx, s, 80, where, "volume space size");
  v.setSize = Both16(ctx, s, 120, where, "volume set size");
  v.sequence = Both16(ctx, s, 124, where, "volume sequence number");
  const uint16_t blockSize = Both16(ctx, s, 128, where, "logical block size");
  if (blockSize != kSectorSize) ctx.Problem(Cat(where, ": logical block size ", blockSize, ", not 2048"));
  v.pathTableSize = Both32(ctx, s, 132, where, "path table size");
  v.lTable = s.Le32(140);
  v.lTableCopy = s.Le32(144);
  v.mTable = s.Be32(148);
  v.mTableCopy = s.Be32(152);
  const uint8_t structureVersion = s.U8(881);
  if (structureVersion != 1 && !(supplementary && structureVersion == 2)) {
    ctx.Problem(Cat(where, ": file structure version ", structureVersion));
  }

  const Bytes root{s.data + 156, 34};
  v.rootRecord.assign(root.Text(0, 34));
  const std::string rootWhere = where + " root record";
  v.rootLba = Both32(ctx, root, 2, rootWhere, "extent");
  v.rootSize = Both32(ctx, root, 10, rootWhere, "data length");
  Both16(ctx, root, 28, rootWhere, "volume sequence number");
  v.rootExtAttr = root.U8(1);
  if (root.U8(0) != 34) ctx.Problem(Cat(rootWhere, ": length ", root.U8(0), ", not 34"));
  if (!(root.U8(25) & kFlagDirectory)) ctx.Problem(rootWhere + ": not flagged as a directory");
  if (root.U8(32) != 1 || root.U8(33) != 0) ctx.Problem(rootWhere + ": identifier is not the single byte 0");
  return v;
}

// One directory record as read.
struct Record {
  uint32_t offset = 0;  // within the directory's extent
  uint8_t length = 0;
  uint8_t extAttr = 0;
  uint8_t flags = 0;
  uint32_t lba = 0;
  uint32_t size = 0;
  std::string ident;
  std::string head;  // bytes 1..33, for comparing the root's "." with the descriptor's root record
};

struct Directory {
  uint32_t lba = 0;
  uint32_t size = 0;
  uint8_t extAttr = 0;
  int parent = 0;  // index; the root is its own parent
  int depth = 0;
  std::string ident;
  std::string path;
};

struct Span {
  uint64_t start = 0;
  uint64_t end = 0;
  std::string what;
};

struct FileExtent {
  uint64_t start = 0;
  uint64_t end = 0;
  size_t file = 0;  // index into the hierarchy's files
};

struct Hierarchy {
  bool joliet = false;
  std::string name;  // "primary" or "Joliet"
  const Volume* volume = nullptr;
  IsoCheckHierarchy* out = nullptr;
  std::vector<Directory> dirs;
  std::unordered_map<std::string, int> children;  // parent index (4 bytes) + identifier -> directory index
  std::unordered_set<uint32_t> dirLbas;
  std::vector<FileExtent> fileExtents;
  uint64_t bytesRead = 0;
};

std::string ChildKey(int parent, std::string_view ident) {
  std::string key(reinterpret_cast<const char*>(&parent), sizeof parent);
  key += ident;
  return key;
}

// An identifier as a name: "." and ".." for the two special bytes, Joliet names in UTF-8.
std::string NameOf(const Hierarchy& h, std::string_view ident) {
  if (ident.size() == 1 && ident[0] == '\0') return ".";
  if (ident.size() == 1 && ident[0] == '\1') return "..";
  return h.joliet ? Utf8FromUtf16Be(ident) : std::string(ident);
}

std::string Quoted(const Hierarchy& h, std::string_view ident) { return "\"" + Printable(NameOf(h, ident)) + "\""; }

std::string JoinPath(const std::string& parent, const std::string& name) {
  return parent == "/" ? "/" + name : parent + "/" + name;
}

// Reads the records of one directory extent: each within its sector, the bytes after a sector's last record
// zero.
std::vector<Record> ReadRecords(Context& ctx, const Hierarchy& h, const std::vector<uint8_t>& extent,
                                const std::string& where) {
  std::vector<Record> records;
  for (size_t sector = 0; sector * kSectorSize < extent.size(); ++sector) {
    const Bytes s = View(extent, sector * kSectorSize, kSectorSize);
    size_t pos = 0;
    while (pos < kSectorSize) {
      const uint32_t offset = static_cast<uint32_t>(sector * kSectorSize + pos);
      const uint8_t length = s.U8(pos);
      if (length == 0) {
        for (size_t i = pos; i < kSectorSize; ++i) {
          if (s.U8(i) != 0) {
            ctx.Problem(Cat(where, ": non-zero byte at offset ", sector * kSectorSize + i,
                            " after the last record of sector ", sector, " of the directory"));
            break;
          }
        }
        break;
      }
      if (pos + length > kSectorSize) {
        ctx.Problem(Cat(where, ": record at offset ", offset, " (length ", length,
                        ") crosses the sector boundary at offset ", (sector + 1) * kSectorSize));
        break;
      }
      if (length < 34) {
        ctx.Problem(Cat(where, ": record at offset ", offset, " has length ", length, ", less than 34"));
        break;
      }
      const Bytes r{s.data + pos, length};
      const uint8_t identLength = r.U8(32);
      const size_t needed = 33u + identLength + (identLength % 2 == 0 ? 1 : 0);
      if (identLength == 0 || needed > length) {
        ctx.Problem(Cat(where, ": record at offset ", offset, " of length ", length, " cannot hold its identifier of ",
                        identLength, " bytes"));
        pos += length;
        continue;
      }
      if (length % 2 != 0) ctx.Problem(Cat(where, ": record at offset ", offset, " has odd length ", length));
      Record rec;
      rec.offset = offset;
      rec.length = length;
      rec.extAttr = r.U8(1);
      rec.flags = r.U8(25);
      rec.ident.assign(r.Text(33, identLength));
      rec.head.assign(r.Text(1, 33));
      const std::string recordWhere = Cat(where, ": record ", Quoted(h, rec.ident), " at offset ", offset);
      rec.lba = Both32(ctx, r, 2, recordWhere, "extent");
      rec.size = Both32(ctx, r, 10, recordWhere, "data length");
      Both16(ctx, r, 28, recordWhere, "volume sequence number");
      records.push_back(std::move(rec));
      pos += length;
    }
  }
  return records;
}

// Where an extent ends (sectors), counting its extended attribute record.
uint64_t ExtentEnd(uint32_t lba, uint8_t extAttr, uint64_t size) {
  return static_cast<uint64_t>(lba) + extAttr + SectorsFor(size);
}

bool IsDotIdent(std::string_view ident, char which) { return ident.size() == 1 && ident[0] == which; }

// Checks the identifier's bytes: no '/' and no NUL (in Joliet: no such UCS-2 code units), whole UCS-2 units.
void CheckIdentifier(Context& ctx, const Hierarchy& h, const Record& rec, const std::string& where) {
  const std::string_view id = rec.ident;
  if (IsDotIdent(id, '\0') || IsDotIdent(id, '\1')) {
    ctx.Problem(Cat(where, ": a ", Quoted(h, id), " record at offset ", rec.offset, " after the first two records"));
    return;
  }
  bool bad = false;
  if (h.joliet) {
    if (id.size() % 2 != 0) ctx.Problem(Cat(where, ": Joliet identifier ", Quoted(h, id), " has an odd length"));
    for (size_t i = 0; i + 1 < id.size(); i += 2) {
      if (id[i] == '\0' && (id[i + 1] == '\0' || id[i + 1] == '/')) bad = true;
    }
  } else {
    bad = id.find('\0') != std::string_view::npos || id.find('/') != std::string_view::npos;
  }
  if (bad) ctx.Problem(Cat(where, ": identifier ", Quoted(h, id), " holds '/' or NUL"));
}

// The descriptor's root record must repeat the root's "." record, System Use aside.
void CompareRootRecords(Context& ctx, const Hierarchy& h, const Record& dot) {
  const std::string_view descriptor = std::string_view(h.volume->rootRecord).substr(1);
  size_t at = 0;
  while (at < descriptor.size() && at < dot.head.size() && descriptor[at] == dot.head[at]) ++at;
  if (at == descriptor.size() && at == dot.head.size()) return;
  const size_t offset = at + 1;  // within the record
  const char* field = offset < 2    ? "extended attribute length"
                      : offset < 10 ? "extent"
                      : offset < 18 ? "data length"
                      : offset < 25 ? "recording date"
                      : offset < 26 ? "flags"
                      : offset < 28 ? "interleave fields"
                      : offset < 32 ? "volume sequence number"
                                    : "identifier";
  ctx.Problem(Cat(h.name, ": the descriptor's root record differs from the root's \".\" record in its ", field,
                  " (byte ", offset, ")"));
}

// Reads and checks directory `index`, records its files, and returns the subdirectories to walk, in order.
std::vector<int> CheckDirectory(Context& ctx, Hierarchy& h, int index, bool* stop) {
  std::vector<int> subdirectories;
  const Directory dir = h.dirs[index];
  const std::string where = Cat(h.name, " ", Printable(dir.path));

  if (dir.size == 0) {
    ctx.Problem(where + ": directory of size 0");
    return subdirectories;
  }
  if (dir.size % kSectorSize != 0) {
    ctx.Problem(Cat(where, ": directory size ", dir.size, " is not a multiple of 2048"));
  }
  if (dir.size > kMaxDirectoryBytes || h.bytesRead + dir.size > kMaxWalkBytes) {
    ctx.Problem(Cat(where, ": directory of ", dir.size, " bytes is past what the check reads; walk stopped"));
    *stop = true;
    return subdirectories;
  }
  h.bytesRead += dir.size;
  std::vector<uint8_t> extent;
  if (!ctx.image->Read(static_cast<uint64_t>(dir.lba) + dir.extAttr, SectorsFor(dir.size), &extent)) {
    ctx.Problem(Cat(where, ": directory extent at LBA ", dir.lba, " cannot be read from the image"));
    return subdirectories;
  }
  const std::vector<Record> records = ReadRecords(ctx, h, extent, where);
  if (records.empty()) {
    ctx.Problem(where + ": directory holds no records");
    return subdirectories;
  }

  // "." and ".." first.
  size_t first = 0;
  const Directory& parent = h.dirs[dir.parent];
  if (IsDotIdent(records[0].ident, '\0')) {
    const Record& dot = records[0];
    if (dot.lba != dir.lba || dot.size != dir.size) {
      ctx.Problem(Cat(where, ": \".\" gives extent ", dot.lba, " size ", dot.size, ", the directory is at ", dir.lba,
                      " size ", dir.size));
    }
    if (!(dot.flags & kFlagDirectory)) ctx.Problem(where + ": \".\" is not flagged as a directory");
    if (index == 0) CompareRootRecords(ctx, h, dot);
    first = 1;
  } else {
    ctx.Problem(where + ": the first record is not \".\"");
  }
  if (first < records.size() && IsDotIdent(records[first].ident, '\1')) {
    const Record& dotdot = records[first];
    if (dotdot.lba != parent.lba || dotdot.size != parent.size) {
      ctx.Problem(Cat(where, ": \"..\" gives extent ", dotdot.lba, " size ", dotdot.size,
                      ", the parent directory is at ", parent.lba, " size ", parent.size));
    }
    if (!(dotdot.flags & kFlagDirectory)) ctx.Problem(where + ": \"..\" is not flagged as a directory");
    ++first;
  } else {
    ctx.Problem(where + ": the second record is not \"..\"");
  }

  IsoCheckEntry* openFile = nullptr;  // the multi-extent file the previous record continues
  for (size_t i = first; i < records.size(); ++i) {
    const Record& rec = records[i];
    const Record* prev = i > first ? &records[i - 1] : nullptr;
    CheckIdentifier(ctx, h, rec, where);
    const bool continues = prev && (prev->flags & kFlagMultiExtent) && prev->ident == rec.ident;

    if (prev) {
      const int order = h.joliet ? CompareJolietIdentifiers(prev->ident, rec.ident)
                                 : CompareIsoIdentifiers(prev->ident, rec.ident);
      if (order > 0) {
        ctx.Problem(Cat(where, ": ", Quoted(h, rec.ident), " at offset ", rec.offset, " comes after ",
                        Quoted(h, prev->ident), " (records out of order)"));
      } else if (prev->ident == rec.ident && !continues && !((prev->flags | rec.flags) & kFlagAssociated)) {
        ctx.Problem(Cat(where, ": duplicate identifier ", Quoted(h, rec.ident), " at offset ", rec.offset));
      }
    }
    if (rec.flags & kFlagMultiExtent) {
      const bool followed = i + 1 < records.size() && records[i + 1].ident == rec.ident;
      if (rec.flags & kFlagDirectory) {
        ctx.Problem(Cat(where, ": directory ", Quoted(h, rec.ident), " carries the multi-extent flag"));
      } else if (!followed) {
        ctx.Problem(Cat(where, ": ", Quoted(h, rec.ident),
                        " carries the multi-extent flag but the next record is not another extent of it"));
      }
    }

    const std::string name = NameOf(h, rec.ident);
    const std::string path = JoinPath(dir.path, name);
    const uint64_t end = ExtentEnd(rec.lba, rec.extAttr, rec.size);
    const bool inside = rec.size == 0 ? rec.lba <= ctx.volumeSize : end <= ctx.volumeSize;
    if (!inside) {
      ctx.Problem(Cat(h.name, " ", Printable(path), ": extent at LBA ", rec.lba, " of ", rec.size,
                      " bytes ends at sector ", end, ", past the volume's end at ", ctx.volumeSize));
    }

    if (rec.flags & kFlagDirectory) {
      openFile = nullptr;
      if (!inside) continue;
      if (h.dirLbas.count(rec.lba) != 0) {
        ctx.Problem(Cat(h.name, " ", Printable(path), ": directory extent at LBA ", rec.lba,
                        " is reached a second time (a loop or a shared directory); not followed"));
        continue;
      }
      if (dir.depth + 1 > kMaxDepth) {
        ctx.Problem(Cat(h.name, " ", Printable(path), ": deeper than ", kMaxDepth, " levels; not followed"));
        continue;
      }
      if (h.dirs.size() >= kMaxDirectories) {
        ctx.Problem(Cat(h.name, ": more than ", kMaxDirectories, " directories; walk stopped"));
        *stop = true;
        break;
      }
      Directory child;
      child.lba = rec.lba;
      child.size = rec.size;
      child.extAttr = rec.extAttr;
      child.parent = index;
      child.depth = dir.depth + 1;
      child.ident = rec.ident;
      child.path = path;
      const int childIndex = static_cast<int>(h.dirs.size());
      h.dirLbas.insert(rec.lba);
      h.children.emplace(ChildKey(index, rec.ident), childIndex);
      h.dirs.push_back(std::move(child));
      subdirectories.push_back(childIndex);
      continue;
    }

    if (continues && openFile) {
      openFile->size += rec.size;
      ++openFile->extents;
    } else {
      h.out->files.push_back(IsoCheckEntry{path, rec.lba, rec.size, 1});
      openFile = &h.out->files.back();
    }
    if (rec.size > 0 && inside) {
      h.fileExtents.push_back(FileExtent{static_cast<uint64_t>(rec.lba), end, h.out->files.size() - 1});
    }
    if (!(rec.flags & kFlagMultiExtent)) openFile = nullptr;
  }
  return subdirectories;
}

void WalkHierarchy(Context& ctx, Hierarchy& h) {
  const Volume& v = *h.volume;
  h.out->present = true;
  h.out->rootLba = v.rootLba;
  h.out->rootSize = v.rootSize;
  if (ExtentEnd(v.rootLba, v.rootExtAttr, v.rootSize) > ctx.volumeSize || v.rootLba == 0) {
    ctx.Problem(Cat(h.name, " /: root extent at LBA ", v.rootLba, " of ", v.rootSize,
                    " bytes lies outside the volume of ", ctx.volumeSize, " sectors"));
    return;
  }
  Directory root;
  root.lba = v.rootLba;
  root.size = v.rootSize;
  root.extAttr = v.rootExtAttr;
  root.parent = 0;
  root.ident = std::string(1, '\0');
  root.path = "/";
  h.dirs.push_back(root);
  h.dirLbas.insert(root.lba);

  std::vector<int> pending{0};
  bool stop = false;
  while (!pending.empty() && !stop) {
    const int index = pending.back();
    pending.pop_back();
    const Directory& dir = h.dirs[index];
    h.out->directories.push_back(IsoCheckEntry{dir.path, dir.lba, dir.size, 1});
    std::vector<int> subdirectories = CheckDirectory(ctx, h, index, &stop);
    pending.insert(pending.end(), subdirectories.rbegin(), subdirectories.rend());
  }
}

struct PathRecord {
  uint8_t extAttr = 0;
  uint32_t lba = 0;
  uint16_t parent = 0;
  std::string ident;

  bool operator==(const PathRecord&) const = default;
};

std::vector<PathRecord> DecodePathTable(Context& ctx, const std::vector<uint8_t>& table, bool little,
                                        const std::string& where) {
  std::vector<PathRecord> records;
  const Bytes b = View(table);
  size_t pos = 0;
  while (pos < b.size) {
    const size_t number = records.size() + 1;
    if (pos + 8 > b.size) {
      ctx.Problem(Cat(where, ": record ", number, " at byte ", pos, " runs past the path table size ", b.size));
      return records;
    }
    const uint8_t length = b.U8(pos);
    if (length == 0) {
      ctx.Problem(Cat(where, ": record ", number, " at byte ", pos,
                      " has identifier length 0; the path table size ", b.size, " covers more than the records"));
      return records;
    }
    if (pos + 8 + length > b.size) {
      ctx.Problem(Cat(where, ": record ", number, " at byte ", pos, " runs past the path table size ", b.size));
      return records;
    }
    PathRecord rec;
    rec.extAttr = b.U8(pos + 1);
    rec.lba = little ? b.Le32(pos + 2) : b.Be32(pos + 2);
    rec.parent = little ? b.Le16(pos + 6) : b.Be16(pos + 6);
    rec.ident.assign(b.Text(pos + 8, length));
    records.push_back(std::move(rec));
    pos += 8u + length + (length & 1u);
    if (records.size() > kMaxDirectories) {
      ctx.Problem(Cat(where, ": more than ", kMaxDirectories, " records"));
      return records;
    }
  }
  if (pos != b.size) {
    ctx.Problem(Cat(where, ": the last record's pad byte lies past the path table size ", b.size));
  }
  return records;
}

std::string DescribePathRecord(const Hierarchy& h, const PathRecord& rec) {
  return Cat(Quoted(h, rec.ident), " extent ", rec.lba, " parent ", rec.parent);
}

// Matches the path table's records with the directories the walk found.
void CheckPathTableAgainstTree(Context& ctx, const Hierarchy& h, const std::vector<PathRecord>& records,
                               const std::string& where) {
  if (records.empty()) return;
  std::vector<int> numberToDir(records.size() + 1, -1);
  std::vector<size_t> dirNumber(h.dirs.size(), 0);
  const PathRecord& root = records[0];
  if (!IsDotIdent(root.ident, '\0') || root.parent != 1) {
    ctx.Problem(Cat(where, ": record 1 is not the root (identifier ", Quoted(h, root.ident), ", parent ",
                    root.parent, ")"));
  }
  if (!h.dirs.empty()) {
    if (root.lba != h.dirs[0].lba) {
      ctx.Problem(Cat(where, ": record 1 (the root) gives extent ", root.lba, ", the root is at ", h.dirs[0].lba));
    }
    numberToDir[1] = 0;
    dirNumber[0] = 1;
  }
  for (size_t i = 1; i < records.size(); ++i) {
    const size_t number = i + 1;
    const PathRecord& rec = records[i];
    const std::string recordWhere = Cat(where, ": record ", number, " (", DescribePathRecord(h, rec), ")");
    if (rec.parent == 0 || rec.parent >= number) {
      ctx.Problem(recordWhere + ": parent number is not below the record's own number");
      continue;
    }
    if (i >= 2) {
      const PathRecord& prev = records[i - 1];
      const int order = prev.parent != rec.parent ? (prev.parent < rec.parent ? -1 : 1)
                                                  : ComparePathIdentifiers(prev.ident, rec.ident, h.joliet);
      if (order > 0) {
        ctx.Problem(recordWhere + ": out of order after record " + std::to_string(number - 1));
      } else if (order == 0) {
        ctx.Problem(recordWhere + ": duplicates record " + std::to_string(number - 1));
      }
    }
    const int parentDir = numberToDir[rec.parent];
    if (parentDir < 0) {
      ctx.Problem(recordWhere + ": its parent record names no directory of the hierarchy");
      continue;
    }
    const auto found = h.children.find(ChildKey(parentDir, rec.ident));
    if (found == h.children.end()) {
      ctx.Problem(Cat(recordWhere, ": ", Printable(h.dirs[parentDir].path), " has no such subdirectory"));
      continue;
    }
    const int dir = found->second;
    if (dirNumber[dir] != 0) {
      ctx.Problem(Cat(recordWhere, ": directory ", Printable(h.dirs[dir].path), " already appears as record ",
                      dirNumber[dir]));
      continue;
    }
    dirNumber[dir] = number;
    numberToDir[number] = dir;
    if (rec.lba != h.dirs[dir].lba) {
      ctx.Problem(Cat(recordWhere, ": directory ", Printable(h.dirs[dir].path), " is at extent ", h.dirs[dir].lba));
    }
    if (rec.extAttr != h.dirs[dir].extAttr) {
      ctx.Problem(Cat(recordWhere, ": extended attribute length ", rec.extAttr, ", the directory record says ",
                      h.dirs[dir].extAttr));
    }
  }
  size_t missing = 0;
  for (size_t d = 0; d < h.dirs.size(); ++d) {
    if (dirNumber[d] != 0) continue;
    if (++missing <= 10) ctx.Problem(Cat(where, ": directory ", Printable(h.dirs[d].path), " has no record"));
  }
  if (missing > 10) ctx.Problem(Cat(where, ": ", missing - 10, " more directories have no record"));
}

void CheckPathTables(Context& ctx, const Hierarchy& h, std::vector<Span>* structures) {
  const Volume& v = *h.volume;
  const std::string where = h.name + " path tables";
  IsoCheckHierarchy& out = *h.out;
  out.pathTableSize = v.pathTableSize;
  out.lTable = v.lTable;
  out.lTableCopy = v.lTableCopy;
  out.mTable = v.mTable;
  out.mTableCopy = v.mTableCopy;
  if (v.pathTableSize == 0 || v.pathTableSize > kMaxPathTableBytes) {
    ctx.Problem(Cat(where, ": path table size ", v.pathTableSize, " is not usable"));
    return;
  }
  const uint64_t sectors = SectorsFor(v.pathTableSize);
  auto load = [&](uint32_t lba, const char* which, std::vector<uint8_t>* table) {
    if (lba == 0 || lba + sectors > ctx.volumeSize) {
      ctx.Problem(Cat(where, ": ", which, " table at LBA ", lba, " (", sectors, " sectors) lies outside the volume of ",
                      ctx.volumeSize, " sectors"));
      return false;
    }
    structures->push_back(Span{lba, lba + sectors, Cat(h.name, " ", which, " path table")});
    if (!ctx.image->Read(lba, sectors, table)) {
      ctx.Problem(Cat(where, ": ", which, " table at LBA ", lba, " cannot be read from the image"));
      return false;
    }
    table->resize(v.pathTableSize);
    return true;
  };
  std::vector<uint8_t> l, m, copy;
  const bool haveL = load(v.lTable, "L", &l);
  const bool haveM = load(v.mTable, "M", &m);
  if (v.lTableCopy != 0 && load(v.lTableCopy, "optional L", &copy) && haveL && copy != l) {
    ctx.Problem(Cat(where, ": the optional L table at LBA ", v.lTableCopy, " differs from the L table"));
  }
  if (v.mTableCopy != 0 && load(v.mTableCopy, "optional M", &copy) && haveM && copy != m) {
    ctx.Problem(Cat(where, ": the optional M table at LBA ", v.mTableCopy, " differs from the M table"));
  }
  std::vector<PathRecord> lRecords, mRecords;
  if (haveL) lRecords = DecodePathTable(ctx, l, true, where + " (L table)");
  if (haveM) mRecords = DecodePathTable(ctx, m, false, where + " (M table)");
  if (haveL && haveM) {
    int reported = 0;
    for (size_t i = 0; i < std::min(lRecords.size(), mRecords.size()) && reported < 5; ++i) {
      if (lRecords[i] == mRecords[i]) continue;
      ++reported;
      ctx.Problem(Cat(where, ": the L and M tables disagree at record ", i + 1, ": L ",
                      DescribePathRecord(h, lRecords[i]), ", M ", DescribePathRecord(h, mRecords[i])));
    }
    if (lRecords.size() != mRecords.size()) {
      ctx.Problem(Cat(where, ": the L and M tables disagree: ", lRecords.size(), " records against ",
                      mRecords.size()));
    }
  }
  CheckPathTableAgainstTree(ctx, h, haveL ? lRecords : mRecords, where + (haveL ? " (L table)" : " (M table)"));
}

// The volume's own structures may not overlap one another, and no file's data may lie on them.
void CheckOverlaps(Context& ctx, std::vector<Span> structures, const std::vector<Hierarchy*>& hierarchies) {
  for (const Hierarchy* h : hierarchies) {
    for (const Directory& dir : h->dirs) {
      structures.push_back(Span{dir.lba, ExtentEnd(dir.lba, dir.extAttr, dir.size),
                                Cat(h->name, " directory ", Printable(dir.path))});
    }
  }
  std::erase_if(structures, [](const Span& s) { return s.start >= s.end; });
  std::sort(structures.begin(), structures.end(),
            [](const Span& a, const Span& b) { return a.start != b.start ? a.start < b.start : a.end < b.end; });
  int reported = 0;
  const Span* widest = nullptr;
  for (const Span& span : structures) {
    if (widest && span.start < widest->end && reported++ < 20) {
      ctx.Problem(Cat(span.what, " (sectors ", span.start, "..", span.end - 1, ") overlaps ", widest->what,
                      " (sectors ", widest->start, "..", widest->end - 1, ")"));
    }
    if (!widest || span.end > widest->end) widest = &span;
  }
  for (const Hierarchy* h : hierarchies) {
    for (const FileExtent& extent : h->fileExtents) {
      auto after = std::upper_bound(structures.begin(), structures.end(), extent.end,
                                    [](uint64_t end, const Span& s) { return end <= s.start; });
      if (after == structures.begin()) continue;
      const Span& span = *(after - 1);
      if (span.end > extent.start && reported++ < 40) {
        ctx.Problem(Cat(h->name, " ", Printable(h->out->files[extent.file].path), ": data at sectors ", extent.start,
                        "..", extent.end - 1, " lies on ", span.what, " (sectors ", span.start, "..", span.end - 1,
                        ")"));
      }
    }
  }
}

int JolietLevel(Bytes s) {
  if (s.U8(88) != '%' || s.U8(89) != '/') return 0;
  switch (s.U8(90)) {
    case '@': return 1;
    case 'C': return 2;
    case 'E': return 3;
    default: return 0;
  }
}

}  // namespace

std::vector<std::string> IsoCheckImage(const std::string& path, IsoCheckSummary* summary) {
  IsoCheckSummary local;
  IsoCheckSummary& sum = summary ? *summary : local;
  sum = IsoCheckSummary{};
  const ImageFile image(path);
  Context ctx;
  ctx.image = &image;
  if (!image.IsOpen()) {
    ctx.Problem(Cat("cannot open ", path));
    return ctx.problems;
  }
  sum.imageSectors = image.Sectors();
  std::vector<uint8_t> buffer;
  if (image.Read(19, 1, &buffer)) sum.sector19.assign(buffer.begin(), buffer.end());

  // The descriptor set, from sector 16 to the terminator.
  Volume primary, joliet;
  bool havePrimary = false, haveJoliet = false, terminated = false;
  uint32_t lba = kFirstDescriptor;
  for (; lba < kFirstDescriptor + kMaxDescriptors; ++lba) {
    if (!image.Read(lba, 1, &buffer)) {
      ctx.Problem(Cat("sector ", lba, ": the image ends before the volume descriptor terminator"));
      break;
    }
    const Bytes s = View(buffer);
    if (s.Text(1, 5) != "CD001") {
      ctx.Problem(Cat("sector ", lba, ": no standard identifier \"CD001\" before the volume descriptor terminator"));
      break;
    }
    const uint8_t type = s.U8(0);
    const uint8_t version = s.U8(6);
    sum.descriptors.push_back(IsoCheckDescriptor{lba, type});
    if (lba == kFirstDescriptor && type != 1) {
      ctx.Problem(Cat("sector 16: volume descriptor type ", type, ", not the primary volume descriptor"));
    }
    if (type == 255) {
      if (version != 1) ctx.Problem(Cat("sector ", lba, ": terminator version ", version));
      for (size_t i = 7; i < kSectorSize; ++i) {
        if (s.U8(i) != 0) {
          ctx.Problem(Cat("sector ", lba, ": terminator byte ", i, " is not zero"));
          break;
        }
      }
      terminated = true;
      break;
    }
    if (type == 1) {
      if (version != 1) ctx.Problem(Cat("sector ", lba, ": primary descriptor version ", version));
      if (!havePrimary) {
        primary = DecodeVolume(ctx, s, lba, "primary", false);
        sum.label = TrimRight(std::string(s.Text(40, 32)));
        havePrimary = true;
      }
    } else if (type == 2) {
      if (version != 1 && version != 2) ctx.Problem(Cat("sector ", lba, ": supplementary descriptor version ", version));
      const int level = JolietLevel(s);
      const Volume v = DecodeVolume(ctx, s, lba, level ? "Joliet" : "supplementary", true);
      if (level && !haveJoliet) {
        joliet = v;
        haveJoliet = true;
        sum.jolietLevel = level;
        sum.jolietLabel = TrimRight(Utf8FromUtf16Be(s.Text(40, 32)));
      }
    } else if (type == 0 || type == 3) {
      if (version != 1) ctx.Problem(Cat("sector ", lba, ": descriptor of type ", type, " has version ", version));
    } else {
      ctx.Problem(Cat("sector ", lba, ": unknown volume descriptor type ", type));
    }
  }
  if (!terminated && lba == kFirstDescriptor + kMaxDescriptors) {
    ctx.Problem(Cat("no volume descriptor terminator in sectors 16..", lba - 1));
  }
  if (!havePrimary) {
    ctx.Problem("no primary volume descriptor");
  } else {
    ctx.volumeSize = primary.spaceSize;
    sum.volumeSize = primary.spaceSize;
    if (image.Sectors() < primary.spaceSize) {
      ctx.Problem(Cat("the image holds ", image.Sectors(), " sectors, fewer than the volume space size ",
                      primary.spaceSize));
    }
    if (haveJoliet) {
      const std::string where = Cat("sector ", joliet.lba, " (Joliet descriptor)");
      if (joliet.spaceSize != primary.spaceSize) {
        ctx.Problem(Cat(where, ": volume space size ", joliet.spaceSize, ", the primary's is ", primary.spaceSize));
      }
      if (joliet.setSize != primary.setSize || joliet.sequence != primary.sequence) {
        ctx.Problem(where + ": volume set size or sequence number differs from the primary's");
      }
    }
  }

  std::vector<Span> structures;
  structures.push_back(Span{0, kFirstDescriptor, "the system area"});
  structures.push_back(Span{kFirstDescriptor, static_cast<uint64_t>(lba) + (terminated ? 1 : 0),
                            "the volume descriptors"});
  Hierarchy primaryTree, jolietTree;
  std::vector<Hierarchy*> walked;
  if (havePrimary) {
    primaryTree.name = "primary";
    primaryTree.volume = &primary;
    primaryTree.out = &sum.primary;
    walked.push_back(&primaryTree);
  }
  if (havePrimary && haveJoliet) {
    jolietTree.joliet = true;
    jolietTree.name = "Joliet";
    jolietTree.volume = &joliet;
    jolietTree.out = &sum.joliet;
    walked.push_back(&jolietTree);
  }
  for (Hierarchy* h : walked) {
    WalkHierarchy(ctx, *h);
    CheckPathTables(ctx, *h, &structures);
  }
  CheckOverlaps(ctx, std::move(structures), walked);

  if (ctx.leftOut > 0) ctx.problems.push_back(Cat("... and ", ctx.leftOut, " more problems"));
  return std::move(ctx.problems);
}
