// Extraction folder.
//
// PrepareExtractionFolder creates <Windows>\Installer\<productCode> and every item's output
// file (empty, open for writing; files that already exist are left alone with file null).
// When a file cannot be created there, the attempt is undone (files it created deleted, the
// product-code folder removed when empty) and the user picks a base folder in the shell's
// browse dialog, repeatedly, until all files are created (code 0) or the dialog is cancelled
// (code 1223; *suppress set). `folder` (1024 bytes) keeps the folder used last. A path that
// does not fit its buffer counts as a file that cannot be created; a browse choice without a
// file-system path shows the dialog again.
#pragma once
#include <cstdint>

#include "common/status.h"
#include "manifest/fileset.h"

enum : uint32_t { FOLDER_PATH_SIZE = 1024 };

Status PrepareExtractionFolder(ExtractItem* items, int32_t itemCount, const char* productCode,
                               const char* title, char* folder, uint32_t* suppress);
bool PathExists(const char* path);
void GetBrowseStartFolder(char* buffer, uint32_t size);
BOOL CallSHGetSpecialFolderPath(HWND owner, LPSTR path, int folderId, BOOL create);
int CALLBACK BrowseCallback(HWND window, UINT message, LPARAM param, LPARAM data);
