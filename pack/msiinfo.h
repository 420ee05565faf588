// Package facts read from an MSI file, and packages made from them.
//
// ReadMsiFacts opens an MSI read-only with libmsi and reads ProductCode, ProductName and
// ProductLanguage from its Property table, the platform and languages from the summary
// information's Template ("x64;1033,1031"), and the Cabinet column of its Media table.
// Builds without libmsi (MsiReadingAvailable() false, e.g. the Windows build of the tool)
// fail with a message that points to the explicit --package form.
//
// AddMsiPackage turns an MSI into a package of a setup: descriptor fields from the facts
// (each may be overridden). Languages: all of the Template's when it lists several (0, the
// neutral language, is left out), else ProductLanguage (a single Template language is
// often the authoring tool's default; a disagreement is noted), else the one Template
// language. Platform "x64"/"AMD64" is x64, "Intel" or none is Intel, others (Arm64, ...)
// are refused; the architecture override may turn Intel into x64 (64-bit Windows installs
// 32-bit packages) but not x64 into Intel. Every external cabinet of the Media table gets
// a cabinet line, its file looked up next to the MSI. Embedded cabinets ("#name") travel inside the MSI and are only
// reported in `notes`. A cabinet file that several packages name (the same path) becomes one
// cabinet line listing all of them. The package gets the next entry id (packages are
// numbered in the order they are added, from FIRST_PACKAGE_ID).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "pack/fileio.h"
#include "pack/setup.h"

// A Media table row: the files with Sequence above the previous row's LastSequence, up to
// its own, are in `cabinet` ("" for none, "#name" for an embedded one).
struct MediaRow {
  uint32_t diskId;
  uint32_t lastSequence;
  std::string cabinet;
};
// A File table row: the file's key (its name inside a cabinet) and its Sequence.
struct FileRow {
  std::string key;
  uint32_t sequence;
};

struct MsiFacts {
  std::string productCode;
  std::string productName;
  std::string productLanguage;   // as written in the Property table
  std::string platform;          // Template before ';' ("x64", "Intel", "" = Intel)
  std::string templateLanguages; // Template after ';' ("1033,1031")
  std::vector<std::string> cabinets;  // Media table Cabinet values, in DiskId order
  std::vector<MediaRow> media;        // the Media table, in DiskId order
  std::vector<FileRow> files;         // the File table
};

struct MsiOverrides {
  std::string architecture;  // empty: from the Template
  std::string languages;     // "1033;1031"; empty: see AddMsiPackage
  std::string productName;
  std::string productCode;
};

bool MsiReadingAvailable();
bool ReadMsiFacts(const std::string& path, MsiFacts* facts, std::string* error);
// The same for an MSI held in memory (a setup's record): libmsi reads it from a private
// temporary file, removed again before the call returns.
bool ReadMsiFactsFromBytes(const Bytes& msi, MsiFacts* facts, std::string* error);
// `details` receives what --verbose lists (the cabinets found), `notes` what is always
// reported (a Template language that ProductLanguage overrules: it decides the language).
bool AddMsiPackage(const std::string& msiPath, const MsiOverrides& overrides, SetupSpec* setup,
                   std::vector<std::string>* details, std::vector<std::string>* notes,
                   std::string* error);

// For every package whose MSI libmsi can read (given as a file or with --package): each
// external cabinet its Media table names must be given to it (else msiexec could not find
// it; refused), and a cabinet given to it must be named by the Media table (msiexec would
// never use it; refused). Names are compared without regard to ASCII case. Packages
// whose file libmsi cannot read, and builds without libmsi, are not checked.
bool CheckMediaCabinets(const SetupSpec& setup, std::string* error);
