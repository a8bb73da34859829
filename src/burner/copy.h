// Copying a disc: the source disc's layout is read and checked, then the destination is written either while the
// source is read (two drives) or from a private temporary image of the source (one drive, or on request), with
// the discs asked for as needed. The copy hands the burn job a plain document that carries the source's track
// table and a source of sectors; the writers treat it like an image.
#pragma once

#include <cstdint>

struct CBurnJob;
struct CBurnRun;
struct CTrackTable;

// 1 when the layout read from a disc is one the copy can reproduce: 1 to 99 tracks of kind 1, 2 or 4, sessions
// in order, the first track's pregap at sector 0, tracks of a session back to back and sessions apart by their
// lead-out and lead-in. Sets the session count. 0 otherwise.
int TrackTableCheckLayout(CTrackTable* table);
// Checks the disc in the job's drive against the source: 0 go on, 1 check again (a new disc was asked for), -1
// cancel. The job's device is open and its media type detected.
int CopyDiscCheckDestination(CBurnJob* job);
// Prepares the copy: 1 when the destination may be written, with the run's document and source set.
int BurnJobCopyDisc(CBurnJob* job);
// Closes the source drive and removes the temporary image of the copy; the run's document is forgotten.
void BurnReleaseCopy(CBurnRun* run);
// Writes the destination CD from the copy's document, session at once.
int BurnJobWriteCdCopy(CBurnJob* job);
// 1 when the two device paths name the same drive (by device identity; by name when a path cannot be opened).
int BurnIsSameDrive(const wchar_t* a, const wchar_t* b);
