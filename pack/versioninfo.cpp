// The version information a stub carries (see versioninfo.h).
#include "pack/versioninfo.h"

#include <cstring>

#include "common/format.h"
#include "pack/fingerprint.h"
#include "pack/reader.h"
#include "pack/text.h"

namespace {
enum : uint32_t {
  RT_VERSION_ID = 16,
  VERSION_INFO_ID = 1,
  NODE_HEADER_SIZE = 6,  // wLength, wValueLength, wType
  FIXED_INFO_SIZE = 52,
  FIXED_SIGNATURE = 0xFEEF04BDu,
};

// One node of the block: [at, end) with its key and where its value and children start.
struct Node {
  uint32_t at = 0, end = 0, valueLength = 0, type = 0, value = 0;
  std::string key;
};

uint32_t Align4(uint32_t n) { return (n + 3) & ~3u; }

// The node at `at`, inside [at, limit); false when it does not fit.
bool ReadNode(const uint8_t* p, uint32_t at, uint32_t limit, Node* node) {
  if (at + NODE_HEADER_SIZE > limit) return false;
  const uint32_t length = ReadLe16(p + at);
  if (length < NODE_HEADER_SIZE || length > limit - at) return false;
  node->at = at;
  node->end = at + length;
  node->valueLength = ReadLe16(p + at + 2);
  node->type = ReadLe16(p + at + 4);
  uint32_t k = at + NODE_HEADER_SIZE;
  while (k + 2 <= node->end && ReadLe16(p + k) != 0) k += 2;
  if (k + 2 > node->end) return false;
  node->key = Utf16LeToUtf8(p + at + NODE_HEADER_SIZE, (k - at - NODE_HEADER_SIZE) / 2);
  node->value = Align4(k + 2);
  return node->value <= node->end;
}

std::string Dotted(uint32_t ms, uint32_t ls) {
  return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." +
         std::to_string(ls >> 16) + "." + std::to_string(ls & 0xFFFF);
}
}  // namespace

VersionInfo ReadVersionInfo(const Bytes& image) {
  const uint8_t* p = nullptr;
  uint32_t size = 0;
  if (!FindStubResource(image, RT_VERSION_ID, VERSION_INFO_ID, &p, &size)) return VersionInfo();
  return ParseVersionInfo(p, size);
}

VersionInfo ParseVersionInfo(const uint8_t* p, uint32_t size) {
  VersionInfo info;
  Node root;
  if (!ReadNode(p, 0, size, &root) || root.key != "VS_VERSION_INFO" ||
      root.valueLength != FIXED_INFO_SIZE || root.value + FIXED_INFO_SIZE > root.end ||
      ReadLe32(p + root.value) != FIXED_SIGNATURE)
    return info;
  info.fileVersion = Dotted(ReadLe32(p + root.value + 8), ReadLe32(p + root.value + 12));
  info.productVersion = Dotted(ReadLe32(p + root.value + 16), ReadLe32(p + root.value + 20));
  info.found = true;
  // StringFileInfo, then its first string table, then the strings.
  for (uint32_t at = Align4(root.value + FIXED_INFO_SIZE); at < root.end;) {
    Node child;
    if (!ReadNode(p, at, root.end, &child)) break;
    if (child.key == "StringFileInfo") {
      Node table;
      if (ReadNode(p, child.value, child.end, &table)) {
        for (uint32_t s = table.value; s < table.end;) {
          Node str;
          if (!ReadNode(p, s, table.end, &str)) break;
          uint32_t units = str.valueLength;
          if (str.value + 2ull * units > str.end) units = (str.end - str.value) / 2;
          while (units > 0 && ReadLe16(p + str.value + 2 * (units - 1)) == 0) --units;
          info.strings.emplace_back(str.key, Utf16LeToUtf8(p + str.value, units));
          s = Align4(str.end);
        }
      }
      break;
    }
    at = Align4(child.end);
  }
  return info;
}

std::string VersionInfoLine(const VersionInfo& info) {
  if (!info.found) return "version info: none";
  std::string line = "version info: file version " + info.fileVersion + ", product version " +
                     info.productVersion;
  for (const auto& s : info.strings)
    if (s.first != "FileVersion" && s.first != "ProductVersion")
      line += "; " + s.first + " \"" + Printable(s.second) + "\"";
  return line;
}

void WriteVersionInfo(JsonWriter* json, const VersionInfo& info) {
  JsonField(json, "versionInfo");
  if (!info.found) {
    JsonNull(json);
    return;
  }
  JsonObject(json);
  JsonField(json, "fileVersion");
  JsonString(json, info.fileVersion);
  JsonField(json, "productVersion");
  JsonString(json, info.productVersion);
  JsonField(json, "strings");
  JsonObject(json);
  for (const auto& s : info.strings) {
    JsonField(json, s.first.c_str());
    JsonString(json, s.second);
  }
  JsonEnd(json);
  JsonEnd(json);
}

bool ReadStubVersion(const Bytes& image, std::string* version) {
  const VersionInfo info = ReadVersionInfo(image);
  *version = info.found ? info.fileVersion : "";
  return info.found;
}
