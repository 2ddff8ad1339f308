#include "stop_signals.h"

#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <shared_mutex>

namespace {

// The signals that end the program unless handled (the crash signals
// aside). SIGXFSZ is not among them: render ignores it, so that a write past
// `ulimit -f` fails with EFBIG and is reported.
void StopSignals(sigset_t& set) {
  sigemptyset(&set);
  for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGPIPE, SIGXCPU,
                     SIGIO, SIGPWR, SIGSTKFLT})
    sigaddset(&set, signal);
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) sigaddset(&set, signal);
}

// Files of the program's own name to remove when a signal ends it. A slot
// is filled with the signals held and marked used last; the handler reads
// it with async-signal-safe calls only. Several threads may each hold a
// few files at a time (every output being written, and a replaced file
// kept aside until its batch is in place).
struct NamedFile {
  std::atomic<int> used;
  int folder;
  char leaf[NAME_MAX + 1];
};
constexpr int kMaxNamed = 1024;
NamedFile namedFiles[kMaxNamed];
std::mutex namedFilesTaken;  // between threads looking for a free slot
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads the slots");

volatile sig_atomic_t lineToClear = -1;

void RemoveNamedFilesAndLine() {
  for (NamedFile& file : namedFiles)
    if (file.used.load(std::memory_order_acquire)) ::unlinkat(file.folder, file.leaf, 0);
  if (lineToClear >= 0) (void)!::write(lineToClear, "\r\x1b[K", 4);
}

void OnStopSignal(int signal) {
  RemoveNamedFilesAndLine();
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

// The handler goes on every stop signal that would end the program as it
// is (one that is ignored, as under nohup, stays ignored).
void HandleStopSignals() {
  static std::once_flag installed;
  std::call_once(installed, [] {
    sigset_t set;
    StopSignals(set);
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    action.sa_mask = set;
    for (int signal = 1; signal < NSIG; ++signal) {
      struct sigaction old {};
      if (sigismember(&set, signal) == 1 && ::sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_DFL)
        ::sigaction(signal, &action, nullptr);
    }
  });
}

// Held shared by every StopSignalsHeld, taken whole by a signal that
// StopSignalsTaken::Poll takes: the signal waits for them all.
std::shared_mutex commits;
thread_local int heldDepth = 0;

}  // namespace

int RegisterNamedFile(int folder, const std::string& leaf) {
  HandleStopSignals();
  if (leaf.size() > NAME_MAX) return -1;
  const std::lock_guard<std::mutex> lock(namedFilesTaken);
  for (int i = 0; i < kMaxNamed; ++i) {
    if (namedFiles[i].used.load(std::memory_order_relaxed)) continue;
    namedFiles[i].folder = folder;
    std::memcpy(namedFiles[i].leaf, leaf.c_str(), leaf.size() + 1);
    namedFiles[i].used.store(1, std::memory_order_release);
    return i;
  }
  return -1;
}

void UnregisterNamedFile(int& slot) {
  if (slot >= 0) namedFiles[slot].used.store(0, std::memory_order_release);
  slot = -1;
}

void ClearLineOnStopSignal(int fd) {
  lineToClear = fd;
  HandleStopSignals();
}

StopSignalsHeld::StopSignalsHeld() : outermost_(heldDepth++ == 0) {
  sigset_t set;
  StopSignals(set);
  ::pthread_sigmask(SIG_BLOCK, &set, &saved_);
  if (outermost_) commits.lock_shared();
}

StopSignalsHeld::~StopSignalsHeld() {
  if (outermost_) commits.unlock_shared();
  --heldDepth;
  ::pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

StopSignalsTaken::StopSignalsTaken() {
  sigset_t set;
  StopSignals(set);
  ::pthread_sigmask(SIG_BLOCK, &set, &saved_);
}

StopSignalsTaken::~StopSignalsTaken() { ::pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }

void StopSignalsTaken::Poll() {
  sigset_t set;
  StopSignals(set);
  const timespec now{0, 0};
  const int signal = ::sigtimedwait(&set, nullptr, &now);
  if (signal <= 0) return;
  commits.lock();  // never given back: the program ends here
  RemoveNamedFilesAndLine();
  ::signal(signal, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signal);
  ::pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  ::raise(signal);
  ::_exit(128 + signal);
}
