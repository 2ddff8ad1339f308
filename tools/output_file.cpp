#include "output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// Temporary files to remove on a stop signal; written before the handler
// can see them, read by the handler with async-signal-safe calls only.
constexpr int kMaxTemps = 4;
char tempNames[kMaxTemps][PATH_MAX + 16];
volatile sig_atomic_t tempUsed[kMaxTemps];

void RegisterTemp(const std::string& path) {
  for (int i = 0; i < kMaxTemps; ++i) {
    if (tempUsed[i]) continue;
    if (path.size() >= sizeof tempNames[i]) return;
    std::memcpy(tempNames[i], path.c_str(), path.size() + 1);
    tempUsed[i] = 1;
    return;
  }
}

void UnregisterTemp(const std::string& path) {
  for (int i = 0; i < kMaxTemps; ++i)
    if (tempUsed[i] && path == tempNames[i]) tempUsed[i] = 0;
}

void OnStopSignal(int signal) {
  for (int i = 0; i < kMaxTemps; ++i)
    if (tempUsed[i]) ::unlink(tempNames[i]);
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

// The descriptor a name stands for, if it names one: "-", /dev/stdout,
// /dev/fd/N, /proc/self/fd/N.
int NamedDescriptor(const std::string& path) {
  if (path == "-" || path == "/dev/stdout") return 1;
  for (const char* prefix : {"/dev/fd/", "/proc/self/fd/"}) {
    const std::size_t n = std::strlen(prefix);
    if (path.compare(0, n, prefix) == 0 && path.size() > n && path.size() < n + 9 &&
        path.find_first_not_of("0123456789", n) == std::string::npos)
      return std::atoi(path.c_str() + n);
  }
  return -1;
}

// Follows symbolic links (also dangling ones, whose target is to be
// created) to the name of the file itself.
std::string FollowLinks(std::string path) {
  for (int depth = 0; depth < 40; ++depth) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0) return path;
    target[n] = '\0';
    if (target[0] == '/') {
      path = target;
    } else {
      const std::size_t slash = path.rfind('/');
      path = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + target;
    }
  }
  return path;
}

bool WriteAll(int fd, const void* data, std::size_t bytes) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  while (bytes > 0) {
    const ssize_t n = ::write(fd, p, bytes);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    bytes -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

void RemoveOutputsOnSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    sigaddset(&action.sa_mask, signal);
  }
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {}

OutputFile::~OutputFile() {
  if (!committed_) Discard();
}

bool OutputFile::Open(std::uint64_t expectedBytes) {
  const int named = NamedDescriptor(path_);
  if (named >= 0) {
    direct_ = true;
    ownsFd_ = false;
    fd_ = named;
    return ::fcntl(fd_, F_GETFD) != -1;
  }
  target_ = FollowLinks(path_);
  struct stat info {};
  if (::stat(target_.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    direct_ = true;
    fd_ = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC);
    return fd_ >= 0;
  }
  tempPath_ = target_ + ".part";
  RegisterTemp(tempPath_);
  fd_ = ::open(tempPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd_ < 0) {
    UnregisterTemp(tempPath_);
    tempPath_.clear();
    return false;
  }
  // Best effort, and never past what is written: the size stays as it is.
  if (expectedBytes != 0)
    (void)::fallocate(fd_, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(expectedBytes));
  return true;
}

bool OutputFile::Write(const void* data, std::size_t bytes) { return fd_ >= 0 && WriteAll(fd_, data, bytes); }

bool OutputFile::WriteAt(const void* data, std::size_t bytes, std::uint64_t offset) {
  if (fd_ < 0) return false;
  const auto* p = static_cast<const std::uint8_t*>(data);
  while (bytes > 0) {
    const ssize_t n = ::pwrite(fd_, p, bytes, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    bytes -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool OutputFile::Commit() {
  if (fd_ < 0) return false;
  bool ok = true;
  if (ownsFd_) ok = ::close(fd_) == 0;
  fd_ = -1;
  if (!tempPath_.empty()) {
    ok = ok && std::rename(tempPath_.c_str(), target_.c_str()) == 0;
    if (!ok) {
      const int saved = errno;
      ::unlink(tempPath_.c_str());
      errno = saved;
    }
    UnregisterTemp(tempPath_);
  }
  committed_ = ok;
  return ok;
}

void OutputFile::Withdraw() {
  if (committed_ && !tempPath_.empty()) ::unlink(target_.c_str());
  committed_ = false;
  tempPath_.clear();
}

void OutputFile::Discard() {
  if (fd_ >= 0 && ownsFd_) ::close(fd_);
  fd_ = -1;
  if (!tempPath_.empty()) {
    ::unlink(tempPath_.c_str());
    UnregisterTemp(tempPath_);
    tempPath_.clear();
  }
}
