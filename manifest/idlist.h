// Number lists in manifest texts: a descriptor's languages ("1031;1033") and a cabinet
// line's package ids ("1000;1001"), entries separated by ';'.
//
// NextListNumber reads the entry at *cursor with "%u" (leading blanks skipped, the digits up
// to the first other character; an empty or non-numeric entry reads nothing) and moves
// *cursor behind the next ';', or to null after the last entry. It returns true when the
// entry held a number, stored in *value. Walk a list with
//   for (const char* at = list; at;) if (NextListNumber(&at, &n)) ...
#pragma once

bool NextListNumber(const char** cursor, unsigned int* value);
