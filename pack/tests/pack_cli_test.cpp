// The msistub-pack command line: exit codes and messages of its failures, and a round trip
// (keygen, build, attach, inspect, verify, select) on real files.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "pack/fingerprint.h"
#include "pack/json.h"
#include "pack/keys.h"
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
    // The help lists the options every command takes.
    for (const char* common : {"\n  -q, --quiet ", "\n  -v, --verbose ", "\n  -h, --help "})
      EXPECT_NE(help.output.find(common), std::string::npos) << common << "\n" << help.output;
  }
  // Options the parser takes are in the help, which is made from the same declarations
  // (build --help once lacked --json and --depfile).
  const Result build = Run("build --help");
  for (const char* option : {"\n      --json ", "\n      --depfile FILE ", "\n      --private-key PRIVATE.pem",
                             "\n      --require-fallback ", "\n      --container OUT "})
    EXPECT_NE(build.output.find(option), std::string::npos) << option << "\n" << build.output;
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
      {"build --package 'x64:1033:{A}:N:a.msi' --container o.bin", 2, "--key PRIVATE.pem (or --private-key) is required"},
      {"build --key k.private.pem --package 'x64:1033:{A}:N:a.msi'", 2, "say where the result goes"},
      {"build --key k.private.pem --package x64:1033 --container o.bin", 2, "expected ARCH:LANGS:CODE:NAME:PATH"},
      {"build --key k.private.pem --bogus 1 --container o.bin", 2, "unknown option --bogus"},
      {"build --key k.private.pem --level 13 --package 'x64:1033:{A}:N:a.msi' --container o.bin", 2,
       "--level takes a compression level from 0 to 12 (default 8)"},
      {"build --key k.private.pem --level fast --package 'x64:1033:{A}:N:a.msi' --container o.bin", 2,
       "--level takes a compression level"},
      {"build --key k.private.pem --jobs 0 --package 'x64:1033:{A}:N:a.msi' --container o.bin", 2,
       "--jobs takes a number of threads from 1 to 64"},
      {"build --key k.private.pem --jobs many --package 'x64:1033:{A}:N:a.msi' --container o.bin", 2,
       "--jobs takes a number of threads"},
      {"build --key k.private.pem --segment-size 3M --package 'x64:1033:{A}:N:a.msi' --container o.bin", 2,
       "--segment-size 3M: a power of two from 1M to 8M"},
      {"build --key k.private.pem --segment-size 512K --package 'x64:1033:{A}:N:a.msi' --container o.bin", 2,
       "--segment-size 512K: a power of two from 1M to 8M"},
      {"build --key k.private.pem --segment-size 16M --package 'x64:1033:{A}:N:a.msi' --container o.bin", 2,
       "--segment-size 16M: a power of two"},
      {"build --key k.private.pem --segment-size 1048575 --package 'x64:1033:{A}:N:a.msi' --container o.bin", 2,
       "--segment-size 1048575: a power of two"},
      {"build --key k.private.pem --segment-size M --package 'x64:1033:{A}:N:a.msi' --container o.bin", 2,
       "--segment-size M: a power of two"},
      {"build --key nokey.pem --package 'x64:1033:{A}:N:a.msi' --container o.bin", 1, "nokey.pem: No such file"},
      {"build --key k.public.pem --package 'x64:1033:{A}:N:a.msi' --container o.bin", 1,
       "k.public.pem: this is a public key; signing payloads needs the private key"},
      {"build --private-key k.public.blob --package 'x64:1033:{A}:N:a.msi' --container o.bin", 1,
       "k.public.blob: this is a public key; signing payloads needs the private key"},
      {"build --key k.private.pem --private-key k.private.pem --package 'x64:1033:{A}:N:a.msi' "
       "--container o.bin", 2, "--key and --private-key name the same key; give one"},
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
      {"verify c.bin", 2, "--key PUBLIC (or --public-key) is required"},
      {"verify --key k.private.pem c.bin", 1,
       "k.private.pem: this is a private key; checking payloads needs the public key"},
      {"verify --public-key k.private.pem c.bin", 1, "this is a private key"},
      {"inspect -q -v c.bin", 2, "--quiet and --verbose contradict each other"},
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
  EXPECT_NE(r.output.find("problem: whole file: file record 1001: the signature does not verify"),
            std::string::npos) << r.output;
  EXPECT_NE(r.output.find("verdict: the setup will NOT install: 1 record problem(s)"), std::string::npos)
      << r.output;
}

namespace {
// The fingerprint of a key file, as the stub's resource carries it.
std::string FingerprintOf(const std::string& path, uint8_t raw[KEY_FINGERPRINT_SIZE]) {
  std::string error;
  EVP_PKEY* key = LoadPublicKey(path, &error);
  EXPECT_NE(key, nullptr) << error;
  if (!key) return "";
  EXPECT_TRUE(KeyFingerprint(key, raw, &error)) << error;
  EVP_PKEY_free(key);
  return FingerprintHex(raw);
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }
}  // namespace

// A bare stub (signed or not) shows the key it trusts and exits 0; a setup signed after its
// payload was appended says why the stub will not find it.
TEST_F(CliTest, InspectOfABareStubShowsItsKeyAndASignedOverSetupSaysWhy) {
  MakeFixtures();
  uint8_t raw[KEY_FINGERPRINT_SIZE];
  const std::string fingerprint = FingerprintOf(P("k.public.pem"), raw);
  Write("bare.exe", Pe32PlusWithKeyResource(raw, 0));
  Write("bare-signed.exe", MakeSignedPe(Pe32PlusWithKeyResource(raw, 0)).image);
  Write("bare-dev.exe", Pe32PlusWithKeyResource(raw, 1));
  for (const char* stub : {"bare.exe", "bare-signed.exe", "bare-dev.exe"}) {
    SCOPED_TRACE(stub);
    Result r = Run(std::string("inspect ") + stub);
    EXPECT_EQ(r.code, 0) << r.output;
    EXPECT_NE(r.output.find("stub key: " + fingerprint), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("DEVELOPMENT") != std::string::npos, std::string(stub) == "bare-dev.exe")
        << r.output;
    EXPECT_NE(r.output.find("stub version: unknown (the file has no version resource)"), std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("payload: none (a bare stub. A finished setup shows this after it was "
                            "signed again"), std::string::npos) << r.output;
    r = Run(std::string("inspect --json ") + stub, false);
    EXPECT_EQ(r.code, 0);
    JsonValue doc;
    std::string error;
    ASSERT_TRUE(ParseJson(r.output, &doc, &error)) << error << r.output;
    ASSERT_NE(doc.Find("stubKey"), nullptr);
    ASSERT_NE(doc.Find("stubKey")->Find("fingerprint"), nullptr);
    EXPECT_EQ(doc.Find("stubKey")->Find("fingerprint")->text, fingerprint);
    ASSERT_NE(doc.Find("payload"), nullptr);
    EXPECT_EQ(doc.Find("payload")->kind, JsonValue::NUL) << r.output;
  }
  // Appended to the unsigned stub, then signed: the signature lands behind the payload.
  ASSERT_EQ(Run("attach --stub unsigned.exe --mode append --container c.bin --out app.exe").code, 0);
  Bytes appended;
  std::string error;
  ASSERT_TRUE(ReadWholeFile(P("app.exe"), 1u << 30, &appended, &error));
  Write("signed-after.exe", MakeSignedPe(appended).image);
  Result r = Run("verify --key k.public.pem signed-after.exe");
  EXPECT_EQ(r.code, 1) << r.output;
  EXPECT_NE(r.output.find("verdict: the setup will NOT install: "), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("the file was signed after the payload was appended, and the stub cannot "
                          "find it"), std::string::npos) << r.output;
  r = Run("inspect signed-after.exe");
  EXPECT_EQ(r.code, 1) << r.output;
  EXPECT_NE(r.output.find("hint: a payload ends where the signature begins"), std::string::npos) << r.output;
  // The advice of make and attach for append no longer says "sign afterwards".
  r = Run("attach --stub signed.exe --container c.bin --mode append --out o.exe");
  EXPECT_NE(r.output.find("signing an appended setup puts the signature behind the payload, and the "
                          "stub no longer finds it (exit code 1168)"), std::string::npos) << r.output;
  EXPECT_EQ(Run("make --help").output.find("sign SETUP.exe afterwards"), std::string::npos);
}

// verify with a key other than the stub's leads with both fingerprints; the records follow
// in container order; the JSON says the same.
TEST_F(CliTest, VerifyWithTheWrongKeyLeadsWithBothFingerprints) {
  MakeFixtures();
  uint8_t raw[KEY_FINGERPRINT_SIZE], otherRaw[KEY_FINGERPRINT_SIZE];
  const std::string mine = FingerprintOf(P("k.public.pem"), raw);
  const std::string other = FingerprintOf(P("other.public.pem"), otherRaw);
  Write("keyed.exe", MakeSignedPe(Pe32PlusWithKeyResource(raw, 0)).image);
  ASSERT_EQ(Run("attach --stub keyed.exe --container c.bin --key k.public.pem --out setup.exe").code, 0);
  EXPECT_EQ(Run("verify --public-key k.public.pem setup.exe").code, 0);
  Result r = Run("verify --key other.public.pem setup.exe", false);
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(FirstLine(r.output), "key mismatch: the key's fingerprint " + other + " differs from the stub's " +
                                     mine + ": the stub verifies with its own key, and with this key every "
                                     "record fails; verify with the stub's public key") << r.output;
  const size_t manifest = r.output.find("problem: whole file: manifest record");
  const size_t first = r.output.find("problem: whole file: file record 1000");
  const size_t second = r.output.find("problem: whole file: file record 1001");
  EXPECT_LT(manifest, first) << r.output;
  EXPECT_LT(first, second) << r.output;
  EXPECT_NE(second, std::string::npos) << r.output;
  r = Run("verify --json --key other.public.pem setup.exe", false);
  JsonValue doc;
  std::string error;
  ASSERT_TRUE(ParseJson(r.output, &doc, &error)) << error << r.output;
  ASSERT_NE(doc.Find("keyMatchesStub"), nullptr);
  EXPECT_EQ(doc.Find("keyMatchesStub")->kind, JsonValue::BOOLEAN);
  EXPECT_FALSE(doc.Find("keyMatchesStub")->boolean);
  EXPECT_EQ(doc.Find("keyFingerprint")->text, other);
  EXPECT_EQ(doc.Find("stubKey")->Find("fingerprint")->text, mine);
  EXPECT_FALSE(doc.Find("installs")->boolean);
  ASSERT_FALSE(doc.Find("installProblems")->items.empty());
  EXPECT_EQ(doc.Find("installProblems")->items[0].text.rfind("the key's fingerprint " + other, 0), 0u);
}

// Languages: a German-only bundle warns (an error with --require-fallback) at build time
// and in verify; --lcid reads decimals as decimals and takes locale names.
TEST_F(CliTest, LanguageGapsAreWarnedAndLcidIsDecimalOrAName) {
  MakeFixtures();
  const std::string german = "--package 'x64:1031:{G}:G:a.msi' --stub signed.exe --out de.exe";
  Result r = Run("build --key k.private.pem " + german);
  ASSERT_EQ(r.code, 0) << r.output;
  const std::string warning =
      "warning: no package for users whose language is en-US 1033, en-GB 2057, en-AU 3081, en-CA 4105, "
      "en-NZ 5129, en-IE 6153 and ";
  EXPECT_NE(r.output.find(warning), std::string::npos) << r.output;
  r = Run("build --require-fallback --key k.private.pem --package 'x64:1031:{G}:G:a.msi' --container o.bin");
  EXPECT_EQ(r.code, 1) << r.output;
  EXPECT_NE(r.output.find("(refused: --require-fallback)"), std::string::npos) << r.output;
  EXPECT_FALSE(fs::exists(P("o.bin")));
  // attach says the same of the setup it would write.
  ASSERT_EQ(Run("build -q --key k.private.pem --package 'x64:1031:{G}:G:a.msi' --container de.bin").code, 0);
  r = Run("attach --stub signed.exe --container de.bin --out o.exe");
  EXPECT_EQ(r.code, 0) << r.output;
  EXPECT_NE(r.output.find(warning), std::string::npos) << r.output;
  fs::remove(P("o.exe"));
  r = Run("attach --require-fallback --stub signed.exe --container de.bin --out o.exe");
  EXPECT_EQ(r.code, 1) << r.output;
  EXPECT_NE(r.output.find("msistub-pack: error: the setup would not install: no package for users whose "
                          "language is en-US 1033"), std::string::npos) << r.output;
  EXPECT_FALSE(fs::exists(P("o.exe")));
  r = Run("verify -v --key k.public.pem de.exe");
  EXPECT_EQ(r.code, 0) << r.output;
  EXPECT_NE(r.output.find("languages: package 1000 serves de-DE 1031 (exact); de-CH 2055, de-AT 3079"),
            std::string::npos) << r.output;
  EXPECT_NE(r.output.find(warning), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("verdict: the setup will install: 1 package(s)"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("language(s) get no package (see the warning)"), std::string::npos) << r.output;
  r = Run("verify --require-fallback --key k.public.pem de.exe");
  EXPECT_EQ(r.code, 1) << r.output;
  EXPECT_NE(r.output.find("verdict: the setup will NOT install: no package for users whose language is en-US"),
            std::string::npos) << r.output;
  // JSON: en-US gets no package; de-CH gets the German one by its primary language.
  r = Run("inspect --json de.exe", false);
  JsonValue doc;
  std::string error;
  ASSERT_TRUE(ParseJson(r.output, &doc, &error)) << error << r.output;
  const JsonValue* coverage = doc.Find("coverage");
  ASSERT_NE(coverage, nullptr) << r.output;
  EXPECT_EQ(coverage->Find("fallback")->kind, JsonValue::NUL);
  bool sawUs = false, sawCh = false;
  for (const JsonValue& l : coverage->Find("locales")->items) {
    if (l.Find("lcid")->text == "1033") {
      sawUs = true;
      EXPECT_EQ(l.Find("package")->kind, JsonValue::NUL);
      EXPECT_EQ(l.Find("match")->text, "none");
    }
    if (l.Find("lcid")->text == "2055") {
      sawCh = true;
      EXPECT_EQ(l.Find("package")->text, "1000");
      EXPECT_EQ(l.Find("match")->text, "primary language");
    }
  }
  EXPECT_TRUE(sawUs && sawCh) << r.output;

  struct Lcid {
    const char* value;
    int code;
    const char* expected;
  } lcids[] = {
      {"01031", 0, "package 1000 in source 0 (exact language match)"},  // decimal, not octal 537
      {"1031", 0, "package 1000 in source 0 (exact language match)"},
      {"0x0407", 0, "package 1000 in source 0 (exact language match)"},
      {"de-DE", 0, "package 1000 in source 0 (exact language match)"},
      {"de_ch", 0, "package 1000 in source 0 (primary language match)"},
      {"en-US", 1, "no package fits locale 1033 (0x00000409) on x64"},
      {"0537", 1, "no package fits locale 537 (0x00000219)"},
      {"klingon", 2, "--lcid N is required, N a decimal locale id"},
  };
  for (const Lcid& l : lcids) {
    r = Run(std::string("select --lcid ") + l.value + " de.exe");
    EXPECT_EQ(r.code, l.code) << l.value << "\n" << r.output;
    EXPECT_NE(r.output.find(l.expected), std::string::npos) << l.value << "\n" << r.output;
  }
}

// help CMD is CMD --help; with --json a failure still prints one JSON object on stdout;
// --quiet and --verbose are taken by every command.
TEST_F(CliTest, HelpCommandJsonErrorsAndQuietEverywhere) {
  MakeFixtures();
  for (const char* name : {"keygen", "make", "build", "attach", "inspect", "verify", "select", "extract"}) {
    const Result help = Run(std::string("help ") + name);
    EXPECT_EQ(help.code, 0) << name;
    EXPECT_EQ(help.output, Run(std::string(name) + " --help").output) << name;
  }
  EXPECT_EQ(Run("help frobnicate").code, 2);
  struct JsonError {
    const char* args;
    int code;
    const char* error;
  } errors[] = {
      {"inspect --json gone.exe", 1, "gone.exe: No such file"},
      {"verify --json c.bin", 2, "--key PUBLIC (or --public-key) is required"},
      {"select --json --lcid 1031 --bogus c.bin", 2, "unknown option --bogus"},
      {"build --json --key k.public.pem --package 'x64:1033:{A}:N:a.msi' --container o.bin", 1,
       "this is a public key"},
      {"extract --json --key k.public.pem --out gone/x c.bin", 1, ""},
  };
  for (const JsonError& e : errors) {
    const Result r = Run(std::string(e.args), false);
    EXPECT_EQ(r.code, e.code) << e.args;
    JsonValue doc;
    std::string error;
    ASSERT_TRUE(ParseJson(r.output, &doc, &error)) << e.args << ": " << error << "\n" << r.output;
    ASSERT_NE(doc.Find("error"), nullptr) << r.output;
    EXPECT_NE(doc.Find("error")->text.find(e.error), std::string::npos) << r.output;
    EXPECT_FALSE(doc.Find("error")->text.empty()) << r.output;
    EXPECT_EQ(doc.Find("exitCode")->text, std::to_string(e.code)) << r.output;
    EXPECT_EQ(doc.Find("schema")->text, "1");
  }
  // The message still goes to stderr.
  EXPECT_NE(Run("inspect --json gone.exe").output.find("msistub-pack: error: gone.exe"),
            std::string::npos);
  // --quiet and --verbose on commands that had neither.
  EXPECT_EQ(Run("keygen -q --out quiet").output, "");
  EXPECT_TRUE(fs::exists(P("quiet.private.pem")));
  EXPECT_EQ(Run("inspect -v c.bin").code, 0);
  EXPECT_EQ(Run("select -q --lcid 1033 c.bin").code, 0);
  EXPECT_EQ(Run("verify -q --key k.public.pem c.bin").output.rfind("verdict: the setup will install", 0), 0u);
}

// A signature above what the stub's signature decoder takes (64 MiB, measured under Wine)
// is a warning in make/build/attach and makes verify's verdict negative, with the exit code.
TEST_F(CliTest, LargeExtensionContainersAreWarnedAndFailTheVerdict) {
  MakeFixtures();
  Write("big.msi", StandInMsi(64u << 20, 'x'));
  const std::string warning =
      "warning: the signature, with the containers carried as certificate extensions in it, is 64.01 "
      "MiB (";
  const std::string why =
      " bytes), above the 64 MiB the stub's signature decoder takes: the setup would exit 0x80093104 "
      "(CRYPT_E_ASN1_LARGE) before installing anything. Use --mode cert-table, or split the product "
      "over several setups";
  Result r = Run("build --level 0 --key k.private.pem --package 'x64:1033:{B}:B:big.msi' --container big.bin");
  ASSERT_EQ(r.code, 0) << r.output;
  EXPECT_EQ(r.output.find("warning:"), std::string::npos) << "a container alone has no mode: " << r.output;
  r = Run("attach --mode extension --stub signed.exe --key k.public.pem --container big.bin --out big.exe");
  ASSERT_EQ(r.code, 0) << r.output;
  EXPECT_NE(r.output.find(warning), std::string::npos) << r.output;
  EXPECT_NE(r.output.find(why), std::string::npos) << r.output;
  r = Run("verify --key k.public.pem big.exe", false);
  EXPECT_EQ(r.code, 1) << r.output;
  EXPECT_NE(r.output.find("verdict: the setup will NOT install: the signature, with the containers "
                          "carried as certificate extensions in it, is 64.01 MiB"), std::string::npos)
      << r.output;
  // The same container behind the signature (cert-table) is fine.
  r = Run("attach --stub signed.exe --key k.public.pem --container big.bin --out table.exe");
  EXPECT_EQ(r.code, 0) << r.output;
  EXPECT_EQ(r.output.find("warning:"), std::string::npos) << r.output;
  EXPECT_EQ(Run("verify -q --key k.public.pem table.exe").code, 0);
  // make/build warn as they write an extension setup.
  r = Run("build --level 0 --key k.private.pem --package 'x64:1033:{B}:B:big.msi' --stub signed.exe "
          "--mode extension --out big2.exe");
  EXPECT_EQ(r.code, 0) << r.output;
  EXPECT_NE(r.output.find(warning), std::string::npos) << r.output;
}

namespace {
// The members a row of the user guide's JSON table names at its top level: the `names`
// outside parentheses, "[]" dropped.
std::set<std::string> DocumentedMembers(const std::string& guide, const std::string& row) {
  std::set<std::string> names;
  const size_t start = guide.find("\n| " + row + " | ");
  if (start == std::string::npos) return names;
  const size_t from = start + row.size() + 6, end = guide.find('\n', from);
  int depth = 0;
  for (size_t i = from; i < end; ++i) {
    if (guide[i] == '(') ++depth;
    if (guide[i] == ')') --depth;
    if (guide[i] != '`' || depth != 0) continue;
    const size_t close = guide.find('`', i + 1);
    std::string name = guide.substr(i + 1, close - i - 1);
    if (name.size() > 2 && name.compare(name.size() - 2, 2, "[]") == 0) name.resize(name.size() - 2);
    names.insert(name);
    i = close;
  }
  return names;
}
}  // namespace

// Large files go in segments: the same bytes on one thread and on four, the index in each
// entry, inspect --json telling where each record lies in the container and the file, also
// inside a certificate extension (its stored bytes decode whole with zlib there), and how
// many segments it has; a setup streamed to disk is the one attach makes of the same
// container in memory.
TEST_F(CliTest, SegmentedSetupsAreReproducibleAndInspectShowsWhereRecordsLie) {
  MakeFixtures();
  Bytes big = StandInCab((5u << 20) - 4, 'c');  // exactly five segments of 1 MiB
  for (size_t i = 64; i < big.size(); ++i) big[i] = static_cast<uint8_t>((i >> 12) % 5 == 0 ? i * 2654435761u >> 24 : i % 251);
  Write("big.cab", big);
  const std::string inputs = " --package 'x64:1033:{A}:A:a.msi' --cab big.cab:1000 --cab main.cab:1000";
  for (const char* run : {"--jobs 1 --container one.bin", "--jobs 4 --container four.bin",
                          "--jobs 2 --segment-size 2M --container two.bin",
                          "--stub signed.exe --out streamed.exe", "--stub unsigned.exe --mode append --out appended.exe",
                          "--stub signed.exe --mode extension --out extension.exe"}) {
    const Result r = Run(std::string("build --quiet --key k.private.pem") + inputs + " " + run);
    ASSERT_EQ(r.code, 0) << run << "\n" << r.output;
    EXPECT_EQ(r.output, "") << run;
  }
  Bytes one, four, two;
  std::string error;
  ASSERT_TRUE(ReadWholeFile(P("one.bin"), 1u << 30, &one, &error));
  ASSERT_TRUE(ReadWholeFile(P("four.bin"), 1u << 30, &four, &error));
  ASSERT_TRUE(ReadWholeFile(P("two.bin"), 1u << 30, &two, &error));
  EXPECT_TRUE(one == four) << "the thread count changed the bytes";
  EXPECT_FALSE(one == two);
  // Streamed into the stub: the bytes attach gives the container held in memory.
  ASSERT_EQ(Run("attach --stub signed.exe --container one.bin --out attached.exe").code, 0);
  ASSERT_EQ(Run("attach --stub unsigned.exe --mode append --container one.bin --out attached-append.exe").code, 0);
  Bytes a, b;
  for (const auto& pair : {std::make_pair("streamed.exe", "attached.exe"), std::make_pair("appended.exe", "attached-append.exe")}) {
    ASSERT_TRUE(ReadWholeFile(P(pair.first), 1u << 30, &a, &error));
    ASSERT_TRUE(ReadWholeFile(P(pair.second), 1u << 30, &b, &error));
    EXPECT_TRUE(a == b) << pair.first;
    EXPECT_EQ(Run(std::string("verify --quiet --key k.public.pem ") + pair.first).code, 0) << pair.first;
  }
  EXPECT_EQ(Run("verify --quiet --key k.public.pem two.bin").code, 0);

  struct Expect {
    const char* file;
    uint32_t id;
    size_t size;
    size_t segments;
    uint32_t segmentSize;
  } expects[] = {{"one.bin", 1001, big.size(), 5, 1u << 20}, {"two.bin", 1001, big.size(), 3, 2u << 20},
                 {"one.bin", 1002, 5004, 1, 1u << 20}, {"streamed.exe", 1001, big.size(), 5, 1u << 20},
                 {"extension.exe", 1001, big.size(), 5, 1u << 20}};
  for (const Expect& e : expects) {
    SCOPED_TRACE(std::string(e.file) + " record " + std::to_string(e.id));
    const Result r = Run(std::string("inspect --json ") + e.file, false);
    ASSERT_EQ(r.code, 0) << r.output;
    JsonValue doc;
    ASSERT_TRUE(ParseJson(r.output, &doc, &error)) << error;
    const JsonValue* records = doc.Find("sources")->items[0].Find("records");
    const JsonValue* record = nullptr;
    for (const JsonValue& item : records->items)
      if (item.Find("type")->text == "file" && item.Find("id")->text == std::to_string(e.id)) record = &item;
    ASSERT_NE(record, nullptr) << r.output;
    EXPECT_EQ(record->Find("segments")->text, std::to_string(e.segments));
    EXPECT_EQ(record->Find("segmentSize")->text, std::to_string(e.segmentSize));
    // Where the record lies in the file: where it lies in the container unless the container
    // is an extension's value inside the signature.
    const bool extension = doc.Find("sources")->items[0].Find("origin")->text != "whole file";
    EXPECT_EQ(record->Find("offset")->text != record->Find("fileOffset")->text, extension);
    // The entry carries the same index; the record's bytes at the offset decode whole.
    const std::string field = "\\segments=" + std::to_string(e.segmentSize) + ":";
    bool entryHasIndex = false;
    for (const JsonValue& entry : doc.Find("sources")->items[0].Find("entries")->items)
      if (entry.Find("id")->text == std::to_string(e.id)) {
        const std::string& text = entry.Find("text")->text;
        const size_t at = text.find(field);
        entryHasIndex = at != std::string::npos &&
                        static_cast<size_t>(std::count(text.begin() + at, text.end(), ',')) + 1 == e.segments;
      }
    EXPECT_TRUE(entryHasIndex) << r.output;
    Bytes file;
    ASSERT_TRUE(ReadWholeFile(P(e.file), 1u << 30, &file, &error));
    const size_t offset = std::stoul(record->Find("fileOffset")->text), stored = std::stoul(record->Find("stored")->text);
    ASSERT_LE(offset + stored, file.size());
    Bytes out(e.size + 1);
    uLongf outSize = out.size();
    ASSERT_EQ(uncompress(out.data(), &outSize, file.data() + offset, stored), Z_OK);
    EXPECT_EQ(outSize, e.size);
    EXPECT_TRUE(e.id != 1001 || std::equal(big.begin(), big.end(), out.begin()));
  }
}

// The user guide's table of JSON members matches what the commands print: every member a
// command prints is in its row, and every member of a row is printed by one of the runs.
TEST_F(CliTest, UserGuideJsonTableMatchesTheTool) {
  MakeFixtures();
  std::ifstream in(MSISTUB_SOURCE_DIR "/docs/user-guide.md");
  const std::string guide((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(guide.empty());
  const struct {
    const char* row;
    std::vector<std::string> runs;
  } tables[] = {
      {"`inspect`", {"inspect --json c.bin", "inspect --json signed.exe"}},
      {"`verify`", {"verify --json --key k.public.pem c.bin", "verify --json --key other.public.pem c.bin"}},
      {"`select`", {"select --json --lcid 1031 c.bin"}},
      {"`make`, `build`",
       {"build --json --key k.private.pem --package 'x64:1033:{A}:A:a.msi' --container j.bin",
        "build --json --key k.private.pem --package 'x64:1033:{A}:A:a.msi' --stub signed.exe --out j.exe"}},
      {"`attach`", {"attach --json --stub signed.exe --key k.public.pem --container c.bin --out j2.exe"}},
      {"`extract`", {"extract --json --key k.public.pem --out jx c.bin"}},
      {"any, on failure", {"inspect --json gone.exe"}},
  };
  for (const auto& t : tables) {
    SCOPED_TRACE(t.row);
    const std::set<std::string> documented = DocumentedMembers(guide, t.row);
    ASSERT_FALSE(documented.empty()) << "no row " << t.row;
    std::set<std::string> printed;
    for (const std::string& run : t.runs) {
      const Result r = Run(run, false);
      JsonValue doc;
      std::string error;
      ASSERT_TRUE(ParseJson(r.output, &doc, &error)) << run << ": " << error << "\n" << r.output;
      for (const auto& m : doc.members) {
        if (m.first == "schema") continue;
        printed.insert(m.first);
        EXPECT_TRUE(documented.count(m.first)) << run << " prints \"" << m.first << "\", which the guide does not name";
      }
    }
    for (const std::string& name : documented)
      EXPECT_TRUE(printed.count(name)) << "the guide names \"" << name << "\", which no run printed";
  }
}

namespace {
// A PE32+ image with one resource, an RT_VERSION block whose VS_FIXEDFILEINFO says file
// version `ms`.`ls` (two 16-bit parts each), laid out as a resource compiler writes it.
Bytes Pe32PlusWithVersion(uint32_t ms, uint32_t ls) {
  const uint32_t rva = kResourceRva;
  Bytes r(0x200, 0);
  WriteLe16(&r[14], 1);                     // root: one id entry, RT_VERSION
  WriteLe32(&r[16], 16);
  WriteLe32(&r[20], 0x80000000u | 24);
  WriteLe16(&r[24 + 14], 1);                // type: id 1
  WriteLe32(&r[40], 1);
  WriteLe32(&r[44], 0x80000000u | 48);
  WriteLe16(&r[48 + 14], 1);                // name: one language
  WriteLe32(&r[64], 1033);
  WriteLe32(&r[68], 72);                    //   data entry at 72
  WriteLe32(&r[72], rva + 96);
  WriteLe32(&r[76], 92);
  uint8_t* v = &r[96];                      // VS_VERSIONINFO
  WriteLe16(v, 92);
  WriteLe16(v + 2, 52);
  const char key[] = "VS_VERSION_INFO";
  for (size_t i = 0; i + 1 < sizeof(key); ++i) WriteLe16(v + 6 + 2 * i, static_cast<uint8_t>(key[i]));
  WriteLe32(v + 40, 0xFEEF04BDu);
  WriteLe32(v + 44, 0x00010000u);
  WriteLe32(v + 48, ms);
  WriteLe32(v + 52, ls);
  return Pe32PlusWithResources(r);
}
}  // namespace

// inspect reads the stub's file version from its version resource.
TEST_F(CliTest, InspectShowsTheStubsVersion) {
  Write("versioned.exe", MakeSignedPe(Pe32PlusWithVersion(0x00020000u | 14, 0x00000007u)).image);
  Result r = Run("inspect versioned.exe");
  EXPECT_EQ(r.code, 0) << r.output;
  EXPECT_NE(r.output.find("\nstub version: 2.14.0.7\n"), std::string::npos) << r.output;
  r = Run("inspect --json versioned.exe", false);
  JsonValue doc;
  std::string error;
  ASSERT_TRUE(ParseJson(r.output, &doc, &error)) << error << r.output;
  ASSERT_NE(doc.Find("stubVersion"), nullptr);
  EXPECT_EQ(doc.Find("stubVersion")->text, "2.14.0.7");
}

// Every option the user guide names is one the tool takes (cmake's own options aside): the
// helps, generated from the commands' declarations, list them all.
TEST_F(CliTest, UserGuideNamesOnlyOptionsTheToolTakes) {
  std::ifstream in(MSISTUB_SOURCE_DIR "/docs/user-guide.md");
  const std::string guide((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string helps = Run("--help").output;
  for (const char* name : {"keygen", "make", "build", "attach", "inspect", "verify", "select", "extract"})
    helps += Run(std::string(name) + " --help").output;
  const std::set<std::string> cmake = {"--preset", "--build", "--target", "--install", "--prefix"};
  size_t named = 0;
  for (size_t at = guide.find("--"); at != std::string::npos; at = guide.find("--", at + 2)) {
    size_t end = at + 2;
    while (end < guide.size() && (std::islower(static_cast<unsigned char>(guide[end])) || guide[end] == '-')) ++end;
    const std::string option = guide.substr(at, end - at);
    if (option.size() < 4 || cmake.count(option)) continue;
    ++named;
    bool listed = false;
    for (size_t h = helps.find(option); h != std::string::npos && !listed; h = helps.find(option, h + 1)) {
      const char next = h + option.size() < helps.size() ? helps[h + option.size()] : ' ';
      listed = !std::islower(static_cast<unsigned char>(next)) && next != '-';
    }
    EXPECT_TRUE(listed) << option << " is in the guide, not in any help";
  }
  EXPECT_GT(named, 20u);
}
