// Record digests in manifest texts.
//
// A record's signature covers its bytes only, not its id, so a signed record could be served
// under another entry's id. A manifest entry closes that gap with a digest field (see
// common/format.h): the signed manifest then names the exact bytes each entry's FileRecord
// must decode to.
//
// ReadEntryDigest looks at field `fieldIndex` (0-based) of a manifest entry (see entry.h).
// The result is
// DIGEST_ABSENT when the text has no such field or the field does not begin with the prefix
// (in any case): the entry binds nothing, as in manifests written without digests;
// DIGEST_PRESENT with `bytes` filled; DIGEST_MALFORMED when the prefix is there but the rest
// of the field is not exactly 64 hex digits, or the field did not convert exactly: no record
// can match such an entry.
#pragma once
#include <cstdint>

#include "common/format.h"
#include "manifest/entry.h"

enum : uint32_t { DIGEST_ABSENT = 0, DIGEST_PRESENT = 1, DIGEST_MALFORMED = 2 };

struct RecordDigest {
  uint32_t state;  // DIGEST_ABSENT, DIGEST_PRESENT or DIGEST_MALFORMED
  uint8_t bytes[RECORD_DIGEST_SIZE];
};

void ReadEntryDigest(const ManifestFields* entry, uint32_t fieldIndex, RecordDigest* digest);
// The same for the text of one field, which runs to its NUL or to the next '\\'.
void ReadDigestField(const char* field, RecordDigest* digest);
