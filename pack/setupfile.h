// A setup or container opened for inspect, verify, select and extract.
//
// OpenSetup reads the file (at most 4 GiB - 1 bytes, as the stub does) and finds its
// payload sources and the notes on them the way the stub's discovery does (reader.h). Its
// error is the message the commands print: the read error as it is, a discovery error
// behind "<path>: ". The sources point into `file`, so an OpenedSetup stays where it was
// opened (it cannot be copied or moved).
// SignedAfterAppendHint explains one common mistake, or gives "": a signed file whose payload
// ends where its certificate table begins was signed after the payload was appended, and
// the stub, reading the file from its end, cannot find the payload.
#pragma once
#include <string>
#include <vector>

#include "pack/fileio.h"
#include "pack/reader.h"

// A file read whole and its discovered sources and notes.
struct OpenedSetup {
  Bytes file;
  std::vector<FoundSource> sources;
  std::vector<std::string> notes;

  OpenedSetup() = default;
  OpenedSetup(const OpenedSetup&) = delete;
  OpenedSetup& operator=(const OpenedSetup&) = delete;
};

// Reads `path` into `setup` and discovers its sources; false with the message to print.
bool OpenSetup(const std::string& path, OpenedSetup* setup, std::string* error);
// The hint for a file signed after its payload was appended, or "".
std::string SignedAfterAppendHint(const Bytes& file, const std::vector<FoundSource>& sources);
