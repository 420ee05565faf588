// The folder `extract` writes into, opened once and used without following links.
//
// OpenOutputFolder creates the folder (mode 0700; its parent must exist) or takes an
// existing one; either way the folder it opens must be an empty folder that is not a link,
// is owned by the caller and is not writable by group or others -- anyone else could swap
// what is inside for links while files are written (and a folder just made could have been
// replaced by another user's before it was opened). Everything below it is created through the open folder handle:
// MakeSubfolder creates a new folder (refusing an existing name), WriteNewFile a new file
// (refusing an existing name or link), so no path is looked up twice. Windows builds check
// the same through paths (no owner check there). Every failure names the path and the cause.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

struct OutputFolder {
  std::string path;
  int fd = -1;  // the open folder (POSIX); -1 on Windows
  ~OutputFolder();
  OutputFolder() = default;
  OutputFolder(const OutputFolder&) = delete;
  OutputFolder& operator=(const OutputFolder&) = delete;
};

bool OpenOutputFolder(const std::string& path, OutputFolder* folder, std::string* error);
bool MakeSubfolder(const OutputFolder& parent, const std::string& name, OutputFolder* folder,
                   std::string* error);
bool WriteNewFile(const OutputFolder& folder, const std::string& name, const uint8_t* data,
                  size_t size, std::string* error);
