// A file that zevora-cli writes: it appears under its name only when it is
// complete, and nothing half-written is ever left behind.
//
// A regular file (or a new name) is written as an unnamed file in its
// folder (O_TMPFILE), which the system frees by itself however the program
// ends (SIGKILL included), and linked into place once complete. Where the
// file system has no unnamed files, a name of the program's own is used
// (".zevora-cli.XXXXXXXXXXXX", random, created exclusively and never
// through a link) and removed on every signal that can be caught. No name
// is ever derived from the output's, so nothing the user did not name is
// touched, and two programs writing one output never share a file.
//
// A symbolic link is followed: the file it names is the one replaced and
// the link stays. Another user's link in a sticky folder everyone may
// write (/tmp) is refused, unless it is the folder owner's. A file that is
// replaced keeps its mode and, where the system allows, its owner, and the
// new file's data are on the disk before it takes the old one's name. An
// existing file in a folder the user cannot write is written too: the new
// file is made complete in the temporary folder ($TMPDIR, else /tmp) and
// then copied into it, after the space for it has been reserved. A file the user may not write is refused.
//
// "-", /dev/stdout, /dev/stderr and /dev/fd/N (/proc/self/fd/N) are that
// descriptor, and anything that is not a regular file (a device, a pipe) is
// written directly: neither is ever replaced.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "stop_signals.h"

// A descriptor owned by one object, closed when it goes.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { Reset(); }
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.Release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1);
  // Closes it now, with close's result: the last write errors show here.
  bool Close();

 private:
  int fd_ = -1;
};

// An unnamed file in the temporary folder ($TMPDIR, else /tmp), gone
// however the program ends; not valid (errno set) where none can be made.
FileDescriptor TemporaryFile();
// pwrite until all is written; false with errno set.
bool WriteAllAt(int fd, const void* data, std::size_t bytes, std::uint64_t offset);

// What an output name stands for, links followed: a descriptor, an
// existing file, or a new name in an existing folder.
struct OutputPlace {
  int descriptor = -1;   // "-", /dev/stdout, /dev/fd/N...
  bool exists = false;   // info describes the file itself
  bool newName = false;  // info describes the folder the name goes in
  struct stat info {};
  std::string leaf;  // a new name: its last part
  std::string name;  // an existing file or a new name: its folder's real path and its own name
};
OutputPlace PlaceOf(const std::string& path);
// An existing file read as an input, links followed.
OutputPlace InputPlace(const std::string& path);
// Whether writing to both would write to one file.
bool SamePlace(const OutputPlace& a, const OutputPlace& b);
// Whether two existing files are one. A file system that does not tell
// letter case apart may give each spelling of a name an inode number of its
// own (exFAT or FAT through FUSE): there, a file of the same size and times
// under a name that differs only in letter case counts as the same file.
bool SameFile(const OutputPlace& a, const OutputPlace& b);
// A place's name in lower case (letters beyond ASCII too), under which the
// names SameFile may take for one file meet.
std::string FoldedName(const OutputPlace& place);
// Written in place rather than replaced: a descriptor, a device or a pipe.
bool WrittenDirectly(const OutputPlace& place);

class OutputFile {
 public:
  explicit OutputFile(std::string path);
  ~OutputFile();  // discards what was not committed
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the temporary file (or opens the direct target); false with
  // errno set. expectedBytes, if known, is reserved at once.
  bool Open(std::uint64_t expectedBytes = 0);
  // The descriptor written to (readable too, but for a direct target).
  int Descriptor() const;
  bool Direct() const { return mode_ == Mode::kDirect; }
  bool Write(const void* data, std::size_t bytes);
  // Writes at an offset; never for a direct target.
  bool WriteAt(const void* data, std::size_t bytes, std::uint64_t offset);
  // Puts the complete file in place (a direct target is only closed);
  // false with errno set. With undoable, a file it replaces is kept aside
  // under a name of the program's own until Withdraw puts it back or this
  // object ends.
  bool Commit(bool undoable = false);
  // Where the file will replace one, its data to the disk now (else Commit
  // does it, with stop signals held off); false with errno set.
  bool Flush();
  // Takes a committed file back: the name is gone again, or holds again
  // the file that was there, where an undoable commit could keep it aside
  // (by renameat2's exchange, else by a second name: a file system with
  // neither cannot). False where the file cannot be taken back: a direct
  // target, a file copied into, or one whose old file could not be kept.
  bool Withdraw();
  const std::string& Path() const { return path_; }

 private:
  enum class Mode { kNone, kDirect, kUnnamed, kNamed, kCopy };
  bool OpenCopy(const std::string& target);
  bool PutInPlace(bool undoable);
  bool FlushData();
  // The file under the target's name gets a second name (asideLeaf_), if
  // the file system allows.
  void KeepAside();
  bool CopyInPlace();

  std::string path_;  // as the user named it
  Mode mode_ = Mode::kNone;
  FileDescriptor fd_;      // what is written
  FileDescriptor folder_;  // the target's folder (O_PATH)
  FileDescriptor target_;  // kCopy: the file copied into
  std::string leaf_;       // the target's name in its folder
  bool flushed_ = false;   // Flush put the data on the disk: putting in place need not again
  std::string tempLeaf_;   // a name of the program's own in the folder, while it holds the new file
  std::string asideLeaf_;  // after an undoable commit: the replaced file's name
  int tempSlot_ = -1;      // their places among the names removed by a signal
  int asideSlot_ = -1;
  ino_t committedInode_ = 0;
  bool committed_ = false;
  bool replacedForGood_ = false;  // committed over a file that could not be kept aside
};
