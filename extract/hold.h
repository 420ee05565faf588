// Holding the extraction folder and its files until the installer has finished.
//
// What msiexec reads must be what the stub verified. From the moment a file's bytes are
// verified on disk until the installer has ended, the stub keeps the file open for reading
// with read sharing only: no other process can write, rename or delete it, while msiexec can
// still read it. The extraction folder is held open without delete sharing, so it cannot be
// renamed or replaced meanwhile. Every held object's identity (volume serial number and file
// index) outlives the handle, so that the clean-up deletes only what this run created or
// verified, through a handle opened on the link itself, never through a link put in its
// place.
//
// OpenHeldFolder opens `path` as the held folder: it must be a directory and no reparse
// point (junction, symbolic link, mount point); otherwise nothing is held and the Status says
// why: the open's own error (default 110), or 267 (ERROR_DIRECTORY) for anything that is not
// a plain folder. OpenHeldFile opens an existing file for reading with read sharing only and
// checks that it is a plain file (no folder, no reparse point) of exactly `size` bytes whose
// content equals `data`; success with the handle and identity in `held`, otherwise nothing
// held and 1392 (ERROR_FILE_CORRUPT) for a file of other content or kind, or the open's own
// error (default 110). ReadIdentity fails with the system's error (default 1).
// HoldWrittenFiles runs after the writer: every item whose file this run created (identity
// known, no handle held yet) is opened for reading, must still be the file that was created
// and hold exactly the item's bytes; at the first that fails (other content, another file,
// or one that can no longer be opened: removed, renamed, or held by another process) the
// Status is 1392 (ERROR_FILE_CORRUPT) and *failedItem names it.
// ReleaseExtractionHold closes every handle (identities stay for the clean-up).
// DeleteHeldFile and RemoveHeldFolder delete `path` only when, opened without following a
// link, it is still the object of `identity`; a folder only when it is empty.
// FreeExtractionHold releases and frees the hold's array.
#pragma once
#include <cstdint>

#include "common/status.h"
#include "extract/item.h"

struct FileIdentity {
  uint32_t known;  // 0: nothing recorded
  uint32_t volume;
  uint32_t indexHigh;
  uint32_t indexLow;
};

struct HeldFile {
  HANDLE handle;          // read handle (read sharing only), or null
  FileIdentity identity;  // the file this run created or verified
};

struct ExtractionHold {
  HANDLE folder;  // the extraction folder, open without delete sharing, or null
  FileIdentity folderIdentity;
  HeldFile* files;  // one per item (LocalAlloc), or null
  int32_t count;
};

Status OpenHeldFolder(const char* path, HANDLE* handle, FileIdentity* identity);
Status OpenHeldFile(const char* path, const uint8_t* data, uint32_t size, HeldFile* held);
Status ReadIdentity(HANDLE handle, FileIdentity* identity);
Status HoldWrittenFiles(const ExtractItem* items, int32_t itemCount, ExtractionHold* hold,
                        int32_t* failedItem);
void ReleaseExtractionHold(ExtractionHold* hold);
bool DeleteHeldFile(const char* path, const FileIdentity* identity);
bool RemoveHeldFolder(const char* path, const FileIdentity* identity);
void FreeExtractionHold(ExtractionHold* hold);
