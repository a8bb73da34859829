// QVF streams through the writer and reader: round trips for every level, geometry and writer option, byte
// equality of one-thread and many-thread output, and streams made here by hand (zlib for deflate, our Lzma86
// coder for LZMA) to check what the reader accepts, refuses and never returns.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "image/document.h"
#include "session/document.h"
#include "qvf/container.h"
#include "qvf/lzma86.h"
#include "qvf/reader.h"
#include "qvf/writer.h"
#include "runtime/crc.h"
#include "runtime/error.h"
#include "support/run_program.h"
#include "support/zlib_reference.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Sectors of mixed content: text, noise, zeros and code-like bytes, in runs that cross chunk boundaries.
Bytes MixedImage(uint64_t sectors, int sectorSize, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes image(sectors * static_cast<uint64_t>(sectorSize));
  static const char kText[] = "the sector holds a volume descriptor, a path table and the file data. ";
  for (size_t at = 0; at < image.size();) {
    const size_t run = std::min<size_t>(image.size() - at, 3000 + rng() % 90000);
    switch (rng() % 4) {
      case 0:
        for (size_t i = 0; i < run; ++i) image[at + i] = static_cast<uint8_t>(kText[(at + i) % (sizeof kText - 1)]);
        break;
      case 1:
        for (size_t i = 0; i < run; ++i) image[at + i] = static_cast<uint8_t>(rng());
        break;
      case 2:
        break;  // zeros
      default:
        for (size_t i = 0; i < run; ++i) image[at + i] = (i % 5 == 0) ? 0xE8 : static_cast<uint8_t>((at + i) / 7);
    }
    at += run;
  }
  return image;
}

struct WriteSettings {
  int level = 0;
  int sectorSize = 2048;
  CQvfWriterParams params;
  std::string password;
  std::string comment;
  int threads = 0;
};

// Writes `image` as a QVF file through the format table's write handler, in pieces of odd sizes.
bool WriteQvf(const std::string& path, const Bytes& image, const WriteSettings& settings) {
  const CQvfWriterParams saved = g_qvfWriterParams;
  g_qvfWriterParams = settings.params;
  g_qvfCompressionThreads = settings.threads;
  CImageDocument* document = ImageAlloc();
  document->output = std::fopen(path.c_str(), "w+b");
  document->outputPath = CWideString(path.c_str());
  document->sectorSize = settings.sectorSize;
  document->compressionLevel = settings.level;
  const int64_t sectors = static_cast<int64_t>(image.size() / static_cast<size_t>(settings.sectorSize));
  document->readableLimit = sectors;
  if (!settings.password.empty()) {
    document->passwordSet = 1;
    std::strcpy(document->password, settings.password.c_str());
  }
  document->comment = settings.comment;
  bool ok = document->output != nullptr;
  for (int64_t sector = 0; ok && sector < sectors;) {
    const int64_t n = std::min<int64_t>(sectors - sector, 333);
    ok = QvfWriteSectors(document, sector, image.data() + sector * settings.sectorSize, n) == n;
    sector += n;
  }
  ok = ok && document->qvfWriter == nullptr;  // finished with the last sector
  ImageClose(document);
  g_qvfWriterParams = saved;
  g_qvfCompressionThreads = 0;
  ErrorStateReset();
  return ok;
}

// An open stream: the document owns the file and the reader.
struct Opened {
  CImageDocument* document = nullptr;
  CQvfContext* context = nullptr;
  explicit Opened(const std::string& path, int allow512 = 1) {
    document = ImageAlloc();
    document->path = CWideString(path.c_str());
    document->input = std::fopen(path.c_str(), "rb");
    context = QvfOpenReader(document, document->input, allow512);
    document->qvf = context;
  }
  ~Opened() {
    ImageClose(document);
    ErrorStateReset();
  }
};

// The whole image read back in pieces of odd sizes; empty when a read fails.
Bytes ReadAll(CQvfContext* context) {
  Bytes out(context->sectorCount * static_cast<uint64_t>(context->sectorSize));
  for (uint64_t sector = 0; sector < context->sectorCount;) {
    const uint64_t n = std::min<uint64_t>(context->sectorCount - sector, 1 + sector % 700);
    if (QvfReadRange(context, sector, n, out.data() + sector * context->sectorSize) != static_cast<int64_t>(n))
      return {};
    sector += n;
  }
  return out;
}

struct RoundTripCase {
  const char* name;
  int level;
  int sectorSize;
  std::function<void(CQvfWriterParams&)> params;
  uint32_t expectedVersion;
};

TEST(QvfRoundTrip, EveryLevelGeometryAndWriterOption) {
  const RoundTripCase cases[] = {
      {"normal", 0, 2048, [](CQvfWriterParams&) {}, kQvfVersion100},
      {"better", 1, 2048, [](CQvfWriterParams&) {}, kQvfVersion110},
      {"best", 2, 2048, [](CQvfWriterParams&) {}, kQvfVersion110},
      {"index at end", 1, 2048, [](CQvfWriterParams& p) { p.indexAtEnd = 1; }, kQvfVersion110},
      {"deflated index at end", 1, 2048, [](CQvfWriterParams& p) { p.indexAtEnd = p.indexDeflate = 1; },
       kQvfVersion110},
      {"scrambled index", 2, 2048, [](CQvfWriterParams& p) { p.indexScramble = 1; }, kQvfVersion110},
      {"masked index", 1, 2048, [](CQvfWriterParams& p) { p.indexMask = 1; }, kQvfVersion110},
      {"variant 1", 1, 2048, [](CQvfWriterParams& p) { p.blockVariant = 1; }, kQvfVersion110},
      {"variant 3, deflate only", 1, 2048, [](CQvfWriterParams& p) { p.blockVariant = 3; p.deflateOnly = 1; },
       kQvfVersion110},
      {"16 KiB chunks, wide entries", 1, 2048,
       [](CQvfWriterParams& p) { p.chunkKiB = 16; p.lengthBits = 21; p.codecBits = 3; }, kQvfVersion110},
      {"LZMA header kept", 2, 2048, [](CQvfWriterParams& p) { p.stripLzmaHeader = 0; }, kQvfVersion110},
      {"512-byte sectors", 0, 512, [](CQvfWriterParams&) {}, kQvfVersion150},
  };
  const std::string folder = MakeTestFolder("qvf_round_trip");
  for (const RoundTripCase& c : cases) {
    WriteSettings settings;
    settings.level = c.level;
    settings.sectorSize = c.sectorSize;
    c.params(settings.params);
    // The chunk size of the case, from a first small write.
    const std::string probe = folder + "/probe.qvf";
    ASSERT_TRUE(WriteQvf(probe, MixedImage(1, c.sectorSize, 1), settings)) << c.name;
    uint32_t chunk = 0;
    {
      Opened opened(probe);
      ASSERT_NE(opened.context, nullptr) << c.name;
      EXPECT_EQ(opened.context->version, c.expectedVersion) << c.name;
      chunk = opened.context->chunkSize;
    }
    const uint64_t perChunk = chunk / static_cast<uint32_t>(c.sectorSize);
    // One sector, exactly k chunks, and k chunks and one sector: the last chunk's index entry is its own.
    for (uint64_t sectors : {uint64_t{1}, 2 * perChunk, 2 * perChunk + 1}) {
      SCOPED_TRACE(testing::Message() << c.name << ", " << sectors << " sectors");
      const Bytes image = MixedImage(sectors, c.sectorSize, static_cast<uint32_t>(sectors));
      const std::string path = folder + "/t.qvf";
      ASSERT_TRUE(WriteQvf(path, image, settings));
      Opened opened(path);
      ASSERT_NE(opened.context, nullptr);
      EXPECT_EQ(opened.context->sectorCount, sectors);
      EXPECT_TRUE(ReadAll(opened.context) == image);
    }
  }
}

TEST(QvfRoundTrip, ManyThreadsWriteTheBytesOfOne) {
  const std::string folder = MakeTestFolder("qvf_threads");
  // Several chunks at every level (64 KiB, 512 KiB and 4 MiB).
  const Bytes image = MixedImage(2 * 2048 + 17, 2048, 5);
  for (int level : {0, 1, 2}) {
    WriteSettings settings;
    settings.level = level;
    settings.threads = 1;
    ASSERT_TRUE(WriteQvf(folder + "/one.qvf", image, settings));
    settings.threads = 7;
    ASSERT_TRUE(WriteQvf(folder + "/many.qvf", image, settings));
    EXPECT_TRUE(ReadFileBytes(folder + "/one.qvf") == ReadFileBytes(folder + "/many.qvf")) << "level " << level;
  }
}

TEST(QvfRoundTrip, ZeroChunksOf512ByteImagesTakeNoBytes) {
  const std::string folder = MakeTestFolder("qvf_zero_chunks");
  // 4 MiB chunks: the middle one all zeros.
  Bytes image = MixedImage(3 * 8192, 512, 9);
  std::fill(image.begin() + 8192 * 512, image.begin() + 2 * 8192 * 512, 0);
  WriteSettings settings;
  settings.sectorSize = 512;
  ASSERT_TRUE(WriteQvf(folder + "/z.qvf", image, settings));
  Opened opened(folder + "/z.qvf");
  ASSERT_NE(opened.context, nullptr);
  EXPECT_EQ(QvfGetChunkStoredLength(opened.context, 1), 0u);
  EXPECT_TRUE(ReadAll(opened.context) == image);
  // A disc opener does not take a stream of 512-byte sectors.
  Opened disc(folder + "/z.qvf", 0);
  EXPECT_EQ(disc.context, nullptr);
}

TEST(QvfRoundTrip, IncompressibleChunksAreStoredRaw) {
  const std::string folder = MakeTestFolder("qvf_raw");
  Bytes image(256 * 2048 * 2);
  std::mt19937 rng(3);
  for (auto& b : image) b = static_cast<uint8_t>(rng());
  WriteSettings settings;
  settings.level = 1;
  ASSERT_TRUE(WriteQvf(folder + "/r.qvf", image, settings));
  Opened opened(folder + "/r.qvf");
  ASSERT_NE(opened.context, nullptr);
  EXPECT_EQ(QvfGetChunkStoredLength(opened.context, 0), 512u * 1024 + 4);
  EXPECT_TRUE(ReadAll(opened.context) == image);
}

TEST(QvfRoundTrip, CommentsUpTo64KiBAndTheirLimit) {
  const std::string folder = MakeTestFolder("qvf_comment");
  const Bytes image = MixedImage(40, 2048, 2);
  std::string comment(65536, 'x');
  for (size_t i = 0; i < comment.size(); ++i) comment[i] = static_cast<char>('a' + (i * 31 + i / 100) % 26);
  WriteSettings settings;
  settings.comment = comment + "beyond the limit";
  ASSERT_TRUE(WriteQvf(folder + "/c.qvf", image, settings));
  {
    Opened opened(folder + "/c.qvf");
    ASSERT_NE(opened.context, nullptr);
    EXPECT_EQ(opened.context->comment, comment);
    EXPECT_TRUE(ReadAll(opened.context) == image);
    // The block is the first after the header.
    uint8_t head[12];
    EXPECT_EQ(QvfFindBlock(opened.document->input, kQvfBlockComment, head, sizeof head, 0), 76);
    EXPECT_EQ(QvfFindBlock(opened.document->input, kQvfBlockPassword, head, sizeof head, 0), -1);
  }
  // A declared total above 65,536 is refused: find the comment block and raise it (the header does not cover it).
  const std::string text = ReadFileBytes(folder + "/c.qvf");
  Bytes bytes(text.begin(), text.end());
  ASSERT_EQ(QvfLoad32(bytes.data() + 76), kQvfBlockComment);
  QvfStore32(bytes.data() + 76 + 12, 65537);
  std::ofstream(folder + "/big.qvf", std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  Opened refused(folder + "/big.qvf");
  EXPECT_EQ(refused.context, nullptr);
}

TEST(QvfSave, AnOpenDocumentIntoVolumesWithItsComment) {
  const std::string folder = MakeTestFolder("qvf_save");
  // Any document that reads sectors will do: an ISO image file of mixed content opened as one.
  const Bytes image = MixedImage(900, 2048, 8);
  std::ofstream(folder + "/t.iso", std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
  CImageDocument* document = ImageAlloc();
  document->input = std::fopen((folder + "/t.iso").c_str(), "rb");
  document->inputType = 0;
  document->readableLimit = 900;
  const std::string first = folder + "/s.part001.qvf";
  document->output = std::fopen(first.c_str(), "w+b");
  document->outputPath = CWideString(first.c_str());
  document->splitVolumes = 1;
  document->splitVolumeSize = 600 << 10;
  document->comment = "saved";
  std::vector<uint64_t> progress;
  static std::vector<uint64_t>* seen = nullptr;
  seen = &progress;
  EXPECT_EQ(QvfSaveImage(document, 900, [](uint64_t bytes) { seen->push_back(bytes); }), 0);
  EXPECT_EQ(document->qvfWriter, nullptr);
  ImageClose(document);
  EXPECT_EQ(progress.size(), 1u);
  EXPECT_TRUE(std::filesystem::exists(folder + "/s.part002.qvf"));
  EXPECT_EQ(std::filesystem::file_size(first), 600u << 10);
  Opened opened(first);
  ASSERT_NE(opened.context, nullptr);
  EXPECT_EQ(opened.context->split, 1);
  EXPECT_GE(opened.context->volumeCount, 2);
  EXPECT_EQ(opened.context->comment, "saved");
  EXPECT_TRUE(ReadAll(opened.context) == image);
}

// ---- streams made by hand ----------------------------------------------------------------------------------


Bytes Lzma86(const Bytes& input) {
  Bytes out(input.size() + input.size() / 2 + 1024);
  size_t size = out.size();
  EXPECT_EQ(Lzma86_Encode(out.data(), &size, input.data(), input.size(), 5, 1 << 20, kLzma86FilterX86), kLzma86Ok);
  out.resize(size);
  return out;
}

struct HandChunk {
  Bytes data;  // stored data without its CRC (empty: a chunk of zeros)
  int codec;
};

// A version-0x110 stream of 16 KiB chunks with 20-bit entries (LB 19, CB 1), the chunks as given.
struct HandStream {
  uint64_t imageSize = 0;
  std::vector<HandChunk> chunks;
  Bytes blocks;
  std::function<void(uint8_t*)> header = [](uint8_t*) {};  // changes to the header before its CRC

  Bytes Build() const {
    const uint32_t chunkSize = 16384;
    const uint32_t indexOffset = 76 + static_cast<uint32_t>(blocks.size());
    const uint64_t indexSize = (chunks.size() * 20 + 7) / 8;
    Bytes index(indexSize + 8, 0);
    Bytes data;
    for (size_t i = 0; i < chunks.size(); ++i) {
      uint64_t stored = 0;
      if (!chunks[i].data.empty()) {
        data.insert(data.end(), chunks[i].data.begin(), chunks[i].data.end());
        uint8_t crc[4];
        QvfStore32(crc, Crc32Compute(chunks[i].data.data(), chunks[i].data.size()));
        data.insert(data.end(), crc, crc + 4);
        stored = chunks[i].data.size() + 4;
      }
      const uint64_t entry = (stored ? stored - 5 : 0) | uint64_t(chunks[i].codec & 1) << 19;
      for (int b = 0; b < 20; ++b)
        if ((entry >> b) & 1) index[(i * 20 + b) / 8] |= static_cast<uint8_t>(1 << ((i * 20 + b) % 8));
    }
    index.resize(indexSize);
    Bytes out(76, 0);
    std::memcpy(out.data(), "QVF", 4);
    QvfStore32(&out[16], indexOffset);
    QvfStore32(&out[20], kQvfVersion110);
    QvfStore32(&out[24], static_cast<uint32_t>(indexOffset + indexSize) | kQvfDataAlwaysSet);
    QvfStore32(&out[28], 1);
    QvfStore32(&out[36], chunkSize / kQvfChunkUnit | kQvfFlagsAlwaysSet);
    QvfStore64(&out[40], imageSize);
    out[61] = 1 | (19 - 10) << 3;  // CB 1, LB 19 stated
    header(out.data());
    QvfStore32(&out[72], Crc32Compute(out.data(), 72));
    out.insert(out.end(), blocks.begin(), blocks.end());
    out.insert(out.end(), index.begin(), index.end());
    out.insert(out.end(), data.begin(), data.end());
    QvfStore64(&out[48], out.size());
    QvfStore32(&out[72], Crc32Compute(out.data(), 72));
    return out;
  }
};

Bytes Pattern(size_t n, int seed) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>((i * seed) / 3 + i % 251);
  return out;
}

// Writes the bytes and opens them: null when the open is refused.
struct HandOpened {
  std::string path;
  std::unique_ptr<Opened> opened;
  HandOpened(const std::string& folder, const std::string& name, const Bytes& bytes) : path(folder + "/" + name) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    opened = std::make_unique<Opened>(path);
  }
  CQvfContext* context() const { return opened->context; }
};

TEST(QvfHandMadeStreams, ZlibDeflateLzmaRawAndZeroChunksDecode) {
  const std::string folder = MakeTestFolder("qvf_hand");
  const Bytes a = Pattern(16384, 3), b = Pattern(16384, 5), c = Pattern(16384, 7), d = Pattern(6144, 11);
  HandStream stream;
  stream.imageSize = 3 * 16384 + 16384 + 6144;
  stream.chunks = {{ZlibRawDeflate(a), 1}, {Lzma86(b), 0}, {c, 1}, {{}, 0}, {ZlibRawDeflate(d), 1}};
  stream.imageSize = 4 * 16384 + 6144;
  HandOpened hand(folder, "ok.qvf", stream.Build());
  ASSERT_NE(hand.context(), nullptr);
  Bytes expected;
  for (const Bytes* part : {&a, &b, &c}) expected.insert(expected.end(), part->begin(), part->end());
  expected.insert(expected.end(), 16384, 0);
  expected.insert(expected.end(), d.begin(), d.end());
  EXPECT_TRUE(ReadAll(hand.context()) == expected);
}

TEST(QvfHandMadeStreams, DamagedChunksFailAndDeliverOnlyWhatCameBefore) {
  const std::string folder = MakeTestFolder("qvf_hand_damage");
  const Bytes a = Pattern(16384, 3), b = Pattern(16384, 5);
  struct DamageCase {
    const char* name;
    std::function<void(HandStream&)> damage;
    int32_t errorState;
  };
  const DamageCase cases[] = {
      // The CRC no longer matches: whether raw or compressed.
      {"flipped deflate byte", [](HandStream& s) { s.chunks[1].data[0] ^= 1; }, kQvfErrorNone},
      {"LZMA header declares one byte more",
       [&](HandStream& s) { s.chunks[1] = {Lzma86(b), 0}; QvfStore64(s.chunks[1].data.data() + 6, 16385); },
       kQvfErrorDecode},
      {"LZMA header declares one byte less",
       [&](HandStream& s) { s.chunks[1] = {Lzma86(b), 0}; QvfStore64(s.chunks[1].data.data() + 6, 16383); },
       kQvfErrorDecode},
      {"deflate of too little data", [&](HandStream& s) { s.chunks[1] = {ZlibRawDeflate(Bytes(b.begin(), b.end() - 1)), 1}; },
       kQvfErrorDecode},
      {"deflate of too much data",
       [&](HandStream& s) { Bytes more = b; more.push_back(1); s.chunks[1] = {ZlibRawDeflate(more), 1}; }, kQvfErrorDecode},
      {"LZMA codec on deflate data", [&](HandStream& s) { s.chunks[1].codec = 0; }, kQvfErrorDecode},
  };
  for (const DamageCase& c : cases) {
    SCOPED_TRACE(c.name);
    HandStream stream;
    stream.imageSize = 3 * 16384;
    stream.chunks = {{ZlibRawDeflate(a), 1}, {ZlibRawDeflate(b), 1}, {ZlibRawDeflate(a), 1}};
    c.damage(stream);
    Bytes bytes = stream.Build();
    if (c.errorState == kQvfErrorNone) {
      // Damage after the CRC was made: flip a byte of chunk 1 in the file.
      const size_t at = 76 + 8 + ZlibRawDeflate(a).size() + 4 + 3;
      bytes[at] ^= 0x40;
    }
    HandOpened hand(folder, "d.qvf", bytes);
    ASSERT_NE(hand.context(), nullptr);
    Bytes out(3 * 16384, 0xEE);
    EXPECT_EQ(QvfReadRange(hand.context(), 0, 24, out.data()), 8);
    EXPECT_EQ(hand.context()->errorState, c.errorState == kQvfErrorNone ? kQvfErrorChecksum : c.errorState);
    EXPECT_TRUE(std::equal(a.begin(), a.end(), out.begin()));
    // Nothing of the damaged chunk, nor of what follows it, is left in the buffer.
    EXPECT_TRUE(std::all_of(out.begin() + 16384, out.end(), [](uint8_t v) { return v == 0; }));
    EXPECT_EQ(QvfReadChunk(hand.context(), 1), nullptr);
    EXPECT_NE(QvfReadChunk(hand.context(), 2), nullptr);
  }
}

TEST(QvfHandMadeStreams, HeadersThatAreRefused) {
  const std::string folder = MakeTestFolder("qvf_hand_headers");
  struct HeaderCase {
    const char* name;
    std::function<void(HandStream&)> change;
    bool opens;
    bool unsupported;
  };
  const HeaderCase cases[] = {
      {"sound", [](HandStream&) {}, true, false},
      {"index offset below 76", [](HandStream& s) { s.header = [](uint8_t* h) { QvfStore32(h + 16, 60); }; }, false,
       false},
      {"word at 28 not 1", [](HandStream& s) { s.header = [](uint8_t* h) { QvfStore32(h + 28, 2); }; }, false, false},
      {"unknown version", [](HandStream& s) { s.header = [](uint8_t* h) { QvfStore32(h + 20, 0x120); }; }, false,
       true},
      {"chunk size 0", [](HandStream& s) { s.header = [](uint8_t* h) { QvfStore32(h + 36, kQvfFlagsAlwaysSet); }; },
       false, false},
      {"LB + CB above 32", [](HandStream& s) { s.header = [](uint8_t* h) { h[61] = 0xFF; }; }, false, false},
      {"image above 8 TiB",
       [](HandStream& s) { s.header = [](uint8_t* h) { QvfStore64(h + 40, (uint64_t{1} << 43) + 16384); }; }, false,
       false},
      {"index beyond the file",
       [](HandStream& s) { s.header = [](uint8_t* h) { QvfStore64(h + 40, uint64_t{1} << 40); }; }, false, false},
      {"deflated index that is not deflate",
       [](HandStream& s) {
         s.header = [](uint8_t* h) {
           QvfStore32(h + 36, QvfLoad32(h + 36) | kQvfFlagIndexDeflated);
           QvfStore32(h + 57, 5);
         };
       },
       false, false},
      {"walk of blocks never advances", [](HandStream& s) { s.blocks = Bytes{4, 0, 0, 0, 0, 0, 0, 0}; }, true, false},
  };
  const Bytes a = Pattern(16384, 3);
  for (const HeaderCase& c : cases) {
    SCOPED_TRACE(c.name);
    HandStream stream;
    stream.imageSize = 16384;
    stream.chunks = {{ZlibRawDeflate(a), 1}};
    c.change(stream);
    HandOpened hand(folder, "h.qvf", stream.Build());
    EXPECT_EQ(hand.context() != nullptr, c.opens);
    EXPECT_EQ(hand.opened->document->qvfRefusal, c.unsupported ? 15 : 0);
    if (hand.context()) {
      EXPECT_TRUE(ReadAll(hand.context()) == a);
    }
  }
  // Eight chunks whose index entries claim 70,000 stored bytes each, in a file far shorter: refused when opened,
  // before any read buffer is sized by those lengths.
  {
    HandStream stream;
    stream.imageSize = 8 * 16384;
    stream.chunks.assign(8, HandChunk{{}, 0});
    Bytes claimed = stream.Build();
    for (uint64_t i = 0; i < 8; ++i) {
      const uint64_t entry = 70000 - 5;
      for (int b = 0; b < 19; ++b)
        if ((entry >> b) & 1) claimed[76 + (i * 20 + b) / 8] |= static_cast<uint8_t>(1 << ((i * 20 + b) % 8));
    }
    HandOpened hand(folder, "claims.qvf", claimed);
    EXPECT_EQ(hand.context(), nullptr);
  }
  // A header whose CRC does not match is no header.
  Bytes bytes = [&] {
    HandStream stream;
    stream.imageSize = 16384;
    stream.chunks = {{ZlibRawDeflate(a), 1}};
    return stream.Build();
  }();
  bytes[40] ^= 1;
  HandOpened bad(folder, "crc.qvf", bytes);
  EXPECT_EQ(bad.context(), nullptr);
}

// Rewrites a QVF stream of ours (version 0x110, index not masked) as the sibling product writes it: QDI magic,
// the block-type variant with its low bit inverted, and the index scrambled the QDI way.
Bytes AsQdi(Bytes bytes, bool bit27) {
  uint32_t flags = QvfLoad32(&bytes[36]);
  const uint32_t variant = (flags >> 23) & 3;
  flags = (flags & ~(3u << 23)) | ((variant ^ 1) << 23);
  if (bit27) flags |= kQvfFlagIndexScrambled;
  QvfStore32(&bytes[36], flags);
  std::memcpy(bytes.data(), "QDI", 4);
  const uint32_t crc = Crc32Compute(bytes.data(), 72);
  QvfStore32(&bytes[72], crc);
  const uint32_t indexOffset = QvfLoad32(&bytes[16]);
  const uint32_t words = QvfLoad32(&bytes[24]) & 0xFFFFFF;
  const size_t n = words - indexOffset;
  for (size_t j = 0; j < n; ++j) {
    uint8_t& b = bytes[indexOffset + j];
    b = bit27 ? static_cast<uint8_t>(b - ((crc & 0xFF) + j * ((crc >> 8) & 0xFF)))
              : static_cast<uint8_t>((b ^ (n / 4)) + (crc & 0xFF));
  }
  return bytes;
}

TEST(QvfOtherStreams, QdiAndAppendedStreamsRead) {
  const std::string folder = MakeTestFolder("qvf_qdi");
  const Bytes image = MixedImage(700, 2048, 4);
  WriteSettings settings;
  settings.level = 1;
  settings.params.blockVariant = 2;
  settings.params.deflateOnly = 1;
  ASSERT_TRUE(WriteQvf(folder + "/t.qvf", image, settings));
  const std::string text = ReadFileBytes(folder + "/t.qvf");
  const Bytes qvf(text.begin(), text.end());
  for (bool bit27 : {false, true}) {
    HandOpened qdi(folder, "t.qdi", AsQdi(qvf, bit27));
    ASSERT_NE(qdi.context(), nullptr) << bit27;
    EXPECT_EQ(qdi.context()->qdi, 1);
    EXPECT_TRUE(ReadAll(qdi.context()) == image) << bit27;
  }
  // The stream after 5,000 bytes of other data, found through the trailer at the end (top bit a flag).
  Bytes appended(5000, 0x5A);
  appended.insert(appended.end(), qvf.begin(), qvf.end());
  uint8_t trailer[20] = {};
  QvfStore32(trailer, kQvfBlockAppended);
  QvfStore32(trailer + 4, 20);
  QvfStore32(trailer + 12, 5000 | 0x80000000u);
  appended.insert(appended.end(), trailer, trailer + 20);
  HandOpened host(folder, "host.bin", appended);
  ASSERT_NE(host.context(), nullptr);
  EXPECT_EQ(host.context()->appended, 1);
  EXPECT_EQ(host.context()->streamBase, 5000u);
  EXPECT_TRUE(ReadAll(host.context()) == image);
}

}  // namespace
