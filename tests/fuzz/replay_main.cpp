// Runs a fuzz harness over the files of its corpus directories, without the
// fuzzing engine: every input a fuzzer once found stays a test of the normal
// build. Exits non-zero when an input cannot be read; a harness that trips
// fails the way it would under the fuzzer.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  int inputs = 0;
  for (int i = 1; i < argc; ++i) {
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(argv[i]))
      if (e.is_regular_file()) files.push_back(e.path());
    for (const auto& path : files) {
      std::ifstream in(path, std::ios::binary);
      if (!in) {
        fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
      }
      std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(data.data(), data.size());
      ++inputs;
    }
  }
  fprintf(stderr, "replayed %d inputs\n", inputs);
  return inputs > 0 ? 0 : 1;
}
