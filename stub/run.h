// The installation run: the middle of the bootstrap sequence, after the payload sources are
// registered and the strings loaded.
//
// RunInstallation takes the sequence's values (the registered payload sources among them)
// and returns the run's Status; the failing
// step records in `failure` how the final report shows it (see report.h). It runs
// only after every earlier step succeeded, on the GUI thread. Each step appends its line to
// `log` (see log.h; a closed log writes nothing).
#pragma once
#include <cstdint>

#include "common/status.h"
#include "manifest/select.h"
#include "payload/sources.h"
#include "stub/log.h"
#include "stub/report.h"

Status RunInstallation(HINSTANCE instance, int showCommand, WCHAR** args, int32_t argCount,
                       const SourceTable* sources, const SelectionContext* context, const StubStrings* strings,
                       RunFailure* failure, RunLog* log);
