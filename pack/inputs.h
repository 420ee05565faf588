// Checks of the packaging tool's inputs and outputs, made before any work is done.
//
// CheckOutputFile refuses an output path whose folder is missing, is no folder or is not
// writable, an output that is an existing folder, and an output that is the same file as
// any of `inputs` -- the same path after normalising, or (when both exist) the same file by
// device and inode, which also catches links and hard links to an input. Writing it would
// destroy the input it names.
// CheckInputFile makes sure an input is a regular file of at most `limit` bytes whose first
// bytes are `magic` (when given), so a wrong or oversized file fails before anything is
// compressed; `what` names the kind of file in the message ("an MSI package").
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct NamedInput {
  std::string path;
  std::string role;  // "the stub", "the private key", ...
};

bool CheckOutputFile(const std::string& output, const std::string& role,
                     const std::vector<NamedInput>& inputs, std::string* error);
bool CheckInputFile(const std::string& path, uint64_t limit, const char* magic, size_t magicSize,
                    const std::string& what, std::string* error);

// The first bytes of the files a setup holds.
static const char MSI_FILE_MAGIC[8] = {'\xD0', '\xCF', '\x11', '\xE0', '\xA1', '\xB1', '\x1A', '\xE1'};
static const char CABINET_FILE_MAGIC[4] = {'M', 'S', 'C', 'F'};
