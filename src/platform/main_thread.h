#pragma once
// Calls handed to the main thread.
//
// A thread that needs work done on the main thread queues it with RunInMainThread and waits.
// The main thread runs queued calls whenever it processes pending calls: from the Qt event loop
// in the program (the wake-up handler posts the processing step), and in every place where the
// main thread waits for a worker or player thread. Works without Qt, so command-line tools and
// tests use the same mechanism.
#include <chrono>
#include <functional>

namespace orvo {

// Declares the calling thread the main thread. The thread that initialises the program's static
// data is the main thread until this is called.
void SetMainThread();
bool IsMainThread();

// Runs `call` on the main thread. From another thread the call is queued and the caller waits
// until the main thread has run it; an exception thrown by the call is rethrown to the caller.
// On the main thread the call runs at once.
void RunInMainThread(const std::function<void()>& call);

// Runs every call queued so far (main thread only). Returns how many ran.
int ProcessPendingCalls();

// Installs the handler that wakes the main thread's event loop when a call is queued. It runs on
// the queuing thread and must only post a notification (Qt: a queued invocation). Empty removes it.
void SetMainThreadWakeUp(std::function<void()> wakeUp);

// Main-thread wait: processes pending calls until `done` returns true or `timeout` passes.
// Returns the last answer of `done`. Worker threads that change what `done` reads may call
// WakeMainThreadWait so the wait re-checks at once instead of at its next poll.
bool WaitProcessingCalls(const std::function<bool()>& done,
                         std::chrono::milliseconds timeout = std::chrono::milliseconds::max());
void WakeMainThreadWait();

}  // namespace orvo
