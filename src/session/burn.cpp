#include "session/burn.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "burner/jobs.h"
#include "formats/cdtext.h"
#include "image/document.h"
#include "image/sectors.h"
#include "image/tracktable.h"
#include "runtime/settings.h"
#include "session/disk_open.h"
#include "tree/tree.h"
#include "wim/wim.h"

namespace {

// What the reader and the progress title need of the document. The sector ranges of its files are gathered at
// the first title, sorted by start.
struct BurnSourceContext {
  CImageDocument* document = nullptr;
  bool indexed = false;
  struct Item {
    int64_t start, end;
    const wchar_t* name;
  };
  std::vector<Item> items;
};

void IndexItems(BurnSourceContext* context) {
  context->indexed = true;
  CImageDocument* document = context->document;
  if (!document->rootFolder) return;
  // The tree came from a reader that bounds its depth; the walk is bounded again by a count of folders.
  std::vector<CTreeFolder*> stack = {document->rootFolder};
  size_t folders = 0;
  while (!stack.empty() && ++folders <= 4000000) {
    CTreeFolder* folder = stack.back();
    stack.pop_back();
    for (CTreeEntry* entry = folder->firstEntry; entry; entry = entry->next) {
      if (entry->folder || entry->size <= 0 || !entry->name || entry->sourceLba <= 0) continue;
      context->items.push_back({entry->sourceLba, entry->sourceLba + (entry->size + 2047) / 2048, entry->name});
    }
    for (CTreeFolder* child = folder->firstChild; child && child != folder; child = child->next) stack.push_back(child);
  }
  std::sort(context->items.begin(), context->items.end(),
            [](const BurnSourceContext::Item& a, const BurnSourceContext::Item& b) { return a.start < b.start; });
}

const wchar_t* ItemAt(void* opaque, int64_t lba) {
  auto* context = static_cast<BurnSourceContext*>(opaque);
  if (!context->indexed) IndexItems(context);
  auto after = std::upper_bound(context->items.begin(), context->items.end(), lba,
                                [](int64_t value, const BurnSourceContext::Item& item) { return value < item.start; });
  if (after == context->items.begin()) return nullptr;
  --after;
  return lba < after->end ? after->name : nullptr;
}

// The reader thread reads quietly: the writer reports a failed read on the job's thread.
int64_t ReadUser(void* opaque, int64_t lba, uint8_t* out, int64_t n) {
  CImageDocument* document = static_cast<BurnSourceContext*>(opaque)->document;
  int32_t quiet = document->quiet;
  document->quiet = 1;
  int64_t got = ImageReadSectors(document, lba, out, n);
  document->quiet = quiet;
  return got;
}

int64_t ReadRaw(void* opaque, int64_t lba, uint8_t* out, int64_t n) {
  CImageDocument* document = static_cast<BurnSourceContext*>(opaque)->document;
  int32_t quiet = document->quiet;
  document->quiet = 1;
  int64_t got = ImageReadRawSectors(document, lba, out, n);
  document->quiet = quiet;
  return got;
}

}  // namespace

int SessionIsUnburnable(const CImageDocument* document) {
  if (!document) return 0;
  if (document->fat || document->exfat || document->ntfs || document->ext || document->wim) return 1;
  // Besides disk images and WIM archives, the two kinds of packed containers (their items are files, not sectors).
  constexpr int32_t kPackedContainer = 101, kPackedArchive = 151;
  const int32_t type = document->inputType;
  return type == kImageTypeDiskImage || type == kImageTypeWim || type == kPackedContainer || type == kPackedArchive;
}

void SessionPrepareBurn(CBurnRun* run, CImageDocument* document) {
  run->document = document;
  auto context = std::make_shared<BurnSourceContext>();
  context->document = document;
  run->source.context = context.get();
  run->source.owner = context;
  run->source.readUser = ReadUser;
  run->source.readRaw = ReadRaw;
  run->source.itemAt = ItemAt;
  run->source.dataEnd = document ? (document->savedLimit ? document->savedLimit : document->readableLimit) : 0;
  CTrackTable* table = document ? document->trackTable : nullptr;
  if (table && SettingsGetIntClamped(L"WriteCDText", 1, 0, 1) && CdTextIsPresent(table)) {
    if (!CdTextConvertStrings(table) || !CdTextBuildPacks(table)) table->cdTextSubchannel.clear();
  }
}
