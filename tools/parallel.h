// Work on many files at once: one song object per file, each used by one
// thread, so threads share nothing but the next file to take.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

// The CPUs this process may run on (at least 1), at most kMaxJobs.
constexpr unsigned kMaxJobs = 64;
unsigned CoreCount();

// How often the calling thread looks up from waiting (progress, signals).
constexpr std::chrono::milliseconds kTickInterval{100};

// Starts up to `wanted` threads running `worker`: as many as the system
// gives. A limit on processes (ulimit -u, a container's) may allow fewer,
// or none; the caller goes on with those it gets.
template <typename Worker>
std::vector<std::thread> StartThreads(std::size_t wanted, const Worker& worker) {
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < wanted; ++t) {
    try {
      threads.emplace_back(worker);
    } catch (const std::system_error&) {
      break;
    }
  }
  return threads;
}

// Runs work(i) for every i below count on `jobs` threads (on the calling
// thread alone for jobs 1), calling tick on the calling thread while it
// waits. With more jobs even a single item runs on a thread of its own, so
// that tick goes on (a stop signal held back in every thread is taken only
// there). On as many threads as the system gives (see StartThreads); where
// it gives none, on the calling thread, tick called between the items.
void ParallelFor(std::size_t count, unsigned jobs, const std::function<void(std::size_t)>& work,
                 const std::function<void()>& tick);

// Makes produce(i) for every i below count on `jobs` threads (even a single
// item, as ParallelFor) and hands each result to consume(i, result) on the
// calling thread, in the order of i.
// At most `ahead` results wait for their turn, so that a slow consumer
// (standard output into a pipe) holds the producers back instead of
// piling results up in memory.
template <typename Result>
void OrderedParallel(std::size_t count, unsigned jobs, const std::function<Result(std::size_t)>& produce,
                     const std::function<void(std::size_t, Result&)>& consume, const std::function<void()>& tick,
                     std::size_t ahead = 256) {
  if (jobs <= 1 || count == 0) {
    for (std::size_t i = 0; i < count; ++i) {
      Result result = produce(i);
      consume(i, result);
      if (tick) tick();
    }
    return;
  }
  std::mutex lock;
  std::condition_variable changed;
  std::deque<std::optional<Result>> waiting;  // results from `consumed` on
  std::size_t consumed = 0;
  std::size_t next = 0;
  const auto worker = [&] {
    std::unique_lock<std::mutex> held(lock);
    for (;;) {
      changed.wait(held, [&] { return next >= count || next < consumed + ahead; });
      if (next >= count) return;
      const std::size_t i = next++;
      held.unlock();
      Result result = produce(i);
      held.lock();
      const std::size_t slot = i - consumed;
      if (waiting.size() <= slot) waiting.resize(slot + 1);
      waiting[slot].emplace(std::move(result));
      changed.notify_all();
    }
  };
  std::vector<std::thread> threads = StartThreads(std::min<std::size_t>(jobs, count), worker);
  if (threads.empty()) {
    // Not one thread could be started: everything is made here.
    for (std::size_t i = 0; i < count; ++i) {
      Result result = produce(i);
      consume(i, result);
      if (tick) tick();
    }
    return;
  }
  std::unique_lock<std::mutex> held(lock);
  while (consumed < count) {
    if (waiting.empty() || !waiting.front()) {
      changed.wait_for(held, kTickInterval, [&] { return !waiting.empty() && waiting.front(); });
      if (tick) {
        held.unlock();
        tick();
        held.lock();
      }
      continue;
    }
    Result result = std::move(*waiting.front());
    waiting.pop_front();
    const std::size_t i = consumed++;
    changed.notify_all();
    held.unlock();
    consume(i, result);
    held.lock();
  }
  held.unlock();
  for (std::thread& thread : threads) thread.join();
  if (tick) tick();
}
