#include "support/ntfs_edit.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Get32(const uint8_t* p) { return Get16(p) | static_cast<uint32_t>(Get16(p + 2)) << 16; }
uint64_t Get64(const uint8_t* p) { return Get32(p) | static_cast<uint64_t>(Get32(p + 4)) << 32; }
void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  Put16(p, static_cast<uint16_t>(v));
  Put16(p + 2, static_cast<uint16_t>(v >> 16));
}
void Put64(uint8_t* p, uint64_t v) {
  Put32(p, static_cast<uint32_t>(v));
  Put32(p + 4, static_cast<uint32_t>(v >> 32));
}

// Bytes a signed value needs in two's complement.
int SignedBytes(int64_t v) {
  int n = 1;
  while (n < 8 && (v < -(int64_t{1} << (8 * n - 1)) || v >= (int64_t{1} << (8 * n - 1)))) ++n;
  return n;
}

std::vector<uint8_t> CompressChunk(const uint8_t* data, size_t n) {
  std::vector<uint8_t> out;
  std::vector<int> head(1 << 12, -1);
  auto hash = [&](size_t at) { return ((data[at] << 4) ^ (data[at + 1] << 2) ^ data[at + 2]) & 0xFFF; };
  size_t pos = 0;
  while (pos < n) {
    const size_t flagAt = out.size();
    out.push_back(0);
    for (int bit = 0; bit < 8 && pos < n; ++bit) {
      unsigned lengthBits = 12;
      if (pos > 0)
        for (size_t q = pos - 1; q >= 0x10; q >>= 1) --lengthBits;
      const size_t maxLength = (size_t{1} << lengthBits) - 1 + 3;
      const size_t maxOffset = size_t{1} << (16 - lengthBits);
      size_t bestLength = 0, bestOffset = 0;
      std::vector<size_t> candidates;
      if (pos >= 1) candidates.push_back(pos - 1);
      if (pos + 3 <= n && head[hash(pos)] >= 0) candidates.push_back(static_cast<size_t>(head[hash(pos)]));
      for (size_t from : candidates) {
        if (pos - from > maxOffset) continue;
        size_t length = 0;
        while (length < maxLength && pos + length < n && data[from + length] == data[pos + length]) ++length;
        if (length > bestLength) {
          bestLength = length;
          bestOffset = pos - from;
        }
      }
      const size_t take = bestLength >= 3 ? bestLength : 1;
      if (bestLength >= 3) {
        out[flagAt] |= static_cast<uint8_t>(1u << bit);
        const uint16_t token = static_cast<uint16_t>(((bestOffset - 1) << lengthBits) | (bestLength - 3));
        out.push_back(static_cast<uint8_t>(token));
        out.push_back(static_cast<uint8_t>(token >> 8));
      } else {
        out.push_back(data[pos]);
      }
      for (size_t i = 0; i < take; ++i)
        if (pos + i + 3 <= n) head[hash(pos + i)] = static_cast<int>(pos + i);
      pos += take;
    }
  }
  return out;
}

std::vector<uint8_t> NonResident(uint16_t flags, uint16_t instance, int64_t lowVcn, int64_t highVcn,
                                 const std::vector<uint8_t>& pairs, bool sizes, int64_t allocated, int64_t dataSize,
                                 int64_t initialized, int64_t compressed) {
  const uint32_t header = (flags & 0x80FF) ? 72 : 64;
  const uint32_t length = (header + static_cast<uint32_t>(pairs.size()) + 7) & ~7u;
  std::vector<uint8_t> a(length, 0);
  Put32(&a[0], 0x80);
  Put32(&a[4], length);
  a[8] = 1;
  Put16(&a[10], static_cast<uint16_t>(header));
  Put16(&a[12], flags);
  Put16(&a[14], instance);
  Put64(&a[16], static_cast<uint64_t>(lowVcn));
  Put64(&a[24], static_cast<uint64_t>(highVcn));
  Put16(&a[32], static_cast<uint16_t>(header));
  a[34] = (flags & 0x80FF) ? 4 : 0;
  if (sizes) {
    Put64(&a[40], static_cast<uint64_t>(allocated));
    Put64(&a[48], static_cast<uint64_t>(dataSize));
    Put64(&a[56], static_cast<uint64_t>(initialized));
    if (header == 72) Put64(&a[64], static_cast<uint64_t>(compressed));
  }
  std::copy(pairs.begin(), pairs.end(), a.begin() + header);
  return a;
}

// The attributes of a record as separate blobs (the end marker dropped).
std::vector<std::vector<uint8_t>> Attributes(const std::vector<uint8_t>& record) {
  std::vector<std::vector<uint8_t>> out;
  for (uint32_t at = Get16(&record[20]); at + 8 <= record.size() && Get32(&record[at]) != 0xFFFFFFFF;) {
    const uint32_t length = Get32(&record[at + 4]);
    if (length < 24 || at + length > record.size()) break;
    out.emplace_back(record.begin() + at, record.begin() + at + length);
    at += length;
  }
  return out;
}

bool Rebuild(std::vector<uint8_t>* record, const std::vector<std::vector<uint8_t>>& attributes, uint32_t size) {
  const uint32_t first = Get16(&(*record)[20]);
  std::vector<uint8_t> out(record->begin(), record->begin() + first);
  for (const auto& a : attributes) out.insert(out.end(), a.begin(), a.end());
  const uint8_t end[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
  out.insert(out.end(), end, end + 8);
  if (out.size() > size) return false;
  Put32(&out[24], static_cast<uint32_t>(out.size()));
  out.resize(size, 0);
  *record = std::move(out);
  return true;
}

// The runs of the mapping pairs that start at `p` in a record (a sparse run has cluster -1). The test volumes are
// made by mkntfs and our own edits, so the pairs are trusted to end inside the record.
std::vector<NtfsEditRun> DecodeMappingPairs(const std::vector<uint8_t>& record, uint32_t p) {
  std::vector<NtfsEditRun> runs;
  int64_t lcn = 0;
  while (record[p] != 0) {
    const int lengthBytes = record[p] & 15, lcnBytes = record[p] >> 4;
    ++p;
    int64_t length = 0, delta = 0;
    for (int i = 0; i < lengthBytes; ++i) length |= static_cast<int64_t>(record[p + i]) << (8 * i);
    p += lengthBytes;
    for (int i = 0; i < lcnBytes; ++i) delta |= static_cast<int64_t>(record[p + i]) << (8 * i);
    if (lcnBytes && lcnBytes < 8 && (record[p + lcnBytes - 1] & 0x80)) delta -= int64_t{1} << (8 * lcnBytes);
    p += lcnBytes;
    lcn += delta;
    runs.push_back({lcnBytes ? lcn : -1, length});
  }
  return runs;
}

}  // namespace

std::vector<uint8_t> NtfsEditCompress(const uint8_t* data, size_t size) {
  std::vector<uint8_t> out;
  for (size_t at = 0; at < size; at += 4096) {
    const size_t n = std::min<size_t>(4096, size - at);
    std::vector<uint8_t> chunk = CompressChunk(data + at, n);
    if (chunk.size() >= 4096) {
      out.push_back(0xFF);
      out.push_back(0x3F);
      out.insert(out.end(), data + at, data + at + n);
      out.resize(out.size() + (4096 - n), 0);
    } else {
      const uint16_t header = static_cast<uint16_t>(0xB000 | (chunk.size() - 1));
      out.push_back(static_cast<uint8_t>(header));
      out.push_back(static_cast<uint8_t>(header >> 8));
      out.insert(out.end(), chunk.begin(), chunk.end());
    }
  }
  return out;
}

std::vector<uint8_t> NtfsEditMappingPairs(const std::vector<NtfsEditRun>& runs) {
  std::vector<uint8_t> out;
  int64_t previous = 0;
  for (const NtfsEditRun& run : runs) {
    const int lengthBytes = SignedBytes(run.length);
    const int64_t delta = run.lcn - previous;
    const int lcnBytes = run.lcn < 0 ? 0 : SignedBytes(delta);
    out.push_back(static_cast<uint8_t>(lcnBytes << 4 | lengthBytes));
    for (int i = 0; i < lengthBytes; ++i) out.push_back(static_cast<uint8_t>(run.length >> (8 * i)));
    for (int i = 0; i < lcnBytes; ++i) out.push_back(static_cast<uint8_t>(delta >> (8 * i)));
    if (run.lcn >= 0) previous = run.lcn;
  }
  out.push_back(0);
  return out;
}

NtfsImageEditor::~NtfsImageEditor() {
  if (fd_ >= 0) close(fd_);
}

bool NtfsImageEditor::ReadBytes(int64_t volumeByte, void* data, size_t size) {
  return pread(fd_, data, size, offset_ + volumeByte) == static_cast<ssize_t>(size);
}

bool NtfsImageEditor::WriteBytes(int64_t volumeByte, const void* data, size_t size) {
  return pwrite(fd_, data, size, offset_ + volumeByte) == static_cast<ssize_t>(size);
}

bool NtfsImageEditor::Open(const std::string& path, int64_t offset) {
  fd_ = open(path.c_str(), O_RDWR);
  offset_ = offset;
  uint8_t boot[512];
  if (fd_ < 0 || !ReadBytes(0, boot, sizeof boot)) return false;
  clusterSize_ = Get16(boot + 11) * boot[13];
  const int8_t perRecord = static_cast<int8_t>(boot[64]);
  recordSize_ = perRecord > 0 ? clusterSize_ * perRecord : 1u << -perRecord;
  const int64_t mftByte = static_cast<int64_t>(Get64(boot + 48)) * clusterSize_;
  std::vector<uint8_t> record(recordSize_);
  if (!ReadBytes(mftByte, record.data(), record.size())) return false;
  // Record 0 locates itself: undo its fixups by hand.
  const uint16_t usa = Get16(&record[4]), count = Get16(&record[6]);
  for (uint32_t i = 1; i < count; ++i) std::memcpy(&record[i * 512 - 2], &record[usa + 2 * i], 2);
  const int at = FindAttribute(record, 0x80);
  if (at < 0) return false;
  mftSize_ = static_cast<int64_t>(Get64(&record[at + 48]));
  mftRuns_ = DecodeMappingPairs(record, at + Get16(&record[at + 32]));
  return true;
}

int NtfsImageEditor::FindAttribute(const std::vector<uint8_t>& record, uint32_t type) {
  for (uint32_t at = Get16(&record[20]); at + 8 <= record.size();) {
    const uint32_t t = Get32(&record[at]);
    if (t == 0xFFFFFFFF) return -1;
    if (t == type && (record[at + 9] == 0 || (type >= 0x90 && type <= 0xB0))) return static_cast<int>(at);
    const uint32_t length = Get32(&record[at + 4]);
    if (length == 0) return -1;
    at += length;
  }
  return -1;
}

bool NtfsImageEditor::MftByte(int64_t number, int64_t* volumeByte) {
  int64_t byte = number * recordSize_;
  for (const NtfsEditRun& run : mftRuns_) {
    const int64_t bytes = run.length * clusterSize_;
    if (byte < bytes) {
      *volumeByte = run.lcn * clusterSize_ + byte;
      return run.lcn >= 0;
    }
    byte -= bytes;
  }
  return false;
}

bool NtfsImageEditor::ReadRecord(int64_t number, std::vector<uint8_t>* record) {
  int64_t at = 0;
  record->assign(recordSize_, 0);
  if (!MftByte(number, &at) || !ReadBytes(at, record->data(), recordSize_)) return false;
  const uint16_t usa = Get16(&(*record)[4]), count = Get16(&(*record)[6]);
  if (count < 2 || usa + 2u * count > recordSize_) return true;
  const uint32_t stride = recordSize_ / (count - 1u);
  for (uint32_t i = 1; i < count; ++i) std::memcpy(&(*record)[i * stride - 2], &(*record)[usa + 2 * i], 2);
  return true;
}

bool NtfsImageEditor::WriteRecord(int64_t number, std::vector<uint8_t> record) {
  int64_t at = 0;
  if (!MftByte(number, &at)) return false;
  const uint16_t usa = Get16(&record[4]), count = Get16(&record[6]);
  const uint32_t stride = recordSize_ / (count - 1u);
  uint16_t usn = static_cast<uint16_t>(Get16(&record[usa]) + 1);
  if (usn == 0 || usn == 0xFFFF) usn = 1;
  Put16(&record[usa], usn);
  for (uint32_t i = 1; i < count; ++i) {
    std::memcpy(&record[usa + 2 * i], &record[i * stride - 2], 2);
    Put16(&record[i * stride - 2], usn);
  }
  return WriteBytes(at, record.data(), record.size());
}

int64_t NtfsImageEditor::FindRecord(const std::string& name) {
  std::vector<uint8_t> record;
  for (int64_t n = 16; n < mftSize_ / recordSize_; ++n) {
    if (!ReadRecord(n, &record) || std::memcmp(record.data(), "FILE", 4) != 0 || !(record[22] & 1)) continue;
    for (uint32_t at = Get16(&record[20]); at + 24 <= record.size();) {
      const uint32_t type = Get32(&record[at]);
      const uint32_t length = Get32(&record[at + 4]);
      if (type == 0xFFFFFFFF || length < 24) break;
      if (type == 0x30) {
        const uint8_t* value = &record[at + Get16(&record[at + 20])];
        std::string ascii;
        for (int i = 0; i < value[64]; ++i) ascii.push_back(static_cast<char>(Get16(value + 66 + 2 * i)));
        if (ascii == name) return n;
      }
      at += length;
    }
  }
  return -1;
}

bool NtfsImageEditor::DataRuns(int64_t number, std::vector<NtfsEditRun>* runs, int64_t* dataSize) {
  std::vector<uint8_t> record;
  if (!ReadRecord(number, &record)) return false;
  const int at = FindAttribute(record, 0x80);
  if (at < 0 || record[at + 8] == 0) return false;
  *dataSize = static_cast<int64_t>(Get64(&record[at + 48]));
  *runs = DecodeMappingPairs(record, at + Get16(&record[at + 32]));
  return true;
}

bool NtfsImageEditor::SetData(int64_t number, const std::vector<NtfsEditRun>& runs, uint16_t flags, int64_t dataSize,
                              int64_t initializedSize) {
  std::vector<uint8_t> record;
  if (!ReadRecord(number, &record)) return false;
  int64_t clusters = 0, stored = 0;
  for (const NtfsEditRun& run : runs) {
    clusters += run.length;
    if (run.lcn >= 0) stored += run.length;
  }
  auto attributes = Attributes(record);
  for (auto& a : attributes) {
    // $STANDARD_INFORMATION tells readers that the file is sparse or compressed, as the attribute does.
    if (Get32(&a[0]) == 0x10 && a[8] == 0) {
      uint8_t* bits = &a[Get16(&a[20]) + 32];
      Put32(bits, Get32(bits) | (flags & 0x8000 ? 0x200 : 0) | (flags & 0x00FF ? 0x800 : 0));
    }
  }
  for (auto& a : attributes)
    if (Get32(&a[0]) == 0x80 && a[9] == 0)
      a = NonResident(flags, Get16(&a[14]), 0, clusters - 1, NtfsEditMappingPairs(runs), true, clusters * clusterSize_,
                      dataSize, initializedSize, stored * clusterSize_);
  return Rebuild(&record, attributes, recordSize_) && WriteRecord(number, std::move(record));
}

bool NtfsImageEditor::SetInitializedSize(int64_t number, int64_t value) {
  std::vector<uint8_t> record;
  if (!ReadRecord(number, &record)) return false;
  const int at = FindAttribute(record, 0x80);
  if (at < 0 || record[at + 8] == 0) return false;
  Put64(&record[at + 56], static_cast<uint64_t>(value));
  return WriteRecord(number, std::move(record));
}

bool NtfsImageEditor::SpreadData(int64_t number, const std::vector<NtfsEditRun>& runs, int64_t dataSize,
                                 int extentCount) {
  std::vector<uint8_t> base;
  if (!ReadRecord(number, &base)) return false;
  const uint16_t baseSequence = Get16(&base[16]);
  // Unused records of the $MFT become the extension records.
  std::vector<int64_t> free;
  std::vector<uint8_t> probe;
  for (int64_t n = 24; n < mftSize_ / recordSize_ && static_cast<int>(free.size()) < extentCount; ++n)
    if (n != number && ReadRecord(n, &probe) && (std::memcmp(probe.data(), "FILE", 4) != 0 || !(probe[22] & 1)))
      free.push_back(n);
  if (static_cast<int>(free.size()) < extentCount) return false;

  int64_t totalClusters = 0;
  for (const NtfsEditRun& run : runs) totalClusters += run.length;
  struct ListEntry {
    uint32_t type;
    int64_t lowVcn;
    uint64_t reference;
    uint16_t instance;
  };
  std::vector<ListEntry> list;
  auto attributes = Attributes(base);
  attributes.erase(std::remove_if(attributes.begin(), attributes.end(),
                                  [](const std::vector<uint8_t>& a) { return Get32(&a[0]) == 0x80 && a[9] == 0; }),
                   attributes.end());
  for (const auto& a : attributes)
    list.push_back({Get32(&a[0]), 0, static_cast<uint64_t>(number) | uint64_t{baseSequence} << 48, Get16(&a[14])});

  const size_t perExtent = (runs.size() + extentCount - 1) / extentCount;
  int64_t vcn = 0;
  for (int e = 0; e < extentCount; ++e) {
    const size_t from = e * perExtent, to = std::min(runs.size(), from + perExtent);
    std::vector<NtfsEditRun> part(runs.begin() + from, runs.begin() + to);
    int64_t clusters = 0;
    for (const NtfsEditRun& run : part) clusters += run.length;
    std::vector<uint8_t> attribute = NonResident(0, 0, vcn, vcn + clusters - 1, NtfsEditMappingPairs(part), e == 0,
                                                 totalClusters * clusterSize_, dataSize, dataSize, 0);
    std::vector<uint8_t> extent(base.begin(), base.begin() + Get16(&base[20]));
    extent.resize(recordSize_, 0);
    std::memcpy(extent.data(), "FILE", 4);
    Put16(&extent[16], 1);
    Put16(&extent[18], 0);
    Put16(&extent[22], 1);
    Put32(&extent[28], recordSize_);
    Put64(&extent[32], static_cast<uint64_t>(number) | uint64_t{baseSequence} << 48);
    Put16(&extent[40], 1);
    if (Get16(&base[20]) >= 48) Put32(&extent[44], static_cast<uint32_t>(free[e]));
    if (!Rebuild(&extent, {attribute}, recordSize_) || !WriteRecord(free[e], std::move(extent))) return false;
    list.push_back({0x80, vcn, static_cast<uint64_t>(free[e]) | uint64_t{1} << 48, 0});
    vcn += clusters;
  }
  std::stable_sort(list.begin(), list.end(), [](const ListEntry& a, const ListEntry& b) {
    return a.type != b.type ? a.type < b.type : a.lowVcn < b.lowVcn;
  });
  std::vector<uint8_t> value;
  for (const ListEntry& entry : list) {
    uint8_t item[32] = {};
    Put32(item, entry.type);
    Put16(item + 4, 32);
    item[7] = 26;
    Put64(item + 8, static_cast<uint64_t>(entry.lowVcn));
    Put64(item + 16, entry.reference);
    Put16(item + 24, entry.instance);
    value.insert(value.end(), item, item + 32);
  }
  std::vector<uint8_t> listAttribute((24 + value.size() + 7) & ~size_t{7}, 0);
  Put32(&listAttribute[0], 0x20);
  Put32(&listAttribute[4], static_cast<uint32_t>(listAttribute.size()));
  const uint16_t instance = Get16(&base[40]);
  Put16(&listAttribute[14], instance);
  Put16(&base[40], static_cast<uint16_t>(instance + 1));
  Put32(&listAttribute[16], static_cast<uint32_t>(value.size()));
  Put16(&listAttribute[20], 24);
  std::copy(value.begin(), value.end(), listAttribute.begin() + 24);
  attributes.push_back(listAttribute);
  std::stable_sort(
      attributes.begin(), attributes.end(),
      [](const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) { return Get32(&a[0]) < Get32(&b[0]); });
  return Rebuild(&base, attributes, recordSize_) && WriteRecord(number, std::move(base));
}
