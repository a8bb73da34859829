// Burning an opened document: hands the recording layer a reader of the document's sectors and the CD-TEXT
// of its track table built into lead-in packs, so that the burner never reaches the image formats itself.
#pragma once

struct CBurnRun;
struct CImageDocument;

// Fills the run's source and CD-TEXT for `document` and makes it the run's document.
void SessionPrepareBurn(CBurnRun* run, CImageDocument* document);
// 1 when the document holds a file system or archive of its own that a disc cannot take as it is.
int SessionIsUnburnable(const CImageDocument* document);
