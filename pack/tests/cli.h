// Runs msistub-pack (MSISTUB_PACK_EXE) in a fresh folder per test and collects its exit code
// and output (stdout and stderr together).
#pragma once
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "pack/fileio.h"

namespace fs = std::filesystem;

namespace {
struct Result {
  int code;
  std::string output;  // stdout and stderr
};

struct CliHarness : ::testing::Test {
  fs::path dir;

  void SetUp() override {
    // The process id keeps runs of several trees (and developers) on one machine apart.
    dir = fs::temp_directory_path() /
          (std::string("pack-cli-") + ::testing::UnitTest::GetInstance()->current_test_info()->name() +
           "-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  std::string P(const std::string& name) const { return (dir / name).string(); }

  // `stderrToo`: stderr is collected with stdout; else it is dropped.
  Result Run(const std::string& args, bool stderrToo = true) const {
    const std::string command = "cd '" + dir.string() + "' && '" MSISTUB_PACK_EXE "' " + args +
                                (stderrToo ? " 2>&1" : " 2>/dev/null");
    Result r{-1, ""};
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return r;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) r.output.append(buffer, n);
    const int status = pclose(pipe);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
  }

  void Write(const std::string& name, const Bytes& bytes) const {
    std::ofstream(P(name), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                   static_cast<std::streamsize>(bytes.size()));
  }

};
}  // namespace
