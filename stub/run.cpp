// The installation run (see run.h).
//
// Order: taskbar progress, package selection, file set, installer lookup, extraction folder,
// writing (under the progress dialog), launch, and the clean-up, which runs on every path.
// The first failure skips the remaining main steps; the step that fails records how it is
// reported, and the final report decides what is shown.
#include "stub/run.h"

#include <cstdio>
#include <cstring>

#include "extract/folder.h"
#include "extract/hold.h"
#include "extract/item.h"
#include "extract/progress.h"
#include "extract/writer.h"
#include "manifest/fileset.h"
#include "manifest/select.h"
#include "payload/sources.h"
#include "stub/installer.h"
#include "stub/report.h"

namespace {
// A manifest entry without a digest field binds nothing: refused unless this stub is built
// for payloads made by other tools to the plain layout. Nothing reads a record again once the
// file set holds it, so each record's stored data goes as soon as it has decoded.
#ifdef MSISTUB_ACCEPT_UNBOUND_MANIFESTS
const uint32_t kFileSetFlags = FILESET_RELEASE_RECORDS;
#else
const uint32_t kFileSetFlags = FILESET_REQUIRE_DIGESTS | FILESET_RELEASE_RECORDS;
#endif
const char kWindowClass[] = "MSI_STUB_WINDOW_CLASS_NAME";
const char kDialogFont[] = "MS Sans Serif";

// Writes every item under the progress dialog. Write errors were offered for retry in the
// dialog's own boxes; a dialog that could not be created or set up ends without a box as well.
Status WriteFiles(HINSTANCE instance, ExtractJob* job, const PackageSelection* selection,
                  TaskbarProgress* taskbar, RunFailure* failure) {
  const Status shown = ShowProgressDialog(instance, job, kWindowClass, selection->productName,
                                         kDialogFont, taskbar);
  if (StatusOk(shown)) return shown;
  SetRunFailure(failure, REPORT_NO_BOX, nullptr);
  return STATUS(ERROR_WRITE_FAULT);
}

const char* PassName(uint32_t pass) {
  switch (pass) {
    case SELECTION_PASS_EXACT: return "exact language";
    case SELECTION_PASS_PRIMARY: return "primary language";
    case SELECTION_PASS_FALLBACK: return "fallback 1033";
    default: return "none";
  }
}

// The clean-up's decision, for the log.
void LogCleanUpDecision(RunLog* log, const CleanUpDecision& decision, bool launched,
                        const char* folder) {
  const char* folderFate = !folder[0]           ? "no folder"
                           : decision.registered ? "keeping the folder"
                                                 : "removing the folder if empty";
  RunLogLine(log, "clean-up", "%s; product %s registered: %s the files this run wrote or "
             "verified, %s", launched ? "after the installer step" : "no installer ran",
             decision.registered ? "is" : "is not", decision.keepFiles ? "keeping" : "deleting",
             folderFate);
}

// Builds the installer's command line and runs it.
Status Launch(const char* installerPath, const ExtractJob* job, WCHAR** args, int32_t argCount,
              int showCommand, uint32_t* installerExitCode, RunFailure* failure, RunLog* log) {
  static WCHAR commandLine[COMMAND_LINE_SIZE];
  Status status =
      BuildInstallerCommandLine(installerPath, job->items[0].path, args, argCount, commandLine);
  if (!StatusOk(status)) {
    // Nothing is started with a line that lost arguments or a path.
    SetRunFailure(failure, REPORT_COMMAND_LINE, nullptr);
    char why[MESSAGE_TEXT_SIZE];
    DescribeCommandLineFailure(status, why, sizeof why);
    RunLogLine(log, "installer", "not started: %s", why);
    return status;
  }
  RunLogWide(log, "installer", "command line: ", commandLine);
  bool started = false;
  status = RunInstaller(installerPath, commandLine, showCommand, installerExitCode, &started);
  if (started)
    RunLogLine(log, "installer", "exit code %u (0x%08X)", *installerExitCode, *installerExitCode);
  else
    RunLogLine(log, "installer", "not started (code %u, line %u)", StatusCode(status),
               StatusLine(status));
  if (StatusOk(status)) return status;
  if (started) {
    SetRunFailure(failure, REPORT_NO_BOX, nullptr);  // the installer has shown its own
  } else {
    SetRunFailure(failure, REPORT_SYSTEM_TEXT, installerPath);
  }
  return status;
}
}  // namespace

Status RunInstallation(HINSTANCE instance, int showCommand, WCHAR** args, int32_t argCount,
                       const SelectionContext* context, const StubStrings* strings,
                       RunFailure* failure, RunLog* log) {
  // 1. Taskbar progress; none is a valid result. The run owns it and releases it last.
  TaskbarProgress* taskbar = TaskbarProgressCreate();

  // 2. The records of the main steps.
  static PackageSelection selection;
  static FileSetItem* fileSet;
  static int32_t fileSetCount;
  static ExtractJob job;
  static char folder[FOLDER_PATH_SIZE];
  static char installerPath[INSTALLER_PATH_SIZE];
  static ExtractionHold hold;
  std::memset(&hold, 0, sizeof hold);
  std::memset(&selection, 0, sizeof selection);
  std::memset(&job, 0, sizeof job);
  fileSet = nullptr;
  fileSetCount = 0;
  job.position = -1;
  job.stepSize = EXTRACT_STEP_SIZE;
  folder[0] = '\0';
  installerPath[0] = '\0';
  uint32_t installerExitCode = ERROR_INSTALL_SERVICE_FAILURE;
  Status status = STATUS(ERROR_SUCCESS);

  // 3. The package for the processor and the user's language. 4. The file set: main.msi,
  // then the package's cabinets, all decoded and verified. Whatever the cause (no package, a
  // malformed manifest, a bad signature or digest, no memory), the user sees one message.
  status = SelectPackage(context, &selection);
  if (StatusOk(status))
    RunLogLine(log, "package", "%s %s \"%s\" (languages %s), source %d entry %u, chosen in pass %u "
               "(%s) for LCID %u; user LCID %u", selection.architecture, selection.productCode,
               selection.productName, selection.languages, selection.sourceIndex,
               selection.entryId, selection.pass, PassName(selection.pass), selection.lcid,
               context->userLcid);
  else
    RunLogLine(log, "package", "none chosen for user LCID %u (%s; tried the exact language, "
               "the primary language%s) (code %u, line %u)", context->userLcid,
               context->is64Bit ? "x64" : "Intel",
               context->userLcid == FALLBACK_LCID ? "" : " and 1033", StatusCode(status),
               StatusLine(status));
  if (StatusOk(status)) {
    status = AssembleFileSet(&selection, &fileSet, &fileSetCount, kFileSetFlags);
    if (StatusOk(status))
      RunLogLine(log, "file set", "%d file(s) decoded and verified", fileSetCount);
    else
      RunLogLine(log, "file set", "failed (code %u, line %u)", StatusCode(status),
                 StatusLine(status));
  }
  if (StatusOk(status)) {
    status = NewExtractItems(fileSet, fileSetCount, &job.items);
    if (StatusOk(status)) job.itemCount = fileSetCount;
  }
  if (!StatusOk(status)) {
    SetRunFailure(failure, REPORT_CORRUPTED, nullptr);
    status = STATUS(ERROR_INVALID_DATA);
  }

  // 5. The installer, before anything is written.
  if (StatusOk(status)) {
    status = FindInstaller(installerPath);
    if (!StatusOk(status)) SetRunFailure(failure, REPORT_INSTALLER_REQUIRED, nullptr);
    if (StatusOk(status))
      RunLogLine(log, "installer", "%s", installerPath);
    else
      RunLogLine(log, "installer", "not found (code %u)", StatusCode(status));
  }

  // 6. The extraction folder and the output files; files already there with the right bytes
  // are held from here on.
  if (StatusOk(status)) {
    // A silent run never waits on the browse dialog.
    status = PrepareExtractionFolder(job.items, job.itemCount, selection.productCode,
                                     strings->browseTitle, !IsQuietCommandLine(args, argCount),
                                     folder, &hold);
    // A cancelled browse dialog was the user's choice.
    if (!StatusOk(status))
      SetRunFailure(failure,
                    StatusCode(status) == ERROR_CANCELLED ? REPORT_NO_BOX : REPORT_SYSTEM_TEXT,
                    nullptr);
    if (StatusOk(status)) {
      RunLogLine(log, "folder", "%s", folder);
      for (int32_t i = 0; i < job.itemCount; ++i)
        RunLogLine(log, "file", "%s: %s (%u bytes)", job.items[i].path,
                   job.items[i].file ? "created, to be written"
                                     : "already there with the verified bytes, held",
                   job.items[i].content->size);
    } else {
      RunLogLine(log, "folder", "none usable (code %u, line %u)", StatusCode(status),
                 StatusLine(status));
    }
  }

  // 7. The files, then every written file held and checked on disk, so that the installer
  // reads exactly the verified bytes.
  if (StatusOk(status)) {
    status = WriteFiles(instance, &job, &selection, taskbar, failure);
    if (!StatusOk(status))
      RunLogLine(log, "file", "writing failed (code %u, line %u)", StatusCode(status),
                 StatusLine(status));
  }
  if (StatusOk(status)) {
    int32_t failed = -1;
    status = HoldWrittenFiles(job.items, job.itemCount, &hold, &failed);
    if (!StatusOk(status))
      SetRunFailure(failure, REPORT_SYSTEM_TEXT, failed >= 0 ? job.items[failed].path : nullptr);
    for (int32_t i = 0; i < job.itemCount && (StatusOk(status) || i < failed); ++i)
      RunLogLine(log, "file", "%s: on disk, verified and held", job.items[i].path);
    if (!StatusOk(status))
      RunLogLine(log, "file", "%s: not held (code %u, line %u)",
                 failed >= 0 ? job.items[failed].path : "?", StatusCode(status),
                 StatusLine(status));
  }

  // 8. Windows Installer, with everything held until it has ended.
  const bool launching = StatusOk(status);
  if (launching)
    status = Launch(installerPath, &job, args, argCount, showCommand, &installerExitCode,
                    failure, log);

  // 9. Clean-up, whatever happened: the hold is released first.
  const CleanUpDecision decision =
      CleanUpExtraction(job.items, job.itemCount, installerExitCode, selection.productCode,
                        folder, context->is64Bit, &hold);
  LogCleanUpDecision(log, decision, launching, folder);
  job.items = nullptr;
  job.itemCount = 0;
  FreeFileSet(fileSet, fileSetCount);
  fileSet = nullptr;
  fileSetCount = 0;
  TaskbarProgressRelease(taskbar);
  return status;
}
