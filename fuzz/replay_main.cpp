// Standalone runner for a fuzz target without libFuzzer: every file named on the command
// line, and every regular file inside a named directory, is passed once to
// LLVMFuzzerTestOneInput. A finding aborts; no input at all is a failure too, so an empty or
// missing corpus cannot pass unnoticed.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {
bool RunFile(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    std::perror(path.c_str());
    return false;
  }
  std::vector<uint8_t> bytes;
  uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof(chunk), f)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
  std::fclose(f);
  // A fresh block of exactly the input's size, as libFuzzer passes it.
  std::vector<uint8_t> input(bytes);
  input.shrink_to_fit();
  LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
  return true;
}
}  // namespace

int main(int argc, char** argv) {
  size_t runs = 0;
  bool ok = true;
  for (int i = 1; i < argc; ++i) {
    struct stat st;
    if (stat(argv[i], &st) != 0) {
      std::perror(argv[i]);
      ok = false;
      continue;
    }
    if (!S_ISDIR(st.st_mode)) {
      ok = RunFile(argv[i]) && ok;
      ++runs;
      continue;
    }
    std::vector<std::string> names;
    if (DIR* dir = opendir(argv[i])) {
      while (dirent* e = readdir(dir)) {
        const std::string path = std::string(argv[i]) + "/" + e->d_name;
        if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) names.push_back(path);
      }
      closedir(dir);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& path : names) {
      ok = RunFile(path) && ok;
      ++runs;
    }
  }
  std::printf("replayed %zu inputs\n", runs);
  if (runs == 0) {
    std::fprintf(stderr, "no inputs\n");
    return 1;
  }
  return ok ? 0 : 1;
}
