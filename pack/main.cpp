// msistub-pack: makes payload keys, builds signed payload containers, attaches them to a stub,
// and inspects, verifies and tries setups. Exit codes: 0 success, 1 failure, 2 usage error.
// Messages go to stderr ("msistub-pack: error: ..."); listings and JSON to stdout.
// main() dispatches over the table of commands (commands.h); each lives in its cmd_*.cpp.
// "help CMD" runs CMD --help. With --json, a command that fails without printing its own
// JSON document gets one printed for it ({"schema", "error", "exitCode"}) on stdout.
#include <cstdio>
#include <string>
#ifdef _WIN32
#include <io.h>
#define dup _dup
#define dup2 _dup2
#define fileno _fileno
#define close _close
#else
#include <unistd.h>
#endif

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
    "'msistub-pack <command> --help' (or 'msistub-pack help <command>') describes a command's\n"
    "options; 'msistub-pack --version' prints the version. Short forms: -o (--out), -k (--key),\n"
    "-q (--quiet), -v (--verbose); --quiet and --verbose work on every command.\n"
    "--json (inspect, verify, select, make, build, attach, extract) prints one JSON object with\n"
    "a \"schema\" number on stdout instead of the text; a failure then prints\n"
    "{\"schema\", \"error\", \"exitCode\"} there too (the message also goes to stderr).\n"
    "\n"
    "exit codes: 0 success; 1 failure (the message on stderr says what went wrong and what to\n"
    "do; no file is left half-written, no input is changed); 2 usage error (unknown option,\n"
    "missing or contradicting ones).\n";

void PrintUsage(FILE* to) {
  std::fputs("usage: msistub-pack <command> [options]\n\ncommands:\n", to);
  for (const Command& c : kCommands) std::fprintf(to, "  %-8s %s\n", c.name, c.summary);
  std::fputs(kUsageTail, to);
}

// Whether the command line asks for JSON (--json before any "--").
bool WantsJson(int argc, char** argv) {
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--") return false;
    if (a == "--json") return true;
  }
  return false;
}

// The text of a captured stream, from its start.
std::string Captured(FILE* f) {
  std::string text;
  std::fflush(f);
  std::rewind(f);
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), f)) > 0) text.append(buffer, n);
  return text;
}

// Runs a command with --json: its stdout and stderr are held until it ends; when it fails
// without having printed a JSON document, one is printed for it ({"schema", "error",
// "exitCode"}, the error being its last "msistub-pack: error:" message), so a pipeline that
// reads stdout always gets one object. Its stderr goes on to stderr as it was.
int RunWithJsonErrors(const Command& c, int argc, char** argv) {
  FILE* out = std::tmpfile();
  FILE* err = std::tmpfile();
  const int savedOut = out && err ? dup(1) : -1;
  const int savedErr = savedOut >= 0 ? dup(2) : -1;
  if (savedErr < 0) {
    if (savedOut >= 0) close(savedOut);
    if (out) std::fclose(out);
    if (err) std::fclose(err);
    return c.run(argc, argv);
  }
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(fileno(out), 1);
  dup2(fileno(err), 2);
  const int rc = c.run(argc, argv);
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(savedOut, 1);
  dup2(savedErr, 2);
  close(savedOut);
  close(savedErr);
  const std::string printed = Captured(out), messages = Captured(err);
  std::fclose(out);
  std::fclose(err);
  std::fwrite(printed.data(), 1, printed.size(), stdout);
  std::fwrite(messages.data(), 1, messages.size(), stderr);
  if (rc == 0 || !printed.empty()) return rc;
  static const char kPrefix[] = "msistub-pack: error: ";
  std::string error;
  for (size_t at = messages.find(kPrefix); at != std::string::npos; at = messages.find(kPrefix, at + 1)) {
    const size_t start = at + sizeof(kPrefix) - 1;
    error = messages.substr(start, messages.find('\n', start) - start);
  }
  JsonWriter json;
  BeginJsonDocument(&json);
  JsonField(&json, "error");
  JsonString(&json, error);
  JsonField(&json, "exitCode");
  JsonNumber(&json, static_cast<uint64_t>(rc));
  JsonEnd(&json);
  std::printf("%s\n", json.text.c_str());
  return rc;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage(stderr);
    return 2;
  }
  std::string command = argv[1];
  if (command == "help" && argc == 3) {
    // "help CMD" is "CMD --help".
    static char helpFlag[] = "--help";
    char* helpArgv[] = {argv[0], argv[2], helpFlag, nullptr};
    for (const Command& c : kCommands)
      if (argv[2] == std::string(c.name)) return c.run(3, helpArgv);
    return Usage(nullptr, "unknown command '" + std::string(argv[2]) + "'");
  }
  if (command == "--help" || command == "-h" || command == "help") {
    PrintUsage(stdout);
    return 0;
  }
  if (command == "--version") {
    std::printf("msistub-pack %s\n", MSISTUB_PACK_VERSION);
    return 0;
  }
  for (const Command& c : kCommands)
    if (command == c.name) return WantsJson(argc, argv) ? RunWithJsonErrors(c, argc, argv) : c.run(argc, argv);
  return Usage(nullptr, "unknown command '" + command + "'");
}
