#pragma once

namespace orvo {

// Makes the calling thread the main thread and lets Qt's event loop run calls queued with
// RunInMainThread: each queued call wakes the loop, which then processes the pending calls.
void InstallMainThreadQueueInEventLoop();

}  // namespace orvo
