// The options of one save: split volumes, the output password and the comment. The command line fills them
// from its switches and copies them into a document before it is saved.
#pragma once

#include <cstdint>

constexpr int kPasswordBytes = 257;
constexpr int kCommentBytes = 65537;
constexpr int kCommentMax = 65536;

// Save options, copied into a document before it is saved.
struct CSaveOptions {
  int32_t splitVolumes;    // 1 when -volsize was given
  int32_t volumeNaming;    // never set by a switch
  int32_t secondFlag;      // never set by a switch
  int64_t volumeSize;      // -volsize bytes
  int32_t passwordSet;     // 1 when -setpassword was accepted
  char password[kPasswordBytes];  // multibyte output password, NUL-terminated
  char comment[kCommentBytes];    // multibyte comment, NUL-terminated
  int32_t commentLength;          // bytes of the comment
  int32_t selfExtractor;          // never set by a switch
  int32_t seventhValue;           // never set by a switch
  int32_t keyWord;                // never read
  int32_t compressionLevel;       // -method: 0 not given, 1 normal, 2 better, 3 best
};

