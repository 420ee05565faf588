// The command line of msistub-pack's commands: options, flags and positional arguments, and
// the two ways a command ends in error.
//
// ParseArgs splits argv[first..] into options with a value (`--name value` or
// `--name=value`, for the names in `valued`), flags (the names in `flags`) and positional
// arguments; "--" ends the options, "-h"/"--help" sets `help`, and -o, -k, -q, -v stand for
// --out, --key, --quiet, --verbose. An unknown option, a missing value or a value on a flag
// fails with the message to pass to Usage. Usage prints a usage error and returns 2, Fail a
// failure and returns 1, both as "msistub-pack: error: ..." on stderr. A command's steps
// return CONTINUE to go on, or the exit code the command ends with (help: 0, Usage, Fail).
#pragma once
#include <openssl/evp.h>

#include <string>
#include <utility>
#include <vector>

// What a step of a command returns when the command goes on (never an exit code).
enum : int { CONTINUE = -1 };

// The command line split by ParseArgs.
struct Args {
  std::vector<std::pair<std::string, std::string>> options;
  std::vector<std::string> flags;
  std::vector<std::string> positional;
  bool help = false;
};

// Prints the usage error and the hint to the command's --help on stderr; returns 2.
// `command` names the command in the hint line ("Try 'msistub-pack build --help'."); null
// for the tool as a whole.
int Usage(const char* command, const std::string& message);
// Prints "msistub-pack: error: <message>" on stderr; returns 1.
int Fail(const std::string& message);
// Splits argv[first..] (see above); false with the message for Usage.
bool ParseArgs(int argc, char** argv, int first, const std::vector<std::string>& valued,
               const std::vector<std::string>& flags, Args* args, std::string* error);
// Every value given for the option, in order.
std::vector<std::string> All(const Args& args, const char* name);
// The one value of an option that may appear at most once; "" when absent.
bool One(const Args& args, const char* name, std::string* value, std::string* error);
// Whether the flag was given.
bool Has(const Args& args, const char* flag);

// Owns a key loaded for a command; frees it on scope exit.
struct KeyHolder {
  EVP_PKEY* key = nullptr;
  KeyHolder() = default;
  KeyHolder(const KeyHolder&) = delete;
  KeyHolder& operator=(const KeyHolder&) = delete;
  ~KeyHolder() { EVP_PKEY_free(key); }
};
