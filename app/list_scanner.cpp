#include "list_scanner.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QMetaObject>
#include <algorithm>
#include <system_error>

ListScanner::ListScanner(Deliver deliver, int threads)
    : deliver_(std::move(deliver)),
      maxThreads_(threads > 0 ? threads : std::max(1, static_cast<int>(std::thread::hardware_concurrency()))) {}

ListScanner::~ListScanner() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    queue_.clear();
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void ListScanner::Add(std::uint32_t id, const QByteArray& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.emplace_back(id, path);
  // Workers start as files come and stay (blocked, they cost nothing)
  // until the scanner goes. A limit on processes (ulimit -u, a
  // container's) may refuse one: the file waits for the workers there are,
  // and the next file added tries again.
  if (idle_ == 0 && static_cast<int>(threads_.size()) < maxThreads_) {
    try {
      threads_.emplace_back(&ListScanner::Work, this);
      return;
    } catch (const std::system_error&) {
    }
  }
  wake_.notify_one();
}

void ListScanner::Forget(const std::vector<std::uint32_t>& ids) {
  if (ids.empty()) return;
  std::vector<std::uint32_t> sorted = ids;
  std::sort(sorted.begin(), sorted.end());
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(queue_, [&](const auto& waiting) {
    return std::binary_search(sorted.begin(), sorted.end(), waiting.first);
  });
}

int ListScanner::Pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(queue_.size()) + busy_;
}

void ListScanner::Work() {
  pthread_setname_np(pthread_self(), "zevora-scan");
  // Below everything else of the program: the streaming thread and the
  // window always come first.
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), 10);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    ++idle_;
    wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    --idle_;
    if (stop_) break;
    const auto [id, path] = std::move(queue_.front());
    queue_.pop_front();
    ++busy_;
    lock.unlock();
    SongInfo info = ReadSongInfo(path);
    lock.lock();
    --busy_;
    results_.push_back({id, std::move(info)});
    if (!deliveryPosted_ && !stop_) {
      deliveryPosted_ = true;
      QMetaObject::invokeMethod(this, &ListScanner::DeliverResults, Qt::QueuedConnection);
    }
  }
}

void ListScanner::DeliverResults() {
  std::vector<Result> results;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    results.swap(results_);
    deliveryPosted_ = false;
  }
  if (!results.empty()) deliver_(results);
}
