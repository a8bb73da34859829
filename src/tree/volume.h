// Volume identifiers of a document: their defaults, setting them one by one, loading them from the volume
// descriptors of an opened image, and writing them (with the layout's sizes and dates) into the primary and
// Joliet descriptors of a new image.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/document.h"

// The descriptor layout of the document (see CIsoDescriptorLayout).
CIsoDescriptorLayout& IsoDescriptorLayout(CImageDocument* document);

// Defaults: the label is the creation time "yyyymmdd_hhmm", the system "Win32", the application "Kestrane".
void VolumeInitIdentifiers(CImageDocument* document);
// Copies at most 511 characters into identifier `index` (0..8) and marks the identifiers changed; any other
// index only marks the change.
void VolumeSetIdentifier(CImageDocument* document, int index, const wchar_t* text);

// Load the nine identifiers from a 2048-byte descriptor. Primary: d-/a-character fields as the locale's
// multibyte text. Joliet: UCS-2 big-endian fields. High Sierra: only the system and volume identifiers; the
// others become empty. Trailing blanks are dropped.
void VolumeLoadPrimaryIdentifiers(CImageDocument* document, const uint8_t* descriptor);
void VolumeLoadJolietIdentifiers(CImageDocument* document, const uint8_t* descriptor);
void VolumeLoadHighSierraIdentifiers(CImageDocument* document, const uint8_t* descriptor);

// Widens `length` bytes of on-disc text (ending early at a NUL) into `out` (room for `capacity` characters with
// the NUL). Text the locale reads is taken as it is; a byte it cannot read stands for the character of the
// same value, so names from other systems stay distinct and never vanish. Returns the characters written.
size_t VolumeDecodeDiscText(const uint8_t* bytes, size_t length, wchar_t* out, size_t capacity);

// A 17-byte volume date: "yyyymmddhhmmss00" of the local time and the GMT offset in 15-minute units; a time of 0
// gives sixteen '0' digits and offset 0.
void VolumeEncodeDate(uint8_t* field, int64_t time);
// A d-/a-character field: blanks, then the locale's multibyte form of the text, at most `length` bytes, never
// cutting a character in two; a character the locale cannot write becomes '_'. No terminator.
void VolumePutDCharField(uint8_t* field, const wchar_t* text, size_t length);
// A UCS-2 big-endian field: filled with 0x00 0x20 pairs, then the UTF-16 form of the text, at most length / 2
// units (a surrogate pair is never cut in two). An odd last byte stays 0x00.
void VolumePutUcs2Field(uint8_t* field, const wchar_t* text, size_t length);

// Fills the 2048-byte primary descriptor `descriptor` (normally the document's copy): the fixed fields for a
// document that has no descriptor of its own to keep, the identifiers, and unless `identifiersOnly` the layout
// values, the root record and the dates.
void IsoBuildPrimaryDescriptor(CImageDocument* document, uint8_t* descriptor, int identifiersOnly);
// Fills the 2048-byte Joliet descriptor `descriptor`: unless `identifiersOnly` a copy of the document's primary
// descriptor turned into a level-3 Joliet descriptor with the Joliet path tables and root; the identifiers as
// UCS-2; unless `identifiersOnly` the dates.
void IsoBuildJolietDescriptor(CImageDocument* document, uint8_t* descriptor, int identifiersOnly);
