// The installation run (see run.h).
//
// Order: taskbar progress, package selection, file set (the plan: nothing decoded), installer
// lookup, extraction folder (temporary files), writing (records streamed and verified under
// the progress dialog), renaming the verified files to their names and holding them, launch,
// and the clean-up, which runs on every path. The first failure skips the remaining main
// steps; the step that fails records how it is reported, and the final report decides what
// is shown. The run's state is one record, RunState, passed down from step to step.
#include "stub/run.h"

#include <cstdio>
#include <cstring>

#include "extract/cleanup.h"
#include "extract/folder.h"
#include "extract/hold.h"
#include "extract/item.h"
#include "extract/progress.h"
#include "extract/stream.h"
#include "manifest/fileset.h"
#include "manifest/select.h"
#include "stub/installer.h"
#include "stub/report.h"

namespace {
// A manifest entry without a digest field binds nothing: refused unless this stub is built
// for payloads made by other tools to the plain layout.
#ifdef MSISTUB_ACCEPT_UNBOUND_MANIFESTS
const uint32_t kFileSetFlags = 0;
#else
const uint32_t kFileSetFlags = FILESET_REQUIRE_DIGESTS;
#endif
const char kWindowClass[] = "MSI_STUB_WINDOW_CLASS_NAME";
const char kDialogFont[] = "MS Sans Serif";

// Everything the run works with, from the first step to the clean-up.
struct RunState {
  const SourceTable* sources;
  PackageSelection selection;
  ExtractFile* files;  // one per file of the set (owned)
  int32_t fileCount;
  ExtractJob job;
  ExtractionHold hold;
  char folder[FOLDER_PATH_SIZE];
  char installerPath[INSTALLER_PATH_SIZE];
  WCHAR commandLine[COMMAND_LINE_SIZE];
  uint32_t installerExitCode;
};

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
             "verified, %s; temporary files deleted", launched ? "after the installer step" : "no installer ran",
             decision.registered ? "is" : "is not", decision.keepFiles ? "keeping" : "deleting",
             folderFate);
}

// 3. The package for the processor and the user's language.
Status ChoosePackage(RunState* run, const SelectionContext* context, RunLog* log) {
  const Status status = SelectPackage(context, &run->selection);
  const PackageSelection& s = run->selection;
  if (StatusOk(status))
    RunLogLine(log, "package", "%s %s \"%s\" (languages %s), source %d entry %u, chosen in pass %u "
               "(%s) for LCID %u; user LCID %u", s.architecture, s.productCode, s.productName,
               s.languages, s.sourceIndex, s.entryId, s.pass, PassName(s.pass), s.lcid,
               context->userLcid);
  else
    RunLogLine(log, "package", "none chosen for user LCID %u (%s; tried the exact language, "
               "the primary language%s) (code %u, line %u)", context->userLcid,
               context->is64Bit ? "x64" : "Intel",
               context->userLcid == FALLBACK_LCID ? "" : " and 1033", StatusCode(status),
               StatusLine(status));
  return status;
}

// 4. The file set: main.msi, then the package's cabinets, planned and checked as far as
// that is possible without decoding.
Status PlanFiles(RunState* run, RunLog* log) {
  FileSetItem* set = nullptr;
  int32_t count = 0;
  Status status = AssembleFileSet(run->sources, &run->selection, &set, &count, kFileSetFlags);
  if (StatusOk(status)) {
    uint64_t bytes = 0;
    uint32_t indexed = 0;
    for (int32_t i = 0; i < count; ++i) {
      bytes += PlannedBytes(&set[i]);
      if (set[i].segments.count) ++indexed;
    }
    RunLogLine(log, "file set", "%d file(s), %llu bytes, %u with a segment index; planned and "
               "checked, verified while written", count, static_cast<unsigned long long>(bytes),
               indexed);
    status = NewExtractFiles(set, count, &run->files);
    if (StatusOk(status)) run->fileCount = count;
  } else {
    RunLogLine(log, "file set", "failed (code %u, line %u)", StatusCode(status),
               StatusLine(status));
  }
  FreeFileSet(set, count);
  return status;
}

// 6. The extraction folder and the temporary files; files already there with the planned
// digest are held from here on.
Status PrepareFolder(RunState* run, const StubStrings* strings, bool mayBrowse,
                     RunFailure* failure, RunLog* log) {
  const Status status =
      PrepareExtractionFolder(run->files, run->fileCount, run->selection.productCode,
                              strings->browseTitle, mayBrowse, run->folder, &run->hold);
  if (!StatusOk(status)) {
    // A cancelled browse dialog was the user's choice.
    SetRunFailure(failure,
                  StatusCode(status) == ERROR_CANCELLED ? REPORT_NO_BOX : REPORT_SYSTEM_TEXT,
                  nullptr);
    RunLogLine(log, "folder", "none usable (code %u, line %u)", StatusCode(status),
               StatusLine(status));
    return status;
  }
  RunLogLine(log, "folder", "%s", run->folder);
  for (int32_t i = 0; i < run->fileCount; ++i) {
    const ExtractFile* file = &run->files[i];
    if (file->state == FILE_REUSED)
      RunLogLine(log, "file", "%s: already there with the planned digest and size, held",
                 file->path);
    else
      RunLogLine(log, "file", "%s: to be written as %s (%llu bytes)%s", file->path,
                 file->stagingPath, static_cast<unsigned long long>(PlannedBytes(&file->plan)),
                 file->replaces ? ", replacing an earlier file once verified" : "");
  }
  return status;
}

// 7. The files, streamed and verified under the progress dialog. Write errors were offered
// for retry in the dialog's own boxes; a bad record is a corrupt payload; a dialog that could
// not be created or set up ends without a box as well.
Status WriteFiles(RunState* run, HINSTANCE instance, TaskbarProgress* taskbar,
                  RunFailure* failure, RunLog* log) {
  InitExtractJob(&run->job, run->sources, run->files, run->fileCount);
  Status status = ShowProgressDialog(instance, &run->job, kWindowClass,
                                     run->selection.productName, kDialogFont, taskbar);
  StopExtractJob(&run->job);
  if (StatusOk(status)) return status;
  const int32_t at = run->job.position;
  RunLogLine(log, "file", "%s: writing failed (code %u, line %u)",
             at >= 0 && at < run->fileCount ? run->files[at].path : "?", StatusCode(status),
             StatusLine(status));
  if (!StatusOk(run->job.failure)) {
    // A corrupt stream or index, a wrong digest or signature, or the payload unreadable.
    SetRunFailure(failure, REPORT_CORRUPTED, nullptr);
    return STATUS(ERROR_INVALID_DATA);
  }
  SetRunFailure(failure, REPORT_NO_BOX, nullptr);
  return STATUS(ERROR_WRITE_FAULT);
}

// 7b. Every verified file renamed to its name, read back and held, so that the installer
// reads exactly the verified bytes.
Status PublishFiles(RunState* run, RunFailure* failure, RunLog* log) {
  int32_t failed = -1;
  const Status status = PublishVerifiedFiles(run->files, run->fileCount, &failed);
  for (int32_t i = 0; i < run->fileCount && (StatusOk(status) || i < failed); ++i)
    if (run->files[i].state == FILE_HELD)
      RunLogLine(log, "file", "%s: written as %s (%llu bytes), verified, renamed, held",
                 run->files[i].path, run->files[i].stagingPath,
                 static_cast<unsigned long long>(run->files[i].writtenBytes));
  if (!StatusOk(status)) {
    SetRunFailure(failure, REPORT_SYSTEM_TEXT, failed >= 0 ? run->files[failed].path : nullptr);
    RunLogLine(log, "file", "%s: not renamed or held (code %u, line %u)",
               failed >= 0 ? run->files[failed].path : "?", StatusCode(status),
               StatusLine(status));
  }
  return status;
}

// 8. Builds the installer's command line and runs it.
Status Launch(RunState* run, WCHAR** args, int32_t argCount, int showCommand,
              RunFailure* failure, RunLog* log) {
  Status status = BuildInstallerCommandLine(run->installerPath, run->files[0].path, args,
                                            argCount, run->commandLine);
  if (!StatusOk(status)) {
    // Nothing is started with a line that lost arguments or a path.
    SetRunFailure(failure, REPORT_COMMAND_LINE, nullptr);
    char why[MESSAGE_TEXT_SIZE];
    DescribeCommandLineFailure(status, why, sizeof why);
    RunLogLine(log, "installer", "not started: %s", why);
    return status;
  }
  RunLogWide(log, "installer", "command line: ", run->commandLine);
  bool started = false;
  status = RunInstaller(run->installerPath, run->commandLine, showCommand,
                        &run->installerExitCode, &started);
  if (started)
    RunLogLine(log, "installer", "exit code %u (0x%08X)", run->installerExitCode,
               run->installerExitCode);
  else
    RunLogLine(log, "installer", "not started (code %u, line %u)", StatusCode(status),
               StatusLine(status));
  if (StatusOk(status)) return status;
  if (started) {
    SetRunFailure(failure, REPORT_NO_BOX, nullptr);  // the installer has shown its own
  } else {
    SetRunFailure(failure, REPORT_SYSTEM_TEXT, run->installerPath);
  }
  return status;
}
}  // namespace

Status RunInstallation(HINSTANCE instance, int showCommand, WCHAR** args, int32_t argCount,
                       const SourceTable* sources, const SelectionContext* context,
                       const StubStrings* strings, RunFailure* failure, RunLog* log) {
  // 1. Taskbar progress; none is a valid result. The run owns it and releases it last.
  TaskbarProgress* taskbar = TaskbarProgressCreate();

  // 2. The run's record (large: on the heap).
  auto* run = static_cast<RunState*>(LocalAlloc(LMEM_ZEROINIT, sizeof(RunState)));
  if (!run) {
    TaskbarProgressRelease(taskbar);
    SetRunFailure(failure, REPORT_CONTEXT, nullptr);
    return STATUS_FROM_LAST_ERROR(ERROR_NOT_ENOUGH_MEMORY);
  }
  run->sources = sources;
  run->installerExitCode = ERROR_INSTALL_SERVICE_FAILURE;

  // 3. The package. 4. The plan of its files. Whatever the cause (no package, a malformed
  // manifest, a missing record, a field that cannot be right), the user sees one message.
  Status status = ChoosePackage(run, context, log);
  if (StatusOk(status)) status = PlanFiles(run, log);
  if (!StatusOk(status)) {
    SetRunFailure(failure, REPORT_CORRUPTED, nullptr);
    status = STATUS(ERROR_INVALID_DATA);
  }

  // 5. The installer, before anything is written.
  if (StatusOk(status)) {
    status = FindInstaller(run->installerPath);
    if (StatusOk(status)) {
      RunLogLine(log, "installer", "%s", run->installerPath);
    } else {
      SetRunFailure(failure, REPORT_INSTALLER_REQUIRED, nullptr);
      RunLogLine(log, "installer", "not found (code %u)", StatusCode(status));
    }
  }

  // 6. The folder; a silent run never waits on the browse dialog. 7. The files.
  if (StatusOk(status))
    status = PrepareFolder(run, strings, !IsQuietCommandLine(args, argCount), failure, log);
  if (StatusOk(status)) status = WriteFiles(run, instance, taskbar, failure, log);
  if (StatusOk(status)) status = PublishFiles(run, failure, log);

  // 8. Windows Installer, with everything held until it has ended.
  const bool launching = StatusOk(status);
  if (launching) status = Launch(run, args, argCount, showCommand, failure, log);

  // 9. Clean-up, whatever happened: temporary files always go, the rest by the policy.
  StopExtractJob(&run->job);
  const CleanUpDecision decision =
      CleanUpExtraction(run->files, run->fileCount, run->installerExitCode,
                        run->selection.productCode, run->folder, context->is64Bit, &run->hold);
  LogCleanUpDecision(log, decision, launching, run->folder);
  FreeExtractFiles(run->files, run->fileCount);
  LocalFree(run);
  TaskbarProgressRelease(taskbar);
  return status;
}
