// The installation run (see run.h).
//
// NOT YET WRITTEN: package selection, file set, installer lookup, extraction and launch are
// still to come. Until then the run does nothing and reports success, so a stub with a valid
// payload ends with code 0 without installing anything.
#include "stub/run.h"

Status RunInstallation(HINSTANCE, int, WCHAR**, int32_t, const StubStrings*, char*, uint32_t*) {
  return STATUS(0);
}
