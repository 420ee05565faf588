// Small text helpers of the packaging tool (see text.h).
#include "pack/text.h"

#include <cstring>

#include "common/chars.h"
#include "manifest/idlist.h"

bool EqualsNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

std::string UpperAscii(std::string text) {
  for (char& c : text) c = AsciiUpper(c);
  return text;
}

std::vector<std::string> SplitText(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

bool ParseUnsigned32(const std::string& text, uint32_t* value) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > 0xFFFFFFFFu) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

bool ParseIdList(const std::string& list, std::vector<uint32_t>* ids, std::string* refused) {
  ids->clear();
  // The stub reads the list as a C string: a NUL would end it early.
  if (list.find('\0') != std::string::npos) {
    if (refused) *refused = list;
    return false;
  }
  for (const char* at = list.c_str(); at;) {
    const char* item = at;
    unsigned int read = 0;
    const bool number = NextListNumber(&at, &read);
    const std::string text(item, at ? static_cast<size_t>(at - 1 - item) : std::strlen(item));
    uint32_t strict = 0;
    if (!number || !ParseUnsigned32(text, &strict) || strict != read) {
      if (refused) *refused = text;
      return false;
    }
    ids->push_back(strict);
  }
  return true;
}

std::string Printable(const std::string& text) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    // C0 controls and DEL; C1 controls (U+0080-U+009F, UTF-8 C2 80-C2 9F) as \u00NN.
    const bool c1 = c == 0xC2 && i + 1 < text.size() &&
                    (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80;
    if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += kDigits[c >> 4];
      out += kDigits[c & 15];
    } else if (c1) {
      const unsigned char d = static_cast<unsigned char>(text[++i]);
      out += "\\u00";
      out += kDigits[d >> 4];
      out += kDigits[d & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}
