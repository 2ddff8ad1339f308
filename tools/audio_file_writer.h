// Writes 16-bit stereo 44,100 Hz PCM to a sound file: WAV by our own
// writer, FLAC, Ogg Vorbis or MP3 through libsndfile. Every write, the last
// flush of the encoder and the close are checked; the file appears under
// its name only when it is complete (see OutputFile).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "output_file.h"

// The most audio a WAV file can hold: its sizes are 32-bit.
constexpr std::uint64_t kWavMaxFrames = (0xFFFFFFFFull - 36) / 4;

enum class AudioFileFormat { kWav, kFlac, kVorbis, kMp3 };

// The format a name asks for by its ending: .wav, .flac, .ogg or .mp3 (any
// letter case); none for any other name.
std::optional<AudioFileFormat> FormatForName(const std::string& path);
// The endings FormatForName takes, for messages.
constexpr const char* kAudioFileEndings = ".wav, .flac, .ogg or .mp3";
// A format's ending (".wav"...), and the format --format names ("wav",
// "flac", "ogg" or "mp3", any letter case; none for any other).
const char* EndingOf(AudioFileFormat format);
std::optional<AudioFileFormat> FormatNamed(const std::string& name);

class AudioFileWriter {
 public:
  virtual ~AudioFileWriter() = default;
  // Starts a file of exactly `frames` frames.
  virtual bool Open(std::uint64_t frames) = 0;
  virtual bool Write(const std::int16_t* pcm, std::uint32_t frames) = 0;
  // Completes the file (the encoder's last data, the header); it goes into
  // place with Output().Commit().
  virtual bool Finish() = 0;
  // Why the last step failed, for the one-line message.
  virtual std::string Error() const = 0;
  OutputFile& Output() { return output_; }

 protected:
  explicit AudioFileWriter(const std::string& path) : output_(path) {}
  OutputFile output_;
};

std::unique_ptr<AudioFileWriter> MakeAudioFileWriter(const std::string& path, AudioFileFormat format);
