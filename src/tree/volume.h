// Volume identifiers of a document: their defaults and setting them one by one.
#pragma once

struct CImageDocument;

// Defaults: the label is the creation time "yyyymmdd_hhmm", the system "Win32", the application "Kestrane".
void VolumeInitIdentifiers(CImageDocument* document);
// Copies at most 511 characters into identifier `index` (0..8) and marks the identifiers changed; any other
// index only marks the change.
void VolumeSetIdentifier(CImageDocument* document, int index, const wchar_t* text);
