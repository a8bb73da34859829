// The names a new image gives its entries: the ISO 9660 identifier (8-bit text in the locale's multibyte form,
// unique within its folder, at most the ISO name length) and the Joliet identifier (UTF-16, unique within its
// folder, at most the Joliet name length). A name that does not fit or that collides gets "~" and a number.
//
// How the names are kept on an entry (CTreeEntry, tree/tree.h):
// - isoName: the identifier bytes, NUL-terminated. The "." entry holds the single byte 0 (so the C string reads
//   empty) and ".." the single byte 1; directoryRecord[kDirRecordNameLength] is the identifier length (1 for
//   both) and directoryRecord[kDirRecordLength] the record length 33 + length, made even.
// - jolietName / jolietLength: UTF-16 code units in host byte order, 0-terminated, and their count (a character
//   above U+FFFF takes two units). The Joliet writer stores each unit big-endian, so the identifier is
//   2 x jolietLength bytes. "." and ".." hold the one unit 0x0000 or 0x0001 with jolietLength 1: it stands
//   for the one-byte identifier 0 or 1, which the writer emits for these two entries instead.
//
// Lengths are counted in the units the disc stores: bytes for ISO names, UTF-16 units for Joliet names. A name
// is only ever cut between characters, never inside a multibyte sequence or a surrogate pair. Joliet names are
// held to 110 units at most, so that a Joliet record (34 bytes + the name) never passes 255 bytes.
#pragma once

#include <cstdint>
#include <cwchar>

struct CImageDocument;
struct CNameIndex;
struct CProgressCallbacks;
struct CTreeEntry;
struct CTreeFolder;

// Room an IsoMakeName output must have (bytes, with the NUL), and an IsoMakeLongName output (characters).
inline constexpr int kIsoNameBufferSize = 256;
inline constexpr int kJolietNameBufferChars = 256;
// The largest number a numbered name can carry.
inline constexpr int32_t kIsoNameLastSuffix = 999999;

// The ISO identifier of `name` for `entry` (a folder when its record says so) under `limit` (12 is the 8.3
// form; other values are clamped to 12..221), with the number `suffix` (0..999,999) or none (-1). ";" becomes
// "_"; letters are upper-cased unless the document keeps lower-case ISO names; at most the first 255
// characters count. "." and ".." give themselves. A character the locale cannot represent becomes "_". Writes
// the identifier and its NUL into `output` (kIsoNameBufferSize bytes) and returns its length in bytes, or -1
// for a null output or a suffix out of range.
int IsoMakeName(const CImageDocument* document, const CTreeEntry* entry, const wchar_t* name, char* output,
                int limit, int32_t suffix);
// The Joliet form of `name` under `limit` UTF-16 units (clamped to 12..110) with `suffix` or none (-1): ";"
// becomes "_" while Joliet is on; a name that fits stays as it is when no number is asked; otherwise the
// extension and then the base are cut so that base + "~" + number + extension fits. Writes the name and its
// NUL into `output` (kJolietNameBufferChars characters) and returns its length in characters, or -1.
int IsoMakeLongName(const CImageDocument* document, const CTreeEntry* entry, const wchar_t* name,
                    wchar_t* output, int limit, int32_t suffix);

// Gives `entry` an ISO name that no other entry of `index` holds (by ISO name) and that is not another
// entry's display name (by display name), trying the plain name and then the numbers 0, 1, ... in turn; stores
// it with the identifier and record lengths and adds the entry to the index by ISO name. 1, or 0 when every
// number up to 999,999 is taken or memory runs out (abort code 6); the entry then has no ISO name.
int IsoMakeUniqueName(CImageDocument* document, CTreeEntry* entry, CNameIndex* index);
// Gives `entry` a Joliet name that no other entry of `index` holds (by Joliet name) and that is not another
// entry's display name, then adds a link to the entry by its Joliet name to the index (release the index's
// links before the entry goes). 1, or 0 when no number is free or memory runs out (abort code 6).
int IsoNameFolder(CImageDocument* document, CTreeEntry* entry, CNameIndex* index);

// Names every entry of one folder: ISO names always, Joliet names while Joliet or UDF is on. Entries whose
// names already fit are named first, so only names that had to be shortened, or that collide, get numbers.
// The folder's ISO-name index is released. 0; -1 when the build's abort code is set (checked every 256
// entries), or when an entry is left without a name (abort code 2 with the reason in the last error, or 6 when
// memory ran out).
int IsoNameTree(CImageDocument* document, CTreeFolder* folder, CProgressCallbacks* progress);

// Candidate names tested against a folder's names since the process started: a diagnostic that shows naming
// a folder costs time in proportion to its entries.
int64_t IsoNameProbeCount();
