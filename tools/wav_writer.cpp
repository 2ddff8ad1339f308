#include "wav_writer.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

namespace {
void Put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void Put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void Header(std::uint8_t* h, std::uint32_t dataBytes) {
  std::memcpy(h, "RIFF", 4);
  Put32(h + 4, 36 + dataBytes);
  std::memcpy(h + 8, "WAVEfmt ", 8);
  Put32(h + 16, 16);
  Put16(h + 20, 1);  // PCM
  Put16(h + 22, 2);
  Put32(h + 24, 44100);
  Put32(h + 28, 44100 * 4);
  Put16(h + 32, 4);
  Put16(h + 34, 16);
  std::memcpy(h + 36, "data", 4);
  Put32(h + 40, dataBytes);
}
}  // namespace

// A regular file (or a new one) is written beside its final name and moved
// into place when complete; anything else (a device, a pipe) is written
// directly, never replaced.
WavWriter::WavWriter(std::string path) : path_(std::move(path)) {
  struct stat info {};
  direct_ = ::stat(path_.c_str(), &info) == 0 && !S_ISREG(info.st_mode);
  tempPath_ = direct_ ? path_ : path_ + ".part";
}

WavWriter::~WavWriter() {
  if (file_ != nullptr) {
    std::fclose(file_);
    if (!direct_) std::remove(tempPath_.c_str());
  }
}

bool WavWriter::Open(std::uint64_t expectedBytes) {
  file_ = std::fopen(tempPath_.c_str(), "wb");
  if (file_ == nullptr) return false;
  // Best effort, and never past what is written: the size stays as it is.
  if (!direct_ && expectedBytes != 0)
    (void)::fallocate(fileno(file_), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(44 + expectedBytes));
  // Callers hand over large runs of audio; they go straight to the file.
  std::setvbuf(file_, nullptr, _IONBF, 0);
  std::uint8_t header[44];
  Header(header, 0);
  return std::fwrite(header, 1, sizeof header, file_) == sizeof header;
}

bool WavWriter::Write(const void* pcm, std::uint32_t bytes) {
  if (file_ == nullptr) return false;
  ok_ = ok_ && std::fwrite(pcm, 1, bytes, file_) == bytes;
  dataBytes_ += bytes;
  return ok_;
}

bool WavWriter::Commit() {
  if (file_ == nullptr) return false;
  std::uint8_t header[44];
  Header(header, dataBytes_ > 0xFFFFFFD0u ? 0xFFFFFFD0u : static_cast<std::uint32_t>(dataBytes_));
  // A stream that cannot seek back keeps the header written first.
  if (std::fseek(file_, 0, SEEK_SET) == 0)
    ok_ = ok_ && std::fwrite(header, 1, sizeof header, file_) == sizeof header;
  else
    ok_ = ok_ && direct_;
  ok_ = std::fclose(file_) == 0 && ok_;
  file_ = nullptr;
  if (direct_) return ok_;
  if (!ok_ || std::rename(tempPath_.c_str(), path_.c_str()) != 0) {
    std::remove(tempPath_.c_str());
    return false;
  }
  return true;
}
