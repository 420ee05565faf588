// The version information a stub carries (its VERSIONINFO resource, type 16, id 1), as
// `inspect` shows it.
//
// ReadVersionInfo reads the fixed part (file and product version) and the strings of the
// first string table of a PE32+ image, every length checked against the resource's bytes;
// `found` is false when the image has no such resource or its fixed part is malformed (a
// malformed string table ends the strings where it breaks). VersionInfoLine
// gives the line for people ("version info: ..."); WriteVersionInfo writes the JSON member
// "versionInfo": {"fileVersion", "productVersion", "strings": {name: value}} or null.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "pack/fileio.h"
#include "pack/json.h"

struct VersionInfo {
  bool found = false;
  std::string fileVersion;     // "1.2.3.4", from the fixed part
  std::string productVersion;
  std::vector<std::pair<std::string, std::string>> strings;  // in the resource's order, UTF-8
};

VersionInfo ReadVersionInfo(const Bytes& image);
// The same for the resource's bytes alone.
VersionInfo ParseVersionInfo(const uint8_t* block, uint32_t size);
std::string VersionInfoLine(const VersionInfo& info);
// The file version of the image's version information as "a.b.c.d"; false (and "") when it
// has none.
bool ReadStubVersion(const Bytes& image, std::string* version);
void WriteVersionInfo(JsonWriter* json, const VersionInfo& info);
