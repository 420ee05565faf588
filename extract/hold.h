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
// a plain folder. OpenVerifiedFile opens an existing file for reading with read sharing only
// and checks that it is a plain file (no folder, no reparse point) of exactly `size` bytes
// whose SHA-256 is `digest` (read back in pieces); success with the handle and identity,
// otherwise nothing held and 1392 (ERROR_FILE_CORRUPT) for a file of other content or kind,
// or the open's own error (default 110). ReadIdentity fails with the system's error
// (default 1).
// PublishVerifiedFiles runs once every file is written and verified: each FILE_VERIFIED file
// is renamed from its temporary name to its final name through its own staging handle
// (NtSetInformationFile, FileRenameInformation; replacing a file already there only when the
// folder's preparation found an earlier release's file under that name), its staging handle
// closed, and it is opened again as above: it must still be the file written (identity) with
// the digest and size it was written with; then it is FILE_HELD. At the first that fails the
// Status is the rename's error, or 1392 (ERROR_FILE_CORRUPT) for a file changed, replaced,
// removed or held by another process, and *failedFile names it.
// ClearLeftoverStagingFiles deletes every plain file of `folder` whose name is a temporary
// name (see manifest/staging.h): left by a run that did not finish, never trusted. Each is
// opened without following a link; folders and reparse points stay.
// ReleaseExtractionHold closes the folder handle (its identity stays for the clean-up).
// DeleteHeldFile and RemoveHeldFolder delete `path` only when, opened without following a
// link, it is still the object of `identity`; a folder only when it is empty.
#pragma once
#include <cstdint>

#include "common/status.h"
#include "extract/item.h"

enum : uint32_t { HOLD_PATH_SIZE = 1024 };

struct ExtractionHold {
  HANDLE folder;  // the extraction folder, open without delete sharing, or null
  FileIdentity folderIdentity;
  char createdInstallerFolder[HOLD_PATH_SIZE];  // the Installer folder, when this run made it
};

Status OpenHeldFolder(const char* path, HANDLE* handle, FileIdentity* identity);
Status OpenVerifiedFile(const char* path, const uint8_t digest[RECORD_DIGEST_SIZE],
                        uint64_t size, HANDLE* handle, FileIdentity* identity);
Status ReadIdentity(HANDLE handle, FileIdentity* identity);
Status PublishVerifiedFiles(ExtractFile* files, int32_t fileCount, int32_t* failedFile);
void ClearLeftoverStagingFiles(const char* folder);
void ReleaseExtractionHold(ExtractionHold* hold);
bool DeleteHeldFile(const char* path, const FileIdentity* identity);
bool RemoveHeldFolder(const char* path, const FileIdentity* identity);
