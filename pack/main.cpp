// msistub-pack: makes payload keys, builds signed payload containers, attaches them to a stub,
// and inspects, verifies and tries setups. Exit codes: 0 success, 1 failure, 2 usage error.
// Messages go to stderr ("msistub-pack: error: ..."); listings and JSON to stdout.
// main() dispatches over the table of commands (commands.h); each lives in its cmd_*.cpp.
#include <cstdio>
#include <string>

#include "pack/cli.h"
#include "pack/commands.h"

const Command kCommands[] = {
    {"keygen", "make a payload signing key pair", RunKeygen},
    {"make", "make a signed setup from a signed stub, a key and MSI files, in one step", RunMake},
    {"build", "build a signed container from MSIs and cabinets (and attach it to a stub)", RunBuild},
    {"attach", "put containers into a stub executable", RunAttach},
    {"inspect", "list the sources, records and manifest entries of a setup or container", RunInspect},
    {"verify", "check every record of a setup or container against a public key", RunVerify},
    {"select", "show which package the stub would choose for a language", RunSelect},
    {"extract", "take the packages out of a setup (verified) without running it", RunExtract},
};

namespace {
const char kUsageTail[] =
    "\n"
    "'msistub-pack <command> --help' describes a command's options; 'msistub-pack --version'\n"
    "prints the version. Short forms: -o (--out), -k (--key), -q (--quiet), -v (--verbose).\n"
    "--json (inspect, verify, select, make, build, attach, extract) prints one JSON object with\n"
    "a \"schema\" number on stdout instead of the text.\n"
    "\n"
    "exit codes: 0 success; 1 failure (the message on stderr says what went wrong and what to\n"
    "do; no file is left half-written, no input is changed); 2 usage error (unknown option,\n"
    "missing or contradicting ones).\n";

void PrintUsage(FILE* to) {
  std::fputs("usage: msistub-pack <command> [options]\n\ncommands:\n", to);
  for (const Command& c : kCommands) std::fprintf(to, "  %-8s %s\n", c.name, c.summary);
  std::fputs(kUsageTail, to);
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage(stderr);
    return 2;
  }
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    PrintUsage(stdout);
    return 0;
  }
  if (command == "--version") {
    std::printf("msistub-pack %s\n", MSISTUB_PACK_VERSION);
    return 0;
  }
  for (const Command& c : kCommands)
    if (command == c.name) return c.run(argc, argv);
  return Usage(nullptr, "unknown command '" + command + "'");
}
