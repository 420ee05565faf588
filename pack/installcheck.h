// Whether a setup will install, beyond its records' signatures: what verify adds after every
// record has verified.
//
// CheckInstall lays the packages out as extract would (unpack.h) and checks what the stub
// and msiexec will meet on the target machine: an x64 package at all; which users'
// languages get which package (coverage.h: a gap is a warning, a problem with
// `requireFallback`); for every package whose MSI libmsi can read, that each external
// cabinet its Media table names travels with it and holds the files the MSI places in it
// (cabcheck.h); and that the signature, with any containers carried as certificate
// extensions, stays within what the stub's signature decoder takes (describe.h). Records are read with `key` (they have
// verified already). InstallVerdict gives the one line verify ends with.
#pragma once
#include <openssl/evp.h>

#include <string>
#include <vector>

#include "pack/coverage.h"
#include "pack/reader.h"

struct InstallReport {
  std::vector<std::string> problems;  // each keeps the setup from installing (for someone)
  std::vector<std::string> warnings;
  bool coverageKnown = false;
  Coverage coverage;
  size_t packages = 0;
  size_t unchecked = 0;  // packages whose MSI libmsi could not read: cabinets not checked
};

// `file` is the whole setup, `sources` its containers.
void CheckInstall(const Bytes& file, const std::vector<FoundSource>& sources, EVP_PKEY* key,
                  bool requireFallback, InstallReport* report);
// "the setup will install: ..." or "the setup will NOT install: ..."; `recordProblems`
// counts the records that failed verification before.
std::string InstallVerdict(const InstallReport& report, size_t recordProblems);
