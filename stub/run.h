// The installation run: the middle of the bootstrap sequence, after the payload sources are
// registered and the strings loaded.
//
// RunInstallation takes the sequence's values and returns the run's Status, with
// `messageText` (MESSAGE_TEXT_SIZE bytes) and `*suppress` as its steps leave them. It runs
// only after every earlier step succeeded, on the GUI thread. Each step appends its line to
// `log` (see log.h; a closed log writes nothing).
#pragma once
#include <cstdint>

#include "common/status.h"
#include "manifest/select.h"
#include "stub/log.h"

enum : uint32_t { STRING_INSTALLER_REQUIRED_SIZE = 512, STRING_SIZE = 256 };

// The stub's string resources 100 to 102 that the run shows; a string that did not load is
// empty. (String 103 stays in the table; no step shows it.)
struct StubStrings {
  char installerRequired[STRING_INSTALLER_REQUIRED_SIZE];  // 100
  char corruptedOrUnsupported[STRING_SIZE];                // 101
  char browseTitle[STRING_SIZE];                           // 102
};

Status RunInstallation(HINSTANCE instance, int showCommand, WCHAR** args, int32_t argCount,
                       const SelectionContext* context, const StubStrings* strings,
                       char* messageText, uint32_t* suppress, RunLog* log);
