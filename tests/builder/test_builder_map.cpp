// Reading back an image being built from its sector map: generated sectors, local files and source sectors, raw
// Mode 2 encoding, failures inside and outside a burn, the owner map, and large maps.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "builder/builder_map.h"
#include "image/cdsector.h"
#include "image/document.h"
#include "session/document.h"
#include "image/format_row.h"
#include "image/sectors.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "support/cd_reference.h"
#include "support/console_capture.h"
#include "support/run_program.h"
#include "tree/tree.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int64_t kUser = 2048;
constexpr int64_t kRaw = 2352;

Bytes Pattern(size_t n, uint32_t seed) {
  Bytes bytes(n);
  uint32_t x = seed * 2654435761u + 17;
  for (uint8_t& b : bytes) {
    x = x * 1103515245u + 12345;
    b = static_cast<uint8_t>(x >> 23);
  }
  return bytes;
}

// The source image's sector s: bytes that say which sector they are.
Bytes SourceSector(int64_t s) { return Pattern(kUser, static_cast<uint32_t>(1000 + s)); }

void WriteFile(const std::string& path, const Bytes& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  if (!bytes.empty()) {
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  }
  std::fclose(f);
}

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

int Bcd(int value) { return (value / 10) << 4 | value % 10; }

size_t CountOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// One sector of the image as the test expects it: the user data (or, for a generated raw sector, the whole raw
// sector as queued), and whether a raw read encodes it as a Form 1 sector ending a file.
struct Expected {
  Bytes bytes;
  bool encoded;
  bool endOfFile;
};

// A document being built over a source image of `sourceSectors` sectors, with the expected image kept beside the
// builder's map. The source image is an ISO row read through the ordinary sector path.
struct Build {
  explicit Build(int64_t sourceSectors, int64_t sessionStart = 0, bool raw = false) {
    for (int64_t s = 0; s < sourceSectors; ++s) {
      Bytes sector = SourceSector(s);
      source.insert(source.end(), sector.begin(), sector.end());
    }
    document = ImageAlloc();
    if (!source.empty()) document->input = fmemopen(source.data(), source.size(), "rb");
    document->inputType = kImageTypeIso;
    document->sectorSize = 2048;
    document->fileSize = static_cast<int64_t>(source.size());
    document->readableLimit = sourceSectors;
    document->rawMode2 = raw ? 1 : 0;
    document->buildSessionStart = sessionStart;
    document->builder = ImageBuilderNew(document);
    builder = document->builder;
  }
  ~Build() { ImageClose(document); }
  Build(const Build&) = delete;
  Build& operator=(const Build&) = delete;

  int64_t Size() const { return ImageBuilderSectorSize(document); }

  void Generated(const Bytes& bytes) {
    ASSERT_EQ(ImageBuilderQueueGenerated(builder, bytes.data(), static_cast<int64_t>(bytes.size())),
              static_cast<int64_t>((bytes.size() + Size() - 1) / Size()));
    for (size_t at = 0; at < bytes.size(); at += Size()) {
      Bytes sector(Size(), 0);
      std::memcpy(sector.data(), bytes.data() + at, std::min<size_t>(Size(), bytes.size() - at));
      expected.push_back({sector, false, false});
    }
  }

  void Fill(int64_t first, int64_t count, bool last) {
    ASSERT_EQ(ImageBuilderQueueFill(builder, first, count, last), count);
    for (int64_t i = 0; i < count; ++i) expected.push_back({SourceSector(first + i), true, last && i == count - 1});
  }

  // Queues a local file in pieces of `piece` bytes (the whole file when 0), the last piece marked.
  void File(const std::string& path, const Bytes& content, size_t piece = 0, bool pathEveryPiece = true) {
    if (piece == 0) piece = content.size();
    for (size_t at = 0; at < content.size(); at += piece) {
      const size_t bytes = std::min(piece, content.size() - at);
      const bool last = at + bytes == content.size();
      const std::wstring wide = Wide(path);
      const wchar_t* name = at == 0 || pathEveryPiece ? wide.c_str() : nullptr;
      ASSERT_EQ(ImageBuilderQueueData(builder, name, 0, static_cast<int64_t>(at), static_cast<int64_t>(bytes), last),
                static_cast<int64_t>((bytes + 2047) / 2048));
    }
    for (size_t at = 0; at < content.size(); at += kUser) {
      Bytes sector(kUser, 0);
      std::memcpy(sector.data(), content.data() + at, std::min<size_t>(kUser, content.size() - at));
      expected.push_back({sector, true, at + kUser >= content.size()});
    }
  }

  Bytes source;
  CImageDocument* document;
  CImageBuilder* builder;
  std::vector<Expected> expected;
};

// Checks that `raw` is a sound Mode 2 Form 1 sector at `sector` carrying `data`, with the end-of-file sub-mode bit
// exactly when `endOfFile`. Uses the independent reference checks, not the codec.
void ExpectForm1(const uint8_t* raw, int64_t sector, const Bytes& data, bool endOfFile, const std::string& where) {
  static const uint8_t kSync[12] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
  EXPECT_EQ(std::memcmp(raw, kSync, 12), 0) << where;
  const int64_t frames = sector + 150;
  EXPECT_EQ(raw[12], Bcd(static_cast<int>(frames / 4500))) << where;
  EXPECT_EQ(raw[13], Bcd(static_cast<int>(frames / 75 % 60))) << where;
  EXPECT_EQ(raw[14], Bcd(static_cast<int>(frames % 75))) << where;
  EXPECT_EQ(raw[15], 2) << where;
  const uint8_t subMode = endOfFile ? 0x88 : 0x08;
  const uint8_t subHeader[8] = {0, 0, subMode, 0, 0, 0, subMode, 0};
  EXPECT_EQ(std::memcmp(raw + 16, subHeader, 8), 0) << where << " sub-mode " << int{raw[18]};
  EXPECT_EQ(std::memcmp(raw + 24, data.data(), kUser), 0) << where;
  uint32_t stored = 0;
  for (int i = 0; i < 4; ++i) stored |= uint32_t{raw[2072 + i]} << (8 * i);
  EXPECT_EQ(stored, ReferenceEdc(raw + 16, 2056)) << where;
  EXPECT_EQ(ReferenceBadCodewords(raw, true), 0) << where;
}

TEST(BuilderMap, FilesAndSourceRunsBecomeEntriesWithTheirByteCounts) {
  struct Case {
    const char* name;
    std::function<int64_t(CImageBuilder*)> queue;
    std::vector<uint32_t> kinds;
    std::vector<uint32_t> bytes;
    std::vector<bool> last;
  } cases[] = {
      {"5,000-byte file from 0, last", [](CImageBuilder* b) { return ImageBuilderQueueData(b, L"/a", 0, 0, 5000, 1); },
       {2, 3, 3}, {2048, 2048, 904}, {false, false, true}},
      {"5,000-byte file from 0, not last",
       [](CImageBuilder* b) { return ImageBuilderQueueData(b, L"/a", 0, 0, 5000, 0); },
       {2, 3, 3}, {2048, 2048, 904}, {false, false, false}},
      {"piece from a later position",
       [](CImageBuilder* b) { return ImageBuilderQueueData(b, L"/a", 7, 32768, 4096, 1); },
       {3, 3}, {2048, 2048}, {false, true}},
      {"value instead of a path", [](CImageBuilder* b) { return ImageBuilderQueueData(b, nullptr, 9, 0, 1, 1); },
       {2}, {1}, {true}},
      {"source sectors", [](CImageBuilder* b) { return ImageBuilderQueueFill(b, 70, 3, 1); },
       {1, 1, 1}, {2048, 2048, 2048}, {false, false, true}},
  };
  for (const Case& c : cases) {
    Build build(0);
    ASSERT_EQ(c.queue(build.builder), static_cast<int64_t>(c.kinds.size())) << c.name;
    ASSERT_EQ(build.builder->mapUsed, static_cast<int64_t>(c.kinds.size())) << c.name;
    for (size_t i = 0; i < c.kinds.size(); ++i) {
      const CBuiltSector& entry = build.builder->map[i];
      EXPECT_EQ(BuiltSectorKind(entry), c.kinds[i]) << c.name << " entry " << i;
      EXPECT_EQ(BuiltSectorBytes(entry), c.bytes[i]) << c.name << " entry " << i;
      EXPECT_EQ((entry.flags & kBuiltLastSector) != 0, c.last[i]) << c.name << " entry " << i;
    }
  }
  // Requests that name nothing readable, or do not fit the 32-bit words, are refused and queue nothing.
  Build build(0);
  EXPECT_EQ(ImageBuilderQueueData(build.builder, nullptr, 0, 0, 10, 1), -1);
  EXPECT_EQ(ImageBuilderQueueData(build.builder, L"/a", 0, -1, 10, 1), -1);
  EXPECT_EQ(ImageBuilderQueueFill(build.builder, 0xFFFFFFFFll, 2, 0), -1);
  EXPECT_EQ(ImageBuilderQueueFill(build.builder, -1, 1, 0), -1);
  EXPECT_EQ(build.builder->mapUsed, 0);
}

// A mixed build (generated sectors, local files queued whole and in pieces, runs of source sectors) read back
// through the ordinary sector read in windows that start and end inside and across every kind of run.
TEST(BuilderMap, MixedBuildReadsBackInEveryWindow) {
  const std::string folder = MakeTestFolder("builder_map_mixed");
  const Bytes fileA = Pattern(5000, 1);
  const Bytes fileB = Pattern(100 * 1024 + 100, 2);
  const Bytes fileC = Pattern(3 * 32768, 3);
  WriteFile(folder + "/a.bin", fileA);
  WriteFile(folder + "/b.bin", fileB);
  WriteFile(folder + "/c.bin", fileC);

  for (int64_t sessionStart : {int64_t{0}, int64_t{1000}}) {
    SCOPED_TRACE(sessionStart);
    Build build(200, sessionStart);
    build.Generated(Pattern(2 * 2048 + 500, 4));
    build.File(folder + "/a.bin", fileA);
    build.Fill(150, 4, false);  // past the limit of the image being built: still the source's sectors
    build.Fill(10, 2, true);
    build.File(folder + "/b.bin", fileB, 32768, false);
    build.Generated(Pattern(2048, 5));
    // A file whose later pieces are queued without a path after other sectors came between: they belong to
    // the file last queued from position 0.
    {
      const std::wstring c = Wide(folder + "/c.bin");
      ASSERT_EQ(ImageBuilderQueueData(build.builder, c.c_str(), 0, 0, 32768, 0), 16);
      ASSERT_EQ(ImageBuilderQueueFill(build.builder, 3, 1, 0), 1);
      ASSERT_EQ(ImageBuilderQueueData(build.builder, nullptr, 0, 32768, 65536, 1), 32);
      auto sectorOfC = [&](int64_t s) { return Bytes(fileC.begin() + s * kUser, fileC.begin() + (s + 1) * kUser); };
      for (int64_t s = 0; s < 16; ++s) build.expected.push_back({sectorOfC(s), true, false});
      build.expected.push_back({SourceSector(3), true, false});
      for (int64_t s = 16; s < 48; ++s) build.expected.push_back({sectorOfC(s), true, s == 47});
    }
    const auto total = static_cast<int64_t>(build.expected.size());
    ASSERT_EQ(build.builder->mapUsed, total);
    build.document->readableLimit = sessionStart + total;
    build.document->readFromBuilder = 1;

    struct Window {
      int64_t first, count;
    } windows[] = {{0, total}, {0, 1}, {1, 3}, {4, 3}, {5, 2}, {9, 2}, {11, 3}, {12, 51}, {20, 30}, {62, 3},
                   {63, 18}, {3, 3}, {total - 33, 33}, {total - 1, 1}};
    for (const Window& w : windows) {
      SCOPED_TRACE(testing::Message() << "window " << w.first << "+" << w.count);
      Bytes out(static_cast<size_t>(w.count * kUser), 0xAA);
      ASSERT_EQ(ImageReadSectors(build.document, sessionStart + w.first, out.data(), w.count), w.count);
      for (int64_t i = 0; i < w.count; ++i)
        EXPECT_EQ(std::memcmp(out.data() + i * kUser, build.expected[w.first + i].bytes.data(), kUser), 0)
            << "sector " << w.first + i;
    }
    Bytes one(kUser);
    for (int64_t s = 0; s < total; ++s) {
      ASSERT_EQ(ImageReadSectors(build.document, sessionStart + s, one.data(), 1), 1);
      EXPECT_EQ(one, build.expected[s].bytes) << "sector " << s;
    }
    EXPECT_EQ(AbortCodeGet(), 0);
    // Without the flag the document reads its source image again.
    build.document->readFromBuilder = 0;
    build.document->readableLimit = 200;
    ASSERT_EQ(ImageReadSectors(build.document, 150, one.data(), 1), 1);
    EXPECT_EQ(one, SourceSector(150));
  }
}

TEST(BuilderMap, RawMode2ReadsEncodeForm1SectorsWithTheirAddressAndEndOfFile) {
  const std::string folder = MakeTestFolder("builder_map_raw");
  const Bytes file = Pattern(5000, 7);
  WriteFile(folder + "/f.bin", file);
  CdResetSectorModeList(0);
  for (int64_t sessionStart : {int64_t{0}, int64_t{30000}}) {
    SCOPED_TRACE(sessionStart);
    Build build(40, sessionStart, true);
    build.Generated(Pattern(2 * kRaw, 8));
    build.File(folder + "/f.bin", file);
    build.Fill(30, 2, true);
    build.Fill(5, 1, false);
    const auto total = static_cast<int64_t>(build.expected.size());
    for (int64_t first : {int64_t{0}, int64_t{3}, int64_t{4}}) {
      const int64_t count = total - first;
      Bytes out(static_cast<size_t>(count * kRaw));
      ASSERT_EQ(ImageReadBuiltSectors(build.document, sessionStart + first, out.data(), count), count);
      for (int64_t i = 0; i < count; ++i) {
        const Expected& e = build.expected[first + i];
        const uint8_t* raw = out.data() + i * kRaw;
        const std::string where = "sector " + std::to_string(first + i);
        if (e.encoded) {
          ExpectForm1(raw, sessionStart + first + i, e.bytes, e.endOfFile, where);
        } else {
          EXPECT_EQ(std::memcmp(raw, e.bytes.data(), kRaw), 0) << where;
        }
      }
    }
  }
}

// Failures end the read outside a burn, with the abort code and the report; while a burn job drains the image
// the failed sectors read as zeros and one message is shown, however many reads fail.
TEST(BuilderMap, FailuresEndTheReadOrLeaveZeroSectorsDuringABurn) {
  const std::string folder = MakeTestFolder("builder_map_failures");
  const Bytes content = Pattern(5000, 9);
  struct Case {
    const char* name;
    std::function<void(Build&)> queue;
    int64_t sessionStart;
    int64_t first, count;       // window, relative to the session start
    int64_t delivered;          // outside a burn
    int32_t abortCode;
    const char* message;        // part of what is printed outside a burn
    std::vector<int64_t> zero;  // sectors of the window that read as zeros during a burn
  } cases[] = {
      {"missing local file",
       [&](Build& b) {
         b.Generated(Pattern(2 * 2048, 1));
         b.File(folder + "/missing.bin", content);
         b.Generated(Pattern(2048, 2));
       },
       0, 0, 6, 2, kAbortLocalFile, "missing.bin", {2, 3, 4}},
      {"file that shrank",
       [&](Build& b) {
         WriteFile(folder + "/shrank.bin", content);
         b.Generated(Pattern(2 * 2048, 1));
         b.File(folder + "/shrank.bin", content);
         b.Generated(Pattern(2048, 2));
         std::filesystem::resize_file(folder + "/shrank.bin", 3000);
       },
       0, 0, 6, 3, kAbortReadFailed, "File size changed.", {3, 4}},
      {"source sectors past the source's end",
       [&](Build& b) {
         b.Generated(Pattern(2 * 2048, 1));
         b.Fill(5, 3, true);
       },
       0, 0, 5, 2, kAbortImageRead, "The image file ends before the data it holds.", {2, 3, 4}},
      {"sectors past the map",
       [&](Build& b) { b.Generated(Pattern(3 * 2048, 1)); },
       0, 1, 4, 2, kAbortReadFailed, "", {2, 3}},
      {"sectors before the session start",
       [&](Build& b) { b.Generated(Pattern(3 * 2048, 1)); },
       100, -2, 4, 0, kAbortReadFailed, "", {0, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool burn : {false, true}) {
      SCOPED_TRACE(burn ? "burn" : "no burn");
      Build build(6, c.sessionStart);
      c.queue(build);
      build.document->readFromBuilder = 1;
      build.document->burnJobReading = burn ? 1 : 0;
      ErrorStateReset();
      Bytes out(static_cast<size_t>(c.count * kUser));
      std::string printed;
      int64_t got = 0;
      {
        ConsoleSession session("");
        got = ImageReadSectors(build.document, c.sessionStart + c.first, out.data(), c.count);
        if (burn) {
          EXPECT_EQ(ImageReadSectors(build.document, c.sessionStart + c.first, out.data(), c.count), c.count);
        }
        printed = session.Output();
      }
      const int64_t good = burn ? c.count : c.delivered;
      EXPECT_EQ(got, good);
      for (int64_t i = 0; i < good; ++i) {
        const int64_t s = c.first + i;
        const bool zero = burn && std::find(c.zero.begin(), c.zero.end(), i) != c.zero.end();
        const Bytes sector(out.begin() + i * kUser, out.begin() + (i + 1) * kUser);
        if (zero || s < 0 || s >= static_cast<int64_t>(build.expected.size())) {
          EXPECT_EQ(sector, Bytes(kUser, 0)) << "sector " << s;
        } else {
          EXPECT_EQ(sector, build.expected[s].bytes) << "sector " << s;
        }
      }
      if (burn) {
        EXPECT_EQ(AbortCodeGet(), 0);
        EXPECT_EQ(CountOf(printed, "Error reading image data."), 1u) << printed;
        EXPECT_EQ(CountOf(printed, "\n"), 1u) << printed;
      } else {
        EXPECT_EQ(AbortCodeGet(), c.abortCode);
        EXPECT_NE(printed.find(c.message), std::string::npos) << printed;
        EXPECT_EQ(printed.find("Error reading image data."), std::string::npos) << printed;
      }
      ErrorStateReset();
    }
  }
}

TEST(BuilderMap, OwnerMapNamesTheFileOfEachSector) {
  for (int64_t start : {int64_t{0}, int64_t{500}}) {
    SCOPED_TRACE(start);
    Build build(0, start);
    build.document->readableLimit = start + 1000;
    ASSERT_EQ(ImageInitSectorOwnerMap(build.document), 8);
    CTreeEntry* entries[3];
    const wchar_t* names[3] = {L"first.txt", L"second.txt", L"third.txt"};
    for (int i = 0; i < 3; ++i) {
      entries[i] = TreeNewEntry();
      entries[i]->name = WcsDup(names[i]);
    }
    ASSERT_EQ(ImageSetSectorOwner(build.document, start + 20, 300, entries[0]), 0);   // sectors 20..319
    ASSERT_EQ(ImageSetSectorOwner(build.document, start + 320, 10, entries[1]), 0);   // inside slot 2
    ASSERT_EQ(ImageSetSectorOwner(build.document, start + 384, 500, entries[2]), 0);  // slots 3..6
    struct Query {
      int64_t sector;
      const wchar_t* name;
    } queries[] = {{0, L"Directory information"}, {100, L"Directory information"}, {128, L"first.txt"},
                   {146, L"first.txt"},           {300, L"first.txt"},            {330, L"first.txt"},
                   {384, L"third.txt"},           {600, L"third.txt"},            {883, L"third.txt"},
                   {896, nullptr},                {999, nullptr},                 {1000, nullptr},
                   {-1, nullptr}};
    for (const Query& q : queries) {
      const wchar_t* name = ImageGetFileNameAtSector(build.document, start + q.sector);
      if (q.name) {
        EXPECT_STREQ(name, q.name) << q.sector;
      } else {
        EXPECT_EQ(name, nullptr) << q.sector;
      }
    }
    for (CTreeEntry* entry : entries) TreeFreeEntry(build.document, entry);
  }
  // Before any file is recorded every sector of the image is directory information.
  Build build(0);
  build.document->readableLimit = 300;
  ASSERT_EQ(ImageInitSectorOwnerMap(build.document), 3);
  EXPECT_STREQ(ImageGetFileNameAtSector(build.document, 299), L"Directory information");
  EXPECT_EQ(ImageGetFileNameAtSector(build.document, 300), nullptr);
}

// A 5 GiB file queued in 32 KiB steps, with generated sectors between some steps: the map grows past its first
// step, the file's pieces share their references instead of filling the data area, and sectors far into the
// file are read at 64-bit positions.
TEST(BuilderMap, LargeBuildsStayCompactAndReadAt64BitPositions) {
  const std::string folder = MakeTestFolder("builder_map_large");
  const std::string path = folder + "/big.bin";
  constexpr int64_t kFileBytes = int64_t{5} << 30;
  constexpr int64_t kStep = 32768;
  {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    std::filesystem::resize_file(path, kFileBytes);
  }
  // Markers at a few file offsets, the rest of the sparse file reads as zeros.
  const int64_t markers[] = {0, 2048 * 70000, kFileBytes - 2048 * 3, kFileBytes - 2048};
  FILE* f = std::fopen(path.c_str(), "r+b");
  ASSERT_NE(f, nullptr);
  for (int64_t at : markers) {
    ASSERT_EQ(FileWriteAt(f, Pattern(2048, static_cast<uint32_t>(at >> 11)).data(), at, 2048), 1);
  }
  std::fclose(f);

  Build build(0);
  const std::wstring wide = Wide(path);
  const auto started = std::chrono::steady_clock::now();
  int64_t generated = 0;
  std::vector<int64_t> mapIndexOfFileSector(static_cast<size_t>(kFileBytes / 2048));
  for (int64_t at = 0; at < kFileBytes; at += kStep) {
    if (at % (kStep * 1000) == kStep * 500) {
      ASSERT_EQ(ImageBuilderQueueGenerated(build.builder, Pattern(2048, static_cast<uint32_t>(at)).data(), 2048), 1);
      ++generated;
    }
    const int64_t mapAt = build.builder->mapUsed;
    ASSERT_EQ(ImageBuilderQueueData(build.builder, wide.c_str(), 0, at, kStep, at + kStep == kFileBytes), 16);
    for (int64_t i = 0; i < 16; ++i) mapIndexOfFileSector[static_cast<size_t>(at / 2048 + i)] = mapAt + i;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_LT(seconds, 20.0);
  EXPECT_EQ(build.builder->mapUsed, kFileBytes / 2048 + generated);
  // Each generated sector starts one new reference for the file pieces after it.
  EXPECT_LT(build.builder->dataUsed, generated * 2048 + (generated + 1) * 512);

  build.document->readFromBuilder = 1;
  for (int64_t at : markers) {
    const int64_t index = mapIndexOfFileSector[static_cast<size_t>(at / 2048)];
    Bytes out(3 * kUser);
    const int64_t count = index + 3 <= build.builder->mapUsed ? 3 : build.builder->mapUsed - index;
    ASSERT_EQ(ImageReadSectors(build.document, index, out.data(), count), count) << at;
    EXPECT_EQ(Bytes(out.begin(), out.begin() + kUser), Pattern(2048, static_cast<uint32_t>(at >> 11))) << at;
  }
  std::filesystem::remove(path);
}

}  // namespace
