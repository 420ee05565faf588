// Whether the stub can use a bundle, checked before anything is compressed.
//
// CheckSetupFiles makes sure every package is an MSI (its compound-file header) and every
// cabinet a Microsoft cabinet ("MSCF"), each within the 32-bit size of a record.
// CheckBundle refuses a bundle holding a package the 64-bit stub could never choose: with
// `forStub` (a setup, not a container that may be combined with others) one without any x64
// package (the stub picks only x64 packages); always a package that an earlier
// one of the same architecture always wins over (it lists every language the later one
// lists, as the stub compares them: the package is identical to the earlier one for the
// selection, whatever its product code). Intel packages beside x64 ones are kept, with a
// note (a 32-bit stub would choose them). IsBracedGuid accepts "{XXXXXXXX-XXXX-XXXX-XXXX-
// XXXXXXXXXXXX}" with hex digits in either case, the form of a Windows Installer product code.
#pragma once
#include <string>
#include <vector>

#include "pack/setup.h"

bool CheckSetupFiles(const SetupSpec& setup, std::string* error);
bool CheckBundle(const SetupSpec& setup, bool forStub, std::vector<std::string>* notes,
                 std::string* error);
bool IsBracedGuid(const std::string& text);
