// The list command: the entries of one folder of an image (with -r, of every folder below it) with dates,
// sizes and names, folders first, and the totals.
#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "cli/console.h"
#include "cli/runners.h"
#include "cli/settings.h"
#include "image/document.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/paths.h"
#include "session/document.h"
#include "session/open.h"
#include "tree/iso_helpers.h"
#include "tree/tree.h"

namespace {

// Folders first; then names compared with ASCII letters folded, as the byte-wise comparison of the names'
// UTF-8 form without regard to ASCII case would order them.
bool ListOrder(const CTreeEntry* a, const CTreeEntry* b) {
  bool folderA = TreeEntryIsFolder(a) != 0, folderB = TreeEntryIsFolder(b) != 0;
  if (folderA != folderB) return folderA;
  const wchar_t* x = a->name ? a->name : L"";
  const wchar_t* y = b->name ? b->name : L"";
  for (;; ++x, ++y) {
    wchar_t cx = *x, cy = *y;
    if (cx >= L'A' && cx <= L'Z') cx += L'a' - L'A';
    if (cy >= L'A' && cy <= L'Z') cy += L'a' - L'A';
    if (cx != cy) return static_cast<uint32_t>(cx) < static_cast<uint32_t>(cy);
    if (cx == 0) return false;
  }
}

void PrintTotals(CImageDocument* document, CTreeFolder* folder, int recursive, const wchar_t* prefix,
                 const wchar_t* end) {
  CTreeStatistics statistics;
  TreeGetStatistics(document, folder, &statistics, recursive);
  ConsolePrintf(L"%ls%lld Files, %lld Folders  %ls %ls%ls", prefix, static_cast<long long>(statistics.fileCount),
                static_cast<long long>(statistics.folderCount + 2), TextFormatThousands(statistics.totalBytes),
                L"bytes", end);
}

}  // namespace

std::vector<CTreeEntry*> CliSortFolderChildren(CTreeFolder* folder) {
  std::vector<CTreeEntry*> children;
  for (CTreeEntry* entry = folder->firstEntry; entry; entry = entry->next) children.push_back(entry);
  // Records are mostly stored in the listed order already, or (readers that prepend each record) in its exact
  // reverse: one pass tells. Strictly descending means no two entries compare equal, so reversing gives what the
  // stable sort would.
  if (std::is_sorted(children.begin(), children.end(), ListOrder)) return children;
  const auto notDescending = [](const CTreeEntry* a, const CTreeEntry* b) { return !ListOrder(b, a); };
  if (std::adjacent_find(children.begin(), children.end(), notDescending) == children.end())
    std::reverse(children.begin(), children.end());
  else
    std::stable_sort(children.begin(), children.end(), ListOrder);
  return children;
}

void CliPrintFolder(CImageDocument* document, CTreeFolder* folder) {
  // Depth first, each folder's block before its subfolders' blocks.
  std::vector<CTreeFolder*> pending{folder};
  bool recursive = g_settings->switchFlags & kSwitchRecursive;
  constexpr size_t kListBlockChars = 16384;
  std::wstring block;
  std::wstring date;
  uint8_t lastDate[7] = {};
  bool haveDate = false;
  while (!pending.empty() && AbortCodeGet() == 0) {
    CTreeFolder* current = pending.back();
    pending.pop_back();
    std::vector<CTreeEntry*> children = CliSortFolderChildren(current);
    wchar_t* path = children.empty() ? nullptr : TreeBuildEntryPath(document, current, nullptr, 0);
    if (path) {
      ConsolePrintf(L"Objects in %ls:\r\n\r\n", path);
      MemFree(path);
      for (CTreeEntry* child : children) {
        const wchar_t* size = TreeEntryIsFolder(child) ? L"<DIR>"
                                                        : TextFormatThousands(TreeGetEntryListedSize(document, child));
        // "%-18ls  %18ls  %ls\r\n", at most 1,024 characters, built without the formatter (one line per
        // entry of the image). Entries of a folder mostly share their date: it is converted once.
        const uint8_t* recordDate = child->directoryRecord + kDirRecordDate;
        if (!haveDate || std::memcmp(recordDate, lastDate, sizeof lastDate) != 0) {
          std::memcpy(lastDate, recordDate, sizeof lastDate);
          date.assign(IsoFormatRecordDate(recordDate));
          haveDate = true;
        }
        const size_t start = block.size();
        block.append(date);
        if (date.size() < 18) block.append(18 - date.size(), L' ');
        block.append(2, L' ');
        const size_t sizeLength = std::wcslen(size);
        if (sizeLength < 18) block.append(18 - sizeLength, L' ');
        block.append(size, sizeLength).append(2, L' ');
        if (child->name) block.append(child->name);
        block.append(L"\r\n", 2);
        if (block.size() - start > 1024) block.resize(start + 1024);
        // The lines go out in blocks: one conversion and one write for many entries.
        if (block.size() >= kListBlockChars) {
          ConsolePrintChars(block.data(), block.size());
          block.clear();
        }
      }
      if (!block.empty()) ConsolePrintChars(block.data(), block.size());
      block.clear();
      PrintTotals(document, current, 0, L"\t", L"\r\n\r\n");
    }
    if (!recursive) break;
    std::vector<CTreeFolder*> subfolders;
    for (CTreeFolder* child = current->firstChild; child; child = child->next) {
      const wchar_t* name = child->entry && child->entry->name ? child->entry->name : L"";
      if (std::wcscmp(name, L".") != 0 && std::wcscmp(name, L"..") != 0) subfolders.push_back(child);
    }
    pending.insert(pending.end(), subfolders.rbegin(), subfolders.rend());
  }
}

int CliRunList() {
  CImageDocument* document = ImageOpenByPath(g_settings->firstArgument, 2);
  if (!document) return -1;
  CImageDocument* previous = CurrentImageGet();
  CurrentImageSet(document);
  ImageClose(previous);
  const wchar_t* path = g_settings->secondArgument;
  CTreeFolder* folder = TreeFindFolderByPath(document, document->rootFolder, path);
  if (!folder) {
    ConsolePrintf(L"%ls: %ls\r\n", path, L"The folder can not be found!");
    return -1;
  }
  ConsolePrintf(L"\r\n");
  CliPrintFolder(document, folder);
  if (g_settings->switchFlags & kSwitchRecursive) PrintTotals(document, document->rootFolder, 1, L"Total:\r\n\t", L"\r\n");
  if (AbortCodeGet() != 0) {
    ErrorReport(document->path.c_str());
    return -1;
  }
  return CliReportImageDamage(document) ? -1 : 0;
}

int CliReportImageDamage(CImageDocument* document) {
  if (!document) return 0;
  if (document->treeDamaged) ImageOpenErrorReport(document->path.c_str(), 9);
  if (document->dataBeyondEnd)
    ConsolePrintf(L"%ls: %ls\r\n", document->path.c_str(), L"The image file ends before the data it holds.");
  return document->treeDamaged || document->dataBeyondEnd ? 1 : 0;
}
