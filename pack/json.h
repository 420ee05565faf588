// A small JSON reader for setup descriptions.
//
// ParseJson reads one JSON value (objects, arrays, strings with escapes, numbers, true,
// false, null) into a JsonValue tree; nesting is limited to 32 levels. Numbers keep their
// text. On failure it returns false with the line and what was expected. JsonText writes a
// string as a JSON string literal (quotes, backslashes and control characters escaped).
#pragma once
#include <string>
#include <utility>
#include <vector>

struct JsonValue {
  enum Kind { NUL, BOOLEAN, NUMBER, STRING, ARRAY, OBJECT } kind = NUL;
  bool boolean = false;
  std::string text;  // STRING: the decoded UTF-8 text; NUMBER: the number as written
  std::vector<JsonValue> items;
  std::vector<std::pair<std::string, JsonValue>> members;

  const JsonValue* Find(const std::string& key) const;
};

bool ParseJson(const std::string& input, JsonValue* out, std::string* error);
std::string JsonText(const std::string& text);
