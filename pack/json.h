// A small JSON reader for setup descriptions, and the writer of the tool's --json output.
//
// ParseJson reads one JSON value (objects, arrays, strings with escapes, numbers, true,
// false, null) into a JsonValue tree; nesting is limited to 32 levels. Numbers keep their
// text. On failure it returns false with the line and what was expected. JsonText writes a
// string as a JSON string literal (quotes, backslashes and control characters escaped).
//
// JsonWriter lays out one JSON document in the tool's style: ", " between items and members,
// ": " after a member's name, nothing else (one line). Open objects and arrays with
// JsonObject/JsonArray, close them with JsonEnd; inside an object, JsonField names the member
// whose value comes next. Values: JsonString (escaped by JsonText), JsonNumber, JsonBool,
// JsonNull. The writer does not check that the calls nest; `text` is the document so far.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// A parsed JSON value and what it holds.
struct JsonValue {
  enum Kind { NUL, BOOLEAN, NUMBER, STRING, ARRAY, OBJECT } kind = NUL;
  bool boolean = false;
  std::string text;  // STRING: the decoded UTF-8 text; NUMBER: the number as written
  std::vector<JsonValue> items;
  std::vector<std::pair<std::string, JsonValue>> members;

  // The value of the object's first member named `key`, or null.
  const JsonValue* Find(const std::string& key) const;
};

// One JSON value from `input` (nothing but blanks around it); false with "line N: ..." otherwise.
bool ParseJson(const std::string& input, JsonValue* out, std::string* error);
// `text` as a JSON string literal, quotes included.
std::string JsonText(const std::string& text);

// A document being written (see above).
struct JsonWriter {
  std::string text;
  std::vector<bool> started;  // per open object or array: an item or member was written
  std::string closers;        // the closing bracket of each open object or array
  bool afterName = false;     // JsonField wrote a name; its value comes next
};

// Opens an object as the next value.
void JsonObject(JsonWriter* json);
// Opens an array as the next value.
void JsonArray(JsonWriter* json);
// Closes the innermost open object or array.
void JsonEnd(JsonWriter* json);
// Names the next member of the open object.
void JsonField(JsonWriter* json, const char* name);
// A string as the next value, escaped by JsonText.
void JsonString(JsonWriter* json, const std::string& text);
// An unsigned number as the next value, in decimal.
void JsonNumber(JsonWriter* json, uint64_t number);
// true or false as the next value.
void JsonBool(JsonWriter* json, bool value);
// null as the next value.
void JsonNull(JsonWriter* json);
// A list such as "1033;1031" as an array: items of 1 to 10 decimal digits as numbers (leading
// zeros dropped, as the stub reads them), any other item as a string.
void JsonNumberList(JsonWriter* json, const std::string& list);
