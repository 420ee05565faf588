// The msistub-pack command line: exit codes and messages of its failures, and a round trip
// (keygen, build, attach, inspect, verify, select) on real files.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "pack/tests/cli.h"
#include "pack/tests/fixtures.h"

namespace fs = std::filesystem;

namespace {
struct CliTest : CliHarness {
  // Keys, an "MSI", a cabinet, a container and three stubs: signed, unsigned, PE32.
  void MakeFixtures() {
    ASSERT_EQ(Run("keygen --out k").code, 0);
    ASSERT_EQ(Run("keygen --out other").code, 0);
    Write("a.msi", StandInMsi(3000, 'm'));
    Write("main.cab", StandInCab(5000, 'c'));
    const Result built = Run("build --key k.private.pem --package 'x64:1033;1031:{A}:Product A:a.msi' "
                             "--cab main.cab:1000 --container c.bin");
    ASSERT_EQ(built.code, 0) << built.output;
    Write("signed.exe", MakeSignedPe().image);
    Write("unsigned.exe", Pe32PlusHeaders());
    Write("pe32.exe", Pe32PlusHeaders(0x10B));
    Write("text.txt", Bytes(100, 't'));
  }
};
}  // namespace

// Every command is in the usage and reaches its own code: its --help is its own.
TEST_F(CliTest, EveryCommandIsListedAndDispatched) {
  const Result usage = Run("--help");
  ASSERT_EQ(usage.code, 0) << usage.output;
  for (const char* name : {"keygen", "make", "build", "attach", "inspect", "verify", "select", "extract"}) {
    SCOPED_TRACE(name);
    const std::string padded = (std::string(name) + "        ").substr(0, 8);
    EXPECT_NE(usage.output.find("\n  " + padded + " "), std::string::npos) << usage.output;
    const Result help = Run(std::string(name) + " --help");
    EXPECT_EQ(help.code, 0);
    EXPECT_EQ(help.output.rfind(std::string("usage: msistub-pack ") + name + " ", 0), 0u) << help.output;
  }
}

TEST_F(CliTest, FailuresSayWhatWentWrongWithTheRightExitCode) {
  MakeFixtures();
  // A sparse file one byte over the 32-bit limit: refused before it is read.
  { std::ofstream(P("huge.msi")); }
  fs::resize_file(P("huge.msi"), 0x100000000ull);
  struct Case {
    const char* args;
    int code;
    const char* message;
  } cases[] = {
      {"", 2, "usage: msistub-pack <command>"},
      {"frobnicate", 2, "msistub-pack: error: unknown command 'frobnicate'"},
      {"--help", 0, "exit codes: 0 success; 1 failure"},
      {"--version", 0, "msistub-pack 1."},
      {"inspect c.bin", 0, "stub key: none (not a PE executable (no MZ header))"},
      {"build --package 'x64:1033:{A}:N:a.msi' --container o.bin", 2, "--key PRIVATE.pem is required"},
      {"build --key k.private.pem --package 'x64:1033:{A}:N:a.msi'", 2, "say where the result goes"},
      {"build --key k.private.pem --package x64:1033 --container o.bin", 2, "expected ARCH:LANGS:CODE:NAME:PATH"},
      {"build --key k.private.pem --bogus 1 --container o.bin", 2, "unknown option --bogus"},
      {"build --key k.private.pem --level 13 --package 'x64:1033:{A}:N:a.msi' --container o.bin", 2,
       "--level takes a compression level from 0 to 12 (default 9)"},
      {"build --key k.private.pem --level fast --package 'x64:1033:{A}:N:a.msi' --container o.bin", 2,
       "--level takes a compression level"},
      {"build --key nokey.pem --package 'x64:1033:{A}:N:a.msi' --container o.bin", 1, "nokey.pem: No such file"},
      {"build --key k.public.pem --package 'x64:1033:{A}:N:a.msi' --container o.bin", 1, "not a PEM private key"},
      {"build --key k.private.pem --package 'x64:1033:{A}:N:missing.msi' --container o.bin", 1, "missing.msi: No such file"},
      {"build --key k.private.pem --package 'arm:1033:{A}:N:a.msi' --container o.bin", 1, "must be x64 or Intel"},
      {"build --key k.private.pem --public-key other.public.blob --package 'x64:1033:{A}:N:a.msi' "
       "--container o.bin", 1, "does not belong to the public key"},
      {"build --key k.private.pem --package 'x64:1033:{A}:N:huge.msi' --container o.bin", 1, "(sizes are 32-bit)"},
      {"build --key k.private.pem --package 'x64:1033:{A}:N:a.msi' --stub pe32.exe --out o.exe", 1, "32-bit (PE32)"},
      {"build --key k.private.pem --config nothere.json --container o.bin", 1, "nothere.json: No such file"},
      {"attach --stub text.txt --container c.bin --out o.exe", 1, "not a PE executable"},
      {"attach --stub pe32.exe --container c.bin --out o.exe", 1, "32-bit (PE32)"},
      {"attach --stub unsigned.exe --container c.bin --out o.exe", 1, "not signed"},
      {"attach --stub unsigned.exe --container c.bin --mode extension --out o.exe", 1, "not signed"},
      {"attach --stub signed.exe --container c.bin --mode append --out o.exe", 1, "is signed"},
      {"attach --stub signed.exe --container c.bin --mode sideways --out o.exe", 2, "unknown mode sideways"},
      {"attach --stub signed.exe --container c.bin --container c.bin --out o.exe", 1, "exactly one container"},
      {"attach --stub signed.exe --container a.msi --out o.exe", 1, "not a payload container"},
      {"attach --stub signed.exe --container c.bin --key other.public.pem --out o.exe", 1,
       "signature does not verify with this key"},
      {"attach --stub nostub.exe --container c.bin --out o.exe", 1, "nostub.exe: No such file"},
      {"attach --stub signed.exe --container c.bin --critical --out o.exe", 2, "go with --mode extension"},
      {"inspect", 2, "give exactly one FILE"},
      {"inspect gone.exe", 1, "gone.exe: No such file"},
      {"inspect text.txt", 1, "no manifest: an unknown trailer type at offset 72"},
      {"verify c.bin", 2, "--key PUBLIC is required"},
      {"verify --key k.private.pem c.bin", 1, "not a PEM public key"},
      {"verify --key other.public.pem c.bin", 1, "manifest record: the signature does not verify"},
      {"select --lcid german c.bin", 2, "--lcid N is required"},
      {"select --lcid 1031 --arch arm c.bin", 2, "--arch is x64 or Intel"},
      {"keygen --out k", 1, "k.private.pem: a private key already exists"},
      {"keygen", 2, "--out PREFIX is required"},
  };
  for (const Case& c : cases) {
    const Result r = Run(c.args);
    EXPECT_EQ(r.code, c.code) << c.args << "\n" << r.output;
    EXPECT_NE(r.output.find(c.message), std::string::npos) << c.args << "\n" << r.output;
    // Nothing half-written stays behind.
    EXPECT_FALSE(fs::exists(P("o.bin")) || fs::exists(P("o.exe"))) << c.args;
    for (const auto& entry : fs::directory_iterator(dir))
      EXPECT_EQ(entry.path().string().find(".tmp-"), std::string::npos) << c.args;
  }
}

TEST_F(CliTest, RoundTripThroughEveryModeAndSelection) {
  MakeFixtures();
  Write("b.msi", StandInMsi(2000, 'b'));
  {
    std::ofstream json(P("setup.json"));
    json << "{\"packages\": [{\"arch\": \"Intel\", \"languages\": [1033], \"productCode\": \"{I}\","
            " \"productName\": \"Intel: A\", \"msi\": \"a.msi\"},"
            " {\"arch\": \"x64\", \"languages\": \"1031\", \"productCode\": \"{B}\","
            " \"productName\": \"B\", \"msi\": \"b.msi\"}],"
            " \"cabinets\": [{\"path\": \"main.cab\", \"packages\": [1001], \"name\": \"b.cab\"}]}";
  }
  Result r = Run("build --key k.private.pem --public-key k.public.blob --config setup.json "
                 "--package 'x64:1033:{A}:A:a.msi' --stub signed.exe --out setup.exe");
  ASSERT_EQ(r.code, 0) << r.output;
  EXPECT_NE(r.output.find("entry 1002: x64\\1033\\{A}\\A"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("entry 1003: cab\\1001\\b.cab"), std::string::npos) << r.output;

  r = Run("inspect setup.exe");
  ASSERT_EQ(r.code, 0) << r.output;
  EXPECT_NE(r.output.find("source 0: whole file"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("record file     id 1003"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("1001: x64\\1031\\{B}\\B"), std::string::npos) << r.output;
  r = Run("verify --key k.public.pem setup.exe");
  EXPECT_EQ(r.code, 0) << r.output;
  EXPECT_NE(r.output.find("1 source(s), 5 record(s), all verified"), std::string::npos) << r.output;

  struct Choice {
    const char* args;
    const char* expected;
  } choices[] = {
      {"--lcid 1031", "package 1001 in source 0 (exact language match)"},
      {"--lcid 2055", "package 1001 in source 0 (primary language match)"},
      {"--lcid 1033", "package 1002 in source 0 (exact language match)"},
      {"--lcid 1036", "package 1002 in source 0 (fallback to 1033)"},
      {"--lcid 1031 --arch Intel", "package 1000 in source 0 (fallback to 1033)"},
  };
  for (const Choice& c : choices) {
    r = Run(std::string("select ") + c.args + " --key k.public.pem setup.exe");
    EXPECT_EQ(r.code, 0) << c.args << "\n" << r.output;
    EXPECT_NE(r.output.find(c.expected), std::string::npos) << c.args << "\n" << r.output;
  }
  r = Run("select --lcid 1031 --arch Intel c.bin");
  EXPECT_EQ(r.code, 1) << r.output;
  EXPECT_NE(r.output.find("no package fits locale 1031 (0x00000407) on Intel"), std::string::npos)
      << r.output;

  // Two extension containers, then the unsigned stub with append; each verifies.
  r = Run("attach --stub signed.exe --mode extension --container c.bin --container c.bin "
          "--key k.public.blob --out ext.exe");
  ASSERT_EQ(r.code, 0) << r.output;
  r = Run("inspect ext.exe");
  EXPECT_NE(r.output.find("source 1: certificate 3, extension 1"), std::string::npos) << r.output;
  EXPECT_EQ(Run("verify --key k.public.pem ext.exe").code, 0);
  ASSERT_EQ(Run("attach --stub unsigned.exe --mode append --container c.bin --out app.exe").code, 0);
  EXPECT_EQ(Run("verify --key k.public.pem app.exe").code, 0);

  // A damaged record is reported with its source and reason.
  Bytes image;
  std::string error;
  ASSERT_TRUE(ReadWholeFile(P("app.exe"), 1u << 30, &image, &error));
  image[image.size() - RECORD_TRAILER_SIZE - 5] ^= 1;  // last signature byte of record 1001
  Write("bad.exe", image);
  r = Run("verify --key k.public.pem bad.exe");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.output.find("bad.exe: whole file: file record 1001: the signature does not verify"),
            std::string::npos) << r.output;
}
