// Writes 16-bit stereo 44,100 Hz PCM to a sound file: WAV by our own
// writer, FLAC, Ogg Vorbis or MP3 through libsndfile (chosen by the name's
// ending). The file appears under its name only when it is complete.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "output_file.h"

// The most audio a WAV file can hold: its sizes are 32-bit.
constexpr std::uint64_t kWavMaxFrames = (0xFFFFFFFFull - 36) / 4;

enum class AudioFileFormat { kWav, kFlac, kVorbis, kMp3 };

// The format a name asks for: .flac, .ogg, .mp3 (any case), else WAV.
AudioFileFormat FormatForName(const std::string& path);

class AudioFileWriter {
 public:
  virtual ~AudioFileWriter() = default;
  // Starts a file of exactly `frames` frames.
  virtual bool Open(std::uint64_t frames) = 0;
  virtual bool Write(const std::int16_t* pcm, std::uint32_t frames) = 0;
  // Finishes the file and moves it into place.
  virtual bool Commit() = 0;
  // Why the last step failed, for the one-line message.
  virtual std::string Error() const = 0;
  OutputFile& Output() { return output_; }

 protected:
  explicit AudioFileWriter(const std::string& path) : output_(path) {}
  OutputFile output_;
};

std::unique_ptr<AudioFileWriter> MakeAudioFileWriter(const std::string& path);
