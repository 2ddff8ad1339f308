// Reads the list's files in the background: each one is loaded into a song
// of its own and scanned for its end on a worker thread at a low priority,
// so that neither the window nor playback waits for it. Results come back
// to the thread that owns the scanner, in batches.
#pragma once

#include <QByteArray>
#include <QObject>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "song_info.h"

class ListScanner : public QObject {
  Q_OBJECT

 public:
  struct Result {
    std::uint32_t id;
    SongInfo info;
  };
  using Deliver = std::function<void(std::vector<Result>& results)>;

  // threads 0: one per processor core.
  explicit ListScanner(Deliver deliver, int threads = 0);
  ~ListScanner() override;  // stops the workers after the files they are reading
  ListScanner(const ListScanner&) = delete;
  ListScanner& operator=(const ListScanner&) = delete;

  void Add(std::uint32_t id, const QByteArray& path);
  // Drops the files of these ids that still wait (entries that left the
  // list need not be read); one being read is delivered all the same.
  void Forget(const std::vector<std::uint32_t>& ids);
  // Files waiting or being read.
  int Pending() const;

 private:
  void Work();
  void DeliverResults();

  Deliver deliver_;
  const int maxThreads_;
  mutable std::mutex mutex_;
  std::deque<std::pair<std::uint32_t, QByteArray>> queue_;
  std::vector<Result> results_;
  std::vector<std::thread> threads_;
  int busy_ = 0;  // workers reading a file
  int idle_ = 0;  // workers waiting for one
  bool stop_ = false;
  bool deliveryPosted_ = false;
  std::condition_variable wake_;
};
