// Any bytes as a QVF or QDI stream (also appended to other data or behind a self-extractor): the header, the
// typed blocks (volumes, comment, partition selection, password check), the index in each of its stored forms,
// then chunks read one by one, in a range, and in sequence so that chunks are decoded ahead. Everything must
// end without reading outside what it was given, whatever the bytes claim.
//
// The first byte chooses how the rest is presented: as one file; as one file read by a user who gives the
// password "fuzz" (so that encrypted streams are decrypted); or cut into two volume files of a split image at a
// place the next three bytes name.
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "image/document.h"
#include "session/document.h"
#include "qvf/container.h"
#include "qvf/reader.h"
#include "runtime/error.h"
#include "runtime/ui.h"

namespace {

std::string g_folder;  // where the volumes of split inputs are written

wchar_t g_password[kUiOpenPasswordChars] = L"fuzz";
int Interactive() { return 1; }
wchar_t* Password() {
  std::wcscpy(g_password, L"fuzz");
  return g_password;
}
// The user gives "fuzz" and answers No to trying again.
const CUserInterface kPasswordUser = {Interactive, nullptr, nullptr, nullptr, nullptr, nullptr,
                                      Password,    nullptr, nullptr, nullptr, nullptr, nullptr};

bool WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const bool ok = std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  char pattern[] = "/tmp/fuzz_qvf.XXXXXX";
  if (mkdtemp(pattern)) {
    g_folder = pattern;
    std::atexit([] {
      for (const char* name : {"/fuzz.part001.qvf", "/fuzz.part002.qvf"}) unlink((g_folder + name).c_str());
      rmdir(g_folder.c_str());
    });
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const int mode = data[0] % 3;
  ++data;
  --size;
  std::vector<uint8_t> bytes(data, data + size);
  CImageDocument* document = ImageAlloc();
  if (!document) return 0;
  document->path = L"/nonexistent/fuzz.part001.qvf";
  if (mode == 2) {
    if (g_folder.empty() || size < 3) {
      ImageClose(document);
      return 0;
    }
    const size_t cut = std::min<size_t>(size - 3, size_t{data[0]} << 16 | size_t{data[1]} << 8 | data[2]) + 3;
    const std::string first = g_folder + "/fuzz.part001.qvf", second = g_folder + "/fuzz.part002.qvf";
    if (!WriteFile(first, data + 3, cut - 3) || !WriteFile(second, data + cut, size - cut)) {
      ImageClose(document);
      return 0;
    }
    document->path = std::wstring(first.begin(), first.end()).c_str();
    document->input = std::fopen(first.c_str(), "rb");
  } else {
    document->input = fmemopen(bytes.data(), bytes.size(), "rb");
  }
  if (mode == 1) UiInstall(&kPasswordUser);
  if (document->input) {
    CQvfContext* context = QvfOpenReader(document, document->input, 1);
    document->qvf = context;
    // Chunks are read only up to 4 MiB each (larger ones take the same road), so that runs stay quick.
    if (context && context->chunkCount > 0 && context->chunkSize <= (4u << 20)) {
      const uint64_t chunks = 6;
      for (uint64_t chunk : {uint64_t{0}, context->chunkCount / 2, context->chunkCount - 1}) QvfReadChunk(context, chunk);
      const uint64_t perChunk = std::max<uint32_t>(1, context->sectorsPerChunk);
      std::vector<uint8_t> out(static_cast<size_t>(perChunk * context->sectorSize));
      for (uint64_t i = 0, sector = 1; i < chunks && sector < context->sectorCount; ++i) {
        const uint64_t n = std::min(perChunk, context->sectorCount - sector);
        if (QvfReadRange(context, sector, n, out.data()) != static_cast<int64_t>(n)) break;
        sector += n;
      }
    }
  }
  UiInstall(nullptr);
  ImageClose(document);
  ErrorStateReset();
  return 0;
}
