// Runs a libFuzzer target without libFuzzer: calls its
// LLVMFuzzerTestOneInput once with the bytes of each file named, so that a
// fuzz target's seed corpus runs wherever its sources build (mingw-w64, for
// one, which has no libFuzzer):
//   replay_fuzz_diff FILE...
// A broken property aborts the run, as it stops the fuzzer, and the summary
// line is then missing. Prints "N passed, M failed", an unreadable file
// counting as failed.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool read_file(const char* path, std::vector<std::uint8_t>* content) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return false;
  std::uint8_t buffer[65536];
  std::size_t count;
  while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    content->insert(content->end(), buffer, buffer + count);
  }
  const bool complete = std::ferror(file) == 0;
  std::fclose(file);
  return complete;
}

}  // namespace

int main(int argc, char** argv) {
  int passed = 0;
  int failed = 0;
  for (int arg = 1; arg < argc; ++arg) {
    std::vector<std::uint8_t> input;
    if (!read_file(argv[arg], &input)) {
      std::printf("%s: cannot be read\n", argv[arg]);
      ++failed;
      continue;
    }
    // Exactly the input's bytes on the heap, as libFuzzer passes them.
    input.shrink_to_fit();
    LLVMFuzzerTestOneInput(input.data(), input.size());
    std::printf("%s: %zu bytes, passed\n", argv[arg], input.size());
    std::fflush(stdout);
    ++passed;
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
