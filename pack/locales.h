// Windows locale names and ids for the tool's messages and options.
//
// kLocales lists the common user locales of Windows (name and LCID), the set the language
// coverage report walks. ParseLcid reads a locale as a user writes it: a decimal LCID
// ("1031", "01031": always decimal), a hexadecimal one with an explicit "0x" ("0x0407"),
// or a locale name from the list in any case, with '-' or '_' ("de-DE", "de_de"); false for
// anything else or a value beyond 32 bits. LocaleName gives the name of a listed LCID, or "".
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

struct Locale {
  const char* name;
  uint32_t lcid;
};

extern const Locale kLocales[];
extern const size_t kLocaleCount;

bool ParseLcid(const std::string& text, uint32_t* lcid);
std::string LocaleName(uint32_t lcid);
