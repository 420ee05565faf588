// Extraction folder.
//
// PrepareExtractionFolder creates <system Windows directory>\Installer\<productCode> and
// every item's output file (new, empty, open for writing). The folder is held (see hold.h)
// and must be no junction, symbolic link or mount point. A file that is already there with
// exactly the item's bytes is used as it is: held for reading, not written again, file
// null. One with other content is replaced in the Installer folder and fails the attempt in
// a folder the user chose. When the folder or a file cannot be used, the attempt is undone
// (files it created deleted, held files released, the product-code folder removed when
// empty) and the user picks a base folder in the shell's browse dialog, repeatedly, until all
// files are set up (code 0) or the dialog is cancelled (code 1223; *suppress set). A
// product-code folder made below a chosen folder gets a protected access list (SYSTEM,
// Administrators, the current user). `folder` (1024 bytes) keeps the folder used last;
// `hold` receives the held folder and files and is the caller's to free
// (FreeExtractionHold), also after a failure. A path that does not fit its buffer counts as
// a file that cannot be created; a browse choice without a file-system path shows the dialog
// again. Other failures: 8 when the hold's array cannot be allocated.
#pragma once
#include <cstdint>

#include "common/status.h"
#include "extract/hold.h"
#include "extract/item.h"

enum : uint32_t { FOLDER_PATH_SIZE = 1024 };

Status PrepareExtractionFolder(ExtractItem* items, int32_t itemCount, const char* productCode,
                               const char* title, char* folder, uint32_t* suppress,
                               ExtractionHold* hold);
// Builds that access list (LocalFree it); false when the platform cannot.
bool MakeProtectedFolderDescriptor(PSECURITY_DESCRIPTOR* descriptor);
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
