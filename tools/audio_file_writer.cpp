#include "audio_file_writer.h"

#include <dlfcn.h>
#include <sndfile.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

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

  bool Finish() override {
    if (written_ == expected_) return true;
    error_ = "the audio came out shorter than its header says";
    return false;
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
  decltype(&sf_open_virtual) open = nullptr;
  decltype(&sf_writef_short) writef = nullptr;
  decltype(&sf_writef_float) writefFloat = nullptr;
  decltype(&sf_close) close = nullptr;
  decltype(&sf_strerror) strerror = nullptr;
  decltype(&sf_error_number) errorText = nullptr;
  decltype(&sf_command) command = nullptr;
};

const SndfileApi* LoadSndfile() {
  static const SndfileApi api = [] {
    SndfileApi loaded;
    if (void* library = dlopen("libsndfile.so.1", RTLD_NOW | RTLD_LOCAL)) {
      loaded.open = reinterpret_cast<decltype(loaded.open)>(dlsym(library, "sf_open_virtual"));
      loaded.writef = reinterpret_cast<decltype(loaded.writef)>(dlsym(library, "sf_writef_short"));
      loaded.writefFloat = reinterpret_cast<decltype(loaded.writefFloat)>(dlsym(library, "sf_writef_float"));
      loaded.close = reinterpret_cast<decltype(loaded.close)>(dlsym(library, "sf_close"));
      loaded.strerror = reinterpret_cast<decltype(loaded.strerror)>(dlsym(library, "sf_strerror"));
      loaded.errorText = reinterpret_cast<decltype(loaded.errorText)>(dlsym(library, "sf_error_number"));
      loaded.command = reinterpret_cast<decltype(loaded.command)>(dlsym(library, "sf_command"));
    }
    return loaded;
  }();
  return api.open && api.writef && api.writefFloat && api.close && api.strerror && api.errorText && api.command
             ? &api
             : nullptr;
}

// libsndfile keeps the error of an open that failed for the whole process
// (sf_strerror(NULL)), and an encoder may set up tables of its own the
// first time one starts: files are opened one at a time, with that error
// read before the next open.
std::mutex sndfileOpens;

// libsndfile writes through these callbacks, not to the descriptor itself:
// the encoders do not all look at what a write returns (MP3 never does, and
// the last data go out when the file is closed), so the first failed write
// is kept here and ends the file. A direct target (a pipe, a device) is
// written in order and cannot seek; an encoder that completes the file's
// start once it has seen the end (FLAC's stream info, MP3's Xing and LAME
// tag) writes into a temporary file instead, sent on in one piece when it
// is complete, so that a pipe gets the very file a render to a file gives.
//
// libsndfile's MP3 encoder takes 16-bit stereo samples wrongly: it copies
// half of each block (a count of samples taken for one of bytes) and hands
// the encoder unset memory for the rest, which comes out as noise. It is
// given the same samples as floats (s / 32768, exact), which it takes whole.
class SndfileWriter : public AudioFileWriter {
 public:
  SndfileWriter(const std::string& path, int format, const char* encoder, bool goesBack, bool floatSamples = false)
      : AudioFileWriter(path), format_(format), encoder_(encoder), goesBack_(goesBack), floatSamples_(floatSamples) {}
  ~SndfileWriter() override {
    if (file_ != nullptr) api_->close(file_);
  }

  bool Open(std::uint64_t) override {
    api_ = LoadSndfile();
    if (api_ == nullptr) {
      error_ = "libsndfile (libsndfile.so.1) cannot be loaded";
      return false;
    }
    if (!output_.Open() || (output_.Direct() && goesBack_ && !(spool_ = TemporaryFile()).Valid())) {
      error_ = std::strerror(errno);
      return false;
    }
    SF_VIRTUAL_IO io{&Length, &Seek, &Read, &Put, &Tell};
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 2;
    info.format = format_;
    std::unique_lock<std::mutex> opening(sndfileOpens);
    file_ = api_->open(&io, SFM_WRITE, &info, this);
    if (file_ == nullptr) return Failed(api_->strerror(nullptr));
    opening.unlock();
    return ioError_ == 0 || Failed(nullptr);
  }

  bool Write(const std::int16_t* pcm, std::uint32_t frames) override {
    sf_count_t written = 0;
    if (floatSamples_) {
      samples_.resize(std::size_t{frames} * 2);
      for (std::size_t i = 0; i < samples_.size(); ++i) samples_[i] = static_cast<float>(pcm[i]) / 32768.0f;
      written = api_->writefFloat(file_, samples_.data(), frames);
    } else {
      written = api_->writef(file_, pcm, frames);
    }
    if (ioError_ == 0 && written == static_cast<sf_count_t>(frames)) {
      wroteAudio_ = wroteAudio_ || frames > 0;
      return true;
    }
    // libsndfile prints an error number it does not know on standard
    // output: the encoder's text is asked for only where it is shown.
    return Failed(ioError_ == 0 ? api_->strerror(file_) : nullptr);
  }

  bool Finish() override {
    // The FLAC and MP3 encoders start their stream (FLAC's marker and
    // stream info, MP3's tag frame) with the first audio: a file of no
    // frames would be left empty, which no player takes for a sound file.
    // Its start is written now, as that of a stream that holds nothing.
    // (Ogg Vorbis writes its headers when it is opened, and would write
    // them twice.)
    if (!wroteAudio_ && ioError_ == 0 && (format_ & SF_FORMAT_TYPEMASK) != SF_FORMAT_OGG)
      (void)api_->command(file_, SFC_UPDATE_HEADER_NOW, nullptr, 0);
    const int closed = api_->close(file_);
    file_ = nullptr;
    if (ioError_ == 0 && closed == 0) return SendSpool() || Failed(nullptr);
    return Failed(ioError_ == 0 ? api_->errorText(closed) : nullptr);
  }

  std::string Error() const override { return error_; }

 private:
  static SndfileWriter& Of(void* self) { return *static_cast<SndfileWriter*>(self); }
  static sf_count_t Length(void* self) { return Of(self).length_; }
  static sf_count_t Tell(void* self) { return Of(self).position_; }

  // Written in order, without going back.
  bool Streamed() const { return output_.Direct() && !spool_.Valid(); }
  int Target() const { return spool_.Valid() ? spool_.Get() : output_.Descriptor(); }

  static sf_count_t Seek(sf_count_t offset, int whence, void* self) {
    SndfileWriter& w = Of(self);
    const sf_count_t to = whence == SEEK_SET ? offset : (whence == SEEK_CUR ? w.position_ : w.length_) + offset;
    if (to < 0 || (w.Streamed() && to != w.position_)) return -1;
    w.position_ = to;
    return to;
  }

  static sf_count_t Read(void* data, sf_count_t count, void* self) {
    SndfileWriter& w = Of(self);
    if (w.Streamed() || count <= 0) return 0;
    const ssize_t n = ::pread(w.Target(), data, static_cast<std::size_t>(count), w.position_);
    if (n <= 0) return 0;
    w.position_ += n;
    return n;
  }

  static sf_count_t Put(const void* data, sf_count_t count, void* self) {
    SndfileWriter& w = Of(self);
    if (w.ioError_ != 0 || count <= 0) return 0;
    const auto bytes = static_cast<std::size_t>(count);
    const auto at = static_cast<std::uint64_t>(w.position_);
    const bool ok = w.Streamed()       ? w.output_.Write(data, bytes)
                    : w.spool_.Valid() ? WriteAllAt(w.spool_.Get(), data, bytes, at)
                                       : w.output_.WriteAt(data, bytes, at);
    if (!ok) {
      w.ioError_ = errno != 0 ? errno : EIO;
      return 0;
    }
    w.position_ += count;
    if (w.position_ > w.length_) w.length_ = w.position_;
    return count;
  }

  // The complete file from the temporary one to the direct target.
  bool SendSpool() {
    std::vector<std::uint8_t> buffer(1 << 18);
    for (std::uint64_t offset = 0; spool_.Valid() && offset < static_cast<std::uint64_t>(length_);) {
      const ssize_t n = ::pread(spool_.Get(), buffer.data(),
                                std::min<std::uint64_t>(buffer.size(), static_cast<std::uint64_t>(length_) - offset),
                                static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0 || !output_.Write(buffer.data(), static_cast<std::size_t>(n))) {
        ioError_ = n == 0 ? EIO : errno;
        return false;
      }
      offset += static_cast<std::uint64_t>(n);
    }
    return true;
  }

  // A write that failed is what the user needs to hear of (a full disk);
  // else what the encoder reported, named.
  bool Failed(const char* encoderError) {
    if (ioError_ != 0)
      error_ = std::strerror(ioError_);
    else
      error_ = std::string("the ") + encoder_ + " encoder failed (" + (encoderError ? encoderError : "") + ")";
    return false;
  }

  const int format_;
  const char* const encoder_;
  const bool goesBack_;
  const bool floatSamples_;
  std::vector<float> samples_;  // a block as floats, for floatSamples_
  FileDescriptor spool_;        // a direct target's file while it is written
  const SndfileApi* api_ = nullptr;
  SNDFILE* file_ = nullptr;
  bool wroteAudio_ = false;
  sf_count_t position_ = 0;
  sf_count_t length_ = 0;
  int ioError_ = 0;
  std::string error_;
};

bool EndsWith(const std::string& s, const char* suffix) {
  const std::size_t n = std::strlen(suffix);
  return s.size() >= n && strcasecmp(s.c_str() + s.size() - n, suffix) == 0;
}

}  // namespace

std::optional<AudioFileFormat> FormatForName(const std::string& path) {
  if (EndsWith(path, ".wav")) return AudioFileFormat::kWav;
  if (EndsWith(path, ".flac")) return AudioFileFormat::kFlac;
  if (EndsWith(path, ".ogg")) return AudioFileFormat::kVorbis;
  if (EndsWith(path, ".mp3")) return AudioFileFormat::kMp3;
  return std::nullopt;
}

const char* EndingOf(AudioFileFormat format) {
  switch (format) {
    case AudioFileFormat::kFlac: return ".flac";
    case AudioFileFormat::kVorbis: return ".ogg";
    case AudioFileFormat::kMp3: return ".mp3";
    case AudioFileFormat::kWav: break;
  }
  return ".wav";
}

std::optional<AudioFileFormat> FormatNamed(const std::string& name) {
  if (name.empty() || name.find('.') != std::string::npos) return std::nullopt;
  return FormatForName("." + name);
}

std::unique_ptr<AudioFileWriter> MakeAudioFileWriter(const std::string& path, AudioFileFormat format) {
  switch (format) {
    case AudioFileFormat::kFlac:
      return std::make_unique<SndfileWriter>(path, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, "FLAC", true);
    case AudioFileFormat::kVorbis:
      return std::make_unique<SndfileWriter>(path, SF_FORMAT_OGG | SF_FORMAT_VORBIS, "Ogg Vorbis", false);
    case AudioFileFormat::kMp3:
      return std::make_unique<SndfileWriter>(path, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, "MP3", true, true);
    case AudioFileFormat::kWav: break;
  }
  return std::make_unique<WavFileWriter>(path);
}
