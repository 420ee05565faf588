// The command line of msistub-pack's commands: options, flags and positional arguments, and
// the two ways a command ends in error.
//
// ParseArgs splits argv[first..] into options with a value (`--name value` or
// `--name=value`, for the names in `valued`), flags (the names in `flags`) and positional
// arguments; "--" ends the options, "-h"/"--help" sets `help`, and -o, -k, -q, -v stand for
// --out, --key, --quiet, --verbose. Every command takes the flags --quiet and --verbose
// (giving both is an error). An unknown option, a missing value or a value on a flag
// fails with the message to pass to Usage. Usage prints a usage error and returns 2, Fail a
// failure and returns 1, both as "msistub-pack: error: ..." on stderr. A command's steps
// return CONTINUE to go on, or the exit code the command ends with (help: 0, Usage, Fail).
#pragma once
#include <openssl/evp.h>

#include <string>
#include <utility>
#include <vector>

// One option of a command, declared once: the parser accepts it and the help lists it from
// this declaration. `value` names its value ("FILE"); null for a flag. `help` may span lines
// ('\n'); the help output indents them under the first.
struct Option {
  const char* name;   // "--key"
  const char* value;  // "PUBLIC", or null for a flag
  const char* help;
};

// A command's command line: what its help shows and what its parser accepts. Every command
// also takes -q/--quiet, -v/--verbose and -h/--help, listed after its own options.
struct CommandLine {
  const char* name;      // "make"
  const char* synopsis;  // the usage line after the command's name
  const char* about;     // the text between the usage line and the options ("" for none)
  std::vector<Option> options;
  const char* after;     // the text after the options ("" for none)
};

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
// ParseArgs over the options `line` declares.
bool ParseCommand(int argc, char** argv, const CommandLine& line, Args* args, std::string* error);
// The command's --help text, generated from `line`.
std::string CommandHelp(const CommandLine& line);
// Every value given for the option, in order.
std::vector<std::string> All(const Args& args, const char* name);
// The one value of an option that may appear at most once; "" when absent.
bool One(const Args& args, const char* name, std::string* value, std::string* error);
// Whether the flag was given.
bool Has(const Args& args, const char* flag);
// The key file given as --key or as `alias` ("--public-key", "--private-key"): "" when
// neither, an error when both.
bool OneKey(const Args& args, const char* alias, std::string* path, std::string* error);

// Owns a key loaded for a command; frees it on scope exit.
struct KeyHolder {
  EVP_PKEY* key = nullptr;
  KeyHolder() = default;
  KeyHolder(const KeyHolder&) = delete;
  KeyHolder& operator=(const KeyHolder&) = delete;
  ~KeyHolder() { EVP_PKEY_free(key); }
};
