// Extraction folder.
//
// PrepareExtractionFolder first uses <system Windows directory>\Installer\<productCode>,
// which only administrators can change: the folder is created when missing, held (see
// hold.h), and must be no junction, symbolic link or mount point; temporary files a run that
// did not finish left there are deleted (see hold.h: ClearLeftoverStagingFiles); a file
// already there with exactly the planned digest and size is used as it is (FILE_REUSED: held
// for reading, not written again) and one with other content is marked to be replaced, once
// the new one is verified (`replaces`). Every other file gets its final path and a temporary
// file in the folder (see manifest/staging.h), created new, empty, open for writing and
// deleting with read sharing only (FILE_STAGED). When that fails, the attempt is undone
// (temporary files deleted, held files released, the product-code folder removed when
// empty). Without
// `mayBrowse` (a silent run: nobody may be there to answer) the step then ends with the
// first attempt's cause (267 for a product-code path that is no plain folder). Otherwise the
// user picks a base folder in the shell's browse dialog, repeatedly, until all files are set
// up (code 0) or the dialog is cancelled (code 1223). Below a chosen folder the stub only
// uses a product-code folder it has just created: "<code>", or "<code>-2" to "<code>-99"
// when that name is taken; created and opened in one step with a protected access list
// (SYSTEM and Administrators full control, the user read and execute), so that neither an
// existing folder nor files in it are ever used. A chosen folder must be on a local fixed
// drive whose file system keeps access lists, be named exactly in the active code page, and
// lead to the new folder without a junction, link or mount point anywhere on the way (the
// held folder's final path is the path itself); otherwise a message says so and the dialog
// comes back. An access list that cannot be built fails the attempt as well. `folder` (1024
// bytes) keeps the folder used last; `hold` receives the held folder and is the caller's to
// release (see cleanup.h), also after a failure. A path that does not fit its buffer counts
// as a file that cannot be created; a browse choice without a file-system path shows the
// dialog again.
#pragma once
#include <cstdint>

#include "common/status.h"
#include "extract/hold.h"
#include "extract/item.h"

enum : uint32_t { FOLDER_PATH_SIZE = 1024 };

Status PrepareExtractionFolder(ExtractFile* files, int32_t fileCount, const char* productCode,
                               const char* title, bool mayBrowse, char* folder,
                               ExtractionHold* hold);
// Builds that access list (LocalFree it); fails with the system's error when it cannot.
Status MakeProtectedFolderDescriptor(PSECURITY_DESCRIPTOR* descriptor);
// True when FindFirstFileA finds `path` (a file or a folder).
bool PathExists(const char* path);
// Fills `buffer` (size bytes, always terminated) with the folder the browse dialog starts in:
// the user's documents folder (shell, else the registry's "Personal" entry, else the current
// directory), environment strings expanded, created component by component when missing.
void GetBrowseStartFolder(char* buffer, uint32_t size);
// SHGetSpecialFolderPathA from the system's Shell32.dll; FALSE when it cannot be had.
BOOL CallSHGetSpecialFolderPath(HWND owner, LPSTR path, int folderId, BOOL create);
// The browse dialog's callback: selects the folder passed in `data` once the dialog is up.
int CALLBACK BrowseCallback(HWND window, UINT message, LPARAM param, LPARAM data);
