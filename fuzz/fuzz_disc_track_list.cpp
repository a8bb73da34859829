// Arbitrary drive answers fed to the reading of a disc's layout: every command (configuration, disc and track
// information, full and simple TOC, DVD and BD structures, sector reads) takes the next answer of the input, and
// the table that comes out must stay within its bounds. With the file-system probe installed, the sector reads
// of a UDF volume take their answers from the input too.
#include <cstdint>
#include <cstring>

#include "burner/disc_read.h"
#include "burner/transport.h"
#include "image/tracktable.h"
#include "session/drive_open.h"

namespace {

struct Answers {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
};

// Each answer: a flag byte (bit 0: the command fails with a check condition, bit 1: a transport failure), a
// 16-bit length, then that many bytes (fewer when the input ends), cut to the buffer the command gave.
int Answer(void* context, int, CScsiPassThrough* record) {
  auto* in = static_cast<Answers*>(context);
  if (in->at + 3 > in->size) return 0;
  const uint8_t flags = in->data[in->at];
  size_t length = static_cast<size_t>(in->data[in->at + 1]) << 8 | in->data[in->at + 2];
  in->at += 3;
  length = std::min(length, in->size - in->at);
  const uint8_t* bytes = in->data + in->at;
  in->at += length;
  if (flags & 2) return 0;
  if (flags & 1) {
    record->scsiStatus = 2;
    if (record->senseLength >= 14) {
      record->sense[0] = 0x70;
      record->sense[2] = 0x05;
      record->sense[12] = 0x24;
    }
    return 1;
  }
  const size_t n = std::min<size_t>(length, record->direction == 1 ? record->dataLength : 0);
  if (n) std::memcpy(record->data, bytes, n);
  record->residual = record->direction == 1 ? record->dataLength - static_cast<uint32_t>(n) : 0;
  return 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  Answers answers{data + 1, size - 1};
  CScsiContext scsi;
  scsi.retryDelayMs = 0;
  scsi.longDelayMs = 0;
  scsi.answer = Answer;
  scsi.answerContext = &answers;
  // An overwritable disc without ISO 9660 is sized by its UDF volume, read from the same answers.
  if (data[0] & 2) DriveUseFileSystemProbes(&scsi);
  CTrackTable* table = TrackTableAlloc();
  if (!table) return 0;
  if (DiscReadTrackList(&scsi, 3, table, L"/dev/sg0", data[0] & 1) == 1) {
    // What callers rely on: a count inside the table and tracks that do not run backwards.
    if (table->trackCount < 0 || table->trackCount > kTrackTableMaxTracks) __builtin_trap();
    for (int i = 0; i < table->trackCount; ++i)
      if (table->tracks[i].length < 0 || table->tracks[i].start < 0) __builtin_trap();
    TrackTableGetEndSector(table);
  }
  TrackTableFree(table);
  return 0;
}
