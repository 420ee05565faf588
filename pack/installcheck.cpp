// Whether a setup will install (see installcheck.h).
#include "pack/installcheck.h"

#include "pack/cabcheck.h"
#include "pack/describe.h"
#include "pack/msiinfo.h"
#include "pack/text.h"
#include "pack/unpack.h"

namespace {
// One package's cabinets against its MSI's Media and File tables.
void CheckPackageCabinets(const std::vector<FoundSource>& sources, const UnpackPackage& p,
                          EVP_PKEY* key, InstallReport* report) {
  const FoundSource& source = sources[p.source];
  const std::string name = "package " + std::to_string(p.id) + " (" + source.origin + ")";
  Bytes msi;
  MsiFacts facts;
  std::string error;
  if (!ReadVerifiedRecord(source, false, p.files[0].id, key, &msi, &error, &p.files[0])) {
    report->problems.push_back(name + ": its MSI: " + error);
    return;
  }
  // An MSI libmsi cannot read is not checked further (as make does).
  if (!ReadMsiFactsFromBytes(msi, &facts, &error)) {
    ++report->unchecked;
    return;
  }
  std::vector<Bytes> held(p.files.size());
  std::vector<CabinetInput> cabinets;
  for (const MediaRow& row : facts.media) {
    if (row.cabinet.empty() || row.cabinet[0] == '#') continue;
    size_t found = 0;
    for (size_t i = 1; i < p.files.size() && !found; ++i)
      if (EqualsNoCase(p.files[i].name, row.cabinet)) found = i;
    if (!found) {
      report->problems.push_back(name + ": its Media table (row " + std::to_string(row.diskId) +
                                 ") names the cabinet \"" + row.cabinet +
                                 "\", which the setup does not carry for it: msiexec would fail");
      continue;
    }
    if (held[found].empty() &&
        !ReadVerifiedRecord(source, false, p.files[found].id, key, &held[found], &error,
                            &p.files[found])) {
      report->problems.push_back(name + ": cabinet \"" + row.cabinet + "\": " + error);
      continue;
    }
    cabinets.push_back({row.cabinet, "", &held[found]});
  }
  if (!CheckCabinetContents(name, facts, cabinets, &error)) report->problems.push_back(error);
}
}  // namespace

void CheckInstall(const Bytes& file, const std::vector<FoundSource>& sources, EVP_PKEY* key,
                  bool requireFallback, InstallReport* report) {
  const std::string tooLarge = SignatureSizeProblem(file);
  if (!tooLarge.empty()) report->problems.push_back(tooLarge);

  std::vector<UnpackPackage> plan;
  std::string error;
  if (!PlanUnpack(sources, &plan, &error)) {
    report->problems.push_back(error);
    return;
  }
  report->packages = plan.size();
  std::vector<CoveragePackage> packages;
  bool x64 = false;
  for (const UnpackPackage& p : plan) {
    packages.push_back({static_cast<int32_t>(p.source), p.id,
                        p.architecture + "\\" + p.languages + "\\" + p.productCode + "\\" + p.productName});
    x64 = x64 || EqualsNoCase(p.architecture, "x64");
  }
  report->coverage = ComputeCoverage(packages);
  report->coverageKnown = true;
  const std::string gap = CoverageWarning(report->coverage);
  if (!x64)
    report->problems.push_back("no package is for x64: the 64-bit stub chooses none and exits 13");
  else if (!gap.empty())
    (requireFallback ? report->problems : report->warnings).push_back(gap);
  for (const UnpackPackage& p : plan) CheckPackageCabinets(sources, p, key, report);
}

std::string InstallVerdict(const InstallReport& report, size_t recordProblems) {
  std::vector<std::string> why = report.problems;
  if (recordProblems)
    why.push_back(std::to_string(recordProblems) + " record problem(s) (listed above)");
  if (!why.empty()) {
    std::string text = "the setup will NOT install: ";
    for (size_t i = 0; i < why.size(); ++i) text += (i ? "; " : "") + why[i];
    return text;
  }
  std::string text = "the setup will install: " + std::to_string(report.packages) +
                     " package(s), every record verified, the payload where the stub reads it, " +
                     (report.unchecked == 0
                          ? std::string("every cabinet holding its MSI's files")
                          : std::to_string(report.unchecked) +
                                " package(s) whose MSI could not be read not checked for their "
                                "cabinets' files");
  if (!report.warnings.empty())
    text += "; but " + std::to_string(report.coverage.uncovered.size()) +
            " language(s) get no package (see the warning)";
  else
    text += ", a package for every language";
  return text;
}
