// Runs a fuzz target over saved inputs (files or folders), so the corpus
// is an ordinary test in builds without libFuzzer.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_common.h"

namespace {
int Replay(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    std::fprintf(stderr, "replay: %s not found\n", path.c_str());
    return 1;
  }
  if (S_ISDIR(st.st_mode)) {
    int runs = 0;
    if (DIR* dir = opendir(path.c_str())) {
      while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') runs += Replay(path + "/" + entry->d_name);
      closedir(dir);
    }
    return runs;
  }
  std::ifstream file(path, std::ios::binary);
  const std::vector<uint8_t> data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(data.data(), data.size());
  return 1;
}
}  // namespace

int main(int argc, char** argv) {
  int runs = 0;
  for (int i = 1; i < argc; ++i) runs += Replay(argv[i]);
  std::printf("replayed %d inputs\n", runs);
  return runs > 0 ? 0 : 1;
}
