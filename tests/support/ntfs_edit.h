// Test-time edits of NTFS volume images that no tool here makes: a file's $DATA rewritten as LZNT1-compressed
// or sparse runs, its initialized size lowered, its run list spread over extension records named by an attribute
// list, and damage to records and indexes. The editor is independent of the reader under test: it has its own
// fixups, mapping pairs and LZNT1 encoder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct NtfsEditRun {
  int64_t lcn;  // -1: a hole
  int64_t length;
};

// LZNT1-compresses one block (at most 64 KiB; chunks that do not shrink are stored as they are).
std::vector<uint8_t> NtfsEditCompress(const uint8_t* data, size_t size);
// Mapping pairs of runs starting at vcn 0 (ends with the zero byte).
std::vector<uint8_t> NtfsEditMappingPairs(const std::vector<NtfsEditRun>& runs);

class NtfsImageEditor {
 public:
  // Opens the volume at byte `offset` of the image for reading and writing.
  bool Open(const std::string& path, int64_t offset = 0);
  ~NtfsImageEditor();

  uint32_t clusterSize() const { return clusterSize_; }
  uint32_t recordSize() const { return recordSize_; }
  // The record holding a file of this (ASCII) name, or -1.
  int64_t FindRecord(const std::string& name);
  // A record with its fixups undone (the raw record as the reader sees it after fixing up).
  bool ReadRecord(int64_t number, std::vector<uint8_t>* record);
  // Writes a record back, protecting it with a fresh update sequence.
  bool WriteRecord(int64_t number, std::vector<uint8_t> record);
  // Where record `number` lies in the volume (-1 when the $MFT does not map it).
  int64_t RecordPosition(int64_t number) {
    int64_t at = -1;
    return MftByte(number, &at) ? at : -1;
  }
  bool ReadBytes(int64_t volumeByte, void* data, size_t size);
  bool WriteBytes(int64_t volumeByte, const void* data, size_t size);
  // Offset of the first unnamed attribute of `type` (of any name for an index's types 0x90-0xB0) in a fixed-up
  // record, or -1.
  static int FindAttribute(const std::vector<uint8_t>& record, uint32_t type);

  // The runs and data size of a file's (non-resident, single-extent) unnamed $DATA.
  bool DataRuns(int64_t record, std::vector<NtfsEditRun>* runs, int64_t* dataSize);
  // Replaces the file's $DATA by a non-resident attribute with these runs, flags (1 LZNT1, 0x8000 sparse) and
  // sizes, in the base record.
  bool SetData(int64_t record, const std::vector<NtfsEditRun>& runs, uint16_t flags, int64_t dataSize,
               int64_t initializedSize);
  // Moves the file's $DATA, with these runs, into `extentCount` extension records (taken from the unused
  // records of the $MFT) and gives the base record an attribute list naming them.
  bool SpreadData(int64_t record, const std::vector<NtfsEditRun>& runs, int64_t dataSize, int extentCount);
  bool SetInitializedSize(int64_t record, int64_t value);

 private:
  bool MftByte(int64_t number, int64_t* volumeByte);
  int fd_ = -1;
  int64_t offset_ = 0;
  uint32_t clusterSize_ = 0;
  uint32_t recordSize_ = 0;
  int64_t mftSize_ = 0;
  std::vector<NtfsEditRun> mftRuns_;
};
