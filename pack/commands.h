// The commands of msistub-pack and the table main() dispatches over.
//
// Each command runs with the whole argv (its options start at argv[2]) and returns the
// tool's exit code: 0 success, 1 failure, 2 usage error; it prints its own --help.
// kCommands lists them in the order the tool's usage shows them, each with its one-line
// summary. Every --json document carries kJsonSchema as its "schema" member.
#pragma once
#include <cstddef>

#include "pack/json.h"

// One command of the tool.
struct Command {
  const char* name;
  const char* summary;  // one line for the tool's usage
  int (*run)(int argc, char** argv);
};

// Every command, in the order of the tool's usage (main.cpp).
extern const Command kCommands[];

// The version of every JSON object's layout; raised when a member changes meaning or goes.
enum : int { kJsonSchema = 1 };

// Opens a command's --json document with its "schema" member.
inline void BeginJsonDocument(JsonWriter* json) {
  JsonObject(json);
  JsonField(json, "schema");
  JsonNumber(json, kJsonSchema);
}

// The commands' run functions, each returning the exit code.
int RunKeygen(int argc, char** argv);   // a new key pair (cmd_keygen.cpp)
int RunMake(int argc, char** argv);     // a setup from MSI files in one step (cmd_build.cpp)
int RunBuild(int argc, char** argv);    // a container, written or attached (cmd_build.cpp)
int RunAttach(int argc, char** argv);   // containers into a stub (cmd_attach.cpp)
int RunInspect(int argc, char** argv);  // sources, records, entries (cmd_inspect.cpp)
int RunVerify(int argc, char** argv);   // every record against a key (cmd_inspect.cpp)
int RunSelect(int argc, char** argv);   // the stub's choice for a locale (cmd_select.cpp)
int RunExtract(int argc, char** argv);  // the packages into a folder (cmd_extract.cpp)
