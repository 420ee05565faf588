// Clearing up after an extraction (see cleanup.h).
#include "extract/cleanup.h"

void DiscardStagedFiles(ExtractFile* files, int32_t fileCount) {
  for (int32_t i = 0; files && i < fileCount; ++i) {
    ExtractFile* file = &files[i];
    if (file->staging) {
      FILE_DISPOSITION_INFO disposition;
      disposition.DeleteFile = TRUE;
      SetFileInformationByHandle(file->staging, FileDispositionInfo, &disposition,
                                 sizeof disposition);
      CloseHandle(file->staging);
      file->staging = nullptr;
    }
    if (file->state == FILE_STAGED || file->state == FILE_VERIFIED) {
      // Deleted with its handle: nothing of it is this run's any more.
      file->state = FILE_PLANNED;
      file->identity = FileIdentity{};
    }
  }
}

void CleanUpExtractedFiles(ExtractFile* files, int32_t fileCount, const char* folder,
                           ExtractionHold* hold, bool keepFiles, bool keepFolder) {
  DiscardStagedFiles(files, fileCount);
  // Nothing needs holding any more, and held files could not be deleted.
  for (int32_t i = 0; files && i < fileCount; ++i) {
    if (files[i].held) CloseHandle(files[i].held);
    files[i].held = nullptr;
  }
  ReleaseExtractionHold(hold);
  for (int32_t i = 0; files && !keepFiles && i < fileCount; ++i)
    if (files[i].state == FILE_HELD || files[i].state == FILE_REUSED)
      DeleteHeldFile(files[i].path, &files[i].identity);
  if (!keepFolder && folder && folder[0]) RemoveHeldFolder(folder, &hold->folderIdentity);
  // The Installer folder this run made, when nothing is in it.
  if (!keepFolder && hold->createdInstallerFolder[0])
    RemoveDirectoryA(hold->createdInstallerFolder);
}

void FreeExtractFiles(ExtractFile* files, int32_t fileCount) {
  if (!files) return;
  for (int32_t i = 0; i < fileCount; ++i) FreeSegmentIndex(&files[i].plan.segments);
  LocalFree(files);
}
