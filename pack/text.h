// Small text helpers of the packaging tool (ASCII rules: the payload's keywords, ids and
// names are compared as the stub compares them).
//
// EqualsNoCase compares folding only A-Z; UpperAscii raises only a-z; SplitText cuts at every
// separator (empty parts kept, one part for text without it); ParseUnsigned32 reads a plain
// decimal number of 1 to 10 digits that fits 32 bits. ParseIdList reads a ';'-separated
// list of numbers ("1033;1031", "1000;1001") with the manifest's own reader (NextListNumber,
// as the stub reads it) and admits it only when every item is such a plain number: no empty
// item, no blanks, signs or other characters, nothing beyond 32 bits, so the tool never
// writes a list the stub would read differently. Printable writes control characters
// (0x00-0x1F, 0x7F) as \xNN and C1 controls (U+0080-U+009F) as \u00NN, so text from a setup
// cannot steer the terminal it is shown on.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Equal when only the case of A-Z differs.
bool EqualsNoCase(const std::string& a, const std::string& b);
// `text` with a-z raised to A-Z, nothing else changed.
std::string UpperAscii(std::string text);
// The parts between separators, empty ones kept.
std::vector<std::string> SplitText(const std::string& text, char separator);
// A plain decimal number of 1 to 10 digits within 32 bits; false (value untouched) otherwise.
bool ParseUnsigned32(const std::string& text, uint32_t* value);
// The numbers of `list` in order; false when any item is refused (`refused`, when given,
// receives the first refused item's text).
bool ParseIdList(const std::string& list, std::vector<uint32_t>* ids, std::string* refused = nullptr);
// `text` with its control characters written as escapes, safe to show on a terminal.
std::string Printable(const std::string& text);
