// Clearing up after an extraction: the mechanics; whether files stay is the caller's policy.
//
// DiscardStagedFiles deletes every file still under its temporary name (FILE_STAGED or
// FILE_VERIFIED) through its own staging handle and closes it: a temporary file never
// outlives the run that wrote it (unless the run itself is killed; see
// ClearLeftoverStagingFiles). CleanUpExtractedFiles discards the staged files, closes every
// held file and the folder's hold, then, unless `keepFiles`, deletes every file this run
// created or verified (by identity, see hold.h: only while its path still leads to it, never
// through a link) and, unless `keepFolder`, removes the folder when it is empty, and the
// Installer folder when this run made it and it is empty. Every
// file's path and identity stay for the caller's report. FreeExtractFiles frees the files'
// indexes and the array (null is fine), after the clean-up.
#pragma once
#include <cstdint>

#include "extract/hold.h"
#include "extract/item.h"

void DiscardStagedFiles(ExtractFile* files, int32_t fileCount);
void CleanUpExtractedFiles(ExtractFile* files, int32_t fileCount, const char* folder,
                           ExtractionHold* hold, bool keepFiles, bool keepFolder);
void FreeExtractFiles(ExtractFile* files, int32_t fileCount);
