// A file that zevora-cli writes: it appears under its name only when it is
// complete, and nothing half-written is left behind, not even when the
// program is stopped by SIGINT, SIGTERM or SIGHUP.
//
// A regular file (or a new name) is written beside its final place and
// renamed over it at the end; a symbolic link is followed, so the file it
// names is the one replaced and the link stays. "-", /dev/stdout and
// /dev/fd/N (/proc/self/fd/N) are standard output or that descriptor, and
// anything that is not a regular file (a device, a pipe) is written
// directly: neither is ever replaced.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

class OutputFile {
 public:
  explicit OutputFile(std::string path);
  ~OutputFile();  // discards what was not committed
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the temporary file (or opens the direct target). expectedBytes,
  // if known, is reserved at once.
  bool Open(std::uint64_t expectedBytes = 0);
  int Descriptor() const { return fd_; }
  bool Direct() const { return direct_; }
  bool Write(const void* data, std::size_t bytes);
  // Writes at an offset (a header finished at the end); false where the
  // target cannot seek.
  bool WriteAt(const void* data, std::size_t bytes, std::uint64_t offset);
  // Closes the file and moves it into place.
  bool Commit();
  // Removes a committed file again (the second of two outputs failed).
  void Withdraw();
  const std::string& Path() const { return path_; }

 private:
  void Discard();

  std::string path_;      // as the user named it
  std::string target_;    // where it ends up, links followed
  std::string tempPath_;  // empty when written directly
  int fd_ = -1;
  bool direct_ = false;
  bool ownsFd_ = true;
  bool committed_ = false;
};

// SIGINT, SIGTERM and SIGHUP remove every temporary output file before the
// program ends with the signal. Called once, before the first Open.
void RemoveOutputsOnSignals();
