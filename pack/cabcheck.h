// Whether each external cabinet holds the files its MSI places in it.
//
// msiexec takes every file whose File row's Sequence falls in a Media row's range (above the
// LastSequence of the row before it, in DiskId order, up to its own) from that row's cabinet,
// by the File row's key; a cabinet that lacks one makes the installation fail (1603) on the
// target machine, long after packing. CheckCabinetContents reads each given cabinet's file
// list with libgcab and compares: a missing file is an error naming the file, the cabinet,
// the Media row and the MSI. Keys are compared without regard to ASCII case. Media rows
// whose cabinet is embedded ("#name") or not among `cabinets` are not checked here (the
// Media table check of msiinfo.h covers cabinets that were not given). Without libgcab
// (CabinetReadingAvailable() false) nothing is checked and every call succeeds.
//
// CheckSetupCabinetContents does it for every package of a setup whose MSI libmsi can read,
// with the cabinet files given to it.
#pragma once
#include <string>
#include <vector>

#include "pack/fileio.h"
#include "pack/msiinfo.h"
#include "pack/setup.h"

// A cabinet as the check reads it: from a file (`path`) or from memory (`bytes`).
struct CabinetInput {
  std::string name;          // the name the Media table uses
  std::string path;          // read from this file when `bytes` is null
  const Bytes* bytes = nullptr;
};

bool CabinetReadingAvailable();
// The names of the files in a cabinet; false with the reason when it cannot be read.
bool ListCabinetFiles(const CabinetInput& cabinet, std::vector<std::string>* names,
                      std::string* error);
// `msiName` names the MSI in the message.
bool CheckCabinetContents(const std::string& msiName, const MsiFacts& facts,
                          const std::vector<CabinetInput>& cabinets, std::string* error);
bool CheckSetupCabinetContents(const SetupSpec& setup, std::string* error);
