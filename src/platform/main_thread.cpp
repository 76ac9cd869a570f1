#include "platform/main_thread.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

namespace orvo {
namespace {

struct PendingCall {
  std::function<void()> call;
  std::exception_ptr error;
  bool done = false;
};

struct CallQueue {
  std::mutex mutex;
  std::condition_variable queued;    // main thread waits here for calls or a wake-up
  std::condition_variable finished;  // callers wait here for their call to complete
  std::deque<std::shared_ptr<PendingCall>> calls;
  std::function<void()> wakeUp;
  std::thread::id mainThread = std::this_thread::get_id();
  unsigned wakeCount = 0;
};

CallQueue& Queue() {
  static CallQueue queue;
  return queue;
}

// Make sure the queue (and so the main thread id) is set up during static initialisation.
[[maybe_unused]] const CallQueue& kInitialQueue = Queue();

}  // namespace

void SetMainThread() {
  std::lock_guard lock(Queue().mutex);
  Queue().mainThread = std::this_thread::get_id();
}

bool IsMainThread() {
  std::lock_guard lock(Queue().mutex);
  return Queue().mainThread == std::this_thread::get_id();
}

void RunInMainThread(const std::function<void()>& call) {
  if (IsMainThread()) {
    call();
    return;
  }
  auto& queue = Queue();
  auto pending = std::make_shared<PendingCall>();
  pending->call = call;
  std::function<void()> wakeUp;
  {
    std::lock_guard lock(queue.mutex);
    queue.calls.push_back(pending);
    ++queue.wakeCount;
    wakeUp = queue.wakeUp;
  }
  queue.queued.notify_all();
  if (wakeUp) wakeUp();
  std::unique_lock lock(queue.mutex);
  queue.finished.wait(lock, [&] { return pending->done; });
  if (pending->error) std::rethrow_exception(pending->error);
}

int ProcessPendingCalls() {
  auto& queue = Queue();
  // Only the calls queued so far: threads that queue again as fast as their calls run must not
  // keep the main thread here forever.
  std::deque<std::shared_ptr<PendingCall>> batch;
  {
    std::lock_guard lock(queue.mutex);
    batch.swap(queue.calls);
  }
  for (auto& pending : batch) {
    try {
      pending->call();
    } catch (...) {
      pending->error = std::current_exception();
    }
    {
      std::lock_guard lock(queue.mutex);
      pending->done = true;
    }
    queue.finished.notify_all();
  }
  return static_cast<int>(batch.size());
}

void SetMainThreadWakeUp(std::function<void()> wakeUp) {
  std::lock_guard lock(Queue().mutex);
  Queue().wakeUp = std::move(wakeUp);
}

void WakeMainThreadWait() {
  {
    std::lock_guard lock(Queue().mutex);
    ++Queue().wakeCount;
  }
  Queue().queued.notify_all();
}

bool WaitProcessingCalls(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  auto& queue = Queue();
  const bool forever = timeout == std::chrono::milliseconds::max();
  const auto deadline = forever ? Clock::time_point::max() : Clock::now() + timeout;
  // A short poll also covers conditions whose writers never call WakeMainThreadWait.
  constexpr auto kPoll = std::chrono::milliseconds(10);
  for (;;) {
    ProcessPendingCalls();
    if (done()) return true;
    const auto now = Clock::now();
    if (now >= deadline) return false;
    std::unique_lock lock(queue.mutex);
    const unsigned seen = queue.wakeCount;
    const auto until = forever ? now + kPoll : std::min(deadline, now + kPoll);
    queue.queued.wait_until(lock, until, [&] { return queue.wakeCount != seen; });
  }
}

}  // namespace orvo
