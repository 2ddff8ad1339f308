// Runs a fuzz target on saved inputs, as an ordinary program: every file
// named on the command line (folders: every file in them).
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  int count = 0;
  for (int i = 1; i < argc; ++i) {
    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(argv[i])) {
      // Notes kept beside the inputs are not inputs.
      for (const auto& entry : std::filesystem::directory_iterator(argv[i]))
        if (entry.is_regular_file() && entry.path().extension() != ".md") files.push_back(entry.path());
    } else {
      files.emplace_back(argv[i]);
    }
    for (const auto& file : files) {
      std::ifstream in(file, std::ios::binary);
      const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      ++count;
    }
  }
  // A replay that was handed nothing has tested nothing.
  if (count == 0) {
    std::printf("0 passed, 1 failed: no inputs\n");
    return 1;
  }
  std::printf("%d passed, 0 failed\n", count);
  return 0;
}
