// msistub-pack make/extract on real MSIs (wixl + gcab via tools/make-product.sh): package
// facts read from the MSIs, one command to a setup, inspect --json, reproducible bytes,
// extraction back to identical files, and the messages of every failure.
#include <openssl/evp.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "pack/attach.h"
#include "pack/json.h"
#include "pack/keys.h"
#include "pack/setup.h"
#include "pack/tests/cli.h"
#include "pack/tests/fixtures.h"
#include "pack/writer.h"
#include "payload/record.h"

namespace {
struct Product {
  const char* dir;
  const char* msi;
  const char* cab;
  const char* arch;
  int lang;
  const char* code;
  int seed;
};
const Product kProducts[] = {
    {"en64", "app-x64-en.msi", "app-x64-en.cab", "x64", 1033, "{5A1D0C11-0000-4A00-8000-000000001033}", 1},
    {"de64", "app-x64-de.msi", "app-x64-de.cab", "x64", 1031, "{5A1D0C11-0000-4A00-8000-000000001031}", 2},
    {"en86", "app-x86-en.msi", "app-x86-en.cab", "Intel", 1033, "{5A1D0C11-0000-4A00-8000-000000000086}", 3},
};
const char kName[] = "Demo App";

std::string Sh(const std::string& command) {
  std::string out;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return "popen failed";
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
  const int status = pclose(pipe);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) out = "FAILED: " + command + "\n" + out;
  return out;
}

Bytes FileBytes(const std::string& path) {
  Bytes b;
  std::string error;
  ReadWholeFile(path, 1u << 30, &b, &error);
  return b;
}

std::string Sha256Hex(const Bytes& content) {
  uint8_t digest[RECORD_DIGEST_SIZE];
  DigestRecordBytes(content.data(), static_cast<uint32_t>(content.size()), digest);
  return HexText(digest, sizeof(digest));
}

struct MakeTest : CliHarness {
  std::string msis;  // the three MSI paths, for the command line

  // The three products and two key pairs, made once for the suite (wixl and gcab take a few
  // seconds a product) in a folder of its own; every test gets a copy in its folder, so a test
  // that changes an input changes only its own.
  static fs::path products;
  static std::string products_error;  // why the suite's products could not be made

  static void SetUpTestSuite() {
    products = fs::temp_directory_path() / ("pack-make-products-" + std::to_string(getpid()));
    fs::remove_all(products);
    fs::create_directories(products);
    for (const Product& p : kProducts) {
      const std::string out = ::Sh(std::string("'" MSISTUB_SOURCE_DIR "/tools/make-product.sh' '") +
                                 (products / p.dir).string() + "' --size-mb 1 --name '" + kName +
                                 "' --code '" + p.code + "' --arch " + p.arch + " --lang " +
                                 std::to_string(p.lang) + " --seed " + std::to_string(p.seed) +
                                 " --msi " + p.msi + " --cab " + p.cab);
      if (out.find("FAILED") != std::string::npos) {
        products_error = out;
        return;
      }
    }
    for (const char* key : {"k", "other"}) {
      const std::string out = ::Sh("cd '" + products.string() + "' && '" MSISTUB_PACK_EXE
                                   "' keygen --out " + key);
      if (out.find("FAILED") != std::string::npos) {
        products_error = out;
        return;
      }
    }
  }
  static void TearDownTestSuite() { fs::remove_all(products); }

  // A shell command in the test's folder; its output, starting "FAILED" when it failed.
  std::string Sh(const std::string& command) const {
    return ::Sh("cd '" + dir.string() + "' && " + command);
  }

  void MakeProducts() {
    ASSERT_EQ(products_error, "");
    std::error_code error;
    fs::copy(products, dir, fs::copy_options::recursive | fs::copy_options::overwrite_existing, error);
    ASSERT_FALSE(error) << error.message();
    for (const Product& p : kProducts) msis += std::string(" ") + p.dir + "/" + p.msi;
    Write("signed.exe", MakeSignedPe().image);
    Write("unsigned.exe", Pe32PlusHeaders());
  }
};
fs::path MakeTest::products;
std::string MakeTest::products_error;

const JsonValue* Member(const JsonValue& v, const char* key) {
  const JsonValue* m = v.Find(key);
  EXPECT_NE(m, nullptr) << key;
  static const JsonValue kNull;
  return m ? m : &kNull;
}
}  // namespace

TEST_F(MakeTest, ThreeMsisBecomeOneReproducibleSetupAndComeBackOut) {
  MakeProducts();
  // One command, no descriptor written by hand; progress goes to stderr as plain lines.
  Result r = Run("make --stub signed.exe --key k.private.pem --public-key k.public.blob --out setup.exe" + msis);
  ASSERT_EQ(r.code, 0) << r.output;
  EXPECT_NE(r.output.find("compressing 6 files at level 8 in segments of 1 MiB\n"), std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("compressing: 100% ("), std::string::npos) << r.output;

  // inspect --json lists exactly what the MSIs say, in command-line order.
  r = Run("inspect --json setup.exe 2>/dev/null");
  ASSERT_EQ(r.code, 0) << r.output;
  JsonValue doc;
  std::string error;
  ASSERT_TRUE(ParseJson(r.output, &doc, &error)) << error << "\n" << r.output;
  const JsonValue* sources = Member(doc, "sources");
  ASSERT_EQ(sources->items.size(), 1u);
  const JsonValue* packages = Member(sources->items[0], "packages");
  const JsonValue* cabinets = Member(sources->items[0], "cabinets");
  ASSERT_EQ(packages->items.size(), 3u) << r.output;
  ASSERT_EQ(cabinets->items.size(), 3u) << r.output;
  for (size_t i = 0; i < 3; ++i) {
    const Product& p = kProducts[i];
    const JsonValue& package = packages->items[i];
    EXPECT_EQ(Member(package, "id")->text, std::to_string(1000 + i));
    EXPECT_EQ(Member(package, "arch")->text, p.arch);
    ASSERT_EQ(Member(package, "languages")->items.size(), 1u);
    EXPECT_EQ(Member(package, "languages")->items[0].text, std::to_string(p.lang));
    EXPECT_EQ(Member(package, "productCode")->text, p.code);
    EXPECT_EQ(Member(package, "productName")->text, kName);
    const JsonValue& cabinet = cabinets->items[i];
    EXPECT_EQ(Member(cabinet, "name")->text, p.cab);
    ASSERT_EQ(Member(cabinet, "packages")->items.size(), 1u);
    EXPECT_EQ(Member(cabinet, "packages")->items[0].text, std::to_string(1000 + i));
    // Each entry names its file's SHA-256.
    EXPECT_EQ(Member(package, "sha256")->text, Sha256Hex(FileBytes(P(std::string(p.dir) + "/" + p.msi))));
    EXPECT_EQ(Member(cabinet, "sha256")->text, Sha256Hex(FileBytes(P(std::string(p.dir) + "/" + p.cab))));
    // and its decoded size, which the stub decodes into one block of exactly that length.
    EXPECT_EQ(Member(package, "size")->text,
              std::to_string(FileBytes(P(std::string(p.dir) + "/" + p.msi)).size()));
    EXPECT_EQ(Member(cabinet, "size")->text,
              std::to_string(FileBytes(P(std::string(p.dir) + "/" + p.cab)).size()));
  }
  r = Run("verify --json --key k.public.pem setup.exe");
  EXPECT_EQ(r.code, 0) << r.output;
  EXPECT_NE(r.output.find("\"records\": 7, \"verified\": true, \"problems\": []"), std::string::npos)
      << r.output;

  // On a terminal the progress is a bar redrawn in place.
  const std::string tty = Sh("script -qec \"'" MSISTUB_PACK_EXE "' make --stub signed.exe "
                             "--key k.private.pem --out tty.exe" + msis + "\" /dev/null");
  EXPECT_NE(tty.find("\r[##############################] 100% "), std::string::npos) << tty;
  EXPECT_EQ(tty.find("compressing "), std::string::npos) << tty;

  // The same inputs and key give the same bytes, in every mode.
  r = Run("make --quiet --stub signed.exe --key k.private.pem --out again.exe" + msis);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.output, "") << "--quiet printed something";
  EXPECT_TRUE(FileBytes(P("setup.exe")) == FileBytes(P("again.exe")));
  for (const char* mode : {"extension", "append"}) {
    const std::string stub = std::string(mode) == "append" ? "unsigned.exe" : "signed.exe";
    for (const char* out : {"m1.exe", "m2.exe"})
      ASSERT_EQ(Run(std::string("make --quiet --mode ") + mode + " --stub " + stub +
                    " --key k.private.pem --out " + out + msis).code, 0) << mode;
    EXPECT_TRUE(FileBytes(P("m1.exe")) == FileBytes(P("m2.exe"))) << mode;
    EXPECT_EQ(Run("verify --key k.public.pem m1.exe").code, 0) << mode;
  }

  // extract gives back the very files, one folder per product code.
  r = Run("extract --key k.public.pem --out out setup.exe");
  ASSERT_EQ(r.code, 0) << r.output;
  EXPECT_NE(r.output.find("3 package(s) written to out (every record verified)"), std::string::npos);
  for (const Product& p : kProducts) {
    const std::string folder = std::string("out/") + p.code + "/";
    EXPECT_TRUE(FileBytes(P(folder + "main.msi")) == FileBytes(P(std::string(p.dir) + "/" + p.msi))) << p.msi;
    EXPECT_TRUE(FileBytes(P(folder + p.cab)) == FileBytes(P(std::string(p.dir) + "/" + p.cab))) << p.cab;
    size_t files = 0;
    for (const auto& e : fs::directory_iterator(P(folder))) files += e.is_regular_file();
    EXPECT_EQ(files, 2u) << folder;
  }
  r = Run("extract --no-verify --out unchecked setup.exe");
  EXPECT_EQ(r.code, 0) << r.output;
  EXPECT_NE(r.output.find("warning: --no-verify"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("(NOT verified)"), std::string::npos) << r.output;
}

TEST_F(MakeTest, TemplateLanguagesEmbeddedCabinetsAndOverrides) {
  MakeProducts();
  // A Template with two languages, and a package whose cabinet is embedded.
  ASSERT_EQ(Sh("cp en64/app-x64-en.msi multi.msi && cp en64/app-x64-en.cab . && "
               "msibuild multi.msi -s 'Multi' 'tests' 'x64;1033,1036'").find("FAILED"),
            std::string::npos);
  ASSERT_EQ(Sh("cp de64/app-x64-de.msi embedded.msi && "
               "msibuild embedded.msi -q \"UPDATE Media SET Cabinet='#inner.cab'\" && "
               "msibuild embedded.msi -s 'Embedded' 'tests' 'x64;1033'").find("FAILED"),
            std::string::npos);
  Result r = Run("build --verbose --key k.private.pem --container c.bin multi.msi embedded.msi");
  ASSERT_EQ(r.code, 0) << r.output;
  EXPECT_NE(r.output.find("entry 1000: x64\\1033;1036\\{5A1D0C11-0000-4A00-8000-000000001033}\\Demo App"),
            std::string::npos) << r.output;
  EXPECT_NE(r.output.find("entry 1001: x64\\1031\\{5A1D0C11-0000-4A00-8000-000000001031}\\Demo App"),
            std::string::npos) << r.output;
  EXPECT_NE(r.output.find("entry 1002: cab\\1000\\app-x64-en.cab"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("entry 1003"), std::string::npos) << "the embedded cabinet got a line";
  EXPECT_NE(r.output.find("embedded.msi: cabinet \"inner.cab\" is embedded in the MSI; no file needed"),
            std::string::npos) << r.output;
  // A single Template language (an authoring tool's default) that disagrees with
  // ProductLanguage: ProductLanguage wins, and the output says so.
  EXPECT_NE(r.output.find("the Template says language 1033, ProductLanguage says 1031"),
            std::string::npos) << r.output;

  // Two MSIs that share one cabinet file get one cabinet line listing both, also when one
  // names the cabinet on two disks. (The twin lists other languages: a package that an
  // earlier one always wins over is refused.)
  ASSERT_EQ(Sh("cp en64/app-x64-en.msi en64/twin.msi && msibuild en64/twin.msi -q \"INSERT INTO "
               "Media (DiskId, LastSequence, Cabinet) VALUES (2, 5, 'app-x64-en.cab')\" && "
               "msibuild en64/twin.msi -s 'Twin' 'tests' 'x64;1036,3082'")
                .find("FAILED"),
            std::string::npos);
  r = Run("build --key k.private.pem --container s.bin --code '{5A1D0C11-0000-4A00-8000-00000000AAAA}' "
          "en64/twin.msi");
  ASSERT_EQ(r.code, 0) << r.output;
  r = Run("build --key k.private.pem --container s.bin en64/app-x64-en.msi en64/twin.msi");
  ASSERT_EQ(r.code, 0) << r.output;
  EXPECT_NE(r.output.find("entry 1002: cab\\1000;1001\\app-x64-en.cab"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("entry 1003"), std::string::npos) << r.output;

  // Overrides win over the MSI's facts; --languages takes either separator.
  r = Run("build --key k.private.pem --container o.bin --arch Intel --languages 1036,2055 "
          "--name 'Renamed' --code '{0F0E0D0C-0B0A-0908-0706-050403020100}' en86/app-x86-en.msi");
  ASSERT_EQ(r.code, 0) << r.output;
  EXPECT_NE(r.output.find("entry 1000: Intel\\1036;2055\\{0F0E0D0C-0B0A-0908-0706-050403020100}\\Renamed"),
            std::string::npos) << r.output;
  // A 32-bit package may be offered to 64-bit Windows, which installs it too.
  r = Run("build --key k.private.pem --container x.bin --arch x64 en86/app-x86-en.msi");
  ASSERT_EQ(r.code, 0) << r.output;
  EXPECT_NE(r.output.find("entry 1000: x64\\1033\\"), std::string::npos) << r.output;
}

TEST_F(MakeTest, EveryFailureSaysWhatToDo) {
  MakeProducts();
  Write("notes.txt", Bytes(600, 'x'));
  ASSERT_EQ(Sh("mkdir -p lone && cp en64/app-x64-en.msi lone/ && cp en64/app-x64-en.msi arm.msi && "
               "cp en64/app-x64-en.cab . && msibuild arm.msi -s 'Arm' 'tests' 'Arm64;1033' && "
               "mkdir -p full && touch full/x")
                .find("FAILED"),
            std::string::npos);
  ASSERT_EQ(Run("make --quiet --stub signed.exe --key k.private.pem --out setup.exe" + msis).code, 0);
  const std::string make = "make --stub signed.exe --key k.private.pem --out o.exe ";
  struct Case {
    std::string args;
    int code;
    const char* message;
  } cases[] = {
      {make + "gone.msi", 1, "gone.msi: No such file"},
      {make + "notes.txt", 1, "notes.txt: not an MSI package (it is no Windows Installer database)"},
      {make + "full", 1, "full: not a regular file"},
      {make + "lone/app-x64-en.msi", 1,
       "lone/app-x64-en.msi: its Media table names the cabinet \"app-x64-en.cab\", which is missing "
       "(looked for lone/app-x64-en.cab); put the cabinet next to the MSI"},
      {make + "arm.msi", 1, "its platform is \"Arm64\"; the stub installs x64 packages"},
      {make + "--public-key other.public.pem en64/app-x64-en.msi", 1,
       "k.private.pem does not belong to the public key other.public.pem"},
      {"make --stub unsigned.exe --key k.private.pem --out o.exe en64/app-x64-en.msi", 1,
       "unsigned.exe: the stub is not signed, and mode cert-table carries the payload in its signature. "
       "Sign the stub first"},
      {make + "--mode append en64/app-x64-en.msi", 1,
       "signed.exe: the stub is signed; --mode append would break its signature"},
      {make + "--code '{X}'" + msis, 2, "--code names one product"},
      {make + "--arch arm en64/app-x64-en.msi", 2, "--arch is x64 or Intel"},
      {make, 2, "no package given: name the MSI files"},
      {"make --key k.private.pem --out o.exe en64/app-x64-en.msi", 2, "--stub STUB.exe and --out SETUP.exe are required"},
      {"extract --key other.public.pem --out o.dir setup.exe", 1,
       "the manifest record: the signature does not verify with this key"},
      {"extract --out o.dir setup.exe", 2, "give --key PUBLIC to verify the records, or --no-verify"},
      {"extract --key k.public.pem --out full setup.exe", 1,
       "full: exists and is not an empty folder; extract into a new or empty folder"},
      {"extract --key k.public.pem --out o.dir notes.txt", 1, "whole file: the manifest record is missing"},
  };
  for (const Case& c : cases) {
    const Result r = Run(c.args);
    EXPECT_EQ(r.code, c.code) << c.args << "\n" << r.output;
    EXPECT_NE(r.output.find(c.message), std::string::npos) << c.args << "\n" << r.output;
    EXPECT_FALSE(fs::exists(P("o.exe")) || fs::exists(P("o.dir"))) << c.args;
    EXPECT_EQ(r.output.find("WARNING **"), std::string::npos) << "library noise: " << r.output;
  }
}

// Names in a setup are untrusted: a container signed with the right key but naming a folder
// or file outside the output folder is refused whole, and nothing is written.
TEST_F(MakeTest, ExtractRefusesNamesThatLeaveTheOutputFolder) {
  std::string error;
  EVP_PKEY* key = LoadPrivateKey(MSISTUB_TEST_PRIVATE_KEY, &error);
  ASSERT_NE(key, nullptr) << error;
  Write("signed.exe", MakeSignedPe().image);
  const struct {
    const char* descriptor;
    const char* cabinet;
    const char* message;
  } cases[] = {
      {"x64\\1033\\..\\Evil", nullptr, "refusing the product code \"..\""},
      {"x64\\1033\\a/b\\Evil", nullptr, "refusing the product code \"a/b\""},
      {"x64\\1033\\C:x\\Evil", nullptr, "refusing the product code \"C:x\""},
      {"x64\\1033\\{OK}\\Fine", "cab\\1000\\../up.cab", "refusing the cabinet name \"../up.cab\""},
      {"x64\\1033\\{OK}\\Fine", "cab\\1000\\CON.cab", "refusing the cabinet name \"CON.cab\""},
      {"x64\\1033\\{OK}\\Fine", "cab\\1000\\trailing.", "refusing the cabinet name \"trailing.\""},
      {"x64\\1033\\NUL.x\\Evil", nullptr, "refusing the product code \"NUL.x\""},
      {"x64\\1033\\{OK}\\Fine", "cab\\1000\\a|b.cab", "refusing the cabinet name \"a|b.cab\""},
      {"x64\\1033\\{OK}\\Fine", "cab\\1000\\\x1b[2J.cab", "refusing the cabinet name \"\\x1b[2J.cab\""},
      {"x64\\1033\\{OK}\\Fine", "cab\\1000\\..\\up.cab", "is neither a package descriptor nor a cabinet line"},
  };
  for (const auto& c : cases) {
    std::vector<ManifestEntry> entries{{1000, c.descriptor}};
    if (c.cabinet) entries.push_back({1001, c.cabinet});
    Bytes manifest, container;
    ASSERT_TRUE(EncodeManifest(entries, &manifest, &error)) << error;
    ASSERT_TRUE(AppendSignedRecord(&container, RECORD_TYPE_MANIFEST, MANIFEST_RECORD_ID, manifest, key, &error));
    ASSERT_TRUE(AppendSignedRecord(&container, RECORD_TYPE_FILE, 1000, Bytes(10, 'm'), key, &error));
    ASSERT_TRUE(AppendSignedRecord(&container, RECORD_TYPE_FILE, 1001, Bytes(10, 'c'), key, &error));
    Write("evil.bin", container);
    const Result r = Run("extract --no-verify --out sub/o evil.bin");
    EXPECT_EQ(r.code, 1) << c.descriptor << "\n" << r.output;
    EXPECT_NE(r.output.find(c.message), std::string::npos) << c.descriptor << "\n" << r.output;
    EXPECT_FALSE(fs::exists(P("sub"))) << c.descriptor;
    EXPECT_FALSE(fs::exists(P("up.cab"))) << c.descriptor;
  }
  EVP_PKEY_free(key);
}

// A CMake product: find_package(msistub), an MSI target, msistub_add_setup; the build packs
// a setup that verifies and says what the MSI says (with the NAME override), and a second
// build has nothing to do.
TEST_F(MakeTest, CMakeProjectPacksItsMsiTargetAsABuildStep) {
  ASSERT_EQ(Run("keygen --out k").code, 0);
  Write("signed.exe", MakeSignedPe().image);
  const std::string configure = Sh(
      "cmake -S '" MSISTUB_SOURCE_DIR "/pack/tests/cmake-project' -B project -G Ninja "
      "-Dmsistub_DIR='" MSISTUB_SOURCE_DIR "/cmake' -DMSISTUB_PACK_EXECUTABLE='" MSISTUB_PACK_EXE "' "
      "-DMSISTUB_SOURCE='" MSISTUB_SOURCE_DIR "' -DSTUB=" + P("signed.exe") + " -DKEY=" +
      P("k.private.pem"));
  ASSERT_EQ(configure.find("FAILED"), std::string::npos) << configure;
  const std::string build = Sh("cmake --build project");
  ASSERT_EQ(build.find("FAILED"), std::string::npos) << build;
  EXPECT_NE(build.find("msistub: packing setup.exe"), std::string::npos) << build;
  Result r = Run("verify --key k.public.pem project/setup.exe");
  EXPECT_EQ(r.code, 0) << r.output;
  r = Run("inspect project/setup.exe");
  EXPECT_NE(r.output.find("1000: x64\\1031\\{5A1D0C11-0000-4A00-8000-0000000C3A4E}\\CMake Demo Setup"),
            std::string::npos) << r.output;
  EXPECT_NE(r.output.find("1001: cab\\1000\\demo.cab"), std::string::npos) << r.output;
  const std::string again = Sh("cmake --build project");
  EXPECT_NE(again.find("no work to do"), std::string::npos) << again;
  // The cabinet is no input CMake knows of, only the MSI's Media table names it: changing it
  // packs again (the tool's dependency file).
  ASSERT_EQ(Sh("printf x >> project/product/demo.cab").find("FAILED"), std::string::npos);
  const std::string repack = Sh("cmake --build project");
  EXPECT_NE(repack.find("msistub: packing setup.exe"), std::string::npos) << repack;
  EXPECT_EQ(Run("extract --quiet --key k.public.pem --out x project/setup.exe").code, 0);
  EXPECT_TRUE(FileBytes(P("x/{5A1D0C11-0000-4A00-8000-0000000C3A4E}/demo.cab")) ==
              FileBytes(P("project/product/demo.cab")));
}

// cmake --install gives a prefix with the tool, the docs and a CMake package that finds the
// installed tool on its own: a product configured against it packs its setup.
TEST_F(MakeTest, InstalledPackageFindsItsTool) {
  ASSERT_EQ(Run("keygen --out k").code, 0);
  Write("signed.exe", MakeSignedPe().image);
  const std::string install = Sh("cmake --install '" MSISTUB_BINARY_DIR "' --prefix " + P("prefix"));
  ASSERT_EQ(install.find("FAILED"), std::string::npos) << install;
  for (const char* file : {"bin/msistub-pack", "lib/cmake/msistub/msistubConfig.cmake",
                           "lib/cmake/msistub/msistubConfigVersion.cmake", "share/doc/msistub/user-guide.md"})
    EXPECT_TRUE(fs::exists(P(std::string("prefix/") + file))) << file;
  const std::string version = Sh("prefix/bin/msistub-pack --version");
  EXPECT_EQ(version.rfind("msistub-pack ", 0), 0u) << version;
  const std::string build = Sh(
      "cmake -S '" MSISTUB_SOURCE_DIR "/pack/tests/cmake-project' -B project -G Ninja "
      "-Dmsistub_DIR=" + P("prefix/lib/cmake/msistub") + " -DMSISTUB_SOURCE='" MSISTUB_SOURCE_DIR
      "' -DSTUB=" + P("signed.exe") + " -DKEY=" + P("k.private.pem") + " && cmake --build project");
  ASSERT_EQ(build.find("FAILED"), std::string::npos) << build;
  EXPECT_EQ(Run("verify --key k.public.pem project/setup.exe").code, 0);
}

// The stub's key file is a configure dependency: a PEM key replaced in place is picked up by
// the next build, and the fingerprint resource says which key and whether it is the
// generated development key.
TEST_F(MakeTest, PublicKeyFileReplacedInPlaceReconfigures) {
  ASSERT_EQ(Run("keygen --out a").code, 0);
  ASSERT_EQ(Run("keygen --out b").code, 0);
  const std::string a = Sha256Hex(FileBytes(P("a.public.blob")));
  const std::string b = Sha256Hex(FileBytes(P("b.public.blob")));
  ASSERT_EQ(Sh("cp a.public.pem release.pem").find("FAILED"), std::string::npos);
  const std::string configure = Sh("cmake -S '" MSISTUB_SOURCE_DIR "/cmake/tests/publickey' -B release -G Ninja "
                                   "-DMSISTUB_SOURCE='" MSISTUB_SOURCE_DIR "' -DMSISTUB_PUBLIC_KEY=" +
                                   P("release.pem"));
  ASSERT_EQ(configure.find("FAILED"), std::string::npos) << configure;
  std::string build = Sh("cmake --build release");
  EXPECT_NE(build.find("fingerprint " + a + " development OFF resource 0x534d, 0x464b, 0x0001, "
                       "0x0000, 0x0000, 0x0000"), std::string::npos) << build;
  ASSERT_EQ(Sh("cp b.public.pem release.pem").find("FAILED"), std::string::npos);
  build = Sh("cmake --build release");
  EXPECT_NE(build.find("fingerprint " + b + " development OFF"), std::string::npos) << build;

  const std::string dev = Sh("cmake -S '" MSISTUB_SOURCE_DIR "/cmake/tests/publickey' -B dev -G Ninja "
                             "-DMSISTUB_SOURCE='" MSISTUB_SOURCE_DIR "' && cmake --build dev");
  EXPECT_NE(dev.find("using the DEVELOPMENT key"), std::string::npos) << dev;
  EXPECT_NE(dev.find("development ON resource 0x534d, 0x464b, 0x0001, 0x0000, 0x0001, 0x0000"),
            std::string::npos) << dev;
}

namespace {
// Every regular file under `root` (links not followed) with its bytes, and every link with
// its target: what a refused command must leave exactly as it was.
std::map<std::string, std::string> Snapshot(const fs::path& root) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    const std::string name = fs::relative(e.path(), root).string();
    if (e.is_symlink()) {
      out[name] = "-> " + fs::read_symlink(e.path()).string();
    } else if (e.is_regular_file()) {
      const Bytes b = FileBytes(e.path().string());
      out[name] = std::string(b.begin(), b.end());
    } else {
      out[name] = "(folder)";
    }
  }
  return out;
}

std::string FingerprintOfBlob(const std::string& path) {
  const Bytes blob = FileBytes(path);
  return Sha256Hex(blob);
}

Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}
}  // namespace

// Each refusal: its exit code and message, nothing written, and no input touched -- not even
// when the output names an input through another path, a link or a hard link.
TEST_F(MakeTest, RefusalsNeverTouchAnInput) {
  MakeProducts();
  const std::string k = FingerprintOfBlob(P("k.public.blob"));
  const std::string other = FingerprintOfBlob(P("other.public.blob"));
  const Bytes kFingerprint = FromHex(k);
  Write("keyed.exe", MakeSignedPe(Pe32PlusWithKeyResource(kFingerprint.data(), 0)).image);
  Write("devkeyed.exe", MakeSignedPe(Pe32PlusWithKeyResource(kFingerprint.data(), 1)).image);
  ASSERT_EQ(Sh("cp en64/app-x64-en.msi arm.msi && msibuild arm.msi -s 'Arm' 'tests' 'Arm64;1033' && "
               "mkdir -p fake afolder && cp en64/app-x64-en.msi fake/ && "
               "echo 'not a cabinet' > fake/app-x64-en.cab && "
               "ln -s k.private.pem link.pem && ln en64/app-x64-en.msi hard.msi")
                .find("FAILED"),
            std::string::npos);
  ASSERT_EQ(Run("make -q --mode extension --stub signed.exe -k k.private.pem -o made.exe en64/app-x64-en.msi").code, 0);
  ASSERT_EQ(Run("build -q -k k.private.pem --container c.bin en64/app-x64-en.msi").code, 0);
  ASSERT_EQ(Run("make -q --stub keyed.exe -k k.private.pem -o keyed-setup.exe en64/app-x64-en.msi").code, 0);
  const std::string en = " en64/app-x64-en.msi";
  const std::string make = "make --stub signed.exe --key k.private.pem ";
  struct Case {
    std::string args;
    int code;
    std::string message;
  } cases[] = {
      // The output is an input.
      {make + "--out k.private.pem" + en, 1, "k.private.pem: is the private key (k.private.pem)"},
      {make + "--out en64/app-x64-en.msi" + en, 1, "is an MSI package (en64/app-x64-en.msi); writing the setup there would destroy it"},
      {make + "--out en64/app-x64-en.cab" + en, 1, "is a cabinet"},
      {make + "--out signed.exe" + en, 1, "signed.exe: is the stub"},
      {make + "--out ./en64/../signed.exe" + en, 1, "is the stub"},
      {make + "--out link.pem" + en, 1, "link.pem: is the private key"},
      {make + "--out hard.msi" + en, 1, "hard.msi: is an MSI package"},
      {"build --key k.private.pem --stub signed.exe --container c2.bin --out c2.bin" + en, 1,
       "c2.bin: is the container output"},
      {"attach --stub signed.exe --container c.bin --out c.bin", 1, "c.bin: is a container"},
      {"attach --stub signed.exe --container c.bin --out signed.exe", 1, "signed.exe: is the stub"},
      // The output folder.
      {make + "--out nowhere/o.exe" + en, 1, "the folder nowhere/ does not exist; create it first"},
      {make + "--out afolder" + en, 1, "afolder: is a folder"},
      // One payload.
      {"make --stub made.exe --key k.private.pem --out o.exe de64/app-x64-de.msi", 1,
       "made.exe: already carries a payload (payload extensions in certificate 2 of the signature "
       "(mode extension)): the stub would still find the old packages. Start from the bare signed "
       "stub, or give --replace"},
      {"attach --stub made.exe --container c.bin --out o.exe", 1, "made.exe: already carries a payload"},
      {"attach --add --stub keyed-setup.exe --container c.bin --out o.exe", 1,
       "keyed-setup.exe: carries a container behind its signature or at its end already, and mode "
       "cert-table would replace it, not add to it"},
      // The stub's key.
      {"make --stub keyed.exe --key other.private.pem --out o.exe" + en, 1,
       "other.private.pem is not the key keyed.exe trusts: the key's fingerprint is " + other +
           ", the stub's is " + k},
      {"attach --stub keyed.exe --key other.public.pem --container c.bin --out o.exe", 1,
       "other.public.pem is not the key keyed.exe trusts"},
      {"make --stub devkeyed.exe --key k.private.pem --out o.exe" + en, 1,
       "devkeyed.exe: the stub trusts the DEVELOPMENT key its build generated (fingerprint " + k +
           "), not a release key"},
      {"attach --stub devkeyed.exe --container c.bin --out o.exe", 1, "trusts the DEVELOPMENT key"},
      {"attach --stub keyed.exe --container c.bin --out o.exe", 1,
       "keyed.exe: the stub trusts the key with fingerprint " + k + "; give --key with its public half"},
      // Bundles the stub could not use.
      {make + "--out o.exe en86/app-x86-en.msi", 1,
       "no package is for x64: the stub is a 64-bit program and chooses only x64 packages"},
      {make + "--out o.exe arm.msi", 1, "arm.msi: its platform is \"Arm64\""},
      {make + "--out o.exe --arch x64 arm.msi", 1, "arm.msi: its platform is \"Arm64\""},
      {make + "--out o.exe --arch Intel" + en, 1, "it is an x64 package; --arch Intel would offer it to 32-bit Windows"},
      {make + "--out o.exe" + en + en, 1,
       "package 1001 (en64/app-x64-en.msi, x64, 1033, {5A1D0C11-0000-4A00-8000-000000001033}) could "
       "never be chosen: package 1000 (en64/app-x64-en.msi, x64, 1033, "
       "{5A1D0C11-0000-4A00-8000-000000001033}) comes first with the same architecture and every "
       "language it lists (the same package twice?)"},
      {make + "--out o.exe en64/app-x64-de.msi de64/app-x64-de.msi", 1, "en64/app-x64-de.msi: No such file"},
      {make + "--out o.exe fake/app-x64-en.msi", 1,
       "fake/app-x64-en.cab: not a Microsoft cabinet (\"MSCF\")"},
      {"build --key k.private.pem --container o.bin --package 'x64:1033:{A}:A:en64/app-x64-en.cab'", 1,
       "en64/app-x64-en.cab: not an MSI package"},
      {"build --key k.private.pem --container o.bin --package 'x64:1033:{A}:A:en64/app-x64-en.msi'", 1,
       "package 1000 (en64/app-x64-en.msi): its Media table names the cabinet \"app-x64-en.cab\", "
       "which no --cab gives it (msiexec could not find it); add --cab en64/app-x64-en.cab:1000"},
      {make + "--out o.exe --code not-a-guid" + en, 2, "--code not-a-guid: a product code is a GUID in braces"},
      // Names Windows cannot create in the extraction folder.
      {"build --key k.private.pem --container o.bin --package 'x64:1033:NUL:A:en64/app-x64-en.msi'", 1,
       "the product code \"NUL\" names the extraction folder and must be a plain file name"},
      {"build --key k.private.pem --container o.bin --package 'x64:1033:{A}:A:en64/app-x64-en.msi' "
       "--cab 'en64/a?b.cab:1000'", 1, "\"a?b.cab\" cannot be the name of a file next to main.msi"},
      // Conventions.
      {make + "--out o.exe --quiet --verbose" + en, 2, "--quiet and --verbose contradict each other"},
      {make + "-o o.exe -q -v" + en, 2, "--quiet and --verbose contradict each other"},
      {"attach --stub made.exe --container c.bin --out o.exe --replace --add", 2,
       "--replace and --add contradict each other"},
  };
  const auto before = Snapshot(dir);
  for (const Case& c : cases) {
    const Result r = Run(c.args);
    EXPECT_EQ(r.code, c.code) << c.args << "\n" << r.output;
    EXPECT_NE(r.output.find("msistub-pack: error: "), std::string::npos) << c.args << "\n" << r.output;
    EXPECT_NE(r.output.find(c.message), std::string::npos) << c.args << "\n" << r.output;
    EXPECT_EQ(r.output.find("compressing"), std::string::npos) << "refused late: " << c.args;
    EXPECT_TRUE(Snapshot(dir) == before) << "an input or output changed: " << c.args;
  }
  // A cabinet the Media table does not name is refused, and nothing is written.
  const Result extra = Run("build --key k.private.pem --container extra.bin --package "
                           "'x64:1033:{A}:A:en64/app-x64-en.msi' --cab en64/app-x64-en.cab:1000 "
                           "--cab de64/app-x64-de.cab:1000");
  EXPECT_EQ(extra.code, 1) << extra.output;
  EXPECT_NE(extra.output.find("cabinet \"app-x64-de.cab\" of package 1000 is not named by "
                              "en64/app-x64-en.msi's Media table"),
            std::string::npos) << extra.output;
  EXPECT_FALSE(fs::exists(P("extra.bin")));
  // The hint for a foreign platform never suggests --arch.
  EXPECT_EQ(Run(make + "--out o.exe arm.msi").output.find("--arch"), std::string::npos);
  // A folder the caller cannot write (the test runs as root, who may write anywhere: the
  // tool runs as nobody here; the private key, readable by root only, is not read first).
  if (geteuid() == 0) {
    const std::string r = Sh("setpriv --reuid=65534 --regid=65534 --clear-groups '" MSISTUB_PACK_EXE
                        "' make --stub signed.exe --key k.private.pem --out afolder/o.exe" + en);
    EXPECT_NE(r.find("afolder/o.exe: the folder afolder/ is not writable; choose another output"),
              std::string::npos) << r;
    EXPECT_TRUE(Snapshot(dir) == before);
  }
}

// What the refusals above leave open: the stub's own key passes, a development-key stub
// with the flag, --replace turns a made setup into one with just the new package, and
// inspect reports the stub's key and the certificate padding check.
TEST_F(MakeTest, StubKeyReplaceAndPaddingCheck) {
  MakeProducts();
  const std::string k = FingerprintOfBlob(P("k.public.blob"));
  const Bytes kFingerprint = FromHex(k);
  Write("keyed.exe", MakeSignedPe(Pe32PlusWithKeyResource(kFingerprint.data(), 0)).image);
  Write("devkeyed.exe", MakeSignedPe(Pe32PlusWithKeyResource(kFingerprint.data(), 1)).image);
  Result r = Run("make --json --stub keyed.exe -k k.private.pem -o keyed-setup.exe" + msis);
  ASSERT_EQ(r.code, 0) << r.output;
  JsonValue doc;
  std::string error;
  ASSERT_TRUE(ParseJson(r.output, &doc, &error)) << error << "\n" << r.output;
  EXPECT_EQ(Member(doc, "schema")->text, "1");
  EXPECT_EQ(Member(doc, "entries")->items.size(), 6u);
  // The Template/ProductLanguage note decides a language: reported without --verbose too.
  ASSERT_EQ(Member(doc, "notes")->items.size(), 2u) << r.output;
  EXPECT_EQ(Member(doc, "notes")->items[0].text,
            "de64/app-x64-de.msi: the Template says language 1033, ProductLanguage says 1031; using "
            "ProductLanguage (give --languages to choose)");
  EXPECT_NE(Member(doc, "notes")->items[1].text.find("package 1002 (" + std::string(kProducts[2].dir) +
                                                    "/app-x86-en.msi, Intel"), std::string::npos);
  EXPECT_EQ(Member(*Member(doc, "coverage"), "fallback")->text, "1000");
  r = Run("make --stub keyed.exe -k k.private.pem -o text-notes.exe" + msis);
  EXPECT_NE(r.output.find("de64/app-x64-de.msi: the Template says language 1033, ProductLanguage says 1031"),
            std::string::npos) << r.output;
  EXPECT_EQ(Member(doc, "replaced")->kind, JsonValue::BOOLEAN);
  ASSERT_EQ(Run("make -q --allow-development-key --stub devkeyed.exe -k k.private.pem -o dev-setup.exe" + msis).code, 0);

  r = Run("inspect keyed-setup.exe");
  EXPECT_NE(r.output.find("stub key: " + k + " (SHA-256 of the public key blob)"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("certificate padding check: FAILS where Windows enforces it"), std::string::npos)
      << r.output;
  r = Run("inspect --json dev-setup.exe");
  ASSERT_TRUE(ParseJson(r.output, &doc, &error)) << error << "\n" << r.output;
  EXPECT_EQ(Member(doc, "schema")->text, "1");
  EXPECT_EQ(Member(*Member(doc, "stubKey"), "fingerprint")->text, k);
  EXPECT_TRUE(Member(*Member(doc, "stubKey"), "development")->boolean);
  r = Run("inspect --json signed.exe");
  ASSERT_TRUE(ParseJson(r.output, &doc, &error)) << error << "\n" << r.output;
  EXPECT_EQ(Member(doc, "stubKey")->kind, JsonValue::NUL);
  EXPECT_EQ(Member(*Member(doc, "paddingCheck"), "result")->text, "passes");

  // An extension-mode setup used as the base of a new one: --replace removes the old
  // container (its carrier certificate too), and only the new package remains.
  ASSERT_EQ(Run("make -q --mode extension --stub keyed.exe -k k.private.pem -o ext.exe en64/app-x64-en.msi").code, 0);
  r = Run("verify --json --key k.public.pem ext.exe");
  ASSERT_TRUE(ParseJson(r.output, &doc, &error)) << error << "\n" << r.output;
  EXPECT_EQ(Member(*Member(doc, "paddingCheck"), "result")->text, "passes") << r.output;
  r = Run("make --replace --stub ext.exe -k k.private.pem -o replaced.exe de64/app-x64-de.msi");
  ASSERT_EQ(r.code, 0) << r.output;
  r = Run("inspect replaced.exe");
  EXPECT_NE(r.output.find("source 0: whole file"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("source 1"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("certificate 2"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find(kProducts[0].code), std::string::npos) << r.output;
  EXPECT_NE(r.output.find(kProducts[1].code), std::string::npos) << r.output;
  r = Run("select --json --lcid 1031 --key k.public.pem replaced.exe");
  ASSERT_TRUE(ParseJson(r.output, &doc, &error)) << error << "\n" << r.output;
  EXPECT_EQ(Member(*Member(doc, "package"), "productCode")->text, kProducts[1].code);
  // Removing the payload gives back the bare stub, byte for byte.
  ASSERT_EQ(Run("make -q --replace --mode extension --stub replaced.exe -k k.private.pem -o again.exe en64/app-x64-en.msi").code, 0);
  EXPECT_TRUE(FileBytes(P("again.exe")) == FileBytes(P("ext.exe")));

  // attach --add keeps what the stub carries (a setup of several sources).
  ASSERT_EQ(Run("build -q -k k.private.pem --container de.bin de64/app-x64-de.msi").code, 0);
  ASSERT_EQ(Run("attach --add --mode extension --stub ext.exe --key k.public.pem --container de.bin -o two.exe").code, 0);
  r = Run("inspect two.exe");
  EXPECT_NE(r.output.find("source 1: certificate 3"), std::string::npos) << r.output;
}

namespace {
// A container signed with `key`: the entries, then a small FileRecord for each id listed.
Bytes SignedContainer(EVP_PKEY* key, const std::vector<ManifestEntry>& entries,
                      const std::vector<uint32_t>& files) {
  Bytes manifest, container;
  std::string error;
  EXPECT_TRUE(EncodeManifest(entries, &manifest, &error)) << error;
  EXPECT_TRUE(AppendSignedRecord(&container, RECORD_TYPE_MANIFEST, MANIFEST_RECORD_ID, manifest, key, &error));
  for (uint32_t id : files)
    EXPECT_TRUE(AppendSignedRecord(&container, RECORD_TYPE_FILE, id, Bytes(10, 'f'), key, &error));
  return container;
}
}  // namespace

// A setup is untrusted until its manifest verifies: with a key nothing is planned from a
// manifest signed by another key; text from it never reaches the terminal raw; and extract
// writes only into a folder nobody else can change under it.
TEST_F(MakeTest, HostileSetupsAndOutputFolders) {
  std::string error;
  EVP_PKEY* dev = LoadPrivateKey(MSISTUB_TEST_PRIVATE_KEY, &error);
  ASSERT_NE(dev, nullptr) << error;
  ASSERT_EQ(Run("keygen --out k").code, 0);
  EVP_PKEY* k = LoadPrivateKey(P("k.private.pem"), &error);
  ASSERT_NE(k, nullptr) << error;
  // Signed with the dev key, naming a folder outside; checked against k: the signature
  // fails first, before the names are looked at.
  Write("foreign.bin", SignedContainer(dev, {{1000, "x64\\1033\\..\\Evil"}}, {1000}));
  Result r = Run("extract --key k.public.pem --out o foreign.bin");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.output.find("the manifest record: the signature does not verify with this key"),
            std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("refusing"), std::string::npos) << r.output;
  r = Run("inspect --key k.public.pem foreign.bin");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.output.find("manifest: whole file: the manifest record: the signature does not verify"),
            std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("Evil"), std::string::npos) << "entries shown from an unverified manifest";

  // Escape sequences in names are shown escaped, in every human-readable listing.
  Write("escape.bin", SignedContainer(k, {{1000, "x64\\1033\\{E}\\Name\x1b]0;owned\x07\xc2\x9b" "31m"}}, {1000}));
  for (const char* command : {"inspect escape.bin", "select --lcid 1033 escape.bin",
                              "extract --key k.public.pem --out esc escape.bin"}) {
    r = Run(command);
    EXPECT_EQ(r.code, 0) << command << "\n" << r.output;
    EXPECT_NE(r.output.find("Name\\x1b]0;owned\\x07\\u009b31m"), std::string::npos) << command << "\n" << r.output;
    EXPECT_EQ(r.output.find('\x1b'), std::string::npos) << command;
    EXPECT_EQ(r.output.find("\xc2\x9b"), std::string::npos) << command;
  }
  r = Run("inspect --json escape.bin");
  EXPECT_NE(r.output.find("Name\\u001b]0;owned\\u0007"), std::string::npos) << r.output;

  // Output folders: only a new one, or an empty one of the caller's that nobody else can write.
  Write("good.bin", SignedContainer(k, {{1000, "x64\\1033\\{G}\\Good"}}, {1000}));
  ASSERT_EQ(Sh("mkdir real other open mine && ln -s real link && chown 65534 other && chmod 0777 open && "
               "chmod 0755 mine && mkdir full && touch full/x").find("FAILED"), std::string::npos);
  const struct {
    const char* out;
    const char* message;
  } folders[] = {
      {"link", "link: exists and is not a folder (or is a link)"},
      {"other", "other: the folder belongs to another user"},
      {"open", "open: the folder is writable by others"},
      {"full", "full: exists and is not an empty folder"},
      {"missing/new", "missing/new: cannot create the folder (No such file or directory; its parent folder must exist)"},
      {"good.bin", "good.bin: exists and is not a folder"},
  };
  for (const auto& f : folders) {
    r = Run(std::string("extract --key k.public.pem --out ") + f.out + " good.bin");
    EXPECT_EQ(r.code, 1) << f.out << "\n" << r.output;
    EXPECT_NE(r.output.find(f.message), std::string::npos) << f.out << "\n" << r.output;
  }
  EXPECT_TRUE(fs::is_empty(P("real")) && fs::is_empty(P("other")) && fs::is_empty(P("open")));
  r = Run("extract --json --key k.public.pem --out mine good.bin");
  ASSERT_EQ(r.code, 0) << r.output;
  JsonValue doc;
  ASSERT_TRUE(ParseJson(r.output, &doc, &error)) << error << "\n" << r.output;
  EXPECT_EQ(Member(doc, "schema")->text, "1");
  EXPECT_EQ(Member(Member(doc, "packages")->items.at(0), "folder")->text, "{G}");
  EXPECT_TRUE(FileBytes(P("mine/{G}/main.msi")) == Bytes(10, 'f'));
  EVP_PKEY_free(k);
  EVP_PKEY_free(dev);
}

// A cabinet that lacks files its MSI places in it: make and attach refuse it, naming the
// files, the cabinet and the Media row; a setup made around the checks (by the library)
// fails verify with the same reason, and the verdict line says it will not install.
TEST_F(MakeTest, CabinetLackingFilesIsRefusedAndFailsVerify) {
  MakeProducts();
  // The same MSI with a cabinet holding one of its three files.
  ASSERT_EQ(Sh("mkdir -p short x && cp en64/app-x64-en.msi short/ && cd x && gcab -x ../en64/app-x64-en.cab "
               "&& gcab -c -z ../short/app-x64-en.cab readme.txt").find("FAILED"), std::string::npos);
  const std::string missing =
      "package 1000 (short/app-x64-en.msi): cabinet \"app-x64-en.cab\" lacks 2 of the files the MSI "
      "places in it (Media row 1, File sequences 1-3): \"engine.dll\", \"data.bin\"; msiexec would fail "
      "with 1603 on the target machine";
  for (const std::string& args :
       {std::string("make --stub signed.exe --key k.private.pem --out o.exe short/app-x64-en.msi"),
        std::string("build --key k.private.pem --container o.bin --package "
                    "'x64:1033:{A}:A:short/app-x64-en.msi' --cab short/app-x64-en.cab:1000")}) {
    const Result r = Run(args);
    EXPECT_EQ(r.code, 1) << args << "\n" << r.output;
    EXPECT_NE(r.output.find("msistub-pack: error: " + missing), std::string::npos) << args << "\n" << r.output;
    EXPECT_EQ(r.output.find("compressing"), std::string::npos) << args;
    EXPECT_FALSE(fs::exists(P("o.exe")) || fs::exists(P("o.bin")));
  }

  // Made without the check, as an older tool would have.
  std::string error;
  EVP_PKEY* key = LoadPrivateKey(P("k.private.pem"), &error);
  ASSERT_NE(key, nullptr) << error;
  SetupSpec setup;
  setup.packages.push_back({"x64", "1033", kProducts[0].code, kName, P("short/app-x64-en.msi")});
  CabinetSpec cabinet;
  cabinet.path = P("short/app-x64-en.cab");
  cabinet.packageIds = {FIRST_PACKAGE_ID};
  setup.cabinets.push_back(cabinet);
  Bytes container;
  std::vector<ManifestEntry> entries;
  ASSERT_TRUE(FinishSetup(&setup, &error)) << error;
  ASSERT_TRUE(BuildContainer(setup, key, &container, &error, nullptr, &entries, 0xFFFFFFFFu)) << error;
  EVP_PKEY_free(key);
  Write("short.bin", container);
  // attach checks what it attaches as verify would, and refuses.
  Result r = Run("attach --stub signed.exe --container short.bin --out short.exe");
  EXPECT_EQ(r.code, 1) << r.output;
  EXPECT_NE(r.output.find("msistub-pack: error: the setup would not install: package 1000 (short.bin): "
                          "cabinet \"app-x64-en.cab\" lacks 2 of the files"), std::string::npos) << r.output;
  EXPECT_FALSE(fs::exists(P("short.exe")));
  Bytes image = MakeSignedPe().image;
  ASSERT_TRUE(AttachToCertificateTable(&image, container, &error)) << error;
  Write("short.exe", image);
  r = Run("verify --key k.public.pem short.exe", false);
  EXPECT_EQ(r.code, 1) << r.output;
  EXPECT_NE(r.output.find("short.exe: 1 source(s), 3 record(s), all verified"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("verdict: the setup will NOT install: package 1000 (whole file): cabinet "
                          "\"app-x64-en.cab\" lacks 2 of the files"), std::string::npos) << r.output;
  r = Run("verify --json --key k.public.pem short.exe", false);
  JsonValue doc;
  ASSERT_TRUE(ParseJson(r.output, &doc, &error)) << error << "\n" << r.output;
  EXPECT_TRUE(Member(doc, "verified")->boolean);
  EXPECT_FALSE(Member(doc, "installs")->boolean);
  ASSERT_EQ(Member(doc, "installProblems")->items.size(), 1u) << r.output;
  EXPECT_NE(Member(doc, "installProblems")->items[0].text.find("lacks 2 of the files"), std::string::npos);
  // The whole product verifies and will install.
  r = Run("make -q --stub signed.exe --key k.private.pem --out good.exe" + msis);
  ASSERT_EQ(r.code, 0) << r.output;
  r = Run("verify --key k.public.pem good.exe", false);
  EXPECT_EQ(r.code, 0) << r.output;
  EXPECT_NE(r.output.find("verdict: the setup will install: 3 package(s), every record verified, the "
                          "payload where the stub reads it, every cabinet holding its MSI's files, a "
                          "package for every language"), std::string::npos) << r.output;
}
