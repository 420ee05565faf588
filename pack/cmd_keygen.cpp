// msistub-pack keygen: a new payload signing key pair (see commands.h).
#include <cstdio>
#include <string>

#include "pack/cli.h"
#include "pack/commands.h"
#include "pack/keys.h"

namespace {
const CommandLine kKeygen = {
    "keygen", "--out PREFIX",
    "Makes a new RSA-2048 pair: PREFIX.private.pem (readable by you only), PREFIX.public.pem\n"
    "and PREFIX.public.blob (the 276-byte PUBLICKEYBLOB to build the stub with:\n"
    "-DMSISTUB_PUBLIC_KEY=PREFIX.public.blob). An existing private key is never replaced.\n",
    {{"--out", "PREFIX", "the path and name stem of the three files; keep the private key\n"
                         "outside any repository (e.g. --out ~/.msistub/payload)"}},
    ""};
}  // namespace

int RunKeygen(int argc, char** argv) {
  Args args;
  std::string error, prefix;
  if (!ParseCommand(argc, argv, kKeygen, &args, &error)) return Usage("keygen", error);
  if (args.help) return std::fputs(CommandHelp(kKeygen).c_str(), stdout), 0;
  if (!One(args, "--out", &prefix, &error)) return Usage("keygen", error);
  if (prefix.empty()) return Usage("keygen", "--out PREFIX is required");
  if (!args.positional.empty()) return Usage("keygen", "unexpected argument " + args.positional[0]);
  if (!GenerateKeyFiles(prefix, &error)) return Fail(error);
  if (!Has(args, "--quiet"))
    std::printf("wrote %s.private.pem, %s.public.pem and %s.public.blob\n", prefix.c_str(),
                prefix.c_str(), prefix.c_str());
  return 0;
}
