// image/: the document record, sector access at 64-bit addresses, the CD sector codec, the track table with
// its CD-TEXT records, and the row type of the format table. It uses runtime/ only; what a sector read needs
// of a format (its row's handlers, the map of an image being built) reaches it through the document.
//
// CImageDocument: the one record per image — an image file opened for reading, or a new image being built.
// It owns everything it opens; ImageClose (session/document.h) frees it all.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "runtime/wstring.h"

constexpr int kVolumeIdentifierCount = 9;
constexpr int kVolumeIdentifierChars = 512;

// Indexes of the volume identifiers.
enum : int {
  kVolumeLabel = 0,
  kVolumeSystemId = 1,
  kVolumeSetId = 2,
  kVolumePublisherId = 3,
  kVolumePreparerId = 4,
  kVolumeApplicationId = 5,
  kVolumeCopyrightFile = 6,
  kVolumeAbstractFile = 7,
  kVolumeBibliographicFile = 8,
};

// Open flags (CImageDocument::openFlags).
enum : int32_t {
  kOpenLoadTree = 2,             // load the directory tree
  kOpenQuiet = 4,                // do not report open errors
  kOpenDiskImage = 16,           // allow the disk-image fallback
  kOpenSessionAppend = 1 << 20,  // opened while a command appends a session (edit, extract): a blank disc opens
};

// Image type codes beyond the rows of the format table.
enum : int32_t {
  kImageTypeUnknown = -1,
  kImageTypeIso = 0,
  kImageTypeBin = 1,
  kImageTypeQvf = 2,
  kImageTypeAudioDisc = 100,
  kImageTypeAudioProject = 103,
};

struct CTreeEntry;
struct CTreeFolder;
struct CTrackTable;
struct CNrgState;
struct CImageBuilder;
struct CSfxPropertyTable;
struct CQvfContext;
struct CBootInfo;
struct CImageFormatInfo;
struct CImageDocument;
struct CPartitionList;
struct CApfsContainer;
struct CIsoBuild;
struct CFatVolume;
struct CUdfVolume;
struct CHfsPlusVolume;
struct CHfsVolume;
struct CNtfsVolume;
struct CExtVolume;
struct CExfatVolume;
struct CVhdImage;
struct CVhdxImage;
struct CVmdkImage;
struct CVdiImage;
struct CVirtualDiskRun;
struct CChunkMap;
struct CWimState;
struct CSessionState;

// Reads n sectors of the image being built (the builder's sector map); installed with the map.
using ImageBuiltReader = int64_t (*)(CImageDocument* document, int64_t sector, void* buffer, int64_t n);

// Where the build placed the structures that the volume descriptors point at, and the root records they carry
// (a volume read from an image leaves its root records' dates here for the next build of the same document).
struct CIsoDescriptorLayout {
  int64_t nextFreeLba;           // volume space size
  uint32_t pathTableBytes;       // one ISO 9660 path table
  uint32_t pathTableL;           // LBA of the little-endian table
  uint32_t pathTableM;           // LBA of the big-endian table
  uint32_t jolietPathTableBytes;
  uint32_t jolietPathTableL;
  uint32_t jolietPathTableM;
  uint8_t primaryRoot[34];       // root directory record of the primary descriptor
  uint8_t jolietRoot[34];        // root directory record of the Joliet descriptor
};

struct CImageDocument {
  CWideString path;           // the image's path
  CWideString companionPath;  // CUE, MDS or NRG descriptor beside it
  int32_t openValue;
  FILE* input;
  int rawDevice;  // a drive's descriptor (0 = none)
  // A drive: the reader of its sectors and its state, which the opener installs (the image layer knows no drive
  // commands); the state is owned and freed with driveStateFree. A blank disc opened to take a new session
  // carries the empty-disc mark.
  int64_t (*driveReader)(CImageDocument* document, int64_t sector, void* buffer, int64_t n);
  // The same for whole 2352-byte sectors (audio tracks).
  int64_t (*driveRawReader)(CImageDocument* document, int64_t sector, void* buffer, int64_t n);
  void* driveState;
  void (*driveStateFree)(void* state);
  int32_t emptyDisc;
  FILE* output;
  CWideString outputPath;
  int64_t fileSize;
  // Geometry of the stored sectors.
  int64_t headerSize;  // bytes before sector 0 (negative: the first sectors read as zeros)
  int32_t sectorSize;
  int32_t userDataOffset;
  int32_t scannedSizes[4];      // candidate sector sizes of the descriptor scan
  int64_t scannedPosition = -1;    // file position of the primary descriptor found by the scan; -1 none
  int64_t readableLimit;        // sectors that can be read
  int64_t savedLimit;           // when set, takes precedence over the readable limit
  uint8_t rawMode2;             // stored sectors are raw Mode 2 (CD-XA)
  uint8_t specialLayout[2];
  int32_t quiet;                // probes run: failed reads are not reported
  int32_t pastLimitReported;
  int32_t edcCheck;             // classify raw sectors while reading (the EDC report)
  int32_t deviceFlag;           // the image is a drive
  int32_t loadTree;
  int32_t testOnly;             // extraction reads but writes nothing
  CTrackTable* trackTable;
  CNrgState* nrg;           // the NRG reader's state (row 3), owned
  CSfxPropertyTable* sfxProperties;  // properties of a self-extracting image, owned
  CQvfContext* qvf;        // the QVF reader of an opened stream (row 2), owned
  CQvfContext* qvfWriter;  // the QVF writer, from the write at sector 0 until its stream is finished, owned
  int32_t embeddedQvf = -1;     // the file ends with an appended QVF stream: 1 yes, 0 no, -1 not looked at yet
  int32_t qvfRefusal;      // why a QVF stream was not opened: 14 no password, 15 unsupported version, 0 other
  // Save settings of QVF output: volumes, the output password, self-extractor, compression level (0 normal,
  // 1 better, 2 best; -method overrides it).
  int32_t splitVolumes;
  int64_t splitVolumeSize;  // bytes per volume file
  int32_t passwordSet;
  char password[257];
  int32_t selfExtractor;
  int32_t compressionLevel;
  std::vector<uint8_t> rawBuffer;  // work buffer of raw sector reads and writes
  // The image being built for direct writing: its sector map (owned), the flag that sends sector reads to it, the
  // first sector of the session it builds (its map counts from there), and whether a burn job is draining it
  // (failed reads then leave zero sectors and the burn goes on).
  CImageBuilder* builder;
  ImageBuiltReader readBuilt;
  int32_t readFromBuilder;
  int32_t burnJobReading;
  int64_t buildSessionStart;
  int64_t buildSectorCount;  // sectors of the image a build is writing (0 outside a build)
  // Appending a session to a disc: the burn job's multisession flag (the build carries a session block and a
  // head of at least 320 sectors) and its leave-open flag, the next writable address of the disc the document
  // was opened from (0: none), and the session blocks read when it was opened and built for this session (owned).
  int32_t multisession;
  int32_t multisessionLeaveOpen;
  int64_t discAppendStart;
  CSessionState* sessionBlock;
  CIsoBuild* build;          // the working state of the build in progress (builder/build_state.h), owned
  // Disk images: the container that serves the disk's sectors (null: the plain file), the logical-volume
  // mapping of the chosen partition (null: none), the partition table and the chosen partition, the unit of
  // byte reads, the first sector and length of the current partition (sectors of sectorSize), the work
  // buffer of byte reads, and the file-system reader states.
  int64_t (*diskReader)(CImageDocument* document, int64_t sector, void* buffer, int64_t n);
  // Tells the disk reader that these bytes of the disk will be read soon, so that it may start producing them
  // (null: nothing to gain).
  void (*diskPrefetch)(CImageDocument* document, int64_t offset, int64_t length);
  void* diskContext;
  // Where the disk reader's sectors lie in its files (disks/virtual_disk.h; null: not known), over diskContext.
  int64_t (*diskMap)(void* diskContext, int64_t sector, int64_t n, CVirtualDiskRun* run);
  int64_t (*lvmMap)(CImageDocument* document, int64_t sector);
  CPartitionList* partitions;  // owned
  // The virtual disk whose reader serves the disk (disks/virtual_disk.h), owned; diskContext points at it.
  CVhdImage* vhd;
  CVhdxImage* vhdx;
  CVmdkImage* vmdk;
  CVdiImage* vdi;
  int32_t chosenPartition = -1;     // -1: none
  int32_t partitionMapUnit;    // 0: 512
  int64_t partitionStart;
  int64_t partitionLength;
  std::vector<uint8_t> diskWork;
  int32_t kernelCopyRefused;  // copies between the disk file and outputs cannot be done inside the kernel
  CFatVolume* fat;  // owned
  CExfatVolume* exfat;   // owned
  CExtVolume* ext;       // owned
  CApfsContainer* apfs;  // an APFS container recognised on the partition, owned
  CUdfVolume* udfVolume;    // the mounted UDF volume of an optical image, owned
  uint32_t xboxRootSector;  // an Xbox volume's root directory (0: not an Xbox volume)
  uint32_t xboxRootSize;
  CHfsPlusVolume* hfsPlus;  // owned
  CHfsVolume* hfs;          // owned
  CNtfsVolume* ntfs;  // owned
  CChunkMap* chunkMap;   // chunks of a DMG, ISZ or UIF image, owned
  CWimState* wim;        // the WIM archive the document reads (wim/wim.h), owned
  // The volume as read.
  uint8_t primaryDescriptor[2048];
  uint8_t jolietDescriptor[2048];
  uint8_t rootRecord[34];
  int32_t suspSkip;  // bytes the volume's "SP" entry tells readers to skip at the start of each System Use area
  CIsoDescriptorLayout descriptorLayout;
  int32_t primarySeen;
  int32_t highSierra;
  int32_t jolietTree;  // the tree comes from the Joliet hierarchy
  int32_t blockSize;
  int32_t blockSizeKnown;
  int64_t volumeSize;
  int64_t primaryLba;
  int64_t supplementaryLba;
  int64_t bootRecordLba;
  CBootInfo* bootInfo;  // El Torito boot record, catalog and images of the opened volume, owned
  int32_t treeDamaged;      // the directory structure was damaged: what could be read was kept
  int32_t dataBeyondEnd;    // the volume or its files reach past the end of the image file
  CTreeEntry* rootEntry;    // the root's own entry, owned by the document
  CTreeFolder* rootFolder;  // the directory tree, owned when treeOwned
  int32_t volumeNaming;  // volume naming style of split images (default 1)
  int32_t openFlags;
  int32_t statusMode;
  int32_t storeIdenticalOnce;  // identical files share their data (default 1)
  std::vector<CTreeEntry*> orderedFiles;  // files with a sort weight, in the order a build places them
  const CImageFormatInfo* formats;  // the format table whose rows inputType and outputType index
  int32_t outputType;
  int32_t inputType = kImageTypeUnknown;
  int32_t descriptorPosition[2];
  int32_t noIso9660;
  int32_t treeOwned;
  int32_t readOnly;
  int32_t appendMode;
  int32_t modified;  // the document changed since it was opened or saved
  int32_t videoCdKind;  // 0 none, 1 Video CD, 2 Super Video CD (image/vcd.h)
  int32_t wiiDisc;        // the image is a Wii disc (image/wii.h): no file system, read-only
  CWideString regionText;  // "NTSC" or "PAL" for a Wii disc
  // Build options.
  int32_t jolietLevel;       // 0..3 (default 3)
  int32_t isoNameLength;     // 12, 30 or 221 (default 221)
  int32_t jolietNameLength;  // 64 or 110 (default 110)
  int32_t lowerCaseIsoNames;
  int32_t rockRidge;
  int32_t udf;
  // Times (seconds since the epoch, 64-bit). fixedTime, when set, dates every file of a new image.
  int64_t fixedTime;
  int64_t creationTime;  // when the document was created
  int64_t volumeCreationTime;
  int64_t volumeModificationTime;
  int64_t volumeEffectiveTime;
  int64_t volumeExpirationTime;
  // Volume identifiers.
  wchar_t identifiers[kVolumeIdentifierCount][kVolumeIdentifierChars];
  int32_t identifiersChanged;
  // The image's comment (bytes as stored), when it carries one.
  std::string comment;
};
