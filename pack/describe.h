// What inspect and verify say about a setup as a whole, besides its records: the payload key
// its stub trusts (fingerprint.h) and whether Windows would accept its certificate table
// with the certificate padding check on (payloads.h). DescribeSetup gives both as lines
// for people ("stub key: ...", "certificate padding check: ...") and as JSON members
// ("stubKey": {"fingerprint", "development"} or null, "paddingCheck": {"result", "why"}).
#pragma once
#include <string>
#include <vector>

#include "pack/fileio.h"

struct SetupFacts {
  std::vector<std::string> lines;
  std::string jsonMembers;  // `"stubKey": ..., "paddingCheck": ...` without braces
};

SetupFacts DescribeSetup(const Bytes& file);
