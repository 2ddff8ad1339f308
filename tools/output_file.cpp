#include "output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <locale.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <memory>
#include <vector>

namespace {

// A name no other program uses: ".zevora-cli." and 12 random letters and
// digits (62 bits).
std::string RandomLeaf() {
  static const char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::uint8_t bytes[12];
  if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t x = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                      (static_cast<std::uint64_t>(::getpid()) << 40) ^ ++counter * 0x9E3779B97F4A7C15ull;
    for (std::uint8_t& b : bytes) {
      x ^= x >> 33;
      x *= 0xFF51AFD7ED558CCDull;
      b = static_cast<std::uint8_t>(x >> 56);
    }
  }
  std::string leaf = ".zevora-cli.";
  for (const std::uint8_t b : bytes) leaf += kDigits[b % 36];
  return leaf;
}

// A new file of a name of the program's own in a folder: a descriptor, or
// -1 with errno set.
int CreateExclusive(int folder, std::string& leaf) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    leaf = RandomLeaf();
    const int fd = ::openat(folder, leaf.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// The descriptor a name stands for, if it names one: "-" (only as given),
// /dev/stdout, /dev/stderr, /dev/fd/N, /proc/self/fd/N.
int NamedDescriptor(const std::string& path, bool given) {
  if ((given && path == "-") || path == "/dev/stdout") return 1;
  if (path == "/dev/stderr") return 2;
  for (const char* prefix : {"/dev/fd/", "/proc/self/fd/"}) {
    const std::size_t n = std::strlen(prefix);
    if (path.compare(0, n, prefix) == 0 && path.size() > n && path.size() < n + 9 &&
        path.find_first_not_of("0123456789", n) == std::string::npos)
      return std::atoi(path.c_str() + n);
  }
  return -1;
}

void Split(const std::string& path, std::string& folder, std::string& leaf) {
  const std::size_t slash = path.rfind('/');
  folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  leaf = slash == std::string::npos ? path : path.substr(slash + 1);
}

// A link in a sticky folder that everyone may write (/tmp) is followed only
// where it is the user's or the folder owner's, as the system follows links
// under protected_symlinks: else anyone could point a name the user renders
// to at any file the user may write.
bool MayFollow(const std::string& link, const struct stat& linkInfo) {
  std::string folder, leaf;
  Split(link, folder, leaf);
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0) return false;
  const bool shared = (info.st_mode & S_ISVTX) != 0 && (info.st_mode & S_IWOTH) != 0;
  return !shared || linkInfo.st_uid == ::geteuid() || linkInfo.st_uid == info.st_uid;
}

// Follows symbolic links (also dangling ones, whose target is to be
// created) to the name of the file itself; a descriptor where one is named
// on the way; kRefusedLink (errno EACCES) for a link it may not follow.
constexpr int kRefusedLink = -2;
int Resolve(std::string path, std::string& target) {
  for (int depth = 0; depth < 40; ++depth) {
    const int fd = NamedDescriptor(path, depth == 0);
    if (fd >= 0) return fd;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) break;
    if (!MayFollow(path, info)) {
      errno = EACCES;
      return kRefusedLink;
    }
    char link[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), link, sizeof link - 1);
    if (n <= 0) break;
    link[n] = '\0';
    if (link[0] == '/') {
      path = link;
    } else {
      const std::size_t slash = path.rfind('/');
      path = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + link;
    }
  }
  target = path;
  return -1;
}

bool WriteAll(int fd, const void* data, std::size_t bytes) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  while (bytes > 0) {
    const ssize_t n = ::write(fd, p, bytes);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    p += n;
    bytes -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool WriteAllAt(int fd, const void* data, std::size_t bytes, std::uint64_t offset) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  while (bytes > 0) {
    const ssize_t n = ::pwrite(fd, p, bytes, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    p += n;
    bytes -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

namespace {

// O_TMPFILE files are linked into place through /proc/self/fd.
bool UnnamedFilesUsable() { return ::access("/proc/self/fd", X_OK) == 0; }

// The file system cannot create unnamed files (rather than refusing this one).
bool UnnamedUnsupported(int error) { return error == EOPNOTSUPP || error == EISDIR || error == EINVAL; }

}  // namespace

void FileDescriptor::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

bool FileDescriptor::Close() {
  const int fd = Release();
  return fd < 0 || ::close(fd) == 0 || errno == EINTR;
}

FileDescriptor TemporaryFile() {
  const char* folderPath = std::getenv("TMPDIR");
  if (folderPath == nullptr || *folderPath == '\0') folderPath = "/tmp";
  FileDescriptor file(::open(folderPath, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (!file.Valid()) {
    const FileDescriptor folder(::open(folderPath, O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder.Valid()) return file;
    // Unnamed at once: nothing to remove later.
    const StopSignalsHeld held;
    std::string leaf;
    file.Reset(CreateExclusive(folder.Get(), leaf));
    if (file.Valid()) ::unlinkat(folder.Get(), leaf.c_str(), 0);
  }
  return file;
}

namespace {

// The folder's real path (links and dots gone) and the last part as it is.
std::string FullName(const std::string& path) {
  std::string folder, leaf;
  Split(path, folder, leaf);
  const std::unique_ptr<char, decltype(&std::free)> real(::realpath(folder.c_str(), nullptr), &std::free);
  if (real == nullptr) return path;
  const std::string prefix = real.get();
  return prefix == "/" ? prefix + leaf : prefix + "/" + leaf;
}

}  // namespace

OutputPlace InputPlace(const std::string& path) {
  OutputPlace place;
  if (::stat(path.c_str(), &place.info) != 0) return place;
  place.exists = true;
  const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
  if (real != nullptr) place.name = real.get();
  return place;
}

OutputPlace PlaceOf(const std::string& path) {
  OutputPlace place;
  std::string target;
  place.descriptor = Resolve(path, target);
  if (place.descriptor == kRefusedLink) {
    place.descriptor = -1;
    return place;  // nothing that can be written
  }
  if (place.descriptor >= 0) {
    place.exists = ::fstat(place.descriptor, &place.info) == 0;
    return place;
  }
  if (::stat(target.c_str(), &place.info) == 0) {
    place.exists = true;
  } else if (errno == ENOENT) {
    std::string folder;
    Split(target, folder, place.leaf);
    place.newName = ::stat(folder.c_str(), &place.info) == 0 && S_ISDIR(place.info.st_mode);
  }
  if (place.exists || place.newName) place.name = FullName(target);
  return place;
}

std::string FoldedName(const OutputPlace& place) {
  // Letters beyond ASCII too (exFAT takes Ü for ü); bytes that are not
  // UTF-8 stay as they are. The locale is this thread's alone while it is
  // in use.
  static const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  const std::string& name = place.name;
  if (utf8 == nullptr) return name;
  const locale_t before = ::uselocale(utf8);
  std::string folded;
  std::mbstate_t state{};
  for (std::size_t i = 0; i < name.size();) {
    wchar_t c = 0;
    const std::size_t n = std::mbrtowc(&c, name.data() + i, name.size() - i, &state);
    char bytes[MB_LEN_MAX];
    const std::size_t m = n == 0 || n > name.size() - i ? 0 : std::wcrtomb(bytes, std::towlower(c), &state);
    if (m == 0 || m > sizeof bytes) {
      // Not UTF-8 (or a NUL): the byte as it is.
      state = std::mbstate_t{};
      folded += name[i++];
      continue;
    }
    folded.append(bytes, m);
    i += n;
  }
  ::uselocale(before);
  return folded;
}

bool SameFile(const OutputPlace& a, const OutputPlace& b) {
  if (!a.exists || !b.exists || a.info.st_dev != b.info.st_dev) return false;
  if (a.info.st_ino == b.info.st_ino) return true;
  const auto sameTime = [](const timespec& x, const timespec& y) {
    return x.tv_sec == y.tv_sec && x.tv_nsec == y.tv_nsec;
  };
  return S_ISREG(a.info.st_mode) && S_ISREG(b.info.st_mode) && a.info.st_size == b.info.st_size &&
         sameTime(a.info.st_mtim, b.info.st_mtim) && sameTime(a.info.st_ctim, b.info.st_ctim) && !a.name.empty() &&
         FoldedName(a) == FoldedName(b);
}

bool SamePlace(const OutputPlace& a, const OutputPlace& b) {
  if (a.descriptor >= 0 && a.descriptor == b.descriptor) return true;
  const bool sameInode = a.info.st_dev == b.info.st_dev && a.info.st_ino == b.info.st_ino;
  // A character device takes two streams without harm (/dev/null).
  if (a.exists && b.exists) return SameFile(a, b) && !S_ISCHR(a.info.st_mode);
  return a.newName && b.newName && sameInode && a.leaf == b.leaf;
}

bool WrittenDirectly(const OutputPlace& place) {
  return place.descriptor >= 0 || (place.exists && !S_ISREG(place.info.st_mode) && !S_ISDIR(place.info.st_mode));
}

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {}

OutputFile::~OutputFile() {
  // Removed first, then forgotten: a signal in between finds no file.
  if (!asideLeaf_.empty()) ::unlinkat(folder_.Get(), asideLeaf_.c_str(), 0);
  UnregisterNamedFile(asideSlot_);
  if (!tempLeaf_.empty()) ::unlinkat(folder_.Get(), tempLeaf_.c_str(), 0);
  UnregisterNamedFile(tempSlot_);
}

int OutputFile::Descriptor() const { return fd_.Get(); }

bool OutputFile::Open(std::uint64_t expectedBytes) {
  std::string target;
  const int named = Resolve(path_, target);
  if (named == kRefusedLink) return false;
  if (named >= 0) {
    // A copy of the descriptor: closing it at the end leaves the program's
    // own (standard output) open.
    fd_.Reset(::fcntl(named, F_DUPFD_CLOEXEC, 3));
    mode_ = Mode::kDirect;
    return fd_.Valid();
  }
  struct stat info {};
  const bool exists = ::stat(target.c_str(), &info) == 0;
  if (!exists && errno != ENOENT) return false;
  if (exists && S_ISDIR(info.st_mode)) {
    errno = EISDIR;
    return false;
  }
  if (exists && !S_ISREG(info.st_mode)) {
    fd_.Reset(::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
    mode_ = Mode::kDirect;
    return fd_.Valid();
  }

  std::string folderPath;
  Split(target, folderPath, leaf_);
  if (leaf_.empty()) {
    errno = EISDIR;
    return false;
  }
  folder_.Reset(::open(folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!folder_.Valid()) return false;
  const long nameMax = ::fpathconf(folder_.Get(), _PC_NAME_MAX);
  if (leaf_.size() > static_cast<std::size_t>(nameMax > 0 ? nameMax : NAME_MAX)) {
    errno = ENAMETOOLONG;
    return false;
  }
  // Replacing a file through its folder would not ask the file: a file the
  // user may not write is refused here.
  if (exists && ::faccessat(folder_.Get(), leaf_.c_str(), W_OK, AT_EACCESS) != 0) return false;

  int error = EOPNOTSUPP;
  if (UnnamedFilesUsable()) {
    fd_.Reset(::openat(folder_.Get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666));
    error = errno;
    if (fd_.Valid()) mode_ = Mode::kUnnamed;
  }
  if (mode_ == Mode::kNone && UnnamedUnsupported(error)) {
    const StopSignalsHeld held;
    fd_.Reset(CreateExclusive(folder_.Get(), tempLeaf_));
    error = errno;
    if (fd_.Valid()) {
      mode_ = Mode::kNamed;
      tempSlot_ = RegisterNamedFile(folder_.Get(), tempLeaf_);
    } else {
      tempLeaf_.clear();
    }
  }
  if (mode_ == Mode::kNone) {
    // The folder cannot be written, but maybe the file can.
    if (exists && (error == EACCES || error == EPERM)) {
      if (!OpenCopy(target)) return false;
    } else {
      errno = error;
      return false;
    }
  }
  // Best effort, and never past what is written: the size stays as it is.
  if (expectedBytes != 0) (void)::fallocate(fd_.Get(), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(expectedBytes));
  return true;
}

bool OutputFile::OpenCopy(const std::string& target) {
  target_.Reset(::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW));
  struct stat info {};
  if (!target_.Valid() || ::fstat(target_.Get(), &info) != 0) return false;
  if (!S_ISREG(info.st_mode)) {
    errno = EINVAL;
    return false;
  }
  fd_ = TemporaryFile();
  if (!fd_.Valid()) return false;
  mode_ = Mode::kCopy;
  return true;
}

bool OutputFile::Write(const void* data, std::size_t bytes) {
  if (!fd_.Valid()) {
    errno = EBADF;
    return false;
  }
  return WriteAll(fd_.Get(), data, bytes);
}

bool OutputFile::WriteAt(const void* data, std::size_t bytes, std::uint64_t offset) {
  if (!fd_.Valid() || mode_ == Mode::kDirect) {
    errno = ESPIPE;
    return false;
  }
  return WriteAllAt(fd_.Get(), data, bytes, offset);
}

bool OutputFile::Commit(bool undoable) {
  if (!fd_.Valid() || committed_) {
    errno = EBADF;
    return false;
  }
  bool ok = false;
  switch (mode_) {
    case Mode::kDirect: ok = fd_.Close(); break;
    case Mode::kUnnamed:
    case Mode::kNamed: ok = PutInPlace(undoable); break;
    case Mode::kCopy: ok = CopyInPlace(); break;
    case Mode::kNone: break;
  }
  committed_ = ok;
  return ok;
}

bool OutputFile::FlushData() {
  // A file system that cannot flush at all is written as before.
  return ::fdatasync(fd_.Get()) == 0 || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP;
}

bool OutputFile::Flush() {
  if (!fd_.Valid() || (mode_ != Mode::kUnnamed && mode_ != Mode::kNamed)) return true;
  struct stat old {};
  if (::fstatat(folder_.Get(), leaf_.c_str(), &old, AT_SYMLINK_NOFOLLOW) != 0) return true;
  flushed_ = FlushData();
  return flushed_;
}

bool OutputFile::PutInPlace(bool undoable) {
  const int folder = folder_.Get();
  struct stat old {};
  struct stat own {};
  const bool replacing = ::fstatat(folder, leaf_.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
  if (replacing && S_ISREG(old.st_mode)) {
    // The owner where the system allows it (the group alone, else), then
    // the mode, which a change of owner may have cut.
    if (::fchown(fd_.Get(), old.st_uid, old.st_gid) != 0)
      (void)!::fchown(fd_.Get(), static_cast<uid_t>(-1), old.st_gid);
    (void)::fchmod(fd_.Get(), old.st_mode & 07777);
  }
  if (::fstat(fd_.Get(), &own) != 0) return false;
  committedInode_ = own.st_ino;
  // The data are on the disk before the old file's name moves to them: a
  // crash just after the rename must not leave that name on a file whose
  // data were never written (XFS, or ext4 mounted with noauto_da_alloc).
  if (replacing && !flushed_ && !FlushData()) return false;

  if (mode_ == Mode::kNamed) {
    if (!fd_.Close()) return false;
  } else {
    const std::string self = "/proc/self/fd/" + std::to_string(fd_.Get());
    // A new name is linked at once: it appears complete or not at all.
    if (!replacing) {
      if (::linkat(AT_FDCWD, self.c_str(), folder, leaf_.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        // Closing an unnamed file reports nothing new: its data are written
        // to the file system's pages, which had room for them.
        (void)fd_.Close();
        return true;
      }
      if (errno != EEXIST) return false;
    }
    // Else under a name of the program's own, renamed over the old file.
    int error = EEXIST;
    for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
      const StopSignalsHeld held;
      tempLeaf_ = RandomLeaf();
      tempSlot_ = RegisterNamedFile(folder, tempLeaf_);
      error = ::linkat(AT_FDCWD, self.c_str(), folder, tempLeaf_.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
      if (error != 0) {
        UnregisterNamedFile(tempSlot_);
        tempLeaf_.clear();
      }
    }
    if (error != 0) {
      errno = error;
      return false;
    }
    (void)fd_.Close();
  }

  // Undoable: the old file and the new one change places, and the old one
  // waits under the new one's name.
  if (undoable && replacing && ::renameat2(folder, tempLeaf_.c_str(), folder, leaf_.c_str(), RENAME_EXCHANGE) == 0) {
    std::swap(asideLeaf_, tempLeaf_);
    std::swap(asideSlot_, tempSlot_);
    return true;
  }
  // Where names cannot be exchanged (NFS, FAT) the old file waits under a
  // second name of the program's own, where the file system has them.
  if (undoable && replacing) KeepAside();
  if (::renameat(folder, tempLeaf_.c_str(), folder, leaf_.c_str()) != 0) {
    const int error = errno;
    ::unlinkat(folder, tempLeaf_.c_str(), 0);
    UnregisterNamedFile(tempSlot_);
    tempLeaf_.clear();
    if (!asideLeaf_.empty()) ::unlinkat(folder, asideLeaf_.c_str(), 0);
    UnregisterNamedFile(asideSlot_);
    asideLeaf_.clear();
    errno = error;
    return false;
  }
  UnregisterNamedFile(tempSlot_);
  tempLeaf_.clear();
  // Without a second name the old file is gone: the new one cannot be taken back.
  replacedForGood_ = replacing && asideLeaf_.empty();
  return true;
}

void OutputFile::KeepAside() {
  const int folder = folder_.Get();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const StopSignalsHeld held;
    asideLeaf_ = RandomLeaf();
    asideSlot_ = RegisterNamedFile(folder, asideLeaf_);
    if (::linkat(folder, leaf_.c_str(), folder, asideLeaf_.c_str(), 0) == 0) return;
    const int error = errno;
    UnregisterNamedFile(asideSlot_);
    asideLeaf_.clear();
    if (error != EEXIST) return;
  }
}

// The space is reserved before the first byte of the old file changes, so
// that a full disk leaves it as it was.
bool OutputFile::CopyInPlace() {
  struct stat info {};
  if (::fstat(fd_.Get(), &info) != 0) return false;
  const auto size = static_cast<std::uint64_t>(info.st_size);
  if (size != 0 && ::fallocate(target_.Get(), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) != 0 &&
      errno != EOPNOTSUPP && errno != ENOSYS)
    return false;
  std::vector<std::uint8_t> buffer(1 << 18);
  for (std::uint64_t offset = 0; offset < size;) {
    const ssize_t n = ::pread(fd_.Get(), buffer.data(), std::min<std::uint64_t>(buffer.size(), size - offset),
                              static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    if (!WriteAllAt(target_.Get(), buffer.data(), static_cast<std::size_t>(n), offset)) return false;
    offset += static_cast<std::uint64_t>(n);
  }
  return ::ftruncate(target_.Get(), static_cast<off_t>(size)) == 0 && target_.Close();
}

bool OutputFile::Withdraw() {
  if (!committed_) return true;
  committed_ = false;
  if (mode_ != Mode::kUnnamed && mode_ != Mode::kNamed) return false;
  const int folder = folder_.Get();
  if (!asideLeaf_.empty()) {
    // The old file back under its name; the new one goes with the
    // exchange's second name, or at once by the rename.
    if (::renameat2(folder, asideLeaf_.c_str(), folder, leaf_.c_str(), RENAME_EXCHANGE) == 0)
      ::unlinkat(folder, asideLeaf_.c_str(), 0);
    else if (::renameat(folder, asideLeaf_.c_str(), folder, leaf_.c_str()) != 0)
      return false;
    UnregisterNamedFile(asideSlot_);
    asideLeaf_.clear();
    return true;
  }
  if (replacedForGood_) return false;
  struct stat now {};
  return ::fstatat(folder, leaf_.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_ino == committedInode_ &&
         ::unlinkat(folder, leaf_.c_str(), 0) == 0;
}
