// Manifest walk.
//
// EnumManifestEntries visits every entry of every registered source's manifest, sources in
// table order and entries in manifest order, handing the visitor the entry read into its
// fields (ReadManifestFields, see entry.h), valid only during the call. A visitor returns
// whether the walk goes on: false stops it there (that is no failure; a visitor keeps its own
// Status where it has one to report). The walk ends early with 13
// (ERROR_INVALID_DATA) when an entry header or text runs past the end of a manifest, and with
// 8 when an entry's block cannot be allocated.
#pragma once
#include <cstdint>

#include "common/status.h"
#include "manifest/entry.h"

typedef bool (*ManifestVisitor)(int32_t sourceIndex, const ManifestFields* entry, void* userData);

Status EnumManifestEntries(ManifestVisitor visitor, void* userData);
