#include "audio_file_writer.h"

#include <dlfcn.h>
#include <sndfile.h>

#include <cerrno>
#include <cstring>
#include <strings.h>

namespace {

void Put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void Put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

// RIFF WAVE, PCM, 2 channels, 44,100 Hz, 16 bits. The sizes are known
// before the first sample, so the header is written once, first, and a pipe
// gets a complete file too.
class WavFileWriter : public AudioFileWriter {
 public:
  explicit WavFileWriter(const std::string& path) : AudioFileWriter(path) {}

  bool Open(std::uint64_t frames) override {
    if (frames > kWavMaxFrames) {
      error_ = "a WAV file holds at most 4 GiB of audio";
      return false;
    }
    expected_ = frames * 4;
    if (!output_.Open(44 + expected_)) return Fail();
    std::uint8_t h[44];
    std::memcpy(h, "RIFF", 4);
    Put32(h + 4, static_cast<std::uint32_t>(36 + expected_));
    std::memcpy(h + 8, "WAVEfmt ", 8);
    Put32(h + 16, 16);
    Put16(h + 20, 1);  // PCM
    Put16(h + 22, 2);
    Put32(h + 24, 44100);
    Put32(h + 28, 44100 * 4);
    Put16(h + 32, 4);
    Put16(h + 34, 16);
    std::memcpy(h + 36, "data", 4);
    Put32(h + 40, static_cast<std::uint32_t>(expected_));
    return output_.Write(h, sizeof h) || Fail();
  }

  bool Write(const std::int16_t* pcm, std::uint32_t frames) override {
    written_ += std::uint64_t{frames} * 4;
    return output_.Write(pcm, std::size_t{frames} * 4) || Fail();
  }

  bool Commit() override {
    if (written_ != expected_) {
      error_ = "the audio came out shorter than its header says";
      return false;
    }
    return output_.Commit() || Fail();
  }

  std::string Error() const override { return error_; }

 private:
  bool Fail() {
    if (error_.empty()) error_ = std::strerror(errno);
    return false;
  }
  std::uint64_t expected_ = 0;
  std::uint64_t written_ = 0;
  std::string error_;
};

// libsndfile is loaded when a compressed file is asked for, so that a WAV
// render does not pay for loading it and its codecs.
struct SndfileApi {
  decltype(&sf_open_fd) open = nullptr;
  decltype(&sf_writef_short) writef = nullptr;
  decltype(&sf_close) close = nullptr;
  decltype(&sf_strerror) strerror = nullptr;
  decltype(&sf_command) command = nullptr;
};

const SndfileApi* LoadSndfile() {
  static SndfileApi api;
  static bool tried = false;
  if (!tried) {
    tried = true;
    if (void* library = dlopen("libsndfile.so.1", RTLD_NOW | RTLD_LOCAL)) {
      api.open = reinterpret_cast<decltype(api.open)>(dlsym(library, "sf_open_fd"));
      api.writef = reinterpret_cast<decltype(api.writef)>(dlsym(library, "sf_writef_short"));
      api.close = reinterpret_cast<decltype(api.close)>(dlsym(library, "sf_close"));
      api.strerror = reinterpret_cast<decltype(api.strerror)>(dlsym(library, "sf_strerror"));
      api.command = reinterpret_cast<decltype(api.command)>(dlsym(library, "sf_command"));
    }
  }
  return api.open && api.writef && api.close && api.strerror && api.command ? &api : nullptr;
}

class SndfileWriter : public AudioFileWriter {
 public:
  SndfileWriter(const std::string& path, int format) : AudioFileWriter(path), format_(format) {}
  ~SndfileWriter() override {
    if (file_ != nullptr) api_->close(file_);
  }

  bool Open(std::uint64_t) override {
    api_ = LoadSndfile();
    if (api_ == nullptr) {
      error_ = "libsndfile (libsndfile.so.1) cannot be loaded";
      return false;
    }
    if (!output_.Open()) {
      error_ = std::strerror(errno);
      return false;
    }
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 2;
    info.format = format_;
    file_ = api_->open(output_.Descriptor(), SFM_WRITE, &info, 0);
    if (file_ == nullptr) {
      error_ = api_->strerror(nullptr);
      return false;
    }
    return true;
  }

  bool Write(const std::int16_t* pcm, std::uint32_t frames) override {
    if (api_->writef(file_, pcm, frames) == static_cast<sf_count_t>(frames)) return true;
    error_ = api_->strerror(file_);
    return false;
  }

  bool Commit() override {
    const int closed = api_->close(file_);
    file_ = nullptr;
    if (closed != 0) {
      error_ = api_->strerror(nullptr);
      return false;
    }
    if (!output_.Commit()) {
      error_ = std::strerror(errno);
      return false;
    }
    return true;
  }

  std::string Error() const override { return error_; }

 private:
  const int format_;
  const SndfileApi* api_ = nullptr;
  SNDFILE* file_ = nullptr;
  std::string error_;
};

bool EndsWith(const std::string& s, const char* suffix) {
  const std::size_t n = std::strlen(suffix);
  return s.size() >= n && strcasecmp(s.c_str() + s.size() - n, suffix) == 0;
}

}  // namespace

AudioFileFormat FormatForName(const std::string& path) {
  if (EndsWith(path, ".flac")) return AudioFileFormat::kFlac;
  if (EndsWith(path, ".ogg")) return AudioFileFormat::kVorbis;
  if (EndsWith(path, ".mp3")) return AudioFileFormat::kMp3;
  return AudioFileFormat::kWav;
}

std::unique_ptr<AudioFileWriter> MakeAudioFileWriter(const std::string& path) {
  switch (FormatForName(path)) {
    case AudioFileFormat::kFlac: return std::make_unique<SndfileWriter>(path, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    case AudioFileFormat::kVorbis: return std::make_unique<SndfileWriter>(path, SF_FORMAT_OGG | SF_FORMAT_VORBIS);
    case AudioFileFormat::kMp3:
      return std::make_unique<SndfileWriter>(path, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III);
    case AudioFileFormat::kWav: break;
  }
  return std::make_unique<WavFileWriter>(path);
}
