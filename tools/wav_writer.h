// Writes 16-bit stereo 44,100 Hz PCM as a RIFF WAVE file. The file appears
// under its name only when it is complete.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

class WavWriter {
 public:
  explicit WavWriter(std::string path);
  ~WavWriter();
  WavWriter(const WavWriter&) = delete;
  WavWriter& operator=(const WavWriter&) = delete;

  // expectedBytes: the size of the audio data to come, if known; the space
  // is reserved at once, which saves the file system allocating it piece by
  // piece.
  bool Open(std::uint64_t expectedBytes = 0);
  bool Write(const void* pcm, std::uint32_t bytes);
  // Finishes the header and moves the file into place.
  bool Commit();

 private:
  std::string path_;
  std::string tempPath_;
  std::FILE* file_ = nullptr;
  std::uint64_t dataBytes_ = 0;
  bool ok_ = true;
  bool direct_ = false;  // the target is not a regular file
};
