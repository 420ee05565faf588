// File access of the packaging tool.
//
// ReadWholeFile reads a file into memory, refusing files larger than `limit` bytes before
// reading a byte of them. WriteFileReplacing writes a complete new file next to the target
// (same folder, temporary name), flushes it and renames it over the target, so the target is
// either the old file or the whole new one, never a half-written one; `exclusive` refuses an
// existing target instead of replacing it, and `privateFile` makes the file readable by its
// owner only (POSIX: mode 0600; Windows: created with the protected access list of
// OwnerOnlyDescriptorText, so nothing is inherited from the folder). Every failure returns
// false with a message naming the path and the cause.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

typedef std::vector<uint8_t> Bytes;

bool ReadWholeFile(const std::string& path, uint64_t limit, Bytes* out, std::string* error);
bool WriteFileReplacing(const std::string& path, const uint8_t* data, size_t size, bool exclusive,
                        bool privateFile, std::string* error);
bool FileExists(const std::string& path);

struct InputFile {
  std::string path;
  void* handle = nullptr;  // FILE*
  uint64_t size = 0;       // at opening
};
// Refuses what is no regular file or holds more than `limit` bytes.
bool OpenInputFile(const std::string& path, uint64_t limit, InputFile* file, std::string* error);
bool ReadInput(InputFile* file, uint8_t* out, size_t size, std::string* error);
bool FinishInput(InputFile* file, std::string* error);
void CloseInputFile(InputFile* file);
// The size of a regular file (no more than `limit` bytes), without reading it.
bool InputFileSize(const std::string& path, uint64_t limit, uint64_t* size, std::string* error);

struct OutputFile {
  std::string path, temp;
  int fd = -1;
  bool exclusive = false;
};
bool BeginOutputFile(const std::string& path, bool exclusive, bool privateFile, OutputFile* file,
                     std::string* error);
bool WriteOutput(OutputFile* file, const uint8_t* data, size_t size, std::string* error);
bool WriteOutputAt(OutputFile* file, uint64_t offset, const uint8_t* data, size_t size,
                   std::string* error);
bool CommitOutputFile(OutputFile* file, std::string* error);
void AbandonOutputFile(OutputFile* file);

struct ScratchFile {
  int fd = -1;
  uint64_t size = 0;  // bytes appended
};
bool OpenScratchFile(const std::string& nearPath, ScratchFile* file, std::string* error);
bool AppendScratch(ScratchFile* file, const uint8_t* data, size_t size, std::string* error);
bool ReadScratch(const ScratchFile& file, uint64_t offset, uint8_t* out, size_t size,
                 std::string* error);
void CloseScratchFile(ScratchFile* file);
#ifdef _WIN32
// The access list of a private file as SDDL: "D:P(A;;FA;;;<SID of the user running the
// tool>)", protected and with full access for that user alone; false with a reason when the
// user's identity cannot be read.
bool OwnerOnlyDescriptorText(std::string* text, std::string* error);
#endif
// The last component of a path ('/' and '\\' both separate).
std::string BaseName(const std::string& path);
// The folder part of a path, with its separator ("" for a bare name).
std::string DirName(const std::string& path);
