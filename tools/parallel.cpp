#include "parallel.h"

#include <sched.h>

unsigned CoreCount() {
  // The CPUs this process may use (taskset, a container's CPU set), not
  // every CPU of the machine.
  cpu_set_t set;
  CPU_ZERO(&set);
  int count = ::sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 0;
  if (count <= 0) count = static_cast<int>(std::thread::hardware_concurrency());
  return std::clamp<unsigned>(count > 0 ? static_cast<unsigned>(count) : 1u, 1u, kMaxJobs);
}

void ParallelFor(std::size_t count, unsigned jobs, const std::function<void(std::size_t)>& work,
                 const std::function<void()>& tick) {
  if (jobs <= 1 || count == 0) {
    for (std::size_t i = 0; i < count; ++i) work(i);
    return;
  }
  std::atomic<std::size_t> next{0};
  std::mutex lock;
  std::condition_variable finished;
  std::size_t running = 0;
  const auto worker = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < count;) work(i);
    const std::lock_guard<std::mutex> held(lock);
    if (--running == 0) finished.notify_all();
  };
  // Threads that end before the count is known wait for it here.
  std::vector<std::thread> threads;
  {
    const std::lock_guard<std::mutex> held(lock);
    threads = StartThreads(std::min<std::size_t>(jobs, count), worker);
    running = threads.size();
  }
  if (threads.empty()) {
    // Not one thread could be started: the work is done here, tick between
    // the items.
    for (std::size_t i; (i = next.fetch_add(1)) < count;) {
      work(i);
      if (tick) tick();
    }
    return;
  }
  {
    std::unique_lock<std::mutex> held(lock);
    while (!finished.wait_for(held, kTickInterval, [&] { return running == 0; })) {
      held.unlock();
      if (tick) tick();
      held.lock();
    }
  }
  for (std::thread& thread : threads) thread.join();
}
