#include "builder/names.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <cwctype>
#include <optional>
#include <string_view>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "image/document.h"
#include "runtime/error.h"
#include "runtime/hooks.h"
#include "runtime/memory.h"
#include "tree/tree.h"
#include "runtime/paths.h"

namespace {

int64_t g_probes = 0;

constexpr int kShortLimit = 12;  // the 8.3 form: 8 for the base, 4 for "." and the extension
constexpr int kShortBase = 8;
constexpr int kShortExtension = 4;
constexpr int kIsoLongestLimit = 221;     // 33 + 221 keeps the record within 255 bytes
constexpr int kJolietShortestLimit = 12;  // room for "~999999" beside a little of the name
constexpr int kJolietLongestLimit = 110;  // 34 + 2 x 110 keeps the record within 255 bytes
constexpr int kLongestNumber = 6;         // digits of kIsoNameLastSuffix
constexpr size_t kIsoNameChars = 255;     // characters of a display name that an ISO name is made from
constexpr size_t kJolietFirstPassChars = 256;
constexpr int kAbortCheckEvery = 256;

enum class Dot { kNone, kSelf, kParent };

Dot DotOf(const wchar_t* name) {
  const int kind = PathDotKind(name);
  return kind == 0 ? Dot::kSelf : kind == 1 ? Dot::kParent : Dot::kNone;
}

int IsoLimitOf(const CImageDocument* document) {
  return std::clamp(document->rockRidge != 0 ? kShortLimit : document->isoNameLength, kShortLimit,
                    kIsoLongestLimit);
}

int JolietLimitOf(const CImageDocument* document) {
  return std::clamp(document->jolietNameLength, kJolietShortestLimit, kJolietLongestLimit);
}

int DigitsOf(int32_t number) {
  int digits = 1;
  for (; number >= 10; number /= 10) ++digits;
  return digits;
}

int32_t FirstWithDigits(int digits) {
  int32_t value = 1;
  for (int i = 1; i < digits; ++i) value *= 10;
  return digits == 1 ? 0 : value;
}

int32_t LastWithDigits(int digits) {
  int32_t value = 1;
  for (int i = 0; i < digits; ++i) value *= 10;
  return value - 1;
}

// A name in the units the disc stores (bytes or UTF-16 units), with every boundary between characters, so
// that it is only ever cut between characters.
template <class Str>
struct CutText {
  static constexpr size_t kNone = SIZE_MAX;

  Str text;
  std::vector<uint32_t> bounds{0};  // 0, then the end of each character
  size_t firstDot = kNone;
  size_t lastDot = kNone;

  void Append(const typename Str::value_type* units, size_t count, bool dot) {
    if (dot) {
      if (firstDot == kNone) firstDot = text.size();
      lastDot = text.size();
    }
    text.append(units, count);
    bounds.push_back(static_cast<uint32_t>(text.size()));
  }
  // Where the extension (the text from the last ".") starts; the end when there is none.
  size_t ExtensionStart() const { return lastDot == kNone ? text.size() : lastDot; }
  // The end of the longest run from `begin` (a boundary) that stops at or before `end` and spans at most
  // `room` units.
  size_t Cut(size_t begin, size_t end, size_t room) const {
    if (room >= end - begin) return end;
    const auto after = std::upper_bound(bounds.begin(), bounds.end(), static_cast<uint32_t>(begin + room));
    return std::max<size_t>(begin, *(after - 1));
  }
};

template <class Str>
Str NumberText(int32_t number) {
  const std::string digits = std::to_string(number);
  return Str(digits.begin(), digits.end());
}

template <class Str>
Str Numbered(const Str& prefix, int32_t number, const Str& suffix) {
  Str name = prefix;
  name.push_back('~');
  name += NumberText<Str>(number);
  name += suffix;
  return name;
}

// The number `name` carries when it reads prefix "~" number suffix with a number of `digits` digits written
// the way Numbered writes it; -1 otherwise.
template <class Str>
int32_t NumberIn(const Str& name, const Str& prefix, const Str& suffix, int digits) {
  const size_t at = prefix.size() + 1;
  if (name.size() != at + static_cast<size_t>(digits) + suffix.size()) return -1;
  if (name.compare(0, prefix.size(), prefix) != 0 || name[prefix.size()] != '~') return -1;
  if (name.compare(at + digits, suffix.size(), suffix) != 0) return -1;
  if (digits > 1 && name[at] == '0') return -1;
  int32_t number = 0;
  for (int i = 0; i < digits; ++i) {
    const auto c = name[at + i];
    if (c < '0' || c > '9') return -1;
    number = number * 10 + static_cast<int32_t>(c - '0');
  }
  return number;
}

// The first number whose name is free, searched in the order 0, 1, 2 ... up to 999,999. `pieces(digits,
// prefix, suffix)` gives the parts around "~number" for numbers of that many digits; `taken(name)` tests one
// name for this entry.
//
// With `nextFree`, the search remembers per set of parts the first number not yet found taken, and starts
// there: a name, once taken, stays taken for every entry, save that a name blocked only because it is some
// entry's display name is free for that entry itself. `own` is this entry's display name in the names' form,
// so the one number below the remembered start that it may still claim is tested too. The numbers found are
// those of the plain search.
template <class Str, class Pieces, class Taken>
int32_t FindFreeNumber(const Pieces& pieces, const Taken& taken, std::unordered_map<Str, int32_t>* nextFree,
                       const Str* own, Str& found) {
  for (int digits = 1; digits <= kLongestNumber; ++digits) {
    Str prefix;
    Str suffix;
    pieces(digits, prefix, suffix);
    const int32_t first = FirstWithDigits(digits);
    const int32_t last = LastWithDigits(digits);
    int32_t* next = nullptr;
    int32_t number = first;
    if (nextFree != nullptr) {
      Str key = prefix;
      key.push_back(0);
      key += suffix;
      key.push_back(0);
      key.push_back(static_cast<typename Str::value_type>('0' + digits));
      next = &nextFree->try_emplace(std::move(key), first).first->second;
      number = std::max(first, *next);
      if (own != nullptr && number > first) {
        const int32_t ownNumber = NumberIn(*own, prefix, suffix, digits);
        if (ownNumber >= first && ownNumber < number && !taken(*own)) {
          found = *own;
          return ownNumber;
        }
      }
    }
    for (; number <= last; ++number) {
      Str name = Numbered(prefix, number, suffix);
      if (taken(name)) continue;
      if (next != nullptr) *next = number + 1;
      found = std::move(name);
      return number;
    }
    if (next != nullptr) *next = last + 1;
  }
  return -1;
}

// ---- ISO names ----

bool IsAscii(wchar_t c) { return c > 0 && c < 0x80; }

// One character in the locale's multibyte form (every locale the system runs in keeps ASCII as it is); the
// byte count, or -1 when the locale cannot represent it.
size_t MultiByteOf(wchar_t c, char* bytes) {
  if (IsAscii(c)) {
    bytes[0] = static_cast<char>(c);
    return 1;
  }
  std::mbstate_t state{};
  const size_t n = std::wcrtomb(bytes, c, &state);
  return n == 0 ? static_cast<size_t>(-1) : n;
}

struct IsoText {
  CutText<std::string> cut;
  Dot dot = Dot::kNone;
  bool folder = false;
  int limit = kShortLimit;
};

// The display name as the ISO name is made from it: at most 255 characters, ";" as "_", upper-cased through
// the locale's tables unless the document keeps lower case, in the locale's multibyte form.
IsoText PrepareIso(const CImageDocument* document, const CTreeEntry* entry, const wchar_t* name, int limit) {
  IsoText text;
  text.dot = DotOf(name);
  text.folder = TreeEntryIsFolder(entry) != 0;
  text.limit = limit;
  const bool upper = document == nullptr || document->lowerCaseIsoNames == 0;
  const size_t length = name != nullptr ? std::min(std::wcslen(name), kIsoNameChars) : 0;
  text.cut.text.reserve(length + 8);
  text.cut.bounds.reserve(length + 1);
  size_t count = 0;
  for (const wchar_t* c = name; c != nullptr && *c != L'\0' && count < kIsoNameChars; ++c, ++count) {
    wchar_t w = *c == L';' ? L'_' : *c;
    if (upper) w = IsAscii(w) ? std::toupper(w) : static_cast<wchar_t>(std::towupper(static_cast<wint_t>(w)));
    char bytes[MB_LEN_MAX];
    size_t n = MultiByteOf(w, bytes);
    if (n == static_cast<size_t>(-1)) {
      bytes[0] = '_';
      n = 1;
    }
    text.cut.Append(bytes, n, w == L'.');
  }
  return text;
}

// The parts around "~number" for a number of `digits` digits; 0 digits: the plain 8.3 name in `prefix` and
// `suffix`.
void IsoPieces(const IsoText& text, int digits, std::string& prefix, std::string& suffix) {
  const CutText<std::string>& cut = text.cut;
  const size_t end = cut.text.size();
  const size_t extension = cut.ExtensionStart();
  size_t baseEnd = extension;
  size_t extensionEnd = end;
  if (text.limit == kShortLimit) {
    // A folder's extension is dropped, its room kept all the same.
    extensionEnd = text.folder ? extension : cut.Cut(extension, end, kShortExtension);
    if (digits == 0) baseEnd = std::min(baseEnd, cut.firstDot);
    baseEnd = cut.Cut(0, baseEnd, kShortBase - (digits == 0 ? 0 : 1 + digits));
  } else {
    const size_t extensionRoom = static_cast<size_t>(text.limit - digits - 4);
    if (end - extension >= extensionRoom) extensionEnd = cut.Cut(extension, end, extensionRoom);
    baseEnd = cut.Cut(0, extension, text.limit - 1 - digits - (extensionEnd - extension));
  }
  prefix.assign(cut.text, 0, baseEnd);
  suffix.assign(cut.text, extension, extensionEnd - extension);
  if (text.limit == kShortLimit) {
    std::replace(prefix.begin(), prefix.end(), ' ', '_');
    std::replace(suffix.begin(), suffix.end(), ' ', '_');
  }
}

std::string DotText(Dot dot) { return dot == Dot::kSelf ? "." : ".."; }

std::string PlainIsoName(const IsoText& text) {
  if (text.dot != Dot::kNone) return DotText(text.dot);
  std::string prefix;
  std::string suffix;
  if (text.limit == kShortLimit) {
    IsoPieces(text, 0, prefix, suffix);
    return prefix + suffix;
  }
  if (text.cut.text.size() <= static_cast<size_t>(text.limit)) return text.cut.text;
  IsoPieces(text, 1, prefix, suffix);
  return Numbered(prefix, 0, suffix);
}

std::string NumberedIsoName(const IsoText& text, int32_t number) {
  if (text.dot != Dot::kNone) return DotText(text.dot);
  std::string prefix;
  std::string suffix;
  IsoPieces(text, DigitsOf(number), prefix, suffix);
  return Numbered(prefix, number, suffix);
}

// Names that fit keep their form, so they are named before the others.
bool IsoNameFits(const IsoText& text) {
  const std::string& bytes = text.cut.text;
  if (text.limit != kShortLimit) return bytes.size() <= static_cast<size_t>(text.limit);
  const size_t dot = text.cut.firstDot;
  if (dot == CutText<std::string>::kNone) return bytes.size() <= kShortBase;
  return dot <= kShortBase && bytes.size() - dot - 1 < kShortExtension;
}

// No entry but "." and ".." may carry the one-byte identifiers 0 and 1, and no identifier is empty.
bool IsoNameAllowed(const std::string& name) { return !name.empty() && name != std::string(1, '\1'); }

// The display name in the locale's multibyte form, exactly: a candidate widens to the display name only when
// it equals this form. None when a character cannot be represented.
bool ExactMultiByte(const wchar_t* name, std::string& bytes) {
  bytes.clear();
  for (const wchar_t* c = name; c != nullptr && *c != L'\0'; ++c) {
    char piece[MB_LEN_MAX];
    const size_t n = MultiByteOf(*c, piece);
    if (n == static_cast<size_t>(-1)) return false;
    bytes.append(piece, n);
  }
  return true;
}

std::optional<std::wstring> WideOf(const std::string& bytes) {
  std::wstring wide;
  std::mbstate_t state{};
  for (size_t at = 0; at < bytes.size();) {
    wchar_t c = 0;
    const size_t n = std::mbrtowc(&c, bytes.data() + at, bytes.size() - at, &state);
    if (n == 0 || n > bytes.size() - at) return std::nullopt;
    wide.push_back(c);
    at += n;
  }
  return wide;
}

bool StoreIsoName(CTreeEntry* entry, const std::string& identifier) {
  char* copy = static_cast<char*>(MemAlloc(identifier.size() + 1));
  if (copy == nullptr) return false;
  std::memcpy(copy, identifier.data(), identifier.size());
  copy[identifier.size()] = '\0';
  MemFree(entry->isoName);
  entry->isoName = copy;
  const int length = static_cast<int>(identifier.size());
  entry->directoryRecord[kDirRecordNameLength] = static_cast<uint8_t>(length);
  entry->directoryRecord[kDirRecordLength] = static_cast<uint8_t>(33 + length + ((33 + length) & 1));
  return true;
}

std::string DotIdentifier(Dot dot) { return std::string(1, dot == Dot::kSelf ? '\0' : '\1'); }

void DropIsoName(CTreeEntry* entry) {
  MemFree(entry->isoName);
  entry->isoName = nullptr;
  entry->directoryRecord[kDirRecordNameLength] = 0;
}

bool IsoRenameHookWanted(const CImageDocument* document) {
  return document->jolietLevel == 0 && document->udf == 0 && document->rockRidge == 0;
}

// ---- Joliet names ----

struct JolietText {
  CutText<std::u16string> cut;
  Dot dot = Dot::kNone;
  int limit = kJolietLongestLimit;
};

// One character as UTF-16: a surrogate pair above U+FFFF, U+FFFD beyond U+10FFFF.
size_t Utf16Units(wchar_t c, char16_t units[2]) {
  uint32_t code = static_cast<uint32_t>(c);
  if (code > 0x10FFFF) code = 0xFFFD;
  if (code <= 0xFFFF) {
    units[0] = static_cast<char16_t>(code);
    return 1;
  }
  code -= 0x10000;
  units[0] = static_cast<char16_t>(0xD800 | (code >> 10));
  units[1] = static_cast<char16_t>(0xDC00 | (code & 0x3FF));
  return 2;
}

std::u16string Utf16Of(const wchar_t* name) {
  std::u16string units;
  char16_t pair[2];
  for (const wchar_t* c = name; c != nullptr && *c != L'\0'; ++c) units.append(pair, Utf16Units(*c, pair));
  return units;
}

// UTF-16 back to wide text: pairs join, an unpaired surrogate stays a character of its own.
std::wstring WideOf(const std::u16string& units) {
  std::wstring wide;
  for (size_t i = 0; i < units.size(); ++i) {
    const uint32_t u = units[i];
    if (u >= 0xD800 && u < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
      wide.push_back(static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00)));
      ++i;
    } else {
      wide.push_back(static_cast<wchar_t>(u));
    }
  }
  return wide;
}

JolietText PrepareJoliet(const CImageDocument* document, const wchar_t* name, int limit) {
  JolietText text;
  text.dot = DotOf(name);
  text.limit = limit;
  const bool joliet = document == nullptr || document->jolietLevel != 0;
  char16_t units[2];
  for (const wchar_t* c = name; c != nullptr && *c != L'\0'; ++c) {
    const wchar_t w = joliet && *c == L';' ? L'_' : *c;
    text.cut.Append(units, Utf16Units(w, units), w == L'.');
  }
  return text;
}

void JolietPieces(const JolietText& text, int digits, std::u16string& prefix, std::u16string& suffix) {
  const CutText<std::u16string>& cut = text.cut;
  const size_t end = cut.text.size();
  const size_t extension = cut.ExtensionStart();
  size_t extensionEnd = end;
  const size_t extensionRoom = static_cast<size_t>(text.limit - digits - 4);
  if (end - extension >= extensionRoom) extensionEnd = cut.Cut(extension, end, extensionRoom);
  const size_t baseEnd = cut.Cut(0, extension, text.limit - 1 - digits - (extensionEnd - extension));
  prefix.assign(cut.text, 0, baseEnd);
  suffix.assign(cut.text, extension, extensionEnd - extension);
}

std::u16string PlainLongName(const JolietText& text) {
  if (text.dot != Dot::kNone || text.cut.text.size() <= static_cast<size_t>(text.limit)) return text.cut.text;
  std::u16string prefix;
  std::u16string suffix;
  JolietPieces(text, 1, prefix, suffix);
  return Numbered(prefix, 0, suffix);
}

std::u16string NumberedLongName(const JolietText& text, int32_t number) {
  if (text.dot != Dot::kNone) return text.cut.text;
  std::u16string prefix;
  std::u16string suffix;
  JolietPieces(text, DigitsOf(number), prefix, suffix);
  return Numbered(prefix, number, suffix);
}

bool JolietNameFits(const wchar_t* name, int limit) {
  if (name == nullptr) return true;
  size_t characters = 0;
  size_t units = 0;
  for (const wchar_t* c = name; *c != L'\0'; ++c, ++characters) {
    const uint32_t code = static_cast<uint32_t>(*c);
    units += code > 0xFFFF && code <= 0x10FFFF ? 2 : 1;
  }
  return characters <= kJolietFirstPassChars && units <= static_cast<size_t>(limit);
}

bool StoreJolietUnits(CTreeEntry* entry, const std::u16string& units) {
  auto* copy = static_cast<uint16_t*>(MemAlloc((units.size() + 1) * sizeof(uint16_t)));
  if (copy == nullptr) return false;
  for (size_t i = 0; i < units.size(); ++i) copy[i] = units[i];
  copy[units.size()] = 0;
  MemFree(entry->jolietName);
  entry->jolietName = copy;
  entry->jolietLength = static_cast<int32_t>(units.size());
  return true;
}

bool StoreJolietDot(CTreeEntry* entry, Dot dot) {
  return StoreJolietUnits(entry, std::u16string(1, dot == Dot::kSelf ? u'\0' : u'\1'));
}

// ---- Looking names up in a CNameIndex ----

bool IndexHoldsIsoName(const CNameIndex* index, const std::string& name, const CTreeEntry* self) {
  if (index == nullptr) return false;
  for (const CNameLink* link = index->buckets[NameIndexHashIsoName(name.c_str())]; link != nullptr;
       link = link->next) {
    const CTreeEntry* other = link->entry;
    if (other != self && other->isoName != nullptr && name == other->isoName) return true;
  }
  return false;
}

bool IndexHoldsDisplayName(const CNameIndex* index, const std::wstring& name, const CTreeEntry* self) {
  if (index == nullptr) return false;
  for (const CNameLink* link = index->buckets[NameIndexHashWide(name.c_str())]; link != nullptr;
       link = link->next) {
    const CTreeEntry* other = link->entry;
    if (other != self && other->name != nullptr && name == other->name) return true;
  }
  return false;
}

bool SameUnits(const uint16_t* stored, const std::u16string& units) {
  for (size_t i = 0; i < units.size(); ++i) {
    if (stored[i] != units[i]) return false;  // also stops at the stored name's end
  }
  return stored[units.size()] == 0;
}

bool IndexHoldsJolietName(const CNameIndex* index, const std::u16string& units, const CTreeEntry* self) {
  if (index == nullptr) return false;
  std::vector<uint16_t> key(units.begin(), units.end());
  key.push_back(0);
  for (const CNameLink* link = index->buckets[NameIndexHashUtf16(key.data())]; link != nullptr;
       link = link->next) {
    const CTreeEntry* other = link->entry;
    if (other != self && other->jolietName != nullptr && SameUnits(other->jolietName, units)) return true;
  }
  return false;
}

// Links the entry into the index under its Joliet name (the index has no insertion by Joliet name of its own).
bool IndexAddJolietName(CNameIndex* index, CTreeEntry* entry) {
  if (index == nullptr) return true;
  auto* link = static_cast<CNameLink*>(MemAlloc(sizeof(CNameLink)));
  if (link == nullptr) return false;
  const uint32_t bucket = NameIndexHashUtf16(entry->jolietName);
  link->entry = entry;
  link->next = index->buckets[bucket];
  index->buckets[bucket] = link;
  return true;
}

// ---- One folder's names while it is being named ----

// The names a folder has given so far, the display names of all its entries, and where each numbered search
// goes on. The sets view strings that stay in place for the whole pass.
struct IsoFolderNames {
  std::vector<std::string> own;  // each entry's display name in its exact multibyte form
  std::vector<char> ownExact;    // 0 where a character has no multibyte form
  std::unordered_set<std::string_view> displayNames;  // views of `own`
  std::unordered_set<std::string_view> given;         // views of the entries' ISO names
  std::unordered_map<std::string, int32_t> nextFree;
};

struct JolietFolderNames {
  std::vector<std::u16string> chosen;                         // the name given to each entry
  std::unordered_set<std::u16string_view> given;              // views of `chosen`
  std::unordered_map<std::wstring_view, int32_t> displayNames;  // how many entries carry each
  std::unordered_map<std::u16string, int32_t> nextFree;
};

enum class Named { kYes, kNoName, kNoMemory };

Named NameIsoEntry(CImageDocument* document, CTreeEntry* entry, size_t at, const IsoText& text,
                   IsoFolderNames& names) {
  std::string chosen;
  if (text.dot != Dot::kNone) {
    chosen = DotIdentifier(text.dot);
  } else {
    const std::string* own = names.ownExact[at] ? &names.own[at] : nullptr;
    const auto taken = [&](const std::string& name) {
      ++g_probes;
      if (!IsoNameAllowed(name) || names.given.count(name) != 0) return true;
      return !(own != nullptr && name == *own) && names.displayNames.count(name) != 0;
    };
    chosen = PlainIsoName(text);
    if (taken(chosen)) {
      const auto pieces = [&](int digits, std::string& prefix, std::string& suffix) {
        IsoPieces(text, digits, prefix, suffix);
      };
      if (FindFreeNumber(pieces, taken, &names.nextFree, own, chosen) < 0) return Named::kNoName;
    }
  }
  if (!StoreIsoName(entry, chosen)) return Named::kNoMemory;
  names.given.insert(std::string_view(entry->isoName, chosen.size()));
  if (IsoRenameHookWanted(document)) UiHookUniqueName();
  return Named::kYes;
}

Named NameJolietEntry(CImageDocument* document, CTreeEntry* entry, size_t at, int limit,
                      JolietFolderNames& names) {
  const Dot dot = DotOf(entry->name);
  if (dot != Dot::kNone) return StoreJolietDot(entry, dot) ? Named::kYes : Named::kNoMemory;
  const std::u16string own = Utf16Of(entry->name);
  std::u16string chosen = own;
  ++g_probes;
  const bool semicolon = document->jolietLevel != 0 && own.find(u';') != std::u16string::npos;
  if (own.empty() || semicolon || own.size() > static_cast<size_t>(limit) || names.given.count(own) != 0) {
    const auto taken = [&](const std::u16string& name) {
      ++g_probes;
      if (name.empty() || name.size() > static_cast<size_t>(limit) || names.given.count(name) != 0) return true;
      const std::wstring wide = WideOf(name);
      const auto found = names.displayNames.find(wide);
      if (found == names.displayNames.end()) return false;
      const bool self = entry->name != nullptr && wide == entry->name;
      return found->second - (self ? 1 : 0) > 0;
    };
    const JolietText text = PrepareJoliet(document, entry->name, limit);
    chosen = PlainLongName(text);
    if (taken(chosen)) {
      const auto pieces = [&](int digits, std::u16string& prefix, std::u16string& suffix) {
        JolietPieces(text, digits, prefix, suffix);
      };
      if (FindFreeNumber(pieces, taken, &names.nextFree, &own, chosen) < 0) return Named::kNoName;
    }
    UiHookUniqueName();
  }
  if (!StoreJolietUnits(entry, chosen)) return Named::kNoMemory;
  names.chosen[at] = std::move(chosen);
  names.given.insert(names.chosen[at]);
  return Named::kYes;
}

int FailNaming(Named outcome, const CTreeEntry* entry, const wchar_t* kind) {
  if (outcome == Named::kNoMemory) {
    AbortCodeRaise(kAbortNoMemory);
    return -1;
  }
  std::wstring text = L"No unique ";
  text += kind;
  text += L" name is left in its folder for ";
  text += entry->name != nullptr ? entry->name : L"";
  LastErrorSetText(text.c_str());
  AbortCodeRaise(kAbortSaveFailed);
  return -1;
}

}  // namespace

int IsoMakeName(const CImageDocument* document, const CTreeEntry* entry, const wchar_t* name, char* output,
                int limit, int32_t suffix) {
  if (output == nullptr) return -1;
  output[0] = '\0';
  if (suffix < -1 || suffix > kIsoNameLastSuffix) return -1;
  const IsoText text = PrepareIso(document, entry, name, std::clamp(limit, kShortLimit, kIsoLongestLimit));
  const std::string made = suffix < 0 ? PlainIsoName(text) : NumberedIsoName(text, suffix);
  std::memcpy(output, made.c_str(), made.size() + 1);
  return static_cast<int>(made.size());
}

int IsoMakeLongName(const CImageDocument* document, const CTreeEntry*, const wchar_t* name, wchar_t* output,
                    int limit, int32_t suffix) {
  if (output == nullptr) return -1;
  output[0] = L'\0';
  if (suffix < -1 || suffix > kIsoNameLastSuffix) return -1;
  const JolietText text =
      PrepareJoliet(document, name, std::clamp(limit, kJolietShortestLimit, kJolietLongestLimit));
  const std::wstring made = WideOf(suffix < 0 ? PlainLongName(text) : NumberedLongName(text, suffix));
  std::wmemcpy(output, made.c_str(), made.size() + 1);
  return static_cast<int>(made.size());
}

int IsoMakeUniqueName(CImageDocument* document, CTreeEntry* entry, CNameIndex* index) {
  if (document == nullptr || entry == nullptr) return 0;
  const IsoText text = PrepareIso(document, entry, entry->name, IsoLimitOf(document));
  std::string chosen;
  if (text.dot != Dot::kNone) {
    chosen = DotIdentifier(text.dot);
  } else {
    const auto taken = [&](const std::string& name) {
      ++g_probes;
      if (!IsoNameAllowed(name) || IndexHoldsIsoName(index, name, entry)) return true;
      const std::optional<std::wstring> wide = WideOf(name);
      if (!wide.has_value() || (entry->name != nullptr && *wide == entry->name)) return false;
      return IndexHoldsDisplayName(index, *wide, entry);
    };
    chosen = PlainIsoName(text);
    if (taken(chosen)) {
      const auto pieces = [&](int digits, std::string& prefix, std::string& suffix) {
        IsoPieces(text, digits, prefix, suffix);
      };
      if (FindFreeNumber<std::string>(pieces, taken, nullptr, nullptr, chosen) < 0) return 0;
    }
  }
  if (!StoreIsoName(entry, chosen) || (index != nullptr && !NameIndexAddIsoName(index, entry))) {
    AbortCodeRaise(kAbortNoMemory);
    return 0;
  }
  if (IsoRenameHookWanted(document)) UiHookUniqueName();
  return 1;
}

int IsoNameFolder(CImageDocument* document, CTreeEntry* entry, CNameIndex* index) {
  if (document == nullptr || entry == nullptr) return 0;
  const int limit = JolietLimitOf(document);
  const JolietText text = PrepareJoliet(document, entry->name, limit);
  if (text.dot != Dot::kNone) {
    if (StoreJolietDot(entry, text.dot)) return 1;
    AbortCodeRaise(kAbortNoMemory);
    return 0;
  }
  const auto taken = [&](const std::u16string& name) {
    ++g_probes;
    if (name.empty() || name.size() > static_cast<size_t>(limit) || IndexHoldsJolietName(index, name, entry)) {
      return true;
    }
    return IndexHoldsDisplayName(index, WideOf(name), entry);
  };
  std::u16string chosen = Utf16Of(entry->name);
  ++g_probes;
  const bool semicolon = document->jolietLevel != 0 && chosen.find(u';') != std::u16string::npos;
  if (chosen.empty() || semicolon || chosen.size() > static_cast<size_t>(limit) ||
      IndexHoldsJolietName(index, chosen, entry)) {
    chosen = PlainLongName(text);
    if (taken(chosen)) {
      const auto pieces = [&](int digits, std::u16string& prefix, std::u16string& suffix) {
        JolietPieces(text, digits, prefix, suffix);
      };
      if (FindFreeNumber<std::u16string>(pieces, taken, nullptr, nullptr, chosen) < 0) return 0;
    }
    UiHookUniqueName();
  }
  if (!StoreJolietUnits(entry, chosen) || !IndexAddJolietName(index, entry)) {
    AbortCodeRaise(kAbortNoMemory);
    return 0;
  }
  return 1;
}

int IsoNameTree(CImageDocument* document, CTreeFolder* folder, CProgressCallbacks*) {
  if (document == nullptr || folder == nullptr) return -1;
  // The folder's names are kept in hashed sets for the pass; its own ISO-name index is not kept.
  NameIndexDelete(folder->isoIndex);
  folder->isoIndex = nullptr;

  std::vector<CTreeEntry*> entries;
  for (CTreeEntry* entry = folder->firstEntry; entry != nullptr; entry = entry->next) entries.push_back(entry);
  int64_t visited = 0;
  const auto stopped = [&visited]() { return visited++ % kAbortCheckEvery == 0 && AbortCodeGet() != 0; };

  const int isoLimit = IsoLimitOf(document);
  IsoFolderNames isoNames;
  isoNames.own.resize(entries.size());
  isoNames.ownExact.resize(entries.size());
  isoNames.displayNames.reserve(entries.size());
  isoNames.given.reserve(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    DropIsoName(entries[i]);
    isoNames.ownExact[i] = ExactMultiByte(entries[i]->name, isoNames.own[i]) ? 1 : 0;
    if (isoNames.ownExact[i]) isoNames.displayNames.insert(isoNames.own[i]);
  }
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t i = 0; i < entries.size(); ++i) {
      if (stopped()) return -1;
      CTreeEntry* entry = entries[i];
      if (entry->isoName != nullptr) continue;
      const IsoText text = PrepareIso(document, entry, entry->name, isoLimit);
      if (pass == 0 && !IsoNameFits(text)) continue;
      const Named outcome = NameIsoEntry(document, entry, i, text, isoNames);
      if (outcome != Named::kYes) return FailNaming(outcome, entry, L"ISO 9660");
    }
  }

  if (document->jolietLevel != 0 || document->udf != 0) {
    const int jolietLimit = JolietLimitOf(document);
    JolietFolderNames jolietNames;
    jolietNames.chosen.resize(entries.size());
    jolietNames.given.reserve(entries.size());
    jolietNames.displayNames.reserve(entries.size());
    for (CTreeEntry* entry : entries) {
      MemFree(entry->jolietName);
      entry->jolietName = nullptr;
      entry->jolietLength = 0;
      if (entry->name != nullptr) ++jolietNames.displayNames[entry->name];
    }
    for (int pass = 0; pass < 2; ++pass) {
      for (size_t i = 0; i < entries.size(); ++i) {
        if (stopped()) return -1;
        CTreeEntry* entry = entries[i];
        if (entry->jolietName != nullptr) continue;
        if (pass == 0 && !JolietNameFits(entry->name, jolietLimit)) continue;
        const Named outcome = NameJolietEntry(document, entry, i, jolietLimit, jolietNames);
        if (outcome != Named::kYes) return FailNaming(outcome, entry, L"Joliet");
      }
    }
  }
  return AbortCodeGet() != 0 ? -1 : 0;
}

int64_t IsoNameProbeCount() { return g_probes; }
