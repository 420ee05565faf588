// A small JSON reader and writer (see json.h).
#include "pack/json.h"

#include <cstdlib>

#include "common/chars.h"

namespace {
struct Reader {
  const std::string& s;
  size_t at;
  std::string* error;

  bool Fail(const std::string& what) {
    size_t line = 1;
    for (size_t i = 0; i < at && i < s.size(); ++i) line += s[i] == '\n';
    *error = "line " + std::to_string(line) + ": " + what;
    return false;
  }
  void Skip() {
    while (at < s.size() && (s[at] == ' ' || s[at] == '\t' || s[at] == '\n' || s[at] == '\r')) ++at;
  }
  bool Literal(const char* word) {
    size_t i = 0;
    while (word[i]) {
      if (at + i >= s.size() || s[at + i] != word[i]) return false;
      ++i;
    }
    at += i;
    return true;
  }
  static void PutUtf8(uint32_t c, std::string* out) {
    char bytes[4];
    out->append(bytes, EncodeUtf8(c, bytes));
  }
  bool Hex4(uint32_t* v) {
    if (at + 4 > s.size()) return false;
    *v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = s[at++];
      *v <<= 4;
      if (c >= '0' && c <= '9') *v |= static_cast<uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f') *v |= static_cast<uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') *v |= static_cast<uint32_t>(c - 'A' + 10);
      else return false;
    }
    return true;
  }
  bool String(std::string* out) {
    ++at;  // opening quote
    out->clear();
    while (at < s.size()) {
      const char c = s[at++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return Fail("control character inside a string");
      if (c != '\\') {
        out->push_back(c);
        continue;
      }
      if (at >= s.size()) break;
      const char e = s[at++];
      switch (e) {
        case '"': case '\\': case '/': out->push_back(e); break;
        case 'b': out->push_back('\b'); break;
        case 'f': out->push_back('\f'); break;
        case 'n': out->push_back('\n'); break;
        case 'r': out->push_back('\r'); break;
        case 't': out->push_back('\t'); break;
        case 'u': {
          uint32_t c1;
          if (!Hex4(&c1)) return Fail("bad \\u escape");
          if (c1 >= 0xD800 && c1 < 0xDC00) {
            uint32_t c2;
            if (!Literal("\\u") || !Hex4(&c2) || c2 < 0xDC00 || c2 > 0xDFFF)
              return Fail("unpaired surrogate in \\u escape");
            c1 = 0x10000 + ((c1 - 0xD800) << 10) + (c2 - 0xDC00);
          } else if (c1 >= 0xDC00 && c1 <= 0xDFFF) {
            return Fail("unpaired surrogate in \\u escape");
          }
          PutUtf8(c1, out);
          break;
        }
        default: return Fail(std::string("unknown escape \\") + e);
      }
    }
    return Fail("unterminated string");
  }
  bool Value(JsonValue* v, int depth) {
    if (depth > 32) return Fail("nested too deeply");
    Skip();
    if (at >= s.size()) return Fail("a value was expected");
    const char c = s[at];
    if (c == '{') {
      v->kind = JsonValue::OBJECT;
      ++at;
      Skip();
      if (at < s.size() && s[at] == '}') return ++at, true;
      for (;;) {
        Skip();
        if (at >= s.size() || s[at] != '"') return Fail("a member name in quotes was expected");
        std::pair<std::string, JsonValue> member;
        if (!String(&member.first)) return false;
        Skip();
        if (at >= s.size() || s[at] != ':') return Fail("':' was expected");
        ++at;
        if (!Value(&member.second, depth + 1)) return false;
        v->members.push_back(std::move(member));
        Skip();
        if (at < s.size() && s[at] == ',') { ++at; continue; }
        if (at < s.size() && s[at] == '}') return ++at, true;
        return Fail("',' or '}' was expected");
      }
    }
    if (c == '[') {
      v->kind = JsonValue::ARRAY;
      ++at;
      Skip();
      if (at < s.size() && s[at] == ']') return ++at, true;
      for (;;) {
        JsonValue item;
        if (!Value(&item, depth + 1)) return false;
        v->items.push_back(std::move(item));
        Skip();
        if (at < s.size() && s[at] == ',') { ++at; continue; }
        if (at < s.size() && s[at] == ']') return ++at, true;
        return Fail("',' or ']' was expected");
      }
    }
    if (c == '"') {
      v->kind = JsonValue::STRING;
      return String(&v->text);
    }
    if (Literal("true")) return v->kind = JsonValue::BOOLEAN, v->boolean = true, true;
    if (Literal("false")) return v->kind = JsonValue::BOOLEAN, v->boolean = false, true;
    if (Literal("null")) return v->kind = JsonValue::NUL, true;
    if (c == '-' || (c >= '0' && c <= '9')) {
      const size_t start = at;
      if (s[at] == '-') ++at;
      const size_t digits = at;
      while (at < s.size() && s[at] >= '0' && s[at] <= '9') ++at;
      if (at == digits) return Fail("a number was expected");
      if (at < s.size() && s[at] == '.') {
        ++at;
        while (at < s.size() && s[at] >= '0' && s[at] <= '9') ++at;
      }
      if (at < s.size() && (s[at] == 'e' || s[at] == 'E')) {
        ++at;
        if (at < s.size() && (s[at] == '+' || s[at] == '-')) ++at;
        while (at < s.size() && s[at] >= '0' && s[at] <= '9') ++at;
      }
      v->kind = JsonValue::NUMBER;
      v->text = s.substr(start, at - start);
      return true;
    }
    return Fail("a value was expected");
  }
};
}  // namespace

const JsonValue* JsonValue::Find(const std::string& key) const {
  for (const auto& m : members)
    if (m.first == key) return &m.second;
  return nullptr;
}

bool ParseJson(const std::string& input, JsonValue* out, std::string* error) {
  Reader r{input, 0, error};
  *out = JsonValue();
  if (!r.Value(out, 0)) return false;
  r.Skip();
  if (r.at != input.size()) return r.Fail("unexpected text after the end of the document");
  return true;
}

std::string JsonText(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof(esc), "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

namespace {
// Separates the value about to be written from the one before it in its object or array.
void BeginValue(JsonWriter* json) {
  if (json->afterName) {
    json->afterName = false;
    return;
  }
  if (!json->started.empty()) {
    if (json->started.back()) json->text += ", ";
    json->started.back() = true;
  }
}

void Open(JsonWriter* json, char open, char close) {
  BeginValue(json);
  json->text += open;
  json->started.push_back(false);
  json->closers += close;
}
}  // namespace

void JsonObject(JsonWriter* json) { Open(json, '{', '}'); }
void JsonArray(JsonWriter* json) { Open(json, '[', ']'); }

void JsonEnd(JsonWriter* json) {
  json->text += json->closers.back();
  json->closers.pop_back();
  json->started.pop_back();
}

void JsonField(JsonWriter* json, const char* name) {
  BeginValue(json);
  json->text += JsonText(name) + ": ";
  json->afterName = true;
}

void JsonString(JsonWriter* json, const std::string& text) {
  BeginValue(json);
  json->text += JsonText(text);
}

void JsonNumber(JsonWriter* json, uint64_t number) {
  BeginValue(json);
  json->text += std::to_string(number);
}

void JsonBool(JsonWriter* json, bool value) {
  BeginValue(json);
  json->text += value ? "true" : "false";
}

void JsonNull(JsonWriter* json) {
  BeginValue(json);
  json->text += "null";
}

void JsonNumberList(JsonWriter* json, const std::string& list) {
  JsonArray(json);
  size_t start = 0;
  for (;;) {
    const size_t end = list.find(';', start);
    const std::string item = list.substr(start, end - start);
    bool number = !item.empty() && item.size() <= 10;
    for (char c : item) number = number && c >= '0' && c <= '9';
    BeginValue(json);
    // Leading zeros are no JSON number: the value is written as the stub reads it.
    const size_t digits = number ? item.find_first_not_of('0') : 0;
    json->text += !number ? JsonText(item) : digits == std::string::npos ? "0" : item.substr(digits);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  JsonEnd(json);
}
