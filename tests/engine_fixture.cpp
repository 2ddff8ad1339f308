#include "engine_fixture.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

std::string CorpusDir() { return ZEVORA_CORPUS_DIR; }

std::vector<std::string> CorpusFiles() {
  std::vector<std::string> files;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(CorpusDir(), error))
    if (entry.path().extension() == ".xm") files.push_back(entry.path().string());
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
