// Windows locale names and ids (see locales.h).
#include "pack/locales.h"

#include "pack/text.h"

const Locale kLocales[] = {
    {"en-US", 1033},   {"en-GB", 2057},   {"en-AU", 3081},   {"en-CA", 4105},
    {"en-NZ", 5129},   {"en-IE", 6153},   {"en-ZA", 7177},   {"en-IN", 16393},
    {"de-DE", 1031},   {"de-CH", 2055},   {"de-AT", 3079},   {"de-LU", 4103},
    {"de-LI", 5127},   {"fr-FR", 1036},   {"fr-BE", 2060},   {"fr-CA", 3084},
    {"fr-CH", 4108},   {"fr-LU", 5132},   {"es-ES", 3082},   {"es-MX", 2058},
    {"es-AR", 11274},  {"es-CO", 9226},   {"es-CL", 13322},  {"es-US", 21514},
    {"it-IT", 1040},   {"it-CH", 2064},   {"pt-BR", 1046},   {"pt-PT", 2070},
    {"nl-NL", 1043},   {"nl-BE", 2067},   {"sv-SE", 1053},   {"sv-FI", 2077},
    {"da-DK", 1030},   {"nb-NO", 1044},   {"nn-NO", 2068},   {"fi-FI", 1035},
    {"is-IS", 1039},   {"pl-PL", 1045},   {"cs-CZ", 1029},   {"sk-SK", 1051},
    {"hu-HU", 1038},   {"ro-RO", 1048},   {"bg-BG", 1026},   {"hr-HR", 1050},
    {"sl-SI", 1060},   {"sr-Latn-RS", 9242}, {"et-EE", 1061}, {"lv-LV", 1062},
    {"lt-LT", 1063},   {"uk-UA", 1058},   {"ru-RU", 1049},   {"el-GR", 1032},
    {"tr-TR", 1055},   {"he-IL", 1037},   {"ar-SA", 1025},   {"ar-EG", 3073},
    {"fa-IR", 1065},   {"hi-IN", 1081},   {"th-TH", 1054},   {"vi-VN", 1066},
    {"id-ID", 1057},   {"ms-MY", 1086},   {"ja-JP", 1041},   {"ko-KR", 1042},
    {"zh-CN", 2052},   {"zh-TW", 1028},   {"zh-HK", 3076},   {"zh-SG", 4100},
    {"ca-ES", 1027},   {"eu-ES", 1069},   {"gl-ES", 1110},
};
const size_t kLocaleCount = sizeof(kLocales) / sizeof(kLocales[0]);

namespace {
std::string NormalName(std::string name) {
  for (char& c : name) c = c == '_' ? '-' : c;
  return UpperAscii(name);
}
}  // namespace

bool ParseLcid(const std::string& text, uint32_t* lcid) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    if (text.size() > 10) return false;
    uint32_t value = 0;
    for (size_t i = 2; i < text.size(); ++i) {
      const char c = text[i];
      const int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
      if (digit < 0) return false;
      value = value * 16 + static_cast<uint32_t>(digit);
    }
    *lcid = value;
    return true;
  }
  // Leading zeros do not make a decimal number octal.
  size_t start = 0;
  while (start + 1 < text.size() && text[start] == '0') ++start;
  if (ParseUnsigned32(text.substr(start), lcid)) return true;
  const std::string wanted = NormalName(text);
  for (size_t i = 0; i < kLocaleCount; ++i) {
    if (NormalName(kLocales[i].name) != wanted) continue;
    *lcid = kLocales[i].lcid;
    return true;
  }
  return false;
}

std::string LocaleName(uint32_t lcid) {
  for (size_t i = 0; i < kLocaleCount; ++i)
    if (kLocales[i].lcid == lcid) return kLocales[i].name;
  return "";
}
